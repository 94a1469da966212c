// C_JBTypeProfile: answer documents, paging, add/modify/remove with their error chains, transaction
// votes, the working entity and late-bound calls.
#include <set>
#include <string>
#include <vector>

#include "typeprofile/jb_type_profile.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "runtime/xml.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

const std::string kDecl = "<?xml version=\"1.0\"?>\n";

std::string Request(const std::string& code, const std::string& name, const std::string& category) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name + "\" JBTypeCategory=\"" + category + "\"/>";
}

// The Code attributes of the JBTypeProfile elements of an answer, in order.
std::vector<std::string> AnswerCodes(const std::string& answer) {
  std::string reason;
  auto doc = xml::Document::Parse(answer, reason);
  EXPECT_NE(doc, nullptr) << reason;
  std::vector<std::string> codes;
  if (!doc) return codes;
  for (const auto& e : doc->ElementsByTagName("JBTypeProfile")) codes.push_back(e.Attribute("Code").value_or("?"));
  return codes;
}

std::string LastStatement(C_JBTypeProfile& c) {
  return std::dynamic_pointer_cast<S_JBTypeProfile>(c.JBTypeProfile()->storage())->strSQL();
}

class JBTypeProfileController : public EngineTest {
 protected:
  C_JBTypeProfile controller;
};

TEST_P(JBTypeProfileController, GetElementAnswersTheWholeDocument) {
  InsertRow("A", "n", "c");
  InsertRow("B", "O'Brien & <Sons>", "d");
  EXPECT_EQ(controller.getElementByXML("A"),
            kDecl + "<Root><JBTypeProfiles><JBTypeProfile Code=\"A\" JBTypeName=\"n\" JBTypeCategory=\"c\"/>"
                    "</JBTypeProfiles></Root>\n");
  EXPECT_EQ(controller.getElementByXML("B"),
            kDecl + "<Root><JBTypeProfiles><JBTypeProfile Code=\"B\" JBTypeName=\"O'Brien &amp; &lt;Sons&gt;\" "
                    "JBTypeCategory=\"d\"/></JBTypeProfiles></Root>\n");
}

TEST_P(JBTypeProfileController, GetElementOfMissingKeyFails) {
  InsertRow("A", "n", "c");
  TransactionScope scope;
  const Error err = CaptureError([&] { controller.getElementByXML("K"); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(), "getElementByXML Function" "load Sub" "LoadByPK Sub" "Can not use code 'K'");
  EXPECT_EQ(err.source(), err.description());
  EXPECT_TRUE(scope.aborted());
}

TEST_P(JBTypeProfileController, ContainsKeyAnswersWithoutRaising) {
  InsertRow("A", "n", "c");
  TransactionScope scope;
  EXPECT_TRUE(controller.containsKey("A"));
  EXPECT_FALSE(controller.containsKey("K"));
  EXPECT_FALSE(controller.containsKey(""));
  EXPECT_FALSE(controller.containsKey("K' OR '1'='1"));
  EXPECT_FALSE(scope.aborted());
}

TEST_P(JBTypeProfileController, PagingTable) {
  for (int i = 1; i <= 25; ++i) InsertRow((i < 10 ? "P0" : "P") + std::to_string(i), "name", "c");
  struct Case {
    int16_t perPage, page;
    int32_t pages;
    size_t elements;
  };
  const std::vector<Case> cases = {
      {10, 1, 3, 10}, {10, 2, 3, 10}, {10, 3, 3, 5}, {10, 0, 3, 25}, {10, -1, 3, 25}, {10, 4, 3, 0},
      {0, 0, 1, 25},  {0, 2, 1, 25},  {-5, 1, 1, 25}, {25, 1, 1, 25}, {7, 4, 4, 4},   {24, 2, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.perPage) + " per page, page " + std::to_string(c.page));
    Variant count, pages;
    const std::string answer = controller.queryOwnedElementsByXML(count, pages, c.perPage, c.page);
    EXPECT_EQ(CLng(count), 25);
    EXPECT_EQ(CLng(pages), c.pages);
    EXPECT_EQ(AnswerCodes(answer).size(), c.elements);
  }
  // The pages of ten together hold every row once.
  std::multiset<std::string> seen;
  for (int16_t page = 1; page <= 3; ++page) {
    Variant count, pages;
    for (const auto& code : AnswerCodes(controller.queryOwnedElementsByXML(count, pages, 10, page))) seen.insert(code);
  }
  EXPECT_EQ(seen.size(), 25u);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 25u);
}

TEST_P(JBTypeProfileController, SearchWithoutMatches) {
  InsertRow("A", "n", "c");
  const std::string none = "<Root><AccessKey Field=\"Code\" SearchCondition=\"=\" Key=\"Z\"/></Root>";
  Variant count, pages;
  EXPECT_EQ(controller.queryOwnedElementsByXML(count, pages, 10, 1, none), kDecl + "<Root><JBTypeProfiles/></Root>\n");
  EXPECT_EQ(CLng(count), 0);
  EXPECT_EQ(CLng(pages), 0);
  EXPECT_EQ(controller.queryOwnedElementsByXML(count, pages, 0, 0, none), kDecl + "<Root><JBTypeProfiles/></Root>\n");
  EXPECT_EQ(CLng(count), 0);
  EXPECT_EQ(CLng(pages), 1);
}

TEST_P(JBTypeProfileController, SearchAnswerWritesNullAsEmptyAttribute) {
  S_DBHelpForKX().RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('N',NULL,NULL)");
  Variant count, pages;
  EXPECT_EQ(controller.queryOwnedElementsByXML(count, pages),
            kDecl + "<Root><JBTypeProfiles><JBTypeProfile Code=\"N\" JBTypeName=\"\" JBTypeCategory=\"\"/>"
                    "</JBTypeProfiles></Root>\n");
  EXPECT_EQ(controller.getElementByXML("N"),
            kDecl + "<Root><JBTypeProfiles><JBTypeProfile Code=\"N\" JBTypeName=\"\" JBTypeCategory=\"\"/>"
                    "</JBTypeProfiles></Root>\n");
}

TEST_P(JBTypeProfileController, AddThenFetch) {
  {
    TransactionScope scope;
    controller.add(Request("A", "O'Brien", "c"));
    EXPECT_FALSE(scope.aborted());
    EXPECT_TRUE(scope.Complete());
  }
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"O'Brien", "c"}));
  EXPECT_EQ(controller.JBTypeProfile()->status(), esSaved);
  EXPECT_EQ(controller.getElementByXML("A"),
            kDecl + "<Root><JBTypeProfiles><JBTypeProfile Code=\"A\" JBTypeName=\"O'Brien\" JBTypeCategory=\"c\"/>"
                    "</JBTypeProfiles></Root>\n");
}

TEST_P(JBTypeProfileController, AddAcceptsTheListForm) {
  controller.add("<Root><JBTypeProfiles>" + Request("A", "n", "c") + Request("B", "m", "d") + "</JBTypeProfiles></Root>");
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "c"}));
  EXPECT_TRUE(StoredRow("B").empty());  // only the first element is read
}

TEST_P(JBTypeProfileController, InvalidAddRequestWritesNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<JBTypeProfile Code=\"A\" JBTypeCategory=\"c\"/>", "JBTypeName"},
      {Request("", "n", "c"), "Code"},
      {Request("A123456789012345678901", "n", "c"), "Code"},
      {Request("A", "n", "abc"), "JBTypeCategory"},
      {"<JBTypeProfile Code=\"A\" JBTypeName=\"n\" JBTypeCategory=\"c\"", ""},
      {"<Other Code=\"A\" JBTypeName=\"n\" JBTypeCategory=\"c\"/>", ""},
  };
  for (const auto& [request, mentioned] : cases) {
    SCOPED_TRACE(request);
    TransactionScope scope;
    const Error err = CaptureError([&] { controller.add(request); });
    EXPECT_EQ(err.number(), kComponentError);
    EXPECT_EQ(err.description().rfind("add Sub", 0), 0u) << err.description();
    EXPECT_GT(err.description().size(), std::string("add Sub").size());
    EXPECT_NE(err.description().find(mentioned), std::string::npos) << err.description();
    EXPECT_TRUE(scope.aborted());
    EXPECT_EQ(controller.JBTypeProfile()->status(), 0);  // the working entity is untouched
  }
  EXPECT_EQ(RowCount(), 0);
}

TEST_P(JBTypeProfileController, DuplicateAddInAScopeKeepsTheOriginalRow) {
  InsertRow("A", "original", "o");
  {
    TransactionScope scope;
    controller.add(Request("B", "other", "b"));
    const Error err = CaptureError([&] { controller.add(Request("A", "copy", "x")); });
    EXPECT_EQ(err.description().rfind("add Sub" "save Sub" "save Sub", 0), 0u) << err.description();
    EXPECT_NE(err.description().find("RunSQL(Insert Into JB_TYPE_PROFILE"), std::string::npos);
    EXPECT_TRUE(scope.aborted());
    EXPECT_FALSE(scope.Complete());
  }
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"original", "o"}));
  EXPECT_TRUE(StoredRow("B").empty());  // the call's work is rolled back as a whole
}

TEST_P(JBTypeProfileController, FetchedAnswerIsAValidModifyRequest) {
  InsertRow("A", "n", "c");
  const std::string answer = controller.getElementByXML("A");
  controller.modify(answer);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "c"}));
  std::string changed = answer;
  changed.replace(changed.find("\"n\""), 3, "\"renamed\"");
  controller.modify(changed);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"renamed", "c"}));
}

TEST_P(JBTypeProfileController, ModifyWithSameValuesRunsNoUpdate) {
  InsertRow("A", "n", "c");
  TransactionScope scope;
  controller.modify(Request("A", "n", "c"));
  EXPECT_FALSE(scope.aborted());
  EXPECT_EQ(LastStatement(controller), "select * from JB_TYPE_PROFILE where JB_TYPE_CODE = 'A'");
  EXPECT_EQ(controller.JBTypeProfile()->status(), esLoaded);
}

TEST_P(JBTypeProfileController, ModifyUpdatesTheRowItsCodeSelects) {
  InsertRow("A", "n", "c");
  InsertRow("B", "m", "d");
  controller.modify(Request("A", "O'Neil", "x"));
  EXPECT_EQ(LastStatement(controller),
            "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = 'O''Neil', JB_TYPE_CATEGORY = 'x' Where JB_TYPE_CODE= 'A'");
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"O'Neil", "x"}));
  EXPECT_EQ(StoredRow("B"), (std::vector<std::string>{"m", "d"}));
  EXPECT_EQ(controller.JBTypeProfile()->status(), esSaved);

  const Error err = CaptureError([&] { controller.modify(Request("Z", "n", "c")); });
  EXPECT_EQ(err.description(), "modify Sub" "load Sub" "LoadByPK Sub" "Can not use code 'Z'");
  EXPECT_EQ(RowCount(), 2);
  EXPECT_TRUE(StoredRow("Z").empty());
}

TEST_P(JBTypeProfileController, RemoveTwice) {
  InsertRow("A", "n", "c");
  InsertRow("B", "m", "d");
  controller.remove("A");
  EXPECT_TRUE(StoredRow("A").empty());
  EXPECT_EQ(LastStatement(controller), "Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'A'");
  TransactionScope scope;
  const Error err = CaptureError([&] { controller.remove("A"); });
  EXPECT_EQ(err.description(), "remove Sub" "load Sub" "LoadByPK Sub" "Can not use code 'A'");
  EXPECT_TRUE(scope.aborted());
  EXPECT_EQ(StoredRow("B"), (std::vector<std::string>{"m", "d"}));
}

TEST_P(JBTypeProfileController, WorkingEntityCarriesOver) {
  InsertRow("A", "fetched", "c");
  controller.getElementByXML("A");
  EXPECT_EQ(controller.JBTypeProfile()->JBTypeName(), "fetched");
  EXPECT_EQ(controller.JBTypeProfile()->status(), esLoaded);
  controller.add(Request("B", "added", "b"));
  EXPECT_EQ(controller.JBTypeProfile()->Code(), "B");

  auto replacement = std::make_shared<E_JBTypeProfile>();
  controller.setJBTypeProfile(replacement);
  controller.getElementByXML("A");
  EXPECT_EQ(replacement->JBTypeName(), "fetched");
}

TEST_P(JBTypeProfileController, LateBoundQueryReturnsItsCounts) {
  for (int i = 1; i <= 12; ++i) InsertRow("L" + std::to_string(i), "n", "c");
  auto& reg = Registry::Instance();
  ObjectPtr obj = reg.Create("C_JBTypeProfile");
  Args args{Variant(), Variant(), Variant(int16_t{10}), Variant(int16_t{2}), Variant("")};
  const std::string answer = CStr(reg.Invoke(*obj, "queryOwnedElementsByXML", args));
  EXPECT_EQ(CLng(args[0]), 12);
  EXPECT_EQ(CLng(args[1]), 2);
  EXPECT_EQ(AnswerCodes(answer).size(), 2u);

  Args only{Variant(), Variant()};  // the optional arguments take their defaults
  reg.Invoke(*obj, "queryOwnedElementsByXML", only);
  EXPECT_EQ(CLng(only[0]), 12);
  EXPECT_EQ(CLng(only[1]), 1);

  Args key{Variant("L1")};
  EXPECT_TRUE(CBool(reg.Invoke(*obj, "containsKey", key)));
}

KX_ENGINE_SUITE(JBTypeProfileController);

}  // namespace
}  // namespace kx::test
