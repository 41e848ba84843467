#include "app/window_download.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "download/download.h"
#include "download/serial_names.h"
#include "lang/lang.h"
#include "platform/dialogs.h"
#include "platform/text_encoding.h"

namespace facset {

namespace {

// The question before a close stops a run. The language file may carry its
// own text under this key.
std::string StopDownloadQuestion() {
  constexpr std::string_view kKey = "sStopDownload";
  std::string text = LangCatalog(kKey);
  if (text != kKey) return text;
  if (LangSuffix == "_cn") {
    return Utf8ToGbk("正在下载。停止下载并关闭窗口吗？秤可能停留在升级中途。");
  }
  return "A download is running. Stop it and close the window? The scale may be left in the middle of an upgrade.";
}

class WindowHost : public QObject, public DownloadHost {
 public:
  explicit WindowHost(TMainForm& f) : form_(f) {
    form_.installEventFilter(this);
    sinceShown_.start();
  }
  ~WindowHost() override {
    FlushProgress();
    form_.removeEventFilter(this);
  }

  bool closeRequested = false;
  bool focusComAfterRun = false;  // the list is locked until the run ends

  void AskSaveSettings() override { form_.AskSaveSettings(); }
  void ReportSerialNotSet() override {
    AppDialogs().ShowMessage(std::string(kMsgPortNotSet), "", MsgIcon::None);
    focusComAfterRun = true;
  }
  void AppendLine(std::string_view gbk) override {
    FlushProgress();
    form_.AppendMsg(gbk);
  }
  // The progress line is rewritten for every block; nobody reads faster than
  // a few updates a second, and re-laying out the log for each of thousands
  // of blocks would make the window the slowest part of the upgrade. The last
  // text always reaches the log before the next line and at the end.
  void ReplaceLastLine(std::string_view gbk) override {
    pending_.assign(gbk);
    hasPending_ = true;
    if (sinceShown_.elapsed() >= kProgressIntervalMs) FlushProgress();
  }
  void ProcessEvents() override { QCoreApplication::processEvents(); }
  void FlushProgress() {
    if (!hasPending_) return;
    hasPending_ = false;
    form_.ReplaceLastMsg(pending_);
    sinceShown_.restart();
  }

  bool UseCom() const override { return form_.Params().UseCom; }
  int ComIndex() const override { return form_.ComSelectedIndex(); }
  std::string ComText() const override { return form_.ComText(); }
  std::string ComDevice(const std::string& name) const override {
    return ResolveSerialDevice(name, ToolConfigIni.get());
  }
  std::string DeviceIp() const override { return form_.Params().DeviceIp; }
  ParamBlock& Block() override { return form_.Params().Block; }
  bool DownProg() const override { return form_.DownProgChecked(); }
  std::string FirmwarePath() const override { return form_.FirmwarePath(); }

 protected:
  // Closing during the run asks first; on Yes the run is stopped and the
  // window closes once the run has let go of the port.
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == &form_ && e->type() == QEvent::Close && DownloadRunning()) {
      e->ignore();
      if (!closeRequested && AppDialogs().AskYesNo(StopDownloadQuestion(), "", MsgIcon::Question)) {
        closeRequested = true;
        AbortDownload();
      }
      return true;
    }
    return false;
  }

 private:
  static constexpr int kProgressIntervalMs = 50;
  TMainForm& form_;
  std::string pending_;
  bool hasPending_ = false;
  QElapsedTimer sinceShown_;
};

// Locks what the run must not see changed, restores it afterwards and, when the operator closed the window during the
// run, closes it again once the run is over (the usual question included).
class RunGuard {
 public:
  RunGuard(TMainForm& f, WindowHost& host) : form_(&f), host_(host) {
    std::vector<QWidget*> locked = f.LockedDuringDownload();
    locked.push_back(f.btnDownload);
    for (QWidget* w : locked) {
      locked_.push_back({w, w->isEnabled()});
      w->setEnabled(false);
    }
  }
  ~RunGuard() {
    if (!form_) return;
    for (const auto& [w, enabled] : locked_) {
      if (w) w->setEnabled(enabled);
    }
    if (host_.focusComAfterRun) form_->FocusCom();
    if (host_.closeRequested) {
      QPointer<TMainForm> f = form_;
      QTimer::singleShot(0, f, [f] {
        if (f) f->close();
      });
    }
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

 private:
  QPointer<TMainForm> form_;
  WindowHost& host_;
  std::vector<std::pair<QPointer<QWidget>, bool>> locked_;
};

}  // namespace

void WindowDownload(TMainForm& form) {
  if (DownloadRunning()) return;
  WindowHost host(form);
  RunGuard guard(form, host);
  RunDownload(host);
  host.FlushProgress();
}

}  // namespace facset
