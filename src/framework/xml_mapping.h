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

// An answer document "<?xml version='1.0' ?><Root><LIST/></Root>" and the elements of its list
// element, in the order they were appended: rows, written as text as they are given, and elements
// built as trees, for those that hold elements of their own.
class Answer {
 public:
  // An element of the list without children: its attributes are written as they are given, and the
  // element ends when the row does (nothing else is appended to the answer meanwhile).
  class Row {
   public:
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;
    ~Row() { text_.append("/>"); }
    // Appends the attribute (each name once); what XML cannot carry in `value` is written as U+FFFD,
    // as an element's attribute is.
    Row& Attribute(std::string_view name, std::string_view value) {
      xml::AppendAttributeText(text_, name, value);
      return *this;
    }

   private:
    friend class Answer;
    explicit Row(std::string& text) : text_(text) {}
    std::string& text_;
  };

  explicit Answer(const std::string& listName);
  // Appends an element `name` to the list element, built as a tree (for an element with children).
  xml::Element Append(const std::string& name);
  // Appends an element `name` without children to the list element, written as text.
  Row AppendRow(std::string_view name);
  // The document's text; the second form hands over the answer's own text.
  std::string Text() const&;
  std::string Text() &&;

 private:
  // Writes the text of the elements built as trees and the end of the document to `out`, which holds
  // `text_` up to its rows.
  void Finish(std::string& out) const;

  std::string listName_;
  // The document's text from its start up to and with the list's start tag, then the rows so far.
  std::string text_;
  size_t rowsAt_ = 0;  // where the rows begin in `text_`
  // The elements built as trees (the children of its root), each with where it stands in `text_`.
  std::unique_ptr<xml::Document> trees_;
  std::vector<std::pair<size_t, xml::Element>> treesAt_;
};

// Writes the record's answer attributes, in answer order, from the entity.
void WriteAttributes(xml::Element element, const Entity& entity);
void WriteAttributes(Answer::Row& row, const Entity& entity);
// The same, from the current row of a result set through each field's load conversion.
void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def);
// The same, with the listed fields only, in list order.
void WriteAttributes(xml::Element element, const db::Recordset& rs, const RecordDef& def,
                     const std::vector<size_t>& attributes);
void WriteAttributes(Answer::Row& row, const db::Recordset& rs, const RecordDef& def,
                     const std::vector<size_t>& attributes);
// The attribute `name` of a request element; an element without it fails as an object that is
// not set.
std::string RequiredAttribute(const xml::Element& element, std::string_view name);
// Sets the listed fields from the element's attributes (named after the fields), in list order.
void ReadAttributes(const xml::Element& element, Entity& entity, const std::vector<FieldRead>& reads);

// The first element `name` of `doc`; none fails with Object variable not set.
xml::Element FirstRequired(const xml::Document& doc, const std::string& name);

}  // namespace kx
