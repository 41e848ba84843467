#include "qt_dialogs.h"

#include <QFileDialog>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QStringList>

#include "ui_text.h"

namespace facset {

namespace {

QMessageBox::Icon ToQtIcon(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Error: return QMessageBox::Critical;
    case MsgIcon::Warning: return QMessageBox::Warning;
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

// Qt spells "every file" as "*", not "*.*".
QString QtPattern(QString pattern) {
  QStringList parts = pattern.split(';', Qt::SkipEmptyParts);
  for (QString& p : parts) {
    p = p.trimmed();
    if (p == "*.*") p = "*";
  }
  return parts.join(' ');
}

void PrepareFileDialog(QFileDialog& dlg, const FileDialogRequest& req) {
  if (!req.title.empty()) dlg.setWindowTitle(ToQ(req.title));
  const QString filter = QtFileFilter(req.filter);
  if (!filter.isEmpty()) {
    const QStringList filters = filter.split(";;");
    dlg.setNameFilters(filters);
    dlg.selectNameFilter(filters.front());  // filter index 1
  }
  if (!req.defaultExt.empty()) dlg.setDefaultSuffix(ToQ(req.defaultExt));
  if (!req.initialDir.empty()) dlg.setDirectory(QString::fromStdString(req.initialDir));
  // The toolkit's own dialog: it looks the same on every desktop and in tests.
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
}

bool RunFileDialog(QFileDialog& dlg, std::string& path) {
  path.clear();
  if (dlg.exec() != QDialog::Accepted) return false;
  const QStringList files = dlg.selectedFiles();
  if (files.isEmpty()) return false;
  path = files.front().toStdString();
  return true;
}

// A Yes/No question answered by Yes or No only: the desktop this imitates
// does nothing on Escape in such a box, and a close that counted as No would
// drop the operator's edits.
class TYesNoBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) return e->accept();
    QMessageBox::keyPressEvent(e);
  }
  void closeEvent(QCloseEvent* e) override { e->ignore(); }
  void reject() override {}
};

}  // namespace

QString QtFileFilter(const std::string& filter) {
  const QStringList parts = ToQ(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    const QString text = parts[i].trimmed();
    const QString pattern = i + 1 < parts.size() ? QtPattern(parts[i + 1]) : QtPattern(text);
    if (pattern.isEmpty()) continue;
    out << QString("%1 (%2)").arg(text.isEmpty() ? pattern : text, pattern);
  }
  return out.join(";;");
}

void QtDialogs::ShowMessage(const std::string& text, const std::string& title, MsgIcon icon) {
  QMessageBox box(ToQtIcon(icon), ToQ(title), ToQ(text), QMessageBox::Ok, parent_);
  box.exec();
}

bool QtDialogs::AskYesNo(const std::string& text, const std::string& title, MsgIcon icon, YesNoDefault def) {
  TYesNoBox box(ToQtIcon(icon), ToQ(title), ToQ(text), QMessageBox::Yes | QMessageBox::No, parent_);
  box.setWindowFlag(Qt::WindowCloseButtonHint, false);
  box.setDefaultButton(def == YesNoDefault::Yes ? QMessageBox::Yes : QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool QtDialogs::SelectOpenFile(const FileDialogRequest& req, std::string& path) {
  QFileDialog dlg(parent_);
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::ExistingFile);
  PrepareFileDialog(dlg, req);
  // Whatever kind of file was chosen is returned: the caller names one it
  // cannot read instead of dropping the choice without a word.
  return RunFileDialog(dlg, path);
}

bool QtDialogs::SelectSaveFile(const FileDialogRequest& req, std::string& path) {
  QFileDialog dlg(parent_);
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  // The replace question is ours, in the window's language.
  dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  PrepareFileDialog(dlg, req);
  if (!RunFileDialog(dlg, path)) return false;
  if (req.replaceQuestion.empty() || !QFileInfo::exists(QString::fromStdString(path))) return true;
  if (AskYesNo(ReplaceQuestionText(req, path), "", MsgIcon::Question, YesNoDefault::No)) return true;
  path.clear();
  return false;
}

}  // namespace facset
