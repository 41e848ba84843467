#pragma once
// Program entry of the window: module start-up, the window's life, module
// shut-down, in that order.

#include <functional>

namespace facset {

class TMainForm;

struct StartupHooks {
  std::function<void()> createEngine;   // protocol engine, before everything else
  std::function<void()> destroyEngine;  // aborted and freed last
  std::function<void(TMainForm&)> download;  // the download command (btnDownload)
};

// Runs the tool; returns the process exit code. With the environment variable
// FACSET_QUIT_AFTER_PAINT set, the window closes itself once it has been
// painted and the milliseconds since process start are printed (start-up
// measurement).
int RunApp(int argc, char** argv, const StartupHooks& hooks);

}  // namespace facset
