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

}  // namespace
}  // namespace kx::test
