#pragma once
// The main window in a tool folder of its own, with its dialogs answered by a
// script, and input delivered as the desktop delivers it. Shared by the
// window's widget tests.

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextEdit>
#include <QClipboard>
#include <QDir>
#include <QMimeData>
#include <QScreen>
#include <QWheelEvent>
#include <QtTest>
#include <memory>
#include <string>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/qt_dialogs.h"
#include "lang/lang.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"
#include "support/scripted_dialogs.h"
#include "support/temp_files.h"


namespace facset::testing::window {

inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }
inline std::string G(const char* utf8) { return Utf8ToGbk(utf8); }

// A parameter file: section "Set" with the language, then `factory` lines
// (one "key=value" per line), then `more` as written.
inline std::string ParamFile(const std::string& factory, const std::string& lang = "_cn", const std::string& more = "") {
  std::string s = "[Set]\r\nlngstr=" + lang + "\r\nIsEnabled=1\r\n[factory]\r\n";
  std::size_t start = 0;
  while (start < factory.size()) {
    std::size_t end = factory.find('\n', start);
    if (end == std::string::npos) end = factory.size();
    s += factory.substr(start, end - start) + "\r\n";
    start = end + 1;
  }
  return s + more;
}

// One tool folder with its configuration, the window and scripted dialogs.
class Tool {
 public:
  explicit Tool(const std::string& config = "", const QStringList& args = {}) {
    OverrideFilesDir(dir.path());
    if (!config.empty()) WriteFileBytes(dir / "facconfig.ini", config);
    ConfigStartup();
    form = std::make_unique<TMainForm>(args);
  }
  ~Tool() {
    form.reset();
    LangShutdown();
    OverrideFilesDir("");
  }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  template <class T>
  T* find(const QString& name) const {
    return form->findChild<T*>(name);
  }
  QComboBox* list(const QString& name) const { return find<QComboBox>(name); }
  QLineEdit* edit(const QString& name) const { return find<QLineEdit>(name); }
  std::uint8_t byte(int n) const { return form->Params().Block[static_cast<std::size_t>(n)]; }
  std::string config() const { return ReadFileBytes(dir / "facconfig.ini"); }

  // Focus changes need a shown, active window.
  bool showActive() {
    form->show();
    QApplication::setActiveWindow(form.get());
    return QTest::qWaitForWindowActive(form.get());
  }
  // Closes the window as the operator would; true when it closed.
  bool close() {
    QCloseEvent e;
    QApplication::sendEvent(form.get(), &e);
    return e.isAccepted();
  }
  // Chooses entry `index` of a list as the operator does (a change of the current index).
  static void choose(QComboBox* c, int index) { c->setCurrentIndex(index); }

  TempDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<TMainForm> form;
};

inline void Wheel(QWidget* target, int delta) {
  const QPointF pos(5, 5);
  QWheelEvent e(pos, target->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                Qt::NoScrollPhase, false);
  QApplication::sendEvent(target, &e);
}

inline void PressEnter(QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }

// Delete as a desktop keyboard delivers it: with the text DEL (127).
inline void PressDelete(QWidget* w) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
  QApplication::sendEvent(w, &release);
}

// Types one character as the keyboard delivers it (also outside Latin-1).
inline void TypeChar(QWidget* w, const QString& ch) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, ch);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, ch);
  QApplication::sendEvent(w, &release);
}

// Keys as the desktop delivers them: to the widget that has the focus.
inline void TypeToFocus(const QString& text) {
  for (const QString& ch : text.split(QString(), Qt::SkipEmptyParts)) {
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus != nullptr);
    if (ch.size() == 1 && ch[0].unicode() < 128) {
      QTest::keyClick(focus, ch[0].toLatin1());
    } else {
      TypeChar(focus, ch);
    }
  }
}

inline void KeyToFocus(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QWidget* focus = QApplication::focusWidget();
  QVERIFY(focus != nullptr);
  QTest::keyClick(focus, key, mods);
}

// The typical rows of a parameter file used by several tests; `b19` is byte 19,
// the list that enables the text field at byte 20.
inline std::string Rows(int b19 = 0) {
  return "byte[14 ]=3\nbyte[14 ]t=Mode\nbyte[14 ]n=1\nbyte[14 ]k=0\nbyte[14 ]0=Off\nbyte[14 ]1=On\n"
    "byte[15 ]=1\nbyte[15 ]t=Only\nbyte[15 ]n=1\nbyte[15 ]1=On\n"
    "byte[16 ]=7\nbyte[16 ]t=Count\nbyte[16 ]n=1\nbyte[16 ]x=a number\n"
    "byte[19 ]=" + std::to_string(b19) + "\nbyte[19 ]t=Custom\nbyte[19 ]n=1\nbyte[19 ]0=No\nbyte[19 ]1=Yes\n"
    "byte[20 ]=65\nbyte[21 ]=66\nbyte[20 ]t=Text\nbyte[20 ]n=8\nbyte[20 ]k=1\n"
    "byte[30 ]=3\nbyte[31 ]=232\nbyte[30 ]t=Max\nbyte[30 ]n=2\nbyte[30 ]x=grams\n"
    "byte[40 ]n=3\nbyte[40 ]x=no caption\n"
    "byte[43 ]t=Zero width\nbyte[43 ]n=0\n"
    "byte[44 ]t=After\nbyte[44 ]n=1\nbyte[44 ]0=a\nbyte[44 ]1=b\n";
}

// Drops text at the middle of `target` as a desktop does: enter, move, drop.
inline void DropText(QWidget* target, const QString& text) {
  QMimeData data;
  data.setText(text);
  const QPointF at(target->width() / 2.0, target->height() / 2.0);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDragMoveEvent move(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &move);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
}

}  // namespace facset::testing::window

