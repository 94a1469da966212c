// The shape of a request document (elements, depth, attributes, namespace declarations), counted
// in one pass over its text before the parser sees it, and the limits every parse applies.
#include "runtime/xml_library.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::xml {
namespace {

// The current DocumentLimits, read by every parse.
std::atomic<size_t> currentMaxAttributes{DocumentLimits{}.maxAttributesPerElement};
std::atomic<size_t> currentMaxElements{DocumentLimits{}.maxElements};
std::atomic<size_t> currentMaxDepth{DocumentLimits{}.maxDepth};
std::atomic<size_t> currentMaxNamespaces{DocumentLimits{}.maxNamespaceDeclarations};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes of `stops`, as a table read by byte.
constexpr std::array<bool, 256> StopTable(std::string_view stops) {
  std::array<bool, 256> table{};
  for (const char c : stops) table[static_cast<unsigned char>(c)] = true;
  return table;
}
// In a start tag, what the count looks at: its end, a value's quote, a namespace declaration's
// first letter, markup; in a value, what may end it.
constexpr std::array<bool, 256> kTagStop = StopTable("><\"'x");
constexpr std::array<bool, 256> kValueStop = StopTable("\"'<");

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

}  // namespace

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
      // Passes over what can neither end the tag nor start a value or a namespace declaration.
      while (k < size && !kTagStop[static_cast<unsigned char>(text[k])]) ++k;
      if (k == size) break;
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
        for (;; ++k) {
          while (k < size && !kValueStop[static_cast<unsigned char>(text[k])]) ++k;
          if (k == size || text[k] == c || text[k] == '<') break;
        }
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

}  // namespace kx::xml
