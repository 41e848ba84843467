#include "run_forward.h"

#include <chrono>
#include <cstdio>

#include "factorydb/forward.h"
#include "factorydb/server_config.h"

namespace facset::cli {
namespace {

constexpr std::chrono::milliseconds kConnectedWait{2000};
// Kept below what a station notices: a download with the server unreachable
// takes at most this much longer than one with no server configured.
constexpr std::chrono::milliseconds kUnreachedWait{50};

}  // namespace

RunForward::RunForward(const std::string& folder) {
  const ServerConfigResult c = ConfiguredServer(folder);
  if (!c.error.empty()) {
    std::fprintf(stderr, "facset-cli: warning: records are not sent to the factory database: %s\n", c.error.c_str());
    return;
  }
  if (c.server) forward_ = std::make_unique<BackgroundForward>(folder, *c.server);
}

RunForward::~RunForward() = default;

void RunForward::RecordKept() {
  if (!forward_) return;
  forward_->Release();
  const ForwardResult r = forward_->Finish(kConnectedWait, kUnreachedWait);
  if (!r.ok() && r.waiting > 0) {
    std::fprintf(stderr, "facset-cli: %lld record%s kept here, waiting for the factory database: %s\n",
                 static_cast<long long>(r.waiting), r.waiting == 1 ? "" : "s", r.error.c_str());
  }
  forward_.reset();
}

}  // namespace facset::cli
