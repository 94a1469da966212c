// The SQLite connection: its handle and files, and how its transactions take the write lock.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

#include "runtime/db/connection.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

// How many descriptors of this process refer to the file at `path`.
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

class SqliteConnection : public ::testing::Test {
 protected:
  db::ConnectionInfo Info() const { return db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()); }
  std::string DatabaseFile() const { return home_.folder() + "/kxtest.db"; }
  TestHome home_;
};

TEST_F(SqliteConnection, AFailureWhileSettingUpTheConnectionClosesTheFile) {
  // A file that is no database: opening succeeds, the first pragma fails.
  home_.WriteFile("kxtest.db", std::string(8192, 'x'));
  for (int i = 0; i < 3; ++i) {
    const auto e = CaptureThrown([&] { db::Open(Info()); }, db::DatabaseError("none"));
    EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
    EXPECT_EQ(e.category(), db::ErrorCategory::Connection);
  }
  EXPECT_EQ(DescriptorsOf(DatabaseFile()), 0);
}

}  // namespace
}  // namespace kx::test
