// facset: the factory parameter editor of the label scales.
#include "app/app_startup.h"

#ifdef FACSET_HAVE_PROTOCOL
#include "protocol/scale_link.h"
#endif

int main(int argc, char** argv) {
  facset::StartupHooks hooks;
#ifdef FACSET_HAVE_PROTOCOL
  hooks.createEngine = facset::CreateScaleComm;
  hooks.destroyEngine = facset::DestroyScaleComm;
#endif
  // HOOK: the download command (btnDownloadClick) is set here as hooks.download
  // once the download module exists.
  return facset::RunApp(argc, argv, hooks);
}
