// Benchmarks of the common calls on the embedded database: fetch one record, search a page, add and
// remove, and the statement/XML work around them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench/bench_support.h"
#include "runtime/db/connection.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "typeprofile/jb_type_profile.h"

namespace {

// A component folder with an SQLite database holding `rows` type profiles.
struct BenchHome {
  explicit BenchHome(int rows) {
    char pattern[] = "/tmp/kx-bench.XXXXXX";
    folder = mkdtemp(pattern);
    setenv("KX_HOME", folder.c_str(), 1);
    kx::bench::WriteConfig(folder, "DATABASENAME=bench\n");
    kx::S_DBHelpForKX helper;
    kx::db::InstallDatabase(helper.GetConnectionString());
    for (int i = 0; i < rows; ++i)
      helper.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('C" +
                    std::to_string(i) + "','Truck job " + std::to_string(i) + "','TR')");
  }
  ~BenchHome() {
    kx::db::ClearPool();
    std::filesystem::remove_all(folder);
  }
  std::string folder;
};

void BM_GetElementByXML(benchmark::State& state) {
  BenchHome home(100);
  kx::C_JBTypeProfile c;
  for (auto _ : state) benchmark::DoNotOptimize(c.getElementByXML("C42"));
}
BENCHMARK(BM_GetElementByXML);

void BM_QueryPage(benchmark::State& state) {
  BenchHome home(static_cast<int>(state.range(0)));
  kx::C_JBTypeProfile c;
  const std::string ak =
      "<AccessKeys><AccessKey Field=\"JBTypeName\" SearchCondition=\"Include\" Key=\"Truck\"/></AccessKeys>";
  for (auto _ : state) {
    kx::Variant count, pages;
    benchmark::DoNotOptimize(c.queryOwnedElementsByXML(count, pages, 20, 2, ak));
  }
}
BENCHMARK(BM_QueryPage)->Arg(100)->Arg(5000);

void BM_AddRemove(benchmark::State& state) {
  BenchHome home(0);
  kx::C_JBTypeProfile c;
  for (auto _ : state) {
    c.add("<JBTypeProfile Code=\"B1\" JBTypeName=\"O'Neil\" JBTypeCategory=\"TR\"/>");
    c.remove("B1");
  }
}
BENCHMARK(BM_AddRemove);

void BM_Str2SQL(benchmark::State& state) {
  const std::string text(200, 'a');
  for (auto _ : state) benchmark::DoNotOptimize(kx::Str2SQL(text + "'" + text));
}
BENCHMARK(BM_Str2SQL);

}  // namespace

BENCHMARK_MAIN();
