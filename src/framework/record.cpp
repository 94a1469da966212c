#include "framework/record.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "kx/error.h"
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
  // An answer writes each of its attributes once: two fields of one name would make an element no
  // XML reader takes.
  for (const std::vector<size_t>* list : {&def.attributes, &def.searchAttributes})
    for (size_t a = 0; a < list->size(); ++a)
      for (size_t b = a + 1; b < list->size(); ++b)
        if (def.AttributeName((*list)[a]) == def.AttributeName((*list)[b]))
          throw std::logic_error("record " + def.entityClass + " answers attribute " +
                                 std::string(def.AttributeName((*list)[a])) + " twice");
  if (def.entityProperty.empty()) def.entityProperty = def.item;
  def.entityProcText = def.entityProperty + " Property";
  if (def.loadFormat.empty())
    def.loadFormat = "select * from " + def.table + " where " + std::string(def.fields[def.key].column) + " = '{}'";
  def.loadShape = db::Statement::Format(def.loadFormat, {std::string()});
  for (const FieldSpec& f : def.fields) def.initialValues.push_back(InitialValue(f.type));
  if (!def.collection.className.empty() && def.collection.parentColumn.empty())
    def.collection.parentColumn = def.fields[def.collection.parentKey].column;
  // Every stored field but an identity key, in field order.
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldSpec& f = def.fields[i];
    if (!f.column.empty() && f.inStatements && !(i == def.key && def.identity)) def.insertFields.push_back(i);
  }
  std::string columns = def.insertColumns;
  if (columns.empty())
    for (const size_t i : def.insertFields) columns.append(columns.empty() ? "" : ", ").append(def.fields[i].column);
  def.insertShape.Reserve(def.insertFields.size());
  def.insertShape.Append("Insert Into ").Append(def.table).Append(" (").Append(columns).Append(")Values (");
  for (size_t n = 0; n < def.insertFields.size(); ++n) def.insertShape.Append(n ? "," : "").Value(Variant::Null());
  def.insertShape.Append(")");
  // Every stored field but the key, then the key.
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldSpec& f = def.fields[i];
    if (!f.column.empty() && f.inStatements && i != def.key) def.updateFields.push_back(i);
  }
  def.updateShape.Reserve(def.updateFields.size() + 1);
  def.updateShape.Append("Update ").Append(def.table).Append(" Set ");
  for (size_t n = 0; n < def.updateFields.size(); ++n)
    def.updateShape.Append(n ? ", " : "").Append(def.fields[def.updateFields[n]].column).Append(" = ").Value(Variant::Null());
  def.updateShape.Append(" Where ").Append(def.fields[def.key].column).Append("= ").Value(Variant::Null());
  def.updateFields.push_back(def.key);
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

Variant ToFieldType(FieldType type, Variant&& value) {
  bool same = false;
  switch (type) {
    case FieldType::Text: same = value.IsString(); break;
    case FieldType::Int16: same = value.type() == Variant::Type::Int16; break;
    case FieldType::Int32: same = value.type() == Variant::Type::Int32; break;
    case FieldType::Double: same = value.type() == Variant::Type::Double; break;
    case FieldType::Date: same = value.type() == Variant::Type::Date; break;
    case FieldType::Bool: same = value.type() == Variant::Type::Bool; break;
  }
  return same ? std::move(value) : ToFieldType(type, static_cast<const Variant&>(value));
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

std::string StatementText(const Variant& value) {
  if (const auto* d = value.get_if<Date>()) return d->Text();
  if (const auto* b = value.get_if<bool>()) return *b ? "1" : "0";
  return value.IsNull() ? std::string() : CStr(value);
}

bool CanMatch(FieldType type, std::string_view value) {
  if (type != FieldType::Int16 && type != FieldType::Int32 && type != FieldType::Double) return true;
  const size_t start = value.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  const size_t end = value.find_last_not_of(' ') + 1;
  const std::string_view number = value.substr(start, end - start);
  auto digitsFrom = [&](size_t i) {
    while (i < number.size() && number[i] >= '0' && number[i] <= '9') ++i;
    return i;
  };
  size_t i = number[0] == '+' || number[0] == '-' ? 1 : 0;
  const size_t whole = i;
  i = digitsFrom(i);
  if (type != FieldType::Double) {
    // At most ten digits: a longer text of digits is beyond 32 bits whatever its value.
    if (i == whole || i != number.size() || i - whole > 10) return false;
    const long long n = std::stoll(std::string(number));
    return type == FieldType::Int16 ? n >= INT16_MIN && n <= INT16_MAX : n >= INT32_MIN && n <= INT32_MAX;
  }
  bool digits = i > whole;
  if (i < number.size() && number[i] == '.') {
    const size_t fraction = i + 1;
    i = digitsFrom(fraction);
    digits = digits || i > fraction;
  }
  if (!digits) return false;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    size_t exponent = i + 1;
    if (exponent < number.size() && (number[exponent] == '+' || number[exponent] == '-')) ++exponent;
    i = digitsFrom(exponent);
    if (i == exponent) return false;
  }
  if (i != number.size()) return false;
  // Within the range of a double: a text beyond it is no number to every engine alike.
  return std::isfinite(std::strtod(std::string(number).c_str(), nullptr));
}

}  // namespace kx
