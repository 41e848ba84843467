// Input as the desktop delivers it: keys to the focus widget, pastes through the clipboard, drops, the wheel.

#include "window_fixture.h"

using namespace facset;
using namespace facset::testing::window;
using facset::testing::ReadFileBytes;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

class InputTest : public QObject {
  Q_OBJECT

 private slots:
  void keyFilters();
  void keysGoWhereTheKeyboardSendsThem();
  void pastesKeepOnlyWhatTheFieldAllows_data();
  void pastesKeepOnlyWhatTheFieldAllows();
  void dropsKeepOnlyWhatTheFieldAllows();
  void wheelScrollsByFocus();
  void gravityKeyJudgesTheTextAfterTheKey();
};

void InputTest::keyFilters() {
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

void InputTest::keysGoWhereTheKeyboardSendsThem() {
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

void InputTest::pastesKeepOnlyWhatTheFieldAllows_data() {
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

void InputTest::pastesKeepOnlyWhatTheFieldAllows() {
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

void InputTest::dropsKeepOnlyWhatTheFieldAllows() {
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

void InputTest::wheelScrollsByFocus() {
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

// The gravity filter judges the text as it will be after the key: "." over a
// selected "9.8" is the only point left.
void InputTest::gravityKeyJudgesTheTextAfterTheKey() {
  Tool t(ParamFile(Rows() + "bdgbIndex=1"));
  QVERIFY(t.showActive());
  auto* field = t.edit("edtbdgb");
  field->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(field));
  KeyToFocus(Qt::Key_A, Qt::ControlModifier);
  TypeToFocus("9.8");
  KeyToFocus(Qt::Key_A, Qt::ControlModifier);
  TypeToFocus(".");
  QCOMPARE(field->text(), U("."));
  TypeToFocus("9.");  // a second point, nothing selected: dropped
  QCOMPARE(field->text(), U(".9"));
  field->setSelection(0, 1);  // the point itself selected
  TypeToFocus(".");
  QCOMPARE(field->text(), U(".9"));
}

QTEST_MAIN(InputTest)
#include "input_test.moc"
