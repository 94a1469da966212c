// The limits every call runs under: the statement time limit, PostgreSQL's just-in-time compiler,
// and settings a caller changes that must not outlive its call.
#include <string>
#include <vector>

#include "runtime/context.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

// Counts to `n` in the engine, one step per row.
std::string CountTo(int n) {
  return "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " + std::to_string(n) +
         ") SELECT Count(*) AS N FROM c";
}

class Limits : public EngineTest {
 protected:
  bool postgres() const { return OnPostgreSQL(GetParam()); }
  // Config.ini of the test home with `lines` added to section DATABASE.
  void Configure(const std::string& lines) { home_->WriteConfig(home_->DefaultConfig(lines)); }
  // A setting of the PostgreSQL session, as a call sees it.
  std::string Show(const std::string& setting) {
    return CStr(helper_.RunSQLReturnRS("SHOW " + setting)->Field(setting));
  }
  S_DBHelpForKX helper_;
};

TEST_P(Limits, AStatementPastTheTimeLimitIsStoppedAndTheErrorNamesTheLimit) {
  Configure("STATEMENTTIMEOUT=1\n");
  // Long enough to pass the limit many times over, short enough to end if it is not enforced.
  const std::string slow = postgres() ? "select pg_sleep(20)" : CountTo(200000000);
  const Error e = CaptureError([&] { helper_.RunSQLReturnRS(slow); });
  EXPECT_EQ(e.description().rfind("RunSQLReturnRS(" + slow + ")", 0), 0u) << e.description();
  EXPECT_NE(e.description().find(postgres() ? "canceling statement due to statement timeout" : "interrupted"),
            std::string::npos)
      << e.description();
  EXPECT_NE(
      e.description().find("the statement time limit of 1 second, STATEMENTTIMEOUT in section DATABASE"),
      std::string::npos)
      << e.description();
  // The connection serves the next call.
  EXPECT_EQ(CLng(helper_.RunSQLReturnRS(CountTo(10))->Field("N")), 10);
}

TEST_P(Limits, NoLimitAndTheDefaultLetOrdinaryStatementsRun) {
  for (const char* lines : {"STATEMENTTIMEOUT=0\n", "", "STATEMENTTIMEOUT=3600\n"}) {
    SCOPED_TRACE(lines);
    Configure(lines);
    EXPECT_EQ(CLng(helper_.RunSQLReturnRS(CountTo(300000))->Field("N")), 300000);
  }
}

// The session settings of PostgreSQL, which SQLite does not have.
class PostgresLimits : public Limits {};

TEST_P(PostgresLimits, SessionsRunWithTheConfiguredLimits) {
  struct Case {
    std::string lines, timeout, jit;
  };
  // The same pooled connection follows each edit of the file.
  const std::vector<Case> cases = {
      {"", "30s", "off"},
      {"STATEMENTTIMEOUT=5\nJIT=1\n", "5s", "on"},
      {"STATEMENTTIMEOUT=0\n", "0", "off"},
      {"JIT=0\n", "30s", "off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    Configure(c.lines);
    EXPECT_EQ(Show("statement_timeout"), c.timeout);
    EXPECT_EQ(Show("jit"), c.jit);
    TransactionScope scope;
    EXPECT_EQ(Show("statement_timeout"), c.timeout);
    EXPECT_EQ(Show("transaction_isolation"), "read committed");
  }
}

TEST_P(Limits, ACallerCannotLiftTheLimitsNorPassSettingsToTheNextCall) {
  if (postgres()) {
    {
      TransactionScope scope;
      helper_.RunSQL("SET statement_timeout = 0");
      EXPECT_EQ(Show("statement_timeout"), "30s");  // put back at once
      helper_.RunSQL("select set_config('jit', 'on', false)");
      EXPECT_EQ(Show("jit"), "off");
      helper_.RunSQL("SET search_path = pg_catalog");
      scope.Complete();
    }
    helper_.RunSQL("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL SERIALIZABLE");
    EXPECT_EQ(Show("search_path"), "\"$user\", public");
    EXPECT_EQ(Show("transaction_isolation"), "read committed");
  } else {
    helper_.RunSQL("PRAGMA busy_timeout = 0");
    EXPECT_EQ(CLng(helper_.RunSQLReturnRS("PRAGMA busy_timeout")->Field("timeout")), 10000);
  }
}

TEST_P(Limits, AnUnreadableTimeLimitFailsTheCallNamingFileAndKey) {
  for (const char* value : {"abc", "-1", "1.5", "9999999"}) {
    SCOPED_TRACE(value);
    Configure(std::string("STATEMENTTIMEOUT=") + value + "\n");
    const Error e = CaptureError([&] { helper_.RunSQLReturnRS("select 1"); });
    EXPECT_EQ(e.description(),
              "RunSQLReturnRS(select 1)" + home_->folder() +
                  "/Config.ini: key STATEMENTTIMEOUT of section DATABASE must be a whole number "
                  "of seconds from 0 (no limit) to 2147483, not '" +
                  value + "'");
  }
}

KX_ENGINE_SUITE(Limits);
INSTANTIATE_TEST_SUITE_P(Engines, PostgresLimits, ::testing::Values("PostgreSQL"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kx::test
