// The seeded campaign: thousands of downloads over a scale with faults drawn
// from each seed (lost requests and answers, late answers, copies, refusals),
// over UDP and serial semantics, in virtual time. No run may end "ok" unless
// the scale stored the parameter block and every image block.
#include <gtest/gtest.h>

#include <map>

#include "support/fault_peer.h"

namespace facset {
namespace {

using testing::CampaignEnd;

TEST(Campaign, NoFalseOk) {
  struct Case {
    bool serial;
    std::uint64_t firstSeed;
    int runs;
  };
  for (const Case c : {Case{false, 1, 3000}, Case{true, 1'000'000, 1500}}) {
    SCOPED_TRACE(c.serial ? "serial" : "UDP");
    std::map<CampaignEnd, int> ends;
    for (int i = 0; i < c.runs; ++i) {
      const std::uint64_t seed = c.firstSeed + static_cast<std::uint64_t>(i);
      const testing::CampaignRun run = testing::RunCampaignDownload(seed, c.serial);
      ++ends[run.end];
      if (run.end == CampaignEnd::Ok) {
        ASSERT_TRUE(run.peerHasAll) << "seed " << seed << " (" << run.kind << ") ended ok without the scale storing all";
      }
    }
    // The campaign must exercise every end, or it proves little.
    EXPECT_GT(ends[CampaignEnd::Ok], c.runs / 10);
    EXPECT_GT(ends[CampaignEnd::NotProven], 0);
    EXPECT_GT(ends[CampaignEnd::Failed], 0);
  }
}

}  // namespace
}  // namespace facset
