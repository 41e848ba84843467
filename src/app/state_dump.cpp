#include "app/state_dump.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSocketNotifier>
#include <QTextBlock>
#include <QTextEdit>
#include <QTreeWidget>
#include <csignal>
#include <cstdlib>

#include "app/main_form.h"

namespace facset {

namespace {

int g_pipe[2] = {-1, -1};

// Counts the releases of F12, a key nothing in the window handles: a test
// presses it after its input and waits for the count, so it knows that every
// X event sent before has been handled (the X server keeps their order).
class MarkerCounter : public QObject {
 public:
  using QObject::QObject;
  int count = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::KeyRelease && e->spontaneous()) {
      auto* k = static_cast<QKeyEvent*>(e);
      // An ignored key travels up to the parents: count it once.
      if (k->key() == Qt::Key_F12 && k->timestamp() != last_) {
        last_ = k->timestamp();
        ++count;
      }
    }
    return false;
  }

 private:
  quint64 last_ = ~quint64{0};
};

void OnSignal(int) {
  const char c = 1;
  // Nothing else is safe here; a full pipe already has a dump pending.
  [[maybe_unused]] const auto n = ::write(g_pipe[1], &c, 1);
}

QString OneLine(QString s) { return s.replace('\\', "\\\\").replace('\n', "\\n").replace('\r', "\\r"); }

QString TextOf(const QWidget* w) {
  if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
  if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* t = qobject_cast<const QPlainTextEdit*>(w)) return t->toPlainText();
  if (auto* t = qobject_cast<const QTextEdit*>(w)) return t->toPlainText();
  return {};
}

// The rows of a list: where each is on the screen (for a click) and its
// columns' texts, tab-separated.
QString Rows(const QTreeWidget* list) {
  QString out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = list->topLevelItem(i);
    const QRect r = list->visualItemRect(item);
    const QPoint g = list->viewport()->mapToGlobal(r.topLeft());
    QStringList cols;
    for (int c = 0; c < item->columnCount(); ++c) cols << item->text(c);
    out += QString("row %1 %2 %3 %4 %5 %6 %7\n")
               .arg(list->objectName())
               .arg(i)
               .arg(g.x())
               .arg(g.y())
               .arg(r.width())
               .arg(r.height())
               .arg(OneLine(cols.join('\t')));
  }
  return out;
}

QString Control(const QWidget* w, const QString& name) {
  const QPoint g = w->mapToGlobal(QPoint(0, 0));
  return QString("w %1 %2 %3 %4 %5 %6 %7 %8\n")
      .arg(name)
      .arg(w->isEnabled() ? 1 : 0)
      .arg(w->isVisible() ? 1 : 0)
      .arg(g.x())
      .arg(g.y())
      .arg(w->width())
      .arg(w->height())
      .arg(OneLine(TextOf(w)));
}

void Dump(TMainForm& form, const QString& path, int markers) {
  QString out;
  out += QString("markers=%1\n").arg(markers);
  out += "title=" + OneLine(form.windowTitle()) + "\n";
  out += QString("modified=%1\n").arg(form.Modified() ? 1 : 0);
  QString block;
  for (std::uint8_t b : form.Params().Block) block += QString("%1").arg(b, 2, 16, QChar('0'));
  out += "block=" + block + "\n";
  QWidget* focus = QApplication::focusWidget();
  QString focusName;
  for (QWidget* w = focus; w != nullptr && focusName.isEmpty(); w = w->parentWidget()) focusName = w->objectName();
  out += "focus=" + focusName + "\n";
  out += QString("active=%1\n").arg(form.isActiveWindow() ? 1 : 0);
  out += "lastmsg=" + OneLine(form.lstMsg->document()->lastBlock().text()) + "\n";
  out += "log=" + OneLine(form.lstMsg->toPlainText()) + "\n";
  auto rect = [](const QRect& r) { return QString("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()); };
  out += "frame=" + rect(form.frameGeometry()) + "\n";
  if (const QScreen* screen = form.screen()) {
    out += "avail=" + rect(screen->availableGeometry()) + "\n";
    out += QString("dpr=%1\n").arg(screen->devicePixelRatio());
  }
  for (QWidget* w : form.findChildren<QWidget*>()) {
    if (!w->objectName().isEmpty() && !w->accessibleName().isEmpty()) {
      out += "acc " + w->objectName() + "=" + OneLine(w->accessibleName()) + "\n";
    }
  }
  for (QWidget* w : form.findChildren<QWidget*>()) {
    if (!w->objectName().isEmpty()) out += Control(w, w->objectName());
    if (auto* list = qobject_cast<QTreeWidget*>(w); list != nullptr && list->isVisible()) out += Rows(list);
  }
  if (QWidget* popup = QApplication::activePopupWidget()) {
    out += QString("popup=%1\n").arg(QString::fromLatin1(popup->metaObject()->className()));
  }
  if (QWidget* modal = QApplication::activeModalWidget()) {
    QString text;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) text = box->text();
    out += QString("modal=%1:%2\n").arg(QString::fromLatin1(modal->metaObject()->className()), OneLine(text));
    if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->defaultButton() != nullptr) {
      out += "modaldefault=" + OneLine(box->defaultButton()->text()) + "\n";
    }
    for (auto* b : modal->findChildren<QAbstractButton*>()) {
      if (b->isVisible()) out += Control(b, "modal.button");
    }
  }
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return;
  f.write(out.toUtf8());
  f.commit();
}

}  // namespace

void InstallStateDump(TMainForm& form) {
  const char* path = std::getenv("FACSET_STATE_DUMP");
  if (path == nullptr || *path == '\0' || ::pipe(g_pipe) != 0) return;
  auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, &form);
  auto* markers = new MarkerCounter(&form);
  qApp->installEventFilter(markers);
  const QString file = QString::fromLocal8Bit(path);
  QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form, file, markers] {
    char buf[64];
    [[maybe_unused]] const auto n = ::read(g_pipe[0], buf, sizeof buf);
    Dump(form, file, markers->count);
  });
  std::signal(SIGUSR1, OnSignal);
}

}  // namespace facset
