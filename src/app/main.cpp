// facset: the factory parameter editor of the label scales.
#include <cstdio>
#include <cstring>

#include "app/app_startup.h"
#include "app/window_download.h"
#include "download/run_settings.h"
#include "platform/version.h"
#include "protocol/scale_link.h"

namespace {

const char kHelp[] =
    "Usage: facset [VLQ7200]\n"
    "The factory parameter editor of the label scales: edits the parameter block\n"
    "and downloads it, and on request a firmware image, over UDP or a serial line.\n"
    "\n"
    "  VLQ7200       parameter editor only: no connection settings, no download\n"
    "  --help        this text\n"
    "  --version     the version of this program\n"
    "  Qt's own options apply too (-platform NAME, -display DISPLAY, -style NAME).\n"
    "\n"
    "The tool's files (facconfig.ini, kelvaset<suffix>.lng, DEBUG.LOG,\n"
    "facset-records.sqlite) live in the tool's folder: FACSET_HOME, else the\n"
    "program's own folder for a copy that is not installed and that this user\n"
    "may write, else $XDG_CONFIG_HOME/facset (~/.config/facset); it must be this\n"
    "user's own. `facset-cli where` prints the folder in use.\n"
    "\n"
    "Environment:\n"
    "  FACSET_HOME            keep the files in this folder instead\n"
    "  FACSET_SCALE_UDP_PORT  UDP port of the scale (default 5001)\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that both work without a display.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    const auto v = facset::ProjectVersion();
    std::printf("facset %.*s\n", int(v.size()), v.data());
    return 0;
  }
  facset::StartupHooks hooks;
  hooks.createEngine = facset::CreateScaleComm;
  hooks.destroyEngine = facset::DestroyScaleComm;
  hooks.download = facset::WindowDownload;
  // A simulated scale on another UDP port than 5001 (documented in README.md).
  // A malformed value would otherwise send to the scale's own port unnoticed.
  const facset::UdpPortSetting udp = facset::ReadScaleUdpPortEnv();
  if (!udp.error.empty()) {
    std::fprintf(stderr, "facset: %s\n", udp.error.c_str());
    return 1;
  }
  if (udp.port > 0) {
    hooks.createEngine = [p = udp.port] {
      facset::CreateScaleComm();
      facset::OverrideLinkUdpPort(p);
    };
  }
  return facset::RunApp(argc, argv, hooks);
}
