// libxml2, opened by its SONAME when a process first parses, validates or writes a parsed
// document, and the test of a character XML can carry.
#include "runtime/xml_library.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <type_traits>

namespace kx::xml {
namespace {

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

}  // namespace

const LibXml2& Lib() {
  static const LibXml2 lib = OpenLibXml2();
  return lib;
}

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

}  // namespace kx::xml
