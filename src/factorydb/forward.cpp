#include "factorydb/forward.h"

#include <algorithm>
#include <vector>

#include "factorydb/server_records.h"
#include "factorydb/server_schema.h"
#include "platform/safe_files.h"
#include "records/records.h"

namespace facset {
namespace {

// Rows per INSERT: one round trip each, far below the protocol's limit of
// 65535 parameters.
constexpr int kBatch = 200;

bool TimeIsUp(const PgLimits& limits) {
  return (limits.stop && limits.stop->load()) || std::chrono::steady_clock::now() >= limits.deadline;
}

// One forwarding per station at a time: the lock ".facset-records-forward.lock"
// beside the database. Another forwarding holds it for as long as its batches
// take; a download's forwarding waits a little for it, then leaves its record
// to that one or to the next.
constexpr std::chrono::milliseconds kLockWait{2000};

std::chrono::milliseconds LockWait(const PgLimits& limits) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limits.deadline -
                                                                          std::chrono::steady_clock::now());
  return std::max(std::chrono::milliseconds(0), std::min(left, kLockWait));
}

// Inserts one batch; rows the server refuses for their content (a data or
// constraint error) are tried one by one so that one bad record cannot hold
// up the others. Returns the ids now on the server; `error` says what failed.
std::vector<std::int64_t> SendBatch(PgSession& s, const std::vector<DownloadRecord>& batch, ForwardResult& result,
                                    std::string& error, bool& linkLost) {
  std::vector<std::int64_t> done;
  auto refusedForContent = [&] {
    const std::string_view cls = std::string_view(s.SqlState()).substr(0, 2);
    return !s.LinkFailed() && (cls == "22" || cls == "23");
  };
  if (const auto n = InsertServerRecords(s, batch)) {
    result.sent += *n;
    result.already += static_cast<std::int64_t>(batch.size()) - *n;
    for (const DownloadRecord& r : batch) done.push_back(r.id);
    return done;
  }
  if (!refusedForContent()) {
    error = s.Error();
    linkLost = s.LinkFailed();
    return done;
  }
  for (const DownloadRecord& r : batch) {
    if (const auto n = InsertServerRecords(s, std::span(&r, 1))) {
      result.sent += *n;
      result.already += 1 - *n;
      done.push_back(r.id);
    } else if (refusedForContent()) {
      error = "record " + std::to_string(r.id) + " refused by the factory database: " + s.Error();
    } else {
      error = s.Error();
      linkLost = s.LinkFailed();
      break;
    }
  }
  return done;
}

std::string Where(const ServerConfig& server) { return "factory database " + server.shown + ": "; }

// Keeps how a forwarding ended in the station database, with what still waits.
ForwardResult Ended(const std::string& folder, ForwardResult result, std::string error) {
  result.error = std::move(error);
  ForwardState state;
  if (!ReadForwardState(folder, state)) result.waiting = state.waiting;
  NoteForwardAttempt(folder, result.error);
  return result;
}

// The sending itself, on a session that is connected (or connects here).
ForwardResult ForwardOn(PgSession& s, const std::string& folder, const ServerConfig& server, const PgLimits& limits) {
  ForwardResult result;
  auto finish = [&](std::string error) { return Ended(folder, result, std::move(error)); };

  std::string lockTarget = folder.empty() ? std::string("./") : folder;
  if (lockTarget.back() != '/') lockTarget.push_back('/');
  const FileLock lock(lockTarget + "facset-records-forward", LockWait(limits));
  if (!lock.ok()) {
    const std::string why = lock.error();
    // Another forwarding holds the station: not this station's failure to
    // keep as its last word (that one is sending).
    result.error = why;
    ForwardState state;
    if (!ReadForwardState(folder, state)) result.waiting = state.waiting;
    return result;
  }
  ReadResult batch = ReadWaitingRecords(folder, 0, kBatch);
  if (batch.error) return finish(batch.error->reason);
  if (batch.records.empty()) return finish({});

  const std::string where = Where(server);
  if (!s.Connected() && !s.Connect(server.conninfo)) return finish(where + s.Error());
  const auto schema = ReadServerSchema(s);
  if (!schema) return finish(where + s.Error());
  if (std::string problem = ServerSchemaProblem(*schema); !problem.empty()) return finish(problem);

  std::string error;
  while (!batch.records.empty()) {
    bool linkLost = false;
    const std::vector<std::int64_t> done = SendBatch(s, batch.records, result, error, linkLost);
    if (!done.empty()) {
      if (auto e = MarkForwarded(folder, done)) {
        // The server has them; the next forwarding sends them again, harmlessly.
        return finish(e->reason);
      }
    }
    if (linkLost) break;
    if (TimeIsUp(limits)) {
      if (error.empty()) error = "time ran out with records still waiting";
      break;
    }
    batch = ReadWaitingRecords(folder, batch.records.back().id, kBatch);
    if (batch.error) return finish(batch.error->reason);
  }
  return finish(error.empty() ? std::string() : where + error);
}

}  // namespace

ForwardResult ForwardWaiting(const std::string& folder, const ServerConfig& server, PgLimits limits) {
  PgSession s(limits);
  return ForwardOn(s, folder, server, limits);
}

// ---- BackgroundForward ------------------------------------------------------

struct BackgroundForward::Shared {
  std::mutex m;
  std::condition_variable cv;
  std::atomic<bool> stop{false};
  bool released = false;
  bool connected = false;
  bool done = false;
  bool finished = false;  // Finish has returned
  std::function<void()> onDone;
  ForwardResult result;
};

BackgroundForward::BackgroundForward(std::string folder, ServerConfig server, std::function<void()> onDone,
                                     std::chrono::milliseconds timeLimit)
    : shared_(std::make_shared<Shared>()) {
  shared_->onDone = std::move(onDone);
  const auto now = Clock::now();
  const SteadyTime deadline =
      timeLimit >= std::chrono::duration_cast<std::chrono::milliseconds>(SteadyTime::max() - now) ? SteadyTime::max()
                                                                                                  : now + timeLimit;
  thread_ = std::thread([shared = shared_, folder = std::move(folder), server = std::move(server), deadline] {
    const PgLimits limits{deadline, &shared->stop};
    PgSession s(limits);
    const bool connected = s.Connect(server.conninfo);
    const std::string connectError = connected ? std::string() : s.Error();
    bool released = false;
    {
      std::unique_lock lock(shared->m);
      shared->connected = connected;
      shared->cv.notify_all();
      shared->cv.wait(lock, [&] { return shared->released || shared->stop.load(); });
      released = shared->released;
    }
    ForwardResult r;
    if (!released) {
      r.error = "stopped before the run's record was written";
    } else if (shared->stop) {
      r = Ended(folder, r, Where(server) + (connectError.empty() ? "no answer in the time given" : connectError));
    } else {
      // A failed connection is tried once more in ForwardOn: the server may
      // have come back while the run went on.
      r = ForwardOn(s, folder, server, limits);
    }
    std::lock_guard lock(shared->m);
    shared->result = std::move(r);
    shared->done = true;
    shared->cv.notify_all();
    // Under the lock: once Finish has returned, no news goes out.
    if (shared->onDone && !shared->finished) shared->onDone();
  });
}

BackgroundForward::~BackgroundForward() {
  if (thread_.joinable()) Finish(std::chrono::milliseconds(0), std::chrono::milliseconds(0));
}

void BackgroundForward::Release() {
  std::lock_guard lock(shared_->m);
  shared_->released = true;
  shared_->cv.notify_all();
}

bool BackgroundForward::Done() const {
  std::lock_guard lock(shared_->m);
  return shared_->done;
}

ForwardResult BackgroundForward::Finish(std::chrono::milliseconds connectedWait,
                                        std::chrono::milliseconds unreachedWait) {
  const auto start = Clock::now();
  {
    std::unique_lock lock(shared_->m);
    for (;;) {
      if (shared_->done) {
        shared_->finished = true;
        lock.unlock();
        thread_.join();
        return shared_->result;
      }
      const auto limit = start + (shared_->connected ? connectedWait : unreachedWait);
      if (Clock::now() >= limit) break;
      // Wakes when the connection comes up (the limit grows) or the sending ends.
      shared_->cv.wait_until(lock, limit);
    }
  }
  shared_->stop = true;
  shared_->cv.notify_all();
  // Every wait of the session ends at once on `stop`, but a host name's
  // look-up (inside libpq) cannot be cut short: leave such a thread behind
  // rather than hold up the station. It owns all it touches.
  std::unique_lock lock(shared_->m);
  const bool ended = shared_->cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return shared_->done; });
  shared_->finished = true;
  lock.unlock();
  if (ended) {
    thread_.join();
    return shared_->result;
  }
  thread_.detach();
  ForwardResult r;
  r.error = "the factory database did not answer in time";
  return r;
}

}  // namespace facset
