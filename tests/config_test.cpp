// Config.ini is parsed once and reused while it is unchanged; within one transaction scope the
// connection string is worked out once; what cannot be used is named with its file and key.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "runtime/context.h"
#include "kx/host.h"
#include "runtime/ini.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

void SetModifiedAt(const std::string& path, timespec when) {
  const timespec times[2] = {when, when};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Now plus `seconds`, with nanoseconds, as a file time.
timespec Seconds(long seconds) {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec += seconds;
  return t;
}

std::string DatabaseName() { return ReadIniValue(ConfigPath(), "DATABASE", "DATABASENAME", "none"); }

TEST(ConfigCache, AnUnchangedFileIsNotReadAgainAndAnyChangeOfItsStampIsSeen) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  struct Case {
    std::string name;
    std::string content;  // written in place
    // What else tells the change: the modification time, the size or the inode.
    enum { Nothing, Time, Size, Inode } stamp;
    std::string seen;
  };
  const std::vector<Case> cases = {
      {"same stamp: the parsed file is kept", "[DATABASE]\nDATABASENAME=BBBB\n", Case::Nothing, "AAAA"},
      {"a newer modification time", "[DATABASE]\nDATABASENAME=CCCC\n", Case::Time, "CCCC"},
      {"another size", "[DATABASE]\nDATABASENAME=DDDDD\n", Case::Size, "DDDDD"},
      {"another inode", "[DATABASE]\nDATABASENAME=EEEEE\n", Case::Inode, "EEEEE"},
  };
  home.WriteConfig("[DATABASE]\nDATABASENAME=AAAA\n");
  // Modified long enough ago that its stamp is trusted.
  timespec old = Seconds(-100);
  SetModifiedAt(path, old);
  EXPECT_EQ(DatabaseName(), "AAAA");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stamp == Case::Inode) {
      const std::string replacement = home.WriteFile("Config.new", c.content);
      ASSERT_EQ(std::rename(replacement.c_str(), path.c_str()), 0);
    } else {
      home.WriteConfig(c.content);  // the same inode
    }
    if (c.stamp == Case::Time) old.tv_nsec = (old.tv_nsec + 1) % 1000000000;
    SetModifiedAt(path, old);
    EXPECT_EQ(DatabaseName(), c.seen);
    EXPECT_EQ(DatabaseName(), c.seen);
  }
}

TEST(ConfigCache, AFileEditedWithinTheClocksTickIsReadAgain) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  // Two edits that leave size, inode and modification time alike, as two quick writes within one
  // tick of the file system's clock do.
  const timespec now = Seconds(0);
  home.WriteConfig("[DATABASE]\nDATABASENAME=AAAA\n");
  SetModifiedAt(path, now);
  EXPECT_EQ(DatabaseName(), "AAAA");
  home.WriteConfig("[DATABASE]\nDATABASENAME=BBBB\n");
  SetModifiedAt(path, now);
  EXPECT_EQ(DatabaseName(), "BBBB");
}

TEST(ConfigCache, AFileReadAgainWithTheSameTextIsNotParsedAgain) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  struct Case {
    std::string name;
    std::string content;
    long seconds;  // the modification time, from now
    bool same;     // the parsed file of the step before is given again
  };
  const std::vector<Case> cases = {
      {"first read of a new file", "[DATABASE]\nDATABASENAME=AAAA\n", 0, false},
      {"read again, too new to trust, same text", "[DATABASE]\nDATABASENAME=AAAA\n", 0, true},
      {"same size and time, other text", "[DATABASE]\nDATABASENAME=BBBB\n", 0, false},
      {"another time, same text", "[DATABASE]\nDATABASENAME=BBBB\n", -100, true},
      {"old enough to trust, other text", "[DATABASE]\nDATABASENAME=CCCCC\n", -50, false},
  };
  std::shared_ptr<const IniFile> before;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    home.WriteConfig(c.content);
    SetModifiedAt(path, Seconds(c.seconds));
    const auto now = IniFile::Load(path);
    EXPECT_EQ(now == before, c.same);
    EXPECT_EQ(now->Value("DATABASE", "DATABASENAME", ""), c.content.substr(24, c.content.size() - 25));
    before = now;
  }
}

TEST(ConfigCache, ANewFileIsFollowedThroughOneDescriptorUntilItCanBeTrusted) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  struct Case {
    std::string name;
    std::function<void()> change;
    std::string seen;
    int descriptors;  // open on the file afterwards
  };
  auto write = [&](const std::string& name, long seconds) {
    home.WriteConfig("[DATABASE]\nDATABASENAME=" + name + "\n");
    SetModifiedAt(path, Seconds(seconds));
  };
  const std::vector<Case> cases = {
      {"a new file stays open", [&] { write("AAAA", 0); }, "AAAA", 1},
      {"read again: no second descriptor", [] {}, "AAAA", 1},
      {"an edit in place within the tick", [&] { write("BBBB", 0); }, "BBBB", 1},
      {"replaced by another file",
       [&] {
         const std::string replacement = home.WriteFile("Config.new", "[DATABASE]\nDATABASENAME=CCCC\n");
         ASSERT_EQ(std::rename(replacement.c_str(), path.c_str()), 0);
       },
       "CCCC", 1},
      {"old enough to trust: closed", [&] { write("DDDD", -100); }, "DDDD", 0},
      {"trusted and unchanged", [] {}, "DDDD", 0},
      {"new again", [&] { write("EEEE", 0); }, "EEEE", 1},
      {"removed: closed", [&] { std::remove(path.c_str()); }, "none", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    EXPECT_EQ(DatabaseName(), c.seen);
    EXPECT_EQ(DatabaseName(), c.seen);
    EXPECT_EQ(DescriptorsOf(path), c.descriptors);
  }
}

TEST(ConfigCache, AFileThatComesAndGoesIsFollowed) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  EXPECT_EQ(DatabaseName(), "none");
  EXPECT_FALSE(IniFile::Load(ConfigPath())->exists());
  home.WriteConfig("[database]\n databasename = 'Quoted' \ndatabasename=second\n");
  EXPECT_EQ(DatabaseName(), "Quoted");
  EXPECT_TRUE(IniFile::Load(ConfigPath())->exists());
  std::remove(ConfigPath().c_str());
  EXPECT_EQ(DatabaseName(), "none");
}

class ConfigPerScope : public EngineTest {};

TEST_P(ConfigPerScope, AScopeWorksOutItsConnectionStringOnce) {
  const std::string edited = home_->DefaultConfig();
  {
    TransactionScope scope;
    InsertRow("A", "n", "TR");
    // An edit during the call takes effect with the next call, not half-way through this one.
    std::string other = edited;
    const std::string name = ThroughOdbc(GetParam()) ? "Database=" : "DATABASENAME=";
    other.replace(other.find(name), name.size(), name + "kx_other_");
    home_->WriteConfig(other);
    SetModifiedAt(ConfigPath(), Seconds(1));
    InsertRow("B", "n", "TR");
    EXPECT_EQ(RowCount(), 2);
    EXPECT_TRUE(scope.Complete());
  }
  const Error next = CaptureError([] { RowCount(); });
  EXPECT_NE(next.description().find("kx_other_"), std::string::npos) << next.description();
  home_->WriteConfig(edited);
  SetModifiedAt(ConfigPath(), Seconds(2));
  EXPECT_EQ(RowCount(), 2);
}

KX_ENGINE_SUITE(ConfigPerScope);

TEST(ConfigPerCall, ACallReadsConfigIniOnceAndTheNextCallSeesAnEdit) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  auto schemaFolder = [] { return QLP_Sch_FilePath(); };
  auto databaseName = [&] { return sGetINI(path, "DATABASE", "DATABASENAME", "none"); };
  auto edit = [&](const std::string& folder, const std::string& database, long seconds) {
    home.WriteConfig("[DATABASE]\nDATABASENAME=" + database + "\n[XML]\nXMLSCHEMAPATH=" + folder + "\n");
    SetModifiedAt(path, Seconds(seconds));
  };
  edit("/first/", "one", -100);
  {
    TransactionScope scope;
    EXPECT_EQ(schemaFolder(), "/first/");
    // An edit half-way through the call: every later look within it reads what the first one read.
    edit("/second/", "two", -50);
    EXPECT_EQ(schemaFolder(), "/first/");
    EXPECT_EQ(databaseName(), "one");
    {
      // A scope of its own is a call of its own.
      TransactionScope inner;
      EXPECT_EQ(schemaFolder(), "/second/");
    }
    EXPECT_EQ(databaseName(), "one");
  }
  // Outside any scope, and in the next call, the file is read as it is now.
  EXPECT_EQ(schemaFolder(), "/second/");
  edit("/third/", "three", -20);
  TransactionScope next;
  EXPECT_EQ(databaseName(), "three");
  EXPECT_EQ(schemaFolder(), "/third/");
}

// The component folder follows KX_HOME however the environment changes between calls, and within
// one call stays what the call began with.
TEST(ConfigPerCall, TheSettingsPathFollowsEveryChangeOfKxHome) {
  const char* was = std::getenv("KX_HOME");
  const std::string saved = was ? was : "";
  static char changedInPlace[] = "KX_HOME=/in/place/a";
  const struct {
    const char* what;
    std::function<void()> change;
    std::string expected;
  } steps[] = {
      {"set", [] { setenv("KX_HOME", "/one", 1); }, "/one/Config.ini"},
      {"set again", [] { setenv("KX_HOME", "/two", 1); }, "/two/Config.ini"},
      {"another variable added", [] { setenv("KX_TEST_OTHER", "x", 1); }, "/two/Config.ini"},
      {"an earlier variable removed", [] { unsetenv("KX_TEST_OTHER"); }, "/two/Config.ini"},
      {"removed and set anew", [] { unsetenv("KX_HOME"); setenv("KX_HOME", "/three", 1); }, "/three/Config.ini"},
      {"back to an earlier value", [] { setenv("KX_HOME", "/one", 1); }, "/one/Config.ini"},
      {"put", [] { putenv(changedInPlace); }, "/in/place/a/Config.ini"},
      {"changed where it stands", [] { changedInPlace[sizeof changedInPlace - 2] = 'b'; }, "/in/place/b/Config.ini"},
      {"renamed where it stands", [] { changedInPlace[6] = 'X'; }, OwnFolder() + "/Config.ini"},
      {"trailing slashes", [] { setenv("KX_HOME", "/four//", 1); }, "/four/Config.ini"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    EXPECT_EQ(ConfigPath(), step.expected);
    TransactionScope call;
    EXPECT_EQ(ConfigPath(), step.expected);
  }
  {
    TransactionScope call;
    EXPECT_EQ(ConfigPath(), "/four/Config.ini");
    setenv("KX_HOME", "/elsewhere", 1);
    EXPECT_EQ(ConfigPath(), "/four/Config.ini") << "within the call";
  }
  EXPECT_EQ(ConfigPath(), "/elsewhere/Config.ini");
  unsetenv("KX_TEST_OTHER");
  if (was) setenv("KX_HOME", saved.c_str(), 1); else unsetenv("KX_HOME");
}

TEST(ConfigPerCall, AConnectionStringFollowsEveryEditOfTheFile) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  // The same file state gives the same string; each edit (another database, another folder, a
  // missing file) gives its own at once, also when an earlier state was worked out before.
  const std::vector<std::pair<std::string, std::string>> states = {
      {"[DATABASE]\nDATABASENAME=alpha\n", "Initial Catalog=alpha;"},
      {"[DATABASE]\nDATABASENAME=beta\n", "Initial Catalog=beta;"},
      {"[DATABASE]\nDATABASENAME=beta\nSERVERNAME=/srv/db\n", "Data Source=/srv/db;"},
      {"", "Initial Catalog=QLP_DB;"},
      {"[DATABASE]\nDATABASENAME=alpha\n", "Initial Catalog=alpha;"},
  };
  long seconds = -100;
  for (const auto& [content, part] : states) {
    SCOPED_TRACE(content);
    if (content.empty()) {
      std::remove(ConfigPath().c_str());
    } else {
      home.WriteConfig(content);
      SetModifiedAt(ConfigPath(), Seconds(seconds += 10));
    }
    for (int call = 0; call < 2; ++call) {
      TransactionScope scope;
      S_DBHelpForKX helper;
      const std::string cs = helper.GetConnectionString();
      EXPECT_NE(cs.find(part), std::string::npos) << cs;
      // A statement works the target out for the call; the settings read stay the same.
      try {
        helper.RunSQLReturnRS("select 1");
      } catch (const Error&) {
        // Most of these databases do not exist; only what was read matters here.
      }
      EXPECT_EQ(helper.GetConnectionString(), cs);
      EXPECT_NE(cs.find("Initial Catalog=" + helper.database() + ";"), std::string::npos) << cs;
    }
  }
}

TEST(ConfigProblems, UnusableValuesAreNamedWithTheirFileAndKey) {
  TestHome home;
  const std::string user = S_DBHelpForKX::Scramble("sa", "DORMIQUESTAL");
  const std::string password = S_DBHelpForKX::Scramble("pw", "VANTRELOKS");
  const std::string file = home.folder() + "/Config.ini: ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"FLAG=abc\n", "key FLAG of section DATABASE must be a number, not 'abc'"},
      {"FLAG=1\nUSERID=plain\nPASSWORD=" + password + "\n",
       "key USERID of section DATABASE holds no scrambled value, as FLAG=1 requires"},
      {"FLAG=1\nUSERID=" + user + "\n",
       "key PASSWORD of section DATABASE is missing, and its default '2977' is no scrambled value, as FLAG=1 "
       "requires"},
      {"STATEMENTTIMEOUT=soon\n",
       "key STATEMENTTIMEOUT of section DATABASE must be a whole number of seconds from 0 (no limit) to "
       "2147483, "
       "not 'soon'"},
      {"FLAG=1\nUSERID=" + user + "\nPASSWORD=" + password + "\n", ""},
      {"", ""},
  };
  for (const auto& [lines, problem] : cases) {
    SCOPED_TRACE(lines);
    home.WriteConfig("[DATABASE]\n" + lines);
    SetModifiedAt(ConfigPath(), Seconds(-100 + static_cast<long>(lines.size())));
    EXPECT_EQ(config::Problem(ConfigPath()), problem.empty() ? "" : file + problem);
    // The documented description of the connection string stays as it is.
    if (!problem.empty() && problem.find("STATEMENTTIMEOUT") == std::string::npos) {
      S_DBHelpForKX helper;
      EXPECT_EQ(CaptureError([&] { helper.GetConnectionString(); }).description(),
                "GetConnectionString Function");
    }
  }
}

// What `kx` writes to a terminal that is its standard output and error.
std::string KxOnTerminal(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KX_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (auto& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  std::string out;
  if (pid < 0) return "forkpty failed";
  char buffer[4096];
  ssize_t n;
  while ((n = read(terminal, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

TEST(KxConfigNote, TheCommandSaysWhichConfigIniItReads) {
  TestHome home;
  const std::string path = home.folder() + "/Config.ini";
  const std::string settings = "kx: settings from " + path + "\n";
  // On every command that reads Config.ini, to a terminal, a file or a pipe alike.
  EXPECT_NE(KxOnTerminal({"--home", home.folder(), "call", "S_DBHelpForKX", "ClassDebugID"})
                .find("kx: settings from " + path),
            std::string::npos);
  EXPECT_EQ(RunKx(home, "call S_DBHelpForKX ClassDebugID").err, settings);
  EXPECT_EQ(RunKx(home, "init").err, settings);
  const CommandOutcome serve = RunKx(home, "serve --listen 0.0.0.0:0");  // refused: no token file
  EXPECT_EQ(serve.err.rfind(settings, 0), 0u) << serve.err;
  // Not where Config.ini is not read.
  EXPECT_EQ(RunKx(home, "classes").err, "");
  EXPECT_EQ(RunKx(home, "call --url http://127.0.0.1:9 C_JBTypeProfile containsKey X").err.find("kx: "),
            std::string::npos);
  // --quiet silences it.
  EXPECT_EQ(
      KxOnTerminal({"--home", home.folder(), "--quiet", "call", "S_DBHelpForKX", "ClassDebugID"}).find("kx:"),
      std::string::npos);
  EXPECT_EQ(RunKx(home, "--quiet call S_DBHelpForKX ClassDebugID").err, "");
  EXPECT_EQ(RunKx(home, "--quiet init").err, "");

  std::remove(path.c_str());
  const std::string none = "kx: no Config.ini at " + path + "; the defaults apply";
  EXPECT_NE(KxOnTerminal({"--home", home.folder(), "call", "S_DBHelpForKX", "ClassDebugID"}).find(none),
            std::string::npos);
  EXPECT_EQ(RunKx(home, "call S_DBHelpForKX ClassDebugID").err, none + "\n");
  EXPECT_EQ(RunKx(home, "--quiet call S_DBHelpForKX ClassDebugID").err, "");

  // What cannot be used is named after the note.
  home.WriteConfig("[DATABASE]\nFLAG=x\n");
  const CommandOutcome bad = RunKx(home, "call S_DBHelpForKX GetConnectionString");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(bad.err, settings + "kx: " + path +
                         ": key FLAG of section DATABASE must be a number, not 'x'\n"
                         "error 0x8004270F: GetConnectionString Function\n");
  EXPECT_EQ(RunKx(home, "--quiet call S_DBHelpForKX GetConnectionString").err,
            "error 0x8004270F: GetConnectionString Function\n");
}

}  // namespace
}  // namespace kx::test
