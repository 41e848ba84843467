#pragma once
// TPBusComm: the protocol engine that drives the scale. It builds the request
// packets, hands them to the transport it is given (pbus_links.h makes the
// serial and UDP ones), waits for the answer, repeats the request when no
// usable answer comes, and keeps the account that says whether each answer
// proves its request.
//
// Everything runs on the thread that owns the Qt event dispatcher (the window's
// thread); a QCoreApplication must exist before the first transaction over a
// real transport. The waits sleep in the event dispatcher, so the application
// stays responsive and no CPU is burnt while the scale thinks.
//
// The engine is not reentrant: a request started from an event handler while
// another one waits is refused (false, RequestEnd::Busy; EPBusBusy from Open
// and Close) and leaves the running one untouched. Abort() is the one call
// allowed during a wait.
//
// ---- How a request ended, and whether its answer proves it ----
// Each request keeps its Boolean result, and LastOutcome() tells how it ended:
//
//   RequestEnd::Proven     acknowledged (or answered with data), and the answer
//                          cannot be a stray: no answer was owed for an earlier
//                          transmission, and the scale has not been seen
//                          sending copies (or the copies' gaps were waited out)
//   RequestEnd::NotProven  acknowledged, but the answer may have been a stray;
//                          `reason` says why. The Boolean result is true.
//   RequestEnd::Refused    the scale refused (0x55)
//   RequestEnd::NoAnswer   no usable answer after every transmission (silence,
//                          a data answer with a wrong checksum, the wrong kind)
//   RequestEnd::Aborted    Abort(), or the transport raised (the error passes on)
//   RequestEnd::LineGone   the serial line went away (hang-up); every later
//                          request on the link ends so at once, nothing is sent
//   RequestEnd::Held       the scale's XOFF held the request past HoldLimit; it
//                          was withdrawn and never left
//   RequestEnd::Busy       another request was waiting; nothing was sent
//
// Later evidence on the same link (copies, answers arriving late) can take the
// proof away from an earlier step. Before the link's next Open, ReviewLink()
// judges every request of the link again with all that was seen; the download
// takes the ends from there, by each request's `index` (LastOutcome().index).
// ReviewLink() also gives the datagrams that were ignored (another sender,
// wrong length, wrong checksum), named and counted, for the end of the run.
//
// The bounds: an answer may come up to AnswerLateLimit (3000 ms by default)
// after its transmission; a later one is not waited for (and, if it comes while
// the link is open, counts as a copy). A serial data frame that keeps arriving
// is waited for from its last byte, within kFrameLimitFactor x RetryInterval.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/pbus_codec.h"
#include "protocol/pbus_transport.h"

namespace facset {

enum class TBaudRate : std::uint8_t { tbr9600 = 0, tbr19200 = 1, tbr38400 = 2, tbr57600 = 3, tbr115200 = 4 };

// How the wait for one transmission's answer ended.
enum class AnswerCode : std::int8_t { Aborted = -3, Timeout = -2, Refused = -1, Ack = 1, Data = 2 };

enum class RequestEnd : std::uint8_t { Proven, NotProven, Refused, NoAnswer, Aborted, LineGone, Held, Busy };

// Short English name of an end ("proven", "not proven", "refused", "no answer",
// "aborted", "line gone", "held", "busy").
const char* RequestEndName(RequestEnd end);

struct RequestOutcome {
  // Position among the requests of this link, from 0 (kNotOnLink for a
  // request refused before it began: Busy, or no link open).
  static constexpr std::size_t kNotOnLink = static_cast<std::size_t>(-1);
  std::size_t index = kNotOnLink;
  std::uint8_t command = 0;
  std::uint16_t arg = 0;
  RequestEnd end = RequestEnd::NoAnswer;
  int transmissions = 0;  // that reached the line
  std::string reason;     // why, for every end but Proven
  bool Acknowledged() const { return end == RequestEnd::Proven || end == RequestEnd::NotProven; }
};

// One link's account: every request from the link's Open on, the ends of the
// acknowledged ones judged again with all the link showed, and what was ignored.
struct LinkReview {
  std::vector<RequestOutcome> requests;
  // Datagrams that were not taken as answers, by description ("a datagram
  // from 127.0.0.2:5001", "a datagram of 2 bytes", "a data answer with a
  // wrong checksum"), with their counts.
  std::map<std::string, std::uint64_t> ignored;
  std::uint64_t transmissions = 0;
  std::uint64_t answers = 0;  // answers seen, credited or not
  std::uint64_t strays = 0;   // answers not credited to a request
  bool copiesSeen = false;    // the scale was seen sending more answers than it was sent requests
  int copyGapMs = 0;          // the largest gap a copy was seen at
  // True when every acknowledged request is still proven.
  bool AllProven() const;
  // "ignored: 2 datagrams from 127.0.0.2:5001, 1 datagram of 2 bytes", or "".
  std::string IgnoredText() const;
};

// Raised when the engine is asked to change its link while a request waits.
class EPBusBusy : public std::runtime_error {
 public:
  EPBusBusy() : std::runtime_error("The scale link is busy") {}
};

// The local time a log-on request carries.
struct LocalClock {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
using ClockFn = std::function<LocalClock()>;
LocalClock SystemLocalClock();

class TPBusComm {
 public:
  // With a link already given (tests), or none until Open.
  explicit TPBusComm(std::unique_ptr<PBusTransport> link = nullptr);
  // Aborts a wait in progress. Does not close the link (the link functions do);
  // a serial transport closes its port anyway when it goes.
  ~TPBusComm();
  TPBusComm(const TPBusComm&) = delete;
  TPBusComm& operator=(const TPBusComm&) = delete;

  // ---- Properties ----
  // A link is open through this engine.
  bool isActive() const;
  TBaudRate BaudRate() const { return baudRate_; }
  // Stores the index (masked with 0x7F); the serial line runs at its speed
  // after the log-on. Throws std::invalid_argument outside the speed table.
  void SetBaudRate(TBaudRate v);
  int RetryInterval() const { return retryInterval_; }
  void SetRetryInterval(int ms) { retryInterval_ = ms < 0 ? 0 : ms; }
  std::uint8_t RetryCount() const { return retryCount_; }
  // Repeats after the first transmission, 0..10 (larger values become 10).
  void SetRetryCount(std::uint8_t v) { retryCount_ = v > 10 ? 10 : v; }
  // How long a serial request held back by the scale's XOFF may wait to leave
  // (it is then withdrawn, never sent later). After one withdrawal the link's
  // next requests wait only a few frame times.
  int HoldLimit() const { return holdLimit_; }
  void SetHoldLimit(int ms) { holdLimit_ = ms < 0 ? 0 : ms; }
  // How late an answer may come after its transmission and still be waited
  // for; owed answers are collected before the next request within it.
  int AnswerLateLimit() const { return lateLimit_; }
  void SetAnswerLateLimit(int ms) { lateLimit_ = ms < 0 ? 0 : ms; }
  // A serial data frame in progress is waited for from its last byte, within
  // this many retry intervals after the request left.
  static constexpr int kFrameLimitFactor = 5;
  // The largest gap a copy of an answer is expected at: a scale that sends
  // copies sends one of every verdict within this time. A stray this close
  // behind another answer counts as a copy.
  static constexpr int kCopyWindowMs = 600;
  // How many of the link's first verdicts are each followed by such a look
  // (a copy may be lost on the line like any answer, and a look after an
  // answer that was itself a copy sees nothing). A link that loses a
  // transmission, or answers slower than it did, gets more looks. The
  // requests that close the link (the read and the log-off) get none, and
  // the close looks only while a step's proof still rests on it.
  static constexpr int kCopyLooks = 3;
  // The least quiet time before a request once copies were seen (and the
  // settle time after a serial refusal).
  static constexpr int kCopyLookMs = 50;

  // Called when the UDP transport raises an error, before the error passes
  // to the caller; the program shows "Send exception" there.
  std::function<void()> OnSendException;

  // Source of the date and time in the log-on request (the local clock by default).
  void SetClock(ClockFn clock) { clock_ = clock ? std::move(clock) : ClockFn(SystemLocalClock); }

  // ---- Link ----
  // Closes the link in use (if any), then opens `link` (a serial port opens
  // here; its ECommsError passes through, leaving no link) and starts a new
  // account. Throws EPBusBusy while a request waits.
  void Open(std::unique_ptr<PBusTransport> link);
  // Closes the link; a serial one writes the empty trace file "DEBUG.LOG".
  // The link's account stays readable (ReviewLink) until the next Open.
  void Close();
  // Ends a wait in progress (AnswerCode::Aborted, RequestEnd::Aborted).
  void Abort();
  // True while a request is running (its wait is on the stack).
  bool Busy() const { return busy_; }

  // ---- Requests ----
  // Each returns true when the scale acknowledged (or, for ReadBlock, answered
  // with a data packet); LastOutcome() says how it ended.
  bool Connect(std::int32_t id);
  bool Disconnect(std::int32_t id);
  // Sends min(payload.size(), 256) bytes, the rest of the block zero.
  bool WriteBlock(std::uint8_t command, std::uint16_t arg, std::span<const std::uint8_t> payload = {});
  // As WriteBlock, answered by a data packet; its payload goes to `answer`
  // (min(answer.size(), 256) bytes), only on success.
  bool ReadBlock(std::uint8_t command, std::uint16_t arg, std::span<const std::uint8_t> payload = {},
                 std::span<std::uint8_t> answer = {});
  bool StartUpgrade(std::uint16_t value);
  bool FinishUpgrade(std::uint16_t value);

  const RequestOutcome& LastOutcome() const { return last_; }
  // How the wait for the last transmission ended.
  AnswerCode LastAnswer() const { return lastAnswer_; }
  // The current (or last closed) link's requests, judged again with all it
  // showed; see the top of this file.
  LinkReview ReviewLink() const;

 private:
  class BusyScope;
  struct Account;
  enum class Want : std::uint8_t { Ack, Data };
  bool Request(std::uint8_t command, std::uint16_t arg, std::span<const std::uint8_t> payload, Want want,
               std::span<std::uint8_t> answer = {});
  bool LogOn(std::span<const std::uint8_t> payload);
  // The one retry loop of every transaction: up to `attempts` transmissions
  // of `packet`; `beforeAttempt(n)` runs before transmission n.
  bool Transact(const Buffer& packet, Want want, int attempts, const std::function<void(int)>& beforeAttempt = {});
  AnswerCode Attempt(const Buffer& packet);
  void SettleBeforeRequest();
  void Finish(RequestEnd end, std::string reason);
  template <typename Fn>
  auto Guarded(Fn fn);
  void ReceiveBytes(const std::uint8_t* data, std::size_t length, bool fresh);
  void ReceiveDatagram(const std::uint8_t* data, std::size_t length, bool fresh);
  void Scan(std::uint8_t c, bool fresh);
  void AnswerComplete(std::uint8_t verdict, const std::uint8_t* data, std::size_t length);
  void ResetReceive();
  void Attach(std::unique_ptr<PBusTransport> link);
  void SaveTrace();

  TBaudRate baudRate_ = TBaudRate::tbr9600;
  int retryInterval_ = 800;
  std::uint8_t retryCount_ = 6;
  int holdLimit_ = 30000;
  int lateLimit_ = 3000;
  ClockFn clock_ = SystemLocalClock;

  std::unique_ptr<PBusTransport> link_;
  bool open_ = false;  // between Open and Close
  std::unique_ptr<Account> account_;
  std::vector<std::string> trace_;

  bool aborted_ = false;
  bool busy_ = false;
  std::uint8_t answerByte_ = 0;
  int rxCount_ = 0;               // bytes of the frame being collected
  int rxState_ = -1;              // -1 waiting for the answer, 1 answer credited
  bool accepting_ = false;        // a wait for an answer runs
  bool wantData_ = false;         // the waiting request is answered by data
  bool collecting_ = false;       // inside a frame
  bool frameCreditable_ = false;  // that frame began within the wait
  std::int64_t lastByteAt_ = 0;   // when the frame in progress last grew
  WaitEnd lastWaitEnd_ = WaitEnd::None;
  AnswerCode lastAnswer_ = AnswerCode::Timeout;
  RequestOutcome last_;
  Buffer rxBuf_{};     // the frame being collected
  Buffer answer_{};    // the credited answer: a frame (serial) or a datagram (UDP)
  Buffer packet_{};    // the decoded data answer
};

}  // namespace facset
