// The engine over a real serial driver: a pseudo-terminal whose other end the
// test plays as the scale, for what only the driver shows (XOFF holding the
// line, bytes that were there before the request, a frame in pieces).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"
#include "protocol/pbus_links.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// The scale's end of the line.
class PtyScale {
 public:
  PtyScale() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~PtyScale() {
    if (master_ >= 0) close(master_);
  }
  const std::string& path() const { return path_; }
  void Write(const Bytes& b) { (void)!write(master_, b.data(), b.size()); }
  // Up to n bytes, waiting at most ms for each.
  Bytes Read(std::size_t n, int ms) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) break;
      std::uint8_t buf[512];
      const ssize_t got = read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // The packet of a received frame.
  static Buffer Packet(const Bytes& frame) {
    Buffer p{};
    if (frame.size() >= kFrameNeeded) DecodeFrame(frame.data(), p.data());
    return p;
  }

 private:
  int master_ = -1;
  std::string path_;
};

struct PtyEngine {
  explicit PtyEngine(const PtyScale& scale) {
    OverrideFilesDir(exeDir.path());
    e.SetRetryInterval(800);
    e.Open(MakeSerialLink(scale.path()));
  }
  ~PtyEngine() {
    e.Close();
    OverrideFilesDir("");
  }
  testing::TempDir exeDir;
  TPBusComm e;
};

constexpr std::uint8_t kXoff = pbus::kXoff, kXon = pbus::kXon;

// XOFF from the scale; the line discipline takes it in the background, so
// give it a moment before the request is sent.
void HoldLine(PtyScale& scale) {
  scale.Write({kXoff});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// The scale holds the line with XOFF for a while (a flash erase), then XON:
// the request waits, leaves at XON and gets its own verdict.
TEST(SerialDriver, XoffHoldWithinTheLimitDelaysTheRequest) {
  PtyScale scale;
  ASSERT_FALSE(scale.path().empty());
  PtyEngine pe(scale);
  HoldLine(scale);
  std::thread peer([&] {
    EXPECT_TRUE(scale.Read(1, 400).empty());  // nothing leaves while held
    scale.Write({kXon});
    const Bytes frame = scale.Read(kFrameSize, 2000);
    EXPECT_EQ(frame.size(), kFrameSize);
    scale.Write({pbus::kVerdictAck});
  });
  const auto start = Clock::now();
  EXPECT_TRUE(pe.e.WriteBlock(pbus::kCmdParamBlock, 0));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
  peer.join();
}

// Held past the limit: the transaction fails at once, without a repeat, and
// the withdrawn frame never reaches the scale after XON, where its verdict
// would be taken for the next request's.
TEST(SerialDriver, XoffHoldPastTheLimitWithdrawsTheRequest) {
  PtyScale scale;
  ASSERT_FALSE(scale.path().empty());
  PtyEngine pe(scale);
  pe.e.SetHoldLimit(300);
  HoldLine(scale);
  EXPECT_FALSE(pe.e.WriteBlock(pbus::kCmdParamBlock, 0));
  EXPECT_EQ(pe.e.LastOutcome().end, RequestEnd::Held);
  scale.Write({kXon});
  EXPECT_TRUE(scale.Read(1, 500).empty());

  std::thread peer([&] {
    const Bytes frame = scale.Read(kFrameSize, 3000);
    ASSERT_EQ(frame.size(), kFrameSize);
    const Buffer p = PtyScale::Packet(frame);
    EXPECT_EQ(p[0], pbus::kCmdSession);
    EXPECT_EQ(p[1], pbus::kArgLogOff);
    scale.Write({pbus::kVerdictAck});
    EXPECT_TRUE(scale.Read(1, 300).empty());  // sent once
  });
  EXPECT_TRUE(pe.e.Disconnect(pbus::kAccessCode));
  peer.join();
}

// A verdict already on the line before the request is handed over is not its
// answer; the answer that follows the request is.
TEST(SerialDriver, ByteBeforeTheRequestIsNotItsAnswer) {
  PtyScale scale;
  ASSERT_FALSE(scale.path().empty());
  PtyEngine pe(scale);
  pe.e.SetRetryCount(0);
  scale.Write({pbus::kVerdictAck});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread peer([&] {
    EXPECT_EQ(scale.Read(kFrameSize, 2000).size(), kFrameSize);
    scale.Write({pbus::kVerdictRefused});
  });
  EXPECT_FALSE(pe.e.WriteBlock(pbus::kCmdParamBlock, 0));
  peer.join();
}

// The line hands over each piece as soon as it is quiet; a data frame that
// comes in pieces with gaps is still collected into one answer.
TEST(SerialDriver, FrameInPiecesWithGaps) {
  PtyScale scale;
  ASSERT_FALSE(scale.path().empty());
  PtyEngine pe(scale);
  std::thread peer([&] {
    EXPECT_EQ(scale.Read(kFrameSize, 2000).size(), kFrameSize);
    Buffer p{};
    BuildPacket(p, pbus::kCmdSession, pbus::kArgRead, Bytes{0x5A});
    Bytes f(kFrameSize);
    EncodeFrame(p.data(), f.data());
    f[kFrameSize - 1] = pbus::kFrameTrailer;
    for (std::size_t at : {0u, 1u, 100u, 299u, 301u}) {
      const std::size_t end = at == 0 ? 1 : at == 1 ? 100 : at == 100 ? 299 : at == 299 ? 301 : kFrameSize;
      scale.Write(Bytes(f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(end)));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(scale.Read(1, 200).empty());  // no repeat
  });
  std::array<std::uint8_t, 256> answer{};
  EXPECT_TRUE(pe.e.ReadBlock(pbus::kCmdSession, pbus::kArgRead, {}, answer));
  EXPECT_EQ(answer[0], 0x5A);
  peer.join();
}

}  // namespace
}  // namespace facset
