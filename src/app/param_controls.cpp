// The parameter rows generated from the definitions, and the gravity settings.
#include "main_form.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalBlocker>
#include <QStringListModel>
#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

#include "app/form_parts.h"
#include "app/form_widgets.h"
#include "app/ui_text.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "params/param_values.h"
#include "platform/dialogs.h"
#include "platform/text_encoding.h"

namespace facset {

using namespace form;

namespace {

// Entries "0".."255" of every numeric list, shared: one model instead of 256
// items per list keeps the generation of a full block fast.
QStringListModel* NumericEntries() {
  static QStringListModel* model = [] {
    QStringList l;
    l.reserve(256);
    for (int i = 0; i < 256; ++i) l << QString::number(i);
    auto* m = new QStringListModel(l, qApp);
    return m;
  }();
  return model;
}

// A list the operator can type into, whose drop-down is built when first
// opened (256 entries per list, a block full of them).
class TTypedList : public QComboBox {
 public:
  using QComboBox::QComboBox;
  void showPopup() override {
    view()->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QComboBox::showPopup();
  }
};

}  // namespace

QString TMainForm::ListName(int byte) { return "CboxAuto" + QString::number(byte); }
QString TMainForm::FieldName(int byte) { return "edtAuto" + QString::number(byte); }

QLineEdit* TMainForm::CoupledField() const {
  return PnlCtrlCbox->findChild<QLineEdit*>(FieldName(kCoupledFieldByte), Qt::FindDirectChildrenOnly);
}

const ParamRow* TMainForm::RowOf(int tag) const {
  if (tag < 0 || tag > 255 || rowIndex_[static_cast<std::size_t>(tag)] == 0) return nullptr;
  return &rows_[static_cast<std::size_t>(rowIndex_[static_cast<std::size_t>(tag)] - 1)];
}

int TMainForm::TagOf(const QObject* o) const { return o->property("tag").toInt(); }

int TMainForm::SelectedIndex(const QComboBox* list) const {
  // A list the operator types into has the entry its text names selected.
  if (list->isEditable()) return list->findText(list->currentText(), Qt::MatchExactly);
  return list->currentIndex();
}

void TMainForm::ClearParamControls() {
  if (PnlCtrlCbox == nullptr) return;
  const QObjectList children = PnlCtrlCbox->children();
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    if ((*it)->isWidgetType()) delete *it;
  }
}

void TMainForm::BuildParamControls() {
  ClearParamControls();
  RowPlan plan = PlanParamRows(ps_.Defs);
  rows_ = std::move(plan.rows);
  rowIndex_.fill(0);
  for (std::size_t i = 0; i < rows_.size(); ++i) rowIndex_[static_cast<std::size_t>(rows_[i].byte)] = int(i) + 1;

  // Children of a hidden panel appear with it, without one show() each.
  const bool wasVisible = PnlCtrlCbox->isVisibleTo(PnlCtrlCbox->parentWidget());
  PnlCtrlCbox->hide();
  RowLooks looks;
  looks.labelFont = ArialPoints(9);
  looks.notePalette = PnlCtrlCbox->palette();
  looks.notePalette.setColor(QPalette::WindowText, Qt::blue);
  QComboBox probe;
  probe.setFont(PnlCtrlCbox->font());
  looks.listHeight = probe.sizeHint().height();
  for (const ParamRow& row : rows_) {
    QLabel* caption = AddRowLabel(ps_.Defs[static_cast<std::size_t>(row.byte)].Caption, 24, row.top - 3, 68, looks);
    QWidget* control = row.kind == RowKind::Text ? AddTextRow(row) : AddListRow(row, looks);
    // A screen reader names the control by its caption.
    caption->setBuddy(control);
    control->setAccessibleName(caption->text().replace('\n', ' '));
  }

  PnlCtrlCbox->resize(569, plan.panelHeight);
  if (wasVisible) PnlCtrlCbox->show();
  MyScrollBox1->updateExtent();
  EnableParamControls(ps_.IsEnabled);

  auto* coupling = PnlCtrlCbox->findChild<QComboBox*>(ListName(kCouplingListByte), Qt::FindDirectChildrenOnly);
  QLineEdit* coupled = CoupledField();
  if (coupling != nullptr && coupled != nullptr) {
    coupled->setEnabled(SelectedIndex(coupling) != 0);
    if (!ps_.IsEnabled) coupled->setEnabled(false);
  }
  ShowIncreaseMarker();
  EndEdit();
  SetTabOrder();
}

QLabel* TMainForm::AddRowLabel(const std::string& text, int left, int top, int width, const RowLooks& looks) {
  auto* l = new QLabel(CaptionLines(ToQ(UnescapeText(text))), PnlCtrlCbox);
  l->setFont(looks.labelFont);
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  l->setGeometry(left, top, width, 30);
  return l;
}

QWidget* TMainForm::AddTextRow(const ParamRow& row) {
  auto* e = new QLineEdit(PnlCtrlCbox);
  e->setObjectName(FieldName(row.byte));
  e->setProperty("tag", row.byte);
  e->setMaxLength(row.width);
  e->setText(ToQ(TextParamValue(ps_.Block, row)));
  e->setProperty(kShownTextProp, e->text());
  e->setGeometry(93, row.top, 324, e->sizeHint().height());
  e->setProperty(kKeyFilterProp, kAscii);
  e->setAttribute(Qt::WA_InputMethodEnabled, false);
  e->installEventFilter(this);
  connect(e, &QLineEdit::textChanged, this, [this, e] { Guard([this, e] { TextParamChanged(e); }); });
  return e;
}

QWidget* TMainForm::AddListRow(const ParamRow& row, const RowLooks& looks) {
  const ParamDef& d = ps_.Defs[static_cast<std::size_t>(row.byte)];
  QComboBox* c = row.kind == RowKind::Numeric ? new TTypedList(PnlCtrlCbox) : new QComboBox(PnlCtrlCbox);
  c->setObjectName(ListName(row.byte));
  c->setProperty("tag", row.byte);
  if (row.kind == RowKind::TwoChoice) {
    const std::vector<std::string> entries = TwoChoiceEntries(d);
    for (const std::string& e : entries) c->addItem(ToQ(e));
    c->setCurrentIndex(TwoChoiceIndex(ps_.Block, row, entries.size()));
    c->setGeometry(93, row.top, 300, looks.listHeight);
    // Letters must not pick an entry through the list's keyboard search,
    // neither on the closed list nor in its drop-down.
    c->setProperty(kKeyFilterProp, kDigits);
    c->installEventFilter(this);
    c->view()->setProperty(kKeyFilterProp, kChoices);
    c->view()->installEventFilter(this);
    connect(c, &QComboBox::currentIndexChanged, this, [this, c] { Guard([this, c] { CboxMyChange(c); }); });
    return c;
  }
  if (!row.readOnly) c->setModel(NumericEntries());
  // A line edit of its own instead of setEditable(), which also builds the
  // drop-down's popup at once: that popup is built when first opened.
  c->setLineEdit(new QLineEdit(c));
  c->setCompleter(nullptr);
  c->setInsertPolicy(QComboBox::NoInsert);
  c->setGeometry(93, row.top, 120, looks.listHeight);
  QLabel* note = AddRowLabel(d.Note, 220, row.top - 3, 500, looks);
  note->setPalette(looks.notePalette);
  // A note longer than its row is read whole in the tooltip.
  note->setToolTip(note->text());
  c->setAccessibleDescription(note->text());
  if (row.readOnly) {
    c->lineEdit()->setReadOnly(true);
    c->setEditText(ToQ(NumericText(ps_.Block, row)));
    return c;  // shown only: its value does not fit the list's arithmetic
  }
  c->setCurrentIndex(-1);
  c->setEditText(ToQ(NumericText(ps_.Block, row)));
  // The keyboard reaches the list (its line edit's focus proxy), which
  // hands keys to the line edit without its event filters: both filter.
  QLineEdit* edit = c->lineEdit();
  for (QWidget* w : {static_cast<QWidget*>(c), static_cast<QWidget*>(edit)}) {
    w->setProperty(kKeyFilterProp, kDigits);
    w->installEventFilter(this);
  }
  edit->setAttribute(Qt::WA_InputMethodEnabled, false);
  connect(c, &QComboBox::editTextChanged, this, [this, c] { Guard([this, c] { CboxMyChange(c); }); });
  // The editing menu, and the mark "increase after each successful download".
  edit->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(edit, &QLineEdit::customContextMenuRequested, this,
          [this, c](const QPoint& at) { Guard([this, c, at] { ShowRowMenu(c, at); }); });
  return c;
}

void TMainForm::ShowRowMenu(QComboBox* list, const QPoint& at) {
  const int byte = TagOf(list);
  std::unique_ptr<QMenu> menu(list->lineEdit()->createStandardContextMenu());
  menu->addSeparator();
  QAction* mark = menu->addAction(ToQ(LangText("sIncreaseMark")));
  mark->setObjectName("actIncrease");
  mark->setCheckable(true);
  mark->setChecked(ps_.IncreaseByte == byte);
  mark->setEnabled(list->isEnabled());
  if (menu->exec(list->lineEdit()->mapToGlobal(at)) == mark) SetIncreaseMark(mark->isChecked() ? byte : 0);
}

void TMainForm::SetIncreaseMark(int byte) {
  const ParamRow* row = RowOf(byte);
  if (byte != 0 && (row == nullptr || row->kind != RowKind::Numeric || row->readOnly)) return;
  if (ps_.IncreaseByte == byte) return;
  ps_.IncreaseByte = byte;
  ShowIncreaseMarker();
  MarkModified();
}

// The marker "+1" left of the marked row's label; none when the mark names
// no numeric row of the current definitions.
void TMainForm::ShowIncreaseMarker() {
  auto* marker = PnlCtrlCbox->findChild<QLabel*>("incMark", Qt::FindDirectChildrenOnly);
  const ParamRow* row = RowOf(ps_.IncreaseByte);
  if (row == nullptr || row->kind != RowKind::Numeric || row->readOnly) {
    delete marker;
    return;
  }
  if (marker == nullptr) {
    marker = new QLabel(PnlCtrlCbox);
    marker->setObjectName("incMark");
    marker->setTextFormat(Qt::PlainText);
    marker->setAlignment(Qt::AlignCenter);
    QPalette p = marker->palette();
    p.setColor(QPalette::WindowText, Qt::darkGreen);
    marker->setPalette(p);
  }
  marker->setText(ToQ(LangText("sIncreaseMarker")));
  marker->setToolTip(ToQ(LangText("sIncreaseMark")));
  marker->setAccessibleName(marker->toolTip());
  marker->setGeometry(0, row->top, 23, 24);
  marker->show();
}

void TMainForm::IncreaseAfterDownload() {
  const ParamRow* row = RowOf(ps_.IncreaseByte);
  if (row == nullptr || row->kind != RowKind::Numeric || row->readOnly) return;
  auto* list = PnlCtrlCbox->findChild<QComboBox*>(ListName(row->byte), Qt::FindDirectChildrenOnly);
  if (list == nullptr) return;
  // The value as the scale got it, plus one, under the row's own rule.
  const auto shown = static_cast<std::uint32_t>(JoinValue(ps_.Block, row->byte, row->width));
  ParamSet next = ps_;
  if (!SetParamField(next, ParamField{*row}, std::to_string(std::uint64_t{shown} + 1)).empty()) {
    SetIncreaseMark(0);
    AppDialogs().ShowMessage(FormatCatalog(LangCatalog("sNotGreaterMax"), {NumericMax(row->width)}), "",
                             MsgIcon::Error);
    return;
  }
  ps_.Block = next.Block;
  {
    const QSignalBlocker block(list);
    list->setEditText(ToQ(NumericText(ps_.Block, *row)));
  }
  EndEdit();
  MarkModified();
}

void TMainForm::BeginEdit(const ParamRow& row, const QString& shown) {
  if (editStart_.byte == row.byte) return;
  const auto first = ps_.Block.begin() + row.byte;
  editStart_ = {row.byte, std::vector<std::uint8_t>(first, first + row.width), shown};
}

QString TMainForm::RestoreEditStart(const ParamRow& row) {
  if (editStart_.byte != row.byte) return {};
  std::copy(editStart_.bytes.begin(), editStart_.bytes.end(), ps_.Block.begin() + row.byte);
  return editStart_.text;
}

void TMainForm::EnableParamControls(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{cbb1, cbb2, cbb3, Cbb4, Cbb6, Cboxbdgb, edtbdgb, CboxTaggb,
                                                    edttaggb}) {
    w->setEnabled(enabled);
  }
  for (QObject* o : PnlCtrlCbox->children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (w != nullptr && qobject_cast<QLabel*>(w) == nullptr) w->setEnabled(enabled);
  }
}

void TMainForm::CboxMyChange(QComboBox* list) {
  const int t = TagOf(list);
  const ParamRow* row = t >= kFirstDefByte ? RowOf(t) : nullptr;
  if (row != nullptr && row->kind == RowKind::Numeric) {
    if (row->readOnly) return;
    const QString typed = list->currentText();
    const QString digits = KeepAllowed(QString(), typed, kDigits);
    if (digits != typed) {
      const QSignalBlocker block(list);
      list->setEditText(digits);
    }
    const NumericInput in = CheckNumericText(FromQ(digits), row->width);
    if (!in.accepted) {
      // Every key is stored as typed; a refusal puts back the value from
      // before the edit, in the list and the block alike.
      {
        const QSignalBlocker block(list);
        RestoreEditStart(*row);
        list->setEditText(ToQ(NumericText(ps_.Block, *row)));
      }
      ShowSetValues();
      AppDialogs().ShowMessage(FormatCatalog(LangCatalog("sNotGreaterMax"), {NumericMax(row->width)}), "",
                               MsgIcon::Error);
      if (list->isEnabled() && list->isVisible()) list->setFocus(Qt::OtherFocusReason);
      return;
    }
    BeginEdit(*row, ToQ(NumericText(ps_.Block, *row)));
    SplitValue(ps_.Block, in.value, t, row->width);
  } else if (t >= 1 && t <= 255) {
    ps_.Block[static_cast<std::size_t>(t)] = Low8(SelectedIndex(list));
  }
  if (t == kCouplingListByte) {
    if (QLineEdit* coupled = CoupledField()) coupled->setEnabled(SelectedIndex(list) != 0);
  }
  MarkModified();
}

void TMainForm::TextParamChanged(QLineEdit* field) {
  const ParamRow* row = RowOf(TagOf(field));
  if (row == nullptr) return;
  int cursor = 0;
  const QString text = KeepAllowed(field->property(kShownTextProp).toString(), field->text(), kAscii, &cursor);
  if (text != field->text()) {
    const QSignalBlocker block(field);
    field->setText(text);
    field->setCursorPosition(cursor);
  }
  BeginEdit(*row, field->property(kShownTextProp).toString());
  field->setProperty(kShownTextProp, text);
  if (!WriteTextParam(ps_.Block, *row, FromQ(text))) {
    // The field and the block go back to the text from before the edit.
    {
      const QSignalBlocker block(field);
      const QString before = RestoreEditStart(*row);
      field->setText(before);
      field->setProperty(kShownTextProp, before);
    }
    ShowSetValues();
    AppDialogs().ShowMessage(FormatCatalog(LangCatalog("sLenNotGreater"), {row->width}), "",
                             MsgIcon::Error);
    if (field->isEnabled() && field->isVisible()) field->setFocus(Qt::OtherFocusReason);
    return;
  }
  MarkModified();
}

// ---------------------------------------------------------------------------
// Gravity

void TMainForm::GravityChange(Gravity& g) {
  const int i = g.list->currentIndex();
  const auto& regions = ps_.GravityRegions;
  const std::string value =
      i >= 0 && static_cast<std::size_t>(i) < regions.size() ? RegionValue(regions[static_cast<std::size_t>(i)]) : "";
  g.field->setText(ToQ(value));
  if (i == 1) {
    g.field->setEnabled(true);
    if (g.focusOnManual && g.field->isVisible()) g.field->setFocus(Qt::OtherFocusReason);
  } else {
    if (i == 0) g.field->clear();
    g.field->setEnabled(false);
  }
  g.pending = false;
  (g.setsFlag ? ps_.bdgbIndex : ps_.TaggbIndex) = i;
  if (g.setsFlag) ps_.Block[7] = i >= 1 ? kCalibrationGravitySet : 0;
  if (i != 1) GravityEncode(g);
  // The choice itself is an edit: closing must ask about it.
  MarkModified();
}

void TMainForm::GravityEdited(Gravity& g) {
  // Typing is an edit: closing asks, and stores what the field shows.
  g.pending = true;
  modified_ = true;
  int cursor = 0;
  const QString text = KeepAllowed(QString(), g.field->text(), kGravity, &cursor);
  if (text == g.field->text()) return;
  g.field->setText(text);
  g.field->setCursorPosition(std::min(cursor, static_cast<int>(text.size())));
}

bool TMainForm::GravityEncode(Gravity& g) {
  const std::string text(TrimBlanks(FromQ(g.field->text())));
  const std::size_t b = static_cast<std::size_t>(g.firstByte);
  if (text.empty() || g.list->currentIndex() == 0) {
    ps_.Block[b] = ps_.Block[b + 1] = ps_.Block[b + 2] = 0;
    g.pending = false;
    return true;
  }
  const std::optional<double> v = ParseDecimal(text);
  std::string refusal;
  if (!v) {
    refusal = FormatCatalog(LangText("sNotFloat"), {text});
  } else if (*v < kGravityMin || *v > kGravityMax) {
    refusal = FormatCatalog(LangCatalog("sGravityRange"), {GravityValueText(kGravityMin), GravityValueText(kGravityMax)});
  }
  if (!refusal.empty()) {
    AppDialogs().ShowMessage(refusal, "", MsgIcon::Error);
    if (g.field->isEnabled() && g.field->isVisible()) g.field->setFocus(Qt::OtherFocusReason);
    return false;
  }
  GravityToBytes(ps_.Block, g.firstByte, *v);
  g.pending = false;
  MarkModified();
  return true;
}

}  // namespace facset
