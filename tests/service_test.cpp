// The HTTP service, called over real HTTP on 127.0.0.1 with an ephemeral port, on each engine.
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "kx/error.h"
#include "runtime/expose.h"
#include "service/call.h"
#include "service/json.h"
#include "service/server.h"
#include "service/tokens.h"
#include "service_support.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

using nlohmann::json;
using service::Service;
using service::ServiceOptions;

// A class only the tests register: a member that writes and then fails, and one that fails in a
// way no component should.
class T_ServiceProbe : public Object {
 public:
  std::string_view ClassName() const override { return "T_ServiceProbe"; }
  std::string WriteThenFail(const std::string& code) {
    return Guard("WriteThenFail Function", [&]() -> std::string {
      InsertRow(code, "written", "W");
      Fail(5, "failed after writing " + code);
    });
  }
  std::string Crash() { throw std::logic_error("a fault no component raises"); }
};

const AtLoad registerProbe([] {
  Expose<T_ServiceProbe>("T_ServiceProbe")
      .Method("WriteThenFail", &T_ServiceProbe::WriteThenFail, {"Code"})
      .Method("Crash", &T_ServiceProbe::Crash)
      .Register();
});

struct Reply {
  int status = 0;
  json body;
  std::string text;
};

Reply Post(httplib::Client& client, const std::string& path, const std::string& body,
           const std::string& token = "", const std::string& type = "application/json") {
  httplib::Headers headers;
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  const auto res = client.Post(path, headers, body, type.c_str());
  if (!res) {
    ADD_FAILURE() << "no answer to " << path << ": " << httplib::to_string(res.error());
    return {};
  }
  Reply r{res->status, json::parse(res->body, nullptr, false), res->body};
  return r;
}

Reply Call(httplib::Client& client, const std::string& cls, const std::string& member, const json& args,
           const std::string& token = "") {
  return Post(client, "/v1/" + cls + "/" + member, json{{"args", args}}.dump(), token);
}

class Service_ : public EngineTest {};

TEST_P(Service_, TypeProfileMembersRoundTripAsTheCommandAnswers) {
  RunningService svc;
  auto client = svc.Client();
  Reply r = Call(client, "C_JBTypeProfile", "add", json::array({ProfileXml("TRK", "Truck")}));
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_TRUE(r.body.contains("result"));
  EXPECT_EQ(r.body["out"], json::object());

  // Positional and named arguments give the same answer, which is the in-process call's JSON.
  const Reply byPosition = Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"TRK"}));
  const Reply byName = Call(client, "C_JBTypeProfile", "getElementByXML", json{{"key", "TRK"}});
  ASSERT_EQ(byPosition.status, 200) << byPosition.text;
  EXPECT_EQ(byPosition.text, byName.text);
  EXPECT_EQ(byPosition.text,
            service::RunCall("C_JBTypeProfile", "getElementByXML", {Variant("TRK")}, true).json);
  EXPECT_NE(byPosition.body["result"].get<std::string>().find("JBTypeName=\"Truck\""), std::string::npos);

  // By-reference values come back in "out", by position and by name.
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(
        Call(client, "C_JBTypeProfile", "add", json::array({ProfileXml("Q" + std::to_string(i))})).status,
        200);
  r = Call(client, "C_JBTypeProfile", "queryOwnedElementsByXML", json::array({0, 0, 2, 1, ""}));
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_EQ(r.body["out"], (json{{"ResultCount", 4}, {"ResultPages", 2}}));
  r = Call(client, "C_JBTypeProfile", "queryOwnedElementsByXML",
           json{{"CountPerPage", 3}, {"PageNumber", 2}});
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_EQ(r.body["out"], (json{{"ResultCount", 4}, {"ResultPages", 2}}));

  // An XML body goes to the member's document parameter; the others come from the query string.
  r = Post(client, "/v1/C_JBTypeProfile/modify", ProfileXml("TRK", "Lorry"), "", "application/xml");
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_EQ(StoredRow("TRK"), (std::vector<std::string>{"Lorry", "c"}));
  r = Post(client, "/v1/C_JBTypeProfile/queryOwnedElementsByXML?CountPerPage=1&PageNumber=1",
           "<AccessKeys><AccessKey Field=\"Code\" SearchCondition=\"BeginWith\" Key=\"Q\"/></AccessKeys>", "",
           "application/xml");
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_EQ(r.body["out"], (json{{"ResultCount", 3}, {"ResultPages", 3}}));

  r = Call(client, "C_JBTypeProfile", "remove", json::array({"TRK"}));
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_TRUE(StoredRow("TRK").empty());
}

// Every status the service answers with, each from a real request.
TEST_P(Service_, EveryStatusComesFromARealRequest) {
  const std::string tokens =
      home_->WriteFile("tokens", TokenLine("reader", "r-token", "C_JBTypeProfile.getElementByXML") +
                                     TokenLine("writer", "w-token", "C_JBTypeProfile.*, T_ServiceProbe.*") +
                                     TokenLine("any", "a-token", "*"));
  ServiceOptions options;
  options.tokens = tokens;
  options.http.bodyLimit = 4096;
  RunningService svc(options);
  auto client = svc.Client();
  InsertRow("A", "n", "c");
  const std::string get = "/v1/C_JBTypeProfile/getElementByXML";
  struct Case {
    std::string name, path, body, token, type;
    int status;
  };
  const std::vector<Case> cases = {
      {"answer", get, R"({"args": ["A"]})", "r-token", "application/json", 200},
      {"no JSON", get, R"({"args": [)", "r-token", "application/json", 400},
      {"args no list", get, R"({"args": 5})", "r-token", "application/json", 400},
      {"nested value", get, R"({"args": [["A"]]})", "r-token", "application/json", 400},
      {"too many", get, R"({"args": ["A", "B", "C"]})", "r-token", "application/json", 400},
      {"unknown name", get, R"({"args": {"nokey": "A"}})", "r-token", "application/json", 400},
      {"missing name", get, R"({"args": {}})", "r-token", "application/json", 400},
      {"type mismatch", "/v1/C_JBTypeProfile/queryOwnedElementsByXML", R"({"args": [0, 0, "many"]})",
       "w-token", "application/json", 400},
      {"no token", get, R"({"args": ["A"]})", "", "application/json", 401},
      {"unknown token", get, R"({"args": ["A"]})", "x-token", "application/json", 401},
      {"not allowed", "/v1/C_JBTypeProfile/add", R"({"args": ["<Root/>"]})", "r-token", "application/json",
       403},
      {"helper refused", "/v1/S_DBHelpForKX/RunSQL", R"({"args": ["delete from JB_TYPE_PROFILE"]})",
       "w-token", "application/json", 403},
      {"unknown class", "/v1/C_Nothing/get", R"({"args": []})", "a-token", "application/json", 404},
      {"unknown member", "/v1/C_JBTypeProfile/nothing", R"({"args": []})", "a-token", "application/json",
       404},
      {"unknown path", "/v2/anything", "{}", "a-token", "application/json", 404},
      {"unknown class not named", "/v1/C_Nothing/get", R"({"args": []})", "w-token", "application/json", 403},
      {"over the cap", get, std::string(5000, ' '), "r-token", "application/json", 413},
      {"other type", get, "A", "r-token", "text/csv", 415},
      {"component error", get, R"({"args": ["NONE"]})", "r-token", "application/json", 422},
      {"never happens", "/v1/T_ServiceProbe/Crash", "{}", "w-token", "application/json", 500},
  };
  for (const auto& c : cases) {
    const Reply r = Post(client, c.path, c.body, c.token, c.type);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.text;
    if (c.status == 200) continue;
    ASSERT_TRUE(r.body.is_object() && r.body.contains("error")) << c.name << ": " << r.text;
    for (const char* key : {"number", "source", "description"})
      EXPECT_TRUE(r.body["error"].contains(key)) << c.name << ": " << r.text;
  }
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "c"}));  // the refused delete did not run

  // A database that cannot be reached: 503, and readiness says so.
  home_->WriteConfig("[DATABASE]\nPROVIDER=SQLite\nSERVERNAME=" + home_->folder() +
                     "/missing\nDATABASENAME=none\n");
  const Reply down = Post(client, get, R"({"args": ["A"]})", "r-token");
  EXPECT_EQ(down.status, 503) << down.text;
  EXPECT_EQ(client.Get("/readyz")->status, 503);
  EXPECT_EQ(client.Get("/healthz")->status, 200);
}

TEST_P(Service_, ATokenMayCallOnlyWhatItNamesAndTheFileIsReadAgainWhenItChanges) {
  const std::string path =
      home_->WriteFile("tokens", TokenLine("front", "t1", "C_JBTypeProfile.getElementByXML"));
  ServiceOptions options;
  options.tokens = path;
  RunningService svc(options);
  auto client = svc.Client();
  InsertRow("A", "n", "c");
  EXPECT_EQ(Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"A"}), "t1").status, 200);
  EXPECT_EQ(Call(client, "C_JBTypeProfile", "add", json::array({ProfileXml("B")}), "t1").status, 403);
  EXPECT_EQ(
      Call(client, "S_DBHelpForKX", "RunSQL", json::array({"delete from JB_TYPE_PROFILE"}), "t1").status,
      403);
  EXPECT_EQ(RowCount(), 1);

  // The file changes while the service runs: the old token goes, the new one may run SQL because
  // it names the helper itself.
  home_->WriteFile("tokens", "# rotated\n" + TokenLine("ops", "t2", "S_DBHelpForKX.RunSQLReturnRS"));
  EXPECT_EQ(Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"A"}), "t1").status, 401);
  const Reply rows = Call(client, "S_DBHelpForKX", "RunSQLReturnRS",
                          json::array({"select JB_TYPE_CODE from JB_TYPE_PROFILE"}), "t2");
  ASSERT_EQ(rows.status, 200) << rows.text;
  ASSERT_EQ(rows.body["result"].size(), 1u) << rows.text;  // column names are the engine's own case
  EXPECT_EQ(rows.body["result"][0].begin().value(), "A") << rows.text;
  EXPECT_EQ(
      Call(client, "S_DBHelpForKX", "RunSQL", json::array({"delete from JB_TYPE_PROFILE"}), "t2").status,
      403);

  // A file that cannot be used refuses every call until it is mended.
  home_->WriteFile("tokens", "ops not-a-digest S_DBHelpForKX.RunSQLReturnRS\n");
  EXPECT_EQ(Call(client, "S_DBHelpForKX", "RunSQLReturnRS", json::array({"select 1"}), "t2").status, 503);
  EXPECT_EQ(svc.Client().Get("/readyz")->status, 503);
  home_->WriteFile("tokens", TokenLine("ops", "t2", "*"));
  EXPECT_EQ(Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"A"}), "t2").status, 200);
  // A pattern with '*' never reaches the helper or the entity and storage classes.
  EXPECT_EQ(Call(client, "S_DBHelpForKX", "RunSQLReturnRS", json::array({"select 1"}), "t2").status, 403);
  EXPECT_EQ(Call(client, "E_JBTypeProfile", "isDirty", json::array(), "t2").status, 403);
}

TEST_P(Service_, AFailedCallWritesNothing) {
  RunningService svc;
  auto client = svc.Client();
  const Reply r = Call(client, "T_ServiceProbe", "WriteThenFail", json::array({"GONE"}));
  EXPECT_EQ(r.status, 422) << r.text;
  EXPECT_NE(r.body["error"]["description"].get<std::string>().find("failed after writing GONE"),
            std::string::npos);
  EXPECT_TRUE(StoredRow("GONE").empty());
  EXPECT_EQ(RowCount(), 0);
}

TEST_P(Service_, ConcurrentClientsLoseNothingAndOneCodeIsAddedOnce) {
  RunningService svc;
  constexpr int kClients = 8, kCalls = 200;
  std::atomic<int> ok{0}, refused{0}, other{0};
  auto run = [&](bool shared) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
      threads.emplace_back([&, t] {
        auto client = svc.Client();
        client.set_keep_alive(true);
        for (int i = 0; i < (shared ? 1 : kCalls); ++i) {
          const std::string code = shared ? "SHARED" : "C" + std::to_string(t) + "_" + std::to_string(i);
          const int status = Call(client, "C_JBTypeProfile", "add", json::array({ProfileXml(code)})).status;
          (status == 200 ? ok : status == 422 ? refused : other)++;
        }
      });
    }
    for (auto& th : threads) th.join();
  };
  run(false);
  EXPECT_EQ(ok, kClients * kCalls);
  EXPECT_EQ(other + refused, 0);
  EXPECT_EQ(RowCount(), kClients * kCalls);
  ok = 0;
  run(true);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(refused, kClients - 1);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(RowCount(), kClients * kCalls + 1);
}

TEST_P(Service_, MetricsAndTheAccessLogTellEachRequestWithoutBodiesOrTokens) {
  const std::string tokens = home_->WriteFile("tokens", TokenLine("front", "secret-token", "*"));
  ServiceOptions options;
  options.tokens = tokens;
  RunningService svc(options);
  auto client = svc.Client();
  ASSERT_EQ(
      Call(client, "C_JBTypeProfile", "add", json::array({ProfileXml("SECRETCODE")}), "secret-token").status,
      200);
  EXPECT_EQ(Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"NONE"}), "secret-token").status,
            422);
  EXPECT_EQ(Call(client, "C_Unknown_abc", "x", json::array(), "secret-token").status, 404);
  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  const std::string& m = metrics->body;
  EXPECT_NE(m.find("kx_requests_total{class=\"C_JBTypeProfile\",member=\"add\",status=\"200\"} 1"),
            std::string::npos)
      << m;
  EXPECT_NE(
      m.find("kx_requests_total{class=\"C_JBTypeProfile\",member=\"getElementByXML\",status=\"422\"} 1"),
      std::string::npos)
      << m;
  EXPECT_EQ(m.find("C_Unknown_abc"), std::string::npos) << "unknown names would let callers grow the metrics";
  EXPECT_NE(m.find("kx_request_duration_seconds_count 3"), std::string::npos) << m;
  EXPECT_NE(m.find("kx_requests_in_flight 0"), std::string::npos) << m;
  EXPECT_NE(m.find("kx_pool_connections{state=\"idle\"}"), std::string::npos) << m;

  const auto log = svc.Log();
  ASSERT_GE(log.size(), 3u);
  const json first = json::parse(log[0]);
  EXPECT_EQ(first["token"], "front");
  EXPECT_EQ(first["class"], "C_JBTypeProfile");
  EXPECT_EQ(first["member"], "add");
  EXPECT_EQ(first["status"], 200);
  for (const char* key : {"time", "request_id", "ms"}) EXPECT_TRUE(first.contains(key)) << log[0];
  for (const auto& line : log) {
    EXPECT_EQ(line.find("SECRETCODE"), std::string::npos) << line;
    EXPECT_EQ(line.find("secret-token"), std::string::npos) << line;
  }
}

KX_ENGINE_SUITE(Service_);

// The PostgreSQL server restarted under a running service: calls fail while it is away and work
// again afterwards, without restarting the service.
TEST(ServiceServerRestart, CallsWorkAgainWithoutRestartingTheService) {
  const char* restart = std::getenv("KX_TEST_PG_CTL");
  if (!EngineAvailable("PostgreSQL") || !restart || !*restart)
    GTEST_SKIP() << "no restart command for the test server given (KX_TEST_PG_CTL)";
  TestHome home("PostgreSQL");
  home.ResetDatabase();
  InsertRow("A", "n", "c");
  ServiceOptions options;
  options.workers = 4;
  RunningService svc(options);
  // Several connections into the pool, all of which die with the server.
  std::vector<std::thread> warm;
  for (int i = 0; i < 4; ++i)
    warm.emplace_back([&] {
      auto client = svc.Client();
      EXPECT_EQ(Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"A"})).status, 200);
    });
  for (auto& t : warm) t.join();
  ASSERT_EQ(std::system((std::string(restart) + " >/dev/null 2>&1").c_str()), 0);
  auto client = svc.Client();
  int status = 0;
  for (int attempt = 0; attempt < 20 && status != 200; ++attempt) {
    const Reply r = Call(client, "C_JBTypeProfile", "getElementByXML", json::array({"A"}));
    status = r.status;
    if (status != 200) {
      EXPECT_TRUE(status == 503 || status == 422) << r.text;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Call(client, "C_JBTypeProfile", "add", json::array({ProfileXml("B")})).status, 200);
  EXPECT_EQ(RowCount(), 2);
}

// ---- the service as its own process: the command line, shutdown, the shell client

class ServeCommand : public EngineTest {};

TEST_P(ServeCommand, ShutdownFinishesTheCallsInFlightAndExitsZero) {
  const std::string tokens =
      home_->WriteFile("tokens", TokenLine("ops", "t", "S_DBHelpForKX.RunSQLReturnRS"));
  ServeProcess serve(*home_, {"--listen", "127.0.0.1:0", "--tokens", tokens, "--workers", "4"});
  ASSERT_EQ(serve.firstLine().rfind("listening on http://127.0.0.1:", 0), 0u)
      << serve.firstLine() << serve.Stderr();
  // A statement that takes a good part of a second on either engine.
  const std::string slow =
      "with recursive c(x) as (select 1 union all select x + 1 from c where x < 4000000) select count(*) as "
      "n from c";
  using Clock = std::chrono::steady_clock;
  std::vector<int> statuses(3, 0);
  std::vector<Clock::time_point> answered(3);
  std::vector<std::thread> calls;
  for (size_t i = 0; i < statuses.size(); ++i)
    calls.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", serve.port());
      client.set_read_timeout(60, 0);
      statuses[i] = Call(client, "S_DBHelpForKX", "RunSQLReturnRS", json::array({slow}), "t").status;
      answered[i] = Clock::now();
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto signalled = Clock::now();
  serve.Signal(SIGTERM);
  for (auto& t : calls) t.join();
  EXPECT_EQ(serve.Wait(30), 0) << serve.Stderr();
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 200})) << serve.Stderr();
  for (const auto& at : answered)
    EXPECT_GT(at, signalled) << "a call ended before the signal: make it slower";
  httplib::Client late("127.0.0.1", serve.port());
  EXPECT_FALSE(late.Get("/healthz")) << "the stopped service still answers";
}

TEST_P(ServeCommand, TheShellClientAnswersAsTheCommandDoes) {
  InsertRow("A", "n", "c");
  ServeProcess serve(*home_, {"--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.port(), 0) << serve.Stderr();
  const std::string url = "--url http://127.0.0.1:" + std::to_string(serve.port());
  for (const std::string flags : {"--json", ""}) {
    for (const std::string& call :
         std::vector<std::string>{"C_JBTypeProfile getElementByXML A", "C_JBTypeProfile getElementByXML NONE",
                                  "C_JBTypeProfile queryOwnedElementsByXML 0 0 10 1"}) {
      const CommandOutcome local = RunKx(*home_, "--quiet call " + flags + " " + call);
      const CommandOutcome remote = RunKx(*home_, "--quiet call " + flags + " " + url + " " + call);
      EXPECT_EQ(remote.exitCode, local.exitCode) << call;
      EXPECT_EQ(remote.out, local.out) << call;
      EXPECT_EQ(remote.err, local.err) << call;
    }
  }
}

KX_ENGINE_SUITE(ServeCommand);

TEST(ServeCommandLine, RefusesToListenBeyondLoopbackWithoutTokens) {
  TestHome home;
  const CommandOutcome r = RunKx(home, "--quiet serve --listen 0.0.0.0:0");
  EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("token file"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("listening"), std::string::npos);
  const CommandOutcome help = RunKx(home, "serve --help");
  for (const char* option : {"--listen", "--tokens", "--workers"})
    EXPECT_NE(help.out.find(option), std::string::npos) << help.out;
}

TEST(ServeCommandLine, AnInProcessCallLoadsNoHttpStack) {
  TestHome home;
  home.ResetDatabase();
  const CommandOutcome local = RunKx(home, "--quiet call C_JBTypeProfile containsKey X", "LD_DEBUG=files");
  EXPECT_EQ(local.exitCode, 0) << local.err;
  for (const char* library : {"libkx_service", "libssl", "libcpp-httplib"})
    EXPECT_EQ(local.err.find(library), std::string::npos) << library << " loaded for an in-process call";
  const CommandOutcome remote =
      RunKx(home, "--quiet call --url http://127.0.0.1:9 C_JBTypeProfile containsKey X", "LD_DEBUG=files");
  EXPECT_EQ(remote.exitCode, 1);
  EXPECT_NE(remote.err.find("libkx_service"), std::string::npos) << "the service module was not loaded";
  EXPECT_NE(remote.err.find("cannot be reached"), std::string::npos) << remote.err;
}

TEST(TokenFile, PatternsAndLines) {
  struct Case {
    std::string pattern, cls, member;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"C_JBOrder.*", "C_JBOrder", "add", true},
      {"c_jborder.ADD", "C_JBOrder", "add", true},
      {"C_JBOrder.*", "C_JBOrderX", "add", false},
      {"C_JBOrder.get*", "C_JBOrder", "getElementByXML", true},
      {"C_JBOrder.get*", "C_JBOrder", "add", false},
      {"*", "C_JBTypeProfile", "remove", true},
      {"*.remove", "C_JBTypeProfile", "remove", true},
      {"*", "S_DBHelpForKX", "RunSQL", false},
      {"S_*.RunSQL", "S_DBHelpForKX", "RunSQL", false},
      {"S_DBHelpForKX.*", "S_DBHelpForKX", "RunSQL", true},
      {"E_JBOrder.load", "E_JBOrder", "load", true},
      {"*.load", "E_JBOrder", "load", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(service::Allows({c.pattern}, c.cls, c.member), c.allowed)
        << c.pattern << " " << c.cls << "." << c.member;

  const auto clients =
      service::ParseTokens("# comment\n\n" + TokenLine("a", "x", "C_A.*, C_B.get  # trailing"));
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].patterns, (std::vector<std::string>{"C_A.*", "C_B.get"}));
  for (const std::string& bad :
       std::vector<std::string>{"a\n", "a 1234 C_A.*\n", TokenLine("a", "x", "") + "\n",
                                TokenLine("a", "x", "C_A.*") + TokenLine("a", "y", "C_B.*")})
    EXPECT_THROW(service::ParseTokens(bad), std::runtime_error) << bad;
}

TEST(JsonAnswers, AreValidJsonWhateverTheValuesHold) {
  struct Case {
    std::string in, text;  // the value, and what a JSON reader gets back
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"quote \" back\\slash\n\t\x01", "quote \" back\\slash\n\t\x01"},
      {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\xA2",
       "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\xA2"},  // kept as they are
      {"cut \xC3", "cut \xEF\xBF\xBD"},
      {"\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    const json parsed = json::parse(JsonString(c.in), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << JsonString(c.in);
    EXPECT_EQ(parsed.get<std::string>(), c.text) << JsonString(c.in);
  }
  EXPECT_EQ(JsonValue(Variant(std::nan(""))), "null");
  EXPECT_EQ(JsonValue(Variant(2.5)), "2.5");
}

TEST(ServiceTls, AnswersOverHttpsWithItsCertificate) {
  TestHome home;
  home.ResetDatabase();
  const std::string cert = home.folder() + "/cert.pem", key = home.folder() + "/key.pem";
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
      "-subj /CN=127.0.0.1 -keyout " +
      ShellQuoted(key) + " -out " + ShellQuoted(cert) + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  ServiceOptions half;
  half.certificate = cert;
  EXPECT_THROW(Service{half}, std::runtime_error);
  ServiceOptions options;
  options.certificate = cert;
  options.privateKey = key;
  options.host = "127.0.0.1";
  options.port = 0;
  Service svc(options);
  const int port = svc.Bind();
  EXPECT_EQ(svc.Url(), "https://127.0.0.1:" + std::to_string(port));
  svc.SetLogSink([](const std::string&) {});
  std::thread runner([&] { svc.Run(); });
  httplib::SSLClient secure("127.0.0.1", port);
  secure.set_ca_cert_path(cert.c_str());
  secure.enable_server_certificate_verification(true);
  const auto ok = secure.Get("/healthz");
  httplib::Client plain("127.0.0.1", port);
  const auto refused = plain.Get("/healthz");
  svc.Stop();
  runner.join();
  ASSERT_TRUE(ok) << httplib::to_string(ok.error());
  EXPECT_EQ(ok->status, 200);
  EXPECT_TRUE(!refused || refused->status != 200) << "plain HTTP was answered";
}

}  // namespace
}  // namespace kx::test
