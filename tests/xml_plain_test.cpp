// Plain requests read and checked without libxml2: the same documents, the same verdicts.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "jb_container_retrieving_rows.h"
#include "runtime/xml.h"
#include "test_support.h"

namespace kx::test {
namespace {

const std::string kSchemas = std::string(KX_SOURCE_DIR) + "/schemas/";

std::string OrderLine(const std::string& no) {
  return "<JBContainerDetail ContainerPrefix=\"ABCU\" ContainerNo=\"" + no +
         "\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" FromPlace=\"HKHKG\" "
         "ToPlace=\"CNSZX\" ServiceMode=\"CY\" ContainerType=\"40HC\" CargoDescription=\"toys\" Reefer=\"N\" "
         "Hazard=\"N\"/>";
}

const std::string kOrder =
    "<JBOrder JBNo=\"B1\" JBCreateDate=\"2026-12-01\" LastUpdateUser=\"amy\" JBTypeCategory=\"TR\" "
    "JBTypeCode=\"TRK\" OfficeCode=\"HKG\" VendorCode=\"V001\" VendorName=\"O'Neil\" VendorContractNo=\"C-9\" "
    "ITNumber=\"IT1\" ITType=\"A\" BoundDirect=\"I\" TransportMode=\"TRK\" Quantity=\"3\" FromPlace=\"HKHKG\" "
    "FromDepot=\"D1\" EstimatedStartDate=\"2026-12-02\" ToPlace=\"CNSZX\" ToDepot=\"D2\" "
    "EstimatedEndDate=\"2026-12-05\" CostRemark=\"rush\">\n  <JBContainerDetails>\n    " +
    OrderLine("1") + "\n    " + OrderLine("2") + OrderLine("3") + "\n  </JBContainerDetails>\n</JBOrder>";

// A valid request for each schema, in the shapes callers send.
struct Sample {
  std::string schema;
  std::string text;
};
const std::vector<Sample>& Samples() {
  static const std::vector<Sample> samples = {
      {"KX_XMLSCHEMA/JBTypeProfile_Add&Modify.xsd",
       "<JBTypeProfile Code=\"C1\" JBTypeName=\"Truck &amp; trailer\" JBTypeCategory=\"TR\"/>"},
      {"KX_XMLSCHEMA/JBTypeProfile_Add&Modify.xsd",
       "<?xml version='1.0' ?>\n<Root>\n <JBTypeProfiles>\n  <JBTypeProfile Code=\"C1\" JBTypeName=\"Caf\xC3\xA9\" "
       "JBTypeCategory=\"TR\"/>\n  <JBTypeProfile Code='C2' JBTypeName='x' JBTypeCategory='RL'></JBTypeProfile>\n"
       " </JBTypeProfiles>\n</Root>\n"},
      {"KX_XMLSCHEMA/JBOrder_Add.xsd", kOrder},
      {"KX_XMLSCHEMA/JBContainerRetrievingTempFile_Add.xsd",
       AddXml(LineXml("1234567", "N") + "\n" + LineXml("7654321", "Y", "caf\xC3\xA9"))},
      {"KX_XMLSCHEMA/JBContainerRetrievingTempFile_Modify.xsd", ModifyXml(7, FlagXml("Y") + FlagXml("N"))},
  };
  return samples;
}

// Every text the reader may meet near a sample: each truncation and random edits of each.
std::vector<std::string> NearTexts() {
  std::vector<std::string> texts;
  std::mt19937 random(11);
  for (const auto& [schema, sample] : Samples()) {
    for (size_t n = 0; n <= sample.size(); ++n) texts.push_back(sample.substr(0, n));
    for (int i = 0; i < 400; ++i) {
      std::string changed = sample;
      const size_t at = random() % changed.size();
      static const char kBytes[] = "<>&\"'=/ ;x?!-:\t\r\n#\xC3\xA9\xFF";
      switch (random() % 3) {
        case 0: changed.erase(at, 1 + random() % 3); break;
        case 1: changed.insert(at, 1, kBytes[random() % (sizeof kBytes - 1)]); break;
        default: changed[at] = kBytes[random() % (sizeof kBytes - 1)];
      }
      texts.push_back(changed);
    }
  }
  for (const std::string extra :
       {"<a/>", "<a></a>", "<a> </a>", "<a>\n<b/>\t</a>", "<a>x</a>", "<a b='1' b='2'/>", "<a b='&lt;&#65;'/>",
        "<a b='x\r\ny'/>", "<a b=\"'\" c='\"'/>", "<a b='&unknown;'/>", "<a:b/>", "<a xmlns='urn:x'/>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>", "<?xml version=\"1.1\"?><a/>", "<a/><b/>", "<a/>  x",
        "<a><b></c></a>", "<1a/>", "<a b=1/>", "<ab='1'/>", "<a b = '1' />", "<a\n/>", "<a b='\xC3'/>",
        "<a b='\xEF\xBF\xBE'/>", "<a b='\x01'/>", "<?xml  version='1.0'?><a/>"})
    texts.push_back(extra);
  return texts;
}

// Whatever the reader reads is the document libxml2 reads: its acceptance, its text, and the name,
// children and text of each element; what it declines, libxml2 reads (or refuses) as before.
TEST(PlainRequest, ReadsTheDocumentLibxml2ReadsOrLeavesTheTextToIt) {
  size_t plain = 0;
  for (const std::string& text : NearTexts()) {
    SCOPED_TRACE(text);
    std::string reason, libxmlReason;
    const auto doc = xml::Document::Parse(text, reason);
    const auto libxml = xml::Document::ParseFromMemory(text, libxmlReason);
    ASSERT_EQ(doc != nullptr, libxml != nullptr) << reason << " / " << libxmlReason;
    if (!doc) {
      EXPECT_EQ(reason, libxmlReason);
      continue;
    }
    ASSERT_FALSE(libxml->Built());
    if (!doc->Built()) continue;
    ++plain;
    EXPECT_EQ(doc->Serialize(), libxml->Serialize());
    std::vector<xml::Element> mine = {doc->Root()}, theirs = {libxml->Root()};
    while (!mine.empty()) {
      const xml::Element a = mine.back(), b = theirs.back();
      mine.pop_back();
      theirs.pop_back();
      EXPECT_EQ(a.Name(), b.Name());
      EXPECT_EQ(a.Text(), b.Text());
      for (const char* attribute : {"Code", "JBTypeName", "CargoDescription", "VendorName", "b", "c"})
        EXPECT_EQ(a.Attribute(attribute), b.Attribute(attribute)) << attribute;
      const auto ca = a.Children(), cb = b.Children();
      ASSERT_EQ(ca.size(), cb.size());
      mine.insert(mine.end(), ca.begin(), ca.end());
      theirs.insert(theirs.end(), cb.begin(), cb.end());
    }
  }
  // The samples and most of their near texts are plain requests.
  EXPECT_GT(plain, 400u);
}

// An element appended to a read element follows the blanks that closed it, as in libxml2's tree.
TEST(PlainRequest, AChangedRequestWritesAsLibxml2WritesIt) {
  const std::string text = "<Root>\n  <E a='1'/>\n</Root>";
  std::string reason;
  const auto doc = xml::Document::Parse(text, reason);
  const auto libxml = xml::Document::ParseFromMemory(text, reason);
  ASSERT_TRUE(doc && doc->Built() && libxml);
  for (const auto* d : {doc.get(), libxml.get()}) {
    d->Root().AppendElement("F").SetAttribute("b", "x\ty");
    d->FirstElement("E").SetAttribute("a", "2");
  }
  EXPECT_EQ(doc->Serialize(), libxml->Serialize());
  EXPECT_EQ(doc->Root().Text(), "<Root>\n  <E a=\"2\"/>\n<F b=\"x&#9;y\"/></Root>");
}

TEST(PlainRequest, EverySchemaOfARequestHasAPlainCheck) {
  for (const auto& entry : std::filesystem::directory_iterator(kSchemas + "KX_XMLSCHEMA")) {
    std::string reason;
    const auto schema = xml::Schema::Load(entry.path().string(), reason);
    ASSERT_TRUE(schema) << reason;
    EXPECT_TRUE(schema->HasPlainCheck()) << entry.path();
  }
}

// The values an attribute is set to in the validation cases: at and past the lengths and ranges
// of the schemas' types, and near their patterns.
const std::vector<std::string> kValues = {
    "", "x", std::string(2, 'x'), std::string(3, 'x'), std::string(6, 'x'), std::string(7, 'x'),
    std::string(10, 'x'), std::string(11, 'x'), std::string(20, 'x'), std::string(21, 'x'),
    std::string(100, 'x'), std::string(101, 'x'), "\xC3\xA9\xC3\xA9", std::string(20, 'x') + "\xC3\xA9", "0",
    "-5", "+5", " 5", "5 ", "007", "2147483647", "2147483648", "-2147483648", "-2147483649", "32767", "32768",
    "99999999999999999999", "1.5", "1.", "-", "2026-12-01", "2026/1/2 10:00", "2026-12-01x", "26-12-01", "abc",
    "a&amp;b", " 12 ", "1 2"};

// The plain check never passes what libxml2 refuses, and a request it is not sure of gets
// libxml2's verdict and reason.
TEST(PlainRequest, ThePlainCheckPassesOnlyWhatLibxml2Passes) {
  const std::regex attribute(R"(([A-Za-z]+)="([^"]*)\")");
  const std::regex line(R"(<(JBContainerDetail|JBContainerRetrievingTempDetail|JBTypeProfile) [^>]*/>)");
  size_t plainlyValid = 0, refused = 0;
  for (const auto& [schemaFile, sample] : Samples()) {
    std::string reason;
    const auto schema = xml::Schema::Load(kSchemas + schemaFile, reason);
    ASSERT_TRUE(schema) << reason;
    std::vector<std::string> texts = {sample};
    std::vector<std::pair<size_t, size_t>> values, lines;  // places of attribute values and lines
    for (auto it = std::sregex_iterator(sample.begin(), sample.end(), attribute); it != std::sregex_iterator(); ++it)
      values.emplace_back(it->position(2), it->length(2));
    for (auto it = std::sregex_iterator(sample.begin(), sample.end(), line); it != std::sregex_iterator(); ++it)
      lines.emplace_back(it->position(), it->length());
    for (auto v = values.rbegin(); v != values.rend(); ++v) {
      for (const std::string& value : kValues) texts.push_back(std::string(sample).replace(v->first, v->second, value));
      // The attribute left out, and one no schema declares beside it.
      size_t start = sample.rfind(' ', v->first);
      texts.push_back(std::string(sample).erase(start, v->first + v->second + 1 - start));
      texts.push_back(std::string(sample).insert(start, " Unknown=\"1\""));
    }
    for (const auto& [at, length] : lines) {
      if (length == sample.size()) continue;  // the request is the line
      texts.push_back(std::string(sample).erase(at, length));
      texts.push_back(std::string(sample).insert(at, sample.substr(at, length)));
      texts.push_back(std::string(sample).insert(at, "<Other/>"));
    }
    texts.push_back(std::string(sample).insert(sample.find('>') + 1, "<Other/>"));
    for (const std::string& text : texts) {
      SCOPED_TRACE(text);
      const auto doc = xml::Document::Parse(text, reason);
      if (!doc) continue;  // an element put inside one that closes itself
      const auto libxml = xml::Document::ParseFromMemory(text, reason);
      std::string libxmlReason, ourReason;
      const bool valid = schema->Validate(*libxml, libxmlReason);
      if (schema->PlainlyValid(*doc)) {
        EXPECT_TRUE(valid) << libxmlReason;
        ++plainlyValid;
      }
      EXPECT_EQ(schema->Validate(*doc, ourReason), valid);
      EXPECT_EQ(ourReason, libxmlReason);
      refused += !valid;
    }
    EXPECT_TRUE(schema->PlainlyValid(*xml::Document::Parse(sample, reason))) << sample;
  }
  EXPECT_GT(plainlyValid, 100u);
  EXPECT_GT(refused, 100u);
}

// One compiled plain check serves many threads at once; its patterns run on each thread's values.
TEST(PlainRequest, ManyThreadsCheckAgainstOneSchemaAtOnce) {
  std::string reason;
  const auto schema = xml::Schema::Load(kSchemas + "KX_XMLSCHEMA/JBOrder_Add.xsd", reason);
  ASSERT_TRUE(schema) << reason;
  constexpr int kThreads = 8, kRounds = 200;
  const int right = RightOnThreads(kThreads, kRounds, [&](int t, int i) {
    const bool valid = (i + t) % 3 != 0;
    std::string text = kOrder;
    const std::string quantity = valid ? std::to_string(t * 1000 + i) : "x" + std::to_string(i);
    text.replace(text.find("Quantity=\"3\""), 12, "Quantity=\"" + quantity + "\"");
    std::string why;
    const auto doc = xml::Document::Parse(text, why);
    return doc && doc->Built() && schema->PlainlyValid(*doc) == valid && schema->Validate(*doc, why) == valid;
  });
  EXPECT_EQ(right, kThreads * kRounds);
}

}  // namespace
}  // namespace kx::test
