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
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "cli/cli_run.h"
#include "cli/sim_gang.h"
#include "platform/text_encoding.h"
#include "records/records.h"
#include "support/sim_process.h"
#include "support/run_process.h"
#include "support/scripted_transport.h"

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
  Background(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::string& outPath)
      : out_(outPath), pid_(testing::SpawnCaptured(program, args, env, outPath, outPath + ".err")) {}
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  pid_t pid() const { return pid_; }
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

using testing::WaitFor;

class CliDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    cli = dir.file("facset-cli");
    fs::copy_file(FACSET_CLI_PATH, cli);
    file = dir.file("params.ini");
  }

  CliRun Cli(std::vector<std::string> args, int udpPort = 0, std::vector<std::string> env = {}) {
    args.insert(args.begin(), "download");
    const std::string port = "FACSET_SCALE_UDP_PORT";
    env.push_back(udpPort ? port + "=" + std::to_string(udpPort) : port);
    return testing::RunProcess(cli, args, env);
  }
  std::unique_ptr<Background> Start(std::vector<std::string> args, int udpPort, std::vector<std::string> env = {}) {
    args.insert(args.begin(), "download");
    env.push_back("FACSET_SCALE_UDP_PORT=" + std::to_string(udpPort));
    return std::make_unique<Background>(cli, args, env, dir.file("bg.out"));
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
      {{}, {"--firmware", image}, 0, "ok", "ok", "completed"},
      {{}, {}, 0, "ok", "ok", "not_asked"},
      // The upgrade follows a refused block, as in the window.
      {{"--refuse", "80/0:1"}, {"--firmware", image}, 4, "ok", "failed", "completed"},
      {{}, {"--firmware", dir.file("missing.hex")}, 6, "not_run", "not_run", "not_run"},
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
    EXPECT_EQ(j["outcome"].toString().toStdString(), c.exitCode == 0 ? "ok" : "failed");
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
      if (c.block == "ok") {
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

// A scale that hears on one address and answers from another (127.0.0.3):
// every request acknowledged, 14/3 answered with a data packet.
class AnswersFromElsewhere {
 public:
  AnswersFromElsewhere() {
    in_ = Bound("127.0.0.1");
    out_ = Bound("127.0.0.3");
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(in_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~AnswersFromElsewhere() {
    stop_ = true;
    thread_.join();
    ::close(in_);
    ::close(out_);
  }
  int port() const { return port_; }

 private:
  static int Bound(const char* address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return fd;
  }
  void Serve() {
    while (!stop_) {
      pollfd p{in_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::uint8_t req[2048];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(in_, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 3) continue;
      const std::vector<std::uint8_t> answer =
          req[0] == pbus::kCmdSession && req[1] == pbus::kArgRead
              ? testing::DataPacket(pbus::kCmdSession, pbus::kArgRead)
              : std::vector<std::uint8_t>{pbus::kVerdictAck};
      ::sendto(out_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  int in_ = -1, out_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Answers count only from the scale's address and port: one from elsewhere is
// ignored, and the log says how many were; --any-sender takes them.
TEST_F(CliDownload, AnswersFromAnotherAddressCountOnlyWhenAsked) {
  AnswersFromElsewhere scale;
  WriteParams("_en", false, 0, false, "");
  const CliRun strict = Cli({file, "--retries", "1", "--timeout", "100"}, scale.port());
  EXPECT_EQ(strict.status, 3) << strict.err;
  EXPECT_NE(strict.out.find(" connect err \n"), std::string::npos) << strict.out;
  EXPECT_NE(strict.out.find("ignored: 2 x a datagram from 127.0.0.3:"), std::string::npos) << strict.out;

  const CliRun any = Cli({file, "--any-sender", "--retries", "1", "--timeout", "100"}, scale.port());
  EXPECT_EQ(any.status, 0) << any.err;
  EXPECT_EQ(any.out.rfind(" connect ...127.0.0.1\n connect ok \n set ok ! \n", 0), 0u) << any.out;
}

// One scale, one process: a second run to a target another process holds
// waits its bounded time, then is refused (exit 6) naming the holder, before
// anything is sent or recorded. A list name and the device path of one serial
// device (here a link to the pseudo-terminal, and the terminal itself) are one
// target.
TEST_F(CliDownload, ASecondRunToTheSameTargetIsRefusedNamingTheHolder) {
  WriteParams("_en", false, 0, false, "");
  for (const bool serial : {false, true}) {
    SCOPED_TRACE(serial ? "serial" : "udp");
    SimProcess sim({"--silent"}, serial);
    const std::string link = dir.file("scale-link");
    if (serial) {
      fs::remove(link);
      fs::create_symlink(sim.ptyPath(), link);
      WriteAll(dir.file("facconfig.ini"), "[serial]\r\nCOM2=" + link + "\r\n");
    }
    const std::vector<std::string> slow = {"--timeout", "5000", "--retries", "0"};
    std::vector<std::string> first = {file}, second = {file};
    if (serial) {
      first.insert(first.end(), {"--com", "COM2"});
      second.insert(second.end(), {"--com", sim.ptyPath()});
    }
    first.insert(first.end(), slow.begin(), slow.end());
    auto holder = Start(first, sim.udpPort());
    ASSERT_TRUE(WaitFor([&] { return !sim.Log().empty(); })) << holder->Err();  // its log-on is out

    const std::string home = dir.file(serial ? "home-serial" : "home-udp");
    const auto began = std::chrono::steady_clock::now();
    const CliRun refused = Cli(second, sim.udpPort(), {"FACSET_HOME=" + home});
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2500));  // it waited first
    EXPECT_EQ(refused.status, 6) << refused.err;
    EXPECT_EQ(refused.out, "");  // not even " connect ...": the link was never opened
    EXPECT_NE(refused.err.find("in use by pid " + std::to_string(holder->pid()) + " (facset-cli"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("nothing was sent"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(home + "/" + std::string(kRecordsFileName)));
    EXPECT_TRUE(holder->Running());
    EXPECT_EQ(holder->Signal(SIGTERM), 130);
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
  for (const char* code : {"  3 ", "  4 ", "  5 ", "  6 ", "  7 ", "  130 "}) {
    EXPECT_NE(help.out.find(code), std::string::npos);
  }
  // The serial log-on's transmissions do not follow --retries, and --help says so.
  EXPECT_NE(help.out.find("log-on always makes its ten transmissions"), std::string::npos) << help.out;
  EXPECT_TRUE(FileStamp(file) == before);
}

// The station database: every run that reached the link leaves one record in
// the tool's folder (FACSET_HOME here), read back through the library.
class CliRecords : public CliDownload {
 protected:
  // A folder of its own per run, so that each holds exactly that run's record.
  std::string Home(const std::string& name) { return dir.file("home-" + name); }
  static std::string HomeEnv(const std::string& home) { return "FACSET_HOME=" + home; }
  static std::vector<DownloadRecord> Records(const std::string& home) {
    const ReadResult r = ReadRecords(home);
    EXPECT_FALSE(r.error) << r.error->reason;
    return r.records;
  }
  static std::vector<std::string> Lines(const std::string& out) {
    std::vector<std::string> lines;
    std::size_t b = 0;
    while (b < out.size()) {
      const std::size_t e = out.find('\n', b);
      lines.push_back(out.substr(b, e - b));
      b = e == std::string::npos ? out.size() : e + 1;
    }
    return lines;
  }
  // The log as it ends: on a pipe every tenth of the upgrade is printed as a
  // line of its own, the record keeps the progress line as it was last rewritten.
  static void ExpectLogAsPrinted(const std::vector<std::string>& kept, const std::string& out) {
    const auto progress = [](const std::string& line) { return line.rfind("update(", 0) == 0; };
    std::vector<std::string> printed = Lines(out), settled;
    for (std::size_t i = 0; i < printed.size(); ++i) {
      if (!progress(printed[i]) || i == 0 || !progress(printed[i - 1]) || i + 1 == printed.size() ||
          !progress(printed[i + 1])) {
        settled.push_back(printed[i]);
      }
    }
    EXPECT_EQ(kept, settled) << out;
  }
  static std::string BlockBytes(const DownloadRecord& r) {
    return r.block ? std::string(r.block->begin(), r.block->end()) : std::string();
  }
  // What every record holds whatever the outcome.
  void ExpectCommonFields(const DownloadRecord& r, int status, const std::string& target,
                          const std::string& transport = "udp") {
    EXPECT_EQ(r.program, "facset-cli");
    EXPECT_FALSE(r.version.empty());
    EXPECT_FALSE(r.station.empty());
    EXPECT_FALSE(r.operatorName.empty());
    EXPECT_EQ(r.transport, transport);
    EXPECT_EQ(r.target, target);
    EXPECT_EQ(r.paramFile, file);
    EXPECT_EQ(r.exitCode, status);
    EXPECT_EQ(BlockBytes(r), ExpectedBlock());
    EXPECT_EQ(r.blockSha256, Sha256(ExpectedBlock()));
    EXPECT_TRUE(std::regex_match(r.startUtc, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"))) << r.startUtc;
    EXPECT_LE(r.startUtc, r.endUtc);
  }
};

// Success and each kind of failure: the record tells the truth about every
// step, names the bytes the scale received, and keeps the log as printed.
TEST_F(CliRecords, EveryOutcomeIsRecorded) {
  const std::string image = Image(20000);  // 79 blocks, 47 of them sent
  const std::vector<std::string> fastFail = {"--retries", "0", "--timeout", "100"};
  struct Case {
    std::string name;
    std::vector<std::string> simArgs, args;
    int status;
    std::string outcome, connect, block, firmware;
    std::optional<std::int64_t> blocksSent;
  };
  const Case cases[] = {
      {"done", {}, {"--firmware", image}, 0, "ok", "ok", "ok", "completed", 47},
      {"unreachable", {"--silent"}, {"--firmware", image, "--retries", "1", "--timeout", "100"}, 3, "failed", "failed",
       "not_run", "not_run", 0},
      {"block-refused", {"--refuse", "80/0:1"}, {"--no-firmware"}, 4, "failed", "ok", "failed", "not_asked", {}},
      // Blocks 32..39 acknowledged, 40 not.
      {"block-failed", {"--stop-ack-from-block", "40"}, {"--firmware", image}, 5, "failed", "ok", "ok", "block_failed", 8},
      {"entry-failed", {"--refuse", "14/16"}, {"--firmware", image}, 5, "failed", "ok", "ok", "entry_failed", 0},
  };
  WriteParams("_en", false, 0, false, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim(c.simArgs);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), file);
    if (c.name != "unreachable") args.insert(args.end(), fastFail.begin(), fastFail.end());
    const CliRun run = Cli(args, sim.udpPort(), {HomeEnv(Home(c.name))});
    ASSERT_EQ(run.status, c.status) << run.err;

    const auto records = Records(Home(c.name));
    ASSERT_EQ(records.size(), 1u);
    const DownloadRecord& r = records[0];
    ExpectCommonFields(r, c.status, "127.0.0.1");
    EXPECT_EQ(Spell(r.outcome), c.outcome);
    EXPECT_EQ(Spell(r.connectOutcome), c.connect);
    EXPECT_EQ(Spell(r.blockOutcome), c.block);
    EXPECT_EQ(Spell(r.firmwareOutcome), c.firmware);
    EXPECT_EQ(r.blocksSent, c.blocksSent);
    // The record's reason is the one stderr gave.
    if (c.status != 0) {
      EXPECT_FALSE(r.error.empty());
      EXPECT_NE(run.err.find(r.error), std::string::npos) << run.err;
    }
    ExpectLogAsPrinted(r.log, run.out);
    if (c.block == "ok") {
      EXPECT_EQ(ReadAll(sim.paramFile()), BlockBytes(r));  // what the scale received
    }
    if (c.firmware == "not_asked") {
      EXPECT_EQ(r.firmwarePath, "");
      EXPECT_EQ(r.blocksToSend, std::nullopt);
    } else {
      EXPECT_EQ(r.firmwarePath, image);
      EXPECT_EQ(r.firmwareSize, 20000);
      EXPECT_EQ(r.firmwareSha256, Sha256(ReadAll(image)));
      EXPECT_EQ(r.blocksToSend, 47);
    }
    if (c.firmware == "completed") {
      EXPECT_EQ(ReadAll(sim.firmwareFile()).substr(32 * 256, 20000 - 32 * 256), ReadAll(image).substr(32 * 256));
    }
  }
}

// A firmware file is read, hashed and recorded by its name's bytes, UTF-8 or
// not (a GBK name from an archive), and the scale gets it.
TEST_F(CliRecords, FirmwareNamedInAnyBytesIsSentAndRecorded) {
  SimProcess sim;
  WriteParams("_en", false, 0, false, "");
  const std::string names[] = {"\xE5\x9B\xBA\xE4\xBB\xB6.hex", "\xB9\xCC\xBC\xFE.hex"};  // 固件 in UTF-8, in GBK
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string image = Image(20000, name);
    const std::string home = Home(std::to_string(name.size()));
    const CliRun run = Cli({file, "--firmware", image, "--json"}, sim.udpPort(), {HomeEnv(home)});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto records = Records(home);
    ASSERT_EQ(records.size(), 1u);
    const DownloadRecord& r = records[0];
    EXPECT_EQ(r.firmwarePath, image);
    EXPECT_EQ(r.firmwareSize, 20000);
    EXPECT_EQ(r.firmwareSha256, Sha256(ReadAll(image)));
    EXPECT_EQ(r.blocksToSend, 47);
    EXPECT_EQ(r.blocksSent, 47);
    EXPECT_EQ(ReadAll(sim.firmwareFile()).substr(32 * 256, 20000 - 32 * 256), ReadAll(image).substr(32 * 256));
    const QJsonObject fw = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object()["firmware"].toObject();
    EXPECT_EQ(fw["sha256"].toString().toStdString(), Sha256(ReadAll(image)));
    EXPECT_EQ(fw["blocks_sent"].toInt(), 47);
  }
}

// An image replaced while its blocks stream: the scale gets the image as it
// was when the run read it, and the record names those bytes.
TEST_F(CliRecords, AnImageReplacedDuringTheRunIsRecordedAsSent) {
  SimProcess sim({"--delay", "3"});
  WriteParams("_en", false, 0, false, "");
  const std::string image = Image(64 * 1024);  // 224 blocks on the line
  const std::string sent = ReadAll(image);
  const std::string home = Home("replaced");
  auto run = Start({file, "--firmware", image}, sim.udpPort(), {HomeEnv(home)});
  ASSERT_TRUE(WaitFor([&] { return run->Out().find("Start updating") != std::string::npos; })) << run->Out();
  WriteAll(image + ".new", std::string(3000, 'x'));
  fs::rename(image + ".new", image);
  ASSERT_TRUE(WaitFor([&] { return !run->Running(); }, 60000));
  const auto records = Records(home);
  ASSERT_EQ(records.size(), 1u);
  const DownloadRecord& r = records[0];
  EXPECT_EQ(r.outcome, RunOutcome::Ok) << run->Out();
  EXPECT_EQ(r.firmwareSize, 64 * 1024);
  EXPECT_EQ(r.firmwareSha256, Sha256(sent));
  EXPECT_EQ(r.blocksSent, 224);
  std::string expected = sent;
  std::fill_n(expected.begin(), 8192, '\0');
  expected[expected.size() - 2] = expected[expected.size() - 1] = '\0';  // the verification word
  EXPECT_EQ(ReadAll(sim.firmwareFile()), expected);
}

// The faults that once gave a false verdict, end to end: facset-cli against
// scale-sim. The exit code, the record and the log's last line say what
// happened, and an "ok" stands only for what the scale stored.
TEST_F(CliRecords, FaultsThatOnceGaveAFalseVerdict) {
  const std::string image = Image(8192 + 4 * 256);  // 4 blocks on the line
  struct Case {
    std::string name;
    std::vector<std::string> simArgs;
    bool serial;
    bool firmware;
    int status;
    std::string connect, block, firmwareStep;
    std::string lastLineHas;  // "" = the usual last line
    std::string reasonHas;
  };
  const Case cases[] = {
      {"another sender", {"--foreign-ack", "5", "--foreign-host", "127.0.0.2", "--refuse", "80/0"}, false, false, 4,
       "ok", "failed", "not_asked", "ignored: ", "did not acknowledge the parameter block"},
      {"junk datagrams", {"--junk", "2", "--junk", "260", "--junk", "1500", "--refuse", "80/0"}, false, false, 4, "ok",
       "failed", "not_asked", "a datagram of 260 bytes", "did not acknowledge the parameter block"},
      {"copies of every verdict", {"--verdict-twice", "12"}, false, false, 0, "ok", "ok", "not_asked", "", ""},
      {"a refusal, then an ack", {"--refuse", "80/0", "--ack-after-refusal", "5"}, true, false, 4, "ok", "failed",
       "not_asked", "", "did not acknowledge the parameter block"},
      {"a hang-up after the block", {"--hangup-after", "2"}, true, true, 5, "ok", "ok", "entry_failed",
       "the serial line went away", "serial line went away"},
      {"a frame one byte at a time", {"--byte-gap", "5"}, true, true, 0, "ok", "ok", "completed", "", ""},
  };
  WriteParams("_en", false, 0, false, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim(c.simArgs, c.serial);
    std::vector<std::string> args = {file, "--retries", "1", "--timeout", "300"};
    if (c.serial) args.insert(args.end(), {"--com", sim.ptyPath()});
    if (c.firmware) args.insert(args.end(), {"--firmware", image});
    const std::string home = Home(std::to_string(&c - cases));
    const auto began = std::chrono::steady_clock::now();
    const CliRun run = Cli(args, sim.udpPort(), {HomeEnv(home)});
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));  // nothing waits for a drain
    const auto records = Records(home);
    ASSERT_EQ(records.size(), 1u);
    const DownloadRecord& r = records[0];
    EXPECT_EQ(Spell(r.connectOutcome), c.connect);
    EXPECT_EQ(Spell(r.blockOutcome), c.block);
    EXPECT_EQ(Spell(r.firmwareOutcome), c.firmwareStep);
    EXPECT_EQ(r.exitCode, c.status);
    EXPECT_NE(r.error.find(c.reasonHas), std::string::npos) << r.error;
    ASSERT_FALSE(r.log.empty());
    if (!c.lastLineHas.empty()) {
      EXPECT_NE(r.log.back().find(c.lastLineHas), std::string::npos) << r.log.back();
    }
    // What the record calls done is what the scale holds; a refused block never reached it.
    if (c.block == "ok") {
      EXPECT_EQ(ReadAll(sim.paramFile()), ExpectedBlock());
    } else {
      EXPECT_FALSE(fs::exists(sim.paramFile()));
    }
    if (c.firmwareStep == "completed") {
      EXPECT_EQ(ReadAll(sim.firmwareFile()).substr(32 * 256, 4 * 256 - 2), ReadAll(image).substr(32 * 256, 4 * 256 - 2));
    }
  }
}

// Over a serial line the target names the list name and the device it stands
// for, or the device alone when it was named as one.
TEST_F(CliRecords, SerialTargetNamesTheListNameAndTheDevice) {
  SimProcess sim({}, true);
  const std::string home = Home("serial");
  ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
  WriteAll(home + "/facconfig.ini", "[serial]\r\nCOM2=" + sim.ptyPath() + "\r\n");
  WriteParams("_en", false, 0, false, "");
  const std::pair<std::string, std::string> cases[] = {{"COM2", "COM2 " + sim.ptyPath()},
                                                       {sim.ptyPath(), sim.ptyPath()}};
  for (const auto& [com, target] : cases) {
    SCOPED_TRACE(com);
    fs::remove(sim.paramFile());
    const CliRun run = Cli({file, "--com", com}, sim.udpPort(), {HomeEnv(home)});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto records = Records(home);
    ASSERT_FALSE(records.empty());
    ExpectCommonFields(records[0], 0, target, "serial");
    EXPECT_EQ(records[0].outcome, RunOutcome::Ok);
    EXPECT_EQ(ReadAll(sim.paramFile()), BlockBytes(records[0]));
  }
}

// A signal ends the run as aborted, in the middle of an upgrade or before the
// scale answered, and the record is still written before the exit.
TEST_F(CliRecords, InterruptedRunIsRecordedAsAborted) {
  struct Case {
    std::string name;
    std::vector<std::string> simArgs;
    bool withImage;
    int sig;
    std::string connect, block, firmware;
  };
  const Case cases[] = {
      {"mid-upgrade", {"--stop-ack-from-block", "34", "--stop-ack-mode", "silent"}, true, SIGINT, "ok", "ok",
       "aborted"},
      {"before-answer", {"--silent"}, false, SIGTERM, "aborted", "not_run", "not_asked"},
  };
  WriteParams("_en", false, 0, false, "");
  const std::string image = Image(9000);  // 36 blocks, 4 of them sent
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim(c.simArgs);
    // Waits long enough that the signal, not the engine, ends the run however loaded the machine.
    std::vector<std::string> args = {file, "--timeout", "5000"};
    if (c.withImage) args.insert(args.end(), {"--firmware", image});
    auto run = Start(args, sim.udpPort(), {HomeEnv(Home(c.name))});
    // Until the scale has the request it never answers: block 34, or the log-on.
    ASSERT_TRUE(WaitFor([&] {
      for (const auto& e : sim.Log()) {
        if (c.withImage ? e.cmd == 15 && e.arg == 34 : true) return true;
      }
      return false;
    })) << run->Out();
    EXPECT_EQ(run->Signal(c.sig), 130);

    const auto records = Records(Home(c.name));
    ASSERT_EQ(records.size(), 1u);
    const DownloadRecord& r = records[0];
    ExpectCommonFields(r, 130, "127.0.0.1");
    EXPECT_EQ(r.outcome, RunOutcome::Aborted);
    EXPECT_EQ(Spell(r.connectOutcome), c.connect);
    EXPECT_EQ(Spell(r.blockOutcome), c.block);
    EXPECT_EQ(Spell(r.firmwareOutcome), c.firmware);
    ExpectLogAsPrinted(r.log, run->Out());
    if (c.withImage) {
      // Blocks 32 and 33 were acknowledged before the scale fell silent.
      EXPECT_EQ(r.blocksSent, 2);
      EXPECT_EQ(r.blocksToSend, 4);
      EXPECT_EQ(ReadAll(sim.paramFile()), BlockBytes(r));
    }
  }
}

// Two scales at once through the several-targets runner: two processes end
// and append together, and each record holds its own target's run, --json
// or not.
TEST_F(CliRecords, ConcurrentDownloadsEachKeepTheirRecord) {
  testing::SimGang gang(2);
  WriteParams("_en", false, 0, false, "");
  const std::string home = Home("gang");
  const std::string image = Image(20000);
  const CliRun run = Cli({file, "--ip", gang.Address(0), "--ip", gang.Address(1), "--firmware", image, "--json"},
                         gang.port(), {HomeEnv(home)});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const QJsonArray doc = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).array();
  ASSERT_EQ(doc.size(), 2) << run.out;

  const auto records = Records(home);
  ASSERT_EQ(records.size(), 2u);
  std::set<std::string> targets;
  for (const DownloadRecord& r : records) {
    SCOPED_TRACE(r.target);
    const std::size_t i = r.target == gang.Address(0) ? 0 : 1;
    ExpectCommonFields(r, 0, gang.Address(i));
    targets.insert(r.target);
    EXPECT_EQ(r.outcome, RunOutcome::Ok);
    EXPECT_EQ(r.blocksSent, 47);
    EXPECT_EQ(ReadAll(gang[i].paramFile()), BlockBytes(r));
    // The child's own log, unprefixed, naming only its own scale.
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log[0], " connect ..." + gang.Address(i));
    for (const auto& line : r.log) EXPECT_EQ(line.find(gang.Address(1 - i)), std::string::npos) << line;
  }
  EXPECT_EQ(targets, (std::set<std::string>{gang.Address(0), gang.Address(1)}));
}

// A database folder that cannot be written (as an ordinary user, since root
// writes anywhere) never fails the download: the log says why, the exit code
// is the download's, --json stays one document, the old records are unharmed.
TEST_F(CliRecords, UnwritableDatabaseNeverFailsTheDownload) {
  const std::string home = Home("ro");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  DownloadRecord earlier;
  earlier.startUtc = earlier.endUtc = "2026-12-09T10:00:00.000Z";
  earlier.target = "127.0.0.9";
  ASSERT_TRUE(AppendRecord(home, earlier));
  const std::string db = home + "/" + std::string(kRecordsFileName);
  for (const std::string& f : {db, db + "-wal", db + "-shm"}) ::chmod(f.c_str(), 0644);
  // The folder is the user's own (the tool refuses anyone else's), only not writable.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
  }
  ::chmod(home.c_str(), 0555);
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(file.c_str(), 0644);
  const std::string dbBefore = ReadAll(db);
  WriteParams("_en", false, 0, false, "");

  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "log");
    SimProcess sim;
    std::vector<std::string> args = {"download", file, "--no-firmware"};
    if (json) args.push_back("--json");
    std::string program = cli;
    if (::geteuid() == 0) {
      args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", cli});
      program = "/usr/bin/setpriv";
    }
    const CliRun run = testing::RunProcess(
        program, args, {HomeEnv(home), "FACSET_SCALE_UDP_PORT=" + std::to_string(sim.udpPort())});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(sim.paramFile()), ExpectedBlock());
    std::string last;
    if (json) {
      const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
      EXPECT_TRUE(doc["ok"].toBool()) << run.out;
      EXPECT_EQ(doc["exit_code"].toInt(), 0);
      last = doc["lines"].toArray().last().toString().toStdString();
    } else {
      last = Lines(run.out).back();
    }
    EXPECT_EQ(last.rfind("record not kept: ", 0), 0u) << run.out;
    EXPECT_GT(last.size(), std::string("record not kept: ").size());
  }
  ::chmod(home.c_str(), 0755);
  EXPECT_EQ(ReadAll(db), dbBefore);
  EXPECT_EQ(Records(home).size(), 1u);
}

}  // namespace
}  // namespace facset
