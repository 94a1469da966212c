#include "fault_injection.h"

#include <string>
#include <utility>
#include <vector>

namespace kx::test {
namespace {

// A real connection that fails where its plan says and counts what it is asked to do.
class FaultyConnection : public db::Connection {
 public:
  FaultyConnection(std::unique_ptr<db::Connection> inner, FaultPlan plan, std::shared_ptr<FaultLog> log)
      : inner_(std::move(inner)), plan_(plan), log_(std::move(log)) {}

  db::Engine engine() const override { return inner_->engine(); }
  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    Statement([&] { inner_->Execute(sql, params); });
  }
  void ExecuteScript(const std::string& sql) override { inner_->ExecuteScript(sql); }
  std::shared_ptr<db::Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    std::shared_ptr<db::Recordset> rows;
    Statement([&] { rows = inner_->Query(sql, params); });
    return rows;
  }
  std::shared_ptr<db::Recordset> CallProcedure(const std::string& name,
                                               const std::vector<db::ProcedureArgument>& args) override {
    std::shared_ptr<db::Recordset> rows;
    Statement([&] { rows = inner_->CallProcedure(name, args); });
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
  // Runs one statement, failing it when it is the planned one.
  void Statement(const std::function<void()>& run) {
    log_->statements++;
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

}  // namespace

FaultInjector::FaultInjector(std::function<FaultPlan(int)> planFor) {
  db::SetConnectionDecorator([planFor = std::move(planFor), log = log_](std::unique_ptr<db::Connection> inner) {
    const int number = ++log->connections;
    return std::unique_ptr<db::Connection>(
        std::make_unique<FaultyConnection>(std::move(inner), planFor(number), log));
  });
}

FaultInjector::FaultInjector(const FaultPlan& plan) : FaultInjector([plan](int) { return plan; }) {}

FaultInjector::~FaultInjector() { db::SetConnectionDecorator(nullptr); }

}  // namespace kx::test
