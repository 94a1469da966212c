// Test homes: a component folder with its own Config.ini and database, for one engine.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kx/error.h"

namespace kx::test {

// The engines under test: "SQLite", and "PostgreSQL", which runs when KX_TEST_PG_SERVER names a
// server ("host,port") and is skipped otherwise; and each again through ODBC ("OdbcSQLite",
// "OdbcPostgreSQL") where Debian's driver for it is installed, unless KX_TEST_ODBC is 0.
std::vector<std::string> Engines();
bool EngineAvailable(const std::string& engine);
// Whether the engine under test is PostgreSQL, or SQLite, reached directly or through ODBC.
bool OnPostgreSQL(const std::string& engine);
bool OnSQLite(const std::string& engine);
// Whether the engine under test is reached through ODBC.
bool ThroughOdbc(const std::string& engine);

// A temporary component folder with a Config.ini for `engine`, set as KX_HOME while it lives.
// `extra` lines are appended to section DATABASE. The schema folder is the source tree's.
class TestHome {
 public:
  explicit TestHome(const std::string& engine = "SQLite", const std::string& extraDatabaseLines = "",
                    bool writeConfig = true);
  ~TestHome();
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::string& folder() const { return folder_; }
  // Rewrites Config.ini with `content`.
  void WriteConfig(const std::string& content) const;
  // The Config.ini lines for this engine (section DATABASE and XML).
  std::string DefaultConfig(const std::string& extraDatabaseLines = "") const;
  // Creates the database objects and empties every table.
  void ResetDatabase() const;
  // Writes `content` to a file in the folder and returns its path.
  std::string WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string engine_;
  std::string folder_;
  std::string previousHome_;
  bool hadHome_ = false;
};

// A test run once per engine, each in a fresh home with an installed, empty database.
class EngineTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::unique_ptr<TestHome> home_;
};

// The exception of type E that `fn` throws; fails the test and returns `none` when it throws none.
template <class E>
E CaptureThrown(const std::function<void()>& fn, E none) {
  try {
    fn();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "expected an exception, none was thrown";
  return none;
}

// The component error `fn` raises; fails the test when it raises none.
kx::Error CaptureError(const std::function<void()>& fn);

// What a command printed and how it ended.
struct CommandOutcome {
  int exitCode = -1;
  std::string out, err;
};
// `s` quoted for the shell.
std::string ShellQuoted(const std::string& s);
// Runs the `kx` command with `--home` set to `home` and `args` (already quoted for the shell);
// `environment` ("NAME=value ...", quoted for the shell) is set for the command alone.
CommandOutcome RunKx(const TestHome& home, const std::string& args, const std::string& environment = "");

// The source tree's schema folder, with a final separator.
std::string SchemaFolder();

// How many descriptors of this process refer to the file at `path`.
int DescriptorsOf(const std::string& path);

// Runs `round(thread, n)` for n = 0 .. rounds-1 on each of `threads` threads at once; the number
// of rounds that returned true.
int RightOnThreads(int threads, int rounds, const std::function<bool(int thread, int round)>& round);

}  // namespace kx::test

#define KX_ENGINE_SUITE(Suite) \
  INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::ValuesIn(::kx::test::Engines()), \
                           [](const auto& info) { return info.param; })
