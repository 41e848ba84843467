// A 4 MiB firmware upgrade against scale-sim (no request log, so the scale is
// not the bottleneck), over loopback UDP and over the pseudo-terminal:
//   Cli/...     facset-cli download as a child process (start-up included);
//               rss_growth_MB = its peak RSS minus that of a run with an
//               image of one sent block
//   Window/...  the real window (offscreen) with its log updates, in process;
//               rss_growth_MB = peak RSS sampled during the run minus before
// blocks_per_s counts the 16384 blocks of the image (16352 of them sent).
// Run: QT_QPA_PLATFORM=offscreen bench_download [--benchmark_filter=...]
// Compare with bench_protocol --benchmark_filter=PingPong (the raw channel).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
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

#include "sim_process.h"
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
                                        << "use com=" << (serial ? 1 : 0) << "\r\n[factory]\r\nIsDownkDownProg=0\r\n";
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
  OverrideExecutableDir(dir);
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
  OverrideExecutableDir("");
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
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
