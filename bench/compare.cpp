// kx_compare: KX against the raw database engine running the same statements in the same process.
// Every KX call is made as a host makes it (class created by name, members invoked late-bound, each
// call in its own transaction scope completed at its end); the raw side runs the statement texts
// KX runs for that call, between BEGIN and COMMIT, on a connection with the same settings. The floor
// is the engine's cheapest way to run the same statements: prepared once and kept, with their
// values bound; on SQLite between a kept deferred BEGIN and COMMIT, on PostgreSQL each statement on
// its own (one round trip, its own transaction).
//
//   kx_compare [--quick] [--engine sqlite|postgresql] [--only ops|startup|paging|threads]
//              [--rounds N] [--dir DIR] [--json FILE] [--label TEXT]
//   kx_compare --compare BEFORE.json NOW.json
//
// PostgreSQL runs when KX_BENCH_PG_SERVER ("host,port") is set; KX_BENCH_PG_DATABASE (kxbench),
// KX_BENCH_PG_USER (kx) and KX_BENCH_PG_PASSWORD (none) complete the login.
#include <fcntl.h>
#include <sched.h>
#include <libpq-fe.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "kx/variant.h"
#include "shared/s_db_help_for_kx.h"

extern char** environ;

namespace {

using namespace kx::bench;

// ---- options

// What to measure and how much: sections, engines, sizes and rounds.
struct Options : CommonOptions {
  Options() {
    rounds = 5;
    json = "bench-results.json";
  }
  std::vector<std::string> sections;      // empty: every section
  std::string compareBefore, compareNow;  // --compare: two result files, and no run

  bool Section(const std::string& name) const {
    return sections.empty() || std::find(sections.begin(), sections.end(), name) != sections.end();
  }
  // Calls per operation and round, rows in the table during the operations.
  int opsCalls(const std::string& engine) const { return quick ? 100 : engine == "sqlite" ? 2000 : 1000; }
  int preloadRows() const { return quick ? 100 : 1000; }
  std::vector<int64_t> pagingSizes() const {
    return quick ? std::vector<int64_t>{10000} : std::vector<int64_t>{100000, 1000000};
  }
  int pagingRepeats(int64_t rows) const { return quick ? 2 : rows >= 1000000 ? 3 : 5; }
  double threadSeconds() const { return quick ? 0.3 : 1.0; }
  int startupRuns() const { return quick ? 3 : 15; }
};

const char* const kUsage =
    "usage: kx_compare [--quick] [--engine sqlite|postgresql] [--only ops|startup|paging|threads]\n"
    "                  [--rounds N] [--dir DIR] [--json FILE] [--label TEXT]\n"
    "  --quick    small sizes (10k rows, 1 round) for a smoke check\n"
    "  --engine   one engine (repeatable); default SQLite, and PostgreSQL when KX_BENCH_PG_SERVER is set\n"
    "  --only     one section (repeatable, or comma separated); default all\n"
    "  --rounds   alternating KX/raw rounds (default 5, quick 1)\n"
    "  --dir      folder of the SQLite databases (default /dev/shm, else /tmp)\n"
    "  --json     where the figures are written (default bench-results.json)\n"
    "  --label    a text stored with the figures (for example the commit)\n"
    "  kx_compare --compare BEFORE.json NOW.json   prints how the figures of two runs differ\n";

// The options of the command line; a wrong argument fails with its reason.
Options ParseOptions(int argc, char** argv) {
  Options o;
  ParseCommandLine(argc, argv, o, kUsage, [&](const std::string& a, int& i, auto value) {
    if (a == "--only") {
      for (const auto& s : SplitList(value(i))) {
        if (s != "ops" && s != "startup" && s != "paging" && s != "threads")
          throw std::invalid_argument("unknown section '" + s + "'");
        o.sections.push_back(s);
      }
    } else if (a == "--compare") {
      o.compareBefore = value(i);
      o.compareNow = value(i);
    } else {
      return false;
    }
    return true;
  });
  return o;
}

// ---- the test data: type profiles P0000000, P0000001, ...; even ones are trucks, odd ones rail

// The code, name and category of profile `i`.
std::string Code(int64_t i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "P%07lld", static_cast<long long>(i));
  return buf;
}
std::string Name(int64_t i) { return (i % 2 == 0 ? "Truck job " : "Rail job ") + std::to_string(i); }
std::string Category(int64_t i) { return i % 2 == 0 ? "TR" : "RL"; }

// The search condition of the paging cases that selects half of the rows.
const char* const kIncludeKey =
    "<AccessKeys><AccessKey Field=\"JBTypeName\" SearchCondition=\"Include\" Key=\"Truck\"/></AccessKeys>";
const char* const kIncludeWhere = " WHERE JB_TYPE_NAME LIKE '%Truck%'";

// ---- the statements KX runs for each type profile call (the texts it keeps in strSQL)

std::string SelectByKey(const std::string& code) {
  return "select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + code + "'";
}
std::string InsertStatement(const std::string& code, const std::string& name, const std::string& category) {
  return "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" + code + "','" +
         name + "','" + category + "')";
}
std::string UpdateStatement(const std::string& code, const std::string& name, const std::string& category) {
  return "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = '" + name + "', JB_TYPE_CATEGORY = '" + category +
         "' Where JB_TYPE_CODE= '" + code + "'";
}
std::string DeleteStatement(const std::string& code) {
  return "DELETE FROM JB_TYPE_PROFILE Where JB_TYPE_CODE= '" + code + "'";
}
// The same statements as the floor runs them, with placeholders ($1, ... in order: SQLite reads
// them as parameters too).
const char* const kFloorSelect = "select * from JB_TYPE_PROFILE where JB_TYPE_CODE = $1";
const char* const kFloorInsert =
    "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ($1,$2,$3)";
const char* const kFloorUpdate =
    "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = $1, JB_TYPE_CATEGORY = $2 Where JB_TYPE_CODE= $3";
const char* const kFloorDelete = "DELETE FROM JB_TYPE_PROFILE Where JB_TYPE_CODE= $1";

std::string ProfileXml(const std::string& code, const std::string& name, const std::string& category) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name + "\" JBTypeCategory=\"" + category +
         "\"/>";
}

// ---- the raw engines

// A connection of the engine's own C library: statements as text, every row read and its cells
// copied out, as a program using the engine directly would.
class RawEngine {
 public:
  virtual ~RawEngine() = default;
  // Runs `sql`, reading every row; returns the number of rows. `firstCell` receives the first
  // column of the first row.
  virtual size_t Read(const std::string& sql, std::string* firstCell = nullptr) = 0;
  // Inserts type profiles first .. first+count-1 in one transaction.
  virtual void BulkLoad(int64_t first, int64_t count) = 0;

  void Exec(const std::string& sql) { Read(sql); }
  // The integer in the first cell of `sql`'s answer.
  int64_t Scalar(const std::string& sql) {
    std::string cell;
    Read(sql, &cell);
    return std::stoll(cell);
  }
  // Runs `body` between BEGIN and COMMIT, rolling back when it fails. A plain BEGIN: deferred on
  // SQLite (the write lock is taken by the first write), READ COMMITTED on PostgreSQL.
  void Transaction(const std::function<void()>& body) { Around(body, false); }
  // The floor: runs `sql` with `values` bound to its placeholders, prepared once per connection and
  // kept; returns the number of rows read.
  virtual size_t Kept(const std::string& sql, const std::vector<std::string>& values) = 0;
  // The floor's transaction around `body`: a kept deferred BEGIN and COMMIT on SQLite; nothing on
  // PostgreSQL, where each statement is its own transaction.
  virtual void FloorCall(const std::function<void()>& body) = 0;

  // Bytes of cell text read so far (kept so that no read can be left out by the compiler).
  size_t bytes = 0;

 protected:
  // Runs `body` between BEGIN and COMMIT (kept statements when `kept`), rolling back when it fails.
  void Around(const std::function<void()>& body, bool kept) {
    kept ? (void)Kept("BEGIN", {}) : Exec("BEGIN");
    try {
      body();
    } catch (...) {
      try {
        Exec("ROLLBACK");
      } catch (...) {
        // The failure of the body is the one to report.
      }
      throw;
    }
    kept ? (void)Kept("COMMIT", {}) : Exec("COMMIT");
  }
};

class RawSqlite : public RawEngine {
 public:
  // Opens the database file with the settings KX gives its connections: WAL and a busy timeout.
  explicit RawSqlite(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error(message + " (" + path + ")");
    }
    sqlite3_busy_timeout(db_, 10000);
    Exec("PRAGMA journal_mode=WAL");
  }
  ~RawSqlite() override {
    for (auto& [sql, stmt] : kept_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
  }

  size_t Read(const std::string& sql, std::string* firstCell) override {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
    const size_t rows = Rows(stmt, sql, firstCell);
    sqlite3_finalize(stmt);
    return rows;
  }

  size_t Kept(const std::string& sql, const std::vector<std::string>& values) override {
    sqlite3_stmt*& stmt = kept_[sql];
    if (!stmt && sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
      Fail(sql);
    for (size_t i = 0; i < values.size(); ++i)
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), values[i].data(), static_cast<int>(values[i].size()),
                        SQLITE_STATIC);
    const size_t rows = Rows(stmt, sql, nullptr);
    sqlite3_reset(stmt);
    return rows;
  }
  void FloorCall(const std::function<void()>& body) override { Around(body, true); }

  void BulkLoad(int64_t first, int64_t count) override {
    Transaction([&] {
      sqlite3_stmt* stmt = nullptr;
      const char* sql =
          "INSERT INTO JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) VALUES (?1, ?2, ?3)";
      if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
      for (int64_t i = first; i < first + count; ++i) {
        const std::string code = Code(i), name = Name(i), category = Category(i);
        sqlite3_bind_text(stmt, 1, code.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, category.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
          sqlite3_finalize(stmt);
          Fail(sql);
        }
        sqlite3_reset(stmt);
      }
      sqlite3_finalize(stmt);
    });
  }

 private:
  // Steps `stmt` to its end, copying every cell out; the number of rows.
  size_t Rows(sqlite3_stmt* stmt, const std::string& sql, std::string* firstCell) {
    size_t rows = 0;
    std::vector<std::string> cells(static_cast<size_t>(sqlite3_column_count(stmt)));
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      for (size_t c = 0; c < cells.size(); ++c) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, static_cast<int>(c)));
        cells[c].assign(text ? text : "",
                        static_cast<size_t>(sqlite3_column_bytes(stmt, static_cast<int>(c))));
        bytes += cells[c].size();
      }
      if (rows++ == 0 && firstCell && !cells.empty()) *firstCell = cells[0];
    }
    if (rc != SQLITE_DONE) {
      sqlite3_reset(stmt);
      Fail(sql);
    }
    return rows;
  }
  [[noreturn]] void Fail(const std::string& sql) {
    throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in: " + sql.substr(0, 200));
  }
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> kept_;
};

class RawPostgres : public RawEngine {
 public:
  // Connects as KX does: host and port from "host,port", UTF8, the server's READ COMMITTED default.
  RawPostgres(const std::string& server, const std::string& database, const std::string& user,
              const std::string& password) {
    std::string host = server, port;
    const auto sep = host.find_first_of(",:");
    if (sep != std::string::npos) {
      port = host.substr(sep + 1);
      host.resize(sep);
    }
    std::vector<const char*> keys, values;
    auto add = [&](const char* key, const std::string& value) {
      if (value.empty()) return;
      keys.push_back(key);
      values.push_back(value.c_str());
    };
    const std::string encoding = "UTF8", name = "kx_compare";
    add("host", host);
    add("port", port);
    add("dbname", database);
    add("user", user);
    add("password", password);
    add("client_encoding", encoding);
    add("application_name", name);
    keys.push_back(nullptr);
    values.push_back(nullptr);
    conn_ = PQconnectdbParams(keys.data(), values.data(), 0);
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(conn_);
      PQfinish(conn_);
      throw std::runtime_error("PostgreSQL: " + message);
    }
  }
  ~RawPostgres() override { PQfinish(conn_); }

  size_t Read(const std::string& sql, std::string* firstCell) override {
    return Rows(PQexec(conn_, sql.c_str()), sql, firstCell);
  }

  size_t Kept(const std::string& sql, const std::vector<std::string>& values) override {
    auto it = kept_.find(sql);
    if (it == kept_.end()) {
      const std::string name = "floor_" + std::to_string(kept_.size() + 1);
      PGresult* res = PQprepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(values.size()), nullptr);
      Check(res, sql);
      PQclear(res);
      it = kept_.emplace(sql, name).first;
    }
    std::vector<const char*> pointers;
    for (const auto& v : values) pointers.push_back(v.c_str());
    return Rows(PQexecPrepared(conn_, it->second.c_str(), static_cast<int>(pointers.size()), pointers.data(),
                               nullptr, nullptr, 0),
                sql, nullptr);
  }
  void FloorCall(const std::function<void()>& body) override { body(); }

  void BulkLoad(int64_t first, int64_t count) override {
    Transaction([&] {
      const std::string copy =
          "COPY JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) FROM STDIN";
      PGresult* res = PQexec(conn_, copy.c_str());
      if (PQresultStatus(res) != PGRES_COPY_IN) Check(res, copy);
      PQclear(res);
      std::string chunk;
      for (int64_t i = first; i < first + count; ++i) {
        chunk += Code(i) + '\t' + Name(i) + '\t' + Category(i) + '\n';
        if (chunk.size() > (1 << 16) || i + 1 == first + count) {
          if (PQputCopyData(conn_, chunk.data(), static_cast<int>(chunk.size())) != 1)
            throw std::runtime_error(PQerrorMessage(conn_));
          chunk.clear();
        }
      }
      if (PQputCopyEnd(conn_, nullptr) != 1) throw std::runtime_error(PQerrorMessage(conn_));
      while (PGresult* end = PQgetResult(conn_)) {
        Check(end, copy);
        PQclear(end);
      }
    });
    // What autovacuum would do soon after a load this size: statistics and the visibility map.
    Exec("VACUUM ANALYZE JB_TYPE_PROFILE");
  }

 private:
  // Reads every row of `res` and frees it; the number of rows.
  size_t Rows(PGresult* res, const std::string& sql, std::string* firstCell) {
    Check(res, sql);
    const int rows = PQntuples(res), cols = PQnfields(res);
    std::vector<std::string> cells(static_cast<size_t>(cols));
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        cells[static_cast<size_t>(c)].assign(PQgetvalue(res, r, c),
                                             static_cast<size_t>(PQgetlength(res, r, c)));
        bytes += cells[static_cast<size_t>(c)].size();
      }
      if (r == 0 && firstCell && cols > 0) *firstCell = cells[0];
    }
    PQclear(res);
    return static_cast<size_t>(rows);
  }

  // Fails with the server's message unless `res` reports success; frees `res` only on failure.
  void Check(PGresult* res, const std::string& sql) {
    const auto status = PQresultStatus(res);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) return;
    const std::string message = PQresultErrorMessage(res);
    PQclear(res);
    throw std::runtime_error("PostgreSQL: " + message + " in: " + sql.substr(0, 200));
  }
  PGconn* conn_ = nullptr;
  std::map<std::string, std::string> kept_;  // statement text -> prepared name
};

// ---- engines and their component folders

// A component folder for one engine with its Config.ini, set as KX_HOME; the database installed
// through KX and the type profile table emptied.
class BenchHome {
 public:
  BenchHome(const EngineSetup& engine, const Options& options) : engine_(engine) {
    std::string pattern = options.dir + "/kx-compare.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a folder in " + options.dir);
    folder_ = pattern;
    try {
      Prepare();
    } catch (...) {
      kx::db::ClearPool();
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      throw;
    }
  }
  ~BenchHome() {
    try {
      kx::db::ClearPool();
      if (engine_.name == "postgresql") OpenRaw()->Exec("DELETE FROM JB_TYPE_PROFILE");
    } catch (const std::exception& e) {
      std::cerr << "cleaning up: " << e.what() << "\n";
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  BenchHome(const BenchHome&) = delete;
  BenchHome& operator=(const BenchHome&) = delete;

  const std::string& folder() const { return folder_; }
  std::string sqliteFile() const { return folder_ + "/bench.db"; }

  // A new raw connection to the same database, with the settings of KX's connections.
  std::unique_ptr<RawEngine> OpenRaw() const {
    std::unique_ptr<RawEngine> raw;
    if (engine_.name == "sqlite")
      raw = std::make_unique<RawSqlite>(sqliteFile());
    else
      raw =
          std::make_unique<RawPostgres>(Env("KX_BENCH_PG_SERVER", ""), Env("KX_BENCH_PG_DATABASE", "kxbench"),
                                        Env("KX_BENCH_PG_USER", "kx"), Env("KX_BENCH_PG_PASSWORD", ""));
    for (const auto& [name, value] : settings_)
      raw->Exec(engine_.name == "sqlite" ? "PRAGMA " + name + " = " + value
                                         : "SET " + name + " = '" + value + "'");
    return raw;
  }
  // The settings as "name=value, ...".
  std::string Settings() const {
    std::string out;
    for (const auto& [name, value] : settings_) out += (out.empty() ? "" : ", ") + name + "=" + value;
    return out;
  }

 private:
  // Writes Config.ini, installs the database through KX, reads the settings of KX's connections and
  // empties the type profile table.
  void Prepare() {
    setenv("KX_HOME", folder_.c_str(), 1);
    WriteConfig(folder_, engine_.databaseConfig);
    kx::S_DBHelpForKX helper;
    kx::db::InstallDatabase(helper.GetConnectionString());
    // The settings of KX's own connections that decide what a statement and a commit cost, read
    // through KX and given to every raw connection, so that both sides commit alike.
    const bool sqlite = engine_.name == "sqlite";
    using Setting = std::pair<const char*, const char*>;  // name, column of its answer
    for (const auto& [name, column] :
         sqlite ? std::vector<Setting>{{"synchronous", "synchronous"}, {"busy_timeout", "timeout"}}
                : std::vector<Setting>{{"synchronous_commit", "synchronous_commit"}}) {
      const auto rs = helper.RunSQLReturnRS((sqlite ? "PRAGMA " : "SHOW ") + std::string(name));
      settings_.emplace_back(name, kx::CStr(rs->Field(column)));
    }
    kx::db::ClearPool();
    OpenRaw()->Exec("DELETE FROM JB_TYPE_PROFILE");
  }

  EngineSetup engine_;
  std::string folder_;
  std::vector<std::pair<std::string, std::string>> settings_;
};

// ---- KX calls as a host makes them

// A type profile controller created by name once and called late-bound, each call in its own
// transaction scope that is completed when the call returns.
class KxClient {
 public:
  KxClient() : object_(kx::Registry::Instance().Create("C_JBTypeProfile")) {}

  kx::Variant Call(const std::string& member, kx::Args& args) {
    kx::TransactionScope scope;
    kx::Variant result = kx::Registry::Instance().Invoke(*object_, member, args);
    scope.Complete();
    return result;
  }
  kx::Variant Call(const std::string& member, const std::string& argument) {
    kx::Args args{kx::Variant(argument)};
    return Call(member, args);
  }

 private:
  kx::ObjectPtr object_;
};

// The text of a failure, with the KX error chain when there is one.
std::string Describe(const std::exception& e) {
  if (const auto* k = dynamic_cast<const kx::Error*>(&e)) return k->description();
  return e.what();
}

// ---- output: tables on stdout, every figure in JSON

// Every figure of a run, for the JSON file, and the targets with what was measured.
struct Results {
  std::vector<JsonObject> settings, ops, startup, paging, threads;
  Targets targets;
  int failures = 0;  // answers that were wrong and calls that failed

  // Records a target with its measured figure.
  void Target(const std::string& what, const std::string& limit, double measured, const std::string& unit,
              bool met) {
    targets.Add(what, limit, measured, unit, met);
  }
};

// ---- section: each controller operation against the raw engine

const char* const kOperations[] = {"add", "getElementByXML", "modify", "remove"};

// The sides of a comparison, each with the letter its codes begin with.
enum class Side : char { kKx = 'K', kRaw = 'R', kFloor = 'F' };

// The codes of one side in one round: K<round>x<i> for KX, R<round>x<i> for the raw engine,
// F<round>x<i> for the floor.
std::string OpCode(Side side, int round, int i) {
  return std::string(1, static_cast<char>(side)) + std::to_string(round) + "x" + std::to_string(i);
}

// Runs `calls` calls of operation `op` for one side and round; returns calls per second.
double RunOperation(int op, Side side, KxClient& kxClient, RawEngine& raw, int round, int calls) {
  const auto start = SteadyClock::now();
  for (int i = 0; i < calls; ++i) {
    const std::string code = OpCode(side, round, i);
    const std::string name = op == 2 ? "Rail job " + std::to_string(i) : "Truck job " + std::to_string(i);
    const std::string category = op == 2 ? "RL" : "TR";
    if (side == Side::kKx) {
      if (op == 0) kxClient.Call("add", ProfileXml(code, name, category));
      if (op == 1) kxClient.Call("getElementByXML", code);
      if (op == 2) kxClient.Call("modify", ProfileXml(code, name, category));
      if (op == 3) kxClient.Call("remove", code);
    } else if (side == Side::kRaw) {
      raw.Transaction([&] {
        if (op == 0) raw.Exec(InsertStatement(code, name, category));
        if (op != 0) raw.Read(SelectByKey(code));
        if (op == 2) raw.Exec(UpdateStatement(code, name, category));
        if (op == 3) raw.Exec(DeleteStatement(code));
      });
    } else {
      raw.FloorCall([&] {
        if (op == 0) raw.Kept(kFloorInsert, {code, name, category});
        if (op != 0) raw.Kept(kFloorSelect, {code});
        if (op == 2) raw.Kept(kFloorUpdate, {name, category, code});
        if (op == 3) raw.Kept(kFloorDelete, {code});
      });
    }
  }
  return calls / Since(start);
}

// Checks that operation `op` of one side did what it should, so that no figure comes from calls
// that did nothing.
void CheckOperation(RawEngine& raw, int op, Side side, int round, int calls) {
  const std::string prefix =
      " WHERE JB_TYPE_CODE LIKE '" + std::string(1, static_cast<char>(side)) + std::to_string(round) + "x%'";
  const int64_t rows = raw.Scalar("SELECT COUNT(*) FROM JB_TYPE_PROFILE" + prefix);
  const int64_t rail =
      raw.Scalar("SELECT COUNT(*) FROM JB_TYPE_PROFILE" + prefix + " AND JB_TYPE_CATEGORY = 'RL'");
  const int64_t expectedRows = op == 3 ? 0 : calls, expectedRail = op == 2 ? calls : 0;
  if (rows != expectedRows || rail != expectedRail)
    throw std::runtime_error(std::string(kOperations[op]) + " of " +
                             (side == Side::kKx ? "KX" : side == Side::kRaw ? "the raw engine" : "the floor") +
                             " left " + std::to_string(rows) + " rows (" + std::to_string(rail) +
                             " modified), expected " + std::to_string(expectedRows) + " (" +
                             std::to_string(expectedRail) + ")");
}

// On PostgreSQL a call's time is mostly round trips, and what one costs depends on where the
// scheduler puts the server's backend: on the client's CPU it runs while the client waits; on the
// other CPU every message wakes an idle CPU, which costs this kind of virtual machine about 150 µs.
// The scheduler chooses per connection and the choice sticks, so the two sides of a comparison met
// different costs (KX/raw ranged from 0.2 to 5 between rounds of one run). While the operations
// are measured, the client and every backend of the benchmark's database are therefore kept on the
// client's CPU: both sides meet the same conditions and the figures compare the work each does.
// Backends that cannot be moved (a server of another user or machine) leave everything as it was.
class OneCpu {
 public:
  explicit OneCpu(RawEngine& raw) {
    std::string list;
    raw.Read("SELECT string_agg(pid::text, ',') FROM pg_stat_activity WHERE datname = current_database() "
             "AND backend_type = 'client backend'",
             &list);
    if (sched_getaffinity(0, sizeof all_, &all_) != 0) return;
    cpu_ = sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu_, &one);
    std::stringstream pids(list);
    for (std::string pid; std::getline(pids, pid, ',');) {
      // Only a local server's backends: a process of that number must be a PostgreSQL one.
      std::ifstream comm("/proc/" + pid + "/comm");
      std::string name;
      if (!(comm >> name) || name != "postgres" || sched_setaffinity(std::stoi(pid), sizeof one, &one) != 0) {
        Restore();
        return;
      }
      pids_.push_back(std::stoi(pid));
    }
    pinned_ = !pids_.empty() && sched_setaffinity(0, sizeof one, &one) == 0;
    if (!pinned_) Restore();
  }
  ~OneCpu() { Restore(); }
  OneCpu(const OneCpu&) = delete;
  OneCpu& operator=(const OneCpu&) = delete;

  // What was done, for the report.
  std::string Describe() const {
    return pinned_ ? "the client and the server's " + std::to_string(pids_.size()) +
                         " backends kept on CPU " + std::to_string(cpu_) + " while the operations are measured"
                   : "the server's backends could not be kept on the client's CPU: figures depend on where the "
                     "scheduler puts them";
  }

 private:
  void Restore() {
    for (pid_t pid : pids_) sched_setaffinity(pid, sizeof all_, &all_);
    sched_setaffinity(0, sizeof all_, &all_);
    pids_.clear();
    pinned_ = false;
  }
  cpu_set_t all_{};
  int cpu_ = 0;
  std::vector<pid_t> pids_;
  bool pinned_ = false;
};

// The floor's targets: every call within 1.5 times the floor, but a PostgreSQL write within 2.2
// times: its COMMIT must be answered before the caller is, one round trip more than the floor's.
double FloorLimit(const std::string& engine, int op) { return engine == "postgresql" && op != 1 ? 2.2 : 1.5; }

// Each controller operation against the raw engine and the floor, in rotating rounds.
void RunOps(const EngineSetup& engine, BenchHome& home, const Options& options, Results& results) {
  auto raw = home.OpenRaw();
  raw->BulkLoad(0, options.preloadRows());
  KxClient kxClient;
  const int calls = options.opsCalls(engine.name);
  // A first call of each side outside the measurement: connections, schemas, caches.
  kxClient.Call("getElementByXML", Code(0));
  raw->Transaction([&] { raw->Read(SelectByKey(Code(0))); });
  raw->FloorCall([&] { raw->Kept(kFloorSelect, {Code(0)}); });
  std::optional<OneCpu> oneCpu;
  if (engine.name == "postgresql") {
    oneCpu.emplace(*raw);
    std::cout << engine.name << ": " << oneCpu->Describe() << "\n\n";
  }

  constexpr Side kSides[] = {Side::kKx, Side::kRaw, Side::kFloor};
  std::vector<double> rate[3][4], overRaw[4], overFloor[4];
  for (int round = 0; round < options.rounds; ++round) {
    for (int op = 0; op < 4; ++op) {
      double r[3] = {};
      // Each side goes first, second and third in turn.
      for (int turn = 0; turn < 3; ++turn) {
        const int side = (turn + round + op) % 3;
        r[side] = RunOperation(op, kSides[side], kxClient, *raw, round, calls);
        CheckOperation(*raw, op, kSides[side], round, calls);
      }
      for (int side = 0; side < 3; ++side) rate[side][op].push_back(r[side]);
      overRaw[op].push_back(r[1] / r[0]);
      overFloor[op].push_back(r[2] / r[0]);
    }
  }
  std::vector<std::vector<std::string>> rows{
      {"operation", "engine", "KX calls/s", "raw calls/s", "floor calls/s", "KX/raw", "KX/floor"}};
  auto rounds = [](const std::vector<double>& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + Fixed(v[i], 1);
    return out + "]";
  };
  for (int op = 0; op < 4; ++op) {
    const double k = Median(rate[0][op]), r = Median(rate[1][op]), f = Median(rate[2][op]);
    const double q = Median(overRaw[op]), qf = Median(overFloor[op]);
    rows.push_back({kOperations[op], engine.name, Fixed(k, 0), Fixed(r, 0), Fixed(f, 0), Fixed(q, 2) + "x",
                    Fixed(qf, 2) + "x"});
    results.ops.push_back(JsonObject()
                              .Text("engine", engine.name)
                              .Text("operation", kOperations[op])
                              .Number("calls_per_round", calls)
                              .Number("kx_calls_per_s", k)
                              .Number("raw_calls_per_s", r)
                              .Number("floor_calls_per_s", f)
                              .Number("kx_over_raw", q)
                              .Number("kx_over_floor", qf)
                              .Raw("kx_rounds", rounds(rate[0][op]))
                              .Raw("raw_rounds", rounds(rate[1][op]))
                              .Raw("floor_rounds", rounds(rate[2][op])));
    results.Target(std::string(kOperations[op]) + " " + engine.name + " KX/raw", "<= 1.3", q, "x", q <= 1.3);
    const double limit = FloorLimit(engine.name, op);
    results.Target(std::string(kOperations[op]) + " " + engine.name + " KX/floor", "<= " + Fixed(limit, 1), qf,
                   "x", qf <= limit);
  }
  PrintTable("Type profile calls, " + engine.name + " in " + home.folder() + " (median of " +
                 std::to_string(options.rounds) + " rotating rounds of " + std::to_string(calls) +
                 " calls; KX/raw = KX time / raw time; the floor: kept statements, " +
                 (engine.name == "sqlite" ? "deferred BEGIN" : "no BEGIN or COMMIT") + ")",
             rows);
}

// ---- section: process start of `kx call` against the sqlite3 shell

// Runs `argv` with its output discarded; returns its wall time in milliseconds, or -1 when it fails.
double TimeProcess(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = SteadyClock::now();
  pid_t pid;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = Since(start) * 1000;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// The process time of `kx call` against the sqlite3 shell's, on SQLite.
void RunStartup(const EngineSetup& engine, BenchHome& home, const Options& options, Results& results) {
  if (engine.name != "sqlite") return;
  auto raw = home.OpenRaw();
  raw->BulkLoad(0, options.preloadRows());
  raw.reset();
  kx::db::ClearPool();
  const std::vector<std::string> kxCall{KX_TOOL_PATH,      "--home",          home.folder(), "call",
                                        "C_JBTypeProfile", "getElementByXML", Code(1)};
  const std::vector<std::string> shell{"sqlite3", home.sqliteFile(), "select 1"};
  if (TimeProcess(kxCall) < 0) throw std::runtime_error("kx call failed: " + std::string(KX_TOOL_PATH));
  const bool haveShell = TimeProcess(shell) >= 0;
  std::vector<double> kxMs, shellMs;
  for (int i = 0; i < options.startupRuns(); ++i) {
    kxMs.push_back(TimeProcess(kxCall));
    if (haveShell) shellMs.push_back(TimeProcess(shell));
  }
  const double k = Median(kxMs), s = haveShell ? Median(shellMs) : 0;
  JsonObject json =
      JsonObject().Text("engine", engine.name).Number("runs", options.startupRuns()).Number("kx_call_ms", k);
  std::vector<std::vector<std::string>> rows{{"process", "engine", "ms (median)"},
                                             {"kx call getElementByXML", engine.name, Fixed(k, 1)}};
  if (haveShell) {
    json.Number("sqlite3_select_1_ms", s).Number("kx_over_sqlite3", k / s);
    rows.push_back({"sqlite3 db 'select 1'", engine.name, Fixed(s, 1)});
    rows.push_back({"KX/sqlite3", "", Fixed(k / s, 2) + "x"});
    results.Target("kx call sqlite process / sqlite3 select 1", "<= 2", k / s, "x", k / s <= 2);
  } else {
    rows.push_back({"sqlite3 shell not installed: no comparison", "", ""});
  }
  results.startup.push_back(json);
  PrintTable(
      "Process start, " + engine.name + " (median of " + std::to_string(options.startupRuns()) + " runs)",
      rows);
}

// ---- section: paging at scale, each case in a forked child for its peak memory

// What one paging case measured in its child process.
struct CaseResult {
  bool ok = false;
  std::string error;
  double medianMs = 0;
  long baseKb = 0;  // resident size when the child started (inherited from the bench)
  long peakKb = 0;  // the child's ru_maxrss
  int64_t count = 0;
  int64_t rows = 0;
  std::string firstCode;
};

// The resident size of this process in KiB.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// One paging call: the row count, the rows of the page and the first code on it.
struct PageAnswer {
  int64_t count = 0;
  int64_t rows = 0;
  std::string firstCode;
};

// In a forked child: makes the call with `setup` (its connection or controller made once), runs it
// once to warm up and `repeats` times measured; the child reports through a pipe, its peak memory
// comes from wait4.
CaseResult InChild(const std::function<std::function<PageAnswer()>()>& setup, int repeats) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::cout.flush();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    std::ostringstream out;
    const long base = ResidentKb();
    try {
      const std::function<PageAnswer()> call = setup();
      PageAnswer answer = call();
      std::vector<double> ms;
      for (int i = 0; i < repeats; ++i) {
        const auto start = SteadyClock::now();
        answer = call();
        ms.push_back(Since(start) * 1000);
      }
      out << "ok " << Median(ms) << " " << base << " " << answer.count << " " << answer.rows << " "
          << (answer.firstCode.empty() ? "-" : answer.firstCode);
    } catch (const std::exception& e) {
      out << "error " << Describe(e);
    }
    try {
      kx::db::ClearPool();
    } catch (...) {
    }
    const std::string text = out.str();
    if (write(fds[1], text.data(), text.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  CaseResult result;
  result.peakKb = usage.ru_maxrss;
  std::istringstream in(text);
  std::string word;
  in >> word;
  if (word == "ok") {
    result.ok = true;
    in >> result.medianMs >> result.baseKb >> result.count >> result.rows >> result.firstCode;
  } else {
    std::getline(in, result.error);
    if (result.error.empty()) result.error = "the child process ended with status " + std::to_string(status);
  }
  return result;
}

// The page answer of KX: ResultCount, the items of the page and the first code.
PageAnswer KxPage(KxClient& client, int32_t page, const std::string& accessKey) {
  kx::Args args{kx::Variant(), kx::Variant(), kx::Variant(int32_t{20}), kx::Variant(page),
                kx::Variant(accessKey)};
  const std::string xml = kx::CStr(client.Call("queryOwnedElementsByXML", args));
  PageAnswer answer;
  answer.count = kx::CLng(args[0]);
  for (size_t at = xml.find("<JBTypeProfile "); at != std::string::npos;
       at = xml.find("<JBTypeProfile ", at + 1)) {
    if (answer.rows++ == 0) {
      const size_t start = xml.find("Code=\"", at) + 6;
      answer.firstCode = xml.substr(start, xml.find('"', start) - start);
    }
  }
  return answer;
}

// The same page read by the raw engine: COUNT(*) and ORDER BY the key with LIMIT/OFFSET.
PageAnswer RawPage(RawEngine& raw, int32_t page, const std::string& where) {
  PageAnswer answer;
  raw.Transaction([&] {
    answer.count = raw.Scalar("SELECT COUNT(*) FROM JB_TYPE_PROFILE" + where);
    answer.rows = static_cast<int64_t>(raw.Read("SELECT * FROM JB_TYPE_PROFILE" + where +
                                                    " ORDER BY JB_TYPE_CODE LIMIT 20 OFFSET " +
                                                    std::to_string(static_cast<int64_t>(page - 1) * 20),
                                                &answer.firstCode));
  });
  return answer;
}

std::string Megabytes(long kb) { return Fixed(kb / 1024.0, 1); }

// Pages 1, middle and last of 100k and 1M profiles, with and without a condition, against the raw
// engine's COUNT(*) and LIMIT/OFFSET.
void RunPaging(const EngineSetup& engine, BenchHome& home, const Options& options, Results& results) {
  std::vector<std::vector<std::string>> rows{
      {"rows", "key", "page", "count", "KX ms", "raw ms", "KX/raw", "KX peak MB", "raw peak MB", "check"}};
  int64_t loaded = 0;
  for (const int64_t size : options.pagingSizes()) {
    {
      const auto start = SteadyClock::now();
      auto raw = home.OpenRaw();
      raw->BulkLoad(loaded, size - loaded);
      loaded = size;
      std::cout << "\n(" << engine.name << ": " << size << " type profiles loaded in "
                << Fixed(Since(start), 1) << " s)" << std::flush;
    }
    kx::db::ClearPool();  // no connection is carried into a child
    const int repeats = options.pagingRepeats(size);
    for (const bool include : {false, true}) {
      const int64_t count = include ? (size + 1) / 2 : size;
      const int32_t last = static_cast<int32_t>((count + 19) / 20);
      const std::pair<const char*, int32_t> pages[] = {
          {"first", 1}, {"middle", (last + 1) / 2}, {"last", last}};
      for (const auto& [label, page] : pages) {
        const std::string accessKey = include ? kIncludeKey : "";
        const std::string where = include ? kIncludeWhere : "";
        CaseResult kxResult, rawResult;
        for (int turn = 0; turn < 2; ++turn) {
          if ((turn == 0) == (page % 2 == 1)) {
            kxResult = InChild(
                [&] {
                  auto client = std::make_shared<KxClient>();
                  return [=] { return KxPage(*client, page, accessKey); };
                },
                repeats);
          } else {
            rawResult = InChild(
                [&] {
                  std::shared_ptr<RawEngine> raw = home.OpenRaw();
                  return [=] { return RawPage(*raw, page, where); };
                },
                repeats);
          }
        }
        // Both answers are checked against the loaded data: the count, the rows on the page and the
        // first key of the page (every second profile is a truck).
        const int64_t expectedRows = page < last ? 20 : count - 20 * static_cast<int64_t>(last - 1);
        const std::string expectedFirst = Code((include ? 2 : 1) * static_cast<int64_t>(page - 1) * 20);
        auto answer = [](const CaseResult& r) {
          return std::to_string(r.count) + "/" + std::to_string(r.rows) + "/" + r.firstCode;
        };
        auto right = [&](const CaseResult& r) {
          return r.count == count && r.rows == expectedRows && r.firstCode == expectedFirst;
        };
        std::string check = "same answer";
        if (!kxResult.ok)
          check = "KX failed: " + kxResult.error;
        else if (!rawResult.ok)
          check = "raw failed: " + rawResult.error;
        else if (!right(kxResult) || !right(rawResult))
          check = "WRONG (count/rows/first): expected " + std::to_string(count) + "/" +
                  std::to_string(expectedRows) + "/" + expectedFirst + ", KX " + answer(kxResult) + ", raw " +
                  answer(rawResult);
        if (check != "same answer") results.failures++;
        const double ratio = kxResult.ok && rawResult.ok ? kxResult.medianMs / rawResult.medianMs : 0;
        const std::string key = include ? "Include" : "empty";
        rows.push_back({std::to_string(size), key, std::string(label) + " (" + std::to_string(page) + ")",
                        std::to_string(count),
                        kxResult.ok ? Fixed(kxResult.medianMs, kxResult.medianMs < 10 ? 2 : 1) : "-",
                        rawResult.ok ? Fixed(rawResult.medianMs, rawResult.medianMs < 10 ? 2 : 1) : "-",
                        ratio ? Fixed(ratio, 2) + "x" : "-", Megabytes(kxResult.peakKb),
                        Megabytes(rawResult.peakKb), check});
        results.paging.push_back(JsonObject()
                                     .Text("engine", engine.name)
                                     .Number("rows", static_cast<double>(size))
                                     .Text("key", key)
                                     .Text("page", label)
                                     .Number("page_number", page)
                                     .Number("count", static_cast<double>(count))
                                     .Number("repeats", repeats)
                                     .Bool("kx_ok", kxResult.ok)
                                     .Text("kx_error", kxResult.error)
                                     .Number("kx_ms", kxResult.medianMs)
                                     .Number("kx_peak_kb", kxResult.peakKb)
                                     .Number("kx_start_kb", kxResult.baseKb)
                                     .Bool("raw_ok", rawResult.ok)
                                     .Text("raw_error", rawResult.error)
                                     .Number("raw_ms", rawResult.medianMs)
                                     .Number("raw_peak_kb", rawResult.peakKb)
                                     .Number("raw_start_kb", rawResult.baseKb)
                                     .Number("kx_over_raw", ratio)
                                     .Text("check", check));
        if (size == 1000000 && !include) {
          const double ms = kxResult.ok ? kxResult.medianMs : 1e9;
          if (engine.name == "sqlite" && page == 1)
            results.Target("sqlite 1M page 1 with count", "<= 50 ms", ms, " ms", ms <= 50);
          if (engine.name == "sqlite" && page == last)
            results.Target("sqlite 1M last page", "<= 150 ms", ms, " ms", ms <= 150);
        }
        if (size == 1000000 && engine.name == "postgresql")
          results.Target("postgresql 1M " + key + " " + label + " KX/raw", "<= 1.2", ratio, "x",
                         ratio && ratio <= 1.2);
        if (size == 1000000 && engine.name == "sqlite")
          results.Target("sqlite 1M " + key + " " + label + " KX peak", "<= 20 MB", kxResult.peakKb / 1024.0,
                         " MB", kxResult.peakKb <= 20 * 1024);
      }
    }
  }
  const int fewest = options.pagingRepeats(1000000), most = options.pagingRepeats(0);
  PrintTable("\nPaging, " + engine.name + ", 20 per page (median of " +
                 (fewest == most ? "" : std::to_string(fewest) + "-") + std::to_string(most) +
                 " calls after a first one; peak = ru_maxrss of the process that ran the case)",
             rows);
  home.OpenRaw()->Exec("DELETE FROM JB_TYPE_PROFILE");
}

// ---- section: adds per second at 1, 2, 4 and 8 threads

// Adds distinct type profiles from `threads` threads for `seconds`; returns adds per second. Each
// thread has its own controller (or raw connection) and adds one profile before the start.
double RunAdds(BenchHome& home, bool kxSide, int threads, int round, double seconds, int64_t& errors,
               std::string& firstError) {
  StartGate gate;
  std::atomic<int64_t> done{0}, failed{0};
  std::mutex errorMutex;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      auto fail = [&](const std::string& message) {
        failed++;
        std::lock_guard lock(errorMutex);
        if (firstError.empty()) firstError = message;
      };
      auto code = [&](int i) {
        return std::string(kxSide ? "T" : "U") + std::to_string(threads) + "r" + std::to_string(round) + "t" +
               std::to_string(t) + "x" + std::to_string(i);
      };
      std::optional<KxClient> client;
      std::unique_ptr<RawEngine> raw;
      auto add = [&](int i) {
        try {
          if (kxSide) {
            client->Call("add", ProfileXml(code(i), "Truck job", "TR"));
          } else {
            raw->Transaction([&] { raw->Exec(InsertStatement(code(i), "Truck job", "TR")); });
          }
          return true;
        } catch (const std::exception& e) {
          fail(Describe(e));
          return false;
        }
      };
      try {
        if (kxSide)
          client.emplace();
        else
          raw = home.OpenRaw();
      } catch (const std::exception& e) {
        fail(Describe(e));
      }
      if (client || raw) add(0);
      gate.Arrive();
      if (!client && !raw) return;
      for (int i = 1; gate.running(); ++i)
        if (add(i)) done++;
    });
  }
  const double elapsed = gate.Run(pool, seconds);
  errors += failed;
  home.OpenRaw()->Exec("DELETE FROM JB_TYPE_PROFILE");
  return done / elapsed;
}

// Adds per second through KX and the raw engine at 1, 2, 4 and 8 threads.
void RunThreads(const EngineSetup& engine, BenchHome& home, const Options& options, Results& results) {
  std::vector<std::vector<std::string>> rows{
      {"threads", "engine", "KX adds/s", "raw adds/s", "KX/raw", "errors"}};
  std::map<int, double> kxByThreads;
  for (const int threads : {1, 2, 4, 8}) {
    std::vector<double> kxRate, rawRate;
    int64_t errors = 0;
    std::string firstError;
    for (int round = 0; round < options.rounds; ++round) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool kxSide = (turn == 0) == (round % 2 == 0);
        (kxSide ? kxRate : rawRate)
            .push_back(RunAdds(home, kxSide, threads, round, options.threadSeconds(), errors, firstError));
      }
    }
    const double k = Median(kxRate), r = Median(rawRate);
    kxByThreads[threads] = k;
    if (errors) results.failures++;
    rows.push_back(
        {std::to_string(threads), engine.name, Fixed(k, 0), Fixed(r, 0), Fixed(r / k, 2) + "x",
         std::to_string(errors) + (firstError.empty() ? "" : " (" + firstError.substr(0, 80) + ")")});
    results.threads.push_back(JsonObject()
                                  .Text("engine", engine.name)
                                  .Number("threads", threads)
                                  .Number("kx_adds_per_s", k)
                                  .Number("raw_adds_per_s", r)
                                  .Number("kx_over_raw", r / k)
                                  .Number("errors", static_cast<double>(errors))
                                  .Text("first_error", firstError));
  }
  if (engine.name == "postgresql")
    results.Target("postgresql adds/s 2 threads / 1 thread", "> 1", kxByThreads[2] / kxByThreads[1], "x",
                   kxByThreads[2] > kxByThreads[1]);
  PrintTable("Adds per second, " + engine.name + " (each thread its own controller; median of " +
                 std::to_string(options.rounds) + " rounds of " + Fixed(options.threadSeconds(), 1) + " s)",
             rows);
}

// ---- comparing the figures of two runs

// A JSON value as kx_compare writes it.
struct JsonValue {
  enum class Kind { Null, Bool, Number, Text, Array, Object } kind = Kind::Null;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> fields;

  // The field `key` of an object, or nullptr.
  const JsonValue* Find(const std::string& key) const {
    for (const auto& [name, value] : fields)
      if (name == key) return &value;
    return nullptr;
  }
};

// Reads one JSON document; malformed input fails with the offset where it went wrong.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}
  JsonValue Document() {
    JsonValue value = Value();
    Space();
    if (pos_ != text_.size()) Fail();
    return value;
  }

 private:
  [[noreturn]] void Fail() const {
    throw std::runtime_error("not a kx_compare result file (offset " + std::to_string(pos_) + ")");
  }
  void Space() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool Take(char c) {
    Space();
    if (pos_ < text_.size() && text_[pos_] == c) return ++pos_, true;
    return false;
  }
  bool Word(const char* word) {
    if (text_.compare(pos_, std::strlen(word), word) != 0) return false;
    pos_ += std::strlen(word);
    return true;
  }
  std::string Text() {
    if (!Take('"')) Fail();
    std::string out;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      char c = text_[pos_++];
      if (c == '\\' && pos_ < text_.size()) {
        c = text_[pos_++];
        if (c == 'u') {  // only control characters are written this way
          out += static_cast<char>(std::stoi(text_.substr(pos_, 4), nullptr, 16));
          pos_ += 4;
          continue;
        }
        c = c == 'n' ? '\n' : c == 't' ? '\t' : c;
      }
      out += c;
    }
    if (!Take('"')) Fail();
    return out;
  }
  JsonValue Value() {
    JsonValue v;
    Space();
    if (pos_ >= text_.size()) Fail();
    const char c = text_[pos_];
    if (c == '{') {
      v.kind = JsonValue::Kind::Object;
      ++pos_;
      if (Take('}')) return v;
      do {
        std::string key = Text();
        if (!Take(':')) Fail();
        v.fields.emplace_back(std::move(key), Value());
      } while (Take(','));
      if (!Take('}')) Fail();
    } else if (c == '[') {
      v.kind = JsonValue::Kind::Array;
      ++pos_;
      if (Take(']')) return v;
      do v.items.push_back(Value());
      while (Take(','));
      if (!Take(']')) Fail();
    } else if (c == '"') {
      v.kind = JsonValue::Kind::Text;
      v.text = Text();
    } else if (Word("true") || Word("false")) {
      v.kind = JsonValue::Kind::Bool;
      v.number = text_[pos_ - 1] == 'e' && text_[pos_ - 2] == 'u' ? 1 : 0;
    } else if (Word("null")) {
      v.kind = JsonValue::Kind::Null;
    } else {
      size_t used = 0;
      try {
        v.number = std::stod(text_.substr(pos_, 40), &used);
      } catch (const std::exception&) {
        Fail();
      }
      v.kind = JsonValue::Kind::Number;
      pos_ += used;
    }
    return v;
  }
  const std::string& text_;
  size_t pos_ = 0;
};

// The result file at `path`.
JsonValue ReadResults(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string content = text.str();
  return JsonReader(content).Document();
}

// The figures compared between two runs: per section, the fields naming a case and its figures.
struct Compared {
  const char* section;
  std::vector<const char*> caseFields;
  std::vector<const char*> figures;
};
const Compared kCompared[] = {
    {"ops",
     {"engine", "operation"},
     {"kx_calls_per_s", "raw_calls_per_s", "floor_calls_per_s", "kx_over_raw", "kx_over_floor"}},
    {"startup", {"engine"}, {"kx_call_ms", "kx_over_sqlite3"}},
    {"paging", {"engine", "rows", "key", "page"}, {"kx_ms", "raw_ms", "kx_over_raw", "kx_peak_kb"}},
    {"threads", {"engine", "threads"}, {"kx_adds_per_s", "raw_adds_per_s", "kx_over_raw"}},
    // kx_service_bench's file: the HTTP service and the same calls in-process
    {"service", {"engine", "operation", "clients", "side"}, {"calls_per_s", "p50_us", "p99_us"}},
};

// The name of a case: its naming fields joined by spaces.
std::string CaseName(const JsonValue& row, const std::vector<const char*>& fields) {
  std::string name;
  for (const char* field : fields) {
    const JsonValue* v = row.Find(field);
    if (!v) continue;
    name += (name.empty() ? "" : " ") + (v->kind == JsonValue::Kind::Text ? v->text : Fixed(v->number, 0));
  }
  return name;
}

// Prints every figure of `now` beside the same figure of `before`, with the change in percent.
int CompareRuns(const std::string& beforePath, const std::string& nowPath) {
  const JsonValue before = ReadResults(beforePath), now = ReadResults(nowPath);
  auto label = [](const JsonValue& run) {
    const JsonValue* r = run.Find("run");
    const JsonValue* l = r ? r->Find("label") : nullptr;
    const JsonValue* d = r ? r->Find("date") : nullptr;
    return (l ? l->text : std::string()) + " " + (d ? d->text : std::string());
  };
  std::vector<std::vector<std::string>> rows{{"case", "figure", "before", "now", "change"}};
  for (const Compared& c : kCompared) {
    const JsonValue* oldRows = before.Find(c.section);
    const JsonValue* newRows = now.Find(c.section);
    if (!oldRows || !newRows) continue;
    for (const JsonValue& row : newRows->items) {
      const std::string name = CaseName(row, c.caseFields);
      const JsonValue* match = nullptr;
      for (const JsonValue& old : oldRows->items)
        if (CaseName(old, c.caseFields) == name) match = &old;
      if (!match) continue;
      for (const char* figure : c.figures) {
        const JsonValue* a = match->Find(figure);
        const JsonValue* b = row.Find(figure);
        if (!a || !b) continue;
        const bool ratio = std::strstr(figure, "_over_") != nullptr;
        const int decimals = ratio || std::max(std::abs(a->number), std::abs(b->number)) < 10 ? 2 : 0;
        rows.push_back({std::string(c.section) + " " + name, figure, Fixed(a->number, decimals),
                        Fixed(b->number, decimals),
                        a->number ? (b->number >= a->number ? "+" : "") +
                                        Fixed((b->number / a->number - 1) * 100, 0) + "%"
                                  : "-"});
      }
    }
  }
  PrintTable("Before: " + beforePath + " (" + label(before) + ")\nNow:    " + nowPath + " (" + label(now) +
                 ")\n(calls/s and adds/s: higher is better; ms, KB and KX/raw: lower is better)",
             rows);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<EngineSetup> engines;
  try {
    options = ParseOptions(argc, argv);
    if (options.compareBefore.empty()) engines = Engines(options.engines);
  } catch (const std::exception& e) {
    std::cerr << "kx_compare: " << e.what() << "\n" << kUsage;
    return 2;
  }
  if (!options.compareBefore.empty()) {
    try {
      return CompareRuns(options.compareBefore, options.compareNow);
    } catch (const std::exception& e) {
      std::cerr << "kx_compare: " << e.what() << "\n";
      return 2;
    }
  }
  const auto start = SteadyClock::now();
  std::cout << "KX against the raw engine" << (options.quick ? " (quick)" : "") << ", "
            << std::thread::hardware_concurrency() << " cores, SQLite files in " << options.dir
            << (OnTmpfs(options.dir) ? " (tmpfs)" : "") << "\n";
  Results results;
  int status = 0;
  for (const auto& engine : engines) {
    try {
      BenchHome home(engine, options);
      std::cout << "\n"
                << engine.name
                << ": KX's connection settings, given to the raw connections too: " << home.Settings()
                << "\n";
      results.settings.push_back(JsonObject().Text("engine", engine.name).Text("settings", home.Settings()));
      if (options.Section("ops")) RunOps(engine, home, options, results);
      home.OpenRaw()->Exec("DELETE FROM JB_TYPE_PROFILE");
      if (options.Section("startup")) RunStartup(engine, home, options, results);
      home.OpenRaw()->Exec("DELETE FROM JB_TYPE_PROFILE");
      if (options.Section("paging")) RunPaging(engine, home, options, results);
      if (options.Section("threads")) RunThreads(engine, home, options, results);
    } catch (const std::exception& e) {
      std::cerr << "kx_compare: " << engine.name << ": " << Describe(e) << "\n";
      status = 1;
    }
  }
  if (results.targets.rows.size() > 1) PrintTable("\nTargets", results.targets.rows);
  if (results.failures) {
    std::cout << "\n" << results.failures << " case(s) answered wrongly or failed: see the tables above\n";
    status = 1;
  }
  const double seconds = Since(start);
  std::cout << "\n(" << Fixed(seconds, 0) << " s in all)\n";

  if (!WriteResults(
          "kx_compare", options.json,
          RunInfo(options.label, options.quick, options.rounds, options.dir, seconds, results.failures),
          {{"settings", results.settings},
           {"ops", results.ops},
           {"startup", results.startup},
           {"paging", results.paging},
           {"threads", results.threads},
           {"targets", results.targets.json}}))
    return 1;
  return status;
}
