// Several targets at once: the target parsing, the runner with small shell
// children whose behaviour is scripted, and facset-cli against several
// scale-sim instances on 127.0.0.2, 127.0.0.3, ... and a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "cli_run.h"
#include "download/preflight.h"
#include "gang.h"
#include "sim_gang.h"
#include "support/run_process.h"
#include "support/temp_files.h"

namespace facset::cli {
namespace {

using testing::ReadFileBytes;
using testing::SimGang;
using SimOptions = std::vector<std::vector<std::string>>;
using testing::SimProcess;
using testing::TempDir;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

TEST(GangTargets, DottedQuadIsStrict) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"127.0.0.2", true},     {"0.0.0.0", true},      {"255.255.255.255", true}, {"192.168.1.87", true},
      {"256.0.0.1", false},    {"1.2.3", false},       {"1.2.3.4.5", false},      {"1.2.3.", false},
      {".1.2.3", false},       {"01.2.3.4", false},    {"1.2.3.04", false},       {"1..2.3", false},
      {" 1.2.3.4", false},     {"1.2.3.4 ", false},    {"localhost", false},      {"scale-7.lan", false},
      {"0x7f.0.0.1", false},   {"+1.2.3.4", false},    {"1.2.3.4\n", false},      {"", false},
      {"1.2.3.1000", false},   {"127.1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsDottedQuad(c.text), c.ok) << "'" << c.text << "'";
  // A NUL inside must not cut the text down to an address.
  EXPECT_FALSE(IsDottedQuad(std::string_view("1.2.3.4\0x", 9)));
}

TEST(GangTargets, TargetsFileLinesAndRefusals) {
  std::vector<GangTarget> got;
  const std::string text =
      "# line 3\r\n"
      "127.0.0.2\r\n"
      "\r\n"
      "   127.0.0.3   # the second bench\n"
      "com3\n"
      "\t/dev/ttyUSB0\n"
      "#127.0.0.9\n"
      "COM16";  // no line end at the end of the file
  EXPECT_EQ(ParseTargetsText(text, got), "");
  ASSERT_EQ(got.size(), 5u);
  const std::pair<bool, std::string> want[] = {
      {false, "127.0.0.2"}, {false, "127.0.0.3"}, {true, "com3"}, {true, "/dev/ttyUSB0"}, {true, "COM16"}};
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].serial, want[i].first) << i;
    EXPECT_EQ(got[i].name, want[i].second) << i;
  }

  const struct {
    std::string text, error;
  } bad[] = {
      {"127.0.0.2\nscale7.lan\n", "line 2: 'scale7.lan'"},
      {"\n\n127.0.0.2 127.0.0.3\n", "line 3:"},
      {"127.0.0.256\n", "line 1:"},
      {"NONE\n", "line 1: 'NONE'"},
      {"COM0\n", "line 1:"},
      {"ttyUSB0\n", "line 1:"},
  };
  for (const auto& b : bad) {
    std::vector<GangTarget> out;
    EXPECT_EQ(ParseTargetsText(b.text, out).rfind(b.error, 0), 0u) << ParseTargetsText(b.text, out);
  }
}

TEST(GangTargets, CommandLineSplit) {
  TempDir dir;
  const std::string list = dir / "targets.txt", broken = dir / "broken.txt", empty = dir / "empty.txt";
  WriteFileBytes(list, "127.0.0.4\nCOM2\n");
  WriteFileBytes(broken, "127.0.0.4\n\nhost.example\n");
  WriteFileBytes(empty, "# nothing yet\n\n");
  using Args = std::vector<std::string>;
  const struct {
    Args args;
    std::vector<std::string> targets;  // "ip:..." or "com:..."
    Args rest;
    std::string usage = {}, input = {};  // the start of the error expected
  } cases[] = {
      // targets come out, everything else passes through in order; a value of
      // --firmware is never read as an option, nor anything after "--"
      {{"p.ini", "--ip", "127.0.0.2", "--firmware", "--ip", "--com", "COM3", "--", "--ip"},
       {"ip:127.0.0.2", "com:COM3"},
       {"p.ini", "--firmware", "--ip", "--", "--ip"}},
      {{"--targets", list, "--ip", "127.0.0.2", "p.ini"}, {"ip:127.0.0.4", "com:COM2", "ip:127.0.0.2"}, {"p.ini"}},
      // --jobs is the runner's: no child sees it
      {{"p.ini", "--jobs", "4", "--ip", "127.0.0.2", "--ip", "127.0.0.3"}, {"ip:127.0.0.2", "ip:127.0.0.3"}, {"p.ini"}},
      {{"p.ini", "--ip", "127.0.0.2", "--ip", "127.0.0.3", "--jobs", "0"}, {}, {}, "--jobs is a number from 1"},
      {{"p.ini", "--ip", "127.0.0.2", "--jobs", "1x"}, {}, {}, "--jobs is a number from 1"},
      // one target stays as the single download takes it, unchecked
      {{"p.ini", "--ip", "not-checked-here"}, {"ip:not-checked-here"}, {"p.ini"}},
      {{"p.ini", "--ip", "127.0.0.2", "--ip", "scale.lan"}, {}, {}, "'scale.lan' is not a dotted"},
      {{"p.ini", "--com", "COM3", "--com", "ttyS0"}, {}, {}, "unknown serial port 'ttyS0'"},
      {{"p.ini", "--com", "COM3", "--com", "com3"}, {}, {}, "target com3 named twice"},
      {{"p.ini", "--ip", "127.0.0.4", "--targets", list}, {}, {}, "", "target 127.0.0.4 named twice"},
      {{"p.ini", "--ip", "127.0.0.2", "--ip"}, {}, {}, "--ip needs a value"},
      {{"p.ini", "--targets"}, {}, {}, "--targets needs a value"},
      {{"p.ini", "--ip", "127.0.0.2", "--baud", "9600"}, {}, {}, "unknown option --baud"},
      {{"p.ini", "--targets", broken}, {}, {}, "", broken + ": line 3: 'host.example'"},
      {{"p.ini", "--targets", empty}, {}, {}, "", "no target in " + empty},
      {{"p.ini", "--targets", dir / "missing.txt"}, {}, {}, "", "cannot read the targets file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const TargetArgs t = SplitTargetArgs(c.args);
    EXPECT_EQ(t.usageError.rfind(c.usage, 0), 0u) << t.usageError;
    EXPECT_EQ(t.inputError.rfind(c.input, 0), 0u) << t.inputError;
    EXPECT_EQ(c.usage.empty(), t.usageError.empty());
    EXPECT_EQ(c.input.empty(), t.inputError.empty());
    if (!c.usage.empty() || !c.input.empty()) continue;
    std::vector<std::string> targets;
    for (const GangTarget& g : t.targets) targets.push_back((g.serial ? "com:" : "ip:") + g.name);
    EXPECT_EQ(targets, c.targets);
    EXPECT_EQ(t.rest, c.rest);
  }
}

TEST(GangTargets, WorstExitCode) {
  const struct {
    std::vector<int> codes;
    int worst;
  } cases[] = {
      {{}, 0},          {{0, 0, 0}, 0},  {{0, 3, 0}, 3},     {{3, 4, 5}, 5},  {{5, 1, 3}, 1},
      {{1, 6}, 6},      {{6, 2}, 2},     {{2, 130, 1}, 130}, {{0, 127}, 1},  {{4, 127}, 1},
      {{0, 255, 3}, 1}, {{0, 7}, 7},     {{7, 3}, 3},       {{7, 5, 0}, 5},
  };
  for (const auto& c : cases) EXPECT_EQ(WorstExitCode(c.codes), c.worst) << ::testing::PrintToString(c.codes);
}

// ---- the runner, with /bin/sh children: $1 is the target option, $2 the target

struct Captured {
  std::string out, err;
  std::vector<GangChildResult> results;
};

Captured RunShell(const std::string& script, const std::vector<std::string>& names, bool json = false) {
  TempDir dir;
  const std::string outPath = dir / "out", errPath = dir / "err";
  GangPlan plan;
  plan.program = "/bin/sh";
  plan.lead = {"-c", script, "sh"};
  for (const std::string& n : names) plan.targets.push_back({false, n});
  plan.json = json;
  plan.outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  plan.errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  Captured c;
  c.results = RunGang(plan);
  ::close(plan.outFd);
  ::close(plan.errFd);
  c.out = ReadFileBytes(outPath);
  c.err = ReadFileBytes(errPath);
  return c;
}

// The lines of `text` that carry `prefix`, without it.
std::vector<std::string> LinesOf(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t nl = text.find('\n', from);
    const std::string line = text.substr(from, nl - from);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    from = nl == std::string::npos ? text.size() : nl + 1;
  }
  return lines;
}

TEST(GangRunner, WholeLinesPrefixedAndTheTruthInTheSummary) {
  // Every child writes its lines in pieces, at the same moments as the others,
  // ends stdout without a line end and leaves in its own way.
  const std::string script =
      "for i in 1 2 3 4 5; do printf 'line %s of ' $i; sleep 0.02; printf '%s\\n' \"$2\"; done\n"
      "printf 'half line'; printf 'to stderr\\n' >&2\n"
      "case $2 in a) exit 0;; b) exit 4;; c) kill -9 $$;; d) exit 127;; esac\n";
  const Captured c = RunShell(script, {"a", "b", "c", "d"});
  for (const std::string t : {"a", "b", "c", "d"}) {
    SCOPED_TRACE(t);
    std::vector<std::string> want;
    for (int i = 1; i <= 5; ++i) want.push_back("line " + std::to_string(i) + " of " + t);
    want.push_back("half line");
    EXPECT_EQ(LinesOf(c.out, "[" + t + "] "), want);
    EXPECT_EQ(LinesOf(c.err, "[" + t + "] "), std::vector<std::string>{"to stderr"});
  }
  // Nothing but prefixed lines before the summary.
  const std::size_t summary = c.out.find("TARGET");
  ASSERT_NE(summary, std::string::npos) << c.out;
  EXPECT_EQ(LinesOf(c.out.substr(0, summary), "[").size(), 24u);

  ASSERT_EQ(c.results.size(), 4u);
  EXPECT_EQ(c.results[0].code, 0);
  EXPECT_EQ(c.results[1].code, 4);
  EXPECT_EQ(c.results[2].code, 1);
  EXPECT_EQ(c.results[2].signal, SIGKILL);
  EXPECT_EQ(c.results[3].code, 127);
  const std::string table = c.out.substr(summary);
  EXPECT_NE(table.find("a       done"), std::string::npos) << table;
  EXPECT_NE(table.find("b       block not acknowledged (exit 4)"), std::string::npos) << table;
  EXPECT_NE(table.find("c       failed (killed by signal 9)"), std::string::npos) << table;
  EXPECT_NE(table.find("1 of 4 done; exit code 1\n"), std::string::npos) << table;
  EXPECT_GE(c.results[0].seconds, 0.1);
}

TEST(GangRunner, JsonArrayOfTheChildrensDocuments) {
  const std::string script =
      "echo \"child $2 on stderr\" >&2\n"
      "case $2 in\n"
      "  good) printf '{\"target\": \"%s\",\\n \"z\": 1, \"a\": [1.50]}\\n' \"$2\";;\n"
      "  two) echo '{}{}';;\n"
      "  none) exit 3;;\n"
      "  text) echo ' connect err '; exit 1;;\n"
      "  killed) echo '{\"x\":'; kill -9 $$;;\n"
      "esac\n";
  const Captured c = RunShell(script, {"good", "two", "none", "text", "killed"}, true);
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(c.out), &err);
  ASSERT_EQ(err.error, QJsonParseError::NoError) << c.out;
  ASSERT_TRUE(doc.isArray());
  const QJsonArray a = doc.array();
  ASSERT_EQ(a.size(), 5);
  // The child's own document is passed on as it printed it, order of keys included.
  EXPECT_NE(c.out.find("{\"target\": \"good\",\n \"z\": 1, \"a\": [1.50]}"), std::string::npos) << c.out;
  const struct {
    const char* target;
    int code;
    const char* error;
  } ours[] = {{"two", 0, "not a single JSON document"},
              {"none", 3, "no JSON document"},
              {"text", 1, "not a single JSON document"},
              {"killed", 1, "killed by signal 9"}};
  for (int i = 1; i < 5; ++i) {
    const QJsonObject o = a[i].toObject();
    const auto& want = ours[i - 1];
    EXPECT_EQ(o["target"].toString().toStdString(), want.target);
    EXPECT_EQ(o["transport"].toString(), "udp");
    EXPECT_EQ(o["exit_code"].toInt(), want.code) << want.target;
    EXPECT_NE(o["error"].toString().toStdString().find(want.error), std::string::npos) << want.target;
  }
  // stdout holds the array alone; the lines and the summary went to stderr.
  EXPECT_EQ(c.out.back(), '\n');
  EXPECT_NE(c.err.find("[none] child none on stderr\n"), std::string::npos) << c.err;
  // A document gone wrong does not undo what the scale received: "two" still counts as done.
  EXPECT_NE(c.err.find("2 of 5 done; exit code 1"), std::string::npos) << c.err;
}

TEST(GangRunner, InterruptReachesEveryChildOnce) {
  // The children sit in process groups of their own: a signal to the parent
  // reaches them only as passed on, once each.
  const std::string script =
      "trap 'echo \"$2 got INT\"; exit 130' INT\n"
      "trap 'echo \"$2 got TERM\"; exit 143' TERM\n"
      "echo ready; while :; do sleep 0.05; done\n";
  TempDir dir;
  const std::string outPath = dir / "out";
  GangPlan plan;
  plan.program = "/bin/sh";
  plan.lead = {"-c", script, "sh"};
  plan.targets = {{false, "a"}, {false, "b"}, {false, "c"}};
  plan.outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::thread interrupter([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (LinesOf(ReadFileBytes(outPath), "[").size() < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(::getpid(), SIGINT);
  });
  const std::vector<GangChildResult> results = RunGang(plan);
  interrupter.join();
  ::close(plan.outFd);
  const std::string out = ReadFileBytes(outPath);
  for (const std::string t : {"a", "b", "c"})
    EXPECT_EQ(LinesOf(out, "[" + t + "] "), (std::vector<std::string>{"ready", t + " got INT"})) << out;
  std::vector<int> codes;
  for (const auto& r : results) codes.push_back(r.code);
  EXPECT_EQ(codes, (std::vector<int>{130, 130, 130}));
  // The handlers are given back: the process is not left ignoring Ctrl-C.
  struct sigaction now {};
  ::sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

// ---- facset-cli against several scale-sim instances

// The station of tests/cli/cli_run.h: facset-cli copied into a folder of its
// own, the parameter file, FACSET_HOME.
class GangDownload : public testing::Station {
 protected:
  testing::ProcessResult Cli(const std::vector<std::string>& args, int port) { return Run(args, port); }
};

using testing::SummaryRow;

TEST_F(GangDownload, SilentScaleDisturbsNoOther) {
  SimGang sims(SimOptions{{}, {}, {"--silent"}, {"--pty"}});
  WriteFileBytes(home + "/facconfig.ini", "[serial]\r\nCOM3=" + sims[3].ptyPath() + "\r\n");
  WriteFileBytes(dir / "targets.txt", "# bench 2\n127.0.0.3\n127.0.0.4\nCOM3\n");
  const auto r = Cli({"--ip", "127.0.0.2", "--targets", dir / "targets.txt"}, sims.port());

  for (std::size_t i : {0u, 1u, 3u}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ReadFileBytes(sims[i].paramFile()), ExpectedBlock());
    const std::string t = i == 3 ? "COM3" : SimGang::Address(i);
    EXPECT_EQ(LinesOf(r.out, "[" + t + "] "),
              (std::vector<std::string>{" connect ..." + t, " connect ok ", " set ok ! "}));
    EXPECT_NE(SummaryRow(r.out, t).find(" done "), std::string::npos) << r.out;
    // log-on, block, reading and log-off reached the scale, nothing more
    std::vector<std::pair<int, int>> requests;
    for (const auto& e : sims[i].WaitLog(4)) requests.emplace_back(e.cmd, e.arg);
    if (i == 3) requests.erase(requests.begin(), requests.end() - 4);  // the speed search before the log-on
    EXPECT_EQ(requests, (std::vector<std::pair<int, int>>{{14, 1}, {80, 0}, {14, 3}, {14, 2}}));
  }
  // The silent scale was asked to log on and got nothing else.
  const auto silent = sims[2].Log();
  EXPECT_FALSE(silent.empty());
  for (const auto& e : silent) EXPECT_EQ(std::make_pair(e.cmd, e.arg), std::make_pair(14, 1));
  EXPECT_EQ(LinesOf(r.out, "[127.0.0.4] "), (std::vector<std::string>{" connect ...127.0.0.4", " connect err "}));
  EXPECT_NE(r.err.find("[127.0.0.4] facset-cli: no connection to the scale at 127.0.0.4"), std::string::npos)
      << r.err;

  // The exit code is the silent target's, and the summary says so.
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.status, 2);
  const std::string row = SummaryRow(r.out, "127.0.0.4");
  EXPECT_NE(row.find("(exit " + std::to_string(r.status) + ")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 of 4 done; exit code " + std::to_string(r.status) + "\n"), std::string::npos) << r.out;
}

TEST_F(GangDownload, ScaleUnpluggedDuringTheFirmware) {
  const std::string image = Image(40);
  SimGang sims(SimOptions{{"--delay", "5"}, {"--delay", "5"}, {"--pty", "--delay", "40"}});
  WriteFileBytes(home + "/facconfig.ini", "[serial]\r\nCOM2=" + sims[2].ptyPath() + "\r\n");
  testing::ProcessResult r;
  std::thread run([&] {
    r = Cli({"--ip", "127.0.0.2", "--com", "COM2", "--ip", "127.0.0.3", "--firmware", image}, sims.port());
  });
  // Pull the serial scale's plug once a few firmware blocks went through.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto blocks = [&] {
    int n = 0;
    for (const auto& e : sims[2].Log()) n += e.cmd == 15 && e.arg >= 32;
    return n;
  };
  while (blocks() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  sims[2].Stop(SIGKILL);
  run.join();

  for (std::size_t i : {0u, 1u}) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(ReadFileBytes(sims[i].firmwareFile()) == Received(ReadFileBytes(image)));
    const auto log = sims[i].Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::make_pair(log[log.size() - 2].cmd, log[log.size() - 2].arg), std::make_pair(14, 3));
    EXPECT_NE(SummaryRow(r.out, SimGang::Address(i)).find(" done "), std::string::npos) << r.out;
  }
  const auto unplugged = sims[2].Log();
  for (const auto& e : unplugged) EXPECT_FALSE(e.cmd == 15 && e.arg == 1) << "finish request sent";
  EXPECT_LT(blocks(), 40);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(SummaryRow(r.out, "COM2").find("(exit " + std::to_string(r.status) + ")"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2 of 3 done"), std::string::npos) << r.out;
}

TEST_F(GangDownload, CtrlCStopsEveryScaleMidUpgrade) {
  const std::string image = Image(200);
  SimGang sims(SimOptions{{"--delay", "20"}, {"--delay", "20"}});
  const std::string outPath = dir / "out", errPath = dir / "err";
  const pid_t pid = testing::SpawnCaptured(
      cli, {"download", params, "--ip", "127.0.0.2", "--ip", "127.0.0.3", "--firmware", image},
      Env(sims.port()), outPath, errPath);
  ASSERT_GT(pid, 0);

  auto blocks = [&](std::size_t i) {
    int n = 0;
    for (const auto& e : sims[i].Log()) n += e.cmd == 15 && e.arg >= 32;
    return n;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((blocks(0) < 5 || blocks(1) < 5) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::kill(pid, SIGINT);  // the parent alone, as a terminal's Ctrl-C reaches it
  int ws = 0;
  ASSERT_EQ(::waitpid(pid, &ws, 0), pid);
  ASSERT_TRUE(WIFEXITED(ws));
  const std::string out = ReadFileBytes(outPath), err = ReadFileBytes(errPath);

  for (std::size_t i : {0u, 1u}) {
    SCOPED_TRACE(i);
    const int sent = blocks(i);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(blocks(i), sent) << "blocks still sent after the run ended";
    EXPECT_LT(sent, 200);
    for (const auto& e : sims[i].Log()) EXPECT_FALSE(e.cmd == 15 && e.arg == 1) << "finish request sent";
    EXPECT_EQ(SummaryRow(out, SimGang::Address(i)).find(" done "), std::string::npos) << out;
  }
  EXPECT_NE(WEXITSTATUS(ws), 0);
  EXPECT_NE(out.find("0 of 2 done; exit code " + std::to_string(WEXITSTATUS(ws))), std::string::npos) << out;
  EXPECT_NE(err.find("[127.0.0.2] "), std::string::npos) << err;
  EXPECT_NE(err.find("[127.0.0.3] "), std::string::npos) << err;
}

TEST_F(GangDownload, RefusedTargetSendsNothingAnywhere) {
  SimGang sims(1);
  WriteFileBytes(dir / "bad.txt", "127.0.0.2\nscale-3.local\n");
  WriteFileBytes(dir / "dup.txt", "127.0.0.2\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--ip", "127.0.0.2", "--ip", "localhost"}, 2, "'localhost' is not a dotted IPv4 address"},
      {{"--ip", "127.0.0.2", "--ip", "127.0.0.002"}, 2, "'127.0.0.002' is not a dotted"},
      {{"--ip", "127.0.0.2", "--com", "ttyUSB0"}, 2, "unknown serial port 'ttyUSB0'"},
      {{"--ip", "127.0.0.2", "--com", "NONE"}, 2, "unknown serial port 'NONE'"},
      {{"--targets", dir / "bad.txt"}, 6, dir / "bad.txt" + ": line 2: 'scale-3.local'"},
      {{"--ip", "127.0.0.2", "--targets", dir / "dup.txt"}, 6, "target 127.0.0.2 named twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const auto r = Cli(c.args, sims.port());
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(sims[0].WaitLog(1, 300).empty());
}

TEST_F(GangDownload, OneTargetFromAFileRunsAsASingleDownload) {
  SimGang sims(1);
  WriteFileBytes(dir / "one.txt", "# one bench\n127.0.0.2\n");
  const auto r = Cli({"--targets", dir / "one.txt"}, sims.port());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, " connect ...127.0.0.2\n connect ok \n set ok ! \n");  // no prefix, no summary
  EXPECT_EQ(ReadFileBytes(sims[0].paramFile()), ExpectedBlock());
}

TEST_F(GangDownload, JsonGivesOneArray) {
  SimGang sims(SimOptions{{}, {"--silent"}});
  const auto r = Cli({"--ip", "127.0.0.2", "--ip", "127.0.0.3", "--json"}, sims.port());
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &err);
  ASSERT_EQ(err.error, QJsonParseError::NoError) << r.out;
  ASSERT_TRUE(doc.isArray());
  ASSERT_EQ(doc.array().size(), 2);
  for (const auto& v : doc.array()) EXPECT_TRUE(v.isObject());
  EXPECT_NE(r.err.find("TARGET"), std::string::npos) << r.err;
  EXPECT_NE(r.status, 0);
}

}  // namespace
}  // namespace facset::cli
