// The document model: parsing a request, its elements and attributes, look-up by name, and the
// text of a document. Parsed documents are libxml2's, but for plain requests, which are read into
// the same tree as created ones (see xml_plain.cpp); created ones are built in memory (see
// xml_writer.cpp).
#include "runtime/xml.h"

#include <cstring>
#include <new>

#include "kx/error.h"
#include "runtime/xml_library.h"

namespace kx::xml {
namespace {

// SAX hook for a document type declaration: marks the parse refused and stops it before the
// declaration's content is read.
void RefuseDocumentType(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  *static_cast<bool*>(ctxt->_private) = true;
  Lib().xmlStopParser(ctxt);
}

void Collect(xmlNodePtr node, const xmlChar* name, std::vector<Element>& out) {
  for (xmlNodePtr n = node; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (Lib().xmlStrEqual(n->name, name)) out.emplace_back(n);
    Collect(n->children, name, out);
  }
}

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

void CollectBuilt(BuiltElement& element, const std::string& name, std::vector<Element>& out) {
  if (element.name == name) out.emplace_back(&element);
  for (const auto& child : element.children) CollectBuilt(*child, name, out);
}

}  // namespace

void DocumentFree::operator()(_xmlDoc* doc) const { Lib().xmlFreeDoc(doc); }

_xmlNode* Element::Node() const {
  if (!node_ && !built_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return node_;
}

std::string Element::Name() const {
  if (const xmlNodePtr node = Node()) return reinterpret_cast<const char*>(node->name);
  return built_->name;
}

namespace {

// Whether libxml2's name `n` is `name`, read no further than their first difference.
bool IsName(const xmlChar* n, std::string_view name) {
  for (const char c : name)
    if (*n == 0 || static_cast<char>(*n++) != c) return false;
  return *n == 0;
}

}  // namespace

std::optional<std::string> Element::Attribute(std::string_view name) const {
  if (const xmlNodePtr node = Node()) {
    // The element's own attributes, as xmlHasProp looks them up (a document type, which could add
    // defaults, is refused): the first of the name. Reads mostly follow the attributes' order, so
    // the search starts after the attribute found last and comes round to it. Two attributes share
    // a name only in two namespaces (the parser refuses a repeated one, and keeps the prefix of an
    // undeclared one in the name): an element with one in a namespace is searched from its first.
    if (namespaced_ < 0) {
      namespaced_ = 0;
      for (xmlAttrPtr a = node->properties; a; a = a->next)
        if (a->ns) namespaced_ = 1;
    }
    const xmlAttrPtr start = lastFound_ && lastFound_->next && !namespaced_ ? lastFound_->next : node->properties;
    xmlAttrPtr attr = start;
    while (attr && !IsName(attr->name, name)) attr = attr->next;
    for (xmlAttrPtr a = node->properties; !attr && a != start; a = a->next)
      if (IsName(a->name, name)) attr = a;
    if (!attr) return std::nullopt;
    lastFound_ = attr;
    // A value of one text is that text; anything else is joined as libxml2 joins it.
    const xmlNodePtr text = attr->children;
    if (!text) return std::string();
    if (text->type == XML_TEXT_NODE && !text->next && text->content)
      return std::string(reinterpret_cast<const char*>(text->content));
    const XmlText value(Lib().xmlNodeListGetString(node->doc, attr->children, 1));
    return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
  }
  // Names are unique in a built element; reads mostly follow its order, so the search starts
  // after the attribute found last.
  const auto& attributes = built_->attributes;
  const size_t count = attributes.size();
  for (size_t k = 0, i = builtNext_; k < count; ++k, ++i) {
    if (i >= count) i = 0;
    if (attributes[i].first == name) {
      builtNext_ = i + 1;
      return attributes[i].second;
    }
  }
  return std::nullopt;
}

void Element::SetAttribute(std::string_view name, std::string value) {
  if (const xmlNodePtr node = Node()) {
    if (!Lib().xmlSetProp(node, X(std::string(name)), X(SafeText(std::move(value))))) throw std::bad_alloc();
    return;
  }
  // As libxml2 does: a value set again keeps the attribute's place.
  for (auto& [n, v] : built_->attributes) {
    if (n == name) {
      v = SafeText(std::move(value));
      return;
    }
  }
  if (built_->attributes.empty()) built_->attributes.reserve(16);
  built_->attributes.emplace_back(std::string(name), SafeText(std::move(value)));
}

Element Element::AppendElement(const std::string& name) {
  if (const xmlNodePtr node = Node()) {
    xmlNodePtr child = Lib().xmlNewDocNode(node->doc, nullptr, X(name), nullptr);
    if (!child) throw std::bad_alloc();
    Lib().xmlAddChild(node, child);
    return Element(child);
  }
  auto& child = built_->children.emplace_back(std::make_unique<BuiltElement>());
  child->name = name;
  // As libxml2 appends: after the blanks that closed the element.
  child->before = std::move(built_->closing);
  built_->closing.clear();
  return Element(child.get());
}

std::vector<Element> Element::Children() const {
  std::vector<Element> out;
  if (const xmlNodePtr node = Node()) {
    for (xmlNodePtr n = node->children; n; n = n->next)
      if (n->type == XML_ELEMENT_NODE) out.emplace_back(n);
    return out;
  }
  for (const auto& child : built_->children) out.emplace_back(child.get());
  return out;
}

std::string Element::Text() const {
  const xmlNodePtr node = Node();
  if (!node) {
    std::string out;
    AppendElementText(out, *built_);
    return out;
  }
  const Buffer buffer(Lib().xmlBufferCreate());
  if (!buffer) throw std::bad_alloc();
  Lib().xmlNodeDump(buffer.get(), node->doc, node, 0, 0);
  return reinterpret_cast<const char*>(Lib().xmlBufferContent(buffer.get()));
}

Document::Document(_xmlDoc* doc) : doc_(doc) {}
Document::Document(std::unique_ptr<BuiltElement> root) : built_(std::move(root)) {}
Document::~Document() = default;

namespace {

// The first namespace name under `node` (and its following siblings) that would not read back as
// it stands once written: libxml2 writes a namespace name as it is, and a '<' or '&' in it breaks
// the document while a tab or line break reads back as a space. No URI holds any of them.
const xmlChar* UnwritableNamespace(xmlNodePtr node) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
      if (ns->href && std::strpbrk(reinterpret_cast<const char*>(ns->href), "<&\t\n\r")) return ns->href;
    if (const xmlChar* bad = UnwritableNamespace(node->children)) return bad;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<Document> Document::Parse(const std::string& text, std::string& reason) {
  if (text.size() > kMaxDocumentBytes) {
    reason = "The document is larger than the largest request accepted (16 MiB).";
    return nullptr;
  }
  // The parser would take a NUL byte for the end of the text and accept whatever follows it.
  if (const size_t nul = text.find('\0'); nul != std::string::npos) {
    reason =
        "The document holds a NUL character (byte " + std::to_string(nul) + "), which XML does not allow.";
    return nullptr;
  }
  // The parser reads a text that begins with these bytes as EBCDIC, whatever the options say; as
  // UTF-8 they are no text.
  if (text.compare(0, 4, "\x4C\x6F\xA7\x94") == 0) {
    reason = "The document is not UTF-8 text: it begins as an EBCDIC document does.";
    return nullptr;
  }
  const DocumentLimits limits = CurrentDocumentLimits();
  // A plain request within the limits is read without libxml2, into the tree libxml2 would build
  // of it; any other text is counted first.
  if (auto root = ReadPlain(text, limits)) return std::unique_ptr<Document>(new Document(std::move(root)));
  if (!WithinLimits(text, limits, reason)) return nullptr;
  // A text that begins as UTF-16 does is given as memory, which libxml2 reads in that encoding;
  // any other as the string it is, read where it stands: from a memory source the parser asks
  // for more text at nearly every step near its end, and a small request lies wholly near it.
  return ParseText(text, reason, text.compare(0, 2, "\xFE\xFF") == 0 || text.compare(0, 2, "\xFF\xFE") == 0);
}

std::unique_ptr<Document> Document::ParseFromMemory(const std::string& text, std::string& reason) {
  return ParseText(text, reason, true);
}

std::unique_ptr<Document> Document::ParseText(const std::string& text, std::string& reason, bool fromMemory) {
  const LibXml2& lib = Lib();
  ErrorCollector errors;
  // Each thread keeps one parser context for its requests: setting one up costs more than a small
  // request's parse. It is set up anew once its dictionary of names has grown large.
  thread_local ParserContext ctxt;
  constexpr size_t kMaxNames = 4096;
  if (ctxt && static_cast<size_t>(lib.xmlDictSize(ctxt->dict)) > kMaxNames) ctxt.reset();
  if (!ctxt) {
    ctxt.reset(lib.xmlNewParserCtxt());
    if (!ctxt) throw std::bad_alloc();
  }
  bool refused = false;
  ctxt->_private = &refused;
  ctxt->sax->internalSubset = &RefuseDocumentType;
  // The 16 MiB cap above is the size limit, so the parser's own text limits are lifted (HUGE).
  // Entities cannot be declared (a DTD is refused), so nothing expands; no network, no DTD
  // loading, and the text is UTF-8 whatever its declaration says. A short text (most attribute
  // values) is kept inside its node instead of in a string of its own (COMPACT): libxml2's own
  // changes of a tree (xmlSetProp, freeing) know such texts, and nothing else writes into one.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_IGNORE_ENC | XML_PARSE_COMPACT;
  Doc doc(fromMemory
              ? lib.xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr, kOptions)
              : lib.xmlCtxtReadDoc(ctxt.get(), reinterpret_cast<const xmlChar*>(text.c_str()), nullptr, nullptr, kOptions));
  if (ctxt->wellFormed && doc && !refused) {
    // Only a text that declares a namespace can hold one.
    if (text.find("xmlns") != std::string::npos && UnwritableNamespace(doc->children)) {
      reason = "A namespace name holds a character no namespace name can hold (<, &, a tab or a line break).";
      return nullptr;
    }
    return std::unique_ptr<Document>(new Document(doc.release()));
  }
  if (refused) {
    reason = "A document type declaration (DTD) is not allowed in a request.";
  } else if (!errors.message.empty()) {
    reason = errors.message;
  } else {
    reason = ErrorCollector::Clean(ctxt->lastError.message ? ctxt->lastError.message
                                                           : "The document is not well formed.");
  }
  return nullptr;
}

std::unique_ptr<Document> Document::Create(const std::string& rootName) {
  auto root = std::make_unique<BuiltElement>();
  root->name = rootName;
  return std::unique_ptr<Document>(new Document(std::move(root)));
}

Element Document::Root() const {
  return built_ ? Element(built_.get()) : Element(Lib().xmlDocGetRootElement(doc_.get()));
}

std::vector<Element> Document::ElementsByTagName(const std::string& name) const {
  std::vector<Element> out;
  if (built_)
    CollectBuilt(*built_, name, out);
  else
    Collect(Lib().xmlDocGetRootElement(doc_.get()), X(name), out);
  return out;
}

std::vector<Element> Element::ElementsByTagName(const std::string& name) const {
  std::vector<Element> out;
  if (const xmlNodePtr node = Node()) {
    if (Lib().xmlStrEqual(node->name, X(name))) out.emplace_back(node);
    Collect(node->children, X(name), out);
  } else {
    CollectBuilt(*built_, name, out);
  }
  return out;
}

Element Document::FirstElement(const std::string& name) const {
  const auto all = ElementsByTagName(name);
  return all.empty() ? Element() : all.front();
}

std::string Document::Serialize() const {
  if (built_) {
    // As libxml2 writes a document of version 1.0 with no encoding declared: the declaration, a
    // line break, the root element, a line break.
    std::string out;
    out.reserve(1024);
    out += "<?xml version=\"1.0\"?>\n";
    AppendElementText(out, *built_);
    out.push_back('\n');
    return out;
  }
  xmlChar* buffer = nullptr;
  int size = 0;
  Lib().xmlDocDumpMemory(doc_.get(), &buffer, &size);
  const XmlText owned(buffer);
  if (!owned) throw std::bad_alloc();
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(size));
}

}  // namespace kx::xml
