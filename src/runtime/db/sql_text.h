// Statement texts as the database layer reads them: the words outside quotes and comments, the
// keywords statements begin with, and whether a text changes the settings of its session.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/db/connection.h"

namespace kx::db {

// Whether `sql` holds `word` (upper-case ASCII letters) in any case, anywhere, quoted or not: one
// pass and no copy, made before a text is read as code for a word most statements never hold.
bool Mentions(std::string_view sql, std::string_view word);

// `sql` with every quoted text, quoted name and comment blanked out (quotes included), so that what
// is left are the statement's own words at their own positions.
std::string CodeOnly(Engine engine, std::string_view sql);

// Adapts a statement written for SQL Server to `engine` (the text the component keeps in strSQL
// stays as it is): every statement "Delete T Where ..." becomes "DELETE FROM T Where ...", which
// the other engines need; a delete that names FROM, and quoted text and comments, stay unchanged.
std::string AdaptStatement(Engine engine, const std::string& sql);

// The first word of every statement of `sql`, in upper case ("SELECT", "SET", ...).
std::vector<std::string> LeadingKeywords(Engine engine, std::string_view sql);

// Whether `sql` may change a setting of the session it runs in (SET, RESET, DISCARD, PRAGMA or a
// call of set_config), which a pooled connection must not carry to the next call.
bool ChangesSession(Engine engine, std::string_view sql);

// Whether `sql` may change a table (CREATE, ALTER or DROP outside quotes and comments), after
// which a statement kept on the connection may answer other columns.
bool ChangesSchema(Engine engine, std::string_view sql);

// Whether `sql`, one statement the library wrote, only reads what is committed: a SELECT that
// locks no row, creates nothing and advances no sequence. Under READ COMMITTED such a statement
// sees the same inside a transaction or on its own. Anything else, or a text in doubt, is false.
bool OnlyReads(std::string_view sql);

// `sql` with every `?` outside quotes and comments replaced by PostgreSQL's numbered placeholder
// `$1`, `$2`, ... in order; `count` gets how many there are.
std::string NumberPlaceholders(std::string_view sql, size_t& count);

// The statements of the script `sql`, cut at each `;` outside quotes and comments, with their
// comments left out (a driver that takes one statement at a time may refuse anything after it). On
// SQLite a CREATE TRIGGER stays whole, with the statements of its body up to its END.
std::vector<std::string> ScriptStatements(Engine engine, std::string_view sql);

// The ODBC call of SQL Server's stored procedure `name` with `arguments` values, "{? = CALL
// name(?, ...)}", and how many parameters it binds: the first receives the procedure's return value
// (an insert procedure's new key), the arguments follow in order.
struct ProcedureCall {
  std::string text;
  size_t parameters = 0;
};
ProcedureCall SqlServerProcedureCall(const std::string& name, size_t arguments);
// SQL Server cuts a text longer than its procedure parameter's size without a word: the first
// text argument of a string type longer than its size (in characters), told as the failure to
// report instead; empty when every argument fits.
std::string TooLongProcedureText(const std::vector<ProcedureArgument>& args);

// Whether `sql` holds more than one statement (text after a `;` outside quotes and comments).
bool SeveralStatements(Engine engine, std::string_view sql);

}  // namespace kx::db
