// Serial component figures on a pseudo-terminal pair (run by hand):
//   throughput of 4 MiB each way beside a plain read/write loop,
//   latency from the last byte of a 302-byte burst to OnReceiveData,
//   CPU time while the port is open and idle.
// Throughput figures are the best of five rounds.
// Usage: bench_serial [idle seconds, default 10]

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "serial/serial_comm.h"

using namespace facset;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kTotal = 4u << 20;

struct PtyPair {
  int master = -1, slave = -1;
  std::string path;
  PtyPair() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) std::abort();
    path = name;
  }
  ~PtyPair() {
    close(master);
    close(slave);
  }
};

void WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<std::size_t>(w);
    } else {
      pollfd pf{fd, POLLOUT, 0};
      poll(&pf, 1, 10);
    }
  }
}

double Mbps(std::size_t bytes, Clock::duration d) {
  return bytes / 1e6 / std::chrono::duration<double>(d).count();
}

// 4 MiB from one end of a raw pty pair to the other in a plain read/write loop.
double PlainLoop(bool towardsSlave) {
  PtyPair p;
  termios t{};
  tcgetattr(p.slave, &t);
  cfmakeraw(&t);
  tcsetattr(p.slave, TCSANOW, &t);
  const int writer = towardsSlave ? p.master : p.slave;
  const int reader = towardsSlave ? p.slave : p.master;
  const std::string data(kTotal, 'a');
  const auto start = Clock::now();
  std::thread w([&] { WriteAll(writer, data.data(), data.size()); });
  std::vector<char> buf(65536);
  std::size_t got = 0;
  while (got < kTotal) {
    const ssize_t n = read(reader, buf.data(), buf.size());
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  const auto d = Clock::now() - start;
  w.join();
  return Mbps(kTotal, d);
}

// Far end writes, the near end reads the slave.
double PlainReceive() { return PlainLoop(true); }
double PlainTransmit() { return PlainLoop(false); }

void PlainLine(TComm& c, const PtyPair& p) {
  c.SetCommName(p.path);
  c.SetOutx_XonXoffFlow(false);
  c.SetInx_XonXoffFlow(false);
  c.SetReadIntervalTimeout(1);
}

double CommReceive() {
  PtyPair p;
  TComm comm;
  PlainLine(comm, p);
  std::size_t got = 0;
  QEventLoop loop;
  comm.OnReceiveData = [&](TComm&, const std::uint8_t*, std::uint16_t n) {
    got += n;
    if (got >= kTotal) loop.quit();
  };
  comm.OpenPort();
  const std::string data(kTotal, 'a');
  const auto start = Clock::now();
  std::thread w([&] { WriteAll(p.master, data.data(), data.size()); });
  loop.exec();
  const auto d = Clock::now() - start;
  w.join();
  comm.ClosePort();
  return Mbps(kTotal, d);
}

double CommTransmit() {
  PtyPair p;
  TComm comm;
  PlainLine(comm, p);
  comm.OpenPort();
  const std::string data(kTotal, 'a');
  const auto start = Clock::now();
  std::thread r([&] {
    std::vector<char> buf(65536);
    std::size_t got = 0;
    while (got < kTotal) {
      const ssize_t n = read(p.master, buf.data(), buf.size());
      if (n > 0) got += static_cast<std::size_t>(n);
    }
  });
  for (std::size_t off = 0; off < kTotal; off += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, kTotal - off);
    comm.SendData(data.data() + off, static_cast<std::uint16_t>(n));
  }
  r.join();
  const auto d = Clock::now() - start;
  comm.ClosePort();
  return Mbps(kTotal, d);
}

// Main thread waits in its event loop as the window's thread would.
void Latency(double& median, double& p95) {
  PtyPair p;
  TComm comm;
  PlainLine(comm, p);
  const std::string burst(302, 'b');
  std::atomic<std::int64_t> lastByteNs{0};
  std::vector<double> ms;
  std::size_t got = 0;
  QEventLoop loop;
  comm.OnReceiveData = [&](TComm&, const std::uint8_t*, std::uint16_t n) {
    got += n;
    if (got >= burst.size()) {
      const auto now = Clock::now().time_since_epoch().count();
      ms.push_back((now - lastByteNs.load()) / 1e6);
      got = 0;
      loop.quit();
    }
  };
  comm.OpenPort();
  for (int i = 0; i < 300; ++i) {
    std::thread w([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      WriteAll(p.master, burst.data(), burst.size());
      lastByteNs.store(Clock::now().time_since_epoch().count());
    });
    loop.exec();
    w.join();
  }
  comm.ClosePort();
  std::sort(ms.begin(), ms.end());
  median = ms[ms.size() / 2];
  p95 = ms[ms.size() * 95 / 100];
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double IdleCpu(int seconds) {
  PtyPair p;
  TComm comm;
  PlainLine(comm, p);
  comm.OpenPort();
  QEventLoop loop;
  QTimer::singleShot(200, &loop, &QEventLoop::quit);  // let the opening settle
  loop.exec();
  const double before = CpuSeconds();
  QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
  loop.exec();
  const double used = CpuSeconds() - before;
  comm.ClosePort();
  return used;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

  // Best of five, interleaved, as the machine is shared.
  double plainRx = 0, commRx = 0, plainTx = 0, commTx = 0;
  for (int round = 0; round < 5; ++round) {
    plainRx = std::max(plainRx, PlainReceive());
    commRx = std::max(commRx, CommReceive());
    plainTx = std::max(plainTx, PlainTransmit());
    commTx = std::max(commTx, CommTransmit());
  }
  std::printf("receive  4 MiB: TComm %8.1f MB/s, plain loop %8.1f MB/s, ratio %.2f (goal >= 0.5)\n", commRx, plainRx,
              commRx / plainRx);
  std::printf("transmit 4 MiB: TComm %8.1f MB/s, plain loop %8.1f MB/s, ratio %.2f (goal >= 0.5)\n", commTx, plainTx,
              commTx / plainTx);
  double median = 0, p95 = 0;
  Latency(median, p95);
  std::printf("latency last byte of 302 -> OnReceiveData (interval 1 ms): median %.2f ms, p95 %.2f ms (goal median <= 3)\n",
              median, p95);
  const double cpu = IdleCpu(idleSeconds);
  std::printf("idle open port: %.4f CPU s over %d s (goal <= 0.02 per 10 s)\n", cpu, idleSeconds);
  return 0;
}
