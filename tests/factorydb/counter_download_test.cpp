// facset-cli download with a counter's values from two stations sharing a
// factory database: what the scales stored never repeats, and a station that
// cannot reach the server sends nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <map>
#include <set>

#include "cli/sim_gang.h"
#include "factorydb/server_counters.h"
#include "records/counters.h"
#include "station_fixture.h"
#include "support/run_process.h"
#include "support/tcp_listener.h"

namespace facset {
namespace {

using testing::FactoryDatabase;
using testing::ReadFileBytes;
using testing::SimGang;
using testing::TempDir;

const std::string kCli = FACSET_CLI_PATH;
constexpr std::size_t kScaleNumber = 26;  // "Scale number"'s byte in the demo file

// The demo file with its firmware box cleared, in `station`.
std::string ParamFile(const TempDir& station) {
  std::string text = ReadFileBytes(std::string(FACSET_DEMO_DIR) + "/sample-en.ini");
  const std::size_t at = text.find("IsDownkDownProg=1");
  if (at != std::string::npos) text[at + 16] = '0';
  testing::WriteFileBytes(station.file("params.ini"), text);
  return station.file("params.ini");
}

std::vector<std::string> Env(const TempDir& station, const std::string& url, const SimGang& sims) {
  return {"FACSET_HOME=" + station.path(), "FACSET_RECORDS_URL=" + url,
          "FACSET_SCALE_UDP_PORT=" + std::to_string(sims.port())};
}

TEST(CounterDownload, TwoStationsAtOnceGiveTheirScalesNumbersThatNeverRepeat) {
  const std::string db = FactoryDatabase("counter_download");
  constexpr std::size_t kPerStation = 3;
  SimGang sims(2 * kPerStation);
  TempDir stations[2];
  // Each station's own counter of the same name stands at 1 too: a station
  // using its own would give numbers the other gives.
  for (const TempDir& s : stations) ASSERT_TRUE(StationCounters(s.path())->Set("scale", 1));
  ASSERT_TRUE(ServerCounters(testing::ConfigFor(db), "setup")->Set("scale", 1));

  std::vector<pid_t> runs;
  for (std::size_t st = 0; st < 2; ++st) {
    std::vector<std::string> args = {"download", ParamFile(stations[st]), "--set", "Scale number=counter:scale"};
    for (std::size_t i = 0; i < kPerStation; ++i) args.insert(args.end(), {"--ip", SimGang::Address(st * kPerStation + i)});
    runs.push_back(testing::SpawnCaptured(kCli, args, Env(stations[st], db, sims), stations[st].file("out"),
                                          stations[st].file("err")));
  }
  for (std::size_t st = 0; st < 2; ++st) {
    int status = 0;
    ASSERT_EQ(::waitpid(runs[st], &status, 0), runs[st]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFileBytes(stations[st].file("err"));
  }

  std::map<std::string, std::string> received;  // target -> the number its scale stored
  std::set<int> numbers;
  for (std::size_t i = 0; i < sims.size(); ++i) {
    const std::string stored = ReadFileBytes(sims[i].paramFile());
    ASSERT_EQ(stored.size(), 256u) << SimGang::Address(i);
    const int n = static_cast<unsigned char>(stored[kScaleNumber]);
    EXPECT_TRUE(numbers.insert(n).second) << n << " given twice";
    received[SimGang::Address(i)] = std::to_string(n);
  }
  EXPECT_EQ(numbers, (std::set<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(testing::PgValue(db, "SELECT next_value FROM facset.counters WHERE name = 'scale'"), "7");
  for (const TempDir& s : stations) EXPECT_EQ(*StationCounters(s.path())->Next("scale").value, 1);

  // The factory database says which scale got which number, from both stations.
  for (const TempDir& s : stations) {
    const testing::ProcessResult sync = testing::RunProcess(kCli, {"records", "sync"}, Env(s, db, sims));
    ASSERT_EQ(sync.status, 0) << sync.err;
  }
  std::map<std::string, std::string> recorded;
  for (const auto& [uid, r] : testing::ServerRecords(db)) {
    ASSERT_EQ(r.valuesSet.size(), 1u) << r.target;
    EXPECT_EQ(r.valuesSet[0].origin, "counter:scale");
    recorded[r.target] = r.valuesSet[0].value;
  }
  EXPECT_EQ(recorded, received);
}

// The server out of reach when the number is needed: refused (exit 6) before
// the scale hears anything, one target or several; no number taken anywhere.
TEST(CounterDownload, ServerOutOfReachRefusesTheRunBeforeAnythingIsSent) {
  const std::string db = FactoryDatabase("counter_unreached");
  ASSERT_TRUE(ServerCounters(testing::ConfigFor(db), "setup")->Set("scale", 40));
  SimGang sims(2);
  TempDir station;
  ASSERT_TRUE(StationCounters(station.path())->Set("scale", 1));
  const std::string file = ParamFile(station);
  const std::string closed = "host=127.0.0.1 port=" + std::to_string(testing::ClosedPort()) + " dbname=x user=x";
  struct Case {
    const char* what;
    std::string url;
    bool serverDown;
    std::vector<std::string> targets;
  } cases[] = {
      {"nothing listens", closed, false, {"--ip", SimGang::Address(0)}},
      {"nothing listens, two targets", closed, false, {"--ip", SimGang::Address(0), "--ip", SimGang::Address(1)}},
      {"the factory database stopped", db, true, {"--ip", SimGang::Address(0), "--ip", SimGang::Address(1)}},
  };
  for (const Case& c : cases) {
    if (c.serverDown) testing::SharedPgServer().Stop();
    std::vector<std::string> args = {"download", file, "--set", "Scale number=counter:scale"};
    args.insert(args.end(), c.targets.begin(), c.targets.end());
    const testing::ProcessResult r = testing::RunProcess(kCli, args, Env(station, c.url, sims));
    if (c.serverDown) testing::SharedPgServer().Start();
    EXPECT_EQ(r.status, 6) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find("factory database"), std::string::npos) << c.what << "\n" << r.err;
  }
  for (std::size_t i = 0; i < sims.size(); ++i) EXPECT_TRUE(sims[i].Log().empty()) << "scale " << i << " heard the run";
  EXPECT_TRUE(ReadRecords(station.path()).records.empty());
  EXPECT_EQ(*StationCounters(station.path())->Next("scale").value, 1);
  EXPECT_EQ(testing::PgValue(db, "SELECT next_value FROM facset.counters WHERE name = 'scale'"), "40");
}

}  // namespace
}  // namespace facset
