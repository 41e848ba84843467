// Eight scales at once against one alone, in the same run: facset-cli
// download of a 128 KiB image to scale-sims on 127.0.0.2 .. 127.0.0.9, each
// answering 3 ms after a request. The goal: the eight take at most 1.3 times
// the wall time of one.
// Run: build/bench/download/gang_bench [rounds]   (default 3; medians reported)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim_gang.h"
#include "support/median.h"
#include "support/run_process.h"

using namespace facset::testing;

namespace {

constexpr int kScales = 8;
constexpr std::size_t kImageSize = 128 * 1024;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  SimGang sims(std::vector<std::vector<std::string>>(kScales, {"--delay", "3"}), false);
  TempDir dir;
  const std::string cli = dir / "facset-cli";
  std::filesystem::copy_file(FACSET_CLI_PATH, cli);
  const std::string params = dir / "p.ini", image = dir / "image.hex";
  std::ofstream(params, std::ios::binary) << "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[factory]\r\nIsDownkDownProg=0\r\nbyte[3  ]=2\r\n";
  {
    std::string b(kImageSize, '\0');
    std::mt19937 gen(1);
    for (auto& c : b) c = static_cast<char>(gen());
    std::ofstream(image, std::ios::binary) << b;
  }
  const std::vector<std::string> env = {"FACSET_SCALE_UDP_PORT=" + std::to_string(sims.port())};
  auto timed = [&](int targets) {
    std::vector<std::string> args = {"download", params, "--firmware", image};
    for (int i = 0; i < targets; ++i) {
      args.push_back("--ip");
      args.push_back(SimGang::Address(static_cast<std::size_t>(i)));
    }
    const auto t0 = std::chrono::steady_clock::now();
    const ProcessResult r = RunProcess(cli, args, env);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r.status != 0) {
      std::fprintf(stderr, "%d target(s): exit %d\n%s%s", targets, r.status, r.out.c_str(), r.err.c_str());
      std::exit(1);
    }
    return s;
  };

  std::vector<double> one, eight;
  for (int round = 0; round < rounds; ++round) {
    one.push_back(timed(1));
    eight.push_back(timed(kScales));
    std::printf("round %d: one scale %.3f s, %d scales %.3f s, ratio %.2f\n", round + 1, one.back(), kScales,
                eight.back(), eight.back() / one.back());
  }
  const double ratio = Median(eight) / Median(one);
  std::printf("median: one scale %.3f s, %d scales %.3f s, ratio %.2f (goal <= 1.30): %s\n", Median(one), kScales,
              Median(eight), ratio, ratio <= 1.3 ? "met" : "NOT met");
  return 0;
}
