#include "runtime/context.h"

#include "runtime/error.h"
#include "runtime/votes.h"

namespace kx {
namespace {

thread_local TransactionScope* currentScope = nullptr;

}  // namespace

TransactionScope::TransactionScope() : previous_(currentScope) { currentScope = this; }

TransactionScope::~TransactionScope() {
  if (!ended_ && lease_) {
    try {
      lease_->Rollback();
    } catch (...) {
      // The connection is dropped below if it can no longer be used.
    }
  }
  lease_ = db::Lease();
  currentScope = previous_;
}

TransactionScope* TransactionScope::Current() { return currentScope; }

bool TransactionScope::Complete() {
  if (ended_) throw db::DatabaseError("The transaction scope has already ended");
  ended_ = true;
  if (!lease_) return !aborted_;
  if (aborted_) {
    lease_->Rollback();
    return false;
  }
  try {
    lease_->Commit();
  } catch (...) {
    lease_->Rollback();
    throw;
  }
  return true;
}

const db::Target& TransactionScope::TargetFor(const std::function<db::Target()>& workOut) {
  if (!target_) target_ = workOut();
  return *target_;
}

std::shared_ptr<const IniFile> TransactionScope::Config(const std::string& path) {
  if (!config_ || configPath_ != path) {
    config_ = IniFile::Load(path);
    configPath_ = path;
  }
  return config_;
}

std::shared_ptr<const IniFile> CallConfig(const std::string& path) {
  if (auto* scope = TransactionScope::Current()) return scope->Config(path);
  return IniFile::Load(path);
}

db::Connection& TransactionScope::ConnectionFor(const db::Target& target) {
  if (ended_) throw db::DatabaseError("The transaction scope has already ended");
  if (!lease_) {
    // The scope keeps the connection only once its transaction has begun.
    db::Lease lease = db::AcquireConnection(target);
    try {
      lease->Begin();
    } catch (const db::DatabaseError& e) {
      // A pooled connection that turns out to be lost before any statement of the call ran is
      // replaced once by a new one; nothing was written, so nothing can run twice.
      if (e.category() != db::ErrorCategory::Connection || lease.fresh()) throw;
      lease.Discard();
      lease = db::OpenConnection(target);
      lease->Begin();
    }
    lease_ = std::move(lease);
    key_ = target.connectionString;
  } else if (key_ != target.connectionString) {
    throw db::DatabaseError("One call cannot write to two databases within one transaction");
  }
  return *lease_;
}

void CtxSetComplete() {
  if (auto* scope = TransactionScope::Current()) scope->VoteComplete();
}

void CtxSetAbort() {
  if (auto* scope = TransactionScope::Current()) scope->VoteAbort();
}

}  // namespace kx
