// Transactions over scale-sim's pseudo-terminal, and the bounded drain wait on
// a pseudo-terminal the test holds itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <QEventLoop>

#include "platform/paths.h"
#include "protocol/pbus.h"
#include "protocol/pbus_links.h"
#include "serial/serial_comm.h"
#include "support/sim_process.h"
#include "support/test_util.h"

namespace facset {
namespace {

using testing::SimProcess;

struct SerialEngine {
  SerialEngine(const SimProcess& sim, int retryIntervalMs) {
    exeDir = std::make_unique<testing::TempDir>();
    OverrideFilesDir(exeDir->path());
    e.SetRetryInterval(retryIntervalMs);
    e.Open(MakeSerialLink(sim.ptyPath()));
  }
  ~SerialEngine() {
    e.Close();
    OverrideFilesDir("");
  }
  std::unique_ptr<testing::TempDir> exeDir;
  TPBusComm e;
};

TEST(SerialTransaction, TransmissionCountFollowsRetryCount) {
  SimProcess sim({"--silent"}, true);
  SerialEngine s(sim, 40);
  std::size_t sent = 0;
  for (int retry : {0, 6, 10}) {
    SCOPED_TRACE(retry);
    s.e.SetRetryCount(static_cast<std::uint8_t>(retry));
    EXPECT_FALSE(s.e.WriteBlock(80, 0));
    EXPECT_EQ(s.e.LastOutcome().end, RequestEnd::NoAnswer);
    sent += static_cast<std::size_t>(retry) + 1;
    EXPECT_EQ(sim.WaitLog(sent).size(), sent);
  }
}

TEST(SerialTransaction, RepeatsUntilAnswered) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    bool read;  // ReadBlock(14,3) instead of WriteBlock(80,0)
    bool expectOk;
    std::size_t transmissions;
  };
  const std::vector<Case> cases = {
      {"acknowledgement to the last transmission", {"--ignore-first", "6"}, false, true, 7},
      {"refusal is repeated like silence", {"--refuse", "80/0:2"}, false, true, 3},
      {"refused every time", {"--refuse", "80/0"}, false, false, 7},
      {"data with a wrong checksum is repeated", {"--bad-checksum"}, true, false, 7},
      {"data answer collected from the line", {}, true, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess sim(c.simArgs, true);
    SerialEngine s(sim, c.transmissions == 7 && c.expectOk ? 150 : 600);
    EXPECT_EQ(c.read ? s.e.ReadBlock(14, 3) : s.e.WriteBlock(80, 0), c.expectOk);
    EXPECT_EQ(sim.WaitLog(c.transmissions).size(), c.transmissions);
  }
}

TEST(SerialLogOn, SpeedSearch) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    bool expectOk;
    std::size_t transmissions;
    std::uint32_t portSpeedAfter;
  };
  const std::vector<Case> cases = {
      {"found at 38400 on the third transmission", {"--speed", "38400"}, true, 3, 9600},
      {"tenth transmission succeeds", {"--speed", "115200", "--ignore-first", "5"}, true, 10, 9600},
      {"refusal is asked again at the next speed", {"--refuse", "14/1:1", "--speed", "9600"}, true, 6, 9600},
      {"silent scale gets ten transmissions", {"--silent"}, false, 10, 115200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess sim(c.simArgs, true);
    SerialEngine s(sim, 300);
    s.e.SetRetryCount(0);  // the search does not depend on it
    EXPECT_EQ(s.e.Connect(kAccessCode), c.expectOk);
    const auto log = sim.WaitLog(c.transmissions);
    ASSERT_EQ(log.size(), c.transmissions);
    const std::uint32_t speeds[] = {9600, 19200, 38400, 57600, 115200};
    for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].speed, static_cast<int>(speeds[i % 5])) << i;
    // The next request leaves at the speed the port was left at; after a
    // log-on the scale switched to the index the request carried, so the line
    // works on.
    s.e.SetRetryInterval(c.expectOk ? 1000 : 100);
    EXPECT_EQ(s.e.WriteBlock(80, 0), c.expectOk);
    const auto after = sim.WaitLog(c.transmissions + 1);
    ASSERT_EQ(after.size(), c.transmissions + 1);
    EXPECT_EQ(after.back().speed, static_cast<int>(c.portSpeedAfter));
  }
}

// A pseudo-terminal whose master the test holds: it can stop the engine's
// output with XOFF, or hang the line up.
class HeldLine : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    OverrideFilesDir(dir.path());
    e.SetRetryCount(0);
    e.SetRetryInterval(200);
    e.Open(MakeSerialLink(ptsname(master)));
    PumpEvents(200);  // TComm reports an empty queue once after opening
  }
  void TearDown() override {
    e.Close();
    if (master >= 0) close(master);
    OverrideFilesDir("");
  }
  void HoldOutput() {
    const std::uint8_t xoff = 0x13;
    ASSERT_EQ(write(master, &xoff, 1), 1);
    PumpEvents(200);
  }
  static void PumpEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  }
  testing::TempDir dir;
  int master = -1;
  TPBusComm e;
};

TEST_F(HeldLine, DrainThatNeverComesEndsAsAborted) {
  e.SetBaudRate(TBaudRate::tbr115200);
  e.SetHoldLimit(1000);  // 30 s by default; the bound is this or 10 frame times + 1 s
  HoldOutput();
  EXPECT_FALSE(e.WriteBlock(80, 0));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::Held);
  EXPECT_FALSE(e.Busy());
}

TEST_F(HeldLine, HangupEndsTheDrainWait) {
  HoldOutput();
  testing::During(300, [this] {
    close(master);
    master = -1;
  });
  EXPECT_FALSE(e.WriteBlock(80, 0));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::LineGone);
}

TEST(SerialTransaction, PortNotOpenFailsAtOnce) {
  TPBusComm e;
  EXPECT_FALSE(e.WriteBlock(80, 0));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::LineGone);
}

}  // namespace
}  // namespace facset
