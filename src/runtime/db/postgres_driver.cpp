// The PostgreSQL engine through libpq; procedures are functions called with untyped arguments. It is
// built as a module of its own (libkx_postgres.so), which libkx.so loads on first use.
#include <libpq-fe.h>
#include <poll.h>

#include <cstdio>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "runtime/db/connection.h"
#include "runtime/db/sql_text.h"
#include "runtime/db/statement.h"

namespace kx::db {
namespace {

// Type identifiers of the built-in types that do not arrive as text.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701,
              kNumeric = 1700, kDate = 1082, kTimestamp = 1114, kTimestampTz = 1184;

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

Variant CellValue(const PGresult* res, int row, int col) {
  if (PQgetisnull(res, row, col)) return Variant::Null();
  std::string text(PQgetvalue(res, row, col), static_cast<size_t>(PQgetlength(res, row, col)));
  switch (PQftype(res, col)) {
    case kBool: return Variant(text == "t");
    case kInt2: return Variant(static_cast<int16_t>(std::stoi(text)));
    case kInt4: return Variant(static_cast<int32_t>(std::stol(text)));
    case kInt8: {
      const long long n = std::stoll(text);
      if (n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
      return Variant(static_cast<double>(n));
    }
    case kFloat4:
    case kFloat8:
    case kNumeric: return Variant(std::stod(text));
    case kDate:
    case kTimestamp:
    case kTimestampTz: {
      Date d;
      if (ParseDate(text, d)) return Variant(d);
      return Variant(std::move(text));
    }
    default: return Variant(std::move(text));
  }
}



void IgnoreNotice(void*, const char*) {}

class PostgresConnection : public Connection {
 public:
  PostgresConnection(const ConnectionInfo& info, const Limits& limits) : limits_(limits) {
    std::string host = info.dataSource, port;
    // "host,port" as SQL Server writes it, or "host:port".
    auto sep = host.find(',');
    if (sep == std::string::npos) {
      sep = host.rfind(':');
      if (sep != std::string::npos && host.find_first_not_of("0123456789", sep + 1) != std::string::npos)
        sep = std::string::npos;
    }
    if (sep != std::string::npos) {
      port = host.substr(sep + 1);
      host.resize(sep);
    }
    const std::string timeout = std::to_string(info.timeoutSeconds);
    std::vector<const char*> keys, values;
    auto add = [&](const char* key, const std::string& value) {
      if (value.empty()) return;
      keys.push_back(key);
      values.push_back(value.c_str());
    };
    add("host", host);
    add("port", port);
    add("dbname", info.catalog);
    add("user", info.user);
    add("password", info.password);
    add("connect_timeout", timeout);
    const std::string application = "kx", encoding = "UTF8";
    add("application_name", application);
    add("client_encoding", encoding);
    // The session's isolation and limits go with the connection request: no round trip.
    const std::string options = "-c default_transaction_isolation=read\\ committed -c statement_timeout=" +
                                std::to_string(limits.statementTimeoutSeconds * 1000) +
                                " -c jit=" + (limits.jit ? "on" : "off");
    add("options", options);
    keys.push_back(nullptr);
    values.push_back(nullptr);
    conn_ = PQconnectdbParams(keys.data(), values.data(), 0);
    if (PQstatus(conn_) != CONNECTION_OK) {
      const DatabaseError e = Failure(nullptr);
      PQfinish(conn_);
      conn_ = nullptr;
      throw e;
    }
    PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
  }
  ~PostgresConnection() override { PQfinish(conn_); }

  Engine engine() const override { return Engine::PostgreSQL; }

  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    RunStatement(sql, params);
    RestoreSession(sql);
  }
  // A library statement that only reads, before the call's first write, runs on its own: under
  // READ COMMITTED it sees what it would see inside the transaction, and a call that only reads
  // sends neither BEGIN nor COMMIT.
  std::shared_ptr<Recordset> Run(const db::Statement& statement) override {
    const std::string text = statement.Text(Engine::PostgreSQL);
    return ToRecordset(ExecuteWith(text, statement.values(), true, beginPending_ && OnlyReads(text)).get());
  }
  void ExecuteScript(const std::string& sql) override {
    BeginIfPending();
    Check(PQexec(conn_, sql.c_str()));
  }

  std::shared_ptr<Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    auto rows = ToRecordset(RunStatement(sql, params).get());
    RestoreSession(sql);
    return rows;
  }

  std::shared_ptr<Recordset> CallProcedure(const std::string& name,
                                           const std::vector<ProcedureArgument>& args) override {
    if (name.empty() || name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.") != std::string::npos)
      throw DatabaseError("Could not find stored procedure '" + name + "'.", ErrorCategory::Syntax);
    std::string sql = "SELECT * FROM " + name + "(";
    std::vector<Variant> values;
    for (size_t i = 0; i < args.size(); ++i) {
      sql += (i ? ",$" : "$") + std::to_string(i + 1);
      values.push_back(args[i].value);
    }
    sql += ")";
    return ToRecordset(ExecuteWith(sql, values).get());
  }

  // The rows go as one COPY in its text form: a value with its backslashes, tabs and line ends
  // escaped, NULL as \N.
  void InsertRows(const std::string& table, const std::vector<std::string>& columns,
                  const std::vector<std::vector<Variant>>& rows) override {
    if (columns.empty() || rows.empty()) return;
    std::string copy = "COPY " + table + " (";
    for (size_t c = 0; c < columns.size(); ++c) copy += (c ? ", " : "") + columns[c];
    BeginIfPending();
    ResultPtr started(PQexec(conn_, (copy + ") FROM STDIN").c_str()), &PQclear);
    if (!started || PQresultStatus(started.get()) != PGRES_COPY_IN) throw Failure(started.get());
    constexpr size_t kChunk = 1 << 16;
    std::string data;
    data.reserve(kChunk + 4096);
    bool sent = true;
    for (const auto& row : rows) {
      for (size_t c = 0; c < columns.size(); ++c) {
        if (c) data += '\t';
        const Variant& value = row[c];
        if (value.IsNull() || value.IsEmpty()) {
          data += "\\N";
          continue;
        }
        const std::string own = value.IsString() ? std::string() : BoundText(value);
        for (const char ch : value.IsString() ? std::string_view(value.get<std::string>()) : std::string_view(own)) {
          switch (ch) {
            case '\\': data += "\\\\"; break;
            case '\t': data += "\\t"; break;
            case '\n': data += "\\n"; break;
            case '\r': data += "\\r"; break;
            default: data += ch;
          }
        }
      }
      data += '\n';
      if (data.size() >= kChunk) {
        sent = sent && PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) == 1;
        data.clear();
      }
    }
    if (!data.empty()) sent = sent && PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) == 1;
    PQputCopyEnd(conn_, sent ? nullptr : "the rows could not be sent");
    // The outcome of the COPY, then the end of its results.
    ResultPtr outcome(PQgetResult(conn_), &PQclear);
    while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
    Check(outcome.release());
  }

  void ResetIsolation() override {
    // READ COMMITTED is the session's default from its connection request on, and a caller who
    // changes it loses the connection from the pool (RestoreSession): only a transaction left
    // open is undone here.
    if (PQtransactionStatus(conn_) != PQTRANS_IDLE) Rollback();
    beginPending_ = false;
  }
  // The transaction begins with its first statement: BEGIN travels in the same message, which
  // saves a round trip to the server on every call. A call that runs no statement sends nothing.
  void Begin() override {
    if (PQtransactionStatus(conn_) == PQTRANS_IDLE) beginPending_ = true;
  }
  void Commit() override {
    ended_ = true;
    if (beginPending_) {  // nothing ran: there is nothing to commit
      beginPending_ = false;
      return;
    }
    // COMMIT without a transaction only warns: report it as the failure it is, as SQLite does.
    if (PQtransactionStatus(conn_) == PQTRANS_IDLE)
      throw DatabaseError("cannot commit - no transaction is active");
    // COMMIT of a failed transaction answers ROLLBACK without an error: report it as a failure.
    const bool failed = PQtransactionStatus(conn_) == PQTRANS_INERROR;
    ExecuteScript("COMMIT");
    if (failed) throw DatabaseError("The transaction was rolled back after an earlier error");
  }
  void Rollback() override {
    ended_ = true;
    if (std::exchange(beginPending_, false)) return;
    PQclear(PQexec(conn_, "ROLLBACK"));
  }
  void ApplyLimits(const Limits& limits) override {
    if (limits == limits_) return;
    ExecuteScript(LimitStatements(limits));
    limits_ = limits;
  }
  bool Healthy() const override { return conn_ && PQstatus(conn_) == CONNECTION_OK && !sessionChanged_; }
  bool Alive() override {
    // An idle connection has nothing to read: anything waiting is the farewell of a server that
    // shut down (its error message, then the end of the stream), which libpq turns into a bad
    // connection once it reads it.
    for (int i = 0; i < 4 && Healthy(); ++i) {
      pollfd waiting{PQsocket(conn_), POLLIN, 0};
      if (poll(&waiting, 1, 0) <= 0) break;
      if (!PQconsumeInput(conn_)) return false;
    }
    return Healthy();
  }

 private:
  ResultPtr Check(PGresult* raw) {
    ResultPtr res(raw, &PQclear);
    const auto status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) return res;
    throw Failure(res.get());
  }

  // Runs a statement written for SQL Server: adapted, and with parameters its `?` placeholders
  // numbered and bound in order.
  ResultPtr RunStatement(const std::string& sql, const std::vector<Variant>& params) {
    const std::string adapted = AdaptStatement(Engine::PostgreSQL, sql);
    if (params.empty()) {
      if (!std::exchange(beginPending_, false)) return Check(PQexec(conn_, adapted.c_str()));
      // One message: the simple protocol runs its statements in order, and an explicit BEGIN
      // keeps the transaction open after them. The answer is the last statement's.
      const std::string text = std::string(kBegin) + "; " + adapted;
      return Check(FirstOfTransaction([&] { return PQexec(conn_, text.c_str()); }));
    }
    if (SeveralStatements(Engine::PostgreSQL, adapted))
      throw DatabaseError("A statement with parameters must be a single statement", ErrorCategory::Syntax);
    size_t expected = 0;
    const std::string numbered = NumberPlaceholders(adapted, expected);
    if (expected != params.size())
      throw DatabaseError("The statement expects " + std::to_string(expected) + " parameters, " +
                              std::to_string(params.size()) + " were supplied.",
                          ErrorCategory::Syntax);
    return ExecuteWith(numbered, params);
  }

  // Runs one statement with `$n` placeholders and `values` bound to them as untyped text (Null and
  // Empty as NULL), so that the server reads each as the type its place needs. A BEGIN still to be
  // sent goes in the same round trip, unless the statement runs `alone` (then BEGIN stays pending).
  // With `keep`, the statement is prepared once per session and run by name from then on: the
  // library's statements come in few shapes, run again and again.
  //
  // A kept statement whose rows changed shape since it was prepared (a table altered by anyone)
  // is refused by the server ("cached plan must not change result type", 0A000): its prepared form
  // is dropped, and when it ran first in its call's transaction or outside one, nothing of the call
  // is lost and it runs again, prepared anew. Later in a transaction the failure stands (the
  // transaction cannot go on); the next call prepares it anew.
  ResultPtr ExecuteWith(const std::string& sql, const std::vector<Variant>& values, bool keep = false,
                        bool alone = false) {
    const bool first = beginPending_ || PQtransactionStatus(conn_) == PQTRANS_IDLE;
    try {
      return ExecuteOnce(sql, values, keep, alone);
    } catch (const DatabaseError& e) {
      if (!keep || e.nativeCode() != "0A000" || !Forget(sql) || !first) throw;
      if (PQtransactionStatus(conn_) == PQTRANS_INERROR) {
        // The BEGIN sent with it: that transaction had done nothing else.
        Check(PQexec(conn_, "ROLLBACK"));
        beginPending_ = true;
      }
      return ExecuteOnce(sql, values, keep, alone);
    }
  }

  ResultPtr ExecuteOnce(const std::string& sql, const std::vector<Variant>& values, bool keep, bool alone) {
    std::vector<std::string> texts(values.size());
    std::vector<const char*> pointers(values.size(), nullptr);
    for (size_t i = 0; i < values.size(); ++i) {
      if (values[i].IsNull() || values[i].IsEmpty()) continue;
      texts[i] = BoundText(values[i]);
      pointers[i] = texts[i].c_str();
    }
    const int n = static_cast<int>(values.size());
    auto run = [&](const std::string* name) {
      if (name) return PQexecPrepared(conn_, name->c_str(), n, pointers.data(), nullptr, nullptr, 0);
      return PQexecParams(conn_, sql.c_str(), n, nullptr, pointers.data(), nullptr, nullptr, 0);
    };
    // Nothing of the call is written yet: a session found ended is opened anew as for a BEGIN.
    if (alone) return Check(FirstOfTransaction([&] { return run(keep ? Prepared(sql, n) : nullptr); }));
    const std::string* name = keep ? Prepared(sql, n) : nullptr;
    if (!std::exchange(beginPending_, false)) return Check(run(name));
    // A session opened anew forgets what was prepared: the statement then goes unnamed.
    return Check(FirstOfTransaction([&] { return BeginThen(sql, Prepared(sql), pointers); }));
  }

  // The name of the prepared form of `sql` on this session, prepared now when it is new and the
  // session keeps fewer than kMaxPrepared; null otherwise, or when it cannot be prepared (the
  // statement then runs unnamed and reports its own failure).
  const std::string* Prepared(const std::string& sql, int parameters) {
    if (const auto it = prepared_.find(sql); it != prepared_.end()) return &it->second;
    if (prepared_.size() >= kMaxPrepared || PQtransactionStatus(conn_) == PQTRANS_INERROR) return nullptr;
    std::string name = "kx_" + std::to_string(++preparedNames_);
    ResultPtr res(PQprepare(conn_, name.c_str(), sql.c_str(), parameters, nullptr), &PQclear);
    if (!res || PQresultStatus(res.get()) != PGRES_COMMAND_OK) return nullptr;
    return &prepared_.emplace(sql, std::move(name)).first->second;
  }
  // Drops the prepared form of `sql`; false when the session has none. Its name is freed on the
  // server once no transaction is in error, and at the latest with the session.
  bool Forget(const std::string& sql) {
    const auto it = prepared_.find(sql);
    if (it == prepared_.end()) return false;
    const std::string name = std::move(it->second);
    prepared_.erase(it);
    if (PQtransactionStatus(conn_) != PQTRANS_INERROR) ResultPtr(PQexec(conn_, ("DEALLOCATE " + name).c_str()), &PQclear);
    return true;
  }
  // The name of the prepared form of `sql` when the session has one.
  const std::string* Prepared(const std::string& sql) const {
    const auto it = prepared_.find(sql);
    return it == prepared_.end() ? nullptr : &it->second;
  }

  // BEGIN, then `sql` with `values`, sent together (libpq's pipeline mode): the answer is the
  // statement's, or BEGIN's when BEGIN failed; null when the connection failed.
  PGresult* BeginThen(const std::string& sql, const std::string* name, const std::vector<const char*>& values) {
    if (!PQenterPipelineMode(conn_)) return nullptr;
    const int n = static_cast<int>(values.size());
    const bool sent = PQsendQueryParams(conn_, kBegin, 0, nullptr, nullptr, nullptr, nullptr, 0) &&
                      (name ? PQsendQueryPrepared(conn_, name->c_str(), n, values.data(), nullptr, nullptr, 0)
                            : PQsendQueryParams(conn_, sql.c_str(), n, nullptr, values.data(), nullptr, nullptr, 0)) &&
                      PQpipelineSync(conn_);
    ResultPtr begin(nullptr, &PQclear), answer(nullptr, &PQclear);
    // BEGIN's result and the end of it, the statement's and the end of it, then the sync point.
    for (int ended = 0; sent;) {
      PGresult* r = PQgetResult(conn_);
      if (!r) {
        if (++ended > 2 || PQstatus(conn_) == CONNECTION_BAD) break;
        continue;
      }
      if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
        PQclear(r);
        break;
      }
      ResultPtr& slot = ended == 0 ? begin : answer;
      if (slot) {
        PQclear(r);
      } else {
        slot.reset(r);
      }
    }
    PQexitPipelineMode(conn_);
    if (begin && PQresultStatus(begin.get()) != PGRES_COMMAND_OK) return begin.release();
    return answer.release();
  }

  // The statements that put `limits` in force for the session.
  static std::string LimitStatements(const Limits& limits) {
    return "SET statement_timeout = " + std::to_string(limits.statementTimeoutSeconds * 1000) +
           "; SET jit = " + (limits.jit ? "on" : "off");
  }

  // After a caller's statement that may have changed the session's settings, the isolation and
  // the limits are put back at once (a caller cannot lift them), and the connection does not go
  // back to the pool (nothing else it changed reaches the next call).
  void RestoreSession(const std::string& sql) {
    // DISCARD ALL and DEALLOCATE drop what the session prepared.
    if (Mentions(sql, "DISCARD") || Mentions(sql, "DEALLOCATE")) prepared_.clear();
    // A text that may have changed a table drops it too: a kept statement whose rows change shape
    // would fail, and the rest of its transaction with it (see ExecuteWith).
    if (!prepared_.empty() && ChangesSchema(Engine::PostgreSQL, sql)) {
      Check(PQexec(conn_, "DEALLOCATE ALL"));
      prepared_.clear();
    }
    if (!ChangesSession(Engine::PostgreSQL, sql)) return;
    sessionChanged_ = true;
    ExecuteScript("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED; " +
                  LimitStatements(limits_));
  }

  // The failure of `res` (or of the connection when there is no result): the server's primary
  // message and SQLSTATE; a failure of the connection itself has no state from the server and is
  // reported as a connection failure (08006).
  DatabaseError Failure(const PGresult* res) const {
    const char* primary = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    std::string code = state ? state : "";
    if (code.empty() && PQstatus(conn_) != CONNECTION_OK) code = "08006";
    std::string text = primary ? std::string(primary) : Trimmed(PQerrorMessage(conn_));
    // Statements are cancelled only by the statement time limit.
    if (code == "57014") text += StatementTimeoutNote(limits_.statementTimeoutSeconds);
    return DatabaseError(text, PostgresErrorCategory(code), code);
  }

  static std::shared_ptr<Recordset> ToRecordset(const PGresult* res) {
    std::vector<std::string> columns;
    const int cols = PQnfields(res), rows = PQntuples(res);
    for (int c = 0; c < cols; ++c) columns.emplace_back(PQfname(res, c));
    std::vector<std::vector<Variant>> data(static_cast<size_t>(rows));
    for (int r = 0; r < rows; ++r) {
      auto& row = data[static_cast<size_t>(r)];
      row.reserve(static_cast<size_t>(cols));
      for (int c = 0; c < cols; ++c) row.push_back(CellValue(res, r, c));
    }
    return std::make_shared<Recordset>(std::move(columns), std::move(data));
  }

  // Sends the BEGIN of a transaction whose first statement cannot carry it (one with parameters,
  // which the extended protocol sends alone).
  void BeginIfPending() {
    if (std::exchange(beginPending_, false)) Check(FirstOfTransaction([&] { return PQexec(conn_, kBegin); }));
  }

  // Sends the first message of a transaction (`send` sends it and returns its answer). A pooled
  // connection may find that its server went away since its last call (a restart the pool could
  // not yet see): nothing of this transaction can have been committed, so the connection is opened
  // anew, once, and the message sent again.
  template <class Send>
  PGresult* FirstOfTransaction(Send send) {
    PGresult* res = send();
    if (PQstatus(conn_) != CONNECTION_BAD || !ended_) return res;
    PQclear(res);
    ended_ = false;  // the new session has ended no transaction yet
    PQreset(conn_);
    prepared_.clear();
    if (PQstatus(conn_) != CONNECTION_OK) return nullptr;
    return send();
  }

  static constexpr const char* kBegin = "BEGIN ISOLATION LEVEL READ COMMITTED";
  PGconn* conn_ = nullptr;
  Limits limits_;
  bool sessionChanged_ = false;
  bool beginPending_ = false;  // Begin was called and no statement has run since
  bool ended_ = false;         // a transaction has ended on this connection (it served a call)
  static constexpr size_t kMaxPrepared = 256;
  std::unordered_map<std::string, std::string> prepared_;  // statement text -> prepared name
  uint64_t preparedNames_ = 0;  // names given on this session
};

}  // namespace

}  // namespace kx::db

// The entry point of this driver module (see kx::db::OpenPostgres).
extern "C" void kx_open_postgres(const kx::db::ConnectionInfo& info, const kx::db::Limits& limits,
                                 std::unique_ptr<kx::db::Connection>& out) {
  out = std::make_unique<kx::db::PostgresConnection>(info, limits);
}
