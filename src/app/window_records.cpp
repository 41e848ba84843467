#include "app/window_records.h"

#include <QLabel>
#include <QWidget>

#include "app/history_dialog.h"
#include "app/ui_text.h"
#include "factorydb/forward.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "records/records.h"

namespace facset {
namespace {

// A forwarding that takes longer than this (a server that stopped answering)
// is ended; the next download or the next start tries again.
constexpr std::chrono::seconds kForwardLimit{60};

}  // namespace

WindowRecords::WindowRecords(QLabel* status, QWidget* window)
    : QObject(window), folder_(DefaultRecordsFolder()), server_(ConfiguredServer(folder_)), status_(status),
      window_(window) {
  RefreshStatus();
  // Records left waiting by an earlier session (the server was down) go now.
  ForwardState st;
  if (server_.server && !ReadForwardState(folder_, st) && st.waiting > 0) StartForward();
}

WindowRecords::~WindowRecords() = default;

void WindowRecords::RecordAppended() {
  if (history_) history_->Reload();
  if (forward_) {
    again_ = true;
  } else {
    StartForward();
  }
  RefreshStatus();
}

void WindowRecords::StartForward() {
  if (!server_.server) return;
  again_ = false;
  // The thread's news comes back through this object's event queue; a
  // queued call to an object already gone is dropped.
  QPointer<WindowRecords> self(this);
  forward_ = std::make_unique<BackgroundForward>(
      folder_, *server_.server,
      [self] { QMetaObject::invokeMethod(self.data(), [self] { if (self) self->ForwardEnded(); }, Qt::QueuedConnection); },
      kForwardLimit);
  forward_->Release();
}

void WindowRecords::ForwardEnded() {
  if (!forward_ || !forward_->Done()) return;
  forward_.reset();
  if (again_) StartForward();
  RefreshStatus();
}

void WindowRecords::ShowHistory() {
  if (!history_) {
    history_ = new HistoryDialog(folder_, window_);
    history_->setAttribute(Qt::WA_DeleteOnClose);
  } else {
    history_->Reload();
  }
  history_->show();
  history_->raise();
  history_->activateWindow();
}

void WindowRecords::RefreshStatus() {
  if (status_ == nullptr) return;
  if (!server_.error.empty()) {
    status_->setText(ToQ(LangText("sRecordsNoServer")));
    status_->setToolTip(QString::fromStdString(server_.error));
    status_->setStyleSheet("color: red;");
    return;
  }
  if (!server_.server) {
    status_->clear();
    status_->setToolTip({});
    return;
  }
  ForwardState st;
  if (auto e = ReadForwardState(folder_, st)) {
    status_->setText(ToQ(FormatCatalog(LangText("sRecordsWaiting"), {"?"})));
    status_->setToolTip(QString::fromStdString(e->reason));
    status_->setStyleSheet("color: red;");
    return;
  }
  const bool failing = st.waiting > 0 && !st.lastError.empty() && !forward_;
  status_->setText(st.waiting == 0 ? ToQ(LangText("sRecordsAllSent"))
                                   : ToQ(FormatCatalog(LangText("sRecordsWaiting"), {st.waiting})));
  status_->setToolTip(QString::fromStdString(server_.server->shown + (failing ? "\n" + st.lastError : "")));
  status_->setStyleSheet(failing ? "color: red;" : "");
}

}  // namespace facset
