#include "download/download.h"

#include <QCoreApplication>
#include <algorithm>
#include <memory>

#include "download/download_messages.h"
#include "download/firmware.h"
#include "download/request_report.h"
#include "download/target_lock.h"
#include "params/param_model.h"
#include "platform/text_encoding.h"
#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"
#include "protocol/pbus_links.h"
#include "protocol/scale_link.h"

namespace facset {

// The parameter file's block and the protocol name byte 0 apart (params sits below the
// protocol); they must never drift.
static_assert(pbus::kParamBlockMarker == kBlockMarker);

void DownloadSink::ProcessEvents() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

const char* TransportName(const DownloadTarget& t) { return IsSerial(t) ? "serial" : "udp"; }

std::string TargetLogName(const DownloadTarget& t) {
  if (const auto* s = std::get_if<SerialTarget>(&t)) return s->listName;
  return std::get<UdpTarget>(t).address;
}

std::string TargetRecordText(const DownloadTarget& t) {
  const auto* s = std::get_if<SerialTarget>(&t);
  if (!s) return std::get<UdpTarget>(t).address;
  if (s->listName.empty() || s->listName == s->device) return s->device;
  if (s->device.empty()) return s->listName;
  return s->listName + " " + s->device;
}

namespace {

int g_running = 0;

// The engine's repeat settings for one run, put back afterwards.
class RepeatSettings {
 public:
  RepeatSettings(TPBusComm& e, const DownloadRequest& r)
      : engine_(e), count_(e.RetryCount()), interval_(e.RetryInterval()) {
    if (r.retries) e.SetRetryCount(static_cast<std::uint8_t>(std::clamp(*r.retries, 0, 10)));
    if (r.timeoutMs) e.SetRetryInterval(*r.timeoutMs);
  }
  ~RepeatSettings() {
    engine_.SetRetryCount(count_);
    engine_.SetRetryInterval(interval_);
  }
  RepeatSettings(const RepeatSettings&) = delete;
  RepeatSettings& operator=(const RepeatSettings&) = delete;

 private:
  TPBusComm& engine_;
  std::uint8_t count_;
  int interval_;
};

std::unique_ptr<PBusTransport> LinkFor(const DownloadRequest& r, const RunOptions& o) {
  if (o.transport) return o.transport(r.target);
  if (const auto* s = std::get_if<SerialTarget>(&r.target)) return MakeSerialLink(s->device);
  const auto& u = std::get<UdpTarget>(r.target);
  return MakeUdpLink(u.address, u.port, r.acceptForeignSender);
}

// The steps of one run over the engine it has claimed.
class Steps {
 public:
  Steps(TPBusComm& engine, const DownloadRequest& request, const RunOptions& options, DownloadSink& sink,
        const bool& aborted, DownloadOutcome& out)
      : engine_(engine), request_(request), options_(options), sink_(sink), aborted_(aborted), out_(out),
        f_(out.facts) {}

  void Run(const ImageLoad& image) {
    if (!Open()) return;
    if (!Block()) return;
    if (request_.firmware && !Firmware(image)) return;
    Close();
  }

  // The step an error interrupted.
  void MarkUnknown() {
    if (f_.connect == StepOutcome::NotRun) {
      f_.connect = StepOutcome::Unknown;
    } else if (f_.block == StepOutcome::NotRun) {
      f_.block = StepOutcome::Unknown;
    } else if (request_.firmware && f_.firmware == StepOutcome::NotRun) {
      f_.firmware = StepOutcome::Unknown;
    }
  }

  // Once the link is closed, the engine has seen all it will: an
  // acknowledgement that a later copy or a late answer may have stood in for
  // loses its proof. What the link ignored is said in a line of ours.
  void Review() {
    if (!opened_) return;
    const LinkReview review = engine_.ReviewLink();
    const struct {
      StepOutcome& step;
      const StepRequests& requests;
      const char* name;
    } steps[] = {{f_.connect, connect_, "the log-on"}, {f_.block, block_, "the parameter block"},
                 {f_.firmware, firmware_, "the firmware upgrade"}};
    for (const auto& s : steps) {
      if (s.step != StepOutcome::Ok && s.step != StepOutcome::Completed && s.step != StepOutcome::NotProven) continue;
      if (const auto why = LostProof(review, s.requests)) {
        s.step = StepOutcome::NotProven;
        if (f_.notProven.empty()) f_.notProven = std::string(s.name) + ": " + *why;
      }
    }
    if (const std::string ignored = review.IgnoredText(); !ignored.empty()) sink_.AppendLine(ignored);
  }

 private:
  // After an abort (or a line that is gone) no request may follow: each would
  // wait its full repeats. The link is closed without the log-off.
  bool Release() {
    if (!engine_.Busy()) engine_.Close();
    return false;
  }
  bool Stopped(StepOutcome& step) {
    if (!aborted_) return false;
    step = StepOutcome::Aborted;
    f_.aborted = true;
    return true;
  }
  // The line went away or held a request back: said once, and the run ends.
  bool EndsTheRun(const RequestReport& r) {
    if (!r.Fatal()) return false;
    sink_.AppendLine(r.end == StepEnd::LineGone ? kMsgLineGone : kMsgHeld);
    return true;
  }
  // How the step's request ended; Busy requests never reached the link.
  RequestReport Last(StepRequests& requests) {
    const RequestOutcome& o = engine_.LastOutcome();
    if (o.end != RequestEnd::Busy) requests.Add(o.index);
    const RequestReport r = ReportOf(o);
    if (!r.ok) f_.end = r.end;
    return r;
  }

  bool Open() {
    const LinkOpenResult open =
        OpenLink(LinkFor(request_, options_), static_cast<std::uint8_t>(IsSerial(request_.target) ? request_.speedIndex : 0));
    opened_ = open.code != -3;
    sink_.AppendLine(std::string(kMsgConnecting) + TargetLogName(request_.target));
    // The window may be closed while the port is being opened: then it must
    // not stay open behind it.
    if (Stopped(f_.connect)) return Release();
    RequestReport r;
    if (opened_) r = Last(connect_);
    if (open.code != 0) {
      f_.connect = StepOutcome::Failed;
      f_.openError = open.reason;
      sink_.AppendLine(kMsgConnectErr);
      EndsTheRun(r);
      return false;
    }
    f_.connect = StepOutcome::Ok;
    sink_.AppendLine(kMsgConnectOk);
    return true;
  }

  bool Block() {
    out_.blockWentOut = true;
    const int w = LinkWriteBlock(pbus::kCmdParamBlock, 0, 0, out_.blockSent.data(),
                                 static_cast<int>(out_.blockSent.size()));
    if (Stopped(f_.block)) return Release();
    const RequestReport r = Last(block_);
    f_.block = w == 0 && r.ok ? StepOutcome::Ok : StepOutcome::Failed;
    sink_.AppendLine(f_.block == StepOutcome::Ok ? kMsgSetOk : kMsgSetFail);
    // The upgrade follows a refused block, as it always has; not a line that is gone.
    if (EndsTheRun(r)) return Release();
    return true;
  }

  bool Firmware(const ImageLoad& image) {
    const FirmwareEnd fw = UpgradeFirmware({engine_, sink_, [this] { return aborted_; }}, image);
    firmware_ = fw.requests;
    f_.firmware = fw.outcome;
    out_.upgradeStarted = f_.upgradeStarted = fw.upgradeStarted;
    if (out_.firmware) out_.firmware->blocksSent = fw.blocksSent;
    if (fw.end != StepEnd::None) f_.end = fw.end;
    if (Stopped(f_.firmware)) return Release();
    RequestReport r;
    r.end = fw.end;
    if (EndsTheRun(r)) return Release();
    return true;
  }

  void Close() {
    CloseLink();
    if (aborted_) {
      f_.aborted = true;
      Release();
    }
  }

  TPBusComm& engine_;
  const DownloadRequest& request_;
  const RunOptions& options_;
  DownloadSink& sink_;
  const bool& aborted_;
  DownloadOutcome& out_;
  RunFacts& f_;
  bool opened_ = false;
  StepRequests connect_, block_, firmware_;
};

std::string ErrorText(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

bool DownloadRunning() { return g_running > 0; }

DownloadRun::DownloadRun(DownloadRequest request, DownloadSink& sink, RunOptions options)
    : request_(std::move(request)), sink_(sink), options_(options) {}

TPBusComm& DownloadRun::Engine() const { return *ScaleComm; }

void DownloadRun::Abort() {
  if (!running_) return;
  aborted_ = true;
  Engine().Abort();
}

DownloadOutcome DownloadRun::Run() {
  DownloadOutcome out;
  // The program's one engine serves one run at a time.
  if (running_ || g_running > 0 || !ScaleComm) return out;
  out.started = true;
  aborted_ = false;
  struct Running {
    bool& flag;
    explicit Running(bool& f) : flag(f) {
      flag = true;
      ++g_running;
    }
    ~Running() {
      flag = false;
      --g_running;
    }
  } running(running_);

  RunFacts& f = out.facts;
  f.target = TargetLogName(request_.target);
  // One scale, one process: the target's station-wide lock for the whole run.
  std::unique_ptr<TargetLock> lock;
  if (!options_.transport) {
    TargetLock::Taken taken = TargetLock::Take(request_.target, options_.lockWait, [this] {
      sink_.ProcessEvents();
      return !aborted_;
    });
    if (!taken.warning.empty()) sink_.AppendLine(Utf8ToGbk(taken.warning));
    if (!taken.refusal.empty()) {
      out.refused = taken.refusal;
      if (taken.gaveUp) {
        f.aborted = true;
        out.verdict = Judge(f);
      } else {
        out.verdict.exitCode = kExitInputRefused;
        out.verdict.reason = taken.refusal;
      }
      if (request_.firmware) out.verdict.firmware = StepOutcome::NotRun;
      return out;
    }
    lock = std::move(taken.lock);
  }
  out.blockSent = request_.block;
  out.blockSent[0] = pbus::kParamBlockMarker;
  ImageLoad image;
  if (request_.firmware) {
    f.firmware = StepOutcome::NotRun;
    image = LoadFirmwareImage(*request_.firmware);
    FirmwareFacts facts;
    facts.path = *request_.firmware;
    if (image.ok()) {
      facts.size = image.image.size();
      facts.sha256 = image.image.sha256;
      facts.blocksToSend = image.image.blocksToSend();
    }
    f.firmwareError = image.why;
    out.firmware = facts;
  }

  Steps steps(Engine(), request_, options_, sink_, aborted_, out);
  try {
    RepeatSettings repeats(Engine(), request_);
    steps.Run(image);
  } catch (...) {
    out.exception = std::current_exception();
    f.error = ErrorText(out.exception);
    steps.MarkUnknown();
  }
  steps.Review();
  out.verdict = Judge(f);
  if (out.verdict.outcome == RunOutcome::Aborted && out.upgradeStarted) sink_.AppendLine(kMsgUpgradeStopped);
  if (out.verdict.outcome == RunOutcome::NotProven) sink_.AppendLine(kMsgNotProven);
  return out;
}

}  // namespace facset
