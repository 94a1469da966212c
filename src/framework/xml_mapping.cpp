#include "framework/xml_mapping.h"

#include "kx/error.h"
#include "shared/mod_kx_xml.h"

namespace kx {

Answer::Answer(const std::string& listName)
    : doc_(xml::Document::Create("Root")), list_(doc_->Root().AppendElement(listName)) {}

void WriteAttributes(xml::Element element, const Entity& entity) {
  const RecordDef& def = entity.def();
  for (size_t i : def.attributes)
    element.SetAttribute(std::string(def.AttributeName(i)), XmlText(entity.Get(i)));
}

void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def) {
  WriteAttributes(element, rs, def, def.attributes);
}

void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def,
                     const std::vector<size_t>& attributes) {
  for (size_t i : attributes) {
    const FieldSpec& f = def.fields[i];
    if (f.column.empty()) continue;
    element.SetAttribute(std::string(def.AttributeName(i)),
                         XmlText(Convert(f, f.load, rs.Field(f.column))));
  }
}

std::string RequiredAttribute(const xml::Element& element, std::string_view name) {
  auto value = element.Attribute(std::string(name));
  if (!value) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return std::move(*value);
}

void ReadAttributes(const xml::Element& element, Entity& entity, const std::vector<FieldRead>& reads) {
  const RecordDef& def = entity.def();
  for (const FieldRead& r : reads) {
    const FieldSpec& f = def.fields[r.field];
    const Variant text(RequiredAttribute(element, def.AttributeName(r.field)));
    entity.Set(r.field, r.conversion == Conversion::Auto && f.type == FieldType::Text
                            ? text
                            : Convert(f, r.conversion, text));
  }
}

xml::Element FirstRequired(const xml::Document& doc, const std::string& name) {
  xml::Element e = doc.FirstElement(name);
  if (!e) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return e;
}

}  // namespace kx
