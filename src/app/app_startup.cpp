#include "app_startup.h"

#include "app/state_dump.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <iterator>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>

#include "app/main_form.h"
#include "app/qt_dialogs.h"
#include "lang/lang.h"
#include "platform/text_encoding.h"

namespace facset {

namespace {

// Milliseconds since the process started, from /proc (start-up measurement only).
double MsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = s.rfind(')');
  if (close == std::string::npos) return -1;
  // Field 22 (starttime, clock ticks since boot); fields counted after ")".
  std::size_t pos = close + 2;
  for (int field = 3; field < 22 && pos != std::string::npos; ++field) pos = s.find(' ', pos) + 1;
  const double startTicks = std::strtod(s.c_str() + pos, nullptr);
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  const double nowMs = boot.tv_sec * 1000.0 + boot.tv_nsec / 1e6;
  return nowMs - startTicks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

class FirstPaintProbe : public QObject {
 public:
  explicit FirstPaintProbe(QWidget* w) : QObject(w), window_(w) { w->installEventFilter(this); }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (o == window_ && e->type() == QEvent::Paint && !done_) {
      done_ = true;
      QTimer::singleShot(0, window_, [this] {
        std::printf("first paint after %.1f ms, resident %ld kB\n", MsSinceProcessStart(), ResidentKb());
        std::fflush(stdout);
        QApplication::exit(0);
      });
    }
    return false;
  }

 private:
  QWidget* window_;
  bool done_ = false;
};

}  // namespace

int RunApp(int argc, char** argv, const StartupHooks& hooks) {
  // Qt needs its application object before any widget or message box; the
  // tool's own start-up order follows.
  QApplication app(argc, argv);
  QApplication::setApplicationName("facset");
  // Lets desktops match the window to the installed .desktop file and its icon.
  QGuiApplication::setDesktopFileName("org.facset.Facset");

  if (hooks.createEngine) hooks.createEngine();
  QtDialogs dialogs;
  SetAppDialogs(&dialogs);
  int rc = 0;
  try {
    ConfigStartup();
  } catch (const std::exception& e) {
    // Without its configuration the tool cannot run: say why and stop.
    std::fprintf(stderr, "facset: %s\n", EscapeForTerminal(e.what()).c_str());
    dialogs.ShowMessage(Utf8ToGbk(e.what()), "", MsgIcon::Error);
    rc = 1;
  }
  if (rc == 0) {
    TMainForm form(QApplication::arguments().mid(1));
    dialogs.setParent(&form);
    if (hooks.download) form.SetDownloadHandler(hooks.download);
    if (std::getenv("FACSET_QUIT_AFTER_PAINT") != nullptr) new FirstPaintProbe(&form);
    InstallStateDump(form);
    form.show();
    rc = QApplication::exec();
    dialogs.setParent(nullptr);
  }  // the window goes first (its rows, then ToolConfigIni)
  SetAppDialogs(nullptr);
  LangShutdown();
  if (hooks.destroyEngine) hooks.destroyEngine();
  return rc;
}

}  // namespace facset
