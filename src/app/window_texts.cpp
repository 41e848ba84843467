// Window texts from the language file's "MainForm" section.
#include "main_form.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextEdit>

#include "app/form_parts.h"
#include "app/form_widgets.h"
#include "app/ui_text.h"
#include "app/window_records.h"
#include "lang/lang.h"

namespace facset {

QString form::CaptionLines(QString s) {
  s.replace("\r\n", "\n");
  s.replace('\r', '\n');
  return s;
}

namespace {

using form::CaptionLines;

QString ControlText(const QWidget* w) {
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  if (auto* p = qobject_cast<const TPanel*>(w)) return p->caption();
  if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
  if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
  if (auto* m = qobject_cast<const QPlainTextEdit*>(w)) return m->toPlainText();
  if (auto* m = qobject_cast<const QTextEdit*>(w)) return m->toPlainText();
  return {};
}

void SetControlText(QWidget* w, const QString& text) {
  if (auto* l = qobject_cast<TLabel*>(w)) return l->setCaption(CaptionLines(text));
  if (auto* b = qobject_cast<TWrapCheckBox*>(w)) return b->setCaption(CaptionLines(text));
  if (auto* l = qobject_cast<QLabel*>(w)) return l->setText(CaptionLines(text));
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->setText(CaptionLines(text));
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->setTitle(CaptionLines(text));
  if (auto* p = qobject_cast<TPanel*>(w)) return p->setCaption(CaptionLines(text));
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->setText(text);
  if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return m->setPlainText(CaptionLines(text));
  if (auto* m = qobject_cast<QTextEdit*>(w)) return m->setPlainText(CaptionLines(text));
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    // Setting the text of a list from the program selects the matching entry
    // and runs no change handler.
    const QSignalBlocker block(c);
    if (c->isEditable()) {
      c->setEditText(text);
    } else {
      c->setCurrentIndex(c->findText(text, Qt::MatchExactly));
    }
  }
}

}  // namespace

void TMainForm::ApplyLangTexts() {
  const std::string section(kMainFormSection);
  if (!windowTitle().isEmpty()) {
    if (auto t = LangWindowText(section, "Caption")) setWindowTitle(ToQ(*t));
  }
  // Texts beyond the written catalog, in the language in force.
  if (btnHistory != nullptr) btnHistory->setText(ToQ(LangText("sHistory")));
  if (records_ != nullptr) records_->RefreshStatus();
  for (const QPointer<QWidget>& p : layoutControls_) {
    QWidget* w = p.data();
    if (w == nullptr) continue;  // a placeholder already removed
    const std::string name = FromQ(w->objectName());
    if (!ControlText(w).isEmpty()) {
      if (auto t = LangWindowText(section, name + ".Caption")) SetControlText(w, ToQ(*t));
    }
    if (!w->toolTip().isEmpty()) {
      if (auto t = LangWindowText(section, name + ".Hint")) w->setToolTip(ToQ(*t));
    }
  }
  NameControls();
}

}  // namespace facset
