// kx_service_bench: the HTTP service (`kx serve`, a process of its own) against the same calls made
// in-process through RunCall, which is what the service runs for each request. Type profile
// getElementByXML (codes among 1,000 stored profiles) and add (a new code every call), with 1, 2,
// 4 and 8 client threads; each service client keeps one keep-alive connection. Prints calls/s and
// the p50 and p99 latency of each case, what the service adds at p50, and the targets.
//
//   kx_service_bench [--quick] [--engine sqlite|postgresql] [--rounds N] [--seconds S] [--dir DIR]
//                    [--json FILE] [--label TEXT]
//
// PostgreSQL runs when KX_BENCH_PG_SERVER ("host,port") is set (see bench_support.h).
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "bench/bench_support.h"
#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "runtime/variant.h"
#include "service/call.h"
#include "shared/s_db_help_for_kx.h"

extern char** environ;

namespace {

using namespace kx::bench;

const char* const kClass = "C_JBTypeProfile";
const char* const kOperations[] = {"getElementByXML", "add"};
const int kClients[] = {1, 2, 4, 8};
// The service's answer without any call: what HTTP and the connection cost alone.
const char* const kHealth = "/healthz";
constexpr int kStoredProfiles = 1000;

struct Options : CommonOptions {
  Options() {
    rounds = 3;
    json = "bench-service-results.json";
  }
  double seconds = 1.0;  // per case, side and round
};

const char* const kUsage =
    "usage: kx_service_bench [--quick] [--engine sqlite|postgresql] [--rounds N] [--seconds S]\n"
    "                        [--dir DIR] [--json FILE] [--label TEXT]\n"
    "  --quick    1 round of 0.3 s per case, for a smoke check\n"
    "  --engine   one engine (repeatable); default SQLite, and PostgreSQL when KX_BENCH_PG_SERVER is set\n"
    "  --rounds   alternating service/in-process rounds per case (default 3)\n"
    "  --seconds  how long each side runs in each round (default 1)\n"
    "  --dir      folder of the SQLite databases (default /dev/shm, else /tmp)\n"
    "  --json     where the figures are written (default bench-service-results.json)\n"
    "  --label    a text stored with the figures (for example the commit)\n";

// The options of the command line; a wrong argument fails with its reason.
Options ParseOptions(int argc, char** argv) {
  Options o;
  bool secondsGiven = false;
  ParseCommandLine(argc, argv, o, kUsage, [&](const std::string& a, int& i, auto value) {
    if (a != "--seconds") return false;
    const std::string n = value(i);
    char* end = nullptr;
    o.seconds = std::strtod(n.c_str(), &end);
    if (end == n.c_str() || *end || !(o.seconds >= 0.05 && o.seconds <= 60))
      throw std::invalid_argument("--seconds takes a number from 0.05 to 60");
    secondsGiven = true;
    return true;
  });
  if (o.quick && !secondsGiven) o.seconds = 0.3;
  return o;
}

// The code of stored profile `i`, and of the `i`th profile added by one client of one case.
std::string StoredCode(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "G%06d", i % kStoredProfiles);
  return buf;
}
std::string AddedCode(char side, int round, int client, int64_t i) {
  return std::string("A") + side + std::to_string(round) + "c" + std::to_string(client) + "x" +
         std::to_string(i);
}
std::string ProfileXml(const std::string& code) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"Bench job " + code + "\" JBTypeCategory=\"TR\"/>";
}

// A component folder for one engine: Config.ini, the database installed through KX and holding
// the stored profiles only; set as KX_HOME, so that the in-process calls use it too.
class BenchHome {
 public:
  BenchHome(const EngineSetup& engine, const Options& options) {
    std::string pattern = options.dir + "/kx-service.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a folder in " + options.dir);
    folder_ = pattern;
    setenv("KX_HOME", folder_.c_str(), 1);
    WriteConfig(folder_, engine.databaseConfig);
    kx::S_DBHelpForKX helper;
    kx::db::InstallDatabase(helper.GetConnectionString());
    kx::TransactionScope scope;
    helper.RunSQL("DELETE FROM JB_TYPE_PROFILE");
    for (int i = 0; i < kStoredProfiles; ++i)
      helper.RunSQL("INSERT INTO JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) VALUES ('" +
                    StoredCode(i) + "', 'Stored job " + std::to_string(i) + "', 'TR')");
    scope.Complete();
  }
  ~BenchHome() {
    try {
      RemoveAdded();
      kx::db::ClearPool();
      kx::S_DBHelpForKX().RunSQL("DELETE FROM JB_TYPE_PROFILE");
    } catch (const std::exception& e) {
      std::cerr << "cleaning up: " << e.what() << "\n";
    }
    kx::db::ClearPool();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  BenchHome(const BenchHome&) = delete;
  BenchHome& operator=(const BenchHome&) = delete;

  const std::string& folder() const { return folder_; }

  // How many profiles were added by the calls (their codes begin with "A").
  int64_t Added() const {
    const auto rs = kx::S_DBHelpForKX().RunSQLReturnRS(
        "SELECT COUNT(*) AS N FROM JB_TYPE_PROFILE WHERE JB_TYPE_CODE LIKE 'A%'");
    return kx::CLng(rs->Field("N"));
  }
  void RemoveAdded() const {
    kx::S_DBHelpForKX().RunSQL("DELETE FROM JB_TYPE_PROFILE WHERE JB_TYPE_CODE LIKE 'A%'");
  }

 private:
  std::string folder_;
};

// `kx serve` on a free loopback port in the bench folder, its access log in serve.log there;
// stopped with SIGTERM.
class ServeProcess {
 public:
  explicit ServeProcess(const std::string& folder) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string log = folder + "/serve.log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> args{KX_TOOL_PATH, "--home",   folder,       "--quiet",
                                  "serve",      "--listen", "127.0.0.1:0"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, KX_TOOL_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed) {
      close(out[0]);
      throw std::runtime_error(std::string("cannot start ") + KX_TOOL_PATH);
    }
    // The first line is "listening on http://HOST:PORT".
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const auto colon = line.rfind(':');
    if (line.rfind("listening on http://", 0) != 0 || colon == std::string::npos) {
      Stop();
      throw std::runtime_error("kx serve did not start (see " + log + "): " + line);
    }
    port_ = std::atoi(line.c_str() + colon + 1);
  }
  ~ServeProcess() { Stop(); }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  int port() const { return port_; }

 private:
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
  }
  pid_t pid_ = 0;
  int port_ = 0;
};

// One client's calls: through its own keep-alive connection to the service, or in-process.
class Caller {
 public:
  Caller(int port, bool service) {
    if (!service) return;
    http_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    http_->set_keep_alive(true);
    // A request goes out in more than one write: without this, Nagle's algorithm holds the body
    // back until the server's delayed acknowledgement.
    http_->set_tcp_nodelay(true);
    http_->set_read_timeout(60, 0);
  }

  // Makes the call; an empty text when it did what it should, else what went wrong. `expect` must
  // be part of the answer (the code fetched or added).
  std::string Call(const std::string& member, const std::string& argument, const std::string& expect) {
    if (http_ && member == kHealth) {
      const auto res = http_->Get(kHealth);
      if (!res || res->status != 200) return "GET /healthz failed";
      return res->body.find(expect) == std::string::npos ? "an answer without " + expect : "";
    }
    if (http_) {
      const std::string body = "{\"args\": [" + JsonText(argument) + "]}";
      const auto res =
          http_->Post(("/v1/" + std::string(kClass) + "/" + member).c_str(), body, "application/json");
      if (!res) return "no answer: " + httplib::to_string(res.error());
      if (res->status != 200)
        return "status " + std::to_string(res->status) + ": " + res->body.substr(0, 200);
      return res->body.find(expect) == std::string::npos ? "an answer without " + expect : "";
    }
    const kx::service::CallOutcome outcome =
        kx::service::RunCall(kClass, member, kx::Args{kx::Variant(argument)}, /*transaction=*/true);
    if (outcome.failure != kx::service::Failure::None) return outcome.json.substr(0, 200);
    return outcome.json.find(expect) == std::string::npos ? "an answer without " + expect : "";
  }

 private:
  std::unique_ptr<httplib::Client> http_;
};

// What one side of one case measured in one round.
struct RoundResult {
  double callsPerSecond = 0;
  std::vector<double> latencies;  // microseconds, every call
  int64_t errors = 0;
  std::string firstError;
};

// Runs `clients` threads calling `operation` for `seconds`, through the service or in-process.
RoundResult RunRound(int port, bool service, const std::string& operation, int clients, int round,
                     double seconds) {
  StartGate gate;
  std::vector<RoundResult> perClient(clients);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      RoundResult& mine = perClient[c];
      mine.latencies.reserve(1 << 16);
      Caller caller(port, service);
      gate.Arrive();
      for (int64_t i = 0; gate.running(); ++i) {
        std::string argument, expect;
        if (operation == kHealth) {
          expect = "alive";
        } else if (operation == "add") {
          argument = ProfileXml(AddedCode(service ? 's' : 'p', round, c, i));
          expect = "{\"result\": null";  // add answers nothing; the stored rows are counted afterwards
        } else {
          argument = expect = StoredCode(static_cast<int>(c * 7919 + i * 31));
        }
        const auto start = SteadyClock::now();
        const std::string problem = caller.Call(operation, argument, expect);
        mine.latencies.push_back(Since(start) * 1e6);
        if (!problem.empty() && mine.errors++ == 0) mine.firstError = problem;
      }
    });
  }
  const double elapsed = gate.Run(threads, seconds);
  RoundResult all;
  for (auto& r : perClient) {
    all.latencies.insert(all.latencies.end(), r.latencies.begin(), r.latencies.end());
    all.errors += r.errors;
    if (all.firstError.empty()) all.firstError = r.firstError;
  }
  all.callsPerSecond = static_cast<double>(all.latencies.size()) / elapsed;
  return all;
}

// What one side of one case measured over all rounds.
struct CaseResult {
  double callsPerSecond = 0, p50 = 0, p99 = 0;
  int64_t calls = 0, errors = 0;
  std::string firstError;
};

// Runs one engine: every operation and client count, service and in-process in alternating
// rounds; rows for the table and the JSON file, and the targets.
void RunEngine(const EngineSetup& engine, const Options& options, std::vector<std::vector<std::string>>& rows,
               std::vector<JsonObject>& json, Targets& targets, int& failures) {
  BenchHome home(engine, options);
  ServeProcess serve(home.folder());
  // Warm up both sides: the server's and this process's connections, schemas and code.
  for (const bool service : {true, false}) RunRound(serve.port(), service, "getElementByXML", 1, 0, 0.2);
  {
    // The floor under every service figure: a request the service answers without calling KX.
    RoundResult floor = RunRound(serve.port(), true, kHealth, 1, 0, options.seconds);
    std::sort(floor.latencies.begin(), floor.latencies.end());
    if (floor.errors) failures++;
    rows.push_back(
        {engine.name + " GET /healthz", "service", "1", Fixed(floor.callsPerSecond, 0),
         Fixed(Quantile(floor.latencies, 0.5), 0), Fixed(Quantile(floor.latencies, 0.99), 0), "",
         std::to_string(floor.errors) + (floor.firstError.empty() ? "" : " (" + floor.firstError + ")")});
    json.push_back(JsonObject()
                       .Text("engine", engine.name)
                       .Text("operation", "healthz")
                       .Number("clients", 1)
                       .Text("side", "service")
                       .Number("calls_per_s", floor.callsPerSecond)
                       .Number("p50_us", Quantile(floor.latencies, 0.5))
                       .Number("p99_us", Quantile(floor.latencies, 0.99))
                       .Number("calls", static_cast<double>(floor.latencies.size()))
                       .Number("errors", static_cast<double>(floor.errors))
                       .Text("first_error", floor.firstError));
  }
  for (const std::string operation : kOperations) {
    std::map<int, CaseResult> serviceBy, inProcessBy;
    for (const int clients : kClients) {
      std::vector<double> rates[2], latencies[2];
      CaseResult result[2];  // 0 service, 1 in-process
      for (int round = 0; round < options.rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
          const int side = (turn + round) % 2;
          RoundResult r = RunRound(serve.port(), side == 0, operation, clients, round, options.seconds);
          if (operation == "add") {
            // Every add that answered success must have stored its profile.
            const int64_t stored = home.Added();
            const int64_t answered = static_cast<int64_t>(r.latencies.size()) - r.errors;
            if (stored != answered && r.errors++ == 0)
              r.firstError =
                  std::to_string(stored) + " profiles stored for " + std::to_string(answered) + " adds";
            home.RemoveAdded();
          }
          rates[side].push_back(r.callsPerSecond);
          latencies[side].insert(latencies[side].end(), r.latencies.begin(), r.latencies.end());
          result[side].errors += r.errors;
          if (result[side].firstError.empty()) result[side].firstError = r.firstError;
        }
      }
      for (int side = 0; side < 2; ++side) {
        auto& l = latencies[side];
        std::sort(l.begin(), l.end());
        CaseResult& c = result[side];
        c.callsPerSecond = Median(rates[side]);
        c.p50 = Quantile(l, 0.5);
        c.p99 = Quantile(l, 0.99);
        c.calls = static_cast<int64_t>(l.size());
        if (c.errors) failures++;
      }
      for (int side = 0; side < 2; ++side) {
        const CaseResult& c = result[side];
        const char* sideName = side == 0 ? "service" : "in-process";
        rows.push_back({engine.name + " " + operation, sideName, std::to_string(clients),
                        Fixed(c.callsPerSecond, 0), Fixed(c.p50, 0), Fixed(c.p99, 0),
                        side == 0 ? Fixed(c.p50 - result[1].p50, 0) : "",
                        std::to_string(c.errors) +
                            (c.firstError.empty() ? "" : " (" + c.firstError.substr(0, 80) + ")")});
        json.push_back(JsonObject()
                           .Text("engine", engine.name)
                           .Text("operation", operation)
                           .Number("clients", clients)
                           .Text("side", sideName)
                           .Number("calls_per_s", c.callsPerSecond)
                           .Number("p50_us", c.p50)
                           .Number("p99_us", c.p99)
                           .Number("calls", static_cast<double>(c.calls))
                           .Number("errors", static_cast<double>(c.errors))
                           .Text("first_error", c.firstError));
      }
      serviceBy[clients] = result[0];
      inProcessBy[clients] = result[1];
    }
    const double added = serviceBy[1].p50 - inProcessBy[1].p50;
    targets.Add(engine.name + " " + operation + ": service p50 - in-process p50, 1 client", "<= 100 us",
                added, " us", added <= 100);
    const double ratio = serviceBy[8].callsPerSecond / serviceBy[2].callsPerSecond;
    targets.Add(engine.name + " " + operation + ": service calls/s 8 clients / 2 clients", ">= 1", ratio, "x",
                ratio >= 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<EngineSetup> engines;
  try {
    options = ParseOptions(argc, argv);
    engines = Engines(options.engines);
  } catch (const std::exception& e) {
    std::cerr << "kx_service_bench: " << e.what() << "\n" << kUsage;
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const auto start = SteadyClock::now();
  std::cout << "The HTTP service against the same calls in-process" << (options.quick ? " (quick)" : "")
            << ", " << std::thread::hardware_concurrency() << " cores, SQLite files in " << options.dir
            << (OnTmpfs(options.dir) ? " (tmpfs)" : "") << "\n";
  std::vector<std::vector<std::string>> rows{
      {"case", "side", "clients", "calls/s", "p50 us", "p99 us", "added p50 us", "errors"}};
  std::vector<JsonObject> json;
  Targets targets;
  int failures = 0, status = 0;
  for (const auto& engine : engines) {
    try {
      RunEngine(engine, options, rows, json, targets, failures);
    } catch (const std::exception& e) {
      std::cerr << "kx_service_bench: " << engine.name << ": " << e.what() << "\n";
      status = 1;
    }
  }
  PrintTable(
      "Type profile calls through kx serve (one keep-alive connection per client) and in-process "
      "(RunCall); calls/s median of " +
          std::to_string(options.rounds) + " rounds of " + Fixed(options.seconds, 1) +
          " s, latencies over all rounds",
      rows);
  if (targets.rows.size() > 1) PrintTable("\nTargets", targets.rows);
  if (failures) {
    std::cout << "\n" << failures << " case(s) had failed or wrong calls: see the table above\n";
    status = 1;
  }
  const double seconds = Since(start);
  std::cout << "\n(" << Fixed(seconds, 0) << " s in all)\n";

  if (!WriteResults("kx_service_bench", options.json,
                    RunInfo(options.label, options.quick, options.rounds, options.dir, seconds, failures)
                        .Number("seconds_per_round", options.seconds),
                    {{"service", json}, {"targets", targets.json}}))
    return 1;
  return status;
}
