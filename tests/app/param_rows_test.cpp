// The generated parameter rows and the fixed lists: what they show and what editing them writes into the block.

#include "window_fixture.h"

using namespace facset;
using namespace facset::testing::window;
using facset::testing::ReadFileBytes;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

class ParamRowsTest : public QObject {
  Q_OBJECT

 private slots:
  void generatedRows();
  void twoChoiceLists();
  void numericLists();
  void textFields();
  void textLongerThanWidthInBytes();
  void coupling19And20();
  void isEnabledFalseLocksEditing();
  void definitionsBreakingInvariants();
  void fixedLists();
  void loneCarriageReturnBreaksGeneratedLabels();
  void textNotValidGbkRewrittenOnlyWhenEdited();
};

void ParamRowsTest::generatedRows() {
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

void ParamRowsTest::twoChoiceLists() {
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

void ParamRowsTest::numericLists() {
  Tool t(ParamFile(Rows()));
  auto* max = t.list("CboxAuto30");
  QCOMPARE(max->currentText(), U("1000"));
  QCOMPARE(max->count(), 256);
  // Typing 70000 over 1000 in a two-byte list: refused at the fifth digit,
  // and the list and the block hold 1000 again, the value before the edit.
  max->lineEdit()->selectAll();
  QTest::keyClicks(max->lineEdit(), "70000");
  const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
  QCOMPARE(msgs.size(), std::size_t{1});
  QCOMPARE(msgs[0].text, G(" 不能大于最大值65535").substr(1));
  QCOMPARE(msgs[0].title, std::string());
  QCOMPARE(msgs[0].icon, MsgIcon::Error);
  QCOMPARE(max->currentText(), U("1000"));
  QCOMPARE(t.byte(30), 0x03);
  QCOMPARE(t.byte(31), 0xE8);
  QCOMPARE(t.find<QTextEdit>("lstDispValue")->toPlainText().split('\n')[1].right(5), U("03 E8"));

  // A one-byte list showing 7: emptying writes 0, 3 and 30 pass, 300 is
  // refused with 255 and the edit's start, 7, comes back.
  t.dialogs.calls.clear();
  auto* count = t.list("CboxAuto16");
  QCOMPARE(count->currentText(), U("7"));
  count->lineEdit()->clear();
  QCOMPARE(t.byte(16), 0);
  QTest::keyClicks(count->lineEdit(), "300");
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QVERIFY(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text.find("255") != std::string::npos);
  QCOMPARE(t.byte(16), 7);
  QCOMPARE(count->currentText(), U("7"));
  // "256" typed over 7 in a one-byte list ends as 7, not 25.
  count->lineEdit()->selectAll();
  QTest::keyClicks(count->lineEdit(), "256");
  QCOMPARE(t.byte(16), 7);
  QCOMPARE(count->currentText(), U("7"));
  // Choosing an entry from the list writes it too.
  count->setCurrentIndex(200);
  QCOMPARE(t.byte(16), 200);
}

void ParamRowsTest::textFields() {
  Tool t(ParamFile(Rows(1)));
  auto* text = t.edit("edtAuto20");
  QCOMPARE(text->text(), U("AB"));
  QCOMPARE(text->maxLength(), 8);
  text->setCursorPosition(2);
  QTest::keyClicks(text, "C");
  for (int i = 0; i < 8; ++i) QCOMPARE(t.byte(20 + i), i < 3 ? "ABC"[i] : 0);
  QVERIFY(t.form->Modified());
}

void ParamRowsTest::textLongerThanWidthInBytes() {
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
  QTest::keyClicks(text, "C");  // 9 bytes: refused; field and bytes as before the edit
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message).size(), std::size_t{1});
  QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::Message)[0].text, G("长度不能大于8"));
  QCOMPARE(text->text(), U("中文中"));
  QCOMPARE(t.byte(20), static_cast<unsigned char>(gbk[0]));
  QCOMPARE(t.byte(26), 0);
  QCOMPARE(t.byte(27), 0);
}

void ParamRowsTest::coupling19And20() {
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

void ParamRowsTest::isEnabledFalseLocksEditing() {
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

void ParamRowsTest::definitionsBreakingInvariants() {
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

void ParamRowsTest::fixedLists() {
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

void ParamRowsTest::loneCarriageReturnBreaksGeneratedLabels() {
  Tool t(ParamFile("byte[16 ]t=one\\rtwo\nbyte[16 ]n=1\nbyte[16 ]x=note\\rline"));
  QStringList texts;
  for (QLabel* l : t.find<QWidget>("PnlCtrlCbox")->findChildren<QLabel*>()) texts << l->text();
  QVERIFY2(texts.contains(U("one\ntwo")), qPrintable(texts.join('|')));
  QVERIFY2(texts.contains(U("note\nline")), qPrintable(texts.join('|')));
}

void ParamRowsTest::textNotValidGbkRewrittenOnlyWhenEdited() {
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

QTEST_MAIN(ParamRowsTest)
#include "param_rows_test.moc"
