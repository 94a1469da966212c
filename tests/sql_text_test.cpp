// Statement texts as the database layer reads them: placeholders, leading keywords and statements
// that change their session, each told apart from quoted text and comments.
#include <string>
#include <vector>

#include "runtime/db/sql_text.h"
#include "test_support.h"

namespace kx::test {
namespace {

using db::Engine;

TEST(SqlText, PlaceholdersOutsideQuotesAndCommentsAreNumbered) {
  struct Case {
    std::string in, out;
    size_t count;
  };
  const std::vector<Case> cases = {
      {"select 1", "select 1", 0},
      {"select * from T where A = ? and B = ?", "select * from T where A = $1 and B = $2", 2},
      {"Insert Into T (A,B) Values (?,?)", "Insert Into T (A,B) Values ($1,$2)", 2},
      {"select '?', ? from T", "select '?', $1 from T", 1},
      {"select 'it''s ?', ?", "select 'it''s ?', $1", 1},
      {"select \"odd?name\" from T where A = ?", "select \"odd?name\" from T where A = $1", 1},
      {"select ? -- why?\n, ?", "select $1 -- why?\n, $2", 2},
      {"select /* ? /* nested ? */ still ? */ ?", "select /* ? /* nested ? */ still ? */ $1", 1},
      {"select $$ a ? $$, $tag$ ? $tag$, ?", "select $$ a ? $$, $tag$ ? $tag$, $1", 1},
      {"select E'\\' ?', ?", "select E'\\' ?', $1", 1},
      {"select ?, ?, ?, ?, ?, ?, ?, ?, ?, ?", "select $1, $2, $3, $4, $5, $6, $7, $8, $9, $10", 10},
      {"select 'unclosed ?", "select 'unclosed ?", 0},
  };
  for (const auto& c : cases) {
    size_t count = 99;
    EXPECT_EQ(db::NumberPlaceholders(c.in, count), c.out) << c.in;
    EXPECT_EQ(count, c.count) << c.in;
  }
}

TEST(SqlText, StatementsThatChangeTheirSessionAreRecognised) {
  struct Case {
    Engine engine;
    std::string sql;
    bool changes;
  };
  const std::vector<Case> cases = {
      {Engine::PostgreSQL, "SET statement_timeout = 0", true},
      {Engine::PostgreSQL, "  set jit = on", true},
      {Engine::PostgreSQL, "/* quiet */ RESET ALL", true},
      {Engine::PostgreSQL, "select 1; discard all", true},
      {Engine::PostgreSQL, "select set_config('jit', 'on', false)", true},
      {Engine::PostgreSQL, "Update T Set A = 'SET x'", false},
      {Engine::PostgreSQL, "select 'set_config', 'x; SET y'", false},
      {Engine::PostgreSQL, "-- SET\nselect 1", false},
      {Engine::SQLite, "PRAGMA busy_timeout = 0", true},
      {Engine::SQLite, "select [pragma] from T; select `set`", false},
      {Engine::SQLite, "Delete T Where A = 'pragma'", false},
  };
  for (const auto& c : cases) EXPECT_EQ(db::ChangesSession(c.engine, c.sql), c.changes) << c.sql;
  EXPECT_EQ(db::LeadingKeywords(Engine::PostgreSQL, "select 1;\n  Delete T; ; (select 2)"),
            (std::vector<std::string>{"SELECT", "DELETE", "SELECT"}));
}

TEST(SqlText, SeveralStatementsAreToldFromOne) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"select 1", false},       {"select 1;", false},          {"select 1; ", false},
      {"select ';x'", false},    {"select 1; select 2", true},  {"select 1 -- ; x\n", false},
      {"select 1;;\n", false},   {"select 1; -- done", false},
  };
  for (const auto& [sql, several] : cases) EXPECT_EQ(db::SeveralStatements(Engine::PostgreSQL, sql), several) << sql;
}

}  // namespace
}  // namespace kx::test
