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

class QTimer;
class QSocketNotifier;

namespace facset {

class TComm;
class UdpClient;

enum class TMode : std::uint8_t { tmCOM = 0, tmTCPIP = 1 };
enum class TBaudRate : std::uint8_t { tbr9600 = 0, tbr19200 = 1, tbr38400 = 2, tbr57600 = 3, tbr115200 = 4 };

// Answer codes of the serial answer wait and of the UDP exchange.
inline constexpr int AnswerAborted = -3;
inline constexpr int AnswerTimeout = -2;
inline constexpr int AnswerRefused = -1;
inline constexpr int AnswerAck = 1;
inline constexpr int AnswerData = 2;

// How the last serial answer wait ended (for diagnostics and tests).
enum class WaitEnd : std::uint8_t {
  None,         // no serial wait yet
  Answer,       // an answer was complete
  Timeout,      // RetryInterval passed without one
  Abort,        // Abort() (or the port failed) while waiting for the answer
  Hangup,       // the port failed (OnRequestHangup) before the frame drained
  DrainLimit,   // the frame did not drain within 10 frame times + 1 s
  SendRefused,  // TComm would not queue the frame (port not open)
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

  // ---- Transactions ----
  // Sends Packet; true on the verdict 0x02.
  bool TransactAck();
  // Sends Request; true on a data answer, which is then in Packet.
  bool TransactData();

  // ---- Requests ----
  bool Connect(std::int32_t id);
  bool Disconnect(std::int32_t id);
  bool WriteBlock(std::uint8_t command, std::uint16_t arg);
  bool ReadBlock(std::uint8_t command, std::uint16_t arg);
  bool StartUpgrade(std::uint16_t value);
  bool FinishUpgrade(std::uint16_t value);

  // ---- Lower layers, public for the tests and the tools ----
  // Appends one delivery of received bytes to FrameBuf and classifies it.
  void ReceiveBytes(const std::uint8_t* data, std::size_t length);
  // One UDP request with repeats on silence.
  int UdpExchange(const std::uint8_t* buffer, std::size_t length);
  // Packet into FrameBuf; DecodeFrame sets ChecksumError.
  void EncodeFrame();
  void DecodeFrame();

  const Buffer& PacketBuf() const { return packet_; }
  Buffer& PacketBuf() { return packet_; }
  const Buffer& RequestBuf() const { return request_; }
  const Buffer& FrameBuf() const { return frameBuf_; }
  bool ChecksumError() const { return checksumError_; }
  int RxState() const { return rxState_; }
  int RxCount() const { return rxCount_; }
  std::uint8_t AnswerByte() const { return answerByte_; }
  TComm& Comm() { return *comm_; }
  WaitEnd LastWaitEnd() const { return lastWaitEnd_; }

 private:
  class BusyScope;
  bool DoTransactAck();
  bool DoTransactData();
  int DoUdpExchange(const std::uint8_t* buffer, std::size_t length);
  // One serial answer wait (the frame has just been handed to TComm).
  int WaitAnswer(int intervalMs);
  bool WaitReadable(int ms);
  void ResetReceive();
  void SerialSend();
  void BuildRequest(Buffer& buf, std::uint8_t command, std::uint16_t arg, const std::uint8_t* payload);
  // Sleeps in the event dispatcher until `done()` or `ms` pass (ms < 0: no
  // limit). Returns false when the time ran out.
  template <typename Done>
  bool SleepUntil(Done done, int ms);
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

  std::unique_ptr<UdpClient> udp_;
  std::unique_ptr<TComm> comm_;
  std::unique_ptr<QTimer> timer_;
  std::unique_ptr<QTimer> limit_;  // bounds SleepUntil
  std::unique_ptr<QSocketNotifier> notifier_;
  std::vector<std::string> trace_;

  bool aborted_ = false;
  bool txDrained_ = true;
  bool sendRefused_ = false;
  bool checksumError_ = false;
  int timedOut_ = 0;
  std::uint8_t answerByte_ = 0;
  int rxCount_ = 0;
  int rxState_ = -1;
  bool busy_ = false;
  bool limitExpired_ = false;
  bool udpWaiting_ = false;
  bool udpReadable_ = false;
  bool hungUp_ = false;
  WaitEnd lastWaitEnd_ = WaitEnd::None;
  Buffer frameBuf_{};
  Buffer packet_{};
  Buffer request_{};
};

}  // namespace facset
