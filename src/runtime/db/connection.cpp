#include "runtime/db/connection.h"

#include <string.h>
#include <strings.h>

#include <atomic>
#include <optional>
#include <chrono>
#include <map>
#include <mutex>

#include "kx/error.h"
#include "kx/host.h"

namespace kx::db {

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
  } else if (strcasecmp(provider.c_str(), "SQLOLEDB") == 0 || strcasecmp(provider.c_str(), "ODBC") == 0) {
    engine = Engine::SqlServer;
  } else {
    return false;
  }
  return true;
}

std::string OdbcValue(const std::string& value) {
  if (value.find_first_of(";{}= ") == std::string::npos) return value;
  std::string out = "{";
  for (const char c : value) out += c == '}' ? std::string("}}") : std::string(1, c);
  return out + "}";
}

namespace {

// The value of `key` in the ODBC connection string `odbc`, when the string names it.
std::optional<std::string> FindOdbcAttribute(std::string_view odbc, std::string_view key) {
  for (size_t pos = 0; pos < odbc.size();) {
    const size_t equals = odbc.find('=', pos);
    if (equals == std::string_view::npos) break;
    std::string_view name = odbc.substr(pos, equals - pos);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    std::string value;
    size_t next = equals + 1;
    if (next < odbc.size() && odbc[next] == '{') {
      // In braces, up to the "}" that is not doubled.
      for (++next; next < odbc.size(); ++next) {
        if (odbc[next] == '}') {
          if (next + 1 < odbc.size() && odbc[next + 1] == '}') {
            ++next;
          } else {
            ++next;
            break;
          }
        }
        value += odbc[next];
      }
      next = odbc.find(';', next);
    } else {
      const size_t end = odbc.find(';', next);
      value = odbc.substr(next, end == std::string_view::npos ? std::string_view::npos : end - next);
      next = end;
    }
    if (name.size() == key.size() && strncasecmp(name.data(), key.data(), key.size()) == 0) return value;
    if (next == std::string_view::npos) break;
    pos = next + 1;
  }
  return std::nullopt;
}

}  // namespace

std::string OdbcAttribute(std::string_view odbc, std::string_view key) {
  return FindOdbcAttribute(odbc, key).value_or(std::string());
}

bool OdbcNames(std::string_view odbc, std::string_view key) { return FindOdbcAttribute(odbc, key).has_value(); }

std::string SqlServerOdbc(const ConnectionInfo& info) {
  // The driver the connection string names ("Extended Properties=Driver=...;"), FreeTDS by default.
  std::string driver = info.odbc.empty() ? "Driver=FreeTDS;" : info.odbc;
  if (driver.back() != ';') driver += ';';
  return driver + "Server=" + OdbcValue(info.dataSource) + ";Database=" + OdbcValue(info.catalog) +
         ";UID=" + OdbcValue(info.user) + ";PWD=" + OdbcValue(info.password) + ";TDS_Version=7.4;ClientCharset=UTF-8;";
}

ConnectionInfo ConnectionInfo::Parse(const std::string& cs) {
  // The values are written without quoting, so the fixed markers delimit them; the password is
  // everything up to the final Connect Timeout, so it may itself hold a semicolon.
  static const char* const kMarkers[] = {"Provider=", ";Data Source=", ";Initial Catalog=",
                                         ";User Id=", ";Password="};
  ConnectionInfo info;
  std::string* fields[] = {&info.provider, &info.dataSource, &info.catalog, &info.user, &info.password};
  // The ODBC connection string comes last, as it stands.
  std::string_view head = cs;
  if (const auto odbc = cs.find(";Extended Properties="); odbc != std::string::npos) {
    info.odbc = cs.substr(odbc + 21);
    head = std::string_view(cs).substr(0, odbc + 1);
  }
  const auto tail = head.rfind(";Connect Timeout=");
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string marker = kMarkers[i];
    const auto at = head.find(marker, pos);
    if (at == std::string::npos || (i == 0 && at != 0) || (tail != std::string::npos && at > tail))
      throw DatabaseError("Invalid connection string attribute", ErrorCategory::Connection);
    const size_t start = at + marker.size();
    size_t end = i < 4 ? head.find(kMarkers[i + 1], start) : (tail == std::string::npos ? head.size() : tail);
    if (end == std::string::npos)
      throw DatabaseError("Invalid connection string attribute", ErrorCategory::Connection);
    *fields[i] = std::string(head.substr(start, end - start));
    pos = end;
  }
  if (tail != std::string::npos) {
    try {
      info.timeoutSeconds = std::stoi(std::string(head.substr(tail + 17)));
    } catch (...) {
      info.timeoutSeconds = 10;
    }
  }
  if (!EngineOfProvider(info.provider, info.engine))
    throw DatabaseError("Provider cannot be found. It may not be properly installed. (" + info.provider + ")",
                        ErrorCategory::Connection);
  if (strcasecmp(info.provider.c_str(), "SQLOLEDB") == 0) info.odbc = SqlServerOdbc(info);
  if (strcasecmp(info.provider.c_str(), "ODBC") == 0) {
    const std::string driver = OdbcAttribute(info.odbc, "Driver");
    if (strcasestr(driver.c_str(), "sqlite")) info.engine = Engine::SQLite;
    if (strcasestr(driver.c_str(), "postgres")) info.engine = Engine::PostgreSQL;
  }
  return info;
}

namespace {

// Opens a connection through the driver module `module`, loaded on first use and kept loaded.
std::unique_ptr<Connection> OpenThroughModule(const char* module, const char* entryName, const char* what,
                                              const ConnectionInfo& info, const Limits& limits) {
  static std::mutex mutex;
  static std::map<std::string, PostgresEntry*> entries;
  PostgresEntry* entry = nullptr;
  {
    std::lock_guard lock(mutex);
    entry = entries[module];
    if (!entry) {
      std::string why;
      entry = reinterpret_cast<PostgresEntry*>(ModuleEntry(module, entryName, why));
      if (!entry)
        throw DatabaseError(std::string("The ") + what + " driver cannot be loaded: " + why, ErrorCategory::Connection);
      entries[module] = entry;
    }
  }
  std::unique_ptr<Connection> connection;
  entry(info, limits, connection);
  return connection;
}

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const ConnectionInfo& info, const Limits& limits) {
  return OpenThroughModule(kPostgresModule, kPostgresEntry, "PostgreSQL", info, limits);
}

std::unique_ptr<Connection> OpenOdbc(const ConnectionInfo& info, const Limits& limits) {
  return OpenThroughModule(kOdbcModule, kOdbcEntry, "ODBC", info, limits);
}

namespace {

std::mutex decoratorMutex;
ConnectionDecorator decorator;

std::unique_ptr<Connection> OpenEngine(const ConnectionInfo& info, OpenMode mode, const Limits& limits) {
  if (!info.odbc.empty()) return OpenOdbc(info, limits);
  switch (info.engine) {
    case Engine::SQLite: return OpenSqlite(info, mode, limits);
    case Engine::PostgreSQL: return OpenPostgres(info, limits);
    case Engine::SqlServer: break;
  }
  throw DatabaseError(
      "The connection string names no ODBC connection for provider " + info.provider,
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

}  // namespace kx::db
