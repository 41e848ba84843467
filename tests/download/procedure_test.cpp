// The download procedure and the firmware upgrade end to end against
// scale-sim, over UDP and over its pseudo-terminal, with a scripted sink in
// place of the window; and over a scripted line in virtual time.
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
#include "download/download_messages.h"
#include "download/firmware.h"
#include "download/serial_names.h"
#include "download/sha256.h"
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

// The window's log as the procedure writes it.
class ScriptSink : public DownloadSink {
 public:
  std::vector<std::string> lines;
  std::function<void()> onAppend;

  void AppendLine(std::string_view s) override {
    lines.emplace_back(s);
    if (onAppend) onAppend();
  }
  void ReplaceLastLine(std::string_view s) override {
    if (lines.empty()) return AppendLine(s);
    lines.back() = s;
  }
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
    for (int i = 0; i < 256; ++i) request.block[i] = static_cast<std::uint8_t>(255 - i);
    request.block[0] = 0x11;  // must go out as 0xA6 anyway
  }
  void TearDown() override {
    DestroyScaleComm();
    LangShutdown();
    OverrideFilesDir("");
  }

  // Points the request at `sim` over UDP, or over its pty named COM1.
  void Use(SimProcess& sim, bool serial) {
    if (serial) {
      request.target = SerialTarget{"COM1", sim.ptyPath()};
    } else {
      request.target = UdpTarget{"127.0.0.1", sim.udpPort()};
    }
  }
  std::string Firmware(const Bytes& image) {
    const std::string path = dir.file("image.hex");
    WriteFile(path, image);
    request.firmware = path;
    return path;
  }
  DownloadOutcome Run() {
    DownloadRun run(request, sink);
    return run.Run();
  }
  static std::vector<std::pair<int, int>> Requests(const std::vector<LogEntry>& log) {
    std::vector<std::pair<int, int>> r;
    for (const LogEntry& e : log) r.emplace_back(e.cmd, e.arg);
    return r;
  }
  Bytes Expected() const {
    Bytes b(request.block.begin(), request.block.end());
    b[0] = 0xA6;
    return b;
  }

  testing::TempDir dir;
  DownloadRequest request;
  ScriptSink sink;
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
  const DownloadOutcome r = Run();
  EXPECT_EQ(r.verdict.connect, StepOutcome::Ok);
  EXPECT_EQ(r.verdict.block, StepOutcome::Ok);
  EXPECT_EQ(r.verdict.firmware, StepOutcome::NotAsked);
  EXPECT_EQ(r.verdict.outcome, RunOutcome::Ok);
  EXPECT_EQ(r.verdict.exitCode, kExitOk);
  EXPECT_EQ(sink.lines, (Lines{serial ? " connect ...COM1" : " connect ...127.0.0.1", " connect ok ", " set ok ! "}));
  EXPECT_EQ(ReadFile(sim.paramFile()), Expected());
  EXPECT_EQ(r.blockSent[0], 0xA6);
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
  const DownloadOutcome r = Run();
  EXPECT_EQ(r.verdict.firmware, StepOutcome::Completed);
  ASSERT_GE(sink.lines.size(), 3u);
  ExpectUpgradeReport(Lines(sink.lines.begin() + 3, sink.lines.end()), UpgradeLines("update(1/40)", "update(40/40)"));
  Bytes out = ReadFile(sim.firmwareFile());
  ASSERT_EQ(out.size(), 40u * 256);
  Bytes expected = image;
  std::fill_n(expected.begin(), 8192, 0);
  expected[39 * 256 + 254] = expected[39 * 256 + 255] = 0;  // the verification word
  EXPECT_EQ(out, expected);
  ASSERT_TRUE(r.firmware);
  EXPECT_EQ(r.firmware->blocksSent, 8);
  EXPECT_EQ(r.firmware->blocksToSend, 8);
}

INSTANTIATE_TEST_SUITE_P(UdpAndSerial, DownloadTransport, ::testing::Values(false, true),
                         [](const auto& tc) { return tc.param ? "Serial" : "Udp"; });

TEST_F(Download, MissingPortAndSilentScaleGiveConnectErr) {
  request.target = SerialTarget{"COM16", dir.file("no-such-tty")};
  DownloadOutcome r = Run();
  EXPECT_EQ(r.verdict.connect, StepOutcome::Failed);
  EXPECT_EQ(r.verdict.exitCode, kExitUnreachable);
  EXPECT_NE(r.verdict.reason.find("No such file"), std::string::npos) << r.verdict.reason;  // the system's reason
  EXPECT_EQ(sink.lines, (Lines{" connect ...COM16", " connect err "}));

  SimProcess sim({"--silent"});
  sink.lines.clear();
  Use(sim, false);
  Firmware(RandomImage(9000, 1));
  request.timeoutMs = 100;
  r = Run();
  EXPECT_EQ(r.verdict.connect, StepOutcome::Failed);
  EXPECT_EQ(r.verdict.block, StepOutcome::NotRun);
  EXPECT_EQ(r.verdict.firmware, StepOutcome::NotRun);
  EXPECT_EQ(sink.lines, (Lines{" connect ...127.0.0.1", " connect err "}));
  // Only the log-on and its repeats: no block, no close.
  const auto log = sim.WaitLog(7);
  EXPECT_EQ(log.size(), 7u);
  for (const LogEntry& e : log) EXPECT_EQ(std::make_pair(e.cmd, e.arg), std::make_pair(14, 1));
}

TEST_F(Download, RefusedBlockStillRunsTheFirmwareAndCloses) {
  SimProcess sim({"--refuse", "80/0"});
  Use(sim, false);
  Firmware(RandomImage(8192, 2));
  const DownloadOutcome r = Run();
  EXPECT_EQ(r.verdict.block, StepOutcome::Failed);
  EXPECT_EQ(r.verdict.firmware, StepOutcome::Completed);
  EXPECT_EQ(r.verdict.exitCode, kExitBlockRefused);
  ASSERT_GE(sink.lines.size(), 3u);
  EXPECT_EQ(sink.lines[2], " set fail ");
  ExpectUpgradeReport(Lines(sink.lines.begin() + 3, sink.lines.end()), UpgradeLines("update(1/32)", "update(32/32)"));
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
    sink.lines.clear();
    const Bytes image = RandomImage(c.size, static_cast<unsigned>(c.size));
    Firmware(image);
    const DownloadOutcome r = Run();
    ASSERT_EQ(r.verdict.firmware, StepOutcome::Completed);
    ExpectUpgradeReport(Lines(sink.lines.begin() + 3, sink.lines.end()), UpgradeLines(c.first, c.last));
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
    StepOutcome result;
    Lines tail;  // the last lines of the log
    std::vector<std::pair<int, int>> mustHave, mustNotHave;
  };
  const Case cases[] = {
      {{"--stop-ack-from-block", "100"}, 40000, StepOutcome::BlockFailed,
       {"update(101/157)", "Communication error"}, {{15, 99}, {15, 100}}, {{15, 101}, {15, 1}}},
      {{"--refuse", "15/0:1"}, 9000, StepOutcome::Completed, {}, {{15, 32}, {15, 1}}, {}},
      {{"--refuse", "15/0"}, 9000, StepOutcome::StartFailed, {"StartCommand error", "connect error"}, {},
       {{15, 32}, {15, 1}}},
      {{"--refuse", "14/16"}, 9000, StepOutcome::EntryFailed, {"Connect Fail"}, {}, {{15, 0}}},
      {{"--refuse", "15/1"}, 9000, StepOutcome::FinishFailed, {"Disconnect", "Disconnect Error"}, {{15, 32}},
       {}},
  };
  request.retries = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.simArgs[1]);
    SimProcess sim(c.simArgs);
    Use(sim, false);
    sink.lines.clear();
    Firmware(RandomImage(c.imageSize, 3));
    const DownloadOutcome r = Run();
    EXPECT_EQ(r.verdict.firmware, c.result);
    EXPECT_EQ(r.verdict.exitCode, c.result == StepOutcome::Completed ? kExitOk : kExitFirmwareFailed);
    ASSERT_GE(sink.lines.size(), c.tail.size());
    EXPECT_EQ(Lines(sink.lines.end() - static_cast<long>(c.tail.size()), sink.lines.end()), c.tail);
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
  request.retries = 0;
  Firmware(RandomImage(8193, 4));
  EXPECT_EQ(Run().verdict.firmware, StepOutcome::Completed);
  EXPECT_EQ(sink.lines[3], "StartCommand error");
  EXPECT_EQ(sink.lines[4], "Start updating the program");
  const auto req = Requests(sim.WaitLog(10));
  const std::vector<std::pair<int, int>> expected = {{14, 1}, {80, 0}, {14, 16}, {15, 0}, {14, 1},
                                                     {15, 0}, {15, 32}, {15, 1}, {14, 3}, {14, 2}};
  EXPECT_EQ(req, expected);
}

TEST_F(Download, ImagesThatAreNotThereOrCannotBeRead) {
  SimProcess sim;
  Use(sim, false);
  request.firmware = dir.file("missing.hex");
  DownloadOutcome r = Run();
  EXPECT_EQ(r.verdict.firmware, StepOutcome::NoFile);
  EXPECT_EQ(r.verdict.exitCode, kExitFirmwareFailed);
  EXPECT_EQ(sink.lines.size(), 3u);  // nothing logged for the image
  auto req = Requests(sim.WaitLog(4));
  EXPECT_EQ(req, (std::vector<std::pair<int, int>>{{14, 1}, {80, 0}, {14, 3}, {14, 2}}));

  // A named pipe exists but is no image: said so, and the scale is not asked
  // into its upgrade mode (nor does the run wait for a writer).
  const std::string fifo = dir.file("pipe.hex");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  sink.lines.clear();
  request.firmware = fifo;
  r = Run();
  EXPECT_EQ(r.verdict.firmware, StepOutcome::CannotRead);
  EXPECT_NE(r.verdict.reason.find("not a regular file"), std::string::npos) << r.verdict.reason;
  ASSERT_EQ(sink.lines.size(), 4u);
  EXPECT_EQ(sink.lines[3], "Cannot read the firmware file " + fifo + ": not a regular file");
  req = Requests(sim.WaitLog(8));
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(14, 16)), 0);
  EXPECT_EQ(req.back(), std::make_pair(14, 2));
}

// One engine serves one run: a second run started from an event handler
// while the first waits is refused before it does anything.
TEST_F(Download, SecondStartDuringARunIsIgnored) {
  SimProcess sim({"--delay", "150"});
  Use(sim, false);
  DownloadOutcome inner;
  bool tried = false;
  ScriptSink other;
  QTimer::singleShot(50, QCoreApplication::instance(), [&] {
    EXPECT_TRUE(DownloadRunning());
    DownloadRun second(request, other);
    inner = second.Run();
    tried = true;
  });
  EXPECT_EQ(Run().verdict.block, StepOutcome::Ok);
  EXPECT_TRUE(tried);
  EXPECT_FALSE(inner.started);
  EXPECT_TRUE(other.lines.empty());
  EXPECT_FALSE(DownloadRunning());
  EXPECT_EQ(sink.lines.size(), 3u);
}

TEST_F(Download, AbortEndsTheRunAndReleasesThePort) {
  SimProcess sim({}, true);
  Use(sim, true);
  Firmware(RandomImage(2 * 1024 * 1024, 5));
  DownloadRun run(request, sink);
  sink.onAppend = [&] {
    // Once the upgrade streams (after the engine's look for copies that
    // follows the upgrade's start), abort from an event handler, as closing
    // the window does.
    if (sink.lines.size() == 5)
      QTimer::singleShot(TPBusComm::kCopyWindowMs + 200, QCoreApplication::instance(), [&] { run.Abort(); });
  };
  const DownloadOutcome r = run.Run();
  EXPECT_TRUE(run.Aborted());
  EXPECT_EQ(r.verdict.outcome, RunOutcome::Aborted);
  EXPECT_EQ(r.verdict.firmware, StepOutcome::Aborted);
  EXPECT_EQ(r.verdict.exitCode, kExitInterrupted);
  EXPECT_EQ(sink.lines.back(), kMsgUpgradeStopped);
  EXPECT_FALSE(ScaleComm->isActive());
  EXPECT_FALSE(DownloadRunning());
  const auto req = Requests(sim.WaitLog(6));
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(15, 1)), 0);
  EXPECT_EQ(std::count(req.begin(), req.end(), std::make_pair(14, 2)), 0);
  EXPECT_LT(req.size(), 8000u);  // far from all 8192 blocks
  // The blocks counted as sent are those the scale acknowledged.
  std::int64_t highest = 0;
  for (const auto& [cmd, arg] : req) {
    if (cmd == 15 && arg >= 32) highest = std::max<std::int64_t>(highest, arg);
  }
  ASSERT_TRUE(r.firmware);
  EXPECT_GE(r.firmware->blocksSent, highest - 32);
  EXPECT_LE(r.firmware->blocksSent, highest - 31);

  // The next run works as usual.
  request.firmware.reset();
  sink.onAppend = nullptr;
  sink.lines.clear();
  EXPECT_EQ(Run().verdict.outcome, RunOutcome::Ok);
}

// The image is read once, before the scale is asked into its upgrade mode:
// whatever happens to the file while the blocks stream, the scale gets the
// image as it was, and the outcome names those bytes.
TEST_F(Download, TheImageSentIsTheImageReadAtTheStart) {
  SimProcess sim({"--delay", "2"});
  Use(sim, false);
  const Bytes image = RandomImage(64 * 1024, 11);  // 224 blocks on the line
  const std::string path = Firmware(image);
  struct Case {
    const char* what;
    std::function<void()> change;
  };
  const Case cases[] = {
      {"truncated", [&] { std::filesystem::resize_file(path, 9000); }},
      {"rewritten in place", [&] { WriteFile(path, RandomImage(64 * 1024, 12)); }},
      {"replaced",
       [&] {
         WriteFile(path + ".new", RandomImage(80 * 1024, 13));
         std::filesystem::rename(path + ".new", path);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(path, image);
    sink.lines.clear();
    bool changed = false;
    sink.onAppend = [&] {
      if (!changed && sink.lines.back() == "update(2/256)") {
        c.change();
        changed = true;
      }
    };
    const DownloadOutcome r = Run();
    EXPECT_TRUE(changed);
    EXPECT_EQ(r.verdict.firmware, StepOutcome::Completed);
    ASSERT_TRUE(r.firmware);
    EXPECT_EQ(r.firmware->size, 64 * 1024);
    EXPECT_EQ(r.firmware->sha256, Sha256Hex(image.data(), image.size()));
    EXPECT_EQ(r.firmware->blocksSent, 224);
    Bytes expected = image;
    std::fill_n(expected.begin(), 8192, 0);
    expected[expected.size() - 2] = expected[expected.size() - 1] = 0;  // the verification word
    EXPECT_EQ(ReadFile(sim.firmwareFile()), expected);
  }
}

// The whole procedure over a scripted line, in virtual time: a request the
// scale's XOFF holds back past the hold limit never leaves; the run ends there
// and says so, instead of waiting the hold limit again for every step after it.
TEST(DownloadOverScriptedLine, HeldRequestEndsTheRunAndSaysSo) {
  using testing::ScriptedTransport;
  CreateScaleComm();
  testing::TempDir dir;
  DownloadRequest request;
  request.target = UdpTarget{"127.0.0.1", 5001};
  request.firmware = dir.file("image.hex");
  WriteFile(*request.firmware, RandomImage(9000, 6));
  ScriptedTransport* line = nullptr;
  RunOptions options;
  options.transport = [&](const DownloadTarget&) {
    auto t = std::make_unique<ScriptedTransport>(false, [](const ScriptedTransport::Sent& s) {
      ScriptedTransport::Reaction r;
      if (s.command() == pbus::kCmdParamBlock) {
        r.held = true;
      } else {
        r.replies.push_back({1, {pbus::kVerdictAck}, {}});
      }
      return r;
    });
    line = t.get();
    return t;
  };
  ScriptSink sink;
  DownloadRun run(request, sink, options);
  const DownloadOutcome o = run.Run();
  EXPECT_EQ(sink.lines,
            (Lines{" connect ...127.0.0.1", " connect ok ", " set fail ", std::string(kMsgHeld)}));
  EXPECT_EQ(o.verdict.block, StepOutcome::Failed);
  EXPECT_EQ(o.verdict.firmware, StepOutcome::NotRun);
  EXPECT_EQ(o.verdict.exitCode, kExitBlockRefused);
  EXPECT_NE(o.verdict.reason.find("flow control"), std::string::npos) << o.verdict.reason;
  // Only the log-on reached the scale: no upgrade, no close after the hold.
  ASSERT_NE(line, nullptr);
  ASSERT_EQ(line->sent.size(), 1u);
  EXPECT_EQ(line->sent[0].command(), pbus::kCmdSession);
  EXPECT_EQ(line->withdrawn, 1);
  DestroyScaleComm();
}

// Block numbers travel in 16 bits: an image whose blocks cannot all be
// numbered is refused before the scale is asked into its upgrade mode (block
// 65536 would go out as the start request, 65537 as the finish). The largest
// image that fits ends with block 65535.
TEST(FirmwareImageSize, BlockNumbersMustFitSixteenBits) {
  struct Case {
    const char* what;
    std::int64_t size;
    StepOutcome result;
  };
  constexpr std::int64_t kMost = 65536LL * 256;
  const std::vector<Case> cases = {
      {"one byte past the last block", kMost + 1, StepOutcome::CannotRead},
      {"far past it", kMost * 2, StepOutcome::CannotRead},
      {"exactly the last block", kMost, StepOutcome::Completed},
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
    ScriptSink sink;
    EXPECT_EQ(UpgradeFirmware({engine, sink}, LoadFirmwareImage(path)).outcome, c.result);
    if (c.result == StepOutcome::CannotRead) {
      EXPECT_TRUE(t.sent.empty());  // no 14/16, no 15/0
      ASSERT_EQ(sink.lines.size(), 1u);
      EXPECT_NE(sink.lines[0].find("16777216"), std::string::npos) << sink.lines[0];
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
