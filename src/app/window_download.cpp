#include "app/window_download.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <exception>
#include <future>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/ui_text.h"
#include "lang/catalog_format.h"
#include "download/download.h"
#include "download/run_settings.h"
#include "download/serial_names.h"
#include "lang/lang.h"
#include "platform/dialogs.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"
#include "platform/version.h"
#include "records/download_record.h"
#include "records/records.h"

namespace facset {

namespace {

// Blocks 0..31 of an image are counted in the progress but never sent.
constexpr std::int64_t kUnsentBlocks = 32;

class WindowHost : public QObject, public DownloadHost {
 public:
  explicit WindowHost(TMainForm& f) : form_(f) {
    form_.installEventFilter(this);
    form_.btnStop->setText(ToQ(LangText("sStop")));
    connect(form_.btnStop, &QPushButton::clicked, this, [] { AbortDownload(); });
  }
  ~WindowHost() override {
    FlushProgress();
    form_.HideUpgradeProgress();
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
    lastStart_ = lines_.size();
    AddLines(gbk);
  }
  // The progress line is rewritten for every block; nobody reads faster than
  // a few updates a second, and re-laying out the log for each of thousands
  // of blocks would make the window the slowest part of the upgrade. The last
  // text always reaches the log before the next line and at the end.
  void ReplaceLastLine(std::string_view gbk) override {
    pending_.assign(gbk);
    hasPending_ = true;
    lines_.resize(std::min(lastStart_, lines_.size()));
    AddLines(gbk);
    if (lineThrottle_.Due()) FlushProgress();
  }
  void ProcessEvents() override { QCoreApplication::processEvents(); }
  void FlushProgress() {
    if (!hasPending_) return;
    hasPending_ = false;
    form_.ReplaceLastMsg(pending_);
  }
  void FirmwareProgress(std::int64_t done, std::int64_t total) override {
    if (!progressStarted_) {
      progressStarted_ = true;
      progressSince_ = std::chrono::steady_clock::now();
    }
    blocksSent = std::max<std::int64_t>(0, done - kUnsentBlocks);
    const std::int64_t toSend = std::max<std::int64_t>(0, total - kUnsentBlocks);
    if (!barThrottle_.Due() && done != total) return;
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - progressSince_).count();
    const ProgressFigures f = FigureProgress(blocksSent, toSend, secs);
    QString text = QString::fromStdString(f.blocks);
    if (!f.rate.empty()) {
      text += QString::fromStdString("   " + f.rate + "   ") + ToQ(FormatCatalog(LangText("sTimeLeft"), {f.left}));
    }
    form_.ShowUpgradeProgress(toSend > 0 ? f.percent : 100, text);
  }

  // The log of this run as it stands, UTF-8, for the record.
  const std::vector<std::string>& Lines() const { return lines_; }
  std::int64_t blocksSent = 0;

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
      if (!closeRequested && AppDialogs().AskYesNo(LangText("sStopDownload"), "", MsgIcon::Question, YesNoDefault::No)) {
        closeRequested = true;
        AbortDownload();
      }
      return true;
    }
    return false;
  }

 private:
  void AddLines(std::string_view gbk) { AddLogLines(lines_, GbkToUtf8(ToLfBreaks(gbk))); }

  TMainForm& form_;
  std::string pending_;
  bool hasPending_ = false;
  ProgressThrottle lineThrottle_;
  ProgressThrottle barThrottle_;
  bool progressStarted_ = false;
  std::chrono::steady_clock::time_point progressSince_{};
  std::vector<std::string> lines_;
  std::size_t lastStart_ = 0;
};

// Locks what the run must not see changed, restores it afterwards and, when the operator closed the window during the
// run, closes it again once the run is over (the usual question included).
class RunGuard {
 public:
  RunGuard(TMainForm& f, WindowHost& host) : form_(&f), host_(host) {
    std::vector<QWidget*> locked = f.LockedDuringDownload();
    locked.push_back(f.btnDownload);
    // A locked control that has the focus would hand it to the next one in
    // the chain (Close, whose Space then asks to stop the run): the log takes
    // it instead, and gives it back afterwards.
    QWidget* focus = QApplication::focusWidget();
    for (QWidget* w : locked) {
      if (focus != nullptr && (focus == w || w->isAncestorOf(focus))) {
        focusBefore_ = focus;
        f.lstMsg->setFocus(Qt::OtherFocusReason);
      }
    }
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
    if (focusBefore_ && form_->lstMsg->hasFocus() && focusBefore_->isEnabled()) {
      focusBefore_->setFocus(Qt::OtherFocusReason);
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
  QPointer<QWidget> focusBefore_;
};

// What the record needs from before the run: the block and image as they were when it began.
DownloadContext ContextBefore(TMainForm& form, WindowHost& host) {
  DownloadContext c;
  c.startUtc = UtcNowIso();
  c.program = "facset";
  c.version = std::string(ProjectVersion());
  c.useCom = host.UseCom();
  const std::string com = host.ComText();
  c.target = TargetText(c.useCom, host.DeviceIp(), GbkToUtf8(com), c.useCom ? host.ComDevice(std::string(TrimBlanks(com))) : "");
  c.paramFile = form.ParamFilePath();
  c.block = host.Block();
  c.firmwareWanted = host.DownProg();
  if (c.firmwareWanted) {
    c.firmwarePath = host.FirmwarePath();
    c.firmwareDigest = DigestFile(c.firmwarePath);
    // A record outlives the working directory it was made in.
    if (!c.firmwarePath.empty()) {
      c.firmwarePath = QDir::cleanPath(QFileInfo(QString::fromStdString(c.firmwarePath)).absoluteFilePath()).toStdString();
    }
  }
  return c;
}

// Other writers may hold the database for seconds (the busy timeout): the
// window keeps painting meanwhile; the run's controls stay locked.
AppendResult AppendKeepingWindowAlive(DownloadRecord rec) {
  auto done = std::async(std::launch::async, [folder = DefaultRecordsFolder(), rec = std::move(rec)] {
    return AppendRecord(folder, rec);
  });
  while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done.get();
}

}  // namespace

void WindowDownload(TMainForm& form) {
  if (DownloadRunning()) return;
  // What the fields show is what is sent (and recorded).
  if (!form.CommitPendingEdits()) return;
  WindowHost host(form);
  RunGuard guard(form, host);
  DownloadContext c = ContextBefore(form, host);
  DownloadResult r;
  std::exception_ptr error;
  try {
    r = RunDownload(host);
  } catch (const std::exception& e) {
    error = std::current_exception();
    c.error = e.what();
  } catch (...) {
    error = std::current_exception();
    c.error = "unknown error";
  }
  host.FlushProgress();
  // Another run active, or no port chosen: nothing reached a scale, as with
  // facset-cli's refused input, and nothing is recorded.
  if ((r.started && !r.portNotSet) || error) {
    const bool upgradeStarted = r.firmwareAsked && r.firmware != FirmwareResult::NoFile &&
                                r.firmware != FirmwareResult::CannotRead;
    if (r.aborted && upgradeStarted) host.AppendLine(kMsgUpgradeStopped);
    c.blocksSent = host.blocksSent;
    c.log = host.Lines();
    // A record that cannot be kept never fails the download: the log says so.
    if (const AppendResult a = AppendKeepingWindowAlive(MakeDownloadRecord(r, c)); !a) {
      host.AppendLine(RecordNotKeptLine(*a.error));
    }
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace facset
