#include "download/download.h"

#include <ctime>

#include "lang/lang.h"
#include "params/param_model.h"
#include "protocol/scale_link.h"

namespace facset {

namespace {
bool g_running = false;
bool g_aborted = false;

class RunScope {
 public:
  RunScope() : entered_(!g_running) {
    if (entered_) {
      g_running = true;
      g_aborted = false;
    }
  }
  ~RunScope() {
    if (entered_) g_running = false;
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
  ScaleComm->SetMode(TMode::tmCOM);
  ScaleComm->SetActive(false, "", 0);
}
}  // namespace

bool DownloadRunning() { return g_running; }
bool DownloadAborted() { return g_running && g_aborted; }

void AbortDownload() {
  if (!g_running) return;
  g_aborted = true;
  if (ScaleComm) ScaleComm->Abort();
}

std::string ReportTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
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
    r = LinkOpenSerial(host.ComDevice(name), static_cast<std::uint8_t>(host.SpeedIndex()));
    host.AppendLine(std::string(kMsgConnecting) + host.ComText());
    serial = r == 0;
    if (g_aborted) {
      ReleaseAfterAbort(true);
      result.aborted = true;
      return result;
    }
  } else {
    const std::string ip = host.DeviceIp();
    r = LinkOpenUdp(ip);
    host.AppendLine(std::string(kMsgConnecting) + ip);
  }
  if (r != 0 || g_aborted) {
    result.aborted = g_aborted;
    if (!result.aborted) host.AppendLine(kMsgConnectErr);
    return result;
  }
  result.connected = true;
  host.AppendLine(kMsgConnectOk);

  ParamBlock& block = host.Block();
  block[0] = kBlockMarker;
  const int w = LinkWriteBlock(80, 0, 0, block.data(), static_cast<int>(block.size()));
  if (g_aborted) {
    ReleaseAfterAbort(serial);
    result.aborted = true;
    return result;
  }
  result.blockAcked = w == 0;
  host.AppendLine(result.blockAcked ? kMsgSetOk : kMsgSetFail);

  if (host.DownProg()) {
    result.firmwareAsked = true;
    result.firmware = UpgradeFirmware(host, host.FirmwarePath());
    if (g_aborted) {
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
  if (g_aborted) {
    ReleaseAfterAbort(serial);
    result.aborted = true;
  }
  return result;
}

}  // namespace facset
