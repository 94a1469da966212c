// What the files of the XML documents share, private to them: libxml2, opened on first use, and
// the table of its functions; owners that free what libxml2 allocated; the collector of its errors;
// the test of a character XML can carry; the element of a document built in memory; and what the
// count of a request's shape and the writer of built documents offer the others.
#pragma once

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>
#include <libxml/xmlregexp.h>
#include <libxml/xmlschemastypes.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/xml.h"

namespace kx::xml {

struct BuiltElement {
  std::string name;
  // In the order they were first set; each value is text XML can carry.
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<std::unique_ptr<BuiltElement>> children;
  // Of a read request (see ReadPlain): the blanks before this element in its parent, and those
  // after its last child (or its whole content when it has none). Built answers have none.
  std::string before, closing;
};

}  // namespace kx::xml

// What follows is shared by these files only: it stays out of the library's exported symbols.
#pragma GCC visibility push(hidden)

namespace kx::xml {

// The libxml2 functions these files call. libxml2 is not linked: it is opened when a process first
// parses, validates or writes a parsed document, so that a call that only builds and writes an
// answer loads neither it nor ICU, lzma and zlib, which it pulls in.
#define KX_LIBXML2_FUNCTIONS(X)                                                                     \
  X(xmlInitParser) X(xmlSchemaInitTypes) X(xmlNewParserCtxt) X(xmlFreeParserCtxt) X(xmlCtxtReadMemory) X(xmlCtxtReadDoc) \
  X(xmlReadMemory) X(xmlStopParser) X(xmlDictSize) X(xmlFreeDoc) X(xmlNewDocNode) X(xmlDocGetRootElement)                 \
  X(xmlAddChild) X(xmlSetProp)                        \
  X(xmlNodeListGetString) X(xmlStrEqual) X(xmlDocDumpMemory) X(xmlBufferCreate) X(xmlBufferFree)      \
  X(xmlBufferContent) X(xmlNodeDump) X(xmlSchemaNewDocParserCtxt) X(xmlSchemaFreeParserCtxt)         \
  X(xmlSchemaParse) X(xmlSchemaFree) X(xmlSchemaNewValidCtxt) X(xmlSchemaFreeValidCtxt)              \
  X(xmlSchemaValidateDoc) X(xmlSetStructuredErrorFunc) X(xmlSetGenericErrorFunc) X(xmlRegexpCompile)    \
  X(xmlRegexpExec) X(xmlRegFreeRegexp)

struct LibXml2 {
#define KX_LIBXML2_SLOT(name) decltype(&::name) name = nullptr;
  KX_LIBXML2_FUNCTIONS(KX_LIBXML2_SLOT)
#undef KX_LIBXML2_SLOT
  // libxml2's deallocator (a variable of the library) and its per-thread error handlers (read
  // through functions; the headers' names for them are macros).
  xmlFreeFunc* freeFunction = nullptr;
  decltype(&::__xmlStructuredError) structuredError = nullptr;
  decltype(&::__xmlStructuredErrorContext) structuredErrorContext = nullptr;
  decltype(&::__xmlGenericError) genericError = nullptr;
  decltype(&::__xmlGenericErrorContext) genericErrorContext = nullptr;
};

// libxml2, opened on first use and kept open. A failure to open it is not kept: the next use tries
// again.
const LibXml2& Lib();

// Frees a libxml2 object with the library's function `Free`.
template <class T, auto Free>
struct FreeWith {
  void operator()(T* p) const { (Lib().*Free)(p); }
};

using ParserContext = std::unique_ptr<xmlParserCtxt, FreeWith<xmlParserCtxt, &LibXml2::xmlFreeParserCtxt>>;
using SchemaParserContext =
    std::unique_ptr<xmlSchemaParserCtxt, FreeWith<xmlSchemaParserCtxt, &LibXml2::xmlSchemaFreeParserCtxt>>;
using ValidationContext =
    std::unique_ptr<xmlSchemaValidCtxt, FreeWith<xmlSchemaValidCtxt, &LibXml2::xmlSchemaFreeValidCtxt>>;
using Buffer = std::unique_ptr<xmlBuffer, FreeWith<xmlBuffer, &LibXml2::xmlBufferFree>>;
using Doc = std::unique_ptr<xmlDoc, DocumentFree>;

// Frees text that libxml2 allocated.
struct XmlFree {
  void operator()(xmlChar* p) const { (*Lib().freeFunction)(p); }
};
using XmlText = std::unique_ptr<xmlChar, XmlFree>;

// Collects the first error libxml2 reports on this thread while it is installed, and keeps
// libxml2 from printing; the handlers it replaced come back when it ends.
class ErrorCollector {
 public:
  ErrorCollector()
      : lib_(Lib()),
        previous_(*lib_.structuredError()),
        previousContext_(*lib_.structuredErrorContext()),
        previousGeneric_(*lib_.genericError()),
        previousGenericContext_(*lib_.genericErrorContext()) {
    lib_.xmlSetStructuredErrorFunc(this, &ErrorCollector::OnError);
    lib_.xmlSetGenericErrorFunc(nullptr, &ErrorCollector::OnGeneric);
  }
  ~ErrorCollector() {
    lib_.xmlSetStructuredErrorFunc(previousContext_, previous_);
    lib_.xmlSetGenericErrorFunc(previousGenericContext_, previousGeneric_);
  }
  ErrorCollector(const ErrorCollector&) = delete;
  ErrorCollector& operator=(const ErrorCollector&) = delete;

  // Keeps the first error (not warning) as the reason.
  static void OnError(void* self, xmlErrorPtr error) {
    auto* collector = static_cast<ErrorCollector*>(self);
    if (collector->message.empty() && error && error->message && error->level >= XML_ERR_ERROR)
      collector->message = Clean(error->message);
  }
  // Swallows libxml2's unstructured messages.
  static void OnGeneric(void*, const char*, ...) {}
  // `s` without its trailing line breaks and blanks.
  static std::string Clean(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
  }
  std::string message;

 private:
  const LibXml2& lib_;
  xmlStructuredErrorFunc previous_;
  void* previousContext_;
  xmlGenericErrorFunc previousGeneric_;
  void* previousGenericContext_;
};

// The number of bytes of the character XML can carry that starts at s[i], or 0 when the bytes
// there are no such character; then `bad` is the length of the invalid part (the longest start of
// a well-formed UTF-8 sequence, at least 1 byte) that one U+FFFD replaces.
size_t XmlCharAt(std::string_view s, size_t i, size_t& bad);

// Whether `text` stays within `limits`, counted in one pass over it (xml_shape.cpp tells how);
// false with the reason when it does not.
bool WithinLimits(std::string_view text, const DocumentLimits& limits, std::string& reason);

// The tree of a plain request: elements with attributes (names in ASCII, no namespaces), blanks
// between them, an optional `<?xml version="1.0"?>`, in UTF-8. nullptr for any other text, which
// is then libxml2's to read. What it reads is the document libxml2 reads from the same text.
// A text past `limits` is not read either (WithinLimits then says why): the reading counts
// its elements, their depth and their attributes as WithinLimits counts them.
std::unique_ptr<BuiltElement> ReadPlain(std::string_view text, const DocumentLimits& limits);

// A schema of the common shape, checking a read request without libxml2's validator: named
// string types with length facets and patterns, xs:string, xs:int and xs:short attributes,
// elements with attributes and a sequence of distinct elements or a repeated choice of single
// ones. Compile gives nullptr for a schema that holds anything else. Fits says only "certainly
// valid": false leaves the verdict and its reason to libxml2.
class PlainSchema {
 public:
  static std::unique_ptr<PlainSchema> Compile(xmlDocPtr schemaDoc);
  bool Fits(const BuiltElement& root) const;
  ~PlainSchema();

 private:
  struct SimpleType;
  struct ComplexType;
  PlainSchema();
  static bool ValueFits(const SimpleType& type, const std::string& value);
  bool ElementFits(const ComplexType& type, const BuiltElement& element) const;
  std::vector<std::unique_ptr<SimpleType>> simpleTypes_;
  std::vector<std::unique_ptr<ComplexType>> complexTypes_;
  std::map<std::string, const ComplexType*> elements_;  // the global elements
};

// Appends the text of `element` as libxml2 writes it unformatted.
void AppendElementText(std::string& out, const BuiltElement& element);

}  // namespace kx::xml

#pragma GCC visibility pop
