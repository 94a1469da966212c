// Job order benchmarks on the embedded database, each beside the raw engine running the same
// statements in the same process with the same durability settings (WAL, one transaction per call):
// - adding an order with three container lines (number check, order, lines, diary entry), also
//   beside the floor: the same statements prepared once and kept, values bound, a deferred BEGIN;
// - page 1 of 20 of a search with a container line condition over a million orders, with its count.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "joborder/jb_order.h"
#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "shared/s_db_help_for_kx.h"

namespace {

// A component folder with an installed SQLite database, in KX_BENCH_DIR when it is set (a folder on
// disk measures the commits' syncs), else on /dev/shm when it can be written, else in /tmp.
struct BenchHome {
  explicit BenchHome(const std::string& name) {
    const char* dir = std::getenv("KX_BENCH_DIR");
    std::string pattern = (dir && *dir ? std::string(dir) : kx::bench::DefaultSqliteDir()) + "/kx-bench.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a folder for " + pattern);
    folder = pattern;
    setenv("KX_HOME", folder.c_str(), 1);
    kx::bench::WriteConfig(folder, "DATABASENAME=" + name + "\n");
    kx::S_DBHelpForKX helper;
    kx::db::InstallDatabase(helper.GetConnectionString());
    path = folder + "/" + name + ".db";
  }
  ~BenchHome() {
    kx::db::ClearPool();
    std::filesystem::remove_all(folder);
  }
  std::string folder, path;
};

// The raw engine on the same file: WAL, the same busy timeout, statements prepared per call.
struct Raw {
  explicit Raw(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
      throw std::runtime_error("open");
    sqlite3_busy_timeout(db, 10000);
    Exec("PRAGMA journal_mode=WAL;");
  }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(message + ": " + sql);
    }
  }
  // Runs `sql` and reads every row; the first column of the last row as an integer.
  int64_t Rows(const std::string& sql, const std::vector<std::string>& binds = {}) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db));
    for (size_t i = 0; i < binds.size(); ++i)
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), binds[i].c_str(), -1, SQLITE_TRANSIENT);
    const int64_t last = Step(stmt);
    sqlite3_finalize(stmt);
    return last;
  }
  // The same with `sql` prepared once and kept, as the engine's cheapest way runs it.
  int64_t Kept(const std::string& sql, const std::vector<std::string>& binds = {}) {
    sqlite3_stmt*& stmt = kept[sql];
    if (!stmt &&
        sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db));
    for (size_t i = 0; i < binds.size(); ++i)
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), binds[i].data(), static_cast<int>(binds[i].size()),
                        SQLITE_STATIC);
    const int64_t last = Step(stmt);
    sqlite3_reset(stmt);
    return last;
  }
  // Steps `stmt` to its end reading every cell; the first column of the last row as an integer.
  int64_t Step(sqlite3_stmt* stmt) {
    int64_t last = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const int n = sqlite3_column_count(stmt);
      for (int c = 0; c < n; ++c) benchmark::DoNotOptimize(sqlite3_column_text(stmt, c));
      last = sqlite3_column_int64(stmt, 0);
    }
    if (rc != SQLITE_DONE) {
      const std::string message = sqlite3_errmsg(db);
      sqlite3_reset(stmt);
      throw std::runtime_error(message);
    }
    return last;
  }
  ~Raw() {
    for (auto& [sql, stmt] : kept) sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  sqlite3* db = nullptr;
  std::map<std::string, sqlite3_stmt*> kept;
};

std::string Line(const std::string& no) {
  return "<JBContainerDetail ContainerPrefix=\"ABCU\" ContainerNo=\"" + no +
         "\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" FromPlace=\"HKHKG\" "
         "ToPlace=\"CNSZX\" ServiceMode=\"CY\" ContainerType=\"40HC\" CargoDescription=\"toys\" Reefer=\"N\" "
         "Hazard=\"N\"/>";
}

std::string Order(const std::string& no) {
  return "<JBOrder JBNo=\"" + no +
         "\" JBCreateDate=\"2026-12-01\" LastUpdateUser=\"amy\" JBTypeCategory=\"TR\" JBTypeCode=\"TRK\" "
         "OfficeCode=\"HKG\" VendorCode=\"V001\" VendorName=\"O'Neil\" VendorContractNo=\"C-9\" "
         "ITNumber=\"IT1\" "
         "ITType=\"A\" BoundDirect=\"I\" TransportMode=\"TRK\" Quantity=\"3\" FromPlace=\"HKHKG\" "
         "FromDepot=\"D1\" "
         "EstimatedStartDate=\"2026-12-02\" ToPlace=\"CNSZX\" ToDepot=\"D2\" EstimatedEndDate=\"2026-12-05\" "
         "CostRemark=\"rush\"><JBContainerDetails>" +
         Line("1") + Line("2") + Line("3") + "</JBContainerDetails></JBOrder>";
}

void BM_OrderAdd(benchmark::State& state) {
  BenchHome home("add");
  kx::C_JBOrder orders;
  int n = 0;
  for (auto _ : state) {
    kx::TransactionScope scope;
    orders.add(Order("B" + std::to_string(++n)), "CO", "HKG");
    scope.Complete();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrderAdd)->Unit(benchmark::kMicrosecond);

// The order's insert as C_JBOrder.add runs it, its values bound.
const char* const kInsertOrder =
    "INSERT INTO JB_ORDER (JB_NO, JB_CREATE_DATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME, "
    "LAST_UPDATE_USER, JB_TYPE_CATEGORY, JB_TYPE_CODE, OFFICE_CODE, ISSUE_USER, ISSUE_FAX_NO, "
    "ISSUE_EMAIL_ADDRESS, "
    "ISSUE_DATE, JB_STATE, JB_STATE_DATE, JB_STATE_REMARK, VENDOR_CODE, VENDOR_NAME, VENDOR_CONTRACT_NO, "
    "IT_NUMBER, "
    "IT_TYPE, BOUND_DIRECT, TRANSPORT_MODE, QUANTITY, FROM_PLACE, FROM_DEPOT, ESTIMATED_START_DATE, "
    "ACTUAL_START_DATE, TO_PLACE, TO_DEPOT, ESTIMATED_END_DATE, ACTUAL_END_DATE, TOTAL_ACTUAL_CURRENCY, "
    "TOTAL_ACTUAL_AMOUNT, TOTAL_INVOICE_CURRENCY, TOTAL_INVOICE_AMOUNT, COST_REMARK) VALUES (?1, ?2, ?3, "
    "?4, ?5, "
    "?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, "
    "?27, "
    "?28, ?29, ?30, ?31, ?32, ?33, ?34, ?35, ?36) RETURNING JB_NO_ID";

// The values of the order `no` in the order of kInsertOrder's placeholders.
std::vector<std::string> OrderValues(const std::string& no) {
  return {no,       "2026-12-01", "2026-12-08", "930",        "amy", "TR",         "TRK",        "HKG",
          "",       "",           "",           "1899-12-30", "0",   "2026-12-08", "",           "V001",
          "O'Neil", "C-9",        "IT1",        "A",          "I",   "TRK",        "3",          "HKHKG",
          "D1",     "2026-12-02", "1899-12-30", "CNSZX",      "D2",  "2026-12-05", "1899-12-30", "",
          "0",      "",           "0",          "rush"};
}

// The statements that C_JBOrder.add runs, on the raw engine.
void BM_OrderAddRaw(benchmark::State& state) {
  BenchHome home("add");
  Raw raw(home.path);
  int n = 0;
  for (auto _ : state) {
    const std::string no = "B" + std::to_string(++n);
    raw.Exec("BEGIN IMMEDIATE");
    raw.Rows("select JB_No_Id  from JB_ORDER where JB_NO = '" + no + "'");
    const std::string id = std::to_string(raw.Rows(kInsertOrder, OrderValues(no)));
    raw.Rows("select * from JB_CONTAINER_DETAIL where JB_NO_ID = '" + id + "'");
    for (const char* c : {"1", "2", "3"})
      raw.Rows(
          "Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, EMPTY_FULL_FLAG, "
          "SOC_FLAG, "
          "BK_NO, BL_NO, ER_NO, FROM_PLACE, TO_PLACE, SERVICE_MODE, CONTAINER_TYPE, CARGO_DESCRIPTION, "
          "REEFER, "
          "HAZARD, PROCESS_STATE, PROCESS_DATE, PROCESS_REMARKS, LAST_ACTIVITY_CODE, LAST_ACTIVITY_DATE, "
          "LAST_ACTIVITY_TIME, LAST_ACTIVITY_PLACE, CHARGE_CODE, CHARGE_QUANTITY, CHARGE_CURRENCY, "
          "CHARGE_TARIFF_RATE, CHARGE_TARIFF_AMOUNT, CHARGE_ACTUAL_RATE, CHARGE_ACTUAL_AMOUNT, "
          "INVOICE_CURRENCY, "
          "INVOICE_AMOUNT, INVOICE_NO)Values ('" +
          id + "','ABCU','" + c +
          "','F','N','BK1','BL1','ER1','HKHKG',"
          "'CNSZX','CY','40HC','toys','N','N','0','1899-12-30','','','1899-12-30','0','','','0','','0','0',''"
          ","
          "'0','','0','')");
    raw.Rows("select * from JB_DIARY where JB_NO_ID = '" + id + "'");
    raw.Rows(
        "Insert Into JB_DIARY (JB_NO_ID, LAST_UPDATE_USER, LAST_UPDATE_DATE, LAST_UPDATE_TIME, "
        "JB_DIARY_TEXT, "
        "JB_DIARY_TYPE_IND, JB_DIARY_DATE, JB_DIARY_TIME)Values ('" +
        id +
        "','amy','2026-12-08','930',"
        "'Add JBOrder JBNoId =" +
        id + "','EDIT','2026-12-08','930')");
    raw.Exec("COMMIT");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrderAddRaw)->Unit(benchmark::kMicrosecond);

// The floor of the same call: the same statements and rows, each statement prepared once and kept
// with its values bound, between a kept deferred BEGIN and COMMIT; adds order `no`.
void FloorAdd(Raw& raw, const std::string& no) {
  static const std::string line =
      "Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, EMPTY_FULL_FLAG, SOC_FLAG, "
      "BK_NO, BL_NO, ER_NO, FROM_PLACE, TO_PLACE, SERVICE_MODE, CONTAINER_TYPE, CARGO_DESCRIPTION, REEFER, "
      "HAZARD, PROCESS_STATE, PROCESS_DATE, PROCESS_REMARKS, LAST_ACTIVITY_CODE, LAST_ACTIVITY_DATE, "
      "LAST_ACTIVITY_TIME, LAST_ACTIVITY_PLACE, CHARGE_CODE, CHARGE_QUANTITY, CHARGE_CURRENCY, "
      "CHARGE_TARIFF_RATE, CHARGE_TARIFF_AMOUNT, CHARGE_ACTUAL_RATE, CHARGE_ACTUAL_AMOUNT, INVOICE_CURRENCY, "
      "INVOICE_AMOUNT, INVOICE_NO)Values (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
      "?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29, ?30, ?31, ?32)";
  static const std::string diary =
      "Insert Into JB_DIARY (JB_NO_ID, LAST_UPDATE_USER, LAST_UPDATE_DATE, LAST_UPDATE_TIME, JB_DIARY_TEXT, "
      "JB_DIARY_TYPE_IND, JB_DIARY_DATE, JB_DIARY_TIME)Values (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
  raw.Kept("BEGIN");
  raw.Kept("select JB_No_Id  from JB_ORDER where JB_NO = ?1", {no});
  const std::string id = std::to_string(raw.Kept(kInsertOrder, OrderValues(no)));
  raw.Kept("select * from JB_CONTAINER_DETAIL where JB_NO_ID = ?1", {id});
  for (const char* c : {"1", "2", "3"})
    raw.Kept(line, {id,     "ABCU", c,   "F", "N", "BK1",        "BL1", "ER1", "HKHKG",      "CNSZX", "CY",
                    "40HC", "toys", "N", "N", "0", "1899-12-30", "",    "",    "1899-12-30", "0",     "",
                    "",     "0",    "",  "0", "0", "",           "0",   "",    "0",          ""});
  raw.Kept("select * from JB_DIARY where JB_NO_ID = ?1", {id});
  raw.Kept(diary, {id, "amy", "2026-12-08", "930", "Add JBOrder JBNoId =" + id, "EDIT", "2026-12-08", "930"});
  raw.Kept("COMMIT");
}

void BM_OrderAddFloor(benchmark::State& state) {
  BenchHome home("add");
  Raw raw(home.path);
  int n = 0;
  for (auto _ : state) FloorAdd(raw, "B" + std::to_string(++n));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrderAddFloor)->Unit(benchmark::kMicrosecond);

// C_JBOrder.add and its floor in turns, each on its own database: a round is 100 calls of each,
// so that both meet the machine in the same state. Reports the median round of each as
// microseconds per call, and their ratio.
void BM_OrderAddAgainstFloor(benchmark::State& state) {
  BenchHome floorHome("floor");
  Raw raw(floorHome.path);
  BenchHome home("add");  // last, so that KX_HOME names it
  kx::C_JBOrder orders;
  constexpr int kCalls = 100;
  std::vector<double> kxRounds, floorRounds;
  int n = 0;
  const auto perCall = [](auto start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kCalls;
  };
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) {
      kx::TransactionScope scope;
      orders.add(Order("B" + std::to_string(++n)), "CO", "HKG");
      scope.Complete();
    }
    kxRounds.push_back(perCall(start));
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) FloorAdd(raw, "B" + std::to_string(n - kCalls + 1 + i));
    floorRounds.push_back(perCall(start));
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  const double kx = median(kxRounds), floor = median(floorRounds);
  state.counters["kx_us"] = kx;
  state.counters["floor_us"] = floor;
  state.counters["kx_over_floor"] = floor > 0 ? kx / floor : 0;
}
BENCHMARK(BM_OrderAddAgainstFloor)->Unit(benchmark::kMillisecond)->Iterations(30);

// A million orders, one container line each; every booking number is shared by 50 orders.
struct MillionOrders {
  static constexpr int kOrders = 1000000;
  MillionOrders() : home("million") {
    Raw raw(home.path);
    raw.Exec("BEGIN");
    sqlite3_stmt* order = nullptr;
    sqlite3_stmt* line = nullptr;
    sqlite3_prepare_v2(
        raw.db,
        "INSERT INTO JB_ORDER (JB_NO_ID, JB_NO, JB_TYPE_CODE, OFFICE_CODE, JB_STATE, VENDOR_CODE, "
        "VENDOR_NAME, ISSUE_DATE) VALUES (?1, ?2, 'TRK', 'HKG', 1, 'V001', 'Vendor', '2026-12-01')",
        -1, &order, nullptr);
    sqlite3_prepare_v2(
        raw.db,
        "INSERT INTO JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, BK_NO, BL_NO) "
        "VALUES (?1, 'ABCU', ?2, ?3, ?3)",
        -1, &line, nullptr);
    for (int i = 1; i <= kOrders; ++i) {
      const std::string no = "JB" + std::to_string(i), bk = "BK" + std::to_string(i % (kOrders / 50));
      sqlite3_bind_int(order, 1, i);
      sqlite3_bind_text(order, 2, no.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(order);
      sqlite3_reset(order);
      sqlite3_bind_int(line, 1, i);
      sqlite3_bind_text(line, 2, no.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(line, 3, bk.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(line);
      sqlite3_reset(line);
    }
    sqlite3_finalize(order);
    sqlite3_finalize(line);
    raw.Exec("COMMIT");
    raw.Exec("ANALYZE");
  }
  BenchHome home;
};

MillionOrders& Million() {
  static MillionOrders data;
  setenv("KX_HOME", data.home.folder.c_str(), 1);
  return data;
}

const char* const kBookingCondition =
    "<AccessKeys><AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"BK4242\"/></AccessKeys>";

void BM_OrderSearchPage(benchmark::State& state) {
  Million();
  kx::C_JBOrder orders;
  for (auto _ : state) {
    kx::TransactionScope scope;
    kx::Variant count, pages;
    benchmark::DoNotOptimize(orders.queryOwnedElementsByXML(count, pages, 20, 1, kBookingCondition));
    scope.Complete();
    if (kx::CLng(count) != 50) state.SkipWithError("unexpected count");
  }
}
BENCHMARK(BM_OrderSearchPage)->Unit(benchmark::kMillisecond);

// The count and the page statements that search runs, on the raw engine.
void BM_OrderSearchPageRaw(benchmark::State& state) {
  Raw raw(Million().home.path);
  // The form the storage counts and pages (the search statement with its EXISTS as an IN).
  const std::string search =
      "select a.* from  JB_ORDER a  WHERE 1 = 1  and a.JB_NO_ID in (select b.JB_NO_ID from "
      "JB_Container_Detail b "
      "where  1=1  And b.BK_NO = 'BK4242')";
  for (auto _ : state) {
    raw.Exec("BEGIN");
    const int64_t count = raw.Rows("SELECT COUNT(*) AS RecCount FROM (" + search + ") kx_rows");
    raw.Rows("SELECT * FROM (" + search + ") kx_rows ORDER BY JB_NO_ID LIMIT 20 OFFSET 0");
    raw.Exec("COMMIT");
    if (count != 50) state.SkipWithError("unexpected count");
  }
}
BENCHMARK(BM_OrderSearchPageRaw)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
