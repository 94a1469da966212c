// The transaction scope a host opens around one call: every statement of the call runs on one
// connection in one database transaction, committed when the call completes without an abort vote.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kx {

class IniFile;
namespace db {
class Connection;
struct Target;
}  // namespace db

class TransactionScope {
 public:
  // Opens a scope on this thread; scopes nest, the innermost is current.
  TransactionScope();
  // Rolls back whatever the scope wrote unless Complete() committed it.
  ~TransactionScope();
  TransactionScope(const TransactionScope&) = delete;
  TransactionScope& operator=(const TransactionScope&) = delete;

  // The scope of the running call, or nullptr outside any scope.
  static TransactionScope* Current();

  void VoteComplete() { completeVotes_++; }
  void VoteAbort() { aborted_ = true; }
  bool aborted() const { return aborted_; }
  // How many complete votes the call cast (an abort vote outweighs them all).
  int completeVotes() const { return completeVotes_; }

  // Ends the call: commits when no abort vote was cast, otherwise rolls back. A failing commit
  // throws. Returns true when the work was committed.
  bool Complete();

  // What the library's own database road uses (S_DBHelpForKX):

  // The database target of the call: worked out by `workOut` on first use, then kept for the
  // scope's life (Config.ini is not looked at again within one call).
  const std::shared_ptr<const db::Target>& TargetFor(
      const std::function<std::shared_ptr<const db::Target>()>& workOut);

  // The INI file at `path` as this call sees it: read on first use, then kept for the scope's life,
  // so that one call looks at Config.ini once and every part of it reads the same settings.
  std::shared_ptr<const IniFile> Config(const std::string& path);

  // The scope's connection for the target, opened and begun on first use. A scope holds one
  // connection; a second database within one call is refused.
  db::Connection& ConnectionFor(const db::Target& target);

 private:
  // The call's target, settings and connection, made on first use.
  struct Held;
  Held& held();
  // The holdings of the last scope that ended on this thread, emptied, kept for the next one.
  static std::unique_ptr<Held>& spare();
  TransactionScope* previous_;
  uint64_t previousCall_;  // the call this scope's call is nested in (the file watch's count)
  std::unique_ptr<Held> held_;
  bool aborted_ = false;
  bool ended_ = false;
  int completeVotes_ = 0;
};

}  // namespace kx
