#pragma once
// Pseudo-terminal pair for the serial tests: the component opens the slave by
// its path, the test plays the far end on the master.

#include <termios.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial_comm.h"

namespace facset::testing {

class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  // The line settings as the component left them (master and slave share them).
  termios Attr() const;
  void Write(const std::string& bytes);
  // Reads until `want` bytes are in or `timeoutMs` passed; returns what came.
  std::string Read(std::size_t want, int timeoutMs = 10000);
  // What is there now, after a short settling wait.
  std::string Drain(int settleMs = 200);
  void CloseMaster();
  // Bytes written by the test that the component has not read yet.
  int Unread() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Runs the Qt event loop of this thread until `done` holds or the time-out passes.
bool ProcessUntil(const std::function<bool()>& done, int timeoutMs = 10000);
void ProcessFor(int ms);
int OpenFdCount();
int ThreadCount();

// Collects everything a TComm raises.
struct Recorder {
  std::string data;
  std::vector<std::size_t> chunks;
  std::vector<std::uint32_t> errors;
  std::vector<std::uint32_t> modem;
  int sendEmpty = 0;
  int hangups = 0;
  bool offThread = false;  // an event arrived on another thread
  std::thread::id owner = std::this_thread::get_id();

  void Attach(TComm& comm);
};

// A port set up for byte-exact tests: no software flow control, so the test
// may send any byte value and the line discipline sends none of its own.
void UsePlainLine(TComm& comm, const Pty& pty);

std::string Pattern(std::size_t n, std::uint32_t seed = 1);

}  // namespace facset::testing
