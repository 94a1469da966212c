// Faults injected below the database helper: while an injector lives, every connection the database
// layer opens is wrapped, and the wrapper fails where its plan says.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/db/connection.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {

// The text of every injected failure.
inline constexpr const char* kInjectedFailure = "injected failure";

// Where a wrapped connection fails.
struct FaultPlan {
  // The Nth statement (from 1) run on the connection fails; 0: none does.
  int failStatement = 0;
  // The failing statement runs before its failure is reported (as when the answer is lost).
  bool runFailingStatement = false;
  bool failBegin = false;
  // The commit fails instead of committing.
  bool failCommit = false;
  db::ErrorCategory category = db::ErrorCategory::Other;
  // The failure also loses the connection: it reports itself unhealthy from then on.
  bool loseConnection = false;
};

// What the wrapped connections did, summed over all of them.
struct FaultLog {
  std::atomic<int> connections{0}, statements{0}, begins{0}, commits{0}, rollbacks{0}, injected{0};

  // The text of every statement asked for (a procedure: its name), in the order they came.
  std::vector<std::string> Texts() const;
  void Record(const std::string& text);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

// Installs the connection decorator for its lifetime (idle pooled connections are closed on both
// ends, so that calls use wrapped connections exactly while it lives).
class FaultInjector {
 public:
  // Each connection opened gets the plan `planFor(n)`, n counting connections from 1.
  explicit FaultInjector(std::function<FaultPlan(int)> planFor);
  // Every connection opened gets `plan`.
  explicit FaultInjector(const FaultPlan& plan);
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  const FaultLog& log() const { return *log_; }

 private:
  std::shared_ptr<FaultLog> log_ = std::make_shared<FaultLog>();
};

// Every table of the database of the current home, each as its rows in text, sorted.
using TableDump = std::map<std::string, std::vector<std::string>>;
TableDump DumpTables();

// Runs `member` of a new `className` through the registry inside a transaction scope, as a host
// does: once with a failure injected at each statement of the call in turn (before it runs, and
// after it ran with its answer lost) and once at the commit, checking after each that the call
// failed and every table is exactly as before; finally once without a failure, checking that the
// call succeeded and changed something.
void ExpectAllOrNothing(const TestHome& home, const std::string& className, const std::string& member,
                        const Args& args);
// The same for any call made by `call` (which must do the same work each time it runs), named `name`
// in failures. With `keep` false the last, successful run is rolled back as well, so that a table of
// calls can run one after another from the same rows.
void ExpectAllOrNothing(const std::string& name, const std::function<void()>& call, bool keep = false);

}  // namespace kx::test
