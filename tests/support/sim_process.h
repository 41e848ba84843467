#pragma once
// Runs scale-sim as a child process for the tests: waits for its ready line,
// reads its JSON log, ends it with SIGTERM.

#include <string>
#include <vector>

#include "support/temp_files.h"

namespace facset::testing {

struct LogEntry {
  std::string transport;  // "udp" or "serial"
  int cmd = -1;
  int arg = -1;
  int speed = 0;
  std::string answer;  // "ack", "refused", "data", "none"
  std::string raw;
};

class SimProcess {
 public:
  // `args` are extra options; UDP is put on 127.0.0.1 with a free port and the
  // log goes to a file in the process's own temp dir.
  // `withLog` false leaves out the log and the stored files (for benchmarks).
  explicit SimProcess(std::vector<std::string> args = {}, bool withPty = false, bool withLog = true);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  int udpPort() const { return udpPort_; }
  const std::string& ptyPath() const { return ptyPath_; }
  const TempDir& dir() const { return dir_; }
  std::string paramFile() const { return dir_.file("params.bin"); }
  std::string firmwareFile() const { return dir_.file("firmware.bin"); }

  std::vector<LogEntry> Log() const;
  // Waits (up to `timeoutMs`) until the log holds at least `n` entries, then a
  // little longer so that a surplus would show; returns the entries.
  std::vector<LogEntry> WaitLog(std::size_t n, int timeoutMs = 15000) const;

  // SIGTERM (or `sig`) and wait; returns the exit status as waitpid gives it.
  int Stop(int sig = 15);

 private:
  TempDir dir_;
  int pid_ = -1;
  int udpPort_ = 0;
  std::string ptyPath_;
};

// Path of the scale-sim executable.
std::string SimPath();

}  // namespace facset::testing
