// A 4 MiB firmware upgrade against scale-sim (no request log, so the scale is
// not the bottleneck), over loopback UDP and over the pseudo-terminal:
//   Cli/...     facset-cli download as a child process (start-up included);
//               rss_growth_MB = its peak RSS minus that of a run with an
//               image of one sent block
//   Window/...  the real window (offscreen) with its log updates, in process;
//               rss_growth_MB = peak RSS sampled during the run minus before
// blocks_per_s counts the 16384 blocks of the image (16352 of them sent).
//   LineRate/KiB:K/bps:S
//               facset-cli over the pseudo-terminal against scale-sim
//               --line-rate: an upgrade of K KiB with the blocks sent at S bps
//               (--speed S unless 9600). wall_s is the whole run; line_s the
//               line time of the blocks sent (303 bytes x 10 bits each at the
//               speed scale-sim saw them at); ratio = wall_s / line_s.
//               FACSET_BENCH_LINE_RATE=K,S adds a size and speed of your own.
// Run: QT_QPA_PLATFORM=offscreen bench_download [--benchmark_filter=...]
// Compare with bench_protocol --benchmark_filter=PingPong (the raw channel).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifdef FACSET_BENCH_WINDOW
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/window_download.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "support/scripted_dialogs.h"
#include "protocol/scale_link.h"
#else
#include <QCoreApplication>
#endif

#include "support/sim_process.h"
#include "support/run_process.h"


namespace facset {
namespace {

using testing::SimProcess;
constexpr std::size_t kImageSize = 4 * 1024 * 1024;
constexpr double kBlocks = kImageSize / 256.0;

std::string WriteImage(const std::string& path, std::size_t size) {
  std::string b(size, '\0');
  std::mt19937 gen(1);
  for (auto& c : b) c = static_cast<char>(gen());
  std::ofstream(path, std::ios::binary) << b;
  return path;
}

std::string ParamFile(const std::string& path, bool serial) {
  std::ofstream(path, std::ios::binary) << "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\ncom=1\r\n"
                                        << "use com=" << (serial ? 1 : 0) << "\r\n[factory]\r\nIsDownkDownProg=0\r\nbyte[3  ]=2\r\n";
  return path;
}

// Runs the program to its end; returns its exit code and peak RSS in kB.
int RunChild(const std::vector<std::string>& args, const std::vector<std::string>& env, long& maxRssKb) {
  const auto r = testing::RunProcess(args.front(), {args.begin() + 1, args.end()}, env);
  maxRssKb = r.maxRssKb;
  return r.status;
}

void BM_Cli(benchmark::State& state, bool serial) {
  SimProcess sim({}, serial, false);
  const std::string cli = sim.dir().file("facset-cli");
  std::filesystem::copy_file(FACSET_CLI_PATH, cli);
  const std::string params = ParamFile(sim.dir().file("p.ini"), serial);
  const std::string big = WriteImage(sim.dir().file("big.hex"), kImageSize);
  const std::string small = WriteImage(sim.dir().file("small.hex"), 8193);
  const std::vector<std::string> env = {"FACSET_SCALE_UDP_PORT=" + std::to_string(sim.udpPort())};
  auto args = [&](const std::string& image) {
    std::vector<std::string> a = {cli, "download", params, "--firmware", image};
    if (serial) a.insert(a.end(), {"--com", sim.ptyPath()});
    return a;
  };
  long smallRss = 0, bigRss = 0;
  if (RunChild(args(small), env, smallRss) != 0) state.SkipWithError("small upgrade failed");
  for (auto _ : state) {
    if (RunChild(args(big), env, bigRss) != 0) state.SkipWithError("upgrade failed");
  }
  state.counters["blocks_per_s"] = benchmark::Counter(kBlocks * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["rss_growth_MB"] = (bigRss - smallRss) / 1024.0;
}
BENCHMARK_CAPTURE(BM_Cli, Udp, false)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_Cli, Pty, true)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Line time of a block: the 302-byte frame out and the verdict back.
constexpr double kBitsPerBlock = 303 * 10;

void BM_LineRate(benchmark::State& state) {
  const auto kib = static_cast<std::size_t>(state.range(0));
  const auto bps = static_cast<std::uint32_t>(state.range(1));
  SimProcess sim({"--no-udp", "--line-rate"}, true);
  const std::string params = ParamFile(sim.dir().file("p.ini"), true);
  const std::string image = WriteImage(sim.dir().file("image.hex"), kib * 1024);
  std::vector<std::string> args = {"download", params, "--firmware", image, "--com", sim.ptyPath()};
  if (bps != 9600) args.insert(args.end(), {"--speed", std::to_string(bps)});
  double wall = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = testing::RunProcess(FACSET_CLI_PATH, args);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r.status != 0) {
      state.SkipWithError(("facset-cli exit " + std::to_string(r.status) + ": " + r.err.substr(0, 200)).c_str());
      return;
    }
  }
  double lineSeconds = 0;
  long blocks = 0, offSpeed = 0;
  for (const auto& e : sim.Log()) {
    if (e.cmd != 15 || e.arg < 32 || e.answer != "ack") continue;
    ++blocks;
    offSpeed += static_cast<std::uint32_t>(e.speed) != bps;
    lineSeconds += kBitsPerBlock / e.speed;
  }
  if (offSpeed) state.SkipWithError((std::to_string(offSpeed) + " blocks went at another speed").c_str());
  state.counters["blocks"] = static_cast<double>(blocks);
  state.counters["wall_s"] = wall;
  state.counters["line_s"] = lineSeconds;
  state.counters["ratio"] = lineSeconds > 0 ? wall / lineSeconds : 0;
}
void LineRateArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"KiB", "bps"})->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
}
BENCHMARK(BM_LineRate)->Args({256, 115200})->Args({64, 9600})->Args({64, 115200})->Apply(LineRateArgs);

#ifdef FACSET_BENCH_WINDOW
long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void BM_Window(benchmark::State& state, bool serial) {
  SimProcess sim({}, serial, false);
  const std::string dir = sim.dir().file("tool");
  std::filesystem::create_directory(dir);
  OverrideFilesDir(dir);
  ParamFile(dir + "/facconfig.ini", serial);
  std::ofstream(dir + "/facconfig.ini", std::ios::app) << "[serial]\r\nCOM1=" << sim.ptyPath() << "\r\n";
  const std::string image = WriteImage(sim.dir().file("big.hex"), kImageSize);
  CreateScaleComm();
  OverrideLinkUdpPort(sim.udpPort());
  ConfigStartup();
  ScriptedDialogs dialogs;  // answers No to the save question
  {
    TMainForm form(QStringList{});
    form.SetDownloadHandler(WindowDownload);
    form.show();
    form.ChkDownProg->setChecked(true);
    form.edtFilePath->setText(QString::fromStdString(image));
    QCoreApplication::processEvents();
    long before = 0, peak = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, RssKb()); });
    for (auto _ : state) {
      form.lstMsg->clear();
      before = RssKb();
      peak = before;
      sampler.start(20);
      form.btnDownload->click();
      sampler.stop();
      if (!form.lstMsg->toPlainText().contains("Update completed")) state.SkipWithError("upgrade failed");
    }
    state.counters["blocks_per_s"] = benchmark::Counter(kBlocks * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["rss_growth_MB"] = (peak - before) / 1024.0;
  }
  LangShutdown();
  CloseToolConfig();
  DestroyScaleComm();
  OverrideLinkUdpPort(0);
  OverrideFilesDir("");
}
BENCHMARK_CAPTURE(BM_Window, Udp, false)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_Window, Pty, true)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
#endif

}  // namespace
}  // namespace facset

int main(int argc, char** argv) {
#ifdef FACSET_BENCH_WINDOW
  QApplication app(argc, argv);
#else
  QCoreApplication app(argc, argv);
#endif
  if (const char* own = std::getenv("FACSET_BENCH_LINE_RATE")) {
    long kib = 0, bps = 0;
    if (std::sscanf(own, "%ld,%ld", &kib, &bps) == 2 && kib > 0 && bps > 0)
      benchmark::RegisterBenchmark("BM_LineRate", facset::BM_LineRate)->Args({kib, bps})->Apply(facset::LineRateArgs);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
