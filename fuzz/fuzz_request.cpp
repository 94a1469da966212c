// Request loading: parsing, validated loading against the type profile schema, and the text an
// answer writes. Besides not crashing: what is accepted reads back the same, a refused text fails
// as a component error, and any value set on an answer leaves it well-formed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "shared/mod_kx_xml.h"

namespace {

using kx::fuzz::Check;
namespace xml = kx::xml;

// The number of characters in UTF-8 `s`.
size_t Characters(const std::string& s) {
  size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Validated loading agrees with parsing, and what the schema accepts has the widths it promises.
void CheckValidatedLoading(const std::string& text, bool parses) {
  static const std::string schema = kx::fuzz::SchemaFolder() + "KX_XMLSCHEMA/JBTypeProfile_Add&Modify.xsd";
  std::unique_ptr<xml::Document> doc;
  try {
    doc = kx::LoadValidated(text, schema);
  } catch (const kx::Error& e) {
    Check(e.number() == kx::kComponentError, "a refusal is no component error", e.description());
    Check(!e.description().empty(), "a refusal gives no reason");
    return;
  }
  Check(doc != nullptr && parses, "validated loading accepted what parsing refuses", text);
  const xml::Element profile = doc->FirstElement("JBTypeProfile");
  Check(bool(profile), "an accepted request has no JBTypeProfile", text);
  const auto code = profile.Attribute("Code"), name = profile.Attribute("JBTypeName"),
             category = profile.Attribute("JBTypeCategory");
  Check(code && name && category, "an accepted request misses a required attribute", text);
  Check(Characters(*code) >= 1 && Characters(*code) <= 20, "an accepted Code has the wrong width", *code);
  Check(Characters(*name) <= 100, "an accepted JBTypeName is too wide", *name);
  Check(Characters(*category) <= 2, "an accepted JBTypeCategory is too wide", *category);
}

// Any value written into an answer leaves it well-formed, and reads back as SafeText of it.
void CheckAnswerText(const std::string& value) {
  const std::string safe = xml::SafeText(value);
  Check(xml::SafeText(safe) == safe, "SafeText changes its own result", value);
  auto answer = kx::LoadTemplate("<?xml version='1.0' ?><Root><JBTypeProfiles/></Root>");
  xml::Element row = answer->FirstElement("JBTypeProfiles").AppendElement("JBTypeProfile");
  row.SetAttribute("JBTypeName", value);
  const std::string text = answer->Serialize();
  std::string reason;
  const auto back = xml::Document::Parse(text, reason);
  Check(back != nullptr, "an answer with a written value does not parse: " + reason, text);
  Check(back->FirstElement("JBTypeProfile").Attribute("JBTypeName") == safe,
        "a written value reads back changed", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto doc = xml::Document::Parse(text, reason);
  if (doc) {
    // What was read is written out as a document that reads back to the same text.
    const std::string once = doc->Serialize();
    const auto again = xml::Document::Parse(once, reason);
    Check(again != nullptr, "a serialized document does not parse: " + reason, once);
    Check(again->Serialize() == once, "serializing is not stable", once);
    Check(bool(doc->Root()), "an accepted document has no root");
    for (const auto& e : doc->ElementsByTagName(doc->Root().Name()))
      Check(e.Name() == doc->Root().Name(), "a look-up by name found another name");
  } else {
    Check(!reason.empty(), "a refusal gives no reason");
  }
  CheckValidatedLoading(text, doc != nullptr);
  CheckAnswerText(text);
  return 0;
}
