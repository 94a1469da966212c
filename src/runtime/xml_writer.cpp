// Documents built in memory: their text, written byte for byte as libxml2 writes the same
// document, and the text XML can carry.
#include "runtime/xml_library.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::xml {
namespace {

// The bytes an attribute value cannot carry as they stand: the markup characters, the line and tab
// characters, and every byte of a character outside ASCII.
constexpr auto kWrittenOtherwise = [] {
  std::array<bool, 256> table{};
  for (const unsigned char c : {'<', '>', '&', '"', '\n', '\r', '\t'}) table[c] = true;
  for (size_t c = 0x80; c < 256; ++c) table[c] = true;
  return table;
}();

// Appends `value` as libxml2 writes an attribute value of a document that declares no encoding:
// the markup characters and the line and tab characters as references, every character outside
// ASCII as a hexadecimal character reference. `value` is text XML can carry (see SafeText).
void AppendAttributeValue(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t plain = 0;  // value[plain, i) is still to be appended as it stands
  for (size_t i = 0; i < value.size();) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (!kWrittenOtherwise[c]) {
      ++i;
      continue;
    }
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
  if (element.children.empty() && element.closing.empty()) {
    out.append("/>");
    return;
  }
  out.push_back('>');
  for (const auto& child : element.children) {
    out.append(child->before);
    AppendElementText(out, *child);
  }
  out.append(element.closing);
  out.append("</");
  out.append(element.name);
  out.push_back('>');
}

namespace {

// Whether byte `c` is by itself a character XML can carry (the common case, told without a call).
bool PlainCharacter(unsigned char c) { return c >= 0x20 ? c < 0x80 : c == 0x09 || c == 0x0A || c == 0x0D; }

}  // namespace

std::string SafeText(std::string_view text) {
  std::string out;
  size_t done = 0;  // text[0, done) is in `out`, except while no replacement was needed
  bool replaced = false;
  for (size_t i = 0; i < text.size();) {
    if (PlainCharacter(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
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

void AppendAttributeText(std::string& out, std::string_view name, std::string_view value) {
  // Most values are printable ASCII without markup: written as they stand, after one look, with
  // the name in one step.
  size_t i = 0;
  while (i < value.size() && !kWrittenOtherwise[static_cast<unsigned char>(value[i])] &&
         static_cast<unsigned char>(value[i]) >= 0x20)
    ++i;
  if (i == value.size()) {
    const size_t at = out.size();
    out.resize(at + name.size() + value.size() + 4);
    char* p = out.data() + at;
    *p++ = ' ';
    p = std::copy(name.begin(), name.end(), p);
    *p++ = '=';
    *p++ = '"';
    p = std::copy(value.begin(), value.end(), p);
    *p = '"';
    return;
  }
  out.push_back(' ');
  out.append(name);
  out.append("=\"");
  while (i < value.size() && PlainCharacter(static_cast<unsigned char>(value[i]))) ++i;
  if (i == value.size())
    AppendAttributeValue(out, value);
  else
    AppendAttributeValue(out, SafeText(value));
  out.push_back('"');
}

std::string SafeText(std::string&& text) {
  for (size_t i = 0; i < text.size();) {
    if (PlainCharacter(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    size_t bad = 0;
    const size_t n = XmlCharAt(text, i, bad);
    if (!n) return SafeText(std::string_view(text));
    i += n;
  }
  return std::move(text);
}

}  // namespace kx::xml
