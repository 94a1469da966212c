#include "runtime/xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>
#include <libxml/xpath.h>

#include <functional>

#include "runtime/error.h"

namespace kx::xml {
namespace {

// Collects the first error libxml2 reports while it is installed, and keeps libxml2 from printing.
class ErrorCollector {
 public:
  ErrorCollector() {
    xmlSetStructuredErrorFunc(this, &ErrorCollector::OnError);
    xmlSetGenericErrorFunc(nullptr, &ErrorCollector::OnGeneric);
  }
  ~ErrorCollector() {
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    xmlSetGenericErrorFunc(nullptr, nullptr);
  }
  static void OnError(void* self, xmlErrorPtr error) {
    auto* collector = static_cast<ErrorCollector*>(self);
    if (collector->message.empty() && error && error->message && error->level >= XML_ERR_ERROR)
      collector->message = Clean(error->message);
  }
  static void OnGeneric(void*, const char*, ...) {}
  static std::string Clean(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
  }
  std::string message;
};

struct DtdRefusal {
  xmlParserCtxtPtr ctxt;
  bool refused = false;
};

void RefuseDocumentType(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  *static_cast<bool*>(ctxt->_private) = true;
  xmlStopParser(ctxt);
}

void Collect(xmlNodePtr node, const xmlChar* name, std::vector<Element>& out) {
  for (xmlNodePtr n = node; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (xmlStrEqual(n->name, name)) out.emplace_back(n);
    Collect(n->children, name, out);
  }
}

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

}  // namespace

std::string Element::Name() const { return reinterpret_cast<const char*>(node_->name); }

std::optional<std::string> Element::Attribute(const std::string& name) const {
  xmlAttrPtr attr = xmlHasProp(node_, X(name));
  if (!attr) return std::nullopt;
  xmlChar* value = xmlNodeListGetString(node_->doc, attr->children, 1);
  std::string result = value ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return result;
}

void Element::SetAttribute(const std::string& name, const std::string& value) {
  if (!xmlSetProp(node_, X(name), X(value))) throw std::bad_alloc();
}

Element Element::AppendElement(const std::string& name) {
  xmlNodePtr child = xmlNewDocNode(node_->doc, nullptr, X(name), nullptr);
  if (!child) throw std::bad_alloc();
  xmlAddChild(node_, child);
  return Element(child);
}

std::vector<Element> Element::Children() const {
  std::vector<Element> out;
  for (xmlNodePtr n = node_->children; n; n = n->next)
    if (n->type == XML_ELEMENT_NODE) out.emplace_back(n);
  return out;
}

Document::~Document() { xmlFreeDoc(doc_); }

std::unique_ptr<Document> Document::Parse(const std::string& text, std::string& reason) {
  if (text.size() > kMaxDocumentBytes) {
    reason = "The document is larger than the largest request accepted (16 MiB).";
    return nullptr;
  }
  ErrorCollector errors;
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) throw std::bad_alloc();
  bool refused = false;
  ctxt->_private = &refused;
  ctxt->sax->internalSubset = &RefuseDocumentType;
  // No entity substitution, no DTD loading, no network; the parser's own amplification limits stay.
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), nullptr,
                                    nullptr, XML_PARSE_NONET);
  const bool wellFormed = ctxt->wellFormed && doc && !refused;
  if (!wellFormed) {
    if (refused) {
      reason = "A document type declaration (DTD) is not allowed in a request.";
    } else if (!errors.message.empty()) {
      reason = errors.message;
    } else {
      reason = ErrorCollector::Clean(ctxt->lastError.message ? ctxt->lastError.message : "The document is not well formed.");
    }
    if (doc) xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
    return nullptr;
  }
  xmlFreeParserCtxt(ctxt);
  return std::unique_ptr<Document>(new Document(doc));
}

Schema::~Schema() { xmlSchemaFree(static_cast<xmlSchemaPtr>(schema_)); }

std::unique_ptr<Schema> Schema::Load(const std::string& path, std::string& reason) {
  ErrorCollector errors;
  xmlDocPtr schemaDoc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
  if (!schemaDoc) {
    reason = errors.message.empty() ? "failed to load the schema file \"" + path + "\"" : errors.message;
    return nullptr;
  }
  xmlSchemaParserCtxtPtr parser = xmlSchemaNewDocParserCtxt(schemaDoc);
  xmlSchemaPtr schema = parser ? xmlSchemaParse(parser) : nullptr;
  if (parser) xmlSchemaFreeParserCtxt(parser);
  xmlFreeDoc(schemaDoc);
  if (!schema) {
    reason = errors.message.empty() ? "The schema file \"" + path + "\" is not a valid schema" : errors.message;
    return nullptr;
  }
  return std::unique_ptr<Schema>(new Schema(schema));
}

bool Schema::Validate(const Document& doc, std::string& reason) const {
  ErrorCollector errors;
  xmlSchemaValidCtxtPtr valid = xmlSchemaNewValidCtxt(static_cast<xmlSchemaPtr>(schema_));
  if (!valid) throw std::bad_alloc();
  const int rc = xmlSchemaValidateDoc(valid, doc.doc_);
  xmlSchemaFreeValidCtxt(valid);
  if (rc == 0) return true;
  reason = errors.message.empty() ? "The document is not valid against its schema" : errors.message;
  return false;
}

Element Document::Root() const { return Element(xmlDocGetRootElement(doc_)); }

std::vector<Element> Document::ElementsByTagName(const std::string& name) const {
  std::vector<Element> out;
  Collect(xmlDocGetRootElement(doc_), X(name), out);
  return out;
}

Element Document::FirstElement(const std::string& name) const {
  const auto all = ElementsByTagName(name);
  return all.empty() ? Element() : all.front();
}

std::vector<Element> Document::SelectNodes(const std::string& xpath) const {
  std::vector<Element> out;
  xmlXPathContextPtr ctx = xmlXPathNewContext(doc_);
  if (!ctx) throw std::bad_alloc();
  xmlXPathObjectPtr result = xmlXPathEvalExpression(X(xpath), ctx);
  if (result && result->nodesetval) {
    for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
      xmlNodePtr n = result->nodesetval->nodeTab[i];
      if (n->type == XML_ELEMENT_NODE) out.emplace_back(n);
    }
  }
  xmlXPathFreeObject(result);
  xmlXPathFreeContext(ctx);
  if (!result) throw Error(9999 + kObjectErrorBase, "KX", "Invalid XPath expression: " + xpath);
  return out;
}

std::string Document::Serialize() const {
  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpMemory(doc_, &buffer, &size);
  if (!buffer) throw std::bad_alloc();
  std::string text(reinterpret_cast<const char*>(buffer), static_cast<size_t>(size));
  xmlFree(buffer);
  return text;
}

}  // namespace kx::xml
