// Databases reached through ODBC: the connection each provider's settings give, the texts the
// driver sends, and the library's calls through Debian's SQLite and PostgreSQL ODBC drivers, each
// named by the connection string alone (no odbc.ini).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "kx/registry.h"
#include "kx/transaction.h"
#include "runtime/db/connection.h"
#include "runtime/db/sql_text.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "typeprofile/jb_type_profile.h"

namespace kx::test {
namespace {

TEST(OdbcSettings, EachProviderGivesItsOdbcConnection) {
  TestHome home;
  const std::vector<std::pair<std::string, std::string>> cases = {
      // SQL Server through FreeTDS, or the driver DRIVER names; values with separators in braces.
      {"PROVIDER=SQLOLEDB\nSERVERNAME=srv,1433\nDATABASENAME=db\nUSERID=u\nPASSWORD=p;q\n",
       "Driver=FreeTDS;Server=srv,1433;Database=db;UID=u;PWD={p;q};TDS_Version=7.4;ClientCharset=UTF-8;"},
      {"PROVIDER=SQLOLEDB\nSERVERNAME=srv\nDATABASENAME=db\nDRIVER=ODBC Driver 18 for SQL Server\n",
       "Driver={ODBC Driver 18 for SQL Server};Server=srv;Database=db;UID=sa;PWD=2977;TDS_Version=7.4;"
       "ClientCharset=UTF-8;"},
      // Any driver: the user and password of the settings only where the string names none.
      {"PROVIDER=ODBC\nCONNECTIONSTRING=DSN=kx\n", "DSN=kx;"},
      {"PROVIDER=ODBC\nCONNECTIONSTRING=Driver=SQLite3;Database=/a b\nUSERID=u\nPASSWORD=p}x\n",
       "Driver=SQLite3;Database=/a b;UID=u;PWD={p}}x};"},
      {"PROVIDER=odbc\nCONNECTIONSTRING=DSN=kx; uid=me;Pwd=s\nUSERID=u\nPASSWORD=p\n", "DSN=kx; uid=me;Pwd=s;"},
      // The engines' own drivers use none.
      {"PROVIDER=PostgreSQL\nSERVERNAME=pg\n", ""},
  };
  for (const auto& [lines, odbc] : cases) {
    home.WriteConfig("[DATABASE]\n" + lines);
    EXPECT_EQ(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()).odbc, odbc) << lines;
  }
  home.WriteConfig("[DATABASE]\nPROVIDER=ODBC\n");
  const std::string problem = config::Problem(home.folder() + "/Config.ini");
  EXPECT_NE(problem.find("CONNECTIONSTRING"), std::string::npos) << problem;
}

TEST(OdbcSettings, AttributesAreReadBackAndTheDriverNamesTheDialectExpected) {
  const std::string odbc = "Driver={SQLite3};database=/a b;PWD={p}}x;y}; Port=5;DSN=";
  EXPECT_EQ(db::OdbcAttribute(odbc, "Driver"), "SQLite3");
  EXPECT_EQ(db::OdbcAttribute(odbc, "Database"), "/a b");
  EXPECT_EQ(db::OdbcAttribute(odbc, "pwd"), "p}x;y");
  EXPECT_EQ(db::OdbcAttribute(odbc, "PORT"), "5");
  EXPECT_EQ(db::OdbcAttribute(odbc, "DSN"), "");
  EXPECT_EQ(db::OdbcAttribute(odbc, "Timeout"), "");
  EXPECT_EQ(db::OdbcAttribute("PWD=" + db::OdbcValue("a;{b}") + ";UID=u", "PWD"), "a;{b}");

  TestHome home;
  const std::vector<std::pair<std::string, db::Engine>> cases = {
      {"PROVIDER=ODBC\nCONNECTIONSTRING=Driver=SQLite3;Database=/x.db\n", db::Engine::SQLite},
      {"PROVIDER=ODBC\nCONNECTIONSTRING=Driver={PostgreSQL Unicode};Server=h\n", db::Engine::PostgreSQL},
      {"PROVIDER=ODBC\nCONNECTIONSTRING=DSN=kx\n", db::Engine::SqlServer},
      {"PROVIDER=SQLOLEDB\nSERVERNAME=srv\n", db::Engine::SqlServer},
  };
  for (const auto& [lines, engine] : cases) {
    home.WriteConfig("[DATABASE]\n" + lines);
    EXPECT_EQ(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()).engine, engine) << lines;
  }
}

TEST(OdbcText, SqlServerCallsAnInsertProcedureForTheValueItReturns) {
  const db::ProcedureCall call = db::SqlServerProcedureCall("JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc", 12);
  EXPECT_EQ(call.text, "{? = CALL JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)}");
  // The return value's place first, then one per argument.
  EXPECT_EQ(call.parameters, 13u);
  EXPECT_EQ(static_cast<size_t>(std::count(call.text.begin(), call.text.end(), '?')), call.parameters);
  const db::ProcedureCall bare = db::SqlServerProcedureCall("dbo.KX_NOTHING", 0);
  EXPECT_EQ(bare.text, "{? = CALL dbo.KX_NOTHING()}");
  EXPECT_EQ(bare.parameters, 1u);
}

TEST(OdbcText, ATextLongerThanItsProcedureParameterIsRefusedNotCut) {
  const auto arg = [](int32_t type, int32_t size, Variant value) {
    return db::ProcedureArgument{"@P", type, size, std::move(value)};
  };
  struct Case {
    db::ProcedureArgument argument;
    bool refused;
  };
  const std::vector<Case> cases = {
      {arg(200, 5, Variant("abcde")), false},
      {arg(200, 5, Variant("abcdef")), true},
      {arg(202, 3, Variant("東京駅")), false},  // characters, not bytes
      {arg(202, 3, Variant("東京駅前")), true},
      {arg(129, 1, Variant("ab")), true},
      {arg(3, 1, Variant("12345")), false},  // a number's size is not a length
      {arg(200, 0, Variant("any length")), false},
      {arg(200, 2, Variant::Null()), false},
  };
  for (const auto& c : cases) {
    const std::string problem = db::TooLongProcedureText({arg(200, 10, Variant("fits")), c.argument});
    EXPECT_EQ(!problem.empty(), c.refused) << CStr(c.argument.value) << " " << c.argument.size;
    if (c.refused) EXPECT_NE(problem.find("parameter @P takes at most"), std::string::npos) << problem;
  }
}

TEST(OdbcText, AnSqliteScriptKeepsATriggerWhole) {
  const std::string trigger =
      "CREATE TRIGGER kx_t BEFORE INSERT ON T BEGIN SELECT RAISE(ABORT, 'no; never'); "
      "UPDATE T SET A = CASE WHEN A > 0 THEN 1 END; end";
  const auto statements =
      db::ScriptStatements(db::Engine::SQLite, "CREATE TABLE T (A INTEGER);\n" + trigger + ";\nDROP TRIGGER kx_t;");
  ASSERT_EQ(statements.size(), 3u);
  EXPECT_EQ(statements[0], "CREATE TABLE T (A INTEGER)");
  EXPECT_EQ(statements[1], "\n" + trigger);
  EXPECT_EQ(statements[2], "\nDROP TRIGGER kx_t");
  // Elsewhere every `;` outside quotes ends a statement.
  EXPECT_EQ(db::ScriptStatements(db::Engine::PostgreSQL, trigger).size(), 3u);
}

// The engines of the suite reached through ODBC (those of them `which` takes).
std::vector<std::string> OdbcEngines(bool (*which)(const std::string&) = ThroughOdbc) {
  std::vector<std::string> out;
  for (const auto& engine : Engines())
    if (ThroughOdbc(engine) && which(engine)) out.push_back(engine);
  return out;
}

class Odbc : public EngineTest {};

TEST_P(Odbc, TheServersDialectValuesKeysAndTransactionsHoldThroughTheDriver) {
  const auto info = db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString());
  EXPECT_EQ(db::Open(info)->engine(), OnPostgreSQL(GetParam()) ? db::Engine::PostgreSQL : db::Engine::SQLite);
  // Values with quotes, backslashes and characters beyond one byte, bound both ways.
  const std::string code = "O'N\xC3\xBC\xE2\x98\x83";
  C_JBTypeProfile controller;
  controller.add("<JBTypeProfiles><JBTypeProfile Code=\"" + code +
                 "\" JBTypeName=\"snow\\\\'s \xF0\x9D\x84\x9E\" JBTypeCategory=\"TR\"/></JBTypeProfiles>");
  E_JBTypeProfile profile;
  profile.load(code);
  EXPECT_EQ(profile.JBTypeName(), "snow\\\\'s \xF0\x9D\x84\x9E");
  // An insert procedure answers the new key; NULL, dates and numbers read back as stored.
  S_DBHelpForKX helper;
  const Variant params = Variant::MakeArray({
      mp("@SOURCE_CATEGORY", adVarChar, 10, "IMPORT", 0, 0), mp("@OFFICE", adVarChar, 10, "HKG", 0, 0),
      mp("@VESSEL_CODE", adVarChar, 6, "EVRG", 0, 0), mp("@VOYAGE_NO", adVarChar, 6, "0123", 0, 0),
      mp("@VOYAGE_LEG", adVarChar, 1, "E", 0, 0), mp("@BK_NO", adVarChar, 17, "BK'1", 0, 0),
      mp("@BL_NO", adVarChar, 17, "", 0, 0), mp("@ER_NO", adVarChar, 20, Variant::Null(), 0, 0),
      mp("@PROCESS_STATE", adSmallInt, 2, 0, 0, 0),
      mp("@LAST_UPDATE_DATE", adDBTimeStamp, 8, Date::FromParts(1900, 1, 1), 0, 0),
      mp("@LAST_UPDATE_TIME", adNumeric, 5, 930.0, 4, 0), mp("@LAST_UPDATE_USER", adVarChar, 16, "t", 0, 0),
  });
  const int32_t first = helper.RunSPReturnInteger("JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc", params);
  EXPECT_GT(helper.RunSPReturnInteger("JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc", params), first);
  auto rs = helper.RunSQLReturnRS("select * from JB_CONTAINER_RETRIEVING_TEMP_FILE where BK_NO = ?",
                                  Variant::MakeArray({mp("@BK", adVarChar, 17, "BK'1", 0, 0)}));
  ASSERT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(CLng(rs->Field("JB_IMPORT_CONTAINER_WORK_FILE_ID")), first);
  EXPECT_TRUE(rs->Field("ER_NO").IsNull());
  EXPECT_EQ(Null2Date(rs->Field("LAST_UPDATE_DATE")), "1900-01-01");
  EXPECT_EQ(CLng(rs->Field("LAST_UPDATE_TIME")), 930);
  // What an aborted call wrote is rolled back; a unique key is a constraint failure.
  {
    TransactionScope scope;
    controller.remove(code);
    scope.VoteAbort();
    EXPECT_FALSE(scope.Complete());
  }
  EXPECT_TRUE(S_JBTypeProfile().containsPK(code));
  const Error twice = CaptureError([&] {
    controller.add("<JBTypeProfiles><JBTypeProfile Code=\"" + code +
                   "\" JBTypeName=\"x\" JBTypeCategory=\"TR\"/></JBTypeProfiles>");
  });
  ASSERT_TRUE(twice.cause().has_value()) << twice.description();
  EXPECT_EQ(twice.cause()->category, ErrorCategory::Constraint) << twice.description();
}

INSTANTIATE_TEST_SUITE_P(Engines, Odbc, ::testing::ValuesIn(OdbcEngines()),
                         [](const auto& info) { return info.param; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Odbc);

// SQLite through ODBC.
class OdbcSqlite : public EngineTest {};

TEST_P(OdbcSqlite, ValuesAreReadAsSQLitesOwnDriverReadsThem) {
  // SQLite keeps any value in any column: values that are not what their column is declared with.
  S_DBHelpForKX helper;
  helper.RunSQL("CREATE TABLE KX_ODBC_VALUES (S SMALLINT, I INTEGER, N NUMERIC(4,0), D DATETIME, T VARCHAR(10))");
  helper.RunSQL("INSERT INTO KX_ODBC_VALUES VALUES (100000, 'abc', 1.5, 'not a date', '12')");
  helper.RunSQL("INSERT INTO KX_ODBC_VALUES VALUES (-7, 3000000000, 930, '2024-03-05 14:30:00', 'x')");
  helper.RunSQL("INSERT INTO KX_ODBC_VALUES VALUES (NULL, 2.0, '0930', '2024-03-05', 1.25)");
  const std::string query = "select S, I, N, D, T, S + 1 as S1, length(T) as L from KX_ODBC_VALUES order by rowid";
  const auto odbc = helper.RunSQLReturnRS(query);
  // The same file through SQLite's own driver.
  db::ConnectionInfo own = db::ConnectionInfo::Parse("Provider=SQLite;Data Source=" + home_->folder() +
                                                     ";Initial Catalog=kxtest;User Id=;Password=;");
  const auto native = db::Open(own)->Query(query);
  ASSERT_EQ(odbc->Columns(), native->Columns());
  ASSERT_EQ(odbc->Rows().size(), 3u);
  ASSERT_EQ(odbc->Rows().size(), native->Rows().size());
  for (size_t r = 0; r < native->Rows().size(); ++r)
    for (size_t c = 0; c < native->Columns().size(); ++c) {
      const Variant& want = native->Rows()[r][c];
      const Variant& got = odbc->Rows()[r][c];
      EXPECT_EQ(got.type(), want.type()) << "row " << r << " " << native->Columns()[c];
      EXPECT_EQ(got.IsNull() ? "NULL" : CStr(got), want.IsNull() ? "NULL" : CStr(want))
          << "row " << r << " " << native->Columns()[c];
    }
  EXPECT_EQ(CStr(odbc->Rows()[0][1]), "abc");
  EXPECT_EQ(CLng(odbc->Rows()[0][0]), 100000);
}

INSTANTIATE_TEST_SUITE_P(Engines, OdbcSqlite, ::testing::ValuesIn(OdbcEngines(OnSQLite)),
                         [](const auto& info) { return info.param; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(OdbcSqlite);

}  // namespace
}  // namespace kx::test
