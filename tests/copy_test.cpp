// `kx copy`: an installation's tables moved between engines, checked, refused, interrupted, and
// the keys the target hands out afterwards.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "jb_order_rows.h"
#include "runtime/db/copy.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

// Rows at the edges in every table: quotes, Unicode, characters COPY escapes, NULLs, empty texts,
// the first and last dates, the widest numbers, keys with gaps.
const std::vector<std::string> kEdgeRows = {
    "INSERT INTO JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) VALUES ('T''1', 'Zoë 東京 😀', 'IM')",
    "INSERT INTO JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) VALUES ('EMPTY', '', NULL)",
    "INSERT INTO JB_ORDER (JB_NO_ID, JB_NO, JB_CREATE_DATE, ESTIMATED_END_DATE, ACTUAL_START_DATE, LAST_UPDATE_TIME, "
    "JB_STATE, QUANTITY, TOTAL_ACTUAL_AMOUNT, TOTAL_INVOICE_AMOUNT, VENDOR_NAME, COST_REMARK, ISSUE_DATE) VALUES "
    "(7, 'O''Neil', '1900-01-01', '9999-12-31 23:59:59', '1753-01-01 00:00:01', 2359, 0, 2147483647, 123456.789, "
    "-0.001, 'Ünïcødé \\ back\\slash', '', NULL)",
    "INSERT INTO JB_ORDER (JB_NO_ID, JB_NO) VALUES (41, 'JB41')",
    "INSERT INTO JB_CONTAINER_DETAIL (JB_CONTAINER_DETAIL_ID, JB_NO_ID, CONTAINER_NO, CARGO_DESCRIPTION, "
    "CHARGE_TARIFF_RATE, PROCESS_DATE) VALUES (3, 7, 'C1', 'tab\there\nline\r\\N end', 0.5, '2026-12-08 09:30:15')",
    "INSERT INTO JB_CONTAINER_DETAIL (JB_CONTAINER_DETAIL_ID, JB_NO_ID) VALUES (9, 41)",
    "INSERT INTO JB_DIARY (JB_DIARY_NO_ID, JB_NO_ID, JB_DIARY_TEXT, JB_DIARY_DATE, JB_DIARY_TIME) VALUES "
    "(2, 7, 'it''s \\N not null', '2000-02-29', 0)",
    "INSERT INTO JB_DOOR_APPOINTMENT (JB_DOOR_APPOINTMENT_ID, JB_NO_ID, CUSTOMER_NAME, APPOINTMENT_DATE) VALUES "
    "(5, 7, '<b>&amp;</b>', '1900-01-01')",
    "INSERT INTO PARTNER_NOTIFY_SETTING (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND, FAX_NO, EMAIL_ADDRESS) "
    "VALUES ('V1', 'ISSUE', 'FAX', '555', NULL)",
    "INSERT INTO PARTNER_NOTIFY_SETTING (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND, FAX_NO, EMAIL_ADDRESS) "
    "VALUES ('V1', 'ISSUE', 'MAIL', '', 'a@b.c')",
    "INSERT INTO KX_SERIAL_COUNTER (COUNTER_KEY, LAST_VALUE) VALUES ('JB|CO|HKG|202612', 17)",
    "INSERT INTO JB_CONTAINER_RETRIEVING_TEMP_FILE (JB_IMPORT_CONTAINER_WORK_FILE_ID, OFFICE, PROCESS_STATE, "
    "LAST_UPDATE_DATE) VALUES (11, 'HKG', 1, '2026-12-08')",
    "INSERT INTO JB_CONTAINER_RETRIEVING_TEMP_DETAIL (JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID, "
    "JB_IMPORT_CONTAINER_WORK_FILE_ID, CONTAINER_NO, HANDLED_FLAG) VALUES (12, 11, 'X''Y', 'N')",
    "INSERT INTO JB_CONTAINER_RETRIEVING_TEMP_DETAIL (JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID, "
    "JB_IMPORT_CONTAINER_WORK_FILE_ID) VALUES (13, 11)",
};

// Makes `home` the component folder of the calls that follow.
void Use(const TestHome& home) { setenv("KX_HOME", home.folder().c_str(), 1); }

std::unique_ptr<db::Connection> Open(const TestHome& home) {
  Use(home);
  return db::Open(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()));
}

void Fill(const TestHome& home) {
  auto c = Open(home);
  for (const auto& sql : kEdgeRows) c->Execute(sql);
}

// Every row of every table, as text, columns by name: what a copy must keep.
std::string Dump(const TestHome& home) {
  auto c = Open(home);
  std::string out;
  for (const auto& table : db::ComponentTables()) {
    std::string order;
    for (const auto& k : table.key) order += (order.empty() ? "" : ", ") + k;
    const auto rows = c->Query("SELECT * FROM " + table.name + " ORDER BY " + order);
    for (const auto& row : rows->Rows()) {
      std::map<std::string, std::string> named;
      for (size_t i = 0; i < row.size(); ++i) {
        std::string name = rows->Columns()[i];
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        named[name] = row[i].IsNull() ? "NULL" : "'" + CStr(row[i]) + "'";
      }
      out += table.name;
      for (const auto& [name, value] : named) out += " " + name + "=" + value;
      out += "\n";
    }
  }
  return out;
}

int64_t Count(const TestHome& home, const std::string& table) {
  auto c = Open(home);
  return static_cast<int64_t>(CDbl(c->Query("SELECT COUNT(*) FROM " + table)->Rows()[0][0]));
}

std::string Copy(const TestHome& from, const TestHome& to, const std::string& options = "") {
  return "copy --from " + ShellQuoted(from.folder()) + " --to " + ShellQuoted(to.folder()) + options;
}

bool Runs(const std::string& engine) {
  const auto engines = Engines();
  return EngineAvailable(engine) && std::find(engines.begin(), engines.end(), engine) != engines.end();
}

TEST(KxCopy, MovesEveryTableThroughEachEngineAndBackUnchanged) {
  const std::vector<std::vector<std::string>> chains = {
      {"SQLite", "PostgreSQL", "SQLite"},
      {"SQLite", "OdbcPostgreSQL", "OdbcSQLite", "SQLite"},
  };
  for (const auto& chain : chains) {
    if (!std::all_of(chain.begin(), chain.end(), Runs)) continue;
    std::vector<std::unique_ptr<TestHome>> homes;
    for (const auto& engine : chain) {
      homes.push_back(std::make_unique<TestHome>(engine));
      homes.back()->ResetDatabase();
    }
    Fill(*homes.front());
    const std::string before = Dump(*homes.front());
    for (size_t i = 0; i + 1 < homes.size(); ++i) {
      SCOPED_TRACE(chain[i] + " to " + chain[i + 1]);
      // A PostgreSQL database keeps the rows of the tests before: replaced.
      const auto copied = RunKx(*homes[i], Copy(*homes[i], *homes[i + 1], " --replace"));
      ASSERT_EQ(copied.exitCode, 0) << copied.out << copied.err;
      EXPECT_NE(copied.out.find("JB_ORDER: 2 rows copied"), std::string::npos) << copied.out;
      const auto checked = RunKx(*homes[i], "copy --check --from " + ShellQuoted(homes[i]->folder()) + " --to " +
                                                ShellQuoted(homes[i + 1]->folder()));
      EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
      EXPECT_NE(checked.out.find("JB_CONTAINER_DETAIL: 2 rows, the same"), std::string::npos) << checked.out;
    }
    EXPECT_EQ(Dump(*homes.back()), before);
  }
}

class KxCopyTo : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    source_ = std::make_unique<TestHome>("SQLite");
    source_->ResetDatabase();
    Fill(*source_);
  }
  void TearDown() override {
    source_.reset();
    EngineTest::TearDown();
  }
  std::unique_ptr<TestHome> source_;
};

TEST_P(KxCopyTo, TheNextAddGetsKeysPastTheCopiedOnes) {
  ASSERT_EQ(RunKx(*home_, Copy(*source_, *home_, " --replace")).exitCode, 0);
  const std::string order = home_->WriteFile("order.xml", OrderXml({}, Lines({LineXml("1234567")})));
  const auto added = RunKx(*home_, "call C_JBOrder add @" + ShellQuoted(order) + " CO HKG");
  ASSERT_EQ(added.exitCode, 0) << added.out << added.err;
  EXPECT_EQ(Count(*home_, "JB_ORDER WHERE JB_NO_ID > 41"), 1);
  EXPECT_EQ(Count(*home_, "JB_CONTAINER_DETAIL WHERE JB_CONTAINER_DETAIL_ID > 9"), 1);
  EXPECT_EQ(Count(*home_, "JB_ORDER"), 3);
}

TEST_P(KxCopyTo, ATargetWithRowsIsRefusedUnlessReplaced) {
  ASSERT_EQ(RunKx(*home_, Copy(*source_, *home_, " --replace")).exitCode, 0);
  const std::string before = Dump(*home_);
  const auto refused = RunKx(*home_, Copy(*source_, *home_));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("already holds rows in JB_TYPE_PROFILE, JB_ORDER"), std::string::npos) << refused.err;
  EXPECT_EQ(Dump(*home_), before);
  EXPECT_EQ(RunKx(*home_, Copy(*source_, *home_, " --replace")).exitCode, 0);
  EXPECT_EQ(Dump(*home_), before);
  // A database is never copied onto itself, which --replace would empty.
  const auto itself = RunKx(*home_, Copy(*home_, *home_, " --replace"));
  EXPECT_EQ(itself.exitCode, 1);
  EXPECT_NE(itself.err.find("--from and --to name the same database"), std::string::npos) << itself.err;
  EXPECT_EQ(Dump(*home_), before);
}

TEST_P(KxCopyTo, TheCheckNamesTheRowsThatDiffer) {
  ASSERT_EQ(RunKx(*home_, Copy(*source_, *home_, " --replace")).exitCode, 0);
  auto c = Open(*home_);
  c->Execute("UPDATE JB_DIARY SET JB_DIARY_TEXT = 'changed' WHERE JB_DIARY_NO_ID = 2");
  c->Execute("DELETE FROM JB_CONTAINER_DETAIL WHERE JB_CONTAINER_DETAIL_ID = 9");
  c->Execute("INSERT INTO KX_SERIAL_COUNTER (COUNTER_KEY, LAST_VALUE) VALUES ('extra', 1)");
  c->Execute("UPDATE JB_ORDER SET TOTAL_INVOICE_AMOUNT = 0.002 WHERE JB_NO_ID = 7");
  const auto checked = RunKx(*home_, "copy --check --from " + ShellQuoted(source_->folder()) + " --to " +
                                         ShellQuoted(home_->folder()));
  EXPECT_EQ(checked.exitCode, 1);
  for (const char* line : {"JB_TYPE_PROFILE: 2 rows, the same",
                           "JB_ORDER: differs: 2 rows on the source, 2 on the target\n  1 rows with other values (key 7)",
                           "JB_CONTAINER_DETAIL: differs: 2 rows on the source, 1 on the target\n"
                           "  1 rows only on the source (key 9)",
                           "JB_DIARY: differs", "1 rows with other values (key 2)",
                           "KX_SERIAL_COUNTER: differs: 1 rows on the source, 2 on the target\n"
                           "  1 rows only on the target (key extra)",
                           "JB_CONTAINER_RETRIEVING_TEMP_DETAIL: 2 rows, the same"})
    EXPECT_NE(checked.out.find(line), std::string::npos) << line << "\n" << checked.out;
}

TEST_P(KxCopyTo, AFailedTableIsRolledBackAndTheTablesBeforeItAreNamed) {
  // The target's JB_DIARY refuses the rows: it has lost a column.
  auto c = Open(*home_);
  c->ExecuteScript("ALTER TABLE JB_DIARY DROP COLUMN JB_DIARY_TIME");
  const auto failed = RunKx(*home_, Copy(*source_, *home_, " --replace"));
  c->ExecuteScript("DROP TABLE JB_DIARY");
  home_->ResetDatabase();  // the table as it was, for the tests after this one
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("kx copy: JB_DIARY: "), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("tables copied before the failure: JB_TYPE_PROFILE, JB_ORDER, JB_CONTAINER_DETAIL\n"),
            std::string::npos)
      << failed.err;
  EXPECT_NE(failed.out.find("JB_CONTAINER_DETAIL: 2 rows copied"), std::string::npos);
  EXPECT_EQ(failed.out.find("JB_DIARY"), std::string::npos);
  EXPECT_EQ(Count(*home_, "JB_DOOR_APPOINTMENT"), 0);
}

TEST_P(KxCopyTo, AKilledCopyLeavesEachTableAsItWasOrWhole) {
  // 600 orders with 3 lines each, read and written 10 rows at a time.
  auto s = Open(*source_);
  s->ExecuteScript(
      "WITH RECURSIVE n(i) AS (SELECT 100 UNION ALL SELECT i + 1 FROM n WHERE i < 699) "
      "INSERT INTO JB_ORDER (JB_NO_ID, JB_NO) SELECT i, 'JB' || i FROM n;"
      "INSERT INTO JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_NO, CARGO_DESCRIPTION) "
      "SELECT JB_NO_ID, 'C' || k, 'cargo ' || k FROM JB_ORDER, (SELECT 1 AS k UNION ALL SELECT 2 UNION ALL SELECT 3);");
  std::map<std::string, int64_t> before;
  for (const auto& table : db::ComponentTables()) before[table.name] = Count(*home_, table.name);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const std::string from = source_->folder(), to = home_->folder();
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    execl(KX_BINARY, KX_BINARY, "--quiet", "copy", "--from", from.c_str(), "--to", to.c_str(), "--replace", "--batch",
          "10", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // Killed a moment after the orders are copied: somewhere in the container lines.
  std::string seen;
  char buffer[256];
  for (ssize_t n; seen.find("JB_ORDER: ") == std::string::npos && (n = read(out[0], buffer, sizeof buffer)) > 0;)
    seen.append(buffer, static_cast<size_t>(n));
  usleep(20000);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(out[0]);
  ASSERT_NE(seen.find("JB_ORDER: 602 rows copied"), std::string::npos) << seen;
  EXPECT_EQ(Count(*home_, "JB_ORDER"), 602);
  // Each table as it was, or as the source holds it.
  for (const auto& table : db::ComponentTables()) {
    const int64_t rows = Count(*home_, table.name);
    EXPECT_TRUE(rows == before[table.name] || rows == Count(*source_, table.name)) << table.name << ": " << rows;
  }
}

KX_ENGINE_SUITE(KxCopyTo);

}  // namespace
}  // namespace kx::test
