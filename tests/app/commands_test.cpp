// The file commands, the link and firmware settings and closing, with the dialogs answered by a script.

#include <sys/stat.h>

#include "window_fixture.h"

using namespace facset;
using namespace facset::testing::window;
using facset::testing::ReadFileBytes;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

class CommandsTest : public QObject {
  Q_OBJECT

 private slots:
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
  void escapeDoesNotAnswerTheSaveQuestion();
  void openFailureLeavesTheWindowAsItWas();
  void fileNamesGbkCannotHold();
  void openAsksToSaveFirst();
  void fileChangedByAnotherProgram();
  void saveAsAsksBeforeReplacing();
  void filesThatAreNotRegularAreNamed();
  void writeErrorsInTheWindowsLanguage();
};

void CommandsTest::linkHandlersNeverModify() {
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

void CommandsTest::firmwareHandlersModify() {
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
    const std::string image = t.dir / "固件.hex";  // file-system paths are UTF-8
    WriteFileBytes(image, "x");
    t.dialogs.openPaths.push_back(image);
    t.find<QPushButton>("Button1")->click();
    QCOMPARE(t.edit("edtFilePath")->text(), QString::fromStdString(image));
    QVERIFY(t.form->Modified());
    const auto& req = t.dialogs.calls.back().request;
    QCOMPARE(req.filter, std::string("Binary Files|*.hex|All Files|*.*"));
    QCOMPARE(req.initialDir, t.dir.path() + "/");
    // Saved as GBK bytes, as files made elsewhere hold it.
    t.find<QPushButton>("Button2")->click();
    QVERIFY(t.config().find("binFilePath=" + Utf8ToGbk(image) + "\r\n") != std::string::npos);
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

void CommandsTest::startupLoadLeavesUnmodified() {
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

void CommandsTest::closeQuestion() {
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

void CommandsTest::closeWhenSaveFails() {
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
  QVERIFY(msgs[0].text.find(G("无法写入 ")) == 0);
  QVERIFY(t.form->Modified());
  QCOMPARE(t.config(), before);
  // Closing again asks again.
  t.dialogs.calls.clear();
  QVERIFY(t.close());
  QCOMPARE(t.dialogs.calls.size(), std::size_t{1});
}

void CommandsTest::openCommand() {
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

void CommandsTest::openCancelled() {
  Tool t(ParamFile(Rows()));
  t.find<QPushButton>("btnopen")->click();
  QCOMPARE(t.find<QPlainTextEdit>("lstMsg")->toPlainText(), QString());
  QVERIFY(!t.form->Modified());
  QVERIFY(t.list("CboxAuto14") != nullptr);
}

void CommandsTest::openFailingLanguageSwitch() {
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
  QVERIFY(msgs[0].text.find(G("无法写入 ")) == 0);
  QVERIFY(ReadFileBytes(other).find("IsEnabled") == std::string::npos);
  // The old language stays in force; the window goes on.
  QCOMPARE(t.find<QPushButton>("btnopen")->text(), U("打开参数文件"));
  QCOMPARE(LangCatalog("sNoSet"), G("未设置"));
  Tool::choose(t.list("cbb1"), 4);
  QCOMPARE(t.byte(1), 4);
}

void CommandsTest::qtMessageBoxes() {
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

void CommandsTest::saveAsKeepsOtherSections() {
  Tool t(ParamFile(Rows()));
  const std::string target = t.dir / "copy.ini";
  WriteFileBytes(target, "[Mine]\r\nkeep=yes\r\n[factory]\r\nbyte[1  ]=4\r\nextra=1\r\n");
  Tool::choose(t.list("cbb1"), 3);
  t.dialogs.savePaths.push_back(target);
  t.dialogs.yesNo.push_back(true);  // replace it
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
  QVERIFY(t.dialogs.calls.size() == 2);  // the save dialog and its replace question; no close question
}

void CommandsTest::escapeDoesNotAnswerTheSaveQuestion() {
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

void CommandsTest::openFailureLeavesTheWindowAsItWas() {
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

void CommandsTest::fileNamesGbkCannotHold() {
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

void CommandsTest::openAsksToSaveFirst() {
  for (const bool yes : {true, false}) {
    Tool t(ParamFile(Rows()));
    const std::string before = t.config();
    Tool::choose(t.list("cbb1"), 3);
    const std::string other = t.dir / "other.ini";
    WriteFileBytes(other, ParamFile("byte[1  ]=2"));
    t.dialogs.yesNo.push_back(yes);
    t.dialogs.openPaths.push_back(other);
    t.find<QPushButton>("btnopen")->click();
    QCOMPARE(t.dialogs.calls.size(), std::size_t{2});
    QCOMPARE(t.dialogs.calls[0].kind, DialogCall::Kind::YesNo);  // asked before the dialog
    QCOMPARE(t.dialogs.calls[0].text, G("当前设置未保存，是否要进行保存？"));
    QCOMPARE(t.dialogs.calls[1].kind, DialogCall::Kind::OpenFile);
    if (yes) {
      QVERIFY(t.config().find("byte[1  ]=3") != std::string::npos);
    } else {
      QCOMPARE(t.config(), before);
    }
    QCOMPARE(t.byte(1), 2);  // the file was opened either way
  }
}

// Another program (a second window, facset-cli set) saved the working copy
// after this window loaded it: saving asks, and No keeps the other's file.
void CommandsTest::fileChangedByAnotherProgram() {
  struct Case {
    const char* name;
    bool overwrite;
    bool byClose;  // the Yes of the close question saves
  };
  const Case cases[] = {{"save, keep theirs", false, false},
                        {"save, overwrite", true, false},
                        {"close, keep theirs", false, true}};
  for (const Case& c : cases) {
    Tool t(ParamFile(Rows()));
    Tool::choose(t.list("cbb1"), 3);
    {
      IniFile other(t.dir / "facconfig.ini");
      other.WriteString("factory", "byte[2  ]", "4");
    }
    const std::string theirs = t.config();
    if (c.byClose) t.dialogs.yesNo.push_back(true);
    t.dialogs.yesNo.push_back(c.overwrite);
    if (c.byClose) {
      QVERIFY2(t.close(), c.name);
    } else {
      t.find<QPushButton>("Button2")->click();
    }
    const auto asked = t.dialogs.CallsOf(DialogCall::Kind::YesNo);
    QVERIFY2(!asked.empty(), c.name);
    const DialogCall& q = asked.back();
    QVERIFY2(q.text.find(Utf8ToGbk(t.dir / "facconfig.ini")) != std::string::npos, q.text.c_str());
    QCOMPARE(q.def, YesNoDefault::No);
    if (c.overwrite) {
      QVERIFY(t.config().find("byte[1  ]=3") != std::string::npos);
      QVERIFY(t.config().find("byte[2  ]=0") != std::string::npos);
      QVERIFY(!t.form->Modified());
      // Now the window's own file again: the next save asks nothing.
      Tool::choose(t.list("cbb1"), 2);
      t.dialogs.calls.clear();
      t.find<QPushButton>("Button2")->click();
      QVERIFY(t.dialogs.calls.empty());
      QVERIFY(t.config().find("byte[1  ]=2") != std::string::npos);
    } else {
      QVERIFY2(t.config() == theirs, c.name);
      QVERIFY(t.form->Modified());
      QVERIFY(t.find<QPlainTextEdit>("lstMsg")->toPlainText().endsWith(QString::fromStdString(t.dir / "facconfig.ini")));
    }
  }
}

// Save As onto an existing file asks first (No by default, nothing written);
// the file written holds the window's region table and no more.
void CommandsTest::saveAsAsksBeforeReplacing() {
  Tool t(ParamFile(Rows(), "_cn", "[Aregb]\r\nAregb0=North=9.8015\r\n"));
  const std::string target = t.dir / "copy.ini";
  const std::string old = "[Aregb]\r\nAregb0=A=9.8\r\nAregb1=B=9.8\r\nAregb2=C=9.8\r\n[Mine]\r\nkeep=yes\r\n";
  WriteFileBytes(target, old);
  t.dialogs.savePaths.push_back(target);
  t.find<QPushButton>("btsave")->click();  // the question unanswered: No
  QCOMPARE(t.dialogs.calls.size(), std::size_t{2});
  QCOMPARE(t.dialogs.calls[1].kind, DialogCall::Kind::YesNo);
  QCOMPARE(t.dialogs.calls[1].def, YesNoDefault::No);
  QCOMPARE(t.dialogs.calls[1].text, Utf8ToGbk(target) + G(" 已存在。要替换它吗？"));
  QCOMPARE(ReadFileBytes(target), old);
  QVERIFY(t.find<QPlainTextEdit>("lstMsg")->toPlainText().isEmpty());

  t.dialogs.savePaths.push_back(target);
  t.dialogs.yesNo.push_back(true);
  t.find<QPushButton>("btsave")->click();
  const IniFile saved(target);
  QCOMPARE(saved.ReadString("Aregb", "Aregb0", ""), std::string("North=9.8015"));
  QCOMPARE(saved.ReadString("Aregb", "Aregb1", "missing"), std::string());
  QCOMPARE(saved.ReadString("Aregb", "Aregb2", ""), std::string("C=9.8"));  // kept, no longer read
  QCOMPARE(ReadRegionTable(saved).names, std::vector<std::string>{"North"});
  QCOMPARE(saved.ReadString("Mine", "keep", ""), std::string("yes"));

  // A new file is not asked about.
  t.dialogs.calls.clear();
  t.dialogs.savePaths.push_back(t.dir / "new.ini");
  t.find<QPushButton>("btsave")->click();
  QCOMPARE(t.dialogs.calls.size(), std::size_t{1});
  QVERIFY(testing::FileExists(t.dir / "new.ini"));
}

// A FIFO or a folder chosen in the open dialogs is named in a message and
// nothing is read from it (a FIFO read would hang the window).
void CommandsTest::filesThatAreNotRegularAreNamed() {
  Tool t(ParamFile(Rows() + "\nbinFilePath=/fw/a.hex"));
  const std::string fifo = t.dir / "pipe.ini";
  QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = t.dir / "folder.ini";
  QDir().mkpath(QString::fromStdString(folder));
  const ParamSet before = t.form->Params();
  for (const std::string& path : {fifo, folder}) {
    for (const char* button : {"btnopen", "Button1"}) {
      t.dialogs.calls.clear();
      t.dialogs.openPaths.push_back(path);
      t.find<QPushButton>(button)->click();
      const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
      QCOMPARE(msgs.size(), std::size_t{1});
      QCOMPARE(msgs[0].text, Utf8ToGbk(path) + G(" 不是普通文件（文件夹、设备或管道），未读取任何内容"));
      QCOMPARE(msgs[0].icon, MsgIcon::Error);
    }
  }
  QVERIFY(t.form->Params() == before);
  QCOMPARE(t.edit("edtFilePath")->text(), U("/fw/a.hex"));
  QVERIFY(!t.form->Modified());
  QVERIFY(t.find<QPlainTextEdit>("lstMsg")->toPlainText().isEmpty());
}

// "Unable to write to" and the reasons come in the window's language.
void CommandsTest::writeErrorsInTheWindowsLanguage() {
  struct Case {
    const char* lang;
    std::string prefix;
    std::string reason;
  };
  const Case cases[] = {{"_cn", G("无法写入 "), G("文件过大")}, {"_en", "Unable to write to ", "File too large"}};
  for (const Case& c : cases) {
    Tool t(ParamFile(Rows(), c.lang));
    const std::string target = t.dir / "big.ini";
    t.dialogs.savePaths.push_back(target);
    {
      testing::FileSizeLimit limit(1000);  // a saved parameter file is far larger
      t.find<QPushButton>("btsave")->click();
    }
    const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
    QCOMPARE(msgs.size(), std::size_t{1});
    QCOMPARE(msgs[0].text, c.prefix + Utf8ToGbk(target) + ": " + c.reason);
  }
  // The working copy replaced by a folder: the reason names what is there.
  Tool t(ParamFile(Rows()));
  Tool::choose(t.list("cbb1"), 2);
  QDir(QString::fromStdString(t.dir.path())).remove("facconfig.ini");
  QDir().mkpath(QString::fromStdString(t.dir / "facconfig.ini"));
  t.dialogs.yesNo.push_back(true);  // the file is not what was loaded: overwrite
  t.find<QPushButton>("Button2")->click();
  const auto msgs = t.dialogs.CallsOf(DialogCall::Kind::Message);
  QCOMPARE(msgs.size(), std::size_t{1});
  QCOMPARE(msgs[0].text, G("无法写入 ") + Utf8ToGbk(t.dir / "facconfig.ini") + G(": 文件夹，不是普通文件"));
}

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"
