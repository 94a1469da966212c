// Statement texts as the database layer reads them: the words outside quotes and comments, the
// keywords statements begin with, and whether a text changes the settings of its session.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/db/connection.h"

namespace kx::db {

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

// `sql` with every `?` outside quotes and comments replaced by PostgreSQL's numbered placeholder
// `$1`, `$2`, ... in order; `count` gets how many there are.
std::string NumberPlaceholders(std::string_view sql, size_t& count);

// Whether `sql` holds more than one statement (text after a `;` outside quotes and comments).
bool SeveralStatements(Engine engine, std::string_view sql);

// A SQLite statement with its quoted values taken out: statements that differ only in those values
// share one text, and so one compiled form, with the values bound to its placeholders.
struct LiteralShape {
  std::string text;                 // the statement with each value taken out replaced by `?`
  std::vector<std::string> values;  // the values taken out, in order, their doubled quotes undone
};

// The shape of `sql` when it is one SELECT, INSERT, UPDATE or DELETE with no placeholders of its
// own; `text` is empty otherwise. Every single-quoted text is taken out except the result columns
// of a SELECT (before its first FROM outside parentheses: they name the answer's columns) and blob
// literals (X'..'). A text read as a name where a value cannot stand ('T' as a table name) becomes
// a placeholder that does not compile: the caller then runs the statement as it was written.
LiteralShape ShapeLiterals(std::string_view sql);

}  // namespace kx::db
