#pragma once
// Runs a program to its end with stdin from /dev/null and stdout and stderr
// captured, for tests of the command-line tools.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/temp_files.h"

extern char** environ;

namespace facset::testing {

struct ProcessResult {
  int status = -1;  // exit code, 128 + signal number when killed, -1 when it could not start
  std::string out, err;
  long maxRssKb = 0;  // the child's peak resident size
};

// Starts `program` with stdin from /dev/null and stdout and stderr into the
// given files; the pid, or -1 when it could not start. `env` adjusts this
// process's environment for the child: "NAME=VALUE" sets NAME, a bare "NAME"
// removes it.
inline pid_t SpawnCaptured(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& outPath,
                           const std::string& errPath) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  auto nameOf = [](const std::string& e) { return e.substr(0, e.find('=')); };
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const std::string& change : env) replaced = replaced || nameOf(change) == nameOf(*e);
    if (!replaced) environment.emplace_back(*e);
  }
  for (const std::string& change : env) {
    if (change.find('=') != std::string::npos) environment.push_back(change);
  }
  std::vector<char*> cenv;
  for (auto& e : environment) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// Runs a program to its end (see SpawnCaptured for `env`).
inline ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                                const std::vector<std::string>& env = {}) {
  TempDir outputs;
  const std::string outPath = outputs / "out", errPath = outputs / "err";
  ProcessResult r;
  if (const pid_t pid = SpawnCaptured(program, args, env, outPath, errPath); pid > 0) {
    int ws = 0;
    rusage ru{};
    while (wait4(pid, &ws, 0, &ru) < 0 && errno == EINTR) {
    }
    r.maxRssKb = ru.ru_maxrss;
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  r.out = ReadFileBytes(outPath);
  r.err = ReadFileBytes(errPath);
  return r;
}

}  // namespace facset::testing
