#include "gang.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "download/preflight.h"
#include "download/serial_names.h"
#include "download/verdict.h"
#include "download_options.h"
#include "lang/lang.h"
#include "params/param_model.h"
#include "set_values.h"
#include "targets_csv.h"
#include "platform/safe_files.h"
#include "platform/text_encoding.h"

namespace facset::cli {
namespace {

// A line longer than this is passed on in pieces rather than held without end.
constexpr std::size_t kMaxLine = 64 * 1024;
// A child's JSON document beyond this is not a download's report.
constexpr std::size_t kMaxDocument = 16 * 1024 * 1024;

bool IsSerialName(std::string_view s) { return ComNumber(s) > 0 || (!s.empty() && s[0] == '/'); }

// One spelling per target, so that "com3" and "COM3" count as the same port.
std::string TargetKey(const GangTarget& t) {
  if (t.serial && ComNumber(t.name) > 0) return "COM" + std::to_string(ComNumber(t.name));
  return (t.serial ? "s:" : "u:") + t.name;
}

// A targets file of 65,536 addresses is below 1 MiB.
constexpr std::uint64_t kMaxTargetsFile = std::uint64_t{1} << 20;

bool WriteAll(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    s.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int g_signalPipe[2] = {-1, -1};
extern "C" void OnGangSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
  errno = saved;
}

struct Child {
  GangTarget target;
  std::string prefix;
  pid_t pid = -1;
  int fd[2] = {-1, -1};  // the child's stdout and stderr
  std::string partial[2];
  std::string document;
  bool documentTooLong = false;
  bool reaped = false;
  int waitStatus = 0;
  std::chrono::steady_clock::time_point start, end;
};

// Starts one child with its stdout and stderr on pipes. Its own process group
// keeps a terminal's Ctrl-C to the parent, which passes it on once; it gets
// SIGTERM should the parent die, so no download outlives its caller unseen.
bool StartChild(const GangPlan& plan, Child& c) {
  std::vector<std::string> args = {plan.program};
  args.insert(args.end(), plan.lead.begin(), plan.lead.end());
  args.push_back(c.target.serial ? "--com" : "--ip");
  args.push_back(c.target.name);
  args.insert(args.end(), plan.rest.begin(), plan.rest.end());
  args.insert(args.end(), c.target.args.begin(), c.target.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  const pid_t parent = ::getpid();
  const std::string cannotRun = "cannot run " + args[0] + ": ";
  c.start = std::chrono::steady_clock::now();
  c.pid = ::fork();
  if (c.pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(kExitInterrupted);
    std::signal(SIGPIPE, SIG_DFL);  // ignored signals would stay ignored across exec
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    // Nothing that allocates here: another thread may have held the heap's lock at the fork.
    const char* why = std::strerror(errno);
    WriteAll(2, cannotRun);
    WriteAll(2, why);
    WriteAll(2, "\n");
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (c.pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  c.fd[0] = out[0];
  c.fd[1] = err[0];
  return true;
}

// Passes on the complete lines of `data`, each with the child's prefix in one
// write, so lines of different children never mix.
void Forward(Child& c, int which, std::string_view data, int to) {
  std::string& p = c.partial[which];
  p.append(data);
  std::size_t from = 0;
  for (;;) {
    std::size_t nl = p.find('\n', from);
    if (nl == std::string::npos) {
      if (p.size() - from < kMaxLine) break;
      nl = from + kMaxLine - 1;
      WriteAll(to, c.prefix + p.substr(from, nl + 1 - from) + "\n");
    } else {
      WriteAll(to, c.prefix + p.substr(from, nl + 1 - from));
    }
    from = nl + 1;
  }
  p.erase(0, from);
}

void CloseStream(Child& c, int which, const GangPlan& plan) {
  const int to = which == 0 ? plan.outFd : plan.errFd;
  if (!c.partial[which].empty() && !(plan.json && which == 0)) WriteAll(to, c.prefix + c.partial[which] + "\n");
  c.partial[which].clear();
  ::close(c.fd[which]);
  c.fd[which] = -1;
}

void ReadStream(Child& c, int which, const GangPlan& plan) {
  char buf[65536];
  const ssize_t n = ::read(c.fd[which], buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) return CloseStream(c, which, plan);
  const std::string_view data(buf, static_cast<std::size_t>(n));
  if (plan.json && which == 0) {
    if (c.document.size() + data.size() > kMaxDocument) {
      c.documentTooLong = true;
    } else {
      c.document.append(data);
    }
    return;
  }
  Forward(c, which, data, which == 0 ? plan.outFd : plan.errFd);
}

std::string OurDocument(const Child& c, int code, const std::string& error) {
  QJsonObject o;
  o["target"] = QString::fromStdString(c.target.name);
  o["transport"] = c.target.serial ? "serial" : "udp";
  o["exit_code"] = code;
  o["outcome"] = QString::fromUtf8(Spell(OutcomeOfExitCode(code)));
  o["error"] = QString::fromStdString(error);
  return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

// The child's document when it printed exactly one JSON object or array.
std::string DocumentOf(const Child& c, int code) {
  if (WIFSIGNALED(c.waitStatus)) {
    return OurDocument(c, code, "the child was killed by signal " + std::to_string(WTERMSIG(c.waitStatus)));
  }
  if (c.documentTooLong) return OurDocument(c, code, "the child printed more than a JSON document");
  const std::string_view text = TrimBlanks(c.document);
  if (text.empty()) return OurDocument(c, code, "the child printed no JSON document");
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text.data(), static_cast<qsizetype>(text.size())), &err);
  if (err.error != QJsonParseError::NoError || doc.isNull()) {
    return OurDocument(c, code, "the child's output is not a single JSON document: " + err.errorString().toStdString());
  }
  return std::string(text);
}

std::string FormatSeconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", s);
  return buf;
}

std::string Summary(const std::vector<GangChildResult>& results) {
  std::size_t width = 6;
  for (const auto& r : results) width = std::max(width, EscapeForTerminal(r.target.name).size());
  std::vector<std::string> outcomes;
  std::size_t owidth = 7;
  int done = 0;
  for (const auto& r : results) {
    std::string o(ExitCodeText(r.code));
    if (r.signal) {
      o += " (killed by signal " + std::to_string(r.signal) + ")";
    } else if (r.code != 0) {
      o += " (exit " + std::to_string(r.code) + ")";
    }
    done += r.code == 0;
    owidth = std::max(owidth, o.size());
    outcomes.push_back(std::move(o));
  }
  auto row = [&](const std::string& a, const std::string& b, const std::string& c) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%-*s  %-*s  %7s\n", int(width), a.c_str(), int(owidth), b.c_str(), c.c_str());
    return std::string(buf);
  };
  std::string s = row("TARGET", "OUTCOME", "SECONDS");
  for (std::size_t i = 0; i < results.size(); ++i)
    s += row(EscapeForTerminal(results[i].target.name), outcomes[i], FormatSeconds(results[i].seconds));
  std::vector<int> codes;
  for (const auto& r : results) codes.push_back(r.code);
  s += std::to_string(done) + " of " + std::to_string(results.size()) + " done; exit code " +
       std::to_string(WorstExitCode(codes)) + "\n";
  return s;
}

}  // namespace

std::string CheckGangTarget(const GangTarget& t) {
  if (!t.serial) {
    if (IsDottedQuad(t.name)) return {};
    return "'" + t.name + "' is not a dotted IPv4 address such as 192.168.1.87";
  }
  if (IsSerialName(t.name)) return {};
  return "unknown serial port '" + t.name + "' (a list name such as COM3, or a device path starting with /)";
}

std::string ParseTargetsText(std::string_view text, std::vector<GangTarget>& out) {
  text = WithoutBom(text);
  if (IsTargetsTable(text)) {
    TargetsTable table;
    if (std::string why = ParseTargetsTable(text, table); !why.empty()) return why;
    for (TargetsRow& row : table.rows) {
      GangTarget t{!IsDottedQuad(row.target), row.target, std::move(row.values), "line " + std::to_string(row.line), {}};
      if (t.serial && !IsSerialName(t.name)) {
        return t.where + ": '" + t.name + "' is neither a dotted IPv4 address nor a serial port such as COM3";
      }
      out.push_back(std::move(t));
    }
    return {};
  }
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    line = TrimBlanks(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    GangTarget t{!IsDottedQuad(line), std::string(line)};
    if (t.serial && !IsSerialName(line)) {
      return "line " + std::to_string(number) + ": '" + t.name +
             "' is neither a dotted IPv4 address nor a serial port such as COM3";
    }
    out.push_back(std::move(t));
  }
  return {};
}

TargetArgs SplitTargetArgs(std::span<const std::string> args) {
  TargetArgs t;
  const ParsedArgs p = ParseArgs(kDownloadOptions, args);
  t.help = p.help;
  t.json = p.Has(kOptJson);
  if (!p.error.empty()) {
    t.usageError = p.error;
    return t;
  }
  std::vector<bool> listed;  // per target: came from a targets file
  std::vector<bool> taken(args.size(), false);
  for (const GivenOption& g : p.options) {
    const std::string_view name = g.spec->name;
    if (name != kOptIp && name != kOptCom && name != kOptTargets) continue;
    std::fill_n(taken.begin() + static_cast<long>(g.first), g.count, true);
    if (name != kOptTargets) {
      t.targets.push_back({name == kOptCom, g.value});
      listed.push_back(false);
      continue;
    }
    t.fromFile = true;
    // A regular file or a pipe, bounded: never a folder, a device or /dev/zero.
    std::string text;
    std::string error = ReadWholeFile(g.value, kMaxTargetsFile, text, true);
    if (!error.empty()) error = "cannot read the targets file " + g.value + ": " + error;
    const std::size_t before = t.targets.size();
    if (error.empty()) error = ParseTargetsText(text, t.targets);
    for (std::size_t k = before; k < t.targets.size(); ++k) {
      if (!t.targets[k].where.empty()) t.targets[k].where = g.value + " " + t.targets[k].where;
    }
    if (!error.empty()) {
      t.inputError = error.rfind("line ", 0) == 0 ? g.value + ": " + error : error;
      return t;
    }
    if (listed.size() == t.targets.size()) {
      t.inputError = "no target in " + g.value;
      return t;
    }
    listed.resize(t.targets.size(), true);
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!taken[i]) t.rest.push_back(args[i]);
  }
  if (t.targets.size() < 2 && !t.fromFile) return t;
  std::set<std::string> seen;
  for (std::size_t k = 0; k < t.targets.size(); ++k) {
    std::string& error = listed[k] ? t.inputError : t.usageError;
    if (std::string why = CheckGangTarget(t.targets[k]); !why.empty()) {
      error = why;
      return t;
    }
    if (!seen.insert(TargetKey(t.targets[k])).second) {
      error = "target " + t.targets[k].name + " named twice";
      return t;
    }
  }
  return t;
}

int WorstExitCode(std::span<const int> codes) {
  auto rank = [](int code) {
    const auto* it = std::find(std::begin(kGangSeverity), std::end(kGangSeverity), code);
    if (it == std::end(kGangSeverity)) it = std::find(std::begin(kGangSeverity), std::end(kGangSeverity), 1);
    return it;
  };
  int worst = 0;
  for (int c : codes) {
    if (c != 0 && (worst == 0 || rank(c) < rank(worst))) worst = *rank(c);
  }
  return worst;
}

std::vector<GangChildResult> RunGang(const GangPlan& plan) {
  std::vector<Child> children(plan.targets.size());
  for (std::size_t i = 0; i < children.size(); ++i) {
    children[i].target = plan.targets[i];
    children[i].prefix = "[" + EscapeForTerminal(plan.targets[i].name) + "] ";
  }

  // Signals reach the loop through a pipe, so none is lost between two polls.
  struct sigaction act {}, oldInt{}, oldTerm{}, oldPipe{};
  const bool signalsOk = ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0;
  if (signalsOk) {
    act.sa_handler = OnGangSignal;
    sigemptyset(&act.sa_mask);
    ::sigaction(SIGINT, &act, &oldInt);
    ::sigaction(SIGTERM, &act, &oldTerm);
  }
  // A reader that goes away must not end the downloads under way.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &oldPipe);

  for (Child& c : children) {
    if (!StartChild(plan, c)) {
      WriteAll(plan.errFd, c.prefix + "facset-cli: cannot start a process: " + std::strerror(errno) + "\n");
      c.reaped = true;
      c.waitStatus = 127 << 8;
      c.end = c.start = std::chrono::steady_clock::now();
    }
  }

  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Child*, int>> owners;
    if (signalsOk) fds.push_back({g_signalPipe[0], POLLIN, 0});
    bool allReaped = true;
    for (Child& c : children) {
      allReaped = allReaped && c.reaped;
      for (int w = 0; w < 2; ++w) {
        if (c.fd[w] < 0) continue;
        fds.push_back({c.fd[w], POLLIN, 0});
        owners.emplace_back(&c, w);
      }
    }
    if (owners.empty() && allReaped) break;
    // The time-out only bounds how late an exit is noticed while pipes stay open.
    const int n = ::poll(fds.data(), fds.size(), owners.empty() ? 20 : 100);
    if (n > 0) {
      std::size_t k = 0;
      if (signalsOk) {
        if (fds[0].revents & POLLIN) {
          unsigned char sigs[64];
          const ssize_t got = ::read(g_signalPipe[0], sigs, sizeof sigs);
          for (ssize_t s = 0; s < got; ++s) {
            for (Child& c : children) {
              if (!c.reaped && c.pid > 0) ::kill(c.pid, sigs[s]);
            }
          }
        }
        k = 1;
      }
      for (std::size_t j = 0; j < owners.size(); ++j) {
        if (fds[k + j].revents) ReadStream(*owners[j].first, owners[j].second, plan);
      }
    }
    for (Child& c : children) {
      if (c.reaped) continue;
      int ws = 0;
      if (::waitpid(c.pid, &ws, WNOHANG) == c.pid) {
        c.reaped = true;
        c.waitStatus = ws;
        c.end = std::chrono::steady_clock::now();
      }
    }
  }

  ::sigaction(SIGPIPE, &oldPipe, nullptr);
  if (signalsOk) {
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
  }

  std::vector<GangChildResult> results;
  for (const Child& c : children) {
    GangChildResult r;
    r.target = c.target;
    if (WIFSIGNALED(c.waitStatus)) {
      r.signal = WTERMSIG(c.waitStatus);
      r.code = (r.signal == SIGINT || r.signal == SIGTERM) ? kExitInterrupted : 1;
    } else {
      r.code = WEXITSTATUS(c.waitStatus);
    }
    r.seconds = std::chrono::duration<double>(c.end - c.start).count();
    if (plan.json) r.document = DocumentOf(c, r.code);
    results.push_back(std::move(r));
  }

  if (plan.json) {
    std::string array = "[";
    for (std::size_t i = 0; i < results.size(); ++i) array += (i ? ",\n" : "\n") + results[i].document;
    WriteAll(plan.outFd, array + "\n]\n");
  }
  WriteAll(plan.json ? plan.errFd : plan.outFd, Summary(results));
  return results;
}

// The values of every target (--set for all, a table's row for each), checked
// against FILE before any target starts; counters are taken here, once for
// the run, in target order. Each target's process then gets its own values,
// already chosen, as --set options of its own. nullopt, or the exit code of a
// refusal (nothing sent).
static std::optional<int> ResolveTargetValues(TargetArgs& t) {
  const ParsedArgs p = ParseArgs(kDownloadOptions, t.rest);
  const bool tableValues =
      std::any_of(t.targets.begin(), t.targets.end(), [](const GangTarget& g) { return !g.values.empty(); });
  if ((!p.Has(kOptSet) && !tableValues) || p.positionals.size() != 1) return std::nullopt;
  auto refuse = [](const std::string& why) {
    Fail(why);
    return kExitInputRefused;
  };
  const std::string& file = p.positionals[0];
  if (std::string why = CheckParamFile(file); !why.empty()) return refuse(why);
  ParamSet ps;
  LoadParamSet(IniFile(file), ps);

  std::vector<GivenValue> forAll;
  std::vector<bool> drop(t.rest.size(), false);
  for (const GivenOption& g : p.options) {
    if (g.spec->name != kOptSet) continue;
    std::fill_n(drop.begin() + static_cast<long>(g.first), g.count, true);
    if (std::string why = ParseSetArgument(g.value, forAll.emplace_back()); !why.empty()) return refuse(why);
  }
  std::vector<std::vector<GivenValue>> perTarget;
  std::vector<std::string> names;
  for (const GangTarget& target : t.targets) {
    std::vector<GivenValue>& given = perTarget.emplace_back(forAll);
    for (const auto& [name, value] : target.values) {
      GivenValue& g = given.emplace_back();
      g.name = name;
      g.where = target.where;
      if (std::string why = ParseValueSource(value, g.source); !why.empty()) {
        return refuse(target.name + ": " + name + " (" + target.where + "): " + why);
      }
    }
    names.push_back(target.name);
  }
  std::vector<std::vector<ResolvedValue>> resolved;
  if (std::string why = ResolveValues(ps, perTarget, names, CountersInUse, resolved); !why.empty()) {
    return refuse(why);
  }
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < t.rest.size(); ++i) {
    if (!drop[i]) rest.push_back(t.rest[i]);
  }
  t.rest = std::move(rest);
  for (std::size_t i = 0; i < t.targets.size(); ++i) {
    for (const ResolvedValue& v : resolved[i]) {
      t.targets[i].args.push_back(std::string(kOptSet));
      t.targets[i].args.push_back(SetArgumentOf(v));
    }
  }
  return std::nullopt;
}

std::optional<int> RunDownloadTargets(const Command& cmd, std::span<const std::string> args,
                                      std::vector<std::string>& single) {
  TargetArgs t = SplitTargetArgs(args);
  if (t.help) {
    PrintHelp(cmd);
    std::printf(
        "\nSeveral scales at once: --ip and --com may be given several times, and\n"
        "--targets FILE names targets one a line (a dotted IPv4 address or a serial\n"
        "port such as COM3; blank lines and \"#\" comments are skipped), or is a\n"
        "table of values per target: a first line beginning with \"target\", e.g.\n"
        "\"target,Scale number,Shop code\", then one row per target (CSV as RFC 4180\n"
        "has it, UTF-8; an empty cell keeps FILE's value). Every target and every\n"
        "value is checked before anything is sent. Each target then runs in a process of\n"
        "its own, all at once; their lines come prefixed with \"[TARGET] \", and a\n"
        "summary (target, outcome, seconds) ends the output. The exit status is the\n"
        "worst of the targets', in this order: 130 interrupted, 2 bad usage, 6 input\n"
        "refused, 1 other error, 5 firmware failed, 4 block not acknowledged, 3 no\n"
        "connection, 7 not proven, 0 done. A refused targets file exits 6. With\n"
        "--json the output is one JSON array of the targets' documents (the\n"
        "summary goes to stderr).\n");
    return kExitOk;
  }
  if (!t.usageError.empty()) return UsageError(cmd, t.usageError);
  if (!t.inputError.empty()) {
    Fail(t.inputError);
    return kExitInputRefused;
  }
  if (t.targets.size() > 1) {
    if (std::optional<int> refused = ResolveTargetValues(t)) return *refused;
    GangPlan plan;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Fail("cannot find this program's path");
    plan.program.assign(self, static_cast<std::size_t>(n));
    plan.lead = {std::string(cmd.name)};
    plan.rest = t.rest;
    plan.targets = t.targets;
    plan.json = t.json;
    std::fflush(stdout);
    std::vector<int> codes;
    for (const GangChildResult& r : RunGang(plan)) codes.push_back(r.code);
    return WorstExitCode(codes);
  }
  single.assign(args.begin(), args.end());
  if (t.fromFile) {
    single = {t.targets[0].serial ? "--com" : "--ip", t.targets[0].name};
    single.insert(single.end(), t.rest.begin(), t.rest.end());
    // One row of a table: its values go with the single run's own --set.
    for (const auto& [name, value] : t.targets[0].values) {
      single.push_back(std::string(kOptSet));
      single.push_back(name + "=" + value);
    }
  }
  return std::nullopt;
}

}  // namespace facset::cli
