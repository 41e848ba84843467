// facset-cli download end to end against scale-sim, over UDP and its
// pseudo-terminal. Each test runs a copy of the program in a folder of its own
// (its language file and facconfig.ini live beside it). What the scale
// received is read from scale-sim's log and stored files.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <pty.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "platform/text_encoding.h"
#include "support/sim_process.h"
#include "support/run_process.h"

extern char** environ;

namespace facset {
namespace {

using testing::SimProcess;
namespace fs = std::filesystem;

using CliRun = testing::ProcessResult;
std::string ReadAll(const std::string& path) { return testing::ReadFileBytes(path); }
void WriteAll(const std::string& path, const std::string& s) { testing::WriteFileBytes(path, s); }

std::string Sha256(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

// facset-cli started in the background with stdout and stderr in files, for
// the runs a test watches or interrupts while they go on.
class Background {
 public:
  Background(const std::string& program, const std::vector<std::string>& args, const std::string& env,
             const std::string& outPath)
      : out_(outPath), pid_(testing::SpawnCaptured(program, args, {env}, outPath, outPath + ".err")) {}
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  // Sends `sig` and returns the exit code (128 + signal when killed by it).
  int Signal(int sig) {
    kill(pid_, sig);
    int ws = 0;
    waitpid(pid_, &ws, 0);
    pid_ = -1;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  std::string Out() const { return ReadAll(out_); }
  std::string Err() const { return ReadAll(out_ + ".err"); }

 private:
  std::string out_;
  pid_t pid_ = -1;
};

template <class Pred>
bool WaitFor(Pred pred, int timeoutMs = 15000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

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
  std::unique_ptr<Background> Start(std::vector<std::string> args, int udpPort) {
    args.insert(args.begin(), "download");
    return std::make_unique<Background>(cli, args, "FACSET_SCALE_UDP_PORT=" + std::to_string(udpPort),
                                        dir.file("bg.out"));
  }

  // A parameter file: link settings, firmware settings, a few bytes.
  void WriteParams(const std::string& lang, bool useCom, int comIndex, bool downProg, const std::string& bin) {
    std::string s = "[port]\r\nip=127.0.0.1\r\ncom=" + std::to_string(comIndex) + "\r\nuse com=" + (useCom ? "1" : "0") +
                    "\r\n[factory]\r\nIsDownkDownProg=" + (downProg ? "1" : "0") + "\r\nbinFilePath=" + bin +
                    "\r\nbyte[0  ]=7\r\nbyte[1  ]=1\r\nbyte[20 ]=0x5A\r\nbyte[255]=255\r\n";
    if (!lang.empty()) s += "[Set]\r\nlngstr=" + lang + "\r\nIsEnabled=1\r\n";
    WriteAll(file, s);
  }
  std::string Image(std::size_t size, const std::string& name = "image.hex") {
    std::string b(size, '\0');
    std::mt19937 gen(static_cast<unsigned>(size));
    for (auto& c : b) c = static_cast<char>(gen());
    const std::string path = dir.file(name);
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

TEST_F(CliDownload, FirmwareFromTheFileInItsLanguageWithProgressEveryTenth) {
  SimProcess sim;
  const std::string image = Image(8193);
  WriteParams("", false, 0, true, image);  // no language named: Chinese
  const FileStamp before(file);
  const CliRun r = Cli({file}, sim.udpPort());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head = " connect ...127.0.0.1\n connect ok \n set ok ! \n";
  ASSERT_EQ(r.out.rfind(head, 0), 0u) << r.out;
  // UTF-8 text of the Chinese catalog.
  const std::string start = GbkToUtf8(Utf8ToGbk("开始更新程序"));
  EXPECT_NE(r.out.find(start + "\n"), std::string::npos) << r.out;
  // Off a terminal: the first two progress lines as the log writes them, then
  // one line each time another tenth of the 33 blocks is done.
  std::vector<int> shown;
  const std::regex progress(R"(\((\d+)/33\)\n)");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), progress); it != std::sregex_iterator(); ++it) {
    shown.push_back(std::stoi((*it)[1]));
  }
  EXPECT_EQ(shown, (std::vector<int>{1, 2, 4, 7, 10, 14, 17, 20, 24, 27, 30, 33})) << r.out;
  EXPECT_NE(r.out.find("\n\n\n"), std::string::npos);  // the two empty lines before the time
  EXPECT_NE(r.out.find("***************************\n***************************\n"), std::string::npos);
  const std::string fw = ReadAll(sim.firmwareFile());
  ASSERT_EQ(fw.size(), 33u * 256);
  EXPECT_EQ(fw[8192], ReadAll(image)[8192]);
  EXPECT_TRUE(FileStamp(file) == before);
}

// Each failure has its own exit code, the reason on stderr, and the log ends
// where the scale stopped.
TEST_F(CliDownload, EachFailureHasItsExitCode) {
  const std::string image = Image(20000);
  struct Case {
    std::vector<std::string> simArgs;
    std::vector<std::string> args;
    int status;
    std::string lastLine, reason;
  };
  const Case cases[] = {
      {{"--silent"}, {"--no-firmware", "--retries", "1", "--timeout", "100"}, 3, " connect err ",
       "no connection to the scale at 127.0.0.1"},
      {{"--refuse", "80/0:1"}, {"--no-firmware"}, 4, " set fail ", "did not acknowledge the parameter block"},
      {{"--stop-ack-from-block", "40"}, {"--firmware", image, "--retries", "0", "--timeout", "100"}, 5,
       "Communication error", "firmware block"},
      {{"--refuse", "14/16"}, {"--firmware", image, "--retries", "0", "--timeout", "100"}, 5, "", "upgrade mode"},
  };
  WriteParams("_en", false, 0, false, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    SimProcess sim(c.simArgs);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), file);
    const CliRun r = Cli(args, sim.udpPort());
    EXPECT_EQ(r.status, c.status) << r.err;
    ASSERT_FALSE(r.out.empty());
    if (!c.lastLine.empty()) {
      const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
      EXPECT_EQ(last, c.lastLine + "\n") << r.out;
    }
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
}

TEST_F(CliDownload, RetriesAndTimeoutReachTheEngine) {
  SimProcess sim({"--silent"});
  WriteParams("_en", false, 0, false, "");
  const auto began = std::chrono::steady_clock::now();
  const CliRun r = Cli({file, "--retries", "2", "--timeout", "150"}, sim.udpPort());
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(r.status, 3);
  // One log-on and two repeats reached the scale, nothing after them.
  const auto log = sim.WaitLog(3);
  EXPECT_EQ(log.size(), 3u);
  for (const auto& e : log) EXPECT_EQ(e.cmd, 14) << e.raw;
  // The default would wait 6 x 800 ms; generous bound for a loaded machine.
  EXPECT_LT(took, std::chrono::milliseconds(4000));
}

// Anything wrong with the inputs is refused before the link opens: exit 6,
// the reason on stderr, and the scale has received nothing.
TEST_F(CliDownload, RefusedInputSendsNothing) {
  SimProcess sim;
  const std::string image = Image(9000);
  WriteAll(dir.file("empty.ini"), "");
  WriteAll(dir.file("other.ini"), "[port]\r\nip=127.0.0.1\r\n[factory]\r\nbinFilePath=x\r\n");
  WriteAll(dir.file("empty.hex"), "");
  WriteAll(dir.file("facconfig.ini"), "[serial]\r\nCOM9=" + dir.file("no-tty") + "\r\n");
  fs::create_directory(dir.file("folder.hex"));
  WriteAll(dir.file("binary.ini"), std::string("[factory]\r\nbyte[1  ]=1\r\n\0\x01\x02", 27));
  WriteParams("_en", false, 0, false, "");
  struct Case {
    std::vector<std::string> args;
    std::string reason;
    std::string env = {};
  };
  const Case cases[] = {
      {{dir.file("empty.ini")}, "not a parameter file: " + dir.file("empty.ini")},
      {{image}, "not a parameter file: " + image},  // an image given by mistake
      {{dir.file("binary.ini")}, "not a parameter file"},
      {{dir.file("other.ini")}, "not a parameter file"},  // no byte keys
      {{dir.file("missing.ini")}, dir.file("missing.ini")},
      {{file, "--firmware", dir.file("missing.hex")}, dir.file("missing.hex")},
      {{file, "--firmware", dir.file("folder.hex")}, "is a directory"},
      {{file, "--firmware", dir.file("empty.hex")}, "empty"},
      {{file, "--com", "COM9"}, "serial port COM9: " + dir.file("no-tty")},
      {{file, "--com", "NONE", "--gbk"}, Utf8ToGbk("未设置串口")},
      {{file}, "FACSET_SCALE_UDP_PORT", "FACSET_SCALE_UDP_PORT=50x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "download");
    const CliRun r = testing::RunProcess(
        cli, args, {c.env.empty() ? "FACSET_SCALE_UDP_PORT=" + std::to_string(sim.udpPort()) : c.env});
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
  EXPECT_TRUE(sim.WaitLog(1, 300).empty());
  EXPECT_FALSE(fs::exists(sim.paramFile()));
  EXPECT_FALSE(fs::exists(dir.file("missing.ini")));
}

// A pipe or a file gets each line when it is complete: a run killed after the
// block went out has already logged it.
TEST_F(CliDownload, LinesReachAFileBeforeTheRunEnds) {
  SimProcess sim({"--stop-ack-from-block", "32", "--stop-ack-mode", "silent"});
  WriteParams("_en", false, 0, false, "");
  auto run = Start({file, "--firmware", Image(9000)}, sim.udpPort());
  ASSERT_TRUE(WaitFor([&] { return run->Out().find(" set ok ! \n") != std::string::npos; })) << run->Out();
  EXPECT_TRUE(run->Running());
  EXPECT_EQ(run->Signal(SIGKILL), 128 + SIGKILL);
  EXPECT_EQ(ReadAll(sim.paramFile()), ExpectedBlock());
}

TEST_F(CliDownload, InterruptExitsWith130AndWarnsDuringAnUpgrade) {
  struct Case {
    std::vector<std::string> simArgs;
    bool firmware;
    std::string waitFor;  // log text that shows the run got there ("": the scale got a request)
    bool warned;
  };
  const Case cases[] = {
      {{"--silent"}, false, "", false},
      {{"--stop-ack-from-block", "33", "--stop-ack-mode", "silent"}, true, "Start updating", true},
  };
  WriteParams("_en", false, 0, false, "");
  const std::string image = Image(9000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waitFor);
    SimProcess sim(c.simArgs);
    std::vector<std::string> args = {file};
    if (c.firmware) args.insert(args.end(), {"--firmware", image});
    auto run = Start(args, sim.udpPort());
    ASSERT_TRUE(WaitFor([&] {
      return c.waitFor.empty() ? !sim.Log().empty() : run->Out().find(c.waitFor) != std::string::npos;
    })) << run->Out();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(run->Signal(SIGTERM), 130);
    EXPECT_NE(run->Err().find("interrupted"), std::string::npos) << run->Err();
    EXPECT_EQ(run->Err().find("middle of a firmware upgrade") != std::string::npos, c.warned) << run->Err();
  }
}

// The log never shows a raw catalog key: when the language file cannot be
// read or completed, the built-in texts of that language serve.
TEST_F(CliDownload, BuiltInTextsWhenTheLanguageFileIsUnusable) {
  SimProcess sim;
  const std::string image = Image(300);
  struct Case {
    std::string lang;
    std::string startText;
  };
  const Case cases[] = {{"_en", "Start updating the program"}, {"_cn", GbkToUtf8(Utf8ToGbk("开始更新程序"))}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    fs::create_directory(dir.file("kelvaset" + c.lang + ".lng"));  // neither readable nor writable
    WriteParams(c.lang, false, 0, true, image);
    const CliRun r = Cli({file}, sim.udpPort());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.startText + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("sStartUpdating"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("sUpdate"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(2/2)"), std::string::npos) << r.out;
  }
}

// On a terminal the progress line is rewritten in place and tells blocks,
// percent, rate and time left; the finished log still reads line by line.
TEST_F(CliDownload, TerminalShowsProgressInPlace) {
  SimProcess sim({"--delay", "20"});
  const std::string image = Image(8192 + 20 * 256);  // 20 blocks on the line
  WriteParams("_en", false, 0, true, image);
  int master = -1;
  const std::string port = "FACSET_SCALE_UDP_PORT=" + std::to_string(sim.udpPort());
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::putenv(const_cast<char*>(port.c_str()));
    ::execl(cli.c_str(), cli.c_str(), "download", file.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has ended
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(master);
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << out;
  EXPECT_NE(out.find("\r\x1b[Kupdate("), std::string::npos) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(update\(\d+/52\)  blocks \d+/20  \d+%  [0-9.]+ KiB/s  \d+:\d\d left)")))
      << out;
  // The last progress text stands alone before the next line.
  EXPECT_NE(out.find("\r\x1b[Kupdate(52/52)\r\n"), std::string::npos) << out;
  EXPECT_EQ(ReadAll(sim.firmwareFile()).size(), 52u * 256);
}

TEST_F(CliDownload, JsonIsOneDocumentWithTheOutcome) {
  const std::string image = Image(8192 + 600);  // 35 blocks: 3 go on the line
  WriteParams("_en", false, 0, false, "");
  struct Case {
    std::vector<std::string> simArgs;
    std::vector<std::string> args;
    int exitCode;
    std::string connect, block, firmware;
  };
  const Case cases[] = {
      {{}, {"--firmware", image}, 0, "ok", "acknowledged", "completed"},
      {{}, {}, 0, "ok", "acknowledged", "not_asked"},
            // The upgrade follows a refused block, as in the window.
      {{"--refuse", "80/0:1"}, {"--firmware", image}, 4, "ok", "not_acknowledged", "completed"},
      {{}, {"--firmware", dir.file("missing.hex")}, 6, "skipped", "skipped", "skipped"},
  };
  // Refused before FILE's link was even read: still one document.
  {
    const CliRun r = testing::RunProcess(cli, {"download", dir.file("missing.ini"), "--json"},
                                         {"FACSET_SCALE_UDP_PORT=5x"});
    EXPECT_EQ(r.status, 6);
    const QJsonObject j = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    EXPECT_EQ(j["exit_code"].toInt(), 6) << r.out;
    EXPECT_FALSE(j["ok"].toBool(true));
    EXPECT_TRUE(j["target"].isNull());
    EXPECT_NE(j["error"].toString().toStdString().find("FACSET_SCALE_UDP_PORT"), std::string::npos);
    EXPECT_NE(r.err.find("FACSET_SCALE_UDP_PORT"), std::string::npos);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exitCode);
    SimProcess sim(c.simArgs);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), {file, "--json"});
    const CliRun r = Cli(args, sim.udpPort());
    EXPECT_EQ(r.status, c.exitCode) << r.err;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &err);
    ASSERT_EQ(err.error, QJsonParseError::NoError) << r.out;
    const QJsonObject j = doc.object();
    EXPECT_EQ(j["ok"].toBool(), c.exitCode == 0);
    EXPECT_EQ(j["exit_code"].toInt(), c.exitCode);
    EXPECT_EQ(j["target"].toString().toStdString(), "127.0.0.1");
    EXPECT_EQ(j["transport"].toString().toStdString(), "udp");
    EXPECT_TRUE(std::regex_match(j["started"].toString().toStdString(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_GE(j["seconds"].toDouble(-1), 0.0);
    const QJsonObject steps = j["steps"].toObject();
    EXPECT_EQ(steps["connect"].toObject()["outcome"].toString().toStdString(), c.connect);
    EXPECT_EQ(steps["block"].toObject()["outcome"].toString().toStdString(), c.block);
    EXPECT_EQ(steps["firmware"].toObject()["outcome"].toString().toStdString(), c.firmware);
    std::vector<std::string> lines;
    for (const auto& l : j["lines"].toArray()) lines.push_back(l.toString().toStdString());
    if (c.connect == "ok") {
      // The digest is that of what the scale stored.
      EXPECT_EQ(j["block_sha256"].toString().toStdString(), Sha256(ExpectedBlock()));
      if (c.block == "acknowledged") {
        EXPECT_EQ(ReadAll(sim.paramFile()), ExpectedBlock());
      }
      ASSERT_GE(lines.size(), 3u);
      EXPECT_EQ(lines[1], " connect ok ");
    } else {
      EXPECT_TRUE(j["block_sha256"].isNull());
      EXPECT_TRUE(lines.empty());
      EXPECT_TRUE(sim.WaitLog(1, 300).empty());
    }
    if (c.firmware == "not_asked") {
      EXPECT_TRUE(j["firmware"].isNull());
    } else {
      const QJsonObject fw = j["firmware"].toObject();
      EXPECT_EQ(fw["path"].toString().toStdString(), args[3]);
      if (c.exitCode != 6) {
        EXPECT_EQ(fw["size"].toInt(), 8192 + 600);
        EXPECT_EQ(fw["sha256"].toString().toStdString(), Sha256(ReadAll(image)));
        EXPECT_EQ(fw["blocks_total"].toInt(), 3);
        EXPECT_EQ(fw["blocks_sent"].toInt(), c.firmware == "completed" ? 3 : 0);
      }
    }
    if (c.firmware == "completed") {
      EXPECT_EQ(ReadAll(sim.firmwareFile()).size(), 35u * 256);
      EXPECT_EQ(lines.back(), "***************************");
      EXPECT_NE(std::find(lines.begin(), lines.end(), "update(35/35)"), lines.end());
    }
  }
}

// The serial log-on carries the speed index and the rest of the run goes at
// that speed.
TEST_F(CliDownload, SpeedIsAskedInTheLogOnAndUsedAfterIt) {
  SimProcess sim({}, true);
  WriteParams("_en", false, 0, false, "");
  const struct {
    std::string bps;
    int index;
  } cases[] = {{"115200", 4}, {"9600", 0}, {"38400", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bps);
    const std::size_t before = sim.Log().size();
    const CliRun r = Cli({file, "--com", sim.ptyPath(), "--speed", c.bps}, sim.udpPort());
    EXPECT_EQ(r.status, 0) << r.err;
    const auto log = sim.WaitLog(before + 3);
    ASSERT_GT(log.size(), before);
    const auto logOn = std::find_if(log.begin() + static_cast<long>(before), log.end(),
                                    [](const auto& e) { return e.cmd == 14 && e.answer == "ack"; });
    ASSERT_NE(logOn, log.end());
    EXPECT_NE(logOn->raw.find("speed index " + std::to_string(c.index)), std::string::npos) << logOn->raw;
    const auto block = std::find_if(logOn, log.end(), [](const auto& e) { return e.cmd == 80; });
    ASSERT_NE(block, log.end());
    EXPECT_EQ(block->speed, std::stoi(c.bps));
    EXPECT_EQ(block->answer, "ack");
  }
  EXPECT_EQ(ReadAll(sim.paramFile()), ExpectedBlock());
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
      {file, "--speed", "4800"},
      {file, "--speed", "115200x"},
      {file, "--retries", "11"},
      {file, "--retries", "-1"},
      {file, "--timeout", "0"},
      {file, "--timeout", "abc"},
  };
  const FileStamp before(file);
  for (const auto& args : cases) {
    const CliRun r = Cli(args);
    EXPECT_EQ(r.status, 2) << (args.size() > 1 ? args[1] : "");
    EXPECT_NE(r.err.find("usage: facset-cli download"), std::string::npos) << r.err;
  }
  const CliRun help = Cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("FACSET_SCALE_UDP_PORT"), std::string::npos);
  for (const char* code : {"  3 ", "  4 ", "  5 ", "  6 ", "  130 "}) EXPECT_NE(help.out.find(code), std::string::npos);
  EXPECT_TRUE(FileStamp(file) == before);
}

}  // namespace
}  // namespace facset
