// The seeded campaign through the whole download: the real procedure, verdict
// and review over a scale with faults drawn from each seed (lost requests and
// answers, late answers, copies, refusals), UDP and serial semantics, in
// virtual time. No run may end "ok" unless the scale stored the parameter
// block and every image block and saw the upgrade finished.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "download/download.h"
#include "protocol/scale_link.h"
#include "support/fault_peer.h"
#include "support/temp_files.h"

namespace facset {
namespace {

class Quiet : public DownloadSink {
 public:
  void AppendLine(std::string_view) override {}
  void ReplaceLastLine(std::string_view) override {}
  void ProcessEvents() override {}
};

TEST(DownloadCampaign, NoRunEndsOkUnlessTheScaleHoldsEverything) {
  testing::TempDir dir;
  constexpr int kSentBlocks = 6;
  std::string image((pbus::kFirstImageBlock + kSentBlocks) * pbus::kBlockSize, '\0');
  std::mt19937 fill(7);
  for (char& c : image) c = static_cast<char>(fill());
  testing::WriteFileBytes(dir / "image.bin", image);
  CreateScaleComm();
  struct Case {
    bool serial;
    std::uint64_t firstSeed;
    int runs;
  };
  for (const Case c : {Case{false, 1, 4000}, Case{true, 1'000'000, 2000}}) {
    SCOPED_TRACE(c.serial ? "serial" : "UDP");
    std::map<RunOutcome, int> outcomes;
    for (int i = 0; i < c.runs; ++i) {
      const std::uint64_t seed = c.firstSeed + static_cast<std::uint64_t>(i);
      std::mt19937_64 rng(seed);
      const testing::PeerNature nature = testing::PeerNature::Draw(rng, c.serial, ScaleComm->AnswerLateLimit());
      testing::FaultPeer peer(nature, rng());
      DownloadRequest request;
      request.target = c.serial ? DownloadTarget{SerialTarget{"COM1", "/dev/null"}}
                                : DownloadTarget{UdpTarget{"127.0.0.2", 5001}};
      request.block.fill(0x5A);
      request.firmware = dir / "image.bin";
      RunOptions options;
      options.transport = [&](const DownloadTarget&) {
        return std::make_unique<testing::ScriptedTransport>(c.serial, peer.Scale());
      };
      Quiet sink;
      DownloadRun run(request, sink, options);
      const DownloadOutcome o = run.Run();
      ++outcomes[o.verdict.outcome];
      bool all = peer.paramsStored && peer.upgradeFinished;
      for (int k = 0; k < kSentBlocks; ++k) {
        all = all && peer.blocksStored.count(static_cast<std::uint16_t>(pbus::kFirstImageBlock + k)) == 1;
      }
      if (o.verdict.exitCode == kExitOk) {
        ASSERT_TRUE(all) << "seed " << seed << " (" << nature.Kind() << ") ended ok without the scale holding all";
        ASSERT_EQ(o.verdict.outcome, RunOutcome::Ok);
      }
      if (o.verdict.outcome == RunOutcome::NotProven) {
        ASSERT_EQ(o.verdict.exitCode, kExitNotProven);
        ASSERT_NE(o.verdict.reason.find("not proven: "), std::string::npos) << o.verdict.reason;
      }
    }
    // The campaign must reach every outcome, or it proves little.
    EXPECT_GT(outcomes[RunOutcome::Ok], c.runs / 10);
    EXPECT_GT(outcomes[RunOutcome::NotProven], 0);
    EXPECT_GT(outcomes[RunOutcome::Failed], 0);
  }
  DestroyScaleComm();
}

}  // namespace
}  // namespace facset
