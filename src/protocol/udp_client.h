#pragma once
// The engine's UDP client: one IPv4 datagram socket, created on first use,
// bound to any local port and kept for the client's life. It receives from
// any sender and says who sent each datagram; the UDP link decides.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace facset {

class EUdpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UdpClient {
 public:
  UdpClient() = default;
  ~UdpClient();
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  void SetRemote(const std::string& host, int port) {
    host_ = host;
    port_ = port;
    resolved_ = false;
  }

  // One datagram to the remote host and port. Throws EUdpError (a host text
  // that does not resolve, a port outside 1..65535, a failed send).
  void Send(const void* data, std::size_t length);
  // True when a datagram is waiting (never blocks). Throws EUdpError.
  bool Readable();
  // One datagram into `buf` (cut at `cap` bytes). Returns its whole length
  // (which may exceed cap; 0 for an empty datagram), nothing when none is
  // waiting. `fromSender` is set to whether it came from the remote host and
  // port, `sender` to "ADDR:PORT". Throws EUdpError.
  std::optional<std::size_t> Receive(std::uint8_t* buf, std::size_t cap, bool& fromRemote, std::string& sender);

  // The socket, created on first call. Throws EUdpError.
  int Handle();

 private:
  int fd_ = -1;
  bool resolved_ = false;
  std::uint32_t remoteAddr_ = 0;  // network order, once resolved
  std::uint16_t remotePort_ = 0;
  std::string host_;
  int port_ = 0;
};

}  // namespace facset
