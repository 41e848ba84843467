// Eight scales from a targets table with values per target, against the same
// eight from a plain targets file, in the same run: facset-cli download of the
// demo file (firmware off) to scale-sims on 127.0.0.2 .. 127.0.0.9. Each
// table row sets three values (scale number, shop code, a gravity region)
// and the scale number of one run comes from the station's counter. The goal:
// with values at most 1.1 times the wall time without.
// Run: build/bench/download/values_bench [rounds]   (default 5; medians reported)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_gang.h"
#include "support/median.h"
#include "support/run_process.h"

using namespace facset::testing;

namespace {

constexpr int kScales = 8;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  SimGang sims(std::vector<std::vector<std::string>>(kScales), false);
  TempDir dir;
  const std::string cli = dir / "facset-cli";
  std::filesystem::copy_file(FACSET_CLI_PATH, cli);
  const std::string params = dir / "p.ini", plain = dir / "plain.txt", table = dir / "table.csv";
  std::filesystem::copy_file(std::string(FACSET_DEMO_DIR) + "/sample-en.ini", params);
  {
    std::ofstream p(plain), t(table);
    t << "target,Scale number,Shop code,calibration gravity\n";
    for (int i = 0; i < kScales; ++i) {
      p << SimGang::Address(static_cast<std::size_t>(i)) << "\n";
      t << SimGang::Address(static_cast<std::size_t>(i)) << "," << i + 1 << ",\"A," << i << "\",Harbin\n";
    }
  }
  const std::vector<std::string> env = {"FACSET_SCALE_UDP_PORT=" + std::to_string(sims.port())};
  if (RunProcess(cli, {"counter", "bench", "--set", "1"}, env).status != 0) return 1;
  auto timed = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"download", params, "--no-firmware"};
    args.insert(args.end(), more.begin(), more.end());
    const auto t0 = std::chrono::steady_clock::now();
    const ProcessResult r = RunProcess(cli, args, env);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r.status != 0) {
      std::fprintf(stderr, "exit %d\n%s%s", r.status, r.out.c_str(), r.err.c_str());
      std::exit(1);
    }
    return s;
  };

  std::vector<double> without, with, counted;
  for (int round = 0; round < rounds; ++round) {
    without.push_back(timed({"--targets", plain}));
    with.push_back(timed({"--targets", table}));
    counted.push_back(timed({"--targets", plain, "--set", "Scale number=counter:bench"}));
    std::printf("round %d: without values %.3f s, table %.3f s (%.2f), counter %.3f s (%.2f)\n", round + 1,
                without.back(), with.back(), with.back() / without.back(), counted.back(),
                counted.back() / without.back());
  }
  const double ratio = Median(with) / Median(without), counterRatio = Median(counted) / Median(without);
  std::printf("median: without values %.3f s, table %.3f s, ratio %.2f; counter %.3f s, ratio %.2f (goal <= 1.10): %s\n",
              Median(without), Median(with), ratio, Median(counted), counterRatio,
              std::max(ratio, counterRatio) <= 1.1 ? "met" : "NOT met");
  return 0;
}
