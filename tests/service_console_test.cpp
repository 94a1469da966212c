// The operator console's files as `kx serve` answers them, and GET /v1/_me.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <fstream>

#include "service/console.h"
#include "service_support.h"

namespace kx::test {
namespace {

using json = nlohmann::json;

// A console folder of its own, with a file beside it that must never be served.
struct ConsoleFolder {
  TestHome home{"SQLite", "", true};
  std::string folder = home.folder() + "/console";
  ConsoleFolder() {
    mkdir(folder.c_str(), 0755);
    mkdir((folder + "/js").c_str(), 0755);
    Write("index.html", "<!doctype html><title>t</title>");
    Write("js/main.js", "export const a = 1;\n");
    Write(".hidden", "secret");
    home.WriteFile("secret.txt", "outside");
    symlink((home.folder() + "/secret.txt").c_str(), (folder + "/linked.txt").c_str());
  }
  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(folder + "/" + name, std::ios::binary) << content;
  }
};

TEST(ServiceConsole, FilesAreServedWithTheirTypeTagAndPolicy) {
  ConsoleFolder files;
  ServiceOptions options;
  options.console = files.folder;
  RunningService svc(options);
  auto client = svc.Client();

  auto index = client.Get("/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);
  EXPECT_EQ(index->body, "<!doctype html><title>t</title>");
  EXPECT_EQ(index->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(index->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
  EXPECT_EQ(index->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(index->get_header_value("Referrer-Policy"), "no-referrer");
  EXPECT_EQ(index->get_header_value("Cache-Control"), "no-cache");
  const std::string etag = index->get_header_value("ETag");
  ASSERT_EQ(etag.size(), 34u);

  auto script = client.Get("/js/main.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_NE(script->get_header_value("ETag"), etag);

  // A client that holds the file is told so without it. (This HTTP client reads a 304 up to the
  // connection's end, so it asks for the connection to close.)
  httplib::Client once("127.0.0.1", svc.port());
  auto again = once.Get("/index.html", {{"If-None-Match", etag}, {"Connection", "close"}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 304);
  EXPECT_TRUE(again->body.empty());
  EXPECT_EQ(client.Get("/", {{"If-None-Match", "\"other\""}})->status, 200);

  // HEAD tells the length and sends no body; the connection stays usable.
  auto head = client.Head("/js/main.js");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Length"), "20");
  EXPECT_EQ(client.Get("/js/main.js")->body, "export const a = 1;\n");

  // API answers carry the same protection.
  auto health = client.Get("/healthz");
  EXPECT_EQ(health->get_header_value("X-Content-Type-Options"), "nosniff");
}

TEST(ServiceConsole, NoPathReachesAFileOutsideTheFolderOrAHiddenOne) {
  ConsoleFolder files;
  ServiceOptions options;
  options.console = files.folder;
  RunningService svc(options);
  for (const char* path : {"/../secret.txt", "/js/../../secret.txt", "/%2e%2e/secret.txt", "/js/%2e%2e/index.html",
                           "/.hidden", "/linked.txt", "//index.html", "/js", "/js/", "/index.html/", "/Config.ini"}) {
    httplib::Client client("127.0.0.1", svc.port());
    auto r = client.Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 404) << path;
    EXPECT_EQ(r->body.find("outside"), std::string::npos) << path;
    EXPECT_EQ(r->body.find("secret\""), std::string::npos) << path;
  }
  // Only reads: a POST to a file's path is no call.
  httplib::Client client("127.0.0.1", svc.port());
  EXPECT_EQ(client.Post("/index.html", "", "application/json")->status, 404);
}

TEST(ServiceConsole, AFolderWithoutIndexOrTooLargeAFileStopsTheStart) {
  ConsoleFolder files;
  std::remove((files.folder + "/index.html").c_str());
  EXPECT_THROW(service::ConsoleFiles::Load(files.folder), std::runtime_error);
  files.Write("index.html", std::string(service::ConsoleFiles::kMaxFileBytes + 1, 'x'));
  EXPECT_THROW(service::ConsoleFiles::Load(files.folder), std::runtime_error);
  EXPECT_THROW(service::ConsoleFiles::Load(files.folder + "/missing"), std::runtime_error);
  // "none" serves no console at all.
  ServiceOptions options;
  options.console = "none";
  RunningService svc(options);
  EXPECT_EQ(svc.Client().Get("/")->status, 404);
}

TEST(ServiceConsole, TheBuildTreeServesTheSourceConsole) {
  const std::string folder = service::DefaultConsoleFolder();
  ASSERT_FALSE(folder.empty());
  const auto files = service::ConsoleFiles::Load(folder);
  EXPECT_NE(files.Find("/"), nullptr);
  EXPECT_NE(files.Find("/js/api.js"), nullptr);
}

TEST(ServiceConsole, MeAnswersTheClientAndWhatItMayCall) {
  TestHome home;
  const std::string tokens = home.WriteFile(
      "tokens", TokenLine("reader", "r1", "C_JBOrder.getElementByXML,C_JBOrder.query*") +
                    TokenLine("admin", "a1", "C_*.*,S_DBHelpForKX.RunSQLReturnRS"));
  chmod(tokens.c_str(), 0600);
  ServiceOptions options;
  options.tokens = tokens;
  RunningService svc(options);
  auto client = svc.Client();

  auto reader = client.Get("/v1/_me", {{"Authorization", "Bearer r1"}});
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->status, 200) << reader->body;
  EXPECT_EQ(reader->get_header_value("Cache-Control"), "no-store");
  const json r = json::parse(reader->body);
  EXPECT_EQ(r["client"], "reader");
  EXPECT_EQ(r["signIn"], true);
  EXPECT_EQ(r["may"], json::array({"C_JBOrder.getElementByXML", "C_JBOrder.query*"}));
  // Patterns match without regard to case: "query*" takes QueryJBDiary too.
  EXPECT_EQ(r["allowed"], json::array({"C_JBOrder.getElementByXML", "C_JBOrder.queryOwnedElementsByXML", "C_JBOrder.QueryJBDiary"}));

  const json a = json::parse(client.Get("/v1/_me", {{"Authorization", "Bearer a1"}})->body);
  EXPECT_EQ(a["client"], "admin");
  const auto& allowed = a["allowed"];
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), "C_JBOrder.Issue"), allowed.end());
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), "C_JBContainerRetrievingTempFile.Finish"), allowed.end());
  // Only the controllers are listed: what the console may offer.
  for (const auto& m : allowed) EXPECT_EQ(m.get<std::string>().rfind("C_", 0), 0u) << m;

  auto none = client.Get("/v1/_me");
  EXPECT_EQ(none->status, 401);
  EXPECT_EQ(none->get_header_value("WWW-Authenticate"), "Bearer");
  EXPECT_EQ(client.Get("/v1/_me", {{"Authorization", "Bearer wrong"}})->status, 401);
  // The log names the client, never the token.
  bool named = false;
  for (const auto& line : svc.Log()) {
    EXPECT_EQ(line.find("a1\""), std::string::npos);
    named = named || line.find("\"token\": \"reader\"") != std::string::npos;
  }
  EXPECT_TRUE(named);
}

TEST(ServiceConsole, WithoutATokenFileMeSaysNoSignInIsNeeded) {
  TestHome home;
  RunningService svc;
  const auto answer = svc.Client().Get("/v1/_me");
  ASSERT_EQ(answer->status, 200);
  const json me = json::parse(answer->body);
  EXPECT_TRUE(me["client"].is_null());
  EXPECT_EQ(me["signIn"], false);
  EXPECT_NE(std::find(me["allowed"].begin(), me["allowed"].end(), "C_JBOrder.add"), me["allowed"].end());
}

}  // namespace
}  // namespace kx::test
