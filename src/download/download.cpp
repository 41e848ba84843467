#include "download/download.h"

#include "download/firmware.h"
#include "lang/lang.h"
#include "params/param_model.h"
#include "protocol/scale_link.h"

namespace facset {

namespace {
// The one download the process may run at a time, and whether it was told to
// stop; AbortDownload reaches it from a window's close event.
struct RunState {
  bool running = false;
  bool aborted = false;
};
RunState& Run() {
  static RunState state;
  return state;
}

class RunScope {
 public:
  RunScope() : entered_(!Run().running) {
    if (entered_) Run() = {true, false};
  }
  ~RunScope() {
    if (entered_) Run().running = false;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
};

// After an abort no request may follow (each would wait its full repeats); the
// serial port is closed without the log-off.
void ReleaseAfterAbort(bool serial) {
  if (!serial || !ScaleComm || ScaleComm->Busy()) return;
  ScaleComm->Close();
}
}  // namespace

bool DownloadRunning() { return Run().running; }
bool DownloadAborted() { return Run().running && Run().aborted; }

void AbortDownload() {
  if (!Run().running) return;
  Run().aborted = true;
  if (ScaleComm) ScaleComm->Abort();
}

DownloadResult RunDownload(DownloadHost& host) {
  DownloadResult result;
  RunScope scope;
  if (!scope) return result;
  result.started = true;

  host.AskSaveSettings();

  bool serial = false;
  int r = -1;
  if (host.UseCom()) {
    const std::string name(TrimBlanks(host.ComText()));
    if (name.empty() || host.ComIndex() == 0) {
      result.portNotSet = true;
      host.ReportSerialNotSet();
      return result;
    }
    // The window may be closed while the port is being opened: then it must
    // not stay open behind it.
    const LinkOpenResult open = OpenSerialLink(host.ComDevice(name), static_cast<std::uint8_t>(host.SpeedIndex()));
    r = open.code;
    result.openError = open.reason;
    host.AppendLine(std::string(kMsgConnecting) + host.ComText());
    serial = r == 0;
    if (Run().aborted) {
      ReleaseAfterAbort(true);
      result.aborted = true;
      return result;
    }
  } else {
    const std::string ip = host.DeviceIp();
    const LinkOpenResult open = OpenUdpLink(ip);
    r = open.code;
    result.openError = open.reason;
    host.AppendLine(std::string(kMsgConnecting) + ip);
  }
  if (r != 0 || Run().aborted) {
    result.aborted = Run().aborted;
    if (!result.aborted) host.AppendLine(kMsgConnectErr);
    return result;
  }
  result.connected = true;
  host.AppendLine(kMsgConnectOk);

  ParamBlock& block = host.Block();
  block[0] = kBlockMarker;
  const int w = LinkWriteBlock(80, 0, 0, block.data(), static_cast<int>(block.size()));
  if (Run().aborted) {
    ReleaseAfterAbort(serial);
    result.aborted = true;
    return result;
  }
  result.blockAcked = w == 0;
  host.AppendLine(result.blockAcked ? kMsgSetOk : kMsgSetFail);

  if (host.DownProg()) {
    result.firmwareAsked = true;
    result.firmware = UpgradeFirmware({*ScaleComm, host, [] { return DownloadAborted(); }}, host.FirmwarePath());
    if (Run().aborted) {
      ReleaseAfterAbort(serial);
      result.aborted = true;
      return result;
    }
  }

  if (serial) {
    LinkCloseSerial();
  } else {
    LinkCloseUdp(host.DeviceIp());
  }
  if (Run().aborted) {
    ReleaseAfterAbort(serial);
    result.aborted = true;
  }
  return result;
}

}  // namespace facset
