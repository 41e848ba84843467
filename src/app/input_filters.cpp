// Key filters of the fields, leaving the gravity fields, and the wheel.
#include "main_form.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextEdit>
#include <QWheelEvent>
#include <algorithm>
#include <string>

#include "app/form_parts.h"
#include "app/form_widgets.h"
#include "app/ui_text.h"
#include "params/param_rows.h"

namespace facset {

using namespace form;

namespace {

char32_t TypedChar(const QKeyEvent* k) {
  const QList<uint> ucs = k->text().toUcs4();
  return ucs.isEmpty() ? 0 : static_cast<char32_t>(ucs.front());
}

bool Allowed(KeyFilter filter, char32_t c, const std::u32string& rest) {
  switch (filter) {
    case kDigits: return DigitKeyAllowed(c);
    case kAscii: return AsciiKeyAllowed(c);
    case kGravity: return c == U'.' ? rest.find(U'.') == std::u32string::npos : DigitKeyAllowed(c);
    default: return true;
  }
}

}  // namespace

QString form::KeepAllowed(const QString& before, const QString& after, KeyFilter filter, int* cursor) {
  const std::u32string a = after.toStdU32String();
  const std::u32string b = before.toStdU32String();
  std::size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  auto storable = [](const std::u32string& s) {
    std::u32string out;
    for (char32_t c : s) {
      if (c != 0xFFFD) out.push_back(c);
    }
    return out;
  };
  const std::u32string head = storable(a.substr(0, prefix));
  const std::u32string tail = storable(a.substr(a.size() - suffix));
  std::u32string kept = head;
  for (char32_t c : a.substr(prefix, a.size() - prefix - suffix)) {
    // Control characters never belong in a one-line field.
    if (c >= 32 && c != 0xFFFD && Allowed(filter, c, kept + tail)) kept.push_back(c);
  }
  if (cursor != nullptr) *cursor = static_cast<int>(QString::fromStdU32String(kept).size());
  return QString::fromStdU32String(kept + tail);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
  switch (e->type()) {
    case QEvent::KeyPress: {
      const int filter = watched->property(kKeyFilterProp).toInt();
      if (filter == kNoFilter) break;
      auto* k = static_cast<QKeyEvent*>(e);
      if (filter == kGravity && (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)) {
        // Enter stores the value at once; the focus stays.
        Gravity& g = watched == edtbdgb ? bdgb_ : taggb_;
        Guard([&] { GravityEncode(g); });
        return true;
      }
      if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab) break;
      if (k->modifiers() & Qt::ControlModifier) break;  // shortcuts insert nothing
      const char32_t c = TypedChar(k);
      // Cursor and editing keys; desktop keyboards give Delete the text DEL
      // (127), yet it removes a character rather than typing one.
      if (c == 0 || k->key() == Qt::Key_Delete) break;
      bool allowed = true;
      if (filter == kDigits) allowed = DigitKeyAllowed(c);
      if (filter == kChoices) allowed = c < 32 || DigitKeyAllowed(c);
      if (filter == kAscii) allowed = AsciiKeyAllowed(c);
      if (filter == kGravity) {
        // Judged on the text as it will be: a selection is replaced by the key.
        const auto* edit = static_cast<QLineEdit*>(watched);
        QString rest = edit->text();
        if (edit->hasSelectedText()) rest.remove(edit->selectionStart(), edit->selectedText().size());
        allowed = GravityKeyAllowed(c, FromQ(rest));
      }
      if (filter == kTypingLimit) {
        const auto* edit = static_cast<QLineEdit*>(watched);
        allowed = c < 32 || edit->text().size() - edit->selectedText().size() < kFirmwarePathTypingLimit;
      }
      return !allowed;
    }
    case QEvent::InputMethod: {
      // Composed input would bypass the key filters.
      const int filter = watched->property(kKeyFilterProp).toInt();
      if (filter != kNoFilter && filter != kTypingLimit && filter != kChoices) return true;
      break;
    }
    case QEvent::FocusOut: {
      const auto reason = static_cast<QFocusEvent*>(e)->reason();
      // Switching windows (a refusal's message box too) or opening a menu
      // does not leave the field.
      if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) break;
      const int filter = watched->property(kKeyFilterProp).toInt();
      if (filter == kDigits || filter == kAscii) EndEdit();  // a parameter row: its edit is over
      if (watched != edtbdgb && watched != edttaggb) break;
      Gravity& g = watched == edtbdgb ? bdgb_ : taggb_;
      Guard([&] { GravityEncode(g); });
      break;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, e);
}

bool TMainForm::HandleWheel(QObject* receiver, QWheelEvent* e) {
  if (forwardingWheel_) return false;
  auto* target = qobject_cast<QWidget*>(receiver);
  if (target == nullptr || target->window() != this) return false;
  e->accept();
  QWidget* focus = QApplication::focusWidget();
  if (focus != nullptr && focus->window() != this) focus = nullptr;
  if (focus != nullptr && (focus == MyScrollBox1 || MyScrollBox1->isAncestorOf(focus))) {
    // 25 pixels a notch; nothing else in the area reacts to the wheel.
    wheelRest_ += e->angleDelta().y();
    QScrollBar* bar = MyScrollBox1->verticalScrollBar();
    while (wheelRest_ >= 120) {
      bar->setValue(std::max(0, bar->value() - 25));
      wheelRest_ -= 120;
    }
    while (wheelRest_ <= -120) {
      bar->setValue(bar->value() + 25);
      wheelRest_ += 120;
    }
    return true;
  }
  for (QAbstractScrollArea* memo : std::initializer_list<QAbstractScrollArea*>{lstMsg, lstDispValue}) {
    if (focus == nullptr || (focus != memo && !memo->isAncestorOf(focus))) continue;
    // A focused memo scrolls itself, wherever the mouse is.
    if (memo->isAncestorOf(target)) return false;
    QWidget* vp = memo->viewport();
    const QPointF local = vp->rect().center();
    QWheelEvent copy(local, vp->mapToGlobal(local), e->pixelDelta(), e->angleDelta(), e->buttons(), e->modifiers(),
                     e->phase(), e->inverted(), e->source());
    forwardingWheel_ = true;
    QCoreApplication::sendEvent(vp, &copy);
    forwardingWheel_ = false;
    return true;
  }
  // The wheel ended at the window: hand the focus to the parameter area; this
  // notch scrolls nothing.
  if (MyScrollBox1->isVisible() && MyScrollBox1->isEnabled() && MyScrollBox1->focusPolicy() != Qt::NoFocus) {
    MyScrollBox1->setFocus(Qt::OtherFocusReason);
  }
  return true;
}

}  // namespace facset
