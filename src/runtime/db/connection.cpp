#include "runtime/db/connection.h"

#include <strings.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "kx/error.h"
#include "kx/host.h"

namespace kx::db {

const std::map<std::string, std::string>& DatabaseScripts();

std::string_view CategoryName(ErrorCategory category) {
  switch (category) {
    case ErrorCategory::Constraint: return "constraint";
    case ErrorCategory::Busy: return "busy";
    case ErrorCategory::Connection: return "connection";
    case ErrorCategory::Syntax: return "syntax";
    case ErrorCategory::Other: break;
  }
  return "other";
}

ErrorCategory PostgresErrorCategory(std::string_view state) {
  const std::string_view cls = state.substr(0, 2);
  if (cls == "23") return ErrorCategory::Constraint;
  // Serialization failure, deadlock, lock not available, object in use.
  if (state == "40001" || state == "40P01" || state == "55P03" || state == "55006")
    return ErrorCategory::Busy;
  // Connection exceptions, refused logins, a missing database, a server shutting down or full.
  if (cls == "08" || cls == "28" || state == "3D000" || state == "57P01" || state == "57P02" ||
      state == "57P03" || state == "53300")
    return ErrorCategory::Connection;
  if (cls == "42") return ErrorCategory::Syntax;
  return ErrorCategory::Other;
}

std::string StatementTimeoutNote(int seconds) {
  return " (the statement time limit of " + std::to_string(seconds) +
         (seconds == 1 ? " second" : " seconds") + ", STATEMENTTIMEOUT in section DATABASE of Config.ini)";
}

DatabaseError::DatabaseError(const std::string& text, ErrorCategory category, std::string nativeCode)
    : std::runtime_error(Abbreviate(text)), category_(category), nativeCode_(std::move(nativeCode)) {}

bool EngineOfProvider(const std::string& provider, Engine& engine) {
  if (strcasecmp(provider.c_str(), "SQLite") == 0) {
    engine = Engine::SQLite;
  } else if (strcasecmp(provider.c_str(), "PostgreSQL") == 0) {
    engine = Engine::PostgreSQL;
  } else if (strcasecmp(provider.c_str(), "SQLOLEDB") == 0) {
    engine = Engine::SqlServer;
  } else {
    return false;
  }
  return true;
}

ConnectionInfo ConnectionInfo::Parse(const std::string& cs) {
  // The values are written without quoting, so the fixed markers delimit them; the password is
  // everything up to the final Connect Timeout, so it may itself hold a semicolon.
  static const char* const kMarkers[] = {"Provider=", ";Data Source=", ";Initial Catalog=",
                                         ";User Id=", ";Password="};
  ConnectionInfo info;
  std::string* fields[] = {&info.provider, &info.dataSource, &info.catalog, &info.user, &info.password};
  const auto tail = cs.rfind(";Connect Timeout=");
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string marker = kMarkers[i];
    const auto at = cs.find(marker, pos);
    if (at == std::string::npos || (i == 0 && at != 0) || (tail != std::string::npos && at > tail))
      throw DatabaseError("Invalid connection string attribute", ErrorCategory::Connection);
    const size_t start = at + marker.size();
    size_t end = i < 4 ? cs.find(kMarkers[i + 1], start) : (tail == std::string::npos ? cs.size() : tail);
    if (end == std::string::npos)
      throw DatabaseError("Invalid connection string attribute", ErrorCategory::Connection);
    *fields[i] = cs.substr(start, end - start);
    pos = end;
  }
  if (tail != std::string::npos) {
    try {
      info.timeoutSeconds = std::stoi(cs.substr(tail + 17));
    } catch (...) {
      info.timeoutSeconds = 10;
    }
  }
  if (!EngineOfProvider(info.provider, info.engine))
    throw DatabaseError("Provider cannot be found. It may not be properly installed. (" + info.provider + ")",
                        ErrorCategory::Connection);
  return info;
}

std::unique_ptr<Connection> OpenPostgres(const ConnectionInfo& info, const Limits& limits) {
  static std::mutex mutex;
  static PostgresEntry* entry = nullptr;  // the module stays loaded once found
  {
    std::lock_guard lock(mutex);
    if (!entry) {
      std::string why;
      entry = reinterpret_cast<PostgresEntry*>(ModuleEntry(kPostgresModule, kPostgresEntry, why));
      if (!entry)
        throw DatabaseError("The PostgreSQL driver cannot be loaded: " + why, ErrorCategory::Connection);
    }
  }
  std::unique_ptr<Connection> connection;
  entry(info, limits, connection);
  return connection;
}

namespace {

std::mutex decoratorMutex;
ConnectionDecorator decorator;

std::unique_ptr<Connection> OpenEngine(const ConnectionInfo& info, OpenMode mode, const Limits& limits) {
  switch (info.engine) {
    case Engine::SQLite: return OpenSqlite(info, mode, limits);
    case Engine::PostgreSQL: return OpenPostgres(info, limits);
    case Engine::SqlServer: break;
  }
  throw DatabaseError(
      "The SQL Server engine (provider SQLOLEDB) is not supported by this build of KX; "
      "set PROVIDER to SQLite or PostgreSQL in section DATABASE of Config.ini",
      ErrorCategory::Connection);
}

}  // namespace

std::unique_ptr<Connection> Open(const ConnectionInfo& info, OpenMode mode, const Limits& limits) {
  auto connection = OpenEngine(info, mode, limits);
  ConnectionDecorator wrap;
  {
    std::lock_guard lock(decoratorMutex);
    wrap = decorator;
  }
  return wrap ? wrap(std::move(connection)) : std::move(connection);
}

void SetConnectionDecorator(ConnectionDecorator next) {
  {
    std::lock_guard lock(decoratorMutex);
    decorator = std::move(next);
  }
  ClearPool();
}

// ---- pool

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

std::vector<std::string> InstallScripts(Engine engine) {
  const std::string folder = engine == Engine::PostgreSQL ? "postgresql/" : "sqlite/";
  if (engine == Engine::SqlServer) throw DatabaseError("kx init does not support SQL Server");
  std::vector<std::string> scripts;
  for (const char* file : {"tables.sql", "procedures.sql"}) {
    const auto it = DatabaseScripts().find(folder + file);
    if (it != DatabaseScripts().end()) scripts.push_back(it->second);
  }
  return scripts;
}

void InstallDatabase(const std::string& connectionString) {
  const ConnectionInfo info = ConnectionInfo::Parse(connectionString);
  // Every script is idempotent, so a run that stops half-way is simply run again.
  auto connection = Open(info, OpenMode::Create);
  for (const auto& script : InstallScripts(info.engine)) connection->ExecuteScript(script);
}

}  // namespace kx::db
