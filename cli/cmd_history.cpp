#include <charconv>
#include <cstdio>

#include "cli.h"
#include "records/record_text.h"
#include "records/records.h"

namespace facset::cli {
namespace {

enum class Format { Table, Json, Csv };

struct Options {
  std::optional<std::string> since, target, show;
  bool failed = false;
  Format format = Format::Table;
};

constexpr OptionSpec kTable[] = {
    {"--since", "DATE", "only records started at or after DATE, in UTC:\nYYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS"},
    {"--target", "T", "only records for target T: an address, a port name such as\nCOM1, or a device path"},
    {"--failed", "", "only records whose overall outcome is not ok"},
    {"--json", "", "one JSON array holding every field of each record"},
    {"--csv", "", "a header row and one row per record (no log, no block)"},
    {"--show", "ID", "record ID in full: its fields, its log and its block as the\nset-value view (with --json or --csv in that form)"},
};

std::optional<int> ParseOptions(std::span<const std::string> args, Options& o) {
  const ParsedArgs p = ParseArgs(kTable, args);
  if (p.help) {
    PrintHelp(kHistoryCommand);
    return kExitOk;
  }
  if (!p.error.empty()) return UsageError(kHistoryCommand, p.error);
  if (!p.positionals.empty()) return UsageError(kHistoryCommand, "unexpected argument " + p.positionals[0]);
  o.since = p.Value("--since");
  o.target = p.Value("--target");
  o.show = p.Value("--show");
  o.failed = p.Has("--failed");
  if (p.Has("--json") && p.Has("--csv")) return UsageError(kHistoryCommand, "--json and --csv exclude each other");
  if (p.Has("--json")) o.format = Format::Json;
  if (p.Has("--csv")) o.format = Format::Csv;
  if (o.show && (o.since || o.target || o.failed)) {
    return UsageError(kHistoryCommand, "--show takes no filter");
  }
  return std::nullopt;
}

int RunHistory(std::span<const std::string> args) {
  Options o;
  if (auto code = ParseOptions(args, o)) return *code;

  const std::string folder = DefaultRecordsFolder();
  std::string out;
  bool writeFailed = false;
  auto flush = [&] {
    if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) writeFailed = true;
    out.clear();
  };
  auto finish = [&]() -> int {
    flush();
    if (writeFailed || std::fflush(stdout) != 0) return Fail("cannot write to standard output");
    return kExitOk;
  };

  if (o.show) {
    std::int64_t id = 0;
    const std::string& s = *o.show;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), id);
    if (ec != std::errc() || end != s.data() + s.size() || id <= 0) {
      return UsageError(kHistoryCommand, "--show needs a record number, not \"" + s + "\"");
    }
    const ReadResult read = ReadRecord(folder, id);
    if (read.error) return Fail(read.error->reason);
    switch (o.format) {
      case Format::Json: out = RecordsJson(read.records); break;
      case Format::Csv: out = RecordsCsv(read.records); break;
      case Format::Table: out = RecordDetail(read.records.front()); break;
    }
    return finish();
  }

  RecordFilter f;
  if (o.since) {
    const auto since = ParseSinceDate(*o.since);
    if (!since) {
      return UsageError(kHistoryCommand,
                        "--since takes a UTC date such as 2026-12-10 or 2026-12-10T08:30, not \"" + *o.since + "\"");
    }
    f.sinceUtc = *since;
  }
  if (o.target) f.target = *o.target;
  f.failedOnly = o.failed;

  if (o.format == Format::Table) {
    const ReadResult read = ReadRecords(folder, f);
    if (read.error) return Fail(read.error->reason);
    out = RecordsTable(read.records);
    return finish();
  }
  // JSON and CSV are written as they are read: thousands of records need not
  // be held twice. An error part way leaves the output unfinished, and says so.
  constexpr std::size_t kChunk = 1 << 16;
  std::size_t count = 0;
  out = o.format == Format::Json ? "[" : std::string(RecordsCsvHeader());
  const auto error = ForEachRecord(folder, f, [&](const DownloadRecord& r) {
    if (o.format == Format::Json) {
      out += count ? ",\n" : "\n";
      AppendRecordJson(out, r);
    } else {
      AppendRecordCsv(out, r);
    }
    ++count;
    if (out.size() >= kChunk) flush();
  });
  if (error) {
    flush();
    std::fflush(stdout);
    return Fail(error->reason);
  }
  if (o.format == Format::Json) out += count ? "\n]\n" : "]\n";
  return finish();
}

}  // namespace

const Command kHistoryCommand{
    "history", "history [OPTIONS]",
    "list the download records, newest first",
    "Options: [--since DATE] [--target T] [--failed] [--json | --csv] [--show ID]\n\n"
    "Lists the downloads recorded in facset-records.sqlite in the tool's folder\n"
    "(facset-cli where), newest first, each with its outcome and the sha256 of\n"
    "the parameter block sent.\n",
    RunHistory,
    kTable,
    "Outcomes: ok, not_proven, failed or aborted for a run; for its steps also\n"
    "not_run, not_asked, completed, no_file, cannot_read, entry_failed,\n"
    "start_failed, block_failed, finish_failed and unknown (README lists them).\n"
    "The database is only read. No database yet lists no records.\n"
    "Exit status: 0 success; 1 the database cannot be read or there is no\n"
    "record ID; 2 on bad usage.\n"};

}  // namespace facset::cli
