// The window's costly moments: generating a full block of rows, the whole open
// command on such a file, and start-up to the first painted window.
//   ninja -C build facset_app_bench && QT_QPA_PLATFORM=offscreen build/bench/app/facset_app_bench
// The real executable's start-up and memory: bench/app/startup.sh.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <memory>
#include <string>

#include "app/main_form.h"
#include "lang/lang.h"
#include "platform/dialogs.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "support/temp_files.h"

namespace facset {
namespace {

// 242 one-byte parameters of one kind (0 numeric, 1 two-choice, 2 text).
std::string FullFile(int kind) {
  std::string s = "[Set]\r\nlngstr=_cn\r\nIsEnabled=1\r\n[factory]\r\n";
  for (int n = 14; n <= 255; ++n) {
    const std::string k = std::string(ByteKeys[static_cast<std::size_t>(n)]);
    s += k + "=" + std::to_string(n) + "\r\n" + k + "t=Parameter " + std::to_string(n) + "\r\n" + k + "n=1\r\n";
    if (kind == 0) s += k + "x=Range 0 to 255\r\n";
    if (kind == 1) s += k + "0=Off\r\n" + k + "1=On\r\n";
    if (kind == 2) s += k + "k=1\r\n";
  }
  return s + "[Aregb]\r\nAregb0=North=9.8015\r\nAregb1=South=9.7936\r\n";
}

class SilentDialogs : public Dialogs {
 public:
  std::string file;
  void ShowMessage(const std::string&, const std::string&, MsgIcon) override {}
  bool AskYesNo(const std::string&, const std::string&, MsgIcon, YesNoDefault) override { return false; }
  bool SelectOpenFile(const FileDialogRequest&, std::string& path) override {
    path = file;
    return true;
  }
  bool SelectSaveFile(const FileDialogRequest&, std::string& path) override {
    path.clear();
    return false;
  }
};

struct Workspace {
  explicit Workspace(int kind) {
    OverrideFilesDir(dir.path());
    testing::WriteFileBytes(dir / "facconfig.ini", FullFile(kind));
    testing::WriteFileBytes(dir / "full.ini", FullFile(kind));
    dialogs.file = dir / "full.ini";
    previous = SetAppDialogs(&dialogs);
  }
  ~Workspace() {
    SetAppDialogs(previous);
    OverrideFilesDir("");
  }
  testing::TempDir dir;
  SilentDialogs dialogs;
  Dialogs* previous = nullptr;
};

void BM_BuildParamControls(benchmark::State& state) {
  Workspace ws(static_cast<int>(state.range(0)));
  ConfigStartup();
  {
    TMainForm form({});
    form.show();
    QApplication::processEvents();
    for (auto _ : state) {
      form.BuildParamControls();
      QApplication::processEvents();  // the new rows are laid out and painted too
    }
  }
  LangShutdown();
}
BENCHMARK(BM_BuildParamControls)->ArgName("kind")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_OpenCommand(benchmark::State& state) {
  Workspace ws(static_cast<int>(state.range(0)));
  ConfigStartup();
  {
    TMainForm form({});
    form.show();
    QApplication::processEvents();
    auto* open = form.findChild<QPushButton*>("btnopen");
    for (auto _ : state) {
      open->click();
      QApplication::processEvents();
    }
  }
  LangShutdown();
}
BENCHMARK(BM_OpenCommand)->ArgName("kind")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

class PaintSeen : public QObject {
 public:
  bool seen = false;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) seen = true;
    return false;
  }
};

// Configuration start-up, window creation and load, first paint; the files
// already exist, as on the demo workspace.
void BM_StartupToFirstPaint(benchmark::State& state) {
  Workspace ws(0);
  for (auto _ : state) {
    ConfigStartup();
    {
      TMainForm form({});
      PaintSeen paint;
      form.installEventFilter(&paint);
      form.show();
      while (!paint.seen) QApplication::processEvents(QEventLoop::AllEvents, 5);
      state.PauseTiming();
      form.removeEventFilter(&paint);
    }
    LangShutdown();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StartupToFirstPaint)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace facset

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
