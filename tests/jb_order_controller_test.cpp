// C_JBOrder maintenance: add with its number rules, container lines and diary entry; the answer
// documents; modify; remove; the search; fresh entities for each add; late-bound and kx command calls.
#include <string>
#include <vector>

#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {
namespace {

const std::string kDecl = "<?xml version=\"1.0\"?>\n";

// The order element of an answer as add stores the default request (key `id`, number `no`, the
// clock at 2026-12-08 09:30) followed by `inner`.
std::string StoredOrder(int id, const std::string& no, const std::string& inner) {
  const std::string k = std::to_string(id);
  return "<JBOrder Id=\"" + k + "\" JBNo=\"" + no +
         "\" JBCreateDate=\"2026-12-01\" LastUpdateDate=\"2026-12-08\" LastUpdateTime=\"930\" "
         "LastUpdateUser=\"amy\" JBTypeCategory=\"TR\" JBTypeCode=\"TRK\" OfficeCode=\"HKG\" IssueUser=\"\" "
         "IssueFaxNo=\"\" IssueEmailAddress=\"\" IssueDate=\"1899-12-30\" JBState=\"0\" "
         "JBStateDate=\"2026-12-08\" "
         "JBStateRemark=\"\" VendorCode=\"V001\" VendorName=\"O'Neil &amp; Sons\" VendorContractNo=\"C-9\" "
         "ITNumber=\"IT1\" ITType=\"A\" BoundDirect=\"I\" TransportMode=\"TRK\" Quantity=\"3\" "
         "FromPlace=\"HKHKG\" "
         "FromDepot=\"D1\" EstimatedStartDate=\"2026-12-02\" ActualStartDate=\"1899-12-30\" "
         "ToPlace=\"CNSZX\" "
         "ToDepot=\"D2\" EstimatedEndDate=\"2026-12-05\" ActualEndDate=\"1899-12-30\" "
         "TotalActualCurrency=\"\" "
         "TotalActualAmount=\"0\" TotalInvoiceCurrency=\"\" TotalInvoiceAmount=\"0\" CostRemark=\"rush\">" +
         inner + "</JBOrder>";
}

class JBOrderController : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    FixClock(2026, 12, 8, 9, 30, 15);
  }
  // Adds an order in its own transaction and returns its key.
  int32_t Add(const std::string& xml, C_JBOrder* on = nullptr) {
    TransactionScope scope;
    const std::string id = (on ? *on : controller).add(xml, "CO", "HKG");
    EXPECT_TRUE(scope.Complete());
    return CLng(Variant(id));
  }
  C_JBOrder controller;
};

TEST_P(JBOrderController, AddThenGetElementAnswersTheWholeDocument) {
  const int32_t id =
      Add(OrderXml({}, Lines({LineXml("1234567", "BK1", "BL1", "O'Neil's toys"), LineXml("7654321")})));
  EXPECT_EQ(id, 1);
  EXPECT_EQ(controller.getElementByXML("1"),
            kDecl + "<Root><JBOrders>" +
                StoredOrder(1, "JB001",
                            "<JBContainerDetails>" + StoredLine(1, 1, "1234567", "O'Neil's toys") +
                                StoredLine(2, 1, "7654321", "toys") + "</JBContainerDetails>") +
                "</JBOrders></Root>\n");
  EXPECT_EQ(DiaryTexts(1), (std::vector<std::string>{"EDIT|amy|Add JBOrder JBNoId =1"}));
}

TEST_P(JBOrderController, AnOrderWithoutLinesNestsAnEmptyList) {
  Add(OrderXml());
  EXPECT_EQ(
      controller.getElementByXML("1"),
      kDecl + "<Root><JBOrders>" + StoredOrder(1, "JB001", "<JBContainerDetails/>") + "</JBOrders></Root>\n");
}

TEST_P(JBOrderController, TheAnswerEditedAndSentBackIsAValidModify) {
  Add(OrderXml({}, Lines({LineXml("1234567")})));
  std::string answer = controller.getElementByXML("1");
  const std::string from = "ContainerNo=\"1234567\"", to = "ContainerNo=\"9999999\"";
  answer.replace(answer.find(from), from.size(), to);
  controller.modify(answer);
  EXPECT_EQ(AttributeValues(controller.getElementByXML("1"), "JBContainerDetail", "ContainerNo"),
            std::vector<std::string>{"9999999"});
}

TEST_P(JBOrderController, ABlankNumberIsGenerated) {
  for (const std::string blank : {"", "   "}) {
    SCOPED_TRACE("'" + blank + "'");
    const int32_t id = Add(OrderXml({{"JBNo", blank}}));
    const std::string no = OrderColumn(id, "JB_NO");
    EXPECT_EQ(no.substr(0, 9), "COHKG2612");
    EXPECT_EQ(no.size(), 15u);
    EXPECT_EQ(AttributeValues(controller.getElementByXML(std::to_string(id)), "JBOrder", "JBNo"),
              std::vector<std::string>{no});
  }
  EXPECT_NE(OrderColumn(1, "JB_NO"), OrderColumn(2, "JB_NO"));
}

TEST_P(JBOrderController, ADuplicateNumberIsRefusedAndNothingIsWritten) {
  Add(OrderXml({}, Lines({LineXml("1")})));
  const std::string before = DumpOrderTables();
  {
    TransactionScope scope;
    const Error err = CaptureError([&] { controller.add(OrderXml({}, Lines({LineXml("2")})), "CO", "HKG"); });
    EXPECT_EQ(err.number(), kComponentError);
    EXPECT_EQ(err.description(),
              "add Function"
              "save Sub"
              "The job order no has existing: JB001");
    EXPECT_TRUE(scope.aborted());
    EXPECT_FALSE(scope.Complete());
  }
  EXPECT_EQ(DumpOrderTables(), before);
  // The number is compared as given: surrounding blanks make another number.
  EXPECT_EQ(Add(OrderXml({{"JBNo", " JB001"}})), 2);
}

TEST_P(JBOrderController, EmptyCreateDateAndQuantity) {
  const int32_t id = Add(OrderXml({{"JBCreateDate", ""}, {"Quantity", ""}}));
  const std::string answer = controller.getElementByXML(std::to_string(id));
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "JBCreateDate"), std::vector<std::string>{"1900-01-01"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "Quantity"), std::vector<std::string>{"0"});
}

TEST_P(JBOrderController, AnAddedOrderIsNewWithTodayAsStateDate) {
  // The request carries a state and issue fields; add takes neither.
  const std::string request =
      "<Root><JBOrders>" +
      OrderXml({{"JBNo", "JB002"}}).insert(9, "JBState=\"3\" JBStateDate=\"2020-01-01\" IssueUser=\"zed\" ") +
      "</JBOrders></Root>";
  const int32_t id = Add(request);
  const std::string answer = controller.getElementByXML(std::to_string(id));
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "JBState"), std::vector<std::string>{"0"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "JBStateDate"), std::vector<std::string>{"2026-12-08"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "IssueUser"), std::vector<std::string>{""});
}

TEST_P(JBOrderController, TwoAddsOnOneControllerDoNotShareFields) {
  const int32_t first = Add(OrderXml());
  // The first order is issued, cancelled and given costs through the controller's entity.
  controller.Issue(std::to_string(first), "bob", "FAX1", "bob@x");
  auto order = controller.JBOrder();
  order->Set(E_JBOrder::kJBStateRemark, "late");
  order->Set(E_JBOrder::kActualStartDate, Date::FromParts(2026, 12, 3));
  order->Set(E_JBOrder::kActualEndDate, Date::FromParts(2026, 12, 4));
  order->Set(E_JBOrder::kTotalActualCurrency, "USD");
  order->Set(E_JBOrder::kTotalActualAmount, 12.5);
  order->Set(E_JBOrder::kTotalInvoiceCurrency, "HKD");
  order->Set(E_JBOrder::kTotalInvoiceAmount, 99.125);
  order->save();
  const int32_t second = Add(OrderXml({{"JBNo", "JB002"}}));
  const std::string answer = controller.getElementByXML(std::to_string(second));
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"IssueUser", ""},
                                                        {"IssueFaxNo", ""},
                                                        {"IssueEmailAddress", ""},
                                                        {"IssueDate", "1899-12-30"},
                                                        {"JBStateRemark", ""},
                                                        {"ActualStartDate", "1899-12-30"},
                                                        {"ActualEndDate", "1899-12-30"},
                                                        {"TotalActualCurrency", ""},
                                                        {"TotalActualAmount", "0"},
                                                        {"TotalInvoiceCurrency", ""},
                                                        {"TotalInvoiceAmount", "0"}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(AttributeValues(answer, "JBOrder", name), std::vector<std::string>{value});
  }
  EXPECT_EQ(
      AttributeValues(controller.getElementByXML(std::to_string(first)), "JBOrder", "TotalInvoiceAmount"),
      std::vector<std::string>{"99.125"});
}

TEST_P(JBOrderController, ModifyWritesTheFieldsLinesAndDiary) {
  Add(OrderXml({}, Lines({LineXml("1"), LineXml("2")})));
  FixClock(2026, 12, 9, 14, 5, 59);
  controller.modify(
      OrderXml({{"Id", "1"}, {"VendorName", "Lee's"}, {"LastUpdateUser", "cy"}, {"JBNo", "JB009"}},
               Lines({FullLineXml("3")})));
  const std::string answer = controller.getElementByXML("1");
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "VendorName"), std::vector<std::string>{"Lee's"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "JBNo"), std::vector<std::string>{"JB009"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "LastUpdateDate"), std::vector<std::string>{"2026-12-09"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "LastUpdateTime"), std::vector<std::string>{"1405"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "JBState"), std::vector<std::string>{"0"});
  EXPECT_EQ(AttributeValues(answer, "JBOrder", "JBStateDate"), std::vector<std::string>{"2026-12-08"});
  EXPECT_EQ(AttributeValues(answer, "JBContainerDetail", "ContainerNo"), std::vector<std::string>{"3"});
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL"), 1);
  EXPECT_EQ(DiaryTexts(1),
            (std::vector<std::string>{"EDIT|amy|Add JBOrder JBNoId =1", "EDIT|cy|Modify JBOrder JBNoId =1"}));
}

TEST_P(JBOrderController, ModifyInTheSameMinuteWritesNothingForTheOrder) {
  Add(OrderXml({}, Lines({LineXml("1")})));
  FixClock(2026, 12, 8, 9, 30, 59);
  controller.modify(OrderXml({{"Id", "1"}}, Lines({FullLineXml("1"), FullLineXml("2")})));
  // The order's own storage ran no update: its last statement is the load.
  EXPECT_EQ(controller.JBOrder()->OrderStorage()->strSQL(), "select * from JB_ORDER where JB_NO_ID = '1'");
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL"), 2);
  EXPECT_EQ(DiaryTexts(1).size(), 2u);
  // A minute later the same request updates the row.
  FixClock(2026, 12, 8, 9, 31, 0);
  controller.modify(OrderXml({{"Id", "1"}}, Lines({FullLineXml("1"), FullLineXml("2")})));
  EXPECT_EQ(controller.JBOrder()->OrderStorage()->strSQL().substr(0, 34),
            "Update JB_ORDER Set JB_NO = 'JB001");
  EXPECT_EQ(OrderColumn(1, "LAST_UPDATE_TIME").substr(0, 3), "931");
}

TEST_P(JBOrderController, ModifyOfAMissingOrderFailsWithTheLoadChain) {
  const Error err = CaptureError([&] { controller.modify(OrderXml({{"Id", "7"}}, Lines({}))); });
  EXPECT_EQ(err.description(),
            "modify Sub"
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '7'");
}

TEST_P(JBOrderController, InvalidRequestsAreRefusedBeforeAnythingIsWritten) {
  Add(OrderXml());
  const std::string before = DumpOrderTables();
  struct Case {
    std::string what, request;
    bool modify;
  };
  const std::vector<Case> cases = {
      {"missing attribute", OrderXml({{"-VendorCode", ""}}), false},
      {"too long", OrderXml({{"BoundDirect", "IO"}}), false},
      {"not a date", OrderXml({{"JBCreateDate", "soon"}}), false},
      {"line without its number",
       OrderXml({}, "<JBContainerDetails><JBContainerDetail ContainerPrefix=\"A\"/></JBContainerDetails>"),
       false},
      {"two orders", "<Root><JBOrders>" + OrderXml() + OrderXml() + "</JBOrders></Root>", false},
      {"not XML", "<JBOrder", false},
      {"empty", "", false},
      {"modify without Id", OrderXml({}, Lines({})), true},
      {"modify without lines", OrderXml({{"Id", "1"}}), true},
      {"modify line without LastActivityCode", OrderXml({{"Id", "1"}}, Lines({LineXml("1")})), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TransactionScope scope;
    const Error err = CaptureError([&] {
      if (c.modify)
        controller.modify(c.request);
      else
        controller.add(c.request, "CO", "HKG");
    });
    EXPECT_EQ(err.number(), kComponentError);
    EXPECT_EQ(err.description().rfind(c.modify ? "modify Sub" : "add Function", 0), 0u) << err.description();
    EXPECT_TRUE(scope.aborted());
  }
  EXPECT_EQ(DumpOrderTables(), before);
}

TEST_P(JBOrderController, RemoveDeletesTheChildrenThenTheOrder) {
  Add(OrderXml({}, Lines({LineXml("1"), LineXml("2")})));
  Add(OrderXml({{"JBNo", "JB002"}}, Lines({LineXml("3")})));
  controller.AddUserDiary("1", "amy", "note");
  S_DBHelpForKX().RunSQL("Insert Into JB_DOOR_APPOINTMENT (JB_NO_ID, CUSTOMER_NAME) Values ('1', 'Acme')");
  controller.remove("1");
  EXPECT_EQ(CountRows("JB_ORDER"), 1);
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL", "JB_NO_ID = 1"), 0);
  EXPECT_EQ(CountRows("JB_DIARY", "JB_NO_ID = 1"), 0);
  EXPECT_EQ(CountRows("JB_DOOR_APPOINTMENT", "JB_NO_ID = 1"), 0);
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL", "JB_NO_ID = 2"), 1);
  EXPECT_EQ(CountRows("JB_DIARY", "JB_NO_ID = 2"), 1);
  EXPECT_EQ(CaptureError([&] { controller.getElementByXML("1"); }).description(),
            "getElementByXML Function"
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '1'");
  EXPECT_EQ(CaptureError([&] { controller.remove("1"); }).description(),
            "remove Sub"
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '1'");
}

TEST_P(JBOrderController, SearchOnContainerFieldsAnswersEachOrderOnce) {
  Add(OrderXml({}, Lines({LineXml("1", "BKA"), LineXml("2", "BKA"), LineXml("3", "BKB")})));
  Add(OrderXml({{"JBNo", "JB002"}, {"VendorName", "Other"}}, Lines({LineXml("4", "BKA")})));
  Add(OrderXml({{"JBNo", "JB003"}}, Lines({LineXml("5", "BKC")})));
  auto search = [&](const std::string& conditions, int16_t perPage = 0, int16_t page = 0) {
    Variant count, pages;
    const std::string answer = controller.queryOwnedElementsByXML(
        count, pages, perPage, page, "<AccessKeys>" + conditions + "</AccessKeys>");
    return std::make_pair(AttributeValues(answer, "JBOrder", "Id"), CLng(count));
  };
  EXPECT_EQ(search("<AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"BKA\"/>"),
            std::make_pair(std::vector<std::string>{"1", "2"}, 2));
  // Several container conditions must hold for one line.
  EXPECT_EQ(search("<AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"BKA\"/>"
                   "<AccessKey Field=\"ContainerNo\" SearchCondition=\"=\" Key=\"3\"/>"),
            std::make_pair(std::vector<std::string>{}, 0));
  EXPECT_EQ(search("<AccessKey Field=\"BKNo\" SearchCondition=\"BeginWith\" Key=\"BK\"/>"
                   "<AccessKey Field=\"VendorName\" SearchCondition=\"Include\" Key=\"Neil\"/>"),
            std::make_pair(std::vector<std::string>{"1", "3"}, 2));
  EXPECT_EQ(search("<AccessKey Field=\"BKNo\" SearchCondition=\"BeginWith\" Key=\"BK\"/>", 2, 2),
            std::make_pair(std::vector<std::string>{"3"}, 3));
  // A field of neither table is passed over.
  EXPECT_EQ(search("<AccessKey Field=\"Colour\" SearchCondition=\"=\" Key=\"red\"/>"),
            std::make_pair(std::vector<std::string>{"1", "2", "3"}, 3));
}

TEST_P(JBOrderController, SearchAnswersFourteenAttributes) {
  Add(OrderXml());
  Variant count, pages;
  EXPECT_EQ(
      controller.queryOwnedElementsByXML(count, pages),
      kDecl +
          "<Root><JBOrders><JBOrder Id=\"1\" JBNo=\"JB001\" JBTypeCategory=\"TR\" JBTypeCode=\"TRK\" "
          "OfficeCode=\"HKG\" IssueDate=\"1899-12-30\" JBState=\"0\" VendorCode=\"V001\" "
          "VendorName=\"O'Neil &amp; Sons\" TotalActualCurrency=\"\" TotalActualAmount=\"0\" "
          "TotalInvoiceCurrency=\"\" TotalInvoiceAmount=\"0\" CostRemark=\"rush\"/></JBOrders></Root>\n");
  EXPECT_EQ(CLng(count), 1);
  EXPECT_EQ(CLng(pages), 1);
}

TEST_P(JBOrderController, IssueDateBoundsAreInclusive) {
  for (int i = 1; i <= 3; ++i) Add(OrderXml({{"JBNo", "JB00" + std::to_string(i)}}));
  for (int i = 1; i <= 3; ++i) {
    FixClock(2026, 12, 9 + i, 10, 0);
    controller.Issue(std::to_string(i), "bob", "", "");
  }
  auto ids = [&](const std::string& word, const std::string& key) {
    Variant count, pages;
    return AttributeValues(
        controller.queryOwnedElementsByXML(count, pages, 0, 0,
                                           "<AccessKeys><AccessKey Field=\"IssueDate\" SearchCondition=\"" +
                                               XmlAttr(word) + "\" Key=\"" + key + "\"/></AccessKeys>"),
        "JBOrder", "Id");
  };
  EXPECT_EQ(ids(">", "2026-12-11"), (std::vector<std::string>{"2", "3"}));
  EXPECT_EQ(ids("<", "2026-12-11"), (std::vector<std::string>{"1", "2"}));
}

TEST_P(JBOrderController, ContainsKey) {
  Add(OrderXml());
  EXPECT_TRUE(controller.containsKey("1"));
  EXPECT_FALSE(controller.containsKey("2"));
}

TEST_P(JBOrderController, LateBoundThroughTheRegistry) {
  const ObjectPtr c = Registry::Instance().Create("C_JBOrder");
  Args add = {Variant(OrderXml({}, Lines({LineXml("1")}))), Variant("CO"), Variant("HKG")};
  EXPECT_EQ(CStr(Registry::Instance().Invoke(*c, "add", add)), "1");
  Args get = {Variant("1")};
  EXPECT_EQ(AttributeValues(CStr(Registry::Instance().Invoke(*c, "getElementByXML", get)),
                            "JBContainerDetail", "ContainerNo"),
            std::vector<std::string>{"1"});
  Args none;
  const Variant order = Registry::Instance().Invoke(*c, "JBOrder", none);
  Args jbNo;
  EXPECT_EQ(CStr(Registry::Instance().Invoke(*CObj(order), "JBNo", jbNo)), "JB001");
  Args diary;
  const Variant col = Registry::Instance().Invoke(*CObj(order), "ColJBDiary", diary);
  Args countArgs;
  EXPECT_EQ(CLng(Registry::Instance().Invoke(*CObj(col), "Count", countArgs)), 1);
  // Another entity class is no job order.
  Args wrong = {Variant(Registry::Instance().Create("E_JBTypeProfile"))};
  EXPECT_THROW(Registry::Instance().Invoke(*c, "JBOrder", wrong), Error);
}

TEST_P(JBOrderController, ProcedureTextsOfTheMaintenanceMembers) {
  Variant count, pages;
  EXPECT_EQ(CaptureError([&] { controller.getElementByXML("99"); }).description(),
            "getElementByXML Function"
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '99'");
  EXPECT_EQ(CaptureError([&] {
              controller.queryOwnedElementsByXML(
                  count, pages, 0, 0, "<AccessKey Field=\"JBNo\" SearchCondition=\"~\" Key=\"1\"/>");
            })
                .description()
                .substr(0, 46),
            "queryOwnedElementsByXML Function"
            "Query Function");
  EXPECT_EQ(CaptureError([&] { controller.add("<x/>", "", ""); }).description().substr(0, 12),
            "add Function");
}

KX_ENGINE_SUITE(JBOrderController);

}  // namespace
}  // namespace kx::test
