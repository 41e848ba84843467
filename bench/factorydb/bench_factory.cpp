// The factory database, measured the way a factory uses it, against a private
// PostgreSQL this program starts (as the tests do):
//   forward [STATIONS [RECORDS]]   STATIONS station folders of RECORDS records
//                                  each (20 x 500); one `facset-cli records sync`
//                                  per station, all started at once; the wall
//                                  time until the last ends; then the server's
//                                  rows checked against every station's: lost,
//                                  doubled
//   history [ROWS [RUNS]]          ROWS rows on the server (1,000,000) spread
//                                  over a year; `facset-cli history --server
//                                  --since DAY` for the last day > /dev/null,
//                                  median and max wall time of RUNS
//   local [RECORDS]                RECORDS local records (100,000);
//                                  `facset-cli history --csv` > /dev/null: peak
//                                  RSS and wall time
//   unreachable [RUNS]             a download against scale-sim with no factory
//                                  database, with one refusing connections,
//                                  and with one that never answers: median
//                                  wall time of each
// Run: build/bench/factorydb/bench_factory forward|history|local|unreachable [...]
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "records/records.h"
#include "support/pg_server.h"
#include "support/run_process.h"
#include "support/temp_files.h"

using namespace facset;
using namespace facset::testing;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kCli = FACSET_CLI_PATH;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

DownloadRecord Typical(const std::string& station, int i) {
  DownloadRecord r;
  r.uid = NewRecordUid();
  r.startUtc = UtcNowIso();
  r.endUtc = r.startUtc;
  r.station = station;
  r.operatorName = "op";
  r.program = "facset-cli";
  r.version = "0.1";
  r.transport = "udp";
  r.target = "127.0.0." + std::to_string(2 + i % 8);
  r.paramFile = "/srv/params/line3-scale.ini";
  ParamBlock b{};
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 31 + i);
  b[0] = 0xA6;
  r.block = b;
  r.blockSha256 = Sha256Hex(b.data(), b.size());
  r.connectOutcome = r.blockOutcome = r.outcome = "ok";
  r.exitCode = 0;
  r.log = {" connect ..." + r.target, " connect ok ", " set ok ! "};
  return r;
}

// `count` records in `folder`: the first through AppendRecord (schema and
// all), the rest copied from it in one transaction with their own uids and
// targets, as if appended one by one.
void FillQuickly(const std::string& folder, const std::string& station, int count) {
  if (!AppendRecord(folder, Typical(station, 0))) throw std::runtime_error("cannot append");
  if (count <= 1) return;
  sqlite3* db = nullptr;
  sqlite3_open(RecordsPath(folder).c_str(), &db);
  const std::string sql =
      "BEGIN;"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count - 1) + ")"
      " INSERT INTO downloads(started_utc, ended_utc, station, operator, program, version, transport, target,"
      " param_file, block, block_sha256, firmware_path, firmware_size, firmware_sha256, blocks_sent, blocks_to_send,"
      " connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error, log, uid)"
      " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-' || (" + std::to_string(count) + " - i) || ' seconds'),"
      " ended_utc, station, operator, program, version, transport, '127.0.0.' || (2 + i % 8), param_file, block,"
      " block_sha256, firmware_path, firmware_size, firmware_sha256, blocks_sent, blocks_to_send, connect_outcome,"
      " block_outcome, firmware_outcome, CASE WHEN i % 17 = 0 THEN 'failed' ELSE outcome END, exit_code, error, log,"
      " lower(hex(randomblob(4))) || '-' || lower(hex(randomblob(2))) || '-4' || substr(lower(hex(randomblob(2))), 2)"
      " || '-a' || substr(lower(hex(randomblob(2))), 2) || '-' || lower(hex(randomblob(6)))"
      " FROM downloads, n WHERE downloads.id = 1;"
      "INSERT OR IGNORE INTO forward_waiting(id) SELECT id FROM downloads;"
      "COMMIT;";
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    const std::string why = err ? err : "?";
    sqlite3_free(err);
    sqlite3_close(db);
    throw std::runtime_error(why);
  }
  sqlite3_close(db);
}

std::string InitServer(PgServer& pg, const std::string& name) {
  const std::string db = pg.FreshDatabase(name);
  TempDir any;
  const ProcessResult r = RunProcess(kCli, {"records", "init-server"}, {"FACSET_HOME=" + any.path(),
                                                                         "FACSET_RECORDS_URL=" + db});
  if (r.status != 0) throw std::runtime_error(r.err);
  return db;
}

int Forward(int stations, int records) {
  PgServer pg;
  pg.Start();
  const std::string db = InitServer(pg, "bench_forward");
  std::vector<std::unique_ptr<TempDir>> folders;
  std::set<std::string> uids;
  for (int s = 0; s < stations; ++s) {
    folders.push_back(std::make_unique<TempDir>());
    FillQuickly(folders.back()->path(), "station-" + std::to_string(s), records);
    for (const DownloadRecord& r : ReadRecords(folders.back()->path()).records) uids.insert(r.uid);
  }
  std::printf("forward: %d stations x %d records, %zu distinct uids locally\n", stations, records, uids.size());
  std::vector<pid_t> pids;
  const auto start = Clock::now();
  for (const auto& f : folders) {
    pids.push_back(SpawnCaptured(kCli, {"records", "sync"},
                                 {"FACSET_HOME=" + f->path(), "FACSET_RECORDS_URL=" + db}, f->file("out"),
                                 f->file("err")));
  }
  int failed = 0;
  for (pid_t p : pids) {
    int ws = 0;
    waitpid(p, &ws, 0);
    failed += !(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  }
  const double ms = Ms(Clock::now() - start);
  const auto rows = PgQuery(db, "SELECT uid FROM facset.records");
  std::set<std::string> server(rows.begin(), rows.end());
  std::size_t lost = 0;
  for (const std::string& u : uids) lost += server.count(u) ? 0 : 1;
  const std::size_t doubled = rows.size() - server.size();
  std::printf("  %zu rows on the server, %zu lost, %zu doubled, %d syncs failed; wall time %.0f ms (%.0f rows/s)\n",
              rows.size(), lost, doubled, failed, ms, rows.size() / (ms / 1000));
  return lost || doubled || failed || rows.size() != uids.size() ? 1 : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Runs the CLI with stdout to /dev/null; wall time and the child's peak RSS.
struct Run {
  int status = -1;
  double ms = 0;
  long maxRssKb = 0;
  std::string err;
};
Run RunQuiet(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  TempDir scratch;
  Run r;
  const auto start = Clock::now();
  const pid_t pid = SpawnCaptured(kCli, args, env, "/dev/null", scratch.file("err"));
  int ws = 0;
  rusage ru{};
  wait4(pid, &ws, 0, &ru);
  r.ms = Ms(Clock::now() - start);
  r.maxRssKb = ru.ru_maxrss;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.err = ReadFileBytes(scratch.file("err"));
  return r;
}

int Local(int records) {
  TempDir station;
  FillQuickly(station.path(), "station-local", records);
  std::printf("local: %d records in %s\n", records, RecordsPath(station.path()).c_str());
  int bad = 0;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"history", "--csv"},
                                               std::vector<std::string>{"history", "--json"},
                                               std::vector<std::string>{"history"}}) {
    const Run r = RunQuiet(args, {"FACSET_HOME=" + station.path()});
    std::string cmd;
    for (const auto& a : args) cmd += " " + a;
    std::printf("  facset-cli%-16s peak RSS %6.1f MiB, wall %6.0f ms%s\n", cmd.c_str(), r.maxRssKb / 1024.0, r.ms,
                r.status ? (" FAILED: " + r.err).c_str() : "");
    bad += r.status != 0;
  }
  return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  auto arg = [&](int i, int def) { return argc > i ? std::atoi(argv[i]) : def; };
  try {
    if (what == "forward") return Forward(arg(2, 20), arg(3, 500));
    if (what == "local") return Local(arg(2, 100000));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_factory: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: bench_factory forward|history|local|unreachable [...]\n");
  return 2;
}
