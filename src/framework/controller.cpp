#include "framework/controller.h"

#include "runtime/error.h"
#include "shared/mod_kx_xml.h"

namespace kx {

Answer::Answer(const std::string& listName)
    : doc_(LoadTemplate("<?xml version='1.0' ?><Root><" + listName + "/></Root>")),
      list_(doc_->FirstElement(listName)) {}

void WriteAttributes(xml::Element element, const Entity& entity) {
  const auto& fields = entity.def().fields;
  for (size_t i = 0; i < fields.size(); ++i)
    if (!fields[i].xmlAttribute.empty()) element.SetAttribute(fields[i].xmlAttribute, FieldText(entity.Get(i)));
}

void WriteAttributes(xml::Element element, const db::Recordset& rs, const EntityDef& def) {
  for (const auto& f : def.fields)
    if (!f.xmlAttribute.empty() && !f.column.empty())
      element.SetAttribute(f.xmlAttribute, FieldText(LoadValue(f, rs.Field(f.column))));
}

Variant AttributeValue(const xml::Element& element, const std::string& name) {
  const auto value = element.Attribute(name);
  return value ? Variant(*value) : Variant::Null();
}

void ReadAttributes(const xml::Element& element, Entity& entity, const std::vector<std::string>& properties) {
  for (const auto& property : properties) entity.Set(property, AttributeValue(element, property));
}

void WritePage(db::Recordset& rs, Variant& ResultCount, Variant& ResultPages, int16_t CountPerPage,
               int16_t PageNumber, const std::function<void(const db::Recordset&)>& writeRow) {
  const int32_t count = rs.RecordCount();
  ResultCount = Variant(count);
  ResultPages = Variant(CountPerPage > 0 ? count / CountPerPage + (count % CountPerPage ? 1 : 0) : int32_t{1});
  if (count > 0) {
    if (PageNumber < 1 || CountPerPage < 1) {
      rs.SetPageSize(count);
      rs.SetAbsolutePage(1);
    } else {
      rs.SetPageSize(CountPerPage);
      rs.SetAbsolutePage(PageNumber);
    }
  }
  for (int32_t i = 0; i < rs.PageSize() && !rs.EOF_(); ++i) {
    writeRow(rs);
    rs.MoveNext();
  }
}

xml::Element FirstRequired(const xml::Document& doc, const std::string& name) {
  xml::Element e = doc.FirstElement(name);
  if (!e) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return e;
}

}  // namespace kx
