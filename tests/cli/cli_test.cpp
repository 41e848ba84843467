#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::FileExists;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;
using CliRun = testing::ProcessResult;

// Runs the built facset-cli with `args`.
CliRun Cli(const std::vector<std::string>& args) { return testing::RunProcess(FACSET_CLI_PATH, args); }

std::string ZeroRow(int r) {
  std::string s = "0";
  s += "0123456789ABCDEF"[r];
  s += ":";
  for (int i = 0; i < 16; ++i) s += " 00";
  return s + "\n";
}

TEST(CliShow, PrintsTheSetValueView) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  WriteFileBytes(file, "[factory]\r\nbyte[0  ]=5\r\nbyte[1  ]=1\r\nbyte[20 ]=300\r\nbyte[255]=0xff\r\n");
  const std::string before = ReadFileBytes(file);
  CliRun r = Cli({"show", file});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string expected =
      "    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
      "00: A6 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "01: 00 00 00 00 2C 00 00 00 00 00 00 00 00 00 00 00\n";
  for (int row = 2; row < 15; ++row) expected += ZeroRow(row);
  expected += "0F: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFileBytes(file), before);

  CliRun demo = Cli({"show", std::string(FACSET_DEMO_DIR) + "/facconfig.ini"});
  EXPECT_EQ(demo.status, 0);
  EXPECT_NE(demo.out.find("\n00: A6 00 01 00 01 00 01 62 01 7E DF 01 7E 90 03 00\n"), std::string::npos);
}

TEST(CliShow, RefusesWhatItCannotRead) {
  TempDir dir;
  for (const std::string& bad : {dir / "missing.ini", dir.path()}) {
    CliRun r = Cli({"show", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  }
  EXPECT_FALSE(FileExists(dir / "missing.ini"));
}

TEST(CliGet, PrintsTheRawValue) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  WriteFileBytes(file,
                 "[factory]\r\nbyte[14 ]t = \xB1\xEA\xB5\xD8 \r\nempty=\r\nquoted=\" a \"\r\n[port]\r\nuse com=1\r\n");
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"factory", "byte[14 ]t"}, "\xB1\xEA\xB5\xD8\n"},
      {{"FACTORY", "BYTE[14 ]T"}, "\xB1\xEA\xB5\xD8\n"},
      {{"factory", "empty", "dflt"}, "\n"},
      {{"factory", "quoted"}, " a \n"},
      {{"factory", "missing", "dflt"}, "dflt\n"},
      {{"factory", "missing"}, "\n"},
      {{"nosection", "x", "-1"}, "-1\n"},
      {{"port", "use com"}, "1\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"get", file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliRun r = Cli(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[1];
  }
  EXPECT_EQ(Cli({"get", dir / "missing.ini", "a", "b", "c"}).status, 1);
}

TEST(CliSet, WritesWithTheIniSemantics) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  EXPECT_EQ(Cli({"set", file, "a", "k", "v"}).status, 0);
  EXPECT_EQ(ReadFileBytes(file), "[a]\r\nk=v\r\n");

  WriteFileBytes(file, "; head\n[factory]\nbyte[20 ]=1\nother = 2\n");
  CliRun r = Cli({"set", file, "FACTORY", "byte[20 ]", "-1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(file), "; head\n[factory]\nbyte[20 ]=-1\nother = 2\n");

  EXPECT_EQ(Cli({"set", file, "factory", "note", "--", "--dash"}).status, 0);
  EXPECT_EQ(Cli({"set", file, "factory", "byte[14 ]t", "\xB1\xEA"}).status, 0);
  EXPECT_EQ(Cli({"get", file, "factory", "note"}).out, "--dash\n");
  EXPECT_EQ(Cli({"get", file, "factory", "byte[14 ]t"}).out, "\xB1\xEA\n");
}

TEST(CliSet, RefusesWhatWouldDamageTheFile) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  const std::string original = "[a]\r\nk=v\r\n";
  WriteFileBytes(file, original);
  const std::vector<std::vector<std::string>> bad = {
      {"a", "k=x", "v"}, {"a", "[b]", "v"}, {"a", "", "v"}, {"", "k", "v"}, {"a", "k", "two\nlines"}, {"a\r", "k", "v"}};
  for (const auto& b : bad) {
    CliRun r = Cli({"set", file, b[0], b[1], b[2]});
    EXPECT_EQ(r.status, 1) << b[0] << "|" << b[1] << "|" << b[2];
    EXPECT_NE(r.err, "");
  }
  EXPECT_EQ(ReadFileBytes(file), original);

  const std::string nowhere = dir / "no-such-dir/p.ini";
  CliRun r = Cli({"set", nowhere, "a", "k", "v"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Unable to write to " + nowhere), std::string::npos) << r.err;
}

TEST(CliUsage, ExitCodesAndHelp) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* outHas;  // expected in stdout ("" = stdout empty)
  } cases[] = {
      {{}, 2, ""},
      {{"frobnicate"}, 2, ""},
      {{"--help"}, 0, "show FILE"},
      {{"show"}, 2, ""},
      {{"show", "a", "b"}, 2, ""},
      {{"show", "--bogus", "a"}, 2, ""},
      {{"show", "--help"}, 0, "usage: facset-cli show FILE"},
      {{"get", "f", "s"}, 2, ""},
      {{"get", "f", "s", "k", "d", "x"}, 2, ""},
      {{"get", "-h"}, 0, "usage: facset-cli get FILE SECTION KEY [DEFAULT]"},
      {{"set", "f", "s", "k"}, 2, ""},
      {{"set", "f", "s", "k", "--value"}, 2, ""},
      {{"set", "--help"}, 0, "usage: facset-cli set FILE SECTION KEY VALUE"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    CliRun r = Cli(c.args);
    EXPECT_EQ(r.status, c.status) << joined;
    if (*c.outHas) {
      EXPECT_NE(r.out.find(c.outHas), std::string::npos) << joined << r.out;
    } else {
      EXPECT_EQ(r.out, "") << joined;
      EXPECT_NE(r.err, "") << joined;
    }
  }
}

}  // namespace
}  // namespace facset

namespace facset {
namespace {

// A file whose definitions give one parameter of each kind, and one numeric
// parameter too wide to be written.
constexpr const char* kParamFile =
    "[factory]\r\n"
    "byte[14 ]=3\r\nbyte[14 ]t=Mode\r\nbyte[14 ]n=1\r\nbyte[14 ]0=Off\r\nbyte[14 ]1=On\r\n"
    "byte[30 ]=3\r\nbyte[31 ]=232\r\nbyte[30 ]t=Max\\rload\r\nbyte[30 ]n=2\r\nbyte[30 ]x=kg\r\n"
    "byte[40 ]=65\r\nbyte[41 ]=66\r\nbyte[40 ]t=Shop\r\nbyte[40 ]n=4\r\nbyte[40 ]k=1\r\n"
    "byte[50 ]=1\r\nbyte[50 ]t=Mode\r\nbyte[50 ]n=1\r\nbyte[50 ]1=Only\r\n"
    "byte[60 ]t=Wide\r\nbyte[60 ]n=5\r\nbyte[60 ]x=n\r\nbyte[64 ]=1\r\n";

TEST(CliParam, ListsTheGeneratedParametersAsTheWindowShowsThem) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  WriteFileBytes(file, kParamFile);
  const CliRun r = Cli({"param", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Mode\tbyte[14]\t1\tchoice\tOn\n"
            "Max load\tbyte[30]\t2\tnumeric\t1000\n"
            "Shop\tbyte[40]\t4\ttext\tAB\n"
            "Mode\tbyte[50]\t1\tchoice\t\n"  // its one entry has index 0: nothing chosen
            "Wide\tbyte[60]\t5\tnumeric\t1\n");
}

TEST(CliParam, SetsOneParameterUnderTheWindowRules) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  const struct {
    std::vector<std::string> args;  // NAME VALUE
    std::string byteKey;            // a key that must hold `value` afterwards
    std::string value;
  } good[] = {
      {{"byte[14]", "Off"}, "byte[14 ]", "0"},
      {{"byte[50]", "Only"}, "byte[50 ]", "0"},  // the single entry is index 0
      {{"MAX LOAD", "65535"}, "byte[31 ]", "255"},
      {{"byte[ 30 ]", "0007000"}, "byte[31 ]", "88"},
      {{"Shop", "XY"}, "byte[41 ]", "89"},
      {{"shop", "WXYZ"}, "byte[43 ]", "90"},
  };
  for (const auto& g : good) {
    SCOPED_TRACE(g.args[0] + "=" + g.args[1]);
    WriteFileBytes(file, kParamFile);
    const CliRun r = Cli({"param", file, g.args[0], g.args[1]});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Cli({"get", file, "factory", g.byteKey}).out, g.value + "\n");
    EXPECT_EQ(Cli({"param", file, g.args[0]}).out.empty(), false);
  }
  // Shorter text: the rest of the width is cleared.
  WriteFileBytes(file, kParamFile);
  EXPECT_EQ(Cli({"param", file, "Shop", "Z"}).status, 0);
  EXPECT_EQ(Cli({"param", file, "Shop"}).out, "Z\n");
  EXPECT_EQ(Cli({"get", file, "factory", "byte[41 ]"}).out, "0\n");
}

TEST(CliParam, RefusesWhatTheWindowWouldRefuseAndLeavesTheFile) {
  TempDir dir;
  const std::string file = dir / "p.ini";
  WriteFileBytes(file, kParamFile);
  const struct {
    std::vector<std::string> args;
    std::string reason;
  } bad[] = {
      {{"Max load", "65536"}, "maximum 65535"},
      {{"Max load", "-1"}, "digits only"},
      {{"Max load", "1e3"}, "digits only"},
      {{"Max load", ""}, "digits only"},
      {{"Shop", "ABCDE"}, "longer than 4"},
      {{"Shop", "\xC3\xA9"}, "below 128"},
      {{"byte[14]", "Maybe"}, "0 \"Off\", 1 \"On\""},
      {{"byte[14]", "2"}, "not one of the choices"},
      {{"byte[50]", "1"}, "not one of the choices"},  // a single entry has index 0 only
      {{"Mode", "On"}, "more than one parameter"},
      {{"Nothing", "1"}, "no parameter called"},
      {{"byte[31]", "1"}, "not the first byte"},
      {{"byte[256]", "1"}, "no parameter called"},
      {{"Wide", "1"}, "shown only"},
  };
  const std::string before = ReadFileBytes(file);
  for (const auto& b : bad) {
    SCOPED_TRACE(b.args[0] + "=" + b.args[1]);
    const CliRun r = Cli({"param", file, b.args[0], b.args[1]});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(b.reason), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFileBytes(file), before);
  EXPECT_EQ(Cli({"param", dir / "missing.ini"}).status, 1);
  WriteFileBytes(dir / "bin.ini", std::string("\0\1\2", 3));
  EXPECT_NE(Cli({"param", dir / "bin.ini"}).err.find("not a parameter file"), std::string::npos);
}

TEST(CliPorts, RunsAndListsDevicesOnly) {
  const CliRun r = Cli({"ports"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::size_t start = 0;
  while (start < r.out.size()) {
    const std::size_t end = r.out.find('\n', start);
    const std::string line = r.out.substr(start, end - start);
    EXPECT_TRUE(line.rfind("/dev/tty", 0) == 0) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 3) << line;
    start = end + 1;
  }
}

TEST(CliHelp, EveryHelpFitsEightyColumnsAndNamesEveryOption) {
  const struct {
    std::string command;
    std::vector<std::string> mentions;
  } cases[] = {
      {"", {"show", "get", "set", "download", "param", "ports"}},
      {"show", {}},
      {"get", {}},
      {"set", {}},
      {"download",
       {"--ip", "--com", "--firmware", "--no-firmware", "--speed", "--retries", "--timeout", "--json", "--gbk"}},
      {"param", {}},
      {"ports", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::vector<std::string> args;
    if (!c.command.empty()) args.push_back(c.command);
    args.push_back("--help");
    const CliRun r = Cli(args);
    EXPECT_EQ(r.status, 0);
    std::size_t start = 0;
    while (start < r.out.size()) {
      const std::size_t end = r.out.find('\n', start);
      EXPECT_LE(end - start, 80u) << r.out.substr(start, end - start);
      start = end + 1;
    }
    for (const std::string& m : c.mentions) EXPECT_NE(r.out.find(m), std::string::npos) << m;
  }
}

}  // namespace
}  // namespace facset
