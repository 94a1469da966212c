#include "fault_injection.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "runtime/context.h"
#include "runtime/db/statement.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::test {
namespace {

// A real connection that fails where its plan says and counts what it is asked to do.
class FaultyConnection : public db::Connection {
 public:
  FaultyConnection(std::unique_ptr<db::Connection> inner, FaultPlan plan, std::shared_ptr<FaultLog> log)
      : inner_(std::move(inner)), plan_(plan), log_(std::move(log)) {}

  db::Engine engine() const override { return inner_->engine(); }
  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    Statement(sql, [&] { inner_->Execute(sql, params); });
  }
  std::shared_ptr<db::Recordset> Run(const db::Statement& statement) override {
    std::shared_ptr<db::Recordset> rows;
    Statement(statement.Shown(), [&] { rows = inner_->Run(statement); });
    return rows;
  }
  void ExecuteScript(const std::string& sql) override { inner_->ExecuteScript(sql); }
  std::shared_ptr<db::Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    std::shared_ptr<db::Recordset> rows;
    Statement(sql, [&] { rows = inner_->Query(sql, params); });
    return rows;
  }
  std::shared_ptr<db::Recordset> CallProcedure(const std::string& name,
                                               const std::vector<db::ProcedureArgument>& args) override {
    std::shared_ptr<db::Recordset> rows;
    Statement(name, [&] { rows = inner_->CallProcedure(name, args); });
    return rows;
  }
  void ResetIsolation() override { inner_->ResetIsolation(); }
  void ApplyLimits(const db::Limits& limits) override { inner_->ApplyLimits(limits); }
  void Begin() override {
    log_->begins++;
    if (plan_.failBegin) Fail();
    inner_->Begin();
  }
  void Commit() override {
    log_->commits++;
    if (plan_.failCommit) Fail();
    inner_->Commit();
  }
  void Rollback() override {
    log_->rollbacks++;
    inner_->Rollback();
  }
  bool Healthy() const override { return !lost_ && inner_->Healthy(); }
  bool Alive() override { return !lost_ && inner_->Alive(); }

 private:
  // Runs one statement (`text` names it in the log), failing it when it is the planned one.
  void Statement(const std::string& text, const std::function<void()>& run) {
    log_->statements++;
    log_->Record(text);
    const bool fails = ++count_ == plan_.failStatement;
    if (!fails || plan_.runFailingStatement) run();
    if (fails) Fail();
  }
  [[noreturn]] void Fail() {
    log_->injected++;
    if (plan_.loseConnection) lost_ = true;
    throw db::DatabaseError(kInjectedFailure, plan_.category, "injected");
  }

  std::unique_ptr<db::Connection> inner_;
  FaultPlan plan_;
  std::shared_ptr<FaultLog> log_;
  int count_ = 0;
  bool lost_ = false;
};

// How one run of a call ended: its error description, or empty when it succeeded.
std::string RunCall(const std::function<void()>& call, bool complete = true) {
  try {
    TransactionScope scope;
    call();
    if (complete && !scope.Complete()) return "the call voted abort";
  } catch (const std::exception& e) {
    const std::string text = e.what();
    return text.empty() ? "failed" : text;
  }
  return {};
}

}  // namespace

std::vector<std::string> FaultLog::Texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

void FaultLog::Record(const std::string& text) {
  std::lock_guard lock(mutex_);
  texts_.push_back(text);
}

TableDump DumpTables() {
  S_DBHelpForKX helper;
  const auto engine = db::ConnectionInfo::Parse(helper.GetConnectionString()).engine;
  const std::string tables =
      engine == db::Engine::PostgreSQL
          ? "select table_name as NAME from information_schema.tables where table_schema = current_schema() "
            "and table_type = 'BASE TABLE'"
          : "select name as NAME from sqlite_master where type = 'table' and name not like 'sqlite%'";
  TableDump dump;
  for (auto names = helper.RunSQLReturnRS(tables); !names->EOF_(); names->MoveNext()) {
    const std::string table = CStr(names->Field("NAME"));
    auto& rows = dump[table];
    for (auto rs = helper.RunSQLReturnRS("select * from " + table); !rs->EOF_(); rs->MoveNext()) {
      std::string row;
      for (const auto& column : rs->Columns()) {
        const Variant& value = rs->Field(column);
        row += column + "=" + (value.IsNull() ? std::string("NULL") : CStr(value)) + "; ";
      }
      rows.push_back(std::move(row));
    }
    std::sort(rows.begin(), rows.end());
  }
  return dump;
}

void ExpectAllOrNothing(const TestHome& home, const std::string& className, const std::string& member,
                        const Args& args) {
  SCOPED_TRACE("in " + home.folder());
  ExpectAllOrNothing(
      className + "." + member,
      [&] {
        auto object = Registry::Instance().Create(className);
        Args copy = args;
        Registry::Instance().Invoke(*object, member, copy);
      },
      /*keep=*/true);
}

void ExpectAllOrNothing(const std::string& name, const std::function<void()>& call, bool keep) {
  SCOPED_TRACE(name);
  const TableDump before = DumpTables();
  int statements = 0;
  {
    // A run that is not completed counts the statements of the call and keeps nothing.
    FaultInjector counter(FaultPlan{});
    EXPECT_EQ(RunCall(call, /*complete=*/false), "");
    statements = counter.log().statements;
  }
  EXPECT_EQ(DumpTables(), before) << "a call that is not completed left rows behind";
  ASSERT_GT(statements, 0) << "the call ran no statement";

  std::vector<std::pair<std::string, FaultPlan>> faults;
  for (int n = 1; n <= statements; ++n) {
    for (bool ran : {false, true}) {
      FaultPlan plan;
      plan.failStatement = n;
      plan.runFailingStatement = ran;
      faults.emplace_back("statement " + std::to_string(n) + (ran ? " (it ran)" : ""), plan);
    }
  }
  FaultPlan commit;
  commit.failCommit = true;
  faults.emplace_back("commit", commit);
  for (const auto& [where, plan] : faults) {
    SCOPED_TRACE("failure at " + where);
    std::string outcome;
    {
      FaultInjector injector(plan);
      outcome = RunCall(call);
      EXPECT_EQ(injector.log().injected, 1);
    }
    // The call fails; its report names the injected failure unless the member replaces the error by
    // one of its own (the job order number generation reports only an overflow).
    EXPECT_FALSE(outcome.empty()) << "the call succeeded although a statement failed";
    if (outcome.find("Overflow") == std::string::npos) {
      EXPECT_NE(outcome.find(kInjectedFailure), std::string::npos) << "the call reported: " << outcome;
    }
    EXPECT_EQ(DumpTables(), before);
  }

  if (keep) {
    EXPECT_EQ(RunCall(call), "");
    EXPECT_NE(DumpTables(), before) << "the call changed nothing";
    return;
  }
  // The call succeeds and writes, seen from inside its transaction, which then rolls back.
  {
    TransactionScope scope;
    call();
    EXPECT_NE(DumpTables(), before) << "the call changed nothing";
  }
  EXPECT_EQ(DumpTables(), before);
}

FaultInjector::FaultInjector(std::function<FaultPlan(int)> planFor) {
  db::SetConnectionDecorator(
      [planFor = std::move(planFor), log = log_](std::unique_ptr<db::Connection> inner) {
        const int number = ++log->connections;
        return std::unique_ptr<db::Connection>(
            std::make_unique<FaultyConnection>(std::move(inner), planFor(number), log));
      });
}

FaultInjector::FaultInjector(const FaultPlan& plan) : FaultInjector([plan](int) { return plan; }) {}

FaultInjector::~FaultInjector() { db::SetConnectionDecorator(nullptr); }

}  // namespace kx::test
