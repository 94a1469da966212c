// XML documents on libxml2: safe parsing from text, XSD validation, element look-up, building and
// serialization. Parsing never loads external entities, DTDs or network resources.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

namespace kx::xml {

// The largest request text that is parsed at all.
inline constexpr size_t kMaxDocumentBytes = 16u << 20;

class Element {
 public:
  Element() = default;
  explicit Element(_xmlNode* node) : node_(node) {}
  explicit operator bool() const { return node_ != nullptr; }

  std::string Name() const;
  // The attribute's value, or nothing when the element has no such attribute.
  std::optional<std::string> Attribute(const std::string& name) const;
  void SetAttribute(const std::string& name, const std::string& value);
  // Creates an element `name` and appends it as the last child.
  Element AppendElement(const std::string& name);
  // The child elements, in order.
  std::vector<Element> Children() const;
  _xmlNode* node() const { return node_; }

 private:
  _xmlNode* node_ = nullptr;
};

class Document {
 public:
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Parses `text`. Documents with a document type declaration are refused, as are texts over
  // kMaxDocumentBytes. On failure returns nullptr and sets `reason` to the parser's reason text.
  static std::unique_ptr<Document> Parse(const std::string& text, std::string& reason);

  Element Root() const;
  // Every element named `name`, at any depth, in document order.
  std::vector<Element> ElementsByTagName(const std::string& name) const;
  // The first element named `name` in document order, or an empty Element.
  Element FirstElement(const std::string& name) const;
  // The elements an XPath expression selects, in document order.
  std::vector<Element> SelectNodes(const std::string& xpath) const;
  // The text of the whole document.
  std::string Serialize() const;

 private:
  friend class Schema;
  explicit Document(_xmlDoc* doc) : doc_(doc) {}
  _xmlDoc* doc_;
};

// A compiled XSD schema, read from its file.
class Schema {
 public:
  ~Schema();
  Schema(const Schema&) = delete;
  Schema& operator=(const Schema&) = delete;

  // Reads and compiles the XSD file at `path`; nullptr with the loader's reason on failure.
  static std::unique_ptr<Schema> Load(const std::string& path, std::string& reason);
  // Validates `doc`; false with the validator's reason text.
  bool Validate(const Document& doc, std::string& reason) const;

 private:
  explicit Schema(void* schema) : schema_(schema) {}
  void* schema_;
};

}  // namespace kx::xml
