// The shape limits of request documents: attributes on one element, elements in all, depth and
// namespace declarations, counted before the parser sees the text and changed through SetDocumentLimits.
#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "jb_order_rows.h"
#include "kx/registry.h"
#include "runtime/xml.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

// Every test starts from the default limits and leaves them as it found them.
class DocumentLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = xml::CurrentDocumentLimits();
    xml::SetDocumentLimits({});
  }
  void TearDown() override { xml::SetDocumentLimits(saved_); }

  // The reason `text` is refused for; empty when it is parsed.
  static std::string Refusal(const std::string& text) {
    std::string reason;
    const auto doc = xml::Document::Parse(text, reason);
    if (doc) return "";
    EXPECT_FALSE(reason.empty());
    return reason;
  }

  xml::DocumentLimits saved_;
};

// " a0="0" a1="1" ..." with `count` attributes, each named `prefix` and its number.
std::string Attributes(size_t count, const std::string& prefix = "a") {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out += " " + prefix + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  return out;
}

// A root element holding `children` empty elements: `children` + 1 elements in all.
std::string Elements(size_t children) {
  std::string out = "<r>";
  for (size_t i = 0; i < children; ++i) out += "<e/>";
  return out + "</r>";
}

// An element with `count` namespace declarations, the first of them the default namespace.
std::string Namespaces(size_t count) {
  std::string out = "<r";
  for (size_t i = 0; i < count; ++i)
    out += (i == 0 ? std::string(" xmlns") : " xmlns:p" + std::to_string(i)) + "=\"urn:n" +
           std::to_string(i) + "\"";
  return out + "/>";
}

const std::string kAttributesWord = "attributes; an element of a request may have at most ";
const std::string kElementsWord = "elements; a request may hold at most ";
const std::string kNamespacesWord = "namespaces; a request may declare at most ";
const std::string kDepthWord = "levels deep; a request may nest elements at most ";

TEST_F(DocumentLimitsTest, DefaultsAreTheDocumentedOnes) {
  const xml::DocumentLimits limits = xml::CurrentDocumentLimits();
  EXPECT_EQ(limits.maxAttributesPerElement, 1000u);
  EXPECT_EQ(limits.maxElements, 32767u);
  EXPECT_EQ(limits.maxDepth, 256u);
  EXPECT_EQ(limits.maxNamespaceDeclarations, 100u);
  xml::SetDocumentLimits(
      {.maxAttributesPerElement = 7, .maxElements = 8, .maxDepth = 9, .maxNamespaceDeclarations = 10});
  const xml::DocumentLimits changed = xml::CurrentDocumentLimits();
  EXPECT_EQ(changed.maxAttributesPerElement, 7u);
  EXPECT_EQ(changed.maxElements, 8u);
  EXPECT_EQ(changed.maxDepth, 9u);
  EXPECT_EQ(changed.maxNamespaceDeclarations, 10u);
}

TEST_F(DocumentLimitsTest, AttributesOnOneElementUpToTheLimit) {
  const std::string atLimit = "<r><e" + Attributes(1000) + "/></r>";
  std::string reason;
  const auto doc = xml::Document::Parse(atLimit, reason);
  ASSERT_TRUE(doc) << reason;
  EXPECT_EQ(doc->FirstElement("e").Attribute("a999"), "999");

  const std::string over = "<r><e" + Attributes(1001) + "/></r>";
  EXPECT_EQ(Refusal(over),
            "The element at byte 3 of the document has more than 1000 " + kAttributesWord + "1000.");
  // The root counts like any element.
  EXPECT_NE(Refusal("<r" + Attributes(1001) + "/>").find(kAttributesWord + "1000."), std::string::npos);

  xml::SetDocumentLimits({.maxAttributesPerElement = 3});
  EXPECT_EQ(Refusal("<r><e" + Attributes(3) + "/></r>"), "");
  EXPECT_EQ(Refusal("<r><e" + Attributes(4) + "></e></r>"),
            "The element at byte 3 of the document has more than 3 " + kAttributesWord + "3.");
  // Namespace declarations are attributes too.
  EXPECT_EQ(Refusal("<r><e xmlns:p=\"urn:p\"" + Attributes(2) + "/></r>"), "");
  EXPECT_NE(Refusal("<r><e xmlns:p=\"urn:p\"" + Attributes(3) + "/></r>").find(kAttributesWord + "3."),
            std::string::npos);
}

TEST_F(DocumentLimitsTest, AttributesSpreadOverManyElementsAreAccepted) {
  // Forty times the limit in all, no element over it.
  std::string text = "<r" + Attributes(1000) + ">";
  for (int i = 0; i < 39; ++i) text += "<e" + Attributes(1000) + "/>";
  text += "</r>";
  std::string reason;
  auto doc = xml::Document::Parse(text, reason);
  ASSERT_TRUE(doc) << reason;
  EXPECT_EQ(doc->ElementsByTagName("e").size(), 39u);

  xml::SetDocumentLimits({.maxAttributesPerElement = 2});
  text = "<r a=\"1\" b=\"2\">";
  for (int i = 0; i < 1000; ++i) text += "<e a=\"1\" b='2'><f c=\"3\"/></e>";
  text += "</r>";
  doc = xml::Document::Parse(text, reason);
  ASSERT_TRUE(doc) << reason;
  EXPECT_EQ(doc->ElementsByTagName("f").size(), 1000u);
}

TEST_F(DocumentLimitsTest, ElementsInAllUpToTheLimit) {
  std::string reason;
  const auto doc = xml::Document::Parse(Elements(32766), reason);
  ASSERT_TRUE(doc) << reason;
  EXPECT_EQ(doc->ElementsByTagName("e").size(), 32766u);
  EXPECT_EQ(Refusal(Elements(32767)), "The document holds more than 32767 " + kElementsWord + "32767.");

  xml::SetDocumentLimits({.maxElements = 5});
  EXPECT_EQ(Refusal("<r><a/><b></b><c><d/></c></r>"), "");
  EXPECT_EQ(Refusal("<r><a/><b></b><c><d/></c><e/></r>"),
            "The document holds more than 5 " + kElementsWord + "5.");
  // Nesting makes no difference.
  EXPECT_NE(Refusal("<r><a><b><c><d><e/></d></c></b></a></r>").find(kElementsWord + "5."), std::string::npos);
}

// `levels` elements, each inside the one before, the innermost holding `inner`.
std::string Nested(size_t levels, const std::string& inner = "") {
  std::string out;
  for (size_t i = 0; i < levels; ++i) out += "<n" + std::to_string(i) + ">";
  out += inner;
  for (size_t i = levels; i-- > 0;) out += "</n" + std::to_string(i) + ">";
  return out;
}

TEST_F(DocumentLimitsTest, DepthUpToTheLimit) {
  EXPECT_EQ(Refusal(Nested(256)), "");
  EXPECT_EQ(Refusal(Nested(255, "<leaf a='1'/>")), "");
  const std::string deeper = Nested(256, "<leaf/>");
  EXPECT_EQ(Refusal(deeper), "The element at byte " + std::to_string(deeper.find("<leaf")) +
                                 " of the document lies more than 256 " + kDepthWord + "256 deep.");
  EXPECT_NE(Refusal(Nested(257)).find(kDepthWord + "256 deep."), std::string::npos);

  xml::SetDocumentLimits({.maxDepth = 3});
  // Siblings lie side by side: ended elements leave the depth as it was.
  EXPECT_EQ(Refusal("<r><a><b/></a><a x=\"/>\"><b></b><b/></a><a/><a/></r>"), "");
  const std::string fourth = "<r><a><b/></a><a><b><c/></b></a></r>";
  EXPECT_EQ(Refusal(fourth), "The element at byte " + std::to_string(fourth.find("<c/>")) +
                                 " of the document lies more than 3 " + kDepthWord + "3 deep.");
}

TEST_F(DocumentLimitsTest, NamespaceDeclarationsUpToTheLimit) {
  EXPECT_EQ(Refusal(Namespaces(100)), "");
  EXPECT_EQ(Refusal(Namespaces(101)), "The document declares more than 100 " + kNamespacesWord + "100.");

  xml::SetDocumentLimits({.maxNamespaceDeclarations = 2});
  // Counted over the whole document, on any element, whatever the spacing around '='.
  EXPECT_EQ(Refusal("<r xmlns=\"urn:a\"><p:e xmlns:p = 'urn:p' p:a=\"1\"/></r>"), "");
  EXPECT_EQ(Refusal("<r xmlns=\"urn:a\"><e xmlns:p=\"urn:p\"/><e xmlns:q=\"urn:q\"/></r>"),
            "The document declares more than 2 " + kNamespacesWord + "2.");
  EXPECT_NE(
      Refusal("<r xmlns\n=\"urn:a\"><e xmlns:p=\"urn:p\"/><e\txmlns:q=\"urn:q\"/></r>").find(kNamespacesWord),
      std::string::npos);
  // Attributes and elements whose names only hold the word declare nothing.
  EXPECT_EQ(
      Refusal("<r xmlnsa=\"1\" axmlns=\"2\" xmlns:b=\"urn:b\" xmlns=\"urn:r\"><xmlns xmlnsb=\"3\"/></r>"),
      "");
}

TEST_F(DocumentLimitsTest, CommentsSectionsInstructionsAndValuesDoNotCount) {
  xml::SetDocumentLimits({.maxAttributesPerElement = 2, .maxElements = 3, .maxNamespaceDeclarations = 1});
  // Three elements (r, c, d), at most two attributes on one, one namespace declaration; the rest
  // is inside values, comments, CDATA sections and processing instructions.
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<?style a=\"1\" b=\"2\" c=\"3\" <x/><y/>?>\n"
      "<!-- <x a='1' b='2' c='3'/><y/><z/> xmlns:q='urn:q' -->\n"
      "<r a=\"x>y&lt;\" b='>'>"
      "<!-- > ' \" <x/> - -->"
      "<![CDATA[<x a=\"1\" b=\"2\" c=\"3\"/><y/><z/> ' \" ]]]]>"
      "<c a=\"'\" b='\"' >text > more &lt;x/&gt;</c>"
      "<?pi <x/> xmlns:q='urn:q' ?>"
      "<d xmlns:p=\"urn:p\"/>"
      "</r>\n<!-- <x/> --><?end <x/>?>";
  std::string reason;
  const auto doc = xml::Document::Parse(text, reason);
  ASSERT_TRUE(doc) << reason;
  EXPECT_EQ(doc->Root().Attribute("a"), "x>y<");
  EXPECT_EQ(doc->Root().Children().size(), 2u);

  // One more of each is refused: the count is exact, not lenient.
  std::string oneMore = text;
  oneMore.replace(oneMore.find("<d "), 3, "<d/><d ");
  EXPECT_NE(Refusal(oneMore).find(kElementsWord + "3."), std::string::npos) << Refusal(oneMore);
  oneMore = text;
  oneMore.replace(oneMore.find("b='>'"), 5, "b='>' c=\">\"");
  EXPECT_NE(Refusal(oneMore).find(kAttributesWord + "2."), std::string::npos) << Refusal(oneMore);
  oneMore = text;
  oneMore.replace(oneMore.find("<c a=\"'\""), 8, "<c xmlns:q='urn:q'");
  EXPECT_NE(Refusal(oneMore).find(kNamespacesWord + "1."), std::string::npos) << Refusal(oneMore);
}

// Random well-formed documents, with the counts they were made with.
class RandomDocument {
 public:
  explicit RandomDocument(unsigned seed) : random_(seed) {
    if (Chance(2))
      text += Pick({"<?xml version=\"1.0\"?>", "<?xml version='1.0' encoding='UTF-8' ?>\n",
                    "\xEF\xBB\xBF<?xml version=\"1.0\" standalone=\"yes\"?>"});
    Misc();
    Element(1);
    Misc();
  }
  std::string text;
  size_t elements = 0, maxAttributes = 0, maxDepth = 0, namespaces = 0;

 private:
  bool Chance(unsigned in) { return random_() % in == 0; }
  std::string Pick(const std::vector<std::string>& from) { return from[random_() % from.size()]; }
  // Text for the inside of a comment, section, instruction or value: markup look-alikes included.
  std::string Filler() {
    std::string out;
    for (unsigned i = random_() % 4; i > 0; --i)
      out += Pick({"<e a=\"1\" b='2'>", "</e>", "<e/>", ">", "'", "\"", " xmlns:q=\"urn:q\" ", "<![CDATA[",
                   "<!--", "<?p?", "\xC3\xA9", "\xF0\x9F\x98\x80", "-", "]", "?", " ", "\n", "x"});
    return out;
  }
  void Misc() {
    for (unsigned i = random_() % 3; i > 0; --i) {
      switch (random_() % 3) {
        case 0: {
          std::string body = Filler();
          for (size_t at; (at = body.find("--")) != std::string::npos;) body.erase(at, 1);
          text += "<!--" + body + (body.empty() || body.back() != '-' ? "" : " ") + "-->";
          break;
        }
        case 1: {
          std::string body = Filler();
          for (size_t at; (at = body.find("?>")) != std::string::npos;) body.erase(at, 1);
          text += "<?" + Pick({"pi", "x-y", "\xC3\xA9t\xC3\xA9"}) + " " + body + "?>";
          break;
        }
        default:
          text += Pick({" ", "\n", "\t"});
      }
    }
  }
  void Element(size_t depth) {
    ++elements;
    maxDepth = std::max(maxDepth, depth);
    const std::string name = Pick({"e", "p:e", "xmlns", "a-b.c"});
    text += "<" + name;
    size_t attributes = 0;
    const bool declare = name == "p:e" || Chance(4);
    if (declare) {
      const bool two = Chance(3);
      text += two ? "\nxmlns:p='urn:p' xmlns=\"urn:d\"" : Pick({" xmlns:p=\"urn:p\"", "\txmlns:p = 'urn:p'"});
      attributes += two ? 2 : 1, namespaces += two ? 2 : 1;
    }
    for (unsigned i = random_() % 6; i > 0; --i, ++attributes) {
      const char quote = Chance(2) ? '"' : '\'';
      std::string value;
      for (const char c : Filler())
        value += c == '<'       ? "&lt;"
                 : c == '&'     ? "&amp;"
                 : c != quote   ? std::string(1, c)
                 : quote == '"' ? "&quot;"
                                : "&apos;";
      text += Pick({" ", "\n", "  "}) + "a" + std::to_string(attributes) + Pick({"=", " = "}) + quote +
              value + quote;
    }
    maxAttributes = std::max(maxAttributes, attributes);
    if (Chance(3)) {
      text += Pick({"/>", " />"});
      return;
    }
    text += ">";
    for (unsigned i = depth < 6 ? random_() % 5 : 0; i > 0; --i) {
      switch (random_() % 5) {
        case 0: {
          std::string body = Filler();
          for (size_t at; (at = body.find("]]>")) != std::string::npos;) body.erase(at, 1);
          text += "<![CDATA[" + body + "]]>";
          break;
        }
        case 1:
          text += Pick({"text > more", "&lt;e/&gt;", "&#x3C;", " ' \" "});
          break;
        case 2:
          Misc();
          break;
        default:
          Element(depth + 1);
      }
    }
    text += "</" + name + Pick({">", " >"});
  }
  std::mt19937 random_;
};

TEST_F(DocumentLimitsTest, RandomWellFormedDocumentsAreCountedExactly) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    const RandomDocument doc(seed);
    SCOPED_TRACE(doc.text);
    const xml::DocumentLimits exact{.maxAttributesPerElement = doc.maxAttributes,
                                    .maxElements = doc.elements,
                                    .maxDepth = doc.maxDepth,
                                    .maxNamespaceDeclarations = doc.namespaces};
    xml::SetDocumentLimits(exact);
    ASSERT_EQ(Refusal(doc.text), "");
    xml::DocumentLimits fewer = exact;
    --fewer.maxElements;
    xml::SetDocumentLimits(fewer);
    ASSERT_NE(Refusal(doc.text).find(kElementsWord), std::string::npos);
    fewer = exact;
    --fewer.maxDepth;
    xml::SetDocumentLimits(fewer);
    ASSERT_NE(Refusal(doc.text).find(kDepthWord), std::string::npos);
    if (doc.maxAttributes > 0) {
      fewer = exact;
      --fewer.maxAttributesPerElement;
      xml::SetDocumentLimits(fewer);
      ASSERT_NE(Refusal(doc.text).find(kAttributesWord), std::string::npos);
    }
    if (doc.namespaces > 0) {
      fewer = exact;
      --fewer.maxNamespaceDeclarations;
      xml::SetDocumentLimits(fewer);
      ASSERT_NE(Refusal(doc.text).find(kNamespacesWord), std::string::npos);
    }
  }
}

// Text the parser does not find well formed can hide nothing from the count: from a comment,
// section or instruction that the parser could end early, every '<' counts.
TEST_F(DocumentLimitsTest, MalformedTextHidesNoMarkupFromTheCount) {
  xml::SetDocumentLimits({.maxAttributesPerElement = 10});
  const std::string many = "<b" + Attributes(11) + "/>";
  const std::vector<std::string> texts = {
      "<r><!-- \x01 " + many + " --></r>",           // a comment the parser ends early
      "<r><![CDATA[ \x1F " + many + " ]]></r>",      // a CDATA section ended early
      "<r><?pi \xEF\xBF\xBE " + many + " ?></r>",    // an instruction ended early
      "<r><? " + many + " ?></r>",                   // an instruction without a name
      "<r><!-- " + many + "</r>",                    // a comment left open
      "<r><a x='" + many + "'/></r>",                // '<' in a value
      "<r><a x='1'" + many + "</r>",                 // a start tag left open
      "<r></a " + many + "</r>",                     // an end tag left open
      "<?xml version=\"1.0\" x>" + many + "?><r/>",  // an XML declaration the parser ends at '>'
      // a document type declaration the parser reads in full after an earlier error
      "<?xml version=\"1.0\" junk?><!DOCTYPE r [<!ENTITY e \"<!--\">]><r>" + many + "</r><!-- -->",
  };
  for (const auto& text : texts)
    EXPECT_NE(Refusal(text).find(kAttributesWord + "10."), std::string::npos) << text;
  // Well formed, the same markup is counted the same way.
  EXPECT_EQ(Refusal("<r><!-- " + many + " --><![CDATA[" + many + "]]><?pi " + many + "?></r>"), "");
}

TEST_F(DocumentLimitsTest, TextIsNeverReadAsEbcdic) {
  // "<?xml version="1.0" encoding="IBM037"?><r a="1"/>" in EBCDIC: the parser would decode it.
  const std::string ascii = "<?xml version=\"1.0\" encoding=\"IBM037\"?><r a=\"1\"/>";
  static const unsigned char kToEbcdic[128] = {
      0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F, 0x16, 0x05, 0x25, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
      0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26, 0x18, 0x19, 0x3F, 0x27, 0x1C, 0x1D, 0x1E, 0x1F,
      0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,
      0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,
      0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,
      0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xBA, 0xE0, 0xBB, 0xB0, 0x6D,
      0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
      0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1, 0x07};
  std::string ebcdic;
  for (const char c : ascii) ebcdic.push_back(static_cast<char>(kToEbcdic[static_cast<unsigned char>(c)]));
  ASSERT_EQ(ebcdic.substr(0, 4), "\x4C\x6F\xA7\x94");
  EXPECT_EQ(Refusal(ebcdic), "The document is not UTF-8 text: it begins as an EBCDIC document does.");
  EXPECT_EQ(Refusal(ascii), "");
}

TEST_F(DocumentLimitsTest, HundredThousandAttributesAreRefusedAtOnce) {
  const std::string text = "<r" + Attributes(100000) + "/>";
  const auto start = std::chrono::steady_clock::now();
  const std::string reason = Refusal(text);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(reason, "The element at byte 0 of the document has more than 1000 " + kAttributesWord + "1000.");
  // The parser took seconds over such a text; the count refuses it before the parser sees it.
  EXPECT_LT(seconds, 1.0);
}

class DocumentLimitsCall : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    saved_ = xml::CurrentDocumentLimits();
    xml::SetDocumentLimits({});
  }
  void TearDown() override {
    xml::SetDocumentLimits(saved_);
    EngineTest::TearDown();
  }
  xml::DocumentLimits saved_;
};

TEST_P(DocumentLimitsCall, ARequestPastTheLimitsFailsAsAComponentError) {
  auto& registry = Registry::Instance();
  const ObjectPtr profiles = registry.Create("C_JBTypeProfile");
  const std::string request =
      "<JBTypeProfile Code=\"TR\" JBTypeName=\"Truck\" JBTypeCategory=\"T\"" + Attributes(100000, "x") + "/>";
  std::string reason;
  ASSERT_FALSE(xml::Document::Parse(request, reason));
  ASSERT_NE(reason.find(kAttributesWord + "1000."), std::string::npos) << reason;

  const auto start = std::chrono::steady_clock::now();
  const Error e = CaptureError([&] {
    Args args{Variant(request)};
    registry.Invoke(*profiles, "add", args);
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_EQ(e.description(), "add Sub" + reason);
  EXPECT_LT(seconds, 1.0);

  // The same call within the limits goes through; with the limit lowered it is refused.
  Args within{Variant(std::string("<JBTypeProfile Code=\"TR\" JBTypeName=\"Truck\" JBTypeCategory=\"T\"/>"))};
  EXPECT_NO_THROW(registry.Invoke(*profiles, "add", within));
  xml::DocumentLimits two;
  two.maxAttributesPerElement = 2;
  xml::SetDocumentLimits(two);
  const Error lowered = CaptureError([&] {
    Args args{Variant(std::string("<JBTypeProfile Code=\"TS\" JBTypeName=\"Truck\" JBTypeCategory=\"T\"/>"))};
    registry.Invoke(*profiles, "add", args);
  });
  EXPECT_EQ(lowered.description(),
            "add Sub"
            "The element at byte 0 of the document has more than 2 " +
                kAttributesWord + "2.");
}

TEST_P(DocumentLimitsCall, AnOrderWithMoreLinesThanACollectionCountsIsRefused) {
  // 32,767 lines: with the order and the list, more elements than the limit, and more lines than
  // the order's collection could count once stored.
  const std::string request = OrderXml({}, Lines(std::vector<std::string>(32767, LineXml("1234567"))));
  std::string reason;
  ASSERT_FALSE(xml::Document::Parse(request, reason));
  EXPECT_EQ(reason, "The document holds more than 32767 " + kElementsWord + "32767.");
  auto& registry = Registry::Instance();
  const ObjectPtr orders = registry.Create("C_JBOrder");
  const Error e = CaptureError([&] {
    Args args{Variant(request), Variant(std::string("CO")), Variant(std::string("HKG"))};
    registry.Invoke(*orders, "add", args);
  });
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_EQ(e.description(), "add Function" + reason);
  EXPECT_EQ(CLng(S_DBHelpForKX().RunSQLReturnRS("select Count(*) as N from JB_ORDER")->Field("N")), 0);
}

KX_ENGINE_SUITE(DocumentLimitsCall);

}  // namespace
}  // namespace kx::test
