// The download procedure and the firmware upgrade end to end against
// scale-sim, over UDP and over its pseudo-terminal, with a scripted host in
// place of the window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "download/download.h"
#include "download/firmware.h"
#include "download/serial_names.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "protocol/scale_link.h"
#include "serial/serial_comm.h"
#include "support/sim_process.h"
#include "support/scripted_transport.h"
#include "support/temp_files.h"
#include "protocol/pbus_commands.h"

namespace facset {
namespace {

using testing::LogEntry;
using testing::SimProcess;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

Bytes RandomImage(std::size_t size, unsigned seed) {
  Bytes b(size);
  std::mt19937 gen(seed);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

void WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// The window as the procedure sees it: the log as lstMsg would hold it.
class ScriptHost : public DownloadHost {
 public:
  std::vector<std::string> lines;
  std::vector<std::string> events;  // "ask", "notset", in order with the lines
  bool useCom = false;
  int comIndex = 0;
  std::string comText;
  const IniFile* config = nullptr;
  std::string ip = "127.0.0.1";
  ParamBlock block{};
  bool downProg = false;
  std::string firmware;
  std::function<void()> onAppend;

  void AskSaveSettings() override { events.push_back("ask"); }
  void ReportSerialNotSet() override { events.push_back("notset"); }
  void AppendLine(std::string_view s) override {
    lines.emplace_back(s);
    events.push_back("line");
    if (onAppend) onAppend();
  }
  void ReplaceLastLine(std::string_view s) override {
    if (lines.empty()) return AppendLine(s);
    lines.back() = s;
  }
  void ProcessEvents() override { QCoreApplication::processEvents(); }
  bool UseCom() const override { return useCom; }
  int ComIndex() const override { return comIndex; }
  std::string ComText() const override { return comText; }
  std::string ComDevice(const std::string& name) const override { return ResolveSerialDevice(name, config); }
  std::string DeviceIp() const override { return ip; }
  ParamBlock& Block() override { return block; }
  bool DownProg() const override { return downProg; }
  std::string FirmwarePath() const override { return firmware; }
};

using Lines = std::vector<std::string>;

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    OverrideFilesDir(dir.path());
    CreateScaleComm();
    // The English catalog, completed into a language file of this folder.
    CurrentLanguage() = Language("_en", std::make_unique<IniFile>(dir.file("kelvaset_en.lng")));
    FillLangCatalog(*CurrentLanguage().File(), false);
    std::ofstream(dir.file("facconfig.ini")) << "[serial]\r\nCOM16=" << dir.file("no-such-tty") << "\r\n";
    config = std::make_unique<IniFile>(dir.file("facconfig.ini"));
    host.config = config.get();
    for (int i = 0; i < 256; ++i) host.block[i] = static_cast<std::uint8_t>(255 - i);
    host.block[0] = 0x11;  // must go out as 0xA6 anyway
  }
  void TearDown() override {
    DestroyScaleComm();
    LangShutdown();
    OverrideLinkUdpPort(0);
    OverrideFilesDir("");
  }

  // Points the host at `sim` over UDP, or over its pty mapped as COM1.
  void Use(SimProcess& sim, bool serial) {
    OverrideLinkUdpPort(sim.udpPort());
    host.useCom = serial;
    if (serial) {
      std::ofstream(dir.file("facconfig.ini")) << "[serial]\r\nCOM1=" << sim.ptyPath() << "\r\n";
      host.comIndex = 1;
      host.comText = "COM1";
    }
  }
  std::string Firmware(const Bytes& image) {
    const std::string path = dir.file("image.hex");
    WriteFile(path, image);
    host.downProg = true;
    host.firmware = path;
    return path;
  }
  static std::vector<std::pair<int, int>> Requests(const std::vector<LogEntry>& log) {
    std::vector<std::pair<int, int>> r;
    for (const LogEntry& e : log) r.emplace_back(e.cmd, e.arg);
    return r;
  }
  Bytes Expected() const {
    Bytes b(host.block.begin(), host.block.end());
    b[0] = 0xA6;
    return b;
  }

  testing::TempDir dir;
  std::unique_ptr<IniFile> config;
  ScriptHost host;
};

// Lines of a completed upgrade after " set ok ! " / " set fail ".
Lines UpgradeLines(const std::string& progress1, const std::string& progressLast) {
  Lines l = {"Start updating the program"};
  if (!progress1.empty()) l.push_back(progress1);
  if (!progressLast.empty()) l.push_back(progressLast);
  l.push_back("Disconnect");
  l.push_back("Update completed");
  l.push_back("");  // the time line, checked apart
  l.push_back("Program Version: V0000 Program Verification Word:0000");
  l.push_back("***************************");
  l.push_back("***************************");
  return l;
}

void ExpectUpgradeReport(Lines got, Lines expected) {
  ASSERT_EQ(got.size(), expected.size());
  const std::size_t timeLine = expected.size() - 4;
  EXPECT_EQ(got[timeLine].rfind("\r\n\r\nLast Update Time:", 0), 0u) << got[timeLine];
  EXPECT_EQ(got[timeLine].size(), std::string("\r\n\r\nLast Update Time:2025-12-10 01:09:00").size());
  got[timeLine].clear();
  EXPECT_EQ(got, expected);
}

class DownloadTransport : public Download, public ::testing::WithParamInterface<bool> {};

TEST_P(DownloadTransport, ThreeLinesAndTheBlockOnTheScale) {
  const bool serial = GetParam();
  SimProcess sim({}, serial);
  Use(sim, serial);
  const DownloadResult r = RunDownload(host);
  EXPECT_TRUE(r.connected && r.blockAcked && !r.firmwareAsked);
  EXPECT_EQ(host.lines, (Lines{serial ? " connect ...COM1" : " connect ...127.0.0.1", " connect ok ", " set ok ! "}));
  EXPECT_EQ(host.events.front(), "ask");
  EXPECT_EQ(ReadFile(sim.paramFile()), Expected());
  EXPECT_EQ(host.block[0], 0xA6);
  // Log-on, block, reading request, log-off: the link was closed.
  EXPECT_EQ(Requests(sim.WaitLog(4)), (std::vector<std::pair<int, int>>{{14, 1}, {80, 0}, {14, 3}, {14, 2}}));
  if (serial) {
    EXPECT_FALSE(ScaleComm->isActive());
  }
}

TEST_P(DownloadTransport, FirmwareOverTheSameLink) {
  const bool serial = GetParam();
  SimProcess sim({}, serial);
  Use(sim, serial);
  const Bytes image = RandomImage(10240, 7);
  Firmware(image);
  const DownloadResult r = RunDownload(host);
  EXPECT_EQ(r.firmware, FirmwareResult::Completed);
  ASSERT_GE(host.lines.size(), 3u);
  ExpectUpgradeReport(Lines(host.lines.begin() + 3, host.lines.end()), UpgradeLines("update(1/40)", "update(40/40)"));
  Bytes out = ReadFile(sim.firmwareFile());
  ASSERT_EQ(out.size(), 40u * 256);
  Bytes expected = image;
  std::fill_n(expected.begin(), 8192, 0);
  expected[39 * 256 + 254] = expected[39 * 256 + 255] = 0;  // the verification word
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(UdpAndSerial, DownloadTransport, ::testing::Values(false, true),
                         [](const auto& tc) { return tc.param ? "Serial" : "Udp"; });

TEST_F(Download, NoPortChosenShowsTheBoxOnly) {
  SimProcess sim({}, true);
  Use(sim, true);
  struct Case {
    int index;
    std::string text;
  };
  for (const Case& c : {Case{0, "NONE"}, Case{3, "   "}}) {
    host.events.clear();
    host.comIndex = c.index;
    host.comText = c.text;
    const DownloadResult r = RunDownload(host);
    EXPECT_TRUE(r.portNotSet);
    EXPECT_EQ(host.events, (std::vector<std::string>{"ask", "notset"}));
  }
  EXPECT_TRUE(host.lines.empty());
  EXPECT_TRUE(sim.WaitLog(1, 1000).empty());
}

TEST_F(Download, MissingPortAndSilentScaleGiveConnectErr) {
  host.useCom = true;
  host.comIndex = 6;
  host.comText = "COM16";  // mapped to a path that does not exist
  EXPECT_FALSE(RunDownload(host).connected);
  EXPECT_EQ(host.lines, (Lines{" connect ...COM16", " connect err "}));

  SimProcess sim({"--silent"});
  host.lines.clear();
  Use(sim, false);
  Firmware(RandomImage(9000, 1));
  const DownloadResult r = RunDownload(host);
  EXPECT_FALSE(r.connected);
  EXPECT_FALSE(r.firmwareAsked);
  EXPECT_EQ(host.lines, (Lines{" connect ...127.0.0.1", " connect err "}));
  // Only the log-on and its repeats: no block, no close.
  const auto log = sim.WaitLog(7);
  EXPECT_EQ(log.size(), 7u);
  for (const LogEntry& e : log) EXPECT_EQ(std::make_pair(e.cmd, e.arg), std::make_pair(14, 1));
}

TEST_F(Download, RefusedBlockStillRunsTheFirmwareAndCloses) {
  SimProcess sim({"--refuse", "80/0"});
  Use(sim, false);
  Firmware(RandomImage(8192, 2));
  const DownloadResult r = RunDownload(host);
  EXPECT_FALSE(r.blockAcked);
  EXPECT_EQ(r.firmware, FirmwareResult::Completed);
  ASSERT_GE(host.lines.size(), 3u);
  EXPECT_EQ(host.lines[2], " set fail ");
  ExpectUpgradeReport(Lines(host.lines.begin() + 3, host.lines.end()), UpgradeLines("update(1/32)", "update(32/32)"));
  const auto req = Requests(sim.WaitLog(7));
  EXPECT_EQ(req.size(), 7u);  // log-on, block, entry, start, finish, reading request, log-off
  // No block of an 8 KiB image is sent; the link closes after the finish.
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(15, 32)), 0);
  ASSERT_GE(req.size(), 3u);
  EXPECT_EQ(req[req.size() - 3], std::make_pair(15, 1));
  EXPECT_EQ(req[req.size() - 2], std::make_pair(14, 3));
  EXPECT_EQ(req.back(), std::make_pair(14, 2));
}

TEST_F(Download, FirmwareSizes) {
  SimProcess sim;
  Use(sim, false);
  struct Case {
    std::size_t size;
    const char* first;
    const char* last;
  };
  const Case cases[] = {
      {0, "", ""},
      {8192, "update(1/32)", "update(32/32)"},
      {8193, "update(1/33)", "update(33/33)"},
      {3 * 1024 * 1024 + 100, "update(1/12289)", "update(12289/12289)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    host.lines.clear();
    const Bytes image = RandomImage(c.size, static_cast<unsigned>(c.size));
    Firmware(image);
    const DownloadResult r = RunDownload(host);
    ASSERT_EQ(r.firmware, FirmwareResult::Completed);
    ExpectUpgradeReport(Lines(host.lines.begin() + 3, host.lines.end()), UpgradeLines(c.first, c.last));
    const Bytes out = ReadFile(sim.firmwareFile());
    const std::size_t n = (c.size + 255) / 256;
    if (n <= 32) {
      EXPECT_TRUE(out.empty()) << out.size();
      continue;
    }
    ASSERT_EQ(out.size(), n * 256);
    const std::size_t word = (n - 1) * 256 + 254;
    // Past the end of the image a short last block still holds the tail of
    // the block read before it.
    for (std::size_t i = 8192; i < out.size(); ++i) {
      const std::uint8_t want = (i == word || i == word + 1) ? 0 : (i < c.size ? image[i] : image[i - 256]);
      if (out[i] != want) {
        ADD_FAILURE() << "byte " << i;
        break;
      }
    }
    // 8193: the one block sent carries the image's last byte first.
    if (c.size == 8193) {
      EXPECT_EQ(out[8192], image[8192]);
    }
  }
}

TEST_F(Download, UpgradeFailurePaths) {
  struct Case {
    std::vector<std::string> simArgs;
    std::size_t imageSize;
    FirmwareResult result;
    Lines tail;  // the last lines of the log
    std::vector<std::pair<int, int>> mustHave, mustNotHave;
  };
  const Case cases[] = {
      {{"--stop-ack-from-block", "100"}, 40000, FirmwareResult::BlockFailed,
       {"update(101/157)", "Communication error"}, {{15, 99}, {15, 100}}, {{15, 101}, {15, 1}}},
      {{"--refuse", "15/0:1"}, 9000, FirmwareResult::Completed, {}, {{15, 32}, {15, 1}}, {}},
      {{"--refuse", "15/0"}, 9000, FirmwareResult::StartFailed, {"StartCommand error", "connect error"}, {},
       {{15, 32}, {15, 1}}},
      {{"--refuse", "14/16"}, 9000, FirmwareResult::EntryFailed, {"Connect Fail"}, {}, {{15, 0}}},
      {{"--refuse", "15/1"}, 9000, FirmwareResult::FinishFailed, {"Disconnect", "Disconnect Error"}, {{15, 32}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.simArgs[1]);
    SimProcess sim(c.simArgs);
    Use(sim, false);
    ScaleComm->SetRetryCount(1);
    host.lines.clear();
    Firmware(RandomImage(c.imageSize, 3));
    const DownloadResult r = RunDownload(host);
    EXPECT_EQ(r.firmware, c.result);
    ASSERT_GE(host.lines.size(), c.tail.size());
    EXPECT_EQ(Lines(host.lines.end() - static_cast<long>(c.tail.size()), host.lines.end()), c.tail);
    const auto req = Requests(sim.WaitLog(4));
    for (auto& p : c.mustHave) EXPECT_NE(std::find(req.begin(), req.end(), p), req.end()) << p.first << "/" << p.second;
    for (auto& p : c.mustNotHave) EXPECT_EQ(std::find(req.begin(), req.end(), p), req.end()) << p.first << "/" << p.second;
    // Every way out closes the link.
    EXPECT_EQ(req.back(), std::make_pair(14, 2));
  }
}

TEST_F(Download, StartRefusedOnceLogsOnAgain) {
  SimProcess sim({"--refuse", "15/0:1"});
  Use(sim, false);
  ScaleComm->SetRetryCount(0);
  Firmware(RandomImage(8193, 4));
  EXPECT_EQ(RunDownload(host).firmware, FirmwareResult::Completed);
  EXPECT_EQ(host.lines[3], "StartCommand error");
  EXPECT_EQ(host.lines[4], "Start updating the program");
  const auto req = Requests(sim.WaitLog(10));
  const std::vector<std::pair<int, int>> expected = {{14, 1}, {80, 0}, {14, 16}, {15, 0}, {14, 1},
                                                     {15, 0}, {15, 32}, {15, 1}, {14, 3}, {14, 2}};
  EXPECT_EQ(req, expected);
}

TEST_F(Download, ImagesThatAreNotThereOrCannotBeRead) {
  SimProcess sim;
  Use(sim, false);
  host.downProg = true;
  host.firmware = dir.file("missing.hex");
  EXPECT_EQ(RunDownload(host).firmware, FirmwareResult::NoFile);
  EXPECT_EQ(host.lines.size(), 3u);  // nothing logged for the image
  auto req = Requests(sim.WaitLog(4));
  EXPECT_EQ(req, (std::vector<std::pair<int, int>>{{14, 1}, {80, 0}, {14, 3}, {14, 2}}));

  // A named pipe exists but is no image: said so, and the scale is not asked
  // into its upgrade mode (nor does the run wait for a writer).
  const std::string fifo = dir.file("pipe.hex");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  host.lines.clear();
  host.firmware = fifo;
  EXPECT_EQ(RunDownload(host).firmware, FirmwareResult::CannotRead);
  ASSERT_EQ(host.lines.size(), 4u);
  EXPECT_EQ(host.lines[3], "Cannot read the firmware file " + fifo + ": not a regular file");
  req = Requests(sim.WaitLog(8));
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(14, 16)), 0);
  EXPECT_EQ(req.back(), std::make_pair(14, 2));
}

TEST_F(Download, SecondStartDuringARunIsIgnored) {
  SimProcess sim({"--delay", "150"});
  Use(sim, false);
  DownloadResult inner;
  bool tried = false;
  QTimer::singleShot(50, QCoreApplication::instance(), [&] {
    EXPECT_TRUE(DownloadRunning());
    ScriptHost other;
    inner = RunDownload(other);
    tried = true;
    EXPECT_TRUE(other.events.empty());
  });
  EXPECT_TRUE(RunDownload(host).blockAcked);
  EXPECT_TRUE(tried);
  EXPECT_FALSE(inner.started);
  EXPECT_FALSE(DownloadRunning());
  EXPECT_EQ(host.lines.size(), 3u);
}

TEST_F(Download, AbortEndsTheRunAndReleasesThePort) {
  SimProcess sim({}, true);
  Use(sim, true);
  Firmware(RandomImage(2 * 1024 * 1024, 5));
  host.onAppend = [this] {
    // Once the upgrade streams, abort from an event handler, as closing the
    // window does.
    if (host.lines.size() == 5) QTimer::singleShot(200, QCoreApplication::instance(), [] { AbortDownload(); });
  };
  const DownloadResult r = RunDownload(host);
  EXPECT_TRUE(r.aborted);
  EXPECT_EQ(r.firmware, FirmwareResult::Aborted);
  EXPECT_FALSE(ScaleComm->isActive());
  EXPECT_FALSE(DownloadRunning());
  const auto req = Requests(sim.WaitLog(6));
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(15, 1)), 0);
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(14, 2)), 0);
  EXPECT_LT(req.size(), 8000u);  // far from all 8192 blocks

  // The next run works as usual.
  host.downProg = false;
  host.lines.clear();
  EXPECT_TRUE(RunDownload(host).blockAcked);
}

// Block numbers travel in 16 bits: an image whose blocks cannot all be
// numbered is refused before the scale is asked into its upgrade mode (block
// 65536 would go out as the start request, 65537 as the finish). The largest
// image that fits ends with block 65535.
TEST(FirmwareImageSize, BlockNumbersMustFitSixteenBits) {
  struct Case {
    const char* what;
    std::int64_t size;
    FirmwareResult result;
  };
  constexpr std::int64_t kMost = 65536LL * 256;
  const std::vector<Case> cases = {
      {"one byte past the last block", kMost + 1, FirmwareResult::CannotRead},
      {"far past it", kMost * 2, FirmwareResult::CannotRead},
      {"exactly the last block", kMost, FirmwareResult::Completed},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.path() + "/image.bin";
    {
      std::ofstream(path, std::ios::binary | std::ios::trunc);
    }
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(c.size));  // sparse
    auto owned = std::make_unique<testing::ScriptedTransport>(false, [](const testing::ScriptedTransport::Sent& s) {
      testing::ScriptedTransport::Reaction r;
      if (s.command() == pbus::kCmdSession && s.arg() == pbus::kArgUpgradeEntry)
        r.replies.push_back({1, testing::DataPacket(s.command(), s.arg()), {}});
      else
        r.replies.push_back({1, {pbus::kVerdictAck}, {}});
      return r;
    });
    const testing::ScriptedTransport& t = *owned;
    TPBusComm engine(std::move(owned));
    ScriptHost host;
    EXPECT_EQ(UpgradeFirmware({engine, host}, path), c.result);
    if (c.result == FirmwareResult::CannotRead) {
      EXPECT_TRUE(t.sent.empty());  // no 14/16, no 15/0
      ASSERT_EQ(host.lines.size(), 1u);
      EXPECT_NE(host.lines[0].find("16777216"), std::string::npos) << host.lines[0];
    } else {
      std::uint32_t highest = 0;
      std::size_t starts = 0, finishes = 0;
      for (const auto& s : t.sent) {
        if (s.command() != pbus::kCmdUpgrade) continue;
        if (s.arg() == pbus::kArgStartUpgrade) ++starts;
        if (s.arg() == pbus::kArgFinishUpgrade) ++finishes;
        highest = std::max<std::uint32_t>(highest, s.arg());
      }
      EXPECT_EQ(highest, 65535u);
      EXPECT_EQ(starts, 1u);
      EXPECT_EQ(finishes, 1u);
    }
  }
}

}  // namespace
}  // namespace facset
