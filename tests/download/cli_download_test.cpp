// facset-cli download end to end against scale-sim, over UDP and its
// pseudo-terminal. Each test runs a copy of the program in a folder of its own
// (its language file and facconfig.ini live beside it).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/text_encoding.h"
#include "sim_process.h"
#include "support/run_process.h"

namespace facset {
namespace {

using testing::SimProcess;
namespace fs = std::filesystem;

using CliRun = testing::ProcessResult;
std::string ReadAll(const std::string& path) { return testing::ReadFileBytes(path); }
void WriteAll(const std::string& path, const std::string& s) { testing::WriteFileBytes(path, s); }

class CliDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    cli = dir.file("facset-cli");
    fs::copy_file(FACSET_CLI_PATH, cli);
    file = dir.file("params.ini");
  }

  CliRun Cli(std::vector<std::string> args, int udpPort = 0) {
    args.insert(args.begin(), "download");
    const std::string port = "FACSET_SCALE_UDP_PORT";
    return testing::RunProcess(cli, args, {udpPort ? port + "=" + std::to_string(udpPort) : port});
  }

  // A parameter file: link settings, firmware settings, a few bytes.
  void WriteParams(const std::string& lang, bool useCom, int comIndex, bool downProg, const std::string& bin) {
    std::string s = "[port]\r\nip=127.0.0.1\r\ncom=" + std::to_string(comIndex) + "\r\nuse com=" + (useCom ? "1" : "0") +
                    "\r\n[factory]\r\nIsDownkDownProg=" + (downProg ? "1" : "0") + "\r\nbinFilePath=" + bin +
                    "\r\nbyte[0  ]=7\r\nbyte[1  ]=1\r\nbyte[20 ]=0x5A\r\nbyte[255]=255\r\n";
    if (!lang.empty()) s += "[Set]\r\nlngstr=" + lang + "\r\nIsEnabled=1\r\n";
    WriteAll(file, s);
  }
  std::string Image(std::size_t size) {
    std::string b(size, '\0');
    std::mt19937 gen(static_cast<unsigned>(size));
    for (auto& c : b) c = static_cast<char>(gen());
    const std::string path = dir.file("image.hex");
    WriteAll(path, b);
    return path;
  }
  static std::string ExpectedBlock() {
    std::string b(256, '\0');
    b[0] = static_cast<char>(0xA6);
    b[1] = 1;
    b[20] = 0x5A;
    b[255] = static_cast<char>(0xFF);
    return b;
  }

  testing::TempDir dir;
  std::string cli, file;
};

struct FileStamp {
  explicit FileStamp(const std::string& path) : bytes(ReadAll(path)) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    mtime = st.st_mtim;
  }
  bool operator==(const FileStamp& o) const {
    return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
  std::string bytes;
  timespec mtime{};
};

TEST_F(CliDownload, DownloadsOverEachTransportAndNeverTouchesTheFile) {
  SimProcess sim({}, true);
  WriteAll(dir.file("facconfig.ini"), "[serial]\r\nCOM2=" + sim.ptyPath() + "\r\n");
  struct Case {
    std::vector<std::string> args;
    std::string connectLine;
  };
  const Case cases[] = {
      {{}, " connect ...127.0.0.1"},                         // the file's settings: UDP
      {{"--ip", "127.0.0.1"}, " connect ...127.0.0.1"},
      {{"--com", "COM2"}, " connect ...COM2"},                // a list name, mapped in facconfig.ini
      {{"--com", sim.ptyPath()}, " connect ..." + sim.ptyPath()},  // a device path, as given
  };
  WriteParams("_en", false, 0, false, "");
  const FileStamp before(file);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connectLine);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), file);
    fs::remove(sim.paramFile());
    const CliRun r = Cli(args, sim.udpPort());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.connectLine + "\n connect ok \n set ok ! \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadAll(sim.paramFile()), ExpectedBlock());
  }
  EXPECT_TRUE(FileStamp(file) == before);
  EXPECT_TRUE(fs::exists(dir.file("kelvaset_en.lng")));  // completed beside the program
}

TEST_F(CliDownload, FirmwareFromTheFileInItsLanguage) {
  SimProcess sim;
  const std::string image = Image(8193);
  WriteParams("", false, 0, true, image);  // no language named: Chinese
  const FileStamp before(file);
  const CliRun r = Cli({file}, sim.udpPort());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head = " connect ...127.0.0.1\n connect ok \n set ok ! \n";
  ASSERT_EQ(r.out.rfind(head, 0), 0u) << r.out;
  // UTF-8 text of the Chinese catalog; the progress as the log ends with it.
  const std::string start = GbkToUtf8(Utf8ToGbk("开始更新程序"));
  EXPECT_NE(r.out.find(start + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(1/33)\n"), std::string::npos);
  EXPECT_NE(r.out.find("(33/33)\n"), std::string::npos);
  EXPECT_EQ(r.out.find("(2/33)"), std::string::npos);
  EXPECT_NE(r.out.find("\n\n\n"), std::string::npos);  // the two empty lines before the time
  EXPECT_NE(r.out.find("***************************\n***************************\n"), std::string::npos);
  const std::string fw = ReadAll(sim.firmwareFile());
  ASSERT_EQ(fw.size(), 33u * 256);
  EXPECT_EQ(fw[8192], ReadAll(image)[8192]);
  EXPECT_EQ(fw.substr(33 * 256 - 2), std::string(2, '\0'));

  const CliRun gbk = Cli({file, "--gbk", "--no-firmware", "--com", "NONE"}, sim.udpPort());
  EXPECT_EQ(gbk.status, 1);
  EXPECT_EQ(gbk.out, "");
  EXPECT_NE(gbk.err.find(Utf8ToGbk("未设置串口")), std::string::npos) << gbk.err;
  EXPECT_TRUE(FileStamp(file) == before);
}

TEST_F(CliDownload, FailuresExitOneWithTheReason) {
  SimProcess sim({"--stop-ack-from-block", "40", "--refuse", "80/0:1"});
  const std::string image = Image(20000);
  struct Case {
    std::vector<std::string> args;
    std::string lastLine, reason;
  };
  const Case cases[] = {
      {{"--no-firmware"}, " set fail ", "did not acknowledge the parameter block"},
      {{"--firmware", image}, "Communication error", "firmware block"},
      {{"--firmware", dir.file("missing.hex")}, " set ok ! ", "firmware file not found: " + dir.file("missing.hex")},
      // mapped to a path that is not there: the cause reaches stderr
      {{"--com", "COM9"}, " connect err ", "no connection to the scale at COM9 (Error opening serial port"},
  };
  WriteAll(dir.file("facconfig.ini"), "[serial]\r\nCOM9=" + dir.file("no-tty") + "\r\n");
  WriteParams("_en", false, 0, false, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), file);
    const CliRun r = Cli(args, sim.udpPort());
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.out.empty());
    const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
    EXPECT_EQ(last, c.lastLine + "\n") << r.out;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
}

TEST_F(CliDownload, SilentScale) {
  SimProcess sim({"--silent"});
  WriteParams("_en", false, 0, false, "");
  const CliRun r = Cli({file}, sim.udpPort());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, " connect ...127.0.0.1\n connect err \n");
  EXPECT_NE(r.err.find("no connection to the scale at 127.0.0.1"), std::string::npos) << r.err;
}

TEST_F(CliDownload, BadUsageExitsTwo) {
  WriteParams("_en", false, 0, false, "");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {file, file},
      {file, "--ip", "127.0.0.1", "--ip", "localhost"},  // two targets: every one must be an address
      {file, "--firmware", "x.hex", "--no-firmware"},
      {file, "--ip"},
      {file, "--com", "ttyUSB0"},
      {file, "--baud", "9600"},
  };
  const FileStamp before(file);
  for (const auto& args : cases) {
    const CliRun r = Cli(args);
    EXPECT_EQ(r.status, 2) << (args.size() > 1 ? args[1] : "");
    EXPECT_NE(r.err.find("usage: facset-cli download"), std::string::npos) << r.err;
  }
  const CliRun missing = Cli({dir.file("nope.ini")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(fs::exists(dir.file("nope.ini")));
  const CliRun help = Cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("FACSET_SCALE_UDP_PORT"), std::string::npos);
  EXPECT_TRUE(FileStamp(file) == before);
}

}  // namespace
}  // namespace facset
