// Statements built with their values apart: what is shown (strSQL, failures) and what each engine
// runs, with the values bound in order.
#include "runtime/db/statement.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kx::test {
namespace {

using db::Engine;
using db::Statement;

// "v" and eleven values, each after a blank.
Statement Eleven() {
  Statement statement("v");
  for (int i = 0; i < 11; ++i) statement.Append(" ").Value(std::to_string(i));
  return statement;
}

TEST(Statement, ShowsValuesQuotedAndRunsThemAsPlaceholdersInOrder) {
  struct Case {
    Statement statement;
    std::string shown, sqlite, postgres;
    std::vector<std::string> values;
    std::string sqlServer;  // when it differs from SQLite's: SQL Server runs the words shown
  };
  const std::vector<Case> cases = {
      {Statement("select 1"), "select 1", "select 1", "select 1", {}},
      {Statement("select * from T where A = ").Value("O'Neil").Append(" and B = ").Value(""),
       "select * from T where A = 'O''Neil' and B = ''",
       "select * from T where A = ? and B = ?",
       "select * from T where A = $1 and B = $2",
       {"O'Neil", ""}},
      // A value is never read as a part of the statement, whatever it holds.
      {Statement().Append("Delete T", "DELETE FROM T").Append(" Where K= ").Value("x' or '1'='1"),
       "Delete T Where K= 'x'' or ''1''=''1'",
       "DELETE FROM T Where K= ?",
       "DELETE FROM T Where K= $1",
       {"x' or '1'='1"},
       "Delete T Where K= ?"},
      {Statement("a = ").Value("1").Around("(", ")").Append(Statement(" or b = ").Value("2")),
       "(a = '1') or b = '2'",
       "(a = ?) or b = ?",
       "(a = $1) or b = $2",
       {"1", "2"}},
      {Statement::Format("select Count(*) from T where K= '{}' and L = '{}'", {"k", "it's"}),
       "select Count(*) from T where K= 'k' and L = 'it''s'",
       "select Count(*) from T where K= ? and L = ?",
       "select Count(*) from T where K= $1 and L = $2",
       {"k", "it's"}},
      // Pieces joined in every order of split and unsplit texts keep each value where it stands.
      {Statement().Value("a").Value("''q'").Append(" x ").Append(
           Statement().Append("Delete T", "DELETE FROM T").Value("b").Append(" y")),
       "'a''''''q''' x Delete T'b' y",
       "?? x DELETE FROM T? y",
       "$1$2 x DELETE FROM T$3 y",
       {"a", "''q'", "b"},
       "?? x Delete T? y"},
      {Statement().Append("Delete T", "DELETE FROM T").Value("1").Append(Statement(" and ").Value("2").Append(" end")),
       "Delete T'1' and '2' end",
       "DELETE FROM T? and ? end",
       "DELETE FROM T$1 and $2 end",
       {"1", "2"},
       "Delete T? and ? end"},
      {Eleven(), "v '0' '1' '2' '3' '4' '5' '6' '7' '8' '9' '10'", "v ? ? ? ? ? ? ? ? ? ? ?",
       "v $1 $2 $3 $4 $5 $6 $7 $8 $9 $10 $11", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.statement.Shown(), c.shown);
    EXPECT_EQ(c.statement.Text(Engine::SQLite), c.sqlite) << c.shown;
    EXPECT_EQ(c.statement.Text(Engine::SqlServer), c.sqlServer.empty() ? c.sqlite : c.sqlServer) << c.shown;
    EXPECT_EQ(c.statement.Text(Engine::PostgreSQL), c.postgres) << c.shown;
    ASSERT_EQ(c.statement.values().size(), c.values.size()) << c.shown;
    for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(c.statement.values()[i].get<std::string>(), c.values[i]);
  }
}

// A page is kept in the words of the dialect the statement runs in, after its values.
TEST(Statement, APageIsWrittenInTheDialectItRunsIn) {
  Statement page = Statement("select * from T where A = ").Value("a");
  page.Page(40, 20);
  EXPECT_EQ(page.Shown(), "select * from T where A = 'a' OFFSET 40 ROWS FETCH NEXT 20 ROWS ONLY");
  EXPECT_EQ(page.Text(Engine::SqlServer, false), "select * from T where A = ? OFFSET 40 ROWS FETCH NEXT 20 ROWS ONLY");
  EXPECT_EQ(page.Text(Engine::SQLite), "select * from T where A = ? LIMIT 20 OFFSET 40");
  EXPECT_EQ(page.Text(Engine::PostgreSQL), "select * from T where A = $1 LIMIT 20 OFFSET 40");
  // An ODBC driver reaching PostgreSQL takes `?` and PostgreSQL's words.
  EXPECT_EQ(page.Text(Engine::PostgreSQL, false), "select * from T where A = ? LIMIT 20 OFFSET 40");
  EXPECT_EQ(Statement("x").Page(0, -1).Text(Engine::SQLite), "x");
}

TEST(Statement, AFormatAndItsValuesMustAgree) {
  EXPECT_THROW(Statement::Format("where K = '{}'", {}), std::logic_error);
  EXPECT_THROW(Statement::Format("where K = '{}'", {"a", "b"}), std::logic_error);
}

}  // namespace
}  // namespace kx::test
