// The database layer: one small driver interface that every engine implements, its errors, the
// connection string of the component, the limits of a call and the pool. Statement texts are read
// and adapted in sql_text.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/db/recordset.h"
#include "kx/error.h"
#include "kx/variant.h"

namespace kx::db {

enum class Engine { SQLite, PostgreSQL, SqlServer };

class Statement;

// The parts of the component's connection string
// "Provider=P;Data Source=S;Initial Catalog=D;User Id=U;Password=W;Connect Timeout=10;", which for
// a database reached through ODBC ends with "Extended Properties=" and the ODBC connection string.
struct ConnectionInfo {
  // The dialect expected: an ODBC connection reports its own once open (Connection::engine); until
  // then the driver's name tells it (SQLite's, PostgreSQL's), else it is SQL Server's.
  Engine engine = Engine::SQLite;
  std::string provider;
  std::string dataSource;
  std::string catalog;
  std::string user;
  std::string password;
  int timeoutSeconds = 10;
  std::string odbc;  // the ODBC connection string; empty for the engines' own drivers

  // Parses a connection string of the shape above; an unknown provider fails.
  static ConnectionInfo Parse(const std::string& connectionString);
};

// A value as an ODBC connection string holds it: in braces (a "}" doubled) when it holds a separator.
std::string OdbcValue(const std::string& value);
// The value of `key` (matched without regard to case) in the ODBC connection string `odbc`, read
// back from its braces; empty when the string names no such key.
std::string OdbcAttribute(std::string_view odbc, std::string_view key);
// Whether the ODBC connection string `odbc` names `key` (matched without regard to case), even
// with an empty value.
bool OdbcNames(std::string_view odbc, std::string_view key);

// The ODBC connection string of SQL Server (provider SQLOLEDB): the driver `info.odbc` names
// ("Driver=...;", FreeTDS when empty), then Server, Database, UID and PWD from the connection
// string's parts, TDS version 7.4 and UTF-8.
std::string SqlServerOdbc(const ConnectionInfo& info);

// Engine of a provider name ("SQLite", "PostgreSQL", "SQLOLEDB", "ODBC"), without regard to case;
// through ODBC the dialect is SQL Server's until the driver names the server.
bool EngineOfProvider(const std::string& provider, Engine& engine);

// The limits every call runs under (section DATABASE of Config.ini).
struct Limits {
  // STATEMENTTIMEOUT: how long one statement may run, in seconds; 0: no limit.
  int statementTimeoutSeconds = 30;
  // JIT=1: PostgreSQL may compile queries just in time; off otherwise.
  bool jit = false;
  bool operator==(const Limits&) const = default;
};

// What is appended to the engine's text when the statement time limit stopped a statement.
std::string StatementTimeoutNote(int seconds);

// Where the statements of a call go and the limits they run under.
struct Target {
  std::string connectionString;
  Limits limits;
};

// A procedure argument: name, ADO data type code, size and value (already converted to its type).
// The name is the caller's, held by it for the call.
struct ProcedureArgument {
  std::string_view name;
  int32_t type = 0;
  int32_t size = 0;
  Variant value;
};

// How many characters of a statement text or an engine's reason an error description holds, and
// the cut to that limit: those of every error (kx/error.h).
using kx::Abbreviate;
using kx::kDescriptionLimit;

// What kind of failure an engine reported. Each engine maps its own codes in one function.
using kx::ErrorCategory;

// The lower-case name of a category ("constraint", "busy", "connection", "syntax", "other").
std::string_view CategoryName(ErrorCategory category);

// The category of an SQLite result code (extended or primary); `preparing` tells that the failure
// came while the statement text was compiled, where a generic error means the text was refused.
ErrorCategory SqliteErrorCategory(int resultCode, bool preparing);
// The category of a PostgreSQL SQLSTATE ("23505", ...); an empty state is Other.
ErrorCategory PostgresErrorCategory(std::string_view sqlState);

// A database failure: the engine's own message text (cut to kDescriptionLimit characters), its
// category and the engine's native code.
class DatabaseError : public std::runtime_error, public CausedFailure {
 public:
  explicit DatabaseError(const std::string& text, ErrorCategory category = ErrorCategory::Other,
                         std::string nativeCode = {});
  ErrorCategory category() const noexcept { return category_; }
  // The engine's code: SQLite's extended result code in decimal, PostgreSQL's SQLSTATE; empty for
  // failures of the database layer itself.
  const std::string& nativeCode() const noexcept { return nativeCode_; }
  ErrorCause Cause() const override { return {category_, nativeCode_}; }

 private:
  ErrorCategory category_;
  std::string nativeCode_;
};


class Connection {
 public:
  virtual ~Connection() = default;
  virtual Engine engine() const = 0;
  // Runs a statement written for SQL Server (adapted to the engine) that returns no rows; `params`
  // are bound to its placeholders (`?`) in order, and a text with parameters is one statement.
  virtual void Execute(const std::string& sql, const std::vector<Variant>& params) = 0;
  void Execute(const std::string& sql) { Execute(sql, {}); }
  // Runs a statement the component built (statement.h), its values bound to its placeholders, and
  // returns its rows (none for a statement that returns none).
  virtual std::shared_ptr<Recordset> Run(const Statement& statement) = 0;
  // Runs the engine's own script of one or more statements, as it is.
  virtual void ExecuteScript(const std::string& sql) = 0;
  // Runs a statement like Execute and returns all its rows.
  virtual std::shared_ptr<Recordset> Query(const std::string& sql, const std::vector<Variant>& params) = 0;
  std::shared_ptr<Recordset> Query(const std::string& sql) { return Query(sql, {}); }
  // Runs the stored procedure `name` with its arguments bound in order and returns its rows; for an
  // insert procedure the one row holds the new key.
  virtual std::shared_ptr<Recordset> CallProcedure(const std::string& name,
                                                   const std::vector<ProcedureArgument>& args) = 0;
  // Inserts `rows` into `table`, the values of each in the order of `columns`, bound as they are (a
  // Null or Empty one as NULL), with as few statements as the engine takes (copy.cpp: statements of
  // many rows; PostgreSQL's own driver streams them with COPY).
  virtual void InsertRows(const std::string& table, const std::vector<std::string>& columns,
                          const std::vector<std::vector<Variant>>& rows);
  // Readies a pooled connection for its next call: a transaction left open is undone, and the
  // statements that follow run at READ COMMITTED.
  virtual void ResetIsolation() = 0;
  // Puts `limits` in force for the next statements; costs nothing when they are already in force.
  virtual void ApplyLimits(const Limits& limits) = 0;
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // False once the connection is lost and should not go back to the pool.
  virtual bool Healthy() const = 0;
  // Whether the server is still there, told without a round trip (a server that went away while
  // the connection was idle has closed it); a connection found dead is not used again.
  virtual bool Alive() = 0;
};

// Wraps every connection opened from now on (tests inject faults); an empty function wraps none.
// Idle pooled connections are closed, so that every later call gets a wrapped one.
using ConnectionDecorator = std::function<std::unique_ptr<Connection>(std::unique_ptr<Connection>)>;
void SetConnectionDecorator(ConnectionDecorator decorator);

// Whether opening may create the database: only setting up the database (`kx init`) creates the
// SQLite file; every other call on a missing file fails and creates nothing.
enum class OpenMode { Existing, Create };

std::unique_ptr<Connection> OpenSqlite(const ConnectionInfo& info, OpenMode mode, const Limits& limits);
// How often a writer on SQLite has found its database file's gate taken by another writer of this
// process and queued there (instead of meeting SQLite's write lock and sleeping in its busy handler).
uint64_t SqliteGateWaits();
// A PostgreSQL connection through the driver module beside the library (kPostgresModule), loaded
// on first use; a missing module fails with a connection error that names it.
std::unique_ptr<Connection> OpenPostgres(const ConnectionInfo& info, const Limits& limits);
// The file name of the PostgreSQL driver module and of its entry point, which opens a connection
// into `out`: void kx_open_postgres(const ConnectionInfo&, const Limits&, std::unique_ptr<Connection>& out).
inline constexpr const char* kPostgresModule = "libkx_postgres.so";
inline constexpr const char* kPostgresEntry = "kx_open_postgres";
using PostgresEntry = void(const ConnectionInfo&, const Limits&, std::unique_ptr<Connection>&);
// The same for any database through ODBC (unixODBC), the module libkx_odbc.so.
inline constexpr const char* kOdbcModule = "libkx_odbc.so";
inline constexpr const char* kOdbcEntry = "kx_open_odbc";
std::unique_ptr<Connection> OpenOdbc(const ConnectionInfo& info, const Limits& limits);
// The category of an ODBC SQLSTATE ("08S01", "23000", ...).
ErrorCategory OdbcErrorCategory(std::string_view sqlState);
// Opens a connection of the engine the info names, with `limits` in force.
std::unique_ptr<Connection> Open(const ConnectionInfo& info, OpenMode mode = OpenMode::Existing,
                                 const Limits& limits = {});

// The pool's place for the idle connections of one connection string (pool.cpp).
struct PoolSlot;

// A pooled connection; returned to the pool when released, unless it is no longer healthy.
class Lease {
 public:
  Lease() = default;
  Lease(PoolSlot* slot, std::unique_ptr<Connection> connection, bool fresh);
  Lease(Lease&&) noexcept = default;
  Lease& operator=(Lease&&) noexcept;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease();

  Connection& operator*() const { return *connection_; }
  Connection* operator->() const { return connection_.get(); }
  explicit operator bool() const { return connection_ != nullptr; }
  // True when the connection was opened for this lease rather than taken from the pool.
  bool fresh() const { return fresh_; }
  // The connection string the connection was opened for.
  const std::string& key() const;
  // Closes the connection instead of returning it to the pool.
  void Discard();

 private:
  void Release();
  PoolSlot* slot_ = nullptr;
  std::unique_ptr<Connection> connection_;
  bool fresh_ = false;
};

// A connection for the target's connection string with its limits in force: an idle pooled one
// that is still alive (dead ones are dropped), else a new one.
Lease AcquireConnection(const Target& target);
// A new connection for the target, never one from the pool.
Lease OpenConnection(const Target& target);
// Closes every idle pooled connection.
void ClearPool();

// What the pool holds and has done since the process started.
struct PoolStats {
  size_t idle = 0;         // connections waiting in the pool
  size_t leased = 0;       // connections in use by calls
  uint64_t reused = 0;     // leases served from the pool
  uint64_t opened = 0;     // leases that had to open a new connection
  double openSeconds = 0;  // time spent opening them: what calls waited for a connection
};
PoolStats PoolStatistics();

// The table and procedure scripts of an engine, in the order they run.
std::vector<std::string> InstallScripts(Engine engine);
// Creates the database (the SQLite file) and the component's database objects (idempotent).
void InstallDatabase(const std::string& connectionString);

}  // namespace kx::db
