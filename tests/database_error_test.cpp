// Engine failures carry a category and the engine's native code beside the engine's own text.
#include <algorithm>
#include <string>
#include <vector>

#include "runtime/db/connection.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

using db::ErrorCategory;

// Categories print by name in failure messages.
std::string Name(ErrorCategory c) { return std::string(db::CategoryName(c)); }

// The database error `fn` throws; fails the test when it throws none.
db::DatabaseError CaptureDatabaseError(const std::function<void()>& fn) {
  return CaptureThrown(fn, db::DatabaseError("none"));
}

TEST(DatabaseErrorCategory, SqliteResultCodes) {
  struct Case {
    int code;
    bool preparing;
    ErrorCategory expected;
  };
  // Primary and extended codes (1555 is a primary key violation, 517 a stale snapshot, 1032 a
  // read-only database).
  const std::vector<Case> cases = {
      {19, false, ErrorCategory::Constraint},   {1555, false, ErrorCategory::Constraint},
      {2067, false, ErrorCategory::Constraint}, {5, false, ErrorCategory::Busy},
      {517, false, ErrorCategory::Busy},        {6, false, ErrorCategory::Busy},
      {14, false, ErrorCategory::Connection},   {26, false, ErrorCategory::Connection},
      {1, true, ErrorCategory::Syntax},         {1, false, ErrorCategory::Other},
      {5, true, ErrorCategory::Busy},           {8, false, ErrorCategory::Other},
      {1032, false, ErrorCategory::Other},      {9, false, ErrorCategory::Other},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Name(db::SqliteErrorCategory(c.code, c.preparing)), Name(c.expected))
        << c.code << " " << c.preparing;
}

TEST(DatabaseErrorCategory, PostgresStates) {
  const std::vector<std::pair<std::string, ErrorCategory>> cases = {
      {"23505", ErrorCategory::Constraint}, {"23502", ErrorCategory::Constraint},
      {"40001", ErrorCategory::Busy},       {"40P01", ErrorCategory::Busy},
      {"55P03", ErrorCategory::Busy},       {"08006", ErrorCategory::Connection},
      {"08001", ErrorCategory::Connection}, {"28P01", ErrorCategory::Connection},
      {"3D000", ErrorCategory::Connection}, {"57P01", ErrorCategory::Connection},
      {"42601", ErrorCategory::Syntax},     {"42P01", ErrorCategory::Syntax},
      {"22012", ErrorCategory::Other},      {"57014", ErrorCategory::Other},
      {"", ErrorCategory::Other},           {"40002", ErrorCategory::Other},
  };
  for (const auto& [state, expected] : cases)
    EXPECT_EQ(Name(db::PostgresErrorCategory(state)), Name(expected)) << state;
}

class EngineFailure : public EngineTest {
 protected:
  db::ConnectionInfo Info() const { return db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()); }
  bool sqlite() const { return OnSQLite(GetParam()); }
  // The code a failure carries: the engine's own through its own driver; through ODBC the SQLSTATE,
  // which for PostgreSQL is the server's own and for SQLite the general HY000 `odbcSqlite` gives.
  std::string Code(const std::string& sqliteCode, const std::string& postgresCode,
                   const std::string& odbcSqlite = "HY000") const {
    if (!sqlite()) return postgresCode;
    return ThroughOdbc(GetParam()) ? odbcSqlite : sqliteCode;
  }
};

TEST_P(EngineFailure, StatementFailuresCarryCategoryCodeAndTheEnginesText) {
  auto c = db::Open(Info());
  c->Execute(
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','n','TR')");
  struct Case {
    std::string sql;
    ErrorCategory category;
    std::string sqliteCode, postgresCode;
    std::string sqliteText, postgresText;  // a part of the engine's own message
  };
  const std::vector<Case> cases = {
      {"Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','n','TR')",
       ErrorCategory::Constraint, "1555", "23505", "UNIQUE constraint failed", "duplicate key value"},
      {"selec 1", ErrorCategory::Syntax, "1", "42601", "syntax error", "syntax error"},
      {"select * from NO_SUCH_TABLE", ErrorCategory::Syntax, "1", "42P01", "no such table", "does not exist"},
      {sqlite() ? "select abs(-9223372036854775807 - 1)" : "select 1/0", ErrorCategory::Other, "1", "22012",
       "integer overflow", "division by zero"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.sql);
    const db::DatabaseError e = CaptureDatabaseError([&] { c->Query(k.sql); });
    EXPECT_EQ(Name(e.category()), Name(k.category));
    EXPECT_EQ(e.nativeCode(), Code(k.sqliteCode, k.postgresCode));
    EXPECT_NE(std::string(e.what()).find(sqlite() ? k.sqliteText : k.postgresText), std::string::npos)
        << e.what();
  }
}

TEST_P(EngineFailure, AHugeReasonIsCut) {
  auto c = db::Open(Info());
  const std::string unclosed = "select '" + std::string(1 << 20, 'x');  // the engine quotes the text
  const db::DatabaseError e = CaptureDatabaseError([&] { c->Query(unclosed); });
  const std::string text = e.what();
  EXPECT_LE(text.size(), db::kDescriptionLimit + 3) << text.substr(0, 80);
  EXPECT_EQ(text.substr(text.size() - 3), "\u2026");
  EXPECT_EQ(Name(e.category()), "syntax");
}

TEST_P(EngineFailure, AWriterHeldUpByAnotherIsBusy) {
  auto holder = db::Open(Info());
  holder->Execute(
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','n','TR')");
  // Through ODBC the driver opens the transaction, and SQLite takes the write lock at the update.
  if (ThroughOdbc(GetParam()))
    holder->Begin();
  else
    holder->ExecuteScript(sqlite() ? "BEGIN IMMEDIATE" : "BEGIN");
  holder->Execute("Update JB_TYPE_PROFILE Set JB_TYPE_NAME = 'held' Where JB_TYPE_CODE= 'A'");
  db::ConnectionInfo impatient = Info();
  impatient.timeoutSeconds = 0;  // SQLite: no busy wait
  auto waiter = db::Open(impatient);
  if (!sqlite()) waiter->ExecuteScript("SET lock_timeout = '100ms'");
  const db::DatabaseError e = CaptureDatabaseError(
      [&] { waiter->Execute("Update JB_TYPE_PROFILE Set JB_TYPE_NAME = 'x' Where JB_TYPE_CODE= 'A'"); });
  EXPECT_EQ(Name(e.category()), "busy") << e.what();
  EXPECT_EQ(e.nativeCode(), Code("5", "55P03"));
  holder->Rollback();
}

TEST_P(EngineFailure, AnUnreachableDatabaseIsAConnectionFailure) {
  db::ConnectionInfo info = Info();
  info.catalog = "no_such_database";
  if (sqlite()) info.dataSource = home_->folder() + "/no/such/folder";
  // Through ODBC the connection string names the database.
  if (ThroughOdbc(GetParam())) {
    const size_t start = info.odbc.find("Database=") + 9;
    const size_t end = std::min(info.odbc.find(';', start), info.odbc.size());
    info.odbc.replace(start, end - start, sqlite() ? info.dataSource + "/no_such_database.db" : info.catalog);
  }
  const db::DatabaseError e = CaptureDatabaseError([&] { db::Open(info); });
  EXPECT_EQ(Name(e.category()), "connection") << e.what();
  EXPECT_EQ(e.nativeCode(), ThroughOdbc(GetParam()) ? (sqlite() ? "HY000" : "08001") : sqlite() ? "14" : "08006");
  EXPECT_NE(std::string(e.what()).find("no_such_database"), std::string::npos) << e.what();
}

KX_ENGINE_SUITE(EngineFailure);

}  // namespace
}  // namespace kx::test
