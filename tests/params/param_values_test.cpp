// Values set by name, as `param`, `download --set`, a targets file and the
// window's increasing row apply them.

#include <gtest/gtest.h>

#include "support/param_def.h"
#include "params/param_values.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::Def;

// A file's worth of parameters: one of each kind, a Chinese (GBK) caption,
// two rows of one caption, and a region table.
ParamSet Sample() {
  ParamSet ps;
  ps.Defs[14] = Def("Shop code", 3, 1);
  ps.Defs[17] = Def("Capacity", 2, 0, "grams");
  ps.Defs[19] = Def("Label\\r\\npaper", 1);
  ps.Defs[19].Option0 = "Gap labels";
  ps.Defs[19].Option1 = "Continuous";
  ps.Defs[26] = Def("\xB3\xD3\xBA\xC5", 1, 0, "1 to 99");  // 秤号 (scale number)
  ps.Defs[30] = Def("Twice", 1, 0, "n");
  ps.Defs[31] = Def("twice", 1, 0, "n");
  ps.GravityRegions = {"0=0", "0=0", "Beijing=9.8015", "\xB9\xE3\xD6\xDD=9.7883", "Moon=1.62"};  // 广州
  ps.Block[14] = 'X';
  ps.Block[26] = 7;
  return ps;
}

TEST(ParamValues, NamesFindTheirFieldOrSayWhyNot) {
  const ParamSet ps = Sample();
  const RowPlan plan = PlanParamRows(ps.Defs);
  struct Case {
    const char* name;
    int key;           // the field's first byte, 0: none
    const char* why;   // part of the refusal
  } cases[] = {
      {"shop CODE", 14, ""},
      {" Capacity ", 17, ""},
      {"Label paper", 19, ""},  // the caption as shown: its line break a blank
      {"秤号", 26, ""},          // a GBK caption named in UTF-8
      {"byte[26]", 26, ""},
      {"BYTE[ 26 ]", 26, ""},
      {"byte[1]", 1, ""},       // the screen list
      {"Keyboard type", 2, ""},
      {"label handling", 6, ""},
      {"calibration gravity", 8, ""},
      {"使用重力", 11, ""},
      {"byte[27]", 0, "byte[27] is not the first byte of a parameter"},
      {"byte[5]", 0, "byte[5] is not the first byte"},
      {"twice", 0, "more than one parameter is called \"twice\": name it by byte[N]"},
      {"Scale number", 0, "no parameter called \"Scale number\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FieldLookup f = FindParamField(ps, plan, c.name);
    if (c.key) {
      ASSERT_TRUE(f.field);
      EXPECT_EQ(f.field->Key(), c.key);
    } else {
      EXPECT_FALSE(f.field);
      EXPECT_NE(f.why.find(c.why), std::string::npos) << f.why;
    }
  }
}

TEST(ParamValues, ValuesPassTheControlsRulesOrLeaveEverythingAsItWas) {
  const ParamSet sample = Sample();
  const RowPlan plan = PlanParamRows(sample.Defs);
  struct Case {
    const char* name;
    const char* value;
    std::vector<std::pair<int, int>> bytes;  // (byte, value) after it; empty: refused
    const char* why;
  } cases[] = {
      {"Capacity", "65535", {{17, 0xFF}, {18, 0xFF}}, ""},
      {"Capacity", "000300", {{17, 0x01}, {18, 0x2C}}, ""},
      {"Capacity", "65536", {}, "greater than the maximum 65535"},
      {"Capacity", "99999999999999", {}, "greater than the maximum 65535"},
      {"Capacity", "12a", {}, "digits only"},
      {"Capacity", "-1", {}, "digits only"},
      {"Capacity", "", {}, "digits only"},
      {"Shop code", "A1", {{14, 'A'}, {15, '1'}, {16, 0}}, ""},
      {"Shop code", "", {{14, 0}, {15, 0}, {16, 0}}, ""},
      {"Shop code", "ABCD", {}, "longer than 3 bytes"},
      {"Shop code", "é", {}, "characters below 128"},
      {"Label paper", "Continuous", {{19, 1}}, ""},
      {"Label paper", "0", {{19, 0}}, ""},
      {"Label paper", "2", {}, "not one of the choices: 0 \"Gap labels\", 1 \"Continuous\""},
      {"screen", "Hanging scale", {{1, 3}}, ""},
      {"screen", "hanging SCALE", {{1, 3}}, ""},
      {"screen", "吊秤", {{1, 3}}, ""},
      {"byte[1]", "4", {{1, 4}}, ""},
      {"screen", "5", {}, "not one of the choices"},
      {"network", "Ethernet + wireless", {{4, 1}}, ""},
      {"calibration gravity", "beijing", {{7, 0x62}, {8, 0x01}, {9, 0x7E}, {10, 0xDF}}, ""},
      {"calibration gravity", "广州", {{7, 0x62}, {8, 0x01}, {9, 0x7E}, {10, 0x5B}}, ""},
      {"calibration gravity", "9.8", {{7, 0x62}, {8, 0x01}, {9, 0x7E}, {10, 0xD0}}, ""},
      {"calibration gravity", "9.80001", {{7, 0x62}, {8, 0x01}, {9, 0x7E}, {10, 0xD0}}, ""},
      {"calibration gravity", "9.9", {{7, 0x62}, {8, 0x01}, {9, 0x82}, {10, 0xB8}}, ""},
      {"calibration gravity", "9.91", {}, "gravity 9.9100 is outside 9.7000 to 9.9000"},
      {"calibration gravity", "Moon", {}, "outside 9.7000 to 9.9000"},
      {"calibration gravity", "Paris", {}, "not a region of the file (Beijing, 广州, Moon)"},
      {"use gravity", "Beijing", {{7, 0}, {11, 0x01}, {12, 0x7E}, {13, 0xDF}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = " + c.value);
    ParamSet ps = sample;
    const FieldLookup f = FindParamField(ps, plan, c.name);
    ASSERT_TRUE(f.field);
    const std::string why = SetParamField(ps, *f.field, c.value);
    if (c.bytes.empty()) {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
      EXPECT_EQ(ps, sample);
      continue;
    }
    EXPECT_EQ(why, "");
    ParamSet expected = sample;
    for (auto [b, v] : c.bytes) expected.Block[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(v);
    EXPECT_EQ(ps.Block, expected.Block);
  }
}

TEST(ParamValues, GravityFollowsTheListChoiceAndReadsBackByName) {
  ParamSet ps = Sample();
  ps.Block[7] = 0x62;
  const RowPlan plan = PlanParamRows(ps.Defs);
  const ParamField calibration = *FindParamField(ps, plan, "calibration gravity").field;
  const ParamField use = *FindParamField(ps, plan, "use gravity").field;

  ASSERT_EQ(SetParamField(ps, calibration, "Beijing"), "");
  EXPECT_EQ(ps.bdgbIndex, 2);
  EXPECT_EQ(ParamFieldValue(ps, calibration, false), "Beijing");
  ASSERT_EQ(SetParamField(ps, use, "9.7"), "");
  EXPECT_EQ(ps.TaggbIndex, 1);
  EXPECT_EQ(ParamFieldValue(ps, use, false), "9.7000");

  // "not set" clears the value, and the calibration site's flag with it.
  ASSERT_EQ(SetParamField(ps, calibration, "Not set"), "");
  EXPECT_EQ(ps.bdgbIndex, 0);
  EXPECT_EQ(ps.Block[7], 0);
  EXPECT_EQ(ps.Block[8] | ps.Block[9] | ps.Block[10], 0);
  EXPECT_EQ(ParamFieldValue(ps, calibration, true), "未设置");
  ASSERT_EQ(SetParamField(ps, use, "未设置"), "");
  EXPECT_EQ(ps.Block[11] | ps.Block[12] | ps.Block[13], 0);
}

TEST(ParamValues, LargestNumberIsWhatTheControlTakes) {
  ParamSet ps = Sample();
  ps.Defs[40] = Def("Wide", 4, 0, "n");  // shown only
  const RowPlan plan = PlanParamRows(ps.Defs);
  auto largest = [&](const char* name) { return LargestNumber(ps, *FindParamField(ps, plan, name).field); };
  EXPECT_EQ(largest("Capacity"), 65535);
  EXPECT_EQ(largest("秤号"), 255);
  EXPECT_EQ(largest("Shop code"), 999);
  EXPECT_EQ(largest("Label paper"), 1);
  EXPECT_EQ(largest("screen"), 4);
  EXPECT_EQ(largest("Wide"), std::nullopt);
  EXPECT_EQ(largest("use gravity"), std::nullopt);
}

// The window's increasing row is kept under a key of ours, written only into
// files that use it, and cleared (never deleted) when the mark goes.
TEST(ParamValues, IncreaseMarkIsKeptOnlyWhereUsed) {
  testing::TempDir dir;
  const std::string path = dir / "p.ini";
  ParamSet ps = Sample();
  {
    IniFile ini(path);
    SaveParams(ini, ps, "_en");
  }
  EXPECT_EQ(testing::ReadFileBytes(path).find("facset"), std::string::npos);
  ps.IncreaseByte = 26;
  {
    IniFile ini(path);
    SaveParams(ini, ps, "_en");
    ParamSet back;
    LoadParamSet(ini, back);
    EXPECT_EQ(back.IncreaseByte, 26);
  }
  EXPECT_NE(testing::ReadFileBytes(path).find("[facset]\r\nIncreaseAfterDownload=26"), std::string::npos);
  ps.IncreaseByte = 0;
  IniFile ini(path);
  SaveParams(ini, ps, "_en");
  ParamSet back;
  back.IncreaseByte = 99;
  LoadParamSet(ini, back);
  EXPECT_EQ(back.IncreaseByte, 0);
  EXPECT_NE(testing::ReadFileBytes(path).find("IncreaseAfterDownload=\r\n"), std::string::npos);
}

}  // namespace
}  // namespace facset
