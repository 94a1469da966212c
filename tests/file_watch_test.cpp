// Files marked when looked at are told changed by what happens to them, by time, and in each
// process of their own.
#include "runtime/file_watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kx/host.h"
#include "kx/transaction.h"
#include "runtime/ini.h"
#include "test_support.h"

namespace kx::test {
namespace {

TEST(FileWatch, AMarkedFileIsToldChangedByEveryKindOfChange) {
  TestHome home;
  const std::string path = home.WriteFile("watched.txt", "one");
  struct Case {
    std::string name;
    std::function<void()> change;  // nothing: the file is left alone
    bool unchanged;
  };
  const std::vector<Case> cases = {
      {"left alone", nullptr, true},
      {"written in place", [&] { home.WriteFile("watched.txt", "two"); }, false},
      {"its time set back",
       [&] {
         const timespec old[2] = {{1000, 0}, {1000, 0}};
         ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
       },
       false},
      {"its mode changed", [&] { ASSERT_EQ(chmod(path.c_str(), 0600), 0); }, false},
      {"replaced by a rename",
       [&] {
         const std::string other = home.WriteFile("other.txt", "three");
         ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
       },
       false},
      {"moved away", [&] { ASSERT_EQ(std::rename(path.c_str(), (path + ".moved").c_str()), 0); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!std::filesystem::exists(path)) home.WriteFile("watched.txt", "again");
    MarkFile(path);  // a file is watched from its second look on
    const FileMark mark = MarkFile(path);
    ASSERT_GE(mark.watch, 0);
    EXPECT_TRUE(UnchangedSince(mark));
    if (c.change) c.change();
    EXPECT_EQ(UnchangedSince(mark), c.unchanged);
    EXPECT_EQ(UnchangedSince(mark), c.unchanged);  // a notice once read still counts
  }
}

TEST(FileWatch, AMissingFileAFirstLookOrAnOldLookIsNeverTakenAsUnchanged) {
  TestHome home;
  const std::string missing = home.folder() + "/missing.txt";
  MarkFile(missing);
  EXPECT_FALSE(UnchangedSince(MarkFile(missing)));
  // The first look sets up no watch (a process that looks once pays nothing for one at its exit).
  const std::string path = home.WriteFile("watched.txt", "one");
  const FileMark first = MarkFile(path);
  EXPECT_EQ(first.watch, -1);
  EXPECT_FALSE(UnchangedSince(first));
  const FileMark mark = MarkFile(path);
  EXPECT_GE(mark.watch, 0);
  EXPECT_TRUE(UnchangedSince(mark));
  // A path can come to name another file without either file changing: a look lasts a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_FALSE(UnchangedSince(mark));
}

// A child process has its own watch: notices read by one process are not lost to the other.
TEST(FileWatch, AParentAndItsChildEachSeeAnEditOfConfigIni) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  auto name = [&] { return IniFile::Load(path)->Value("DATABASE", "DATABASENAME", "none"); };
  home.WriteConfig("[DATABASE]\nDATABASENAME=AAAA\n");
  const timespec old[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  ASSERT_EQ(name(), "AAAA");

  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char go = 0;
    const bool before = name() == "AAAA";
    (void)!write(toParent[1], "r", 1);
    (void)!read(toChild[0], &go, 1);       // the parent edited the file and read it
    const bool after = name() == "BBBBB";  // read at once, well within a second of the first look
    _exit(before && after ? 0 : 1);
  }
  char ready = 0;
  ASSERT_EQ(read(toParent[0], &ready, 1), 1);
  home.WriteConfig("[DATABASE]\nDATABASENAME=BBBBB\n");
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  EXPECT_EQ(name(), "BBBBB");  // the parent reads its notice first
  ASSERT_EQ(write(toChild[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not see the edit";
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

// Writes Config.ini of `home` naming database `n`. The file is replaced whole by a rename: a
// reader never meets a half-written file. Each version is dated in the past (settled: kept by each
// thread), each at its own second, as edits are: the file system may give the new file the inode
// number the replaced one had.
void EditConfig(TestHome& home, int n) {
  static const time_t past = time(nullptr) - 100000;
  const std::string next = home.WriteFile("Config.next", "[DATABASE]\nDATABASENAME=" + std::to_string(n) + "\n");
  const timespec when[2] = {{past + n, 0}, {past + n, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, next.c_str(), when, 0), 0);
  ASSERT_EQ(std::rename(next.c_str(), ConfigPath().c_str()), 0);
}

// Threads that keep their own memory of a settled file, and ask without a lock, see every edit
// finished before they ask.
TEST(FileWatch, EveryThreadSeesAnEditFinishedBeforeItAsks) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  auto edit = [&](int n) { EditConfig(home, n); };
  edit(0);
  constexpr int kEdits = 200;
  std::atomic<int> edited{0};
  std::atomic<int> stale{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      for (;;) {
        const int before = edited.load();
        const int seen = std::stoi(IniFile::Load(path)->Value("DATABASE", "DATABASENAME", "-1"));
        if (seen < before) ++stale;
        if (before == kEdits) return;
      }
    });
  for (int n = 1; n <= kEdits; ++n) {
    edit(n);
    edited = n;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(stale.load(), 0) << "a thread read the file as it was before an edit it was told of";
}

// A host's call asks the kernel at most once whether notices wait. Each call asks anew: an edit
// finished before a call starts is seen by it, also when the call before found nothing waiting,
// and a call nested in another asks for itself.
TEST(FileWatch, EachCallSeesAnEditFinishedBeforeItStarted) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  const std::string path = ConfigPath();
  auto edit = [&](int n) { EditConfig(home, n); };
  auto read = [&] { return std::stoi(IniFile::Load(path)->Value("DATABASE", "DATABASENAME", "-1")); };
  edit(0);
  read();  // the file is watched from its second look on
  for (int n = 1; n <= 20; ++n) {
    {
      TransactionScope call;
      ASSERT_EQ(read(), n - 1);
      ASSERT_EQ(read(), n - 1);
    }
    edit(n);
    TransactionScope call;
    ASSERT_EQ(read(), n) << "a call read the file as it was before an edit finished before the call";
    ASSERT_EQ(read(), n);  // nothing waits now
    edit(n + 100);
    TransactionScope nested;
    ASSERT_EQ(read(), n + 100) << "a nested call read the file as it was before an edit finished before it";
    edit(n);
  }
}

}  // namespace
}  // namespace kx::test
