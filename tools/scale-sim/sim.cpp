// The simulated scale's endpoints, its single-threaded poll loop and the
// serial line's timing.

#include "sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line_speed.h"
#include "storage.h"

namespace facset::sim {



void Fail(const std::string& msg) {
  std::fprintf(stderr, "scale-sim: %s\nTry 'scale-sim --help'.\n", msg.c_str());
  std::exit(2);
}

Clock::duration ByteTime(std::uint32_t bps) {
  return std::chrono::nanoseconds(10'000'000'000LL / std::max<std::uint32_t>(bps, 1));
}

// A pty has no speed of its own and keeps none per byte: what tells is the
// setting at the moment bytes cross it.
std::uint32_t Sim::ToolSpeed() const { return slave_ >= 0 ? LineSpeed(slave_) : 0; }

namespace {
int BoundUdp(const std::string& host, int port, int& boundPort) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) Fail("bad UDP address '" + host + "'");
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    Fail("cannot bind UDP " + host + ":" + std::to_string(port) + ": " + std::strerror(errno));
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  boundPort = ntohs(sa.sin_port);
  return fd;
}
}  // namespace

void Sim::OpenEndpoints() {
  if (!o_.logPath.empty()) {
    if (o_.logPath == "-") {
      log_ = stderr;
    } else {
      const int fd = CreateReplacing(o_.logPath);
      log_ = fd >= 0 ? fdopen(fd, "w") : nullptr;
      if (!log_) Fail("cannot open log " + o_.logPath + ": " + std::strerror(errno));
    }
  }
  if (o_.udp) udpFd_ = BoundUdp(o_.udpHost, o_.udpPort, boundPort_);
  if (o_.udp && o_.foreignAckMs >= 0) {
    int unused = 0;
    foreignFd_ = BoundUdp(o_.foreignHost.empty() ? o_.udpHost : o_.foreignHost, 0, unused);
  }
  if (o_.pty) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      Fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    slavePath_ = ptsname(master_);
    // Holding the slave open keeps the master readable across the tool's
    // opens and closes, and lets us read the line speed the tool set.
    slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) Fail("cannot open " + slavePath_ + ": " + std::strerror(errno));
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    const speed_t sp = currentSpeed_ == 19200    ? B19200
                       : currentSpeed_ == 38400  ? B38400
                       : currentSpeed_ == 57600  ? B57600
                       : currentSpeed_ == 115200 ? B115200
                                                 : B9600;
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!o_.ptyLink.empty()) {
      struct stat st {};
      if (lstat(o_.ptyLink.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) Fail(o_.ptyLink + " exists and is not a symlink; not replacing it");
        unlink(o_.ptyLink.c_str());
      }
      if (symlink(slavePath_.c_str(), o_.ptyLink.c_str()) != 0)
        Fail("cannot link " + o_.ptyLink + ": " + std::strerror(errno));
      linkMade_ = true;
    }
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  sigFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
}

void Sim::Cleanup() {
  if (linkMade_) unlink(o_.ptyLink.c_str());
  if (fwFd_ >= 0) close(fwFd_);
  if (log_ && log_ != stderr) std::fclose(log_);
  for (int fd : {udpFd_, foreignFd_, master_, slave_, sigFd_})
    if (fd >= 0) close(fd);
}

// The scale drops the line: the tool's side of the pseudo-terminal sees it go.
void Sim::HangUp() {
  for (int* fd : {&master_, &slave_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  rx_.clear();
  inFrame_ = false;
  std::erase_if(pending_, [](const Pending& p) { return !p.udp; });
}

// `after` is the quiet time between the previous part and this one, counted
// from the moment the previous part has gone out.
void Sim::Queue(Pending p, Clock::duration after) {
  if (!pending_.empty()) p.due = std::max(p.due, pending_.back().due);
  p.gap = after;
  pending_.push_back(std::move(p));
}

// Bytes reach the tool only while its line runs at the scale's speed; at any
// other speed a real receiver sees framing errors, so they are lost here.
void Sim::WriteLine(const std::uint8_t* bytes, std::size_t n) {
  if (master_ < 0 || ToolSpeed() != ScaleSpeed()) return;
  std::size_t off = 0;
  while (off < n) {
    const ssize_t w = write(master_, bytes + off, n - off);
    if (w > 0) {
      off += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd wp{master_, POLLOUT, 0};
      poll(&wp, 1, 50);
      continue;
    }
    break;
  }
}

void Sim::Flush(Clock::time_point now) {
  // Answers leave in the order they were decided, each not before its time.
  while (!pending_.empty() && pending_.front().Start(txFree_) <= now) {
    Pending& p = pending_.front();
    const Clock::duration pace =
        p.udp ? Clock::duration{} : std::max(o_.lineRate ? ByteTime(ScaleSpeed()) : Clock::duration{}, p.byteGap);
    if (p.udp) {
      sendto(p.fd >= 0 ? p.fd : udpFd_, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<sockaddr*>(&p.to),
             sizeof p.to);
      txFree_ = now;
    } else if (pace == Clock::duration{}) {
      WriteLine(p.bytes.data(), p.bytes.size());
      txFree_ = now;
    } else {
      // A byte is handed over when its stop bit has gone out (or its gap passed).
      const auto start = p.Start(txFree_);
      const auto ready = static_cast<std::size_t>((now - start) / pace);
      const std::size_t n = std::min(ready, p.bytes.size() - p.sent);
      if (n > 0) {
        WriteLine(p.bytes.data() + p.sent, n);
        p.sent += n;
        txFree_ = start + pace * static_cast<long>(n);
        p.gap = {};  // the rest follows without a pause
        p.due = txFree_;
      }
      if (p.sent < p.bytes.size()) return;
    }
    if (p.switchToIndex >= 0) currentSpeed_ = kBaudTable[static_cast<std::size_t>(p.switchToIndex)];
    const bool hangup = p.hangup;
    pending_.pop_front();
    if (hangup) HangUp();
  }
}

std::optional<Clock::time_point> Sim::NextWake() const {
  std::optional<Clock::time_point> t;
  if (!pending_.empty()) {
    const Pending& p = pending_.front();
    t = p.Start(txFree_);
    if (!p.udp) *t += std::max(o_.lineRate ? ByteTime(ScaleSpeed()) : Clock::duration{}, p.byteGap);
  }
  if (!rx_.empty() && (!t || rx_.front().in < *t)) t = rx_.front().in;
  return t;
}

void Sim::OnUdp() {
  for (;;) {
    std::uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(udpFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) != kPacketSize) {
      ++requests_;
      Log(true, &from, 0, n >= 3 ? buf[0] : -1, n >= 3 ? (buf[1] | buf[2] << 8) : 0, "none",
          "datagram of " + std::to_string(n) + " bytes");
      continue;
    }
    Handle(buf, true, &from, 0);
  }
}

void Sim::OnFrame() {
  Buffer pkt{};
  DecodeFrame(frame_.data(), pkt.data());  // the checksum is judged in Handle
  if (frame_[kFrameNeeded - 1] != kFrameEnd) {
    ++requests_;
    Log(false, nullptr, frameSpeed_, -1, 0, "none", "frame without end marker");
    return;
  }
  Handle(pkt.data(), false, nullptr, frameSpeed_);
}

// Reads at once what the tool wrote, noting the line speed it was written at
// (the pty keeps no speed per byte, so the sooner the better).
void Sim::OnPty() {
  for (;;) {
    std::uint8_t buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return;
    const auto now = Clock::now();
    const std::uint32_t speed = ToolSpeed();
    const auto bt = ByteTime(speed ? speed : ScaleSpeed());
    for (ssize_t i = 0; i < n; ++i) {
      Clock::time_point in = now;
      if (o_.lineRate) in = rxFree_ = std::max(now, rxFree_) + bt;
      rx_.push_back({buf[i], speed, in});
    }
  }
}

// Bytes whose line time is over are the scale's to see.
void Sim::TakeBytes(Clock::time_point now) {
  while (!rx_.empty() && rx_.front().in <= now) {
    const RxByte b = rx_.front();
    rx_.pop_front();
    if (b.value == kFrameStart) {
      frame_.assign(1, b.value);
      inFrame_ = true;
      frameSpeed_ = b.speed;
      continue;
    }
    if (!inFrame_) continue;  // trailer, flow-control characters, noise
    frame_.push_back(b.value);
    if (b.speed != frameSpeed_) frameSpeed_ = 0;
    if (frame_.size() == kFrameNeeded) {
      inFrame_ = false;
      OnFrame();
    }
  }
}

int Sim::Run() {
  OpenEndpoints();
  std::string ready = "ready";
  if (o_.udp) ready += " udp=" + o_.udpHost + ":" + std::to_string(boundPort_);
  if (o_.pty) ready += " pty=" + slavePath_;
  std::printf("%s\n", ready.c_str());
  std::fflush(stdout);
  for (;;) {
    pollfd fds[3];
    nfds_t nfds = 0;
    fds[nfds++] = {sigFd_, POLLIN, 0};
    const int udpAt = udpFd_ >= 0 ? static_cast<int>(nfds) : -1;
    if (udpFd_ >= 0) fds[nfds++] = {udpFd_, POLLIN, 0};
    const int ptyAt = master_ >= 0 ? static_cast<int>(nfds) : -1;
    if (master_ >= 0) fds[nfds++] = {master_, POLLIN, 0};
    timespec ts{};
    const timespec* timeout = nullptr;
    if (const auto wake = NextWake()) {
      const auto left = std::max<Clock::duration>(Clock::duration{}, *wake - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout = &ts;
    }
    const int rc = ppoll(fds, nfds, timeout, nullptr);
    if (rc < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) break;
    if (udpAt >= 0 && (fds[udpAt].revents & POLLIN)) OnUdp();
    if (ptyAt >= 0 && master_ >= 0 && (fds[ptyAt].revents & POLLIN)) OnPty();
    const auto now = Clock::now();
    TakeBytes(now);
    Flush(now);
  }
  Cleanup();
  return 0;
}

}  // namespace facset::sim
