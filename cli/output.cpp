#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace facset::cli {

OutputStream::OutputStream(int fd, std::string name, OutputStream* notes)
    : fd_(fd), name_(std::move(name)), notes_(notes) {}

bool OutputStream::Write(std::string_view s) {
  if (failed_) return false;
  while (!s.empty()) {
    const ssize_t n = ::write(fd_, s.data(), s.size());
    if (n > 0) {
      s.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A descriptor someone left non-blocking: wait as a blocking one would.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
    }
    failed_ = true;
    why_ = n < 0 ? std::strerror(errno) : "nothing could be written";
    if (notes_) {
      notes_->Write("facset-cli: " + name_ + " could not be written (" + why_ +
                    "); what follows there is dropped; the download goes on to its end and its station "
                    "record keeps the whole log\n");
    }
    return false;
  }
  return true;
}

OutputStream& Stderr() {
  static OutputStream s(STDERR_FILENO, "stderr");
  return s;
}

OutputStream& Stdout() {
  static OutputStream s(STDOUT_FILENO, "stdout", &Stderr());
  return s;
}

void IgnoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace facset::cli
