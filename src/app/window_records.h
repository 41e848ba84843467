#pragma once
// The window's side of the station records beyond writing them: forwarding to
// the factory database in the background after each download (the window
// never waits for the network), the status line of records waiting, and the
// History command.

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>

#include "factorydb/server_config.h"

class QLabel;
class QWidget;

namespace facset {

class BackgroundForward;
class HistoryDialog;

class WindowRecords : public QObject {
 public:
  // `status`: the label of the status line; `window`: the dialog's parent.
  WindowRecords(QLabel* status, QWidget* window);
  ~WindowRecords() override;  // stops a forwarding under way; what it left waits

  // After a download's record was appended: forwards what waits, refreshes
  // the status line and an open History dialog.
  void RecordAppended();
  // The History command: opens the dialog, or raises it when it is open.
  void ShowHistory();
  // The status line from the station database as it is now.
  void RefreshStatus();

  // A forwarding is under way (for the tests).
  bool Forwarding() const { return forward_ != nullptr; }

 private:
  void StartForward();
  void ForwardEnded();

  std::string folder_;
  ServerConfigResult server_;
  QLabel* status_;
  QWidget* window_;
  QPointer<HistoryDialog> history_;
  std::unique_ptr<BackgroundForward> forward_;
  bool again_ = false;  // a record came while a forwarding was under way
};

}  // namespace facset
