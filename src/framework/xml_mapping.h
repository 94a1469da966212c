// Between records and XML: answer documents, an entity's or a row's fields written as attributes,
// a request element's attributes read into an entity. The controllers, the collections and the
// outside components' stand-ins all use these.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/entity.h"
#include "runtime/db/recordset.h"
#include "runtime/xml.h"

namespace kx {

// An answer document "<?xml version='1.0' ?><Root><LIST/></Root>" and its list element.
class Answer {
 public:
  explicit Answer(const std::string& listName);
  // Appends an element `name` to the list element.
  xml::Element Append(const std::string& name) { return list_.AppendElement(name); }
  xml::Element list() const { return list_; }
  std::string Text() const { return doc_->Serialize(); }

 private:
  std::unique_ptr<xml::Document> doc_;
  xml::Element list_;
};

// Writes the record's answer attributes, in answer order, from the entity.
void WriteAttributes(xml::Element element, const Entity& entity);
// The same, from the current row of a result set through each field's load conversion.
void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def);
// The same, with the listed fields only, in list order.
void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def,
                     const std::vector<size_t>& attributes);
// The attribute `name` of a request element; an element without it fails as an object that is
// not set.
std::string RequiredAttribute(const xml::Element& element, std::string_view name);
// Sets the listed fields from the element's attributes (named after the fields), in list order.
void ReadAttributes(const xml::Element& element, Entity& entity, const std::vector<FieldRead>& reads);

// The first element `name` of `doc`; none fails with Object variable not set.
xml::Element FirstRequired(const xml::Document& doc, const std::string& name);

}  // namespace kx
