// Many callers at once, as threads of one process and as separate `kx call` processes: every call
// of each adds, modifies and removes type profiles; no row is lost or doubled and nobody is told
// that the database is busy.
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

constexpr int kCallers = 4;
// Threads are cheap; processes take a few milliseconds each to start.
constexpr int kProfilesPerThread = 25, kProfilesPerProcess = 6;

std::string Profile(const std::string& code, const std::string& name) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name + "\" JBTypeCategory=\"TR\"/>";
}

// The code of profile `i` of caller `who`; `prefix` tells the kind of caller.
std::string Code(const std::string& prefix, int who, int i) {
  return prefix + std::to_string(who) + "_" + std::to_string(i);
}

// One caller's calls on its `count` profiles, each made by `call(member, argument)`: add every
// profile, rename each and the shared one, remove every other one.
void Work(const std::string& prefix, int who, int count,
          const std::function<void(const std::string&, const std::string&)>& call) {
  for (int i = 0; i < count; ++i) call("add", Profile(Code(prefix, who, i), "new"));
  for (int i = 0; i < count; ++i) {
    call("modify", Profile(Code(prefix, who, i), "renamed"));
    call("modify", Profile("SHARED", "by " + std::to_string(who)));
  }
  for (int i = 0; i < count; i += 2) call("remove", Code(prefix, who, i));
}

// The rows the work of every caller leaves besides the shared one: the odd profiles, renamed.
std::set<std::string> ExpectedRows(const std::string& prefix, int count) {
  std::set<std::string> rows;
  for (int who = 0; who < kCallers; ++who)
    for (int i = 1; i < count; i += 2) rows.insert(Code(prefix, who, i) + "=renamed");
  return rows;
}

// The rows of the table other than the shared one, as CODE=NAME; a doubled code would show twice.
std::multiset<std::string> StoredRows() {
  std::multiset<std::string> rows;
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select * from JB_TYPE_PROFILE where JB_TYPE_CODE <> 'SHARED'");
  for (; !rs->EOF_(); rs->MoveNext())
    rows.insert(CStr(rs->Field("JB_TYPE_CODE")) + "=" + CStr(rs->Field("JB_TYPE_NAME")));
  return rows;
}

class Concurrency : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (home_)
      S_DBHelpForKX().RunSQL(
          "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values "
          "('SHARED','none','TR')");
  }
  // Checks the table after all callers finished and reports the failures they met.
  void ExpectTheWorkOfEveryCaller(const std::string& prefix, int count,
                                  const std::vector<std::string>& failures) {
    EXPECT_TRUE(failures.empty()) << failures.size() << " calls failed, the first: " << failures.front();
    const std::set<std::string> expected = ExpectedRows(prefix, count);
    EXPECT_EQ(StoredRows(), std::multiset<std::string>(expected.begin(), expected.end()));
    const std::string shared =
        CStr(S_DBHelpForKX()
                 .RunSQLReturnRS("select JB_TYPE_NAME from JB_TYPE_PROFILE where JB_TYPE_CODE = 'SHARED'")
                 ->Field("JB_TYPE_NAME"));
    EXPECT_EQ(shared.rfind("by ", 0), 0u) << shared;
  }
};

// Runs the work of every caller at once, each on a thread of its own that makes its calls with
// `call`, which answers what went wrong (empty when nothing did); returns what went wrong.
std::vector<std::string> RunCallers(
    const std::string& prefix, int count,
    const std::function<std::string(const std::string&, const std::string&)>& call) {
  std::mutex mutex;
  std::vector<std::string> failures;
  std::vector<std::thread> callers;
  for (int who = 0; who < kCallers; ++who) {
    callers.emplace_back([&, who] {
      Work(prefix, who, count, [&](const std::string& member, const std::string& argument) {
        if (const std::string failure = call(member, argument); !failure.empty()) {
          std::lock_guard lock(mutex);
          failures.push_back(member + " " + argument + ": " + failure);
        }
      });
    });
  }
  for (auto& t : callers) t.join();
  return failures;
}

TEST_P(Concurrency, ThreadsOfOneProcess) {
  const uint64_t gateWaitsBefore = db::SqliteGateWaits();
  const auto failures =
      RunCallers("T", kProfilesPerThread, [](const std::string& member, const std::string& argument) {
        // As a host runs a call: a transaction scope around one late-bound call.
        try {
          TransactionScope scope;
          auto controller = Registry::Instance().Create("C_JBTypeProfile");
          Args args = {Variant(argument)};
          Registry::Instance().Invoke(*controller, member, args);
          return std::string(scope.Complete() ? "" : "aborted");
        } catch (const std::exception& e) {
          return std::string(e.what());
        }
      });
  ExpectTheWorkOfEveryCaller("T", kProfilesPerThread, failures);
  // Writers of one process that meet each other queue at their file's gate, not at SQLite's lock
  // (where they would sleep in the busy handler): with four writers at once some always meet.
  if (GetParam() == "SQLite") EXPECT_GT(db::SqliteGateWaits(), gateWaitsBefore);
}

TEST_P(Concurrency, SeparateProcesses) {
  const auto failures =
      RunCallers("P", kProfilesPerProcess, [this](const std::string& member, const std::string& argument) {
        const CommandOutcome r =
            RunKx(*home_, "--quiet call C_JBTypeProfile " + member + " " + ShellQuoted(argument));
        return r.exitCode == 0 ? std::string() : r.err;
      });
  ExpectTheWorkOfEveryCaller("P", kProfilesPerProcess, failures);
}

KX_ENGINE_SUITE(Concurrency);

}  // namespace
}  // namespace kx::test
