// Per-unit values through the real facset-cli against scale-sim instances on
// 127.0.0.2, 127.0.0.3, ... and a pseudo-terminal: what each scale stored,
// byte by byte, what the station recorded, and refusals that send nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "params/param_model.h"
#include "records/counters.h"
#include "records/records.h"
#include "sim_gang.h"
#include "support/run_process.h"
#include "support/temp_files.h"

namespace facset::cli {
namespace {

using SimOptions = std::vector<std::vector<std::string>>;
using testing::ReadFileBytes;
using testing::SimGang;
using testing::TempDir;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

class Values : public ::testing::Test {
 protected:
  void SetUp() override {
    cli = dir / "facset-cli";
    fs::copy_file(FACSET_CLI_PATH, cli);
  }
  // A copy of a demo file with its firmware box cleared, and its block as the
  // scale would get it.
  std::string File(const char* demo) {
    const std::string path = dir / "params.ini";
    std::string text = ReadFileBytes(std::string(FACSET_DEMO_DIR) + "/" + demo);
    const std::size_t at = text.find("IsDownkDownProg=1");
    if (at != std::string::npos) text[at + 16] = '0';
    WriteFileBytes(path, text);
    ParamSet ps;
    LoadParamSet(IniFile(path), ps);
    block.assign(ps.Block.begin(), ps.Block.end());
    block[0] = static_cast<char>(0xA6);
    return path;
  }
  testing::ProcessResult Cli(std::vector<std::string> args, int port) {
    return testing::RunProcess(cli, args, {"FACSET_SCALE_UDP_PORT=" + std::to_string(port)});
  }
  static std::string Stored(testing::SimProcess& sim) { return ReadFileBytes(sim.paramFile()); }
  std::vector<DownloadRecord> Records() {
    ReadResult r = ReadRecords(dir.path());
    EXPECT_FALSE(r.error);
    std::reverse(r.records.begin(), r.records.end());  // oldest first
    return r.records;
  }

  TempDir dir;
  std::string cli;
  std::string block;  // FILE's block as sent without values
};

TEST_F(Values, SetByCaptionByteAndFixedNameReachesTheScaleAndTheRecordOnly) {
  SimGang sims(1);
  const std::string file = File("sample-en.ini");
  const std::string before = ReadFileBytes(file);
  const auto r = Cli({"download", file, "--ip", "127.0.0.2", "--set", "scale NUMBER=42", "--set", "byte[20]=A,",
                      "--set", "calibration gravity=Harbin", "--set", "screen=Hanging scale"},
                     sims.port());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected = block;
  expected[26] = 42;
  expected[20] = 'A', expected[21] = ',', expected[22] = 0;
  expected[7] = 0x62, expected[8] = 0x01, expected[9] = 0x7F, expected[10] = 0x12;  // Harbin 9.8066
  expected[1] = 3;
  EXPECT_EQ(Stored(sims[0]), expected);
  EXPECT_EQ(ReadFileBytes(file), before) << "FILE was written";

  const std::vector<DownloadRecord> recs = Records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::string(recs[0].block->begin(), recs[0].block->end()), expected);
  EXPECT_EQ(recs[0].valuesSet, (std::vector<ValueSet>{{"scale NUMBER", "42", ""},
                                                       {"byte[20]", "A,", ""},
                                                       {"calibration gravity", "Harbin", ""},
                                                       {"screen", "Hanging scale", ""}}));
}

TEST_F(Values, RefusalsExitSixNamingItAndSendNothing) {
  SimGang sims(1);
  const std::string file = File("sample-en.ini");
  ASSERT_TRUE(StationCounters(dir.path())->Set("scale", 250));
  WriteFileBytes(dir / "bad.csv", "target,Scale number\n127.0.0.2,7\n127.0.0.3,x7\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string why;
  } cases[] = {
      {{"--set", "Scale number=256"}, 6, "Scale number: \"256\": greater than the maximum 255"},
      {{"--set", "Shop code=ABCD"}, 6, "Shop code: \"ABCD\": longer than 3 bytes"},
      {{"--set", "Weight=1"}, 6, "no parameter called \"Weight\""},
      {{"--set", "calibration gravity=Paris"}, 6, "not a region of the file"},
      {{"--set", "Scale number=counter:nosuch"}, 6, "no counter \"nosuch\""},
      {{"--set", "Scale number=1", "--set", "byte[26]=2"}, 6, "given a value twice"},
      {{"--set", "Scale number"}, 2, "--set takes NAME=VALUE"},
      {{"--set", "Scale number=seq:1:0"}, 2, "a sequence is seq:START"},
      // Several targets: every one is checked before any starts.
      {{"--ip", "127.0.0.3", "--set", "Scale number=seq:255"}, 6, "127.0.0.3: Scale number: seq:255:1 gives 256"},
      {{"--targets", dir / "bad.csv"}, 6, "127.0.0.3: Scale number (" + dir / "bad.csv line 3): \"x7\": a numeric parameter takes digits only"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"download", file, "--ip", "127.0.0.2"};
    if (c.args[0] == "--targets") args.pop_back(), args.pop_back();
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = Cli(args, sims.port());
    EXPECT_EQ(r.status, c.status) << c.why << "\n" << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
  }
  EXPECT_TRUE(sims[0].Log().empty()) << "a refused run reached the scale";
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(*StationCounters(dir.path())->Next("scale").value, 250);
}

TEST_F(Values, TableGivesEachTargetItsRowWithQuotingAndChineseCaptions) {
  SimGang sims(SimOptions{{}, {}, {"--pty"}});
  const std::string file = File("facconfig.ini");  // GBK captions: 秤号 (byte 26), 店铺编号 (byte 20, 3 bytes)
  WriteFileBytes(dir / "facconfig.ini", "[serial]\r\nCOM3=" + sims[2].ptyPath() + "\r\n");
  WriteFileBytes(dir / "batch.csv",
                 "\xEF\xBB\xBFtarget,秤号,\"店铺编号\"\r\n"
                 "127.0.0.2,11,\"A,1\"\r\n"
                 "# 127.0.0.9,99,no\r\n"
                 "127.0.0.3,12,\"\"\"Q\"\r\n"
                 "COM3,,S3\r\n");
  const auto r = Cli({"download", file, "--targets", dir / "batch.csv"}, sims.port());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const struct {
    int scale;
    int number;  // -1: the file's own
    std::string code;
  } want[] = {{0, 11, std::string("A,1")}, {1, 12, std::string("\"Q\0", 3)}, {2, -1, std::string("S3\0", 3)}};
  for (const auto& w : want) {
    std::string expected = block;
    if (w.number >= 0) expected[26] = static_cast<char>(w.number);
    expected.replace(20, 3, w.code);
    EXPECT_EQ(Stored(sims[static_cast<std::size_t>(w.scale)]), expected) << "scale " << w.scale;
  }
}

TEST_F(Values, SequenceNumbersEightTargetsInTheirOrder) {
  SimGang sims(8);
  const std::string file = File("sample-en.ini");
  std::vector<std::string> args = {"download", file, "--set", "Scale number=seq:5:2"};
  for (std::size_t i = 0; i < sims.size(); ++i) args.insert(args.end(), {"--ip", SimGang::Address(i)});
  const auto r = Cli(args, sims.port());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (std::size_t i = 0; i < sims.size(); ++i) {
    std::string expected = block;
    expected[26] = static_cast<char>(5 + 2 * i);
    EXPECT_EQ(Stored(sims[i]), expected) << SimGang::Address(i);
  }
  std::map<std::string, std::string> got;
  for (const DownloadRecord& rec : Records()) {
    ASSERT_EQ(rec.valuesSet.size(), 1u);
    EXPECT_EQ(rec.valuesSet[0].origin, "seq:5:2");
    got[rec.target] = rec.valuesSet[0].value;
  }
  EXPECT_EQ(got["127.0.0.2"], "5");
  EXPECT_EQ(got["127.0.0.9"], "19");
}

TEST_F(Values, CountersTakenByTwoRunsAtOnceNeverRepeatNorComeBack) {
  SimGang sims(8);
  const std::string file = File("sample-en.ini");
  ASSERT_EQ(Cli({"counter", "scale", "--set", "1"}, sims.port()).status, 0);
  // Two runs of four scales each, started together.
  std::vector<pid_t> runs;
  for (int run = 0; run < 2; ++run) {
    std::vector<std::string> args = {"download", file, "--set", "Scale number=counter:scale"};
    for (int i = 0; i < 4; ++i) args.insert(args.end(), {"--ip", SimGang::Address(static_cast<std::size_t>(run * 4 + i))});
    runs.push_back(testing::SpawnCaptured(cli, args, {"FACSET_SCALE_UDP_PORT=" + std::to_string(sims.port())},
                                          dir / ("out" + std::to_string(run)), dir / ("err" + std::to_string(run))));
  }
  for (pid_t pid : runs) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<int> numbers;
  for (std::size_t i = 0; i < sims.size(); ++i) {
    const std::string stored = Stored(sims[i]);
    ASSERT_EQ(stored.size(), 256u);
    std::string expected = block;
    expected[26] = stored[26];
    EXPECT_EQ(stored, expected) << "only the scale number differs from the file";
    numbers.insert(static_cast<unsigned char>(stored[26]));
  }
  EXPECT_EQ(numbers, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8}));

  // A run that then fails keeps its value: the next one gets the one after.
  auto failed = Cli({"download", file, "--ip", "127.0.0.10", "--retries", "0", "--timeout", "50", "--set",
                     "Scale number=counter:scale"},
                    sims.port());
  EXPECT_EQ(failed.status, 3) << failed.err;
  const auto next = Cli({"counter", "scale"}, sims.port());
  EXPECT_EQ(next.out, "10\n");
  const std::vector<DownloadRecord> recs = Records();
  ASSERT_EQ(recs.size(), 9u);
  EXPECT_EQ(recs.back().target, "127.0.0.10");
  EXPECT_EQ(recs.back().valuesSet, (std::vector<ValueSet>{{"Scale number", "9", "counter:scale"}}));

  // history says which scale got which number.
  const auto history = Cli({"history"}, sims.port());
  for (std::size_t i = 0; i < sims.size(); ++i) {
    const std::string number = std::to_string(static_cast<unsigned char>(Stored(sims[i])[26]));
    const std::size_t row = history.out.find("  " + SimGang::Address(i) + " ");
    ASSERT_NE(row, std::string::npos) << history.out;
    const std::string line = history.out.substr(row, history.out.find('\n', row) - row);
    EXPECT_NE(line.find("Scale number=" + number + " (counter:scale)"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace facset::cli
