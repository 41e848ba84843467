#pragma once
// Store and forward: the station database is written first (a download never
// waits for the network); the records waiting there are then sent to the
// factory database. Sending is idempotent (each record under its uid), so a
// forwarding cut at any point and run again loses nothing and doubles nothing.
// One forwarding per station folder at a time (a lock file beside the
// database); the others wait for it within their limits.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "factorydb/pg_session.h"
#include "factorydb/server_config.h"

namespace facset {

struct ForwardResult {
  std::int64_t sent = 0;     // records the factory database did not have yet
  std::int64_t already = 0;  // records it had (sent before, the mark then lost)
  std::int64_t waiting = 0;  // still waiting when it ended
  std::string error;         // why records were left waiting; "" when none were
  bool ok() const { return error.empty(); }
};

// Sends every waiting record of the station database in `folder`, in batches,
// until none waits, a batch fails, or `limits` end it. Connects only when
// something waits. Keeps how it ended in the station database.
ForwardResult ForwardWaiting(const std::string& folder, const ServerConfig& server, PgLimits limits);

// The same in a thread of its own, for a download that must not wait: it
// connects at once (while the download runs) and sends when Release() says
// that the run's record is in the station database. `onDone` runs on that
// thread when the forwarding has ended (never after Finish returned); it
// should only hand the news to another thread. `timeLimit` bounds the whole.
class BackgroundForward {
 public:
  using Clock = std::chrono::steady_clock;
  BackgroundForward(std::string folder, ServerConfig server, std::function<void()> onDone = {},
                    std::chrono::milliseconds timeLimit = std::chrono::milliseconds::max());
  ~BackgroundForward();  // Finish(0, 0)
  BackgroundForward(const BackgroundForward&) = delete;
  BackgroundForward& operator=(const BackgroundForward&) = delete;

  // The run's record is written: send what waits.
  void Release();
  // Waits for the sending to end: up to `connectedWait` while the server
  // answers, up to `unreachedWait` while it has not answered yet; then stops
  // it (what is left waits for the next forwarding). The outcome, or an error
  // saying that time ran out.
  ForwardResult Finish(std::chrono::milliseconds connectedWait, std::chrono::milliseconds unreachedWait);
  bool Done() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace facset
