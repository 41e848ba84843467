#pragma once
// The firmware upgrade over an open, logged-on link. It depends only on the
// engine it is handed and the host that shows its lines; the download
// command runs it, never the other way round.

#include <functional>
#include <string>

#include "download/download.h"

namespace facset {

class TPBusComm;

// What one upgrade run needs.
struct FirmwareRun {
  TPBusComm& engine;
  DownloadHost& host;
  // True once the operator (or a closing window) ended the run.
  std::function<bool()> aborted = [] { return false; };
};

// Sends the image at `path` (UTF-8): upgrade entry, start, blocks 32.., finish,
// and the report. An image whose blocks cannot all be numbered (more than
// 65536 blocks of 256 bytes) is refused with a log line before the scale is
// asked into its upgrade mode.
FirmwareResult UpgradeFirmware(const FirmwareRun& run, const std::string& path);

}  // namespace facset
