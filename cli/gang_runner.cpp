// The several-targets runner: one child process per target, at most --jobs at
// once, their lines prefixed and passed on whole, signals passed on, and the
// summary at the end.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

#include "download/verdict.h"
#include "gang.h"
#include "output.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"

namespace facset::cli {
namespace {

// A line longer than this is passed on in pieces rather than held without end.
constexpr std::size_t kMaxLine = 64 * 1024;
// A child's JSON document beyond this is not a download's report.
constexpr std::size_t kMaxDocument = 16 * 1024 * 1024;
// The signals that stop a run: passed on to every child.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// For the child between fork and exec, where nothing may allocate.
void RawWrite(int fd, const char* s) {
  std::size_t left = std::strlen(s);
  while (left > 0) {
    const ssize_t n = ::write(fd, s, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    s += n;
    left -= static_cast<std::size_t>(n);
  }
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
  bool started = false;
  pid_t pid = -1;
  int fd[2] = {-1, -1};  // the child's stdout and stderr
  std::string partial[2];
  std::string document;
  bool documentTooLong = false;
  bool reaped = false;
  int waitStatus = 0;
  std::chrono::steady_clock::time_point start, end;

  // Holds a place among the jobs until it has ended and its pipes are read out.
  bool Busy() const { return started && (!reaped || fd[0] >= 0 || fd[1] >= 0); }
};

// The runner's two outputs; a failure of stdout is noted on stderr once.
struct Outputs {
  OutputStream err, out;
  explicit Outputs(const GangPlan& plan) : err(plan.errFd, "stderr"), out(plan.outFd, "stdout", &err) {}
  OutputStream& operator[](int which) { return which == 0 ? out : err; }
};

// Starts one child with its stdout and stderr on pipes. Its own process group
// keeps a terminal's Ctrl-C to the parent, which passes it on once; it gets
// SIGTERM should the parent die, so no download outlives its caller unseen:
// it ends as stopped, and keeps its record. False with errno set when it
// could not be started.
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
    const int e = errno;
    ::close(out[0]);
    ::close(out[1]);
    errno = e;
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
    // Dispositions the parent set would stay across exec.
    std::signal(SIGPIPE, SIG_DFL);
    for (const int sig : kStopSignals) std::signal(sig, SIG_DFL);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    const char* why = std::strerror(errno);
    RawWrite(2, cannotRun.c_str());
    RawWrite(2, why);
    RawWrite(2, "\n");
    ::_exit(127);
  }
  const int e = errno;
  ::close(out[1]);
  ::close(err[1]);
  if (c.pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    errno = e;
    return false;
  }
  c.started = true;
  c.fd[0] = out[0];
  c.fd[1] = err[0];
  return true;
}

// Passes on the complete lines of `data`, each with the child's prefix in one
// write, so lines of different children never mix.
void Forward(Child& c, int which, std::string_view data, OutputStream& to) {
  std::string& p = c.partial[which];
  p.append(data);
  std::size_t from = 0;
  for (;;) {
    std::size_t nl = p.find('\n', from);
    if (nl == std::string::npos) {
      if (p.size() - from < kMaxLine) break;
      nl = from + kMaxLine - 1;
      to.Write(c.prefix + p.substr(from, nl + 1 - from) + "\n");
    } else {
      to.Write(c.prefix + p.substr(from, nl + 1 - from));
    }
    from = nl + 1;
  }
  p.erase(0, from);
}

void CloseStream(Child& c, int which, const GangPlan& plan, Outputs& outputs) {
  if (!c.partial[which].empty() && !(plan.json && which == 0)) {
    outputs[which].Write(c.prefix + c.partial[which] + "\n");
  }
  c.partial[which].clear();
  ::close(c.fd[which]);
  c.fd[which] = -1;
}

// Reads what is there; the child is always read, whatever became of the
// runner's own output, so that it never waits on a full pipe.
void ReadStream(Child& c, int which, const GangPlan& plan, Outputs& outputs) {
  char buf[65536];
  const ssize_t n = ::read(c.fd[which], buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) return CloseStream(c, which, plan, outputs);
  const std::string_view data(buf, static_cast<std::size_t>(n));
  if (plan.json && which == 0) {
    if (c.document.size() + data.size() > kMaxDocument) {
      c.documentTooLong = true;
    } else {
      c.document.append(data);
    }
    return;
  }
  Forward(c, which, data, outputs[which]);
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
  if (!c.started) return OurDocument(c, code, "not started: the run was stopped before this target's turn");
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
    if (!r.started) {
      o += " (not started)";
    } else if (r.signal) {
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

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n - 1;  // the folder's own
  }
  return 3;
}

// The signals that stop the runner reach its loop through a pipe, so none is
// lost between two polls; the dispositions are given back at the end.
class StopSignals {
 public:
  StopSignals() {
    ok_ = ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0;
    if (!ok_) return;
    struct sigaction act {};
    act.sa_handler = OnGangSignal;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
      ::sigaction(kStopSignals[i], nullptr, &old_[i]);
      // Started ignoring it (nohup, a script's background job): it stays ignored.
      if (old_[i].sa_handler != SIG_IGN) ::sigaction(kStopSignals[i], &act, nullptr);
    }
  }
  ~StopSignals() {
    if (!ok_) return;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &old_[i], nullptr);
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  bool ok() const { return ok_; }
  int fd() const { return g_signalPipe[0]; }

 private:
  bool ok_ = false;
  struct sigaction old_[std::size(kStopSignals)] {};
};

void ReapEnded(std::vector<Child>& children) {
  for (Child& c : children) {
    if (!c.started || c.reaped) continue;
    int ws = 0;
    if (::waitpid(c.pid, &ws, WNOHANG) == c.pid) {
      c.reaped = true;
      c.waitStatus = ws;
      c.end = std::chrono::steady_clock::now();
    }
  }
}

// A child that never started was stopped before its turn; one ended by a
// stop signal was interrupted like a run of its own.
GangChildResult ResultOf(const Child& c, bool json) {
  GangChildResult r;
  r.target = c.target;
  r.started = c.started;
  if (!c.started) {
    r.code = kExitInterrupted;
  } else if (WIFSIGNALED(c.waitStatus)) {
    r.signal = WTERMSIG(c.waitStatus);
    r.code = std::ranges::find(kStopSignals, r.signal) != std::end(kStopSignals) ? kExitInterrupted : 1;
  } else {
    r.code = WEXITSTATUS(c.waitStatus);
  }
  r.seconds = std::chrono::duration<double>(c.end - c.start).count();
  if (json) r.document = DocumentOf(c, r.code);
  return r;
}

}  // namespace

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

int JobsWithinFileLimit(int asked) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return std::max(asked, 1);
  // Besides its two pipes per running child the runner holds its signal pipe,
  // two more pipe ends while it starts a child, and a few to spare.
  const long spare = static_cast<long>(rl.rlim_cur) - OpenDescriptors() - 2 - 2 - 4;
  return static_cast<int>(std::clamp<long>(spare / 2, 1, std::max(asked, 1)));
}

std::vector<GangChildResult> RunGang(const GangPlan& plan) {
  Outputs outputs(plan);
  std::vector<Child> children(plan.targets.size());
  for (std::size_t i = 0; i < children.size(); ++i) {
    children[i].target = plan.targets[i];
    children[i].prefix = "[" + EscapeForTerminal(plan.targets[i].name) + "] ";
  }
  const int jobs = JobsWithinFileLimit(plan.jobs);
  if (jobs < plan.jobs && static_cast<std::size_t>(jobs) < children.size()) {
    outputs.err.Write("facset-cli: at most " + std::to_string(jobs) +
                      " downloads at once: the open-file limit allows no more (ulimit -n)\n");
  }
  StopSignals stops;
  // A reader that goes away must not end the downloads under way.
  struct sigaction ignore {}, oldPipe{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &oldPipe);

  std::size_t next = 0;  // the next target to start
  bool stopped = false;  // a stop signal came: no further child starts
  for (;;) {
    int busy = 0;
    for (const Child& c : children) busy += c.Busy();
    // Each target in its turn, as places among the jobs free up. A child that
    // cannot be started now (no descriptor, no process left) waits for one
    // of the others to end; with none running it has failed.
    while (!stopped && next < children.size() && busy < jobs) {
      Child& c = children[next];
      if (StartChild(plan, c)) {
        ++busy;
        ++next;
        continue;
      }
      const int e = errno;
      if (busy > 0 && (e == EMFILE || e == ENFILE || e == EAGAIN || e == ENOMEM)) break;
      outputs.err.Write(c.prefix + "facset-cli: cannot start a process: " + std::strerror(e) + "\n");
      c.started = c.reaped = true;
      c.waitStatus = 127 << 8;
      c.end = c.start = std::chrono::steady_clock::now();
      ++next;
    }

    std::vector<pollfd> fds;
    std::vector<std::pair<Child*, int>> owners;
    if (stops.ok()) fds.push_back({stops.fd(), POLLIN, 0});
    bool running = false;
    for (Child& c : children) {
      running = running || (c.started && !c.reaped);
      for (int w = 0; w < 2; ++w) {
        if (c.fd[w] < 0) continue;
        fds.push_back({c.fd[w], POLLIN, 0});
        owners.emplace_back(&c, w);
      }
    }
    if (owners.empty() && !running && (stopped || next == children.size())) break;
    // The time-out only bounds how late an exit is noticed while pipes stay open.
    const int n = ::poll(fds.data(), fds.size(), owners.empty() ? 20 : 100);
    if (n > 0) {
      std::size_t k = 0;
      if (stops.ok()) {
        if (fds[0].revents & POLLIN) {
          unsigned char sigs[64];
          const ssize_t got = ::read(stops.fd(), sigs, sizeof sigs);
          for (ssize_t s = 0; s < got; ++s) {
            stopped = true;
            for (Child& c : children) {
              if (c.started && !c.reaped && c.pid > 0) ::kill(c.pid, sigs[s]);
            }
          }
        }
        k = 1;
      }
      for (std::size_t j = 0; j < owners.size(); ++j) {
        if (fds[k + j].revents) ReadStream(*owners[j].first, owners[j].second, plan, outputs);
      }
    }
    ReapEnded(children);
  }
  ::sigaction(SIGPIPE, &oldPipe, nullptr);

  std::vector<GangChildResult> results;
  for (const Child& c : children) results.push_back(ResultOf(c, plan.json));

  if (plan.json) {
    std::string array = "[";
    for (std::size_t i = 0; i < results.size(); ++i) array += (i ? ",\n" : "\n") + results[i].document;
    outputs.out.Write(array + "\n]\n");
  }
  (plan.json ? outputs.err : outputs.out).Write(Summary(results));
  return results;
}

}  // namespace facset::cli
