#include "app/window_download.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <exception>
#include <future>
#include <optional>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/ui_text.h"
#include "lang/catalog_format.h"
#include "download/download.h"
#include "download/verdict.h"
#include "download/download_messages.h"
#include "download/run_settings.h"
#include "download/serial_names.h"
#include "lang/lang.h"
#include "platform/dialogs.h"
#include "platform/text_encoding.h"
#include "protocol/pbus_commands.h"
#include "platform/text_rules.h"
#include "platform/version.h"
#include "protocol/scale_link.h"
#include "records/download_record.h"
#include "records/records.h"

namespace facset {

namespace {

class WindowSink : public QObject, public DownloadSink {
 public:
  explicit WindowSink(TMainForm& f) : form_(f) {
    form_.installEventFilter(this);
    form_.btnStop->setText(ToQ(LangText("sStop")));
    connect(form_.btnStop, &QPushButton::clicked, this, [this] {
      if (run_) run_->Abort();
    });
  }
  ~WindowSink() override {
    FlushProgress();
    form_.HideUpgradeProgress();
    form_.removeEventFilter(this);
  }

  bool closeRequested = false;
  bool focusComAfterRun = false;  // the list is locked until the run ends

  // The run the Stop button and a close stop.
  void Watch(DownloadRun* run) { run_ = run; }

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
    const std::int64_t sent = std::max<std::int64_t>(0, done - std::int64_t{pbus::kFirstImageBlock});
    const std::int64_t toSend = std::max<std::int64_t>(0, total - std::int64_t{pbus::kFirstImageBlock});
    if (!barThrottle_.Due() && done != total) return;
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - progressSince_).count();
    const ProgressFigures f = FigureProgress(sent, toSend, secs);
    QString text = QString::fromStdString(f.blocks);
    if (!f.rate.empty()) {
      text += QString::fromStdString("   " + f.rate + "   ") + ToQ(FormatCatalog(LangText("sTimeLeft"), {f.left}));
    }
    form_.ShowUpgradeProgress(toSend > 0 ? f.percent : 100, text);
  }

  // The log of this run as it stands, UTF-8, for the record.
  const std::vector<std::string>& Lines() const { return lines_; }

 protected:
  // Closing during the run asks first; on Yes the run is stopped and the
  // window closes once the run has let go of the port.
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == &form_ && e->type() == QEvent::Close && run_ && run_->Running()) {
      e->ignore();
      if (!closeRequested && AppDialogs().AskYesNo(LangText("sStopDownload"), "", MsgIcon::Question, YesNoDefault::No)) {
        closeRequested = true;
        run_->Abort();
      }
      return true;
    }
    return false;
  }

 private:
  void AddLines(std::string_view gbk) { AddLogLines(lines_, GbkToUtf8(ToLfBreaks(gbk))); }

  TMainForm& form_;
  DownloadRun* run_ = nullptr;
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
  RunGuard(TMainForm& f, WindowSink& sink) : form_(&f), sink_(sink) {
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
    if (sink_.focusComAfterRun) form_->FocusCom();
    if (sink_.closeRequested) {
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
  WindowSink& sink_;
  std::vector<std::pair<QPointer<QWidget>, bool>> locked_;
  QPointer<QWidget> focusBefore_;
};

// The request as the window's settings make it; nullopt when the serial port
// is chosen but none is set ("未设置串口", and the focus goes to the list).
std::optional<DownloadRequest> RequestFromWindow(TMainForm& form, WindowSink& sink) {
  DownloadRequest r;
  if (form.Params().UseCom) {
    const std::string text = form.ComText();
    const std::string name(TrimBlanks(text));
    if (name.empty() || form.ComSelectedIndex() == 0) {
      AppDialogs().ShowMessage(std::string(kMsgPortNotSet), "", MsgIcon::None);
      sink.focusComAfterRun = true;
      return std::nullopt;
    }
    r.target = SerialTarget{text, ResolveSerialDevice(name, ToolConfigIni.get())};
  } else {
    r.target = UdpTarget{form.Params().DeviceIp, LinkUdpPort()};
  }
  // The window's block holds 0xA6 in byte 0, as it goes out.
  form.Params().Block[0] = kBlockMarker;
  r.block = form.Params().Block;
  if (form.DownProgChecked()) r.firmware = form.FirmwarePath();
  return r;
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

void WindowDownload(TMainForm& form) { WindowDownloadWith(form, {}); }

void WindowDownloadWith(TMainForm& form, const RunOptions& options) {
  if (DownloadRunning()) return;
  // What the fields show is what is sent (and recorded).
  if (!form.CommitPendingEdits()) return;
  WindowSink sink(form);
  RunGuard guard(form, sink);
  form.AskSaveSettings();
  const std::optional<DownloadRequest> request = RequestFromWindow(form, sink);
  // No port chosen: nothing reached a scale, as with facset-cli's refused
  // input, and nothing is recorded.
  if (!request) return;
  RecordContext c;
  c.startUtc = UtcNowIso();
  c.program = "facset";
  c.version = std::string(ProjectVersion());
  c.paramFile = form.ParamFilePath();
  DownloadRun run(*request, sink, options);
  sink.Watch(&run);
  const DownloadOutcome o = run.Run();
  sink.Watch(nullptr);
  sink.FlushProgress();
  if (!o.started) return;  // another run holds the engine
  // Another process of the station downloads to this scale: nothing was sent,
  // nothing is recorded; the log says who holds it.
  if (!o.refused.empty()) {
    sink.AppendLine(Utf8ToGbk(o.refused));
    return;
  }
  // An outcome the usual lines cannot tell says why, in the verdict's words
  // (what facset-cli prints and the record keeps).
  if (o.verdict.outcome == RunOutcome::NotProven) sink.AppendLine(Utf8ToGbk(o.verdict.reason));
  c.log = sink.Lines();
  // A record that cannot be kept never fails the download: the log says so.
  if (const AppendResult a = AppendKeepingWindowAlive(MakeDownloadRecord(*request, o, c)); !a) {
    sink.AppendLine(RecordNotKeptLine(*a.error));
  } else {
    form.RecordAppended();
  }
  // The marked row's next value: only a block the scale provably got counts.
  if (o.verdict.block == StepOutcome::Ok) form.IncreaseAfterDownload();
  if (o.exception) std::rethrow_exception(o.exception);
}

}  // namespace facset
