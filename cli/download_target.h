#pragma once
// One download to the scale the options (or FILE) name, from facset-cli.

#include "download_options.h"
#include "download_report.h"

namespace facset::cli {

// SIGINT and SIGTERM end the run in progress (as aborted) instead of the
// process; Disarm puts the defaults back.
void ArmInterrupt();
void DisarmInterrupt();

// Checks the inputs (nothing is sent when they are refused), runs the
// download, prints its log unless --json, and keeps its record. Needs the
// QCoreApplication. `udpPort` 0: the scale's port.
TargetReport RunTarget(const DownloadOptions& o, int udpPort);

}  // namespace facset::cli
