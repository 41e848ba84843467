// The seeded campaign at full size: downloads over a scale with faults drawn
// from each seed, in virtual time. Prints, per transport and per fault kind,
// how the runs ended; the only figure that must be 0 is "false ok" (a run
// ended ok although the scale did not store everything).
// Run: bench_campaign [runs per transport, default 100000] [first seed, default 1]
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "support/fault_peer.h"

using facset::testing::CampaignEnd;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const long runs = argc > 1 ? std::atol(argv[1]) : 100000;
  const std::uint64_t first = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  long falseOk = 0;
  for (bool serial : {false, true}) {
    struct Row {
      long runs = 0, ok = 0, notProven = 0, failed = 0, falseOk = 0;
    };
    std::map<std::string, Row> rows;
    for (long i = 0; i < runs; ++i) {
      const std::uint64_t seed = first + static_cast<std::uint64_t>(i) + (serial ? 1'000'000'000ULL : 0);
      const auto run = facset::testing::RunCampaignDownload(seed, serial);
      for (const std::string& key : {run.kind, std::string("(all)")}) {
        Row& r = rows[key];
        ++r.runs;
        r.ok += run.end == CampaignEnd::Ok;
        r.notProven += run.end == CampaignEnd::NotProven;
        r.failed += run.end == CampaignEnd::Failed;
        r.falseOk += run.end == CampaignEnd::Ok && !run.peerHasAll;
      }
      if (run.end == CampaignEnd::Ok && !run.peerHasAll) {
        ++falseOk;
        std::printf("FALSE OK: %s seed %llu (%s)\n", serial ? "serial" : "udp", static_cast<unsigned long long>(seed),
                    run.kind.c_str());
      }
    }
    std::printf("\n%s, %ld runs\n%-62s %7s %7s %11s %7s %8s\n", serial ? "serial" : "UDP", runs, "fault kinds", "runs",
                "ok", "not proven", "failed", "false ok");
    for (const auto& [kind, r] : rows)
      std::printf("%-62s %7ld %6.1f%% %10.1f%% %6.1f%% %8ld\n", kind.c_str(), r.runs, 100.0 * r.ok / r.runs,
                  100.0 * r.notProven / r.runs, 100.0 * r.failed / r.runs, r.falseOk);
  }
  std::printf("\nfalse ok: %ld\n", falseOk);
  return falseOk == 0 ? 0 : 1;
}
