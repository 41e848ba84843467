#include "protocol/udp_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace facset {

namespace {

std::string SysText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

sockaddr_in Resolve(const std::string& host, int port) {
  if (port <= 0 || port > 65535) throw EUdpError("Invalid UDP port " + std::to_string(port));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  if (host.empty()) throw EUdpError("No host given");
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) == 1) return sa;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) throw EUdpError("Cannot resolve host \"" + host + "\": " + gai_strerror(rc));
  sa.sin_addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return sa;
}

}  // namespace

UdpClient::~UdpClient() {
  if (fd_ >= 0) ::close(fd_);
}

int UdpClient::Handle() {
  if (fd_ >= 0) return fd_;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw EUdpError(SysText("Cannot create UDP socket"));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    const std::string msg = SysText("Cannot bind UDP socket");
    ::close(fd);
    throw EUdpError(msg);
  }
  fd_ = fd;
  return fd_;
}

void UdpClient::Send(const void* data, std::size_t length) {
  const sockaddr_in to = Resolve(host_, port_);
  remoteAddr_ = to.sin_addr.s_addr;
  remotePort_ = to.sin_port;
  resolved_ = true;
  const int fd = Handle();
  for (;;) {
    const ssize_t n = ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n >= 0) return;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Send buffer full: wait for room rather than drop the request.
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    throw EUdpError(SysText("UDP send failed"));
  }
}

bool UdpClient::Readable() {
  pollfd p{Handle(), POLLIN, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, 0);
    if (rc >= 0) return rc > 0 && (p.revents & POLLIN);
    if (errno != EINTR) throw EUdpError(SysText("UDP wait failed"));
  }
}

std::optional<std::size_t> UdpClient::Receive(std::uint8_t* buf, std::size_t cap, bool& fromRemote,
                                               std::string& sender) {
  const int fd = Handle();
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    // MSG_TRUNC: the datagram's real length, so that an oversized one is seen as such.
    const ssize_t n = ::recvfrom(fd, buf, cap, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
    if (n >= 0) {
      fromRemote = resolved_ && from.sin_family == AF_INET && from.sin_addr.s_addr == remoteAddr_ &&
                   from.sin_port == remotePort_;
      char a[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &from.sin_addr, a, sizeof a);
      sender = std::string(a) + ":" + std::to_string(ntohs(from.sin_port));
      return static_cast<std::size_t>(n);
    }
    if (errno == EINTR) continue;
    // An ICMP error reported on the socket is silence from the scale's point of view.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) return std::nullopt;
    throw EUdpError(SysText("UDP receive failed"));
  }
}

}  // namespace facset
