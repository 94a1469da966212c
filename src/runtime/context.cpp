#include "runtime/context.h"

#include <optional>

#include "kx/error.h"
#include "runtime/file_watch.h"
#include "runtime/votes.h"

namespace kx {
namespace {

thread_local TransactionScope* currentScope = nullptr;

}  // namespace

struct TransactionScope::Held {
  std::shared_ptr<const db::Target> target;
  std::string configPath;
  std::shared_ptr<const IniFile> config;
  db::Lease lease;
};

// A call does not allocate its holdings, nor the room for its settings path, afresh.
std::unique_ptr<TransactionScope::Held>& TransactionScope::spare() {
  thread_local std::unique_ptr<Held> held;
  return held;
}

TransactionScope::Held& TransactionScope::held() {
  if (!held_) {
    auto& kept = spare();
    held_ = kept ? std::move(kept) : std::make_unique<Held>();
  }
  return *held_;
}

TransactionScope::TransactionScope() : previous_(currentScope), previousCall_(BeginCall()) { currentScope = this; }

TransactionScope::~TransactionScope() {
  if (held_) {
    if (!ended_ && held_->lease) {
      try {
        held_->lease->Rollback();
      } catch (...) {
        // The connection is dropped below if it can no longer be used.
      }
    }
    held_->lease = db::Lease();
    held_->target.reset();
    held_->config.reset();
    held_->configPath.clear();
    if (auto& kept = spare(); !kept) kept = std::move(held_);
  }
  currentScope = previous_;
  EndCall(previousCall_);
}

TransactionScope* TransactionScope::Current() { return currentScope; }

bool TransactionScope::Complete() {
  if (ended_) throw db::DatabaseError("The transaction scope has already ended");
  ended_ = true;
  if (!held_ || !held_->lease) return !aborted_;
  db::Lease& lease = held_->lease;
  if (aborted_) {
    lease->Rollback();
    return false;
  }
  try {
    lease->Commit();
  } catch (...) {
    lease->Rollback();
    throw;
  }
  return true;
}

const std::shared_ptr<const db::Target>& TransactionScope::TargetFor(
    const std::function<std::shared_ptr<const db::Target>()>& workOut) {
  Held& h = held();
  if (!h.target) h.target = workOut();
  return h.target;
}

std::shared_ptr<const IniFile> TransactionScope::Config(const std::string& path) {
  Held& h = held();
  if (!h.config || h.configPath != path) {
    h.config = IniFile::Load(path);
    h.configPath = path;
  }
  return h.config;
}

std::shared_ptr<const IniFile> CallConfig(const std::string& path) {
  if (auto* scope = TransactionScope::Current()) return scope->Config(path);
  return IniFile::Load(path);
}

db::Connection& TransactionScope::ConnectionFor(const db::Target& target) {
  if (ended_) throw db::DatabaseError("The transaction scope has already ended");
  Held& h = held();
  if (!h.lease) {
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
    h.lease = std::move(lease);
  } else if (h.lease.key() != target.connectionString) {
    throw db::DatabaseError("One call cannot write to two databases within one transaction");
  }
  return *h.lease;
}

void CtxSetComplete() {
  if (auto* scope = TransactionScope::Current()) scope->VoteComplete();
}

void CtxSetAbort() {
  if (auto* scope = TransactionScope::Current()) scope->VoteAbort();
}

}  // namespace kx
