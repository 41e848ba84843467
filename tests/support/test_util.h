#pragma once
// Small fixtures for tests that watch what the engine sends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdint>
#include <string>
#include <vector>

namespace facset::testing {

// A UDP socket on 127.0.0.1 with a free port, for seeing what the engine sends.
class UdpPeer {
 public:
  UdpPeer() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~UdpPeer() { close(fd_); }
  int port() const { return port_; }
  int fd() const { return fd_; }
  // Every datagram already received (waits up to `ms` for the first).
  std::vector<std::vector<std::uint8_t>> Drain(int ms = 2000) {
    std::vector<std::vector<std::uint8_t>> out;
    pollfd p{fd_, POLLIN, 0};
    int wait = ms;
    while (poll(&p, 1, wait) > 0) {
      std::vector<std::uint8_t> d(2048);
      const ssize_t n = recv(fd_, d.data(), d.size(), 0);
      if (n < 0) break;
      d.resize(static_cast<std::size_t>(n));
      out.push_back(std::move(d));
      wait = 0;
    }
    return out;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Runs `fn` from the event loop after `ms`, i.e. inside an engine wait.
template <typename Fn>
void During(int ms, Fn fn) {
  QTimer::singleShot(ms, QCoreApplication::instance(), fn);
}

}  // namespace facset::testing
