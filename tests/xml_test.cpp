// Validated loading of request documents, safe parsing, and the document operations the
// controllers use.
#include "runtime/xml.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

const std::string kAccessKeyPrefix = " The AccessKey is wrong ";

class ValidatedLoading : public ::testing::Test {
 protected:
  // The error LoadValidated raises for `text` against the access key schema.
  Error Refusal(const std::string& text, const std::string& prefix = "") {
    return CaptureError([&] { LoadValidated(text, Sch_AccessKey(), prefix); });
  }
  TestHome home_;
};

TEST_F(ValidatedLoading, AcceptsAValidDocument) {
  const auto doc = LoadValidated(
      "<Root><AccessKey Field=\"JBNo\" SearchCondition=\"BeginWith\" Key=\"JB0\"/>"
      "<AccessKey Field=\"State\" SearchCondition=\"=\" Key=\"1\"/></Root>",
      Sch_AccessKey(), kAccessKeyPrefix);
  ASSERT_TRUE(doc);
  const auto keys = doc->ElementsByTagName("AccessKey");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].Attribute("Key"), "JB0");
  EXPECT_EQ(keys[1].Attribute("SearchCondition"), "=");
}

// Every document, parser and validation context a request uses is freed (or kept for the next
// request): thousands of requests, accepted, refused and not well formed, leave the heap as it was.
TEST_F(ValidatedLoading, ManyRequestsLeaveNothingBehind) {
  auto requests = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const std::string key = std::to_string(i);
      try {
        switch (i % 4) {
          case 0:
            LoadValidated("<Root><AccessKey Field=\"F\" SearchCondition=\"=\" Key=\"" + key + "\"/></Root>",
                          Sch_AccessKey());
            break;
          case 1:
            LoadValidated("<Root><AccessKey Field=\"F\" Key=\"" + key + "\"/></Root>", Sch_AccessKey());
            break;
          case 2:
            LoadValidated("<Root><AccessKey Field=\"" + key + "\"></Root>", Sch_AccessKey());
            break;
          default:
            LoadValidated("<!DOCTYPE Root><Root/>", Sch_AccessKey());
        }
      } catch (const Error&) {
      }
    }
  };
  requests(200);  // what is kept for later requests is set up by now
  const size_t before = mallinfo2().uordblks;
  requests(4000);
  const size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + 256 * 1024) << "heap in use grew from " << before << " to " << after << " bytes";
}

TEST_F(ValidatedLoading, RefusesWithTheParsersReason) {
  // text, and a word the reason names
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<Root><AccessKey Field=\"JBNo\" SearchCondition=\"=\"/></Root>", "Key"},  // required attribute
      {"<Root><AccessKey Field=\"JBNo\" SearchCondition=\"=\" Key=\"1\"></Root>",
       "AccessKey"},  // not well formed
      {"<Query/>", "Query"},
      {"", "empty"},
      {"   ", "<"},
  };
  for (const auto& [text, word] : cases) {
    const Error plain = Refusal(text);
    EXPECT_EQ(plain.number(), kComponentError);
    EXPECT_NE(plain.description().find(word), std::string::npos) << plain.description();
    EXPECT_EQ(plain.source(), plain.description());
    // Search conditions keep their own words in front of the same reason.
    EXPECT_EQ(Refusal(text, kAccessKeyPrefix).description(), kAccessKeyPrefix + plain.description());
  }
}

TEST_F(ValidatedLoading, TypeProfileSchemaNeedsEveryAttribute) {
  const std::string schema = Sch_JBTypeProfileAddModify();
  EXPECT_TRUE(
      LoadValidated("<JBTypeProfile Code=\"TR\" JBTypeName=\"Truck\" JBTypeCategory=\"T\"/>", schema));
  const Error e =
      CaptureError([&] { LoadValidated("<JBTypeProfile Code=\"TR\" JBTypeName=\"Truck\"/>", schema); });
  EXPECT_NE(e.description().find("JBTypeCategory"), std::string::npos) << e.description();
}

TEST_F(ValidatedLoading, DocumentTypeDeclarationsAreRefused) {
  const std::string secret = home_.WriteFile("secret.txt", "TOP-SECRET-7781");
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE Root [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 12; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]><Root><AccessKey Field=\"&l12;\" SearchCondition=\"=\" Key=\"1\"/></Root>";
  const std::vector<std::string> texts = {
      laughs,
      "<!DOCTYPE Root [<!ELEMENT Root ANY>]><Root/>",
      "<!DOCTYPE Root [<!ENTITY x SYSTEM \"file://" + secret +
          "\">]><Root><AccessKey Field=\"&x;\" SearchCondition=\"=\" Key=\"&x;\"/></Root>",
      "<!DOCTYPE Root SYSTEM \"file://" + secret + "\"><Root/>",
      "<!DOCTYPE Root [<!ENTITY p SYSTEM \"file:///etc/passwd\">]><Root><AccessKey Field=\"&p;\" "
      "SearchCondition=\"=\" Key=\"1\"/></Root>",
  };
  for (const auto& text : texts) {
    const Error e = Refusal(text, kAccessKeyPrefix);
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_EQ(e.description().rfind(kAccessKeyPrefix + "A document type declaration (DTD)", 0), 0u)
        << e.description();
    EXPECT_EQ(e.description().find("TOP-SECRET"), std::string::npos);
    EXPECT_EQ(e.description().find("root:"), std::string::npos);
  }
}

TEST_F(ValidatedLoading, MissingSchemaFileFailsWithTheLoadersReason) {
  const Error e =
      CaptureError([&] { LoadValidated("<Root/>", home_.folder() + "/NoSuch.xsd", kAccessKeyPrefix); });
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_NE(e.description().find("NoSuch.xsd"), std::string::npos) << e.description();
  EXPECT_NE(e.description().rfind(kAccessKeyPrefix, 0), 0u);  // raised as the loader gives it
  // A schema folder configured without its final separator runs into the sub-folder's name.
  std::string folder = SchemaFolder();
  folder.pop_back();
  home_.WriteConfig("[XML]\nXMLSCHEMAPATH=" + folder + "\n");
  const Error joined = CaptureError([] {
    LoadValidated("<Root><AccessKey Field=\"A\" SearchCondition=\"=\" Key=\"1\"/></Root>", Sch_AccessKey());
  });
  EXPECT_NE(joined.description().find("schemasAccessKey_xmlschema"), std::string::npos)
      << joined.description();
}

TEST_F(ValidatedLoading, NulByteIsRefusedWhereverItStands) {
  using namespace std::string_literals;
  const std::vector<std::string> texts = {
      "<Root/>\0<!DOCTYPE Root [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><junk"s,  // after the root
      "<Root><AccessKey Field=\"A\" SearchCondition=\"=\" Key=\"1\0\"/></Root>"s,    // in a value
      "\0<Root/>"s,
      "<Root/>\0"s,
  };
  for (const auto& text : texts) {
    std::string reason;
    EXPECT_EQ(xml::Document::Parse(text, reason), nullptr);
    EXPECT_NE(reason.find("NUL character"), std::string::npos) << reason;
    const Error e = Refusal(text, kAccessKeyPrefix);
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_EQ(e.description(), kAccessKeyPrefix + reason);
  }
}

// A well-formed access key document of exactly `size` bytes whose Key carries the padding.
std::string AccessKeyOfSize(size_t size) {
  const std::string head = "<Root><AccessKey Field=\"A\" SearchCondition=\"=\" Key=\"", tail = "\"/></Root>";
  return head + std::string(size - head.size() - tail.size(), 'k') + tail;
}

TEST_F(ValidatedLoading, TheRequestCapIsTheOnlySizeLimit) {
  // Values and documents past the parser's own 10 MB limits up to the cap are read in full.
  const std::string bigValue(15u << 20, 'v');
  const std::vector<std::pair<std::string, std::string>> accepted = {
      {"<Root><AccessKey Field=\"A\" SearchCondition=\"=\" Key=\"" + bigValue + "\"/></Root>", "attribute"},
      {"<Root><Note>" + bigValue + "</Note><AccessKey Field=\"A\" SearchCondition=\"=\" Key=\"1\"/></Root>",
       "text"},
      {AccessKeyOfSize(xml::kMaxDocumentBytes), "exactly the cap"},
  };
  for (const auto& [text, what] : accepted) {
    std::unique_ptr<xml::Document> doc;
    EXPECT_NO_THROW(doc = LoadValidated(text, Sch_AccessKey(), kAccessKeyPrefix)) << what;
    ASSERT_TRUE(doc) << what;
    ASSERT_EQ(doc->ElementsByTagName("AccessKey").size(), 1u) << what;
  }
  std::string reason;
  const auto doc = xml::Document::Parse(accepted[0].first, reason);
  ASSERT_TRUE(doc) << reason;
  EXPECT_EQ(doc->FirstElement("AccessKey").Attribute("Key"), bigValue);

  const std::string cap = "The document is larger than the largest request accepted (16 MiB).";
  for (const size_t size : {xml::kMaxDocumentBytes + 1, size_t{17u << 20}}) {
    const Error e = Refusal(AccessKeyOfSize(size), kAccessKeyPrefix);
    EXPECT_EQ(e.description(), kAccessKeyPrefix + cap) << size;
  }
}

TEST_F(ValidatedLoading, EntitiesStayUnexpandedWithoutADocumentType) {
  // Only the predefined entities and character references are read; any other reference is
  // refused, since nothing can declare it.
  const auto doc = LoadValidated(
      "<Root><AccessKey Field=\"A&amp;B\" SearchCondition=\"&lt;=\" Key=\"&#x41;&#66;\"/></Root>",
      Sch_AccessKey());
  const xml::Element key = doc->FirstElement("AccessKey");
  EXPECT_EQ(key.Attribute("Field"), "A&B");
  EXPECT_EQ(key.Attribute("SearchCondition"), "<=");
  EXPECT_EQ(key.Attribute("Key"), "AB");
  for (const std::string text :
       {"<Root><AccessKey Field=\"&x;\" SearchCondition=\"=\" Key=\"1\"/></Root>", "<Root>&lol9;</Root>"}) {
    const Error e = Refusal(text);
    EXPECT_NE(e.description().find("not defined"), std::string::npos) << e.description();
  }
}

TEST_F(ValidatedLoading, RequestTextIsUtf8WhateverItsDeclarationSays) {
  // The request is already text: a declared encoding would read its UTF-8 bytes as other characters.
  for (const std::string encoding : {"ISO-8859-1", "UTF-16", "windows-1252", "UTF-8"}) {
    const auto doc = LoadValidated("<?xml version=\"1.0\" encoding=\"" + encoding +
                                       "\"?><Root><AccessKey Field=\"Name\" SearchCondition=\"=\" "
                                       "Key=\"M\xC3\xBCller \xE2\x82\xAC\"/></Root>",
                                   Sch_AccessKey());
    EXPECT_EQ(doc->FirstElement("AccessKey").Attribute("Key"), "M\xC3\xBCller \xE2\x82\xAC") << encoding;
  }
  // Bytes that are not UTF-8 are refused, not guessed at.
  EXPECT_NE(Refusal("<Root><AccessKey Field=\"N\" SearchCondition=\"=\" Key=\"M\xFCller\"/></Root>")
                .description()
                .find("UTF-8"),
            std::string::npos);
}

// A schema requiring the attribute `required` on element E.
std::string SchemaRequiring(const std::string& required, const std::string& padding = "") {
  return "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">" + padding +
         "<xs:element name=\"E\"><xs:complexType><xs:attribute name=\"" + required +
         "\" use=\"required\"/></xs:complexType></xs:element></xs:schema>";
}

class SchemaFiles : public ::testing::Test {
 protected:
  // Whether `text` loads against the schema file at `path`.
  static bool Accepts(const std::string& text, const std::string& path) {
    try {
      return LoadValidated(text, path) != nullptr;
    } catch (const Error&) {
      return false;
    }
  }
  TestHome home_;
};

TEST_F(SchemaFiles, CompiledOnceAndAnEditTakesEffectOnTheNextCall) {
  const std::string path = home_.WriteFile("E.xsd", SchemaRequiring("A"));
  std::string reason;
  const auto first = xml::Schema::Cached(path, reason);
  ASSERT_TRUE(first) << reason;
  EXPECT_EQ(xml::Schema::Cached(path, reason), first);  // the same compiled schema, shared
  EXPECT_TRUE(Accepts("<E A=\"1\"/>", path));
  EXPECT_FALSE(Accepts("<E B=\"1\"/>", path));

  // Rewritten in place (another size), then replaced by a new file of the very same size.
  home_.WriteFile("E.xsd", SchemaRequiring("Bb"));
  EXPECT_NE(xml::Schema::Cached(path, reason), first);
  EXPECT_TRUE(Accepts("<E Bb=\"1\"/>", path));
  EXPECT_FALSE(Accepts("<E A=\"1\"/>", path));
  const std::string replacement = home_.WriteFile("E.xsd.new", SchemaRequiring("Cc"));
  ASSERT_EQ(std::rename(replacement.c_str(), path.c_str()), 0);
  EXPECT_TRUE(Accepts("<E Cc=\"1\"/>", path));
  EXPECT_FALSE(Accepts("<E Bb=\"1\"/>", path));

  // A schema that became unusable is reported, and a repaired one is used again.
  home_.WriteFile("E.xsd", "");
  EXPECT_FALSE(Accepts("<E Cc=\"1\"/>", path));
  home_.WriteFile("E.xsd", SchemaRequiring("D"));
  EXPECT_TRUE(Accepts("<E D=\"1\"/>", path));
}

TEST_F(SchemaFiles, AnUnusableSchemaIsNamedInTheError) {
  const std::string folder = home_.folder();
  ASSERT_EQ(mkdir((folder + "/Folder.xsd").c_str(), 0755), 0);
  home_.WriteFile("Empty.xsd", "");
  home_.WriteFile("Broken.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:element");
  home_.WriteFile("NotASchema.xsd", "<Root/>");
  // file, and a word of its reason
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Missing.xsd", "No such file"},
      {"Folder.xsd", "directory"},
      {"Empty.xsd", "empty"},
      {"Broken.xsd", "not a valid schema"},
      {"NotASchema.xsd", "not a valid schema"},
  };
  for (const auto& [file, word] : cases) {
    const std::string path = folder + "/" + file;
    const Error e = CaptureError([&] { LoadValidated("<E/>", path, kAccessKeyPrefix); });
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_NE(e.description().find("\"" + path + "\""), std::string::npos) << e.description();
    EXPECT_NE(e.description().find(word), std::string::npos) << e.description();
  }
}

TEST_F(SchemaFiles, ManyThreadsValidateAgainstOneSchemaAtOnce) {
  // A schema of its own, so that the threads also meet its first compilation together.
  const std::string path = home_.WriteFile("AccessKey.xsd", [] {
    std::ifstream in(Sch_AccessKey(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }());
  constexpr int kThreads = 8, kRounds = 200;
  const int right = RightOnThreads(kThreads, kRounds, [&](int t, int i) {
    const std::string key = std::to_string(t) + "-" + std::to_string(i);
    const bool valid = (i + t) % 3 != 0;
    const std::string text = "<Root><AccessKey Field=\"F\" SearchCondition=\"=\"" +
                             (valid ? " Key=\"" + key + "\"" : std::string()) + "/></Root>";
    try {
      const auto doc = LoadValidated(text, path);
      return valid && doc->FirstElement("AccessKey").Attribute("Key") == key;
    } catch (const Error& e) {
      return !valid && e.description().find("Key") != std::string::npos;
    }
  });
  EXPECT_EQ(right, kThreads * kRounds);
}

TEST(XmlText, WhatXmlCannotCarryBecomesTheReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  // text, and the text XML can carry
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain ASCII, tab\t LF\n CR\r", "plain ASCII, tab\t LF\n CR\r"},
      {"M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x9A\xA2 \xC2\x85",
       "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x9A\xA2 \xC2\x85"},
      {"a\x01z", "a" + r + "z"},
      {std::string("a\0z", 3), "a" + r + "z"},
      {"\x1F\x7F", r + "\x7F"},
      {"a\xFFz", "a" + r + "z"},
      {"\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD", r + r + r},  // U+FFFE, U+FFFF; U+FFFD stays
      {"\xED\xA0\x80", r + r + r},                          // a surrogate, as CESU-8 writes it
      {"\xC0\xAF", r + r},                                  // an overlong '/'
      {"\xF4\x90\x80\x80", r + r + r + r},                  // above U+10FFFF
      {"\xE2\x82", r},                                      // cut short at the end
      {"\xE2\x82z", r + "z"},                               // cut short before a letter
      {"\x80\xBF", r + r},                                  // continuation bytes alone
      {"", ""},
  };
  for (const auto& [text, safe] : cases) EXPECT_EQ(xml::SafeText(text), safe) << text;
}

TEST(XmlText, AnswersStayWellFormedWhateverTheValues) {
  auto doc = LoadTemplate("<?xml version='1.0' ?><Root><JBTypeProfiles/></Root>");
  xml::Element e = doc->FirstElement("JBTypeProfiles").AppendElement("JBTypeProfile");
  e.SetAttribute("Code",
                 "A\x01"
                 "B");
  e.SetAttribute("JBTypeName", "x\xFFy \xC3\xA9");
  std::string reason;
  const auto back = xml::Document::Parse(doc->Serialize(), reason);
  ASSERT_TRUE(back) << reason << "\n" << doc->Serialize();
  const xml::Element read = back->FirstElement("JBTypeProfile");
  EXPECT_EQ(read.Attribute("Code"),
            "A\xEF\xBF\xBD"
            "B");
  EXPECT_EQ(read.Attribute("JBTypeName"), "x\xEF\xBF\xBDy \xC3\xA9");
}

// Rows written behind KX's back (by another program, or through RunSQL) with what XML cannot carry.
class StoredXmlText : public EngineTest {};

TEST_P(StoredXmlText, StoredValuesAreAnsweredReadableAndKeptAsTheyAre) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  // PostgreSQL stores only valid UTF-8: there the name holds a control character alone.
  const bool utf8Only = OnPostgreSQL(GetParam());
  const std::string name = utf8Only ? "bell\x01 byte" : "bell\x01 byte\xFF", category = "\x02";
  const std::string answeredName = utf8Only ? "bell" + r + " byte" : "bell" + r + " byte" + r;
  InsertRow("CTL", name, category);
  InsertRow("CTM", "plain", "TR");
  auto& registry = Registry::Instance();
  ObjectPtr controller = registry.Create("C_JBTypeProfile");

  Args key{Variant("CTL")};
  const std::string answer = CStr(registry.Invoke(*controller, "getElementByXML", key));
  std::string reason;
  const auto doc = xml::Document::Parse(answer, reason);
  ASSERT_TRUE(doc) << reason << "\n" << answer;
  EXPECT_EQ(doc->FirstElement("JBTypeProfile").Attribute("JBTypeName"), answeredName);
  EXPECT_EQ(doc->FirstElement("JBTypeProfile").Attribute("JBTypeCategory"), r);

  // A page that holds the row among others.
  Args paging{Variant(), Variant(), Variant(10), Variant(1)};
  const std::string page = CStr(registry.Invoke(*controller, "queryOwnedElementsByXML", paging));
  EXPECT_EQ(CLng(paging[0]), 2);
  const auto pageDoc = xml::Document::Parse(page, reason);
  ASSERT_TRUE(pageDoc) << reason << "\n" << page;
  const auto rows = pageDoc->ElementsByTagName("JBTypeProfile");
  ASSERT_EQ(rows.size(), 2u) << page;
  EXPECT_EQ(rows[0].Attribute("Code"), "CTL");
  EXPECT_EQ(rows[0].Attribute("JBTypeName"), answeredName);
  EXPECT_EQ(rows[0].Attribute("JBTypeCategory"), r);
  EXPECT_EQ(rows[1].Attribute("JBTypeName"), "plain");

  EXPECT_EQ(StoredRow("CTL"), (std::vector<std::string>{name, category}));
}

KX_ENGINE_SUITE(StoredXmlText);

// A collection reads its item elements from the part of a parsed request it is given: that element
// and what it holds, never its siblings, as parsing the element's own text would give them.
TEST(XmlDocument, AnElementsTagSearchCoversItselfAndItsDescendantsOnly) {
  std::string reason;
  const auto doc = xml::Document::Parse(
      "<R><L n='1'><I n='a'/><X><I n='b'/></X></L><I n='c'/><L n='2'><I n='d'/></L></R>", reason);
  ASSERT_TRUE(doc) << reason;
  auto names = [](const std::vector<xml::Element>& elements) {
    std::string out;
    for (const auto& e : elements) out += e.Attribute("n").value_or("?");
    return out;
  };
  const xml::Element first = doc->FirstElement("L");
  EXPECT_EQ(names(first.ElementsByTagName("I")), "ab");
  EXPECT_EQ(names(first.ElementsByTagName("L")), "1");
  EXPECT_EQ(names(doc->Root().ElementsByTagName("I")), names(doc->ElementsByTagName("I")));
  const auto built = xml::Document::Create("R");
  xml::Element list = built->Root().AppendElement("L");
  list.AppendElement("I").SetAttribute("n", "e");
  built->Root().AppendElement("I").SetAttribute("n", "f");
  EXPECT_EQ(names(list.ElementsByTagName("I")), "e");
}

TEST(XmlDocument, AnEmptyElementFailsAsAnObjectNotSet) {
  const xml::Element none;
  const std::vector<std::function<void()>> uses = {
      [&] { none.Name(); },
      [&] { none.Attribute("A"); },
      [&] { none.Children(); },
      [&] { xml::Element(none).SetAttribute("A", "1"); },
      [&] { xml::Element(none).AppendElement("B"); },
  };
  for (const auto& use : uses) EXPECT_EQ(CaptureError(use).number(), 91);
}

TEST(XmlDocument, BuiltDocumentSerializesWithEscapedAttributesInOrder) {
  auto doc = LoadTemplate("<?xml version='1.0' ?><Root><JBTypeProfiles/></Root>");
  xml::Element list = doc->FirstElement("JBTypeProfiles");
  ASSERT_TRUE(list);
  xml::Element e = list.AppendElement("JBTypeProfile");
  e.SetAttribute("Code", "A&B");
  e.SetAttribute("JBTypeName", "Say \"hi\" <now>");
  e.SetAttribute("JBTypeCategory", "O'N");
  list.AppendElement("JBTypeProfile").SetAttribute("Code", "B");

  const std::string text = doc->Serialize();
  const auto code = text.find("Code="), name = text.find("JBTypeName="),
             category = text.find("JBTypeCategory=");
  EXPECT_TRUE(code < name && name < category) << text;  // attributes in the order they were set
  // What was written reads back the same.
  std::string reason;
  const auto back = xml::Document::Parse(text, reason);
  ASSERT_TRUE(back) << reason;
  const auto profiles = back->ElementsByTagName("JBTypeProfile");
  ASSERT_EQ(profiles.size(), 2u);
  EXPECT_EQ(profiles[0].Attribute("Code"), "A&B");
  EXPECT_EQ(profiles[0].Attribute("JBTypeName"), "Say \"hi\" <now>");
  EXPECT_EQ(profiles[0].Attribute("JBTypeCategory"), "O'N");
  EXPECT_EQ(profiles[1].Attribute("Code"), "B");
}

TEST(XmlDocument, ACreatedDocumentIsTheParsedTemplateItStandsFor) {
  // Each case fills the document the same way: nothing, a list, a list with escaped attributes and
  // text XML cannot carry, nested elements.
  const std::vector<std::pair<std::string, std::function<void(xml::Element)>>> cases = {
      {"Root", [](xml::Element) {}},
      {"Root", [](xml::Element root) { root.AppendElement("JBTypeProfiles"); }},
      {"Root",
       [](xml::Element root) {
         xml::Element e = root.AppendElement("JBTypeProfiles").AppendElement("JBTypeProfile");
         e.SetAttribute("Code", "A&B");
         e.SetAttribute("JBTypeName", "Say \"hi\" <now>\x01 caf\xC3\xA9");
         e.SetAttribute("JBTypeCategory", "O'N");
       }},
      {"JBContainerDetails",
       [](xml::Element root) {
         root.AppendElement("JBContainerDetail").SetAttribute("ContainerNo", "1");
         root.AppendElement("JBContainerDetail").AppendElement("Inner");
       }},
  };
  for (const auto& [rootName, fill] : cases) {
    SCOPED_TRACE(rootName);
    const auto parsed = LoadTemplate("<?xml version='1.0' ?><" + rootName + "/>");
    const auto created = xml::Document::Create(rootName);
    ASSERT_TRUE(created->Root());
    EXPECT_EQ(created->Root().Name(), rootName);
    fill(parsed->Root());
    fill(created->Root());
    EXPECT_EQ(created->Serialize(), parsed->Serialize());
  }
}

// Random text for attribute values: the characters the writer treats specially, plain ASCII,
// characters of two, three and four bytes, controls and bytes that are no UTF-8.
std::string RandomValue(std::mt19937& random) {
  static const std::vector<std::string> pieces = {
      "<", ">", "&", "\"", "'", "\t", "\n", "\r", "a", "Z", "0", " ", "%", ";", "#",
      "\xC3\xA9", "\xC2\x80", "\xDF\xBF", "\xE2\x82\xAC", "\xE0\xA0\x80", "\xEF\xBF\xBD", "\xEF\xBF\xBE",
      "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\x01", "\x1F", "\x7F", "\xFF", "\xC3", "\xED\xA0\x80", "\xE2\x82"};
  std::string value;
  const int length = std::uniform_int_distribution<int>(0, 12)(random);
  for (int i = 0; i < length; ++i)
    value += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(random)];
  return value;
}

// Fills `element` at random from `random`: attributes (some set twice) and nested elements.
void FillAtRandom(xml::Element element, std::mt19937 random, int depth) {
  static const std::vector<std::string> names = {"A", "Code", "JBTypeName", "x-y", "b.c"};
  const int attributes = std::uniform_int_distribution<int>(0, 5)(random);
  for (int i = 0; i < attributes; ++i)
    element.SetAttribute(names[std::uniform_int_distribution<size_t>(0, names.size() - 1)(random)],
                         RandomValue(random));
  if (depth == 0) return;
  const int children = std::uniform_int_distribution<int>(0, 3)(random);
  for (int i = 0; i < children; ++i)
    FillAtRandom(element.AppendElement(names[std::uniform_int_distribution<size_t>(0, 2)(random)]),
                 std::mt19937(random()), depth - 1);
}

TEST(XmlDocument, ABuiltDocumentReadsAndWritesAsLibxml2DoesForAnyContent) {
  // The same random content is put into a created document (built in memory and written by KX)
  // and into a parsed one (libxml2's); every look and every text must agree byte for byte.
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto parsed = LoadTemplate("<?xml version='1.0' ?><Root/>");
    const auto created = xml::Document::Create("Root");
    FillAtRandom(parsed->Root(), std::mt19937(seed), 3);
    FillAtRandom(created->Root(), std::mt19937(seed), 3);
    ASSERT_EQ(created->Serialize(), parsed->Serialize());
    ASSERT_EQ(created->Root().Text(), parsed->Root().Text());
    for (const std::string name : {"A", "Code", "JBTypeName", "Missing"}) {
      const auto inCreated = created->ElementsByTagName(name), inParsed = parsed->ElementsByTagName(name);
      ASSERT_EQ(inCreated.size(), inParsed.size()) << name;
      for (size_t i = 0; i < inCreated.size(); ++i) {
        EXPECT_EQ(inCreated[i].Text(), inParsed[i].Text());
        EXPECT_EQ(inCreated[i].Children().size(), inParsed[i].Children().size());
        for (const std::string attribute : {"A", "Code", "JBTypeName", "x-y", "b.c", "None"})
          EXPECT_EQ(inCreated[i].Attribute(attribute), inParsed[i].Attribute(attribute)) << attribute;
      }
    }
  }
}

TEST(XmlDocument, ABuiltDocumentIsValidatedAsItsText) {
  std::string reason;
  const auto schema = xml::Schema::Cached(SchemaFolder() + "KX_XMLSCHEMA/JBTypeProfile_Add&Modify.xsd", reason);
  ASSERT_TRUE(schema) << reason;
  const auto doc = xml::Document::Create("JBTypeProfile");
  doc->Root().SetAttribute("Code", "C\xC3\xA9");
  doc->Root().SetAttribute("JBTypeName", "n");
  EXPECT_FALSE(schema->Validate(*doc, reason));
  EXPECT_NE(reason.find("JBTypeCategory"), std::string::npos) << reason;
  doc->Root().SetAttribute("JBTypeCategory", "1");
  EXPECT_TRUE(schema->Validate(*doc, reason)) << reason;
}

TEST(XmlDocument, ElementsByTagNameFindsEveryDepthInDocumentOrder) {
  std::string reason;
  const auto doc = xml::Document::Parse(
      "<Root><A id=\"1\"><B><A id=\"2\"><A id=\"3\"/></A></B></A><C/><A id=\"4\"/></Root>", reason);
  ASSERT_TRUE(doc) << reason;
  std::vector<std::string> ids;
  for (const auto& e : doc->ElementsByTagName("A")) ids.push_back(e.Attribute("id").value_or("?"));
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_TRUE(doc->ElementsByTagName("a").empty());  // names are case-sensitive
  EXPECT_FALSE(doc->FirstElement("Missing"));
}

TEST(XmlDocument, MissingAttributeIsNothingAndEmptyAttributeIsEmptyText) {
  std::string reason;
  const auto doc = xml::Document::Parse("<Root><E Empty=\"\" Code=\"x&amp;y\"/></Root>", reason);
  ASSERT_TRUE(doc);
  const xml::Element e = doc->FirstElement("E");
  EXPECT_EQ(e.Attribute("Missing"), std::nullopt);
  EXPECT_EQ(e.Attribute("Empty"), std::optional<std::string>(""));
  EXPECT_EQ(e.Attribute("Code"), "x&y");
  EXPECT_EQ(e.Attribute("code"), std::nullopt);
  // Every way XML writes a character reads back as the character; the value of an attribute of
  // another namespace is found by its local name, as libxml2 finds it.
  const std::vector<std::pair<std::string, std::string>> values = {
      {"plain", "plain"},
      {"a&amp;b&lt;c&gt;d&quot;e&apos;f", "a&b<c>d\"e'f"},
      {"line&#10;tab&#9;return&#13;", "line\ntab\treturn\r"},
      {"&#x20AC;&#8364;\xE2\x82\xAC", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"},
      {"spaces  and\nbreak", "spaces  and break"},
  };
  for (const auto& [written, read] : values) {
    const auto one = xml::Document::Parse("<E xmlns:p=\"urn:p\" V=\"" + written + "\" p:W=\"" + written + "\"/>", reason);
    ASSERT_TRUE(one) << reason;
    EXPECT_EQ(one->Root().Attribute("V"), read) << written;
    EXPECT_EQ(one->Root().Attribute("W"), read) << written;
  }
}

// Attributes read in any order, of elements with and without namespaces, are those libxml2 finds:
// the first of a name.
TEST(XmlDocument, AttributesReadInAnyOrderAreTheFirstOfTheirName) {
  std::string reason;
  const auto doc = xml::Document::Parse(
      "<R xmlns:p=\"urn:p\"><E A=\"1\" B=\"2\" C=\"3\" D=\"4\"/><F p:A=\"5\" B=\"6\" A=\"7\" q:C=\"8\"/></R>",
      reason);
  ASSERT_TRUE(doc) << reason;
  // The same reads of a plain request, read into KX's own tree.
  const auto plain = xml::Document::Parse("<R><G A=\"1\" B=\"2\" C=\"3\" D=\"4\"/></R>", reason);
  ASSERT_TRUE(plain && plain->Built()) << reason;
  const std::map<std::string, std::map<std::string, std::optional<std::string>>> expected = {
      {"E", {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}, {"X", std::nullopt}}},
      {"F", {{"A", "5"}, {"B", "6"}, {"C", std::nullopt}, {"q:C", "8"}, {"X", std::nullopt}}},
      {"G", {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}, {"X", std::nullopt}}},
  };
  for (const auto& [element, values] : expected) {
    const auto& in = element == "G" ? plain : doc;
    std::vector<std::string> names;
    for (const auto& [name, value] : values) names.push_back(name);
    // Every order of the names, each name read twice in a row.
    do {
      const xml::Element e = in->FirstElement(element);
      for (const std::string& name : names)
        for (int twice = 0; twice < 2; ++twice) EXPECT_EQ(e.Attribute(name), values.at(name)) << element << " " << name;
    } while (std::next_permutation(names.begin(), names.end()));
  }
}

// A request keeps short texts inside their nodes: values and texts of every length around that
// room read back whole, change (one, then the other) and write out as a document does that never
// held them, and the trees free cleanly.
TEST(XmlDocument, ShortAndLongTextsOfARequestReadChangeAndWriteAlike) {
  std::string reason;
  for (size_t length = 0; length <= 40; ++length) {
    SCOPED_TRACE(length);
    const std::string value(length, 'v'), text(length, 't'), other(40 - length, 'o');
    const auto doc = xml::Document::Parse(
        "<Root A=\"" + value + "\" B=\"" + value + "&amp;\"><I>" + text + "</I><J>" + text + "<K/>" + text +
            "</J></Root>",
        reason);
    ASSERT_TRUE(doc) << reason;
    const xml::Element root = doc->Root();
    EXPECT_EQ(root.Attribute("A"), value);
    EXPECT_EQ(root.Attribute("B"), value + "&");
    EXPECT_EQ(doc->FirstElement("I").Text(), text.empty() ? "<I/>" : "<I>" + text + "</I>");
    xml::Element changed = doc->Root();
    changed.SetAttribute("A", other);
    changed.SetAttribute("B", value + "x");
    changed.AppendElement("L").SetAttribute("C", value);
    EXPECT_EQ(root.Attribute("A"), other);
    const auto again = xml::Document::Parse(doc->Serialize(), reason);
    ASSERT_TRUE(again) << reason;
    EXPECT_EQ(again->Root().Attribute("B"), value + "x");
    EXPECT_EQ(again->FirstElement("L").Attribute("C"), value);
    EXPECT_EQ(again->FirstElement("J").Text(), "<J>" + text + "<K/>" + text + "</J>");
  }
}

// A parsed document writes back as a document that reads back the same: a namespace name that
// would not (no URI holds such a character) is refused with its reason; any other is kept.
TEST(XmlDocument, ANamespaceNameThatCannotBeWrittenBackIsRefused) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"<R xmlns:x=\"urn:a\"/>", true},
      {"<R xmlns:x=\"a&gt;b\" xmlns=\"a&quot;b\"/>", true},
      {"<R><E xmlns:x='a b'/></R>", true},
      {"<R xmlns:x=\"a &lt;b\"/>", false},
      {"<R><E><F xmlns=\"a&amp;b\"/></E></R>", false},
      {"<R xmlns:x=\"a&#9;b\"/>", false},
      {"<R xmlns:y=\"urn:a\" xmlns:x=\"a&#10;b\"/>", false},
      {"<R><E/><E xmlns:x=\"&#13;\"/></R>", false},
  };
  for (const auto& [text, accepted] : cases) {
    std::string reason;
    const auto doc = xml::Document::Parse(text, reason);
    EXPECT_EQ(doc != nullptr, accepted) << text;
    if (!doc) {
      EXPECT_EQ(reason, "A namespace name holds a character no namespace name can hold (<, &, a tab or a line break).");
      continue;
    }
    const std::string once = doc->Serialize();
    const auto again = xml::Document::Parse(once, reason);
    ASSERT_TRUE(again) << once << ": " << reason;
    EXPECT_EQ(again->Serialize(), once);
  }
}

// One thread parses request after request, refused ones among them and ones with very many
// names: every document stays whole for as long as it is kept, and each parse starts clean.
TEST(XmlDocument, DocumentsParsedOneAfterAnotherStayWholeAndIndependent) {
  std::string reason;
  const auto first = xml::Document::Parse("<Root><E Code=\"one\"/></Root>", reason);
  ASSERT_TRUE(first) << reason;
  EXPECT_FALSE(xml::Document::Parse("<!DOCTYPE x [<!ENTITY a \"b\">]><x>&a;</x>", reason));
  EXPECT_EQ(reason, "A document type declaration (DTD) is not allowed in a request.");
  EXPECT_FALSE(xml::Document::Parse("<Root><E></Root>", reason));
  const std::string failed = reason;
  EXPECT_FALSE(failed.empty());
  // The reason of a failure is the failure's own, not one left from an earlier parse.
  EXPECT_FALSE(xml::Document::Parse("<Root a=\"1\" a=\"2\"/>", reason));
  EXPECT_NE(reason, failed);
  EXPECT_NE(reason, "A document type declaration (DTD) is not allowed in a request.");
  std::vector<std::unique_ptr<xml::Document>> many;
  for (int d = 0; d < 3; ++d) {
    std::string text = "<Root>";
    for (int i = 0; i < 3000; ++i) text += "<N" + std::to_string(d) + "x" + std::to_string(i) + "/>";
    many.push_back(xml::Document::Parse(text + "</Root>", reason));
    ASSERT_TRUE(many.back()) << reason;
  }
  const auto last = xml::Document::Parse("<Root><E Code=\"two\"/></Root>", reason);
  ASSERT_TRUE(last) << reason;
  EXPECT_EQ(first->FirstElement("E").Attribute("Code"), "one");
  EXPECT_EQ(last->FirstElement("E").Attribute("Code"), "two");
  for (int d = 0; d < 3; ++d) {
    const std::string name = "N" + std::to_string(d) + "x2999";
    EXPECT_EQ(many[d]->ElementsByTagName(name).size(), 1u) << name;
  }
  EXPECT_EQ(first->Serialize(), "<?xml version=\"1.0\"?>\n<Root><E Code=\"one\"/></Root>\n");
}

// Parse hands a text to libxml2 as the string it is; libxml2's own reading from memory gives the
// same document, or fails with the same reason, for every text: the request seeds of the fuzzer,
// every truncation of sample documents, and random changes of them.
TEST(XmlDocument, ReadingTheTextWhereItStandsGivesWhatReadingFromMemoryGives) {
  std::vector<std::string> samples = {
      "<JBTypeProfile Code=\"C1\" JBTypeName=\"Truck &amp; trailer\" JBTypeCategory=\"TR\"/>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<Root>\n  <E a='1' b=\"&#x20AC;&#10;\">t&lt;x&gt;</E>\n"
      "  <!-- note --><?pi data?><![CDATA[<raw>&]]>\n  <p:F xmlns:p=\"urn:x\" p:g=\"2\"/>\n</Root>\n",
      "\xEF\xBB\xBF<Root>caf\xC3\xA9</Root>",
      "<JBOrder JBNo=\"A1\">\n  <JBContainerDetails>\n    <JBContainerDetail ContainerNo=\"1\"/>\n"
      "    <JBContainerDetail ContainerNo=\"2\">text</JBContainerDetail>\n  </JBContainerDetails>\n</JBOrder>",
  };
  for (const auto& entry : std::filesystem::directory_iterator(std::string(KX_SOURCE_DIR) + "/fuzz/corpus/request")) {
    std::ifstream in(entry.path(), std::ios::binary);
    samples.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<std::string> texts;
  std::mt19937 random(7);
  for (const std::string& sample : samples) {
    for (size_t n = 0; n <= sample.size(); ++n) texts.push_back(sample.substr(0, n));
    for (int i = 0; i < 300 && !sample.empty(); ++i) {
      std::string changed = sample;
      const size_t at = random() % changed.size();
      switch (random() % 3) {
        case 0: changed.erase(at, 1 + random() % 3); break;
        case 1: changed.insert(at, 1, "<>&\"'=/ ;x\xC3\x80\xFF"[random() % 14]); break;
        default: changed[at] = "<>&\"'=/ ;x?!-]"[random() % 15];
      }
      texts.push_back(changed);
    }
  }
  size_t parsed = 0;
  for (const std::string& text : texts) {
    if (text.find('\0') != std::string::npos) continue;  // refused before any parse
    std::string reason, memoryReason;
    const auto doc = xml::Document::Parse(text, reason);
    if (!doc && reason.rfind("The document is not UTF-8 text", 0) == 0) continue;
    const auto fromMemory = xml::Document::ParseFromMemory(text, memoryReason);
    ASSERT_EQ(doc != nullptr, fromMemory != nullptr) << text << "\n" << reason << "\n" << memoryReason;
    if (doc) {
      ++parsed;
      EXPECT_EQ(doc->Serialize(), fromMemory->Serialize()) << text;
    } else {
      EXPECT_EQ(reason, memoryReason) << text;
    }
  }
  EXPECT_GT(parsed, 20u);
}

// A text parses to the document it is, whatever its size: written back it is the same text.
TEST(XmlDocument, DocumentsOfEverySizeReadBackAsTheyWereWritten) {
  for (const int lines : {1, 10, 100, 1000, 5000}) {
    SCOPED_TRACE(lines);
    std::string text = "<JBOrder JBNo=\"A&amp;B\">\n  <JBContainerDetails>\n";
    for (int i = 0; i < lines; ++i)
      text += "    <JBContainerDetail ContainerNo=\"" + std::to_string(i) + "\" Remark=\"line &lt;" +
              std::to_string(i) + "&gt;\">text " + std::to_string(i) + "</JBContainerDetail>\n";
    text += "  </JBContainerDetails>\n</JBOrder>";
    std::string reason;
    const auto doc = xml::Document::Parse(text, reason);
    ASSERT_TRUE(doc) << reason;
    EXPECT_EQ(doc->Serialize(), "<?xml version=\"1.0\"?>\n" + text + "\n");
    EXPECT_EQ(doc->ElementsByTagName("JBContainerDetail").size(), static_cast<size_t>(lines));
  }
}

}  // namespace
}  // namespace kx::test
