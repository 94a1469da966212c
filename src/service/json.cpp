#include "service/json.h"

#include <cstdio>

#include "runtime/db/recordset.h"
#include "runtime/object.h"

namespace kx {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
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
        } else {
          out += static_cast<char>(c);
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
    case Variant::Type::Double:
      return CStr(v);
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
