// Message lookups and the catalog fill.
//   ninja -C build facset_lang_bench && build/bench/lang/facset_lang_bench
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "lang/lang.h"
#include "platform/paths.h"
#include "support/temp_files.h"

namespace facset {
namespace {

// A lookup on a language file that nobody changes: the common case while the
// window shows messages.
void BM_LangCatalogLookup(benchmark::State& state) {
  testing::TempDir dir;
  OverrideFilesDir(dir.path());
  ConfigStartup();
  // A file written a while ago, as at any time after start-up: files stamped in
  // the last second are re-checked on every read.
  const timespec old[2] = {{::time(nullptr) - 10, 0}, {::time(nullptr) - 10, 0}};
  ::utimensat(AT_FDCWD, CurrentLanguage().FilePath().c_str(), old, 0);
  const std::string_view keys[] = {"sConnectFail", "sNoSet", "sProgVerAndCheckSum", "sLenNotGreater"};
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(LangCatalog(keys[i++ & 3]));
  LangShutdown();
  CloseToolConfig();
  OverrideFilesDir("");
}
BENCHMARK(BM_LangCatalogLookup)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_FillLangCatalogEmptyFile(benchmark::State& state) {
  testing::TempDir dir;
  const std::string path = dir / "kelvaset_cn.lng";
  for (auto _ : state) {
    std::remove(path.c_str());
    IniFile lang(path);
    FillLangCatalog(lang, true);
  }
}
BENCHMARK(BM_FillLangCatalogEmptyFile)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace facset
