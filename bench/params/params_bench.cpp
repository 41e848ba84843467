// Saving and loading a parameter file that defines all 242 generic bytes.
//   ninja -C build facset_params_bench && build/bench/params/facset_params_bench
#include <benchmark/benchmark.h>

#include <cstdio>

#include "params/param_model.h"
#include "support/temp_files.h"

namespace facset {
namespace {

ParamSet FullParamSet() {
  ParamSet ps;
  ps.DeviceIp = "127.0.0.1";
  ps.GravityRegions = {"0=0", "0=0", "North=9.8015", "South=9.7936", "East=9.7940", "West=9.8066"};
  for (int n = 1; n < 256; ++n) ps.Block[n] = static_cast<std::uint8_t>(n * 7);
  for (int n = kFirstDefByte; n < 256; ++n) {
    ParamDef& d = ps.Defs[n];
    d.Caption = "Parameter " + std::to_string(n) + " \xB2\xCE\xCA\xFD";
    d.Width = 1;
    if (n % 3 == 0) {
      d.Kind = 1;
    } else if (n % 3 == 1) {
      d.Note = "Range 0 to 255\\r\\nsecond line";
    } else {
      d.Option0 = "Off";
      d.Option1 = "On";
    }
  }
  return ps;
}

void BM_SaveParamsNewFile(benchmark::State& state) {
  testing::TempDir dir;
  const std::string path = dir / "new.ini";
  const ParamSet ps = FullParamSet();
  for (auto _ : state) {
    std::remove(path.c_str());
    IniFile ini(path);
    SaveParams(ini, ps, "_cn");
  }
}
BENCHMARK(BM_SaveParamsNewFile)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_SaveParamsExistingFile(benchmark::State& state) {
  testing::TempDir dir;
  const std::string path = dir / "existing.ini";
  ParamSet ps = FullParamSet();
  {
    IniFile ini(path);
    SaveParams(ini, ps, "_cn");
  }
  for (auto _ : state) {
    ++ps.Block[20];  // something changes every time, so the file is really rewritten
    IniFile ini(path);
    SaveParams(ini, ps, "_cn");
  }
}
BENCHMARK(BM_SaveParamsExistingFile)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_LoadParamSet(benchmark::State& state) {
  testing::TempDir dir;
  const std::string path = dir / "full.ini";
  {
    IniFile ini(path);
    SaveParams(ini, FullParamSet(), "_cn");
  }
  for (auto _ : state) {
    const IniFile ini(path);
    ParamSet ps;
    benchmark::DoNotOptimize(LoadParamSet(ini, ps));
  }
}
BENCHMARK(BM_LoadParamSet)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace facset
