#include "pty_fixture.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include <QCoreApplication>

namespace facset::testing {

using Clock = std::chrono::steady_clock;

Pty::Pty() {
  char name[128] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  path_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

termios Pty::Attr() const {
  termios t{};
  tcgetattr(master_, &t);
  return t;
}

void Pty::Write(const std::string& bytes) {
  std::size_t off = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (off < bytes.size() && Clock::now() < deadline) {
    const ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
      continue;
    }
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  if (off < bytes.size()) throw std::runtime_error("pty write stalled");
}

std::string Pty::Read(std::size_t want, int timeoutMs) {
  std::string out;
  char buf[65536];
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < want && Clock::now() < deadline) {
    const ssize_t n = read(master_, buf, std::min(sizeof buf, want - out.size()));
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    QCoreApplication::processEvents();
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, 5);
  }
  return out;
}

std::string Pty::Drain(int settleMs) {
  ProcessFor(settleMs);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(master_, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

int Pty::Unread() const {
  int n = 0;
  if (ioctl(slave_, FIONREAD, &n) != 0) return -1;
  return n;
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

bool ProcessUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    QCoreApplication::processEvents();
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void ProcessFor(int ms) {
  ProcessUntil([] { return false; }, ms);
}

static int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

int OpenFdCount() { return CountEntries("/proc/self/fd"); }
int ThreadCount() { return CountEntries("/proc/self/task"); }

void Recorder::Attach(TComm& comm) {
  auto check = [this] {
    if (std::this_thread::get_id() != owner) offThread = true;
  };
  comm.OnReceiveData = [this, check](TComm&, const std::uint8_t* buf, std::uint16_t len) {
    check();
    data.append(reinterpret_cast<const char*>(buf), len);
    chunks.push_back(len);
  };
  comm.OnReceiveError = [this, check](TComm&, std::uint32_t mask) {
    check();
    errors.push_back(mask);
  };
  comm.OnModemStateChange = [this, check](TComm&, std::uint32_t code) {
    check();
    modem.push_back(code);
  };
  comm.OnRequestHangup = [this, check](TComm&) {
    check();
    ++hangups;
  };
  comm.OnSendDataEmpty = [this, check](TComm&) {
    check();
    ++sendEmpty;
  };
}

void UsePlainLine(TComm& comm, const Pty& pty) {
  comm.SetCommName(pty.path());
  comm.SetOutx_XonXoffFlow(false);
  comm.SetInx_XonXoffFlow(false);
}

std::string Pattern(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace facset::testing
