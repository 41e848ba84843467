// The station database, measured the way downloads and operators use it:
//   append   AppendRecord (open, write, close: what each download process
//            does once) into a database that already holds 10,000 records;
//            p50/p95/max over the appends
//   control  a busy loop as long as the median append, timed the same way:
//            what the machine's load alone does to a p95 (other processes
//            compiling on a small machine move it by several ms)
//   history  the real facset-cli history --json > FILE over 10,000 records
//            (process start-up and the file write included); median and max
//            wall time of the runs, and the median CPU time of the process
// Run: build/bench/records/bench_records [appends] [history-runs]
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "download/sha256.h"
#include "records/records.h"
#include "support/temp_files.h"

using namespace facset;
using Clock = std::chrono::steady_clock;

namespace {

DownloadRecord Typical(int i) {
  DownloadRecord r;
  r.startUtc = UtcNowIso();
  r.endUtc = r.startUtc;
  r.station = StationName();
  r.operatorName = OperatorName();
  r.program = "facset-cli";
  r.version = "0.1";
  r.transport = "udp";
  r.target = "127.0.0." + std::to_string(2 + i % 8);
  r.paramFile = "/srv/params/line3-scale.ini";
  ParamBlock b{};
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 31 + i);
  r.block = b;
  r.blockSha256 = Sha256Hex(b.data(), b.size());
  r.firmwarePath = "/srv/fw/scale-v2.hex";
  r.firmwareSize = 131072;
  r.firmwareSha256 = std::string(64, 'c');
  r.blocksSent = r.blocksToSend = 480;
  r.connectOutcome = r.blockOutcome = StepOutcome::Ok;
  r.firmwareOutcome = StepOutcome::Completed;
  r.outcome = i % 10 ? RunOutcome::Ok : RunOutcome::Failed;
  r.exitCode = 0;
  // The lines of a full firmware run.
  r.log = {" connect ...127.0.0.2", " connect ok ", " set ok ! ", "Start updating the program", "update(1/512)",
           "update(512/512)", "Disconnect", "Update completed", "\r\n\r\nLast Update Time:2026-12-10 04:00:00",
           "Program Version: V0000 Program Verification Word:0000", "***************************",
           "***************************"};
  return r;
}

// `program args...` with its output going to `outPath`, as a shell's
// redirection would; the exit status.
int RunToFile(const std::string& program, std::vector<std::string> args, const std::string& outPath) {
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  posix_spawn_file_actions_destroy(&fa);
  return status;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// 10,000 typical records: one appended, the rest copied from it in SQL, so
// that filling takes a second instead of a minute.
void Fill(const std::string& folder, int count) {
  if (!AppendRecord(folder, Typical(0))) throw std::runtime_error("cannot create the database");
  sqlite3* db = nullptr;
  sqlite3_open(RecordsPath(folder).c_str(), &db);
  const std::string cols =
      "ended_utc, station, operator, program, version, transport, target, param_file, block, block_sha256,"
      " firmware_path, firmware_size, firmware_sha256, blocks_sent, blocks_to_send, connect_outcome,"
      " block_outcome, firmware_outcome, outcome, exit_code, error, log";
  const std::string sql = "BEGIN; WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < " +
                          std::to_string(count - 1) +
                          ") INSERT INTO downloads(started_utc, " + cols +
                          ") SELECT strftime('%Y-%m-%dT%H:%M:%fZ', '2026-01-01', '+' || (k * 600) || ' seconds'), " +
                          cols + " FROM downloads, n WHERE id = 1; COMMIT;";
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "fill: %s\n", err);
    std::exit(1);
  }
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  const int appends = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
  constexpr int kRecords = 10000;

  facset::testing::TempDir dir;
  Fill(dir.path(), kRecords);

  std::vector<double> times;
  for (int i = 0; i < appends; ++i) {
    const DownloadRecord r = Typical(i);
    const auto t0 = Clock::now();
    const AppendResult a = AppendRecord(dir.path(), r);
    times.push_back(Ms(Clock::now() - t0));
    if (!a) {
      std::fprintf(stderr, "append: %s\n", a.error->reason.c_str());
      return 1;
    }
  }
  const auto slow = std::count_if(times.begin(), times.end(), [](double t) { return t > 5.0; });
  std::printf("append (%d into %d records): p50 %.2f ms  p95 %.2f ms  p99 %.2f ms  max %.2f ms; %.1f%% over 5 ms\n",
              appends, kRecords, Percentile(times, 0.5), Percentile(times, 0.95), Percentile(times, 0.99),
              *std::max_element(times.begin(), times.end()), 100.0 * static_cast<double>(slow) / appends);

  const double median = Percentile(times, 0.5);
  std::vector<double> control;
  volatile unsigned spin = 0;
  for (int i = 0; i < appends; ++i) {
    const auto t0 = Clock::now();
    while (Ms(Clock::now() - t0) < median) spin = spin + 1;
    control.push_back(Ms(Clock::now() - t0));
  }
  std::printf("control (busy loop of %.2f ms): p95 %.2f ms  p99 %.2f ms\n", median, Percentile(control, 0.95),
              Percentile(control, 0.99));

  // A separate database of exactly 10,000 records, read by the real program.
  facset::testing::TempDir hdir;
  Fill(hdir.path(), kRecords);
  const std::string cli = hdir / "facset-cli";
  std::filesystem::copy_file(FACSET_CLI_PATH, cli);
  ::setenv("FACSET_HOME", hdir.path().c_str(), 1);
  const std::string outPath = hdir / "records.json";
  times.clear();
  std::vector<double> cpu;
  auto childCpuMs = [] {
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  };
  for (int i = 0; i < runs; ++i) {
    const double cpu0 = childCpuMs();
    const auto t0 = Clock::now();
    const int status = RunToFile(cli, {"history", "--json"}, outPath);
    times.push_back(Ms(Clock::now() - t0));
    cpu.push_back(childCpuMs() - cpu0);
    if (status != 0) {
      std::fprintf(stderr, "history --json failed (%d)\n", status);
      return 1;
    }
  }
  const auto bytes = static_cast<std::size_t>(std::filesystem::file_size(outPath));
  std::printf("history --json (%d records, %zu bytes): wall median %.1f ms  max %.1f ms; CPU median %.1f ms;"
              " over %d runs\n",
              kRecords, bytes, Percentile(times, 0.5), *std::max_element(times.begin(), times.end()),
              Percentile(cpu, 0.5), runs);
  return 0;
}
