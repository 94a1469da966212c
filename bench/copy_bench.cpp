// `kx copy` of job orders with three container lines each, from SQLite to PostgreSQL, against
// PostgreSQL's own COPY of the same rows from a file; and the copy's peak memory at two sizes, which
// stays flat when the copy holds one batch at a time.
//
//   kx_copy_bench [--quick] [--orders N] [--dir DIR] [--json FILE] [--label TEXT]
//
// Needs KX_BENCH_PG_SERVER (scripts/bench.sh --only copy starts a throwaway server).
#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "bench/bench_support.h"
#include "kx/host.h"
#include "runtime/db/connection.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::bench {
namespace {

constexpr const char* kUsage =
    "kx_copy_bench [--quick] [--orders N] [--dir DIR] [--json FILE] [--label TEXT]\n"
    "  kx copy of N job orders with 3 lines each (default 1,000,000; --quick 100,000) from SQLite to\n"
    "  PostgreSQL, against PostgreSQL's COPY of the same rows from a file; peak memory at N/10 and N.\n";

// The tables the copy fills, with the rows of each.
const char* const kTables[] = {"JB_ORDER", "JB_CONTAINER_DETAIL"};

std::string ConnectionStringOf(const std::string& home) {
  setenv("KX_HOME", home.c_str(), 1);
  return S_DBHelpForKX().GetConnectionString();
}

// A source home holding `orders` job orders with three lines each, every order column of a
// working order filled.
void MakeSource(const std::string& home, int64_t orders) {
  std::filesystem::create_directories(home);
  WriteConfig(home, "PROVIDER=SQLite\nDATABASENAME=source\n");
  const std::string cs = ConnectionStringOf(home);
  db::InstallDatabase(cs);
  // Making a million orders is one long statement: no time limit.
  auto c = db::Open(db::ConnectionInfo::Parse(cs), db::OpenMode::Existing, db::Limits{0, false});
  c->ExecuteScript(
      "PRAGMA synchronous=OFF; BEGIN;"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(orders) +
      ") INSERT INTO JB_ORDER (JB_NO_ID, JB_NO, JB_CREATE_DATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME, "
      "LAST_UPDATE_USER, JB_TYPE_CATEGORY, JB_TYPE_CODE, OFFICE_CODE, ISSUE_USER, JB_STATE, JB_STATE_DATE, "
      "VENDOR_CODE, VENDOR_NAME, VENDOR_CONTRACT_NO, TRANSPORT_MODE, QUANTITY, FROM_PLACE, FROM_DEPOT, "
      "ESTIMATED_START_DATE, TO_PLACE, TO_DEPOT, ESTIMATED_END_DATE, TOTAL_ACTUAL_CURRENCY, TOTAL_ACTUAL_AMOUNT, "
      "TOTAL_INVOICE_CURRENCY, TOTAL_INVOICE_AMOUNT, COST_REMARK) "
      "SELECT i, 'JB' || printf('%08d', i), '2026-12-08 09:30:15', '2026-12-08', 930, 'clerk', 'IM', 'T1', "
      "'HKG', 'clerk', 1, '2026-12-08', 'V' || (i % 100), 'Vendor ' || (i % 1000), 'K' || (i % 50), 'TRUCK', 3, "
      "'HKHKG', 'D1', '2026-12-09', 'CNSZX', 'D2', '2026-12-10 18:00:00', 'HKD', (i % 100000) * 1.5, 'HKD', "
      "(i % 100000) * 1.75, 'remark of order ' || i FROM n;"
      "INSERT INTO JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, EMPTY_FULL_FLAG, SOC_FLAG, BK_NO, "
      "BL_NO, FROM_PLACE, TO_PLACE, SERVICE_MODE, CONTAINER_TYPE, CARGO_DESCRIPTION, PROCESS_STATE, PROCESS_DATE, "
      "CHARGE_CODE, CHARGE_QUANTITY, CHARGE_CURRENCY, CHARGE_TARIFF_RATE, CHARGE_TARIFF_AMOUNT) "
      "SELECT JB_NO_ID, 'ABCU', printf('%07d', JB_NO_ID * 3 + k), 'F', 'N', 'BK' || JB_NO_ID, 'BL' || JB_NO_ID, "
      "'HKHKG', 'CNSZX', 'CY', '40HC', 'general cargo, line ' || k, 0, '2026-12-08', 'THC', 1, 'HKD', 12.5, 12.5 "
      "FROM JB_ORDER, (SELECT 1 AS k UNION ALL SELECT 2 UNION ALL SELECT 3);"
      "COMMIT;");
}

struct CopyRun {
  double seconds = 0;
  long peakKb = 0;
  bool ok = false;
};

// Runs `kx copy --replace` as a process of its own: its time and its peak resident memory.
CopyRun RunCopy(const std::string& from, const std::string& to) {
  const auto start = SteadyClock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (const int quiet = open("/dev/null", O_WRONLY); quiet >= 0) dup2(quiet, STDOUT_FILENO);
    execl(KX_TOOL_PATH, KX_TOOL_PATH, "--quiet", "copy", "--from", from.c_str(), "--to", to.c_str(), "--replace",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  return {Since(start), usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

using Pg = std::unique_ptr<PGconn, decltype(&PQfinish)>;

Pg ConnectPg() {
  const std::string server = Env("KX_BENCH_PG_SERVER", "");
  const auto comma = server.find(',');
  const std::string conninfo = "host=" + server.substr(0, comma) + " port=" + server.substr(comma + 1) +
                               " dbname=" + Env("KX_BENCH_PG_DATABASE", "kxbench") +
                               " user=" + Env("KX_BENCH_PG_USER", "kx");
  Pg pg(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (PQstatus(pg.get()) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(pg.get()));
  return pg;
}

void Exec(PGconn* pg, const std::string& sql) {
  std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(pg, sql.c_str()), &PQclear);
  const auto s = PQresultStatus(r.get());
  if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) throw std::runtime_error(PQerrorMessage(pg));
}

// Writes `table` to `path` in COPY's text form.
void CopyOut(PGconn* pg, const std::string& table, const std::string& path) {
  std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(pg, ("COPY " + table + " TO STDOUT").c_str()), &PQclear);
  if (PQresultStatus(r.get()) != PGRES_COPY_OUT) throw std::runtime_error(PQerrorMessage(pg));
  std::ofstream out(path, std::ios::binary);
  char* line = nullptr;
  for (int n; (n = PQgetCopyData(pg, &line, 0)) > 0; PQfreemem(line)) out.write(line, n);
  while (PGresult* rest = PQgetResult(pg)) PQclear(rest);
}

// COPY `table` FROM STDIN fed from `path`, as psql's \copy does.
void CopyIn(PGconn* pg, const std::string& table, const std::string& path) {
  std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(pg, ("COPY " + table + " FROM STDIN").c_str()), &PQclear);
  if (PQresultStatus(r.get()) != PGRES_COPY_IN) throw std::runtime_error(PQerrorMessage(pg));
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 16);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
    PQputCopyData(pg, buffer.data(), static_cast<int>(in.gcount()));
  PQputCopyEnd(pg, nullptr);
  std::unique_ptr<PGresult, decltype(&PQclear)> done(PQgetResult(pg), &PQclear);
  if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) throw std::runtime_error(PQerrorMessage(pg));
  while (PGresult* rest = PQgetResult(pg)) PQclear(rest);
}

int Main(int argc, char** argv) {
  CommonOptions o;
  int64_t orders = 0;
  ParseCommandLine(argc, argv, o, kUsage, [&](const std::string& a, int& i, auto value) {
    if (a != "--orders") return false;
    orders = std::stoll(value(i));
    return true;
  });
  if (orders <= 0) orders = o.quick ? 100000 : 1000000;
  if (Env("KX_BENCH_PG_SERVER", "").empty()) throw std::invalid_argument("KX_BENCH_PG_SERVER is not set");
  const auto started = SteadyClock::now();
  const std::string root = o.dir + "/kx-copy-bench-" + std::to_string(getpid());
  const std::string small = root + "/small", large = root + "/large", target = root + "/target";
  std::filesystem::create_directories(target);
  WriteConfig(target, Engines({"postgresql"})[0].databaseConfig);

  std::cout << "making the source databases (" << orders / 10 << " and " << orders << " orders)" << std::endl;
  MakeSource(small, orders / 10);
  MakeSource(large, orders);
  const CopyRun first = RunCopy(small, target);
  const CopyRun copy = RunCopy(large, target);
  if (!first.ok || !copy.ok) throw std::runtime_error("kx copy failed");

  // PostgreSQL's own COPY of the same rows, from files written by COPY ... TO.
  auto pg = ConnectPg();
  for (const char* table : kTables) CopyOut(pg.get(), table, root + "/" + table + ".copy");
  Exec(pg.get(), "TRUNCATE JB_ORDER, JB_CONTAINER_DETAIL");
  const auto copyStart = SteadyClock::now();
  Exec(pg.get(), "BEGIN");
  for (const char* table : kTables) CopyIn(pg.get(), table, root + "/" + table + ".copy");
  Exec(pg.get(), "COMMIT");
  const double pgSeconds = Since(copyStart);
  std::filesystem::remove_all(root);

  const double rows = static_cast<double>(orders) * 4;
  const double kxRate = rows / copy.seconds, pgRate = rows / pgSeconds;
  PrintTable("kx copy, SQLite to PostgreSQL (" + std::to_string(orders) + " orders, 3 lines each)",
             {{"side", "", "seconds", "rows/s", "peak memory"},
              {"kx copy", "", Fixed(copy.seconds, 1), Fixed(kxRate, 0), std::to_string(copy.peakKb / 1024) + " MiB"},
              {"kx copy, a tenth", "", Fixed(first.seconds, 1), Fixed(rows / 10 / first.seconds, 0),
               std::to_string(first.peakKb / 1024) + " MiB"},
              {"PostgreSQL COPY from a file", "", Fixed(pgSeconds, 1), Fixed(pgRate, 0), ""}});
  Targets targets;
  targets.Add("kx copy time / COPY time", "<= 2", copy.seconds / pgSeconds, "x", copy.seconds / pgSeconds <= 2);
  const double growth = static_cast<double>(copy.peakKb) / static_cast<double>(std::max(1L, first.peakKb));
  targets.Add("peak memory at N / at N/10", "<= 1.5", growth, "x", growth <= 1.5);
  PrintTable("targets", targets.rows);
  if (!o.json.empty()) {
    const JsonObject figures = JsonObject()
                                   .Number("orders", static_cast<double>(orders))
                                   .Number("rows", rows)
                                   .Number("kx_copy_seconds", copy.seconds)
                                   .Number("kx_copy_rows_per_second", kxRate)
                                   .Number("kx_copy_peak_kib", static_cast<double>(copy.peakKb))
                                   .Number("kx_copy_tenth_peak_kib", static_cast<double>(first.peakKb))
                                   .Number("pg_copy_seconds", pgSeconds)
                                   .Number("pg_copy_rows_per_second", pgRate);
    if (!WriteResults("kx_copy_bench", o.json, RunInfo(o.label, o.quick, 1, o.dir, Since(started), 0),
                      {{"copy", {figures}}, {"targets", targets.json}}))
      return 1;
  }
  return 0;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
  try {
    return kx::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kx_copy_bench: " << e.what() << "\n";
    return 1;
  }
}
