#include "serial_threads.h"

#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include <QCoreApplication>

#include "serial/serial_comm.h"

namespace facset {

namespace serial_detail {

QEvent::Type CommNotifyEvent::EventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

std::size_t RxFilter::Apply(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  std::size_t m = 0;
  std::size_t paid = 0;
  while (paid < carryN_ && m < n) out[m++] = carry_[paid++];
  std::copy(carry_.begin() + static_cast<std::ptrdiff_t>(paid), carry_.begin() + static_cast<std::ptrdiff_t>(carryN_),
            carry_.begin());
  carryN_ -= paid;
  if (!unmark) {
    state_ = 0;
    if (!ignoreNull && m == 0 && carryN_ == 0) {
      if (n != 0) std::memcpy(out, in, n);  // an empty read may come with no buffer
      return n;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = in[i];
    if (!unmark) {
      Emit(c, out, n, m);
      continue;
    }
    switch (state_) {
      case 0:
        if (c == 0xFF)
          state_ = 1;
        else
          Emit(c, out, n, m);
        break;
      case 1:
        if (c == 0x00) {
          state_ = 2;
        } else {
          // 0xFF 0xFF is a received 0xFF; anything else cannot come from the
          // kernel, so pass both bytes on rather than lose one.
          Emit(0xFF, out, n, m);
          if (c != 0xFF) Emit(c, out, n, m);
          state_ = 0;
        }
        break;
      default:  // after 0xFF 0x00: the character in error, or 0 for a break
        Emit(c != 0 && replace ? replacedChar : c, out, n, m);
        state_ = 0;
        break;
    }
  }
  return m;
}

bool CommSession::Enqueue(const void* data, std::size_t length) {
  if (!writerRunning.load()) return false;
  const auto* p = static_cast<const std::uint8_t*>(data);
  try {
    std::lock_guard lock(queueMutex_);
    const std::uint64_t seq = queued.load() + 1;
    std::size_t done = 0;
    if (queue_.empty() && !writerBusy_ && !stopped.load()) {
      started.store(seq);
      while (done < length) {
        const ssize_t n = write(fd, p + done, length - done);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;  // full, held by XOFF, or failing: the transmit thread sees to it
        }
      }
    }
    queued.store(seq);
    if (done == length) {
      written.store(seq);
      directWritten.store(true);
    } else {
      queue_.push_back(Request{seq, std::vector<std::uint8_t>(p + done, p + length)});
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  const std::uint64_t one = 1;
  // The counter only wakes the thread; the queue itself holds the requests.
  return write(wakeFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one) || errno == EAGAIN;
}

std::optional<CommSession::Request> CommSession::Dequeue() {
  std::lock_guard lock(queueMutex_);
  if (queue_.empty()) return std::nullopt;
  auto front = std::move(queue_.front());
  queue_.pop_front();
  writerBusy_ = true;
  return front;
}

void CommSession::WriterIdle() {
  std::lock_guard lock(queueMutex_);
  writerBusy_ = false;
}

void CommSession::DropQueue() {
  std::lock_guard lock(queueMutex_);
  queue_.clear();
}

void CommSession::Post(NotifyKind kind, std::uint32_t value, std::unique_ptr<std::uint8_t[]> data,
                       std::uint64_t writtenStamp) {
  auto* ev = new CommNotifyEvent(kind, generation, value);
  ev->data = std::move(data);
  ev->written = writtenStamp;
  QCoreApplication::postEvent(notifier, ev);
}

void CompareLineCounters(const serial_icounter_struct& before, const serial_icounter_struct& now,
                         std::uint32_t& errors, std::uint32_t& modem) {
  errors = 0;
  if (now.buf_overrun != before.buf_overrun) errors |= CE_RXOVER;
  if (now.overrun != before.overrun) errors |= CE_OVERRUN;
  if (now.parity != before.parity) errors |= CE_RXPARITY;
  if (now.frame != before.frame) errors |= CE_FRAME;
  if (now.brk != before.brk) errors |= CE_BREAK;
  modem = 0;
  if (now.dcd != before.dcd) modem |= kModemCarrierDetect;
  if (now.rng != before.rng) modem |= kModemRing;
}

void CommSession::PostHangup() {
  if (!hangupPosted.exchange(true)) Post(NotifyKind::RequestHangup);
}

void CommSession::WriterSawHangup() {
  const std::uint64_t one = 1;
  (void)!write(lineGoneFd, &one, sizeof one);
}

}  // namespace serial_detail

using serial_detail::CommSession;
using serial_detail::kReadChunk;
using serial_detail::NotifyKind;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
// Line errors and modem changes have no descriptor to wait on; where the
// driver keeps counters they are sampled this often (and after every read).
constexpr auto kCounterPeriod = std::chrono::milliseconds(100);
// Keeps deadlines far from the clock's range; longer totals wait as good as for ever.
constexpr std::uint64_t kLongestTotalMs = 30ull * 24 * 3600 * 1000;

bool IsSet(const pollfd& p) { return (p.revents & POLLIN) != 0; }

// ppoll until `deadline` (or for ever when it is Clock::time_point::max()).
int PollUntil(pollfd* fds, nfds_t n, Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return ppoll(fds, n, nullptr, nullptr);
  auto left = deadline - Clock::now();
  if (left < Clock::duration::zero()) left = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  return ppoll(fds, n, &ts, nullptr);
}

// Samples the driver's counters; posts what changed since the last sample.
class LineCounters {
 public:
  explicit LineCounters(int fd) : fd_(fd) { supported_ = ioctl(fd_, TIOCGICOUNT, &last_) == 0; }
  bool supported() const { return supported_; }

  void Check(CommSession& s) {
    if (!supported_) return;
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) {
      supported_ = false;  // not a failure of the line: just stop sampling
      return;
    }
    std::uint32_t errors = 0, modem = 0;
    serial_detail::CompareLineCounters(last_, now, errors, modem);
    last_ = now;
    if (errors) s.Post(NotifyKind::ReceiveError, errors);
    if (modem) s.Post(NotifyKind::ModemState, modem);
  }

 private:
  int fd_;
  bool supported_ = false;
  serial_icounter_struct last_{};
};

}  // namespace

TReadThread::TReadThread(std::shared_ptr<CommSession> session)
    : session_(std::move(session)), thread_([this] { Run(); }) {}

TReadThread::~TReadThread() { Join(); }

void TReadThread::Join() {
  if (thread_.joinable()) thread_.join();
}

namespace {

// The read time-outs in force, read afresh each round: they may be set again
// while the thread waits.
struct ReadTimeouts {
  std::uint32_t interval = 0;
  bool immediate = false;     // hand over whatever is there at once
  bool firstByte = false;     // wait up to the total for the first byte, then hand over
  bool intervalUsed = false;  // a gap between bytes ends the read
  std::uint64_t totalMs = 0;  // 0: no total
};

ReadTimeouts ReadTimeoutsOf(const CommSession& s) {
  ReadTimeouts t;
  t.interval = s.readInterval.load();
  const std::uint32_t multiplier = s.readTotalMultiplier.load();
  const std::uint32_t constant = s.readTotalConstant.load();
  // Interval "infinite" with no totals: hand over whatever is there at once.
  // Interval and multiplier "infinite" with a constant: wait up to the
  // constant for the first byte, then hand over at once.
  t.immediate = t.interval == kMaxDword && multiplier == 0 && constant == 0;
  t.firstByte = t.interval == kMaxDword && multiplier == kMaxDword && constant > 0 && constant < kMaxDword;
  if (t.firstByte)
    t.totalMs = constant;
  else if (t.interval != kMaxDword || multiplier != 0 || constant != 0)
    t.totalMs = std::uint64_t{multiplier} * kReadChunk + constant;
  t.totalMs = std::min<std::uint64_t>(t.totalMs, kLongestTotalMs);
  t.intervalUsed = t.interval != 0 && t.interval != kMaxDword;
  return t;
}

}  // namespace

void TReadThread::Run() {
  CommSession& s = *session_;
  serial_detail::RxFilter filter;
  LineCounters counters(s.fd);
  // Reads take what the driver has, up to two chunks' worth, so a stream
  // costs fewer calls; the bytes are handed on in chunks of at most 2048,
  // and what is left over starts the next one.
  constexpr std::size_t kRawRead = 2 * kReadChunk;
  std::uint8_t raw[kRawRead];
  std::uint8_t chunk[kReadChunk + kRawRead + serial_detail::RxFilter::kMaxOwed];
  std::size_t count = 0;  // below kReadChunk between reads
  bool readAgain = false;
  Clock::time_point readStart = Clock::now();
  Clock::time_point lastByte = readStart;
  Clock::time_point nextSample = readStart + kCounterPeriod;
  // Requests fully written when the bytes of `chunk` had been read: a chunk
  // never mixes bytes read before and after a request left the component, so
  // the owner can tell leftovers from answers.
  std::uint64_t chunkWritten = 0;

  auto deliverFirst = [&](std::size_t n) {
    auto block = std::make_unique<std::uint8_t[]>(n + 1);
    std::memcpy(block.get(), chunk, n);
    block[n] = 0;
    s.Post(NotifyKind::ReceiveData, static_cast<std::uint32_t>(n), std::move(block), chunkWritten);
    count -= n;
    if (count > 0) std::memmove(chunk, chunk + n, count);
  };
  auto deliver = [&] {
    while (count > 0) deliverFirst(std::min(count, kReadChunk));
    readStart = Clock::now();
  };
  auto hangup = [&] {
    deliver();  // what arrived before the line went away is still valid
    s.PostHangup();
  };

  while (!s.stopped.load()) {
    const ReadTimeouts t = ReadTimeoutsOf(s);
    const std::uint32_t interval = t.interval;
    const bool immediate = t.immediate, firstByte = t.firstByte, intervalUsed = t.intervalUsed;
    const std::uint64_t totalMs = t.totalMs;

    Clock::time_point deadline = Clock::time_point::max();
    if (count > 0 && intervalUsed) deadline = lastByte + std::chrono::milliseconds(interval);
    if (totalMs > 0) deadline = std::min(deadline, readStart + std::chrono::milliseconds(totalMs));
    if (counters.supported()) deadline = std::min(deadline, nextSample);

    pollfd fds[3] = {{s.stopFd, POLLIN, 0}, {s.fd, POLLIN, 0}, {s.lineGoneFd, POLLIN, 0}};
    if (readAgain) {
      // The last read filled the buffer: more is likely waiting, so read
      // before polling (a stop is still seen at the top of the loop).
      fds[1].revents = POLLIN;
    } else {
      const int r = PollUntil(fds, 3, deadline);
      if (r < 0) {
        if (errno == EINTR) continue;
        hangup();
        break;
      }
      if (IsSet(fds[0]) || s.stopped.load()) break;
    }
    readAgain = false;

    if (fds[1].revents & POLLIN) {
      // Settings may have been re-applied while the thread waited.
      filter.ignoreNull = s.ignoreNull.load();
      filter.unmark = s.parityMarks.load();
      filter.replace = s.replaceOnError.load();
      filter.replacedChar = s.replacedChar.load();
      const ssize_t n = read(s.fd, raw, kRawRead);
      if (n > 0) {
        const std::uint64_t writtenNow = s.started.load();
        if (count > 0 && writtenNow != chunkWritten) deliver();
        if (count == 0) chunkWritten = writtenNow;
        readAgain = static_cast<std::size_t>(n) == kRawRead;
        std::size_t kept = filter.Apply(raw, static_cast<std::size_t>(n), chunk + count);
        kept += filter.TakeOwed(chunk + count + kept);
        if (kept > 0) lastByte = Clock::now();
        count += kept;
        counters.Check(s);
        if (count >= kReadChunk) {
          while (count >= kReadChunk) deliverFirst(kReadChunk);
          readStart = lastByte;  // the rest came in for the next read
        }
        if ((immediate || firstByte) && count > 0) deliver();
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        hangup();  // end of file, EIO or ENXIO: the device has gone
        break;
      }
    } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      hangup();
      break;
    }
    if (IsSet(fds[2])) {
      hangup();
      break;
    }

    const auto now = Clock::now();
    if (count > 0 && intervalUsed && now >= lastByte + std::chrono::milliseconds(interval)) deliver();
    // A total time-out that passes with nothing received just starts the next read.
    if (totalMs > 0 && now >= readStart + std::chrono::milliseconds(totalMs)) deliver();
    if (counters.supported() && now >= nextSample) {
      counters.Check(s);
      nextSample = now + kCounterPeriod;
    }
  }
  tcflush(s.fd, TCIFLUSH);
}

TWriteThread::TWriteThread(std::shared_ptr<CommSession> session)
    : session_(std::move(session)), thread_([this] { Run(); }) {}

TWriteThread::~TWriteThread() { Join(); }

void TWriteThread::Join() {
  if (thread_.joinable()) thread_.join();
}

TWriteThread::WriteResult TWriteThread::WriteRequest(const std::uint8_t* block, std::size_t length,
                                                      std::uint64_t seq) {
  CommSession& s = *session_;
  std::size_t offset = 0;
  auto withdrawn = [&] { return s.withdrawUpTo.load() >= seq; };
  while (offset < length) {
    if (s.stopped.load()) return WriteResult::Ended;
    if (withdrawn()) {
      // What already reached the driver goes too, so that none of it is sent
      // once the line is released.
      tcflush(s.fd, TCOFLUSH);
      return WriteResult::Withdrawn;
    }
    const ssize_t n = write(s.fd, block + offset, length - offset);
    if (n > 0) {
      offset += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      s.WriterSawHangup();
      return WriteResult::Ended;
    }
    // Driver buffer full or output held by flow control: wait for room, a
    // withdrawal or the stop.
    pollfd fds[3] = {{s.stopFd, POLLIN, 0}, {s.fd, POLLOUT, 0}, {s.wakeFd, POLLIN, 0}};
    if (ppoll(fds, 3, nullptr, nullptr) < 0 && errno != EINTR) {
      s.WriterSawHangup();
      return WriteResult::Ended;
    }
    if (IsSet(fds[0])) return WriteResult::Ended;
    if (IsSet(fds[2])) {
      // Consumed here; the caller looks at the queue again after this request.
      std::uint64_t counter;
      (void)!read(s.wakeFd, &counter, sizeof counter);
    }
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[1].revents & POLLOUT)) {
      s.WriterSawHangup();
      return WriteResult::Ended;
    }
  }
  return WriteResult::Written;
}

TWriteThread::DrainResult TWriteThread::WaitDrained() {
  CommSession& s = *session_;
  for (;;) {
    int pending = 0;
    if (ioctl(s.fd, TIOCOUTQ, &pending) != 0 || pending <= 0) {
      // The driver's buffer is empty; where the UART tells, also wait for its
      // FIFO and shift register (up to some 16 ms at 9600 bit/s).
      int lsr = 0;
      if (ioctl(s.fd, TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT)) return DrainResult::Drained;
      pending = 1;
    }
    // Sleep for about the time the rest needs on the line, within 1..20 ms.
    const std::uint64_t baud = std::max<std::uint32_t>(s.baudRate.load(), 1);
    const std::uint64_t ms = std::uint64_t(pending) * s.bitsPerChar.load() * 1000 / baud;
    const int timeout = static_cast<int>(std::clamp<std::uint64_t>(ms, 1, 20));
    pollfd fds[3] = {{s.stopFd, POLLIN, 0}, {s.wakeFd, POLLIN, 0}, {s.fd, 0, 0}};
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) return DrainResult::Failed;
    if (IsSet(fds[0])) return DrainResult::Stopped;
    if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) return DrainResult::Failed;
    if (IsSet(fds[1])) return DrainResult::NewData;
  }
}

void TWriteThread::Run() {
  CommSession& s = *session_;
  bool notifyPending = true;
  while (!s.stopped.load()) {
    // Reset the wake counter before looking at the queue, so a request queued
    // after the look still wakes the wait below.
    std::uint64_t counter;
    (void)!read(s.wakeFd, &counter, sizeof counter);
    auto request = s.Dequeue();
    if (!request) {
      if (s.directWritten.exchange(false)) notifyPending = true;
      if (notifyPending) {
        const DrainResult d = WaitDrained();
        if (d == DrainResult::Stopped) break;
        if (d == DrainResult::Failed) {
          s.WriterSawHangup();
          break;
        }
        if (d == DrainResult::NewData) continue;
        s.Post(NotifyKind::SendEmpty, 0, {}, s.written.load());
        notifyPending = false;
      }
      pollfd fds[3] = {{s.stopFd, POLLIN, 0}, {s.wakeFd, POLLIN, 0}, {s.fd, 0, 0}};
      if (ppoll(fds, 3, nullptr, nullptr) < 0 && errno != EINTR) {
        s.WriterSawHangup();
        break;
      }
      if (IsSet(fds[0])) break;
      if ((fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) && !IsSet(fds[1])) {
        s.WriterSawHangup();
        break;
      }
      continue;
    }
    s.started.store(std::max(s.started.load(), request->seq));
    if (request->seq > s.withdrawUpTo.load() &&
        WriteRequest(request->bytes.data(), request->bytes.size(), request->seq) == WriteResult::Ended)
      break;
    s.written.store(request->seq);
    s.WriterIdle();
    notifyPending = true;
  }
  s.writerRunning.store(false);
  s.DropQueue();
}

}  // namespace facset
