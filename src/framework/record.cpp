#include "framework/record.h"

#include "runtime/error.h"
#include "shared/mod_kx_common.h"

namespace kx {

std::string_view RecordDef::AttributeName(size_t i) const {
  const FieldSpec& f = fields[i];
  return f.attribute.empty() ? f.property : f.attribute;
}

int RecordDef::Index(std::string_view property) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].property == property) return static_cast<int>(i);
  return -1;
}

RecordDef Complete(RecordDef def) {
  def.procTexts.clear();
  for (const FieldSpec& f : def.fields)
    def.procTexts.push_back(f.procText.empty() ? std::string(f.property) + " Property"
                                               : std::string(f.procText));
  def.attributes = def.attributeOrder;
  if (def.attributes.empty())
    for (size_t i = 0; i < def.fields.size(); ++i)
      if (def.fields[i].written) def.attributes.push_back(i);
  if (def.entityProperty.empty()) def.entityProperty = def.item;
  if (!def.collection.className.empty() && def.collection.parentColumn.empty())
    def.collection.parentColumn = def.fields[def.collection.parentKey].column;
  return def;
}

Variant InitialValue(FieldType type) {
  switch (type) {
    case FieldType::Text:
      return Variant(std::string());
    case FieldType::Int16:
      return Variant(int16_t{0});
    case FieldType::Int32:
      return Variant(int32_t{0});
    case FieldType::Double:
      return Variant(0.0);
    case FieldType::Date:
      return Variant(Date{});
    case FieldType::Bool:
      return Variant(false);
  }
  return {};
}

Variant ToFieldType(FieldType type, const Variant& value) {
  switch (type) {
    case FieldType::Text:
      return Variant(CStr(value));
    case FieldType::Int16:
      return Variant(CInt(value));
    case FieldType::Int32:
      return Variant(CLng(value));
    case FieldType::Double:
      return Variant(CDbl(value));
    case FieldType::Date:
      return Variant(CDate(value));
    case FieldType::Bool:
      return Variant(CBool(value));
  }
  return value;
}

namespace {

Conversion UsualConversion(FieldType type) {
  switch (type) {
    case FieldType::Text:
      return Conversion::Null2Str;
    case FieldType::Date:
      return Conversion::Null2Date;
    case FieldType::Bool:
      return Conversion::Null2Bln;
    default:
      return Conversion::Null2Int;
  }
}

}  // namespace

Variant Convert(const FieldSpec& field, Conversion conversion, const Variant& raw) {
  if (conversion == Conversion::Auto)
    conversion = field.load == Conversion::Auto ? UsualConversion(field.type) : field.load;
  switch (conversion) {
    case Conversion::Null2Str:
      return ToFieldType(field.type, Null2Str(raw));
    case Conversion::Null2Int:
      return ToFieldType(field.type, Null2Int(raw));
    case Conversion::Null2Date:
      return ToFieldType(field.type, Variant(Null2Date(raw)));
    case Conversion::Null2Bln:
      return ToFieldType(field.type, Variant(Null2Bln(raw)));
    default:
      return ToFieldType(field.type, raw);
  }
}

std::string XmlText(const Variant& value) {
  if (const auto* d = value.get_if<Date>()) return d->DateText();
  if (const auto* b = value.get_if<bool>()) return *b ? "1" : "0";
  if (value.IsNull()) return {};
  return CStr(value);
}

std::string SqlValue(const Variant& value) {
  if (const auto* d = value.get_if<Date>()) return d->Text();
  if (const auto* b = value.get_if<bool>()) return *b ? "1" : "0";
  return SqlText(value);
}

std::string FormatStatement(std::string_view format, std::initializer_list<std::string_view> values) {
  std::string out;
  auto next = values.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '{' && i + 1 < format.size() && format[i + 1] == '}' && next != values.end()) {
      out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace kx
