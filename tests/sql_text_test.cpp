// Statement texts as the database layer reads them: placeholders, leading keywords and statements
// that change their session, each told apart from quoted text and comments.
#include "runtime/db/sql_text.h"

#include <string>
#include <vector>

#include "test_support.h"

namespace kx::test {
namespace {

using db::Engine;

TEST(SqlText, DeleteWithoutFromIsAdaptedForEveryEngineButSqlServer) {
  struct Case {
    std::string in, out;  // out on SQLite and PostgreSQL; SQL Server keeps `in`
  };
  const std::vector<Case> cases = {
      {"Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'X'",
       "DELETE FROM JB_TYPE_PROFILE Where JB_TYPE_CODE= 'X'"},
      {"delete t where a = 1", "DELETE FROM t where a = 1"},
      {"  Delete\tT\n Where A = '1'", "  DELETE FROM T\n Where A = '1'"},
      {"Delete fromage Where A = '1'", "DELETE FROM fromage Where A = '1'"},
      {"-- clean up\nDelete T Where A = '1'", "-- clean up\nDELETE FROM T Where A = '1'"},
      {"Delete A Where X = '1'; Delete B Where Y = ';'",
       "DELETE FROM A Where X = '1'; DELETE FROM B Where Y = ';'"},
      // Texts that stay as they are.
      {"delete from T where A = 1", "delete from T where A = 1"},
      {"DELETE FROM T", "DELETE FROM T"},
      {"Delete\nFrom T", "Delete\nFrom T"},
      {"Update T Set A = 'Delete T Where'", "Update T Set A = 'Delete T Where'"},
      {"Insert Into T (A) Values ('delete x where y')", "Insert Into T (A) Values ('delete x where y')"},
      {"select 'x'; select 'Delete T'", "select 'x'; select 'Delete T'"},
      {"Deleted T", "Deleted T"},
      {"Delete", "Delete"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(db::AdaptStatement(Engine::SQLite, c.in), c.out) << c.in;
    EXPECT_EQ(db::AdaptStatement(Engine::PostgreSQL, c.in), c.out) << c.in;
    EXPECT_EQ(db::AdaptStatement(Engine::SqlServer, c.in), c.in) << c.in;
  }
}

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
  // A table may change only by the words themselves, not by a text or a comment holding them.
  for (const auto& [sql, changes] : std::vector<std::pair<std::string, bool>>{
           {"ALTER TABLE T DROP COLUMN A", true}, {"select 1; create table T (A int)", true},
           {"Insert Into T (A) Values ('drop')", false}, {"/* alter */ select \"Create\" from T", false}})
    EXPECT_EQ(db::ChangesSchema(Engine::SQLite, sql), changes) << sql;
  EXPECT_EQ(db::LeadingKeywords(Engine::PostgreSQL, "select 1;\n  Delete T; ; (select 2)"),
            (std::vector<std::string>{"SELECT", "DELETE", "SELECT"}));
}

TEST(SqlText, SeveralStatementsAreToldFromOne) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"select 1", false},     {"select 1;", false},         {"select 1; ", false},
      {"select ';x'", false},  {"select 1; select 2", true}, {"select 1 -- ; x\n", false},
      {"select 1;;\n", false}, {"select 1; -- done", false},
  };
  for (const auto& [sql, several] : cases)
    EXPECT_EQ(db::SeveralStatements(Engine::PostgreSQL, sql), several) << sql;
}

TEST(SqlText, OnlyAPlainSelectIsToldToOnlyRead) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"select * from T where C = $1", true},
      {"  (SELECT count(*) as RecCount from T)", true},
      {"select FORWARDER, INTO_DATE, X_FOR from T", true},  // words that only begin or end alike
      {"selected from T", false},
      {"select * from T for update", false},
      {"select * from T FOR SHARE", false},
      {"select * into T2 from T", false},
      {"select nextval('S')", false},
      {"SELECT setval('S', 1)", false},
      {"select 1; delete from T", false},
      {"Update T Set C = $1", false},
      {"Insert Into T (C) Values ($1)", false},
      {"with x as (delete from T returning *) select * from x", false},
      {"", false},
  };
  for (const auto& [sql, reads] : cases) EXPECT_EQ(db::OnlyReads(sql), reads) << sql;
}

}  // namespace
}  // namespace kx::test
