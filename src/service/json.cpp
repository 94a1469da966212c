#include "service/json.h"

#include <cmath>
#include <cstdio>

#include "runtime/db/recordset.h"
#include "kx/object.h"

namespace kx {

namespace {

// The length of the well-formed UTF-8 sequence at s[i] (overlong forms, surrogates and values
// beyond U+10FFFF are not), or 0.
size_t Utf8Sequence(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c == 0xE0) n = 3, low = 0xA0;
  else if (c == 0xED) n = 3, high = 0x9F;
  else if (c >= 0xE1 && c <= 0xEF) n = 3;
  else if (c == 0xF0) n = 4, low = 0x90;
  else if (c == 0xF4) n = 4, high = 0x8F;
  else if (c >= 0xF1 && c <= 0xF3) n = 4;
  else return 0;
  if (i + n > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else if (const size_t n = Utf8Sequence(s, i)) {
          out.append(s, i, n);
          i += n - 1;
        } else {
          // JSON is UTF-8: a byte that starts no valid sequence is written as U+FFFD.
          out += "\xEF\xBF\xBD";
        }
    }
  }
  return out + "\"";
}

std::string JsonValue(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Empty:
    case Variant::Type::Null:
      return "null";
    case Variant::Type::Int16:
    case Variant::Type::Int32:
      return CStr(v);
    case Variant::Type::Double:
      // JSON has no NaN or infinity.
      return std::isfinite(v.get<double>()) ? CStr(v) : "null";
    case Variant::Type::Bool:
      return v.get<bool>() ? "true" : "false";
    case Variant::Type::Array: {
      std::string out = "[";
      const Array& items = CArray(v);
      for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonValue(items[i]);
      return out + "]";
    }
    case Variant::Type::Object:
      if (const auto* o = v.get_if<ObjectPtr>(); o && *o)
        if (const auto rs = std::dynamic_pointer_cast<db::Recordset>(*o)) return JsonRows(*rs);
      return JsonString(DisplayText(v));
    default:
      return JsonString(DisplayText(v));
  }
}

std::string JsonRows(const db::Recordset& rs) {
  // A copy walks the rows, so the caller's result set keeps its position.
  db::Recordset rows = rs;
  rows.MoveFirst();
  std::string out = "[";
  for (bool first = true; !rows.EOF_(); rows.MoveNext(), first = false) {
    out += first ? "{" : ", {";
    for (size_t i = 0; i < rows.Columns().size(); ++i)
      out +=
          (i ? ", " : "") + JsonString(rows.Columns()[i]) + ": " + JsonValue(rows.Field(rows.Columns()[i]));
    out += "}";
  }
  return out + "]";
}

std::string DisplayText(const Variant& v) {
  if (const auto* o = v.get_if<ObjectPtr>()) return *o ? (*o)->ToText() : "Nothing";
  if (v.IsNull()) return "Null";
  if (v.type() == Variant::Type::Array) return JsonValue(v);
  return CStr(v);
}

}  // namespace kx
