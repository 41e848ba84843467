// One download to its end whatever happens around it: a reader that goes
// away, a full disk, a closed terminal, a signal, a database it may not write,
// values a hand edit left outside a byte. Each case checks what the scale
// (scale-sim) received and what the station record holds.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "cli_run.h"
#include "download/download_messages.h"

namespace facset::testing {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

using RunEnd = Station;

// `| head -3` during an upgrade: the run goes on to its end, says once on
// stderr that its output was lost, and its record keeps the whole log.
TEST_F(RunEnd, PipeClosedDuringAnUpgradeNeitherStopsNorHidesTheRun) {
  // Two seconds of blocks: the pipe closes while they stream, however slow the machine.
  SimProcess sim({"--delay", "10"});
  const std::string image = Image(200);
  int out = -1;
  Running run = StartOnPipe({"--firmware", image}, sim.udpPort(), out);
  std::string seen;
  ASSERT_TRUE(WaitFor([&] {
    ReadSome(out, seen);
    return seen.find("Start updating") != std::string::npos;
  })) << seen;
  ASSERT_LT(SeenBy(sim).blocksAsked, 200);
  ::close(out);

  EXPECT_EQ(run.Wait(), 0) << Err();
  const UpgradeSeen s = SeenBy(sim);
  EXPECT_EQ(s.blocksAcked, 200);
  EXPECT_TRUE(s.finished);
  EXPECT_TRUE(ReadFileBytes(sim.firmwareFile()) == Received(ReadFileBytes(image)));
  EXPECT_EQ(Count(Err(), "stdout could not be written (Broken pipe)"), 1u) << Err();

  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  const DownloadRecord& r = records[0];
  EXPECT_EQ(r.outcome, RunOutcome::Ok);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.blocksSent, 200);
  // The whole log, the lines after the pipe closed included.
  ASSERT_GE(r.log.size(), 8u);
  EXPECT_EQ(r.log[0], " connect ...127.0.0.1");
  EXPECT_NE(std::find(r.log.begin(), r.log.end(), "Update completed"), r.log.end());
  EXPECT_EQ(r.log.back(), std::string(kMsgReportRule));
}

// stdout on a disk with no room left: the exit code is still the scale's,
// stderr says what was lost, the record keeps the log.
void ExpectFullDiskRun(const ProcessResult& run, const SimProcess& sim, const std::vector<DownloadRecord>& records,
                       const std::string& image) {
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Count(run.err, "stdout could not be written (No space left on device)"), 1u) << run.err;
  EXPECT_TRUE(ReadFileBytes(sim.firmwareFile()) == Station::Received(ReadFileBytes(image)));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].outcome, RunOutcome::Ok);
  ASSERT_GE(records[0].log.size(), 3u);
  EXPECT_EQ(records[0].log[1], " connect ok ");
  EXPECT_EQ(records[0].log[2], " set ok ! ");
  EXPECT_EQ(records[0].log.back(), std::string(kMsgReportRule));
}

TEST_F(RunEnd, FullDiskForStdoutDevFull) {
  SimProcess sim;
  const std::string image = Image(20);
  std::vector<std::string> args = Download({"--firmware", image});
  args.erase(args.begin());
  const std::string errPath = dir / "err";
  Running run(SpawnCaptured(cli, args, Env(sim.udpPort()), "/dev/full", errPath));
  ProcessResult r;
  r.status = run.Wait();
  r.err = ReadFileBytes(errPath);
  ExpectFullDiskRun(r, sim, Records(), image);
}

// The same on a real file system that is full: a tmpfs of one page, filled,
// in a mount namespace of the test's own.
TEST_F(RunEnd, FullDiskForStdoutSmallTmpfs) {
  const std::string mnt = dir / "full";
  ::mkdir(mnt.c_str(), 0755);
  const ProcessResult probe = RunProcess("/usr/bin/unshare", {"-Urm", "sh", "-c", "mount -t tmpfs -o size=4k none \"$0\"", mnt});
  if (probe.status != 0) GTEST_SKIP() << "no tmpfs can be mounted here (" << probe.err << "); /dev/full stands in";

  SimProcess sim;
  const std::string image = Image(20);
  std::vector<std::string> args = {"-Urm", "sh", "-c",
                                   "mount -t tmpfs -o size=4k none \"$0\" && head -c 4096 /dev/zero > \"$0/filler\"; "
                                   "exec \"$@\" > \"$0/out\"",
                                   mnt};
  const std::vector<std::string> download = Download({"--firmware", image});
  args.insert(args.end(), download.begin(), download.end());
  const ProcessResult run = RunProcess("/usr/bin/unshare", args, Env(sim.udpPort()));
  ExpectFullDiskRun(run, sim, Records(), image);
}

// SIGTERM, SIGHUP, and the terminal itself closed in the middle of an upgrade:
// the run stops as interrupted (130), the scale gets nothing more (no finish
// request), and the record counts the blocks the scale acknowledged. Started
// under nohup, a closed terminal leaves the run to complete.
TEST_F(RunEnd, SignalsAndAClosedTerminalEndTheRunRecorded) {
  enum class How { Term, Hup, CloseTerminal, CloseTerminalUnderNohup };
  struct Case {
    const char* name;
    How how;
    std::vector<std::string> simArgs;
    int status;
  };
  // Blocks 32..39 acknowledged, then the scale falls silent.
  const std::vector<std::string> silentAt40 = {"--stop-ack-from-block", "40", "--stop-ack-mode", "silent"};
  const Case cases[] = {
      {"SIGTERM", How::Term, silentAt40, 130},
      {"SIGHUP", How::Hup, silentAt40, 130},
      {"terminal closed", How::CloseTerminal, silentAt40, 130},
      {"terminal closed under nohup", How::CloseTerminalUnderNohup, {"--delay", "10"}, 0},
  };
  const std::string image = Image(60);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home);
    ::mkdir(home.c_str(), 0755);
    SimProcess sim(c.simArgs);
    // Waits long enough that only the signal ends the run, however loaded the machine.
    const std::vector<std::string> args = {"--firmware", image, "--timeout", "5000"};
    const bool onTerminal = c.how == How::CloseTerminal || c.how == How::CloseTerminalUnderNohup;
    int master = -1;
    Running run = onTerminal ? StartOnTerminal(args, sim.udpPort(), master, c.how == How::CloseTerminalUnderNohup)
                             : Start(args, sim.udpPort());
    std::string shown;
    ASSERT_TRUE(WaitFor([&] {
      if (master >= 0) ReadSome(master, shown, 5);
      return SeenBy(sim).blocksAsked >= 9;
    })) << shown << Out();
    if (onTerminal) {
      ::close(master);
    } else {
      run.Signal(c.how == How::Term ? SIGTERM : SIGHUP);
    }
    ASSERT_EQ(run.Wait(), c.status) << Err();

    const UpgradeSeen s = SeenBy(sim);
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    const DownloadRecord& r = records[0];
    EXPECT_EQ(r.exitCode, c.status);
    EXPECT_EQ(r.blocksSent, s.blocksAcked);
    EXPECT_EQ(ReadFileBytes(sim.paramFile()), ExpectedBlock());
    if (c.status == 0) {
      EXPECT_EQ(r.outcome, RunOutcome::Ok);
      EXPECT_TRUE(s.finished);
      EXPECT_EQ(s.blocksAcked, 60);
      continue;
    }
    EXPECT_EQ(r.outcome, RunOutcome::Aborted);
    EXPECT_EQ(r.firmwareOutcome, StepOutcome::Aborted);
    EXPECT_FALSE(s.finished);
    EXPECT_EQ(s.blocksAcked, 8);
    EXPECT_EQ(r.log.back(), std::string(kMsgUpgradeStopped));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(SeenBy(sim).blocksAsked, s.blocksAsked) << "requests after the run ended";
    if (!onTerminal) {
      EXPECT_NE(Err().find("middle of a firmware upgrade"), std::string::npos) << Err();
    }
  }
}

// Hand-edited values outside a byte: a warning line per key before the link
// opens, naming the key, its text and the byte sent, which is what the scale
// gets; --strict refuses the file and sends nothing.
TEST_F(RunEnd, BytesOutsideAByteAreNamedBeforeConnectingOrRefused) {
  WriteParams("byte[2  ]=300\r\nbyte[7  ]=12abc\r\nbyte[9  ]=4294967297\r\nbyte[10 ]=0xFF\r\n");
  SimProcess sim;
  // stderr and stdout in one stream, to see the order.
  auto merged = [&](std::vector<std::string> args) {
    args = Download(args);
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1"});
    return RunProcess("/bin/sh", args, Env(sim.udpPort()));
  };
  const std::string warnings = "facset-cli: warning: " + params + ": byte[2  ]=300 is not a byte (0..255); 44 is sent\n" +
                               "facset-cli: warning: " + params + ": byte[7  ]=12abc is not a byte (0..255); 0 is sent\n" +
                               "facset-cli: warning: " + params +
                               ": byte[9  ]=4294967297 is not a byte (0..255); 0 is sent\n";
  const ProcessResult sent = merged({});
  EXPECT_EQ(sent.status, 0) << sent.out;
  EXPECT_EQ(sent.out.rfind(warnings + " connect ...127.0.0.1\n", 0), 0u) << sent.out;
  std::string block = ExpectedBlock();
  block[2] = 44;
  block[10] = static_cast<char>(0xFF);
  EXPECT_EQ(ReadFileBytes(sim.paramFile()), block);
  ASSERT_EQ(Records().size(), 1u);

  std::filesystem::remove(sim.paramFile());
  const std::size_t requests = sim.Log().size();
  const ProcessResult strict = merged({"--strict", "--json"});
  EXPECT_EQ(strict.status, 6);
  EXPECT_NE(strict.out.find(params + ": byte[9  ]=4294967297 is not a byte (0..255)\n"), std::string::npos)
      << strict.out;
  EXPECT_EQ(strict.out.find("is sent"), std::string::npos) << strict.out;
  const std::string json = strict.out.substr(strict.out.find('{'));
  const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
  EXPECT_EQ(doc["exit_code"].toInt(), 6) << json;
  EXPECT_EQ(doc["error"].toString().toStdString(), params + ": 3 values outside a byte (0..255), refused by --strict");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sim.Log().size(), requests);
  EXPECT_FALSE(FileExists(sim.paramFile()));
  EXPECT_EQ(Records().size(), 1u);  // a refused input reached no scale: no record
}

// A station database that cannot be written is reported as read-only, whether
// the file, its folder or the file system is: the log's last line says so, and
// the download's exit code stays its own.
TEST_F(RunEnd, ReadOnlyDatabaseIsReportedAsReadOnly) {
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    std::string reason;  // the end of "record not kept: ..."
  };
  const std::string db = home + "/" + std::string(kRecordsFileName);
  const Case cases[] = {
      {"file", "cannot write " + db + ": read-only (Permission denied)"},
      {"folder", "cannot write " + db + ": its folder is read-only (Permission denied)"},
      {"file system", "cannot write " + db + ": read-only (Read-only file system)"},
  };
  // The program and FILE readable by an ordinary user, who runs it when we are root.
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(params.c_str(), 0644);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home);
    ::mkdir(home.c_str(), 0755);
    DownloadRecord earlier;
    earlier.startUtc = earlier.endUtc = "2026-12-09T10:00:00.000Z";
    ASSERT_TRUE(AppendRecord(home, earlier));
    const std::string c0 = c.name;
    if (c0 == "file") {
      for (const std::string& f : {db, db + "-wal", db + "-shm"}) ::chmod(f.c_str(), 0444);
    }
    if (c0 == "folder") {
      // The file itself may be written; only no file can be made beside it.
      std::filesystem::remove(db + "-wal");
      std::filesystem::remove(db + "-shm");
      if (root) {
        ASSERT_EQ(::chown(db.c_str(), 65534, 65534), 0);
      }
    }
    // The folder is the user's own (the tool refuses anyone else's).
    if (root && c0 != "file system") {
      ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    }
    if (c0 == "folder") ::chmod(home.c_str(), 0555);

    SimProcess sim;
    std::vector<std::string> args = Download({"--no-firmware", "--json"});
    std::string program = cli;
    args.erase(args.begin());
    if (c0 == "file system") {
      // A read-only bind mount of the folder, in a mount namespace of our own.
      args.insert(args.begin(), {"-Urm", "sh", "-c",
                                 "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && exec \"$@\"", home,
                                 cli});
      program = "/usr/bin/unshare";
    } else if (root) {
      args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", cli});
      program = "/usr/bin/setpriv";
    }
    const ProcessResult run = RunProcess(program, args, Env(sim.udpPort()));
    if (c0 == "file system" && run.out.empty()) {
      std::cout << "[  NOTE    ] no read-only mount here: " << run.err << "\n";
      continue;
    }
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(sim.paramFile()), ExpectedBlock());
    const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
    EXPECT_EQ(doc["exit_code"].toInt(), 0) << run.out;
    EXPECT_EQ(doc["lines"].toArray().last().toString().toStdString(), "record not kept: " + c.reason) << run.out;
    ::chmod(home.c_str(), 0755);
  }
}

}  // namespace
}  // namespace facset::testing
