// The window's download button end to end against scale-sim, through the
// real widgets, with the dialogs answered by a script.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/window_download.h"
#include "download/download.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "support/scripted_dialogs.h"
#include "platform/text_encoding.h"
#include "protocol/scale_link.h"
#include "serial/serial_comm.h"
#include "support/sim_process.h"

using namespace facset;
using facset::testing::SimProcess;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A tool folder whose facconfig.ini downloads to `sim` (UDP, or its pty as COM1).
class Tool {
 public:
  Tool(SimProcess& sim, bool serial) {
    OverrideExecutableDir(dir.path());
    std::ofstream(dir.file("facconfig.ini"), std::ios::binary)
        << "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\ncom=1\r\nuse com=" << (serial ? 1 : 0)
        << "\r\n[factory]\r\nIsDownkDownProg=0\r\nbyte[3  ]=2\r\nbyte[200]=77\r\n[serial]\r\nCOM1=" << sim.ptyPath()
        << "\r\n";
    CreateScaleComm();
    OverrideLinkUdpPort(sim.udpPort());
    ConfigStartup();
    form = std::make_unique<TMainForm>(QStringList{});
    form->SetDownloadHandler(WindowDownload);
  }
  ~Tool() {
    form.reset();
    LangShutdown();
    CloseToolConfig();
    DestroyScaleComm();
    OverrideLinkUdpPort(0);
    OverrideExecutableDir("");
  }
  QStringList Lines() const {
    QString t = form->lstMsg->toPlainText();
    return t.isEmpty() ? QStringList{} : t.split('\n');
  }
  std::string Image(std::size_t size) {
    std::string b(size, '\0');
    std::mt19937 gen(9);
    for (auto& c : b) c = static_cast<char>(gen());
    const std::string path = dir.file("image.hex");
    std::ofstream(path, std::ios::binary) << b;
    return path;
  }
  // Ticks the firmware box with `path`; that marks the settings modified.
  void UseFirmware(const std::string& path) {
    form->ChkDownProg->setChecked(true);
    form->edtFilePath->setText(QString::fromUtf8(path.c_str()));
  }
  std::string Expected() const {
    std::string b(256, '\0');
    b[0] = static_cast<char>(0xA6);
    b[3] = 2;
    b[200] = 77;
    return b;
  }

  testing::TempDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<TMainForm> form;
};

}  // namespace

class WindowDownloadTest : public QObject {
  Q_OBJECT

 private slots:
  void successOverBothTransports_data() {
    QTest::addColumn<bool>("serial");
    QTest::newRow("udp") << false;
    QTest::newRow("serial") << true;
  }
  void successOverBothTransports() {
    QFETCH(bool, serial);
    SimProcess sim({}, true);
    Tool t(sim, serial);
    t.form->btnDownload->click();
    QCOMPARE(t.Lines(), (QStringList{serial ? " connect ...COM1" : " connect ...127.0.0.1", " connect ok ",
                                     " set ok ! "}));
    QCOMPARE(ReadAll(sim.paramFile()), t.Expected());
    QVERIFY(t.form->btnDownload->isEnabled());
    QVERIFY(t.dialogs.calls.empty());  // nothing unsaved, nothing asked
    QVERIFY(!ScaleComm->Comm().IsOpen());
  }

  void noneShowsTheBoxAndFocusesTheList() {
    SimProcess sim({}, true);
    Tool t(sim, true);
    t.form->CboxCom->setCurrentIndex(0);
    t.form->show();
    QApplication::setActiveWindow(t.form.get());
    QVERIFY(QTest::qWaitForWindowActive(t.form.get()));
    t.form->edtIP->setFocus();
    t.form->btnDownload->click();
    QCOMPARE(t.dialogs.calls.size(), std::size_t(1));
    QCOMPARE(t.dialogs.calls[0].text, std::string(kMsgPortNotSet));
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(t.form->CboxCom));
    QVERIFY(t.Lines().isEmpty());
    QVERIFY(sim.WaitLog(1, 1000).empty());
  }

  void unsavedSettingsAreAskedFirst_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes saves") << true;
    QTest::newRow("no goes on") << false;
  }
  void unsavedSettingsAreAskedFirst() {
    QFETCH(bool, yes);
    SimProcess sim;
    Tool t(sim, false);
    t.UseFirmware(t.dir.file("missing.hex"));
    const std::string before = ReadAll(t.dir.file("facconfig.ini"));
    t.dialogs.yesNo.push_back(yes);
    t.form->btnDownload->click();
    QCOMPARE(t.dialogs.calls.size(), std::size_t(1));
    QCOMPARE(t.dialogs.calls[0].kind, DialogCall::Kind::YesNo);
    QCOMPARE(t.dialogs.calls[0].text, LangCatalog("sSettingsNotSave"));
    const std::string after = ReadAll(t.dir.file("facconfig.ini"));
    if (yes) {
      QVERIFY(after.find("IsDownkDownProg=1") != std::string::npos);
    } else {
      QCOMPARE(after, before);
    }
    // The download went on either way; the missing image is skipped silently.
    QCOMPARE(t.Lines(), (QStringList{" connect ...127.0.0.1", " connect ok ", " set ok ! "}));
  }

  void firmwareProgressKeepsTwoLines() {
    SimProcess sim;
    Tool t(sim, false);
    t.UseFirmware(t.Image(8193));
    t.form->btnDownload->click();
    const QStringList l = t.Lines();
    QVERIFY2(l.size() == 14, qPrintable(l.join('|')));
    QCOMPARE(l.mid(3, 5), (QStringList{"Start updating the program", "update(1/33)", "update(33/33)", "Disconnect",
                                      "Update completed"}));
    QCOMPARE(l[8], QString());
    QCOMPARE(l[9], QString());
    QVERIFY(l[10].startsWith("Last Update Time:"));
    QCOMPARE(l[11], QString("Program Version: V0000 Program Verification Word:0000"));
  }

  void connectionFirmwareAndFileCommandsLockedDuringARun() {
    SimProcess sim({"--delay", "100"});
    Tool t(sim, false);
    const QList<QWidget*> locked = {t.form->btnDownload, t.form->edtIP, t.form->chkUseCom, t.form->ChkDownProg,
                                    t.form->edtFilePath, t.form->Button1, t.form->btnopen, t.form->Button2,
                                    t.form->btsave};
    t.form->chkUseCom->setChecked(true);
    t.form->chkUseCom->setChecked(false);  // CboxCom disabled before: it stays so
    QList<bool> before;
    for (QWidget* w : locked) before << w->isEnabled();
    QVERIFY(before.count(true) >= 8);  // only edtFilePath may be off (no firmware)
    bool checked = false;
    QTimer::singleShot(50, t.form.get(), [&] {
      QVERIFY(DownloadRunning());
      for (QWidget* w : locked) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
      QVERIFY(!t.form->CboxCom->isEnabled());
      WindowDownload(*t.form);  // a press that slips through does nothing
      checked = true;
    });
    t.form->btnDownload->click();
    QVERIFY(checked);
    QCOMPARE(t.Lines().size(), 3);
    for (qsizetype i = 0; i < locked.size(); ++i) QCOMPARE(locked[i]->isEnabled(), before[i]);
    QVERIFY(!t.form->CboxCom->isEnabled());
  }

  void closingDuringARunAnsweredNoKeepsTheRun() {
    SimProcess sim({"--delay", "100"});
    Tool t(sim, false);
    t.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(t.form.get()));
    t.dialogs.yesNo.push_back(false);  // keep the download going
    QTimer::singleShot(50, t.form.get(), [&] { t.form->close(); });
    t.form->btnDownload->click();
    QCOMPARE(t.Lines(), (QStringList{" connect ...127.0.0.1", " connect ok ", " set ok ! "}));
    QCOMPARE(ReadAll(sim.paramFile()), t.Expected());
    QCOMPARE(t.dialogs.CallsOf(DialogCall::Kind::YesNo).size(), std::size_t(1));
    QTest::qWait(50);
    QVERIFY(t.form->isVisible());
  }

  void closingDuringARunAbortsReleasesAndAsks() {
    SimProcess sim({}, true);
    Tool t(sim, true);
    t.UseFirmware(t.Image(4 * 1024 * 1024));  // modified: the close question follows
    t.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(t.form.get()));
    t.dialogs.yesNo.push_back(false);  // the download's own question
    t.dialogs.yesNo.push_back(true);   // stop the download?
    t.dialogs.yesNo.push_back(false);  // the close question
    bool closeReturned = false;
    QTimer::singleShot(700, t.form.get(), [&] {
      t.form->close();
      closeReturned = true;
    });
    t.form->btnDownload->click();
    QVERIFY(closeReturned);
    QVERIFY(!DownloadRunning());
    QVERIFY(!ScaleComm->Comm().IsOpen());
    // The close is asked again once the port is free.
    QTRY_VERIFY(!t.form->isVisible());
    const auto asked = t.dialogs.CallsOf(DialogCall::Kind::YesNo);
    QCOMPARE(asked.size(), std::size_t(3));
    QVERIFY(asked[1].text.find("middle of an upgrade") != std::string::npos);
    QCOMPARE(asked[2].text, LangCatalog("sSettingsNotSave"));
    const auto log = sim.WaitLog(5);
    for (const auto& e : log) QVERIFY(!(e.cmd == 15 && e.arg == 1));
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  WindowDownloadTest t;
  return QTest::qExec(&t, argc, argv);
}

#include "window_download_test.moc"
