// The PostgreSQL driver is a module in the component's own folder (beside libkx.so in the build
// tree, in `kx/` beside an installed one): it and libpq are loaded only when PostgreSQL is used, and
// a missing module fails with an error that names it.
#include <filesystem>
#include <string>

#include "kx/host.h"
#include "test_support.h"

namespace kx::test {
namespace {

// The dynamic loader's report of the files it loads, on stderr.
const std::string kReportLoading = "LD_DEBUG=files";

TEST(DriverModule, LibpqIsLoadedOnlyWhenPostgresIsUsed) {
  TestHome sqlite;
  ASSERT_EQ(RunKx(sqlite, "--quiet init").exitCode, 0);
  const CommandOutcome local =
      RunKx(sqlite, "--quiet call S_DBHelpForKX RunSQLReturnRS 'select 1'", kReportLoading);
  EXPECT_EQ(local.exitCode, 0) << local.err;
  EXPECT_EQ(local.err.find("libpq"), std::string::npos) << local.err;
  EXPECT_EQ(local.err.find("libkx_postgres"), std::string::npos);

  // Whether or not a server answers, the attempt to reach it loads the driver and libpq.
  TestHome postgres("PostgreSQL");
  const CommandOutcome remote =
      RunKx(postgres, "--quiet call S_DBHelpForKX RunSQLReturnRS 'select 1'", kReportLoading);
  EXPECT_NE(remote.err.find("file=libpq.so"), std::string::npos) << remote.err.substr(0, 2000);
  EXPECT_NE(remote.err.find("libkx_postgres.so"), std::string::npos);
}

// A folder holding a copy of libkx.so under its SONAME, which the loader takes from there before
// the build folder when it is named in LD_LIBRARY_PATH.
std::string LibraryCopy(const TestHome& home) {
  const std::string folder = home.folder() + "/lib";
  std::filesystem::create_directory(folder);
  std::filesystem::copy_file(LibraryFolder() + "/" + KX_LIBRARY_SONAME, folder + "/" + KX_LIBRARY_SONAME);
  return folder;
}

TEST(DriverModule, AMissingModuleIsNamedInTheError) {
  TestHome postgres("PostgreSQL");
  const std::string lonely = LibraryCopy(postgres);
  const CommandOutcome r = RunKx(postgres, "--quiet call S_DBHelpForKX RunSQLReturnRS 'select 1'",
                                 "LD_LIBRARY_PATH=" + ShellQuoted(lonely));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("RunSQLReturnRS(select 1)The PostgreSQL driver cannot be loaded: " + lonely +
                       "/libkx_postgres.so"),
            std::string::npos)
      << r.err;
}

TEST(DriverModule, AnInstalledLibraryLoadsTheModuleFromItsKxFolder) {
  TestHome postgres("PostgreSQL");
  const std::string installed = LibraryCopy(postgres);
  std::filesystem::create_directory(installed + "/kx");
  std::filesystem::copy_file(LibraryFolder() + "/libkx_postgres.so", installed + "/kx/libkx_postgres.so");
  const CommandOutcome r = RunKx(postgres, "--quiet call S_DBHelpForKX RunSQLReturnRS 'select 1'",
                                 kReportLoading + " LD_LIBRARY_PATH=" + ShellQuoted(installed));
  EXPECT_EQ(r.err.find("cannot be loaded"), std::string::npos) << r.err.substr(0, 2000);
  EXPECT_NE(r.err.find("file=" + installed + "/kx/libkx_postgres.so"), std::string::npos)
      << r.err.substr(0, 2000);
}

}  // namespace
}  // namespace kx::test
