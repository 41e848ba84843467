// facset: the factory parameter editor of the label scales.
#include "app/app_startup.h"

#ifdef FACSET_HAVE_PROTOCOL
#include "protocol/scale_link.h"
#endif
#ifdef FACSET_HAVE_DOWNLOAD
#include <cstdlib>

#include "app/window_download.h"
#endif

int main(int argc, char** argv) {
  facset::StartupHooks hooks;
#ifdef FACSET_HAVE_PROTOCOL
  hooks.createEngine = facset::CreateScaleComm;
  hooks.destroyEngine = facset::DestroyScaleComm;
#endif
#ifdef FACSET_HAVE_DOWNLOAD
  hooks.download = facset::WindowDownload;
  // A simulated scale on another UDP port than 5001 (documented in README.md).
  if (const char* port = std::getenv("FACSET_SCALE_UDP_PORT"); port && std::atoi(port) > 0) {
    hooks.createEngine = [p = std::atoi(port)] {
      facset::CreateScaleComm();
      facset::OverrideLinkUdpPort(p);
    };
  }
#endif
  return facset::RunApp(argc, argv, hooks);
}
