// The protocol every record shares, checked once over a table with one row per record: the
// statement of every storage operation, the calls a host makes by class name, the rollback of every
// write with its transaction, and the procedure texts of failures. A row holds the record's class
// names, the values of a stored row and what the record answers, as data; {key} and {parent} in a
// text stand for the keys of the stored row, {file} for the request file of the commands.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/collection.h"
#include "jb_container_retrieving_rows.h"
#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "joborderdetail/jb_container_detail.h"
#include "joborderdetail/jb_diary.h"
#include "joborderdetail/jb_door_appointment.h"
#include "retrieving/jb_container_retrieving_temp_detail.h"
#include "retrieving/jb_container_retrieving_temp_file.h"
#include "test_support.h"
#include "typeprofile/jb_type_profile.h"

namespace kx::test {
namespace {

using Values = std::vector<std::pair<std::string, Variant>>;

// A change of a stored row and the update statement it runs.
using Update = std::pair<Values, std::string>;

// A call by name on the record's entity ("E"), storage ("S") or collection ("Col"), or on the object
// the last call answered ("="), with what it answers: its text, an object's class name, or
// "(nothing)".
struct LateCall {
  std::string on, member;
  std::vector<std::string> args;
  std::string answer;
};

// A run of the kx command: how it ends, what it prints (`out` only in part when `part`), and the
// number of the record's rows under order 58 afterwards (-1: not counted).
struct KxCommand {
  std::string args = {};
  int exit = 0;
  std::string out = {}, err = {};
  bool part = false;
  int rows = -1;
};

struct Record {
  std::string name = {}, entity = {}, storage = {}, collection = {};
  // Makes the parent of a stored row, when it needs one, and answers its key.
  std::function<std::string()> parent = {};
  Values fields = {};  // what a new row is given
  // Statements.
  std::string insert = {}, contains = {}, load = {};
  std::vector<Update> updates = {};
  std::string children = {}, search = {}, searchStatement = {}, remove = {};
  // Calls by name, and runs of the kx command with `request` as {file}; `lines` adds the children a
  // stored row is called with.
  std::function<void(const std::string& key)> lines = {};
  std::vector<LateCall> calls = {};
  std::string request = {};
  std::vector<KxCommand> commands = {};
  // Procedure texts: "Set <property>" gives a property a text that is no value of it, "load <key>"
  // loads a key without a row, "Item <n>" reads a position of an empty collection; any other call
  // is a member of a collection without its list.
  std::vector<std::pair<std::string, std::string>> procedures = {};
  // Writes: the collection's requests are its stored list with `change` made, cut after its first
  // item, with `newItem` added, and empty; `writes` adds the record's own write members.
  std::pair<std::string, std::string> change = {};
  std::string newItem = {};
  std::function<std::vector<WriteCall>(const std::vector<std::string>& keys)> writes = {};
};

// The keys of a stored row and the request file; applied to a text, it puts them in for {key},
// {parent} and {file}.
struct Keys {
  std::string key = {}, parent = {}, file = {};
  std::string operator()(std::string text) const {
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"{key}", key},
                                      {"{parent}", parent}, {"{file}", file}})
      for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
        text.replace(at, name.size(), value);
    return text;
  }
};

template <class T>
std::shared_ptr<T> Create(const std::string& className) {
  return ObjectAs<T>(Registry::Instance().Create(className));
}

// A collection of `className` holding the stored children of order 57.
template <class C>
std::shared_ptr<C> Loaded(const std::string& className) {
  auto c = Create<C>(className);
  c->loadElements("57");
  return c;
}

// A door appointment element for `customer`; an empty `id` leaves the Id out.
std::string AppointmentXml(const std::string& customer, const std::string& id = "") {
  return "<JBDoorAppointment" + (id.empty() ? std::string() : " Id=\"" + id + "\"") +
         " BKNo=\"BK2\" BLNo=\"BL2\" ContainerRemarks=\"reefer\" CustomerName=\"" + customer +
         "\" AppointmentAddress=\"2 Dock Rd\" CustomerContactor=\"Ben\" AppointmentPhone=\"556\" "
         "AppointmentDate=\"2026-12-20\" AppointmentTime=\"930\" AppointmentRemarks=\"gate 4\"/>";
}

// Every write member of the job order controller, on an order with one door appointment.
std::vector<WriteCall> JBOrderWrites() {
  auto c = std::make_shared<C_JBOrder>();
  FixClock(2026, 12, 8, 9, 30, 15);
  {
    TransactionScope scope;
    c->add(OrderXml({}, Lines({LineXml("1234567")})), "CO", "HKG");
    scope.Complete();
  }
  c->AddDoorAppointment("1", AppointmentXml("Acme"));
  const std::string id = std::to_string(LastKey("JB_DOOR_APPOINTMENT", "JB_DOOR_APPOINTMENT_ID"));
  FixClock(2026, 12, 9, 10, 0);
  const std::string modified =
      OrderXml({{"Id", "1"}, {"VendorName", "New"}}, Lines({FullLineXml("1"), FullLineXml("2")}));
  return {{"add", "", [c] { c->add(OrderXml({{"JBNo", ""}}, Lines({LineXml("1")})), "CO", "HKG"); }},
          {"modify", "Id 1", [c, modified] { c->modify(modified); }},
          {"remove", "1", [c] { c->remove("1"); }},
          {"Issue", "1", [c] { c->Issue("1", "bob", "F", "E"); }},
          {"Cancel", "1", [c] { c->Cancel("1", "bob"); }},
          {"StopDelivery", "1", [c] { c->StopDelivery("1", "bob"); }},
          {"AddUserDiary", "1", [c] { c->AddUserDiary("1", "bob", "note"); }},
          {"AddDoorAppointment", "1", [c] { c->AddDoorAppointment("1", AppointmentXml("New")); }},
          {"ModifyDoorAppointment", id,
           [c, id] { c->ModifyDoorAppointment("1", AppointmentXml("Changed", id)); }},
          {"RemoveAppointment", id, [c, id] { c->RemoveAppointment("1", id); }}};
}

// The table: one row per record.
std::vector<Record> Table() {
  const std::string notSet = "PropertyObject variable or With block variable not set";
  const std::string mismatch = "PropertyType mismatch";
  auto order57 = [] { return std::string("57"); };
  // A work file line: line field i holds "v<i>".
  Values line;
  for (size_t i = E_JBContainerRetrievingTempDetail::kFromPlace;
       i <= E_JBContainerRetrievingTempDetail::kPlaceDelivery; ++i)
    line.emplace_back(kJBContainerRetrievingTempDetailFields[i].property, "v" + std::to_string(i));
  line.insert(line.end(), {{"CargoDescription", "O'Neil's toys"}, {"HandledFlag", true},
                           {"JBImportContainerWorkFileId", "{parent}"}});
  const std::string lineUpdate =
      "Update JB_CONTAINER_RETRIEVING_TEMP_DETAIL Set FROM_PLACE = 'v1', TO_PLACE = 'v2', MOVEMENT_MODE = "
      "'v3', CONTAINER_PREFIX = 'v4', CONTAINER_NO = 'v5', CONTAINER_TYPE = 'v6', EMPTY_FULL_FLAG = 'v7', "
      "SOC_FLAG = 'v8', BK_NO = 'v9', BL_NO = 'v10', ER_NO = 'v11', CARGO_DESCRIPTION = 'it''s ''quoted'''"
      ", REEFER = 'v13', HAZARD = 'v14', PLACE_ACCEPTANCE = 'v15', POL = 'v16', POD = 'v17', PLACE_DELIVERY "
      "= 'v18', HANDLED_FLAG = '{flag}', JB_IMPORT_CONTAINER_WORK_FILE_ID = '{parent}' Where "
      "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID= '{key}'";
  auto flagged = [&](const std::string& flag) {
    return std::string(lineUpdate).replace(lineUpdate.find("{flag}"), 6, flag);
  };

  return {
    {.name = "JBContainerDetail", .entity = "E_JBContainerDetail", .storage = "S_JBContainerDetail",
     .collection = "Col_JBContainerDetail", .parent = order57,
     .fields = {{"JBNoId", "57"}, {"ContainerNo", "O'NE1234567"}, {"CargoDescription", "Bob's boxes"},
                {"LastActivityDate", Date::FromParts(2024, 3, 5)}, {"ChargeTariffRate", 12.5}},
     .insert = "Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, EMPTY_FULL_FLAG, "
               "SOC_FLAG, BK_NO, BL_NO, ER_NO, FROM_PLACE, TO_PLACE, SERVICE_MODE, CONTAINER_TYPE, "
               "CARGO_DESCRIPTION, REEFER, HAZARD, PROCESS_STATE, PROCESS_DATE, PROCESS_REMARKS, "
               "LAST_ACTIVITY_CODE, LAST_ACTIVITY_DATE, LAST_ACTIVITY_TIME, LAST_ACTIVITY_PLACE, "
               "CHARGE_CODE, CHARGE_QUANTITY, CHARGE_CURRENCY, CHARGE_TARIFF_RATE, CHARGE_TARIFF_AMOUNT, "
               "CHARGE_ACTUAL_RATE, CHARGE_ACTUAL_AMOUNT, INVOICE_CURRENCY, INVOICE_AMOUNT, INVOICE_NO)"
               "Values ('57','','O''NE1234567','','','','','','','','','','Bob''s boxes','','','0',"
               "'1899-12-30','','','2024-03-05','0','','','0','','12.5','0','','0','','0','')",
     .contains = "select Count(*) as RecCount from JB_CONTAINER_DETAIL where JB_CONTAINER_DETAIL_ID = "
                 "'{key}'",
     .load = "select * from JB_CONTAINER_DETAIL where JB_CONTAINER_DETAIL_ID = '{key}'",
     .updates = {{{{"ChargeCode", "TRK"}},
                  "Update JB_CONTAINER_DETAIL Set JB_NO_ID = '57', CONTAINER_PREFIX = '', CONTAINER_NO = "
                  "'O''NE1234567', EMPTY_FULL_FLAG = '', SOC_FLAG = '', BK_NO = '', BL_NO = '', ER_NO = '', "
                  "FROM_PLACE = '', TO_PLACE = '', SERVICE_MODE = '', CONTAINER_TYPE = '', "
                  "CARGO_DESCRIPTION = 'Bob''s boxes', REEFER = '', HAZARD = '', PROCESS_STATE = '0', "
                  "PROCESS_DATE = '1899-12-30', PROCESS_REMARKS = '', LAST_ACTIVITY_CODE = '', "
                  "LAST_ACTIVITY_DATE = '2024-03-05', LAST_ACTIVITY_TIME = '0', LAST_ACTIVITY_PLACE = '', "
                  "CHARGE_CODE = 'TRK', CHARGE_QUANTITY = '0', CHARGE_CURRENCY = '', CHARGE_TARIFF_RATE = "
                  "'12.5', CHARGE_TARIFF_AMOUNT = '0', CHARGE_ACTUAL_RATE = '', CHARGE_ACTUAL_AMOUNT = '0', "
                  "INVOICE_CURRENCY = '', INVOICE_AMOUNT = '0', INVOICE_NO = '' Where "
                  "JB_CONTAINER_DETAIL_ID= '{key}'"}},
     .children = "select * from JB_CONTAINER_DETAIL where JB_NO_ID = '{parent}'",
     .remove = "Delete JB_CONTAINER_DETAIL Where JB_CONTAINER_DETAIL_ID= '{key}'",
     .calls = {{"Col", "loadElements", {"{parent}"}, "(nothing)"}, {"Col", "Count", {}, "1"},
               {"Col", "getColElementsByXML", {"{parent}"},
                kDecl + "<JBContainerDetails><JBContainerDetail Id=\"{key}\" JBNoId=\"57\" "
                        "ContainerPrefix=\"\" ContainerNo=\"O'NE1234567\" EmptyFullFlag=\"\" SOCFlag=\"\" "
                        "BKNo=\"\" BLNo=\"\" ERNo=\"\" FromPlace=\"\" ToPlace=\"\" ServiceMode=\"\" "
                        "ContainerType=\"\" CargoDescription=\"Bob's boxes\" Reefer=\"\" Hazard=\"\" "
                        "ProcessState=\"0\" LastActivityCode=\"\" LastActivityDate=\"2024-03-05\" "
                        "LastActivityTime=\"0\" ChargeCode=\"\" ChargeQuantity=\"0\" ChargeCurrency=\"\" "
                        "ChargeTariffRate=\"12.5\" ChargeActualRate=\"\" ChargeActualAmount=\"0\" "
                        "InvoiceCurrency=\"\" InvoiceAmount=\"0\"/></JBContainerDetails>\n"},
               {"Col", "Item", {"1"}, "E_JBContainerDetail"},
               {"=", "CargoDescription", {}, "Bob's boxes"}, {"S", "containsPK", {"{key}"}, "1"}},
     .request = Lines({LineXml("K")}),
     .commands = {{.args = "call Col_JBContainerDetail updateColElements @{file} 58", .rows = 1},
                  {.args = "--quiet call Col_JBContainerDetail updateColElements @{file} x", .exit = 1,
                   .err = "error 0x8004270F: updateColElements SubType mismatch\n", .rows = 1}},
     .procedures = {{"Set JBNoId", "JbNoId " + mismatch},
                    {"Set ChargeQuantity", "ChargeQuantity " + mismatch},
                    {"load 1", "load SubLoadByPK SubCan not use code '1'"},
                    {"Item 1", "Item FunctionSubscript out of range"},
                    {"Count", "Count FunctionColItems " + notSet}},
     .change = {"ChargeCode=\"\"", "ChargeCode=\"NEW\""}, .newItem = LineXml("X")},

    {.name = "JBDiary", .entity = "E_JBDiary", .storage = "S_JBDiary", .collection = "Col_JBDiary",
     .parent = order57,
     .fields = {{"JBNoId", "57"}, {"LastUpdateUser", "alice"},
                {"LastUpdateDate", Date::FromParts(2024, 3, 5)}, {"LastUpdateTime", int16_t{930}},
                {"JBDiaryText", "it's done"}, {"JBDiaryTypeInd", "MEMO"},
                {"JBDiaryDate", Date::FromParts(2024, 3, 5)}, {"JBDiaryTime", int16_t{931}}},
     .insert = "Insert Into JB_DIARY (JB_NO_ID, LAST_UPDATE_USER, LAST_UPDATE_DATE, LAST_UPDATE_TIME, "
               "JB_DIARY_TEXT, JB_DIARY_TYPE_IND, JB_DIARY_DATE, JB_DIARY_TIME)Values "
               "('57','alice','2024-03-05','930','it''s done','MEMO','2024-03-05','931')",
     .contains = "select Count(*) as RecCount from JB_DIARY where JB_DIARY_NO_ID = '{key}'",
     .load = "select * from JB_DIARY where JB_DIARY_NO_ID = '{key}'",
     .updates = {{{{"JBDiaryText", "O'Neil"}},
                  "Update JB_DIARY Set JB_NO_ID = '57', LAST_UPDATE_USER = 'alice', LAST_UPDATE_DATE = "
                  "'2024-03-05', LAST_UPDATE_TIME = '930', JB_DIARY_TEXT = 'O''Neil', JB_DIARY_TYPE_IND = "
                  "'MEMO', JB_DIARY_DATE = '2024-03-05', JB_DIARY_TIME = '931' Where JB_DIARY_NO_ID= "
                  "'{key}'"}},
     .children = "select * from JB_DIARY where JB_NO_ID = '{parent}'",
     .remove = "Delete JB_DIARY Where JB_DIARY_NO_ID= '{key}'",
     .calls = {{"Col", "add", {"58", "alice", "MEMO", "late"}, "(nothing)"},
               {"Col", "loadElements", {"58"}, "(nothing)"}, {"Col", "Count", {}, "1"},
               {"Col", "Item", {"1"}, "E_JBDiary"}, {"=", "JBDiaryText", {}, "late"}},
     .commands = {{.args = "call --json Col_JBDiary add 58 alice MEMO \"it's a note\"",
                   .out = "{\"result\": null, \"out\": {}}\n", .rows = 2},
                  {.args = "--quiet call Col_JBDiary add abc alice MEMO note", .exit = 1,
                   .err = "error 0x8004270F: Add Sub :Type mismatch\n", .rows = 2},
                  {.args = "call --json Col_JBDiary getColElementsByXML 58",
                   .out = "\"out\": {\"key\": \"58\"}", .part = true, .rows = 2}},
     .procedures = {{"Set JBNoId", "JBNoId " + mismatch}, {"Set JBDiaryDate", "JBDiaryDate " + mismatch},
                    {"Item 0", "Item FunctionSubscript out of range"},
                    {"loadElements", "loadElements SubcolItems " + notSet}},
     .change = {"JBDiaryText=\"it's done\"", "JBDiaryText=\"changed\""},
     .newItem = "<JBDiary LastUpdateUser=\"w\" LastUpdateDate=\"\" LastUpdateTime=\"1000\" "
                "JBDiaryText=\"c\" JBDiaryTypeInd=\"MEMO\" JBDiaryDate=\"2024-04-02\" JBDiaryTime=\"1015\"/>",
     .writes = [](const std::vector<std::string>&) {
       auto add = [] { Loaded<Col_JBDiary>("Col_JBDiary")->add("57", "alice", "MEMO", "it's"); };
       return std::vector<WriteCall>{{"add", "57 alice MEMO it's", add}};
     }},

    {.name = "JBDoorAppointment", .entity = "E_JBDoorAppointment", .storage = "S_JBDoorAppointment",
     .collection = "Col_JBDoorAppointment", .parent = order57,
     .fields = {{"BKNo", "BK'9"}, {"CustomerName", "O'Brien"}, {"AppointmentTime", 930.0}, {"JBNoId", "57"},
                {"AppointmentDate", Date::FromParts(2024, 4, 1)}},
     .insert = "Insert Into JB_DOOR_APPOINTMENT (BK_NO, BL_NO, CONTAINER_REMARKS, CUSTOMER_NAME, "
               "APPOINTMENT_ADDRESS, CUSTOMER_CONTACTOR, APPOINTMENT_PHONE, APPOINTMENT_DATE, "
               "APPOINTMENT_TIME, APPOINTMENT_REMARKS, JB_NO_ID)Values "
               "('BK''9','','','O''Brien','','','','2024-04-01','930','','57')",
     .contains = "select Count(*) as RecCount from JB_DOOR_APPOINTMENT where JB_DOOR_APPOINTMENT_ID = "
                 "'{key}'",
     .load = "select * from JB_DOOR_APPOINTMENT where JB_DOOR_APPOINTMENT_ID = '{key}'",
     .updates = {{{{"AppointmentRemarks", "gate's"}},
                  "Update JB_DOOR_APPOINTMENT Set BK_NO = 'BK''9', BL_NO = '', CONTAINER_REMARKS = '', "
                  "CUSTOMER_NAME = 'O''Brien', APPOINTMENT_ADDRESS = '', CUSTOMER_CONTACTOR = '', "
                  "APPOINTMENT_PHONE = '', APPOINTMENT_DATE = '2024-04-01', APPOINTMENT_TIME = '930', "
                  "APPOINTMENT_REMARKS = 'gate''s', JB_NO_ID = '57' Where JB_DOOR_APPOINTMENT_ID= '{key}'"}},
     .children = "select * from JB_DOOR_APPOINTMENT where JB_NO_ID = '{parent}'",
     .search = "<Root><AccessKey Field=\"BkNo\" SearchCondition=\"=\" Key=\"BK'9\"/>"
               "<AccessKey Field=\"CustomerName\" SearchCondition=\"BeginWith\" Key=\"O'\"/></Root>",
     .searchStatement = "select * from JB_DOOR_APPOINTMENT   where 1=1   And BK_NO = 'BK''9' And "
                        "CUSTOMER_NAME like 'O''%'",
     .remove = "Delete JB_DOOR_APPOINTMENT Where JB_DOOR_APPOINTMENT_ID= '{key}'",
     .calls = {{"Col", "add", {AppointmentXml("late"), "{parent}"}, ""},
               {"Col", "remove", {"{key}"}, "(nothing)"},  // the order is optional
               {"Col", "loadElements", {"{parent}"}, "(nothing)"}, {"Col", "Count", {}, "1"},
               {"Col", "Item", {"1"}, "E_JBDoorAppointment"}, {"=", "CustomerName", {}, "late"}},
     .request = AppointmentXml("O'Hara"),
     .commands = {{.args = "call --json Col_JBDoorAppointment add @{file} 58",
                   .out = "{\"result\": \"\", \"out\": {}}\n", .rows = 1},
                  {.args = "--quiet call Col_JBDoorAppointment modify @{file} 58", .exit = 1,
                   .err = "error 0x8004270F: modify FunctionObject variable or With block variable not set\n",
                   .rows = 1}},
     .procedures = {{"Set JBNoId", "JbNoId " + mismatch},
                    {"Set AppointmentTime", "AppointmentTime " + mismatch},
                    {"removeColElements", "removeColElements SubCount FunctioncolItems " + notSet}},
     .change = {"CustomerName=\"O'Brien\"", "CustomerName=\"changed\""}, .newItem = AppointmentXml("c"),
     .writes = [](const std::vector<std::string>& keys) {
       auto col = [] { return Loaded<Col_JBDoorAppointment>("Col_JBDoorAppointment"); };
       const std::string key = keys.front();
       return std::vector<WriteCall>{
           {"add", "new", [col] { col()->add(AppointmentXml("new"), "57"); }},
           {"modify", key, [col, key] { col()->modify(AppointmentXml("changed", key), "58"); }},
           {"remove", key, [col, key] { col()->remove(key); }}};
     }},

    {.name = "JBTypeProfile", .entity = "E_JBTypeProfile", .storage = "S_JBTypeProfile",
     .fields = {{"Code", "A"}, {"JBTypeName", "n"}, {"JBTypeCategory", "c"}},
     .insert = "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values "
               "('A','n','c')",
     .contains = "select Count(*) as RecCount from JB_TYPE_PROFILE where  JB_TYPE_CODE= '{key}'",
     .load = "select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '{key}'",
     .updates = {{{{"JBTypeName", "m"}, {"JBTypeCategory", "d"}},
                  "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = 'm', JB_TYPE_CATEGORY = 'd' Where "
                  "JB_TYPE_CODE= 'A'"}},
     .remove = "Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'A'"},

    {.name = "JBContainerRetrievingTempDetail", .entity = "E_JBContainerRetrievingTempDetail",
     .storage = "S_JBContainerRetrievingTempDetail", .collection = "Col_JBContainerRetrievingTempDetail",
     .parent = [] { return std::to_string(InsertFileRow()); }, .fields = line,
     .insert = "Insert Into JB_CONTAINER_RETRIEVING_TEMP_DETAIL (FROM_PLACE, TO_PLACE, MOVEMENT_MODE, "
               "CONTAINER_PREFIX, CONTAINER_NO, CONTAINER_TYPE, EMPTY_FULL_FLAG, SOC_FLAG, BK_NO, BL_NO, "
               "ER_NO, CARGO_DESCRIPTION, REEFER, HAZARD, PLACE_ACCEPTANCE, POL, POD, PLACE_DELIVERY, "
               "HANDLED_FLAG, JB_IMPORT_CONTAINER_WORK_FILE_ID)Values ('v1','v2','v3','v4','v5','v6','v7',"
               "'v8','v9','v10','v11','O''Neil''s toys','v13','v14','v15','v16','v17','v18','1','{parent}')",
     .contains = "select Count(*) as RecCount from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where "
                 "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID = '{key}'",
     .load = "select * from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where "
             "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID = '{key}'",
     .updates = {{{{"HandledFlag", false}, {"CargoDescription", "it's 'quoted'"}}, flagged("0")},
                 {{{"HandledFlag", true}}, flagged("1")}},
     .children = "select * from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where JB_IMPORT_CONTAINER_WORK_FILE_ID "
                 "= '{parent}'",
     .remove = "Delete JB_CONTAINER_RETRIEVING_TEMP_DETAIL Where JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID= "
               "'{key}'",
     .calls = {{"Col", "loadElements", {"{parent}"}, "(nothing)"},
               {"Col", "isAllFinished", {"{parent}"}, "1"},
               {"Col", "getColElementsByXML", {},  // the key is optional
                kDecl + "<JBContainerRetrievingTempDetails><JBContainerRetrievingTempDetail Id=\"{key}\" "
                        "JBImportContainerWorkFileId=\"{parent}\" FromPlace=\"v1\" ToPlace=\"v2\" "
                        "MovementMode=\"v3\" ContainerPrefix=\"v4\" ContainerNo=\"v5\" "
                        "ContainerType=\"v6\" EmptyFullFlag=\"v7\" SOCFlag=\"v8\" BKNo=\"v9\" BLNo=\"v10\" "
                        "ERNo=\"v11\" CargoDescription=\"O'Neil's toys\" Reefer=\"v13\" Hazard=\"v14\" "
                        "PlaceAcceptance=\"v15\" POL=\"v16\" POD=\"v17\" PlaceDelivery=\"v18\" "
                        "HandledFlag=\"1\"/></JBContainerRetrievingTempDetails>\n"},
               // MasterKey may be left out when there is no line to update or create.
               {"Col", "updateColElements", {"<X/>"}, "(nothing)"}, {"S", "containsPK", {"{key}"}, "0"},
               {"E", "add", {}, "(nothing)"}, {"E", "HandledFlag", {"1"}, "(nothing)"},
               {"E", "HandledFlag", {}, "1"}}},

    {.name = "JBContainerRetrievingTempFile", .entity = "E_JBContainerRetrievingTempFile",
     .storage = "S_JBContainerRetrievingTempFile",
     .fields = {{"SourceCategory", "B'K"}, {"Office", "HKG"}, {"VesselCode", "VSL"}, {"VoyageNo", "001"},
                {"VoyageLeg", "E"}, {"BKNo", "BK'1"}, {"BLNo", "BL1"}, {"ERNo", "ER1"},
                {"ProcessState", int16_t{0}}, {"LastUpdateDate", Date::FromParts(2026, 3, 4)},
                {"LastUpdateTime", 1435.0}, {"LastUpdateUser", "O'Neil"}},
     .insert = "JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc",
     .contains = "select Count(*) as RecCount from JB_CONTAINER_RETRIEVING_TEMP_FILE where "
                 "JB_IMPORT_CONTAINER_WORK_FILE_ID = '{key}'",
     .load = "select * from JB_CONTAINER_RETRIEVING_TEMP_FILE where JB_IMPORT_CONTAINER_WORK_FILE_ID = "
             "'{key}'",
     .updates = {{{{"ProcessState", int16_t{2}}},
                  "Update JB_CONTAINER_RETRIEVING_TEMP_FILE Set SOURCE_CATEGORY = 'B''K', OFFICE = 'HKG', "
                  "VESSEL_CODE = 'VSL', VOYAGE_NO = '001', VOYAGE_LEG = 'E', BK_NO = 'BK''1', BL_NO = "
                  "'BL1', ER_NO = 'ER1', PROCESS_STATE = '2', LAST_UPDATE_DATE = '2026-03-04', "
                  "LAST_UPDATE_TIME = '1435', LAST_UPDATE_USER = 'O''Neil' Where "
                  "JB_IMPORT_CONTAINER_WORK_FILE_ID= '{key}'"}},
     .remove = "Delete JB_CONTAINER_RETRIEVING_TEMP_FILE Where JB_IMPORT_CONTAINER_WORK_FILE_ID= '{key}'",
     .lines = [](const std::string& key) { InsertLineRow(std::stoi(key), "A"); },
     .calls = {{"E", "load", {"{key}"}, "(nothing)"}, {"E", "Office", {}, "HKG"},
               {"E", "ColJBContainerRetrievingTempDetail", {}, "Col_JBContainerRetrievingTempDetail"},
               {"=", "Count", {}, "1"}, {"S", "containsPK", {"{key}"}, "1"}}},

    {.name = "JBOrder", .entity = "E_JBOrder", .storage = "S_JBOrder",
     .writes = [](const std::vector<std::string>&) { return JBOrderWrites(); }},
  };
}

const std::vector<Record>& Records() {
  static const std::vector<Record> records = Table();
  return records;
}

// An answer as a call by name gives it: its text, an object's class name, or "(nothing)".
std::string Shown(const Variant& answer) {
  if (answer.IsEmpty()) return "(nothing)";
  if (answer.type() == Variant::Type::Object) return std::string(CObj(answer)->ClassName());
  return XmlText(answer);
}

// Every field of `a` as `b` holds it; `what` names the record in failures.
void ExpectSameFields(const Entity& a, const Entity& b, const std::string& what) {
  for (size_t i = 0; i < a.def().fields.size(); ++i)
    EXPECT_EQ(XmlText(a.Get(i)), XmlText(b.Get(i))) << what << " " << a.def().fields[i].property;
}

// Adds a row with the record's values under `parent` through `storage`; answers the saved entity.
std::shared_ptr<Entity> Added(const Record& r, const std::shared_ptr<Storage>& storage,
                              const std::string& parent) {
  auto e = Create<Entity>(r.entity);
  e->setStorage(storage);
  e->add();
  for (const auto& [property, value] : r.fields)
    e->Set(property, value.IsString() ? Variant(Keys{"", parent}(CStr(value))) : value);
  e->save();
  return e;
}

// The key of a saved entity: the database's newest when it assigns the key and does not hand it back.
std::string KeyOf(const Entity& e) {
  const RecordDef& def = e.def();
  if (!def.identity || !def.insertProcedure.empty()) return XmlText(e.Get(def.key));
  return std::to_string(LastKey(def.table, std::string(def.fields[def.key].column)));
}

class RecordProtocol : public EngineTest {
 protected:
  // Every row starts in a home of its own, with empty tables and the real clock.
  void Fresh() {
    home_.reset();
    home_ = std::make_unique<TestHome>(GetParam());
    home_->ResetDatabase();
  }
};

TEST_P(RecordProtocol, StatementOfEveryOperation) {
  for (const Record& r : Records()) {
    if (r.insert.empty()) continue;
    SCOPED_TRACE(r.name);
    Fresh();
    auto s = Create<Storage>(r.storage);
    const RecordDef& def = s->def();
    Keys k{"", r.parent ? r.parent() : ""};
    auto e = Added(r, s, k.parent);
    EXPECT_EQ(s->strSQL(), k(r.insert)) << r.name;
    EXPECT_EQ(e->status(), esSaved) << r.name;
    if (def.identity && def.insertProcedure.empty()) {
      EXPECT_EQ(XmlText(e->Get(def.key)), "0") << r.name << ": the new key is not read back";
    }
    k.key = KeyOf(*e);

    EXPECT_TRUE(s->containsPK(k.key)) << r.name;
    EXPECT_EQ(s->strSQL(), k(r.contains)) << r.name;
    // Keys without a row, text that is no number among them, find nothing; the statement is still
    // the one built, with the key quoted.
    for (const std::string absent : {"0", "", "0' or '1'='1", "x' or '1'='1"}) {
      EXPECT_FALSE(s->containsPK(absent)) << r.name << " " << absent;
      EXPECT_EQ(s->strSQL(), (Keys{Str2SQL(absent), k.parent}(r.contains))) << r.name;
    }
    if (def.fields[def.key].type != FieldType::Text) {
      EXPECT_TRUE(s->containsPK(" " + k.key + " ")) << r.name;
    }

    auto loaded = Create<Entity>(r.entity);
    loaded->setStorage(s);
    s->LoadByPK(k.key, *loaded);
    EXPECT_EQ(s->strSQL(), k(r.load)) << r.name;
    EXPECT_EQ(loaded->status(), esLoaded) << r.name;
    EXPECT_EQ(XmlText(loaded->Get(def.key)), k.key) << r.name;
    for (const auto& [property, value] : r.fields)
      EXPECT_EQ(XmlText(loaded->Get(property)), XmlText(e->Get(property))) << r.name << " " << property;

    for (const auto& [changes, statement] : r.updates) {
      for (const auto& [property, value] : changes) loaded->Set(property, value);
      EXPECT_EQ(loaded->status(), esModified) << r.name;
      loaded->save();
      EXPECT_EQ(s->strSQL(), k(statement)) << r.name;
      auto stored = Create<Entity>(r.entity);
      s->LoadByPK(k.key, *stored);
      ExpectSameFields(*stored, *loaded, r.name);
    }

    if (!r.children.empty()) {
      EntityList list;
      s->LoadElementsIntoCol(k.parent, list);
      EXPECT_EQ(s->strSQL(), k(r.children)) << r.name;
      ASSERT_EQ(list.Count(), 1) << r.name;
      EXPECT_EQ(list.Item(1)->status(), esLoaded) << r.name;
      ExpectSameFields(*list.Item(1), *loaded, r.name);
    }
    if (!r.search.empty()) {
      EXPECT_EQ(s->Query(r.search)->RecordCount(), 1) << r.name;
      EXPECT_EQ(s->strSQL(), r.searchStatement) << r.name;
    }

    loaded->remove();
    loaded->save();
    EXPECT_EQ(s->strSQL(), k(r.remove)) << r.name;
    EXPECT_FALSE(s->containsPK(k.key)) << r.name;
    EXPECT_EQ(s->Query("")->RecordCount(), 0) << r.name;
    EXPECT_EQ(s->strSQL(), "select * from  " + def.table) << r.name;
  }
}

TEST_P(RecordProtocol, LateBound) {
  auto& reg = Registry::Instance();
  for (const Record& r : Records()) {
    if (r.calls.empty()) continue;
    SCOPED_TRACE(r.name);
    Fresh();
    auto s = Create<Storage>(r.storage);
    Keys k{"", r.parent ? r.parent() : ""};
    k.key = KeyOf(*Added(r, s, k.parent));
    if (r.lines) r.lines(k.key);
    if (!r.collection.empty())
      ExpectEntityAndStorageByName(*home_, r.entity, r.storage, std::stoi(k.key), std::stoi(k.parent));

    std::map<std::string, ObjectPtr> on = {{"E", reg.Create(r.entity)}, {"S", reg.Create(r.storage)}};
    if (!r.collection.empty()) on["Col"] = reg.Create(r.collection);
    for (const LateCall& c : r.calls) {
      Args args;
      for (const std::string& a : c.args) args.emplace_back(k(a));
      const Variant answer = reg.Invoke(*on.at(c.on), c.member, args);
      if (answer.type() == Variant::Type::Object) on["="] = CObj(answer);
      EXPECT_EQ(Shown(answer), k(c.answer)) << r.name << " " << c.on << "." << c.member;
    }

    k.file = home_->WriteFile("request.xml", r.request);
    for (const KxCommand& c : r.commands) {
      const KxRun run = RunKx(*home_, k(c.args));
      EXPECT_EQ(run.exitCode, c.exit) << r.name << ": " << c.args << "\n" << run.err;
      const bool printed =
          c.part ? run.out.find(c.out) != std::string::npos : c.out.empty() || run.out == c.out;
      EXPECT_TRUE(printed) << r.name << ": " << c.args << " printed " << run.out;
      EXPECT_TRUE(c.err.empty() || run.err == c.err) << r.name << ": " << c.args << " wrote " << run.err;
      const std::string under58 = s->def().collection.parentColumn + " = '58'";
      EXPECT_TRUE(c.rows < 0 || CountRows(s->def().table, under58) == c.rows)
          << r.name << ": " << c.args << " should leave " << c.rows << " rows under order 58";
    }
  }
}

// The collection's own writes of a record with two stored rows under order 57, and the entity's
// save of a removed row.
std::vector<WriteCall> CollectionWrites(const Record& r, const std::vector<std::string>& keys) {
  const CollectionDef& d = Create<Storage>(r.storage)->def().collection;
  auto col = [className = r.collection] { return Loaded<Collection>(className); };
  const std::string stored = col()->getColElementsByXML();
  std::string changed = stored;
  const size_t at = changed.find(r.change.first);
  if (at == std::string::npos) {
    ADD_FAILURE() << r.name << ": the stored list holds no " << r.change.first << "\n" << stored;
    return {};
  }
  changed.replace(at, r.change.first.size(), r.change.second);
  const std::string item = "<" + d.item + " ";
  const std::string first =
      changed.substr(0, changed.find(item, changed.find(item) + 1)) + changed.substr(changed.rfind("</"));
  std::string more = stored;
  more.insert(more.rfind("</"), r.newItem);
  std::vector<WriteCall> calls;
  for (const std::string& request : {changed, first, more, "<" + d.root + "/>"})
    calls.push_back(
        {"updateColElements", request, [col, request] { col()->updateColElements(request, "57"); }});
  calls.push_back({"removeColElements", "", [col] { col()->removeColElements(); }});
  calls.push_back({r.entity + ".save", keys.front(), [className = r.entity, key = keys.front()] {
                     auto e = Create<Entity>(className);
                     e->load(key);
                     e->remove();
                     e->save();
                   }});
  return calls;
}

TEST_P(RecordProtocol, EveryWriteRollsBackWithItsTransaction) {
  for (const Record& r : Records()) {
    if (r.change.first.empty() && !r.writes) continue;
    SCOPED_TRACE(r.name);
    Fresh();
    std::vector<std::string> keys;
    std::vector<WriteCall> calls;
    if (!r.change.first.empty()) {
      auto s = Create<Storage>(r.storage);
      for (int i = 0; i < 2; ++i) keys.push_back(KeyOf(*Added(r, s, "57")));
      calls = CollectionWrites(r, keys);
    }
    if (r.writes)
      for (WriteCall& c : r.writes(keys)) calls.push_back(std::move(c));
    for (const WriteCall& c : calls) {
      SCOPED_TRACE(c.name + " " + c.request);
      const TableDump before = DumpTables();
      {
        TransactionScope scope;
        c.call();
        EXPECT_FALSE(scope.aborted()) << r.name << " " << c.name;
        EXPECT_NE(DumpTables(), before) << r.name << " " << c.name << ": the call wrote nothing";
        scope.VoteAbort();
        EXPECT_FALSE(scope.Complete()) << r.name << " " << c.name;
      }
      EXPECT_EQ(DumpTables(), before) << r.name << " " << c.name;
      // A failure at any statement of the call, or at its commit, leaves every table as it was.
      ExpectAllOrNothing(r.name + " " + c.name + " " + c.request, c.call);
    }
  }
}

// Runs one call of a record's procedure text table (see Record::procedures).
void RunProcedure(const Record& r, const std::string& call) {
  const std::string word = call.substr(0, call.find(' ')), rest = call.substr(call.find(' ') + 1);
  if (word == "Set") return Create<Entity>(r.entity)->Set(rest, Variant("x"));
  if (word == "load") return Create<Entity>(r.entity)->load(rest);
  auto col = Create<Collection>(r.collection);
  if (word == "Item") return void(col->Item(static_cast<int16_t>(std::stoi(rest))));
  col->setColItems(nullptr);
  if (word == "Count") col->Count();
  if (word == "loadElements") col->loadElements("57");
  if (word == "removeColElements") col->removeColElements();
}

TEST_P(RecordProtocol, ProcedureTexts) {
  for (const Record& r : Records()) {
    if (r.procedures.empty()) continue;
    SCOPED_TRACE(r.name);
    Fresh();
    for (const auto& [call, text] : r.procedures)
      EXPECT_EQ(CaptureError([&] { RunProcedure(r, call); }).description(), text) << r.name << ": " << call;
  }
}

KX_ENGINE_SUITE(RecordProtocol);

}  // namespace
}  // namespace kx::test
