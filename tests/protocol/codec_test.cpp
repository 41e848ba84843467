// Packet, frame and request bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "protocol/pbus.h"
#include "protocol/pbus_links.h"
#include "protocol/pbus_codec.h"
#include "support/test_util.h"

namespace facset {
namespace {

using Bytes = std::vector<std::uint8_t>;

Buffer PacketOf(std::uint8_t cmd, std::uint16_t arg, Bytes payload) {
  Buffer b{};
  BuildPacket(b, cmd, arg, payload);
  return b;
}

std::array<std::uint8_t, kFrameNeeded> FrameOf(const Buffer& packet) {
  std::array<std::uint8_t, kFrameNeeded> f{};
  EncodeFrame(packet.data(), f.data());
  return f;
}

TEST(Frame, KnownVectors) {
  {  // 80/0 with payload byte 0 = 0xA6
    const Buffer p = PacketOf(0x50, 0, {0xA6});
    EXPECT_EQ(p[259], 0xF6);
    EXPECT_EQ(p[260], 0x00);
    const auto f = FrameOf(p);
    const Bytes head = {0x03, 0xD0, 0x80, 0x80, 0xA6, 0x80, 0x80, 0x80, 0x88};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), f.begin()));
    EXPECT_TRUE(std::all_of(f.begin() + 9, f.begin() + 297, [](auto b) { return b == 0x80; }));
    const Bytes tail = {0xF6, 0x80, 0x81, 0x04};
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), f.begin() + 297));
  }
  {  // 14/3, empty payload
    const Buffer p = PacketOf(14, 3, {});
    EXPECT_EQ(p[259], 0x11);
    EXPECT_EQ(p[260], 0x00);
    const auto f = FrameOf(p);
    const Bytes head = {0x03, 0x8E, 0x83, 0x80};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), f.begin()));
    const Bytes tail = {0x91, 0x80, 0x80, 0x04};
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), f.begin() + 297));
  }
  {  // every byte 0xFF
    Buffer p{};
    std::fill_n(p.begin(), 259, 0xFF);
    SetChecksum(p.data());
    EXPECT_EQ(p[259], 0xFD);
    EXPECT_EQ(p[260], 0x01);
    const auto f = FrameOf(p);
    EXPECT_TRUE(std::all_of(f.begin() + 1, f.begin() + 297, [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(f[297], 0xFD);
    EXPECT_EQ(f[298], 0x81);
    EXPECT_EQ(f[299], 0x81);
  }
}

TEST(Frame, DecodeRoundTripAndChecksumCoverage) {
  Buffer p{};
  for (int i = 0; i < 259; ++i) p[i] = static_cast<std::uint8_t>(i * 37 + 11);
  SetChecksum(p.data());
  const auto f = FrameOf(p);
  Buffer back{};
  ASSERT_TRUE(DecodeFrame(f.data(), back.data()));
  EXPECT_TRUE(std::equal(p.begin(), p.begin() + kPacketSize, back.begin()));

  // Any data bit flipped must show as a checksum error, bits that carry
  // nothing must not.
  for (int i = 1; i <= 298; ++i) {
    for (int bit = 0; bit < 7; ++bit) {
      auto g = f;
      g[i] ^= static_cast<std::uint8_t>(1u << bit);
      // Group byte 7 bit 7 carries nothing in any group; bits 0..6 of group
      // byte 7 are packet top bits and count.
      EXPECT_FALSE(DecodeFrame(g.data(), back.data())) << "byte " << i << " bit " << bit;
    }
  }
  for (int bit : {0, 1}) {
    auto g = f;
    g[299] ^= static_cast<std::uint8_t>(1u << bit);
    EXPECT_FALSE(DecodeFrame(g.data(), back.data())) << "byte 299 bit " << bit;
  }
  auto ignored = f;
  for (int bit = 2; bit < 7; ++bit) ignored[299] ^= static_cast<std::uint8_t>(1u << bit);
  for (int i = 1; i <= 299; ++i) ignored[i] &= 0x7F;
  ignored[0] = ignored[300] = 0x00;  // markers are not examined
  EXPECT_TRUE(DecodeFrame(ignored.data(), back.data()));
  EXPECT_TRUE(std::equal(p.begin(), p.begin() + kPacketSize, back.begin()));
}

TEST(Bcd, Conversions) {
  std::uint8_t out[4] = {};
  EXPECT_EQ(IntToBcd(4817, 8, out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x00, 0x00, 0x48, 0x17}));
  EXPECT_EQ(IntToBcd(987, 4, out), 2u);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x09, 0x87}));
  IdToBcdLsbFirst(12345678, out);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(ToBcd2(2026), 0x26);
  EXPECT_EQ(ToBcd2(9), 0x09);
  EXPECT_EQ(ToBcd2(59), 0x59);
}

// The bytes the engine puts on the wire, seen by a plain UDP peer.
class RequestBytes : public ::testing::Test {
 protected:
  void SetUp() override {
    e.Open(MakeUdpLink("127.0.0.1", peer.port()));
    e.SetRetryCount(0);
    e.SetRetryInterval(10);
    e.SetAnswerLateLimit(10);  // the peer never answers: nothing to wait out between cases
  }
  Bytes Sent() {
    auto d = peer.Drain();
    EXPECT_EQ(d.size(), 1u);
    return d.empty() ? Bytes{} : d[0];
  }
  testing::UdpPeer peer;
  TPBusComm e;
};

TEST_F(RequestBytes, LogOnCarriesIdDateTimeAndSpeed) {
  int calls = 0;
  e.SetClock([&calls] {
    ++calls;
    return LocalClock{2026, 12, 9, 1, 30, 45};
  });
  EXPECT_FALSE(e.Connect(4817));
  const Bytes d = Sent();
  ASSERT_EQ(d.size(), kPacketSize);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 3), (Bytes{0x0E, 0x01, 0x00}));
  EXPECT_EQ(Bytes(d.begin() + 3, d.begin() + 7), (Bytes{0x17, 0x48, 0x00, 0x00}));
  EXPECT_EQ(Bytes(d.begin() + 7, d.begin() + 13), (Bytes{0x26, 0x12, 0x09, 0x01, 0x30, 0x45}));
  EXPECT_EQ(d[13], 0x00);
  EXPECT_TRUE(std::all_of(d.begin() + 14, d.begin() + 259, [](auto b) { return b == 0; }));
  EXPECT_TRUE(ChecksumOk(d.data()));
  EXPECT_EQ(calls, 2);  // date and time read separately
}

TEST_F(RequestBytes, BlockAndUpgradeRequests) {
  struct Case {
    const char* what;
    std::function<void()> call;
    Bytes head;
    std::uint8_t fill;  // payload bytes after the head
    std::uint8_t sumLo, sumHi;
  };
  const std::vector<Case> cases = {
      {"StartUpgrade(0)", [&] { e.StartUpgrade(0); }, {0x0F, 0x00, 0x00, 0x00, 0x00}, 0, 0x0F, 0x00},
      {"FinishUpgrade(0x0102)", [&] { e.FinishUpgrade(0x0102); }, {0x0F, 0x01, 0x00, 0x02, 0x01}, 0, 0x13, 0x00},
      {"WriteBlock(15,32) of 0xAA",
       [&] {
         const Bytes block(256, 0xAA);
         e.WriteBlock(15, 32, block);
       },
       {0x0F, 0x20, 0x00},
       0xAA,
       0x2F,
       0xAA},
      {"Disconnect(4817)", [&] { e.Disconnect(4817); }, {0x0E, 0x02, 0x00, 0x17, 0x48, 0x00, 0x00}, 0, 0x6F, 0x00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.call();
    const Bytes d = Sent();
    ASSERT_EQ(d.size(), kPacketSize);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + static_cast<long>(c.head.size())), c.head);
    EXPECT_TRUE(std::all_of(d.begin() + static_cast<long>(c.head.size()), d.begin() + 259,
                            [&](auto b) { return b == c.fill; }));
    EXPECT_EQ(d[259], c.sumLo);
    EXPECT_EQ(d[260], c.sumHi);
  }
}

}  // namespace
}  // namespace facset
