// S_JBOrder: the statement of every operation, the 36 parameters of the insert procedure, the
// look-ups by number and IT number, and the search with its container sub-query.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {
namespace {

using E = E_JBOrder;

class JBOrderStorage : public EngineTest {
 protected:
  // Stores an order through the entity and returns it, saved.
  std::shared_ptr<E_JBOrder> Stored(const std::string& no, const std::string& it = "IT1") {
    auto e = std::make_shared<E_JBOrder>();
    e->add();
    e->setJBNo(no);
    e->Set(E::kITNumber, it);
    e->save();
    return e;
  }
  // The statement the search of `conditions` runs.
  std::string SearchStatement(const std::string& conditions) {
    storage.Query(conditions.empty() ? "" : "<AccessKeys>" + conditions + "</AccessKeys>");
    return storage.strSQL();
  }
  static std::string Condition(const std::string& field, const std::string& word, const std::string& key) {
    return "<AccessKey Field=\"" + field + "\" SearchCondition=\"" + XmlAttr(word) + "\" Key=\"" +
           XmlAttr(key) + "\"/>";
  }
  S_JBOrder storage;
};

TEST_P(JBOrderStorage, StatementsOfLoadContainsUpdateAndDelete) {
  auto e = Stored("JB001");
  E_JBOrder loaded;
  loaded.load("1");
  EXPECT_EQ(loaded.OrderStorage()->strSQL(), "select * from JB_ORDER where JB_NO_ID = '1'");
  EXPECT_TRUE(storage.containsPK("1"));
  EXPECT_EQ(storage.strSQL(), "select Count(*) as RecCount from JB_ORDER where JB_NO_ID = '1'");
  EXPECT_FALSE(storage.containsPK("2"));

  FixClock(2026, 12, 8, 9, 30);
  loaded.Set(E::kVendorName, "O'Neil");
  loaded.Set(E::kJBStateRemark, "it's late");
  loaded.Set(E::kCostRemark, "'");
  loaded.Set(E::kLastUpdateDate, Date::FromParts(2026, 12, 8));
  loaded.Set(E::kLastUpdateTime, 930.0);
  loaded.Set(E::kTotalActualAmount, 12.5);
  loaded.Set(E::kQuantity, 3);
  loaded.save();
  EXPECT_EQ(
      loaded.OrderStorage()->strSQL(),
      "Update JB_ORDER Set JB_NO = 'JB001', JB_CREATE_DATE = '1899-12-30', LAST_UPDATE_DATE = '2026-12-08', "
      "LAST_UPDATE_TIME = '930', LAST_UPDATE_USER = '', JB_TYPE_CATEGORY = '', JB_TYPE_CODE = '', "
      "OFFICE_CODE = '', ISSUE_USER = '', ISSUE_FAX_NO = '', ISSUE_EMAIL_ADDRESS = '', "
      "ISSUE_DATE = '1899-12-30', JB_STATE = '0', JB_STATE_DATE = '1899-12-30', JB_STATE_REMARK = 'it''s "
      "late', "
      "VENDOR_CODE = '', VENDOR_NAME = 'O''Neil', VENDOR_CONTRACT_NO = '', IT_NUMBER = 'IT1', IT_TYPE = '', "
      "BOUND_DIRECT = '', TRANSPORT_MODE = '', QUANTITY = '3', FROM_PLACE = '', FROM_DEPOT = '', "
      "ESTIMATED_START_DATE = '1899-12-30', ACTUAL_START_DATE = '1899-12-30', TO_PLACE = '', TO_DEPOT = '', "
      "ESTIMATED_END_DATE = '1899-12-30', ACTUAL_END_DATE = '1899-12-30', TOTAL_ACTUAL_CURRENCY = '', "
      "TOTAL_ACTUAL_AMOUNT = '12.5', TOTAL_INVOICE_CURRENCY = '', TOTAL_INVOICE_AMOUNT = '0', "
      "COST_REMARK = '''' Where JB_NO_ID= '1'");
  E_JBOrder reread;
  reread.load("1");
  EXPECT_EQ(reread.Text(E::kVendorName), "O'Neil");
  EXPECT_EQ(reread.Text(E::kJBStateRemark), "it's late");
  EXPECT_EQ(reread.Text(E::kCostRemark), "'");
  EXPECT_EQ(CDbl(reread.Get(E::kTotalActualAmount)), 12.5);

  loaded.remove();
  loaded.save();
  EXPECT_EQ(loaded.OrderStorage()->strSQL(), "Delete JB_ORDER Where JB_NO_ID= '1'");
  EXPECT_EQ(CountRows("JB_ORDER"), 0);
}

TEST_P(JBOrderStorage, TheInsertProcedureTakesThirtySixParameters) {
  using P = std::tuple<std::string, int32_t, int16_t, int16_t, int16_t>;
  const std::vector<P> expected = {
      {"@JB_NO", 200, 20, 0, 0},
      {"@JB_CREATE_DATE", 135, 0, 0, 0},
      {"@LAST_UPDATE_DATE", 135, 0, 0, 0},
      {"@LAST_UPDATE_TIME", 131, 0, 4, 0},
      {"@LAST_UPDATE_USER", 200, 16, 0, 0},
      {"@JB_TYPE_CATEGORY", 200, 2, 0, 0},
      {"@JB_TYPE_CODE", 200, 20, 0, 0},
      {"@OFFICE_CODE", 200, 10, 0, 0},
      {"@ISSUE_USER", 200, 16, 0, 0},
      {"@ISSUE_FAX_NO", 200, 20, 0, 0},
      {"@ISSUE_EMAIL_ADDRESS", 200, 20, 0, 0},
      {"@ISSUE_DATE", 135, 0, 0, 0},
      {"@JB_STATE", 2, 0, 0, 0},
      {"@JB_STATE_DATE", 135, 0, 0, 0},
      {"@JB_STATE_REMARK", 200, 256, 0, 0},
      {"@VENDOR_CODE", 200, 8, 0, 0},
      {"@VENDOR_NAME", 200, 50, 0, 0},
      {"@VENDOR_CONTRACT_NO", 200, 20, 0, 0},
      {"@IT_NUMBER", 200, 10, 0, 0},
      {"@IT_TYPE", 200, 2, 0, 0},
      {"@BOUND_DIRECT", 200, 1, 0, 0},
      {"@TRANSPORT_MODE", 200, 5, 0, 0},
      {"@QUANTITY", 3, 0, 0, 0},
      {"@FROM_PLACE", 200, 5, 0, 0},
      {"@FROM_DEPOT", 200, 5, 0, 0},
      {"@ESTIMATED_START_DATE", 135, 0, 0, 0},
      {"@ACTUAL_START_DATE", 135, 0, 0, 0},
      {"@TO_PLACE", 200, 5, 0, 0},
      {"@TO_DEPOT", 200, 5, 0, 0},
      {"@ESTIMATED_END_DATE", 135, 0, 0, 0},
      {"@ACTUAL_END_DATE", 135, 0, 0, 0},
      {"@TOTAL_ACTUAL_CURRENCY", 200, 3, 0, 0},
      {"@TOTAL_ACTUAL_AMOUNT", 131, 0, 9, 3},
      {"@TOTAL_INVOICE_CURRENCY", 200, 3, 0, 0},
      {"@TOTAL_INVOICE_AMOUNT", 131, 0, 9, 3},
      {"@COST_REMARK", 200, 256, 0, 0},
  };
  std::vector<P> actual;
  for (const FieldSpec& f : JBOrderDef().fields)
    if (!f.param.empty())
      actual.emplace_back(std::string(f.param), f.paramType, f.paramSize, f.paramPrecision, f.paramScale);
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(JBOrderDef().insertProcedure, "JB_ORDERInsProc");

  // Every value comes back as it was given, quotes and all; the key is the database's.
  E_JBOrder e;
  e.add();
  const std::vector<std::pair<size_t, Variant>> values = {{E::kJBNo, Variant("N'1")},
                                                          {E::kJBCreateDate, Date::FromParts(2026, 1, 2)},
                                                          {E::kLastUpdateTime, Variant(1405.0)},
                                                          {E::kJBState, Variant(int16_t{4})},
                                                          {E::kVendorName, Variant("O'Neil")},
                                                          {E::kQuantity, Variant(int32_t{12})},
                                                          {E::kTotalInvoiceAmount, Variant(123456.789)},
                                                          {E::kCostRemark, Variant("a'b")},
                                                          {E::kActualEndDate, Date::FromParts(2026, 3, 4)}};
  for (const auto& [field, value] : values) e.Set(field, value);
  e.save();
  EXPECT_EQ(e.OrderStorage()->strSQL(), "JB_ORDERInsProc");
  E_JBOrder loaded;
  loaded.load(std::to_string(e.Id()));
  for (const auto& [field, value] : values)
    EXPECT_EQ(loaded.Get(field), ToFieldType(JBOrderDef().fields[field].type, value)) << field;
}

TEST_P(JBOrderStorage, LookUpsByNumberAndITNumber) {
  Stored("JB001", "IT1");
  Stored("JB002", "IT2");
  std::string id = "unchanged";
  EXPECT_TRUE(storage.containsJBNo("JB002", id));
  EXPECT_EQ(id, "2");
  EXPECT_EQ(storage.strSQL(), "select JB_No_Id  from JB_ORDER where JB_NO = 'JB002'");
  id = "unchanged";
  EXPECT_FALSE(storage.containsJBNo(" JB002", id));
  EXPECT_EQ(id, "unchanged");
  EXPECT_FALSE(storage.containsJBNo("x' or '1'='1", id));
  EXPECT_EQ(storage.strSQL(), "select JB_No_Id  from JB_ORDER where JB_NO = 'x'' or ''1''=''1'");
  EXPECT_TRUE(storage.containsITNumber("IT1", id));
  EXPECT_EQ(id, "1");
  EXPECT_EQ(storage.strSQL(), "select JB_No_Id  from JB_ORDER where IT_Number = 'IT1'");
  EXPECT_FALSE(storage.containsITNumber("IT9", id));
  // Late bound, the key comes back by reference and may be left out.
  const ObjectPtr s = Registry::Instance().Create("S_JBOrder");
  Args args = {Variant("JB001"), Variant("")};
  EXPECT_TRUE(CBool(Registry::Instance().Invoke(*s, "containsJBNo", args)));
  EXPECT_EQ(CStr(args[1]), "1");
  Args one = {Variant("IT2")};
  EXPECT_TRUE(CBool(Registry::Instance().Invoke(*s, "containsITNumber", one)));
}

TEST_P(JBOrderStorage, SearchStatements) {
  const std::string base = "select a.* from  JB_ORDER a  WHERE 1 = 1 ";
  const std::string exists =
      " and exists (select * from JB_Container_Detail b where a.jb_no_Id = b.jb_no_id and  1=1 ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", base},
      {Condition("JBNo", "=", "JB1"), base + " And a.JB_NO = 'JB1'"},
      {Condition("VendorName", "Include", " O'Neil "), base + " And a.VENDOR_NAME like '%O''Neil%'"},
      {Condition("FromPlace", "BeginWith", "HK"), base + " And a.FROM_PLACE like 'HK%'"},
      {Condition("IssueDate", ">", "2026-12-01"), base + " And a.ISSUE_DATE >= '2026-12-01'"},
      {Condition("IssueDate", "<", "2026-12-31"), base + " And a.ISSUE_DATE <= '2026-12-31'"},
      {Condition("JBState", "<=", "1"), base + " And a.JB_STATE <= '1'"},
      {Condition("BKNo", "=", "BK1"), base + exists + " And b.BK_NO = 'BK1')"},
      {Condition("BKNo", "=", "BK1") + Condition("ContainerNo", "BeginWith", "12") +
           Condition("JBTypeCode", "=", "T"),
       base + " And a.JB_TYPE_CODE = 'T'" + exists + " And b.BK_NO = 'BK1' And b.CONTAINER_NO like '12%')"},
      {Condition("Hazard", "=", " ") + Condition("ToDepot", ">", "D"), base + " And a.TO_DEPOT > 'D'"},
      {Condition("Colour", "=", "red") + Condition("CostRemark", "=", "x"), base},
  };
  for (const auto& [conditions, statement] : cases) {
    SCOPED_TRACE(conditions);
    EXPECT_EQ(SearchStatement(conditions), statement);
  }
  for (const auto& [field, column] :
       std::vector<std::pair<std::string, std::string>>{{"JBTypeCategory", "a.JB_TYPE_CATEGORY"},
                                                        {"OfficeCode", "a.OFFICE_CODE"},
                                                        {"IssueUser", "a.ISSUE_USER"},
                                                        {"VendorCode", "a.VENDOR_CODE"},
                                                        {"BoundDirect", "a.BOUND_DIRECT"},
                                                        {"TransportMode", "a.TRANSPORT_MODE"},
                                                        {"FromDepot", "a.FROM_DEPOT"},
                                                        {"ToPlace", "a.TO_PLACE"},
                                                        {"BLNo", "b.BL_NO"},
                                                        {"ERNo", "b.ER_NO"},
                                                        {"ContainerPrefix", "b.CONTAINER_PREFIX"},
                                                        {"ContainerType", "b.CONTAINER_TYPE"},
                                                        {"Reefer", "b.REEFER"}}) {
    SCOPED_TRACE(field);
    EXPECT_NE(SearchStatement(Condition(field, "=", "v")).find(" And " + column + " = 'v'"),
              std::string::npos);
  }
  // A word that is no comparison is refused before anything runs.
  EXPECT_EQ(CaptureError([&] { SearchStatement(Condition("JBNo", "like", "x")); }).description(),
            "Query Function"
            "The search condition 'like' is unknown");
  EXPECT_EQ(CaptureError([&] { SearchStatement(Condition("IssueDate", ">=", "2026-01-01")); }).description(),
            "Query Function"
            "The search condition '>=' is unknown");
}

TEST_P(JBOrderStorage, SearchRowsMatchOnOneLine) {
  Stored("JB001");
  Stored("JB002");
  S_DBHelpForKX db;
  db.RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, BK_NO, CONTAINER_NO) Values ('1', 'BK1', 'C1')");
  db.RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, BK_NO, CONTAINER_NO) Values ('1', 'BK1', 'C2')");
  db.RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, BK_NO, CONTAINER_NO) Values ('2', 'BK2', 'C1')");
  auto ids = [&](const std::string& conditions) {
    auto rs = storage.Query("<AccessKeys>" + conditions + "</AccessKeys>");
    std::vector<int32_t> out;
    for (; !rs->EOF_(); rs->MoveNext()) out.push_back(CLng(rs->Field("JB_NO_ID")));
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(ids(Condition("BKNo", "=", "BK1")), std::vector<int32_t>{1});
  EXPECT_EQ(ids(Condition("ContainerNo", "=", "C1")), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(ids(Condition("ContainerNo", "=", "C1") + Condition("BKNo", "=", "BK2")),
            std::vector<int32_t>{2});
  EXPECT_EQ(ids(Condition("ContainerNo", "=", "C2") + Condition("BKNo", "=", "BK2")), std::vector<int32_t>{});
}

TEST_P(JBOrderStorage, PagesSelectWhatTheSearchStatementSelects) {
  S_DBHelpForKX db;
  for (int i = 1; i <= 6; ++i) {
    auto e = Stored("JB00" + std::to_string(i));
    e->Set(E::kVendorCode, i % 2 ? "V1" : "V2");
    e->save();
    for (int l = 0; l < i % 3; ++l)
      db.RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, BK_NO, CONTAINER_NO, REEFER) Values ('" +
                std::to_string(i) + "', 'BK" + std::to_string(l) + "', 'C" + std::to_string(i + l) + "', " +
                (l ? "NULL" : "'Y'") + ")");
  }
  db.RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, BK_NO) Values (NULL, 'BK0')");
  const std::vector<std::string> cases = {
      "",
      Condition("BKNo", "=", "BK0"),
      Condition("BKNo", "=", "BK1") + Condition("VendorCode", "=", "V2"),
      Condition("ContainerNo", "BeginWith", "C") + Condition("BKNo", "=", "BK0"),
      Condition("Reefer", "=", "Y") + Condition("VendorCode", "=", "V1"),
      Condition("ContainerNo", "=", "none"),
  };
  auto ids = [](db::Recordset& rs) {
    std::vector<int32_t> out;
    for (; !rs.EOF_(); rs.MoveNext()) out.push_back(CLng(rs.Field("JB_NO_ID")));
    std::sort(out.begin(), out.end());
    return out;
  };
  for (const auto& conditions : cases) {
    SCOPED_TRACE(conditions);
    const std::string ak = conditions.empty() ? "" : "<AccessKeys>" + conditions + "</AccessKeys>";
    const auto all = ids(*storage.Query(ak));
    const auto page = storage.QueryPage(ak, 0, 0);
    EXPECT_EQ(ids(*page.rows), all);
    EXPECT_EQ(page.count, static_cast<int32_t>(all.size()));
    // strSQL holds the search statement as written.
    EXPECT_EQ(storage.strSQL(), SearchStatement(ak.empty() ? "" : conditions));
  }
}

KX_ENGINE_SUITE(JBOrderStorage);

}  // namespace
}  // namespace kx::test
