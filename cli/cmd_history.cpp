#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>

#include "cli.h"
#include "factorydb/server_config.h"
#include "factorydb/server_records.h"
#include "factorydb/server_schema.h"
#include "records/record_text.h"
#include "records/records.h"

namespace facset::cli {
namespace {

enum class Format { Table, Json, Csv };

// A factory database that does not answer the log-on by then is reported, not waited for.
constexpr std::chrono::seconds kConnectLimit{30};

struct Options {
  std::optional<std::string> since, target, show, station;
  bool failed = false;
  bool server = false;
  Format format = Format::Table;
};

constexpr OptionSpec kTable[] = {
    {"--since", "DATE", "only records started at or after DATE, in UTC:\nYYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS"},
    {"--target", "T", "only records for target T: an address, a port name such as\nCOM1, or a device path"},
    {"--failed", "", "only records whose overall outcome is not ok"},
    {"--json", "", "one JSON array holding every field of each record"},
    {"--csv", "", "a header row and one row per record (no log, no block)"},
    {"--show", "ID", "record ID in full: its fields, its log and its block as the\nset-value view (with --json or --csv in that form)"},
    {"--server", "", "the factory database's records, of every station, instead\nof this station's (see facset-cli records --help)"},
    {"--station", "NAME", "with --server: only the records of station NAME (its host\nname); --show needs it"},
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
  o.station = p.Value("--station");
  o.failed = p.Has("--failed");
  o.server = p.Has("--server");
  if (p.Has("--json") && p.Has("--csv")) return UsageError(kHistoryCommand, "--json and --csv exclude each other");
  if (p.Has("--json")) o.format = Format::Json;
  if (p.Has("--csv")) o.format = Format::Csv;
  if (o.station && !o.server) return UsageError(kHistoryCommand, "--station goes with --server");
  if (o.show && (o.since || o.target || o.failed)) {
    return UsageError(kHistoryCommand, "--show takes no filter");
  }
  if (o.show && o.server && !o.station) {
    return UsageError(kHistoryCommand, "--show with --server needs --station: record numbers are the station's");
  }
  return std::nullopt;
}

// Where the records come from: this station's database or the factory's.
// Each returns the error that stopped it, if any.
struct Source {
  std::function<std::optional<std::string>(RecordsExtent&)> measure;
  std::function<std::optional<std::string>(const std::function<void(const DownloadRecord&)>&)> each;
};

Source LocalSource(const std::string& folder, const RecordFilter& f) {
  return {[folder, f](RecordsExtent& e) -> std::optional<std::string> {
            if (auto err = MeasureRecords(folder, f, e)) return err->reason;
            return std::nullopt;
          },
          [folder, f](const std::function<void(const DownloadRecord&)>& each) -> std::optional<std::string> {
            if (auto err = ForEachRecord(folder, f, each)) return err->reason;
            return std::nullopt;
          }};
}

Source ServerSource(PgSession& s, const std::string& where, const ServerRecordFilter& f) {
  return {[&s, where, f](RecordsExtent& e) -> std::optional<std::string> {
            if (!MeasureServerRecords(s, f, e)) return where + s.Error();
            return std::nullopt;
          },
          [&s, where, f](const std::function<void(const DownloadRecord&)>& each) -> std::optional<std::string> {
            if (!ForEachServerRecord(s, f, [&](const DownloadRecord& r) {
                  each(r);
                  return true;
                })) {
              return where + s.Error();
            }
            return std::nullopt;
          }};
}

// Writes the records as they arrive, in chunks: memory stays flat whatever
// their number. An error part way leaves the output unfinished, and says so.
int Write(const Source& source, Format format, bool withStation) {
  constexpr std::size_t kChunk = 1 << 16;
  std::string out;
  bool writeFailed = false;
  auto flush = [&] {
    if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) writeFailed = true;
    out.clear();
  };
  TableLayout layout;
  if (format == Format::Table) {
    RecordsExtent e;
    if (auto err = source.measure(e)) return Fail(*err);
    layout = LayoutFor(e, withStation);
    out = RecordsTableHeader(layout);
  } else {
    out = format == Format::Json ? "[" : std::string(RecordsCsvHeader());
  }
  std::size_t count = 0;
  const auto error = source.each([&](const DownloadRecord& r) {
    switch (format) {
      case Format::Table: AppendRecordRow(out, r, layout); break;
      case Format::Json:
        out += count ? ",\n" : "\n";
        AppendRecordJson(out, r);
        break;
      case Format::Csv: AppendRecordCsv(out, r); break;
    }
    ++count;
    if (out.size() >= kChunk) flush();
  });
  if (error) {
    flush();
    std::fflush(stdout);
    return Fail(*error);
  }
  if (format == Format::Json) out += count ? "\n]\n" : "]\n";
  flush();
  if (writeFailed || std::fflush(stdout) != 0) return Fail("cannot write to standard output");
  return kExitOk;
}

int WriteOne(const DownloadRecord& r, Format format) {
  std::string out;
  switch (format) {
    case Format::Json: out = RecordsJson({r}); break;
    case Format::Csv: out = RecordsCsv({r}); break;
    case Format::Table: out = RecordDetail(r); break;
  }
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    return Fail("cannot write to standard output");
  }
  return kExitOk;
}

int RunHistory(std::span<const std::string> args) {
  Options o;
  if (auto code = ParseOptions(args, o)) return *code;

  std::int64_t showId = 0;
  if (o.show) {
    const std::string& s = *o.show;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), showId);
    if (ec != std::errc() || end != s.data() + s.size() || showId <= 0) {
      return UsageError(kHistoryCommand, "--show needs a record number, not \"" + s + "\"");
    }
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

  const std::string folder = DefaultRecordsFolder();
  if (!o.server) {
    if (o.show) {
      const ReadResult read = ReadRecord(folder, showId);
      if (read.error) return Fail(read.error->reason);
      return WriteOne(read.records.front(), o.format);
    }
    return Write(LocalSource(folder, f), o.format, false);
  }

  const ServerConfigResult config = ConfiguredServer(folder);
  if (!config.error.empty()) return Fail(config.error);
  if (!config.server) {
    return Fail("no factory database configured: set FACSET_RECORDS_URL, or url in the [records] section of " +
                folder + "facconfig.ini");
  }
  const std::string where = "factory database " + config.server->shown + ": ";
  PgSession s(PgLimits{std::chrono::steady_clock::now() + kConnectLimit});
  if (!s.Connect(config.server->conninfo)) return Fail(where + s.Error());
  // The query itself may take as long as it takes; Ctrl+C ends it.
  s.SetLimits(PgLimits{});
  const auto schema = ReadServerSchema(s);
  if (!schema) return Fail(where + s.Error());
  if (std::string problem = ServerSchemaProblem(*schema); !problem.empty()) return Fail(problem);
  ServerRecordFilter sf;
  sf.local = f;
  if (o.station) sf.station = *o.station;
  if (o.show) {
    sf.stationRecord = showId;
    std::optional<DownloadRecord> found;
    if (!ForEachServerRecord(s, sf, [&](const DownloadRecord& r) {
          found = r;
          return false;
        })) {
      return Fail(where + s.Error());
    }
    if (!found) return Fail("no record " + std::to_string(showId) + " of station " + sf.station);
    return WriteOne(*found, o.format);
  }
  return Write(ServerSource(s, where, sf), o.format, true);
}

}  // namespace

const Command kHistoryCommand{
    "history", "history [OPTIONS]",
    "list the download records, newest first",
    "Options: [--since DATE] [--target T] [--failed] [--json | --csv] [--show ID]\n"
    "         [--server [--station NAME]]\n\n"
    "Lists the downloads recorded in facset-records.sqlite in the tool's folder\n"
    "(facset-cli where), newest first, each with its outcome and the sha256 of\n"
    "the parameter block sent; with --server, those of every station on the\n"
    "factory database (a STATION column comes first; ID is the station's own\n"
    "number).\n",
    RunHistory,
    kTable,
    "Outcomes: ok, not_proven, failed or aborted for a run; for its steps also\n"
    "not_run, not_asked, completed, no_file, cannot_read, entry_failed,\n"
    "start_failed, block_failed, finish_failed and unknown (README lists them).\n"
    "Records are written out as they are read. The databases are only read. No\n"
    "station database yet lists no records.\n"
    "Exit status: 0 success; 1 the database cannot be read, the factory database\n"
    "cannot be reached, or there is no record ID; 2 on bad usage.\n"};

}  // namespace facset::cli
