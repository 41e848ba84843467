// The rules behind the generated rows, without a window.

#include <gtest/gtest.h>

#include "support/param_def.h"
#include "params/param_rows.h"

namespace facset {
namespace {

using testing::Def;

TEST(PlanParamRows, KindsPositionsAndSkips) {
  std::array<ParamDef, 256> defs{};
  defs[14] = Def("Text", 8, 1);
  defs[15] = Def("covered by 14", 1);  // bytes 15..21 belong to 14
  defs[22] = Def("Numeric", 2, 0, "note");
  defs[24] = Def("", 3, 0, "no caption");  // skips 24..26 without a row
  defs[25] = Def("covered", 1);
  defs[27] = Def("zero width", 0);
  defs[28] = Def("Two", 1, 5);
  const RowPlan plan = PlanParamRows(defs);
  ASSERT_EQ(plan.rows.size(), 3u);
  EXPECT_EQ(plan.rows[0].byte, 14);
  EXPECT_EQ(plan.rows[0].kind, RowKind::Text);
  EXPECT_EQ(plan.rows[0].top, 1);
  EXPECT_EQ(plan.rows[1].byte, 22);
  EXPECT_EQ(plan.rows[1].kind, RowKind::Numeric);
  EXPECT_EQ(plan.rows[1].top, 31);
  EXPECT_EQ(plan.rows[2].byte, 28);
  EXPECT_EQ(plan.rows[2].kind, RowKind::TwoChoice);
  EXPECT_EQ(plan.panelHeight, 1 + 3 * 30 + 30);
}

TEST(PlanParamRows, FullBlockOfOneByteRows) {
  std::array<ParamDef, 256> defs{};
  for (int n = 14; n <= 255; ++n) defs[n] = Def("p", 1, 0, "n");
  const RowPlan plan = PlanParamRows(defs);
  EXPECT_EQ(plan.rows.size(), 242u);
  EXPECT_EQ(plan.panelHeight, 7291);
}

TEST(PlanParamRows, DefinitionsOutsideTheBlockAreCut) {
  std::array<ParamDef, 256> defs{};
  defs[250] = Def("tail", 10, 1);
  defs[100] = Def("wide", 4, 0, "n");
  defs[20] = Def("neg", -3);
  RowPlan plan = PlanParamRows(defs);
  ASSERT_EQ(plan.rows.size(), 2u);
  EXPECT_EQ(plan.rows[0].byte, 100);
  EXPECT_TRUE(plan.rows[0].readOnly);
  EXPECT_EQ(plan.rows[1].width, 6);
  EXPECT_FALSE(plan.rows[1].readOnly);
  defs[14] = Def("huge", 0x7FFFFFFF);  // N + Width must not overflow
  plan = PlanParamRows(defs);
  ASSERT_EQ(plan.rows.size(), 1u);
  EXPECT_EQ(plan.rows[0].width, 242);
}

TEST(NumericInput, AcceptsRefuses) {
  struct Case {
    const char* text;
    int width;
    bool accepted;
    std::int32_t value;
  };
  const Case cases[] = {
      {"", 1, true, 0},           {"abc", 1, true, 0},          {"255", 1, true, 255},
      {"256", 1, false, 0},       {"65535", 2, true, 65535},    {"70000", 2, false, 0},
      {"16777215", 3, true, 16777215}, {"16777216", 3, false, 0}, {"99999999999", 3, false, 0},
      {"-1", 1, false, 0},        {"-0", 1, true, 0},           {"+7", 1, true, 7},
      {"007", 1, true, 7},
  };
  for (const Case& c : cases) {
    const NumericInput in = CheckNumericText(c.text, c.width);
    EXPECT_EQ(in.accepted, c.accepted) << c.text;
    EXPECT_EQ(in.value, c.value) << c.text;
  }
}

TEST(NumericText, ShownValues) {
  ParamBlock b{};
  b[30] = 0x03, b[31] = 0xE8;
  EXPECT_EQ(NumericText(b, {30, RowKind::Numeric, 2, 0, false}), "1000");
  EXPECT_EQ(NumericText(b, {30, RowKind::Numeric, 1, 0, false}), "3");
  b[40] = 0xFF, b[41] = 0xFF, b[42] = 0xFF, b[43] = 0xFF;
  EXPECT_EQ(NumericText(b, {40, RowKind::Numeric, 4, 0, true}), "4294967295");
  EXPECT_EQ(NumericText(b, {40, RowKind::Numeric, 10, 0, true}), "0xFFFFFFFF000000000000");
}

TEST(TextParam, ReadsToZeroAndPads) {
  ParamBlock b{};
  b[20] = 'A', b[21] = 'B', b[23] = 'Z';  // a zero byte ends the text
  const ParamRow row{20, RowKind::Text, 8, 0, false};
  EXPECT_EQ(TextParamValue(b, row), "AB");
  ASSERT_TRUE(WriteTextParam(b, row, "ABC"));
  EXPECT_EQ(b[22], 'C');
  EXPECT_EQ(b[23], 0);
  EXPECT_FALSE(WriteTextParam(b, row, "123456789"));
  EXPECT_EQ(b[20], 'A');
  const ParamRow edge{250, RowKind::Text, 6, 0, false};
  ASSERT_TRUE(WriteTextParam(b, edge, "xyz"));
  EXPECT_EQ(b[255], 0);
}

TEST(TwoChoice, EntriesAndIndex) {
  ParamDef d;
  d.Option1 = "On";
  const auto e = TwoChoiceEntries(d);
  ASSERT_EQ(e.size(), 1u);
  ParamBlock b{};
  b[14] = 1;
  const ParamRow row{14, RowKind::TwoChoice, 1, 0, false};
  EXPECT_EQ(TwoChoiceIndex(b, row, e.size()), -1);
  b[14] = 2;  // bit 0 only
  EXPECT_EQ(TwoChoiceIndex(b, row, e.size()), 0);
  b[14] = 3;
  EXPECT_EQ(TwoChoiceIndex(b, row, 2), 1);
}

TEST(KeyFilters, Characters) {
  EXPECT_TRUE(DigitKeyAllowed(8));
  EXPECT_TRUE(DigitKeyAllowed(U'7'));
  EXPECT_FALSE(DigitKeyAllowed(U'a'));
  EXPECT_FALSE(DigitKeyAllowed(13));
  EXPECT_TRUE(AsciiKeyAllowed(U'~'));
  EXPECT_FALSE(AsciiKeyAllowed(0xE9));
  EXPECT_FALSE(AsciiKeyAllowed(0x4E2D));
  EXPECT_TRUE(GravityKeyAllowed(U'.', "9"));
  EXPECT_FALSE(GravityKeyAllowed(U'.', "9.8"));
  EXPECT_FALSE(GravityKeyAllowed(U',', "9"));
}

}  // namespace
}  // namespace facset
