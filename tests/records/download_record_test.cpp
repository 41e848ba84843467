#include "records/download_record.h"

#include <gtest/gtest.h>

#include "download/sha256.h"
#include "support/temp_files.h"

using namespace facset;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

namespace {

DownloadOutcome Outcome(StepOutcome connect, StepOutcome block, StepOutcome firmware, bool aborted = false) {
  DownloadOutcome o;
  o.started = true;
  o.facts.connect = connect;
  o.facts.block = block;
  o.facts.firmware = firmware;
  o.facts.aborted = aborted;
  o.facts.target = "127.0.0.2";
  o.verdict = Judge(o.facts);
  return o;
}

}  // namespace

// The record spells the verdict; the firmware's size, digest and block counts
// are those of the bytes the run held, whatever the file holds by now.
TEST(DownloadRecord, TheVerdictAndTheBytesSent) {
  using S = StepOutcome;
  TempDir dir;
  const std::string fw = dir / "fw.hex";
  WriteFileBytes(fw, "changed since the run");
  FirmwareFacts sent{fw, 10240, std::string(64, 'f'), 8, 3};

  struct Case {
    const char* name;
    DownloadOutcome outcome;
    bool firmware;
    S connect, block, firm;
    RunOutcome overall;
    int exitCode;
  };
  const Case cases[] = {
      {"parameters only", Outcome(S::Ok, S::Ok, S::NotAsked), false, S::Ok, S::Ok, S::NotAsked, RunOutcome::Ok, 0},
      {"no answer", Outcome(S::Failed, S::NotRun, S::NotRun), true, S::Failed, S::NotRun, S::NotRun,
       RunOutcome::Failed, 3},
      {"block 3 of 8 not acknowledged", Outcome(S::Ok, S::Ok, S::BlockFailed), true, S::Ok, S::Ok, S::BlockFailed,
       RunOutcome::Failed, 5},
      {"not proven", Outcome(S::Ok, S::NotProven, S::NotAsked), false, S::Ok, S::NotProven, S::NotAsked,
       RunOutcome::NotProven, 7},
      {"stopped during the upgrade", Outcome(S::Ok, S::Ok, S::Aborted, true), true, S::Ok, S::Ok, S::Aborted,
       RunOutcome::Aborted, 130},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadRequest request;
    request.target = UdpTarget{"127.0.0.2", 5001};
    DownloadOutcome o = c.outcome;
    if (c.firmware) {
      request.firmware = fw;
      o.firmware = sent;
    }
    RecordContext ctx;
    ctx.startUtc = "2026-12-10T04:00:00.000Z";
    ctx.program = "facset-cli";
    ctx.withExitCode = true;
    const DownloadRecord r = MakeDownloadRecord(request, o, ctx);
    EXPECT_EQ(r.connectOutcome, c.connect);
    EXPECT_EQ(r.blockOutcome, c.block);
    EXPECT_EQ(r.firmwareOutcome, c.firm);
    EXPECT_EQ(r.outcome, c.overall);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.error, o.verdict.reason);
    EXPECT_EQ(r.error.empty(), c.overall == RunOutcome::Ok);
    if (c.firmware) {
      EXPECT_EQ(r.firmwarePath, fw);
      EXPECT_EQ(r.firmwareSize, 10240);
      EXPECT_EQ(r.firmwareSha256, std::string(64, 'f'));
      EXPECT_EQ(r.blocksToSend, 8);
      EXPECT_EQ(r.blocksSent, 3);
    } else {
      EXPECT_EQ(r.firmwarePath, "");
      EXPECT_FALSE(r.firmwareSize);
      EXPECT_FALSE(r.blocksSent);
    }
  }
}

TEST(DownloadRecord, TargetText) {
  EXPECT_EQ(TargetRecordText(UdpTarget{"127.0.0.2", 5001}), "127.0.0.2");
  EXPECT_EQ(TargetRecordText(SerialTarget{"COM1", "/dev/ttyUSB0"}), "COM1 /dev/ttyUSB0");
  EXPECT_EQ(TargetRecordText(SerialTarget{"/dev/pts/3", "/dev/pts/3"}), "/dev/pts/3");
  EXPECT_EQ(TargetRecordText(SerialTarget{"COM16", ""}), "COM16");  // no device behind it
}

TEST(DownloadRecord, FillsWhatTheCallerKnowsAndTheStation) {
  DownloadRequest request;
  request.target = SerialTarget{"COM1", "/dev/ttyUSB0"};
  request.block.fill(0x11);  // byte 0 is sent as A6 whatever the block held
  request.firmware = "image.hex";  // a relative name is recorded whole
  RecordContext ctx;
  ctx.startUtc = UtcNowIso();
  ctx.program = "facset";
  ctx.version = "0.1";
  ctx.paramFile = "/srv/./p.ini";
  ctx.log = {" connect ...COM1", " connect ok "};
  DownloadOutcome o = Outcome(StepOutcome::Ok, StepOutcome::Ok, StepOutcome::CannotRead);
  o.firmware.emplace();  // never read: no size, no digest
  o.firmware->path = "image.hex";

  const DownloadRecord r = MakeDownloadRecord(request, o, ctx);
  ASSERT_TRUE(r.block);
  EXPECT_EQ((*r.block)[0], 0xA6);
  EXPECT_EQ((*r.block)[1], 0x11);
  EXPECT_EQ(r.blockSha256, Sha256Hex(r.block->data(), r.block->size()));
  EXPECT_EQ(r.transport, "serial");
  EXPECT_EQ(r.target, "COM1 /dev/ttyUSB0");
  EXPECT_EQ(r.paramFile, "/srv/p.ini");
  EXPECT_EQ(r.program, "facset");
  EXPECT_EQ(r.version, "0.1");
  EXPECT_FALSE(r.exitCode);  // the window has none
  EXPECT_EQ(r.firmwarePath, WholePath("image.hex"));
  EXPECT_EQ(r.firmwarePath.front(), '/');
  EXPECT_FALSE(r.firmwareSize);
  EXPECT_EQ(r.firmwareSha256, "");
  EXPECT_FALSE(r.blocksToSend);
  EXPECT_EQ(r.blocksSent, 0);
  EXPECT_EQ(r.log, ctx.log);
  EXPECT_FALSE(r.station.empty());
  EXPECT_FALSE(r.operatorName.empty());
  EXPECT_GE(r.endUtc, r.startUtc);
}
