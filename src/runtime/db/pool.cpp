// The pool of idle connections, per connection string, and the leases calls hold.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "runtime/db/connection.h"

namespace kx::db {

// A slot lives as long as the process: leases point at it, and the connection strings of one
// process are few.
struct PoolSlot {
  std::string key;
  std::vector<std::unique_ptr<Connection>> idle;  // guarded by the pool's mutex
};

namespace {

struct Pool {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<PoolSlot>, std::less<>> slots;

  // The slot of `key` (the pool's mutex held).
  PoolSlot& SlotFor(const std::string& key) {
    auto& slot = slots[key];
    if (!slot) slot = std::make_unique<PoolSlot>(PoolSlot{key, {}});
    return *slot;
  }
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // outlives every lease, also at exit
  return *pool;
}

constexpr size_t kMaxIdlePerKey = 8;

std::atomic<size_t> leased{0};
std::atomic<uint64_t> reused{0}, opened{0}, openNanoseconds{0};

}  // namespace

Lease::Lease(PoolSlot* slot, std::unique_ptr<Connection> connection, bool fresh)
    : slot_(slot), connection_(std::move(connection)), fresh_(fresh) {
  if (connection_) ++leased;
}

const std::string& Lease::key() const {
  static const std::string none;
  return slot_ ? slot_->key : none;
}

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Release();
    slot_ = other.slot_;
    connection_ = std::move(other.connection_);
    fresh_ = other.fresh_;
  }
  return *this;
}

Lease::~Lease() { Release(); }

void Lease::Discard() {
  if (!connection_) return;
  --leased;
  connection_.reset();
}

void Lease::Release() {
  if (!connection_) return;
  --leased;
  if (connection_->Healthy()) {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    auto& list = slot_->idle;
    if (list.size() < kMaxIdlePerKey) {
      list.push_back(std::move(connection_));
      return;
    }
  }
  connection_.reset();
}

// A new connection for the target, its lease returning it to `slot` (null: the target's own).
Lease OpenConnection(const Target& target, PoolSlot* slot);

Lease AcquireConnection(const Target& target) {
  Pool& pool = ThePool();
  PoolSlot* slot = nullptr;
  for (;;) {
    std::unique_ptr<Connection> connection;
    {
      std::lock_guard lock(pool.mutex);
      if (!slot) slot = &pool.SlotFor(target.connectionString);
      auto& list = slot->idle;
      if (list.empty()) break;
      connection = std::move(list.back());
      list.pop_back();
    }
    // A connection whose server went away (a restart) is dropped, as is one that cannot be reset.
    if (!connection->Healthy() || !connection->Alive()) continue;
    try {
      connection->ResetIsolation();
      connection->ApplyLimits(target.limits);
    } catch (const DatabaseError&) {
      continue;
    }
    ++reused;
    return Lease(slot, std::move(connection), /*fresh=*/false);
  }
  return OpenConnection(target, slot);
}

Lease OpenConnection(const Target& target) { return OpenConnection(target, nullptr); }

Lease OpenConnection(const Target& target, PoolSlot* slot) {
  // Counted also when the opening fails: the time is what the call waited.
  struct Count {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    ~Count() {
      ++opened;
      openNanoseconds += static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
    }
  } count;
  std::unique_ptr<Connection> connection =
      Open(ConnectionInfo::Parse(target.connectionString), OpenMode::Existing, target.limits);
  if (!slot) {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    slot = &pool.SlotFor(target.connectionString);
  }
  Lease lease(slot, std::move(connection), /*fresh=*/true);
  lease->ResetIsolation();
  return lease;
}

PoolStats PoolStatistics() {
  PoolStats stats;
  {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    for (const auto& [key, slot] : pool.slots) stats.idle += slot->idle.size();
  }
  stats.leased = leased;
  stats.reused = reused;
  stats.opened = opened;
  stats.openSeconds = static_cast<double>(openNanoseconds.load()) / 1e9;
  return stats;
}

void ClearPool() {
  Pool& pool = ThePool();
  std::vector<std::unique_ptr<Connection>> closing;  // closed once the lock is let go
  std::lock_guard lock(pool.mutex);
  for (auto& [key, slot] : pool.slots)
    for (auto& connection : slot->idle) closing.push_back(std::move(connection));
  for (auto& [key, slot] : pool.slots) slot->idle.clear();
}

}  // namespace kx::db
