#include "download/download.h"

#include <QCoreApplication>
#include <algorithm>
#include <vector>

#include "download/download_messages.h"
#include "download/firmware.h"
#include "download/request_report.h"
#include "params/param_model.h"
#include "protocol/pbus_commands.h"
#include "protocol/scale_link.h"

namespace facset {

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

// One engine serves one run at a time: a second run on it is refused before
// it does anything.
class EngineClaim {
 public:
  explicit EngineClaim(const TPBusComm* engine) : engine_(engine) {
    auto& in = InUse();
    claimed_ = engine_ && std::find(in.begin(), in.end(), engine_) == in.end();
    if (claimed_) in.push_back(engine_);
  }
  ~EngineClaim() {
    if (!claimed_) return;
    auto& in = InUse();
    in.erase(std::find(in.begin(), in.end(), engine_));
  }
  EngineClaim(const EngineClaim&) = delete;
  EngineClaim& operator=(const EngineClaim&) = delete;
  explicit operator bool() const { return claimed_; }

 private:
  static std::vector<const TPBusComm*>& InUse() {
    static std::vector<const TPBusComm*> engines;
    return engines;
  }
  const TPBusComm* engine_;
  bool claimed_ = false;
};

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

// The steps of one run over an engine it has claimed.
class Steps {
 public:
  Steps(TPBusComm& engine, const DownloadRequest& request, DownloadSink& sink, const bool& aborted,
        DownloadOutcome& out)
      : engine_(engine), request_(request), sink_(sink), aborted_(aborted), out_(out), f_(out.facts) {}

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

 private:
  bool Serial() const { return IsSerial(request_.target); }

  // After an abort (or a line that is gone) no request may follow: each would
  // wait its full repeats. The serial port is closed without the log-off.
  bool Release() {
    LinkRelease(engine_, Serial());
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
  void Note(const RequestReport& r) {
    if (!r.ok) f_.end = r.end;
    if (r.ok && !r.proven && f_.notProven.empty()) f_.notProven = r.notProven;
  }

  bool Open() {
    LinkOpenResult open;
    if (const auto* s = std::get_if<SerialTarget>(&request_.target)) {
      open = OpenSerialLink(engine_, s->device, static_cast<std::uint8_t>(request_.speedIndex));
    } else {
      const auto& u = std::get<UdpTarget>(request_.target);
      open = OpenUdpLink(engine_, u.address, u.port);
    }
    sink_.AppendLine(std::string(kMsgConnecting) + TargetLogName(request_.target));
    // The window may be closed while the port is being opened: then it must
    // not stay open behind it.
    if (Stopped(f_.connect)) return Release();
    if (open.code != 0) {
      f_.connect = StepOutcome::Failed;
      f_.openError = open.reason;
      RequestReport r;
      if (open.code == -1) r = ReportLastRequest(engine_, false);
      Note(r);
      sink_.AppendLine(kMsgConnectErr);
      EndsTheRun(r);
      return false;
    }
    const RequestReport r = ReportLastRequest(engine_, true);
    Note(r);
    f_.connect = r.proven ? StepOutcome::Ok : StepOutcome::NotProven;
    sink_.AppendLine(kMsgConnectOk);
    return true;
  }

  bool Block() {
    out_.blockWentOut = true;
    const int w = LinkWriteBlock(engine_, pbus::kCmdParamBlock, 0, 0, out_.blockSent.data(),
                                 static_cast<int>(out_.blockSent.size()));
    if (Stopped(f_.block)) return Release();
    const RequestReport r = ReportLastRequest(engine_, w == 0);
    Note(r);
    f_.block = !r.ok ? StepOutcome::Failed : r.proven ? StepOutcome::Ok : StepOutcome::NotProven;
    sink_.AppendLine(r.ok ? kMsgSetOk : kMsgSetFail);
    // The upgrade follows a refused block, as it always has; not a line that is gone.
    if (EndsTheRun(r)) return Release();
    return true;
  }

  bool Firmware(const ImageLoad& image) {
    const FirmwareEnd fw = UpgradeFirmware({engine_, sink_, [this] { return aborted_; }}, image);
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
    if (const auto* u = std::get_if<UdpTarget>(&request_.target)) {
      LinkCloseUdp(engine_, u->address, u->port);
    } else {
      LinkCloseSerial(engine_);
    }
    if (aborted_) {
      f_.aborted = true;
      Release();
    }
  }

  TPBusComm& engine_;
  const DownloadRequest& request_;
  DownloadSink& sink_;
  const bool& aborted_;
  DownloadOutcome& out_;
  RunFacts& f_;
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

TPBusComm& DownloadRun::Engine() const { return options_.engine ? *options_.engine : *ScaleComm; }

void DownloadRun::Abort() {
  if (!running_) return;
  aborted_ = true;
  Engine().Abort();
}

DownloadOutcome DownloadRun::Run() {
  DownloadOutcome out;
  if (running_ || (!options_.engine && !ScaleComm)) return out;
  EngineClaim claim(&Engine());
  if (!claim) return out;
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
  out.blockSent = request_.block;
  out.blockSent[0] = kBlockMarker;
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

  Steps steps(Engine(), request_, sink_, aborted_, out);
  try {
    RepeatSettings repeats(Engine(), request_);
    steps.Run(image);
  } catch (...) {
    out.exception = std::current_exception();
    f.error = ErrorText(out.exception);
    steps.MarkUnknown();
  }
  out.verdict = Judge(f);
  if (out.verdict.outcome == RunOutcome::Aborted && out.upgradeStarted) sink_.AppendLine(kMsgUpgradeStopped);
  if (out.verdict.outcome == RunOutcome::NotProven) sink_.AppendLine(kMsgNotProven);
  return out;
}

}  // namespace facset
