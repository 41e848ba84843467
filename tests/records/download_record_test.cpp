#include "records/download_record.h"

#include <gtest/gtest.h>

#include "support/temp_files.h"

using namespace facset;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

namespace {

DownloadResult Result(bool connected, bool acked, bool fwAsked, FirmwareResult fw, bool aborted = false) {
  DownloadResult r;
  r.started = true;
  r.connected = connected;
  r.blockAcked = acked;
  r.firmwareAsked = fwAsked;
  r.firmware = fw;
  r.aborted = aborted;
  return r;
}

}  // namespace

// Every way a run ends, as RunDownload reports it, to the stored outcomes.
TEST(DownloadRecord, OutcomesOfEachEnding) {
  TempDir dir;
  const std::string fw = dir / "fw.hex";
  WriteFileBytes(fw, std::string(10240, '\x5A'));  // 40 blocks, 8 of them sent (32..39)
  const std::string smallFw = dir / "small.hex";
  WriteFileBytes(smallFw, std::string(8192, '\x01'));  // no block sent

  DownloadResult portNotSet;
  portNotSet.started = true;
  portNotSet.portNotSet = true;
  DownloadResult abortedOpen;
  abortedOpen.started = true;
  abortedOpen.aborted = true;

  struct Case {
    const char* name;
    DownloadResult result;
    bool wanted;
    std::string path;
    std::optional<std::int64_t> counted;  // blocks the caller counted
    std::string error;
    std::optional<int> exitCode;
    const char *connect, *block, *firmware, *overall;
    std::optional<std::int64_t> sent, toSend;
  };
  using FR = FirmwareResult;
  const Case cases[] = {
      {"parameters only", Result(true, true, false, FR::NoFile), false, "", {}, "", 0,
       "ok", "ok", "not asked", "ok", {}, {}},
      {"with firmware", Result(true, true, true, FR::Completed), true, fw, {}, "", 0,
       "ok", "ok", "completed", "ok", 8, 8},
      {"image of 8192 bytes", Result(true, true, true, FR::Completed), true, smallFw, {}, "", {},
       "ok", "ok", "completed", "ok", 0, 0},
      {"no answer", Result(false, false, false, FR::NoFile), true, fw, {}, "", 1,
       "failed", "not run", "not run", "failed", 0, 8},
      {"no port chosen", portNotSet, false, "", {}, "", 1,
       "not run", "not run", "not asked", "failed", {}, {}},
      {"block refused, firmware done", Result(true, false, true, FR::Completed), true, fw, {}, "", 1,
       "ok", "failed", "completed", "failed", 8, 8},
      {"block 3 of 8 not acknowledged", Result(true, true, true, FR::BlockFailed), true, fw, 3, "", 1,
       "ok", "ok", "block failed", "failed", 3, 8},
      {"finish refused", Result(true, true, true, FR::FinishFailed), true, fw, {}, "", 1,
       "ok", "ok", "finish failed", "failed", 8, 8},
      {"upgrade entry refused", Result(true, true, true, FR::EntryFailed), true, fw, {}, "", 1,
       "ok", "ok", "entry failed", "failed", 0, 8},
      {"firmware file missing", Result(true, true, true, FR::NoFile), true, dir / "gone.hex", {}, "", 1,
       "ok", "ok", "no file", "failed", 0, {}},
      {"stopped during the upgrade", Result(true, true, true, FR::Aborted, true), true, fw, 5, "", 1,
       "ok", "ok", "aborted", "aborted", 5, 8},
      {"stopped while connecting", abortedOpen, false, "", {}, "", 1,
       "aborted", "not run", "not asked", "aborted", {}, {}},
      {"stopped during the block", Result(true, false, false, FR::NoFile, true), false, "", {}, "", 1,
       "ok", "aborted", "not asked", "aborted", {}, {}},
      {"transport error", DownloadResult{}, true, fw, {}, "sendto: Network is unreachable", 1,
       "unknown", "unknown", "unknown", "failed", {}, 8},
      {"all acknowledged, exit code not 0", Result(true, true, false, FR::NoFile), false, "", {}, "", 1,
       "ok", "ok", "not asked", "failed", {}, {}},
  };
  for (const Case& c : cases) {
    DownloadContext ctx;
    ctx.startUtc = "2026-12-10T04:00:00.000Z";
    ctx.program = "facset-cli";
    ctx.target = "127.0.0.2";
    ctx.firmwareWanted = c.wanted;
    ctx.firmwarePath = c.path;
    ctx.blocksSent = c.counted;
    ctx.error = c.error;
    ctx.exitCode = c.exitCode;
    const DownloadRecord r = MakeDownloadRecord(c.result, ctx);
    EXPECT_EQ(r.connectOutcome, c.connect) << c.name;
    EXPECT_EQ(r.blockOutcome, c.block) << c.name;
    EXPECT_EQ(r.firmwareOutcome, c.firmware) << c.name;
    EXPECT_EQ(r.outcome, c.overall) << c.name;
    EXPECT_EQ(r.blocksSent, c.sent) << c.name;
    EXPECT_EQ(r.blocksToSend, c.toSend) << c.name;
    EXPECT_EQ(r.firmwarePath, c.wanted ? c.path : "") << c.name;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
  }
}

TEST(DownloadRecord, TargetText) {
  EXPECT_EQ(TargetText(false, "127.0.0.2", "COM1", "/dev/ttyS0"), "127.0.0.2");
  EXPECT_EQ(TargetText(true, "127.0.0.2", "COM1", "/dev/ttyUSB0"), "COM1 /dev/ttyUSB0");
  EXPECT_EQ(TargetText(true, "", "/dev/pts/3", "/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(TargetText(true, "", "COM16", ""), "COM16");  // no device behind it
}

TEST(DownloadRecord, FillsWhatTheCallerKnowsAndTheStation) {
  TempDir dir;
  const std::string fw = dir / "fw.hex";
  WriteFileBytes(fw, "abc");
  DownloadContext ctx;
  ctx.startUtc = UtcNowIso();
  ctx.program = "facset";
  ctx.version = "0.1";
  ctx.useCom = true;
  ctx.target = "COM1 /dev/ttyUSB0";
  ctx.paramFile = "/srv/p.ini";
  ctx.block.fill(0x11);  // byte 0 is sent as A6 whatever the block held
  ctx.firmwareWanted = true;
  ctx.firmwarePath = fw;
  ctx.log = {" connect ...COM1", " connect ok "};

  const DownloadRecord r = MakeDownloadRecord(Result(true, true, true, FirmwareResult::Completed), ctx);
  ASSERT_TRUE(r.block);
  EXPECT_EQ((*r.block)[0], 0xA6);
  EXPECT_EQ((*r.block)[1], 0x11);
  EXPECT_EQ(r.blockSha256, Sha256Hex(r.block->data(), r.block->size()));
  EXPECT_EQ(r.transport, "serial");
  EXPECT_EQ(r.target, ctx.target);
  EXPECT_EQ(r.paramFile, ctx.paramFile);
  EXPECT_EQ(r.program, "facset");
  EXPECT_EQ(r.version, "0.1");
  EXPECT_EQ(r.firmwareSize, 3);
  EXPECT_EQ(r.firmwareSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(r.log, ctx.log);
  EXPECT_FALSE(r.station.empty());
  EXPECT_FALSE(r.operatorName.empty());
  EXPECT_GE(r.endUtc, r.startUtc);

  // A digest taken before the run names the bytes sent, even if the file changed since.
  ctx.firmwareDigest = FileDigest{10240, std::string(64, 'f')};
  const DownloadRecord before = MakeDownloadRecord(Result(true, true, true, FirmwareResult::Completed), ctx);
  EXPECT_EQ(before.firmwareSize, 10240);
  EXPECT_EQ(before.firmwareSha256, std::string(64, 'f'));
  EXPECT_EQ(before.blocksToSend, 8);
}
