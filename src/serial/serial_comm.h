#pragma once
// Serial port component: one port, its line settings and time-outs, and two
// worker threads (receive, transmit). The workers never call the owner: what
// they report is posted to the thread that created the TComm and raised there,
// in posting order, while that thread processes its Qt events.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class QObject;
class QEvent;

namespace facset {

class TComm;
class CommNotifier;
class TReadThread;
class TWriteThread;
namespace serial_detail {
struct CommSession;
}

// Enumerations keep their ordinals (one byte each). Speed, data bits, parity,
// stop bits, parity checking, CTS/RTS and XON/XOFF flow and the XON/XOFF
// characters become termios settings; DTR and RTS are set as modem lines and
// RtsTransmissionAvailable as RS-485 RTS-on-send where the driver has it; zero
// bytes and parity replacement are handled by the receive thread. Linux has
// nothing for Outx_DsrFlow, DsrSensitivity, TxContinueOnXoff, XonLimit,
// XoffLimit and the write time-outs: they are kept and reported, not applied.
enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : std::uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };
enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : std::uint8_t { _1, _1_5, _2 };

// Raised by OpenPort. what() starts with one of the texts below; the opening
// errors may carry the system's reason after it (": Permission denied").
class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kCommErrAlreadyOpened = "This serial port already opened";
inline constexpr const char* kCommErrOpening = "Error opening serial port";
inline constexpr const char* kCommErrNotComm = "File handle is not a comm handle ";
inline constexpr const char* kCommErrSetupBuffer = "Cannot setup comm buffer";
inline constexpr const char* kCommErrCreateEvent = "Unable to create event";
inline constexpr const char* kCommErrReadThread = "Unable to create read thread";
inline constexpr const char* kCommErrWriteThread = "Unable to create write thread";

// Line-error flags passed to OnReceiveError (the usual CE_ values).
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
// Codes passed to OnModemStateChange, OR-ed when both change together.
inline constexpr std::uint32_t kModemRing = 4;
inline constexpr std::uint32_t kModemCarrierDetect = 8;

// Buffer is valid only during the call: handlers copy what they keep.
using TReceiveDataEvent = std::function<void(TComm& Sender, const std::uint8_t* Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm& Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm& Sender, std::uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm& Sender)>;
using TSendDataEmptyEvent = std::function<void(TComm& Sender)>;

class TComm {
 public:
  TComm();
  // Closes the port if it is still open and discards notifications not yet raised.
  ~TComm();
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // Opens CommName (a device path, e.g. "/dev/ttyUSB0"), applies time-outs and
  // line settings, starts both threads. Throws ECommsError; nothing stays open then.
  void OpenPort();
  // Stops both threads, drops queued requests, closes the port. Harmless when closed.
  void ClosePort();
  // Queues a copy of the bytes for the transmit thread and returns at once.
  // False when the port is closed, Length is 0, or the transmit thread has ended.
  bool SendData(const void* Buffer, std::uint16_t Length);
  bool IsOpen() const { return fd_ >= 0; }

  // Takes back every request queued so far, the one being written included:
  // what is still queued is dropped and what the driver still holds is
  // flushed, so that none of it reaches the line later (e.g. after XON).
  // OnSendDataEmpty follows as for a written request.
  void Withdraw();
  // Requests are numbered from 1 per opening, in SendData order.
  // The number of the last request queued.
  std::uint64_t QueuedCount() const;
  // The last request written or withdrawn when the latest OnSendDataEmpty
  // was posted: a stale report cannot pass for a later request's drain.
  std::uint64_t DrainedUpTo() const { return drainedUpTo_; }
  // During OnReceiveData: the last request whose writing had begun when these
  // bytes had been read. Bytes read before request k began to go out cannot
  // be an answer to it.
  std::uint64_t DeliveryWrittenCount() const { return deliveryWritten_; }

  // Events: raised on the creating thread; skipped when empty.
  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  TSendDataEmptyEvent OnSendDataEmpty;

  // Properties. Assigning the held value does nothing; otherwise, on an open
  // port, the line settings (or the time-outs) are re-applied in full.
  // CommName and Parity are only stored: a new Parity reaches an open port with
  // the next re-application of the line settings.
  const std::string& CommName() const { return commName_; }
  void SetCommName(const std::string& v) { commName_ = v; }
  std::uint32_t BaudRate() const { return baudRate_; }
  void SetBaudRate(std::uint32_t v) { SetLine(baudRate_, v); }
  bool ParityCheck() const { return parityCheck_; }
  void SetParityCheck(bool v) { SetLine(parityCheck_, v); }
  bool Outx_CtsFlow() const { return outxCtsFlow_; }
  void SetOutx_CtsFlow(bool v) { SetLine(outxCtsFlow_, v); }
  bool Outx_DsrFlow() const { return outxDsrFlow_; }
  void SetOutx_DsrFlow(bool v) { SetLine(outxDsrFlow_, v); }
  TDtrControl DtrControl() const { return dtrControl_; }
  void SetDtrControl(TDtrControl v) { SetLine(dtrControl_, v); }
  bool DsrSensitivity() const { return dsrSensitivity_; }
  void SetDsrSensitivity(bool v) { SetLine(dsrSensitivity_, v); }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  void SetTxContinueOnXoff(bool v) { SetLine(txContinueOnXoff_, v); }
  bool Outx_XonXoffFlow() const { return outxXonXoffFlow_; }
  void SetOutx_XonXoffFlow(bool v) { SetLine(outxXonXoffFlow_, v); }
  bool Inx_XonXoffFlow() const { return inxXonXoffFlow_; }
  void SetInx_XonXoffFlow(bool v) { SetLine(inxXonXoffFlow_, v); }
  bool ReplaceWhenParityError() const { return replaceWhenParityError_; }
  void SetReplaceWhenParityError(bool v) { SetLine(replaceWhenParityError_, v); }
  bool IgnoreNullChar() const { return ignoreNullChar_; }
  void SetIgnoreNullChar(bool v) { SetLine(ignoreNullChar_, v); }
  TRtsControl RtsControl() const { return rtsControl_; }
  void SetRtsControl(TRtsControl v) { SetLine(rtsControl_, v); }
  std::uint16_t XonLimit() const { return xonLimit_; }
  void SetXonLimit(std::uint16_t v) { SetLine(xonLimit_, v); }
  std::uint16_t XoffLimit() const { return xoffLimit_; }
  void SetXoffLimit(std::uint16_t v) { SetLine(xoffLimit_, v); }
  TByteSize ByteSize() const { return byteSize_; }
  void SetByteSize(TByteSize v) { SetLine(byteSize_, v); }
  TParity Parity() const { return parity_; }
  void SetParity(TParity v) { parity_ = v; }
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits v) { SetLine(stopBits_, v); }
  std::uint8_t XonChar() const { return xonChar_; }
  void SetXonChar(std::uint8_t v) { SetLine(xonChar_, v); }
  std::uint8_t XoffChar() const { return xoffChar_; }
  void SetXoffChar(std::uint8_t v) { SetLine(xoffChar_, v); }
  std::uint8_t ReplacedChar() const { return replacedChar_; }
  void SetReplacedChar(std::uint8_t v) { SetLine(replacedChar_, v); }
  std::uint32_t ReadIntervalTimeout() const { return readIntervalTimeout_; }
  void SetReadIntervalTimeout(std::uint32_t v) { SetTimeout(readIntervalTimeout_, v); }
  std::uint32_t ReadTotalTimeoutMultiplier() const { return readTotalTimeoutMultiplier_; }
  void SetReadTotalTimeoutMultiplier(std::uint32_t v) { SetTimeout(readTotalTimeoutMultiplier_, v); }
  std::uint32_t ReadTotalTimeoutConstant() const { return readTotalTimeoutConstant_; }
  void SetReadTotalTimeoutConstant(std::uint32_t v) { SetTimeout(readTotalTimeoutConstant_, v); }
  std::uint32_t WriteTotalTimeoutMultiplier() const { return writeTotalTimeoutMultiplier_; }
  void SetWriteTotalTimeoutMultiplier(std::uint32_t v) { SetTimeout(writeTotalTimeoutMultiplier_, v); }
  std::uint32_t WriteTotalTimeoutConstant() const { return writeTotalTimeoutConstant_; }
  void SetWriteTotalTimeoutConstant(std::uint32_t v) { SetTimeout(writeTotalTimeoutConstant_, v); }

 private:
  friend class CommNotifier;

  // Raises the event a worker posted; runs on the creating thread.
  void HandleNotification(QEvent* event);

  template <typename T>
  void SetLine(T& field, T v) {
    if (field == v) return;
    field = v;
    if (IsOpen()) ApplyCommState();
  }
  template <typename T>
  void SetTimeout(T& field, T v) {
    if (field == v) return;
    field = v;
    if (IsOpen()) ApplyCommTimeouts();
  }
  void ApplyCommState();
  void ApplyCommTimeouts();
  void StopReadThread();
  void StopWriteThread();

  std::string commName_ = "COM2";
  std::uint32_t baudRate_ = 9600;
  bool parityCheck_ = false;
  bool outxCtsFlow_ = false;
  bool outxDsrFlow_ = false;
  TDtrControl dtrControl_ = TDtrControl::DtrEnable;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = true;
  bool outxXonXoffFlow_ = true;
  bool inxXonXoffFlow_ = true;
  bool replaceWhenParityError_ = false;
  bool ignoreNullChar_ = false;
  TRtsControl rtsControl_ = TRtsControl::RtsEnable;
  std::uint16_t xonLimit_ = 500;
  std::uint16_t xoffLimit_ = 500;
  TByteSize byteSize_ = TByteSize::_8;
  TParity parity_ = TParity::None;
  TStopBits stopBits_ = TStopBits::_1;
  std::uint8_t xonChar_ = 0x11;
  std::uint8_t xoffChar_ = 0x13;
  std::uint8_t replacedChar_ = 0x00;
  std::uint32_t readIntervalTimeout_ = 100;
  std::uint32_t readTotalTimeoutMultiplier_ = 0;
  std::uint32_t readTotalTimeoutConstant_ = 0;
  std::uint32_t writeTotalTimeoutMultiplier_ = 0;
  std::uint32_t writeTotalTimeoutConstant_ = 0;

  std::uint64_t drainedUpTo_ = 0;
  std::uint64_t deliveryWritten_ = 0;
  int fd_ = -1;                       // the port; open exactly while >= 0
  std::uint64_t generation_ = 0;      // bumped by every OpenPort and ClosePort
  std::shared_ptr<serial_detail::CommSession> session_;  // shared with the two threads
  std::unique_ptr<TReadThread> readerThread_;
  std::unique_ptr<TWriteThread> writerThread_;
  QObject* notifier_ = nullptr;  // lives on the creating thread
};

}  // namespace facset
