// The main window driven through its real widgets: typing, choosing, focus,
// Enter, wheel and closing, with the dialogs answered by a script.

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

using namespace facset;
using facset::testing::ReadFileBytes;
using facset::DialogCall;
using facset::ScriptedDialogs;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }
std::string G(const char* utf8) { return Utf8ToGbk(utf8); }

// A parameter file: section "Set" with the language, then `factory` lines
// (one "key=value" per line), then `more` as written.
std::string ParamFile(const std::string& factory, const std::string& lang = "_cn", const std::string& more = "") {
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

void Wheel(QWidget* target, int delta) {
  const QPointF pos(5, 5);
  QWheelEvent e(pos, target->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                Qt::NoScrollPhase, false);
  QApplication::sendEvent(target, &e);
}

void PressEnter(QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }

// Delete as a desktop keyboard delivers it: with the text DEL (127).
void PressDelete(QWidget* w) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
  QApplication::sendEvent(w, &release);
}

// Types one character as the keyboard delivers it (also outside Latin-1).
void TypeChar(QWidget* w, const QString& ch) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, ch);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, ch);
  QApplication::sendEvent(w, &release);
}

// Keys as the desktop delivers them: to the widget that has the focus.
void TypeToFocus(const QString& text) {
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

void KeyToFocus(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QWidget* focus = QApplication::focusWidget();
  QVERIFY(focus != nullptr);
  QTest::keyClick(focus, key, mods);
}

// The typical rows of a parameter file used by several tests; `b19` is byte 19,
// the list that enables the text field at byte 20.
std::string Rows(int b19 = 0) {
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

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private slots:
  void firstRunInEmptyFolder();
  void englishCatalog();
  void windowTextRules();
  void commandLineSwitch_data();
  void commandLineSwitch();
  void layoutFollowsResize();
  void splitterDragsRightColumn();
  void generatedRows();
  void twoChoiceLists();
  void numericLists();
  void textFields();
  void textLongerThanWidthInBytes();
  void keyFilters();
  void coupling19And20();
  void isEnabledFalseLocksEditing();
  void definitionsBreakingInvariants();
  void fixedLists();
  void gravityManualInput();
  void gravityRange_data();
  void gravityRange();
  void gravityRegionsAndNotSet();
  void gravityNotANumber();
  void linkHandlersNeverModify();
  void firmwareHandlersModify();
  void startupLoadLeavesUnmodified();
  void closeQuestion();
  void closeWhenSaveFails();
  void openCommand();
  void openCancelled();
  void openFailingLanguageSwitch();
  void qtMessageBoxes();
  void saveAsKeepsOtherSections();
  void wheelScrollsByFocus();
  void messageList();
  void keysGoWhereTheKeyboardSendsThem();
  void pastesKeepOnlyWhatTheFieldAllows_data();
  void pastesKeepOnlyWhatTheFieldAllows();
  void dropsKeepOnlyWhatTheFieldAllows();
  void escapeDoesNotAnswerTheSaveQuestion();
  void openFailureLeavesTheWindowAsItWas();
  void fileNamesGbkCannotHold();
  void loneCarriageReturnBreaksGeneratedLabels();
  void textNotValidGbkRewrittenOnlyWhenEdited();
};

void MainFormTest::firstRunInEmptyFolder() {
  Tool t;
  const std::string cfg = t.config();
  QVERIFY(cfg.find("lngstr=_cn") != std::string::npos);
  QVERIFY(cfg.find("IsEnabled=1") != std::string::npos);
  QVERIFY(testing::FileExists(t.dir / "kelvaset_cn.lng"));
  QCOMPARE(t.form->windowTitle(), U("Tarvik标签称工厂设定"));
  QCOMPARE(t.find<QPushButton>("btnopen")->text(), U("打开参数文件"));
  QCOMPARE(t.find<QGroupBox>("GroupBox2")->title(), U("工厂参数设置"));
  QCOMPARE(t.list("cbb1")->itemText(3), U("吊秤"));
  QCOMPARE(t.list("Cboxbdgb")->itemText(0), U("未设置"));
  // No definitions: no rows, the placeholders are gone too.
  QVERIFY(t.find<QLabel>("Label4") == nullptr);
  QCOMPARE(t.find<QWidget>("PnlCtrlCbox")->findChildren<QWidget*>().size(), 0);
  QCOMPARE(t.edit("edtbdgb")->text(), U("0.0000"));
  QVERIFY(t.find<QCheckBox>("ChkDownProg")->isChecked());
  QVERIFY(!t.form->Modified());
  QVERIFY(t.find<QTextEdit>("lstDispValue")->toPlainText().startsWith("00: A6 00"));
  QVERIFY(t.close());
  QVERIFY(t.dialogs.calls.empty());
}

void MainFormTest::englishCatalog() {
  Tool t(ParamFile("byte[1  ]=4", "_en"));
  QVERIFY(testing::FileExists(t.dir / "kelvaset_en.lng"));
  QCOMPARE(t.form->windowTitle(), U("Tarvik sCales factory"));
  QCOMPARE(t.find<QPushButton>("btnopen")->text(), U("Open File"));
  QCOMPARE(t.find<QPushButton>("btnDownload")->text(), U("Download parameters"));
  QCOMPARE(t.find<QCheckBox>("chkUseCom")->text(), U("Use Com"));
  QCOMPARE(t.find<QLabel>("Label5")->text(), U("target\ngravity"));
  QCOMPARE(t.find<QLabel>("Label2")->text(), U("Message："));
  QCOMPARE(t.list("cbb1")->currentText(), U("7272 scales screen"));
  QCOMPARE(t.list("CboxTaggb")->itemText(1), U("Manual"));
}

void MainFormTest::windowTextRules() {
  // A translator's additions to the Chinese file, written before start-up.
  const std::string lng = "[MainForm]\r\nLabel9.Caption=" + G("列") +
                          "\r\nlstMsg.Caption=never\r\nPanel7.Caption=never\r\n"
                          "edtAuto20.Caption=never\r\nLabel3.Caption=\r\n";
  Tool t(ParamFile(Rows()));
  t.form.reset();
  LangShutdown();
  WriteFileBytes(t.dir / "kelvaset_cn.lng", lng);
  ConfigStartup();
  t.form = std::make_unique<TMainForm>(QStringList{});
  QCOMPARE(t.find<QLabel>("Label9")->text(), U("列"));
  QCOMPARE(t.find<QPlainTextEdit>("lstMsg")->toPlainText(), QString());  // empty text: never looked up
  QCOMPARE(t.edit("edtAuto20")->text(), U("AB"));                         // generated: never visited
  // "Label3.Caption" is a catalog key: the blank entry was restored first.
  QCOMPARE(t.find<QLabel>("Label3")->text(), U("设定值:"));
}

void MainFormTest::commandLineSwitch_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<bool>("editorOnly");
  QTest::newRow("VLQ7200") << QStringList{"VLQ7200"} << true;
  QTest::newRow("VLQ7200 and more") << QStringList{"VLQ7200", "x"} << true;
  QTest::newRow("other case") << QStringList{"vlq7200"} << false;
  QTest::newRow("second argument") << QStringList{"x", "VLQ7200"} << false;
  QTest::newRow("none") << QStringList{} << false;
}

void MainFormTest::commandLineSwitch() {
  QFETCH(QStringList, args);
  QFETCH(bool, editorOnly);
  Tool t("", args);
  t.form->show();
  QCOMPARE(t.find<QWidget>("GrpIPSet")->isVisible(), !editorOnly);
  QCOMPARE(t.find<QWidget>("btnDownload")->isVisible(), !editorOnly);
  QCOMPARE(t.find<QWidget>("btnClose")->x(), editorOnly ? 511 : 632);
  QVERIFY(!t.find<QWidget>("btn3")->isVisible());
  // Without the connection group the rest moves up to the window's top.
  QCOMPARE(t.find<QWidget>("Panel1")->y(), editorOnly ? 0 : 54);
}

void MainFormTest::layoutFollowsResize() {
  Tool t;
  t.form->show();
  // Placed once shown: 944 x 636 outside, frame included.
  QTRY_COMPARE(t.form->frameGeometry().size(), QSize(944, 636));
  for (const QSize size : {QSize(944, 636), QSize(1200, 800), QSize(700, 500)}) {
    t.form->resize(size);
    QApplication::processEvents();
    auto* grp = t.find<QWidget>("GrpIPSet");
    auto* panel1 = t.find<QWidget>("Panel1");
    auto* panel3 = t.find<QWidget>("Panel3");
    auto* panel4 = t.find<QWidget>("Panel4");
    auto* splitter = t.find<QWidget>("Splitter1");
    auto* panel2 = t.find<QWidget>("Panel2");
    QCOMPARE(grp->geometry(), QRect(0, 0, size.width(), 54));
    QCOMPARE(panel1->geometry(), QRect(0, 54, size.width(), size.height() - 54));
    QCOMPARE(panel3->geometry(), QRect(0, panel1->height() - 62, size.width(), 62));
    QCOMPARE(panel4->geometry(), QRect(size.width() - 330, 0, 330, panel1->height() - 62));
    QCOMPARE(splitter->geometry(), QRect(size.width() - 338, 0, 8, panel4->height()));
    QCOMPARE(panel2->geometry(), QRect(0, 0, size.width() - 338, panel4->height()));
    // The right column: set values on top, messages fill the rest.
    QCOMPARE(t.find<QWidget>("Panel5")->height(), 261);
    QCOMPARE(t.find<QWidget>("lstDispValue")->height(), 213);
    auto* msg = t.find<QWidget>("lstMsg");
    QCOMPARE(msg->y(), 32);
    QCOMPARE(msg->parentWidget()->height(), panel4->height() - 2 - 261);
    // The fixed settings span the scroll area's width.
    auto* panel7 = t.find<QWidget>("Panel7");
    QCOMPARE(panel7->height(), 141);
    QCOMPARE(panel7->width(), panel7->parentWidget()->width());
    QCOMPARE(t.find<QWidget>("PnlCtrlCbox")->geometry().topLeft(), QPoint(1, 151));
  }
  // Fixed placements of the table.
  QCOMPARE(t.find<QWidget>("edtIP")->geometry(), QRect(40, 20, 106, 24));
  QCOMPARE(t.find<QWidget>("btnDispValue")->geometry(), QRect(397, 13, 90, 38));
  QCOMPARE(t.find<QWidget>("cbb3")->geometry().topLeft(), QPoint(393, 40));
  QCOMPARE(t.find<QWidget>("cbb3")->width(), 150);
  QCOMPARE(t.find<QWidget>("edttaggb")->x(), 391);
  QVERIFY(!t.find<QWidget>("CboxCom")->isEnabled());
  QVERIFY(t.find<QPlainTextEdit>("lstMsg")->isReadOnly() == false);
  QVERIFY(t.find<QTextEdit>("lstDispValue")->isReadOnly());
}

void MainFormTest::splitterDragsRightColumn() {
  Tool t;
  t.form->show();
  QTRY_COMPARE(t.form->frameGeometry().size(), QSize(944, 636));
  t.form->resize(944, 636);
  QApplication::processEvents();
  auto* splitter = t.find<QWidget>("Splitter1");
  auto* panel4 = t.find<QWidget>("Panel4");
  QTest::mousePress(splitter, Qt::LeftButton, {}, QPoint(4, 50));
  QTest::mouseMove(splitter, QPoint(4 - 100, 50));
  QTest::mouseRelease(splitter, Qt::LeftButton, {}, QPoint(4 - 100, 50));
  QCOMPARE(panel4->width(), 430);
  QCOMPARE(panel4->x(), 944 - 430);
  QCOMPARE(t.find<QWidget>("Panel2")->width(), 944 - 438);
  // Dragging far to the right never hides the column.
  QTest::mousePress(splitter, Qt::LeftButton, {}, QPoint(4, 50));
  QTest::mouseMove(splitter, QPoint(4 + 2000, 50));
  QTest::mouseRelease(splitter, Qt::LeftButton, {}, QPoint(4 + 2000, 50));
  QCOMPARE(panel4->width(), 30);
}

void MainFormTest::generatedRows() {
  Tool t(ParamFile(Rows()));
  auto* panel = t.find<QWidget>("PnlCtrlCbox");
  // Rows: 14, 15, 16, 19, 20, 30 (40 has no caption, 43 no width), 44.
  const std::pair<const char*, int> rows[] = {{"CboxAuto14", 14}, {"CboxAuto15", 15}, {"CboxAuto16", 16},
                                              {"CboxAuto19", 19}, {"edtAuto20", 20},   {"CboxAuto30", 30},
                                              {"CboxAuto44", 44}};
  int i = 0;
  for (const auto& [name, tag] : rows) {
    auto* w = t.find<QWidget>(name);
    QVERIFY2(w != nullptr, name);
    QCOMPARE(w->parentWidget(), panel);
    QCOMPARE(w->y(), 1 + 30 * i++);
    QCOMPARE(w->x(), 93);
    QCOMPARE(w->property("tag").toInt(), tag);
  }
  QVERIFY(t.find<QWidget>("CboxAuto40") == nullptr);
  QVERIFY(t.find<QWidget>("CboxAuto43") == nullptr);
  QCOMPARE(panel->height(), 1 + 7 * 30 + 30);
  QCOMPARE(t.list("CboxAuto14")->width(), 300);
  QCOMPARE(t.list("CboxAuto16")->width(), 120);
  QCOMPARE(t.edit("edtAuto20")->width(), 324);
  // Labels: the caption at y - 3, the note beside a numeric list in blue.
  int captions = 0;
  bool note = false;
  for (QLabel* l : panel->findChildren<QLabel*>()) {
    if (l->text() == "Mode") {
      ++captions;
      QCOMPARE(l->geometry(), QRect(24, -2, 68, 30));
    }
    if (l->text() == "grams") {
      note = true;
      QCOMPARE(l->geometry(), QRect(220, 1 + 5 * 30 - 3, 500, 30));
      QCOMPARE(l->palette().color(QPalette::WindowText), QColor(Qt::blue));
    }
  }
  QCOMPARE(captions, 1);
  QVERIFY(note);
  // Generation itself changes nothing.
  QVERIFY(!t.form->Modified());
}

void MainFormTest::twoChoiceLists() {
  Tool t(ParamFile(Rows()));
  auto* mode = t.list("CboxAuto14");
  QCOMPARE(mode->count(), 2);
  QCOMPARE(mode->currentText(), U("On"));  // bit 0 of 3
  Tool::choose(mode, 0);
  QCOMPARE(t.byte(14), 0);
  QVERIFY(t.form->Modified());
  // Only Option1: one entry at index 0; byte 1 selects nothing; choosing writes 0.
  auto* only = t.list("CboxAuto15");
  QCOMPARE(only->count(), 1);
  QCOMPARE(only->itemText(0), U("On"));
  QCOMPARE(only->currentIndex(), -1);
  Tool::choose(only, 0);
  QCOMPARE(t.byte(15), 0);
  QVERIFY(t.find<QTextEdit>("lstDispValue")->toPlainText().startsWith(
      "00: A6 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"));
}

void MainFormTest::numericLists() {
  Tool t(ParamFile(Rows()));
  auto* max = t.list("CboxAuto30");
  QCOMPARE(max->currentText(), U("1000"));
  QCOMPARE(max->count(), 256);
  // Typing 70000 into a two-byte list: refused at the fifth digit.
  max->lineEdit()->clear();
  QTest::keyClicks(max->lineEdit(), "70000");
  const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
  QCOMPARE(msgs.size(), std::size_t{1});
  QCOMPARE(msgs[0].text, G(" 不能大于最大值65535").substr(1));
  QCOMPARE(msgs[0].title, std::string());
  QCOMPARE(msgs[0].icon, MsgIcon::Error);
  QCOMPARE(max->currentText(), U("7000"));  // what the bytes hold, not an empty list
  QCOMPARE(t.byte(30), 0x1B);  // 7000, the last accepted keystroke
  QCOMPARE(t.byte(31), 0x58);

  // A one-byte list: 3 and 30 pass, 300 is refused with 255.
  t.dialogs.calls.clear();
  auto* count = t.list("CboxAuto16");
  QCOMPARE(count->currentText(), U("7"));
  count->lineEdit()->clear();
  QCOMPARE(t.byte(16), 0);  // emptying writes 0
  QTest::keyClicks(count->lineEdit(), "300");
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QVERIFY(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text.find("255") != std::string::npos);
  QCOMPARE(t.byte(16), 30);
  QCOMPARE(count->currentText(), U("30"));
  // Choosing an entry from the list writes it too.
  count->setCurrentIndex(200);
  QCOMPARE(t.byte(16), 200);
}

void MainFormTest::textFields() {
  Tool t(ParamFile(Rows(1)));
  auto* text = t.edit("edtAuto20");
  QCOMPARE(text->text(), U("AB"));
  QCOMPARE(text->maxLength(), 8);
  text->setCursorPosition(2);
  QTest::keyClicks(text, "C");
  for (int i = 0; i < 8; ++i) QCOMPARE(t.byte(20 + i), i < 3 ? "ABC"[i] : 0);
  QVERIFY(t.form->Modified());
}

void MainFormTest::textLongerThanWidthInBytes() {
  // Stored GBK text takes two bytes a character: "中文中" is 6 of the 8 bytes.
  const std::string gbk = G("中文中");
  std::string rows = "byte[20 ]t=Text\nbyte[20 ]n=8\nbyte[20 ]k=1\n";
  for (std::size_t i = 0; i < gbk.size(); ++i) {
    rows += "byte[" + std::to_string(20 + i) + (20 + i < 100 ? " " : "") + "]=" +
            std::to_string(static_cast<unsigned char>(gbk[i])) + "\n";
  }
  Tool t(ParamFile(rows));
  auto* text = t.edit("edtAuto20");
  QCOMPARE(text->text(), U("中文中"));
  text->end(false);
  QTest::keyClicks(text, "AB");
  QCOMPARE(t.byte(27), 'B');
  QTest::keyClicks(text, "C");  // 9 bytes: refused, bytes kept
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, G("长度不能大于8"));
  QCOMPARE(t.byte(20), static_cast<unsigned char>(gbk[0]));
  QCOMPARE(t.byte(27), 'B');
}

void MainFormTest::keyFilters() {
  Tool t(ParamFile(Rows(1)));
  auto* count = t.list("CboxAuto16")->lineEdit();
  count->clear();
  QTest::keyClicks(count, "1a-2.b3");
  QCOMPARE(count->text(), U("123"));
  QTest::keyClick(count, Qt::Key_Backspace);
  QCOMPARE(count->text(), U("12"));
  QCOMPARE(t.byte(16), 12);
  auto* text = t.edit("edtAuto20");
  text->clear();
  TypeChar(text, "a");
  TypeChar(text, U("中"));
  TypeChar(text, U("é"));
  TypeChar(text, "b");
  QCOMPARE(text->text(), U("ab"));
  auto* gravity = t.edit("edtbdgb");
  gravity->clear();
  QTest::keyClicks(gravity, "9x.8.1,5");
  QCOMPARE(gravity->text(), U("9.815"));
  // Delete is an editing key, not a typed character: every filter lets it through.
  struct DeleteCase {
    QLineEdit* field;
    QString after;
  };
  const DeleteCase deletes[] = {{count, "2"}, {text, "b"}, {gravity, ".815"}};
  for (const DeleteCase& d : deletes) {
    d.field->setCursorPosition(0);
    PressDelete(d.field);
    QCOMPARE(d.field->text(), d.after);
  }
  QCOMPARE(t.byte(16), 2);
}

void MainFormTest::coupling19And20() {
  {
    Tool t(ParamFile(Rows()));  // byte 19 = 0
    auto* list = t.list("CboxAuto19");
    auto* text = t.edit("edtAuto20");
    QVERIFY(!text->isEnabled());
    Tool::choose(list, 1);
    QVERIFY(text->isEnabled());
    Tool::choose(list, 0);
    QVERIFY(!text->isEnabled());
  }
  {
    Tool t(ParamFile(Rows(1)));
    QVERIFY(t.edit("edtAuto20")->isEnabled());
  }
}

void MainFormTest::isEnabledFalseLocksEditing() {
  std::string cfg = ParamFile(Rows(1) + "bdgbIndex=1\n");
  cfg.replace(cfg.find("IsEnabled=1"), 11, "IsEnabled=0");
  Tool t(cfg);
  for (const char* name : {"CboxAuto14", "CboxAuto16", "CboxAuto19", "edtAuto20", "cbb1", "cbb2", "cbb3", "Cbb4",
                           "Cbb6", "Cboxbdgb", "edtbdgb", "CboxTaggb", "edttaggb"}) {
    QVERIFY2(!t.find<QWidget>(name)->isEnabled(), name);
  }
  for (QLabel* l : t.find<QWidget>("PnlCtrlCbox")->findChildren<QLabel*>()) QVERIFY(l->isEnabled());
  // The rest of the window stays usable.
  QVERIFY(t.find<QWidget>("btnopen")->isEnabled());
  QVERIFY(t.find<QWidget>("ChkDownProg")->isEnabled());
}

void MainFormTest::definitionsBreakingInvariants() {
  // A text parameter running past byte 255 is shortened to the block; a
  // numeric parameter of 4 bytes is shown read-only.
  Tool t(ParamFile(
      "byte[250]=88\nbyte[250]t=Tail\nbyte[250]n=10\nbyte[250]k=1\n"
      "byte[100]=1\nbyte[103]=2\nbyte[100]t=Wide\nbyte[100]n=4\nbyte[100]x=four bytes\n"));
  auto* tail = t.edit("edtAuto250");
  QCOMPARE(tail->maxLength(), 6);
  QCOMPARE(tail->text(), U("X"));
  tail->setText("ABCDEF");
  QCOMPARE(t.byte(255), 'F');
  QVERIFY(t.dialogs.CallsOf(DialogCall::Kind::Message).empty());
  tail->setText("ABCDEFG");  // cut to the maximum length by the field itself
  QCOMPARE(t.byte(255), 'F');

  auto* wide = t.list("CboxAuto100");
  QVERIFY(wide->lineEdit()->isReadOnly());
  QCOMPARE(wide->currentText(), U("16777218"));
  QTest::keyClicks(wide->lineEdit(), "5");
  QCOMPARE(t.byte(100), 1);
  QCOMPARE(t.byte(103), 2);

  // A width far beyond the block: one row, and the walk ends at the block's end.
  Tool huge(ParamFile("byte[14 ]t=Huge\nbyte[14 ]n=2147483647\nbyte[14 ]0=a\n"
                      "byte[15 ]t=Covered\nbyte[15 ]n=1\nbyte[15 ]0=a\n"));
  QVERIFY(huge.list("CboxAuto14") != nullptr);
  QVERIFY(huge.list("CboxAuto15") == nullptr);
  QCOMPARE(huge.find<QWidget>("PnlCtrlCbox")->height(), 61);
}

void MainFormTest::fixedLists() {
  Tool t(ParamFile("byte[1  ]=1\nbyte[6  ]=9"));
  auto* cbb1 = t.list("cbb1");
  QCOMPARE(cbb1->currentIndex(), 1);
  QCOMPARE(t.list("Cbb6")->currentIndex(), -1);  // beyond the list: nothing selected
  QVERIFY(!t.form->Modified());
  Tool::choose(cbb1, 3);
  QCOMPARE(t.byte(1), 3);
  Tool::choose(cbb1, 4);
  QCOMPARE(t.byte(1), 4);
  Tool::choose(t.list("Cbb4"), 1);
  QCOMPARE(t.byte(4), 1);
  QVERIFY(t.form->Modified());
  QCOMPARE(t.list("CboxCom")->count(), 7);
  QCOMPARE(t.list("CboxCom")->itemText(6), U("COM16"));
}

void MainFormTest::gravityManualInput() {
  Tool t;
  QVERIFY(t.showActive());
  auto* list = t.list("Cboxbdgb");
  auto* field = t.edit("edtbdgb");
  Tool::choose(list, 1);
  QCOMPARE(field->text(), U("0"));
  QVERIFY(field->isEnabled());
  QTRY_VERIFY(field->hasFocus());
  QCOMPARE(t.byte(7), 98);
  // Leaving the field with "0": the range message, the focus comes back.
  t.find<QWidget>("edtFilePath")->setFocus();
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, G("重力值必须在9.7000~9.9000之间，请重新输入"));
  QTRY_VERIFY(field->hasFocus());
  // 9.8 and Enter: stored at once, view refreshed, focus stays.
  field->clear();
  QTest::keyClicks(field, "9.8");
  PressEnter(field);
  QCOMPARE(t.byte(8), 0x01);
  QCOMPARE(t.byte(9), 0x7E);
  QCOMPARE(t.byte(10), 0xD0);
  QVERIFY(t.find<QTextEdit>("lstDispValue")->toPlainText().startsWith("00: A6 00 00 00 00 00 00 62 01 7E D0"));
  QVERIFY(field->hasFocus());
  QCOMPARE(field->text(), U("9.8"));  // Enter is not inserted
}

void MainFormTest::gravityRange_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("stored");  // -1: refused
  QTest::newRow("lowest") << "9.7" << 97000;
  QTest::newRow("highest") << "9.9" << 99000;
  QTest::newRow("fifth decimal cut") << "9.80001" << 98000;
  QTest::newRow("below") << "9.69" << -1;
  QTest::newRow("above") << "9.91" << -1;
}

void MainFormTest::gravityRange() {
  QFETCH(QString, text);
  QFETCH(int, stored);
  Tool t;
  Tool::choose(t.list("CboxTaggb"), 1);
  auto* field = t.edit("edttaggb");
  field->setText(text);
  PressEnter(field);
  const int k = t.byte(11) << 16 | t.byte(12) << 8 | t.byte(13);
  if (stored < 0) {
    QCOMPARE(k, 0);
    QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  } else {
    QCOMPARE(k, stored);
    QVERIFY(t.dialogs.CallsOf(DialogCall::Kind::Message).empty());
  }
  QCOMPARE(t.byte(7), 0);  // the use-site list never touches the flag
}

void MainFormTest::gravityRegionsAndNotSet() {
  Tool t(ParamFile("bdgbIndex=0", "_cn",
                   "[Aregb]\r\nAregb0=North=9.8015\r\nAregb1=Far=9.95\r\nAregb2=South=9.7936\r\n"));
  auto* list = t.list("Cboxbdgb");
  auto* field = t.edit("edtbdgb");
  QCOMPARE(list->count(), 5);
  QCOMPARE(list->itemText(2), U("North"));
  Tool::choose(list, 2);
  QCOMPARE(field->text(), U("9.8015"));
  QVERIFY(!field->isEnabled());
  QCOMPARE(t.byte(7), 98);
  QCOMPARE(t.byte(8), 0x01);
  QCOMPARE(t.byte(9), 0x7E);
  QCOMPARE(t.byte(10), 0xDF);
  // A region outside the range: the message; bytes kept, flag and index follow.
  Tool::choose(list, 3);
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.byte(10), 0xDF);
  QCOMPARE(t.form->Params().bdgbIndex, 3);
  // Not set: field emptied and disabled, bytes 7..10 zero; the choice is an
  // edit: Modified, and the view shows the bytes now held.
  Tool::choose(list, 0);
  QCOMPARE(field->text(), QString());
  QVERIFY(!field->isEnabled());
  for (int b = 7; b <= 10; ++b) QCOMPARE(t.byte(b), 0);
  QVERIFY(t.find<QTextEdit>("lstDispValue")->toPlainText().startsWith(U("00: A6 00 00 00 00 00 00 00 00 00 00")));
  QVERIFY(t.form->Modified());
  // The use-site list: bytes 11..13 only.
  Tool::choose(t.list("CboxTaggb"), 4);
  QCOMPARE(t.byte(7), 0);
  QCOMPARE(t.byte(11) << 16 | t.byte(12) << 8 | t.byte(13), 97936);
}

void MainFormTest::gravityNotANumber() {
  Tool t(ParamFile("", "_cn", "[Aregb]\r\nAregb0=Bad=abc\r\n"));
  Tool::choose(t.list("Cboxbdgb"), 2);
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, std::string("'abc' is not a valid floating point value"));
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].icon, MsgIcon::Error);
  // "." alone, typed into the manual field.
  t.dialogs.calls.clear();
  Tool::choose(t.list("CboxTaggb"), 1);
  t.edit("edttaggb")->setText(".");
  PressEnter(t.edit("edttaggb"));
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, std::string("'.' is not a valid floating point value"));
  // The window goes on working.
  Tool::choose(t.list("cbb1"), 2);
  QCOMPARE(t.byte(1), 2);
}

void MainFormTest::linkHandlersNeverModify() {
  Tool t(ParamFile("", "_cn", "[port]\r\nip=127.0.0.1\r\ncom=2\r\nuse com=0\r\n"));
  auto* use = t.find<QCheckBox>("chkUseCom");
  auto* com = t.list("CboxCom");
  QCOMPARE(t.edit("edtIP")->text(), U("127.0.0.1"));
  QCOMPARE(com->currentIndex(), 2);
  QVERIFY(!com->isEnabled());
  use->click();
  QVERIFY(com->isEnabled());
  QVERIFY(t.form->Params().UseCom);
  Tool::choose(com, 5);
  QCOMPARE(t.form->Params().ComIndex, 5);
  t.edit("edtIP")->setText("127.0.0.2");
  QCOMPARE(t.form->Params().DeviceIp, std::string("127.0.0.2"));
  use->click();
  QVERIFY(!com->isEnabled());
  QVERIFY(!t.form->Params().UseCom);
  QVERIFY(!t.form->Modified());
  QVERIFY(t.close());
  QVERIFY(t.dialogs.calls.empty());
}

void MainFormTest::firmwareHandlersModify() {
  {
    Tool t;
    t.find<QCheckBox>("ChkDownProg")->click();
    QVERIFY(!t.edit("edtFilePath")->isEnabled());
    QVERIFY(t.form->Modified());
  }
  {
    Tool t;
    QTest::keyClicks(t.edit("edtFilePath"), "x");
    QVERIFY(t.form->Modified());
  }
  {
    Tool t;
    t.dialogs.openPaths.push_back("/tmp/固件.hex");  // file-system paths are UTF-8
    t.find<QPushButton>("Button1")->click();
    QCOMPARE(t.edit("edtFilePath")->text(), U("/tmp/固件.hex"));
    QVERIFY(t.form->Modified());
    const auto& req = t.dialogs.calls.back().request;
    QCOMPARE(req.filter, std::string("Binary Files|*.hex|All Files|*.*"));
    QCOMPARE(req.initialDir, t.dir.path() + "/");
    // Saved as GBK bytes, as files made elsewhere hold it.
    t.find<QPushButton>("Button2")->click();
    QVERIFY(t.config().find("binFilePath=" + G("/tmp/固件.hex") + "\r\n") != std::string::npos);
    QVERIFY(t.config().find("binFilePathUtf8") == std::string::npos);
  }
  {
    Tool t;  // a cancelled choice changes nothing
    t.find<QPushButton>("Button1")->click();
    QVERIFY(!t.form->Modified());
  }
  {
    // 255 characters limit typing only: a longer stored path is shown and saved whole.
    const std::string longPath = "/fw/" + std::string(296, 'p') + ".hex";
    Tool t(ParamFile("binFilePath=" + longPath));
    auto* path = t.edit("edtFilePath");
    QCOMPARE(path->text().size(), qsizetype{304});
    path->end(false);
    QTest::keyClicks(path, "x");
    QCOMPARE(path->text().size(), qsizetype{304});
    t.find<QPushButton>("Button2")->click();
    QVERIFY(t.config().find("binFilePath=" + longPath + "\r\n") != std::string::npos);
    path->setText(QString(254, 'a'));
    QTest::keyClicks(path, "bcd");
    QCOMPARE(path->text(), QString(254, 'a') + "b");
    path->setSelection(0, 3);
    QTest::keyClicks(path, "z");  // typing over a selection stays within the limit
    QCOMPARE(path->text().size(), qsizetype{253});
  }
}

void MainFormTest::startupLoadLeavesUnmodified() {
  Tool t(ParamFile("IsDownkDownProg=0\nbinFilePath=  /tmp/a.hex  ", "_cn",
                   "[port]\r\nip=127.0.0.1\r\nuse com=1\r\ncom=9\r\n"));
  QVERIFY(!t.find<QCheckBox>("ChkDownProg")->isChecked());
  QVERIFY(!t.edit("edtFilePath")->isEnabled());
  QCOMPARE(t.edit("edtFilePath")->text(), U("/tmp/a.hex"));
  QVERIFY(t.list("CboxCom")->isEnabled());
  QCOMPARE(t.list("CboxCom")->currentIndex(), -1);
  QCOMPARE(t.form->Params().ComIndex, -1);  // the field says what the list shows
  QVERIFY(!t.form->Modified());
}

void MainFormTest::closeQuestion() {
  const std::string cfg = ParamFile(Rows());
  {
    Tool t(cfg);
    const std::string before = t.config();
    Tool::choose(t.list("cbb1"), 3);
    QVERIFY(t.close());  // answer No
    QCOMPARE(t.dialogs.calls.size(), std::size_t{1});
    QCOMPARE(t.dialogs.calls[0].kind, DialogCall::Kind::YesNo);
    QCOMPARE(t.dialogs.calls[0].text, G("当前设置未保存，是否要进行保存？"));
    QCOMPARE(t.dialogs.calls[0].icon, MsgIcon::Question);
    QCOMPARE(t.dialogs.calls[0].title, std::string());
    QCOMPARE(t.config(), before);
  }
  {
    Tool t(cfg);
    Tool::choose(t.list("cbb1"), 3);
    t.dialogs.yesNo.push_back(true);
    QVERIFY(t.close());
    QVERIFY(t.config().find("byte[1  ]=3") != std::string::npos);
    QVERIFY(t.config().find("byte[14 ]t=Mode") != std::string::npos);
    QVERIFY(!t.form->Modified());
  }
  {
    Tool t(cfg);  // the close button asks the same
    Tool::choose(t.list("cbb2"), 1);
    t.dialogs.yesNo.push_back(true);
    t.form->show();
    t.find<QPushButton>("btnClose")->click();
    QVERIFY(!t.form->isVisible());
    QVERIFY(t.config().find("byte[2  ]=1") != std::string::npos);
  }
}

void MainFormTest::closeWhenSaveFails() {
  Tool t(ParamFile(Rows()));
  Tool::choose(t.list("cbb1"), 2);
  const std::string before = t.config();
  {
    testing::FileSizeLimit limit(before.size() / 2);
    t.dialogs.yesNo.push_back(true);
    QVERIFY(!t.close());  // stays open
  }
  const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
  QCOMPARE(msgs.size(), std::size_t{1});
  QVERIFY(msgs[0].text.find("Unable to write to") == 0);
  QVERIFY(t.form->Modified());
  QCOMPARE(t.config(), before);
  // Closing again asks again.
  t.dialogs.calls.clear();
  QVERIFY(t.close());
  QCOMPARE(t.dialogs.calls.size(), std::size_t{1});
}

void MainFormTest::openCommand() {
  Tool t(ParamFile("byte[1  ]=1"));
  const std::string other = t.dir / "other.ini";
  WriteFileBytes(other, "[factory]\r\nbyte[1  ]=2\r\nbyte[14 ]t=Opened\r\nbyte[14 ]n=1\r\nbyte[14 ]0=x\r\n"
                        "[Set]\r\nlngstr=_en\r\n");
  t.dialogs.openPaths.push_back(other);
  t.find<QPushButton>("btnopen")->click();
  const auto& req = t.dialogs.calls.front().request;
  QCOMPARE(req.filter, std::string("*.ini|*.ini"));
  QCOMPARE(req.title, std::string());
  QCOMPARE(req.initialDir, t.dir.path() + "/");
  // The message comes before the switch, in the old language.
  QCOMPARE(t.find<QPlainTextEdit>("lstMsg")->toPlainText(), U("载入文件") + QString::fromStdString(other));
  QCOMPARE(t.byte(1), 2);
  QCOMPARE(t.list("cbb1")->currentIndex(), 2);
  QVERIFY(t.list("CboxAuto14") != nullptr);  // regenerated
  QCOMPARE(t.form->windowTitle(), U("Tarvik sCales factory"));
  QCOMPARE(t.find<QPushButton>("btnopen")->text(), U("Open File"));
  QCOMPARE(t.list("Cboxbdgb")->itemText(0), U("未设置"));  // filled before the switch
  QCOMPARE(t.list("cbb1")->itemText(0), U("长屏"));        // fixed lists keep their language
  QVERIFY(ReadFileBytes(other).find("IsEnabled=1") != std::string::npos);
  QVERIFY(t.form->Modified());
  // Closing asks even without an edit; No keeps facconfig.ini.
  const std::string before = t.config();
  QVERIFY(t.close());
  QCOMPARE(t.dialogs.calls.back().kind, DialogCall::Kind::YesNo);
  QCOMPARE(t.dialogs.calls.back().text, std::string("Settings are not saved, do you want to save?"));
  QCOMPARE(t.config(), before);
}

void MainFormTest::openCancelled() {
  Tool t(ParamFile(Rows()));
  t.find<QPushButton>("btnopen")->click();
  QCOMPARE(t.find<QPlainTextEdit>("lstMsg")->toPlainText(), QString());
  QVERIFY(!t.form->Modified());
  QVERIFY(t.list("CboxAuto14") != nullptr);
}

void MainFormTest::openFailingLanguageSwitch() {
  Tool t(ParamFile(Rows()));
  // A parameter file without "IsEnabled": the switch has to write it, and cannot.
  const std::string other = t.dir / "other.ini";
  WriteFileBytes(other, "[factory]\r\nbyte[1  ]=2\r\n[Set]\r\nlngstr=_en\r\n");
  t.dialogs.openPaths.push_back(other);
  {
    testing::FileSizeLimit limit(8);
    t.find<QPushButton>("btnopen")->click();
  }
  const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
  QCOMPARE(msgs.size(), std::size_t{1});
  QVERIFY(msgs[0].text.find("Unable to write to") == 0);
  QVERIFY(ReadFileBytes(other).find("IsEnabled") == std::string::npos);
  // The old language stays in force; the window goes on.
  QCOMPARE(t.find<QPushButton>("btnopen")->text(), U("打开参数文件"));
  QCOMPARE(LangCatalog("sNoSet"), G("未设置"));
  Tool::choose(t.list("cbb1"), 4);
  QCOMPARE(t.byte(1), 4);
}

void MainFormTest::qtMessageBoxes() {
  QtDialogs qt;
  struct Seen {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
  } seen;
  auto answer = [&seen](QMessageBox::StandardButton press) {
    QTimer::singleShot(0, [&seen, press] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      seen = {box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->buttons().size())};
      box->button(press)->click();
    });
  };
  answer(QMessageBox::Ok);
  qt.ShowMessage(G("重力值"), "", MsgIcon::Error);
  QCOMPARE(seen.title, QString());
  QCOMPARE(seen.text, U("重力值"));
  QCOMPARE(seen.icon, QMessageBox::Critical);
  QCOMPARE(seen.buttons, 1);
  answer(QMessageBox::Yes);
  QVERIFY(qt.AskYesNo("save?", "", MsgIcon::Question));
  QCOMPARE(seen.icon, QMessageBox::Question);
  QCOMPARE(seen.buttons, 2);
  answer(QMessageBox::No);
  QVERIFY(!qt.AskYesNo("save?", "", MsgIcon::Question));
}

void MainFormTest::saveAsKeepsOtherSections() {
  Tool t(ParamFile(Rows()));
  const std::string target = t.dir / "copy.ini";
  WriteFileBytes(target, "[Mine]\r\nkeep=yes\r\n[factory]\r\nbyte[1  ]=4\r\nextra=1\r\n");
  Tool::choose(t.list("cbb1"), 3);
  t.dialogs.savePaths.push_back(target);
  t.find<QPushButton>("btsave")->click();
  const auto& req = t.dialogs.calls.front().request;
  QCOMPARE(req.filter, std::string("*.ini"));
  QCOMPARE(req.defaultExt, std::string("ini"));
  QCOMPARE(req.title, G(" 保存参数").substr(1));
  const std::string saved = ReadFileBytes(target);
  QVERIFY(saved.find("[Mine]\r\nkeep=yes") != std::string::npos);
  QVERIFY(saved.find("extra=1") != std::string::npos);
  QVERIFY(saved.find("byte[1  ]=3") != std::string::npos);
  QVERIFY(saved.find("lngstr=_cn") != std::string::npos);
  QCOMPARE(t.find<QPlainTextEdit>("lstMsg")->toPlainText(),
           U("保存文件") + QString::fromStdString(target));
  QVERIFY(!t.form->Modified());
  QVERIFY(t.close());
  QVERIFY(t.dialogs.calls.size() == 1);  // only the save dialog: no question
}

void MainFormTest::wheelScrollsByFocus() {
  std::string rows;
  for (int n = 14; n < 60; ++n) {
    const std::string k = "byte[" + std::to_string(n) + " ]";
    rows += k + "t=P" + std::to_string(n) + "\n" + k + "n=1\n" + k + "x=note\n";
  }
  Tool t(ParamFile(rows));
  QVERIFY(t.showActive());
  auto* box = t.find<QScrollArea>("MyScrollBox1");
  QScrollBar* bar = box->verticalScrollBar();
  QVERIFY(bar->maximum() > 100);
  auto* inside = t.list("CboxAuto20");
  inside->setFocus();
  QTRY_VERIFY(inside->hasFocus());
  Wheel(inside, -120);
  Wheel(inside, -120);
  Wheel(inside, -120);
  QCOMPARE(bar->value(), 75);
  QCOMPARE(inside->currentText(), U("0"));  // the list itself ignores the wheel
  bar->setValue(10);
  Wheel(box->viewport(), 120);
  QCOMPARE(bar->value(), 0);
  Wheel(inside, 240);
  QCOMPARE(bar->value(), 0);
  // Focus on a button outside the area: the first notch only moves the focus.
  auto* button = t.find<QPushButton>("btnopen");
  button->setFocus();
  QTRY_VERIFY(button->hasFocus());
  Wheel(button, -120);
  QCOMPARE(bar->value(), 0);
  QTRY_VERIFY(box->hasFocus());
  Wheel(button, -120);
  QCOMPARE(bar->value(), 25);
}

void MainFormTest::messageList() {
  Tool t;
  t.form->AppendMsg(" connect ok ");
  t.form->AppendMsg(G("更新(1/3)"));
  t.form->AppendMsg(G("更新(2/3)"));
  t.form->ReplaceLastMsg(G("更新(3/3)"));
  t.form->AppendMsg("\r\n\r\nLast");
  QCOMPARE(t.find<QPlainTextEdit>("lstMsg")->toPlainText(),
           U(" connect ok \n更新(1/3)\n更新(3/3)\n\n\nLast"));
  // The newest line stays in view, even after the operator scrolled back.
  t.form->show();
  for (int i = 0; i < 100; ++i) t.form->AppendMsg("line");
  QScrollBar* bar = t.find<QPlainTextEdit>("lstMsg")->verticalScrollBar();
  QVERIFY(bar->maximum() > 0);
  bar->setValue(0);
  t.form->AppendMsg("newest");
  QCOMPARE(bar->value(), bar->maximum());
  bar->setValue(0);
  t.form->ReplaceLastMsg("rewritten");
  QCOMPARE(bar->value(), bar->maximum());
}

void MainFormTest::keysGoWhereTheKeyboardSendsThem() {
  Tool t(ParamFile(Rows(1)));
  QVERIFY(t.showActive());
  // A numeric list: the keys reach the list, not its line edit.
  auto* count = t.list("CboxAuto16");
  count->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(count));
  KeyToFocus(Qt::Key_A, Qt::ControlModifier);
  TypeToFocus("9a1");
  QCOMPARE(count->currentText(), U("91"));
  QCOMPARE(t.byte(16), 91);
  // A two-choice list: letters do not pick an entry; arrows still do.
  auto* mode = t.list("CboxAuto14");
  QCOMPARE(mode->currentText(), U("On"));
  mode->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(mode));
  TypeToFocus("Off");
  QCOMPARE(mode->currentText(), U("On"));
  QCOMPARE(t.byte(14), 3);
  KeyToFocus(Qt::Key_Up);
  QCOMPARE(mode->currentText(), U("Off"));
  QCOMPARE(t.byte(14), 0);
  // A text field keeps ASCII only; a gravity field digits and one ".".
  auto* text = t.edit("edtAuto20");
  text->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(text));
  KeyToFocus(Qt::Key_End);
  TypeToFocus(U("xé中y"));
  QCOMPARE(text->text(), U("ABxy"));
  QCOMPARE(t.byte(23), 'y');
  auto* gravity = t.edit("edtbdgb");
  gravity->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(gravity));
  KeyToFocus(Qt::Key_A, Qt::ControlModifier);
  TypeToFocus("9x.8.1");
  QCOMPARE(gravity->text(), U("9.81"));
}

void MainFormTest::pastesKeepOnlyWhatTheFieldAllows_data() {
  QTest::addColumn<QString>("target");
  QTest::addColumn<QString>("clip");
  QTest::addColumn<QString>("shown");
  QTest::addColumn<int>("byte");    // -1: no byte to check
  QTest::addColumn<int>("value");
  QTest::addColumn<int>("messages");
  QTest::newRow("numeric keeps digits") << "CboxAuto16" << "4a2" << "42" << 16 << 42 << 0;
  QTest::newRow("numeric letters only") << "CboxAuto16" << "abc" << "" << 16 << 0 << 0;
  QTest::newRow("numeric over maximum") << "CboxAuto16" << "999" << "7" << 16 << 7 << 1;
  QTest::newRow("text drops 128-255") << "edtAuto20" << U("x\u00e9\u00ffy") << "xy" << 20 << int('x') << 0;
  QTest::newRow("gravity digits and one point") << "edtbdgb" << "9.8a.1" << "9.81" << -1 << 0 << 0;
}

void MainFormTest::pastesKeepOnlyWhatTheFieldAllows() {
  QFETCH(QString, target);
  QFETCH(QString, clip);
  QFETCH(QString, shown);
  QFETCH(int, byte);
  QFETCH(int, value);
  QFETCH(int, messages);
  Tool t(ParamFile(Rows(1)));
  QVERIFY(t.showActive());
  QWidget* w = t.find<QWidget>(target);
  w->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), w);
  QGuiApplication::clipboard()->setText(clip);
  KeyToFocus(Qt::Key_A, Qt::ControlModifier);
  KeyToFocus(Qt::Key_V, Qt::ControlModifier);
  const QString text = qobject_cast<QComboBox*>(w) ? static_cast<QComboBox*>(w)->currentText()
                                                   : static_cast<QLineEdit*>(w)->text();
  QCOMPARE(text, shown);
  if (byte >= 0) QCOMPARE(int(t.byte(byte)), value);
  QCOMPARE(int(t.dialogs.CallsOf(DialogCall::Kind::Message).size()), messages);
}

// Drops text at the middle of `target` as a desktop does: enter, move, drop.
void DropText(QWidget* target, const QString& text) {
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

void MainFormTest::dropsKeepOnlyWhatTheFieldAllows() {
  Tool t(ParamFile(Rows(1)));
  QVERIFY(t.showActive());
  auto* count = t.list("CboxAuto16");
  count->lineEdit()->clear();
  DropText(count->lineEdit(), "5x6");
  QCOMPARE(count->currentText(), U("56"));
  QCOMPARE(t.byte(16), 56);
  auto* text = t.edit("edtAuto20");
  text->clear();
  DropText(text, U("q\u00fcr"));
  QCOMPARE(text->text(), U("qr"));
  QCOMPARE(t.byte(20), 'q');
  QCOMPARE(t.byte(21), 'r');
}

void MainFormTest::escapeDoesNotAnswerTheSaveQuestion() {
  Tool t(ParamFile(Rows()));
  QtDialogs qt(t.form.get());
  Dialogs* previous = SetAppDialogs(&qt);
  QVERIFY(t.showActive());
  Tool::choose(t.list("cbb1"), 3);
  bool stayed = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    QVERIFY(box != nullptr);
    KeyToFocus(Qt::Key_Escape);
    box->close();  // the title bar's close button
    QTest::qWait(20);
    stayed = box->isVisible();
    box->button(QMessageBox::Yes)->click();
  });
  QVERIFY(t.close());
  SetAppDialogs(previous);
  QVERIFY(stayed);
  QVERIFY(t.config().find("byte[1  ]=3") != std::string::npos);
}

void MainFormTest::openFailureLeavesTheWindowAsItWas() {
  Tool t(ParamFile(Rows() + "bdgbIndex=1\nbyte[8  ]=1\nbyte[9  ]=126\nbyte[10 ]=208", "_cn",
                   "[Aregb]\r\nAregb0=North=9.8015\r\n"));
  const ParamSet before = t.form->Params();
  const QString view = t.find<QTextEdit>("lstDispValue")->toPlainText();
  // The language switch has to write "IsEnabled" into the chosen file, and cannot.
  const std::string other = t.dir / "other.ini";
  WriteFileBytes(other, "[factory]\r\nbyte[1  ]=2\r\nbyte[14 ]t=Other\r\nbyte[14 ]n=1\r\n"
                        "[Aregb]\r\nAregb0=South=9.79\r\n[Set]\r\nlngstr=_en\r\n");
  t.dialogs.openPaths.push_back(other);
  {
    testing::FileSizeLimit limit(8);
    t.find<QPushButton>("btnopen")->click();
  }
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QVERIFY(t.form->Params() == before);
  QVERIFY(!t.form->Modified());
  QCOMPARE(t.list("CboxAuto14")->currentText(), U("On"));
  QCOMPARE(t.list("Cboxbdgb")->count(), 3);
  QCOMPARE(t.list("Cboxbdgb")->itemText(2), U("North"));
  QCOMPARE(t.edit("edtbdgb")->text(), U("9.8000"));
  QCOMPARE(t.list("cbb1")->currentIndex(), 0);
  QCOMPARE(t.find<QTextEdit>("lstDispValue")->toPlainText(), view);
  QCOMPARE(LangCatalog("sNoSet"), G("未设置"));
  // Saving now keeps the working copy's definitions.
  t.find<QPushButton>("Button2")->click();
  QVERIFY(t.config().find("byte[14 ]t=Mode") != std::string::npos);
}

void MainFormTest::fileNamesGbkCannotHold() {
  Tool t(ParamFile(Rows()));
  QDir().mkpath(QString::fromStdString(t.dir / "straße"));
  const std::string opened = t.dir / "straße/mañana.ini";
  WriteFileBytes(opened, ParamFile("byte[1  ]=2\nbyte[14 ]t=Opened\nbyte[14 ]n=1\nbyte[14 ]0=x\nbyte[14 ]1=y"));
  t.dialogs.openPaths.push_back(opened);
  t.find<QPushButton>("btnopen")->click();
  QCOMPARE(t.byte(1), 2);
  QVERIFY(t.find<QPlainTextEdit>("lstMsg")->toPlainText().endsWith(QString::fromStdString(opened)));
  // Saved under the very name chosen.
  const std::string saved = t.dir / "straße/día.ini";
  t.dialogs.savePaths.push_back(saved);
  t.find<QPushButton>("btsave")->click();
  QVERIFY(ReadFileBytes(saved).find("byte[14 ]t=Opened") != std::string::npos);
  QVERIFY(t.find<QPlainTextEdit>("lstMsg")->toPlainText().endsWith(QString::fromStdString(saved)));
  // A firmware path GBK cannot hold survives save and load; one it can hold stays GBK only.
  const std::string image = t.dir / "straße/fw-å.hex";
  WriteFileBytes(image, "x");
  t.dialogs.openPaths.push_back(image);
  t.find<QPushButton>("Button1")->click();
  QCOMPARE(t.form->FirmwarePath(), image);
  t.find<QPushButton>("Button2")->click();
  const std::string config = t.config();
  Tool again(config);
  QCOMPARE(again.edit("edtFilePath")->text(), QString::fromStdString(image));
  QCOMPARE(again.form->FirmwarePath(), image);
  again.edit("edtFilePath")->setText(U("/fw/固件.hex"));
  again.find<QPushButton>("Button2")->click();
  QVERIFY(again.config().find("binFilePath=" + G("/fw/固件.hex") + "\r\n") != std::string::npos);
  QVERIFY(again.config().find("binFilePathUtf8=\r\n") != std::string::npos);
}

void MainFormTest::loneCarriageReturnBreaksGeneratedLabels() {
  Tool t(ParamFile("byte[16 ]t=one\\rtwo\nbyte[16 ]n=1\nbyte[16 ]x=note\\rline"));
  QStringList texts;
  for (QLabel* l : t.find<QWidget>("PnlCtrlCbox")->findChildren<QLabel*>()) texts << l->text();
  QVERIFY2(texts.contains(U("one\ntwo")), qPrintable(texts.join('|')));
  QVERIFY2(texts.contains(U("note\nline")), qPrintable(texts.join('|')));
}

void MainFormTest::textNotValidGbkRewrittenOnlyWhenEdited() {
  // Bytes 81 20 are no GBK character; the field shows a replacement for them.
  Tool t(ParamFile("byte[20 ]t=Text\nbyte[20 ]n=4\nbyte[20 ]k=1\nbyte[20 ]=129\nbyte[21 ]=32\nbyte[22 ]=65"));
  Tool::choose(t.list("cbb1"), 2);  // another edit
  t.find<QPushButton>("Button2")->click();
  QVERIFY(t.config().find("byte[20 ]=129") != std::string::npos);
  auto* field = t.edit("edtAuto20");
  QVERIFY(field->text().contains(QChar(0xFFFD)));
  field->end(false);
  QTest::keyClicks(field, "B");
  QCOMPARE(field->text(), U(" AB"));  // what is stored is what is shown
  QCOMPARE(t.byte(20), ' ');
  QCOMPARE(t.byte(21), 'A');
  QCOMPARE(t.byte(22), 'B');
  QCOMPARE(t.byte(23), 0);
}

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
