// Several scales at once, to the end of every run: the parent stopped or
// killed, its output closed, a bad target among good ones, 600 targets under
// a low open-file limit, targets files as Windows editors save them. Each case
// checks what every scale (scale-sim on 127.0.0.x and a pseudo-terminal)
// received and what the station records hold.
#include <dirent.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>
#include <set>

#include "cli_run.h"
#include "download/target_lock.h"
#include "sim_gang.h"

namespace facset::testing {
namespace {

using SimOptions = std::vector<std::vector<std::string>>;
using GangEnd = Station;

std::vector<std::string> Silent(int fromBlock) {
  return {"--stop-ack-from-block", std::to_string(fromBlock), "--stop-ack-mode", "silent"};
}

// Processes running the program `path` (our copy of facset-cli).
int ProcessesOf(const std::string& path) {
  int n = 0;
  DIR* d = ::opendir("/proc");
  if (!d) return 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char exe[4096];
    const std::string link = std::string("/proc/") + e->d_name + "/exe";
    const ssize_t len = ::readlink(link.c_str(), exe, sizeof exe - 1);
    n += len > 0 && std::string(exe, static_cast<std::size_t>(len)) == path;
  }
  ::closedir(d);
  return n;
}

std::map<std::string, const DownloadRecord*> ByTarget(const std::vector<DownloadRecord>& records) {
  std::map<std::string, const DownloadRecord*> m;
  for (const DownloadRecord& r : records) m[r.target] = &r;
  return m;
}

// The parent stopped by SIGTERM or SIGHUP passes the signal on; killed by
// SIGKILL (what subprocess.run(timeout=) sends) it cannot, and each child
// stops by itself. Either way every started scale gets nothing more, each
// child writes its record (aborted, blocks_sent = the blocks its scale
// acknowledged) after its output went nowhere, and no child is left running.
// A target whose turn had not come never starts.
TEST_F(GangEnd, ParentStoppedOrKilledEveryChildStillRecords) {
  const std::string image = Image(60);
  const int silentAt[] = {40, 44, 36};
  for (const int sig : {SIGTERM, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(strsignal(sig));
    std::filesystem::remove_all(home);
    ::mkdir(home.c_str(), 0755);
    SimGang sims(SimOptions{Silent(silentAt[0]), Silent(silentAt[1]), {}});
    // The third scale on a serial line instead of the network.
    SimProcess serial(Silent(silentAt[2]), true);
    const std::vector<std::string> targets = {sims.Address(0), sims.Address(1), serial.ptyPath(), sims.Address(2)};
    Running parent = Start({"--ip", targets[0], "--ip", targets[1], "--com", targets[2], "--ip", targets[3], "--jobs",
                            "3", "--firmware", image, "--timeout", "5000"},
                           sims.port());
    SimProcess* scale[] = {&sims[0], &sims[1], &serial};
    ASSERT_TRUE(WaitFor([&] {
      for (int i = 0; i < 3; ++i) {
        if (SeenBy(*scale[i]).blocksAsked <= silentAt[i] - 32) return false;
      }
      return true;
    })) << Out() << Err();
    parent.Signal(sig);
    const int status = parent.Wait();
    // Killed, the parent could not wait for its children: their records tell when they are done.
    ASSERT_TRUE(WaitFor([&] { return Records().size() == 3 && ProcessesOf(cli) == 0; })) << Records().size();

    const auto records = Records();
    const auto byTarget = ByTarget(records);
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(targets[i]);
      ASSERT_EQ(byTarget.count(targets[i]), 1u);
      const DownloadRecord& r = *byTarget.at(targets[i]);
      const UpgradeSeen s = SeenBy(*scale[i]);
      EXPECT_EQ(r.outcome, RunOutcome::Aborted);
      EXPECT_EQ(r.exitCode, 130);
      EXPECT_EQ(r.firmwareOutcome, StepOutcome::Aborted);
      EXPECT_EQ(s.blocksAcked, silentAt[i] - 32);
      EXPECT_EQ(r.blocksSent, s.blocksAcked);
      EXPECT_FALSE(s.finished);
      EXPECT_EQ(ReadFileBytes(scale[i]->paramFile()), ExpectedBlock());
    }
    EXPECT_TRUE(sims[2].Log().empty()) << "the fourth target started";
    if (sig == SIGKILL) {
      EXPECT_EQ(status, 128 + SIGKILL);
      continue;
    }
    EXPECT_EQ(status, 130) << Err();
    for (int i = 0; i < 3; ++i) {
      EXPECT_NE(SummaryRow(Out(), targets[i]).find("interrupted (exit 130)"), std::string::npos) << Out();
    }
    EXPECT_NE(SummaryRow(Out(), targets[3]).find("interrupted (not started)"), std::string::npos) << Out();
    EXPECT_NE(Out().find("0 of 4 done; exit code 130\n"), std::string::npos) << Out();
  }
}

// `| head -1` on a several-targets run: every scale is still done, the exit
// code is the worst target's, not a death by SIGPIPE.
TEST_F(GangEnd, ClosedStdoutKeepsEveryRunAndTheWorstExitCode) {
  const std::string image = Image(100);
  struct Case {
    const char* name;
    SimOptions sims;
    int status;
  };
  const Case cases[] = {
      {"all done", {{"--delay", "10"}, {"--delay", "10"}, {"--delay", "10"}}, 0},
      {"one silent", {{"--delay", "10"}, {"--silent"}, {"--delay", "10"}}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home);
    ::mkdir(home.c_str(), 0755);
    SimGang sims(c.sims);
    int out = -1;
    Running parent = StartOnPipe({"--ip", sims.Address(0), "--ip", sims.Address(1), "--ip", sims.Address(2),
                                  "--firmware", image, "--retries", "1", "--timeout", "300"},
                                 sims.port(), out);
    std::string first;
    ASSERT_TRUE(WaitFor([&] {
      ReadSome(out, first);
      return first.find('\n') != std::string::npos;
    }));
    ::close(out);
    EXPECT_EQ(parent.Wait(), c.status) << Err();
    EXPECT_NE(Err().find("stdout could not be written (Broken pipe)"), std::string::npos) << Err();

    const auto records = Records();
    ASSERT_EQ(records.size(), 3u);
    const auto byTarget = ByTarget(records);
    for (std::size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(sims.Address(i));
      const DownloadRecord& r = *byTarget.at(sims.Address(i));
      if (c.sims[i][0] == "--silent") {
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.error, "no connection to the scale at " + sims.Address(i) + " (no answer)");
        continue;
      }
      EXPECT_EQ(r.outcome, RunOutcome::Ok);
      EXPECT_EQ(r.blocksSent, 100);
      EXPECT_TRUE(SeenBy(sims[i]).finished);
      EXPECT_TRUE(ReadFileBytes(sims[i].firmwareFile()) == Received(ReadFileBytes(image)));
    }
  }
}

// Every target is checked before any starts; one refused target refuses
// them all (exit 6) and no scale hears a thing, none is recorded.
TEST_F(GangEnd, EveryTargetIsCheckedBeforeAnyStarts) {
  SimGang sims(2);
  SimProcess serial({}, true);
  const std::string link = dir / "scale-link";
  std::filesystem::create_symlink(serial.ptyPath(), link);
  const std::string image = Image(10);
  const std::string a = sims.Address(0), b = sims.Address(1), missing = dir / "ttyUSB97";
  struct Case {
    std::vector<std::string> args;
    std::string err;  // part of the reason on stderr
    bool heldB = false;  // another process holds b (a refusal that takes the lock's wait: once, without --json)
    std::string factory = {};
  };
  const Case cases[] = {
      {{"--ip", a, "--com", missing, "--firmware", image}, "serial port " + missing + ": No such file or directory"},
      {{"--ip", a, "--com", "/dev/null", "--ip", b}, "serial port /dev/null: not a terminal"},
      {{"--com", "/dev/null"}, "serial port /dev/null: not a terminal"},
      {{"--ip", a, "--com", serial.ptyPath(), "--com", link},
       "targets " + serial.ptyPath() + " and " + link + " are one scale"},
      {{"--ip", a, "--ip", b, "--firmware", dir / "no-image.hex"}, "no-image.hex"},
      {{"--ip", a, "--ip", b, "--strict"}, "1 value outside a byte (0..255), refused by --strict", false,
       "byte[3  ]=256\r\n"},
      {{"--ip", a, "--ip", b}, "the scale at " + b + ":" + std::to_string(sims.port()) + " is in use by pid " +
                                   std::to_string(::getpid()), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    WriteParams(c.factory);
    std::unique_ptr<TargetLock> held;
    if (c.heldB) held = TargetLock::Take(UdpTarget{b, sims.port()}, std::chrono::milliseconds(0)).lock;
    for (const bool json : {false, true}) {
      if (json && c.heldB) continue;
      std::vector<std::string> args = c.args;
      if (json) args.push_back("--json");
      const ProcessResult r = Run(args, sims.port());
      EXPECT_EQ(r.status, 6) << r.err;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
      if (!json) {
        EXPECT_EQ(r.out, "");
        continue;
      }
      // Each target named, none sent anything; a single one gives its own document.
      const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
      const QJsonArray all = doc.isArray() ? doc.array() : QJsonArray{doc.object()};
      const auto named = std::count_if(c.args.begin(), c.args.end(), [](const std::string& x) { return x == "--ip" || x == "--com"; });
      EXPECT_EQ(all.size(), named) << r.out;
      EXPECT_EQ(doc.isArray(), named > 1) << r.out;
      for (const auto& v : all) EXPECT_EQ(v.toObject()["exit_code"].toInt(), 6) << r.out;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(sims[0].Log().empty());
  EXPECT_TRUE(sims[1].Log().empty());
  EXPECT_TRUE(serial.Log().empty());
  EXPECT_TRUE(Records().empty());
}

// 600 targets under `ulimit -n 256`, more jobs asked than the limit holds:
// fewer run at once (stderr says so), every target is tried, and the summary
// and the records list each once. Three scales answer, among them the first
// and the last target; the others are unreachable.
TEST_F(GangEnd, SixHundredTargetsUnderALowOpenFileLimit) {
  SimGang sims(3);
  std::vector<std::string> targets;  // 127.0.1.1 ... 127.0.3.97: nothing listens there
  for (int i = 0; i < 597; ++i) targets.push_back("127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250));
  targets.insert(targets.begin(), sims.Address(0));
  targets.insert(targets.begin() + 300, sims.Address(1));
  targets.push_back(sims.Address(2));
  std::string list;
  for (const std::string& t : targets) list += t + "\n";
  WriteFileBytes(dir / "targets.txt", list);
  ASSERT_EQ(std::set<std::string>(targets.begin(), targets.end()).size(), 600u);

  std::vector<std::string> args = Download(
      {"--targets", dir / "targets.txt", "--jobs", "300", "--retries", "0", "--timeout", "1000", "--no-firmware"});
  args.insert(args.begin(), {"-c", "ulimit -n 256 && exec \"$0\" \"$@\""});
  const ProcessResult r = RunProcess("/bin/sh", args, Env(sims.port()));
  EXPECT_EQ(r.status, 3) << r.err.substr(0, 2000);
  EXPECT_NE(r.err.find("downloads at once: the open-file limit allows no more"), std::string::npos)
      << r.err.substr(0, 2000);
  EXPECT_EQ(r.err.find("Too many open files"), std::string::npos) << r.err.substr(0, 2000);
  EXPECT_EQ(r.err.find("cannot start"), std::string::npos) << r.err.substr(0, 2000);
  for (const std::string& t : targets) {
    const std::string row = SummaryRow(r.out, t);
    ASSERT_FALSE(row.empty()) << t;
    const bool answers = t.rfind("127.0.0.", 0) == 0;
    EXPECT_NE(row.find(answers ? " done " : " unreachable (exit 3) "), std::string::npos) << row;
  }
  EXPECT_NE(r.out.find("3 of 600 done; exit code 3\n"), std::string::npos);

  const auto records = Records();
  EXPECT_EQ(records.size(), 600u);
  const auto byTarget = ByTarget(records);
  EXPECT_EQ(byTarget.size(), 600u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(ReadFileBytes(sims[i].paramFile()), ExpectedBlock());
    ASSERT_EQ(byTarget.count(sims.Address(i)), 1u);
    EXPECT_EQ(byTarget.at(sims.Address(i))->outcome, RunOutcome::Ok);
  }
  for (const DownloadRecord& rec : records) {
    if (rec.outcome != RunOutcome::Ok) {
      EXPECT_FALSE(rec.error.empty()) << rec.target;
    }
  }
}

// Targets files as editors save them: a UTF-8 byte order mark is skipped;
// UTF-16 is refused as UTF-16; a folder or an unreadable file is refused with
// the reason (exit 6). With --targets, --json gives an array whatever the
// number of lines, an empty one when the file was refused.
TEST_F(GangEnd, TargetsFilesAsEditorsSaveThem) {
  SimGang sims(2);
  const std::string a = sims.Address(0), b = sims.Address(1);
  auto utf16le = [](const std::string& ascii) {
    std::string s;
    for (const char ch : ascii) s += std::string{ch, '\0'};
    return s;
  };
  ::mkdir((dir / "folder").c_str(), 0755);
  struct Case {
    const char* name;
    std::string text;  // "": the path is the folder, or the file is unreadable
    int status;
    std::string err;
    std::vector<std::string> sent;  // targets whose scale got the block
  };
  const Case cases[] = {
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + a + "\r\n" + b + "\r\n", 0, "", {a, b}},
      {"one line", "\xEF\xBB\xBF" + a + "\r\n", 0, "", {a}},
      {"UTF-16 with BOM", "\xFF\xFE" + utf16le(a + "\r\n" + b + "\r\n"), 6, "UTF-16 text", {}},
      {"UTF-16 without BOM", utf16le(a + "\r\n"), 6, "a NUL byte at byte 2 (UTF-16 text?)", {}},
      {"folder", "", 6, "a folder, not a regular file", {}},
      {"unreadable", "", 6, "Permission denied", {}},
  };
  const bool root = ::geteuid() == 0;
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(params.c_str(), 0644);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    std::filesystem::remove_all(home);
    ::mkdir(home.c_str(), 0755);
    for (std::size_t i = 0; i < 2; ++i) std::filesystem::remove(sims[i].paramFile());
    std::string path = dir / "targets.txt";
    if (name == "folder") path = dir / "folder";
    WriteFileBytes(dir / "targets.txt", name == "unreadable" ? a + "\n" : c.text);
    ::chmod(path.c_str(), name == "unreadable" ? 0 : 0644);

    std::vector<std::string> args = {"--targets", path, "--json"};
    ProcessResult r;
    if (name == "unreadable" && root) {
      // Root reads anything: an ordinary user whose files folder this is.
      ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
      args = Download(args);
      args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups"});
      r = RunProcess("/usr/bin/setpriv", args, Env(sims.port()));
    } else {
      r = Run(args, sims.port());
    }
    EXPECT_EQ(r.status, c.status) << r.err;
    if (!c.err.empty()) {
      EXPECT_NE(r.err.find(path + ": " + c.err), std::string::npos) << r.err;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
    ASSERT_TRUE(doc.isArray()) << r.out;
    EXPECT_EQ(doc.array().size(), static_cast<int>(c.sent.size())) << r.out;
    for (std::size_t i = 0; i < 2; ++i) {
      const bool sent = std::find(c.sent.begin(), c.sent.end(), sims.Address(i)) != c.sent.end();
      EXPECT_EQ(ReadFileBytes(sims[i].paramFile()), sent ? ExpectedBlock() : "") << sims.Address(i);
    }
    EXPECT_EQ(Records().size(), c.sent.size());
    ::chmod(path.c_str(), 0644);
  }
}

}  // namespace
}  // namespace facset::testing
