// The window's download button end to end against scale-sim, through the
// real widgets, with the dialogs answered by a script.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <unistd.h>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/window_download.h"
#include "download/download.h"
#include "download/download_messages.h"
#include "download/sha256.h"
#include "download/target_lock.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "support/scripted_dialogs.h"
#include "platform/text_encoding.h"
#include "protocol/scale_link.h"
#include "records/records.h"
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
  // `more`: further lines of the factory section (parameter definitions).
  Tool(SimProcess& sim, bool serial, const std::string& more = "") {
    OverrideFilesDir(dir.path());
    std::ofstream(dir.file("facconfig.ini"), std::ios::binary)
        << "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\ncom=1\r\nuse com=" << (serial ? 1 : 0)
        << "\r\n[factory]\r\nIsDownkDownProg=0\r\nbyte[3  ]=2\r\nbyte[200]=77\r\n" << more << "[serial]\r\nCOM1="
        << sim.ptyPath()
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
    OverrideFilesDir("");
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

  // The station database beside facconfig.ini, newest record first.
  std::vector<DownloadRecord> Records() const {
    const ReadResult r = ReadRecords(dir.path());
    if (r.error) qWarning("records: %s", r.error->reason.c_str());  // the count check then fails
    return r.records;
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> out;
    for (const QString& l : Lines()) out.push_back(l.toStdString());
    return out;
  }

  testing::TempDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<TMainForm> form;
};

std::string ParamBytes(const DownloadRecord& r) {
  return r.block ? std::string(reinterpret_cast<const char*>(r.block->data()), r.block->size()) : std::string();
}

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
    QVERIFY(!ScaleComm->isActive());
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
    QVERIFY(t.Records().empty());  // no scale was asked
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
    QVERIFY(!ScaleComm->isActive());
    // The close is asked again once the port is free.
    QTRY_VERIFY(!t.form->isVisible());
    const auto asked = t.dialogs.CallsOf(DialogCall::Kind::YesNo);
    QCOMPARE(asked.size(), std::size_t(3));
    QVERIFY(asked[1].text.find("middle of an upgrade") != std::string::npos);
    QCOMPARE(asked[2].text, LangCatalog("sSettingsNotSave"));
    const auto log = sim.WaitLog(5);
    for (const auto& e : log) QVERIFY(!(e.cmd == 15 && e.arg == 1));
  }

  // Stop, clicked while the image streams, ends the upgrade at once: the
  // scale sees no block after the one in flight and no finish request, the
  // port is released, the log warns, and the run is recorded as aborted.
  void stopButtonAbortsTheUpgrade() {
    SimProcess sim({"--delay", "15"}, true);
    Tool t(sim, true);
    const std::string image = t.Image(256 * 1024);  // 1024 blocks, 992 sent
    t.UseFirmware(image);
    t.dialogs.yesNo.push_back(false);  // not saved: the download's question
    t.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(t.form.get()));
    QVERIFY(t.form->pnlUpgrade->isHidden());
    const QRect logBefore = t.form->lstMsg->geometry();
    const QRect headBefore = t.form->Panel8->geometry();

    bool clicked = false;
    bool shownBeforeUpgrade = false;
    QString figuresAtClick;
    QRect bar, log;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, t.form.get(), [&] {
      if (clicked) return;
      const bool streaming = t.Lines().join('|').contains("update(");
      if (!streaming && !t.form->pnlUpgrade->isHidden()) shownBeforeUpgrade = true;
      if (t.form->pnlUpgrade->isHidden()) return;
      if (t.form->pbUpgrade->value() < 2) return;  // a few percent gone out
      figuresAtClick = t.form->lblUpgrade->text();
      bar = t.form->pnlUpgrade->geometry();
      log = t.form->lstMsg->geometry();
      clicked = true;
      QTest::mouseClick(t.form->btnStop, Qt::LeftButton);
    });
    poll.start();
    t.form->btnDownload->click();
    poll.stop();

    QVERIFY(clicked);
    QVERIFY(!shownBeforeUpgrade);
    // Blocks of blocks, rate and time left while it ran.
    QVERIFY2(QRegularExpression(R"(^\d+/992   \d+\.\d KiB/s   \d+:\d\d left$)").match(figuresAtClick).hasMatch(),
             qPrintable(figuresAtClick));
    // The bar sits under the log inside the log's panel; the log gave up the room, nothing else moved.
    QCOMPARE(bar.bottom(), t.form->Panel6->height() - 1);
    QVERIFY(log.bottom() < bar.top());
    QCOMPARE(log.top(), logBefore.top());
    QCOMPARE(t.form->Panel8->geometry(), headBefore);
    QVERIFY(t.form->pnlUpgrade->isHidden());
    QCOMPARE(t.form->lstMsg->geometry(), logBefore);

    QVERIFY(!DownloadRunning());
    QVERIFY(!ScaleComm->isActive());
    QVERIFY(t.form->btnDownload->isEnabled());
    const QStringList lines = t.Lines();
    QCOMPARE(lines.last(), QString::fromUtf8(kMsgUpgradeStopped.data(), kMsgUpgradeStopped.size()));
    QVERIFY(lines[lines.size() - 2].startsWith("update("));

    const std::vector<DownloadRecord> recs = t.Records();
    QCOMPARE(recs.size(), std::size_t(1));
    const DownloadRecord& r = recs[0];
    QCOMPARE(r.outcome, RunOutcome::Aborted);
    QCOMPARE(r.firmwareOutcome, StepOutcome::Aborted);
    QCOMPARE(r.blockOutcome, StepOutcome::Ok);
    QVERIFY(r.blocksSent.has_value());
    QVERIFY(*r.blocksSent >= 1 && *r.blocksSent < 992);
    QCOMPARE(r.blocksToSend, std::optional<std::int64_t>(992));

    // What the scale received: blocks 32 up to at most the one in flight, never the finish.
    std::int64_t lastBlock = -1;
    for (const auto& e : sim.WaitLog(3 + static_cast<std::size_t>(*r.blocksSent), 5000)) {
      QVERIFY(!(e.cmd == 15 && e.arg == 1));
      if (e.cmd == 15 && e.arg >= 32) lastBlock = std::max<std::int64_t>(lastBlock, e.arg);
    }
    QVERIFY2(lastBlock >= 32 + *r.blocksSent - 1 && lastBlock <= 32 + *r.blocksSent,
             qPrintable(QString("last block %1, acknowledged %2").arg(lastBlock).arg(*r.blocksSent)));
  }

  // One record per window download, whatever the outcome, read back from the database.
  void everyRunIsRecorded_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("connect");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<qint64>("blocksSent");
    QTest::newRow("completed") << QStringList{} << "ok" << "ok" << "completed" << qint64(8);
    QTest::newRow("block refused") << QStringList{"--stop-ack-from-block", "36"} << "failed" << "ok"
                                   << "block_failed" << qint64(4);
    QTest::newRow("no answer") << QStringList{"--silent"} << "failed" << "failed" << "not_run" << qint64(0);
  }
  void everyRunIsRecorded() {
    QFETCH(QStringList, simArgs);
    QFETCH(QString, outcome);
    QFETCH(QString, connect);
    QFETCH(QString, firmware);
    QFETCH(qint64, blocksSent);
    std::vector<std::string> args;
    for (const QString& a : simArgs) args.push_back(a.toStdString());
    SimProcess sim(args);
    Tool t(sim, false);
    const std::string image = t.Image(10240);  // 40 blocks, 8 sent
    t.UseFirmware(image);
    t.dialogs.yesNo.push_back(false);
    const std::string before = UtcNowIso();
    t.form->btnDownload->click();

    const std::vector<DownloadRecord> recs = t.Records();
    QCOMPARE(recs.size(), std::size_t(1));
    const DownloadRecord& r = recs[0];
    QCOMPARE(QString::fromUtf8(Spell(r.outcome)), outcome);
    QCOMPARE(QString::fromUtf8(Spell(r.connectOutcome)), connect);
    QCOMPARE(QString::fromUtf8(Spell(r.firmwareOutcome)), firmware);
    QCOMPARE(r.blocksSent, std::optional<std::int64_t>(blocksSent));
    QCOMPARE(r.blocksToSend, std::optional<std::int64_t>(8));
    QCOMPARE(r.program, std::string("facset"));
    QCOMPARE(r.transport, std::string("udp"));
    QCOMPARE(r.target, std::string("127.0.0.1"));
    QCOMPARE(r.paramFile, t.dir.file("facconfig.ini"));
    QCOMPARE(ParamBytes(r), t.Expected());
    QCOMPARE(r.firmwarePath, image);
    QCOMPARE(r.firmwareSize, std::optional<std::int64_t>(10240));
    const std::string bytes = ReadAll(image);
    QCOMPARE(r.firmwareSha256, Sha256Hex(bytes.data(), bytes.size()));
    QVERIFY(!r.exitCode);
    QVERIFY(r.startUtc >= before && r.endUtc >= r.startUtc);
    QCOMPARE(r.log, t.LogLines());  // the run's lines as the window shows them
    if (outcome == "ok") QCOMPARE(ReadAll(sim.paramFile()), t.Expected());
  }

  // The marked row goes up only after a block the scale acknowledged.
  void increaseFollowsOnlyAProvenBlock_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("after");
    QTest::newRow("acknowledged") << QStringList{} << 8;
    QTest::newRow("block refused") << QStringList{"--refuse", "80/0"} << 7;
  }
  void increaseFollowsOnlyAProvenBlock() {
    QFETCH(QStringList, simArgs);
    QFETCH(int, after);
    std::vector<std::string> args;
    for (const QString& a : simArgs) args.push_back(a.toStdString());
    SimProcess sim(args);
    Tool t(sim, false, "byte[26 ]=7\r\nbyte[26 ]t=Scale number\r\nbyte[26 ]n=1\r\nbyte[26 ]x=1 to 99\r\n");
    t.form->SetIncreaseMark(26);
    QCOMPARE(t.form->IncreaseMark(), 26);
    t.dialogs.yesNo.push_back(false);  // the mark is unsaved: the save question comes first
    t.form->btnDownload->click();
    QCOMPARE(int(t.form->Params().Block[26]), after);
    auto* row = t.form->findChild<QComboBox*>("CboxAuto26");
    QVERIFY(row != nullptr);
    QCOMPARE(row->currentText(), QString::number(after));
    QCOMPARE(t.form->IncreaseMark(), 26);
    if (after == 8) QCOMPARE(int(static_cast<unsigned char>(ReadAll(sim.paramFile())[26])), 7);
  }

  // A database that cannot be written leaves the download as it was and says so in the log.
  void unwritableDatabaseNeverFailsTheDownload() {
    SimProcess sim;
    Tool t(sim, false);
    QVERIFY(QDir().mkdir(QString::fromStdString(t.dir.file(std::string(kRecordsFileName)))));
    t.form->btnDownload->click();
    const QStringList l = t.Lines();
    QCOMPARE(l.size(), 4);
    QCOMPARE(l.mid(0, 3), (QStringList{" connect ...127.0.0.1", " connect ok ", " set ok ! "}));
    QVERIFY2(l[3].startsWith("record not kept: "), qPrintable(l[3]));
    QCOMPARE(ReadAll(sim.paramFile()), t.Expected());
    QVERIFY(t.dialogs.calls.empty());
    QVERIFY(t.form->btnDownload->isEnabled());
  }

  // Another station process holding the database makes the record wait, not
  // the window: it keeps handling events and the record lands once the lock goes.
  void aBusyDatabaseLeavesTheWindowResponsive() {
    SimProcess sim;
    Tool t(sim, false);
    QProcess holder;
    holder.start("python3", {"-c",
                             "import sqlite3, sys, time\n"
                             "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                             "c.execute('BEGIN EXCLUSIVE')\n"
                             "print('locked', flush=True)\n"
                             "time.sleep(2)\n",
                             QString::fromStdString(t.dir.file(std::string(kRecordsFileName)))});
    QVERIFY(holder.waitForReadyRead(15000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(50);
    t.form->btnDownload->click();
    tick.stop();
    QVERIFY(holder.state() == QProcess::NotRunning || holder.waitForFinished(15000));
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));  // about 40 in two seconds
    QCOMPARE(t.Lines(), (QStringList{" connect ...127.0.0.1", " connect ok ", " set ok ! "}));
    const std::vector<DownloadRecord> recs = t.Records();
    QCOMPARE(recs.size(), std::size_t(1));
    QCOMPARE(recs[0].outcome, RunOutcome::Ok);
  }

  // Another process of the station holding the scale (here this test, through
  // the same station lock): the window waits its bounded time, then says who
  // holds it in the log; nothing reaches the scale and nothing is recorded.
  void aScaleInUseElsewhereIsNamedInTheLog() {
    SimProcess sim;
    Tool t(sim, false);
    TargetLock::Taken held = TargetLock::Take(UdpTarget{"127.0.0.1", sim.udpPort()}, std::chrono::milliseconds(0));
    QVERIFY(held.lock);
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(100);
    t.form->btnDownload->click();
    tick.stop();
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));  // the window kept its events flowing
    const QStringList l = t.Lines();
    QCOMPARE(l.size(), 1);
    QVERIFY2(l[0].contains("in use by pid " + QString::number(::getpid())), qPrintable(l[0]));
    QVERIFY(sim.WaitLog(1, 300).empty());
    QVERIFY(t.Records().empty());
    QVERIFY(t.form->btnDownload->isEnabled());
    held.lock.reset();
    t.form->btnDownload->click();  // free again
    QCOMPARE(t.Lines().mid(1), (QStringList{" connect ...127.0.0.1", " connect ok ", " set ok ! "}));
  }

  // The file last opened, not facconfig.ini, names the parameters of a later download.
  void openedFileIsRecordedAsTheParameterFile() {
    SimProcess sim;
    Tool t(sim, false);
    const std::string other = t.dir.file("line 3.ini");
    std::ofstream(other, std::ios::binary) << "[Set]\r\nlngstr=_en\r\n[port]\r\nip=127.0.0.1\r\nuse com=0\r\n"
                                              "[factory]\r\nIsDownkDownProg=0\r\nbyte[3  ]=2\r\nbyte[200]=77\r\n";
    t.dialogs.openPaths.push_back(other);
    t.form->btnopen->click();
    t.dialogs.yesNo.push_back(false);  // opening marks the settings modified
    t.form->btnDownload->click();
    const std::vector<DownloadRecord> recs = t.Records();
    QCOMPARE(recs.size(), std::size_t(1));
    QCOMPARE(recs[0].paramFile, other);
    QCOMPARE(recs[0].outcome, RunOutcome::Ok);
    QCOMPARE(recs[0].firmwareOutcome, StepOutcome::NotAsked);
    QVERIFY(!recs[0].blocksSent);
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  WindowDownloadTest t;
  return QTest::qExec(&t, argc, argv);
}

#include "window_download_test.moc"
