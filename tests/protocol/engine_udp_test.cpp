// Transactions over UDP against scale-sim on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/scripted_dialogs.h"
#include "protocol/pbus.h"
#include "protocol/pbus_links.h"
#include "support/sim_process.h"
#include "support/test_util.h"

namespace facset {
namespace {

using testing::SimProcess;

std::size_t CountOf(const std::vector<testing::LogEntry>& log, int cmd, int arg) {
  return static_cast<std::size_t>(
      std::count_if(log.begin(), log.end(), [&](const auto& e) { return e.cmd == cmd && e.arg == arg; }));
}

struct UdpEngine {
  explicit UdpEngine(const SimProcess& sim, int retryIntervalMs = 40) {
    e.Open(MakeUdpLink("127.0.0.1", sim.udpPort()));
    e.SetRetryInterval(retryIntervalMs);
  }
  TPBusComm e;
};

TEST(UdpTransaction, TransmissionCountFollowsRetryCount) {
  SimProcess sim({"--silent"});
  UdpEngine u(sim);
  std::size_t sent = 0;
  for (int retry : {0, 6, 10}) {
    SCOPED_TRACE(retry);
    u.e.SetRetryCount(static_cast<std::uint8_t>(retry));
    EXPECT_FALSE(u.e.WriteBlock(80, 0));
    sent += static_cast<std::size_t>(retry) + 1;
    EXPECT_EQ(sim.WaitLog(sent).size(), sent);
  }
}

TEST(UdpTransaction, AnswerToLastTransmissionCounts) {
  SimProcess sim({"--ignore-first", "6"});
  UdpEngine u(sim, 150);
  EXPECT_TRUE(u.e.WriteBlock(80, 0));
  EXPECT_EQ(sim.WaitLog(7).size(), 7u);
}

// A refusal ends the exchange at once. The wrong kind of answer (a 0x02 for a
// data request, data for any other) cannot be this request's: it is a stray,
// as is a data answer with a wrong checksum, so the wait goes on and the
// request is repeated like after silence.
TEST(UdpTransaction, WrongKindOfAnswerFailsAtOnce) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    RequestEnd end;
    std::size_t transmissions;
    std::function<bool(TPBusComm&)> call;
  };
  const std::vector<Case> cases = {
      {"refusal", {"--refuse", "80/0"}, RequestEnd::Refused, 1, [](TPBusComm& e) { return e.WriteBlock(80, 0); }},
      {"data where a verdict is expected", {}, RequestEnd::NoAnswer, 7,
       [](TPBusComm& e) { return e.WriteBlock(14, 3); }},
      {"verdict where data is expected", {}, RequestEnd::NoAnswer, 7, [](TPBusComm& e) { return e.ReadBlock(80, 0); }},
      {"data with a wrong checksum is ignored", {"--bad-checksum"}, RequestEnd::NoAnswer, 7,
       [](TPBusComm& e) { return e.ReadBlock(14, 3); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess sim(c.simArgs);
    UdpEngine u(sim, c.transmissions > 1 ? 60 : 1000);
    EXPECT_FALSE(c.call(u.e));
    EXPECT_EQ(u.e.LastOutcome().end, c.end) << u.e.LastOutcome().reason;
    EXPECT_EQ(sim.WaitLog(c.transmissions).size(), c.transmissions);
  }
}

TEST(UdpTransaction, ReadBlockReturnsTheAnswerPayload) {
  SimProcess sim;
  UdpEngine u(sim, 1000);
  std::array<std::uint8_t, 256> block{};
  for (int i = 0; i < 256; ++i) block[i] = static_cast<std::uint8_t>(255 - i);
  ASSERT_TRUE(u.e.WriteBlock(80, 0, block));
  std::array<std::uint8_t, 256> answer{};
  ASSERT_TRUE(u.e.ReadBlock(14, 3, {}, answer));  // the simulated scale answers with its stored block
  EXPECT_EQ(answer, block);
  EXPECT_EQ(u.e.LastOutcome().end, RequestEnd::Proven);
}

// A late verdict to an earlier request must not answer the next one.
TEST(UdpTransaction, StaleDatagramIsNotTakenForTheAnswer) {
  SimProcess sim({"--delay", "300", "--refuse", "15/0"});
  UdpEngine u(sim, 100);
  u.e.SetRetryCount(0);
  EXPECT_FALSE(u.e.WriteBlock(80, 0));  // its ack comes after the wait
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  u.e.SetRetryInterval(3000);
  EXPECT_FALSE(u.e.StartUpgrade(0));  // refused, whatever waited on the socket
  const auto log = sim.WaitLog(2);
  EXPECT_EQ(CountOf(log, 15, 0), 1u);
}

// The engine itself shows nothing: it reports through its hook (the link
// functions show "Send exception", see link_test) and passes the error on.
TEST(UdpTransaction, SendErrorCallsTheHookAndPassesTheError) {
  ScriptedDialogs dialogs;
  TPBusComm e;
  int hooked = 0;
  e.OnSendException = [&] { ++hooked; };
  e.Open(MakeUdpLink("127.0.0.1", 0));  // no datagram can go to port 0
  EXPECT_ANY_THROW(e.WriteBlock(80, 0));
  EXPECT_EQ(e.LastOutcome().end, RequestEnd::Aborted);
  EXPECT_EQ(hooked, 1);
  EXPECT_TRUE(dialogs.calls.empty());
  EXPECT_FALSE(e.Busy());
}

TEST(UdpTransaction, WaitKeepsEventsFlowingAndRefusesReentry) {
  SimProcess sim({"--delay", "400"});
  UdpEngine u(sim, 3000);
  int ticks = 0;
  bool nestedResult = true;
  bool nestedThrew = false;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(20);
  testing::During(100, [&] {
    nestedResult = u.e.WriteBlock(15, 40);
    try {
      u.e.Open(MakeUdpLink("127.0.0.1", 1));
    } catch (const EPBusBusy&) {
      nestedThrew = true;
    }
  });
  EXPECT_TRUE(u.e.WriteBlock(80, 0));
  EXPECT_GT(ticks, 3);
  EXPECT_FALSE(nestedResult);
  EXPECT_TRUE(nestedThrew);
  EXPECT_EQ(u.e.LastOutcome().end, RequestEnd::Proven);
  const auto log = sim.WaitLog(1);
  EXPECT_EQ(log.size(), 1u);  // the refused nested request sent nothing
}

TEST(UdpTransaction, AbortEndsTheWait) {
  SimProcess sim({"--silent"});
  UdpEngine u(sim, 5000);
  testing::During(100, [&] { u.e.Abort(); });
  EXPECT_FALSE(u.e.WriteBlock(80, 0));
  EXPECT_EQ(u.e.LastAnswer(), AnswerCode::Aborted);
  EXPECT_EQ(u.e.LastOutcome().end, RequestEnd::Aborted);
  EXPECT_EQ(sim.WaitLog(1).size(), 1u);
}

}  // namespace
}  // namespace facset
