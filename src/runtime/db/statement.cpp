#include "runtime/db/statement.h"

#include <cstdio>
#include <stdexcept>

namespace kx::db {

Statement& Statement::Append(std::string_view text) { return Append(text, text); }

Statement& Statement::Append(std::string_view shown, std::string_view run) {
  shown_.back() += shown;
  run_.back() += run;
  return *this;
}

Statement& Statement::Append(const Statement& other) {
  shown_.back() += other.shown_.front();
  run_.back() += other.run_.front();
  shown_.insert(shown_.end(), other.shown_.begin() + 1, other.shown_.end());
  run_.insert(run_.end(), other.run_.begin() + 1, other.run_.end());
  values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  return *this;
}

Statement& Statement::Value(std::string value) { return Value(Variant(std::move(value))); }

Statement& Statement::Value(const Variant& value) {
  values_.push_back(value);
  shown_.emplace_back();
  run_.emplace_back();
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
  size_t size = 0;
  for (const auto& piece : shown_) size += piece.size();
  for (const auto& value : values_) size += value.IsString() ? value.get<std::string>().size() + 2 : 8;
  std::string out;
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
  return out + shown_.back() + PageWords(Engine::SqlServer, offset_, limit_);
}

std::string Statement::Text(Engine dialect, bool numbered) const {
  // SQL Server runs the words it is shown; the other engines the words they all read.
  const auto& pieces = dialect == Engine::SqlServer ? shown_ : run_;
  std::string out;
  for (size_t i = 0; i < values_.size(); ++i) {
    out += pieces[i];
    if (numbered) {
      out += '$';
      out += std::to_string(i + 1);
    } else {
      out += '?';
    }
  }
  return out + pieces.back() + PageWords(dialect, offset_, limit_);
}

Statement Statement::Format(std::string_view format, std::initializer_list<std::string> values) {
  constexpr std::string_view kSlot = "'{}'";
  Statement out;
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
