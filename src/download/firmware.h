#pragma once
// The firmware upgrade over an open, logged-on link: upgrade entry (14/16),
// start (15/0), the image blocks from 32 on (15/k), finish (15/1) and the
// report. It depends only on the engine it is handed, the image already in
// memory and the sink that shows its lines; the download runs it, never the
// other way round.

#include <cstdint>
#include <functional>
#include <string>

#include "download/download_sink.h"
#include "download/firmware_image.h"
#include "download/request_report.h"
#include "download/verdict.h"

namespace facset {

class TPBusComm;

// What one upgrade run needs.
struct FirmwareRun {
  TPBusComm& engine;
  DownloadSink& sink;
  // True once the operator (or a closing window, or a signal) ended the run.
  std::function<bool()> aborted = [] { return false; };
};

struct FirmwareEnd {
  StepOutcome outcome = StepOutcome::NotRun;
  StepEnd end = StepEnd::None;  // how the failed request ended
  std::int64_t blocksSent = 0;  // image blocks the scale acknowledged
  bool upgradeStarted = false;  // the scale was asked into its upgrade mode
  StepRequests requests;        // the upgrade's requests on the link
};

// Sends `load`'s image. A missing file ends at once, silently (NoFile); an
// image that could not be read is said in a line before anything is sent.
FirmwareEnd UpgradeFirmware(const FirmwareRun& run, const ImageLoad& load);

}  // namespace facset
