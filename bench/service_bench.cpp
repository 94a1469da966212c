// kx_service_bench: the HTTP service (`kx serve`, a process of its own) under 1, 8, 64 and 512
// keep-alive connections. Type profile getElementByXML (codes among 1,000 stored profiles) and add
// (a new code every call). The connections are driven by a load client without a thread each: at
// most two threads, each an epoll loop over its share of non-blocking sockets; every connection
// sends one request, reads and checks the whole answer, and sends the next. Prints requests/s and
// the p50 and p99 latency of each case, and the targets with the figure measured.
//
// Up to 8 connections the same calls are also made in-process through RunCall (which is what the
// service runs for each request), one thread per connection, in alternating rounds, and the table
// shows what the service adds at p50. At 64 and 512 connections the service is measured alone:
// that many threads calling in-process on two cores would measure the scheduler, not the calls.
//
//   kx_service_bench [--quick] [--engine sqlite|postgresql] [--connections N,N,...] [--rounds N]
//                    [--seconds S] [--serve-workers N] [--before FILE] [--dir DIR] [--json FILE]
//                    [--label TEXT]
//
// PostgreSQL runs when KX_BENCH_PG_SERVER ("host,port") is set (see bench_support.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <thread>

#include "bench/bench_support.h"
#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "kx/variant.h"
#include "service/call.h"
#include "shared/s_db_help_for_kx.h"

extern char** environ;

namespace {

using namespace kx::bench;

const char* const kClass = "C_JBTypeProfile";
const char* const kOperations[] = {"getElementByXML", "add"};
// The service's answer without any call: what HTTP and the connection cost alone.
const char* const kHealth = "healthz";
constexpr int kStoredProfiles = 1000;
// The in-process side runs up to this many connections (one thread each).
constexpr int kInProcessUpTo = 8;
// The threads of the load client; a connection count below it uses one thread per connection.
constexpr int kLoadThreads = 2;
// The largest connection count a run may ask for.
constexpr int kMaxConnections = 4096;
// The targets: p99 of getElementByXML on SQLite at this many connections, under this limit.
constexpr int kP99Connections = 512;
constexpr double kP99LimitMs = 50;
// Up to this many connections the service must answer no fewer requests/s than before.
constexpr int kBeforeUpTo = 8;
// The settings the service gets in section SERVICE of Config.ini, so that every connection of the
// one client address is let in (a server ignores keys it does not know).
const char* const kServiceSettings = "MAXCONNECTIONSPERCLIENT=1024\nMAXCONNECTIONS=2048\n";

struct Options : CommonOptions {
  Options() {
    rounds = 3;
    json = "bench-service-results.json";
  }
  double seconds = 1.0;  // per case, side and round
  std::vector<int> connections{1, 8, 64, 512};
  int serveWorkers = 0;  // kx serve --workers; 0: the server's own setting
  std::string before;    // a result file whose requests/s are the floor at up to 8 connections
};

const char* const kUsage =
    "usage: kx_service_bench [--quick] [--engine sqlite|postgresql] [--connections N,N,...] [--rounds N]\n"
    "                        [--seconds S] [--serve-workers N] [--before FILE] [--dir DIR] [--json FILE]\n"
    "                        [--label TEXT]\n"
    "  --quick          1 round of 0.3 s per case, for a smoke check\n"
    "  --engine         one engine (repeatable); default SQLite, and PostgreSQL when KX_BENCH_PG_SERVER\n"
    "                   is set\n"
    "  --connections    the keep-alive connection counts measured (default 1,8,64,512)\n"
    "  --rounds         rounds per case (default 3); up to 8 connections service and in-process alternate\n"
    "  --seconds        how long each side runs in each round (default 1)\n"
    "  --serve-workers  starts kx serve with --workers N (default: the server's own setting); a server\n"
    "                   that holds a worker per open connection needs at least as many as connections\n"
    "  --before         a result file of an earlier run: the service's requests/s at up to 8\n"
    "                   connections must be no lower than there (a target)\n"
    "  --dir            folder of the SQLite databases (default /dev/shm, else /tmp)\n"
    "  --json           where the figures are written (default bench-service-results.json)\n"
    "  --label          a text stored with the figures (for example the commit)\n";

// A --connections value: whole numbers from 1 to kMaxConnections, comma separated; returned
// in increasing order without repeats.
std::vector<int> ConnectionCounts(const std::string& value) {
  std::set<int> counts;
  for (const auto& part : SplitList(value)) {
    const int n = part.find_first_not_of("0123456789") == std::string::npos && part.size() < 5
                      ? std::atoi(part.c_str())
                      : 0;
    if (n < 1 || n > kMaxConnections)
      throw std::invalid_argument("--connections takes numbers from 1 to " + std::to_string(kMaxConnections) +
                                  ", comma separated, not '" + part + "'");
    counts.insert(n);
  }
  if (counts.empty()) throw std::invalid_argument("--connections needs at least one number");
  return {counts.begin(), counts.end()};
}

// The options of the command line; a wrong argument fails with its reason.
Options ParseOptions(int argc, char** argv) {
  Options o;
  bool secondsGiven = false;
  ParseCommandLine(argc, argv, o, kUsage, [&](const std::string& a, int& i, auto value) {
    if (a == "--seconds") {
      const std::string n = value(i);
      char* end = nullptr;
      o.seconds = std::strtod(n.c_str(), &end);
      if (end == n.c_str() || *end || !(o.seconds >= 0.05 && o.seconds <= 60))
        throw std::invalid_argument("--seconds takes a number from 0.05 to 60");
      secondsGiven = true;
    } else if (a == "--connections") {
      o.connections = ConnectionCounts(value(i));
    } else if (a == "--serve-workers") {
      const std::string n = value(i);
      o.serveWorkers =
          n.find_first_not_of("0123456789") == std::string::npos && n.size() < 5 ? std::atoi(n.c_str()) : 0;
      if (o.serveWorkers < 1 || o.serveWorkers > 1024)
        throw std::invalid_argument("--serve-workers takes a number from 1 to 1024");
    } else if (a == "--before") {
      o.before = value(i);
    } else {
      return false;
    }
    return true;
  });
  if (o.quick && !secondsGiven) o.seconds = 0.3;
  return o;
}

// Raises the soft limit of open files to the hard limit: every connection is a socket. Fails when
// even the hard limit leaves too few for `connections`.
void RaiseFileLimit(int connections) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < static_cast<rlim_t>(connections) + 64)
    throw std::runtime_error(std::to_string(connections) +
                             " connections need more open files than the limit of " +
                             std::to_string(limit.rlim_cur));
}

// The 1-minute load average of the machine (-1 when it cannot be read): the figures of a run on a
// busy machine are lower.
double LoadAverage() {
  double load = -1;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

// The code of stored profile `i`, and of the `i`th profile added by one connection of one case.
std::string StoredCode(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "G%06d", i % kStoredProfiles);
  return buf;
}
std::string AddedCode(char side, int round, int connection, int64_t i) {
  return std::string("A") + side + std::to_string(round) + "c" + std::to_string(connection) + "x" +
         std::to_string(i);
}
std::string ProfileXml(const std::string& code) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"Bench job " + code + "\" JBTypeCategory=\"TR\"/>";
}

// The argument of a connection's `i`th call of `operation` and the text its answer must hold (the
// code fetched; add answers nothing, and the stored rows are counted afterwards).
void CallArgument(const std::string& operation, char side, int round, int connection, int64_t i,
                  std::string& argument, std::string& expect) {
  if (operation == "add") {
    argument = ProfileXml(AddedCode(side, round, connection, i));
    expect = "{\"result\": null";
  } else {
    argument = expect = StoredCode(static_cast<int>(connection * 7919 + i * 31));
  }
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
    WriteConfig(folder_, engine.databaseConfig, std::string("[SERVICE]\n") + kServiceSettings);
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

// `kx serve` on a free loopback port in the bench folder (with --workers when `workers` > 0), its
// access log in serve.log there; stopped with SIGTERM.
class ServeProcess {
 public:
  ServeProcess(const std::string& folder, int workers) {
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
    if (workers > 0) {
      args.push_back("--workers");
      args.push_back(std::to_string(workers));
    }
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

// What one side of one case measured in one round.
struct RoundResult {
  double callsPerSecond = 0;
  std::vector<double> latencies;  // microseconds, every answer
  int64_t errors = 0;
  int64_t ok = 0;               // answers with status 200 and what they must hold
  int connectionsAnswered = 0;  // connections (or threads) with at least one such answer
  int64_t reopened = 0;         // connections the server closed with "Connection: close", opened again
  std::string firstError;

  void Error(const std::string& what) {
    if (errors++ == 0) firstError = what;
  }
  // The round of `parts` (one a thread) that ran for `seconds`.
  static RoundResult Of(const std::vector<RoundResult>& parts, double seconds) {
    RoundResult all;
    for (const auto& r : parts) {
      all.latencies.insert(all.latencies.end(), r.latencies.begin(), r.latencies.end());
      if (all.firstError.empty()) all.firstError = r.firstError;
      all.errors += r.errors;
      all.ok += r.ok;
      all.connectionsAnswered += r.connectionsAnswered;
      all.reopened += r.reopened;
    }
    all.callsPerSecond = static_cast<double>(all.latencies.size()) / seconds;
    return all;
  }
};

// ---- the load client

// One request as it goes on the wire and the text its answer must hold.
struct WireCall {
  std::string wire, expect;
};
// The `i`th call of connection `connection`; called from every load thread at once.
using CallMaker = std::function<WireCall(int connection, int64_t i)>;

// The request GET /healthz, for the service at `port`.
WireCall HealthCall(int port) {
  return {"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n", "alive"};
}

// The request POST /v1/C_JBTypeProfile/`member` with {"args": [`argument`]}.
WireCall PostCall(int port, const std::string& member, const std::string& argument,
                  const std::string& expect) {
  const std::string body = "{\"args\": [" + JsonText(argument) + "]}";
  return {"POST /v1/" + std::string(kClass) + "/" + member +
              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
              "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\n\r\n" + body,
          expect};
}

// Whether `text` begins with `prefix`, without regard to ASCII case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The head of an HTTP/1.1 answer: status, body length and whether the server closes the
// connection after it.
struct AnswerHead {
  int status = 0;
  size_t length = 0;
  bool close = false;
};

// Reads an answer head (`head` without its closing blank line); an empty text when it is usable,
// else what is wrong with it. The service answers every request with a Content-Length.
std::string ParseAnswerHead(std::string_view head, AnswerHead& out) {
  const size_t lineEnd = head.find("\r\n");
  const std::string_view statusLine = head.substr(0, lineEnd);
  if (!(statusLine.rfind("HTTP/1.1 ", 0) == 0 || statusLine.rfind("HTTP/1.0 ", 0) == 0) ||
      statusLine.size() < 12 || !std::isdigit(static_cast<unsigned char>(statusLine[9])) ||
      !std::isdigit(static_cast<unsigned char>(statusLine[10])) ||
      !std::isdigit(static_cast<unsigned char>(statusLine[11])))
    return "a malformed status line: " + std::string(statusLine.substr(0, 80));
  out.status = std::atoi(std::string(statusLine.substr(9, 3)).c_str());
  out.close = statusLine[7] == '0';  // HTTP/1.0 closes unless told otherwise; the service speaks 1.1
  bool haveLength = false;
  size_t pos = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view line = head.substr(pos, end - pos);
    pos = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      return "a header line without a colon: " + std::string(line.substr(0, 80));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    const std::string_view name = line.substr(0, colon);
    if (name.size() == 14 && StartsWithNoCase(name, "content-length")) {
      if (haveLength || value.empty() || value.size() > 12 ||
          value.find_first_not_of("0123456789") != std::string_view::npos)
        return "an unusable Content-Length: " + std::string(value.substr(0, 40));
      out.length = std::stoull(std::string(value));
      haveLength = true;
    } else if (name.size() == 10 && StartsWithNoCase(name, "connection")) {
      out.close = StartsWithNoCase(value, "close");
    } else if (name.size() == 17 && StartsWithNoCase(name, "transfer-encoding")) {
      return "an answer with Transfer-Encoding: " + std::string(value.substr(0, 40));
    }
  }
  if (!haveLength) return "an answer without Content-Length";
  return "";
}

// One thread of the load client: an epoll loop over its share of the connections. First each
// connection is opened and answers one GET /healthz (a few at a time, so that the server's listen
// queue is not flooded); then, once the gate opens, each sends a call, reads and checks its
// answer, records the latency and sends the next, until the gate closes; the calls under way then
// are finished and recorded too. A failed connection (refused, reset, closed without
// "Connection: close", unanswered in time) counts as an error and takes no further part.
class LoadThread {
 public:
  LoadThread(int port, const CallMaker& makeCall, const std::vector<int>& connections, RoundResult& out)
      : port_(port), makeCall_(makeCall), out_(out) {
    conns_.resize(connections.size());
    for (size_t i = 0; i < connections.size(); ++i) conns_[i].index = connections[i];
  }
  LoadThread(const LoadThread&) = delete;
  LoadThread& operator=(const LoadThread&) = delete;
  ~LoadThread() {
    for (auto& c : conns_)
      if (c.fd >= 0) close(c.fd);
    if (epoll_ >= 0) close(epoll_);
  }

  void Run(StartGate& gate) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const bool ready = epoll_ >= 0 && WarmUp();
    if (epoll_ < 0) out_.Error(std::string("epoll_create1: ") + std::strerror(errno));
    gate.Arrive();
    if (!ready) return;
    measuring_ = true;
    gate_ = &gate;
    for (auto& c : conns_) Start(c, makeCall_(c.index, c.calls++));
    Loop(kAnswerSeconds, [&] {
      if (gate.running()) return false;
      for (const auto& c : conns_)
        if (c.state == State::Connecting || c.state == State::Waiting) return false;
      return true;
    });
    for (const auto& c : conns_) out_.connectionsAnswered += c.ok > 0;
  }

 private:
  enum class State { Closed, Connecting, Waiting, Idle, Failed };
  struct Conn {
    int index = 0;  // among all the connections of the round
    int fd = -1;
    uint32_t generation = 0;  // counts the sockets the connection has had; tags its epoll events
    State state = State::Closed;
    std::string out;  // the request under way
    size_t sent = 0;
    bool wantOut = false;  // EPOLLOUT asked for: the request did not go out at once
    std::string in;        // what has arrived of its answer
    size_t headEnd = std::string::npos;
    AnswerHead head;
    std::string expect;
    SteadyClock::time_point start;
    int64_t calls = 0;  // calls begun in the measured time
    int64_t ok = 0;     // good answers in the measured time
  };
  // Seconds a connection gets to be opened and answer its first GET /healthz: less than the time a
  // server keeps an idle connection (5 s by default), so that a connection the server does not
  // serve is what is reported, not an earlier one it closed meanwhile. Then seconds an answer gets.
  static constexpr double kWarmUpSeconds = 4, kAnswerSeconds = 60;
  // Connections of one thread that are opened at the same time.
  static constexpr int kOpening = 4;

  // Opens every connection; false (after recording why) when one did not answer.
  bool WarmUp() {
    const WireCall health = HealthCall(port_);
    size_t opened = 0;
    Loop(kWarmUpSeconds, [&] {
      if (warmFailed_) return true;
      while (opened < conns_.size() && opened - warmed_ < static_cast<size_t>(kOpening))
        Start(conns_[opened++], health);
      return warmed_ == conns_.size();
    });
    return !warmFailed_;
  }

  // Runs the event loop until `done` holds; a connection whose answer has not come within
  // `limitSeconds` fails.
  template <class Done>
  void Loop(double limitSeconds, Done done) {
    epoll_event events[256];
    auto lastCheck = SteadyClock::now();
    while (!done()) {
      const int n = epoll_wait(epoll_, events, 256, 10);
      if (n < 0 && errno != EINTR) {
        out_.Error(std::string("epoll_wait: ") + std::strerror(errno));
        for (auto& c : conns_)
          if (c.state == State::Connecting || c.state == State::Waiting) Fail(c, "abandoned");
        return;
      }
      for (int e = 0; e < n; ++e) {
        Conn& c = conns_[events[e].data.u64 & 0xffffffffu];
        // An event of a socket closed earlier in this batch (the connection may have another by now).
        if (c.fd < 0 || events[e].data.u64 >> 32 != c.generation) continue;
        if (c.state == State::Connecting) {
          Connected(c);
        } else {
          if (events[e].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) Receive(c);
          if ((events[e].events & EPOLLOUT) && c.state == State::Waiting && c.sent < c.out.size()) Send(c);
        }
      }
      const auto now = SteadyClock::now();
      if (now - lastCheck > std::chrono::milliseconds(100)) {
        lastCheck = now;
        for (auto& c : conns_)
          if ((c.state == State::Connecting || c.state == State::Waiting) &&
              std::chrono::duration<double>(now - c.start).count() > limitSeconds)
            Fail(c, std::string(c.state == State::Connecting ? "not connected" : "no answer") +
                        (measuring_ ? "" : " to its first request") + " within " + Fixed(limitSeconds, 0) +
                        " s" + (measuring_ ? "" : " (too few workers? see --serve-workers)"));
      }
    }
  }

  // Begins `call` on `c`, opening the connection first when it is closed.
  void Start(Conn& c, const WireCall& call) {
    c.out = call.wire;
    c.expect = call.expect;
    c.sent = 0;
    c.in.clear();
    c.headEnd = std::string::npos;
    c.start = SteadyClock::now();
    if (c.fd >= 0) {
      c.state = State::Waiting;
      Send(c);
      return;
    }
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) return Fail(c, std::string("socket: ") + std::strerror(errno));
    c.generation++;
    const int one = 1;
    // A request goes out in one write; should it need more, Nagle's algorithm must not hold the rest
    // back until the server's delayed acknowledgement.
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int r = connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (r != 0 && errno != EINPROGRESS)
      return Fail(c, std::string("cannot connect: ") + std::strerror(errno));
    c.wantOut = false;
    if (!Watch(c, EPOLL_CTL_ADD, r == 0 ? EPOLLIN : EPOLLOUT)) return;
    if (r != 0) {
      c.state = State::Connecting;
      return;
    }
    c.state = State::Waiting;
    Send(c);
  }

  // The connection of `c` is made, or could not be: the request goes out.
  void Connected(Conn& c) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error) return Fail(c, std::string("cannot connect: ") + std::strerror(error));
    c.state = State::Waiting;
    c.wantOut = true;  // EPOLLOUT is asked for until the request is out
    Send(c);
  }

  // Writes what is left of the request; asks for EPOLLOUT while some of it is left, else EPOLLIN.
  void Send(Conn& c) {
    while (c.sent < c.out.size()) {
      const ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (n > 0) {
        c.sent += static_cast<size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!c.wantOut && !Watch(c, EPOLL_CTL_MOD, EPOLLIN | EPOLLOUT)) return;
        c.wantOut = true;
        return;
      } else if (errno != EINTR) {
        return Fail(c, std::string("sending: ") + std::strerror(errno));
      }
    }
    if (c.wantOut && !Watch(c, EPOLL_CTL_MOD, EPOLLIN)) return;
    c.wantOut = false;
  }

  // Adds the socket of `c` to the loop (EPOLL_CTL_ADD) or changes its `events` (EPOLL_CTL_MOD);
  // false after failing the connection.
  bool Watch(Conn& c, int op, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = static_cast<uint64_t>(c.generation) << 32 | static_cast<uint64_t>(&c - conns_.data());
    if (epoll_ctl(epoll_, op, c.fd, &event) == 0) return true;
    Fail(c, std::string("epoll_ctl: ") + std::strerror(errno));
    return false;
  }

  // Takes the socket of `c` out of the loop and closes it.
  void CloseSocket(Conn& c) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
  }

  // Reads what has arrived; a whole answer goes to Answered.
  void Receive(Conn& c) {
    char buffer[16384];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return Fail(c, std::string(c.state == State::Waiting ? "waiting for an answer: " : "idle: ") +
                         std::strerror(errno));
    }
    if (c.state != State::Waiting) {
      // An idle connection after the measured time may be closed by the server; anything else is wrong.
      if (n == 0 && c.state == State::Idle && measuring_ && !gate_->running()) {
        CloseSocket(c);
        c.state = State::Closed;
        return;
      }
      return Fail(
          c, n == 0 ? "the server closed an idle connection" : "bytes from the server without a request");
    }
    if (n == 0)
      return Fail(c, c.sent < c.out.size() || c.in.empty()
                         ? "the server closed the connection without answering"
                         : "the server closed the connection in the middle of an answer");
    c.in.append(buffer, static_cast<size_t>(n));
    if (c.headEnd == std::string::npos) {
      const size_t end = c.in.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (c.in.size() > 65536) Fail(c, "an answer head over 64 KiB");
        return;
      }
      const std::string problem = ParseAnswerHead(std::string_view(c.in).substr(0, end), c.head);
      if (!problem.empty()) return Fail(c, problem);
      c.headEnd = end + 4;
    }
    const size_t whole = c.headEnd + c.head.length;
    if (c.in.size() < whole) return;
    if (c.in.size() > whole) return Fail(c, "bytes after the answer");
    Answered(c);
  }

  // Records and checks a whole answer and goes on: the next call, or idle.
  void Answered(Conn& c) {
    const std::string_view body = std::string_view(c.in).substr(c.headEnd);
    std::string problem;
    if (c.head.status != 200)
      problem = "status " + std::to_string(c.head.status) + ": " + std::string(body.substr(0, 200));
    else if (body.find(c.expect) == std::string_view::npos)
      problem = "an answer without " + c.expect;
    if (!problem.empty()) out_.Error("connection " + std::to_string(c.index) + ": " + problem);
    if (c.head.close) {
      // The server ends the connection in order: the next call opens another.
      CloseSocket(c);
      if (measuring_) out_.reopened++;
    }
    c.state = State::Idle;
    if (!measuring_) {
      warmed_++;
      if (!problem.empty()) warmFailed_ = true;
      return;
    }
    out_.latencies.push_back(Since(c.start) * 1e6);
    if (problem.empty()) {
      c.ok++;
      out_.ok++;
    }
    if (gate_->running()) Start(c, makeCall_(c.index, c.calls++));
  }

  // Records the failure of `c`'s connection, which takes no further part.
  void Fail(Conn& c, const std::string& what) {
    out_.Error("connection " + std::to_string(c.index) + ": " + what);
    if (c.fd >= 0) CloseSocket(c);
    c.state = State::Failed;
    if (!measuring_) warmFailed_ = true;
  }

  const int port_;
  const CallMaker& makeCall_;
  RoundResult& out_;
  std::vector<Conn> conns_;
  int epoll_ = -1;
  size_t warmed_ = 0;
  bool warmFailed_ = false;
  bool measuring_ = false;
  const StartGate* gate_ = nullptr;
};

// Runs `connections` keep-alive connections calling `operation` on the service for `seconds`,
// from up to kLoadThreads threads.
RoundResult RunServiceRound(int port, const std::string& operation, int connections, int round,
                            double seconds) {
  const CallMaker makeCall = [&](int connection, int64_t i) {
    if (operation == kHealth) return HealthCall(port);
    std::string argument, expect;
    CallArgument(operation, 's', round, connection, i, argument, expect);
    return PostCall(port, operation, argument, expect);
  };
  const int threads = std::min(kLoadThreads, connections);
  std::vector<RoundResult> parts(threads);
  StartGate gate;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    std::vector<int> mine;
    for (int c = t; c < connections; c += threads) mine.push_back(c);
    workers.emplace_back([&, t, mine] {
      parts[t].latencies.reserve(1 << 16);
      LoadThread(port, makeCall, mine, parts[t]).Run(gate);
    });
  }
  RoundResult all = RoundResult::Of(parts, gate.Run(workers, seconds));
  if (all.connectionsAnswered < connections)
    all.Error(std::to_string(connections - all.connectionsAnswered) + " of " + std::to_string(connections) +
              " connections had no good answer in the round" +
              (all.firstError.empty() ? "" : " (first: " + all.firstError + ")"));
  return all;
}

// Runs `threads` threads calling `operation` in-process through RunCall for `seconds`.
RoundResult RunInProcessRound(const std::string& operation, int threads, int round, double seconds) {
  StartGate gate;
  std::vector<RoundResult> parts(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      RoundResult& mine = parts[t];
      mine.latencies.reserve(1 << 16);
      gate.Arrive();
      for (int64_t i = 0; gate.running(); ++i) {
        std::string argument, expect;
        CallArgument(operation, 'p', round, t, i, argument, expect);
        const auto start = SteadyClock::now();
        const kx::service::CallOutcome outcome =
            kx::service::RunCall(kClass, operation, kx::Args{kx::Variant(argument)}, /*transaction=*/true);
        mine.latencies.push_back(Since(start) * 1e6);
        if (outcome.failure != kx::service::Failure::None)
          mine.Error(outcome.json.substr(0, 200));
        else if (outcome.json.find(expect) == std::string::npos)
          mine.Error("an answer without " + expect);
        else
          mine.ok++;
      }
      mine.connectionsAnswered = mine.ok > 0;
    });
  }
  return RoundResult::Of(parts, gate.Run(workers, seconds));
}

// What one side of one case measured over all rounds.
struct CaseResult {
  double callsPerSecond = 0, p50 = 0, p99 = 0;
  int64_t calls = 0, errors = 0, reopened = 0;
  int fewestAnswered = 0;  // the fewest connections with a good answer in one round
  std::string firstError;
};

// The service's requests/s per engine, operation and connection count in an earlier result file
// of this program (--before): each figure is a line of its "service" array.
std::map<std::string, double> BeforeFigures(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  // The value of `key` in one line as written by JsonObject: a string without escapes or a number.
  auto field = [](const std::string& line, const std::string& key) {
    const std::string tag = JsonText(key) + ": ";
    const size_t at = line.find(tag);
    if (at == std::string::npos) return std::string();
    size_t start = at + tag.size(), end;
    if (line[start] == '"') {
      end = line.find('"', ++start);
    } else {
      end = line.find_first_of(",}", start);
    }
    return end == std::string::npos ? std::string() : line.substr(start, end - start);
  };
  std::map<std::string, double> figures;
  bool inService = false;
  for (std::string line; std::getline(in, line);) {
    // A section begins on a line indented by two spaces; its figures are indented further.
    if (line.rfind("  \"", 0) == 0) inService = line.rfind("  \"service\": [", 0) == 0;
    if (!inService || field(line, "side") != "service") continue;
    const std::string rate = field(line, "calls_per_s");
    if (rate.empty()) continue;
    figures[field(line, "engine") + " " + field(line, "operation") + " " + field(line, "clients")] =
        std::strtod(rate.c_str(), nullptr);
  }
  if (figures.empty()) throw std::runtime_error(path + " holds no figures of the service");
  return figures;
}

// "N connection(s)".
std::string Connections(int n) { return std::to_string(n) + (n == 1 ? " connection" : " connections"); }

// Runs one engine: every operation and connection count, service and (up to kInProcessUpTo
// connections) in-process in alternating rounds; rows for the table and the JSON file, and the
// targets.
void RunEngine(const EngineSetup& engine, const Options& options, const std::map<std::string, double>& before,
               std::vector<std::vector<std::string>>& rows, std::vector<JsonObject>& json, Targets& targets,
               int& failures) {
  BenchHome home(engine, options);
  ServeProcess serve(home.folder(), options.serveWorkers);
  // Warm up both sides: the server's and this process's connections, schemas and code.
  RunServiceRound(serve.port(), "getElementByXML", 1, 0, 0.2);
  RunInProcessRound("getElementByXML", 1, 0, 0.2);
  auto record = [&](const std::string& operation, int connections, const char* side, const CaseResult& c,
                    const std::string& added) {
    const std::string shown = operation == kHealth ? "GET /healthz" : operation;
    rows.push_back(
        {engine.name + " " + shown, side, std::to_string(connections), Fixed(c.callsPerSecond, 0),
         Fixed(c.p50, 0), Fixed(c.p99, 0), added,
         std::to_string(c.errors) + (c.firstError.empty() ? "" : " (" + c.firstError.substr(0, 100) + ")")});
    // "clients" is the connection count: the name under which --compare matches the cases.
    json.push_back(JsonObject()
                       .Text("engine", engine.name)
                       .Text("operation", operation)
                       .Number("clients", connections)
                       .Text("side", side)
                       .Number("calls_per_s", c.callsPerSecond)
                       .Number("p50_us", c.p50)
                       .Number("p99_us", c.p99)
                       .Number("calls", static_cast<double>(c.calls))
                       .Number("errors", static_cast<double>(c.errors))
                       .Number("connections_answered", c.fewestAnswered)
                       .Number("reopened", static_cast<double>(c.reopened))
                       .Text("first_error", c.firstError));
  };
  {
    // The floor under every service figure: a request the service answers without calling KX.
    RoundResult floor = RunServiceRound(serve.port(), kHealth, 1, 0, options.seconds);
    std::sort(floor.latencies.begin(), floor.latencies.end());
    if (floor.errors) failures++;
    CaseResult c{floor.callsPerSecond,
                 Quantile(floor.latencies, 0.5),
                 Quantile(floor.latencies, 0.99),
                 static_cast<int64_t>(floor.latencies.size()),
                 floor.errors,
                 floor.reopened,
                 floor.connectionsAnswered,
                 floor.firstError};
    record(kHealth, 1, "service", c, "");
  }
  for (const std::string operation : kOperations) {
    std::map<int, CaseResult> serviceBy, inProcessBy;
    for (const int connections : options.connections) {
      const int sides = connections <= kInProcessUpTo ? 2 : 1;
      std::vector<double> rates[2], latencies[2];
      CaseResult result[2];  // 0 service, 1 in-process
      result[0].fewestAnswered = result[1].fewestAnswered = connections;
      for (int round = 0; round < options.rounds; ++round) {
        for (int turn = 0; turn < sides; ++turn) {
          const int side = (turn + round) % sides;
          RoundResult r = side == 0
                              ? RunServiceRound(serve.port(), operation, connections, round, options.seconds)
                              : RunInProcessRound(operation, connections, round, options.seconds);
          if (operation == "add") {
            // Every add that answered success must have stored its profile.
            const int64_t stored = home.Added();
            if (stored != r.ok)
              r.Error(std::to_string(stored) + " profiles stored for " + std::to_string(r.ok) +
                      " adds answered");
            home.RemoveAdded();
          }
          rates[side].push_back(r.callsPerSecond);
          latencies[side].insert(latencies[side].end(), r.latencies.begin(), r.latencies.end());
          CaseResult& c = result[side];
          c.errors += r.errors;
          c.reopened += r.reopened;
          c.fewestAnswered = std::min(c.fewestAnswered, r.connectionsAnswered);
          if (c.firstError.empty()) c.firstError = r.firstError;
        }
      }
      for (int side = 0; side < sides; ++side) {
        auto& l = latencies[side];
        std::sort(l.begin(), l.end());
        CaseResult& c = result[side];
        c.callsPerSecond = Median(rates[side]);
        c.p50 = Quantile(l, 0.5);
        c.p99 = Quantile(l, 0.99);
        c.calls = static_cast<int64_t>(l.size());
        if (c.errors) failures++;
      }
      const bool bothAnswered = sides == 2 && result[0].calls && result[1].calls;
      record(operation, connections, "service", result[0],
             bothAnswered ? Fixed(result[0].p50 - result[1].p50, 0) : "");
      if (sides == 2) record(operation, connections, "in-process", result[1], "");
      serviceBy[connections] = result[0];
      if (sides == 2) inProcessBy[connections] = result[1];
    }
    const std::string name = engine.name + " " + operation;
    if (serviceBy.count(1) && inProcessBy.count(1)) {
      const double added = serviceBy[1].p50 - inProcessBy[1].p50;
      targets.Add(name + ": service p50 - in-process p50, 1 connection", "<= 100 us", added, " us",
                  added <= 100);
    }
    for (const auto& [connections, c] : serviceBy) {
      const auto it = before.find(name + " " + std::to_string(connections));
      if (connections > kBeforeUpTo || it == before.end()) continue;
      targets.Add(name + ": requests/s at " + Connections(connections) + ", before " + Fixed(it->second, 0),
                  ">= " + Fixed(it->second, 0), c.callsPerSecond, "/s", c.callsPerSecond >= it->second);
    }
    if (engine.name == "sqlite" && operation == "getElementByXML" && serviceBy.count(kP99Connections)) {
      const double ms = serviceBy[kP99Connections].p99 / 1000;
      targets.Add(name + ": p99 at " + Connections(kP99Connections), "< " + Fixed(kP99LimitMs, 0) + " ms", ms,
                  " ms", ms < kP99LimitMs);
    }
    // Requests on 8 connections spread over both cores: at least 1.8 times those of 1 connection.
    if (operation == "getElementByXML" && serviceBy.count(1) && serviceBy.count(8)) {
      const double scale = serviceBy[8].callsPerSecond / serviceBy[1].callsPerSecond;
      targets.Add(name + ": requests/s at 8 connections over 1", ">= 1.8", scale, "x", scale >= 1.8);
    }
    // Writers of one process queue at the database file's gate instead of sleeping in the busy wait.
    if (engine.name == "sqlite" && operation == "add" && serviceBy.count(8)) {
      const double ms = serviceBy[8].p99 / 1000;
      targets.Add(name + ": p99 at 8 connections", "<= 10 ms", ms, " ms", ms <= 10);
    }
    const int most = options.connections.back();
    const int answered = serviceBy[most].fewestAnswered;
    targets.Add(name + ": connections with a good answer in every round at " + Connections(most),
                std::to_string(most), answered, "", answered == most);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<EngineSetup> engines;
  std::map<std::string, double> before;
  try {
    options = ParseOptions(argc, argv);
    engines = Engines(options.engines);
    if (!options.before.empty()) before = BeforeFigures(options.before);
    RaiseFileLimit(options.connections.back());
  } catch (const std::exception& e) {
    std::cerr << "kx_service_bench: " << e.what() << "\n" << kUsage;
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const auto start = SteadyClock::now();
  const double load = LoadAverage();
  std::string counts;
  for (const int n : options.connections) counts += (counts.empty() ? "" : ",") + std::to_string(n);
  const std::string workers = options.serveWorkers > 0
                                  ? "kx serve --workers " + std::to_string(options.serveWorkers)
                                  : "kx serve with its own number of workers";
  std::string settings = kServiceSettings;
  std::replace(settings.begin(), settings.end(), '\n', ' ');
  std::cout << "The HTTP service under " << counts << " keep-alive connections"
            << (options.quick ? " (quick)" : "") << ", " << std::thread::hardware_concurrency()
            << " cores, load average " << Fixed(load, 2) << " at the start, SQLite files in " << options.dir
            << (OnTmpfs(options.dir) ? " (tmpfs)" : "") << "\n"
            << workers << "; Config.ini section SERVICE: " << settings << "\n";
  std::vector<std::vector<std::string>> rows{
      {"case", "side", "connections", "requests/s", "p50 us", "p99 us", "added p50 us", "errors"}};
  std::vector<JsonObject> json;
  Targets targets;
  int failures = 0, status = 0;
  for (const auto& engine : engines) {
    try {
      RunEngine(engine, options, before, rows, json, targets, failures);
    } catch (const std::exception& e) {
      std::cerr << "kx_service_bench: " << engine.name << ": " << e.what() << "\n";
      status = 1;
    }
  }
  PrintTable(
      "Type profile calls through kx serve, each connection keep-alive and one request at a time ("
      "a load client of up to " +
          std::to_string(kLoadThreads) + " epoll threads), and up to " + std::to_string(kInProcessUpTo) +
          " connections the same calls in-process (RunCall, one thread per connection); requests/s "
          "median of " +
          std::to_string(options.rounds) + " rounds of " + Fixed(options.seconds, 1) +
          " s, latencies over all rounds",
      rows);
  if (targets.rows.size() > 1) PrintTable("\nTargets", targets.rows);
  if (failures) {
    std::cout << "\n"
              << failures
              << " case(s) had failed or wrong calls or unanswered connections: see the table above\n";
    status = 1;
  }
  const double seconds = Since(start);
  std::cout << "\n(" << Fixed(seconds, 0) << " s in all)\n";

  if (!WriteResults("kx_service_bench", options.json,
                    RunInfo(options.label, options.quick, options.rounds, options.dir, seconds, failures)
                        .Number("seconds_per_round", options.seconds)
                        .Text("connections", counts)
                        .Number("serve_workers", options.serveWorkers)
                        .Number("load_average", load)
                        .Text("before", options.before),
                    {{"service", json}, {"targets", targets.json}}))
    return 1;
  return status;
}
