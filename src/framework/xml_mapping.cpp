#include "framework/xml_mapping.h"

#include "kx/error.h"
#include "shared/mod_kx_xml.h"

namespace kx {

// As a built document is written (Document::Serialize): the declaration, a line break, the root
// element, a line break; an element without children ends with "/>".
Answer::Answer(const std::string& listName) : listName_(listName) {
  text_.reserve(256);
  text_.append("<?xml version=\"1.0\"?>\n<Root><").append(listName_).push_back('>');
  rowsAt_ = text_.size();
}

xml::Element Answer::Append(const std::string& name) {
  if (!trees_) trees_ = xml::Document::Create(listName_);
  xml::Element element = trees_->Root().AppendElement(name);
  treesAt_.emplace_back(text_.size(), element);
  return element;
}

Answer::Row Answer::AppendRow(std::string_view name) {
  text_.push_back('<');
  text_.append(name);
  return Row(text_);
}

void Answer::Finish(std::string& out) const {
  if (out.size() == rowsAt_ && treesAt_.empty()) {
    out.back() = '/';
    out.append("></Root>\n");
    return;
  }
  // The tree elements go between the rows where they were appended.
  for (auto tree = treesAt_.rbegin(); tree != treesAt_.rend(); ++tree)
    out.insert(tree->first, tree->second.Text());
  out.append("</").append(listName_).append("></Root>\n");
}

std::string Answer::Text() const& {
  std::string out = text_;
  Finish(out);
  return out;
}

std::string Answer::Text() && {
  std::string out = std::move(text_);
  Finish(out);
  return out;
}

namespace {

// The answer attributes go to a tree element or to a row alike.
void Put(xml::Element& element, std::string_view name, const Variant& value) {
  element.SetAttribute(name, XmlText(value));
}
void Put(Answer::Row& row, std::string_view name, const Variant& value) {
  // Text is written where it is held.
  if (const auto* text = value.get_if<std::string>())
    row.Attribute(name, *text);
  else
    row.Attribute(name, XmlText(value));
}

template <class Target>
void PutAttributes(Target& target, const Entity& entity) {
  const RecordDef& def = entity.def();
  for (size_t i : def.attributes) Put(target, def.AttributeName(i), entity.Value(i));
}

template <class Target>
void PutAttributes(Target& target, const db::Recordset& rs, const RecordDef& def,
                   const std::vector<size_t>& attributes) {
  for (size_t i : attributes) {
    const FieldSpec& f = def.fields[i];
    if (f.column.empty()) continue;
    Put(target, def.AttributeName(i), Convert(f, f.load, rs.Field(f.column)));
  }
}

}  // namespace

void WriteAttributes(xml::Element element, const Entity& entity) { PutAttributes(element, entity); }
void WriteAttributes(Answer::Row& row, const Entity& entity) { PutAttributes(row, entity); }

void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def) {
  WriteAttributes(element, rs, def, def.attributes);
}

void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def,
                     const std::vector<size_t>& attributes) {
  PutAttributes(element, rs, def, attributes);
}
void WriteAttributes(Answer::Row& row, const db::Recordset& rs, const RecordDef& def,
                     const std::vector<size_t>& attributes) {
  PutAttributes(row, rs, def, attributes);
}

std::string RequiredAttribute(const xml::Element& element, std::string_view name) {
  auto value = element.Attribute(name);
  if (!value) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return std::move(*value);
}

void ReadAttributes(const xml::Element& element, Entity& entity, const std::vector<FieldRead>& reads) {
  const RecordDef& def = entity.def();
  for (const FieldRead& r : reads) {
    const FieldSpec& f = def.fields[r.field];
    Variant text(RequiredAttribute(element, def.AttributeName(r.field)));
    if (r.conversion == Conversion::Auto && f.type == FieldType::Text)
      entity.Set(r.field, std::move(text));
    else
      entity.Set(r.field, Convert(f, r.conversion, text));
  }
}

xml::Element FirstRequired(const xml::Document& doc, const std::string& name) {
  xml::Element e = doc.FirstElement(name);
  if (!e) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return e;
}

}  // namespace kx
