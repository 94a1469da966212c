// Answer documents: rows written as text and elements built as trees come out in the order they
// were appended, as a document built whole would be written; a record cannot answer one attribute
// twice.
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/record.h"
#include "framework/xml_mapping.h"
#include "runtime/xml.h"
#include "test_support.h"

namespace kx::test {
namespace {

// The same answer built whole as a document, for comparison: each step appends one element.
struct Step {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  bool tree = false;   // appended as a tree, with a child element "Line"
};

std::string AsRows(const std::vector<Step>& steps) {
  Answer answer("Items");
  for (const Step& step : steps) {
    if (step.tree) {
      xml::Element e = answer.Append(step.name);
      for (const auto& [n, v] : step.attributes) e.SetAttribute(n, v);
      e.AppendElement("Line").SetAttribute("No", "1");
    } else {
      Answer::Row row = answer.AppendRow(step.name);
      for (const auto& [n, v] : step.attributes) row.Attribute(n, v);
    }
  }
  const std::string copied = answer.Text();
  std::string handed = std::move(answer).Text();
  EXPECT_EQ(copied, handed);
  return handed;
}

std::string AsDocument(const std::vector<Step>& steps) {
  const auto doc = xml::Document::Create("Root");
  xml::Element list = doc->Root().AppendElement("Items");
  for (const Step& step : steps) {
    xml::Element e = list.AppendElement(step.name);
    for (const auto& [n, v] : step.attributes) e.SetAttribute(n, v);
    if (step.tree) e.AppendElement("Line").SetAttribute("No", "1");
  }
  return doc->Serialize();
}

TEST(Answer, RowsAndTreesAreWrittenInOrderAsAWholeDocumentIs) {
  const std::vector<std::pair<std::string, std::vector<Step>>> cases = {
      {"no element", {}},
      {"one row", {{"Item", {{"Code", "A"}, {"Name", "Truck"}}}}},
      {"a row without attributes", {{"Item", {}}}},
      {"markup, quotes, line breaks and tabs",
       {{"Item", {{"Name", "a<b>&\"c\"\n\r\t'd'"}}}}},
      {"text outside ASCII and bytes XML cannot carry",
       {{"Item", {{"Name", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\xA2 bad\xFF byte \x01 end"}}}}},
      {"trees between rows",
       {{"Item", {{"Code", "1"}}},
        {"Item", {{"Code", "2"}}, true},
        {"Item", {{"Code", "3"}}},
        {"Item", {{"Code", "4"}}, true},
        {"Item", {{"Code", "5"}}, true}}},
      {"a tree first and last", {{"Item", {{"Code", "1"}}, true}, {"Item", {}}, {"Item", {{"Code", "3"}}, true}}},
  };
  for (const auto& [name, steps] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(AsRows(steps), AsDocument(steps));
  }
}

TEST(Answer, ARecordThatWouldAnswerAnAttributeTwiceIsRefused) {
  static constexpr FieldSpec kTwice[] = {
      TextField("Code", "CODE"),
      TextField("Name", "NAME"),
      TextField("Other", "OTHER").Attribute("Name"),
  };
  static constexpr FieldSpec kOnceWritten[] = {
      TextField("Code", "CODE"),
      TextField("Name", "NAME"),
      TextField("Other", "OTHER").Attribute("Name").NoXml(),
  };
  const auto complete = [](std::span<const FieldSpec> fields, std::vector<size_t> searchAttributes) {
    return Complete({.entityClass = "E_KXTwice", .table = "KX_TWICE", .fields = fields, .item = "KXTwice",
                     .searchAttributes = std::move(searchAttributes)});
  };
  const auto refusal = [&](std::span<const FieldSpec> fields, std::vector<size_t> searchAttributes) {
    try {
      complete(fields, std::move(searchAttributes));
    } catch (const std::logic_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(refusal(kTwice, {}), "record E_KXTwice answers attribute Name twice");
  EXPECT_EQ(refusal(kOnceWritten, {1, 2}), "record E_KXTwice answers attribute Name twice");
  EXPECT_EQ(refusal(kOnceWritten, {}), "");
  EXPECT_EQ(refusal(kOnceWritten, {0, 1}), "");
}

}  // namespace
}  // namespace kx::test
