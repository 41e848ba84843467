#pragma once
// What one download to one target produced, as --json prints it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "download/download.h"
#include "download/verdict.h"

namespace facset::cli {

struct TargetReport {
  Verdict verdict;  // the exit code, the reason and the outcomes
  std::string target, transport;  // "" when FILE was refused before its link was read
  std::string started;            // UTC, whole seconds: "2026-12-10T04:01:26Z"
  double seconds = 0;
  std::string blockSha256;  // of the 256 bytes sent; "" when the link never opened
  // The firmware asked for, with what the run knew of it.
  std::optional<FirmwareFacts> firmware;
  std::vector<std::string> lines;  // the log as it ends, UTF-8
  std::vector<ValueSet> values;    // set for this run (--set, a targets table)
};

// An input refused before anything was sent (exit 6): no step ran.
Verdict RefusedInput(std::string why, bool firmwareAsked = false);

// The --json document of one target, with its line end.
std::string JsonOf(const TargetReport& t);

}  // namespace facset::cli
