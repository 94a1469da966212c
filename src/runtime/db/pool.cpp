// The pool of idle connections, per connection string, and the leases calls hold.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "runtime/db/connection.h"

namespace kx::db {

namespace {

struct Pool {
  std::mutex mutex;
  std::map<std::string, std::vector<std::unique_ptr<Connection>>> idle;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // outlives every lease, also at exit
  return *pool;
}

constexpr size_t kMaxIdlePerKey = 8;

std::atomic<size_t> leased{0};
std::atomic<uint64_t> reused{0}, opened{0}, openNanoseconds{0};

}  // namespace

Lease::Lease(std::string key, std::unique_ptr<Connection> connection, bool fresh)
    : key_(std::move(key)), connection_(std::move(connection)), fresh_(fresh) {
  if (connection_) ++leased;
}

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Release();
    key_ = std::move(other.key_);
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
    auto& list = pool.idle[key_];
    if (list.size() < kMaxIdlePerKey) {
      list.push_back(std::move(connection_));
      return;
    }
  }
  connection_.reset();
}

Lease AcquireConnection(const Target& target) {
  Pool& pool = ThePool();
  for (;;) {
    std::unique_ptr<Connection> connection;
    {
      std::lock_guard lock(pool.mutex);
      auto& list = pool.idle[target.connectionString];
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
    return Lease(target.connectionString, std::move(connection), /*fresh=*/false);
  }
  return OpenConnection(target);
}

Lease OpenConnection(const Target& target) {
  // Counted also when the opening fails: the time is what the call waited.
  struct Count {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    ~Count() {
      ++opened;
      openNanoseconds += static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
    }
  } count;
  Lease lease(target.connectionString,
              Open(ConnectionInfo::Parse(target.connectionString), OpenMode::Existing, target.limits),
              /*fresh=*/true);
  lease->ResetIsolation();
  return lease;
}

PoolStats PoolStatistics() {
  PoolStats stats;
  {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    for (const auto& [key, list] : pool.idle) stats.idle += list.size();
  }
  stats.leased = leased;
  stats.reused = reused;
  stats.opened = opened;
  stats.openSeconds = static_cast<double>(openNanoseconds.load()) / 1e9;
  return stats;
}

void ClearPool() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  pool.idle.clear();
}

}  // namespace kx::db
