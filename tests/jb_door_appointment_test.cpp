// Door appointments: the collection's XML and pairing by position, and the single-appointment
// calls add, modify and remove with their schema, votes, failure texts and quotes (the protocol
// every record shares is checked in record_protocol_test.cpp).
#include "joborderdetail/jb_door_appointment.h"

#include <string>
#include <vector>

#include "job_order_detail_rows.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

const std::string kColumns =
    "BK_NO, BL_NO, CONTAINER_REMARKS, CUSTOMER_NAME, APPOINTMENT_ADDRESS, CUSTOMER_CONTACTOR, "
    "APPOINTMENT_PHONE, "
    "APPOINTMENT_DATE, APPOINTMENT_TIME, APPOINTMENT_REMARKS, JB_NO_ID";

// Inserts an appointment of order `jbNoId` for `customer`, at 10:00 on 5 March 2024 (the date column
// holds the time of day too); returns its key.
int32_t InsertAppointment(int32_t jbNoId, const std::string& customer) {
  S_DBHelpForKX().RunSQL("Insert Into JB_DOOR_APPOINTMENT (" + kColumns +
                         ") Values ('BK1','BL1','2 boxes','" + Str2SQL(customer) +
                         "','1 Main St','Ann','555','2024-03-05 10:00:00','1000',NULL,'" +
                         std::to_string(jbNoId) + "')");
  return LastKey("JB_DOOR_APPOINTMENT", "JB_DOOR_APPOINTMENT_ID");
}

// The element the collection writes for an appointment inserted by InsertAppointment.
std::string AppointmentElement(int32_t id, int32_t jbNoId, const std::string& customer) {
  return "<JBDoorAppointment Id=\"" + std::to_string(id) + "\" JBNoId=\"" + std::to_string(jbNoId) +
         "\" BKNo=\"BK1\" BLNo=\"BL1\" ContainerRemarks=\"2 boxes\" CustomerName=\"" + customer +
         "\" AppointmentAddress=\"1 Main St\" CustomerContactor=\"Ann\" AppointmentPhone=\"555\" "
         "AppointmentDate=\"2024-03-05\" AppointmentTime=\"1000\" AppointmentRemarks=\"\"/>";
}

// A request element; `id` empty leaves the Id out.
std::string Request(const std::string& id, const std::string& customer,
                    const std::string& date = "2024-04-01", const std::string& time = "930") {
  return std::string("<JBDoorAppointment") + (id.empty() ? "" : " Id=\"" + id + "\"") +
         " BKNo=\"BK2\" BLNo=\"BL2\" ContainerRemarks=\"reefer\" CustomerName=\"" + customer +
         "\" AppointmentAddress=\"2 Dock Rd\" CustomerContactor=\"Ben\" AppointmentPhone=\"556\" "
         "AppointmentDate=\"" +
         date + "\" AppointmentTime=\"" + time + "\" AppointmentRemarks=\"gate 4\"/>";
}

std::string Appointments(const std::string& elements) {
  return "<JBDoorAppointments>" + elements + "</JBDoorAppointments>";
}

// The stored row of appointment `id`, every column as text; empty when there is none.
std::string Row(int32_t id) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS(
      "select * from JB_DOOR_APPOINTMENT where JB_DOOR_APPOINTMENT_ID = " + std::to_string(id));
  return rs->RecordCount() ? rs->ToText() : "";
}

int32_t AppointmentCount(int32_t jbNoId) {
  return S_DBHelpForKX()
      .RunSQLReturnRS("select * from JB_DOOR_APPOINTMENT where JB_NO_ID = '" + std::to_string(jbNoId) + "'")
      ->RecordCount();
}

class JBDoorAppointment : public EngineTest {
 protected:
  Col_JBDoorAppointment appointments;
};

TEST_P(JBDoorAppointment, CollectionXmlWritesAllTwelveAttributes) {
  const int32_t a = InsertAppointment(57, "Acme & Sons");
  const int32_t b = InsertAppointment(57, "O'Hara");
  InsertAppointment(58, "Other");
  appointments.loadElements("57");
  EXPECT_EQ(appointments.getColElementsByXML(),
            kDecl + "<JBDoorAppointments>" + AppointmentElement(a, 57, "Acme &amp; Sons") +
                AppointmentElement(b, 57, "O'Hara") + "</JBDoorAppointments>\n");
  EXPECT_EQ(appointments.getColElementsByXML("58"), kDecl + "<JBDoorAppointments/>\n");
}

TEST_P(JBDoorAppointment, AddInsertsTheFirstElementOnly) {
  appointments.loadElements("57");
  for (const std::string& request :
       {Request("", "O'Brien &amp; Co"),
        Appointments(Request("", "O'Brien &amp; Co") + Request("", "Second")),
        "<Root><JBOrders><JBOrder><JBDoorAppointments>" + Request("", "O'Brien &amp; Co") +
            Request("", "Second") + "</JBDoorAppointments></JBOrder></JBOrders></Root>"}) {
    SCOPED_TRACE(request);
    S_DBHelpForKX().RunSQL("Delete JB_DOOR_APPOINTMENT Where JB_NO_ID= '57'");
    {
      TransactionScope scope;
      EXPECT_EQ(appointments.add(request, "57"), "");
      EXPECT_EQ(scope.completeVotes(), 1);
      EXPECT_FALSE(scope.aborted());
      EXPECT_TRUE(scope.Complete());
    }
    EXPECT_EQ(AppointmentCount(57), 1);
    EXPECT_EQ(appointments.Count(), 0);
    Col_JBDoorAppointment reloaded;
    reloaded.loadElements("57");
    ASSERT_EQ(reloaded.Count(), 1);
    const std::string id = XmlText(reloaded.Item(1)->Get("Id"));
    EXPECT_EQ(reloaded.getColElementsByXML(),
              kDecl + "<JBDoorAppointments><JBDoorAppointment Id=\"" + id +
                  "\" JBNoId=\"57\" BKNo=\"BK2\" BLNo=\"BL2\" ContainerRemarks=\"reefer\" "
                  "CustomerName=\"O'Brien &amp; "
                  "Co\" AppointmentAddress=\"2 Dock Rd\" CustomerContactor=\"Ben\" AppointmentPhone=\"556\" "
                  "AppointmentDate=\"2024-04-01\" AppointmentTime=\"930\" AppointmentRemarks=\"gate 4\"/>"
                  "</JBDoorAppointments>\n");
  }
}

TEST_P(JBDoorAppointment, EmptyDateAndTimeStandForTheFirstOf1900AndZero) {
  appointments.add(Request("", "c", "", ""), "57");
  Col_JBDoorAppointment reloaded;
  reloaded.loadElements("57");
  ASSERT_EQ(reloaded.Count(), 1);
  EXPECT_EQ(CDate(reloaded.Item(1)->Get("AppointmentDate")), Date::FromParts(1900, 1, 1));
  EXPECT_EQ(CDbl(reloaded.Item(1)->Get("AppointmentTime")), 0.0);
}

TEST_P(JBDoorAppointment, BadRequestsWriteNothingAndVoteAbort) {
  const int32_t id = InsertAppointment(57, "Acme");
  const std::string mismatch(RuntimeErrorText(RuntimeErrorCode::TypeMismatch));
  struct Case {
    std::string member, request, jbNoId,
        description;  // description: the whole text after the member's, or a part
    bool whole;
  };
  const std::vector<Case> cases = {
      {"add", Request("", "c"), "x57", mismatch, true},
      {"add", Request("", "c"), "", mismatch, true},
      {"add", Request("", "c", "someday"), "57", mismatch, true},
      {"add", Request("", "c", "2024-04-01", "late"), "57", mismatch, true},
      {"add", "<JBDoorAppointment BKNo=\"B\"/>", "57", "is required but missing", false},
      {"add", Request("", "c").substr(1), "57", "", false},
      {"add", "<Other/>", "57", "Other", false},
      {"add", "<Root/>", "57", std::string(RuntimeErrorText(RuntimeErrorCode::ObjectNotSet)), true},
      {"add", Request("", std::string(101, 'n')), "57", "CustomerName", false},
      {"modify", Request(std::to_string(id), "c"), "x", mismatch, true},
      {"modify", Request(std::to_string(id), "c", "someday"), "57", mismatch, true},
      {"modify", Request("", "c"), "57", std::string(RuntimeErrorText(RuntimeErrorCode::ObjectNotSet)), true},
      {"modify", Request("99999", "c"), "57", "load SubLoadByPK SubCan not use code '99999'", true},
      {"modify", Request("abc", "c"), "57", "Id", false},
      {"remove", "99999", "57", "load SubLoadByPK SubCan not use code '99999'", true},
  };
  const std::string before = DumpDetailTables();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member + " " + c.request + " " + c.jbNoId);
    TransactionScope scope;
    const Error err = CaptureError([&] {
      if (c.member == "add") appointments.add(c.request, c.jbNoId);
      if (c.member == "modify") appointments.modify(c.request, c.jbNoId);
      if (c.member == "remove") appointments.remove(c.request, c.jbNoId);
    });
    const std::string text = c.member == "remove" ? "remove Sub" : c.member + " Function";
    EXPECT_EQ(err.number(), kComponentError);
    if (c.whole) {
      EXPECT_EQ(err.description(), text + c.description);
    } else {
      EXPECT_EQ(err.description().rfind(text, 0), 0u) << err.description();
      EXPECT_GT(err.description().size(), text.size());
      EXPECT_NE(err.description().find(c.description), std::string::npos) << err.description();
    }
    EXPECT_TRUE(scope.aborted());
  }
  EXPECT_EQ(DumpDetailTables(), before);
}

TEST_P(JBDoorAppointment, ModifyWithTheStoredValuesRunsNoUpdate) {
  const int32_t id = InsertAppointment(57, "Acme");
  const std::string before = Row(id);
  appointments.loadElements("57");
  const std::string fetched = appointments.getColElementsByXML();
  TransactionScope scope;
  EXPECT_EQ(appointments.modify(fetched, "57"), "");
  EXPECT_EQ(scope.completeVotes(), 1);
  // An update would have written the date without its time of day and the empty remarks over NULL.
  EXPECT_EQ(Row(id), before);
  std::string changed = fetched;
  changed.replace(changed.find("Ann"), 3, "Anne");
  appointments.modify(changed, "57");
  EXPECT_NE(Row(id), before);
  EXPECT_NE(Row(id).find("Anne"), std::string::npos);
  EXPECT_EQ(Row(id).find("NULL"), std::string::npos);
}

TEST_P(JBDoorAppointment, ModifyMovesAnAppointmentToTheGivenOrder) {
  const int32_t id = InsertAppointment(58, "Acme");
  const int32_t kept = InsertAppointment(58, "Kept");
  appointments.modify(Request(std::to_string(id), "O'Neil"), "57");
  EXPECT_EQ(AppointmentCount(57), 1);
  EXPECT_EQ(AppointmentCount(58), 1);
  E_JBDoorAppointment moved;
  moved.load(std::to_string(id));
  EXPECT_EQ(CLng(moved.Get("JBNoId")), 57);
  EXPECT_EQ(CStr(moved.Get("CustomerName")), "O'Neil");
  EXPECT_EQ(CDate(moved.Get("AppointmentDate")), Date::FromParts(2024, 4, 1));
  EXPECT_NE(Row(kept).find("Kept"), std::string::npos);
}

TEST_P(JBDoorAppointment, RemoveDeletesByItsOwnKey) {
  const int32_t id = InsertAppointment(58, "Acme");
  const int32_t other = InsertAppointment(57, "Other");
  appointments.loadElements("58");
  TransactionScope scope;
  appointments.remove(std::to_string(id), "57");  // the order given plays no part
  EXPECT_EQ(scope.completeVotes(), 1);
  EXPECT_EQ(Row(id), "");
  EXPECT_NE(Row(other), "");
  EXPECT_EQ(appointments.Count(), 1);
  EXPECT_EQ(CaptureError([&] { appointments.remove(std::to_string(id)); }).description(),
            "remove Subload SubLoadByPK SubCan not use code '" + std::to_string(id) + "'");
  EXPECT_TRUE(scope.aborted());
}

TEST_P(JBDoorAppointment, UpdateColElementsReadsTheSameFieldsInBothSteps) {
  const int32_t a = InsertAppointment(57, "Acme");
  InsertAppointment(57, "Gone");
  appointments.loadElements("57");
  appointments.updateColElements(Appointments(Request("", "it's")), "57");
  EXPECT_EQ(appointments.Count(), 2);
  EXPECT_EQ(
      LastStatement(*appointments.Item(1)),
      "Update JB_DOOR_APPOINTMENT Set BK_NO = 'BK2', BL_NO = 'BL2', CONTAINER_REMARKS = 'reefer', "
      "CUSTOMER_NAME = "
      "'it''s', APPOINTMENT_ADDRESS = '2 Dock Rd', CUSTOMER_CONTACTOR = 'Ben', APPOINTMENT_PHONE = '556', "
      "APPOINTMENT_DATE = '2024-04-01', APPOINTMENT_TIME = '930', APPOINTMENT_REMARKS = 'gate 4', JB_NO_ID = "
      "'57' "
      "Where JB_DOOR_APPOINTMENT_ID= '" +
          std::to_string(a) + "'");
  EXPECT_EQ(AppointmentCount(57), 1);
  Col_JBDoorAppointment reloaded;
  reloaded.loadElements("57");
  reloaded.updateColElements(Appointments(Request("", "it's") + Request("", "new")), "57");
  EXPECT_EQ(reloaded.Count(), 2);
  EXPECT_EQ(
      LastStatement(*reloaded.Item(2)),
      "Insert Into JB_DOOR_APPOINTMENT (" + kColumns +
          ")Values ('BK2','BL2','reefer','new','2 Dock Rd','Ben','556','2024-04-01','930','gate 4','57')");
  EXPECT_EQ(AppointmentCount(57), 2);
  EXPECT_EQ(CaptureError([&] { reloaded.updateColElements("<JBDoorAppointments>", "57"); })
                .description()
                .rfind("updateColElements Sub", 0),
            0u);
  EXPECT_EQ(AppointmentCount(57), 2);
}

KX_ENGINE_SUITE(JBDoorAppointment);

}  // namespace
}  // namespace kx::test
