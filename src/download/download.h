#pragma once
// The download: the parameter block to one scale and, when asked, the
// firmware image after it, over one link. The window and facset-cli build a
// DownloadRequest, hand their DownloadSink, and get the run's facts and its
// verdict; the steps, the lines and their order are the same for both.
//
// Runs on the thread that owns the Qt event dispatcher, over the program's
// engine ScaleComm (CreateScaleComm must have run); one run at a time.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download/download_request.h"
#include "download/download_sink.h"
#include "download/firmware_image.h"
#include "download/verdict.h"

namespace facset {

class TPBusComm;
class PBusTransport;

// How long a run waits for another process's run to the same target.
inline constexpr std::chrono::milliseconds kTargetLockWait{3000};

struct RunOptions {
  // The line to the target; none: the serial port or UDP link the target
  // names. Tests hand a scripted line, run in virtual time (a scripted line
  // is no station's resource: no target lock is taken for it).
  std::function<std::unique_ptr<PBusTransport>(const DownloadTarget&)> transport;
  std::chrono::milliseconds lockWait = kTargetLockWait;
};

// The firmware as the run saw it: the bytes it sent come from this copy.
struct FirmwareFacts {
  std::string path;              // as requested
  std::optional<std::int64_t> size;  // none when the image could not be read
  std::string sha256;            // "" when it could not be read
  std::int64_t blocksToSend = 0; // blocks that go on the line (from 32 on)
  std::int64_t blocksSent = 0;   // of them, acknowledged by the scale
};

struct DownloadOutcome {
  bool started = false;  // false: the engine was serving another run; nothing done
  // The run was refused before anything was sent: another process of the
  // station holds the target (named here), or the wait for it was stopped.
  // The verdict then has exit code 6 (130 when stopped); nothing to record.
  std::string refused;
  Verdict verdict;
  RunFacts facts;
  ParamBlock blockSent{};         // the block as it goes out (byte 0 = 0xA6)
  bool blockWentOut = false;      // the link opened, so the block was offered
  std::optional<FirmwareFacts> firmware;  // when an upgrade was asked for
  bool upgradeStarted = false;    // the scale was asked into its upgrade mode
  // An error of the transport that ended the run (the link is left as it
  // is); the front end decides whether to pass it on.
  std::exception_ptr exception;
};

class DownloadRun {
 public:
  DownloadRun(DownloadRequest request, DownloadSink& sink, RunOptions options = {});
  DownloadRun(const DownloadRun&) = delete;
  DownloadRun& operator=(const DownloadRun&) = delete;

  // Runs the download once. Never throws: an error is in the outcome.
  DownloadOutcome Run();

  // Ends the run as soon as possible: the engine's wait ends now, no further
  // request is sent, the serial port is released. Safe from an event handler
  // during Run (a window's close, a Stop button, a signal's timer); does
  // nothing before or after it.
  void Abort();
  bool Running() const { return running_; }
  bool Aborted() const { return aborted_; }

  const DownloadRequest& request() const { return request_; }

 private:
  TPBusComm& Engine() const;

  DownloadRequest request_;
  DownloadSink& sink_;
  RunOptions options_;
  bool running_ = false;
  bool aborted_ = false;
};

// True while any DownloadRun of this process runs.
bool DownloadRunning();

}  // namespace facset
