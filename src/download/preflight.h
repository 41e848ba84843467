#pragma once
// The checks a download makes before the first byte goes to the scale. Each
// gives "" when the input is fit, else the reason; on any reason nothing may
// be sent.

#include <cstdint>
#include <string>
#include <string_view>

#include "download/download_request.h"

namespace facset {

struct FirmwareImageInfo {
  std::int64_t size = 0;
  std::int64_t blocks = 0;  // 256-byte blocks, the last one possibly short
};

// A readable regular file, text (no NUL byte), no larger than the INI limit,
// with a "factory" section holding at least one byte key: "not a parameter
// file: PATH" (or the reason the file cannot be read) otherwise.
std::string CheckParamFile(const std::string& path);

// A readable, non-empty regular file the upgrade can number in blocks.
std::string CheckFirmwareImage(const std::string& path, FirmwareImageInfo* info = nullptr);

// True for a strict dotted quad: four decimal numbers 0..255 of 1..3 digits,
// no leading zero (so "010" is never read as octal), nothing else around.
// Nothing is ever looked up.
bool IsDottedQuad(std::string_view text);

// A regular file this user may read: "" or "PATH: why not" (missing, a
// directory, not a regular file, no permission). A FIFO never stalls it.
std::string CheckReadableRegularFile(const std::string& path);

// A serial device that exists, opens and is a terminal (/dev/null is none),
// or a dotted IPv4 address (no host names: nothing is looked up).
std::string CheckLinkTarget(const DownloadTarget& target);

// The link, and the firmware image when the request asks for the upgrade.
std::string PreflightDownload(const DownloadRequest& request, FirmwareImageInfo* info = nullptr);

}  // namespace facset
