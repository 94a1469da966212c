// Container lines: loading with its conversions, the search spellings, the collection's XML and
// its pairing of request elements with stored lines by position, and a failure half way through a
// call (the protocol every record shares is checked in record_protocol_test.cpp).
#include "joborderdetail/jb_container_detail.h"

#include <string>
#include <vector>

#include "fault_injection.h"
#include "job_order_detail_rows.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

const std::string kColumns =
    "JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, EMPTY_FULL_FLAG, SOC_FLAG, BK_NO, BL_NO, ER_NO, FROM_PLACE, "
    "TO_PLACE, "
    "SERVICE_MODE, CONTAINER_TYPE, CARGO_DESCRIPTION, REEFER, HAZARD, PROCESS_STATE, PROCESS_DATE, "
    "PROCESS_REMARKS, "
    "LAST_ACTIVITY_CODE, LAST_ACTIVITY_DATE, LAST_ACTIVITY_TIME, LAST_ACTIVITY_PLACE, CHARGE_CODE, "
    "CHARGE_QUANTITY, "
    "CHARGE_CURRENCY, CHARGE_TARIFF_RATE, CHARGE_TARIFF_AMOUNT, CHARGE_ACTUAL_RATE, CHARGE_ACTUAL_AMOUNT, "
    "INVOICE_CURRENCY, INVOICE_AMOUNT, INVOICE_NO";

// Inserts a container line of order `jbNoId` with every column filled, its texts marked by the
// one-letter `tag`; returns its key.
int32_t InsertLine(int32_t jbNoId, const std::string& tag, const std::string& cargo = "") {
  const std::string& t = tag;
  S_DBHelpForKX().RunSQL(
      "Insert Into JB_CONTAINER_DETAIL (" + kColumns + ") Values ('" + std::to_string(jbNoId) + "','" + t +
      "CU','" + t + "1234567','F','N','BK" + t + "','BL" + t + "','ER" + t + "','FR" + t + "','TO" + t +
      "','CY','40HC','" + Str2SQL(cargo.empty() ? "cargo " + t : cargo) +
      "','N','N','2','2024-03-04','remarks " + t +
      "','GI','2024-03-05','1230','YARD','TRK','2','USD','12.5','25','13','26','EUR','24.5','INV" + t + "')");
  return LastKey("JB_CONTAINER_DETAIL", "JB_CONTAINER_DETAIL_ID");
}

// The element the collection writes for a line inserted by InsertLine.
std::string LineElement(int32_t id, int32_t jbNoId, const std::string& t) {
  return "<JBContainerDetail Id=\"" + std::to_string(id) + "\" JBNoId=\"" + std::to_string(jbNoId) +
         "\" ContainerPrefix=\"" + t + "CU\" ContainerNo=\"" + t +
         "1234567\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BK" + t + "\" BLNo=\"BL" + t + "\" ERNo=\"ER" +
         t + "\" FromPlace=\"FR" + t + "\" ToPlace=\"TO" + t +
         "\" ServiceMode=\"CY\" ContainerType=\"40HC\" CargoDescription=\"cargo " + t +
         "\" Reefer=\"N\" Hazard=\"N\" ProcessState=\"2\" LastActivityCode=\"GI\" "
         "LastActivityDate=\"2024-03-05\" "
         "LastActivityTime=\"1230\" ChargeCode=\"TRK\" ChargeQuantity=\"2\" ChargeCurrency=\"USD\" "
         "ChargeTariffRate=\"12.5\" ChargeActualRate=\"13\" ChargeActualAmount=\"26\" "
         "InvoiceCurrency=\"EUR\" "
         "InvoiceAmount=\"24.5\"/>";
}

// The fourteen text attributes a new line takes, all set to `v`, plus `extra`.
std::string NewLineElement(const std::string& v, const std::string& extra = "") {
  std::string e = "<JBContainerDetail";
  for (const char* a :
       {"ContainerPrefix", "ContainerNo", "EmptyFullFlag", "SOCFlag", "BKNo", "BLNo", "ERNo", "FromPlace",
        "ToPlace", "ServiceMode", "ContainerType", "CargoDescription", "Reefer", "Hazard"})
    e += std::string(" ") + a + "=\"" + v + "\"";
  return e + extra + "/>";
}

std::string Lines(const std::string& elements) {
  return "<JBContainerDetails>" + elements + "</JBContainerDetails>";
}

// The line elements of a collection document, without their root.
std::string Body(const std::string& xml) {
  const size_t from = xml.find("<JBContainerDetail ");
  return xml.substr(from, xml.rfind("/>") + 2 - from);
}

// The stored row of line `id`, every column as text.
std::string Row(int32_t id) {
  return S_DBHelpForKX()
      .RunSQLReturnRS("select * from JB_CONTAINER_DETAIL where JB_CONTAINER_DETAIL_ID = " +
                      std::to_string(id))
      ->ToText();
}

int32_t LineCount(int32_t jbNoId) {
  return S_DBHelpForKX()
      .RunSQLReturnRS("select * from JB_CONTAINER_DETAIL where JB_NO_ID = '" + std::to_string(jbNoId) + "'")
      ->RecordCount();
}

class JBContainerDetail : public EngineTest {
 protected:
  Col_JBContainerDetail lines;
};

TEST_P(JBContainerDetail, NullDatesLoadAsTheFirstOf1900) {
  S_DBHelpForKX().RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_NO) Values ('57','C1')");
  lines.loadElements("57");
  ASSERT_EQ(lines.Count(), 1);
  auto line = lines.Item(1);
  EXPECT_EQ(CDate(line->Get("ProcessDate")), Date::FromParts(1900, 1, 1));
  EXPECT_EQ(CDate(line->Get("LastActivityDate")), Date::FromParts(1900, 1, 1));
  EXPECT_EQ(lines.getColElementsByXML(),
            kDecl + "<JBContainerDetails><JBContainerDetail Id=\"" + XmlText(line->Get("Id")) +
                "\" JBNoId=\"57\" ContainerPrefix=\"\" ContainerNo=\"C1\" EmptyFullFlag=\"\" SOCFlag=\"\" "
                "BKNo=\"\" "
                "BLNo=\"\" ERNo=\"\" FromPlace=\"\" ToPlace=\"\" ServiceMode=\"\" ContainerType=\"\" "
                "CargoDescription=\"\" Reefer=\"\" Hazard=\"\" ProcessState=\"0\" LastActivityCode=\"\" "
                "LastActivityDate=\"1900-01-01\" LastActivityTime=\"0\" ChargeCode=\"\" ChargeQuantity=\"0\" "
                "ChargeCurrency=\"\" ChargeTariffRate=\"0\" ChargeActualRate=\"\" ChargeActualAmount=\"0\" "
                "InvoiceCurrency=\"\" InvoiceAmount=\"0\"/></JBContainerDetails>\n");
}

TEST_P(JBContainerDetail, CollectionXmlKeepsInternalFieldsOut) {
  const int32_t a = InsertLine(57, "A");
  const int32_t b = InsertLine(58, "B");
  lines.loadElements("57");
  lines.loadElements("58");
  const std::string both = kDecl + "<JBContainerDetails>" + LineElement(a, 57, "A") +
                           LineElement(b, 58, "B") + "</JBContainerDetails>\n";
  EXPECT_EQ(lines.getColElementsByXML(), both);
  std::string key = "58";
  EXPECT_EQ(lines.getColElementsByXML(key),
            kDecl + "<JBContainerDetails>" + LineElement(b, 58, "B") + "</JBContainerDetails>\n");
  key = "59";
  EXPECT_EQ(lines.getColElementsByXML(key), kDecl + "<JBContainerDetails/>\n");
  for (const char* hidden :
       {"ProcessDate", "ProcessRemarks", "LastActivityPlace", "ChargeTariffAmount", "InvoiceNo"})
    EXPECT_EQ(both.find(std::string(hidden) + "="), std::string::npos) << hidden;
}

TEST_P(JBContainerDetail, OneNodeOnOneLineWritesOnlyTheChange) {
  const int32_t id = InsertLine(57, "A");
  const std::string before = Row(id);
  lines.loadElements("57");
  std::string request = lines.getColElementsByXML();

  // The same values change nothing and run nothing.
  {
    FaultInjector statements(FaultPlan{});
    lines.updateColElements(request, "57");
    EXPECT_EQ(statements.log().Texts(), std::vector<std::string>{});
  }
  EXPECT_EQ(lines.Item(1)->status(), esLoaded);
  EXPECT_EQ(LastStatement(*lines.Item(1)), "");

  request.replace(request.find("ChargeCode=\"TRK\""), 16, "ChargeCode=\"XYZ\"");
  {
    // One changed value: exactly one statement runs, the update of that line.
    FaultInjector statements(FaultPlan{});
    lines.updateColElements(request, "57");
    EXPECT_EQ(statements.log().Texts(), std::vector<std::string>{LastStatement(*lines.Item(1))});
  }
  EXPECT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines.Item(1)->status(), esSaved);
  EXPECT_EQ(
      LastStatement(*lines.Item(1)),
      "Update JB_CONTAINER_DETAIL Set JB_NO_ID = '57', CONTAINER_PREFIX = 'ACU', CONTAINER_NO = 'A1234567', "
      "EMPTY_FULL_FLAG = 'F', SOC_FLAG = 'N', BK_NO = 'BKA', BL_NO = 'BLA', ER_NO = 'ERA', FROM_PLACE = "
      "'FRA', "
      "TO_PLACE = 'TOA', SERVICE_MODE = 'CY', CONTAINER_TYPE = '40HC', CARGO_DESCRIPTION = 'cargo A', "
      "REEFER = 'N', HAZARD = 'N', PROCESS_STATE = '2', PROCESS_DATE = '2024-03-04', PROCESS_REMARKS = "
      "'remarks A', LAST_ACTIVITY_CODE = 'GI', LAST_ACTIVITY_DATE = '2024-03-05', LAST_ACTIVITY_TIME = "
      "'1230', "
      "LAST_ACTIVITY_PLACE = 'YARD', CHARGE_CODE = 'XYZ', CHARGE_QUANTITY = '2', CHARGE_CURRENCY = 'USD', "
      "CHARGE_TARIFF_RATE = '12.5', CHARGE_TARIFF_AMOUNT = '25', CHARGE_ACTUAL_RATE = '13', "
      "CHARGE_ACTUAL_AMOUNT = '26', INVOICE_CURRENCY = 'EUR', INVOICE_AMOUNT = '24.5', INVOICE_NO = 'INVA' "
      "Where JB_CONTAINER_DETAIL_ID= '" +
          std::to_string(id) + "'");
  std::string expected = before;
  expected.replace(expected.find("TRK"), 3, "XYZ");
  EXPECT_EQ(Row(id), expected);
}

TEST_P(JBContainerDetail, NodeBeyondTheLinesInsertsOnlyItsTextFields) {
  const int32_t id = InsertLine(57, "A");
  const std::string before = Row(id);
  lines.loadElements("57");
  const std::string figures =
      " LastActivityCode=\"GO\" LastActivityDate=\"2024-05-06\" LastActivityTime=\"930\" ChargeCode=\"TRK\" "
      "ChargeQuantity=\"3\" ChargeCurrency=\"USD\" ChargeTariffRate=\"1.5\" ChargeActualRate=\"2\" "
      "ChargeActualAmount=\"3\" InvoiceCurrency=\"EUR\" InvoiceAmount=\"4\" ProcessState=\"3\"";
  const std::string first = lines.getColElementsByXML();
  lines.updateColElements(Lines(Body(first) + NewLineElement("N", figures)), "57");
  EXPECT_EQ(lines.Count(), 2);
  EXPECT_EQ(Row(id), before);
  auto added = lines.Item(2);
  EXPECT_EQ(added->status(), esSaved);
  EXPECT_EQ(LastStatement(*added),
            "Insert Into JB_CONTAINER_DETAIL (" + kColumns +
                ")Values ('57','N','N','N','N','N','N','N','N','N','N','N','N','N','N','0',"
                "'1899-12-30','','','1899-12-30','0','','','0','','0','0','','0','','0','')");
  EXPECT_EQ(LineCount(57), 2);
  // The new line's charge, invoice and last activity columns hold the values of a new line.
  Col_JBContainerDetail reloaded;
  reloaded.loadElements("57");
  ASSERT_EQ(reloaded.Count(), 2);
  const std::string xml = reloaded.getColElementsByXML();
  EXPECT_NE(
      xml.find(
          "ProcessState=\"0\" LastActivityCode=\"\" LastActivityDate=\"1899-12-30\" LastActivityTime=\"0\" "
          "ChargeCode=\"\" ChargeQuantity=\"0\" ChargeCurrency=\"\" ChargeTariffRate=\"0\" "
          "ChargeActualRate=\"\" ChargeActualAmount=\"0\" InvoiceCurrency=\"\" InvoiceAmount=\"0\"/>"),
      std::string::npos)
      << xml;
}

TEST_P(JBContainerDetail, NoNodesDeleteEveryLineThatStaysInTheList) {
  const int32_t a = InsertLine(57, "A");
  InsertLine(57, "B");
  InsertLine(57, "C");
  const int32_t other = InsertLine(58, "D");
  lines.loadElements("57");
  lines.updateColElements("<JBContainerDetails/>", "57");
  EXPECT_EQ(lines.Count(), 3);
  EXPECT_EQ(LineCount(57), 0);
  EXPECT_EQ(LineCount(58), 1);
  EXPECT_EQ(LastStatement(*lines.Item(1)),
            "Delete JB_CONTAINER_DETAIL Where JB_CONTAINER_DETAIL_ID= '" + std::to_string(a) + "'");
  for (int16_t i = 1; i <= 3; ++i) EXPECT_EQ(lines.Item(i)->status(), esSaved);
  // The deleted lines are still written.
  EXPECT_NE(lines.getColElementsByXML().find(LineElement(a, 57, "A")), std::string::npos);
  EXPECT_NE(Row(other).find("BKD"), std::string::npos);
}

TEST_P(JBContainerDetail, QuotesAreStoredAsGiven) {
  const int32_t id = InsertLine(57, "A", "it's");
  lines.loadElements("57");
  EXPECT_EQ(CStr(lines.Item(1)->Get("CargoDescription")), "it's");
  std::string request = lines.getColElementsByXML();
  request.replace(request.find("it's"), 4, "Bob's 'best'");
  request.replace(request.find("ContainerNo=\"A1234567\""), 22, "ContainerNo=\"A'1\"");
  lines.updateColElements(Lines(Body(request) + NewLineElement("O'K")), "57");
  EXPECT_NE(LastStatement(*lines.Item(1)).find("CONTAINER_NO = 'A''1'"), std::string::npos);
  EXPECT_NE(LastStatement(*lines.Item(1)).find("CARGO_DESCRIPTION = 'Bob''s ''best'''"), std::string::npos);
  Col_JBContainerDetail reloaded;
  reloaded.loadElements("57");
  ASSERT_EQ(reloaded.Count(), 2);
  EXPECT_EQ(CStr(reloaded.Item(1)->Get("CargoDescription")), "Bob's 'best'");
  EXPECT_EQ(CStr(reloaded.Item(1)->Get("ContainerNo")), "A'1");
  EXPECT_EQ(CStr(reloaded.Item(2)->Get("CargoDescription")), "O'K");
  EXPECT_EQ(CStr(reloaded.Item(2)->Get("BKNo")), "O'K");
  EXPECT_EQ(CLng(reloaded.Item(1)->Get("Id")), id);
}

TEST_P(JBContainerDetail, FlagsAreTextStoredAsGiven) {
  // The flags are no Booleans: "Y", "y", "true" and "1" are kept as written, in both steps.
  const std::vector<std::string> flags = {"Y", "y", "true", "1"};
  for (const std::string& flag : flags) {
    SCOPED_TRACE(flag);
    S_DBHelpForKX().RunSQL("Delete JB_CONTAINER_DETAIL Where JB_NO_ID= '57'");
    Col_JBContainerDetail created;
    created.updateColElements(Lines(NewLineElement(flag)), "57");
    Col_JBContainerDetail stored;
    stored.loadElements("57");
    ASSERT_EQ(stored.Count(), 1);
    for (const char* f : {"EmptyFullFlag", "SOCFlag", "Reefer", "Hazard"})
      EXPECT_EQ(CStr(stored.Item(1)->Get(f)), flag) << f;
    std::string request = stored.getColElementsByXML();
    request.replace(request.find("SOCFlag=\"" + flag + "\""), 10 + flag.size(), "SOCFlag=\"N\"");
    stored.updateColElements(request, "57");
    Col_JBContainerDetail updated;
    updated.loadElements("57");
    EXPECT_EQ(CStr(updated.Item(1)->Get("SOCFlag")), "N");
    EXPECT_EQ(CStr(updated.Item(1)->Get("Hazard")), flag);
  }
}

TEST_P(JBContainerDetail, EmptyFiguresOfAStoredLineReadAsZeroAndTheFirstOf1900) {
  const int32_t id = InsertLine(57, "A");
  lines.loadElements("57");
  std::string request = lines.getColElementsByXML();
  for (const std::string from :
       {"LastActivityDate=\"2024-03-05\"", "LastActivityTime=\"1230\"", "ChargeQuantity=\"2\"",
        "ChargeTariffRate=\"12.5\"", "ChargeActualAmount=\"26\"", "InvoiceAmount=\"24.5\""}) {
    const size_t at = request.find(from);
    const size_t quote = from.find('"');
    request.replace(at, from.size(), from.substr(0, quote) + "\"\"");
  }
  lines.updateColElements(request, "57");
  E_JBContainerDetail stored;
  stored.load(std::to_string(id));
  EXPECT_EQ(CDate(stored.Get("LastActivityDate")), Date::FromParts(1900, 1, 1));
  for (const char* zero :
       {"LastActivityTime", "ChargeQuantity", "ChargeTariffRate", "ChargeActualAmount", "InvoiceAmount"})
    EXPECT_EQ(CDbl(stored.Get(zero)), 0.0) << zero;
  EXPECT_EQ(CDbl(stored.Get("ChargeTariffAmount")), 25.0);  // not read, written back as loaded
  EXPECT_EQ(CStr(stored.Get("InvoiceNo")), "INVA");
}

TEST_P(JBContainerDetail, BadRequestsFailThroughUpdateColElements) {
  const int32_t id = InsertLine(57, "A");
  lines.loadElements("57");
  const std::string good = lines.getColElementsByXML();
  auto with = [&](const std::string& from, const std::string& to) {
    std::string r = good;
    r.replace(r.find(from), from.size(), to);
    return r;
  };
  const std::string notSet(RuntimeErrorText(RuntimeErrorCode::ObjectNotSet));
  const std::string mismatch(RuntimeErrorText(RuntimeErrorCode::TypeMismatch));
  struct Case {
    std::string request, masterKey, description;
  };
  const std::vector<Case> cases = {
      {good, "x57", mismatch},
      {good, "", mismatch},
      {with("ChargeCode=\"TRK\" ", ""), "57", notSet},
      {with("InvoiceAmount=\"24.5\"", ""), "57", notSet},
      {with("2024-03-05", "someday"), "57", mismatch},
      {with("ChargeQuantity=\"2\"", "ChargeQuantity=\"two\""), "57", mismatch},
      {Lines(Body(good) + "<JBContainerDetail ContainerNo=\"X\"/>"), "57", notSet},
  };
  const std::string before = DumpDetailTables();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request + " / " + c.masterKey);
    Col_JBContainerDetail fresh;
    fresh.loadElements("57");
    TransactionScope scope;
    const Error err = CaptureError([&] { fresh.updateColElements(c.request, c.masterKey); });
    EXPECT_EQ(err.number(), kComponentError);
    EXPECT_EQ(err.description(), "updateColElements Sub" + c.description);
    EXPECT_FALSE(scope.aborted());  // a collection casts no vote
  }
  EXPECT_EQ(DumpDetailTables(), before);
  EXPECT_NE(Row(id).find("TRK"), std::string::npos);
}

TEST_P(JBContainerDetail, TextThatDoesNotParseChangesNothing) {
  InsertLine(57, "A");
  InsertLine(57, "B");
  lines.loadElements("57");
  const std::string before = DumpDetailTables();
  for (const std::string text : {"", "<JBContainerDetails>", "not xml at all", "<a><b></a>"}) {
    SCOPED_TRACE(text);
    const Error err = CaptureError([&] { lines.updateColElements(text, "57"); });
    EXPECT_EQ(err.description().rfind("updateColElements Sub", 0), 0u) << err.description();
    EXPECT_GT(err.description().size(), std::string("updateColElements Sub").size());
  }
  EXPECT_EQ(DumpDetailTables(), before);
  EXPECT_EQ(lines.Item(1)->status(), esLoaded);
}

TEST_P(JBContainerDetail, SearchSpellingsAndInclusiveBounds) {
  InsertLine(57, "A");
  S_DBHelpForKX().RunSQL(
      "Update JB_CONTAINER_DETAIL Set PROCESS_DATE = '2024-03-06', LAST_ACTIVITY_TIME = '1300' "
      "Where BK_NO = 'BKA'");
  InsertLine(57, "B");
  auto condition = [](const std::string& field, const std::string& word, const std::string& key) {
    const std::string escaped = word == "<" ? "&lt;" : word == "<=" ? "&lt;=" : word;
    return "<Root><AccessKey Field=\"" + field + "\" SearchCondition=\"" + escaped + "\" Key=\"" + key +
           "\"/></Root>";
  };
  const std::string select = "select * from JB_CONTAINER_DETAIL   where 1=1  ";
  struct Case {
    std::string field, word, key, fragment;
    int rows;
  };
  const std::vector<Case> cases = {
      {"BkNo", "=", "BKA", " And BK_NO = 'BKA'", 1},
      {"BlNo", "BeginWith", "BL", " And BL_NO like 'BL%'", 2},
      {"ErNo", "Include", "RB", " And ER_NO like '%RB%'", 1},
      {"ProcessDate", ">", "2024-03-06", " And PROCESS_DATE >= '2024-03-06'", 1},
      {"ProcessDate", "<", "2024-03-04", " And PROCESS_DATE <= '2024-03-04'", 1},
      {"LastActivityTime", ">", "1230", " And LAST_ACTIVITY_TIME >= '1230'", 2},
      {"LastActivityTime", "<", "1229", " And LAST_ACTIVITY_TIME <= '1229'", 0},
      {"LastActivityDate", "=", "2024-03-05", " And LAST_ACTIVITY_DATE = '2024-03-05'", 2},
      {"CargoDescription", "=", "it's", " And CARGO_DESCRIPTION = 'it''s'", 0},
      {"InvoiceNo", "=", "INVB", " And INVOICE_NO = 'INVB'", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field + " " + c.word);
    S_JBContainerDetail storage;
    EXPECT_EQ(storage.Query(condition(c.field, c.word, c.key))->RecordCount(), c.rows);
    EXPECT_EQ(storage.strSQL(), select + c.fragment);
  }
  // The attribute spellings are no search fields, and on the two inclusive fields only ">" and "<"
  // are comparisons: such conditions are refused before anything runs.
  const std::vector<std::pair<Case, std::string>> refused = {
      {{"BKNo", "=", "BKA", "", 0}, "BKNo"},
      {{"ProcessDate", "=", "2024-03-06", "", 0}, "'='"},
      {{"ProcessDate", ">=", "2024-03-06", "", 0}, "'>='"},
      {{"LastActivityTime", "Include", "12", "", 0}, "'Include'"},
      {{"LastActivityTime", "<=", "1230", "", 0}, "'<='"},
  };
  for (const auto& [c, named] : refused) {
    SCOPED_TRACE(c.field + " " + c.word);
    S_JBContainerDetail storage;
    const Error err = CaptureError([&] { storage.Query(condition(c.field, c.word, c.key)); });
    EXPECT_EQ(err.description().rfind("Query Function", 0), 0u) << err.description();
    EXPECT_NE(err.description().find(named), std::string::npos) << err.description();
    EXPECT_EQ(storage.strSQL(), "");
  }
}

TEST_P(JBContainerDetail, RemoveColElementsDeletesEveryLine) {
  InsertLine(57, "A");
  InsertLine(57, "B");
  InsertLine(58, "C");
  Col_JBContainerDetail empty;
  empty.removeColElements();
  EXPECT_EQ(empty.Count(), 0);
  lines.loadElements("57");
  lines.removeColElements();
  EXPECT_EQ(lines.Count(), 2);
  EXPECT_EQ(LineCount(57), 0);
  EXPECT_EQ(LineCount(58), 1);
}

TEST_P(JBContainerDetail, AFailureHalfWayLeavesNothingInItsTransaction) {
  // The second element lacks its text fields: the first line is written before the call fails.
  const std::string request =
      home_->WriteFile("half.xml", Lines(NewLineElement("H") + "<JBContainerDetail ContainerNo=\"X\"/>"));
  const KxRun run = RunKx(*home_, "--quiet call Col_JBContainerDetail updateColElements @" + request + " 57");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err,
            "error 0x8004270F: updateColElements SubObject variable or With block variable not set\n");
  EXPECT_EQ(LineCount(57), 0);
  // Without a transaction each statement stands on its own.
  EXPECT_EQ(RunKx(*home_, "call --no-transaction Col_JBContainerDetail updateColElements @" + request + " 57")
                .exitCode,
            1);
  EXPECT_EQ(LineCount(57), 1);
}

KX_ENGINE_SUITE(JBContainerDetail);

}  // namespace
}  // namespace kx::test
