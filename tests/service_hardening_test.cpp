// The HTTP service under attack and under load, over raw sockets on 127.0.0.1: limits enforced
// before authentication, strict framing, connections that cost no worker, pipelining and
// half-closed clients, the queue in front of the workers, TLS floors, and answers that tell an
// anonymous caller nothing about the installation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <nlohmann/json.hpp>

#include "jb_order_rows.h"
#include "runtime/expose.h"
#include "runtime/xml.h"
#include "service_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// ---- a raw HTTP client

class Socket {
 public:
  explicit Socket(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends all of `data`; false when the peer refused it.
  bool Send(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  // Whether something (or the end) can be read within `ms`.
  bool Readable(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }
  // Sends `data` piece by piece while nothing comes back; returns the bytes sent before an answer
  // (or the end of the connection) arrived.
  size_t SendUntilAnswered(std::string_view data, size_t piece = 64 << 10) {
    size_t sent = 0;
    while (sent < data.size()) {
      if (Readable(0)) return sent;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 5000) <= 0) return sent;
      const ssize_t n = send(fd_, data.data() + sent, std::min(piece, data.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) return sent;
      sent += static_cast<size_t>(n);
    }
    return sent;
  }

  struct Reply {
    int status = 0;  // 0: no answer before the connection ended or the time ran out
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
  };
  // Reads one answer (with a Content-Length, as the service always sends).
  Reply Read(int ms = 10000) {
    Reply r;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
      if (!Fill(deadline)) return r;
    const std::string head = pending_.substr(0, end);
    pending_.erase(0, end + 4);
    r.status = std::atoi(head.substr(head.find(' ') + 1, 3).c_str());
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
      const size_t next = head.find("\r\n", pos + 2);
      const std::string line = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
      const auto colon = line.find(':');
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
      pos = next;
    }
    const size_t length = r.headers.count("content-length") ? std::stoul(r.headers["content-length"]) : 0;
    while (pending_.size() < length)
      if (!Fill(deadline)) return Reply{};
    r.body = pending_.substr(0, length);
    pending_.erase(0, length);
    return r;
  }
  // Whether the service closed the connection within `ms` (nothing more to read).
  bool ClosedWithin(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      if (!Readable(static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count())))
        return false;
      char buf[4096];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return true;
    }
    return false;
  }

 private:
  bool Fill(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !Readable(static_cast<int>(left))) return false;
    char buf[65536];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1;
  std::string pending_;
};

std::string PostJson(const std::string& path, const std::string& body, const std::string& extra = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: test\r\nContent-Type: application/json\r\n" + extra +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string AddProfile(const std::string& code) {
  return PostJson("/v1/C_JBTypeProfile/add", json{{"args", {ProfileXml(code)}}}.dump());
}

std::string GetProfile(const std::string& code) {
  return PostJson("/v1/C_JBTypeProfile/getElementByXML", json{{"args", {code}}}.dump());
}

const std::string kHealth = "GET /healthz HTTP/1.1\r\nHost: test\r\n\r\n";

// Peak resident memory of process `pid`, in kB.
long PeakMemoryKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// A class only these tests register: a member that holds its worker until the test lets it go.
std::mutex gateMutex;
std::condition_variable gateOpened;
bool gateOpen = false;
std::atomic<int> gateHeld{0};

class T_ServiceGate : public Object {
 public:
  std::string_view ClassName() const override { return "T_ServiceGate"; }
  std::string Hold() {
    ++gateHeld;
    std::unique_lock lock(gateMutex);
    gateOpened.wait_for(lock, std::chrono::seconds(20), [] { return gateOpen; });
    return "released";
  }
};

const AtLoad registerGate([] { Expose<T_ServiceGate>("T_ServiceGate").Method("Hold", &T_ServiceGate::Hold).Register(); });

// ---- framing

TEST(ServiceFraming, AmbiguousOrMalformedRequestsAreRefusedAndTheConnectionClosed) {
  RunningService svc;
  const std::string call = "POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\nHost: t\r\n";
  const struct {
    const char* what;
    std::string request;
  } cases[] = {
      {"Content-Length and Transfer-Encoding",
       call + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      {"Transfer-Encoding and Content-Length",
       call + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n"},
      {"two differing Content-Length", call + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}x"},
      {"two equal Content-Length", call + "Content-Length: 2\r\nContent-Length: 2\r\n\r\n{}"},
      {"a list as Content-Length", call + "Content-Length: 2, 2\r\n\r\n{}"},
      {"a malformed Content-Length", call + "Content-Length: 16abc\r\n\r\n{}"},
      {"a transfer coding other than chunked", call + "Transfer-Encoding: gzip\r\n\r\n{}"},
      {"chunked not alone", call + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n"},
      {"Transfer-Encoding twice", call + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      {"a bare LF ending the request line", "GET /healthz HTTP/1.1\nHost: t\r\n\r\n"},
      {"a bare LF inside the head", "GET /healthz HTTP/1.1\r\nHost: t\nX-A: b\r\n\r\n"},
      {"a NUL in a header value", std::string("GET /healthz HTTP/1.1\r\nHost: t\r\nX-A: a\0b\r\n\r\n", 45)},
      {"a control character in a header value", "GET /healthz HTTP/1.1\r\nHost: t\r\nX-A: a\x01z\r\n\r\n"},
      {"no Host", "GET /healthz HTTP/1.1\r\n\r\n"},
      {"two Host fields", "GET /healthz HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"},
      {"two Authorization fields",
       "GET /healthz HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer a\r\nAuthorization: Bearer b\r\n\r\n"},
      {"a NUL in the Authorization value",
       std::string("GET /healthz HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer a\0b\r\n\r\n", 60)},
  };
  for (const auto& c : cases) {
    Socket s(svc.port());
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s.Send(c.request)) << c.what;
    const auto reply = s.Read();
    EXPECT_EQ(reply.status, 400) << c.what << ": " << reply.body;
    EXPECT_TRUE(s.ClosedWithin(3000)) << c.what << ": the connection stayed open";
  }
  // The same connection code with a sound request is answered and kept.
  Socket s(svc.port());
  ASSERT_TRUE(s.Send(kHealth + kHealth));
  EXPECT_EQ(s.Read().status, 200);
  EXPECT_EQ(s.Read().status, 200);
  EXPECT_FALSE(s.ClosedWithin(200));
}

// ---- limits before authentication

TEST(ServiceLimits, BodiesAndHeadsOverTheirLimitsAreRefusedBeforeTheyAreRead) {
  TestHome home;
  home.ResetDatabase();
  const std::string tokens = home.WriteFile("tokens", TokenLine("ops", "t", "C_JBTypeProfile.*"));
  chmod(tokens.c_str(), 0600);
  ServeProcess serve(home, {"--listen", "127.0.0.1:0", "--tokens", tokens});
  ASSERT_GT(serve.port(), 0) << serve.Stderr();
  {
    // A chunked body of 64 MiB, without a token: refused once it passes 16 MiB.
    Socket s(serve.port());
    ASSERT_TRUE(s.Send("POST /v1/C_JBTypeProfile/add HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"));
    std::string chunk = "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
    std::string body;
    for (int i = 0; i < 1024; ++i) body += chunk;
    const size_t sent = s.SendUntilAnswered(body);
    const auto reply = s.Read();
    EXPECT_EQ(reply.status, 413) << reply.body;
    EXPECT_LT(sent, size_t{40} << 20) << "the body was read far past the limit";
  }
  {
    // A declared length over the limit: refused on the head alone.
    Socket s(serve.port());
    ASSERT_TRUE(s.Send("POST /v1/C_JBTypeProfile/add HTTP/1.1\r\nHost: t\r\nContent-Length: 104857600\r\n\r\n"));
    EXPECT_EQ(s.Read(3000).status, 413);
  }
  {
    // 10,000 header fields, and 101.
    std::string many = "GET /healthz HTTP/1.1\r\nHost: t\r\n";
    for (int i = 0; i < 10000; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    Socket s(serve.port());
    s.SendUntilAnswered(many + "\r\n");
    EXPECT_EQ(s.Read().status, 431);
    std::string fields;
    for (int i = 0; i < 99; ++i) fields += "X-" + std::to_string(i) + ": v\r\n";
    Socket at(serve.port());
    ASSERT_TRUE(at.Send("GET /healthz HTTP/1.1\r\nHost: t\r\n" + fields + "\r\n"));
    EXPECT_EQ(at.Read().status, 200) << "100 fields are within the limit";
    Socket over(serve.port());
    ASSERT_TRUE(over.Send("GET /healthz HTTP/1.1\r\nHost: t\r\n" + fields + "X-last: v\r\n\r\n"));
    EXPECT_EQ(over.Read().status, 431);
  }
  EXPECT_LT(PeakMemoryKb(serve.pid()), 100 * 1024) << "the service held a refused body";
}

TEST(ServiceLimits, IdleAndSlowConnectionsCostNoWorkerAndAreCutAtTheirDeadlines) {
  ServiceOptions options;
  options.workers = 2;
  options.http.maxConnections = 2000;
  options.http.maxConnectionsPerClient = 2000;
  options.http.headTimeout = 2;
  options.http.keepAliveTimeout = 3;
  RunningService svc(options);
  std::vector<std::unique_ptr<Socket>> idle;
  for (int i = 0; i < 500; ++i) {
    idle.push_back(std::make_unique<Socket>(svc.port()));
    ASSERT_TRUE(idle.back()->ok());
  }
  // 40 slow senders: a byte of an endless head every 200 ms.
  std::vector<std::unique_ptr<Socket>> slow;
  for (int i = 0; i < 40; ++i) {
    slow.push_back(std::make_unique<Socket>(svc.port()));
    ASSERT_TRUE(slow.back()->Send("GET /healthz HTTP/1.1\r\nHost: t\r\nX-Slow: "));
  }
  {
    Socket s(svc.port());
    const auto start = Clock::now();
    ASSERT_TRUE(s.Send(kHealth));
    EXPECT_EQ(s.Read(2000).status, 200);
    // The fault was no answer at all; a generous bound keeps the check stable on a busy machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  }
  const auto start = Clock::now();
  std::vector<bool> cut(slow.size(), false);
  size_t open = slow.size();
  while (open > 0 && Clock::now() - start < std::chrono::seconds(8)) {
    for (size_t i = 0; i < slow.size(); ++i) {
      if (cut[i]) continue;
      if (slow[i]->Readable(0) || !slow[i]->Send("a")) {
        const auto reply = slow[i]->Read(500);
        EXPECT_TRUE(reply.status == 408 || reply.status == 0) << reply.status;
        cut[i] = true, --open;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(open, 0u) << "slow senders kept past the head deadline";
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  // The idle ones go after the keep-alive time.
  size_t closed = 0;
  for (auto& s : idle) closed += s->ClosedWithin(3000) ? 1 : 0;
  EXPECT_EQ(closed, idle.size());
}

TEST(ServiceLimits, ConnectionsBeyondTheLimitPerClientAreClosedAtOnce) {
  ServiceOptions options;
  options.http.maxConnectionsPerClient = 4;
  RunningService svc(options);
  std::vector<std::unique_ptr<Socket>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<Socket>(svc.port()));
    ASSERT_TRUE(held.back()->Send(kHealth));
    EXPECT_EQ(held.back()->Read().status, 200);
  }
  {
    Socket fifth(svc.port());
    fifth.Send(kHealth);
    EXPECT_EQ(fifth.Read(2000).status, 0) << "a fifth connection was served";
  }
  held.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 20 && !served; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Socket again(svc.port());
    served = again.Send(kHealth) && again.Read(1000).status == 200;
  }
  EXPECT_TRUE(served) << "a closed connection's place was not given back";
}

TEST(ServiceLimits, AFullQueueIsAnsweredBusyAtOnce) {
  TestHome home;
  home.ResetDatabase();
  ServiceOptions options;
  options.workers = 1;
  options.queue = 1;
  RunningService svc(options);
  gateOpen = false;
  gateHeld = 0;
  const std::string hold = PostJson("/v1/T_ServiceGate/Hold", "{}");
  Socket running(svc.port()), queued(svc.port()), refused(svc.port());
  ASSERT_TRUE(running.Send(hold));
  for (int i = 0; i < 200 && gateHeld == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(gateHeld, 1);
  ASSERT_TRUE(queued.Send(hold));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(refused.Send(hold));
  auto busy = refused.Read(2000);
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.headers["retry-after"], "1");
  {
    std::lock_guard lock(gateMutex);
    gateOpen = true;
  }
  gateOpened.notify_all();
  EXPECT_EQ(running.Read().status, 200);
  EXPECT_EQ(queued.Read().status, 200);
}

TEST(ServiceStop, AfterSigtermTheServiceIsNotReadyForItsDelayButServesThenStopsCleanly) {
  TestHome home;
  home.ResetDatabase();
  home.WriteConfig(home.DefaultConfig() + "[SERVICE]\nSTOPDELAY=2\n");
  ServeProcess serve(home, {"--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.port(), 0) << serve.Stderr();
  Socket kept(serve.port());
  ASSERT_TRUE(kept.Send(kHealth));
  EXPECT_EQ(kept.Read().status, 200);
  serve.Signal(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Socket fresh(serve.port());
  ASSERT_TRUE(fresh.ok()) << "the listener closed before the delay";
  ASSERT_TRUE(fresh.Send("GET /readyz HTTP/1.1\r\nHost: t\r\n\r\n" + AddProfile("S1")));
  const auto ready = fresh.Read(), added = fresh.Read();
  EXPECT_EQ(ready.status, 503);
  EXPECT_NE(ready.body.find("stopping"), std::string::npos) << ready.body;
  EXPECT_EQ(added.status, 200) << added.body;
  EXPECT_EQ(serve.Wait(10), 0) << serve.Stderr();
  EXPECT_TRUE(kept.ClosedWithin(1000));
  EXPECT_EQ(RowCount(), 1);
}

// ---- keep-alive, pipelining, half-close, many clients

class ServiceConnections_ : public EngineTest {};

TEST_P(ServiceConnections_, PipelinedRequestsAreAnsweredInOrderAndAHalfClosedClientGetsItsAnswer) {
  RunningService svc;
  {
    Socket s(svc.port());
    ASSERT_TRUE(s.Send(AddProfile("P1") + GetProfile("P1") + AddProfile("P2") + GetProfile("P2")));
    const auto a = s.Read(), b = s.Read(), c = s.Read(), d = s.Read();
    EXPECT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(b.status, 200);
    EXPECT_NE(b.body.find("P1"), std::string::npos) << b.body;
    EXPECT_EQ(c.status, 200);
    EXPECT_NE(d.body.find("P2"), std::string::npos) << d.body;
  }
  {
    Socket s(svc.port());
    ASSERT_TRUE(s.Send(AddProfile("H1") + GetProfile("H1")));
    shutdown(s.fd(), SHUT_WR);
    const auto added = s.Read(), got = s.Read();
    EXPECT_EQ(added.status, 200) << added.body;
    EXPECT_NE(got.body.find("H1"), std::string::npos) << got.body;
    EXPECT_TRUE(s.ClosedWithin(3000));
  }
  EXPECT_EQ(RowCount(), 3);
}

TEST_P(ServiceConnections_, SixtyFourBusyKeepAliveClientsAreAllAnswered) {
  {
    auto c = Registry::Instance().Create("C_JBTypeProfile");
    Args args{Variant(ProfileXml("K"))};
    Registry::Instance().Invoke(*c, "add", args);
  }
  ServiceOptions options;
  options.workers = 4;
  RunningService svc(options);
  std::atomic<int> unanswered{0}, failed{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 64; ++i)
    clients.emplace_back([&] {
      Socket s(svc.port());
      int answered = 0;
      const auto until = Clock::now() + std::chrono::seconds(2);
      while (Clock::now() < until && s.Send(GetProfile("K"))) {
        const auto r = s.Read(5000);
        if (r.status != 200) {
          ++failed;
          break;
        }
        ++answered;
      }
      if (answered == 0) ++unanswered;
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(unanswered, 0);
  EXPECT_EQ(failed, 0);
}

KX_ENGINE_SUITE(ServiceConnections_);

// ---- argument values, media types and the document parameter

class ServiceArguments_ : public EngineTest {};

TEST_P(ServiceArguments_, ValuesOutOfRangeAndKeysGivenTwiceAreRefused) {
  RunningService svc;
  auto client = svc.Client();
  const struct {
    std::string body;
    int status;
  } cases[] = {
      {R"({"args": [1e400]})", 400},
      {R"({"args": [)" + std::string(400, '9') + "]}", 400},
      {R"({"args": [-1e400]})", 400},
      {R"({"args": ["A"], "args": ["B"]})", 400},
      {R"({"args": {"ElementId": "A", "ElementId": "B"}})", 400},
      {R"({"args": ["A"]})", 422},  // within range: it reaches the member, which knows no code A
  };
  for (const auto& c : cases) {
    const auto res = client.Post("/v1/C_JBTypeProfile/getElementByXML", c.body, "application/json");
    ASSERT_TRUE(res) << c.body;
    EXPECT_EQ(res->status, c.status) << c.body << ": " << res->body;
  }
}

TEST_P(ServiceArguments_, MediaTypesAreComparedWithoutCaseAndAnOrderDocumentGoesToItsDocumentParameter) {
  RunningService svc;
  auto client = svc.Client();
  const auto profile = client.Post("/v1/C_JBTypeProfile/add", ProfileXml("M1"), "APPLICATION/XML; charset=UTF-8");
  ASSERT_TRUE(profile);
  EXPECT_EQ(profile->status, 200) << profile->body;
  const auto order = client.Post("/v1/C_JBOrder/add?astrCompanyCode=CO&astrOfficeCode=HKG",
                                 OrderXml({}, Lines({LineXml("1")})), "text/xml");
  ASSERT_TRUE(order);
  EXPECT_EQ(order->status, 200) << order->body;
  EXPECT_EQ(CountRows("JB_ORDER"), 1);
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL"), 1);
}

TEST_P(ServiceArguments_, XmlRequestsPastTheirShapeLimitsAreRefusedQuickly) {
  const xml::DocumentLimits before = xml::CurrentDocumentLimits();
  {
    RunningService svc;
    auto client = svc.Client();
    std::string many = "<Root><JBTypeProfiles><JBTypeProfile Code=\"Q\"";
    for (int i = 0; i < 100000; ++i) many += " a" + std::to_string(i) + "=\"v\"";
    many += "/></JBTypeProfiles></Root>";
    const auto start = Clock::now();
    const auto refused = client.Post("/v1/C_JBTypeProfile/add", many, "application/xml");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 422) << refused->body.substr(0, 200);
    EXPECT_NE(refused->body.find("attributes"), std::string::npos) << refused->body.substr(0, 200);
    // It took 16 s before; a generous bound keeps the check stable on a busy machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  }
  {
    // The service's settings change the limits.
    ServiceOptions options;
    options.maxXmlAttributes = 2;  // a profile element carries three
    RunningService svc(options);
    auto client = svc.Client();
    const auto refused = client.Post("/v1/C_JBTypeProfile/add", ProfileXml("Q"), "application/xml");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 422) << refused->body;
  }
  xml::SetDocumentLimits(before);
  EXPECT_EQ(RowCount(), 0);
}

KX_ENGINE_SUITE(ServiceArguments_);

// ---- what callers without a valid token learn

TEST(ServiceTokens, AFileOthersCanChangeOrThatIsNoFileIsRefusedAtStartAndOnReload) {
  TestHome home;
  home.ResetDatabase();
  const std::string path = home.WriteFile("tokens", TokenLine("ops", "t", "C_JBTypeProfile.*"));
  auto refusedAtStart = [](const std::string& file) {
    ServiceOptions o;
    o.tokens = file;
    try {
      Service s(o);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  chmod(path.c_str(), 0666);
  EXPECT_NE(refusedAtStart(path).find("writable by every user"), std::string::npos);
  const std::string folder = home.folder() + "/tokens-folder";
  mkdir(folder.c_str(), 0700);
  EXPECT_NE(refusedAtStart(folder).find("not a regular file"), std::string::npos);
  if (geteuid() == 0) {
    chmod(path.c_str(), 0600);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_NE(refusedAtStart(path).find("belongs to user"), std::string::npos);
    ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
  }
  chmod(path.c_str(), 0600);
  InsertRow("X", "n", "c");
  ServiceOptions options;
  options.tokens = path;
  RunningService svc(options);
  auto client = svc.Client();
  httplib::Headers auth{{"Authorization", "Bearer t"}};
  auto ok = client.Post("/v1/C_JBTypeProfile/getElementByXML", auth, R"({"args": ["X"]})", "application/json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  // Made writable by everyone while the service runs: refused, and nobody is told where the file is.
  chmod(path.c_str(), 0646);
  auto refused = client.Post("/v1/C_JBTypeProfile/getElementByXML", auth, R"({"args": ["X"]})", "application/json");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_EQ(refused->body.find(path), std::string::npos) << refused->body;
  auto ready = client.Get("/readyz");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->status, 503);
  EXPECT_NE(ready->body.find("token file"), std::string::npos) << ready->body;
  EXPECT_EQ(ready->body.find(path), std::string::npos) << ready->body;
  bool logged = false;
  for (const auto& line : svc.Log()) logged = logged || line.find("writable by every user") != std::string::npos;
  EXPECT_TRUE(logged) << "the log does not say why";
}

TEST(ServiceTokens, AnUnreachableDatabaseIsNotDescribedToAnAnonymousCaller) {
  TestHome home("SQLite", "", false);
  home.WriteConfig(
      "[DATABASE]\nPROVIDER=PostgreSQL\nSERVERNAME=127.0.0.1,1\nDATABASENAME=nowhere\nUSERID=secretuser\n"
      "PASSWORD=\n[XML]\nXMLSCHEMAPATH=" + SchemaFolder() + "\n");
  const std::string tokens = home.WriteFile("tokens", TokenLine("ops", "t", "C_JBTypeProfile.*"));
  chmod(tokens.c_str(), 0600);
  for (const bool withTokens : {false, true}) {
    ServiceOptions options;
    if (withTokens) options.tokens = tokens;
    RunningService svc(options);
    auto client = svc.Client();
    auto ready = client.Get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 503);
    for (const char* secret : {"127.0.0.1", "secretuser", "nowhere", home.folder().c_str()})
      EXPECT_EQ(ready->body.find(secret), std::string::npos) << secret << " in " << ready->body;
    if (!withTokens) {
      auto call = client.Post("/v1/C_JBTypeProfile/getElementByXML", R"({"args": ["X"]})", "application/json");
      ASSERT_TRUE(call);
      EXPECT_EQ(call->status, 503);
      for (const char* secret : {"127.0.0.1", "secretuser", "nowhere"})
        EXPECT_EQ(call->body.find(secret), std::string::npos) << secret << " in " << call->body;
    } else {
      auto detailed = client.Get("/readyz", httplib::Headers{{"Authorization", "Bearer t"}});
      ASSERT_TRUE(detailed);
      EXPECT_EQ(detailed->status, 503);
      EXPECT_NE(detailed->body.find("127.0.0.1"), std::string::npos) << "a known client is told the reason";
    }
  }
}

// ---- TLS

TEST(ServiceTls, OnlyTls12WithForwardSecrecyAndAeadOrLaterIsServedWhateverTheSystemAllows) {
  TestHome home;
  home.ResetDatabase();
  const std::string cert = home.folder() + "/cert.pem", key = home.folder() + "/key.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                         "-subj /CN=127.0.0.1 -keyout " +
                         ShellQuoted(key) + " -out " + ShellQuoted(cert) + " >/dev/null 2>&1")
                            .c_str()),
            0);
  // A system configuration that would allow anything.
  const std::string conf = home.WriteFile(
      "openssl.cnf",
      "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = sys\n[sys]\n"
      "MinProtocol = TLSv1\nCipherString = DEFAULT@SECLEVEL=0\n");
  ServeProcess serve(home, {"--listen", "127.0.0.1:0", "--cert", cert, "--key", key}, {"OPENSSL_CONF=" + conf});
  ASSERT_GT(serve.port(), 0) << serve.Stderr();
  auto handshake = [&](const std::string& options) {
    const std::string command = "OPENSSL_CONF=" + ShellQuoted(conf) +
                                " timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(serve.port()) +
                                " " + options + " </dev/null >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  };
  EXPECT_FALSE(handshake("-tls1_1")) << "TLS 1.1 was served";
  EXPECT_FALSE(handshake("-tls1")) << "TLS 1.0 was served";
  EXPECT_FALSE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA")) << "a CBC-SHA1 suite was served";
  EXPECT_FALSE(handshake("-tls1_2 -cipher AES128-GCM-SHA256")) << "a suite without forward secrecy was served";
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256"));
  EXPECT_TRUE(handshake("-tls1_3"));
}

}  // namespace
}  // namespace kx::test
