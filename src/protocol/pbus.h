#pragma once
// TPBusComm: the protocol engine that drives the scale. It builds the request
// packets, carries them over UDP (one bare packet per datagram) or over a
// serial port (a 302-byte frame through TComm), waits for the answer and
// repeats the request when no usable answer comes.
//
// Everything runs on the thread that owns the Qt event dispatcher (the window's
// thread); a QCoreApplication must exist before the first transaction. The
// waits sleep in the event dispatcher until a timer, the UDP socket, a serial
// notification or any other application event arrives, so the application
// stays responsive and no CPU is burnt while the scale thinks.
//
// Every verdict is the scale's answer to that request: bytes that reached the
// tool before a request had left it, bytes that cannot begin an answer and
// answers after the first one are never credited to it, and answers still
// owed to earlier transmissions of a repeated request are collected before
// the next request goes out.
//
// The engine is not reentrant: a request started from an event handler while
// another one waits is refused (false, or EPBusBusy from SetActive) and leaves
// the running one untouched. Abort() is the one call allowed during a wait.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/pbus_codec.h"
#include "protocol/pbus_transport.h"

namespace facset {

class TComm;
class UdpClient;
class SerialLink;
class UdpLink;

enum class TMode : std::uint8_t { tmCOM = 0, tmTCPIP = 1 };
enum class TBaudRate : std::uint8_t { tbr9600 = 0, tbr19200 = 1, tbr38400 = 2, tbr57600 = 3, tbr115200 = 4 };

// Answer codes of the serial answer wait and of the UDP exchange.
inline constexpr int AnswerAborted = -3;
inline constexpr int AnswerTimeout = -2;
inline constexpr int AnswerRefused = -1;
inline constexpr int AnswerAck = 1;
inline constexpr int AnswerData = 2;

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
  TPBusComm();
  // Aborts a wait in progress. Does not close the serial port (the link
  // functions do); TComm closes it anyway when it goes.
  ~TPBusComm();
  TPBusComm(const TPBusComm&) = delete;
  TPBusComm& operator=(const TPBusComm&) = delete;

  // ---- Properties ----
  const std::string& CommName() const { return commName_; }
  void SetCommName(const std::string& v) { commName_ = v; }
  TMode Mode() const { return mode_; }
  void SetMode(TMode v) { mode_ = v; }
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& v) { host_ = v; }
  int Port() const { return port_; }
  void SetPort(int v) { port_ = v; }
  bool isActive() const { return active_; }
  TBaudRate BaudRate() const { return baudRate_; }
  // Stores the index (masked with 0x7F) and sets the serial speed to its table
  // entry. Throws std::invalid_argument for an index outside the table.
  void SetBaudRate(TBaudRate v);
  int RetryInterval() const { return retryInterval_; }
  void SetRetryInterval(int ms) { retryInterval_ = ms < 0 ? 0 : ms; }
  std::uint8_t RetryCount() const { return retryCount_; }
  // Repeats after the first transmission, 0..10 (larger values become 10).
  void SetRetryCount(std::uint8_t v) { retryCount_ = v > 10 ? 10 : v; }

  // How long a serial request held back by the scale's XOFF may wait to leave
  // before its transaction fails (it is then withdrawn, never sent later).
  int HoldLimit() const { return holdLimit_; }
  void SetHoldLimit(int ms) { holdLimit_ = ms < 0 ? 0 : ms; }

  // Called when the UDP transport raises an error, before the error passes
  // to the caller; the program shows "Send exception" there.
  std::function<void()> OnSendException;

  // For tests: run every transaction over `t` (nullptr: back to the
  // transport of Mode). The engine does not own it.
  void UseTransport(PBusTransport* t);

  // Source of the date and time in the log-on request (the local clock by default).
  void SetClock(ClockFn clock) { clock_ = clock ? std::move(clock) : ClockFn(SystemLocalClock); }

  // Payload buffer: bytes 0..255 go out with the next block request and take
  // the payload of a data answer. Callers clear it before filling it.
  Buffer BlockData{};

  // ---- Link ----
  // UDP: stores host and port (no socket is opened or closed). Serial, open:
  // (re)opens the port named by CommName (ECommsError passes through). Serial,
  // close: closes the port and writes the empty trace file "DEBUG.LOG".
  void SetActive(bool open, const std::string& host, int port);
  // Ends a wait in progress with AnswerAborted.
  void Abort();
  // True while a request is running (its wait is on the stack).
  bool Busy() const { return busy_; }

  // ---- Requests ----
  bool Connect(std::int32_t id);
  bool Disconnect(std::int32_t id);
  bool WriteBlock(std::uint8_t command, std::uint16_t arg);
  bool ReadBlock(std::uint8_t command, std::uint16_t arg);
  bool StartUpgrade(std::uint16_t value);
  bool FinishUpgrade(std::uint16_t value);

  // ---- Lower layers, public for the tests and the tools ----
  // One delivery of the serial byte stream: looks for the start of an answer
  // (0x02, 0x55 or the 0x03 start marker), collects a frame across pieces and
  // credits the first complete answer of the current wait; later ones are
  // counted as strays. `fresh` false: bytes that predate the request.
  void ReceiveBytes(const std::uint8_t* data, std::size_t length, bool fresh = true);
  // One UDP request with repeats on silence.
  int UdpExchange(const std::uint8_t* buffer, std::size_t length);
  // Packet into FrameBuf; DecodeFrame sets ChecksumError.
  void EncodeFrame();
  void DecodeFrame();

  const Buffer& PacketBuf() const { return packet_; }
  Buffer& PacketBuf() { return packet_; }
  const Buffer& FrameBuf() const { return frameBuf_; }
  int RxState() const { return rxState_; }
  int RxCount() const { return rxCount_; }
  std::uint8_t AnswerByte() const { return answerByte_; }
  TComm& Comm() { return *comm_; }
  WaitEnd LastWaitEnd() const { return lastWaitEnd_; }
  // How long a second copy of a verdict is looked for: once after the first
  // answer on a link, and before every request once a scale sent one.
  static constexpr int kDuplicateWindowMs = 50;
  // Answers seen that were not credited to a request (strays, duplicates).
  std::uint64_t StrayAnswers() const { return strays_; }

 private:
  class BusyScope;
  enum class Want : std::uint8_t { Ack, Data, Any };
  // The one retry loop of every transaction: up to `attempts` transmissions
  // of `packet`; `beforeAttempt(n)` runs before transmission n.
  bool Transact(const std::uint8_t* packet, Want want, int attempts,
                const std::function<void(int)>& beforeAttempt = {});
  bool TransactAck();   // Packet, verdict 0x02
  bool TransactData();  // Request, data answer into Packet
  // One transmission and the wait for its answer; an answer code.
  int Attempt(const std::uint8_t* packet);
  // Collects answers still owed to earlier transmissions, and duplicates.
  void SettleBeforeRequest();
  // Runs fn; a transport error sets Aborted, calls OnSendException and passes on.
  template <typename Fn>
  auto Guarded(Fn fn);
  PBusTransport& Link();
  void ResetLink();
  void ResetReceive();
  void ReceiveDatagram(const std::uint8_t* data, std::size_t length, bool fresh);
  void Scan(std::uint8_t c, bool fresh);
  void AnswerComplete(std::uint8_t verdict, bool frame);
  void BuildRequest(Buffer& buf, std::uint8_t command, std::uint16_t arg, const std::uint8_t* payload);
  void SaveTrace();

  std::string commName_;
  TMode mode_ = TMode::tmCOM;
  std::string host_;
  int port_ = 0;
  bool active_ = false;
  TBaudRate baudRate_ = TBaudRate::tbr9600;
  int retryInterval_ = 800;
  std::uint8_t retryCount_ = 6;
  ClockFn clock_ = SystemLocalClock;

  int holdLimit_ = 30000;

  std::unique_ptr<UdpClient> udp_;
  std::unique_ptr<TComm> comm_;
  std::unique_ptr<SerialLink> serialLink_;
  std::unique_ptr<UdpLink> udpLink_;
  PBusTransport* override_ = nullptr;
  std::vector<std::string> trace_;

  bool aborted_ = false;
  bool checksumError_ = false;
  std::uint8_t answerByte_ = 0;
  int rxCount_ = 0;   // bytes of the frame being collected
  int rxState_ = -1;  // -1 waiting for the answer, 1 answer credited
  bool accepting_ = false;        // a wait for an answer runs
  bool collecting_ = false;       // inside a frame
  bool frameCreditable_ = false;  // that frame began within the wait
  std::uint64_t answers_ = 0;     // complete answers seen on this link
  std::uint64_t strays_ = 0;
  std::uint64_t transmissions_ = 0;  // on this link
  int lastAnswer_ = AnswerTimeout;
  std::uint64_t owedUntil_ = 0;   // answers_ to reach before the next request
  bool owedWait_ = false;
  bool settled_ = false;          // duplicates looked for once on this link
  bool duplicates_ = false;       // the scale was seen answering twice
  bool busy_ = false;
  WaitEnd lastWaitEnd_ = WaitEnd::None;
  Buffer rxBuf_{};     // the frame being collected
  Buffer frameBuf_{};  // the credited answer
  Buffer packet_{};
  Buffer request_{};
};

}  // namespace facset
