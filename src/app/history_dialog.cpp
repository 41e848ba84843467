#include "app/history_dialog.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>

#include "app/form_parts.h"
#include "app/ui_text.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "params/param_model.h"
#include "records/records.h"

namespace facset {
namespace {

QString Text(std::string_view key) { return ToQ(LangText(key)); }
QString Utf8(const std::string& s) { return QString::fromStdString(s); }

// A stored UTC time shown in the operator's local time; as stored when it
// cannot be read.
QString LocalTime(const std::string& utc) {
  const QDateTime t = QDateTime::fromString(Utf8(utc), Qt::ISODateWithMs);
  return t.isValid() ? t.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : Utf8(utc);
}

// The three counts of the day's line: ok, failed (aborted among them), not proven.
enum class Kind { Ok, Failed, NotProven };
Kind KindOf(RunOutcome o) {
  if (o == RunOutcome::Ok) return Kind::Ok;
  if (o == RunOutcome::NotProven) return Kind::NotProven;
  return Kind::Failed;
}

// An outcome in the window's language, by its stored word.
QString OutcomeText(std::string_view word) {
  static const std::map<std::string_view, std::string_view> kKeys = {
      {"ok", "sOutcomeOk"},
      {"failed", "sOutcomeFailed"},
      {"aborted", "sOutcomeAborted"},
      {"not_proven", "sOutcomeNotProven"},
      {"not_run", "sOutcomeNotRun"},
      {"not_asked", "sOutcomeNotAsked"},
      {"unknown", "sOutcomeUnknown"},
      {"completed", "sOutcomeCompleted"},
      {"no_file", "sOutcomeNoFile"},
      {"cannot_read", "sOutcomeCannotRead"},
      {"entry_failed", "sOutcomeEntryFailed"},
      {"start_failed", "sOutcomeStartFailed"},
      {"block_failed", "sOutcomeBlockFailed"},
      {"finish_failed", "sOutcomeFinishFailed"}};
  const auto it = kKeys.find(word);
  return it == kKeys.end() ? QString::fromUtf8(word.data(), static_cast<qsizetype>(word.size())) : Text(it->second);
}
QString OutcomeText(RunOutcome o) { return OutcomeText(Spell(o)); }
QString OutcomeText(StepOutcome o) { return OutcomeText(Spell(o)); }

QString Dash(const std::string& s) { return s.empty() ? QStringLiteral("-") : Utf8(s); }

}  // namespace

std::string LocalDayStartUtc() {
  const QDateTime midnight(QDate::currentDate(), QTime(0, 0), Qt::LocalTime);
  return midnight.toUTC().toString("yyyy-MM-ddTHH:mm:ss").toStdString();
}

HistoryDialog::HistoryDialog(std::string folder, QWidget* parent) : QDialog(parent), folder_(std::move(folder)) {
  setObjectName("dlgHistory");
  setWindowTitle(Text("sHistory"));
  auto* column = new QVBoxLayout(this);
  counts_ = new QLabel(this);
  counts_->setObjectName("histCounts");
  column->addWidget(counts_);

  auto* filters = new QHBoxLayout;
  today_ = new QCheckBox(Text("sHistoryToday"), this);
  today_->setObjectName("histToday");
  failed_ = new QCheckBox(Text("sHistoryFailed"), this);
  failed_->setObjectName("histFailed");
  auto* targetLabel = new QLabel(Text("sHistoryTarget"), this);
  target_ = new QLineEdit(this);
  target_->setObjectName("histTarget");
  targetLabel->setBuddy(target_);
  filters->addWidget(today_);
  filters->addWidget(failed_);
  filters->addStretch(1);
  filters->addWidget(targetLabel);
  filters->addWidget(target_);
  column->addLayout(filters);

  list_ = new QTreeWidget(this);
  list_->setObjectName("histList");
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setHeaderLabels({Text("sHistColTime"), Text("sHistColTarget"), Text("sHistColOutcome"),
                          Text("sHistColBlock"), Text("sHistColFirmware")});
  list_->header()->setStretchLastSection(true);
  column->addWidget(list_, 1);

  auto* bottom = new QHBoxLayout;
  note_ = new QLabel(this);
  note_->setObjectName("histNote");
  bottom->addWidget(note_, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setObjectName("histClose");
  buttons->button(QDialogButtonBox::Close)->setText(Text("sHistoryClose"));
  bottom->addWidget(buttons);
  column->addLayout(bottom);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

  connect(today_, &QCheckBox::toggled, this, [this] { Reload(); });
  connect(failed_, &QCheckBox::toggled, this, [this] { Reload(); });
  // Typing narrows the list once the keys pause, not at every key.
  auto* typing = new QTimer(this);
  typing->setSingleShot(true);
  typing->setInterval(250);
  connect(typing, &QTimer::timeout, this, [this] { Reload(); });
  connect(target_, &QLineEdit::textEdited, typing, qOverload<>(&QTimer::start));
  connect(target_, &QLineEdit::returnPressed, this, [this, typing] {
    typing->stop();
    Reload();
  });
  // A double click activates the row (and so does Enter): one signal, one dialog.
  connect(list_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) { OpenDetails(item); });
  resize(820, 460);
  Reload();
}

void HistoryDialog::Reload() {
  const std::string dayStart = LocalDayStartUtc();
  std::map<RunOutcome, std::int64_t> byOutcome;
  std::int64_t counts[3] = {0, 0, 0};
  std::optional<RecordsError> error = CountOutcomes(folder_, dayStart, byOutcome);
  for (const auto& [outcome, n] : byOutcome) counts[static_cast<int>(KindOf(outcome))] += n;
  counts_->setText(ToQ(FormatCatalog(LangText("sHistoryCounts"), {counts[0], counts[1], counts[2]})));

  RecordFilter f;
  if (today_->isChecked()) f.sinceUtc = dayStart;
  f.failedOnly = failed_->isChecked();
  f.target = target_->text().trimmed().toStdString();
  f.limit = kShownRecords;
  list_->clear();
  std::vector<QTreeWidgetItem*> items;
  if (!error) {
    error = ForEachRecord(folder_, f, [&](const DownloadRecord& r) {
      auto* item = new QTreeWidgetItem(QStringList{
          LocalTime(r.startUtc), Utf8(r.target), OutcomeText(r.outcome),
          r.blockSha256.empty() ? QStringLiteral("-") : Utf8(r.blockSha256.substr(0, 12)),
          r.firmwarePath.empty() ? QStringLiteral("-") : QFileInfo(Utf8(r.firmwarePath)).fileName()});
      item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(r.id));
      item->setToolTip(3, Utf8(r.blockSha256));
      item->setToolTip(4, Utf8(r.firmwarePath));
      if (KindOf(r.outcome) != Kind::Ok) item->setForeground(2, QColor(Qt::red));
      items.push_back(item);
    });
  }
  for (QTreeWidgetItem* item : items) list_->addTopLevelItem(item);
  for (int c = 0; c < list_->columnCount() - 1; ++c) list_->resizeColumnToContents(c);
  if (error) {
    note_->setText(ToQ(FormatCatalog(LangText("sHistoryUnreadable"), {error->reason})));
  } else if (items.size() >= static_cast<std::size_t>(kShownRecords)) {
    note_->setText(ToQ(FormatCatalog(LangText("sHistoryNewest"), {kShownRecords})));
  } else {
    note_->clear();
  }
}

void HistoryDialog::OpenDetails(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  const ReadResult read = ReadRecord(folder_, item->data(0, Qt::UserRole).toLongLong());
  if (read.error) {
    note_->setText(ToQ(FormatCatalog(LangText("sHistoryUnreadable"), {read.error->reason})));
    return;
  }
  RecordDetailDialog details(read.records.front(), this);
  details.exec();
}

RecordDetailDialog::RecordDetailDialog(const DownloadRecord& r, QWidget* parent) : QDialog(parent) {
  setObjectName("dlgRecord");
  setWindowTitle(ToQ(FormatCatalog(LangText("sRecordTitle"), {r.id})));
  auto* column = new QVBoxLayout(this);
  auto* fields = new QFormLayout;
  auto field = [&](std::string_view key, const QString& value, const char* name) {
    auto* v = new QLabel(value, this);
    v->setObjectName(name);
    v->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fields->addRow(Text(key), v);
  };
  field("sRecStarted", LocalTime(r.startUtc), "recStarted");
  field("sRecStation", Dash(r.station) + " / " + Dash(r.operatorName), "recStation");
  field("sRecProgram", Dash(r.program + (r.version.empty() ? "" : " " + r.version)), "recProgram");
  field("sRecTarget", Dash(r.target), "recTarget");
  field("sRecParamFile", Dash(r.paramFile), "recParamFile");
  field("sRecBlockSha", Dash(r.blockSha256), "recBlockSha");
  QString firmware = Dash(r.firmwarePath);
  if (r.blocksToSend) {
    firmware += QString("  (%1 / %2)").arg(r.blocksSent ? QString::number(*r.blocksSent) : "?").arg(*r.blocksToSend);
  }
  field("sRecFirmware", firmware, "recFirmware");
  field("sRecSteps",
        OutcomeText(r.connectOutcome) + " / " + OutcomeText(r.blockOutcome) + " / " + OutcomeText(r.firmwareOutcome),
        "recSteps");
  field("sRecOutcome", OutcomeText(r.outcome), "recOutcome");
  if (!r.error.empty()) field("sRecError", Utf8(r.error), "recError");
  column->addLayout(fields);

  column->addWidget(new QLabel(Text("sRecBlock"), this));
  auto* block = new QTextEdit(this);
  block->setObjectName("recBlock");
  block->setReadOnly(true);
  block->setTabChangesFocus(true);
  block->setAcceptRichText(false);
  block->setLineWrapMode(QTextEdit::NoWrap);
  block->setFont(form::SongFont(12));
  QString view;
  if (r.block) {
    view = ToQ(kSetValuesHeader);
    for (const std::string& line : SetValuesText(*r.block)) view += "\n" + ToQ(line);
  } else {
    view = "-";
  }
  block->setPlainText(view);
  block->setMinimumHeight(block->fontMetrics().lineSpacing() * 18);
  column->addWidget(block);

  column->addWidget(new QLabel(Text("sRecLog"), this));
  auto* log = new QPlainTextEdit(this);
  log->setObjectName("recLog");
  log->setReadOnly(true);
  log->setTabChangesFocus(true);
  QString lines;
  for (const std::string& l : r.log) lines += Utf8(l).replace("\r\n", "\n").replace('\r', '\n') + "\n";
  log->setPlainText(lines);
  column->addWidget(log, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  QPushButton* close = buttons->button(QDialogButtonBox::Close);
  close->setObjectName("recClose");
  close->setText(Text("sHistoryClose"));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  column->addWidget(buttons);
  // Enter or Space closes it at once; Tab reaches the views.
  close->setDefault(true);
  close->setFocus();
  resize(560, 600);
}

}  // namespace facset
