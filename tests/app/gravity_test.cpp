// The two gravity settings: lists, manual input, range and encoding.

#include "window_fixture.h"

using namespace facset;
using namespace facset::testing::window;
using facset::testing::ReadFileBytes;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

class GravityTest : public QObject {
  Q_OBJECT

 private slots:
  void gravityManualInput();
  void gravityRange_data();
  void gravityRange();
  void gravityRegionsAndNotSet();
  void gravityNotANumber();
  void typedValueGoesWithTheWindow();
};

void GravityTest::gravityManualInput() {
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

void GravityTest::gravityRange_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("stored");  // -1: refused
  QTest::newRow("lowest") << "9.7" << 97000;
  QTest::newRow("highest") << "9.9" << 99000;
  QTest::newRow("fifth decimal cut") << "9.80001" << 98000;
  QTest::newRow("below") << "9.69" << -1;
  QTest::newRow("above") << "9.91" << -1;
}

void GravityTest::gravityRange() {
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

void GravityTest::gravityRegionsAndNotSet() {
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

void GravityTest::gravityNotANumber() {
  Tool t(ParamFile("", "_cn", "[Aregb]\r\nAregb0=Bad=abc\r\n"));
  Tool::choose(t.list("Cboxbdgb"), 2);
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  // In the window's language (Chinese here), as every message.
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, G("“abc”不是有效的数值"));
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].icon, MsgIcon::Error);
  // "." alone, typed into the manual field.
  t.dialogs.calls.clear();
  Tool::choose(t.list("CboxTaggb"), 1);
  t.edit("edttaggb")->setText(".");
  PressEnter(t.edit("edttaggb"));
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, G("“.”不是有效的数值"));
  // The window goes on working.
  Tool::choose(t.list("cbb1"), 2);
  QCOMPARE(t.byte(1), 2);
}

// A value typed in a gravity field and not confirmed is an edit: closing by
// any road asks, and Yes saves what the field shows; a value out of range
// keeps the window open with the message.
void GravityTest::typedValueGoesWithTheWindow() {
  struct Case {
    const char* typed;
    bool closes;
    const char* bytes;  // bytes 8..10 saved, or nullptr: file unchanged
  };
  const Case cases[] = {{"9.81", true, "byte[8  ]=1\r\nbyte[9  ]=127\r\nbyte[10 ]=52"}, {"9.95", false, nullptr}};
  for (const Case& c : cases) {
    Tool t(ParamFile(Rows() + "bdgbIndex=1"));
    QVERIFY(t.showActive());
    const std::string before = t.config();
    auto* field = t.edit("edtbdgb");
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(field));
    KeyToFocus(Qt::Key_A, Qt::ControlModifier);
    TypeToFocus(c.typed);
    QVERIFY(t.form->Modified());
    t.dialogs.yesNo.push_back(true);
    QCOMPARE(t.close(), c.closes);  // a close event, as the window manager sends it
    if (c.closes) {
      QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::YesNo).size(), std::size_t{1});
      QVERIFY2(t.config().find(c.bytes) != std::string::npos, c.typed);
    } else {
      QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::YesNo).size(), std::size_t{0});
      QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
      QCOMPARE(t.config(), before);
      QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(field));
    }
  }
}

QTEST_MAIN(GravityTest)
#include "gravity_test.moc"
