#pragma once
// Internal to the serial component: the state one opening of the port shares
// with its receive and transmit threads, and the threads themselves.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <linux/serial.h>

#include <QEvent>

class QObject;

namespace facset {

namespace serial_detail {

// What a worker posts to the creating thread. One event type carries all five
// notifications so that they stay in one ordered stream.
enum class NotifyKind : std::uint8_t { ReceiveData, ReceiveError, RequestHangup, ModemState, SendEmpty };

class CommNotifyEvent : public QEvent {
 public:
  static QEvent::Type EventType();
  CommNotifyEvent(NotifyKind k, std::uint64_t openGeneration, std::uint32_t v)
      : QEvent(EventType()), kind(k), generation(openGeneration), value(v) {}

  NotifyKind kind;
  std::uint64_t generation;  // the opening that posted it
  std::uint32_t value;       // error flags, modem code, or the byte count
  // ReceiveData: the last request whose writing had begun when the bytes had
  // been read;
  // SendEmpty: requests fully written (or withdrawn) when the queue ran dry.
  std::uint64_t written = 0;
  std::unique_ptr<std::uint8_t[]> data;  // ReceiveData: value bytes and a trailing 0
};

// Turns the bytes the driver hands over into the bytes the owner sees:
// drops zero bytes when asked, and undoes the kernel's 0xFF 0x00 marking of
// characters received with a parity or framing error (0xFF 0xFF is a real
// 0xFF, 0xFF 0x00 0x00 a break). Keeps its state across reads.
class RxFilter {
 public:
  bool ignoreNull = false;
  bool unmark = false;   // the port runs with PARMRK
  bool replace = false;  // marked characters become replacedChar
  std::uint8_t replacedChar = 0;

  // Writes at most n bytes to out; returns how many. A byte that would not
  // fit (an orphan 0xFF left by the previous read adds one) is kept for
  // TakeOwed or the next call.
  std::size_t Apply(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
  // Hands over the bytes Apply could not fit (at most kMaxOwed), in order.
  std::size_t TakeOwed(std::uint8_t* out) {
    const std::size_t n = carryN_;
    std::copy_n(carry_.begin(), n, out);
    carryN_ = 0;
    return n;
  }
  static constexpr std::size_t kMaxOwed = 4;

 private:
  void Emit(std::uint8_t c, std::uint8_t* out, std::size_t n, std::size_t& m) {
    if (ignoreNull && c == 0) return;
    if (m < n && carryN_ == 0) {
      out[m++] = c;
    } else if (carryN_ < carry_.size()) {
      carry_[carryN_++] = c;
    }
  }
  int state_ = 0;  // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
  // Bytes owed to the next call, in order; an orphan 0xFF adds at most one
  // per read, and every call pays back at least as much as it adds.
  std::array<std::uint8_t, kMaxOwed> carry_{};
  std::size_t carryN_ = 0;
};

inline constexpr std::size_t kReadChunk = 2048;

// What changed between two samples of the driver's counters, as the line-error
// flags and the modem code of the notifications (0 when nothing changed).
void CompareLineCounters(const serial_icounter_struct& before, const serial_icounter_struct& now,
                         std::uint32_t& errors, std::uint32_t& modem);

// Shared by the component and the threads of one opening. The descriptors and
// the notifier are fixed for its life; settings the threads need are atomics
// written by the component when it re-applies them.
struct CommSession {
  CommSession(int port, int stop, int wake, int lineGone, QObject* notify, std::uint64_t openGeneration)
      : fd(port), stopFd(stop), wakeFd(wake), lineGoneFd(lineGone), notifier(notify), generation(openGeneration) {}

  const int fd;
  const int stopFd;  // eventfd: set once, by ClosePort; both threads wait on it
  const int wakeFd;  // eventfd: counts SendData calls for the transmit thread
  // eventfd: the transmit thread saw the line go. The receive thread reports
  // the hang-up, after handing over what it had received.
  const int lineGoneFd;
  QObject* const notifier;
  const std::uint64_t generation;

  std::atomic<bool> stopped{false};
  std::atomic<bool> hangupPosted{false};
  std::atomic<bool> writerRunning{true};

  std::atomic<std::uint32_t> readInterval{0};
  std::atomic<std::uint32_t> readTotalMultiplier{0};
  std::atomic<std::uint32_t> readTotalConstant{0};
  std::atomic<bool> ignoreNull{false};
  std::atomic<bool> parityMarks{false};
  std::atomic<bool> replaceOnError{false};
  std::atomic<std::uint8_t> replacedChar{0};
  std::atomic<std::uint32_t> baudRate{9600};
  std::atomic<std::uint32_t> bitsPerChar{10};

  // Requests are numbered from 1 in call order. `written` is the number of
  // the last one fully handed to the driver (or withdrawn); requests up to
  // `withdrawUpTo` must not reach the line any more.
  std::atomic<std::uint64_t> queued{0};
  std::atomic<std::uint64_t> written{0};
  // The last request whose writing has begun: set before its first byte goes
  // to the driver, so bytes read while it is lower certainly came before it.
  std::atomic<std::uint64_t> started{0};
  std::atomic<std::uint64_t> withdrawUpTo{0};

  struct Request {
    std::uint64_t seq;
    std::vector<std::uint8_t> bytes;
  };
  // Transmit queue, in call order. When nothing is queued or being written,
  // Enqueue writes the request straight to the driver from the caller's
  // thread (one thread hop less per request); what the driver does not take
  // at once is queued for the transmit thread as usual.
  bool Enqueue(const void* data, std::size_t length);
  std::optional<Request> Dequeue();
  // The transmit thread is done with the request it took.
  void WriterIdle();
  void DropQueue();
  // A request went out directly since the transmit thread last looked: it
  // still has to report the drain.
  std::atomic<bool> directWritten{false};

  void Post(NotifyKind kind, std::uint32_t value = 0, std::unique_ptr<std::uint8_t[]> data = {},
            std::uint64_t writtenStamp = 0);
  // At most one hang-up notice per opening, whichever thread sees it first.
  void PostHangup();
  // For the transmit thread: the hang-up notice must not overtake received
  // bytes still on their way, so it leaves the notice to the receive thread.
  void WriterSawHangup();

 private:
  std::mutex queueMutex_;
  std::deque<Request> queue_;
  bool writerBusy_ = false;  // holds a request taken from the queue
};

}  // namespace serial_detail

class TReadThread {
 public:
  explicit TReadThread(std::shared_ptr<serial_detail::CommSession> session);
  ~TReadThread();  // joins
  void Join();

 private:
  void Run();
  std::shared_ptr<serial_detail::CommSession> session_;
  std::thread thread_;
};

class TWriteThread {
 public:
  explicit TWriteThread(std::shared_ptr<serial_detail::CommSession> session);
  ~TWriteThread();  // joins
  void Join();

 private:
  enum class DrainResult { Drained, NewData, Stopped, Failed };
  enum class WriteResult { Written, Withdrawn, Ended };
  void Run();
  WriteResult WriteRequest(const std::uint8_t* block, std::size_t length, std::uint64_t seq);
  DrainResult WaitDrained();
  std::shared_ptr<serial_detail::CommSession> session_;
  std::thread thread_;
};

}  // namespace facset
