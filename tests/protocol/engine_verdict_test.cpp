// Every verdict the engine reports is the scale's answer to that request:
// late, duplicate and stray answers, leftovers and bytes that cannot begin an
// answer, over both transports, against a scripted scale in virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"
#include "support/scripted_transport.h"

namespace facset {
namespace {

using testing::ScriptedTransport;
using Bytes = std::vector<std::uint8_t>;
using Reaction = ScriptedTransport::Reaction;
using Sent = ScriptedTransport::Sent;

struct Rig {
  Rig(bool serial, ScriptedTransport::Scale scale)
      : owned(std::make_unique<ScriptedTransport>(serial, std::move(scale))), t(*owned), e(std::move(owned)) {}
  std::size_t Count(std::uint8_t cmd, std::uint16_t arg) const {
    std::size_t n = 0;
    for (const auto& s : t.sent) n += s.command() == cmd && s.arg() == arg;
    return n;
  }
  std::unique_ptr<ScriptedTransport> owned;
  ScriptedTransport& t;
  TPBusComm e;
};

// A scale that answers every transmission with `verdict(sent)` after `delayMs`
// (the log-on at once: a serial log-on answered later than the repeat interval
// reaches a line that has moved on to the next speed) and, when dupGapMs >= 0,
// sends the same verdict again dupGapMs later.
ScriptedTransport::Scale Answering(std::function<std::uint8_t(const Sent&)> verdict, int delayMs, int dupGapMs = -1) {
  return [=](const Sent& s) {
    Reaction r;
    const std::uint8_t v = verdict(s);
    const int delay = s.command() == pbus::kCmdSession && s.arg() == pbus::kArgLogOn ? std::min(delayMs, 5) : delayMs;
    r.replies.push_back({delay, {v}, {}});
    if (dupGapMs >= 0) r.replies.push_back({delay + dupGapMs, {v}, {}});
    return r;
  };
}

// The log-on, the parameter block and a run of firmware blocks in which the
// scale refuses block 40 every time it is sent.
TEST(Verdict, EachRequestGetsItsOwnAnswer) {
  struct Case {
    const char* what;
    int delayMs;
    int dupGapMs;
  };
  const std::vector<Case> cases = {
      {"prompt answers", 5, -1},
      {"answers later than the repeat interval", 900, -1},
      {"every verdict twice, 1 ms apart", 5, 1},
      {"every verdict twice, 5 ms apart", 5, 5},
      {"every verdict twice, 20 ms apart", 5, 20},
  };
  const auto verdict = [](const Sent& s) {
    return s.command() == pbus::kCmdUpgrade && s.arg() == 40 ? pbus::kVerdictRefused : pbus::kVerdictAck;
  };
  for (bool serial : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(serial ? "serial: " : "UDP: ") + c.what);
      Rig rig(serial, Answering(verdict, c.delayMs, c.dupGapMs));
      ASSERT_TRUE(rig.e.Connect(pbus::kAccessCode));
      EXPECT_TRUE(rig.e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock));
      for (std::uint16_t k = 32; k < 46; ++k) {
        EXPECT_EQ(rig.e.WriteBlock(pbus::kCmdUpgrade, k), k != 40) << "block " << k;
      }
      // Every block reached the scale; the refused one as often as the
      // transport repeats a refusal.
      for (std::uint16_t k = 32; k < 46; ++k) {
        // UDP fails on the first answer, which comes after one repeat when late.
        if (k == 40)
          EXPECT_EQ(rig.Count(pbus::kCmdUpgrade, k), serial ? 7u : c.delayMs > 800 ? 2u : 1u);
        else
          EXPECT_GE(rig.Count(pbus::kCmdUpgrade, k), 1u) << "block " << k;
      }
    }
  }
}

// Collecting strays and looking for copies must not slow a well-behaved
// scale down: a look after each of the first verdicts, then no added wait per block.
TEST(Verdict, NoAddedWaitPerBlockForAWellBehavedScale) {
  for (bool serial : {true, false}) {
    SCOPED_TRACE(serial ? "serial" : "UDP");
    Rig rig(serial, Answering([](const Sent&) { return pbus::kVerdictAck; }, 5));
    ASSERT_TRUE(rig.e.Connect(pbus::kAccessCode));
    const std::int64_t start = rig.t.now;
    for (std::uint16_t k = 32; k < 132; ++k) ASSERT_TRUE(rig.e.WriteBlock(pbus::kCmdUpgrade, k));
    EXPECT_LE(rig.t.now - start, 100 * 5 + TPBusComm::kCopyLooks * (TPBusComm::kCopyWindowMs + 1));
    EXPECT_EQ(rig.t.sent.size(), 101u);
  }
}

// The serial byte stream: where an answer begins and what cannot undo it.
TEST(Verdict, SerialStreamPieces) {
  struct Step {
    std::uint8_t cmd;
    std::uint16_t arg;
    bool read;  // ReadBlock (data answer) rather than WriteBlock
    std::vector<ScriptedTransport::Reply> replies;
    bool ok;
    std::size_t transmissions;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Bytes frame301 = testing::DataFrame(pbus::kCmdSession, pbus::kArgRead, false);
  const Bytes frame = testing::DataFrame(pbus::kCmdSession, pbus::kArgRead);
  const Bytes head(frame.begin(), frame.begin() + 150), tail(frame.begin() + 150, frame.end());
  const Bytes garbled = [&] {
    Bytes f = frame;
    f[100] ^= 0x01;  // checksum no longer matches
    return f;
  }();
  const std::uint8_t ack = pbus::kVerdictAck, nak = pbus::kVerdictRefused;
  const std::vector<Case> cases = {
      {"late trailer after the reading request; the log-off is answered at once",
       {{14, 3, true, {{5, frame301, {}}, {10, {0xFF}, {}}}, true, 1}, {14, 2, false, {{5, {ack}, {}}}, true, 1}}},
      {"late trailer after the upgrade entry; the start is answered at once",
       {{14, 16, true, {{5, frame301, {}}, {10, {0xFF}, {}}}, true, 1}, {15, 0, false, {{5, {ack}, {}}}, true, 1}}},
      {"the trailer comes with the next request's verdict",
       {{14, 3, true, {{5, frame301, {}}}, true, 1}, {14, 2, false, {{2, {0xFF, ack}, {}}}, true, 1}}},
      {"bytes that cannot begin an answer before the verdict",
       {{80, 0, false, {{5, {0x00, 0x7F, 0xFF, 0x84, ack}, {}}}, true, 1}}},
      {"noise in its own delivery, then the verdict",
       {{80, 0, false, {{5, {0x11, 0x13}, {}}, {6, {ack}, {}}}, true, 1}}},
      {"a broken frame, then the verdict", {{80, 0, false, {{5, {0x03, 0x81, 0x81, ack}, {}}}, true, 1}}},
      {"a frame in pieces", {{14, 3, true, {{5, head, {}}, {40, tail, {}}}, true, 1}}},
      {"a frame with a wrong checksum is asked again", {{14, 3, true, {{5, garbled, {}}}, false, 7}}},
      {"a verdict where data is expected is not data", {{14, 3, true, {{5, {ack}, {}}}, false, 7}}},
      {"bytes after the verdict in the same pass do not undo it",
       {{80, 0, false, {{5, {ack, 0x83, nak}, {}}, {5, {nak}, {}}}, true, 1}}},
      {"a frame's bytes after an accepted verdict do not undo it",
       {{80, 0, false, {{5, {ack}, {}}, {5, frame, {}}}, true, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t step = 0;
    Rig rig(true, [&](const Sent&) {
      Reaction r;
      r.replies = c.steps[step].replies;
      return r;
    });
    rig.e.SetRetryInterval(800);
    for (step = 0; step < c.steps.size(); ++step) {
      const Step& s = c.steps[step];
      SCOPED_TRACE(step);
      const bool ok = s.read ? rig.e.ReadBlock(s.cmd, s.arg) : rig.e.WriteBlock(s.cmd, s.arg);
      EXPECT_EQ(ok, s.ok);
      EXPECT_EQ(rig.Count(s.cmd, s.arg), s.transmissions);
    }
  }
}

// Bytes that reached the tool before the request left it are not its answer.
TEST(Verdict, LeftoversAreNotTheAnswer) {
  int n = 0;
  Rig rig(true, [&](const Sent&) {
    Reaction r;
    // The first request is acknowledged, and its refusal-looking echo 30 ms
    // later lands before the second request goes out.
    if (n++ == 0) {
      r.replies = {{5, {pbus::kVerdictAck}, {}}, {30, {pbus::kVerdictAck}, {}}};
    } else {
      r.replies = {{5, {pbus::kVerdictRefused}, {}}};
    }
    return r;
  });
  ASSERT_TRUE(rig.e.WriteBlock(80, 0));
  rig.t.now += 100;  // the caller takes its time; the echo arrives meanwhile
  rig.e.SetRetryCount(0);
  EXPECT_FALSE(rig.e.WriteBlock(15, 32));
  EXPECT_GE(rig.e.ReviewLink().strays, 1u);
}

TEST(Verdict, HeldRequestIsWithdrawnAndNotRepeated) {
  Rig rig(true, [](const Sent&) {
    Reaction r;
    r.held = true;
    return r;
  });
  EXPECT_FALSE(rig.e.WriteBlock(80, 0));
  EXPECT_EQ(rig.e.LastOutcome().end, RequestEnd::Held);
  EXPECT_EQ(rig.t.withdrawn, 1);  // one attempt: repeating into a held line would only wait again
  EXPECT_TRUE(rig.t.sent.empty());
  EXPECT_EQ(rig.e.HoldLimit(), 30000);
}

TEST(Verdict, AbortWhileCollectingStraysSendsNothingMore) {
  Rig rig(false, [](const Sent&) { return Reaction{}; });  // silent
  rig.e.SetRetryCount(1);
  EXPECT_FALSE(rig.e.WriteBlock(80, 0));
  ASSERT_EQ(rig.t.sent.size(), 2u);
  // The next request first waits for the two answers still owed; the
  // operator aborts meanwhile.
  rig.t.At(rig.t.now + 100, [&] { rig.e.Abort(); });
  EXPECT_FALSE(rig.e.WriteBlock(15, 32));
  EXPECT_EQ(rig.t.sent.size(), 2u);
}

}  // namespace
}  // namespace facset

namespace facset {
namespace {

// A stray (a late answer, a copy) must never stand in for the answer of a
// request that never reached the scale. Block 33 is lost every time it is
// sent; the scale answers everything else, late or twice.
TEST(Verdict, NoStrayStandsInForALostRequest) {
  struct Case {
    const char* what;
    int delayMs;   // answers to block 32
    int copyMs;    // a copy of every verdict this much later (-1: none)
  };
  const std::vector<Case> cases = {
      {"block 32 answered 2.6 s late", 2600, -1},
      {"every verdict copied 12 ms later", 5, 12},
      {"every verdict copied 500 ms later", 5, 500},
  };
  for (bool serial : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(serial ? "serial: " : "UDP: ") + c.what);
      Rig rig(serial, [&](const Sent& s) {
        Reaction r;
        if (s.command() == pbus::kCmdUpgrade && s.arg() == 33) {
          r.lost = true;
          return r;
        }
        const int at = s.command() == pbus::kCmdUpgrade && s.arg() == 32 ? c.delayMs : 5;
        r.replies.push_back({at, {pbus::kVerdictAck}, {}});
        if (c.copyMs >= 0) r.replies.push_back({at + c.copyMs, {pbus::kVerdictAck}, {}});
        return r;
      });
      ASSERT_TRUE(rig.e.Connect(pbus::kAccessCode));
      EXPECT_TRUE(rig.e.WriteBlock(pbus::kCmdUpgrade, 32));
      EXPECT_FALSE(rig.e.WriteBlock(pbus::kCmdUpgrade, 33));
      EXPECT_EQ(rig.e.LastOutcome().end, RequestEnd::NoAnswer) << rig.e.LastOutcome().reason;
      EXPECT_EQ(rig.t.lost, 7);
    }
  }
}

// On a scale that sends copies, the copy of an answer that came near the late
// limit arrives past it: it must not stand in for the next request, lost
// every time it is sent. The scale copies the log-on's verdict (the copies
// are seen), answers the parameter block's second transmission 2.8 s late and
// its fifth only by a copy 3.05 s after it left.
TEST(Verdict, ALateAnswersCopyPastTheLateLimitIsNoAnswer) {
  for (bool serial : {false, true}) {
    SCOPED_TRACE(serial ? "serial" : "UDP");
    int paramTx = 0;
    Rig rig(serial, [&](const Sent& s) {
      Reaction r;
      if (s.command() == pbus::kCmdSession && s.arg() == pbus::kArgLogOn) {
        r.replies.push_back({5, {pbus::kVerdictAck}, {}});
        r.replies.push_back({305, {pbus::kVerdictAck}, {}});
      } else if (s.command() == pbus::kCmdParamBlock) {
        ++paramTx;
        if (paramTx == 2) r.replies.push_back({2800, {pbus::kVerdictAck}, {}});
        if (paramTx == 5) r.replies.push_back({3050, {pbus::kVerdictAck}, {}});
      } else {
        r.lost = true;
      }
      return r;
    });
    rig.e.SetAnswerLateLimit(3000);
    ASSERT_TRUE(rig.e.Connect(pbus::kAccessCode));
    EXPECT_TRUE(rig.e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock));
    EXPECT_FALSE(rig.e.WriteBlock(pbus::kCmdUpgrade, 32));
    EXPECT_EQ(rig.e.LastOutcome().end, RequestEnd::NoAnswer) << rig.e.LastOutcome().reason;
    EXPECT_GT(rig.t.lost, 0);
  }
}

// The look at the close costs time only while a step's proof rests on it: a
// link of the log-on and the parameter block (which left after a look) closes
// at once; a link whose blocks left right after answers looks for copies of
// the last answers, and a copy seen then takes their proof away.
TEST(Verdict, TheCloseLooksOnlyWhileAStepRestsOnIt) {
  struct Case {
    const char* what;
    int blocks;     // firmware blocks after the parameter block
    int copyMs;     // a copy of the last block's verdict this much later (-1: none)
    bool looks;     // the close waits the copy window
    bool proven;    // every step still proven at the review
  };
  const std::vector<Case> cases = {
      {"parameter block only", 0, -1, false, true},
      {"firmware blocks", 8, -1, true, true},
      {"firmware blocks, the last one copied", 8, 400, true, false},
  };
  for (bool serial : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(serial ? "serial: " : "UDP: ") + c.what);
      Rig rig(serial, [&](const Sent& s) {
        Reaction r;
        if (s.command() == pbus::kCmdSession && s.arg() == pbus::kArgRead) {
          r.replies.push_back({5, serial ? testing::DataFrame(s.command(), s.arg()) : testing::DataPacket(s.command(), s.arg()), {}});
          return r;
        }
        r.replies.push_back({5, {pbus::kVerdictAck}, {}});
        if (c.copyMs >= 0 && s.command() == pbus::kCmdUpgrade && s.arg() == 32 + c.blocks - 1)
          r.replies.push_back({5 + c.copyMs, {pbus::kVerdictAck}, {}});
        return r;
      });
      ASSERT_TRUE(rig.e.Connect(pbus::kAccessCode));
      ASSERT_TRUE(rig.e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock));
      for (int k = 0; k < c.blocks; ++k) ASSERT_TRUE(rig.e.WriteBlock(pbus::kCmdUpgrade, static_cast<std::uint16_t>(32 + k)));
      ASSERT_TRUE(rig.e.ReadBlock(pbus::kCmdSession, pbus::kArgRead));
      ASSERT_TRUE(rig.e.Disconnect(pbus::kAccessCode));
      const std::int64_t closing = rig.t.now;
      rig.e.Close();
      EXPECT_EQ(rig.t.now - closing >= TPBusComm::kCopyWindowMs - 10, c.looks) << rig.t.now - closing;
      EXPECT_EQ(rig.e.ReviewLink().AllProven(), c.proven);
    }
  }
}

// Log-on frames sent at a speed the scale did not answer at owe nothing: a
// scale found at 57600 costs no wait for them before the next request (only
// the look for copies after the first verdicts).
TEST(Verdict, LogOnAtOtherSpeedsOwesNothing) {
  for (std::uint32_t speed : {9600u, 38400u, 57600u, 115200u}) {
    SCOPED_TRACE(speed);
    std::int64_t answeredAt = -1, nextAt = -1;
    std::uint32_t scaleSpeed = speed;
    Rig rig(true, [&](const Sent& s) {
      Reaction r;
      if (s.speed != scaleSpeed) return r;  // noise to the scale
      if (s.command() == pbus::kCmdSession && s.arg() == pbus::kArgLogOn) {
        answeredAt = s.at + 5;
        r.replies.push_back({5, {pbus::kVerdictAck}, {}});
        scaleSpeed = pbus::kBaudTable[s.packet[3 + 10]];
      } else {
        if (nextAt < 0) nextAt = s.at;
        r.replies.push_back({5, {pbus::kVerdictAck}, {}});
      }
      return r;
    });
    ASSERT_TRUE(rig.e.Connect(pbus::kAccessCode));
    ASSERT_TRUE(rig.e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock));
    EXPECT_EQ(rig.e.LastOutcome().end, RequestEnd::Proven);
    EXPECT_LE(nextAt - answeredAt, TPBusComm::kCopyWindowMs + 1);
  }
}

}  // namespace
}  // namespace facset
