// kx_odbc_bench: the type profile calls of KX on a database reached through ODBC (unixODBC with
// Debian's SQLite and PostgreSQL drivers) against the same calls on the same database reached
// through the engine's own driver. Both sides make each call as a host makes it (class created by
// name, members invoked late-bound, each call in its own transaction scope), in alternating rounds.
//
//   kx_odbc_bench [--quick] [--engine sqlite|postgresql] [--rounds N] [--dir DIR] [--json FILE]
//                 [--label TEXT]
//
// PostgreSQL runs when KX_BENCH_PG_SERVER ("host,port") is set; KX_BENCH_PG_DATABASE (kxbench),
// KX_BENCH_PG_USER (kx) and KX_BENCH_PG_PASSWORD (none) complete the login.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "bench/bench_support.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "kx/transaction.h"
#include "runtime/db/connection.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::bench {
namespace {

const char* const kUsage =
    "usage: kx_odbc_bench [--quick] [--engine sqlite|postgresql] [--rounds N] [--dir DIR] [--json FILE]\n"
    "                     [--label TEXT]\n"
    "  --quick    100 calls per operation and round, 1 round, for a smoke check\n"
    "  --engine   one engine (repeatable); default SQLite, and PostgreSQL when KX_BENCH_PG_SERVER is set\n"
    "  --rounds   alternating ODBC/own-driver rounds (default 5, quick 1)\n"
    "  --dir      folder of the SQLite database (default /dev/shm, else /tmp)\n"
    "  --json     where the figures are written (default bench-odbc-results.json)\n"
    "  --label    a text stored with the figures (for example the commit)\n";

const char* const kOperations[] = {"add", "getElementByXML", "modify", "remove"};

// The lines of Config.ini section DATABASE that reach `engine`'s database through ODBC, the
// database its own driver reaches with `own` in the component folder `ownFolder`.
std::string OdbcConfig(const EngineSetup& engine, const std::string& ownFolder) {
  if (engine.name == "sqlite")
    return "PROVIDER=ODBC\nCONNECTIONSTRING=Driver=SQLite3;Database=" + ownFolder + "/bench.db\n";
  const std::string server = Env("KX_BENCH_PG_SERVER", "");
  const auto comma = server.find_first_of(",:");
  std::string odbc = "Driver={PostgreSQL Unicode};Server=" + server.substr(0, comma) +
                     ";Port=" + (comma == std::string::npos ? std::string("5432") : server.substr(comma + 1)) +
                     ";Database=" + Env("KX_BENCH_PG_DATABASE", "kxbench") + ";UID=" + Env("KX_BENCH_PG_USER", "kx");
  const std::string password = Env("KX_BENCH_PG_PASSWORD", "");
  if (!password.empty()) odbc += ";PWD=" + db::OdbcValue(password);
  return "PROVIDER=ODBC\nCONNECTIONSTRING=" + odbc + "\n";
}

// Two component folders on one database: one reaches it through the engine's own driver, the
// other through ODBC. The database is installed through the first and its type profiles emptied.
class Homes {
 public:
  Homes(const EngineSetup& engine, const std::string& dir) {
    for (std::string* folder : {&own_, &odbc_}) {
      std::string pattern = dir + "/kx-odbc-bench.XXXXXX";
      if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a folder in " + dir);
      *folder = pattern;
    }
    WriteConfig(own_, engine.databaseConfig);
    WriteConfig(odbc_, OdbcConfig(engine, own_));
    Use(true);
    db::InstallDatabase(S_DBHelpForKX().GetConnectionString());
    S_DBHelpForKX().RunSQL("DELETE FROM JB_TYPE_PROFILE");
  }
  ~Homes() {
    try {
      Use(true);
      S_DBHelpForKX().RunSQL("DELETE FROM JB_TYPE_PROFILE");
    } catch (const std::exception& e) {
      std::cerr << "cleaning up: " << e.what() << "\n";
    }
    db::ClearPool();
    std::error_code ignored;
    std::filesystem::remove_all(own_, ignored);
    std::filesystem::remove_all(odbc_, ignored);
  }
  Homes(const Homes&) = delete;
  Homes& operator=(const Homes&) = delete;

  // Makes the calls that follow reach the database through ODBC, or through the engine's driver.
  void Use(bool ownDriver) const { setenv("KX_HOME", (ownDriver ? own_ : odbc_).c_str(), 1); }

 private:
  std::string own_, odbc_;
};

// A type profile controller created by name and called late-bound, each call in its own
// transaction scope that is completed when the call returns.
class Controller {
 public:
  Controller() : object_(Registry::Instance().Create("C_JBTypeProfile")) {}
  void Call(const std::string& member, const std::string& argument) {
    TransactionScope scope;
    Args args{Variant(argument)};
    Registry::Instance().Invoke(*object_, member, args);
    scope.Complete();
  }

 private:
  ObjectPtr object_;
};

std::string ProfileXml(const std::string& code, const std::string& name, const std::string& category) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name + "\" JBTypeCategory=\"" + category + "\"/>";
}

// Makes `calls` calls of operation `op` on codes <side><round>x<i>; returns calls per second.
double RunOperation(Controller& controller, int op, char side, int round, int calls) {
  const auto start = SteadyClock::now();
  for (int i = 0; i < calls; ++i) {
    const std::string code = std::string(1, side) + std::to_string(round) + "x" + std::to_string(i);
    if (op == 0) controller.Call("add", ProfileXml(code, "Truck job " + std::to_string(i), "TR"));
    if (op == 1) controller.Call("getElementByXML", code);
    if (op == 2) controller.Call("modify", ProfileXml(code, "Rail job " + std::to_string(i), "RL"));
    if (op == 3) controller.Call("remove", code);
  }
  return calls / Since(start);
}

// Checks that operation `op` of one side left the rows it should (none after remove, every one
// renamed to rail after modify), so that no figure comes from calls that did nothing.
void CheckOperation(int op, char side, int round, int calls) {
  const auto rs = S_DBHelpForKX().RunSQLReturnRS(
      "select Count(*) as N, Sum(case when JB_TYPE_CATEGORY = 'RL' then 1 else 0 end) as R from JB_TYPE_PROFILE "
      "where JB_TYPE_CODE like '" + std::string(1, side) + std::to_string(round) + "x%'");
  const std::string found = std::to_string(CLng(rs->Field("N"))) + "/" + (rs->Field("R").IsNull() ? std::string("0") : std::to_string(CLng(rs->Field("R"))));
  const std::string wanted = std::to_string(op == 3 ? 0 : calls) + "/" + std::to_string(op == 2 ? calls : 0);
  if (found != wanted)
    throw std::runtime_error(std::string(kOperations[op]) + (side == 'O' ? " through ODBC" : " through the own driver") +
                             " left rows/rail rows " + found + ", not " + wanted);
}

struct Results {
  std::vector<JsonObject> ops;
  Targets targets;
};

// Each operation through ODBC and through the engine's own driver, in alternating rounds.
void RunEngine(const EngineSetup& engine, const CommonOptions& options, Results& results) {
  Homes homes(engine, options.dir);
  const int calls = options.quick ? 100 : engine.name == "sqlite" ? 2000 : 1000;
  // One controller per side, each created while its side is in use; a first call of each outside
  // the measurement opens the connections and reads the settings and schemas.
  std::map<char, std::unique_ptr<Controller>> controllers;
  for (const char side : {'O', 'N'}) {
    homes.Use(side == 'N');
    controllers[side] = std::make_unique<Controller>();
    const std::string code = std::string("W") + side;
    controllers[side]->Call("add", ProfileXml(code, "warm", "TR"));
    controllers[side]->Call("getElementByXML", code);
    controllers[side]->Call("remove", code);
  }
  std::vector<double> rate[2][4], ratio[4];
  for (int round = 0; round < options.rounds; ++round) {
    for (int op = 0; op < 4; ++op) {
      double perSecond[2] = {0, 0};
      for (int turn = 0; turn < 2; ++turn) {
        // Alternating which side goes first, so that neither always meets a warmer database.
        const bool odbc = (turn == 0) == ((round + op) % 2 == 0);
        const char side = odbc ? 'O' : 'N';
        homes.Use(!odbc);
        perSecond[odbc ? 0 : 1] = RunOperation(*controllers[side], op, side, round, calls);
        CheckOperation(op, side, round, calls);
      }
      rate[0][op].push_back(perSecond[0]);
      rate[1][op].push_back(perSecond[1]);
      ratio[op].push_back(perSecond[1] / perSecond[0]);
    }
  }
  std::vector<std::vector<std::string>> rows{
      {"operation", "engine", "ODBC calls/s", "own calls/s", "ODBC/own", "µs per call ODBC", "own"}};
  for (int op = 0; op < 4; ++op) {
    const double o = Median(rate[0][op]), n = Median(rate[1][op]), q = Median(ratio[op]);
    rows.push_back({kOperations[op], engine.name, Fixed(o, 0), Fixed(n, 0), Fixed(q, 2) + "x", Fixed(1e6 / o, 0),
                    Fixed(1e6 / n, 0)});
    JsonObject figures;
    figures.Text("engine", engine.name).Text("operation", kOperations[op]);
    for (const auto& [key, value] : {std::pair<const char*, double>{"calls_per_round", calls},
                                     {"odbc_calls_per_s", o}, {"own_calls_per_s", n}, {"odbc_over_own", q}})
      figures.Number(key, value);
    results.ops.push_back(figures);
    results.targets.Add(std::string(kOperations[op]) + " " + engine.name + " ODBC/own", "<= 1.3", q, "x", q <= 1.3);
  }
  PrintTable("Type profile calls, " + engine.name + " (median of " + std::to_string(options.rounds) +
                 " alternating rounds of " + std::to_string(calls) +
                 " calls; ODBC/own = time through ODBC / time through the engine's own driver)",
             rows);
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
  using namespace kx::bench;
  CommonOptions options;
  options.rounds = 5;
  options.json = "bench-odbc-results.json";
  std::vector<EngineSetup> engines;
  try {
    ParseCommandLine(argc, argv, options, kUsage, [](const std::string&, int&, auto) { return false; });
    engines = Engines(options.engines);
  } catch (const std::exception& e) {
    std::cerr << "kx_odbc_bench: " << e.what() << "\n" << kUsage;
    return 2;
  }
  const auto start = SteadyClock::now();
  std::cout << "KX through ODBC against the engine's own driver" << (options.quick ? " (quick)" : "") << ", "
            << std::thread::hardware_concurrency() << " cores\n";
  Results results;
  int failures = 0;
  for (const auto& engine : engines) {
    try {
      RunEngine(engine, options, results);
    } catch (const std::exception& e) {
      const auto* k = dynamic_cast<const kx::Error*>(&e);
      std::cerr << "kx_odbc_bench: " << engine.name << ": " << (k ? k->description() : e.what()) << "\n";
      ++failures;
    }
  }
  if (results.targets.rows.size() > 1) PrintTable("\nTargets", results.targets.rows);
  const double seconds = Since(start);
  std::cout << "\n(" << Fixed(seconds, 0) << " s in all)\n";
  if (!WriteResults("kx_odbc_bench", options.json,
                    RunInfo(options.label, options.quick, options.rounds, options.dir, seconds, failures),
                    {{"odbc", results.ops}, {"targets", results.targets.json}}))
    return 1;
  return failures ? 1 : 0;
}
