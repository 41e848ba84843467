#pragma once
// Turns the end of a download into its station record, so that the window and
// facset-cli each record a run in a few lines:
//
//   DownloadContext c{...};          // before RunDownload: start time, target, block
//   DownloadResult r = RunDownload(host);
//   c.log = ...; c.exitCode = ...;   // after it
//   if (auto a = AppendRecord(FilesDir(), MakeDownloadRecord(r, c)); !a)
//     log(RecordNotKeptLine(*a.error));

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/download.h"
#include "records/records.h"

namespace facset {

// What the caller knows beside the DownloadResult.
struct DownloadContext {
  std::string startUtc;  // UtcNowIso() taken before RunDownload
  std::string program;
  std::string version;
  bool useCom = false;
  std::string target;  // address, or list name and device path
  std::string paramFile;
  ParamBlock block{};  // the block as sent (byte 0 is set to A6 here)
  bool firmwareWanted = false;  // the firmware box or --firmware
  std::string firmwarePath;     // UTF-8
  // Taken before the run when the caller has it, so that the record names the
  // bytes sent even if the file changes afterwards; else read at the end.
  std::optional<FileDigest> firmwareDigest;
  // Acknowledged firmware blocks, when the caller counted them; needed only
  // for a run that ended in the middle of the image.
  std::optional<std::int64_t> blocksSent;
  std::string error;  // the message of an exception that ended the run
  std::optional<int> exitCode;
  std::vector<std::string> log;  // UTF-8
};

// The target as recorded: the address over UDP; over a serial line the list
// name and the device path ("COM1 /dev/ttyUSB0"), or the path alone when it
// was named as one.
std::string TargetText(bool useCom, const std::string& address, const std::string& listName,
                       const std::string& device);

// Adds the lines of `utf8` ("\n" between them) to a run's log as recorded;
// an empty text is one empty line.
void AddLogLines(std::vector<std::string>& log, const std::string& utf8);

// The name of a firmware result as stored: "completed", "block failed", ...
std::string_view FirmwareResultName(FirmwareResult r);

// Fills every field; station, operator and the end time are taken now.
DownloadRecord MakeDownloadRecord(const DownloadResult& r, const DownloadContext& c);

}  // namespace facset
