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

#include "download/sha256.h"
#include "records/records.h"
#include "factorydb/station_fixture.h"
#include "support/median.h"
#include "support/pg_server.h"
#include "support/run_process.h"
#include "support/sim_process.h"
#include "support/tcp_listener.h"
#include "support/temp_files.h"

using namespace facset;
using namespace facset::testing;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kCli = FACSET_CLI_PATH;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// `count` records in `folder`: the first through AppendRecord (schema and
// all), the rest copied from it in one transaction with their own uids and
// targets, as if appended one by one.
void FillQuickly(const std::string& folder, const std::string& station, int count) {
  if (!AppendRecord(folder, StationRecord(station, 0))) throw std::runtime_error("cannot append");
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

int History(int rows, int runs) {
  PgServer pg;
  pg.Start();
  const std::string db = InitServer(pg, "bench_history");
  // 20 stations, one record every rows/365/20 of a day each, over the year
  // before now; the last day then holds about rows/365.
  const auto fillStart = Clock::now();
  PgQuery(db,
          "INSERT INTO facset.records (uid, station, station_record, started, ended, operator, program,"
          " program_version, transport, target, param_file, block, block_sha256, firmware_path, firmware_sha256,"
          " connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error, log)"
          " SELECT gen_random_uuid(), 'station-' || (g % 20), g / 20 + 1,"
          " now() - (g * interval '365 days' / " + std::to_string(rows) + "),"
          " now() - (g * interval '365 days' / " + std::to_string(rows) + ") + interval '3 seconds',"
          " 'op', 'facset-cli', '0.1', 'udp', '127.0.0.' || (2 + g % 8), '/srv/params/line3.ini',"
          " decode(repeat(md5(g::text), 16), 'hex'), encode(sha256(g::text::bytea), 'hex'), '', '',"
          " 'ok', 'ok', 'not_asked', CASE WHEN g % 17 = 0 THEN 'failed' ELSE 'ok' END,"
          " CASE WHEN g % 17 = 0 THEN 4 ELSE 0 END, '', '[\" connect ok \",\" set ok ! \"]'"
          " FROM generate_series(0, " + std::to_string(rows - 1) + ") g");
  PgQuery(db, "VACUUM ANALYZE facset.records");
  const std::string count = PgValue(db, "SELECT count(*) FROM facset.records");
  const std::string lastDay = PgValue(db, "SELECT count(*) FROM facset.records WHERE started >= now() - interval '1 day'");
  std::printf("history: %s rows on the server (filled in %.1f s), %s in the last day\n", count.c_str(),
              Ms(Clock::now() - fillStart) / 1000, lastDay.c_str());
  // --since takes a UTC date and time: one day before now.
  const std::string since = PgValue(db, "SELECT to_char((now() - interval '1 day') AT TIME ZONE 'UTC',"
                                        " 'YYYY-MM-DD\"T\"HH24:MI:SS')");
  TempDir station;
  int bad = 0;
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"--csv"},
                                                std::vector<std::string>{"--json"}}) {
    std::vector<double> ms;
    long rss = 0;
    for (int i = 0; i < runs; ++i) {
      std::vector<std::string> args = {"history", "--server", "--since", since};
      args.insert(args.end(), extra.begin(), extra.end());
      const Run r = RunQuiet(args, {"FACSET_HOME=" + station.path(), "FACSET_RECORDS_URL=" + db});
      if (r.status != 0) {
        std::printf("  FAILED: %s\n", r.err.c_str());
        ++bad;
        break;
      }
      ms.push_back(r.ms);
      rss = std::max(rss, r.maxRssKb);
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
      std::printf("  history --server --since %s %-6s median %6.1f ms, max %6.1f ms over %d runs, peak RSS %.1f MiB\n",
                  since.c_str(), extra.empty() ? "" : extra[0].c_str(), Median(ms), ms.back(), runs, rss / 1024.0);
    }
  }
  return bad ? 1 : 0;
}

int Unreachable(int runs) {
  SimProcess sim({}, false, false);
  TempDir station;
  WriteFileBytes(station.file("params.ini"), "[port]\r\nip=127.0.0.1\r\nuse com=0\r\n[factory]\r\nIsDownkDownProg=0\r\nbyte[1  ]=1\r\n");
  SilentListener silent;
  const int closed = ClosedPort();
  struct Setting {
    const char* name;
    std::string url;
  } settings[] = {
      {"no factory database", ""},
      {"connection refused (nothing listens)", "host=127.0.0.1 port=" + std::to_string(closed) + " dbname=x user=x"},
      {"no socket (server stopped)", "host=" + station.path() + "/no-server dbname=x user=x"},
      {"a server that never answers", "host=127.0.0.1 port=" + std::to_string(silent.port()) + " dbname=x user=x"},
  };
  std::vector<std::vector<double>> ms(std::size(settings));
  // Interleaved, so that the machine's load falls on every setting alike.
  for (int i = 0; i < runs; ++i) {
    for (std::size_t k = 0; k < std::size(settings); ++k) {
      const Run r = RunQuiet({"download", station.file("params.ini")},
                             {"FACSET_HOME=" + station.path(), "FACSET_RECORDS_URL=" + settings[k].url,
                              "FACSET_SCALE_UDP_PORT=" + std::to_string(sim.udpPort())});
      if (r.status != 0) {
        std::fprintf(stderr, "download failed (%d): %s\n", r.status, r.err.c_str());
        return 1;
      }
      ms[k].push_back(r.ms);
    }
  }
  const double base = Median(ms[0]);
  std::printf("unreachable: %d downloads each against scale-sim (UDP 127.0.0.1)\n", runs);
  int bad = 0;
  for (std::size_t k = 0; k < std::size(settings); ++k) {
    const double m = Median(ms[k]);
    std::printf("  %-40s median %7.1f ms  (%+6.1f ms)\n", settings[k].name, m, m - base);
    bad += k && m - base > 100;
  }
  return bad ? 1 : 0;
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
    if (what == "history") return History(arg(2, 1000000), arg(3, 11));
    if (what == "unreachable") return Unreachable(arg(2, 15));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_factory: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: bench_factory forward|history|local|unreachable [...]\n");
  return 2;
}
