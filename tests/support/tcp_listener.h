#pragma once
// A TCP port on 127.0.0.1 that takes connections into its backlog and never
// answers: a database server that hangs, as a client sees it. ClosedPort()
// gives one that nothing listens on.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace facset::testing {

class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 64);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port of 127.0.0.1 that was free a moment ago and has no listener.
inline int ClosedPort() {
  const SilentListener once;
  return once.port();
}

}  // namespace facset::testing
