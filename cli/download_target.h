#pragma once
// One download to the scale the options (or FILE) name, from facset-cli.

#include <string>
#include <vector>

#include "download/download_request.h"
#include "download_options.h"
#include "download_report.h"
#include "params/param_model.h"

namespace facset::cli {

// SIGINT, SIGTERM and SIGHUP (a closed terminal or SSH session) end the run
// in progress (as aborted) instead of the process; Disarm puts the defaults back.
void ArmInterrupt();
void DisarmInterrupt();

// FILE as a download reads it.
struct ParamInput {
  ParamSet ps;
  std::vector<ByteOutsideRange> outside;  // byte keys a hand edit left outside a byte
};
// Checks and reads FILE; with `language` also puts the language FILE names in
// force. "" or why FILE is refused (nothing may be sent then).
std::string ReadParamInput(const std::string& path, ParamInput& in, bool language);

// One line on stderr per byte key outside a byte, before anything is sent:
// a warning naming the key, its text and the byte sent; with `strict` the
// key is refused instead, and the refusal is returned ("" otherwise).
std::string ReportBytesOutsideRange(const std::string& path, const std::vector<ByteOutsideRange>& outside,
                                    bool strict);

// The request for the target the options (or FILE) name, checked as the run
// checks it before the first byte: the link (a serial device must exist, open
// and be a terminal; an address must be a dotted IPv4 one) and the firmware
// image. "" or why not.
std::string PrepareRequest(const DownloadOptions& o, const ParamSet& ps, int udpPort, DownloadRequest& r);

// Checks the inputs (nothing is sent when they are refused), runs the
// download, prints its log unless --json, and keeps its record. Needs the
// QCoreApplication. `udpPort` 0: the scale's port.
TargetReport RunTarget(const DownloadOptions& o, int udpPort);

}  // namespace facset::cli
