#pragma once
// Several scale-sims on 127.0.0.2, 127.0.0.3, ... for the tests and the
// benchmark of downloads to several scales at once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/sim_process.h"

namespace facset::testing {

// Scale-sims on 127.0.0.2, 127.0.0.3, ... sharing one UDP port, since the
// tool's port is one for all targets.
class SimGang {
 public:
  explicit SimGang(std::size_t plain) : SimGang(std::vector<std::vector<std::string>>(plain)) {}
  // `extra[i]` holds the options of instance i; `withLog` false leaves out
  // the request logs and stored files.
  explicit SimGang(const std::vector<std::vector<std::string>>& extra, bool withLog = true) {
    for (int attempt = 0; attempt < 5 && sims_.empty(); ++attempt) {
      port_ = FreePort();
      try {
        for (std::size_t i = 0; i < extra.size(); ++i) {
          std::vector<std::string> args = {"--udp-host", Address(i), "--udp-port", std::to_string(port_)};
          args.insert(args.end(), extra[i].begin(), extra[i].end());
          sims_.push_back(std::make_unique<SimProcess>(args, false, withLog));
        }
      } catch (const std::exception&) {
        sims_.clear();  // the port was taken on one of the addresses meanwhile
      }
    }
    if (sims_.empty()) throw std::runtime_error("no common UDP port for the simulated scales");
  }
  static std::string Address(std::size_t i) { return "127.0.0." + std::to_string(i + 2); }
  SimProcess& operator[](std::size_t i) { return *sims_[i]; }
  std::size_t size() const { return sims_.size(); }
  int port() const { return port_; }

 private:
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7F000002);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
  }
  int port_ = 0;
  std::vector<std::unique_ptr<SimProcess>> sims_;
};

}  // namespace facset::testing
