#include <gtest/gtest.h>

#include <vector>

#include "params/param_math.h"

namespace facset {
namespace {

// A block with guard bytes behind it: a write past byte 255 shows up there.
struct GuardedBlock {
  ParamBlock block{};
  std::array<std::uint8_t, 8> guard{0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  bool GuardIntact() const {
    for (auto g : guard) {
      if (g != 0x5A) return false;
    }
    return true;
  }
};

TEST(JoinSplitValue, BigEndianOverTheParameterBytes) {
  const struct {
    int n, w;
    std::vector<std::uint8_t> bytes;
    std::int32_t value;
  } cases[] = {
      {30, 2, {0x03, 0xE8}, 1000},
      {30, 2, {0x1B, 0x58}, 7000},
      {40, 1, {0xFF}, 255},
      {40, 3, {0xFF, 0xFF, 0xFF}, 16777215},
      {40, 4, {0xFF, 0xFF, 0xFF, 0xFF}, -1},       // signed 32-bit arithmetic
      {40, 5, {0x01, 0x00, 0x00, 0x00, 0x02}, 2},  // 2^32 wraps to 0
      {254, 2, {0x12, 0x34}, 0x1234},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " w=" << c.w);
    ParamBlock b{};
    for (std::size_t i = 0; i < c.bytes.size(); ++i) b[c.n + i] = c.bytes[i];
    EXPECT_EQ(JoinValue(b, c.n, c.w), c.value);
    if (c.w <= 4 && c.value >= 0) {
      ParamBlock out{};
      SplitValue(out, c.value, c.n, c.w);
      EXPECT_EQ(out, b);
    }
  }
}

TEST(JoinSplitValue, NegativeValuesTruncateTowardsZero) {
  ParamBlock b{};
  SplitValue(b, -1, 20, 1);
  EXPECT_EQ(b[20], 0xFF);
  SplitValue(b, -1, 30, 2);  // -1 div 256 = 0
  EXPECT_EQ(b[30], 0x00);
  EXPECT_EQ(b[31], 0xFF);
}

TEST(JoinSplitValue, DefinitionsPastTheBlockStayInsideIt) {
  GuardedBlock g;
  g.block[254] = 0xAB;
  g.block[255] = 0xCD;
  EXPECT_EQ(EffectiveWidth(254, 4), 2);
  EXPECT_EQ(JoinValue(g.block, 254, 4), 0xABCD);
  SplitValue(g.block, 0x1234, 254, 4);
  EXPECT_EQ(g.block[254], 0x12);
  EXPECT_EQ(g.block[255], 0x34);
  EXPECT_TRUE(g.GuardIntact());

  SplitValue(g.block, 0x7FFFFFFF, 250, 1000);  // wider than 4: the leading bytes get 0
  EXPECT_EQ(g.block[250], 0x00);
  EXPECT_EQ(g.block[251], 0x00);
  EXPECT_EQ(g.block[252], 0x7F);
  EXPECT_EQ(g.block[255], 0xFF);
  EXPECT_TRUE(g.GuardIntact());

  for (int n : {-1, 256, 1000}) {
    SplitValue(g.block, 77, n, 2);
    EXPECT_EQ(JoinValue(g.block, n, 2), 0);
    EXPECT_EQ(EffectiveWidth(n, 2), 0);
  }
  EXPECT_EQ(EffectiveWidth(100, 0), 0);
  EXPECT_EQ(EffectiveWidth(100, -3), 0);
  EXPECT_TRUE(g.GuardIntact());
}

TEST(Low8, KeepsTheLowByte) {
  EXPECT_EQ(Low8(300), 44);
  EXPECT_EQ(Low8(-1), 255);
  EXPECT_EQ(Low8(0xA6), 166);
  EXPECT_EQ(Low8(-256), 0);
}

TEST(CeilDiv, RoundsUpPositiveOnly) {
  const struct {
    std::int64_t a, b, q;
  } cases[] = {{256, 256, 1}, {257, 256, 2}, {1, 256, 1},   {512, 256, 2},
               {0, 256, 0},   {-5, 256, 0},  {10, 0, 0},    {3000000000LL, 256, 11718750}};
  for (const auto& c : cases) EXPECT_EQ(CeilDiv(c.a, c.b), c.q) << c.a << "/" << c.b;
}

TEST(BcdToInt, PackedPairsMostSignificantFirst) {
  const struct {
    std::vector<std::uint8_t> bytes;
    int digits;
    std::int64_t value;
  } cases[] = {
      {{0x09, 0x87}, 4, 987},
      {{0x1A, 0xF3}, 4, 1003},  // nibbles above 9 count as 0
      {{0x12, 0x34, 0x56}, 5, 123456},
      {{0x12, 0x34, 0x56}, 6, 123456},
      {{0x12, 0x34}, 1, 12},
      {{0x12, 0x34}, 8, 1234},  // never more bytes than there are
      {{0x12}, 0, 0},
      {{}, 4, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(BcdToInt(c.bytes, c.digits), c.value) << c.digits;
}

}  // namespace
}  // namespace facset
