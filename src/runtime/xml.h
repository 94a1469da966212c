// XML documents: safe parsing from text, XSD validation, element look-up, building and
// serialization. Parsing never loads external entities, DTDs or network resources.
//
// Parsing and validation run on libxml2, but for plain requests (elements and attributes, blanks
// between them) against schemas of the common shape, which are read and checked here into the
// tree and verdict libxml2 gives (xml_plain.cpp). libxml2 is loaded when a process first parses or
// validates: a call that only answers (getElementByXML, a search) builds its answer document in
// memory and writes it itself, byte for byte as libxml2 writes it, without loading libxml2 and the
// libraries it pulls in (ICU, lzma, zlib).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _xmlAttr;
struct _xmlDoc;
struct _xmlNode;
struct _xmlSchema;
struct _xmlSchemaValidCtxt;

namespace kx {
template <class T>
struct Looked;
}  // namespace kx

namespace kx::xml {

// The largest request text that is parsed at all.
inline constexpr size_t kMaxDocumentBytes = 16u << 20;

// Limits on the shape of a request document, checked in one pass over its text before the parser
// sees it. The parser's work grows faster than the text where these counts multiply: each attribute
// of an element is compared with the ones before it; each element and each prefixed attribute looks
// its namespace up among the declarations in scope, and a prefixed attribute climbs from its
// element to the one declaring its prefix; every element costs a node in memory. Within these
// limits a request of up to kMaxDocumentBytes is parsed in time that grows with its length. Each
// limit is the largest count accepted; SIZE_MAX lifts it.
struct DocumentLimits {
  // Attributes on one element, namespace declarations included.
  size_t maxAttributesPerElement = 1000;
  // Elements in the whole document. Below 32,768, the most records a collection counts (its Count
  // is an Integer), so that no request adds or keeps more lines than a collection can count: an
  // order with more could neither be read nor removed.
  size_t maxElements = 32767;
  // The depth of an element: 1 for the root, one more than its parent's for any other.
  size_t maxDepth = 256;
  // Namespace declarations (xmlns="..." and xmlns:p="...") in the whole document.
  size_t maxNamespaceDeclarations = 100;
};

// The limits every later parse applies, in every thread of the process. A parse reads them once,
// when it starts.
void SetDocumentLimits(const DocumentLimits& limits);
DocumentLimits CurrentDocumentLimits();

// `text` as XML 1.0 can carry it: each invalid UTF-8 sequence and each character XML cannot hold
// (controls other than tab, LF and CR; U+FFFE, U+FFFF; surrogates) becomes U+FFFD.
std::string SafeText(std::string_view text);
// The same, handing back `text` itself when it needs no replacement.
std::string SafeText(std::string&& text);

// An element of a document built in memory by Document::Create.
struct BuiltElement;
class PlainSchema;

class Element {
 public:
  Element() = default;
  explicit Element(_xmlNode* node) : node_(node) {}
  explicit Element(BuiltElement* built) : built_(built) {}
  explicit operator bool() const { return node_ != nullptr || built_ != nullptr; }

  // The element's name; an empty Element fails as an object that is not set.
  std::string Name() const;
  // The attribute's value, or nothing when the element has no such attribute.
  std::optional<std::string> Attribute(std::string_view name) const;
  // Sets the attribute; what XML cannot carry in `value` is written as U+FFFD (see SafeText).
  void SetAttribute(std::string_view name, std::string value);
  // Creates an element `name` and appends it as the last child.
  Element AppendElement(const std::string& name);
  // The child elements, in order.
  std::vector<Element> Children() const;
  // The element's text as it stands in its document's text (no declaration, no line break).
  std::string Text() const;
  // The element itself when it is named `name`, then every element named `name` within it, at any
  // depth, in document order.
  std::vector<Element> ElementsByTagName(const std::string& name) const;

 private:
  // The parsed node, or nullptr for an element of a built document; the run-time error "object
  // not set" for an empty Element.
  _xmlNode* Node() const;
  _xmlNode* node_ = nullptr;
  BuiltElement* built_ = nullptr;
  // Of a parsed element: the attribute Attribute found last, and whether an attribute of the
  // element is in a namespace (-1: not yet looked at).
  mutable _xmlAttr* lastFound_ = nullptr;
  mutable signed char namespaced_ = -1;
  // Of a built element: the place after the attribute Attribute found last.
  mutable size_t builtNext_ = 0;
};

// Frees a libxml2 document.
struct DocumentFree {
  void operator()(_xmlDoc* doc) const;
};

// Frees a compiled libxml2 schema.
struct SchemaFree {
  void operator()(_xmlSchema* schema) const;
};

// Appends ` name="value"` to `out` as a built element's attribute is written (Document::Serialize):
// what XML cannot carry in `value` as U+FFFD (see Element::SetAttribute), the markup, line and tab
// characters as references.
void AppendAttributeText(std::string& out, std::string_view name, std::string_view value);

class Document {
 public:
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  ~Document();

  // Parses `text` as UTF-8 (an encoding declaration in it is not followed). Refused, with nullptr
  // and the reason in `reason`: texts over kMaxDocumentBytes, texts holding a NUL byte, texts that
  // begin as an EBCDIC document does, documents past the current DocumentLimits, documents with a
  // document type declaration, and whatever the parser finds not well formed.
  static std::unique_ptr<Document> Parse(const std::string& text, std::string& reason);
  // The parser's work of Parse on `text` (without Parse's checks), the text given to libxml2 as a
  // memory source, as libxml2's reading from memory does it: Parse gives the same for any text.
  static std::unique_ptr<Document> ParseFromMemory(const std::string& text, std::string& reason);
  // A new document (XML 1.0, no encoding declared) holding only the root element `rootName`, as
  // parsing "<?xml version='1.0' ?><rootName/>" gives it, without the parser's work. It is built
  // and written without libxml2; its text is the text libxml2 writes for the same document.
  static std::unique_ptr<Document> Create(const std::string& rootName);

  Element Root() const;
  // Every element named `name`, at any depth, in document order.
  std::vector<Element> ElementsByTagName(const std::string& name) const;
  // The first element named `name` in document order, or an empty Element.
  Element FirstElement(const std::string& name) const;
  // The text of the whole document.
  std::string Serialize() const;
  // Whether the document was read without libxml2 (a plain request) or created.
  bool Built() const { return built_ != nullptr; }

 private:
  // The parser's work on `text`, given to libxml2 as memory or as a string read where it stands.
  static std::unique_ptr<Document> ParseText(const std::string& text, std::string& reason, bool fromMemory);
  friend class Schema;
  explicit Document(_xmlDoc* doc);
  explicit Document(std::unique_ptr<BuiltElement> root);
  // A parsed document is libxml2's; a created one is built in memory.
  std::unique_ptr<_xmlDoc, DocumentFree> doc_;
  std::unique_ptr<BuiltElement> built_;
};

// A compiled XSD schema, read from its file. A compiled schema is only read after compiling, so
// one instance validates on many threads at once.
class Schema {
 public:
  Schema(const Schema&) = delete;
  Schema& operator=(const Schema&) = delete;

  // Reads and compiles the XSD file at `path`; nullptr with a reason naming the file on failure.
  static std::unique_ptr<Schema> Load(const std::string& path, std::string& reason);
  // The compiled schema of the file at `path`, compiled once for each state of the file (device,
  // inode, size, modification and change times) and shared by every thread. The file is watched
  // (see file_watch.h): an edited file is compiled anew on the next call. Failures are not kept;
  // nullptr with the reason.
  static std::shared_ptr<const Schema> Cached(const std::string& path, std::string& reason);
  // Validates `doc`; false with the validator's reason text. A built document (a created one, or a
  // plain request read without libxml2) is validated by the plain check, and where that is not
  // sure, as libxml2's parse of its text.
  bool Validate(const Document& doc, std::string& reason) const;
  // Whether the schema has the common shape that a plain request is checked against without
  // libxml2's validator.
  bool HasPlainCheck() const { return plain_ != nullptr; }
  // Whether the plain check alone finds `doc` valid (false when it is not sure or has no say).
  bool PlainlyValid(const Document& doc) const;
  ~Schema();

 private:
  Schema(_xmlSchema* schema, std::unique_ptr<PlainSchema> plain);
  // Looks at the file through the process's cache: the schema and the mark of that look.
  static Looked<Schema> LookAt(const std::string& path, std::string& reason);
  std::unique_ptr<_xmlSchema, SchemaFree> schema_;
  // The same schema as a plain check, when it has the common shape: a document it finds valid is
  // valid without libxml2's validator.
  std::unique_ptr<PlainSchema> plain_;
  // Validation contexts between validations: one is set up for each validation running at once
  // and kept for the next (a few at most), since setting one up costs more than a small request's
  // validation. Each holds its own state, so no two threads share one.
  mutable std::mutex idleMutex_;
  mutable std::vector<_xmlSchemaValidCtxt*> idle_;
};

}  // namespace kx::xml
