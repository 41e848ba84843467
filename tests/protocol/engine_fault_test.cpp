// The engine against scale-sim playing the faults that once led to a false
// verdict: each test checks what the scale stored against what the engine said.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/paths.h"
#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"
#include "protocol/pbus_links.h"
#include "support/sim_process.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::SimProcess;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::vector<std::uint8_t> Stored(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

const std::vector<std::uint8_t> kBlock = [] {
  std::vector<std::uint8_t> b(256, 0x3C);
  b[0] = pbus::kParamBlockMarker;
  return b;
}();

// Over UDP: a 0x02 that is not the scale's answer (another sender, a datagram
// of the wrong size) is ignored and named; the refusal that follows decides.
TEST(FaultsUdp, OnlyTheScalesOwnVerdictCounts) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    std::string ignored;  // the start of the description the review names
  };
  const std::vector<Case> cases = {
      {"another port", {"--foreign-ack", "5"}, "a datagram from 127.0.0.1:"},
      {"another address", {"--foreign-ack", "5", "--foreign-host", "127.0.0.2"}, "a datagram from 127.0.0.2:"},
      {"an empty datagram", {"--junk", "0"}, "an empty datagram"},
      {"2 bytes", {"--junk", "2"}, "a datagram of 2 bytes"},
      {"260 bytes", {"--junk", "260"}, "a datagram of 260 bytes"},
      {"1500 bytes", {"--junk", "1500"}, "a datagram of 1500 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.simArgs;
    for (const char* a : {"--refuse", "80/0", "--delay", "150"}) args.push_back(a);
    SimProcess sim(args);
    TPBusComm e(MakeUdpLink("127.0.0.1", sim.udpPort()));
    e.SetRetryInterval(1000);
    EXPECT_FALSE(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, kBlock));
    EXPECT_EQ(e.LastOutcome().end, RequestEnd::Refused) << e.LastOutcome().reason;
    EXPECT_FALSE(fs::exists(sim.paramFile()));  // the scale stored nothing
    const LinkReview review = e.ReviewLink();
    ASSERT_EQ(review.ignored.size(), 1u) << review.IgnoredText();
    EXPECT_EQ(review.ignored.begin()->first.rfind(c.ignored, 0), 0u) << review.ignored.begin()->first;
    EXPECT_EQ(review.ignored.begin()->second, 1u);
    EXPECT_NE(review.IgnoredText().find(c.ignored), std::string::npos);
  }
}

// The explicit option for a scale known to answer from elsewhere restores
// taking a verdict from any sender.
TEST(FaultsUdp, AnySenderWhenAskedFor) {
  SimProcess sim({"--foreign-ack", "5", "--refuse", "80/0", "--delay", "300"});
  TPBusComm e(MakeUdpLink("127.0.0.1", sim.udpPort(), true));
  EXPECT_TRUE(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, kBlock));
  EXPECT_TRUE(e.ReviewLink().ignored.empty());
}

// A scale whose firmware sends every verdict again G ms later: the copies are
// seen after the log-on, every request waits them out, and every step is proven.
TEST(FaultsUdp, CopiesOfEveryVerdictAreWaitedOut) {
  for (const char* gap : {"12", "300"}) {
    SCOPED_TRACE(gap);
    SimProcess sim({"--verdict-twice", gap});
    TPBusComm e(MakeUdpLink("127.0.0.1", sim.udpPort()));
    ASSERT_TRUE(e.Connect(pbus::kAccessCode));
    ASSERT_TRUE(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, kBlock));
    ASSERT_TRUE(e.StartUpgrade(0));
    for (std::uint16_t k = 32; k < 36; ++k) ASSERT_TRUE(e.WriteBlock(pbus::kCmdUpgrade, k, kBlock));
    ASSERT_TRUE(e.FinishUpgrade(0));
    e.Close();
    const LinkReview review = e.ReviewLink();
    EXPECT_TRUE(review.copiesSeen);
    EXPECT_TRUE(review.AllProven());
    for (const auto& r : review.requests) EXPECT_EQ(r.end, RequestEnd::Proven) << r.reason;
    EXPECT_EQ(Stored(sim.paramFile()), kBlock);
    EXPECT_EQ(Stored(sim.firmwareFile()).size(), 36u * 256);
  }
}

// The serial cases: the engine over scale-sim's pseudo-terminal.
class FaultsSerial : public ::testing::Test {
 protected:
  void SetUp() override { OverrideFilesDir(dir.path()); }
  void TearDown() override { OverrideFilesDir(""); }
  void Start(std::vector<std::string> args, int retryIntervalMs = 300) {
    args.insert(args.begin(), "--no-udp");
    sim = std::make_unique<SimProcess>(args, true);
    e.SetRetryInterval(retryIntervalMs);
    e.Open(MakeSerialLink(sim->ptyPath()));
  }
  testing::TempDir dir;
  std::unique_ptr<SimProcess> sim;
  TPBusComm e;
};

// A refusal followed 5 ms later by a 0x02: the 0x02 is not the repeat's answer.
TEST_F(FaultsSerial, RefusalThenAnAckIsNotCreditedToTheRepeat) {
  Start({"--refuse", "80/0", "--ack-after-refusal", "5"});
  EXPECT_FALSE(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, kBlock));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::Refused) << e.LastOutcome().reason;
  EXPECT_EQ(e.LastOutcome().transmissions, 7);
  EXPECT_FALSE(fs::exists(sim->paramFile()));
}

// The line hangs up between two requests: the next one ends at once, saying
// so, and so does every later one; nothing waits for a drain.
TEST_F(FaultsSerial, HangupBetweenRequestsEndsTheNextAtOnce) {
  Start({"--hangup-after", "2"});
  ASSERT_TRUE(e.Connect(pbus::kAccessCode));
  ASSERT_TRUE(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, kBlock))
      << RequestEndName(e.LastOutcome().end) << ": " << e.LastOutcome().reason;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the hang-up arrives between requests
  const auto start = Clock::now();
  EXPECT_FALSE(e.StartUpgrade(0));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::LineGone);
  EXPECT_EQ(e.LastOutcome().transmissions, 0);
  EXPECT_FALSE(e.ReadBlock(pbus::kCmdSession, pbus::kArgRead));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::LineGone);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(Stored(sim->paramFile()), kBlock);
  EXPECT_EQ(sim->WaitLog(2).size(), 2u);
}

// XOFF never released: the request is withdrawn after HoldLimit and said to
// be held; the next one does not wait another HoldLimit.
TEST_F(FaultsSerial, XoffNeverReleased) {
  Start({"--xoff-hold", "600000"});
  e.SetHoldLimit(3000);
  ASSERT_TRUE(e.Connect(pbus::kAccessCode));  // acknowledged, then XOFF
  EXPECT_FALSE(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, kBlock));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::Held);
  EXPECT_NE(e.LastOutcome().reason.find("did not leave"), std::string::npos);
  const auto start = Clock::now();
  EXPECT_FALSE(e.StartUpgrade(0));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::Held);
  EXPECT_LT(MsSince(start), 2500);
  EXPECT_EQ(sim->WaitLog(1).size(), 1u);  // only the log-on reached the scale
  EXPECT_FALSE(fs::exists(sim->paramFile()));
}

// A data frame that arrives one byte every 5 ms (1.5 s in all) is collected
// from its last byte, not dropped at the repeat interval.
TEST_F(FaultsSerial, SlowFrameIsCollected) {
  Start({"--byte-gap", "5"}, 800);
  std::array<std::uint8_t, 256> answer{};
  EXPECT_TRUE(e.ReadBlock(pbus::kCmdSession, pbus::kArgRead, {}, answer));
  EXPECT_EQ(e.LastOutcome().transmissions, 1);
  EXPECT_EQ(sim->WaitLog(1).size(), 1u);
}

}  // namespace
}  // namespace facset
