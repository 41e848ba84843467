// What the checks before a download and the built-in texts cost: each must add
// at most a few milliseconds to a download.
//   CheckParamFile     the demo parameter file (all 242 definitions)
//   Preflight          link check plus a 4 MiB firmware image
//   LoadImage          the largest firmware image (16 MiB) read into memory and
//                      hashed, as every upgrade does once before 14/16
//   TargetLock         the station lock of a target taken and let go
//   LangFallback       LangOpen on an unusable language file, then the
//                      catalog lookups of one firmware upgrade's log
// Run: build/bench/download/facset_preflight_bench
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "download/firmware_image.h"
#include "download/preflight.h"
#include "download/target_lock.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "support/temp_files.h"

namespace facset {
namespace {

void CheckParamFileBench(benchmark::State& state) {
  testing::TempDir dir;
  std::filesystem::copy_file(std::string(FACSET_DEMO_DIR) + "/facconfig.ini", dir / "p.ini");
  for (auto _ : state) benchmark::DoNotOptimize(CheckParamFile(dir / "p.ini"));
}
BENCHMARK(CheckParamFileBench)->Unit(benchmark::kMillisecond);

void PreflightBench(benchmark::State& state) {
  testing::TempDir dir;
  {
    std::ofstream out(dir / "image.bin", std::ios::binary);
    out << std::string(4 << 20, 'x');
  }
  DownloadRequest request;
  request.target = UdpTarget{"127.0.0.1", 5001};
  request.firmware = dir / "image.bin";
  for (auto _ : state) benchmark::DoNotOptimize(PreflightDownload(request));
}
BENCHMARK(PreflightBench)->Unit(benchmark::kMillisecond);

void LoadImageBench(benchmark::State& state) {
  testing::TempDir dir;
  {
    std::ofstream out(dir / "image.bin", std::ios::binary);
    out << std::string(16 << 20, 'x');
  }
  for (auto _ : state) benchmark::DoNotOptimize(LoadFirmwareImage(dir / "image.bin"));
}
BENCHMARK(LoadImageBench)->Unit(benchmark::kMillisecond);

void TargetLockBench(benchmark::State& state) {
  const DownloadTarget target = UdpTarget{"127.0.0.7", 40000 + ::getpid() % 20000};
  for (auto _ : state) benchmark::DoNotOptimize(TargetLock::Take(target, std::chrono::milliseconds(0)));
}
BENCHMARK(TargetLockBench)->Unit(benchmark::kMicrosecond);

void LangFallbackBench(benchmark::State& state) {
  testing::TempDir dir;
  OverrideFilesDir(dir.path());
  std::filesystem::create_directory(dir / "kelvaset_en.lng");
  testing::WriteFileBytes(dir / "p.ini", "[Set]\r\nlngstr=_en\r\n");
  SetLangCatalogFallback(true);
  for (auto _ : state) {
    const IniFile ini(dir / "p.ini");
    try {
      LangOpen(ini);
    } catch (const EIniError&) {
    }
    for (const char* key : {"sConnectFail", "sStartUpdating", "sUpdate", "sCommunicationerror", "sDisconnect",
                            "sDisconnectError", "sUpdatecompleted", "sLastUpdatetime", "sProgVerAndCheckSum"}) {
      benchmark::DoNotOptimize(LangCatalog(key));
    }
    LangShutdown();
  }
  SetLangCatalogFallback(false);
  OverrideFilesDir("");
}
BENCHMARK(LangFallbackBench)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace facset
