// The controller XML interface: answer documents, paging of search results, and validated
// requests, shared by every controller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

// Writes the attributes of every field that has one, in field table order, from the entity.
void WriteAttributes(xml::Element element, const Entity& entity);
// The same, from the current row of a result set through each field's load conversion.
void WriteAttributes(xml::Element element, const db::Recordset& rs, const EntityDef& def);
// The value of an attribute, or Null when the element has none (assigning it then fails).
Variant AttributeValue(const xml::Element& element, const std::string& name);
// Sets the fields named by the element's attributes, in the order of `properties`; a missing
// attribute fails as the assignment of Null does.
void ReadAttributes(const xml::Element& element, Entity& entity, const std::vector<std::string>& properties);

// Pages a search result: sets ResultCount and ResultPages, positions `rs` at the page and calls
// `writeRow` for each row of the page. CountPerPage <= 0 or PageNumber < 1 writes every row.
void WritePage(db::Recordset& rs, Variant& ResultCount, Variant& ResultPages, int16_t CountPerPage,
               int16_t PageNumber, const std::function<void(const db::Recordset&)>& writeRow);

// The first element `name` of `doc`; none fails with Object variable not set.
xml::Element FirstRequired(const xml::Document& doc, const std::string& name);

}  // namespace kx
