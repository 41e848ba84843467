#pragma once
// The station database: one record per download, appended to the SQLite file
// facset-records.sqlite in the tool's folder. Several processes (windows,
// facset-cli runs) append at once; nothing here throws, every failure comes
// back as a RecordsError so that a download never fails because of its record.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/download_request.h"
#include "download/verdict.h"
#include "params/param_math.h"
#include "records/record_time.h"

namespace facset {

inline constexpr std::string_view kRecordsFileName = "facset-records.sqlite";
// The schema this program writes; older files are migrated on the first append.
inline constexpr int kRecordsSchemaVersion = 3;
// Prefix of the log line that says a record could not be written.
inline constexpr std::string_view kMsgRecordNotKept = "record not kept: ";

struct DownloadRecord {
  std::int64_t id = 0;    // assigned by AppendRecord; ignored on append
  // Made when the record is created (a random UUID), kept wherever the record
  // goes: the factory database knows it by this name, so it is never counted
  // twice however often it is sent.
  std::string uid;
  std::string startUtc;   // ISO 8601, UTC: "2026-12-10T04:01:26.123Z"
  std::string endUtc;
  std::string station;    // host name
  std::string operatorName;  // login name
  std::string program;    // "facset-cli", "facset"
  std::string version;
  std::string transport;  // "udp" or "serial"
  std::string target;     // address, or list name and device path
  std::string paramFile;
  std::optional<ParamBlock> block;  // the block sent (or meant to be sent)
  std::string blockSha256;          // lower-case hex; empty without a block
  std::string firmwarePath;         // empty: no firmware asked for
  std::optional<std::int64_t> firmwareSize;
  std::string firmwareSha256;
  std::optional<std::int64_t> blocksSent;    // firmware blocks; none without firmware
  std::optional<std::int64_t> blocksToSend;
  // The verdict, stored in its words (Spell); records written with the
  // earlier words ("not run", "block failed") read as the same outcomes.
  StepOutcome connectOutcome = StepOutcome::NotRun;
  StepOutcome blockOutcome = StepOutcome::NotRun;
  StepOutcome firmwareOutcome = StepOutcome::NotAsked;
  RunOutcome outcome = RunOutcome::Failed;
  std::optional<int> exitCode;  // facset-cli only
  std::string error;            // why the outcome is not ok (the verdict's reason), "" when ok
  std::vector<std::string> log;  // the log lines, UTF-8
  std::vector<ValueSet> valuesSet;  // set for this run on top of the file's block (already in `block`)

  bool operator==(const DownloadRecord&) const = default;
};

enum class RecordsErrorCode : std::uint8_t {
  CannotOpen,    // no such folder, no permission, not a database
  ReadOnly,      // the file or its folder cannot be written
  Busy,          // other writers held the database longer than the busy timeout
  NewerSchema,   // written by a newer program: left untouched
  NotFound,      // no record with that id
  Failed,        // any other SQLite error
};

struct RecordsError {
  RecordsErrorCode code = RecordsErrorCode::Failed;
  std::string reason;
};

// The fixed log line for a record that could not be kept: "record not kept: <reason>".
std::string RecordNotKeptLine(const RecordsError& e);

// The tool's folder, where facconfig.ini lives: the database sits beside it.
std::string DefaultRecordsFolder();
// `folder` with or without its trailing "/".
std::string RecordsPath(const std::string& folder);

struct AppendResult {
  std::int64_t id = 0;
  std::string uid;  // the record's, or the one made for it when it came without
  std::optional<RecordsError> error;
  explicit operator bool() const { return !error; }
};

// Appends `r` (its id ignored), creating or migrating the database first.
// Waits for other writers up to the busy timeout.
AppendResult AppendRecord(const std::string& folder, const DownloadRecord& r);

struct RecordFilter {
  std::string sinceUtc;  // records started at or after; "" = all (see ParseSinceDate)
  std::string target;    // the whole target text or one of its blank-separated words; "" = all
  bool failedOnly = false;  // overall outcome other than ok
  std::int64_t limit = 0;   // at most this many (the newest); 0 = all
};

struct ReadResult {
  std::vector<DownloadRecord> records;  // newest first
  std::optional<RecordsError> error;
  explicit operator bool() const { return !error; }
};

// Never creates or changes the file; a missing database reads as no records.
ReadResult ReadRecords(const std::string& folder, const RecordFilter& f = {});
// The same records one at a time, for output that need not hold them all.
// `each` may not call back into the database.
std::optional<RecordsError> ForEachRecord(const std::string& folder, const RecordFilter& f,
                                          const std::function<void(const DownloadRecord&)>& each);
// How wide the records that `f` selects print: the longest id, start, target
// and station, in bytes; and how many they are.
struct RecordsExtent {
  std::int64_t count = 0;
  std::size_t idChars = 0, startBytes = 0, targetBytes = 0, stationBytes = 0;
};
std::optional<RecordsError> MeasureRecords(const std::string& folder, const RecordFilter& f, RecordsExtent& out);
// How many records started at or after `sinceUtc` ended with each overall
// outcome (ok -> 12, failed -> 2, ...).
std::optional<RecordsError> CountOutcomes(const std::string& folder, const std::string& sinceUtc,
                                          std::map<RunOutcome, std::int64_t>& out);
// One record by id; NotFound when there is none.
ReadResult ReadRecord(const std::string& folder, std::int64_t id);

// ---- Forwarding to the factory database -----------------------------------
// Every record waits from its append until MarkForwarded says the factory
// database holds it.

// A new record uid: a random (version 4) UUID, lower case with hyphens.
std::string NewRecordUid();

// Waiting records with an id above `afterId`, oldest first, at most `limit`.
// Creates or migrates the database as an append would.
ReadResult ReadWaitingRecords(const std::string& folder, std::int64_t afterId, int limit);
// The factory database holds these records now: they wait no more.
std::optional<RecordsError> MarkForwarded(const std::string& folder, std::span<const std::int64_t> ids);

struct ForwardState {
  std::int64_t waiting = 0;
  std::string oldestWaitingUtc;  // the start of the oldest waiting record
  std::string lastAttemptUtc;    // when the last forwarding ended, whatever came of it
  std::string lastError;         // why it left records waiting; "" when it sent all
};
// Never writes; with no database nothing waits.
std::optional<RecordsError> ReadForwardState(const std::string& folder, ForwardState& out);
// Keeps how a forwarding ended (`error` empty: everything went).
std::optional<RecordsError> NoteForwardAttempt(const std::string& folder, const std::string& error);

// The station as recorded: its host name, and who sat at it.
std::string StationName();
std::string OperatorName();

}  // namespace facset
