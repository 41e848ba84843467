#include "support/sim_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace facset::testing {

std::string SimPath() { return SCALE_SIM_PATH; }

SimProcess::SimProcess(std::vector<std::string> args, bool withPty, bool withLog) {
  std::vector<std::string> argv = {SimPath(), "--udp-port", "0"};
  if (withLog) {
    for (const std::string& a : {std::string("--log"), dir_.file("sim.jsonl"), std::string("--param-out"), paramFile(),
                                 std::string("--firmware-out"), firmwareFile()})
      argv.push_back(a);
  }
  if (withPty) argv.push_back("--pty");
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  const int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  close(out[0]);
  std::smatch m;
  if (line.rfind("ready", 0) != 0) {
    Stop(SIGKILL);
    throw std::runtime_error("scale-sim did not get ready: '" + line + "'");
  }
  if (std::regex_search(line, m, std::regex("udp=127\\.0\\.0\\.1:(\\d+)"))) udpPort_ = std::stoi(m[1]);
  if (std::regex_search(line, m, std::regex("pty=(\\S+)"))) ptyPath_ = m[1];
}

SimProcess::~SimProcess() { Stop(); }

int SimProcess::Stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

static int IntField(const std::string& line, const std::string& key) {
  std::smatch m;
  if (std::regex_search(line, m, std::regex("\"" + key + "\":(-?\\d+)"))) return std::stoi(m[1]);
  return -1;
}

static std::string TextField(const std::string& line, const std::string& key) {
  std::smatch m;
  if (std::regex_search(line, m, std::regex("\"" + key + "\":\"([^\"]*)\""))) return m[1];
  return {};
}

std::vector<LogEntry> SimProcess::Log() const {
  std::vector<LogEntry> out;
  std::ifstream in(dir_.file("sim.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.back() != '}') continue;  // a line still being written
    LogEntry e;
    e.raw = line;
    e.transport = TextField(line, "transport");
    e.cmd = IntField(line, "cmd");
    e.arg = IntField(line, "arg");
    e.speed = IntField(line, "speed");
    e.answer = TextField(line, "answer");
    out.push_back(e);
  }
  return out;
}

std::vector<LogEntry> SimProcess::WaitLog(std::size_t n, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Log().size() < n && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  return Log();
}

}  // namespace facset::testing
