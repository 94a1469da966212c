#include "runtime/xml.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>
#include <libxml/xmlschemastypes.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <type_traits>

#include "runtime/error.h"
#include "runtime/file_watch.h"

namespace kx::xml {
namespace {

// The libxml2 functions this file calls. libxml2 is not linked: it is opened when a process first
// parses, validates or writes a parsed document, so that a call that only builds and writes an
// answer loads neither it nor ICU, lzma and zlib, which it pulls in.
#define KX_LIBXML2_FUNCTIONS(X)                                                                     \
  X(xmlInitParser) X(xmlSchemaInitTypes) X(xmlNewParserCtxt) X(xmlFreeParserCtxt) X(xmlCtxtReadMemory) \
  X(xmlReadMemory) X(xmlStopParser) X(xmlDictSize) X(xmlFreeDoc) X(xmlNewDocNode) X(xmlDocGetRootElement)                 \
  X(xmlAddChild) X(xmlSetProp) X(xmlHasProp)          \
  X(xmlNodeListGetString) X(xmlStrEqual) X(xmlDocDumpMemory) X(xmlBufferCreate) X(xmlBufferFree)      \
  X(xmlBufferContent) X(xmlNodeDump) X(xmlSchemaNewDocParserCtxt) X(xmlSchemaFreeParserCtxt)         \
  X(xmlSchemaParse) X(xmlSchemaFree) X(xmlSchemaNewValidCtxt) X(xmlSchemaFreeValidCtxt)              \
  X(xmlSchemaValidateDoc) X(xmlSetStructuredErrorFunc) X(xmlSetGenericErrorFunc)

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

// Opens libxml2 and finds every function; fails with the loader's reason.
LibXml2 OpenLibXml2() {
  const auto fail = [](const std::string& what) -> std::runtime_error {
    const char* reason = dlerror();
    return std::runtime_error("The XML library " KX_LIBXML2_SONAME " cannot be " + what + ": " +
                              (reason ? reason : "no reason given"));
  };
  void* handle = dlopen(KX_LIBXML2_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw fail("loaded");
  LibXml2 lib;
  const auto find = [&](auto& slot, const char* name) {
    void* symbol = dlsym(handle, name);
    if (!symbol) throw fail("used");
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
  };
#define KX_LIBXML2_FIND(name) find(lib.name, #name);
  KX_LIBXML2_FUNCTIONS(KX_LIBXML2_FIND)
#undef KX_LIBXML2_FIND
  find(lib.freeFunction, "xmlFree");
  find(lib.structuredError, "__xmlStructuredError");
  find(lib.structuredErrorContext, "__xmlStructuredErrorContext");
  find(lib.genericError, "__xmlGenericError");
  find(lib.genericErrorContext, "__xmlGenericErrorContext");
  // libxml2's global state is prepared here, once, before the first document is parsed or made:
  // libxml2's own lazy set-up is not safe when two threads reach it first at the same time; this
  // one is (the first caller prepares, the others wait for it).
  lib.xmlInitParser();
  return lib;
}

// libxml2, opened on first use and kept open. A failure to open it is not kept: the next use tries
// again.
const LibXml2& Lib() {
  static const LibXml2 lib = OpenLibXml2();
  return lib;
}

// Prepares libxml2's built-in schema types once, before the first schema is compiled: a process
// that compiles none does not pay for them.
void InitSchemaTypes() {
  static const bool ready = (Lib().xmlSchemaInitTypes(), true);
  (void)ready;
}

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

// The number of bytes of the character XML can carry that starts at s[i], or 0 when the bytes
// there are no such character; then `bad` is the length of the invalid part (the longest start of
// a well-formed UTF-8 sequence, at least 1 byte) that one U+FFFD replaces.
size_t XmlCharAt(std::string_view s, size_t i, size_t& bad) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char lead = b(0);
  bad = 1;
  if (lead < 0x80) return lead >= 0x20 || lead == 0x09 || lead == 0x0A || lead == 0x0D ? 1 : 0;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if (i + k >= s.size() || b(k) < (k == 1 ? low : 0x80) || b(k) > (k == 1 ? high : 0xBF)) {
      bad = k;
      return 0;
    }
  }
  if (length == 3 && lead == 0xEF && b(1) == 0xBF && (b(2) == 0xBE || b(2) == 0xBF)) {
    bad = 3;  // U+FFFE and U+FFFF are no characters
    return 0;
  }
  return length;
}

// ---- the shape of a request, counted before the parser sees it

// The current DocumentLimits, read by every parse.
std::atomic<size_t> currentMaxAttributes{DocumentLimits{}.maxAttributesPerElement};
std::atomic<size_t> currentMaxElements{DocumentLimits{}.maxElements};
std::atomic<size_t> currentMaxDepth{DocumentLimits{}.maxDepth};
std::atomic<size_t> currentMaxNamespaces{DocumentLimits{}.maxNamespaceDeclarations};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether text[from, to) holds only characters XML can carry.
bool OnlyXmlChars(std::string_view text, size_t from, size_t to) {
  const std::string_view part = text.substr(0, to);
  for (size_t i = from; i < to;) {
    const auto c = static_cast<unsigned char>(part[i]);
    if (c >= 0x20 && c < 0x80) {
      ++i;
      continue;
    }
    size_t bad = 0;
    const size_t n = XmlCharAt(part, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Whether the character at text[i] can start a name, as the parser reads names (XML 1.0, fifth
// edition).
bool NameStartsAt(std::string_view text, size_t i) {
  if (i >= text.size()) return false;
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80)
    return (lead >= 'a' && lead <= 'z') || (lead >= 'A' && lead <= 'Z') || lead == '_' || lead == ':';
  size_t bad = 0;
  const size_t length = XmlCharAt(text, i, bad);
  if (length == 0) return false;
  uint32_t c = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

// Whether `text` stays within `limits`, counted in one pass over it; false with the reason when it
// does not.
//
// A well-formed document is counted exactly: its start tags are the elements, the quoted values in
// a start tag its attributes, and comments, CDATA sections and processing instructions are passed
// over whole. The count must also hold whatever the parser makes of a text that is not well formed:
// the parser goes on after most errors, and a comment, section or instruction it finds malformed ends
// where the error is, so what follows is markup to it. So the pass never passes over a '<' anywhere
// else (an attribute value or end tag that meets one ends there), and from the first comment,
// section or instruction that the parser could end early (one left open, one holding a character
// XML cannot carry, an instruction without a name) or the first other "<!" (a document type
// declaration or worse, refused either way) on, every '<' counts as markup and no end tag lowers
// the depth.
bool WithinLimits(std::string_view text, const DocumentLimits& limits, std::string& reason) {
  const size_t size = text.size();
  size_t pos = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;  // the parser passes over a byte order mark
  // The parser ends an XML declaration at its first '>', whatever comes before it.
  if (text.substr(pos, 5) == "<?xml" && pos + 5 < size && IsBlank(text[pos + 5])) {
    const size_t close = text.find('>', pos);
    pos = close == std::string_view::npos ? size : close + 1;
  }
  bool sectionsTrusted = true;
  size_t elements = 0, namespaces = 0;
  size_t depth = 0;  // elements started and not yet ended
  const auto refuse = [&](std::string what) {
    reason = std::move(what);
    return false;
  };
  for (;;) {
    const size_t start = text.find('<', pos);
    if (start == std::string_view::npos) return true;
    const char next = start + 1 < size ? text[start + 1] : '\0';
    if (next == '!' || next == '?') {
      size_t end = std::string_view::npos;  // just past the comment, section or instruction
      const auto passOver = [&](size_t from, std::string_view terminator) {
        const size_t close = text.find(terminator, from);
        if (close != std::string_view::npos && OnlyXmlChars(text, from, close))
          end = close + terminator.size();
      };
      if (sectionsTrusted) {
        if (text.substr(start, 4) == "<!--")
          passOver(start + 4, "-->");
        else if (text.substr(start, 9) == "<![CDATA[")
          passOver(start + 9, "]]>");
        else if (next == '?' && NameStartsAt(text, start + 2))
          passOver(start + 2, "?>");
      }
      if (end == std::string_view::npos) {
        sectionsTrusted = false;
        pos = start + 2;
      } else {
        pos = end;
      }
      continue;
    }
    size_t k = start + 1;
    if (next == '/') {
      while (k < size && text[k] != '>' && text[k] != '<') ++k;
      pos = k < size && text[k] == '>' ? k + 1 : k;
      if (sectionsTrusted && depth > 0) --depth;
      continue;
    }
    const auto where = [&] { return "The element at byte " + std::to_string(start) + " of the document "; };
    if (++elements > limits.maxElements)
      return refuse("The document holds more than " + std::to_string(limits.maxElements) +
                    " elements; a request may hold at most " + std::to_string(limits.maxElements) + ".");
    if (depth + 1 > limits.maxDepth)
      return refuse(where() + "lies more than " + std::to_string(limits.maxDepth) +
                    " levels deep; a request may nest elements at most " + std::to_string(limits.maxDepth) +
                    " deep.");
    size_t attributes = 0;
    bool ended = false;  // by "/>"
    while (k < size) {
      const char c = text[k];
      if (c == '>') {
        ended = text[k - 1] == '/';
        ++k;
        break;
      }
      if (c == '<') break;
      if (c == '"' || c == '\'') {
        if (++attributes > limits.maxAttributesPerElement)
          return refuse(where() + "has more than " + std::to_string(limits.maxAttributesPerElement) +
                        " attributes; an element of a request may have at most " +
                        std::to_string(limits.maxAttributesPerElement) + ".");
        ++k;
        while (k < size && text[k] != c && text[k] != '<') ++k;
        if (k < size && text[k] == c) ++k;
        continue;
      }
      if (c == 'x' && IsBlank(text[k - 1]) && text.substr(k, 5) == "xmlns" && k + 5 < size &&
          (text[k + 5] == ':' || text[k + 5] == '=' || IsBlank(text[k + 5]))) {
        if (++namespaces > limits.maxNamespaceDeclarations)
          return refuse("The document declares more than " + std::to_string(limits.maxNamespaceDeclarations) +
                        " namespaces; a request may declare at most " +
                        std::to_string(limits.maxNamespaceDeclarations) + ".");
        k += 5;
        continue;
      }
      ++k;
    }
    if (!ended) ++depth;
    pos = k;
  }
}

// Why a schema file cannot be used: the reason, naming the file.
std::string SchemaFileReason(const std::string& path, const std::string& what) {
  return "The schema file \"" + path + "\" " + what;
}

// The state of a file as one `stat` sees it; a file in another state is compiled anew.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{}, changed{};

  explicit FileIdentity(const struct stat& st)
      : device(st.st_dev), inode(st.st_ino), size(st.st_size), modified(st.st_mtim), changed(st.st_ctim) {}
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
           changed.tv_nsec == o.changed.tv_nsec;
  }
};

// Closes a file descriptor.
struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

// Reads the regular file at `path` into `content`, with the identity of what was read; false with
// a reason naming the file.
bool ReadSchemaFile(const std::string& path, std::string& content, std::optional<FileIdentity>& identity,
                    std::string& reason) {
  // Non-blocking, so that a named pipe in the schema's place cannot hold the call.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
    return false;
  }
  FileCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") +
                                        (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file"));
    return false;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
      return false;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  identity.emplace(st);
  return true;
}

// Compiles the schema file at `path`; nullptr with a reason naming the file on failure.
std::unique_ptr<xmlSchema, SchemaFree> CompileSchemaFile(const std::string& path,
                                                         std::optional<FileIdentity>& identity,
                                                         std::string& reason) {
  InitSchemaTypes();
  std::string content;
  if (!ReadSchemaFile(path, content, identity, reason)) return nullptr;
  if (content.size() > static_cast<size_t>(INT32_MAX)) {
    reason = SchemaFileReason(path, "is too large");
    return nullptr;
  }
  ErrorCollector errors;
  const Doc schemaDoc(Lib().xmlReadMemory(content.data(), static_cast<int>(content.size()), path.c_str(), nullptr,
                                    XML_PARSE_NONET));
  if (!schemaDoc) {
    const std::string why = !errors.message.empty() ? errors.message
                            : content.empty()       ? std::string("Document is empty")
                                                    : std::string("it is not well formed");
    reason = SchemaFileReason(path, "is not a valid schema: " + why);
    return nullptr;
  }
  const SchemaParserContext parser(Lib().xmlSchemaNewDocParserCtxt(schemaDoc.get()));
  if (!parser) throw std::bad_alloc();
  std::unique_ptr<xmlSchema, SchemaFree> schema(Lib().xmlSchemaParse(parser.get()));
  if (!schema) {
    reason = SchemaFileReason(
        path, errors.message.empty() ? "is not a valid schema" : "is not a valid schema: " + errors.message);
    return nullptr;
  }
  return schema;
}

// ---- documents built in memory

// Appends `value` as libxml2 writes an attribute value of a document that declares no encoding:
// the markup characters and the line and tab characters as references, every character outside
// ASCII as a hexadecimal character reference. `value` is text XML can carry (see SafeText).
void AppendAttributeValue(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t plain = 0;  // value[plain, i) is still to be appended as it stands
  for (size_t i = 0; i < value.size();) {
    const auto c = static_cast<unsigned char>(value[i]);
    const char* reference = nullptr;
    switch (c) {
      case '<': reference = "&lt;"; break;
      case '>': reference = "&gt;"; break;
      case '&': reference = "&amp;"; break;
      case '"': reference = "&quot;"; break;
      case '\n': reference = "&#10;"; break;
      case '\r': reference = "&#13;"; break;
      case '\t': reference = "&#9;"; break;
      default: break;
    }
    if (!reference && c < 0x80) {
      ++i;
      continue;
    }
    out.append(value.substr(plain, i - plain));
    if (reference) {
      out.append(reference);
      ++i;
    } else {
      const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      uint32_t code = c & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
      for (size_t k = 1; k < length && i + k < value.size(); ++k)
        code = (code << 6) | (static_cast<unsigned char>(value[i + k]) & 0x3F);
      char digits[8];
      int n = 0;
      do {
        digits[n++] = kHex[code & 0xF];
        code >>= 4;
      } while (code);
      out.append("&#x");
      while (n) out.push_back(digits[--n]);
      out.push_back(';');
      i += length;
    }
    plain = i;
  }
  out.append(value.substr(plain));
}

}  // namespace

struct BuiltElement {
  std::string name;
  // In the order they were first set; each value is text XML can carry.
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<std::unique_ptr<BuiltElement>> children;
};

namespace {

// Appends the text of `element` as libxml2 writes it unformatted.
void AppendElementText(std::string& out, const BuiltElement& element) {
  out.push_back('<');
  out.append(element.name);
  for (const auto& [name, value] : element.attributes) {
    out.push_back(' ');
    out.append(name);
    out.append("=\"");
    AppendAttributeValue(out, value);
    out.push_back('"');
  }
  if (element.children.empty()) {
    out.append("/>");
    return;
  }
  out.push_back('>');
  for (const auto& child : element.children) AppendElementText(out, *child);
  out.append("</");
  out.append(element.name);
  out.push_back('>');
}

void CollectBuilt(BuiltElement& element, const std::string& name, std::vector<Element>& out) {
  if (element.name == name) out.emplace_back(&element);
  for (const auto& child : element.children) CollectBuilt(*child, name, out);
}

}  // namespace

void DocumentFree::operator()(_xmlDoc* doc) const { Lib().xmlFreeDoc(doc); }
void SchemaFree::operator()(_xmlSchema* schema) const { Lib().xmlSchemaFree(schema); }

Schema::~Schema() {
  for (xmlSchemaValidCtxtPtr valid : idle_) Lib().xmlSchemaFreeValidCtxt(valid);
}

std::string SafeText(std::string_view text) {
  std::string out;
  size_t done = 0;  // text[0, done) is in `out`, except while no replacement was needed
  bool replaced = false;
  for (size_t i = 0; i < text.size();) {
    size_t bad = 0;
    if (const size_t n = XmlCharAt(text, i, bad)) {
      i += n;
      continue;
    }
    if (!replaced) out.reserve(text.size() + 8);
    replaced = true;
    out.append(text.substr(done, i - done));
    out.append("\xEF\xBF\xBD");
    i += bad;
    done = i;
  }
  if (!replaced) return std::string(text);
  out.append(text.substr(done));
  return out;
}

_xmlNode* Element::Node() const {
  if (!node_ && !built_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return node_;
}

std::string Element::Name() const {
  if (const xmlNodePtr node = Node()) return reinterpret_cast<const char*>(node->name);
  return built_->name;
}

std::optional<std::string> Element::Attribute(const std::string& name) const {
  if (const xmlNodePtr node = Node()) {
    xmlAttrPtr attr = Lib().xmlHasProp(node, X(name));
    if (!attr) return std::nullopt;
    const XmlText value(Lib().xmlNodeListGetString(node->doc, attr->children, 1));
    return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
  }
  for (const auto& [n, value] : built_->attributes)
    if (n == name) return value;
  return std::nullopt;
}

void Element::SetAttribute(const std::string& name, const std::string& value) {
  if (const xmlNodePtr node = Node()) {
    if (!Lib().xmlSetProp(node, X(name), X(SafeText(value)))) throw std::bad_alloc();
    return;
  }
  // As libxml2 does: a value set again keeps the attribute's place.
  for (auto& [n, v] : built_->attributes) {
    if (n == name) {
      v = SafeText(value);
      return;
    }
  }
  built_->attributes.emplace_back(name, SafeText(value));
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

void SetDocumentLimits(const DocumentLimits& limits) {
  currentMaxAttributes.store(limits.maxAttributesPerElement, std::memory_order_relaxed);
  currentMaxElements.store(limits.maxElements, std::memory_order_relaxed);
  currentMaxDepth.store(limits.maxDepth, std::memory_order_relaxed);
  currentMaxNamespaces.store(limits.maxNamespaceDeclarations, std::memory_order_relaxed);
}

DocumentLimits CurrentDocumentLimits() {
  DocumentLimits limits;
  limits.maxAttributesPerElement = currentMaxAttributes.load(std::memory_order_relaxed);
  limits.maxElements = currentMaxElements.load(std::memory_order_relaxed);
  limits.maxDepth = currentMaxDepth.load(std::memory_order_relaxed);
  limits.maxNamespaceDeclarations = currentMaxNamespaces.load(std::memory_order_relaxed);
  return limits;
}

Document::Document(_xmlDoc* doc) : doc_(doc) {}
Document::Document(std::unique_ptr<BuiltElement> root) : built_(std::move(root)) {}
Document::~Document() = default;

std::unique_ptr<Document> Document::Parse(const std::string& text, std::string& reason) {
  const LibXml2& lib = Lib();
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
  if (!WithinLimits(text, CurrentDocumentLimits(), reason)) return nullptr;
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
  // loading, and the text is UTF-8 whatever its declaration says.
  Doc doc(lib.xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_IGNORE_ENC));
  if (ctxt->wellFormed && doc && !refused) return std::unique_ptr<Document>(new Document(doc.release()));
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

std::unique_ptr<Schema> Schema::Load(const std::string& path, std::string& reason) {
  std::optional<FileIdentity> identity;
  auto schema = CompileSchemaFile(path, identity, reason);
  return schema ? std::unique_ptr<Schema>(new Schema(schema.release())) : nullptr;
}

std::shared_ptr<const Schema> Schema::Cached(const std::string& path, std::string& reason) {
  struct Entry {
    FileIdentity identity;
    std::shared_ptr<const Schema> schema;
    FileMark mark;  // taken before the file was last looked at
  };
  static std::mutex mutex;
  static std::map<std::string, Entry> cache;
  // Bounds the cache when very many schema paths come and go.
  constexpr size_t kMaxEntries = 64;

  {
    // A file noticed unchanged since it was last looked at is not looked at again.
    std::lock_guard lock(mutex);
    const auto it = cache.find(path);
    if (it != cache.end() && UnchangedSince(it->second.mark)) return it->second.schema;
  }
  const FileMark mark = MarkFile(path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
    return nullptr;
  }
  {
    std::lock_guard lock(mutex);
    const auto it = cache.find(path);
    if (it != cache.end() && it->second.identity == FileIdentity(st)) {
      it->second.mark = mark;
      return it->second.schema;
    }
  }
  // Compiled outside the lock: other schemas stay available meanwhile.
  std::optional<FileIdentity> identity;
  auto compiled = CompileSchemaFile(path, identity, reason);
  if (!compiled) return nullptr;
  std::shared_ptr<const Schema> schema(new Schema(compiled.release()));
  std::lock_guard lock(mutex);
  if (cache.size() >= kMaxEntries && !cache.count(path)) cache.clear();
  cache.insert_or_assign(path, Entry{*identity, schema, mark});
  return schema;
}

bool Schema::Validate(const Document& doc, std::string& reason) const {
  if (doc.built_) {
    const auto parsed = Document::Parse(doc.Serialize(), reason);
    return parsed && Validate(*parsed, reason);
  }
  // Each call has its own validation context, and libxml2 gives that context its own string
  // dictionary: threads share no dictionary they write to (the compiled schema's is only read).
  ErrorCollector errors;
  ValidationContext valid;
  {
    std::lock_guard lock(idleMutex_);
    if (!idle_.empty()) {
      valid.reset(idle_.back());
      idle_.pop_back();
    }
  }
  if (!valid) valid.reset(Lib().xmlSchemaNewValidCtxt(schema_.get()));
  if (!valid) throw std::bad_alloc();
  const int rc = Lib().xmlSchemaValidateDoc(valid.get(), doc.doc_.get());
  {
    // Each validation starts from a cleared state, so a context is kept whatever it found.
    constexpr size_t kMaxIdle = 8;
    std::lock_guard lock(idleMutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(valid.release());
  }
  if (rc == 0) return true;
  reason = errors.message.empty() ? "The document is not valid against its schema" : errors.message;
  return false;
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

Element Document::FirstElement(const std::string& name) const {
  const auto all = ElementsByTagName(name);
  return all.empty() ? Element() : all.front();
}

std::string Document::Serialize() const {
  if (built_) {
    // As libxml2 writes a document of version 1.0 with no encoding declared: the declaration, a
    // line break, the root element, a line break.
    std::string out = "<?xml version=\"1.0\"?>\n";
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
