#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "params/param_model.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::FileExists;
using testing::FileSizeLimit;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

class ParamFileTest : public ::testing::Test {
 protected:
  // Writes `text` into a file of the temp folder and loads it.
  ParamSet Load(const std::string& text, std::vector<std::string>* names = nullptr) {
    WriteFileBytes(path_, text);
    const IniFile ini(path_);
    ParamSet ps;
    auto n = LoadParamSet(ini, ps);
    if (names) *names = n;
    return ps;
  }
  std::string Save(const ParamSet& ps, const std::string& suffix = "_cn") {
    IniFile ini(path_);
    SaveParams(ini, ps, suffix);
    return ReadFileBytes(path_);
  }

  TempDir dir_;
  std::string path_ = dir_ / "params.ini";
};

TEST(ByteKeys, NineCharactersPaddedWithBlanks) {
  EXPECT_EQ(ByteKeys[0], "byte[0  ]");
  EXPECT_EQ(ByteKeys[7], "byte[7  ]");
  EXPECT_EQ(ByteKeys[42], "byte[42 ]");
  EXPECT_EQ(ByteKeys[100], "byte[100]");
  EXPECT_EQ(ByteKeys[255], "byte[255]");
  for (auto k : ByteKeys) EXPECT_EQ(k.size(), 9u) << k;
  EXPECT_EQ(DefKey(14, 't'), "byte[14 ]t");
  EXPECT_EQ(DefKey(255, 'k'), "byte[255]k");
}

TEST_F(ParamFileTest, ByteValuesKeepTheirLowEightBitsAndSaveInDecimal) {
  const struct {
    const char* text;
    std::uint8_t byte;
  } cases[] = {
      {"300", 44},  {"-1", 255}, {"0xA6", 166}, {"0XA6", 166},       {"$10", 16},
      {"abc", 0},   {"", 0},     {"  7  ", 7},  {"4294967296", 0},  {"2147483648", 0}, {"-129", 127},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ParamSet ps = Load(std::string("[factory]\r\nbyte[20 ]=") + c.text + "\r\n");
    EXPECT_EQ(ps.Block[20], c.byte);
    IniFile ini(path_);
    SaveParams(ini, ps, "_cn");
    EXPECT_EQ(ini.ReadString("factory", "byte[20 ]", "?"), std::to_string(c.byte));
  }
}

// Values a hand edit left outside a byte are named with the byte the block
// takes from them; numbers of a byte in any spelling are not.
TEST_F(ParamFileTest, BytesOutsideRangeAreNamedWithTheByteSent) {
  const struct {
    const char* text;
    bool outside;
  } cases[] = {
      {"300", true},        {"-1", true},  {"12abc", true},  {"4294967297", true}, {"abc", true},
      {"", true},           {"256", true}, {"0x100", true},  {"255", false},       {"0", false},
      {"0xA6", false},      {"$ff", false}, {"+7", false},   {"  7  ", false},     {"007", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ParamSet ps = Load(std::string("[factory]\r\nbyte[0  ]=999\r\nbyte[1  ]=5\r\nbyte[20 ]=") + c.text +
                             "\r\n");
    const auto found = BytesOutsideRange(IniFile(path_));
    ASSERT_EQ(found.size(), c.outside ? 1u : 0u);
    if (!c.outside) continue;
    EXPECT_EQ(found[0].byte, 20);
    EXPECT_EQ(found[0].text, std::string(TrimBlanks(c.text)));
    EXPECT_EQ(found[0].sent, ps.Block[20]);  // what the download sends
  }
  // A missing key is no hand edit; several are named in byte order.
  Load("[factory]\r\nbyte[200]=x\r\nbyte[3  ]=-5\r\n");
  const auto found = BytesOutsideRange(IniFile(path_));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].byte, 3);
  EXPECT_EQ(found[0].sent, 251);
  EXPECT_EQ(found[1].byte, 200);
  EXPECT_EQ(found[1].sent, 0);
}

TEST_F(ParamFileTest, ByteZeroIsNeverReadNorWritten) {
  ParamSet ps = Load("[factory]\r\nbyte[0  ]=5\r\nbyte[1  ]=2\r\n");
  EXPECT_EQ(ps.Block[0], 0xA6);
  EXPECT_EQ(ps.Block[1], 2);
  ps.Block[0] = 0;  // even a damaged marker is not stored
  const std::string text = Save(ps);
  EXPECT_NE(text.find("byte[0  ]=5\r\n"), std::string::npos);
  EXPECT_EQ(text.find("byte[0  ]", text.find("byte[0  ]") + 1), std::string::npos);

  const std::string fresh = dir_ / "new.ini";
  IniFile ini(fresh);
  SaveParams(ini, ps, "_cn");
  EXPECT_EQ(ReadFileBytes(fresh).find("byte[0  ]"), std::string::npos);
}

TEST_F(ParamFileTest, MissingFileGivesTheDefaults) {
  ParamSet ps;
  ps.Block.fill(9);
  ps.Defs[20].Caption = "left over";
  const IniFile ini(dir_ / "absent.ini");
  const auto names = LoadParamSet(ini, ps);
  EXPECT_EQ(ps, ParamSet());
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(ps.DeviceIp, kDefaultDeviceIp);
  EXPECT_TRUE(ps.DownProg);
  EXPECT_TRUE(ps.IsEnabled);
  EXPECT_EQ(GravityText(ps.Block, 8), "0.0000");
  EXPECT_FALSE(FileExists(dir_ / "absent.ini"));
}

TEST_F(ParamFileTest, RegionTable) {
  const struct {
    const char* name;
    const char* aregb;
    std::vector<std::string> lines;  // after the two placeholders
    std::vector<std::string> names;
  } cases[] = {
      {"stops at an empty value", "Aregb0=North=9.8015\r\nAregb1=\r\nAregb2=South=9.7936\r\n", {"North=9.8015"},
       {"North"}},
      {"stops at blanks", "Aregb0=North=9.8015\r\nAregb1=   \r\nAregb2=South=9.7936\r\n", {"North=9.8015"},
       {"North"}},
      {"skips a line without =", "Aregb0=North=9.8015\r\nAregb1=broken\r\nAregb2=South=9.7936\r\n",
       {"North=9.8015", "South=9.7936"}, {"North", "South"}},
      {"no name", "Aregb0==9.79\r\n", {"=9.79"}, {""}},
      {"name up to the first =", "aregb0=Pole=Top=9.83\r\n", {"Pole=Top=9.83"}, {"Pole"}},
      {"no key 0", "Aregb1=North=9.8015\r\n", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> names;
    ParamSet ps = Load(std::string("[Aregb]\r\n") + c.aregb, &names);
    std::vector<std::string> lines = {"0=0", "0=0"};
    lines.insert(lines.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(ps.GravityRegions, lines);
    EXPECT_EQ(names, c.names);
  }
}

// The saved table is the window's: renumbered, ended by an empty key, so the
// old file's surplus regions are no longer read; no key is deleted.
TEST_F(ParamFileTest, SavedRegionsAreRenumberedAndEndedByAnEmptyKey) {
  ParamSet ps = Load("[Aregb]\r\nAregb0=North=9.8015\r\nAregb1=broken\r\nAregb2=South=9.7936\r\n"
                     "Aregb3=Far=9.75\r\n");
  ASSERT_EQ(ps.GravityRegions.size(), 5u);
  ps.GravityRegions.pop_back();  // the window's table has two regions
  Save(ps);
  const IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Aregb", "Aregb0", ""), "North=9.8015");
  EXPECT_EQ(ini.ReadString("Aregb", "Aregb1", ""), "South=9.7936");
  EXPECT_EQ(ini.ReadString("Aregb", "Aregb2", "missing"), "");
  EXPECT_EQ(ini.ReadString("Aregb", "Aregb3", ""), "Far=9.75");  // kept, no longer read
  EXPECT_EQ(ReadRegionTable(ini).names, (std::vector<std::string>{"North", "South"}));
  // No region at all: the table is empty to a reader.
  ps.GravityRegions.resize(2);
  Save(ps);
  EXPECT_TRUE(ReadRegionTable(IniFile(path_)).names.empty());
}

TEST_F(ParamFileTest, LoadReadsEverySetting) {
  ParamSet ps = Load(
      "[port]\r\nip=127.0.0.1\r\ncom=3\r\nuse com=1\r\n"
      "[factory]\r\nbdgbIndex=2\r\nTaggbIndex=-1\r\nIsDownkDownProg=0\r\nbinFilePath=\"  /fw/scale.bin  \"\r\n"
      "byte[8  ]=1\r\nbyte[9  ]=126\r\nbyte[10 ]=100\r\n"
      "byte[14 ]0=Off\r\nbyte[14 ]1=On\r\nbyte[14 ]x=\r\nbyte[14 ]t=Mode\r\nbyte[14 ]n=1\r\nbyte[14 ]k=0\r\n"
      "byte[13 ]t=never read\r\n"
      "[Set]\r\nIsEnabled=0\r\n");
  EXPECT_EQ(ps.DeviceIp, "127.0.0.1");
  EXPECT_EQ(ps.ComIndex, 3);
  EXPECT_TRUE(ps.UseCom);
  EXPECT_EQ(ps.bdgbIndex, 2);
  EXPECT_EQ(ps.TaggbIndex, -1);
  EXPECT_FALSE(ps.DownProg);
  EXPECT_EQ(ps.BinFilePath, "/fw/scale.bin");
  EXPECT_FALSE(ps.IsEnabled);
  EXPECT_EQ(GravityText(ps.Block, 8), "9.7892");
  EXPECT_EQ(ps.Defs[14], (ParamDef{"Off", "On", "", "Mode", 1, 0}));
  EXPECT_EQ(ps.Defs[13], ParamDef());
}

TEST_F(ParamFileTest, EscapedLineBreaksSurviveLoadAndSaveByteForByte) {
  const std::string caption = "target\\r\\ngravity \\n end\\";
  const std::string note = "\\rfirst\\n\\nthird";
  ParamSet ps = Load("[factory]\r\nbyte[30 ]t=" + caption + "\r\nbyte[30 ]x=" + note + "\r\nbyte[30 ]n=2\r\n");
  EXPECT_EQ(ps.Defs[30].Caption, caption);
  EXPECT_EQ(ps.Defs[30].Note, note);
  const std::string fresh = dir_ / "copy.ini";
  IniFile out(fresh);
  SaveParams(out, ps, "_cn");
  const std::string text = ReadFileBytes(fresh);
  EXPECT_NE(text.find("\r\nbyte[30 ]t=" + caption + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nbyte[30 ]x=" + note + "\r\n"), std::string::npos);
}

TEST_F(ParamFileTest, SaveIntoAnExistingFileKeepsEverythingElse) {
  const std::string other = "[custom]\r\n; operator notes\r\nfoo = bar\r\n\r\n";
  ParamSet ps = Load(other + "[factory]\r\nbyte[20 ]=7\r\nextra=kept\r\n[Set]\r\nlngstr=_de\r\nmine=1\r\n");
  ps.Block[20] = 8;
  const std::string text = Save(ps, "_en");
  EXPECT_EQ(text.rfind(other + "[factory]\r\nbyte[20 ]=8\r\nextra=kept\r\n", 0), 0u);
  const IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Set", "lngstr", ""), "_en");
  EXPECT_EQ(ini.ReadString("Set", "mine", ""), "1");
  EXPECT_EQ(ini.ReadString("custom", "foo", ""), "bar");
}

// Section/key of every key line, in file order.
std::vector<std::string> KeyOrder(const std::string& text) {
  std::vector<std::string> keys;
  std::string section, line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 1 && line.front() == '[') {
      section = line.substr(1, line.size() - 2);
    } else if (auto eq = line.find('='); eq != std::string::npos) {
      keys.push_back(section + "/" + line.substr(0, eq));
    }
  }
  return keys;
}

TEST_F(ParamFileTest, SaveIntoANewFileWritesEveryKeyInOrder) {
  ParamSet ps;
  ps.DeviceIp = "127.0.0.1";
  ps.ComIndex = 3;
  ps.UseCom = true;
  ps.bdgbIndex = 2;
  ps.TaggbIndex = 3;
  ps.DownProg = false;
  ps.BinFilePath = " C:\\fw\\new.bin";
  ps.IsEnabled = false;
  ps.Block[1] = 4;
  ps.Block[255] = 255;
  ps.Defs[14] = {"Off", "On", "", "Mode", 1, 0};
  ps.GravityRegions = {"0=0", "0=0", "North=9.8015", "South=9.7936"};
  const std::string text = Save(ps, "_en");

  EXPECT_EQ(text.rfind("[port]\r\nip=127.0.0.1\r\ncom=3\r\nuse com=1\r\n"
                       "[factory]\r\nbdgbIndex=2\r\nTaggbIndex=3\r\nIsDownkDownProg=0\r\nbinFilePath= C:\\fw\\new.bin\r\n"
                       "byte[1  ]=4\r\nbyte[2  ]=0\r\n",
                       0),
            0u);
  EXPECT_NE(text.find("\r\nbyte[13 ]=0\r\nbyte[14 ]=0\r\nbyte[14 ]0=Off\r\nbyte[14 ]1=On\r\nbyte[14 ]x=\r\n"
                      "byte[14 ]t=Mode\r\nbyte[14 ]n=1\r\nbyte[14 ]k=0\r\nbyte[15 ]=0\r\nbyte[15 ]0=\r\n"),
            std::string::npos);
  const std::string tail =
      "byte[255]=255\r\nbyte[255]0=\r\nbyte[255]1=\r\nbyte[255]x=\r\nbyte[255]t=\r\nbyte[255]n=0\r\nbyte[255]k=0\r\n"
      "[Aregb]\r\nAregb0=North=9.8015\r\nAregb1=South=9.7936\r\nAregb2=\r\n[Set]\r\nIsEnabled=0\r\nlngstr=_en\r\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

  std::vector<std::string> expected = {"port/ip", "port/com", "port/use com", "factory/bdgbIndex",
                                       "factory/TaggbIndex", "factory/IsDownkDownProg", "factory/binFilePath"};
  for (int n = 1; n <= 255; ++n) {
    expected.push_back("factory/" + std::string(ByteKeys[n]));
    if (n >= 14) {
      for (char s : kDefSuffixes) expected.push_back("factory/" + DefKey(n, s));
    }
  }
  expected.insert(expected.end(), {"Aregb/Aregb0", "Aregb/Aregb1", "Aregb/Aregb2", "Set/IsEnabled", "Set/lngstr"});
  EXPECT_EQ(KeyOrder(text), expected);
}

TEST_F(ParamFileTest, FailedSaveLeavesTheFileUnchanged) {
  const std::string original = "[factory]\r\nbyte[20 ]=7\r\n[custom]\r\nkeep=me\r\n";
  ParamSet ps = Load(original);
  ps.Block[20] = 99;
  {
    FileSizeLimit limit(4096);  // a full save is far larger
    IniFile ini(path_);
    try {
      SaveParams(ini, ps, "_cn");
      ADD_FAILURE() << "the save should have failed";
    } catch (const EIniError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + path_ + ": File too large");
    }
    EXPECT_EQ(ini.ReadInteger("factory", "byte[20 ]", -1), 7) << "no half-applied batch stays visible";
  }
  EXPECT_EQ(ReadFileBytes(path_), original);

  const std::string nowhere = dir_ / "missing-dir/params.ini";
  IniFile ini(nowhere);
  EXPECT_THROW(SaveParams(ini, ps, "_cn"), EIniError);
  EXPECT_FALSE(FileExists(nowhere));
}

TEST_F(ParamFileTest, DemoSamplesSurviveASaveUnchanged) {
  for (const char* name : {"facconfig.ini", "sample-en.ini"}) {
    SCOPED_TRACE(name);
    const IniFile sample(std::string(FACSET_DEMO_DIR) + "/" + name);
    ParamSet ps;
    const auto names = LoadParamSet(sample, ps);
    EXPECT_EQ(names.size(), 6u);
    EXPECT_EQ(ps.DeviceIp, "127.0.0.1");
    EXPECT_EQ(GravityText(ps.Block, 8), "9.8015");
    EXPECT_EQ(RegionValue(ps.GravityRegions[ps.bdgbIndex]), "9.8015");
    EXPECT_EQ(GravityText(ps.Block, 11), RegionValue(ps.GravityRegions[ps.TaggbIndex]));

    const std::string copy = dir_ / (std::string("copy-") + name);
    {
      IniFile out(copy);
      SaveParams(out, ps, sample.ReadString("Set", "lngstr", ""));
    }
    const IniFile back(copy);
    ParamSet again;
    LoadParamSet(back, again);
    EXPECT_EQ(again, ps);
  }
}

TEST_F(ParamFileTest, FirmwarePathGbkCannotHoldSurvivesSaveAndLoad) {
  struct Case {
    const char* path;   // UTF-8
    bool utf8Key;       // the file needs the UTF-8 key
  };
  const Case cases[] = {{"/fw/scale.hex", false}, {"/fw/固件.hex", false}, {"/fw/mañana-straße.hex", true}};
  for (const Case& c : cases) {
    ParamSet ps;
    SetFirmwarePath(ps, c.path);
    const std::string text = Save(ps);
    EXPECT_EQ(text.find("binFilePath=" + Utf8ToGbk(c.path) + "\r\n") != std::string::npos, true) << c.path;
    EXPECT_EQ(text.find("binFilePathUtf8=" + std::string(c.path)) != std::string::npos, c.utf8Key) << c.path;
    EXPECT_EQ(FirmwarePathOf(Load(text)), c.path);
  }
  // The UTF-8 key, once written, is emptied when a GBK path replaces it.
  ParamSet ps;
  SetFirmwarePath(ps, "/fw/ß.hex");
  Save(ps);
  SetFirmwarePath(ps, "/fw/plain.hex");
  const std::string text = Save(ps);
  EXPECT_NE(text.find("binFilePathUtf8=\r\n"), std::string::npos);
  EXPECT_EQ(FirmwarePathOf(Load(text)), "/fw/plain.hex");
  // A tool that knows only the GBK key and changed it wins over a stale UTF-8 key.
  const ParamSet edited = Load("[factory]\r\nbinFilePath=/fw/new.hex\r\nbinFilePathUtf8=/fw/ß.hex\r\n");
  EXPECT_EQ(FirmwarePathOf(edited), "/fw/new.hex");
}

TEST(SetValuesText, SixteenRowsOfUpperCaseHex) {
  ParamBlock b{};
  for (int i = 0; i < 256; ++i) b[i] = static_cast<std::uint8_t>(i);
  b[0] = 0xA6;
  EXPECT_EQ(kSetValuesHeader, "    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  const auto lines = SetValuesText(b);
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], "00: A6 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  EXPECT_EQ(lines[10], "0A: A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF");
  EXPECT_EQ(lines[15], "0F: F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF");
  for (const auto& l : lines) EXPECT_EQ(l.size(), 51u);
}

TEST(Gravity, DecodeShowsFourDecimals) {
  const struct {
    std::uint8_t b0, b1, b2;
    const char* text;
  } cases[] = {{0x01, 0x7E, 0x64, "9.7892"},
               {0x01, 0x7E, 0xDF, "9.8015"},
               {0, 0, 0, "0.0000"},
               {0, 0, 5, "0.0005"},
               {0xFF, 0xFF, 0xFF, "1677.7215"}};
  for (const auto& c : cases) {
    ParamBlock b{};
    b[11] = c.b0, b[12] = c.b1, b[13] = c.b2;
    EXPECT_EQ(GravityText(b, 11), c.text);
    EXPECT_EQ(GravityText(b, 8), "0.0000");
  }
}

TEST(Gravity, EncodeCutsAfterTheFourthDecimal) {
  const struct {
    double g;
    std::int32_t k;
  } cases[] = {{9.8, 98000}, {9.7, 97000}, {9.9, 99000}, {9.80001, 98000}, {9.8015, 98015}, {9.78929, 97892}};
  for (const auto& c : cases) {
    ParamBlock b{};
    GravityToBytes(b, 8, c.g);
    EXPECT_EQ(GravityRaw(b, 8), c.k) << c.g;
    EXPECT_EQ(b[11] | b[12] | b[13] | b[7], 0);
  }
  ParamBlock b{};
  GravityToBytes(b, 11, 9.8);
  EXPECT_EQ(b[11], 0x01);
  EXPECT_EQ(b[12], 0x7E);
  EXPECT_EQ(b[13], 0xD0);
}

TEST(ParseDecimal, PointOnlyWholeText) {
  const struct {
    const char* text;
    std::optional<double> value;
  } cases[] = {{"9.8", 9.8},     {" 9.8 ", 9.8},       {"9", 9.0},           {".5", 0.5},
               {"5.", 5.0},      {"-1.5", -1.5},       {"+2", 2.0},          {"1e2", 100.0},
               {"", std::nullopt}, {".", std::nullopt}, {"abc", std::nullopt}, {"9,8", std::nullopt},
               {"9.8.1", std::nullopt}, {"1e", std::nullopt}, {"--1", std::nullopt}, {"9.8x", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace facset
