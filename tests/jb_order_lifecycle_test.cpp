// C_JBOrder lifecycle and the members around it: issue, cancel, stop, the diary, door appointments,
// container look-ups, partner notification; the kx command.
#include <string>
#include <vector>

#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "fault_injection.h"
#include "test_support.h"

namespace kx::test {
namespace {

const std::string kDecl = "<?xml version=\"1.0\"?>\n";

std::string Appointment(const std::string& id, const std::string& customer) {
  return std::string("<JBDoorAppointment") + (id.empty() ? "" : " Id=\"" + id + "\"") +
         " BKNo=\"BK2\" BLNo=\"BL2\" ContainerRemarks=\"reefer\" CustomerName=\"" + customer +
         "\" AppointmentAddress=\"2 Dock Rd\" CustomerContactor=\"Ben\" AppointmentPhone=\"556\" "
         "AppointmentDate=\"2026-12-20\" AppointmentTime=\"930\" AppointmentRemarks=\"gate 4\"/>";
}

// A provider whose answer the test decides; it counts its calls.
class ScriptedProvider : public Object {
 public:
  explicit ScriptedProvider(std::string name) : name_(std::move(name)) {}
  std::string_view ClassName() const override { return name_; }
  std::string One(const std::string& a) {
    calls.push_back(a);
    return answer;
  }
  std::string Four(const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
    calls.push_back(a + "|" + b + "|" + c + "|" + d);
    return answer;
  }
  bool Notify(const std::string& vendor, const std::string& purpose, const std::string& method,
              std::string& result) {
    calls.push_back(vendor + "|" + purpose + "|" + method + "|" + result);
    result = answer;
    return true;
  }
  std::string answer;
  std::vector<std::string> calls;

 private:
  std::string name_;
};

class JBOrderLifecycle : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    FixClock(2026, 12, 8, 9, 30, 15);
    TransactionScope scope;
    controller.add(OrderXml({}, Lines({LineXml("1234567")})), "CO", "HKG");
    scope.Complete();
  }
  void TearDown() override {
    partners::RegisterDefaults(Origin::Replace);
    EngineTest::TearDown();
  }
  // Installs a scripted provider under `name`, with its member `member` taking one or four texts.
  std::shared_ptr<ScriptedProvider> Provide(const std::string& name, int arity) {
    auto p = std::make_shared<ScriptedProvider>(name);
    Expose<ScriptedProvider> x(name, [p] { return std::static_pointer_cast<Object>(p); });
    if (arity == 1) x.Method(partners::kGetContainers, &ScriptedProvider::One, {"a"});
    if (arity == 4) x.Method(partners::kGetContainers, &ScriptedProvider::Four, {"a", "b", "c", "d"});
    if (arity == 0)
      x.Method(partners::kGetPartnerNotifyInfo, &ScriptedProvider::Notify, {"v", "p", "m", "strResult"});
    x.Register(Origin::Replace);
    return p;
  }
  void SetState(int state) {
    S_DBHelpForKX().RunSQL("Update JB_ORDER Set JB_STATE = '" + std::to_string(state) + "'");
  }
  C_JBOrder controller;
};

TEST_P(JBOrderLifecycle, IssueAnswersTheOrderAsIssued) {
  FixClock(2026, 12, 10, 11, 45);
  {
    TransactionScope scope;
    EXPECT_EQ(
        controller.Issue("1", "bob", "FAX9", "bob@x"),
        kDecl +
            "<Root><JBOrders><JBOrder Id=\"1\" JBNo=\"JB001\" JBCreateDate=\"2026-12-01\" "
            "LastUpdateUser=\"amy\" "
            "JBTypeCategory=\"TR\" JBTypeCode=\"TRK\" OfficeCode=\"HKG\" IssueUser=\"bob\" "
            "IssueFaxNo=\"FAX9\" "
            "IssueEmailAddress=\"bob@x\" IssueDate=\"2026-12-10\" JBState=\"Issued\" "
            "JBStateDate=\"2026-12-08\" "
            "JBStateRemark=\"\" VendorCode=\"V001\" VendorName=\"O'Neil &amp; Sons\" "
            "VendorContractNo=\"C-9\" "
            "ITNumber=\"IT1\" ITType=\"A\" BoundDirect=\"I\" TransportMode=\"TRK\" Quantity=\"3\" "
            "FromPlace=\"HKHKG\" FromDepot=\"D1\" ToPlace=\"CNSZX\" ToDepot=\"D2\" "
            "EstimatedStartDate=\"2026-12-02\" EstimatedEndDate=\"2026-12-05\" TotalActualCurrency=\"\" "
            "TotalActualAmount=\"0\" TotalInvoiceCurrency=\"\" TotalInvoiceAmount=\"0\" CostRemark=\"rush\">"
            "<JBContainerDetails>" +
            StoredLine(1, 1, "1234567", "toys") +
            "</JBContainerDetails><JBDoorAppointments/></JBOrder></JBOrders></Root>\n");
    EXPECT_TRUE(scope.Complete());
  }
  EXPECT_EQ(OrderColumn(1, "JB_STATE"), "1");
  EXPECT_EQ(OrderColumn(1, "LAST_UPDATE_USER"), "bob");
  EXPECT_EQ(OrderColumn(1, "ISSUE_EMAIL_ADDRESS"), "bob@x");
  EXPECT_EQ(AttributeValues(controller.getElementByXML("1"), "JBOrder", "JBStateDate"),
            std::vector<std::string>{"2026-12-08"});
  EXPECT_EQ(AttributeValues(controller.getElementByXML("1"), "JBOrder", "LastUpdateTime"),
            std::vector<std::string>{"1145"});
  EXPECT_EQ(DiaryTexts(1).back(), "ACTION|bob|Issue JBOrder JBNoId = 1");
}

TEST_P(JBOrderLifecycle, StateTransitions) {
  struct Case {
    int from;
    std::string op;
    int to;             // the stored state afterwards
    std::string error;  // the refusal, empty when the call succeeds
  };
  const std::string completed = "The Job Order has been completed, can not be ";
  const std::vector<Case> cases = {
      {0, "Issue", 1, ""},  {1, "Issue", 1, ""},
      {3, "Issue", 1, ""},  {4, "Issue", 1, ""},
      {0, "Cancel", 4, ""}, {1, "Cancel", 4, ""},
      {4, "Cancel", 4, ""}, {3, "Cancel", 3, "Cancel Function: " + completed + "canceled."},
      {0, "Stop", 4, ""},   {1, "Stop", 4, ""},
      {4, "Stop", 4, ""},   {3, "Stop", 3, "StopDelivery Function: " + completed + "stoped."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " " + c.op);
    SetState(c.from);
    const std::string before = DumpOrderTables();
    {
      TransactionScope scope;
      auto call = [&] {
        if (c.op == "Issue") return !controller.Issue("1", "cy", "", "").empty();
        if (c.op == "Cancel") return controller.Cancel("1", "cy");
        return controller.StopDelivery("1", "cy");
      };
      if (c.error.empty()) {
        EXPECT_TRUE(call());
        EXPECT_TRUE(scope.Complete());
      } else {
        const Error err = CaptureError([&] { call(); });
        EXPECT_EQ(err.number(), kComponentError);
        EXPECT_EQ(err.description(), c.error);
        EXPECT_TRUE(scope.aborted());
        EXPECT_FALSE(scope.Complete());
      }
    }
    if (!c.error.empty()) {
      EXPECT_EQ(DumpOrderTables(), before);
    }
    EXPECT_EQ(OrderColumn(1, "JB_STATE"), std::to_string(c.to));
    EXPECT_EQ(OrderColumn(1, "JB_STATE_DATE").substr(0, 10), "2026-12-08");
  }
}

TEST_P(JBOrderLifecycle, DiaryTextsOfEveryOperation) {
  controller.modify(OrderXml({{"Id", "1"}, {"LastUpdateUser", "mo"}}, Lines({FullLineXml("1234567")})));
  controller.Issue("1", "bob", "", "");
  controller.Cancel("1", "cy");
  controller.StopDelivery("1", "di");
  controller.AddUserDiary("1", "ed", "call O'Neil = back");
  EXPECT_EQ(DiaryTexts(1), (std::vector<std::string>{
                               "EDIT|amy|Add JBOrder JBNoId =1",
                               "EDIT|mo|Modify JBOrder JBNoId =1",
                               "ACTION|bob|Issue JBOrder JBNoId = 1",
                               "ACTION|cy|Cancel JBOrder JBNoId = 1",
                               "ACTION|di|StopDelivery  JBNoId = 1",
                               "MEMO|ed|call O'Neil = back",
                           }));
}

TEST_P(JBOrderLifecycle, QueryJBDiaryAnswersEveryEntryWhateverTheLogType) {
  controller.AddUserDiary("1", "ed", "note");
  const std::string expected =
      kDecl +
      "<Root><JBOrders><JBOrder><JBDiarys><JBDiary Id=\"1\" JBNoId=\"1\" LastUpdateUser=\"amy\" "
      "LastUpdateDate=\"2026-12-08\" LastUpdateTime=\"930\" JBDiaryText=\"Add JBOrder JBNoId =1\" "
      "JBDiaryTypeInd=\"EDIT\" JBDiaryDate=\"2026-12-08\" JBDiaryTime=\"930\"/><JBDiary Id=\"2\" "
      "JBNoId=\"1\" "
      "LastUpdateUser=\"ed\" LastUpdateDate=\"2026-12-08\" LastUpdateTime=\"930\" JBDiaryText=\"note\" "
      "JBDiaryTypeInd=\"MEMO\" JBDiaryDate=\"2026-12-08\" "
      "JBDiaryTime=\"930\"/></JBDiarys></JBOrder></JBOrders>"
      "</Root>\n";
  EXPECT_EQ(controller.QueryJBDiary("1", ""), expected);
  EXPECT_EQ(controller.QueryJBDiary("1", "ACTION"), expected);
  EXPECT_EQ(CaptureError([&] { controller.QueryJBDiary("9", ""); }).description(),
            "QueryJBDiary Function"
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '9'");
}

TEST_P(JBOrderLifecycle, AddUserDiaryNeitherLoadsNorTestsTheOrder) {
  controller.AddUserDiary("77", "ed", "for an order that is not there");
  EXPECT_EQ(DiaryTexts(77), std::vector<std::string>{"MEMO|ed|for an order that is not there"});
  TransactionScope scope;
  const Error err = CaptureError([&] { controller.AddUserDiary("x", "ed", "t"); });
  EXPECT_EQ(err.description().substr(0, 16), "AddUserDiary Sub");
  EXPECT_TRUE(scope.aborted());
}

TEST_P(JBOrderLifecycle, DoorAppointments) {
  EXPECT_EQ(controller.GetDoorAppointments("1"),
            kDecl + "<Root><JBOrders><JBOrder><JBDoorAppointments/></JBOrder></JBOrders></Root>\n");
  EXPECT_TRUE(controller.AddDoorAppointment("1", Appointment("", "Acme")).IsEmpty());
  const std::string id =
      CStr(S_DBHelpForKX()
               .RunSQLReturnRS("select max(JB_DOOR_APPOINTMENT_ID) as K from JB_DOOR_APPOINTMENT")
               ->Field("K"));
  EXPECT_EQ(AttributeValues(controller.GetDoorAppointments("1"), "JBDoorAppointment", "CustomerName"),
            std::vector<std::string>{"Acme"});
  EXPECT_TRUE(controller.ModifyDoorAppointment("1", Appointment(id, "Acme Ltd")).IsEmpty());
  EXPECT_EQ(AttributeValues(controller.GetDoorAppointments("1"), "JBDoorAppointment", "CustomerName"),
            std::vector<std::string>{"Acme Ltd"});
  // The issued order nests its appointments.
  EXPECT_EQ(AttributeValues(controller.Issue("1", "bob", "", ""), "JBDoorAppointment", "CustomerName"),
            std::vector<std::string>{"Acme Ltd"});
  EXPECT_TRUE(controller.RemoveAppointment("1", id).IsEmpty());
  EXPECT_EQ(CountRows("JB_DOOR_APPOINTMENT"), 0);
  // An order key without a row fails at the load; nothing changes.
  for (const auto& [name, call] : std::vector<std::pair<std::string, std::function<void()>>>{
           {"GetDoorAppointments Function", [&] { controller.GetDoorAppointments("9"); }},
           {"AddDoorAppointment Function", [&] { controller.AddDoorAppointment("9", Appointment("", "A")); }},
           {"ModifyDoorAppointment Function",
            [&] { controller.ModifyDoorAppointment("9", Appointment(id, "A")); }},
           {"RemoveDoorAppointment Function", [&] { controller.RemoveAppointment("9", id); }}}) {
    EXPECT_EQ(CaptureError(call).description(), name + "load SubLoadByPK SubCan not use code '9'");
  }
  EXPECT_EQ(CountRows("JB_DOOR_APPOINTMENT"), 0);
}

TEST_P(JBOrderLifecycle, LookUpsAnswerExactlyWhatTheComponentAnswers) {
  auto ib = Provide(partners::kIBBLContainerProvider, 1);
  auto ob = Provide(partners::kOBBLContainerProvider, 1);
  auto bk = Provide(partners::kBookingContainerProvider, 1);
  auto voyage = Provide(partners::kIBVoyageContainerProvider, 4);
  for (const std::string answer : {"", "plain text, not XML", "<x a='1'/>"}) {
    ib->answer = ob->answer = bk->answer = voyage->answer = answer;
    EXPECT_EQ(controller.GetContainersByIBBLNo("B1"), answer);
    EXPECT_EQ(controller.GetContainersByOBBLNo("B2"), answer);
    EXPECT_EQ(controller.GetContainersByBKNo("K1"), answer);
    EXPECT_EQ(controller.GetContainersByIBVoyage("VSL", "001", "E", "HKHKG"), answer);
  }
  EXPECT_EQ(ib->calls.back(), "B1");
  EXPECT_EQ(ob->calls.back(), "B2");
  EXPECT_EQ(bk->calls.back(), "K1");
  EXPECT_EQ(voyage->calls.back(), "VSL|001|E|HKHKG");
  // A component that cannot be created fails the call with the member's text.
  Expose<ScriptedProvider>(partners::kBookingContainerProvider, []() -> ObjectPtr {
    ThrowRuntimeError(RuntimeErrorCode::CantCreateObject);
  }).Register(Origin::Replace);
  EXPECT_EQ(CaptureError([&] { controller.GetContainersByBKNo("K1"); }).description().substr(0, 27),
            "GetContainersByBKNo Functio");
}

TEST_P(JBOrderLifecycle, PartnerNotifyInfoLoadsTheOrderOnlyWhenTheKeyDiffers) {
  auto notify = Provide(partners::kPartnerNotifyProvider, 0);
  notify->answer = "<fax/>";
  std::string result = "before";
  EXPECT_TRUE(controller.getPartnerNotifyInfo("1", "IJ", "FAX", result));
  EXPECT_EQ(result, "<fax/>");
  EXPECT_EQ(notify->calls, std::vector<std::string>{"V001|IJ|FAX|before"});
  // The held order serves the second call: the database is not read again.
  S_DBHelpForKX().RunSQL("Update JB_ORDER Set VENDOR_CODE = 'V002'");
  EXPECT_TRUE(controller.getPartnerNotifyInfo("1", "IJ", "EMAIL", result));
  EXPECT_EQ(notify->calls.back(), "V001|IJ|EMAIL|<fax/>");
  // Another purpose answers false without the component and leaves the result alone.
  result = "kept";
  EXPECT_FALSE(controller.getPartnerNotifyInfo("1", "XX", "FAX", result));
  EXPECT_EQ(result, "kept");
  EXPECT_EQ(notify->calls.size(), 2u);
  // ...but still loads an order whose key differs.
  EXPECT_EQ(CaptureError([&] { controller.getPartnerNotifyInfo("5", "XX", "FAX", result); }).description(),
            "getPartnerNotifyInfo Sub: load SubLoadByPK SubCan not use code '5'");
  EXPECT_EQ(CaptureError([&] { controller.getPartnerNotifyInfo("one", "IJ", "FAX", result); }).description(),
            "getPartnerNotifyInfo Sub: Type mismatch");
}

TEST_P(JBOrderLifecycle, PartnerNotifyInfoFromTheSettingsTable) {
  S_DBHelpForKX().RunSQL("Delete PARTNER_NOTIFY_SETTING Where VENDOR_CODE = 'V001'");
  S_DBHelpForKX().RunSQL(
      "Insert Into PARTNER_NOTIFY_SETTING (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND, FAX_NO, "
      "EMAIL_ADDRESS) "
      "Values ('V001', 'IJ', 'FAX', '852-1234', 'ops@v001.example')");
  std::string result;
  EXPECT_TRUE(controller.getPartnerNotifyInfo("1", "IJ", "FAX", result));
  EXPECT_EQ(result,
            kDecl +
                "<Root><PartnerNotifyInfos><PartnerNotifyInfo VendorCode=\"V001\" NotifyPurposeInd=\"IJ\" "
                "NotifyMethodInd=\"FAX\" FaxNo=\"852-1234\" EmailAddress=\"ops@v001.example\"/>"
                "</PartnerNotifyInfos></Root>\n");
  result = "none";
  EXPECT_FALSE(controller.getPartnerNotifyInfo("1", "IJ", "EMAIL", result));
  EXPECT_EQ(result, "none");
}

KX_ENGINE_SUITE(JBOrderLifecycle);

// The kx command runs each call in a transaction: a failure after the order row is written leaves
// nothing behind.
TEST(JBOrderCommand, AFailedAddLeavesNothingBehind) {
  TestHome home;
  ASSERT_EQ(RunKx(home, "init").exitCode, 0);
  S_DBHelpForKX().RunSQL(
      "CREATE TRIGGER refuse_line BEFORE INSERT ON JB_CONTAINER_DETAIL WHEN NEW.CONTAINER_NO = 'REFUSED' "
      "BEGIN SELECT RAISE(ABORT, 'line refused'); END");
  const std::string good = home.WriteFile("good.xml", OrderXml({}, Lines({LineXml("1")})));
  const std::string bad =
      home.WriteFile("bad.xml", OrderXml({{"JBNo", "JB002"}}, Lines({LineXml("2"), LineXml("REFUSED")})));
  KxRun run = RunKx(home, "call C_JBOrder add @" + good + " CO HKG");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "1\n");
  const std::string before = DumpOrderTables();
  run = RunKx(home, "call C_JBOrder add @" + bad + " CO HKG");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("add FunctionupdateColElements Sub"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("line refused"), std::string::npos) << run.err;
  EXPECT_EQ(DumpOrderTables(), before);
  // The lifecycle through the command line.
  run = RunKx(home, "call --json C_JBOrder Cancel 1 bob");
  EXPECT_EQ(run.out, "{\"result\": true, \"out\": {}}\n") << run.err;
  run = RunKx(home, "call C_JBOrder QueryJBDiary 1");
  EXPECT_NE(run.out.find("Cancel JBOrder JBNoId = 1"), std::string::npos) << run.out << run.err;
  run = RunKx(home, "call --json S_JBOrder containsJBNo JB001");
  EXPECT_EQ(run.out, "{\"result\": true, \"out\": {\"JBNoId\": \"1\"}}\n") << run.err;
  run = RunKx(home, "call E_JBOrder CompanyCode");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // The outside components answer through the command line too.
  run = RunKx(home, "call BookingContainerProvider GetContainers BK1");
  EXPECT_EQ(
      run.out,
      "<?xml version=\"1.0\"?>\n<Root><Containers><Container ContainerPrefix=\"ABCU\" ContainerNo=\"1\" "
      "ContainerType=\"40HC\" BKNo=\"BK1\" BLNo=\"BL1\"/></Containers></Root>\n\n")
      << run.err;
  run = RunKx(home, "call --json PartnerNotifyProvider GetPartnerNotifyInfo V001 IJ FAX before");
  EXPECT_EQ(run.out, "{\"result\": false, \"out\": {\"strResult\": \"before\"}}\n") << run.err;
  run =
      RunKx(home, "call SerialNoGenerator GenerateSerialNo \"<CDSerialNo COMPANYCODE='C' OFFICECODE='H'/>\"");
  EXPECT_EQ(run.out.substr(0, 2), "CH") << run.err;
}

}  // namespace
}  // namespace kx::test
