// The SQLite connection: its handle and files, and how its transactions take the write lock.
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "runtime/db/statement.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

class SqliteConnection : public ::testing::Test {
 protected:
  db::ConnectionInfo Info() const { return db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()); }
  std::string DatabaseFile() const { return home_.folder() + "/kxtest.db"; }
  TestHome home_;
};

TEST_F(SqliteConnection, AFailureWhileSettingUpTheConnectionClosesTheFile) {
  // A file that is no database: opening succeeds, the first pragma fails.
  home_.WriteFile("kxtest.db", std::string(8192, 'x'));
  for (int i = 0; i < 3; ++i) {
    const auto e = CaptureThrown([&] { db::Open(Info()); }, db::DatabaseError("none"));
    EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
    EXPECT_EQ(e.category(), db::ErrorCategory::Connection);
  }
  EXPECT_EQ(DescriptorsOf(DatabaseFile()), 0);
}

// The database files in the home folder (the file and its write-ahead log and shared memory).
std::vector<std::string> DatabaseFilesIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().rfind("kxtest.db", 0) == 0) files.push_back(entry.path().filename());
  return files;
}

TEST_F(SqliteConnection, OnlySettingUpTheDatabaseCreatesTheFile) {
  S_DBHelpForKX helper;
  const std::vector<std::pair<std::string, std::function<void()>>> calls = {
      {"read", [&] { helper.RunSQLReturnRS("select 1"); }},
      {"write", [&] { helper.RunSQL("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'X'"); }},
      {"procedure", [&] { helper.RunSPReturnInteger("JB_ORDERInsProc"); }},
      {"scope",
       [&] {
         TransactionScope scope;
         helper.RunSQLReturnRS("select 1");
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    const Error e = CaptureError(call);
    EXPECT_NE(e.description().find("The database file " + DatabaseFile() + " does not exist; run `kx init`"),
              std::string::npos)
        << e.description();
    EXPECT_TRUE(DatabaseFilesIn(home_.folder()).empty());
  }
  const CommandOutcome call = RunKx(home_, "call S_DBHelpForKX RunSQLReturnRS " + ShellQuoted("select 1"));
  EXPECT_EQ(call.exitCode, 1);
  EXPECT_NE(call.err.find(DatabaseFile() + " does not exist; run `kx init`"), std::string::npos) << call.err;
  EXPECT_TRUE(DatabaseFilesIn(home_.folder()).empty());

  const CommandOutcome init = RunKx(home_, "init");
  EXPECT_EQ(init.exitCode, 0) << init.err;
  EXPECT_TRUE(std::filesystem::exists(DatabaseFile()));
  EXPECT_EQ(helper.RunSQLReturnRS("select * from JB_TYPE_PROFILE")->RecordCount(), 0);
}

class SqliteTransaction : public SqliteConnection {
 protected:
  void SetUp() override { home_.ResetDatabase(); }
  // A connection of its own that does not wait for locks.
  std::unique_ptr<db::Connection> Impatient() const {
    db::ConnectionInfo info = Info();
    info.timeoutSeconds = 0;
    return db::Open(info);
  }
};

TEST_F(SqliteTransaction, ACallThatOnlyReadsTakesNoWriteLock) {
  TransactionScope scope;
  EXPECT_EQ(RowCount(), 0);
  EXPECT_TRUE(StoredRow("A").empty());
  // Another writer gets the lock at once while the reading call is still open.
  auto writer = Impatient();
  writer->ExecuteScript("BEGIN IMMEDIATE");
  writer->Execute(
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('W','n','TR')");
  writer->Commit();
  EXPECT_TRUE(scope.Complete());
}

TEST_F(SqliteTransaction, AReadingCallThatWritesWaitsForOtherWritersInsteadOfFailing) {
  const std::string insertW =
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('W','n','TR')";
  auto writer = Impatient();
  std::thread committer;
  struct Case {
    std::string name;
    std::function<void()> beforeRead, afterRead;
  };
  const std::vector<Case> cases = {
      // Another writer holds the lock when the call first writes, and commits a little later.
      {"another writer holds the lock",
       [&] {
         writer->ExecuteScript("BEGIN IMMEDIATE");
         writer->Execute(insertW);
         committer = std::thread([&] {
           std::this_thread::sleep_for(std::chrono::milliseconds(300));
           writer->Commit();
         });
       },
       [] {}},
      // Another writer committed between the call's read and its first write.
      {"another writer committed since the call read", [] {}, [&] { writer->Execute(insertW); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S_DBHelpForKX().RunSQL("Delete JB_TYPE_PROFILE");
    c.beforeRead();
    try {
      TransactionScope scope;
      EXPECT_EQ(RowCount(), 0);  // the call reads first: it holds a snapshot without W
      c.afterRead();
      InsertRow("A", "n", "TR");
      EXPECT_EQ(RowCount(), 2);  // the write began the transaction again: W is seen now
      EXPECT_TRUE(scope.Complete());
    } catch (const Error& e) {
      ADD_FAILURE() << e.description();
    }
    if (committer.joinable()) committer.join();
    EXPECT_EQ(RowCount(), 2);
  }
}

TEST_F(SqliteTransaction, ClosedConnectionsLeaveNoFileOpenWhateverTheirCallsDid) {
  // Calls that commit, roll back, fail to begin and fail to commit, each on the pooled connection
  // and on a connection of its own; closing them all releases every file of the database.
  const std::vector<std::pair<std::string, std::function<void(db::Connection&)>>> calls = {
      {"commit",
       [](db::Connection& c) {
         c.Begin();
         c.Execute("Delete JB_TYPE_PROFILE");
         c.Execute(
             "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values "
             "('C','n','TR')");
         c.Commit();
       }},
      {"rollback",
       [](db::Connection& c) {
         c.Begin();
         c.Execute("Delete JB_TYPE_PROFILE");
         c.Rollback();
       }},
      {"begin twice",
       [](db::Connection& c) {
         c.Begin();
         EXPECT_THROW(c.Begin(), db::DatabaseError);
         c.Commit();
       }},
      {"commit without a transaction",
       [](db::Connection& c) { EXPECT_THROW(c.Commit(), db::DatabaseError); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    {
      auto own = db::Open(Info());
      call(*own);
      call(*own);
    }
    {
      TransactionScope scope;
      EXPECT_GE(RowCount(), 0);
      EXPECT_TRUE(scope.Complete());
    }
    db::ClearPool();
    EXPECT_EQ(DescriptorsOf(DatabaseFile()), 0);
  }
  EXPECT_EQ(RowCount(), 1);
}

// Statements of one shape run through one compiled form with their own values; what they answer
// is what the statements as written answer.
TEST_F(SqliteTransaction, StatementsOfOneShapeAnswerWithTheirOwnValues) {
  auto c = db::Open(Info());
  const std::string insert =
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ";
  c->Execute(insert + "('A','Truck','TR')");
  c->Execute(insert + "('B','O''Neil','RL')");
  c->Execute(insert + "('it''s','','TR')");
  // A second row of a key already there fails, and the statement's next run is not hindered by it.
  EXPECT_THROW(c->Execute(insert + "('A','again','TR')"), db::DatabaseError);
  c->Execute(insert + "('17','seventeen','TR')");
  auto nameOf = [&](const std::string& where) {
    const auto rs = c->Query("select * from JB_TYPE_PROFILE where " + where);
    std::string names;
    for (; !rs->EOF_(); rs->MoveNext()) names += CStr(rs->Field("JB_TYPE_NAME")) + ";";
    return names;
  };
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(nameOf("JB_TYPE_CODE = 'A'"), "Truck;");
    EXPECT_EQ(nameOf("JB_TYPE_CODE = 'B'"), "O'Neil;");
    EXPECT_EQ(nameOf("JB_TYPE_CODE = 'it''s'"), ";");
    EXPECT_EQ(nameOf("JB_TYPE_CODE = 'C'"), "");
    EXPECT_EQ(nameOf("JB_TYPE_CODE = 'A'' or ''1''=''1'"), "");
    EXPECT_EQ(nameOf("JB_TYPE_CATEGORY = 'TR' and JB_TYPE_NAME <> 'Truck' order by JB_TYPE_CODE"),
              "seventeen;;");
  }
  // A value in a result column names that column, as it does in the statement as written.
  const auto named = c->Query("select 'x', JB_TYPE_CODE from JB_TYPE_PROFILE where JB_TYPE_CODE = 'A'");
  ASSERT_EQ(named->Columns().size(), 2u);
  EXPECT_EQ(named->Columns()[0], "'x'");
  EXPECT_EQ(named->Columns()[1], "JB_TYPE_CODE");
  // A quoted text read as a table name cannot be a placeholder: the statement runs as written.
  EXPECT_EQ(CStr(c->Query("select * from 'JB_TYPE_PROFILE' where JB_TYPE_CODE = 'B'")->Field("JB_TYPE_NAME")),
            "O'Neil");
  // A statement that does not compile fails with the engine's reason, whatever its shape.
  const auto e = CaptureThrown([&] { c->Query("select * from NO_SUCH_TABLE where A = 'x'"); },
                               db::DatabaseError("none"));
  EXPECT_NE(std::string(e.what()).find("no such table: NO_SUCH_TABLE"), std::string::npos) << e.what();
  // The table changes after its statements were compiled: they answer for the table as it is now.
  c->Query("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = 'A'");
  c->ExecuteScript("ALTER TABLE JB_TYPE_PROFILE ADD COLUMN EXTRA_NOTE TEXT DEFAULT 'none'");
  const auto altered = c->Query("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = 'A'");
  EXPECT_EQ(CStr(altered->Field("EXTRA_NOTE")), "none");
  // Many more shapes than a connection keeps each answer for themselves.
  for (int i = 0; i < 300; ++i) {
    const auto rs = c->Query("select " + std::to_string(i) +
                             " as N from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + (i % 2 ? "A" : "B") + "'");
    ASSERT_EQ(CLng(rs->Field("N")), i);
  }
}

// A connection fills its last result set again once nobody holds it: a set still held keeps its
// rows, position and page size whatever the connection reads next, and a set filled again answers
// only for its own statement.
TEST_F(SqliteTransaction, AResultSetStillHeldKeepsItsRowsWhenTheNextReadComes) {
  auto c = db::Open(Info());
  const std::string insert = "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ";
  std::string every;  // the names of all rows, in the order of their codes
  for (int i = 0; i < 80; ++i) {
    const std::string name(static_cast<size_t>(i % 40), 'n');
    c->Execute(insert + "('C" + std::to_string(100 + i) + "','" + name + "','TR')");
    every += name + ";";
  }
  auto names = [](const std::shared_ptr<db::Recordset>& rs) {
    std::string out;
    for (const auto& row : rs->Rows()) out += CStr(row[static_cast<size_t>(rs->ColumnIndex("JB_TYPE_NAME"))]) + ";";
    return out;
  };
  const std::string all = "select * from JB_TYPE_PROFILE where ";
  const std::string twoRows = std::string(30, 'n') + ";" + std::string(31, 'n') + ";";
  const struct {
    const char* what;
    std::string sql;  // the read that comes next
    std::string expected;
  } reads[] = {
      {"two rows", all + "JB_TYPE_CODE in ('C130','C131') order by JB_TYPE_CODE", twoRows},
      {"one row", all + "JB_TYPE_CODE = 'C139'", std::string(39, 'n') + ";"},
      {"no row", all + "JB_TYPE_CODE = 'none'", ""},
      {"other columns", "select JB_TYPE_NAME, 1 as ONE from JB_TYPE_PROFILE where JB_TYPE_CODE = 'C101'", "n;"},
      {"more rows than are kept", all + "JB_TYPE_CODE >= 'C100' order by JB_TYPE_CODE", every},
      {"one row again", all + "JB_TYPE_CODE = 'C100'", ";"},
  };
  const auto held = c->Query(reads[0].sql);
  held->SetPageSize(1);
  held->MoveNext();
  for (const auto& next : reads) {
    SCOPED_TRACE(next.what);
    const auto rs = c->Query(next.sql);
    EXPECT_EQ(names(rs), next.expected);
    EXPECT_EQ(rs->PageSize(), 10);
    EXPECT_FALSE(rs->EOF_() && rs->RecordCount() > 0);
    // The set held since the start is as it was.
    EXPECT_EQ(names(held), twoRows);
    EXPECT_EQ(held->PageSize(), 1);
    EXPECT_EQ(CStr(held->Field("JB_TYPE_CODE")), "C131");
    // Let go at its end with another page size: the next set starts as any new one.
    rs->SetPageSize(3);
    while (!rs->EOF_()) rs->MoveNext();
  }
  // Two sets read one after the other, both held, each answer for their own statement.
  const auto first = c->Query(all + "JB_TYPE_CODE = 'C110'");
  const auto second = c->Query(all + "JB_TYPE_CODE = 'C111'");
  EXPECT_EQ(names(first), std::string(10, 'n') + ";");
  EXPECT_EQ(names(second), std::string(11, 'n') + ";");
}

// The library's statements are compiled once per connection and their columns worked out once:
// a change of the table after that is answered as the table is now.
TEST_F(SqliteTransaction, AKeptStatementAnswersForTheTableAsItIsNow) {
  auto c = db::Open(Info());
  c->ExecuteScript("CREATE TABLE KX_SHAPE (K TEXT, D TEXT); INSERT INTO KX_SHAPE VALUES ('A', '2024-01-02')");
  auto row = [&] { return c->Run(db::Statement::Format("select * from KX_SHAPE where K = '{}'", {"A"})); };
  struct Change {
    std::string name, script;
    std::vector<std::string> columns;
    Variant::Type dType;
  };
  const std::vector<Change> changes = {
      {"as created", "", {"K", "D"}, Variant::Type::String},
      {"a column added", "ALTER TABLE KX_SHAPE ADD COLUMN E TEXT", {"K", "D", "E"}, Variant::Type::String},
      {"a column renamed", "ALTER TABLE KX_SHAPE RENAME COLUMN E TO F", {"K", "D", "F"}, Variant::Type::String},
      {"a column declared a date",
       "DROP TABLE KX_SHAPE; CREATE TABLE KX_SHAPE (K TEXT, D DATE, F TEXT); "
       "INSERT INTO KX_SHAPE VALUES ('A', '2024-01-02', 'f')",
       {"K", "D", "F"},
       Variant::Type::Date},
      {"the date declared text again",
       "DROP TABLE KX_SHAPE; CREATE TABLE KX_SHAPE (K TEXT, D TEXT, F TEXT); "
       "INSERT INTO KX_SHAPE VALUES ('A', '2024-01-02', 'f')",
       {"K", "D", "F"},
       Variant::Type::String},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    if (!change.script.empty()) c->ExecuteScript(change.script);
    // Twice: the first run after a change compiles the statement again, the second uses it as kept.
    for (int run = 0; run < 2; ++run) {
      const auto rs = row();
      EXPECT_EQ(rs->Columns(), change.columns);
      EXPECT_EQ(rs->Field("D").type(), change.dType);
    }
  }
}

// A procedure's text is read on every call: a changed text runs from the next call on.
TEST_F(SqliteTransaction, AProcedureRunsTheTextItHasWhenCalled) {
  auto c = db::Open(Info());
  auto call = [&](int32_t n) {
    db::ProcedureArgument argument;
    argument.value = Variant(n);
    return CLng(c->CallProcedure("KX_TEST_PROC", {argument})->Field("N"));
  };
  c->Execute("INSERT INTO KX_PROCEDURE (PROC_NAME, PROC_SQL) VALUES ('KX_TEST_PROC', 'select ?1 + 1 as N')");
  EXPECT_EQ(call(1), 2);
  EXPECT_EQ(call(5), 6);
  c->Execute("UPDATE KX_PROCEDURE SET PROC_SQL = 'select ?1 * 10 as N' WHERE PROC_NAME = 'KX_TEST_PROC'");
  EXPECT_EQ(call(5), 50);
  c->Execute("DELETE FROM KX_PROCEDURE WHERE PROC_NAME = 'KX_TEST_PROC'");
  const auto e = CaptureThrown([&] { call(5); }, db::DatabaseError("none"));
  EXPECT_STREQ(e.what(), "Could not find stored procedure 'KX_TEST_PROC'.");
}

}  // namespace
}  // namespace kx::test
