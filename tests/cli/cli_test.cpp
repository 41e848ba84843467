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
