// Any database through ODBC (unixODBC): SQL Server by its FreeTDS or Microsoft driver, and every
// other server with a driver. A connection speaks the dialect of the server its driver reports
// (SQL_DBMS_NAME): SQL Server's statements pass as they are written, SQLite and PostgreSQL get the
// adaptation their own drivers give. Values always travel bound: as UTF-16 text, and on SQLite as
// its own driver binds them (numbers as numbers, text as UTF-8 bytes).
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/db/connection.h"
#include "runtime/db/sql_text.h"
#include "runtime/db/statement.h"

namespace kx::db {

ErrorCategory OdbcErrorCategory(std::string_view state) {
  if (state.size() != 5) return ErrorCategory::Other;
  const std::string_view cls = state.substr(0, 2);
  if (cls == "08") return ErrorCategory::Connection;
  if (cls == "23") return ErrorCategory::Constraint;
  if (cls == "42" || state == "37000") return ErrorCategory::Syntax;
  if (state == "40001" || state == "40P01" || state == "HYT00" || state == "HYT01") return ErrorCategory::Busy;
  return ErrorCategory::Other;
}

namespace {

using WideText = std::basic_string<SQLWCHAR>;

// UTF-8 to UTF-16; a byte that starts no valid sequence stands for U+FFFD.
WideText Wide(std::string_view s) {
  WideText out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0xFFFD;
    size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 6 || (c >> 4) == 14 || (c >> 3) == 30) {
      n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
      cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
      bool ok = i + n <= s.size();
      for (size_t k = 1; ok && k < n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        ok = (d & 0xC0) == 0x80;
        cp = (cp << 6) | (d & 0x3F);
      }
      if (!ok) {
        cp = 0xFFFD;
        n = 1;
      }
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<SQLWCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<SQLWCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<SQLWCHAR>(cp));
    }
  }
  return out;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Narrow(const SQLWCHAR* w, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = w[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// Text as a driver hands it over: UTF-8 bytes (char) or UTF-16 (SQLWCHAR).
template <class Char>
using TextOf = std::basic_string<Char>;

// What a failure was met in: compiling the statement's text, or running it.
enum class Phase { Preparing, Running };

// SQLite's own words for a statement text it refuses while compiling it: its parser's and its name
// resolution's. A driver that compiles a statement only when it runs reports these as it runs.
bool SqliteRefusedText(const std::string& message) {
  for (const char* words : {"syntax error", "incomplete input", "unrecognized token", "no such table",
                            "no such column", "no such function"})
    if (message.find(words) != std::string::npos) return true;
  return false;
}

// The first diagnostic of `handle`: its SQLSTATE, native code and text, read whole however long it
// is (DatabaseError cuts it to the description limit and marks the cut). False when there is none.
bool FirstDiagnostic(SQLSMALLINT type, SQLHANDLE handle, bool narrow, std::string& state, SQLINTEGER& native,
                     std::string& text) {
  // More room than a description keeps: a text that fills it is longer than the limit.
  SQLSMALLINT room = 4096;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SQLSMALLINT length = 0;
    SQLRETURN rc;
    if (narrow) {
      SQLCHAR code[6] = {};
      std::string buffer(static_cast<size_t>(room), '\0');
      rc = SQLGetDiagRec(type, handle, 1, code, &native, reinterpret_cast<SQLCHAR*>(buffer.data()), room, &length);
      if (!SQL_SUCCEEDED(rc)) return false;
      state.assign(reinterpret_cast<const char*>(code), 5);
      buffer.resize(std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), buffer.size() - 1));
      text = std::move(buffer);
    } else {
      SQLWCHAR code[6] = {};
      WideText buffer(static_cast<size_t>(room), 0);
      rc = SQLGetDiagRecW(type, handle, 1, code, &native, buffer.data(), room, &length);
      if (!SQL_SUCCEEDED(rc)) return false;
      state = Narrow(code, 5);
      text = Narrow(buffer.data(),
                    std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), buffer.size() - 1));
    }
    // A driver that says how long the whole text is gets room for it.
    if (rc != SQL_SUCCESS_WITH_INFO || length < room || length == SHRT_MAX) break;
    room = static_cast<SQLSMALLINT>(length + 1);
  }
  state = state.substr(0, state.find('\0'));
  return true;
}

// The failure an ODBC handle reports: the first diagnostic's text and SQLSTATE. A driver that
// reports its server's failures under a general state (SQLite's, "HY000") is read by the server's
// own code in `native`, in the `dialect` given; PostgreSQL's driver passes the server's SQLSTATE.
DatabaseError Failure(SQLSMALLINT type, SQLHANDLE handle, const std::string& fallback,
                      Engine dialect = Engine::SqlServer, bool narrow = false, Phase phase = Phase::Running) {
  std::string code, message;
  SQLINTEGER native = 0;
  if (!handle || !FirstDiagnostic(type, handle, narrow, code, native, message)) return DatabaseError(fallback);
  // A driver keeps at most SQL_MAX_MESSAGE_LENGTH characters when it has to (SQLite's does): a text
  // of exactly that length lost its end.
  if (message.size() == SQL_MAX_MESSAGE_LENGTH) message += "\u2026";
  ErrorCategory category = OdbcErrorCategory(code);
  if (category == ErrorCategory::Other && dialect == Engine::PostgreSQL) category = PostgresErrorCategory(code);
  if (category == ErrorCategory::Other && dialect == Engine::SQLite && native > 0)
    category = SqliteErrorCategory(native, phase == Phase::Preparing || SqliteRefusedText(message));
  return DatabaseError(message, category, code);
}

// Frees an ODBC handle of its type.
template <SQLSMALLINT Type>
struct Handle {
  SQLHANDLE h = SQL_NULL_HANDLE;
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h) SQLFreeHandle(Type, h);
  }
};

// The dialect of the server a driver reports.
Engine DialectOf(std::string dbms) {
  for (char& c : dbms) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (dbms.find("sqlite") != std::string::npos) return Engine::SQLite;
  if (dbms.find("postgres") != std::string::npos) return Engine::PostgreSQL;
  return Engine::SqlServer;
}

// Where the connection string points, for the failure to connect: its data source, server, port
// and database (never its user or password).
std::string DataSourceNote(const std::string& odbc) {
  std::string note;
  for (const char* key : {"DSN", "Server", "Port", "Database"}) {
    const std::string value = OdbcAttribute(odbc, key);
    if (!value.empty()) note += (note.empty() ? "" : ", ") + std::string(key) + "=" + value;
  }
  return note.empty() ? note : " (" + note + ")";
}

using Clock = std::chrono::steady_clock;

// Stops statements that run past the statement time limit on a driver that does not enforce one
// itself (SQLite's ignores SQL_ATTR_QUERY_TIMEOUT): one thread for the process cancels each
// statement still watched at its deadline (SQLCancel, which a driver takes from another thread).
class Watchdog {
 public:
  static Watchdog& Instance() {
    static auto* watchdog = new Watchdog;  // lives until the process ends, as its thread does
    return *watchdog;
  }
  // Watches `stmt` until Release(ticket); at `deadline` it is cancelled and `fired` set.
  uint64_t Watch(SQLHSTMT stmt, Clock::time_point deadline, std::atomic<bool>* fired) {
    std::lock_guard lock(mutex_);
    if (!started_) {
      std::thread([this] { Run(); }).detach();
      started_ = true;
    }
    const uint64_t ticket = ++lastTicket_;
    watched_.emplace(ticket, Watched{stmt, deadline, fired});
    if (deadline < wakeAt_) wake_.notify_one();
    return ticket;
  }
  void Release(uint64_t ticket) {
    std::lock_guard lock(mutex_);
    watched_.erase(ticket);
  }

 private:
  struct Watched {
    SQLHSTMT stmt;
    Clock::time_point deadline;
    std::atomic<bool>* fired;
  };
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      const auto now = Clock::now();
      wakeAt_ = Clock::time_point::max();
      for (auto it = watched_.begin(); it != watched_.end();) {
        if (it->second.deadline <= now) {
          // Under the lock: the statement is still running and its handle still allocated.
          it->second.fired->store(true);
          SQLCancel(it->second.stmt);
          it = watched_.erase(it);
        } else {
          wakeAt_ = std::min(wakeAt_, it->second.deadline);
          ++it;
        }
      }
      if (wakeAt_ == Clock::time_point::max())
        wake_.wait(lock);
      else
        wake_.wait_until(lock, wakeAt_);
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<uint64_t, Watched> watched_;
  uint64_t lastTicket_ = 0;
  Clock::time_point wakeAt_ = Clock::time_point::max();
  bool started_ = false;
};

// Parses `text` as a whole integer ("-12"); false for anything else or a number past 64 bits.
bool WholeNumber(const std::string& text, long long& out) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t k = i; k < text.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(text[k]))) return false;
  errno = 0;
  out = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0;
}

// Parses `text` as a number in SQLite's text of a real ("1.5", "1.0e+20"); false for anything else.
bool RealNumber(const std::string& text, double& out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(out);
}

bool IsNumberType(SQLSMALLINT type) {
  switch (type) {
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_DECIMAL:
    case SQL_NUMERIC: return true;
    default: return false;
  }
}

bool IsDateType(SQLSMALLINT type) {
  return type == SQL_TYPE_DATE || type == SQL_TYPE_TIMESTAMP || type == SQL_DATE || type == SQL_TIMESTAMP;
}

// A value of SQLite by what it holds, as SQLite's own driver reads it: SQLite keeps any value in any
// column, so the type a column is declared with (which the ODBC driver describes) tells what it
// should hold, not what it holds. A number where one belongs is an integer (32 bits, else a double)
// or a real; a date where one belongs, a date; any other text stays the text it is.
Variant SqliteValue(std::string text, SQLSMALLINT type) {
  if (IsNumberType(type)) {
    long long n = 0;
    double d = 0;
    if (WholeNumber(text, n)) {
      if (n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
      return Variant(static_cast<double>(n));
    }
    if (RealNumber(text, d)) return Variant(d);
  } else if (IsDateType(type)) {
    Date date;
    if (ParseDate(text, date)) return Variant(date);
  }
  return Variant(std::move(text));
}

// SQLite's statement `sql` as its ODBC driver must be given it. That driver answers rows only for a
// statement it takes for a query (one that begins with SELECT or WITH), so a write that returns rows
// (INSERT ... RETURNING) is given a WITH clause of its own that changes nothing else.
std::string SqliteDriverText(const std::string& sql) {
  if (!Mentions(sql, "RETURNING")) return sql;
  const auto words = LeadingKeywords(Engine::SQLite, sql);
  if (words.empty()) return sql;
  const std::string& first = words.front();
  if (first != "INSERT" && first != "UPDATE" && first != "DELETE" && first != "REPLACE") return sql;
  if (!Mentions(CodeOnly(Engine::SQLite, sql), "RETURNING")) return sql;
  return "WITH \"kx returning\" AS (SELECT 1) " + sql;
}

// The value a procedure returns (SQL Server's RETURN), bound to the call's first parameter.
struct ReturnValue {
  SQLINTEGER value = 0;
  SQLLEN indicator = SQL_NULL_DATA;
};

class OdbcConnection : public Connection {
 public:
  OdbcConnection(const ConnectionInfo& info, const Limits& limits) : limits_(limits) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_.h)))
      throw DatabaseError("The ODBC driver manager cannot be used", ErrorCategory::Connection);
    SQLSetEnvAttr(env_.h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_.h, &dbc_.h)))
      throw Failure(SQL_HANDLE_ENV, env_.h, "The ODBC driver manager cannot open a connection");
    SQLSetConnectAttr(dbc_.h, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(info.timeoutSeconds)), 0);
    // SQLite's driver waits for another writer as long as its Timeout (milliseconds) says, which is
    // the connection's timeout, as on SQLite's own driver, unless the string sets its own. That
    // driver takes 0 for a wait without end: no wait is one millisecond.
    std::string odbc = info.odbc;
    auto add = [&](const char* key, const std::string& value) {
      if (!OdbcAttribute(odbc, key).empty()) return;
      odbc += (odbc.empty() || odbc.back() == ';' ? "" : ";") + std::string(key) + "=" + value + ";";
    };
    if (info.engine == Engine::SQLite) add("Timeout", std::to_string(std::max(1, info.timeoutSeconds * 1000)));
    // PostgreSQL's driver, unless the string says otherwise: a failed statement leaves the
    // transaction to be rolled back, as on PostgreSQL's own driver (not a savepoint around every
    // statement, a round trip each), and the values go with the statement, which lets the driver
    // send BEGIN in the same round trip as the first statement of a transaction. The driver
    // writes each bound value into the text it sends as a literal with its quotes doubled
    // (UseServerSidePrepare=1 in the connection string binds them on the server instead, at the
    // cost of a round trip).
    if (info.engine == Engine::PostgreSQL) {
      add("Protocol", "7.4-0");
      add("UseServerSidePrepare", "0");
    }
    WideText text = Wide(odbc);
    const SQLRETURN rc = SQLDriverConnectW(dbc_.h, nullptr, text.data(), static_cast<SQLSMALLINT>(text.size()),
                                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      const DatabaseError e = Failure(SQL_HANDLE_DBC, dbc_.h, "The ODBC connection failed");
      throw DatabaseError(e.what() + DataSourceNote(info.odbc), ErrorCategory::Connection, e.nativeCode());
    }
    connected_ = true;
    SQLWCHAR name[256] = {};
    SQLSMALLINT length = 0;
    SQLGetInfoW(dbc_.h, SQL_DBMS_NAME, name, sizeof name, &length);
    dialect_ = DialectOf(Narrow(name, static_cast<size_t>(length) / sizeof(SQLWCHAR)));
    // SQLite keeps UTF-8 as it is given, and its driver takes it so: text travels as bytes there.
    narrow_ = dialect_ == Engine::SQLite;
    // Statements read committed data; a driver that has only one level keeps it.
    SQLSetConnectAttr(dbc_.h, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(SQL_TXN_READ_COMMITTED), 0);
    if (dialect_ == Engine::SQLite) {
      // As SQLite's own driver opens a database: readers do not block the writer, a writer waits
      // for another one under the connection's busy timeout, and a commit is on the disk when it
      // returns (the ODBC driver would leave it to the next checkpoint), unless the string says
      // otherwise (SyncPragma=, Timeout=).
      Exec("PRAGMA journal_mode=WAL", {}, nullptr);
      if (OdbcAttribute(info.odbc, "SyncPragma").empty()) Exec("PRAGMA synchronous = FULL", {}, nullptr);
      if (OdbcAttribute(info.odbc, "Timeout").empty())
        Exec("PRAGMA busy_timeout = " + std::to_string(info.timeoutSeconds * 1000), {}, nullptr);
    } else if (dialect_ == Engine::PostgreSQL) {
      Exec(PostgresLimits(limits_), {}, nullptr);
    }
  }
  ~OdbcConnection() override {
    // The statements go before the connection they belong to.
    kept_.clear();
    if (connected_) {
      if (inTransaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_.h, SQL_ROLLBACK);
      SQLDisconnect(dbc_.h);
    }
  }

  Engine engine() const override { return dialect_; }

  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    RunText(AdaptStatement(dialect_, sql), params, nullptr);
    NoteSessionChange(sql);
    NoteSchemaChange(sql);
  }
  std::shared_ptr<Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    std::shared_ptr<Recordset> rows;
    RunText(AdaptStatement(dialect_, sql), params, &rows);
    NoteSessionChange(sql);
    NoteSchemaChange(sql);
    return rows ? rows : Empty();
  }
  std::shared_ptr<Recordset> Run(const Statement& statement) override {
    std::shared_ptr<Recordset> rows;
    Exec(statement.Text(dialect_, false), statement.values(), &rows, nullptr, Keep::Yes);
    return rows ? rows : Empty();
  }
  void ExecuteScript(const std::string& sql) override {
    // One statement at a time: drivers differ on texts of several.
    for (const auto& one : ScriptStatements(dialect_, sql)) Exec(one, {}, nullptr);
  }

  std::shared_ptr<Recordset> CallProcedure(const std::string& name,
                                           const std::vector<ProcedureArgument>& args) override {
    if (name.empty() || name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.") !=
                            std::string::npos)
      throw DatabaseError("Could not find stored procedure '" + name + "'.", ErrorCategory::Syntax);
    std::vector<Variant> values;
    for (const auto& a : args) values.push_back(a.value);
    std::shared_ptr<Recordset> rows;
    switch (dialect_) {
      case Engine::SqlServer: {
        // The procedure's RETURN value is its answer (an insert procedure's new key), unless it
        // answers rows of its own.
        if (const std::string tooLong = TooLongProcedureText(args); !tooLong.empty())
          throw DatabaseError(tooLong, ErrorCategory::Other, "22001");
        ReturnValue returned;
        Exec(SqlServerProcedureCall(name, args.size()).text, values, &rows, &returned, Keep::Yes);
        if (!rows || rows->Columns().empty())
          rows = std::make_shared<Recordset>(
              std::vector<std::string>{"RETURN_VALUE"},
              std::vector<std::vector<Variant>>{{returned.indicator == SQL_NULL_DATA
                                                     ? Variant::Null()
                                                     : Variant(static_cast<int32_t>(returned.value))}});
        break;
      }
      case Engine::PostgreSQL: {
        std::string marks;
        for (size_t i = 0; i < args.size(); ++i) marks += i ? ",?" : "?";
        Exec("SELECT * FROM " + name + "(" + marks + ")", values, &rows, nullptr, Keep::Yes);
        break;
      }
      case Engine::SQLite: {
        // SQLite keeps each procedure as one statement in KX_PROCEDURE (INSERT ... RETURNING).
        std::shared_ptr<Recordset> found;
        Exec("SELECT PROC_SQL FROM KX_PROCEDURE WHERE PROC_NAME = ?", {Variant(name)}, &found, nullptr, Keep::Yes);
        if (!found || found->EOF_())
          throw DatabaseError("Could not find stored procedure '" + name + "'.", ErrorCategory::Syntax);
        Exec(CStr(found->Field("PROC_SQL")), values, &rows, nullptr, Keep::Yes);
        break;
      }
    }
    return rows ? rows : Empty();
  }

  void ResetIsolation() override {
    if (inTransaction_) Rollback();
    if (dialect_ == Engine::SQLite) ForgetStatementsOfAnotherSchema();
  }
  void ApplyLimits(const Limits& limits) override {
    if (limits == limits_) return;
    // PostgreSQL keeps the limits in the session; the other dialects take them per statement.
    if (dialect_ == Engine::PostgreSQL) Exec(PostgresLimits(limits), {}, nullptr);
    limits_ = limits;
  }
  void Begin() override {
    Check(SQLSetConnectAttr(dbc_.h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
          SQL_HANDLE_DBC, dbc_.h);
    inTransaction_ = true;
    read_ = wrote_ = false;
  }
  void Commit() override {
    // As the engines' own drivers do: a commit with no transaction is a failure, not a no-op.
    if (!inTransaction_) throw DatabaseError("cannot commit - no transaction is active");
    End(SQL_COMMIT);
  }
  void Rollback() override {
    if (inTransaction_) End(SQL_ROLLBACK);
  }
  bool Healthy() const override { return connected_ && !lost_ && !sessionChanged_; }
  bool Alive() override {
    if (!Healthy()) return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.h, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE)
      lost_ = true;
    return !lost_;
  }

 private:
  static std::shared_ptr<Recordset> Empty() {
    return std::make_shared<Recordset>(std::vector<std::string>{}, std::vector<std::vector<Variant>>{});
  }

  // The statement that puts `limits` in force for a PostgreSQL session, in one round trip.
  static std::string PostgresLimits(const Limits& limits) {
    return "SELECT set_config('statement_timeout', '" + std::to_string(limits.statementTimeoutSeconds * 1000) +
           "', false), set_config('jit', '" + (limits.jit ? "on" : "off") + "', false)";
  }

  // Ends the transaction and goes back to committing every statement on its own.
  void End(SQLSMALLINT completion) {
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_.h, completion);
    inTransaction_ = false;
    if (SQL_SUCCEEDED(rc)) {
      SQLSetConnectAttr(dbc_.h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
      return;
    }
    // The reason is read before the rollback, which would put its own diagnostics in its place.
    DatabaseError e = Failure(SQL_HANDLE_DBC, dbc_.h, "The ODBC driver failed", dialect_, narrow_);
    // A commit that failed leaves nothing open behind it.
    if (completion == SQL_COMMIT) SQLEndTran(SQL_HANDLE_DBC, dbc_.h, SQL_ROLLBACK);
    SQLSetConnectAttr(dbc_.h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (e.category() == ErrorCategory::Connection) lost_ = true;
    throw e;
  }

  void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, Phase phase = Phase::Running) {
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
    DatabaseError e = Failure(type, handle, "The ODBC driver failed", dialect_, narrow_, phase);
    if (e.category() == ErrorCategory::Connection) lost_ = true;
    // Statements are stopped only by the statement time limit: the driver's (SQL Server), the
    // session's (PostgreSQL, 57014) or the watchdog's.
    const std::string& code = e.nativeCode();
    if (code == "HYT00" || code == "HYT01" || (dialect_ == Engine::PostgreSQL && code == "57014") ||
        timedOut_.load())
      throw DatabaseError(e.what() + StatementTimeoutNote(limits_.statementTimeoutSeconds), e.category(), code);
    throw e;
  }

  // Runs a caller's text: with parameters one statement, without every statement it holds.
  void RunText(const std::string& sql, const std::vector<Variant>& params, std::shared_ptr<Recordset>* rows) {
    if (!params.empty() && SeveralStatements(dialect_, sql))
      throw DatabaseError("A statement with parameters must be a single statement", ErrorCategory::Syntax);
    Exec(sql, params, rows);
  }

  // A value bound to a statement, kept until it has run: as text (UTF-8 or UTF-16), or as a
  // number where the dialect compares values by their type (SQLite).
  struct Bound {
    std::string bytes;
    WideText wide;
    SQLBIGINT whole = 0;
    double real = 0;
    SQLLEN length = 0;
  };

  // Binds `v` to parameter `index` of `stmt`, kept in `b`.
  void Bind(SQLHSTMT stmt, SQLUSMALLINT index, const Variant& v, Bound& b) {
    SQLRETURN rc;
    const bool null = v.IsNull() || v.IsEmpty();
    if (narrow_) {
      // SQLite compares a number with text as different values: numbers go as numbers, as SQLite's
      // own driver binds them.
      switch (v.type()) {
        case Variant::Type::Int16: b.whole = v.get<int16_t>(); break;
        case Variant::Type::Int32: b.whole = v.get<int32_t>(); break;
        case Variant::Type::Bool: b.whole = v.get<bool>() ? 1 : 0; break;
        case Variant::Type::Double:
          b.real = v.get<double>();
          b.length = 0;
          rc = SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &b.real, 0, &b.length);
          Check(rc, SQL_HANDLE_STMT, stmt);
          return;
        default: {
          if (!null) b.bytes = BoundText(v);
          b.length = null ? SQL_NULL_DATA : static_cast<SQLLEN>(b.bytes.size());
          rc = SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                std::max<SQLULEN>(1, b.bytes.size()), 0, b.bytes.data(),
                                static_cast<SQLLEN>(b.bytes.size() + 1), &b.length);
          Check(rc, SQL_HANDLE_STMT, stmt);
          return;
        }
      }
      b.length = 0;
      rc = SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19, 0, &b.whole, 0, &b.length);
      Check(rc, SQL_HANDLE_STMT, stmt);
      return;
    }
    // Every value is bound as text, which the server reads as the type its place needs.
    if (!null) b.wide = Wide(BoundText(v));
    b.wide.push_back(0);
    b.length = null ? SQL_NULL_DATA : static_cast<SQLLEN>((b.wide.size() - 1) * sizeof(SQLWCHAR));
    rc = SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                          std::max<SQLULEN>(1, b.wide.size() - 1), 0, b.wide.data(),
                          static_cast<SQLLEN>(b.wide.size() * sizeof(SQLWCHAR)), &b.length);
    Check(rc, SQL_HANDLE_STMT, stmt);
  }

  // A statement prepared on this connection: its handle, how many parameters it takes (-1: the
  // driver does not say), whether it writes (SQLite), and its columns once they were described.
  struct Prepared {
    Handle<SQL_HANDLE_STMT> stmt;
    SQLSMALLINT parameters = -1;
    bool writes = false;
    std::vector<std::string> names;
    std::vector<SQLSMALLINT> types;
  };

  std::unique_ptr<Prepared> Prepare(const std::string& sql) {
    auto p = std::make_unique<Prepared>();
    Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.h, &p->stmt.h), SQL_HANDLE_DBC, dbc_.h);
    if (narrow_) {
      const std::string text = SqliteDriverText(sql);
      Check(SQLPrepare(p->stmt.h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                       static_cast<SQLINTEGER>(text.size())),
            SQL_HANDLE_STMT, p->stmt.h, Phase::Preparing);
    } else {
      WideText text = Wide(sql);
      Check(SQLPrepareW(p->stmt.h, text.data(), static_cast<SQLINTEGER>(text.size())), SQL_HANDLE_STMT,
            p->stmt.h, Phase::Preparing);
    }
    if (!SQL_SUCCEEDED(SQLNumParams(p->stmt.h, &p->parameters))) p->parameters = -1;
    if (dialect_ == Engine::SQLite) p->writes = SqliteWrites(sql);
    return p;
  }

  // The statement kept for `sql`, prepared now when it is new. The component's statements come in
  // few shapes, each run many times with other values: each is prepared once per connection, and
  // its columns described once. Bounded: a connection that meets ever new shapes starts again.
  Prepared& Kept(const std::string& sql) {
    if (const auto it = kept_.find(sql); it != kept_.end()) return *it->second;
    auto fresh = Prepare(sql);
    if (kept_.size() >= kMaxKept) kept_.clear();
    return *kept_.emplace(sql, std::move(fresh)).first->second;
  }

  enum class Keep { No, Yes };

  // Runs one statement with `values` bound to its `?` in order; its rows go to `rows`. With
  // `returned`, the statement's first `?` receives the value a procedure returns and the values
  // take the places after it. With Keep::Yes the prepared statement is kept for the next run.
  void Exec(const std::string& sql, const std::vector<Variant>& values, std::shared_ptr<Recordset>* rows,
            ReturnValue* returned = nullptr, Keep keep = Keep::No) {
    timedOut_ = false;
    std::unique_ptr<Prepared> own;
    const bool kept = keep == Keep::Yes && sql.size() <= kMaxKeptText;
    if (!kept) own = Prepare(sql);
    Prepared& p = kept ? Kept(sql) : *own;
    const SQLHSTMT stmt = p.stmt.h;
    // A kept statement is closed after each run, whatever happened; one that failed is not kept.
    struct Done {
      OdbcConnection* c;
      const std::string* sql;
      SQLHSTMT stmt;
      bool kept;
      int failing = std::uncaught_exceptions();
      ~Done() {
        if (!kept) return;
        // Its parameters are bound anew by the next run.
        SQLFreeStmt(stmt, SQL_CLOSE);
        if (std::uncaught_exceptions() > failing) c->kept_.erase(*sql);
      }
    } done{this, &sql, stmt, kept};
    if (dialect_ == Engine::SQLite && inTransaction_ && !wrote_) WriteAfterReading(p.writes);
    const size_t first = returned ? 1 : 0;
    if (p.parameters >= 0 && p.parameters != static_cast<SQLSMALLINT>(values.size() + first))
      throw DatabaseError("The statement expects " + std::to_string(p.parameters - static_cast<SQLSMALLINT>(first)) +
                              " parameters, " + std::to_string(values.size()) + " were supplied.",
                          ErrorCategory::Syntax);
    // SQL Server's drivers keep the time limit of each run (0: none), a kept statement's too.
    if (dialect_ == Engine::SqlServer)
      SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(limits_.statementTimeoutSeconds)), 0);
    if (returned)
      Check(SQLBindParameter(stmt, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &returned->value, 0,
                             &returned->indicator),
            SQL_HANDLE_STMT, stmt);
    std::vector<Bound> bound(values.size());
    for (size_t i = 0; i < values.size(); ++i)
      Bind(stmt, static_cast<SQLUSMALLINT>(first + i + 1), values[i], bound[i]);
    // The time limit, where the driver does not keep it: watched from here until the rows are read.
    struct Watch {
      uint64_t ticket = 0;
      ~Watch() {
        if (ticket) Watchdog::Instance().Release(ticket);
      }
    } watch;
    if (dialect_ == Engine::SQLite && limits_.statementTimeoutSeconds > 0)
      watch.ticket = Watchdog::Instance().Watch(
          stmt, Clock::now() + std::chrono::seconds(limits_.statementTimeoutSeconds), &timedOut_);
    const SQLRETURN rc = SQLExecute(stmt);
    if (rc != SQL_NO_DATA) Check(rc, SQL_HANDLE_STMT, stmt);
    // The rows of the last result that has columns; a procedure's return value comes after them all.
    SQLRETURN more;
    bool firstResult = true;
    do {
      SQLSMALLINT columns = 0;
      SQLNumResultCols(stmt, &columns);
      if (columns > 0) {
        // Only the first result of a kept statement keeps its description.
        Prepared scratch;
        auto fetched = Fetch(stmt, columns, firstResult ? p : scratch);
        if (rows) *rows = std::move(fetched);
      }
      firstResult = false;
      // SQLite's driver runs one statement, which has one result.
      more = dialect_ == Engine::SQLite ? SQL_NO_DATA : SQLMoreResults(stmt);
      if (more != SQL_NO_DATA) Check(more, SQL_HANDLE_STMT, stmt);
    } while (SQL_SUCCEEDED(more));
  }

  // SQLite: a transaction that has only read holds a snapshot, and a write cannot use it once
  // another writer has committed since (its driver would wait for that in vain, as long as its
  // timeout). So the first write of a transaction that has read begins it anew, and waits for the
  // write lock like any first statement. Each statement reads committed data: what the call read
  // before stays valid, as on SQLite's own driver when it meets that case.
  void WriteAfterReading(bool writes) {
    if (!writes) {
      read_ = true;
      return;
    }
    if (read_) Check(SQLEndTran(SQL_HANDLE_DBC, dbc_.h, SQL_ROLLBACK), SQL_HANDLE_DBC, dbc_.h);
    wrote_ = true;
  }

  // Whether SQLite's statement `sql` writes (or may: anything but a query or a PRAGMA).
  static bool SqliteWrites(const std::string& sql) {
    const auto words = LeadingKeywords(Engine::SQLite, sql);
    if (words.empty()) return false;
    const std::string& first = words.front();
    if (first == "SELECT" || first == "VALUES" || first == "EXPLAIN" || first == "PRAGMA") return false;
    if (first != "WITH") return true;
    const std::string code = CodeOnly(Engine::SQLite, sql);
    return Mentions(code, "INSERT") || Mentions(code, "UPDATE") || Mentions(code, "DELETE") ||
           Mentions(code, "REPLACE");
  }

  // SQLite's driver reads a statement's columns when it prepares it and keeps them, even after the
  // statement's tables changed. So a call, as it takes the connection, asks for the schema's
  // version, and the statements kept under another version are prepared anew; one of the
  // connection's own texts that may change the schema drops them at once.
  void ForgetStatementsOfAnotherSchema() {
    std::shared_ptr<Recordset> rows;
    // Prepared each time: the driver could answer a kept one from what it read when it prepared it.
    Exec("PRAGMA schema_version", {}, &rows, nullptr);
    const std::string version = rows && !rows->EOF_() ? CStr(rows->FieldAt(0)) : std::string();
    if (version == schemaVersion_) return;
    kept_.clear();
    schemaVersion_ = version;
    // The engine reads the new schema when a statement next runs, not when one is prepared: one
    // runs now, so that the statements prepared from here on are described as the tables are.
    Exec("SELECT COUNT(*) FROM sqlite_master", {}, nullptr);
  }
  void NoteSchemaChange(const std::string& sql) {
    if (dialect_ != Engine::SQLite || !ChangesSchema(dialect_, sql)) return;
    kept_.clear();
    schemaVersion_.clear();
  }

  // The rows of the current result of `stmt`, of `count` columns, described into `p` unless `p`
  // holds their description. Only SQLite's driver describes a statement once, as it prepares it
  // (see ForgetStatementsOfAnotherSchema); the others describe each result as it comes, so its
  // columns are read again each run: a table changed since has other columns.
  std::shared_ptr<Recordset> Fetch(SQLHSTMT stmt, SQLSMALLINT count, Prepared& p) {
    if (dialect_ != Engine::SQLite || p.types.size() != static_cast<size_t>(count)) Describe(stmt, count, p);
    const std::vector<SQLSMALLINT>& types = p.types;
    std::vector<std::vector<Variant>> data;
    for (;;) {
      const SQLRETURN rc = SQLFetch(stmt);
      if (rc == SQL_NO_DATA) break;
      Check(rc, SQL_HANDLE_STMT, stmt);
      std::vector<Variant> row;
      row.reserve(static_cast<size_t>(count));
      for (SQLSMALLINT c = 1; c <= count; ++c) row.push_back(Cell(stmt, c, types[static_cast<size_t>(c - 1)]));
      data.push_back(std::move(row));
    }
    return std::make_shared<Recordset>(p.names, std::move(data));
  }

  // The names and SQL types of the `count` columns of the current result of `stmt`, into `p`.
  void Describe(SQLHSTMT stmt, SQLSMALLINT count, Prepared& p) {
    std::vector<std::string> names;
    std::vector<SQLSMALLINT> types;
    for (SQLSMALLINT c = 1; c <= count; ++c) {
      SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (narrow_) {
        SQLCHAR name[256] = {};
        Check(SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c), name, 256, &length, &type, &size, &digits, &nullable),
              SQL_HANDLE_STMT, stmt);
        names.emplace_back(reinterpret_cast<const char*>(name), static_cast<size_t>(std::clamp<SQLSMALLINT>(length, 0, 255)));
      } else {
        SQLWCHAR name[256] = {};
        Check(SQLDescribeColW(stmt, static_cast<SQLUSMALLINT>(c), name, 256, &length, &type, &size, &digits, &nullable),
              SQL_HANDLE_STMT, stmt);
        names.push_back(Narrow(name, static_cast<size_t>(std::clamp<SQLSMALLINT>(length, 0, 255))));
      }
      types.push_back(type);
    }
    p.names = std::move(names);
    p.types = std::move(types);
  }

  // Reads a value of fixed size of the current row into `out`; false for NULL.
  template <class T>
  bool Fixed(SQLHSTMT stmt, SQLSMALLINT column, SQLSMALLINT ctype, T& out) {
    SQLLEN indicator = 0;
    Check(SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), ctype, &out, 0, &indicator), SQL_HANDLE_STMT, stmt);
    return indicator != SQL_NULL_DATA;
  }

  // One value of the current row: on SQLite by what it holds, elsewhere by the SQL type of its column.
  Variant Cell(SQLHSTMT stmt, SQLSMALLINT column, SQLSMALLINT type) {
    if (narrow_) {
      bool null = false;
      std::string text = Text<char>(stmt, column, null);
      return null ? Variant::Null() : SqliteValue(std::move(text), type);
    }
    switch (type) {
      case SQL_SMALLINT:
      case SQL_TINYINT:
      case SQL_INTEGER:
      case SQL_BIGINT: {
        SQLBIGINT n = 0;
        if (!Fixed(stmt, column, SQL_C_SBIGINT, n)) return Variant::Null();
        if ((type == SQL_SMALLINT || type == SQL_TINYINT) && n >= INT16_MIN && n <= INT16_MAX)
          return Variant(static_cast<int16_t>(n));
        if (n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
        return Variant(static_cast<double>(n));
      }
      case SQL_REAL:
      case SQL_FLOAT:
      case SQL_DOUBLE:
      case SQL_DECIMAL:
      case SQL_NUMERIC: {
        double d = 0;
        if (!Fixed(stmt, column, SQL_C_DOUBLE, d)) return Variant::Null();
        return Variant(d);
      }
      case SQL_BIT: {
        SQLINTEGER n = 0;
        if (!Fixed(stmt, column, SQL_C_SLONG, n)) return Variant::Null();
        return Variant(n != 0);
      }
      default: break;
    }
    bool null = false;
    std::string text = Text<SQLWCHAR>(stmt, column, null);
    if (null) return Variant::Null();
    if (IsDateType(type)) {
      Date d;
      if (ParseDate(text, d)) return Variant(d);
    }
    return Variant(std::move(text));
  }

  // The text of a column of the current row, read in parts of any length, as UTF-8 bytes (Char
  // char) or as UTF-16 (SQLWCHAR).
  template <class Char>
  std::string Text(SQLHSTMT stmt, SQLSMALLINT column, bool& null) {
    constexpr SQLSMALLINT kType = std::is_same_v<Char, char> ? SQL_C_CHAR : SQL_C_WCHAR;
    TextOf<Char> all;
    Char part[2048];
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), kType, part, sizeof part, &indicator);
      if (rc == SQL_NO_DATA) break;
      Check(rc, SQL_HANDLE_STMT, stmt);
      if (indicator == SQL_NULL_DATA) {
        null = true;
        return {};
      }
      const size_t room = sizeof part / sizeof(Char) - 1;
      const size_t got = indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) / sizeof(Char) > room
                             ? room
                             : static_cast<size_t>(indicator) / sizeof(Char);
      all.append(part, got);
      if (rc == SQL_SUCCESS) break;
    }
    if constexpr (std::is_same_v<Char, char>)
      return all;
    else
      return Narrow(all.data(), all.size());
  }

  // A caller's statement that may have changed the session's settings keeps its connection out of
  // the pool: nothing it changed reaches the next call. On PostgreSQL the isolation and the limits
  // are put back at once, as its own driver does, so that a caller cannot lift them.
  void NoteSessionChange(const std::string& sql) {
    // DISCARD ALL and DEALLOCATE drop what the session prepared.
    if (dialect_ == Engine::PostgreSQL && (Mentions(sql, "DISCARD") || Mentions(sql, "DEALLOCATE"))) kept_.clear();
    if (!ChangesSession(dialect_, sql)) return;
    sessionChanged_ = true;
    if (dialect_ == Engine::PostgreSQL) {
      Exec("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED", {}, nullptr);
      Exec(PostgresLimits(limits_), {}, nullptr);
    }
  }

  Handle<SQL_HANDLE_ENV> env_;
  Handle<SQL_HANDLE_DBC> dbc_;
  bool connected_ = false;
  Engine dialect_ = Engine::SqlServer;
  bool narrow_ = false;
  Limits limits_;
  bool inTransaction_ = false;
  // What the open transaction has done so far (SQLite): read, written.
  bool read_ = false, wrote_ = false;
  bool lost_ = false;
  bool sessionChanged_ = false;
  // Set by the watchdog when it stopped the running statement.
  std::atomic<bool> timedOut_{false};
  // How many prepared statements a connection keeps, and the longest text it keeps.
  static constexpr size_t kMaxKept = 64;
  static constexpr size_t kMaxKeptText = 16 * 1024;
  std::unordered_map<std::string, std::unique_ptr<Prepared>> kept_;
  // SQLite: the schema version the kept statements were prepared under (empty: not known).
  std::string schemaVersion_;
};

}  // namespace
}  // namespace kx::db

// The entry point of this driver module (see kx::db::OpenOdbc).
extern "C" void kx_open_odbc(const kx::db::ConnectionInfo& info, const kx::db::Limits& limits,
                             std::unique_ptr<kx::db::Connection>& out) {
  out = std::make_unique<kx::db::OdbcConnection>(info, limits);
}
