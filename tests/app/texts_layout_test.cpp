// The window's layout and texts: placement, docking, splitter, captions from the language file, the message list.

#include "window_fixture.h"

using namespace facset;
using namespace facset::testing::window;
using facset::testing::ReadFileBytes;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

class TextsLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void firstRunInEmptyFolder();
  void englishCatalog();
  void windowTextRules();
  void commandLineSwitch_data();
  void commandLineSwitch();
  void layoutFollowsResize();
  void splitterDragsRightColumn();
  void messageList();
  void tabOrderAndNames();
  void logIsReadOnly();
  void notesShowWholeInTooltips();
  void fitsTheSmallScreen();
};

void TextsLayoutTest::firstRunInEmptyFolder() {
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

void TextsLayoutTest::englishCatalog() {
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

void TextsLayoutTest::windowTextRules() {
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

void TextsLayoutTest::commandLineSwitch_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<bool>("editorOnly");
  QTest::newRow("VLQ7200") << QStringList{"VLQ7200"} << true;
  QTest::newRow("VLQ7200 and more") << QStringList{"VLQ7200", "x"} << true;
  QTest::newRow("other case") << QStringList{"vlq7200"} << false;
  QTest::newRow("second argument") << QStringList{"x", "VLQ7200"} << false;
  QTest::newRow("none") << QStringList{} << false;
}

void TextsLayoutTest::commandLineSwitch() {
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

void TextsLayoutTest::layoutFollowsResize() {
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
  QVERIFY(t.find<QPlainTextEdit>("lstMsg")->isReadOnly());  // the log is read, never edited
  QVERIFY(t.find<QTextEdit>("lstDispValue")->isReadOnly());
}

void TextsLayoutTest::splitterDragsRightColumn() {
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

void TextsLayoutTest::messageList() {
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

// Tab walks the window as it reads; every control has a name a screen
// reader can say.
void TextsLayoutTest::tabOrderAndNames() {
  // Both gravity fields in manual input, holding 9.8 (a value they may leave with).
  Tool t(ParamFile(Rows(1) + "bdgbIndex=1\nTaggbIndex=1\nbyte[8  ]=1\nbyte[9  ]=126\nbyte[10 ]=208\n"
                   "byte[11 ]=1\nbyte[12 ]=126\nbyte[13 ]=208", "_en"));
  QVERIFY(t.showActive());
  t.edit("edtIP")->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(t.edit("edtIP")));
  QStringList visited;
  for (int i = 0; i < 40; ++i) {
    KeyToFocus(Qt::Key_Tab);
    QWidget* f = QApplication::focusWidget();
    while (f != nullptr && f->objectName().isEmpty()) f = f->parentWidget();
    if (f == nullptr || f->objectName() == "edtIP") break;
    visited << f->objectName();
  }
  // CboxCom is off (no serial port in use), Stop hidden.
  QCOMPARE(visited, (QStringList{"chkUseCom", "ChkDownProg", "edtFilePath", "Button1", "cbb1", "cbb2", "cbb3", "Cbb4",
                                 "Cbb6", "Cboxbdgb", "edtbdgb", "CboxTaggb", "edttaggb", "CboxAuto14", "CboxAuto15",
                                 "CboxAuto16", "CboxAuto19", "edtAuto20", "CboxAuto30", "CboxAuto44", "btnopen",
                                 "Button2", "btsave", "btnDispValue", "btnDownload", "btnClose", "btnHistory",
                                 "lstDispValue", "lstMsg"}));
  // What a screen reader says: the name, or (lists on Linux, whose name is
  // their value) the label it is labelled by.
  auto name = [&](const char* object) {
    QWidget* w = t.find<QWidget>(object);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    if (a == nullptr) return QString("(none)");
    if (qobject_cast<QComboBox*>(w) == nullptr) return a->text(QAccessible::Name);
    for (const auto& [label, relation] : a->relations(QAccessible::Label)) return label->text(QAccessible::Name);
    return w->accessibleName();
  };
  const std::pair<const char*, const char*> names[] = {
      {"CboxAuto14", "Mode"},      {"CboxAuto16", "Count"},   {"edtAuto20", "Text"},
      {"edtIP", "IP"},             {"cbb1", "Screen type"},   {"Cbb6", "Label handling"},
      {"Cboxbdgb", "target\ngravity"}, {"edttaggb", "Use gravity"}, {"edtFilePath", "Upgrade program"},
      {"lstMsg", "Message："},     {"btnDownload", "Download parameters"}};
  for (const auto& [object, want] : names) QCOMPARE(name(object), U(want));
}

// The log is the record of what happened: keys do not change it, Tab leaves it.
void TextsLayoutTest::logIsReadOnly() {
  Tool t(ParamFile(Rows()));
  QVERIFY(t.showActive());
  t.form->AppendMsg(" connect ok ");
  auto* log = t.find<QPlainTextEdit>("lstMsg");
  log->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(log));
  KeyToFocus(Qt::Key_A, Qt::ControlModifier);
  KeyToFocus(Qt::Key_Delete);
  TypeToFocus(" set ok ! ");
  QCOMPARE(log->toPlainText(), U(" connect ok "));
  KeyToFocus(Qt::Key_Tab);
  QVERIFY(QApplication::focusWidget() != log);
  QCOMPARE(log->toPlainText(), U(" connect ok "));
}

void TextsLayoutTest::notesShowWholeInTooltips() {
  const std::string note(300, 'n');
  Tool t(ParamFile("byte[16 ]t=Count\nbyte[16 ]n=1\nbyte[16 ]x=" + note));
  bool found = false;
  for (QLabel* l : t.find<QWidget>("PnlCtrlCbox")->findChildren<QLabel*>()) {
    if (l->text() == QString::fromStdString(note)) found = l->toolTip() == l->text();
  }
  QVERIFY(found);
}

// The offscreen screen of this case is 800 x 600, smaller than the window:
// the window takes the free area, its buttons stay on the screen.
void TextsLayoutTest::fitsTheSmallScreen() {
  Tool t(ParamFile(Rows()));
  t.form->show();
  const QRect avail = t.form->screen()->availableGeometry();
  QVERIFY(avail.width() < 944 || avail.height() < 636);
  QTRY_VERIFY(avail.contains(t.form->frameGeometry()));
  for (const char* name : {"btnopen", "btnDownload", "btnClose", "lstMsg"}) {
    QWidget* w = t.find<QWidget>(name);
    const QRect global(w->mapToGlobal(QPoint(0, 0)), w->size());
    QVERIFY2(avail.contains(global), name);
  }
  // The parameter area scrolls to what it cannot show.
  QVERIFY(t.find<QScrollArea>("MyScrollBox1")->verticalScrollBar()->maximum() > 0 ||
          t.find<QScrollArea>("MyScrollBox1")->horizontalScrollBar()->maximum() > 0);
}

QTEST_MAIN(TextsLayoutTest)
#include "texts_layout_test.moc"
