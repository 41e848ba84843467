#include "protocol/pbus.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/dialogs.h"
#include "platform/paths.h"
#include "protocol/udp_client.h"
#include "serial/serial_comm.h"

namespace facset {

LocalClock SystemLocalClock() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return LocalClock{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// Marks the engine busy for one public entry; a nested entry is refused.
class TPBusComm::BusyScope {
 public:
  explicit BusyScope(TPBusComm& e) : e_(e), entered_(!e.busy_) {
    if (entered_) e_.busy_ = true;
  }
  ~BusyScope() {
    if (entered_) e_.busy_ = false;
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  TPBusComm& e_;
  bool entered_;
};

TPBusComm::TPBusComm()
    : udp_(std::make_unique<UdpClient>()),
      comm_(std::make_unique<TComm>()),
      timer_(std::make_unique<QTimer>()),
      limit_(std::make_unique<QTimer>()) {
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_.get(), &QTimer::timeout, [this] {
    timedOut_ = -1;
    timer_->stop();
  });
  limit_->setSingleShot(true);
  limit_->setTimerType(Qt::PreciseTimer);
  QObject::connect(limit_.get(), &QTimer::timeout, [this] { limitExpired_ = true; });

  active_ = false;
  baudRate_ = TBaudRate::tbr9600;
  comm_->SetBaudRate(kBaudTable[0]);

  comm_->SetDtrControl(TDtrControl::DtrDisable);
  comm_->SetTxContinueOnXoff(false);
  comm_->SetIgnoreNullChar(false);
  comm_->SetRtsControl(TRtsControl::RtsEnable);
  comm_->SetByteSize(TByteSize::_8);
  comm_->SetParity(TParity::None);
  comm_->SetStopBits(TStopBits::_1);
  comm_->SetReadIntervalTimeout(1);
  comm_->OnReceiveData = [this](TComm&, const std::uint8_t* buf, std::uint16_t len) { ReceiveBytes(buf, len); };
  comm_->OnSendDataEmpty = [this](TComm&) { txDrained_ = true; };
  // A port that failed under us will never drain nor answer: end the wait.
  comm_->OnRequestHangup = [this](TComm&) {
    hungUp_ = true;
    aborted_ = true;
  };

  retryCount_ = 6;
  retryInterval_ = 800;
  txDrained_ = true;
}

TPBusComm::~TPBusComm() {
  Abort();
  comm_->OnReceiveData = nullptr;
  comm_->OnSendDataEmpty = nullptr;
  comm_->OnRequestHangup = nullptr;
}

void TPBusComm::SetBaudRate(TBaudRate v) {
  const std::uint8_t idx = static_cast<std::uint8_t>(v) & 0x7F;
  if (idx >= kBaudTable.size())
    throw std::invalid_argument("Invalid serial speed index " + std::to_string(idx));
  baudRate_ = static_cast<TBaudRate>(idx);
  comm_->SetBaudRate(kBaudTable[idx]);
}

void TPBusComm::Abort() { aborted_ = true; }

// ---------------------------------------------------------------- link

void TPBusComm::SetActive(bool open, const std::string& host, int port) {
  if (busy_) throw EPBusBusy();
  if (mode_ == TMode::tmTCPIP) {
    host_ = host;
    port_ = port;
    udp_->SetRemote(host_, port_);
    return;
  }
  if (open) {
    comm_->SetCommName(commName_);
    if (active_) comm_->ClosePort();
    comm_->OpenPort();
    active_ = true;
    trace_.clear();
  } else {
    active_ = false;
    comm_->ClosePort();
    SaveTrace();
    trace_.clear();
  }
}

void TPBusComm::SaveTrace() {
  const std::string path = FilesDir() + "DEBUG.LOG";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& line : trace_) out << line << "\r\n";
  out.close();
  // The trace is always empty; a read-only program folder must not turn every
  // serial download into an error box.
  if (!out) qWarning("Cannot write the trace file %s", path.c_str());
}

// ---------------------------------------------------------------- waiting

template <typename Done>
bool TPBusComm::SleepUntil(Done done, int ms) {
  if (!QCoreApplication::instance())
    throw std::logic_error("The protocol engine needs a QCoreApplication to wait");
  limitExpired_ = false;
  if (ms >= 0) limit_->start(ms);
  bool ok = true;
  while (!done()) {
    if (limitExpired_) {
      ok = false;
      break;
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  limit_->stop();
  return ok;
}

void TPBusComm::ResetReceive() {
  aborted_ = false;
  answerByte_ = 0;
  rxState_ = -1;
  rxCount_ = 0;
}

void TPBusComm::ReceiveBytes(const std::uint8_t* data, std::size_t length) {
  const std::size_t room = kRxMax - static_cast<std::size_t>(rxCount_);
  const std::size_t take = std::min(length, room);
  if (take) std::memcpy(frameBuf_.data() + rxCount_, data, take);
  rxCount_ += static_cast<int>(take);
  if (rxState_ == -1 && (frameBuf_[0] == kVerdictAck || frameBuf_[0] == kVerdictRefused)) {
    answerByte_ = frameBuf_[0];
    rxState_ = 1;
    rxCount_ = 0;
  } else {
    rxState_ = 0;
    if (rxCount_ >= static_cast<int>(kFrameNeeded)) {
      rxState_ = 1;
      rxCount_ = 0;
    }
  }
}

static int AnswerFromByte(std::uint8_t b) {
  if (b == kVerdictRefused) return AnswerRefused;
  if (b == kVerdictAck) return AnswerAck;
  return AnswerData;
}

int TPBusComm::WaitAnswer(int intervalMs) {
  ResetReceive();
  hungUp_ = false;
  if (sendRefused_) {
    // TComm would not queue the frame (port closed or its writer gone): no
    // drain will ever be reported.
    aborted_ = true;
    lastWaitEnd_ = WaitEnd::SendRefused;
    return AnswerAborted;
  }
  // Bounded: a line that never drains (flow control held, a hung port) must
  // not hold the tool forever.
  const std::uint32_t bps = std::max<std::uint32_t>(comm_->BaudRate(), 1);
  const std::uint64_t frameMs = (static_cast<std::uint64_t>(kFrameSize) * 10 * 1000 + bps - 1) / bps;
  const int boundMs = static_cast<int>(std::min<std::uint64_t>(10 * frameMs + 1000, 600000));
  if (!SleepUntil([this] { return txDrained_ || aborted_; }, boundMs)) {
    aborted_ = true;
    lastWaitEnd_ = WaitEnd::DrainLimit;
    return AnswerAborted;
  }
  if (aborted_) {
    lastWaitEnd_ = hungUp_ ? WaitEnd::Hangup : WaitEnd::Abort;
    return AnswerAborted;
  }
  timedOut_ = 0;
  timer_->start(std::max(intervalMs, 0));
  SleepUntil([this] { return timedOut_ != 0 || aborted_ || rxState_ > 0; }, -1);
  timer_->stop();
  if (aborted_) {
    lastWaitEnd_ = hungUp_ ? WaitEnd::Hangup : WaitEnd::Abort;
    return AnswerAborted;
  }
  if (rxState_ > 0) {
    lastWaitEnd_ = WaitEnd::Answer;
    return AnswerFromByte(answerByte_);
  }
  lastWaitEnd_ = WaitEnd::Timeout;
  return AnswerTimeout;
}

// ---------------------------------------------------------------- serial

void TPBusComm::EncodeFrame() { facset::EncodeFrame(packet_.data(), frameBuf_.data()); }

void TPBusComm::DecodeFrame() {
  if (!facset::DecodeFrame(frameBuf_.data(), packet_.data())) checksumError_ = true;
}

void TPBusComm::SerialSend() {
  txDrained_ = false;
  sendRefused_ = !comm_->SendData(frameBuf_.data(), static_cast<std::uint16_t>(kFrameSize));
}

bool TPBusComm::DoTransactAck() {
  if (mode_ == TMode::tmTCPIP) return DoUdpExchange(packet_.data(), kPacketSize) == AnswerAck;
  for (int n = 0;; ++n) {
    EncodeFrame();
    frameBuf_[301] = kFrameTrailer;
    SerialSend();
    if (WaitAnswer(retryInterval_) == AnswerAck) return true;
    if (aborted_ || n >= retryCount_) {
      aborted_ = true;
      return false;
    }
  }
}

bool TPBusComm::DoTransactData() {
  if (mode_ == TMode::tmTCPIP) {
    if (DoUdpExchange(request_.data(), kPacketSize) != AnswerData) return false;
    std::copy_n(frameBuf_.begin(), kPacketSize, packet_.begin());
    return true;
  }
  for (int n = 0;; ++n) {
    checksumError_ = false;
    std::copy_n(request_.begin(), kPacketSize, packet_.begin());
    EncodeFrame();
    frameBuf_[301] = kFrameTrailer;
    SerialSend();
    if (WaitAnswer(retryInterval_) == AnswerData) {
      DecodeFrame();
      if (!checksumError_) return true;
    }
    if (aborted_ || n >= retryCount_) {
      aborted_ = true;
      return false;
    }
  }
}

bool TPBusComm::TransactAck() {
  BusyScope scope(*this);
  return scope && DoTransactAck();
}

bool TPBusComm::TransactData() {
  BusyScope scope(*this);
  return scope && DoTransactData();
}

// ---------------------------------------------------------------- UDP

bool TPBusComm::WaitReadable(int ms) {
  if (!notifier_) {
    // Stays enabled for the engine's life: outside an exchange a datagram is
    // thrown away at once, so nothing stale waits for the next request.
    notifier_ = std::make_unique<QSocketNotifier>(udp_->Handle(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      if (udpWaiting_) {
        udpReadable_ = true;
        return;
      }
      try {
        udp_->Discard();
      } catch (const std::exception&) {
        notifier_->setEnabled(false);  // a broken socket must not spin the loop
      }
    });
  }
  notifier_->setEnabled(true);
  udpReadable_ = false;
  udpWaiting_ = true;
  try {
    SleepUntil([this] { return aborted_ || udpReadable_; }, ms);
  } catch (...) {
    udpWaiting_ = false;
    throw;
  }
  udpWaiting_ = false;
  // The notifier may not have been served in the last pass: look once more.
  return udpReadable_ || (!aborted_ && udp_->Readable());
}

int TPBusComm::DoUdpExchange(const std::uint8_t* buffer, std::size_t length) {
  if (!QCoreApplication::instance())
    throw std::logic_error("The protocol engine needs a QCoreApplication to wait");
  int result = AnswerAborted;
  int attempt = 0;
  aborted_ = false;
  udp_->SetRemote(host_, port_);
  while (!aborted_) {
    if (attempt > retryCount_) {
      SleepUntil([] { return false; }, 10);
      result = AnswerTimeout;
      break;
    }
    try {
      // A late answer to an earlier request must not pass for this one's.
      if (attempt == 0) udp_->Discard();
      udp_->Send(buffer, length);
      if (WaitReadable(retryInterval_)) {
        std::uint8_t rx[kRxMax] = {};
        const std::size_t n = udp_->Receive(rx, sizeof rx);
        if (n > 0) {
          ResetReceive();
          std::fill_n(frameBuf_.begin(), kRxMax, 0);
          ReceiveBytes(rx, n);
          result = AnswerFromByte(answerByte_);
          break;
        }
      }
    } catch (const std::exception&) {
      AppDialogs().ShowMessage("Send exception", "", MsgIcon::Information);
      aborted_ = true;
      result = AnswerAborted;
      throw;
    }
    if (!aborted_) ++attempt;
    QCoreApplication::processEvents();
  }
  return result;
}

int TPBusComm::UdpExchange(const std::uint8_t* buffer, std::size_t length) {
  BusyScope scope(*this);
  if (!scope) return AnswerAborted;
  return DoUdpExchange(buffer, length);
}

// ---------------------------------------------------------------- requests

void TPBusComm::BuildRequest(Buffer& buf, std::uint8_t command, std::uint16_t arg, const std::uint8_t* payload) {
  BuildPacket(buf, command, arg, std::span<const std::uint8_t>(payload, kPayloadSize));
}

bool TPBusComm::WriteBlock(std::uint8_t command, std::uint16_t arg) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(packet_, command, arg, BlockData.data());
  return DoTransactAck();
}

bool TPBusComm::ReadBlock(std::uint8_t command, std::uint16_t arg) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(request_, command, arg, BlockData.data());
  const bool ok = DoTransactData();
  std::copy_n(packet_.begin() + kPayloadOffset, kPayloadSize, BlockData.begin());
  return ok;
}

static std::array<std::uint8_t, kPayloadSize> WordPayload(std::uint16_t v) {
  std::array<std::uint8_t, kPayloadSize> p{};
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  return p;
}

bool TPBusComm::StartUpgrade(std::uint16_t value) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(packet_, 15, 0, WordPayload(value).data());
  return DoTransactAck();
}

bool TPBusComm::FinishUpgrade(std::uint16_t value) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(packet_, 15, 1, WordPayload(value).data());
  return DoTransactAck();
}

bool TPBusComm::Disconnect(std::int32_t id) {
  BusyScope scope(*this);
  if (!scope) return false;
  std::array<std::uint8_t, kPayloadSize> p{};
  IdToBcdLsbFirst(static_cast<std::uint32_t>(id), p.data());
  BuildRequest(packet_, 14, 2, p.data());
  return DoTransactAck();
}

bool TPBusComm::Connect(std::int32_t id) {
  BusyScope scope(*this);
  if (!scope) return false;
  std::array<std::uint8_t, kPayloadSize> p{};
  IdToBcdLsbFirst(static_cast<std::uint32_t>(id), p.data());
  // Read once for the date and once again for the time, as the scale's own
  // clock-setting has always done.
  const LocalClock date = clock_();
  const LocalClock time = clock_();
  p[4] = ToBcd2(static_cast<std::uint16_t>(date.year));
  p[5] = ToBcd2(static_cast<std::uint16_t>(date.month));
  p[6] = ToBcd2(static_cast<std::uint16_t>(date.day));
  p[7] = ToBcd2(static_cast<std::uint16_t>(time.hour));
  p[8] = ToBcd2(static_cast<std::uint16_t>(time.minute));
  p[9] = ToBcd2(static_cast<std::uint16_t>(time.second));
  p[10] = static_cast<std::uint8_t>(baudRate_);
  BuildRequest(packet_, 14, 1, p.data());

  if (mode_ == TMode::tmTCPIP) return DoTransactAck();

  // The scale may still run at any speed: two passes over the table.
  for (int n = 0;; ++n) {
    EncodeFrame();
    comm_->SetBaudRate(kBaudTable[static_cast<std::size_t>(n) % kBaudTable.size()]);
    frameBuf_[301] = kFrameTrailer;
    SerialSend();
    if (WaitAnswer(retryInterval_) == AnswerAck) {
      comm_->SetBaudRate(kBaudTable[static_cast<std::size_t>(baudRate_)]);
      return true;
    }
    if (aborted_ || n >= 9) {
      aborted_ = true;
      return false;
    }
  }
}

}  // namespace facset
