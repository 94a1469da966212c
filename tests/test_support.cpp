#include "test_support.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "runtime/db/connection.h"
#include "kx/host.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::test {

namespace {

// Whether Debian's ODBC driver library `file` is installed (in the multiarch folder of the driver
// manager's drivers, where its odbcinst.ini entry names it).
bool OdbcDriverInstalled(const std::string& file) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib", ec))
    if (std::filesystem::exists(entry.path() / "odbc" / file, ec)) return true;
  return false;
}

}  // namespace

std::vector<std::string> Engines() {
  static const std::vector<std::string> engines = [] {
    std::vector<std::string> all = {"SQLite", "PostgreSQL"};
    // Through ODBC wherever Debian's drivers are installed, unless KX_TEST_ODBC=0 turns it off.
    const char* odbc = std::getenv("KX_TEST_ODBC");
    if (odbc && std::string(odbc) == "0") return all;
    if (OdbcDriverInstalled("libsqlite3odbc.so")) all.push_back("OdbcSQLite");
    if (OdbcDriverInstalled("psqlodbcw.so")) all.push_back("OdbcPostgreSQL");
    return all;
  }();
  return engines;
}

bool OnPostgreSQL(const std::string& engine) { return engine == "PostgreSQL" || engine == "OdbcPostgreSQL"; }
bool OnSQLite(const std::string& engine) { return engine == "SQLite" || engine == "OdbcSQLite"; }
bool ThroughOdbc(const std::string& engine) { return engine.rfind("Odbc", 0) == 0; }

bool EngineAvailable(const std::string& engine) {
  if (!OnPostgreSQL(engine)) return true;
  const char* pg = std::getenv("KX_TEST_PG_SERVER");
  return pg && *pg;
}

std::string SchemaFolder() { return std::string(KX_SOURCE_DIR) + "/schemas/"; }

TestHome::TestHome(const std::string& engine, const std::string& extra, bool writeConfig) : engine_(engine) {
  char pattern[] = "/tmp/kx-test.XXXXXX";
  folder_ = mkdtemp(pattern);
  if (const char* home = std::getenv("KX_HOME")) {
    hadHome_ = true;
    previousHome_ = home;
  }
  setenv("KX_HOME", folder_.c_str(), 1);
  if (writeConfig) WriteConfig(DefaultConfig(extra));
}

TestHome::~TestHome() {
  db::ClearPool();
  SetClock(nullptr);
  if (hadHome_)
    setenv("KX_HOME", previousHome_.c_str(), 1);
  else
    unsetenv("KX_HOME");
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::string TestHome::DefaultConfig(const std::string& extra) const {
  std::string db = "[DATABASE]\n";
  auto env = [](const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return std::string(v && *v ? v : fallback);
  };
  if (engine_ == "PostgreSQL") {
    db += "PROVIDER=PostgreSQL\nSERVERNAME=" + env("KX_TEST_PG_SERVER", "127.0.0.1") +
          "\nDATABASENAME=" + env("KX_TEST_PG_DATABASE", "kxtest") + "\nUSERID=" +
          env("KX_TEST_PG_USER", "kx") + "\nPASSWORD=\n";
  } else if (engine_ == "OdbcSQLite") {
    // Debian's SQLite ODBC driver, named by the connection string alone (no odbc.ini).
    db += "PROVIDER=ODBC\nCONNECTIONSTRING=Driver=SQLite3;Database=" + folder_ + "/kxtest.db\n";
  } else if (engine_ == "OdbcPostgreSQL") {
    const std::string server = env("KX_TEST_PG_SERVER", "127.0.0.1");
    const auto comma = server.find(',');
    db += "PROVIDER=ODBC\nCONNECTIONSTRING=Driver=PostgreSQL Unicode;Server=" + server.substr(0, comma) +
          ";Port=" + (comma == std::string::npos ? std::string("5432") : server.substr(comma + 1)) +
          ";Database=" + env("KX_TEST_PG_DATABASE", "kxtest") + ";UID=" + env("KX_TEST_PG_USER", "kx") + "\n";
  } else {
    db += "PROVIDER=SQLite\nDATABASENAME=kxtest\n";
  }
  return db + extra + "\n[XML]\nXMLSCHEMAPATH=" + SchemaFolder() + "\n";
}

void TestHome::WriteConfig(const std::string& content) const { WriteFile("Config.ini", content); }

std::string TestHome::WriteFile(const std::string& name, const std::string& content) const {
  const std::string path = folder_ + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

void TestHome::ResetDatabase() const {
  S_DBHelpForKX helper;
  const std::string cs = helper.GetConnectionString();
  db::InstallDatabase(cs);
  if (!OnPostgreSQL(engine_)) return;  // a fresh folder holds a fresh SQLite file
  auto c = db::Open(db::ConnectionInfo::Parse(cs));
  c->ExecuteScript(
      "TRUNCATE JB_TYPE_PROFILE, JB_ORDER, JB_CONTAINER_DETAIL, JB_DIARY, JB_DOOR_APPOINTMENT, "
      "JB_CONTAINER_RETRIEVING_TEMP_FILE, JB_CONTAINER_RETRIEVING_TEMP_DETAIL RESTART IDENTITY");
}

void EngineTest::SetUp() {
  if (!EngineAvailable(GetParam())) GTEST_SKIP() << "no PostgreSQL server given (KX_TEST_PG_SERVER)";
  home_ = std::make_unique<TestHome>(GetParam());
  home_->ResetDatabase();
}

void EngineTest::TearDown() { home_.reset(); }

std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

CommandOutcome RunKx(const TestHome& home, const std::string& args, const std::string& environment) {
  char pattern[] = "/tmp/kx-stderr.XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd >= 0) close(fd);
  const std::string command = (environment.empty() ? "" : "env " + environment + " ") +
                              ShellQuoted(KX_BINARY) + " --home " + ShellQuoted(home.folder()) + " " + args +
                              " 2>" + ShellQuoted(pattern);
  CommandOutcome result;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  } else {
    ADD_FAILURE() << "cannot run " << command;
  }
  std::ifstream err(pattern, std::ios::binary);
  result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  unlink(pattern);
  return result;
}

kx::Error CaptureError(const std::function<void()>& fn) { return CaptureThrown(fn, kx::Error(0, "", "")); }

int DescriptorsOf(const std::string& path) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (const dirent* entry = readdir(dir)) {
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) ++count;
  }
  closedir(dir);
  return count;
}

int RightOnThreads(int threads, int rounds, const std::function<bool(int thread, int round)>& round) {
  std::atomic<int> right{0};
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t)
    running.emplace_back([&, t] {
      for (int n = 0; n < rounds; ++n)
        if (round(t, n)) ++right;
    });
  for (auto& t : running) t.join();
  return right.load();
}

}  // namespace kx::test
