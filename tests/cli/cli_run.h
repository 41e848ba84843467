#pragma once
// facset-cli download as a station script runs it, for the tests of how a run
// ends: a copy of the program in a folder of its own, a parameter file, a
// station database in FACSET_HOME, and the program started with its output
// on a pipe, a file or a pseudo-terminal that the test may close under it.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "records/records.h"
#include "support/run_process.h"
#include "support/sim_process.h"
#include "support/temp_files.h"

extern char** environ;

namespace facset::testing {

template <class Pred>
bool WaitFor(Pred pred, int timeoutMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// What a scale-sim saw of a firmware upgrade.
struct UpgradeSeen {
  int blocksAcked = 0;   // image blocks (15/k, k >= 32) it acknowledged
  int blocksAsked = 0;   // image blocks that reached it
  bool finished = false; // the finish request (15/1) reached it
};
inline UpgradeSeen SeenBy(const SimProcess& sim) {
  UpgradeSeen s;
  for (const LogEntry& e : sim.Log()) {
    if (e.cmd == 15 && e.arg >= 32) {
      ++s.blocksAsked;
      s.blocksAcked += e.answer == "ack";
    }
    s.finished = s.finished || (e.cmd == 15 && e.arg == 1);
  }
  return s;
}

// The environment of the station's processes, "NAME=VALUE" each.
inline std::vector<char*> Environment(std::vector<std::string>& keep, const std::vector<std::string>& env) {
  auto nameOf = [](const std::string& e) { return e.substr(0, e.find('=')); };
  keep.clear();
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const std::string& change : env) replaced = replaced || nameOf(change) == nameOf(*e);
    if (!replaced) keep.emplace_back(*e);
  }
  keep.insert(keep.end(), env.begin(), env.end());
  std::vector<char*> out;
  for (auto& e : keep) out.push_back(e.data());
  out.push_back(nullptr);
  return out;
}

inline std::vector<char*> Argv(std::vector<std::string>& args) {
  std::vector<char*> out;
  for (auto& a : args) out.push_back(a.data());
  out.push_back(nullptr);
  return out;
}

// A program running in the background; killed if the test leaves it behind.
class Running {
 public:
  Running() = default;
  explicit Running(pid_t pid) : pid_(pid) {}
  Running(Running&& o) noexcept : pid_(std::exchange(o.pid_, -1)) {}
  Running& operator=(Running&& o) noexcept {
    std::swap(pid_, o.pid_);
    return *this;
  }
  ~Running() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  bool Alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  void Signal(int sig) const { ::kill(pid_, sig); }
  // The exit code, 128 + signal when killed by one; -1 when it did not end in time.
  int Wait(int timeoutMs = 60000) {
    int ws = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid_, &ws, WNOHANG) == pid_; }, timeoutMs);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }

 private:
  pid_t pid_ = -1;
};

// One station: facset-cli copied into a folder of its own (its language file
// and facconfig.ini live beside it), the station database in `home`.
class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    cli = dir / "facset-cli";
    std::filesystem::copy_file(FACSET_CLI_PATH, cli);
    home = dir / "home";
    ::mkdir(home.c_str(), 0755);
    params = dir / "params.ini";
    WriteParams("");
  }

  // A parameter file with the bytes the scale should get, plus `factory` lines.
  void WriteParams(const std::string& factory) {
    WriteFileBytes(params,
                   "[port]\r\nip=127.0.0.1\r\ncom=0\r\nuse com=0\r\n[factory]\r\nIsDownkDownProg=0\r\n"
                   "byte[1  ]=1\r\nbyte[20 ]=0x5A\r\n" + factory + "[Set]\r\nlngstr=_en\r\n");
  }
  static std::string ExpectedBlock() {
    std::string b(256, '\0');
    b[0] = static_cast<char>(0xA6);
    b[1] = 1;
    b[20] = 0x5A;
    return b;
  }
  // An image of `blocks` blocks on the line (after the 32 never sent).
  std::string Image(int blocks) {
    std::string b(static_cast<std::size_t>(32 + blocks) * 256, '\0');
    std::mt19937 gen(static_cast<unsigned>(blocks));
    for (auto& ch : b) ch = static_cast<char>(gen());
    const std::string path = dir / ("image-" + std::to_string(blocks) + ".hex");
    WriteFileBytes(path, b);
    return path;
  }
  // The image as a scale holds it after a whole upgrade.

 public:
  static std::string Received(std::string image) {
    std::fill(image.begin(), image.begin() + 8192, '\0');
    image[image.size() - 1] = image[image.size() - 2] = '\0';  // the verification word
    return image;
  }


 protected:
  std::vector<std::string> Env(int udpPort) const {
    return {"FACSET_HOME=" + home, "FACSET_SCALE_UDP_PORT=" + std::to_string(udpPort)};
  }
  std::vector<std::string> Download(std::vector<std::string> args) const {
    args.insert(args.begin(), {cli, "download", params});
    return args;
  }
  // A download to its end, output into files.
  ProcessResult Run(const std::vector<std::string>& args, int udpPort) const {
    std::vector<std::string> argv = Download(args);
    argv.erase(argv.begin());
    return RunProcess(cli, argv, Env(udpPort));
  }
  // A download in the background with stdout and stderr into the files `name`.out and `name`.err.
  Running Start(const std::vector<std::string>& args, int udpPort, const std::string& name = "bg") const {
    std::vector<std::string> argv = Download(args);
    argv.erase(argv.begin());
    return Running(SpawnCaptured(cli, argv, Env(udpPort), dir / (name + ".out"), dir / (name + ".err")));
  }
  std::string Out(const std::string& name = "bg") const { return ReadFileBytes(dir / (name + ".out")); }
  std::string Err(const std::string& name = "bg") const { return ReadFileBytes(dir / (name + ".err")); }

  // A download in the background whose stdout is the pipe `readEnd`.
  Running StartOnPipe(const std::vector<std::string>& args, int udpPort, int& readEnd,
                      const std::string& name = "bg") const {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return {};
    std::vector<std::string> argv = Download(args), keep;
    auto cargv = Argv(argv);
    auto cenv = Environment(keep, Env(udpPort));
    const std::string errPath = dir / (name + ".err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    readEnd = p[0];
    return Running(pid);
  }

  // A download in a session of its own whose controlling terminal, stdin,
  // stdout and stderr are a pseudo-terminal; `master` is the test's side.
  // With `ignoreHangUp` it starts as nohup starts a program.
  Running StartOnTerminal(const std::vector<std::string>& args, int udpPort, int& master,
                          bool ignoreHangUp = false) const {
    std::vector<std::string> argv = Download(args), keep;
    auto cargv = Argv(argv);
    auto cenv = Environment(keep, Env(udpPort));
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      if (ignoreHangUp) std::signal(SIGHUP, SIG_IGN);
      ::execve(cargv[0], cargv.data(), cenv.data());
      ::_exit(127);
    }
    return Running(pid);
  }

  std::vector<DownloadRecord> Records() const {
    const ReadResult r = ReadRecords(home);
    EXPECT_FALSE(r.error) << r.error->reason;
    return r.records;
  }

  TempDir dir;
  std::string cli, home, params;
};

// A several-targets run's summary row of `target`, "" when there is none.
inline std::string SummaryRow(const std::string& out, const std::string& target) {
  const std::size_t at = out.find("\n" + target + " ", out.find("TARGET"));
  return at == std::string::npos ? "" : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

// Reads what is there on `fd` within `ms`, appending to `into`; false at its end.
inline bool ReadSome(int fd, std::string& into, int ms = 50) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return true;
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  into.append(buf, static_cast<std::size_t>(n));
  return true;
}

}  // namespace facset::testing
