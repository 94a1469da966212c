#include "runtime/db/statement.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace kx::db {

Statement& Statement::Append(std::string_view text) {
  shown_ += text;
  if (split_) run_ += text;
  return *this;
}

void Statement::Split() {
  if (split_) return;
  run_ = shown_;
  runAt_ = shownAt_;
  split_ = true;
}

Statement& Statement::Append(std::string_view shown, std::string_view run) {
  if (shown != run) Split();
  shown_ += shown;
  if (split_) run_ += run;
  return *this;
}

namespace {

// Appends `text` to `to`, and where its values stand (`at`, in `text`) to `toAt`.
void AppendText(std::string& to, std::vector<uint32_t>& toAt, const std::string& text,
                const std::vector<uint32_t>& at) {
  const auto base = static_cast<uint32_t>(to.size());
  for (const uint32_t a : at) toAt.push_back(base + a);
  to += text;
}

}  // namespace

Statement& Statement::Append(const Statement& other) {
  if (other.split_) Split();
  if (split_) AppendText(run_, runAt_, other.split_ ? other.run_ : other.shown_, other.split_ ? other.runAt_ : other.shownAt_);
  AppendText(shown_, shownAt_, other.shown_, other.shownAt_);
  values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  return *this;
}

Statement& Statement::Value(std::string value) {
  values_.emplace_back(std::move(value));
  return Placed();
}

Statement& Statement::Value(const Variant& value) { return Value(Variant(value)); }

Statement& Statement::Value(Variant&& value) {
  values_.push_back(std::move(value));
  return Placed();
}

Statement& Statement::Placed() {
  shownAt_.push_back(static_cast<uint32_t>(shown_.size()));
  if (split_) runAt_.push_back(static_cast<uint32_t>(run_.size()));
  return *this;
}

Statement& Statement::Reserve(size_t values) {
  shownAt_.reserve(shownAt_.size() + values);
  if (split_) runAt_.reserve(runAt_.size() + values);
  values_.reserve(values_.size() + values);
  return *this;
}

Statement& Statement::Page(int64_t offset, int64_t limit) {
  offset_ = offset;
  limit_ = limit;
  return *this;
}

namespace {

std::string PageWords(Engine dialect, int64_t offset, int64_t limit) {
  if (limit < 0) return {};
  if (dialect == Engine::SqlServer)
    return " OFFSET " + std::to_string(offset) + " ROWS FETCH NEXT " + std::to_string(limit) + " ROWS ONLY";
  return " LIMIT " + std::to_string(limit) + " OFFSET " + std::to_string(offset);
}

}  // namespace

Statement Statement::Around(std::string_view before, std::string_view after) const {
  Statement out(before);
  out.Append(*this);
  out.Append(after);
  return out;
}

std::string Statement::Shown() const {
  std::string out;
  Show(out);
  return out;
}

template <class WriteValue>
void Statement::Render(std::string& out, const std::string& text, const std::vector<uint32_t>& at, size_t extra,
                       Engine dialect, WriteValue&& value) const {
  out.clear();
  out.reserve(text.size() + extra + 8);
  size_t from = 0;
  for (size_t i = 0; i < values_.size(); ++i) {
    out.append(text, from, at[i] - from);
    from = at[i];
    value(out, i);
  }
  out.append(text, from, std::string::npos);
  if (limit_ >= 0) out += PageWords(dialect, offset_, limit_);
}

void Statement::Show(std::string& out) const {
  size_t extra = 0;
  for (const auto& value : values_) extra += value.IsString() ? value.get<std::string>().size() + 2 : 8;
  const auto quoted = [&out](std::string_view text) {
    out += '\'';
    for (size_t quote; (quote = text.find('\'')) != std::string_view::npos; text.remove_prefix(quote + 1))
      out.append(text.data(), quote + 1) += '\'';
    out += text;
    out += '\'';
  };
  Render(out, shown_, shownAt_, extra, Engine::SqlServer, [&](std::string&, size_t i) {
    const Variant& value = values_[i];
    if (value.IsString())
      quoted(value.get<std::string>());
    else if (value.IsNull() || value.IsEmpty())
      out += "NULL";
    else
      quoted(BoundText(value));
  });
}

std::string Statement::Text(Engine dialect, bool numbered) const {
  std::string out;
  Write(out, dialect, numbered);
  return out;
}

void Statement::Write(std::string& out, Engine dialect, bool numbered) const {
  // SQL Server runs the words it is shown; the other engines the words they all read.
  const bool shown = dialect == Engine::SqlServer || !split_;
  Render(out, shown ? shown_ : run_, shown ? shownAt_ : runAt_, values_.size() * 4 + 8, dialect,
         [numbered](std::string& text, size_t i) {
           if (!numbered) {
             text += '?';
             return;
           }
           char digits[24];
           digits[0] = '$';
           const auto end = std::to_chars(digits + 1, digits + sizeof digits, i + 1).ptr;
           text.append(digits, end);
         });
}

Statement Statement::Format(std::string_view format, std::initializer_list<std::string> values) {
  constexpr std::string_view kSlot = "'{}'";
  Statement out;
  out.Reserve(values.size());
  auto next = values.begin();
  for (size_t at = 0;;) {
    const size_t slot = format.find(kSlot, at);
    if (slot == std::string_view::npos) {
      out.Append(format.substr(at));
      break;
    }
    if (next == values.end()) throw std::logic_error("a statement format has more values than given");
    out.Append(format.substr(at, slot - at)).Value(*next++);
    at = slot + kSlot.size();
  }
  if (next != values.end()) throw std::logic_error("a statement format has fewer values than given");
  return out;
}

std::string BoundText(const Variant& value) {
  switch (value.type()) {
    case Variant::Type::Bool: return value.get<bool>() ? "1" : "0";
    case Variant::Type::Double: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", value.get<double>());
      return buf;
    }
    default: return CStr(value);
  }
}

}  // namespace kx::db
