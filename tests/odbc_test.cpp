// Databases reached through ODBC: the connection each provider's settings give, and the library's
// calls through Debian's SQLite and PostgreSQL ODBC drivers, each named by the connection string
// alone (no odbc.ini).
#include <string>
#include <utility>
#include <vector>

#include "kx/registry.h"
#include "kx/transaction.h"
#include "runtime/db/connection.h"
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

class Odbc : public EngineTest {};

TEST_P(Odbc, TheServersDialectValuesKeysAndTransactionsHoldThroughTheDriver) {
  const auto info = db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString());
  EXPECT_EQ(db::Open(info)->engine(), OnPostgreSQL(GetParam()) ? db::Engine::PostgreSQL : db::Engine::SQLite);
  // A value with quotes and characters beyond one byte, bound both ways.
  const std::string code = "O'N\xC3\xBC\xE2\x98\x83";
  C_JBTypeProfile controller;
  controller.add("<JBTypeProfiles><JBTypeProfile Code=\"" + code +
                 "\" JBTypeName=\"snow \xF0\x9D\x84\x9E\" JBTypeCategory=\"TR\"/></JBTypeProfiles>");
  E_JBTypeProfile profile;
  profile.load(code);
  EXPECT_EQ(profile.JBTypeName(), "snow \xF0\x9D\x84\x9E");
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

INSTANTIATE_TEST_SUITE_P(Engines, Odbc, ::testing::Values("OdbcSQLite", "OdbcPostgreSQL"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kx::test
