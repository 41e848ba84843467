#pragma once
// The station's records in the window: the History command's dialog (newest
// first, filters, the day's counts) and one record's details on a double
// click (its fields, the block as the set-value view, its log).

#include <QDialog>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace facset {

struct DownloadRecord;

class HistoryDialog : public QDialog {
 public:
  // `folder`: the tool's folder holding the station database.
  HistoryDialog(std::string folder, QWidget* parent);

  // Reads the records again (the filters as they are); the window calls it
  // after each download.
  void Reload();

  // At most this many rows are listed: the newest.
  static constexpr int kShownRecords = 500;

 private:
  void OpenDetails(QTreeWidgetItem* item);

  std::string folder_;
  QLabel* counts_ = nullptr;
  QCheckBox* today_ = nullptr;
  QCheckBox* failed_ = nullptr;
  QLineEdit* target_ = nullptr;
  QTreeWidget* list_ = nullptr;
  QLabel* note_ = nullptr;
};

// One record in full.
class RecordDetailDialog : public QDialog {
 public:
  RecordDetailDialog(const DownloadRecord& r, QWidget* parent);
};

// UTC midnight of the operator's local day, as the records store times
// ("2026-12-10T16:00:00"): where "today" begins.
std::string LocalDayStartUtc();

}  // namespace facset
