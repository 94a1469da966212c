// The connection pool: a connection that died while idle is dropped, a call that finds its
// connection lost before any of its statements ran moves once to a new one, and a connection lost
// during a call fails the call without running anything again.
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fault_injection.h"
#include "kx/host.h"
#include "kx/registry.h"
#include "runtime/context.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "type_profile_rows.h"
#include "typeprofile/jb_type_profile.h"

namespace kx::test {
namespace {

using db::ErrorCategory;

// One call of a host: a transaction scope around the inserts of `codes`, completed at the end.
void InsertInOneCall(const std::vector<std::string>& codes) {
  TransactionScope scope;
  for (const auto& code : codes) InsertRow(code, "n", "TR");
  scope.Complete();
}

class Pool : public EngineTest {};

// A call holds one connection for its transaction: a second database in the same call is refused
// rather than written outside the call's transaction.
TEST_P(Pool, OneCallKeepsToTheDatabaseItsTransactionBeganOn) {
  const db::Target first{S_DBHelpForKX().GetConnectionString(), config::ReadLimits(ConfigPath())};
  db::Target other = first;
  other.connectionString += ";Application Name=other";
  TransactionScope scope;
  db::Connection& held = scope.ConnectionFor(first);
  EXPECT_EQ(&scope.ConnectionFor(first), &held);
  const auto e = CaptureThrown([&] { scope.ConnectionFor(other); }, db::DatabaseError("none"));
  EXPECT_STREQ(e.what(), "One call cannot write to two databases within one transaction");
}

TEST_P(Pool, AConnectionLostBeforeTheCallsFirstStatementIsReplacedOnce) {
  // Connection 1 goes to the pool; when the next call begins its transaction on it, it turns out
  // to be lost (as after a network failure nobody noticed).
  FaultInjector faults([](int n) {
    FaultPlan plan;
    plan.failBegin = plan.loseConnection = n == 1;
    plan.category = ErrorCategory::Connection;
    return plan;
  });
  EXPECT_EQ(RowCount(), 0);
  InsertInOneCall({"A"});
  EXPECT_EQ(faults.log().connections, 2);
  EXPECT_EQ(faults.log().begins, 2);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "TR"}));
}

TEST_P(Pool, TheReplacementIsTriedOnlyOnceAndOnlyForAPooledConnectionLost) {
  struct Case {
    std::string name;
    bool pooledFirst;        // a connection waits in the pool when the call begins
    ErrorCategory category;  // of the failure at BEGIN
    int begins;              // transactions the call tried to begin
  };
  const std::vector<Case> cases = {
      {"pooled connection lost", true, ErrorCategory::Connection, 2},
      {"new connection lost", false, ErrorCategory::Connection, 1},
      {"pooled connection busy", true, ErrorCategory::Busy, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultPlan plan;
    plan.failBegin = plan.loseConnection = true;
    plan.category = c.category;
    FaultInjector faults(plan);
    if (c.pooledFirst) RowCount();  // a call without a scope leaves its connection in the pool
    const Error e = CaptureError([] { InsertInOneCall({"B"}); });
    EXPECT_NE(e.description().find(kInjectedFailure), std::string::npos) << e.description();
    EXPECT_EQ(faults.log().begins, c.begins);
    EXPECT_EQ(faults.log().statements, c.pooledFirst ? 1 : 0);
  }
  EXPECT_EQ(RowCount(), 0);
}

TEST_P(Pool, AFailedCommitIsRolledBackBeforeTheConnectionGoesBackToThePool) {
  FaultInjector faults([](int n) {
    FaultPlan plan;
    plan.failCommit = n == 1;
    return plan;
  });
  {
    TransactionScope scope;
    InsertRow("A", "n", "TR");
    EXPECT_THROW(scope.Complete(), std::exception);
  }
  // The connection waits in the pool, healthy, and its transaction was undone at once: it does not
  // hold its locks (or its rows) until some later call happens to reset it.
  EXPECT_EQ(db::PoolStatistics().idle, 1u);
  EXPECT_EQ(faults.log().commits, 1);
  EXPECT_EQ(faults.log().rollbacks, 1);
  EXPECT_EQ(RowCount(), 0);
}

TEST_P(Pool, AConnectionThatIsNoLongerHealthyNeverGoesBackToThePool) {
  struct Case {
    const char* name;
    FaultPlan plan;
  };
  FaultPlan lostAtStatement;
  lostAtStatement.failStatement = 1;
  FaultPlan lostAtCommit;
  lostAtCommit.failCommit = true;
  for (FaultPlan* plan : {&lostAtStatement, &lostAtCommit}) {
    plan->loseConnection = true;
    plan->category = ErrorCategory::Connection;
  }
  for (const Case& c : {Case{"lost at a statement", lostAtStatement}, Case{"lost at the commit", lostAtCommit}}) {
    SCOPED_TRACE(c.name);
    db::ClearPool();
    FaultInjector faults(c.plan);
    EXPECT_ANY_THROW({
      TransactionScope scope;
      InsertRow("A", "n", "TR");
      scope.Complete();
    });
    const db::PoolStats stats = db::PoolStatistics();
    EXPECT_EQ(stats.idle, 0u);
    EXPECT_EQ(stats.leased, 0u);
  }
}

TEST_P(Pool, AConnectionLostDuringACallFailsItAndNothingRunsTwice) {
  struct Case {
    std::string name;
    bool scope;
    int failing;   // the statement whose answer is lost (it ran)
    int32_t rows;  // rows after the call
  };
  const std::vector<Case> cases = {
      {"second write of a call", true, 2, 0},  // the first write is rolled back with the call
      {"write without a scope", false, 1, 1},  // it stands on its own, once
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S_DBHelpForKX().RunSQL("Delete JB_TYPE_PROFILE");
    FaultPlan plan;
    plan.failStatement = c.failing;
    plan.runFailingStatement = plan.loseConnection = true;
    plan.category = ErrorCategory::Connection;
    FaultInjector faults([&](int n) { return n == 1 ? plan : FaultPlan(); });
    const Error e = CaptureError([&] {
      if (c.scope) {
        InsertInOneCall({"C", "D"});
      } else {
        InsertRow("C", "n", "TR");
      }
    });
    EXPECT_NE(e.description().find(kInjectedFailure), std::string::npos) << e.description();
    EXPECT_EQ(faults.log().statements, c.failing);
    EXPECT_EQ(faults.log().connections, 1);
    EXPECT_EQ(RowCount(), c.rows);
    EXPECT_EQ(faults.log().connections, 2);  // the lost connection did not go back to the pool
  }
}

KX_ENGINE_SUITE(Pool);

// ---- a real restart of the PostgreSQL server between the calls of one process

class ServerRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* command = std::getenv("KX_TEST_PG_CTL");
    if (!EngineAvailable("PostgreSQL") || !command || !*command)
      GTEST_SKIP() << "no restart command for the test server given (KX_TEST_PG_CTL)";
    restart_ = command;
    home_ = std::make_unique<TestHome>("PostgreSQL");
    home_->ResetDatabase();
  }
  void Restart() const { ASSERT_EQ(std::system((restart_ + " >/dev/null 2>&1").c_str()), 0) << restart_; }

  std::string restart_;
  std::unique_ptr<TestHome> home_;
};

TEST_F(ServerRestart, CallsAfterARestartUseNewConnections) {
  InsertInOneCall({"A"});
  EXPECT_EQ(RowCount(), 1);
  Restart();
  InsertInOneCall({"B"});  // the pooled connection died with the server: the call takes a new one
  Restart();
  EXPECT_EQ(RowCount(), 2);  // the same without a transaction scope
  EXPECT_EQ(StoredRow("B"), (std::vector<std::string>{"n", "TR"}));
}

TEST_F(ServerRestart, ARestartDuringACallFailsItWithTheServersText) {
  std::string description;
  {
    TransactionScope scope;
    InsertRow("C", "n", "TR");
    Restart();
    description = CaptureError([] { InsertRow("D", "n", "TR"); }).description();
  }
  std::string lower = description;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_NE(lower.find("connection"), std::string::npos) << description;
  EXPECT_EQ(description.rfind("RunSQL(", 0), std::string::npos) << "no engine text before the statement";
  // Nothing of the failed call stays; the next call works.
  EXPECT_EQ(RowCount(), 0);
  InsertInOneCall({"E"});
  EXPECT_EQ(RowCount(), 1);
}

// ---- what a call sends to the PostgreSQL server, from the server's statement log

class ServerStatements : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* log = std::getenv("KX_TEST_PG_LOG");
    if (!EngineAvailable("PostgreSQL") || !log || !*log)
      GTEST_SKIP() << "no server log given (KX_TEST_PG_LOG)";
    log_ = log;
    home_ = std::make_unique<TestHome>("PostgreSQL");
    home_->ResetDatabase();
    Admin("SET log_statement = 'all'");
  }
  void TearDown() override {
    if (home_) Admin("RESET log_statement");
  }
  // Sets or resets the database's `log_statement` for the sessions opened from now on.
  void Admin(const std::string& change) {
    auto c = db::Open(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()));
    c->ExecuteScript("ALTER DATABASE " +
                     c->Query("select current_database() as D")->Field("D").get<std::string>() + " " +
                     change);
    db::ClearPool();
  }
  std::streamoff LogSize() const { return std::ifstream(log_, std::ios::ate | std::ios::binary).tellg(); }
  // The statements the server logged after `offset`.
  std::vector<std::string> StatementsSince(std::streamoff offset) const {
    std::ifstream in(log_, std::ios::binary);
    in.seekg(offset);
    std::vector<std::string> statements;
    // A simple message's statements, and each statement sent with bound values, named or not.
    for (std::string line; std::getline(in, line);) {
      if (const auto at = line.find("LOG:  statement: "); at != std::string::npos)
        statements.push_back(line.substr(at + 17));
      if (const auto at = line.find("LOG:  execute "); at != std::string::npos)
        statements.push_back(line.substr(line.find(": ", at + 14) + 2));
    }
    return statements;
  }

  std::string log_;
  std::unique_ptr<TestHome> home_;
};

TEST_F(ServerStatements, ACallSendsItsStatementsAndNothingElse) {
  RowCount();  // the connection is opened (its settings travel with the request) and pooled
  const auto mark = LogSize();
  RowCount();
  RowCount();
  // A call's BEGIN travels with its first statement, in one message; a call that runs no statement
  // sends nothing at all.
  InsertInOneCall({"A"});
  {
    TransactionScope scope;
    EXPECT_TRUE(scope.Complete());
  }
  const std::string insert =
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','n','TR')";
  // A first statement with parameters goes with its BEGIN too, both sent together.
  {
    TransactionScope scope;
    S_DBHelpForKX().RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE where JB_TYPE_CODE = ?",
                                   Variant::MakeArray({mp("@Code", adVarChar, 20, "A", 0, 0)}));
    EXPECT_TRUE(scope.Complete());
  }
  const std::string count = "select Count(*) as N from JB_TYPE_PROFILE";
  const auto logged = StatementsSince(mark);
  ASSERT_GE(logged.size(), 4u);
  EXPECT_EQ(
      std::vector<std::string>(logged.begin(), logged.begin() + 4),
      (std::vector<std::string>{count, count, "BEGIN ISOLATION LEVEL READ COMMITTED; " + insert, "COMMIT"}));
  EXPECT_EQ(std::vector<std::string>(logged.begin() + 4, logged.end()),
            (std::vector<std::string>{"BEGIN ISOLATION LEVEL READ COMMITTED",
                                      "select Count(*) as N from JB_TYPE_PROFILE where JB_TYPE_CODE = $1",
                                      "COMMIT"}));
}

// A call whose statements only read sends neither BEGIN nor COMMIT; a call that reads and then
// writes sends its reads on their own and BEGIN with its first write.
TEST_F(ServerStatements, AReadingCallSendsNoBeginAndAWritingOneSendsItWithItsFirstWrite) {
  InsertRow("P1", "one", "TR");
  const auto profiles = Registry::Instance().Create("C_JBTypeProfile");
  auto call = [&](const char* member, const std::string& argument) {
    TransactionScope scope;
    Args args{Variant(argument)};
    Registry::Instance().Invoke(*profiles, member, args);
    EXPECT_TRUE(scope.Complete());
  };
  call("getElementByXML", "P1");  // the statements are prepared on the session
  const auto mark = LogSize();
  call("getElementByXML", "P1");
  call("modify", "<JBTypeProfile Code=\"P1\" JBTypeName=\"two\" JBTypeCategory=\"TR\"/>");
  const std::string select = "select * from JB_TYPE_PROFILE where JB_TYPE_CODE = $1";
  EXPECT_EQ(StatementsSince(mark),
            (std::vector<std::string>{
                select, select, "BEGIN ISOLATION LEVEL READ COMMITTED",
                "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = $1, JB_TYPE_CATEGORY = $2 Where JB_TYPE_CODE= $3",
                "COMMIT"}));
}

// A transaction's first message on a connection that served a call before finds that its server
// ended the session since (the pool could not see it yet): the connection is opened anew, once.
// A connection that has served no call fails as the server says.
TEST(PostgresFirstMessage, ASessionEndedSinceTheLastCallIsOpenedAnewOnce) {
  if (!EngineAvailable("PostgreSQL")) GTEST_SKIP() << "no PostgreSQL server";
  TestHome home("PostgreSQL");
  const auto info = db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString());
  auto admin = db::Open(info);
  auto pidOf = [](db::Connection& c) { return CStr(c.Query("select pg_backend_pid() as P")->Field("P")); };
  auto terminate = [&](const std::string& pid) {
    admin->Query("select pg_terminate_backend(" + pid + ")");
    for (int i = 0; i < 200; ++i) {
      if (CLng(admin->Query("select count(*) as N from pg_stat_activity where pid = " + pid)->Field("N")) ==
          0)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the session " << pid << " did not end";
  };

  auto served = db::Open(info);
  served->Begin();
  const std::string before = pidOf(*served);
  served->Commit();
  terminate(before);
  served->Begin();
  std::string after;
  EXPECT_NO_THROW(after = pidOf(*served));
  EXPECT_NE(after, before);
  EXPECT_NO_THROW(served->Commit());

  auto fresh = db::Open(info);
  const std::string first = pidOf(*fresh);  // outside a transaction: no call served yet
  terminate(first);
  fresh->Begin();
  const auto e = CaptureThrown([&] { pidOf(*fresh); }, db::DatabaseError("none"));
  EXPECT_EQ(e.category(), db::ErrorCategory::Connection) << e.what();
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

// The library's statements are prepared once per PostgreSQL session and run by name; a caller's
// DEALLOCATE drops them, and the statements after it, in the same call, are prepared again.
TEST(PostgresPrepared, ACallersDeallocateDoesNotBreakTheNextStatements) {
  if (!EngineAvailable("PostgreSQL")) GTEST_SKIP() << "no PostgreSQL server";
  TestHome home("PostgreSQL");
  home.ResetDatabase();
  InsertRow("P1", "kept", "TR");
  TransactionScope scope;
  for (const char* caller : {"DEALLOCATE ALL", "deallocate all", "select 1"}) {
    EXPECT_TRUE(S_JBTypeProfile().containsPK("P1")) << caller;
    S_DBHelpForKX().RunSQL(caller);
    EXPECT_TRUE(S_JBTypeProfile().containsPK("P1")) << caller;
  }
  EXPECT_TRUE(scope.Complete());
}

// Under READ COMMITTED a statement sees what was committed when it started, inside a transaction or
// on its own: the reads a call makes before its first write see the writers' commits between them
// as they would inside the call's transaction, while the call holds no transaction open; its writes
// stay its own until it completes, and an abort undoes them.
TEST(PostgresReads, AReadingCallSeesEachCommitBeforeItsStatementAndHoldsNoTransaction) {
  if (!EngineAvailable("PostgreSQL")) GTEST_SKIP() << "no PostgreSQL server";
  TestHome home("PostgreSQL");
  home.ResetDatabase();
  InsertRow("P1", "one", "TR");
  InsertRow("P2", "two", "TR");
  auto writer = db::Open(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()));
  auto openTransactions = [&] {
    return CLng(writer->Query("select count(*) as N from pg_stat_activity where datname = current_database() "
                              "and state like 'idle in transaction%'")
                    ->Field("N"));
  };
  auto nameIn = [](const Variant& xml) {
    const std::string text = CStr(xml);
    const auto at = text.find("JBTypeName=\"") + 12;
    return text.substr(at, text.find('"', at) - at);
  };
  const auto profiles = Registry::Instance().Create("C_JBTypeProfile");
  auto get = [&](const char* code) {
    Args args{Variant(code)};
    return nameIn(Registry::Instance().Invoke(*profiles, "getElementByXML", args));
  };
  {
    TransactionScope call;
    EXPECT_EQ(get("P1"), "one");
    EXPECT_EQ(openTransactions(), 0);
    writer->Execute("update JB_TYPE_PROFILE set JB_TYPE_NAME = 'uno' where JB_TYPE_CODE = 'P1'", {});
    EXPECT_EQ(get("P1"), "uno");  // committed before the statement started
    Args modify{Variant("<JBTypeProfile Code=\"P2\" JBTypeName=\"dos\" JBTypeCategory=\"TR\"/>")};
    Registry::Instance().Invoke(*profiles, "modify", modify);
    EXPECT_EQ(openTransactions(), 1);  // from the first write on, the call's transaction is open
    EXPECT_EQ(StoredRow("P2"), (std::vector<std::string>{"dos", "TR"}));  // the call sees its own write
    EXPECT_EQ(CStr(writer->Query("select JB_TYPE_NAME from JB_TYPE_PROFILE where JB_TYPE_CODE = 'P2'", {})
                       ->Field("JB_TYPE_NAME")),
              "two");  // no one else does
    writer->Execute("update JB_TYPE_PROFILE set JB_TYPE_NAME = 'un' where JB_TYPE_CODE = 'P1'", {});
    EXPECT_EQ(get("P1"), "un");  // inside the transaction too, each statement sees the latest commit
    // The call ends without completing: its write is undone, the writers' stay.
  }
  EXPECT_EQ(openTransactions(), 0);
  EXPECT_EQ(StoredRow("P2"), (std::vector<std::string>{"two", "TR"}));
  EXPECT_EQ(StoredRow("P1"), (std::vector<std::string>{"un", "TR"}));
}

}  // namespace
}  // namespace kx::test
