#pragma once
// The options of `facset-cli download`: the one table that its parser, its
// --help and the several-targets splitter read.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "options.h"

namespace facset::cli {

extern const OptionTable kDownloadOptions;

// Options that name targets; the several-targets runner takes them out and
// gives each child one --ip or --com.
inline constexpr std::string_view kOptIp = "--ip";
inline constexpr std::string_view kOptCom = "--com";
inline constexpr std::string_view kOptTargets = "--targets";
inline constexpr std::string_view kOptJson = "--json";
// How many targets run at once; the several-targets runner takes it out.
inline constexpr std::string_view kOptJobs = "--jobs";
inline constexpr std::string_view kOptSet = "--set";

// One download to one target, as the command line asks for it.
struct DownloadOptions {
  std::string file;
  std::optional<std::string> ip;
  std::optional<std::string> com;
  std::optional<std::string> firmware;
  bool noFirmware = false;
  bool gbk = false;
  bool json = false;
  bool anySender = false;
  bool strict = false;  // refuse FILE when a byte key holds a value outside a byte
  int speedIndex = 0;
  std::optional<int> retries;
  std::optional<int> timeoutMs;
  std::vector<std::string> sets;  // --set NAME=VALUE, in order
};

// Reads the options of a single-target run; "" or a usage error.
std::string ReadDownloadOptions(const ParsedArgs& args, DownloadOptions& o);

}  // namespace facset::cli
