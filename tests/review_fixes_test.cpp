// Faults found by review, on every engine: child rows load in key order whatever order the engine
// returns them in (and a modify pairs request lines with the right stored lines); an order's number
// changed to one another order holds is refused as add refuses it; a search key that no value of a
// numeric field can equal matches no row; error texts stay within the description limit.
#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "jb_container_retrieving_rows.h"
#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "joborderdetail/jb_container_detail.h"
#include "joborderdetail/jb_diary.h"
#include "joborderdetail/jb_door_appointment.h"
#include "retrieving/jb_container_retrieving_temp_detail.h"
#include "retrieving/jb_container_retrieving_temp_file.h"
#include "runtime/context.h"
#include "kx/error.h"
#include "test_support.h"
#include "typeprofile/jb_type_profile.h"

namespace kx::test {
namespace {

// Whether a statement without ordering returns the rows of `table` whose `parentColumn` is `parent`
// out of key order, as a permutation of `keys` (ascending).
bool ReturnedOutOfKeyOrder(const std::string& table, const std::string& keyColumn,
                           const std::string& parentColumn, int32_t parent,
                           const std::vector<int32_t>& keys) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select * from " + table + " where " + parentColumn + " = '" +
                                           std::to_string(parent) + "'");
  std::vector<int32_t> returned;
  for (; !rs->EOF_(); rs->MoveNext()) returned.push_back(CLng(rs->Field(keyColumn)));
  std::vector<int32_t> sorted = returned;
  std::sort(sorted.begin(), sorted.end());
  return sorted == keys && returned != keys;
}

// The keys of the children of `parent` that `storage` loads, in the order of its list.
std::vector<int32_t> LoadedKeys(Storage& storage, int32_t parent) {
  EntityList list;
  storage.LoadElementsIntoCol(std::to_string(parent), list);
  std::vector<int32_t> keys;
  for (const auto& child : list.items) keys.push_back(CLng(child->Get("Id")));
  return keys;
}

// The values of the attribute `name` of the elements `element` of `xml`, as numbers.
std::vector<int32_t> Numbers(const std::string& xml, const std::string& element, const std::string& name) {
  std::vector<int32_t> out;
  for (const auto& v : AttributeValues(xml, element, name)) out.push_back(CLng(Variant(v)));
  return out;
}

// How many characters (Unicode code points) the UTF-8 text `s` holds.
size_t Characters(const std::string& s) {
  return static_cast<size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

class ReviewFixes : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    FixClock(2026, 12, 8, 9, 30, 15);
  }
  bool postgres() const { return OnPostgreSQL(GetParam()); }

  // Moves the row `key` of `table` behind the others where the engine keeps rows in the order they
  // were written: PostgreSQL writes a new version of an updated row at the end of the table.
  void MoveToTheEnd(const std::string& table, const std::string& keyColumn, int32_t key) {
    S_DBHelpForKX().RunSQL("Update " + table + " Set " + keyColumn + " = " + keyColumn + " Where " +
                           keyColumn + " = '" + std::to_string(key) + "'");
  }
  // Makes the connection of the open transaction scope return rows of a statement without ordering
  // out of key order: PostgreSQL reads the table in its stored order instead of through an index,
  // SQLite reads every table and index backwards.
  void ReadOutOfKeyOrder() {
    S_DBHelpForKX db;
    if (postgres()) {
      db.RunSQL("SET enable_indexscan = off");
      db.RunSQL("SET enable_bitmapscan = off");
    } else {
      db.RunSQL("PRAGMA reverse_unordered_selects = ON");
    }
  }
  // Adds an order in its own transaction and returns its key.
  int32_t Add(const std::string& xml) {
    TransactionScope scope;
    C_JBOrder c;
    const std::string id = c.add(xml, "CO", "HKG");
    EXPECT_TRUE(scope.Complete());
    return CLng(Variant(id));
  }
};

// ---- child rows in key order

TEST_P(ReviewFixes, ContainerLinesLoadInKeyOrderAndAModifyChangesTheRightLines) {
  const int32_t order = Add(OrderXml({}, Lines({LineXml("C1"), LineXml("C2"), LineXml("C3")})));
  const std::vector<int32_t> keys = {1, 2, 3};
  MoveToTheEnd("JB_CONTAINER_DETAIL", "JB_CONTAINER_DETAIL_ID", 1);
  {
    TransactionScope scope;
    ReadOutOfKeyOrder();
    // The engine does return these rows out of key order here.
    ASSERT_TRUE(
        ReturnedOutOfKeyOrder("JB_CONTAINER_DETAIL", "JB_CONTAINER_DETAIL_ID", "JB_NO_ID", order, keys));

    S_JBContainerDetail storage;
    EXPECT_EQ(LoadedKeys(storage, order), keys);
    EXPECT_EQ(storage.strSQL(),
              "select * from JB_CONTAINER_DETAIL where JB_NO_ID = '" + std::to_string(order) + "'");

    C_JBOrder controller;
    EXPECT_EQ(Numbers(controller.getElementByXML(std::to_string(order)), "JBContainerDetail", "Id"), keys);
    controller.modify(OrderXml({{"Id", std::to_string(order)}},
                               Lines({FullLineXml("X1"), FullLineXml("X2"), FullLineXml("X3")})));
    EXPECT_TRUE(scope.Complete());
  }
  auto rs =
      S_DBHelpForKX().RunSQLReturnRS("select * from JB_CONTAINER_DETAIL order by JB_CONTAINER_DETAIL_ID");
  std::vector<std::string> stored;
  for (; !rs->EOF_(); rs->MoveNext())
    stored.push_back(CStr(rs->Field("JB_CONTAINER_DETAIL_ID")) + ":" + CStr(rs->Field("CONTAINER_NO")));
  EXPECT_EQ(stored, (std::vector<std::string>{"1:X1", "2:X2", "3:X3"}));
}

TEST_P(ReviewFixes, DiaryEntriesAndDoorAppointmentsAreAnsweredInKeyOrder) {
  const int32_t order = Add(OrderXml());
  const std::string id = std::to_string(order);
  C_JBOrder controller;
  for (const char* text : {"second", "third"}) controller.AddUserDiary(id, "amy", text);
  for (const char* customer : {"Acme", "Brill", "Crane"})
    controller.AddDoorAppointment(
        id, std::string(
                "<JBDoorAppointment BKNo=\"BK2\" BLNo=\"BL2\" ContainerRemarks=\"reefer\" CustomerName=\"") +
                customer +
                "\" AppointmentAddress=\"2 Dock Rd\" CustomerContactor=\"Ben\" AppointmentPhone=\"556\" "
                "AppointmentDate=\"2026-12-20\" AppointmentTime=\"930\" AppointmentRemarks=\"gate 4\"/>");
  const std::vector<int32_t> keys = {1, 2, 3};
  MoveToTheEnd("JB_DIARY", "JB_DIARY_NO_ID", 1);
  MoveToTheEnd("JB_DOOR_APPOINTMENT", "JB_DOOR_APPOINTMENT_ID", 1);
  TransactionScope scope;
  ReadOutOfKeyOrder();
  ASSERT_TRUE(ReturnedOutOfKeyOrder("JB_DIARY", "JB_DIARY_NO_ID", "JB_NO_ID", order, keys));
  ASSERT_TRUE(
      ReturnedOutOfKeyOrder("JB_DOOR_APPOINTMENT", "JB_DOOR_APPOINTMENT_ID", "JB_NO_ID", order, keys));
  EXPECT_EQ(Numbers(controller.QueryJBDiary(id, ""), "JBDiary", "Id"), keys);
  EXPECT_EQ(Numbers(controller.GetDoorAppointments(id), "JBDoorAppointment", "Id"), keys);
  S_JBDiary diary;
  EXPECT_EQ(LoadedKeys(diary, order), keys);
  EXPECT_EQ(diary.strSQL(), "select * from JB_DIARY where JB_NO_ID = '" + id + "'");
  S_JBDoorAppointment appointments;
  EXPECT_EQ(LoadedKeys(appointments, order), keys);
  EXPECT_EQ(appointments.strSQL(), "select * from JB_DOOR_APPOINTMENT where JB_NO_ID = '" + id + "'");
}

TEST_P(ReviewFixes, WorkFileLinesLoadInKeyOrderAndAModifyFlagsTheRightLines) {
  const int32_t file = InsertFileRow();
  for (const char* no : {"L1", "L2", "L3"}) InsertLineRow(file, no);
  const std::vector<int32_t> keys = {1, 2, 3};
  MoveToTheEnd("JB_CONTAINER_RETRIEVING_TEMP_DETAIL", "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID", 1);
  {
    TransactionScope scope;
    ReadOutOfKeyOrder();
    ASSERT_TRUE(ReturnedOutOfKeyOrder("JB_CONTAINER_RETRIEVING_TEMP_DETAIL",
                                      "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID",
                                      "JB_IMPORT_CONTAINER_WORK_FILE_ID", file, keys));

    S_JBContainerRetrievingTempDetail storage;
    EXPECT_EQ(LoadedKeys(storage, file), keys);
    EXPECT_EQ(storage.strSQL(),
              "select * from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
                  std::to_string(file) + "'");
    // The load behind the completion check fills its entity from the first line in key order.
    E_JBContainerRetrievingTempDetail first;
    storage.LoadFileLines(std::to_string(file), first);
    EXPECT_EQ(CLng(first.Get("Id")), 1);

    C_JBContainerRetrievingTempFile controller;
    EXPECT_EQ(
        Numbers(controller.getElementByXML(std::to_string(file)), "JBContainerRetrievingTempDetail", "Id"),
        keys);
    controller.modify(ModifyXml(file, FlagXml("1") + FlagXml("0") + FlagXml("0")));
    EXPECT_TRUE(scope.Complete());
  }
  EXPECT_EQ(StoredLines(file), (std::vector<std::string>{"L1:1", "L2:0", "L3:0"}));
}

// ---- a changed number that another order holds

TEST_P(ReviewFixes, ChangingTheNumberToOneAnotherOrderHoldsIsRefusedAsAddRefusesIt) {
  const int32_t first = Add(OrderXml({}, Lines({LineXml("C1")})));
  const int32_t second = Add(OrderXml({{"JBNo", "JB002"}}, Lines({LineXml("C2")})));
  const std::string before = DumpOrderTables();
  C_JBOrder controller;
  // Outside a transaction: nothing is written even without a rollback.
  const Error err = CaptureError([&] {
    controller.modify(
        OrderXml({{"Id", std::to_string(second)}, {"JBNo", "JB001"}}, Lines({FullLineXml("C9")})));
  });
  const Error added = CaptureError([&] { controller.add(OrderXml(), "CO", "HKG"); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.number(), added.number());
  EXPECT_EQ(err.description(),
            "modify Sub"
            "save Sub"
            "The job order no has existing: JB001");
  EXPECT_EQ(err.source(), err.description());
  EXPECT_EQ(added.description(),
            "add Function"
            "save Sub"
            "The job order no has existing: JB001");
  EXPECT_EQ(DumpOrderTables(), before);
  {
    TransactionScope scope;
    CaptureError([&] {
      C_JBOrder().modify(
          OrderXml({{"Id", std::to_string(second)}, {"JBNo", "JB001"}}, Lines({FullLineXml("C9")})));
    });
    EXPECT_TRUE(scope.aborted());
    EXPECT_FALSE(scope.Complete());
  }
  EXPECT_EQ(DumpOrderTables(), before);

  // The same through the entity: loaded, renumbered and saved.
  E_JBOrder order;
  order.load(std::to_string(first));
  order.setJBNo("JB002");
  const Error saved = CaptureError([&] { order.save(); });
  EXPECT_EQ(saved.number(), kComponentError);
  EXPECT_EQ(saved.description(),
            "save Sub"
            "The job order no has existing: JB002");
  EXPECT_EQ(DumpOrderTables(), before);

  // An order keeps its own number, and takes a free one.
  controller.modify(
      OrderXml({{"Id", std::to_string(first)}, {"VendorName", "Lee"}}, Lines({FullLineXml("C1")})));
  EXPECT_EQ(OrderColumn(first, "VENDOR_NAME"), "Lee");
  controller.modify(
      OrderXml({{"Id", std::to_string(second)}, {"JBNo", "JB003"}}, Lines({FullLineXml("C2")})));
  EXPECT_EQ(OrderColumn(second, "JB_NO"), "JB003");
  EXPECT_EQ(OrderColumn(first, "JB_NO"), "JB001");
}

// ---- search keys of numeric fields

std::string Condition(const std::string& field, const std::string& word, const std::string& key) {
  const std::string escaped = word == "<" ? "&lt;" : word == "<=" ? "&lt;=" : word;
  std::string k;
  for (char c : key)
    k += c == '"' ? std::string("&quot;") : c == '&' ? std::string("&amp;") : std::string(1, c);
  return "<Root><AccessKey Field=\"" + field + "\" SearchCondition=\"" + escaped + "\" Key=\"" + k +
         "\"/></Root>";
}

TEST_P(ReviewFixes, AKeyThatIsNoNumberForANumericFieldMatchesNoRowOnEveryEngine) {
  Add(OrderXml({}, Lines({LineXml("C1")})));
  S_DBHelpForKX().RunSQL("Update JB_CONTAINER_DETAIL Set CHARGE_QUANTITY = '2', CHARGE_TARIFF_RATE = '12.5'");
  const std::vector<std::string> noNumbers = {"abc", "1.5x",        "1x",      "--1", "0x10",
                                              "1 2", "' or '1'='1", "O'Brien", "1e",  "."};
  // JBState holds 16 bits: 70000 is no value of it.
  for (const std::string& key : [&] {
         auto keys = noNumbers;
         keys.insert(keys.end(), {"1.5", "1e1", "70000", "-40000", "99999999999"});
         return keys;
       }()) {
    for (const std::string word : {"=", "<", ">", ">=", "<=", "Include", "BeginWith"}) {
      SCOPED_TRACE("JBState " + word + " " + key);
      C_JBOrder controller;
      Variant count, pages;
      std::string answer;
      {
        TransactionScope scope;
        answer = controller.queryOwnedElementsByXML(count, pages, 10, 1, Condition("JBState", word, key));
        EXPECT_TRUE(scope.Complete());
      }
      EXPECT_EQ(CLng(count), 0);
      EXPECT_EQ(AttributeValues(answer, "JBOrder", "Id"), std::vector<std::string>{});
      // The key is not in the statement; the column still is.
      S_JBOrder storage;
      EXPECT_EQ(storage.QueryPage(Condition("JBState", word, key), 10, 1).count, 0);
      EXPECT_EQ(storage.strSQL(), "select a.* from  JB_ORDER a  WHERE 1 = 1  And a.JB_STATE Is Null And 1=0");
    }
  }
  // Well-formed keys keep their statement and find the order.
  for (const auto& [word, key] : std::vector<std::pair<std::string, std::string>>{
           {"=", "0"}, {"<", "1"}, {">", "-1"}, {"=", "+0"}, {"<=", "32767"}, {">=", "-32768"}}) {
    SCOPED_TRACE("JBState " + word + " " + key);
    C_JBOrder controller;
    Variant count, pages;
    controller.queryOwnedElementsByXML(count, pages, 10, 1, Condition("JBState", word, key));
    EXPECT_EQ(CLng(count), 1);
    S_JBOrder storage;
    EXPECT_EQ(storage.QueryPage(Condition("JBState", word, key), 10, 1).count, 1);
    EXPECT_EQ(storage.strSQL(),
              "select a.* from  JB_ORDER a  WHERE 1 = 1  And a.JB_STATE " + word + " '" + key + "'");
  }

  // A 32-bit field and a decimal field of the container lines.
  const std::string select = "select * from JB_CONTAINER_DETAIL   where 1=1  ";
  for (const std::string& key : noNumbers) {
    for (const auto& [field, column] :
         {std::pair<std::string, std::string>{"ChargeQuantity", "CHARGE_QUANTITY"},
          {"ChargeTariffRate", "CHARGE_TARIFF_RATE"}}) {
      SCOPED_TRACE(field + " " + key);
      S_JBContainerDetail storage;
      EXPECT_EQ(storage.Query(Condition(field, "=", key))->RecordCount(), 0);
      EXPECT_EQ(storage.strSQL(), select + " And " + column + " Is Null And 1=0");
    }
  }
  for (const auto& [field, key, fragment, rows] :
       std::vector<std::tuple<std::string, std::string, std::string, int>>{
           {"ChargeQuantity", "2", " And CHARGE_QUANTITY = '2'", 1},
           {"ChargeQuantity", "3000000000", " And CHARGE_QUANTITY Is Null And 1=0", 0},
           {"ChargeTariffRate", "12.5", " And CHARGE_TARIFF_RATE = '12.5'", 1},
           {"ChargeTariffRate", ".5", " And CHARGE_TARIFF_RATE = '.5'", 0},
           {"ChargeTariffRate", "1.25e1", " And CHARGE_TARIFF_RATE = '1.25e1'", 1},
           {"ChargeTariffRate", "1e999", " And CHARGE_TARIFF_RATE Is Null And 1=0", 0},
           {"CargoDescription", "it's", " And CARGO_DESCRIPTION = 'it''s'", 0}}) {
    SCOPED_TRACE(field + " " + key);
    S_JBContainerDetail storage;
    EXPECT_EQ(storage.Query(Condition(field, "=", key))->RecordCount(), rows);
    EXPECT_EQ(storage.strSQL(), select + fragment);
  }
}

// ---- error texts within the limit

TEST_P(ReviewFixes, ErrorsOfAHugeKeyStayWithinTheLimit) {
  const std::string key(100000, 'k');
  struct Case {
    std::string name;
    std::function<void()> call;
  };
  const std::vector<Case> cases = {
      {"C_JBOrder", [&] { C_JBOrder().getElementByXML(key); }},
      {"C_JBTypeProfile", [&] { C_JBTypeProfile().getElementByXML(key); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Error err = CaptureError(c.call);
    EXPECT_EQ(err.number(), kComponentError);
    for (const std::string& text : {err.source(), err.description()}) {
      // Cut to the limit and marked as cut.
      EXPECT_EQ(Characters(text), kErrorTextLimit + 1);
      EXPECT_EQ(text.substr(text.size() - 3), "\u2026");
      EXPECT_EQ(text.rfind("getElementByXML Function", 0), 0u) << text.substr(0, 80);
      EXPECT_NE(text.find("Can not use code 'kkk"), std::string::npos) << text.substr(0, 80);
    }
  }
}

TEST(ReviewFixesErrors, EveryErrorIsCutInItsConstructor) {
  const std::string e = "\u00e9";  // two bytes in UTF-8
  std::string accents;
  for (int i = 0; i < 9000; ++i) accents += e;
  const Error raised = CaptureError([&] { Fail(std::string(10000, 'r')); });
  EXPECT_EQ(raised.description(), std::string(kErrorTextLimit, 'r') + "\u2026");
  EXPECT_EQ(raised.source(), "KX");
  const Error chained =
      CaptureError([&] { Guard("outer Sub", [&] { RaiseError(9999, "inner Sub" + accents); }); });
  EXPECT_EQ(Characters(chained.description()), kErrorTextLimit + 1);
  EXPECT_EQ(chained.description().rfind("outer Subinner Sub" + e, 0), 0u);
  EXPECT_EQ(chained.source(), chained.description());
  // A text within the limit is kept whole, however many bytes it takes.
  const std::string within = "proc Sub" + accents.substr(0, 2 * (kErrorTextLimit - 8));
  EXPECT_EQ(Error(1, within, within).description(), within);
}

KX_ENGINE_SUITE(ReviewFixes);

}  // namespace
}  // namespace kx::test
