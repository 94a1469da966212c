// The SQLite engine: a database file per connection string, procedures kept as named statements.
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "runtime/db/connection.h"
#include "runtime/db/sql_text.h"
#include "runtime/db/statement.h"
#include "kx/host.h"

namespace kx::db {

ErrorCategory SqliteErrorCategory(int resultCode, bool preparing) {
  switch (resultCode & 0xff) {
    case SQLITE_CONSTRAINT: return ErrorCategory::Constraint;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ErrorCategory::Busy;
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ErrorCategory::Connection;
    // A generic error while compiling means the text was refused (syntax, unknown table or column).
    case SQLITE_ERROR: return preparing ? ErrorCategory::Syntax : ErrorCategory::Other;
    default: return ErrorCategory::Other;
  }
}

namespace {

// The failure `db` reports for result code `rc`, with the engine's text and extended code.
DatabaseError SqliteError(sqlite3* db, int rc, bool preparing = false) {
  const int code = db ? sqlite3_extended_errcode(db) : rc;
  return DatabaseError(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), SqliteErrorCategory(code, preparing),
                       std::to_string(code));
}

// Closes a connection handle; close_v2 defers the close until the last statement is finalized.
struct CloseHandle {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Handle = std::unique_ptr<sqlite3, CloseHandle>;

// Finalizes a statement kept for the life of its connection.
struct FinalizeStatement {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using KeptStatement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// What every run of one compiled statement shares, worked out at its first run: whether it takes
// the write lock, its column names and which of its columns are declared as dates. The columns are
// worked out again when the engine has compiled the statement again since (a schema change).
struct Shape {
  int writes = -1;  // 1 or 0 once known
  int compiles = -1;  // the engine's count of compilations when the columns were read
  std::shared_ptr<const std::vector<std::string>> columns;
  std::vector<char> dates;
};

// A kept statement with its shape.
struct Kept {
  KeptStatement stmt;
  Shape shape;
};

// Resets a kept statement when its run ends, however it ends, so that it holds no lock, state or
// bound value afterwards; nothing for null.
struct ResetOnExit {
  sqlite3_stmt* stmt;
  ~ResetOnExit() {
    if (!stmt) return;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
};

// A statement compiled for one run.
class Compiled {
 public:
  Compiled(sqlite3* db, const char*& sql) {
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, &tail);
    if (rc != SQLITE_OK) throw SqliteError(db, rc, /*preparing=*/true);
    sql = tail;
  }
  ~Compiled() { sqlite3_finalize(stmt_); }
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Whether a column declared as `decltype_` holds dates: its type names DATE or TIME, in any case.
bool IsDateColumn(const char* decltype_) {
  return decltype_ && (Mentions(decltype_, "DATE") || Mentions(decltype_, "TIME"));
}

// Writes the value of column `i` over `out`; a text is written in the room of the text `out` held.
void ReadColumn(sqlite3_stmt* stmt, int i, bool date, Variant& out) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_NULL: out = Variant::Null(); return;
    case SQLITE_INTEGER: {
      const sqlite3_int64 n = sqlite3_column_int64(stmt, i);
      if (n >= INT32_MIN && n <= INT32_MAX)
        out = Variant(static_cast<int32_t>(n));
      else
        out = Variant(static_cast<double>(n));
      return;
    }
    case SQLITE_FLOAT: out = Variant(sqlite3_column_double(stmt, i)); return;
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      const std::string_view value(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
      if (auto* s = out.get_if<std::string>())
        s->assign(value);
      else
        out = Variant(std::string(value));
      Date d;
      if (date && ParseDate(*out.get_if<std::string>(), d)) out = Variant(d);
    }
  }
}

// Before the engine's first use in the process: it keeps no count of the memory it uses, which
// would take a process-wide lock on every allocation. A host that set the engine up before (another
// user of it in the same process) keeps its own choice.
void LeanEngine() {
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

std::atomic<uint64_t> gateWaits{0};

// The writers of one database file in this process take its gate before SQLite's write lock, so
// that they queue for it in order instead of meeting the lock and sleeping in the busy handler.
// Writers of other processes are still met by the busy timeout. The gate may be released by another
// thread than the one that took it (a pooled connection is reset wherever it is leased again).
class WriterGate {
 public:
  static WriterGate& For(const std::string& path) {
    static std::mutex mutex;
    static auto* gates = new std::map<std::string, std::unique_ptr<WriterGate>>;  // lives until exit
    std::lock_guard lock(mutex);
    auto& gate = (*gates)[path];
    if (!gate) gate = std::make_unique<WriterGate>();
    return *gate;
  }
  bool Take(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!taken_) {
      taken_ = true;
      return true;
    }
    ++gateWaits;
    ++waiting_;
    const bool freed = changed_.wait_for(lock, wait, [&] { return !taken_; });
    --waiting_;
    if (!freed) return false;
    taken_ = true;
    return true;
  }
  // Wakes a waiting writer, if any: a gate nobody waits for is given back without a system call.
  void Give() {
    std::lock_guard lock(mutex_);
    taken_ = false;
    if (waiting_ > 0) changed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool taken_ = false;
  int waiting_ = 0;
};

class SqliteConnection : public Connection {
 public:
  SqliteConnection(const ConnectionInfo& info, OpenMode mode, const Limits& limits) : limits_(limits) {
    const std::string folder = info.dataSource.empty() ? ComponentFolder() : info.dataSource;
    const std::string path = folder + "/" + info.catalog + ".db";
    sqlite3* raw = nullptr;
    LeanEngine();
    // A connection serves one call at a time (the pool lends it to one scope), so the engine's
    // lock around each of its functions is not needed.
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (mode == OpenMode::Create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    // The handle is owned from here on, so that any failure below closes it.
    db_.reset(raw);
    if (rc != SQLITE_OK) {
      struct stat st;
      if (mode == OpenMode::Existing && (rc & 0xff) == SQLITE_CANTOPEN && stat(path.c_str(), &st) != 0 &&
          errno == ENOENT)
        throw DatabaseError("The database file " + path + " does not exist; run `kx init` to create it",
                            ErrorCategory::Connection, std::to_string(rc));
      const DatabaseError e = SqliteError(db_.get(), rc);
      throw DatabaseError(std::string(e.what()) + " (" + path + ")", e.category(), e.nativeCode());
    }
    sqlite3_busy_timeout(db_.get(), info.timeoutSeconds * 1000);
    busyWait_ = std::chrono::seconds(info.timeoutSeconds);
    const char* file = sqlite3_db_filename(db_.get(), "main");
    gate_ = &WriterGate::For(file && *file ? file : path);
    // The statement time limit: the engine asks every few thousand steps whether to stop.
    sqlite3_progress_handler(db_.get(), kProgressSteps, &SqliteConnection::PastDeadline, this);
    // Readers do not block the writer, and concurrent writers wait for each other.
    ExecuteScript("PRAGMA journal_mode=WAL;");
  }

  Engine engine() const override { return Engine::SQLite; }

  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    RunStatement(AdaptStatement(Engine::SQLite, sql), params, nullptr);
    NoteSessionChange(sql);
  }
  void ExecuteScript(const std::string& sql) override { Run(sql, nullptr); }

  // The component's statements come in few shapes, each run many times with other values: the
  // compiled form of each is kept.
  std::shared_ptr<Recordset> Run(const db::Statement& statement) override {
    std::shared_ptr<Recordset> result;
    // The text is written where the last one was: a statement runs to its end before the next.
    statement.Write(runText_, Engine::SQLite, false);
    RunKept(runText_, statement.values(), "The statement", &result);
    return result ? result : std::make_shared<Recordset>(std::vector<std::string>{}, std::vector<std::vector<Variant>>{});
  }

  std::shared_ptr<Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    std::shared_ptr<Recordset> result;
    RunStatement(AdaptStatement(Engine::SQLite, sql), params, &result);
    NoteSessionChange(sql);
    return result ? result : std::make_shared<Recordset>(std::vector<std::string>{}, std::vector<std::vector<Variant>>{});
  }

  std::shared_ptr<Recordset> CallProcedure(const std::string& name,
                                           const std::vector<ProcedureArgument>& args) override {
    std::shared_ptr<Recordset> found;
    RunKept("SELECT PROC_SQL FROM KX_PROCEDURE WHERE PROC_NAME = ?1", {Variant(name)}, "The statement", &found);
    if (!found || found->EOF_())
      throw DatabaseError("Could not find stored procedure '" + name + "'.", ErrorCategory::Syntax);
    const std::string body = CStr(found->Field("PROC_SQL"));
    std::vector<Variant> values;
    values.reserve(args.size());
    for (const auto& a : args) values.push_back(a.value);
    std::shared_ptr<Recordset> result;
    RunKept(body, values, "Procedure or function '" + name + "'", &result);
    return result;
  }

  void ResetIsolation() override {
    // SQLite always reads committed data; a transaction left open by a failed caller is undone.
    if (!sqlite3_get_autocommit(db_.get())) Rollback();
  }
  // The transaction starts deferred: a call that only reads never takes the write lock. Its first
  // write takes it, waiting under the busy timeout (see Collect).
  void Begin() override { RunOwn(begin_, kBegin); }
  void Commit() override { RunOwn(commit_, kCommit); }
  void Rollback() override {
    if (!sqlite3_get_autocommit(db_.get())) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    if (sqlite3_get_autocommit(db_.get())) LeaveGate();
  }
  ~SqliteConnection() override { LeaveGate(); }
  void ApplyLimits(const Limits& limits) override { limits_ = limits; }
  bool Healthy() const override { return db_ != nullptr && !sessionChanged_; }
  // A database file has no server that could go away.
  bool Alive() override { return Healthy(); }

 private:
  void Bind(sqlite3_stmt* stmt, int index, const Variant& v) {
    int rc = SQLITE_OK;
    switch (v.type()) {
      case Variant::Type::Empty:
      case Variant::Type::Null: rc = sqlite3_bind_null(stmt, index); break;
      case Variant::Type::Int16: rc = sqlite3_bind_int(stmt, index, v.get<int16_t>()); break;
      case Variant::Type::Int32: rc = sqlite3_bind_int(stmt, index, v.get<int32_t>()); break;
      case Variant::Type::Bool: rc = sqlite3_bind_int(stmt, index, v.get<bool>() ? 1 : 0); break;
      case Variant::Type::Double: rc = sqlite3_bind_double(stmt, index, v.get<double>()); break;
      case Variant::Type::String: {
        // The value outlives the statement's run (the caller holds it until the statement is
        // reset and its bindings cleared): the engine reads it where it is.
        const std::string& s = v.get<std::string>();
        rc = sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
        break;
      }
      default: {
        const std::string s = CStr(v);
        rc = sqlite3_bind_text(stmt, index, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      }
    }
    if (rc != SQLITE_OK) throw SqliteError(db_.get(), rc);
  }

  // Steps `stmt` to its end within the statement time limit and returns its rows; null for a
  // statement without columns (BEGIN, COMMIT, a write).
  std::shared_ptr<Recordset> Collect(sqlite3_stmt* stmt, Shape& shape) {
    // A statement that writes takes this process's gate first; the gate is left once no
    // transaction is open any more (the statement stood alone, or it ended the transaction).
    if (shape.writes < 0) shape.writes = stmt && TakesWriteLock(stmt) ? 1 : 0;
    if (shape.writes) EnterGate();
    struct LeaveWhenDone {
      SqliteConnection* c;
      ~LeaveWhenDone() {
        if (sqlite3_get_autocommit(c->db_.get())) c->LeaveGate();
      }
    } leaveWhenDone{this};
    timedOut_ = false;
    // The statement's time starts at its first check (see PastDeadline): a statement that ends
    // before it, as most do, never reads the clock.
    deadline_ = kNotStarted;
    // The columns are read once the statement has run: a kept statement is compiled again in its
    // first step when the schema changed since, and may then answer other columns.
    int n = -1;
    auto readColumns = [&] {
      if (n >= 0) return;
      n = sqlite3_column_count(stmt);
      if (n == 0) return;
      const int compiles = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
      if (shape.columns && shape.compiles == compiles && shape.columns->size() == static_cast<size_t>(n)) return;
      auto columns = std::make_shared<std::vector<std::string>>();
      columns->reserve(static_cast<size_t>(n));
      shape.dates.assign(static_cast<size_t>(n), 0);
      for (int i = 0; i < n; ++i) {
        columns->emplace_back(sqlite3_column_name(stmt, i));
        shape.dates[static_cast<size_t>(i)] = IsDateColumn(sqlite3_column_decltype(stmt, i)) ? 1 : 0;
      }
      shape.columns = std::move(columns);
      shape.compiles = compiles;
    };
    // The rows go to the set this connection made last when nobody else holds it (a read whose
    // rows were taken over and let go), else to a new one.
    std::vector<std::vector<Variant>> ownRows;
    std::vector<std::vector<Variant>>* rows = nullptr;  // chosen at the first row
    bool reusing = false;
    size_t count = 0;  // rows written
    bool restarted = false;
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) {
        readColumns();
        break;
      }
      if ((rc & 0xff) == SQLITE_BUSY && !restarted && count == 0 && MustRestartToWrite(stmt)) {
        sqlite3_reset(stmt);
        RestartToWrite();
        restarted = true;
        continue;
      }
      if (rc == SQLITE_INTERRUPT && timedOut_) {
        const DatabaseError e = SqliteError(db_.get(), rc);
        throw DatabaseError(e.what() + StatementTimeoutNote(limits_.statementTimeoutSeconds), e.category(),
                            e.nativeCode());
      }
      if (rc != SQLITE_ROW) throw SqliteError(db_.get(), rc);
      readColumns();
      if (!rows) {
        reusing = spare_ && spare_.use_count() == 1;
        // Its last holder may have let it go on another thread: what it did with the set comes first.
        if (reusing) std::atomic_thread_fence(std::memory_order_acquire);
        rows = reusing ? &spare_->Refill(shape.columns) : &ownRows;
      }
      if (count == rows->size()) rows->emplace_back();
      std::vector<Variant>& row = (*rows)[count++];
      row.resize(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) ReadColumn(stmt, i, shape.dates[static_cast<size_t>(i)] != 0, row[static_cast<size_t>(i)]);
    }
    if (n == 0) return nullptr;
    if (count == 0) return std::make_shared<Recordset>(shape.columns, std::move(ownRows));
    rows->resize(count);
    if (!reusing) spare_ = std::make_shared<Recordset>(shape.columns, std::move(ownRows));
    std::shared_ptr<Recordset> result = spare_;
    // A large set is not kept for the next read: its room would stay taken while the connection idles.
    if (count > kMaxSpareRows) spare_.reset();
    return result;
  }

  // Binds `values` to the placeholders of `stmt` in order; `what` names the statement when their
  // numbers differ.
  void BindAll(sqlite3_stmt* stmt, const std::vector<Variant>& values, const std::string& what) {
    const int expected = stmt ? sqlite3_bind_parameter_count(stmt) : 0;
    if (expected != static_cast<int>(values.size()))
      throw DatabaseError(what + " expects " + std::to_string(expected) + " parameters, " +
                              std::to_string(values.size()) + " were supplied.",
                          ErrorCategory::Syntax);
    for (size_t i = 0; i < values.size(); ++i) Bind(stmt, static_cast<int>(i) + 1, values[i]);
  }

  // Runs `sql`: without parameters every statement of it, with parameters its one statement with
  // them bound in order. The rows of the last statement that has columns go to `result`.
  void RunStatement(const std::string& sql, const std::vector<Variant>& params,
                    std::shared_ptr<Recordset>* result) {
    if (!params.empty()) {
      if (SeveralStatements(Engine::SQLite, sql))
        throw DatabaseError("A statement with parameters must be a single statement", ErrorCategory::Syntax);
      return RunKept(sql, params, "The statement", result);
    }
    Run(sql, result);
  }

  // Runs the one statement `sql` with `params` bound in order, compiled once and kept (BEGIN and
  // COMMIT run in every call, procedure bodies in many); `what` names the statement when the
  // numbers of placeholders and values differ.
  void RunKept(const std::string& sql, const std::vector<Variant>& params, const std::string& what,
               std::shared_ptr<Recordset>* result) {
    RunKeptAs(sql.size() <= kMaxKeptText ? KeptFor(sql) : nullptr, sql, params, what, result);
  }

  // BEGIN and COMMIT, which every call runs, each kept on its own without a look-up by text.
  void RunOwn(Kept& own, const std::string& sql) {
    if (!own.stmt) own.stmt = CompileToKeep(sql);
    RunKeptAs(&own, sql, {}, sql, nullptr);
  }

  // RunKept with the kept statement `kept` of `sql` (null, or one that did not compile: compiled
  // for this run).
  void RunKeptAs(Kept* kept, const std::string& sql, const std::vector<Variant>& params, const std::string& what,
                 std::shared_ptr<Recordset>* result) {
    if (kept && !kept->stmt) kept = nullptr;
    std::optional<Compiled> own;
    Shape ownShape;
    if (!kept) {
      // Compiled here, so that a text that does not compile reports the engine's reason.
      const char* rest = sql.c_str();
      own.emplace(db_.get(), rest);
    }
    sqlite3_stmt* stmt = kept ? kept->stmt.get() : own->get();
    const ResetOnExit reset{kept ? stmt : nullptr};
    BindAll(stmt, params, what);
    CollectInto(stmt, kept ? kept->shape : ownShape, result);
  }

  // Steps `stmt` to its end; its rows go to `result` when it has columns.
  void CollectInto(sqlite3_stmt* stmt, Shape& shape, std::shared_ptr<Recordset>* result) {
    auto rows = Collect(stmt, shape);
    if (result && stmt && sqlite3_column_count(stmt) > 0) *result = std::move(rows);
  }

  // The compiled statement kept for `text`, compiled now when it is new; null when it does not
  // compile. Statements of one shape and procedure bodies run many times with other values: their
  // compiled forms are kept with the connection (the engine compiles them again when the schema
  // changes). A text that does not compile is remembered as null and runs as written.
  Kept* KeptFor(const std::string& text) {
    if (const auto it = kept_.find(text); it != kept_.end()) return &it->second;
    KeptStatement stmt = CompileToKeep(text);
    // Bounded: a connection that meets ever new shapes starts its collection again.
    if (kept_.size() >= kMaxKept) kept_.clear();
    return &kept_.emplace(text, Kept{std::move(stmt), Shape{}}).first->second;
  }

  // `text` compiled to be run many times; null when it does not compile.
  KeptStatement CompileToKeep(const std::string& text) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), text.c_str(), static_cast<int>(text.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc == SQLITE_OK) return KeptStatement(stmt);
    sqlite3_finalize(stmt);
    return nullptr;
  }

  // Runs every statement of `sql`; the rows of the last statement that has columns go to `result`.
  void Run(const std::string& sql, std::shared_ptr<Recordset>* result) {
    const char* rest = sql.c_str();
    while (rest && *rest) {
      Compiled stmt(db_.get(), rest);
      if (!stmt) continue;  // blank or comment
      Shape shape;
      CollectInto(stmt.get(), shape, result);
    }
  }

  // Whether `stmt` failed to take the write lock for a transaction that has only read so far. A
  // transaction that holds a read snapshot is not given the busy wait (another writer holds the
  // lock, or has committed since the snapshot was taken), so it has to start again.
  bool MustRestartToWrite(sqlite3_stmt* stmt) const {
    return !sqlite3_get_autocommit(db_.get()) && sqlite3_txn_state(db_.get(), nullptr) == SQLITE_TXN_READ &&
           !sqlite3_stmt_readonly(stmt);
  }

  // Ends the transaction, which has written nothing, and begins it again with the write lock,
  // waiting for it under the busy timeout. Each statement reads committed data, so what the call
  // read before stays valid: the statements that follow see the newest committed rows.
  void RestartToWrite() {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    ExecuteScript("BEGIN IMMEDIATE");
  }

  // Whether `stmt` takes the write lock: a statement that writes (a PRAGMA aside: it sets up the
  // connection, as opening one does while its thread may hold the gate on another), and BEGIN
  // IMMEDIATE or EXCLUSIVE, which write nothing.
  static bool TakesWriteLock(sqlite3_stmt* stmt) {
    const char* sql = sqlite3_sql(stmt);
    if (!sql) return false;
    auto skipBlanks = [&] {
      while (*sql == ' ' || *sql == '\t' || *sql == '\n' || *sql == '\r') ++sql;
    };
    skipBlanks();
    if (strncasecmp(sql, "PRAGMA", 6) == 0) return false;
    if (!sqlite3_stmt_readonly(stmt)) return true;
    if (strncasecmp(sql, "BEGIN", 5) != 0) return false;
    sql += 5;
    skipBlanks();
    return strncasecmp(sql, "IMMEDIATE", 9) == 0 || strncasecmp(sql, "EXCLUSIVE", 9) == 0;
  }

  void EnterGate() {
    if (inGate_) return;
    if (!gate_->Take(busyWait_))
      throw DatabaseError("database is locked (another call of this process kept writing for " +
                              std::to_string(busyWait_.count() / 1000) + " s)",
                          ErrorCategory::Busy, std::to_string(SQLITE_BUSY));
    inGate_ = true;
  }
  void LeaveGate() {
    if (!inGate_) return;
    inGate_ = false;
    gate_->Give();
  }

  // Whether the running statement is past its deadline (the progress handler: nonzero stops it).
  // The first check, a few thousand steps in, sets the deadline.
  static int PastDeadline(void* self) {
    auto* c = static_cast<SqliteConnection*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (c->deadline_ == kNotStarted) {
      const int limit = c->limits_.statementTimeoutSeconds;
      c->deadline_ = limit > 0 ? now + std::chrono::seconds(limit) : std::chrono::steady_clock::time_point::max();
    }
    c->timedOut_ = now > c->deadline_;
    return c->timedOut_ ? 1 : 0;
  }

  // A caller's statement that changed a setting of this connection (a PRAGMA) keeps it from the
  // pool, so that the next call finds the settings it expects.
  void NoteSessionChange(const std::string& sql) {
    if (ChangesSession(Engine::SQLite, sql)) sessionChanged_ = true;
  }

  static inline const std::string kBegin = "BEGIN", kCommit = "COMMIT";
  static constexpr int kProgressSteps = 4000;
  static constexpr auto kNotStarted = std::chrono::steady_clock::time_point::min();
  // How many compiled statements a connection keeps, and the longest text it keeps.
  static constexpr size_t kMaxKept = 64;
  static constexpr size_t kMaxKeptText = 16 * 1024;
  // The most rows of a result set kept to be filled again by the next read.
  static constexpr size_t kMaxSpareRows = 64;
  Handle db_;
  // Finalized before the handle closes (declared after it).
  std::unordered_map<std::string, Kept> kept_;
  Kept begin_, commit_;
  std::shared_ptr<Recordset> spare_;  // the last result set, filled again when nobody holds it
  std::string runText_;  // the text of the library statement running
  Limits limits_;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  bool timedOut_ = false;
  bool sessionChanged_ = false;
  WriterGate* gate_ = nullptr;
  bool inGate_ = false;
  std::chrono::milliseconds busyWait_{0};
};

}  // namespace

uint64_t SqliteGateWaits() { return gateWaits; }

std::unique_ptr<Connection> OpenSqlite(const ConnectionInfo& info, OpenMode mode, const Limits& limits) {
  return std::make_unique<SqliteConnection>(info, mode, limits);
}

}  // namespace kx::db
