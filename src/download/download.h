#pragma once
// The operator's download command and the firmware upgrade it runs, without
// widgets. The window and facset-cli each supply a DownloadHost; the steps,
// the message lines and their order are the same for both.
//
// Runs on the thread that owns the Qt event dispatcher, over the program's
// single engine ScaleComm (CreateScaleComm must have run).

#include <cstdint>
#include <string>
#include <string_view>

#include "params/param_math.h"

namespace facset {

// What the procedure needs from the window (or from its command-line stand-in).
// Texts are GBK bytes.
class DownloadHost {
 public:
  virtual ~DownloadHost() = default;
  // The save question when the settings are unsaved; may throw (a failed save).
  virtual void AskSaveSettings() = 0;
  // "未设置串口" and the input focus on the serial port list.
  virtual void ReportSerialNotSet() = 0;
  // One message line (CR LF inside start new lines); rewrite the last line.
  virtual void AppendLine(std::string_view gbk) = 0;
  virtual void ReplaceLastLine(std::string_view gbk) = 0;
  // Lets pending events (repaints, input) run once.
  virtual void ProcessEvents() = 0;

  // Link settings.
  virtual bool UseCom() const = 0;
  virtual int ComIndex() const = 0;       // selected entry of the port list; 0 = "NONE"
  virtual std::string ComText() const = 0;  // its text, as shown in the " connect ..." line
  // Device path of the (trimmed) port name.
  virtual std::string ComDevice(const std::string& name) const = 0;
  virtual std::string DeviceIp() const = 0;

  virtual ParamBlock& Block() = 0;
  virtual bool DownProg() const = 0;
  // The image's path as the file system names it (UTF-8); parameter files
  // store it as GBK, the host decodes it.
  virtual std::string FirmwarePath() const = 0;

  // Serial speed index (0..4: 9600 .. 115200) the port runs at after the log-on.
  virtual int SpeedIndex() const { return 0; }
  // Firmware progress: `done` of `total` image blocks handled (as the log
  // counts them), called after each block.
  virtual void FirmwareProgress(std::int64_t done, std::int64_t total) {
    (void)done;
    (void)total;
  }
};

// Fixed log texts (never translated); their blanks belong to them.
inline constexpr std::string_view kMsgConnecting = " connect ...";
inline constexpr std::string_view kMsgConnectOk = " connect ok ";
inline constexpr std::string_view kMsgConnectErr = " connect err ";
inline constexpr std::string_view kMsgSetOk = " set ok ! ";
inline constexpr std::string_view kMsgSetFail = " set fail ";
inline constexpr std::string_view kMsgPortNotSet = "\xCE\xB4\xC9\xE8\xD6\xC3\xB4\xAE\xBF\xDA";  // 未设置串口 (GBK)
inline constexpr std::string_view kMsgStartCommandError = "StartCommand error";
inline constexpr std::string_view kMsgReconnectError = "connect error";
inline constexpr std::string_view kMsgReportRule = "***************************";
// After a stop during a firmware upgrade; the scale then needs a new upgrade.
inline constexpr std::string_view kMsgUpgradeStopped = "stopped: the scale may be left in the middle of a firmware upgrade";

enum class FirmwareResult : std::uint8_t {
  NoFile,        // no such file: nothing logged, nothing sent
  CannotRead,    // the file exists but cannot be opened, read or numbered in blocks (a line says so)
  EntryFailed,   // "sConnectFail"
  StartFailed,   // "connect error"
  BlockFailed,   // "sCommunicationerror"
  FinishFailed,  // "sDisconnectError"
  Completed,     // the report
  Aborted,       // AbortDownload during the upgrade
};

struct DownloadResult {
  bool started = false;      // false: another run was active, nothing done
  bool portNotSet = false;   // "未设置串口"
  bool connected = false;    // " connect ok "
  bool blockAcked = false;   // " set ok ! "
  bool firmwareAsked = false;
  FirmwareResult firmware = FirmwareResult::NoFile;
  bool aborted = false;      // AbortDownload ended the run; the port was released
  std::string openError;     // why the open failed with an error (-3), for stderr
};

// The download command. Errors of the UDP transport and of a failed save pass
// through, as from every command (the link is then left as it is).
DownloadResult RunDownload(DownloadHost& host);

// True while RunDownload runs; a second call then returns at once.
bool DownloadRunning();
// Ends the run in progress as soon as possible (the engine's wait ends now, no
// further request is sent) and releases the serial port; for a window that is
// being closed. Does nothing when no run is active.
void AbortDownload();
// True once AbortDownload was called during the current run.
bool DownloadAborted();

}  // namespace facset
