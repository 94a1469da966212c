// What the benchmark programs share: timing, medians and percentiles, the engines under test and
// their Config.ini lines, and the output (tables on stdout, every figure in JSON).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kx::bench {

using SteadyClock = std::chrono::steady_clock;

// Seconds elapsed since `start`.
inline double Since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Starts worker threads together and stops them after a measured time: each worker calls Arrive()
// once it is set up and runs while running() holds.
class StartGate {
 public:
  // Waits here until every worker has arrived and the gate opens.
  void Arrive() {
    ready_++;
    while (!go_) std::this_thread::yield();
  }
  bool running() const { return !stop_; }
  // Waits for `workers` arrivals, lets them run for `seconds`, stops and joins them; returns the
  // seconds they ran.
  double Run(std::vector<std::thread>& workers, double seconds) {
    while (ready_ < static_cast<int>(workers.size())) std::this_thread::yield();
    const auto start = SteadyClock::now();
    go_ = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop_ = true;
    for (auto& t : workers) t.join();
    return Since(start);
  }

 private:
  std::atomic<bool> go_{false}, stop_{false};
  std::atomic<int> ready_{0};
};

// The median of `values` (0 for none).
inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The nearest-rank `q` quantile (0 < q <= 1) of values already sorted (0 for none).
inline double Quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// The environment variable `name`, or `fallback` when it is unset or empty.
inline std::string Env(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

// Splits "a,b" into its parts.
inline std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// The options every benchmark program takes.
struct CommonOptions {
  bool quick = false;
  std::vector<std::string> engines;  // empty: every available engine
  int rounds = 0;
  bool roundsGiven = false;
  std::string dir;  // folder of the SQLite databases
  std::string json;
  std::string label;
};

// The engines an --engine value names ("sqlite", "postgresql", comma separated); another fails.
inline std::vector<std::string> EngineNames(const std::string& value) {
  std::vector<std::string> names;
  for (const auto& e : SplitList(value)) {
    if (e != "sqlite" && e != "postgresql") throw std::invalid_argument("unknown engine '" + e + "'");
    names.push_back(e);
  }
  return names;
}

// A --rounds value: a whole number from 1 to 999; another fails.
inline int RoundsValue(const std::string& value) {
  const int rounds = value.find_first_not_of("0123456789") == std::string::npos && value.size() < 4
                         ? std::atoi(value.c_str())
                         : 0;
  if (rounds < 1) throw std::invalid_argument("--rounds takes a number from 1 to 999");
  return rounds;
}

// Writes `folder`/Config.ini with the lines `databaseLines` in its DATABASE section, the source
// tree's schema folder and then `otherSections` (whole sections, for example "[SERVICE]\n..."). The
// file is dated an hour back, as a deployed one is: KX reads a file written in the last seconds
// again on every call, in case it changes within one tick of the file system's clock, which is not
// what a deployment's calls cost.
inline void WriteConfig(const std::string& folder, const std::string& databaseLines,
                        const std::string& otherSections = "") {
  const std::string path = folder + "/Config.ini";
  std::ofstream(path) << "[DATABASE]\n"
                      << databaseLines << "[XML]\nXMLSCHEMAPATH=" << KX_SOURCE_DIR << "/schemas/\n"
                      << otherSections;
  const timespec hourAgo{time(nullptr) - 3600, 0};
  const timespec times[2] = {hourAgo, hourAgo};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("cannot date " + path);
}

// Where the SQLite files go when --dir is not given: /dev/shm when it can be written, else /tmp.
inline std::string DefaultSqliteDir() { return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"; }

// Parses the command line: the common options here, the program's own through `own`, which takes
// argv[i] (reading its value with the function given) and returns false for an argument it does not
// know. --help prints `usage` and ends the program; anything unknown fails. Afterwards --quick
// means one round unless --rounds was given, and the SQLite folder defaults to DefaultSqliteDir().
template <class Own>
void ParseCommandLine(int argc, char** argv, CommonOptions& o, const char* usage, Own own) {
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) throw std::invalid_argument(std::string(argv[i]) + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--engine") {
      for (const auto& e : EngineNames(value(i))) o.engines.push_back(e);
    } else if (a == "--rounds") {
      o.rounds = RoundsValue(value(i));
      o.roundsGiven = true;
    } else if (a == "--dir") {
      o.dir = value(i);
    } else if (a == "--json") {
      o.json = value(i);
    } else if (a == "--label") {
      o.label = value(i);
    } else if (a == "--help" || a == "-h") {
      std::cout << usage;
      std::exit(0);
    } else if (!own(a, i, value)) {
      throw std::invalid_argument("unknown argument '" + a + "'");
    }
  }
  if (o.quick && !o.roundsGiven) o.rounds = 1;
  if (o.dir.empty()) o.dir = DefaultSqliteDir();
}

// ---- engines

struct EngineSetup {
  std::string name;            // "sqlite" or "postgresql"
  std::string databaseConfig;  // the lines of Config.ini section DATABASE
};

// The engines to run: `names` when given, else SQLite and, when KX_BENCH_PG_SERVER ("host,port")
// names a server, PostgreSQL (KX_BENCH_PG_DATABASE, KX_BENCH_PG_USER and KX_BENCH_PG_PASSWORD
// complete the login).
inline std::vector<EngineSetup> Engines(std::vector<std::string> names) {
  const bool pg = !Env("KX_BENCH_PG_SERVER", "").empty();
  if (names.empty())
    names = pg ? std::vector<std::string>{"sqlite", "postgresql"} : std::vector<std::string>{"sqlite"};
  std::vector<EngineSetup> engines;
  for (const auto& name : names) {
    if (name == "sqlite") {
      engines.push_back({name, "PROVIDER=SQLite\nDATABASENAME=bench\n"});
    } else {
      if (!pg) throw std::invalid_argument("--engine postgresql needs KX_BENCH_PG_SERVER (host,port)");
      engines.push_back({name, "PROVIDER=PostgreSQL\nSERVERNAME=" + Env("KX_BENCH_PG_SERVER", "") +
                                   "\nDATABASENAME=" + Env("KX_BENCH_PG_DATABASE", "kxbench") +
                                   "\nUSERID=" + Env("KX_BENCH_PG_USER", "kx") +
                                   "\nPASSWORD=" + Env("KX_BENCH_PG_PASSWORD", "") + "\nFLAG=0\n"});
    }
  }
  return engines;
}

// Whether `folder` lies on a tmpfs.
inline bool OnTmpfs(const std::string& folder) {
  struct statfs info {};
  return statfs(folder.c_str(), &info) == 0 && info.f_type == 0x01021994;
}

// ---- output: tables on stdout, every figure in JSON

// `s` as a JSON string.
inline std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// One JSON object built field by field, in order.
class JsonObject {
 public:
  JsonObject& Text(const std::string& key, const std::string& value) { return Raw(key, JsonText(value)); }
  JsonObject& Number(const std::string& key, double value) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", value);
    return Raw(key, buf);
  }
  JsonObject& Bool(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
  JsonObject& Raw(const std::string& key, const std::string& json) {
    fields_.push_back(JsonText(key) + ": " + json);
    return *this;
  }
  std::string Str() const {
    std::string out = "{";
    for (size_t i = 0; i < fields_.size(); ++i) out += (i ? ", " : "") + fields_[i];
    return out + "}";
  }

 private:
  std::vector<std::string> fields_;
};

// The objects as a JSON array, one per line.
inline std::string JsonArray(const std::vector<JsonObject>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\n    " : "\n    ") + items[i].Str();
  return out + (items.empty() ? "]" : "\n  ]");
}

// `value` with `decimals` decimals.
inline std::string Fixed(double value, int decimals) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

// Prints rows of cells as columns, the first two columns left-aligned, the others right-aligned.
inline void PrintTable(const std::string& title, const std::vector<std::vector<std::string>>& rows) {
  std::cout << "\n" << title << "\n";
  std::vector<size_t> width;
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) {
      if (width.size() <= c) width.push_back(0);
      width[c] = std::max(width[c], row[c].size());
    }
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      std::cout << "  " << (c < 2 ? row[c] + pad : pad + row[c]);
    }
    std::cout << "\n";
  }
  std::cout.flush();
}

// The time now as ISO 8601 in UTC.
inline std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return buf;
}

// The "run" object of a result file: when, what was run and on which machine.
inline JsonObject RunInfo(const std::string& label, bool quick, int rounds, const std::string& sqliteDir,
                          double seconds, int failures) {
  return JsonObject()
      .Text("date", UtcNow())
      .Text("label", label)
      .Bool("quick", quick)
      .Number("rounds", rounds)
      .Number("cores", std::thread::hardware_concurrency())
      .Text("sqlite_dir", sqliteDir)
      .Bool("sqlite_on_tmpfs", OnTmpfs(sqliteDir))
      .Number("seconds", seconds)
      .Number("failures", failures);
}

// Writes a result file, the run object and then each section as an array of figures, and says
// where the figures went; false (after saying so on stderr) when the file cannot be written.
inline bool WriteResults(const std::string& program, const std::string& path, const JsonObject& run,
                         const std::vector<std::pair<std::string, std::vector<JsonObject>>>& sections) {
  std::ofstream out(path);
  out << "{\n  \"run\": " << run.Str();
  for (const auto& [name, items] : sections) out << ",\n  " << JsonText(name) << ": " << JsonArray(items);
  out << "\n}\n";
  if (!out) {
    std::cerr << program << ": cannot write " << path << "\n";
    return false;
  }
  std::cout << "figures written to " << path << "\n";
  return true;
}

// Every target of a run with the figure measured, for the JSON file and the closing table.
struct Targets {
  std::vector<JsonObject> json;
  std::vector<std::vector<std::string>> rows{{"target", "limit", "measured", ""}};

  // Records a target with its measured figure.
  void Add(const std::string& what, const std::string& limit, double measured, const std::string& unit,
           bool met) {
    json.push_back(
        JsonObject().Text("target", what).Text("limit", limit).Number("measured", measured).Bool("met", met));
    rows.push_back({what, limit, Fixed(measured, measured < 10 ? 2 : 0) + unit, met ? "met" : "MISSED"});
  }
};

}  // namespace kx::bench
