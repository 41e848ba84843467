#pragma once
// Turns the end of a download into its station record, so that the window and
// facset-cli each record a run in a few lines:
//
//   RecordContext c{UtcNowIso(), "facset-cli", version, paramFile};  // before the run
//   DownloadOutcome o = run.Run();
//   c.log = ...;                                                      // after it
//   if (auto a = AppendRecord(DefaultRecordsFolder(), MakeDownloadRecord(request, o, c)); !a)
//     log(RecordNotKeptLine(*a.error));

#include <optional>
#include <string>
#include <vector>

#include "download/download.h"
#include "records/records.h"

namespace facset {

// What the front end knows beside the request and the run's outcome.
struct RecordContext {
  std::string startUtc;  // UtcNowIso() taken before the run
  std::string program;
  std::string version;
  std::string paramFile;
  bool withExitCode = false;  // facset-cli records its exit code, the window has none
  std::vector<std::string> log;  // UTF-8
};

// Adds the lines of `utf8` ("\n" between them) to a run's log as recorded;
// an empty text is one empty line.
void AddLogLines(std::vector<std::string>& log, const std::string& utf8);

// A path as recorded: whole and without "." or "..", since a record outlives
// the working directory it was made in. Its bytes stay as they are.
std::string WholePath(const std::string& path);

// Fills every field from the verdict; the firmware's size and sha256 are
// those of the bytes the run sent. Station, operator and end time are taken now.
DownloadRecord MakeDownloadRecord(const DownloadRequest& request, const DownloadOutcome& outcome,
                                  const RecordContext& c);

}  // namespace facset
