#include "runtime/db/statement.h"

#include <cstdio>
#include <stdexcept>

namespace kx::db {

Statement& Statement::Append(std::string_view text) {
  shown_.back() += text;
  if (split_) run_.back() += text;
  return *this;
}

void Statement::Split() {
  if (split_) return;
  run_ = shown_;
  split_ = true;
}

Statement& Statement::Append(std::string_view shown, std::string_view run) {
  if (shown != run) Split();
  shown_.back() += shown;
  if (split_) run_.back() += run;
  return *this;
}

Statement& Statement::Append(const Statement& other) {
  if (other.split_) Split();
  const auto& otherRun = other.split_ ? other.run_ : other.shown_;
  shown_.back() += other.shown_.front();
  shown_.insert(shown_.end(), other.shown_.begin() + 1, other.shown_.end());
  if (split_) {
    run_.back() += otherRun.front();
    run_.insert(run_.end(), otherRun.begin() + 1, otherRun.end());
  }
  values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  return *this;
}

Statement& Statement::Value(std::string value) { return Value(Variant(std::move(value))); }

Statement& Statement::Value(const Variant& value) { return Value(Variant(value)); }

Statement& Statement::Value(Variant&& value) {
  values_.push_back(std::move(value));
  shown_.emplace_back();
  if (split_) run_.emplace_back();
  return *this;
}

Statement& Statement::Reserve(size_t values) {
  shown_.reserve(shown_.size() + values);
  if (split_) run_.reserve(run_.size() + values);
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

void Statement::Show(std::string& out) const {
  size_t size = 0;
  for (const auto& piece : shown_) size += piece.size();
  for (const auto& value : values_) size += value.IsString() ? value.get<std::string>().size() + 2 : 8;
  out.clear();
  out.reserve(size + 8);
  const auto quoted = [&out](std::string_view text) {
    out += '\'';
    for (const char c : text) {
      out += c;
      if (c == '\'') out += '\'';
    }
    out += '\'';
  };
  for (size_t i = 0; i < values_.size(); ++i) {
    out += shown_[i];
    const Variant& value = values_[i];
    if (value.IsString())
      quoted(value.get<std::string>());
    else if (value.IsNull() || value.IsEmpty())
      out += "NULL";
    else
      quoted(BoundText(value));
  }
  out += shown_.back();
  if (limit_ >= 0) out += PageWords(Engine::SqlServer, offset_, limit_);
}

std::string Statement::Text(Engine dialect, bool numbered) const {
  std::string out;
  Write(out, dialect, numbered);
  return out;
}

void Statement::Write(std::string& out, Engine dialect, bool numbered) const {
  // SQL Server runs the words it is shown; the other engines the words they all read.
  const auto& pieces = dialect == Engine::SqlServer || !split_ ? shown_ : run_;
  size_t size = values_.size() * 4 + 16;
  for (const auto& piece : pieces) size += piece.size();
  out.clear();
  out.reserve(size);
  for (size_t i = 0; i < values_.size(); ++i) {
    out += pieces[i];
    if (numbered) {
      out += '$';
      out += std::to_string(i + 1);
    } else {
      out += '?';
    }
  }
  out += pieces.back();
  if (limit_ >= 0) out += PageWords(dialect, offset_, limit_);
}

Statement Statement::Format(std::string_view format, std::initializer_list<std::string> values) {
  constexpr std::string_view kSlot = "'{}'";
  Statement out(Room{values.size()});
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
