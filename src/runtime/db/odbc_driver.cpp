// Any database through ODBC (unixODBC): SQL Server by its FreeTDS or Microsoft driver, and every
// other server with a driver. A connection speaks the dialect of the server its driver reports
// (SQL_DBMS_NAME): SQL Server's statements pass as they are written, SQLite and PostgreSQL get the
// adaptation their own drivers give. Values always travel bound, as UTF-16 text.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
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

// The failure an ODBC handle reports: the first diagnostic's text and SQLSTATE. A driver that
// reports its server's failures under a general state (SQLite's, "HY000") is read by the server's
// own code in `native` for the `dialect` given.
DatabaseError Failure(SQLSMALLINT type, SQLHANDLE handle, const std::string& fallback,
                      Engine dialect = Engine::SqlServer) {
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  // The whole text, however long: DatabaseError cuts it to the description limit and marks the cut.
  WideText text(1024, 0);
  SQLRETURN rc = handle ? SQLGetDiagRecW(type, handle, 1, state, &native, text.data(),
                                         static_cast<SQLSMALLINT>(text.size()), &length)
                        : SQL_ERROR;
  if (rc == SQL_SUCCESS_WITH_INFO && static_cast<size_t>(length) >= text.size()) {
    text.assign(static_cast<size_t>(length) + 1, 0);
    rc = SQLGetDiagRecW(type, handle, 1, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()), &length);
  }
  if (!SQL_SUCCEEDED(rc)) return DatabaseError(fallback);
  const std::string code = Narrow(state, 5);
  std::string message = Narrow(text.data(), std::min(static_cast<size_t>(length), text.size() - 1));
  ErrorCategory category = OdbcErrorCategory(code);
  if (category == ErrorCategory::Other && dialect == Engine::SQLite && native > 0)
    category = SqliteErrorCategory(native, false);
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
    WideText text = Wide(info.odbc);
    const SQLRETURN rc = SQLDriverConnectW(dbc_.h, nullptr, text.data(), static_cast<SQLSMALLINT>(text.size()),
                                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      const DatabaseError e = Failure(SQL_HANDLE_DBC, dbc_.h, "The ODBC connection failed");
      throw DatabaseError(e.what(), ErrorCategory::Connection, e.nativeCode());
    }
    connected_ = true;
    SQLWCHAR name[256] = {};
    SQLSMALLINT length = 0;
    SQLGetInfoW(dbc_.h, SQL_DBMS_NAME, name, sizeof name, &length);
    dialect_ = DialectOf(Narrow(name, static_cast<size_t>(length) / sizeof(SQLWCHAR)));
    // Statements read committed data; a driver that has only one level keeps it.
    SQLSetConnectAttr(dbc_.h, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(SQL_TXN_READ_COMMITTED), 0);
  }
  ~OdbcConnection() override {
    if (connected_) {
      if (inTransaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_.h, SQL_ROLLBACK);
      SQLDisconnect(dbc_.h);
    }
  }

  Engine engine() const override { return dialect_; }

  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    RunText(AdaptStatement(dialect_, sql), params, nullptr);
    NoteSessionChange(sql);
  }
  std::shared_ptr<Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    std::shared_ptr<Recordset> rows;
    RunText(AdaptStatement(dialect_, sql), params, &rows);
    NoteSessionChange(sql);
    return rows ? rows : Empty();
  }
  std::shared_ptr<Recordset> Run(const Statement& statement) override {
    std::shared_ptr<Recordset> rows;
    Exec(statement.Text(dialect_, false), statement.values(), &rows);
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
    std::string marks;
    for (size_t i = 0; i < args.size(); ++i) marks += i ? ",?" : "?";
    std::shared_ptr<Recordset> rows;
    switch (dialect_) {
      case Engine::SqlServer: Exec("EXEC " + name + " " + marks, values, &rows); break;
      case Engine::PostgreSQL: Exec("SELECT * FROM " + name + "(" + marks + ")", values, &rows); break;
      case Engine::SQLite: {
        // SQLite keeps each procedure as one statement in KX_PROCEDURE.
        std::shared_ptr<Recordset> found;
        Exec("SELECT PROC_SQL FROM KX_PROCEDURE WHERE PROC_NAME = ?", {Variant(name)}, &found);
        if (!found || found->EOF_())
          throw DatabaseError("Could not find stored procedure '" + name + "'.", ErrorCategory::Syntax);
        Exec(CStr(found->Field("PROC_SQL")), values, &rows);
        // A driver that answers no rows for INSERT ... RETURNING leaves the new key to be asked.
        if (!rows || rows->Columns().empty()) Exec("SELECT last_insert_rowid()", {}, &rows);
        break;
      }
    }
    return rows ? rows : Empty();
  }

  void ResetIsolation() override {
    if (inTransaction_) Rollback();
  }
  void ApplyLimits(const Limits& limits) override { limits_ = limits; }
  void Begin() override {
    Check(SQLSetConnectAttr(dbc_.h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
          SQL_HANDLE_DBC, dbc_.h);
    inTransaction_ = true;
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

  // Ends the transaction and goes back to committing every statement on its own.
  void End(SQLSMALLINT completion) {
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_.h, completion);
    // A commit that failed leaves nothing open behind it.
    if (!SQL_SUCCEEDED(rc) && completion == SQL_COMMIT) SQLEndTran(SQL_HANDLE_DBC, dbc_.h, SQL_ROLLBACK);
    inTransaction_ = false;
    SQLSetConnectAttr(dbc_.h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    Check(rc, SQL_HANDLE_DBC, dbc_.h);
  }

  void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle) {
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
    DatabaseError e = Failure(type, handle, "The ODBC driver failed", dialect_);
    if (e.category() == ErrorCategory::Connection) lost_ = true;
    if (e.nativeCode() == "HYT00" || e.nativeCode() == "HYT01")
      throw DatabaseError(e.what() + StatementTimeoutNote(limits_.statementTimeoutSeconds), e.category(),
                          e.nativeCode());
    throw e;
  }

  // Runs a caller's text: with parameters one statement, without every statement it holds.
  void RunText(const std::string& sql, const std::vector<Variant>& params, std::shared_ptr<Recordset>* rows) {
    if (!params.empty() && SeveralStatements(dialect_, sql))
      throw DatabaseError("A statement with parameters must be a single statement", ErrorCategory::Syntax);
    Exec(sql, params, rows);
  }

  // Runs one statement with `values` bound to its `?` in order; its rows go to `rows`.
  void Exec(const std::string& sql, const std::vector<Variant>& values, std::shared_ptr<Recordset>* rows) {
    Handle<SQL_HANDLE_STMT> stmt;
    Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.h, &stmt.h), SQL_HANDLE_DBC, dbc_.h);
    if (limits_.statementTimeoutSeconds > 0)
      SQLSetStmtAttr(stmt.h, SQL_ATTR_QUERY_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(limits_.statementTimeoutSeconds)), 0);
    WideText text = Wide(sql);
    Check(SQLPrepareW(stmt.h, text.data(), static_cast<SQLINTEGER>(text.size())), SQL_HANDLE_STMT, stmt.h);
    SQLSMALLINT expected = 0;
    if (SQL_SUCCEEDED(SQLNumParams(stmt.h, &expected)) && expected != static_cast<SQLSMALLINT>(values.size()))
      throw DatabaseError("The statement expects " + std::to_string(expected) + " parameters, " +
                              std::to_string(values.size()) + " were supplied.",
                          ErrorCategory::Syntax);
    // Every value is bound as text, which the server reads as the type its place needs.
    std::vector<WideText> texts(values.size());
    std::vector<SQLLEN> lengths(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      const Variant& v = values[i];
      const bool null = v.IsNull() || v.IsEmpty();
      if (!null) texts[i] = Wide(ValueText(v));
      texts[i].push_back(0);
      lengths[i] = null ? SQL_NULL_DATA : static_cast<SQLLEN>((texts[i].size() - 1) * sizeof(SQLWCHAR));
      const SQLULEN size = std::max<SQLULEN>(1, texts[i].size() - 1);
      Check(SQLBindParameter(stmt.h, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                             size, 0, texts[i].data(), static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR)),
                             &lengths[i]),
            SQL_HANDLE_STMT, stmt.h);
    }
    const SQLRETURN rc = SQLExecute(stmt.h);
    if (rc != SQL_NO_DATA) Check(rc, SQL_HANDLE_STMT, stmt.h);
    // The rows of the last result that has columns.
    do {
      SQLSMALLINT columns = 0;
      SQLNumResultCols(stmt.h, &columns);
      if (columns > 0) {
        auto fetched = Fetch(stmt.h, columns);
        if (rows) *rows = std::move(fetched);
      }
    } while (SQL_SUCCEEDED(SQLMoreResults(stmt.h)));
  }

  static std::string ValueText(const Variant& v) {
    if (const auto* d = v.get_if<Date>()) return d->Text();
    return BoundText(v);
  }

  std::shared_ptr<Recordset> Fetch(SQLHSTMT stmt, SQLSMALLINT count) {
    std::vector<std::string> names;
    std::vector<SQLSMALLINT> types;
    for (SQLSMALLINT c = 1; c <= count; ++c) {
      SQLWCHAR name[256] = {};
      SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      Check(SQLDescribeColW(stmt, static_cast<SQLUSMALLINT>(c), name, 256, &length, &type, &size, &digits, &nullable),
            SQL_HANDLE_STMT, stmt);
      names.push_back(Narrow(name, static_cast<size_t>(std::min<SQLSMALLINT>(length, 255))));
      types.push_back(type);
    }
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
    return std::make_shared<Recordset>(std::move(names), std::move(data));
  }

  // Reads a value of fixed size of the current row into `out`; false for NULL.
  template <class T>
  bool Fixed(SQLHSTMT stmt, SQLSMALLINT column, SQLSMALLINT ctype, T& out) {
    SQLLEN indicator = 0;
    Check(SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), ctype, &out, 0, &indicator), SQL_HANDLE_STMT, stmt);
    return indicator != SQL_NULL_DATA;
  }

  // One value of the current row, by the SQL type of its column.
  Variant Cell(SQLHSTMT stmt, SQLSMALLINT column, SQLSMALLINT type) {
    switch (type) {
      case SQL_SMALLINT:
      case SQL_TINYINT:
      case SQL_INTEGER:
      case SQL_BIGINT: {
        SQLBIGINT n = 0;
        if (!Fixed(stmt, column, SQL_C_SBIGINT, n)) return Variant::Null();
        if (type == SQL_SMALLINT || type == SQL_TINYINT) return Variant(static_cast<int16_t>(n));
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
    std::string text = Text(stmt, column, null);
    if (null) return Variant::Null();
    if (type == SQL_TYPE_DATE || type == SQL_TYPE_TIMESTAMP || type == SQL_DATE || type == SQL_TIMESTAMP) {
      Date d;
      if (ParseDate(text, d)) return Variant(d);
    }
    return Variant(std::move(text));
  }

  // The text of a column of the current row, read in parts of any length.
  std::string Text(SQLHSTMT stmt, SQLSMALLINT column, bool& null) {
    WideText all;
    SQLWCHAR part[2048];
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), SQL_C_WCHAR, part, sizeof part, &indicator);
      if (rc == SQL_NO_DATA) break;
      Check(rc, SQL_HANDLE_STMT, stmt);
      if (indicator == SQL_NULL_DATA) {
        null = true;
        return {};
      }
      const size_t room = sizeof part / sizeof(SQLWCHAR) - 1;
      const size_t got = indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) / sizeof(SQLWCHAR) > room
                             ? room
                             : static_cast<size_t>(indicator) / sizeof(SQLWCHAR);
      all.append(part, got);
      if (rc == SQL_SUCCESS) break;
    }
    return Narrow(all.data(), all.size());
  }

  // A caller's statement that may have changed the session's settings keeps its connection out of
  // the pool: nothing it changed reaches the next call.
  void NoteSessionChange(const std::string& sql) {
    if (ChangesSession(dialect_, sql)) sessionChanged_ = true;
  }

  Handle<SQL_HANDLE_ENV> env_;
  Handle<SQL_HANDLE_DBC> dbc_;
  bool connected_ = false;
  Engine dialect_ = Engine::SqlServer;
  Limits limits_;
  bool inTransaction_ = false;
  bool lost_ = false;
  bool sessionChanged_ = false;
};

}  // namespace
}  // namespace kx::db

// The entry point of this driver module (see kx::db::OpenOdbc).
extern "C" void kx_open_odbc(const kx::db::ConnectionInfo& info, const kx::db::Limits& limits,
                             std::unique_ptr<kx::db::Connection>& out) {
  out = std::make_unique<kx::db::OdbcConnection>(info, limits);
}
