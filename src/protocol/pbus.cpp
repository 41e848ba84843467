#include "protocol/pbus.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/paths.h"
#include "protocol/pbus_commands.h"
#include "protocol/pbus_links.h"
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
      comm_(std::make_unique<TComm>()) {
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
  // Whatever the line holds is handed over as soon as it is quiet: a verdict
  // need not wait for a quiet millisecond, and the receive side collects a
  // frame that comes in pieces.
  comm_->SetReadIntervalTimeout(0xFFFFFFFFu);

  serialLink_ = std::make_unique<SerialLink>(*comm_);
  serialLink_->SetSink([this](const std::uint8_t* d, std::size_t n, bool fresh) { ReceiveBytes(d, n, fresh); });
  udpLink_ = std::make_unique<UdpLink>(*udp_);
  udpLink_->SetSink([this](const std::uint8_t* d, std::size_t n, bool fresh) { ReceiveDatagram(d, n, fresh); });

  retryCount_ = 6;
  retryInterval_ = 800;
}

TPBusComm::~TPBusComm() { Abort(); }

void TPBusComm::SetBaudRate(TBaudRate v) {
  const std::uint8_t idx = static_cast<std::uint8_t>(v) & 0x7F;
  if (idx >= kBaudTable.size())
    throw std::invalid_argument("Invalid serial speed index " + std::to_string(idx));
  baudRate_ = static_cast<TBaudRate>(idx);
  comm_->SetBaudRate(kBaudTable[idx]);
}

void TPBusComm::Abort() { aborted_ = true; }

void TPBusComm::UseTransport(PBusTransport* t) {
  override_ = t;
  if (t) {
    t->SetSink([this, stream = t->Stream()](const std::uint8_t* d, std::size_t n, bool fresh) {
      if (stream)
        ReceiveBytes(d, n, fresh);
      else
        ReceiveDatagram(d, n, fresh);
    });
  }
  ResetLink();
}

PBusTransport& TPBusComm::Link() {
  if (override_) return *override_;
  if (mode_ == TMode::tmTCPIP) {
    udp_->SetRemote(host_, port_);
    return *udpLink_;
  }
  serialLink_->SetHoldLimit(holdLimit_);
  return *serialLink_;
}

void TPBusComm::ResetLink() {
  answers_ = 0;
  transmissions_ = 0;
  strays_ = 0;
  owedWait_ = false;
  settled_ = false;
  duplicates_ = false;
  collecting_ = false;
}

// ---------------------------------------------------------------- link

void TPBusComm::SetActive(bool open, const std::string& host, int port) {
  if (busy_) throw EPBusBusy();
  ResetLink();
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

// ---------------------------------------------------------------- receiving

void TPBusComm::ResetReceive() {
  aborted_ = false;
  answerByte_ = 0;
  rxState_ = -1;
  rxCount_ = 0;
  collecting_ = false;
}

void TPBusComm::AnswerComplete(std::uint8_t verdict, bool frame) {
  ++answers_;
  if (frameCreditable_ && accepting_ && rxState_ < 1) {
    rxState_ = 1;
    answerByte_ = verdict;
    if (frame) {
      frameBuf_.fill(0);
      std::copy_n(rxBuf_.begin(), kFrameNeeded, frameBuf_.begin());
    }
    return;
  }
  ++strays_;
  // More answers than transmissions: the scale answers some requests twice.
  if (answers_ > transmissions_) duplicates_ = true;
}

void TPBusComm::Scan(std::uint8_t c, bool fresh) {
  if (collecting_) {
    // Inside a frame every byte up to the end marker has its top bit set; a
    // byte without it ends the broken frame and may begin the next answer.
    if (rxCount_ >= static_cast<int>(kFrameNeeded) - 1 || (c & 0x80) != 0) {
      rxBuf_[static_cast<std::size_t>(rxCount_++)] = c;
      if (rxCount_ >= static_cast<int>(kFrameNeeded)) {
        collecting_ = false;
        rxCount_ = 0;
        AnswerComplete(0, true);
      }
      return;
    }
    collecting_ = false;
    rxCount_ = 0;
  }
  // Whether an answer may be credited is decided by the bytes that begin it.
  frameCreditable_ = fresh;
  if (c == kVerdictAck || c == kVerdictRefused) {
    AnswerComplete(c, false);
  } else if (c == kFrameStart) {
    collecting_ = true;
    rxBuf_[0] = c;
    rxCount_ = 1;
  }
  // Anything else cannot begin an answer (a late trailer, line noise).
}

void TPBusComm::ReceiveBytes(const std::uint8_t* data, std::size_t length, bool fresh) {
  for (std::size_t i = 0; i < length; ++i) Scan(data[i], fresh);
  if (rxState_ != 1) rxState_ = collecting_ && frameCreditable_ && accepting_ ? 0 : -1;
}

void TPBusComm::ReceiveDatagram(const std::uint8_t* data, std::size_t length, bool fresh) {
  if (length == 0) return;
  ++answers_;
  if (fresh && accepting_ && rxState_ == -1) {
    frameBuf_.fill(0);
    std::copy_n(data, std::min(length, kRxMax), frameBuf_.begin());
    answerByte_ = data[0] == kVerdictAck || data[0] == kVerdictRefused ? data[0] : 0;
    rxState_ = 1;
    return;
  }
  ++strays_;
  if (answers_ > transmissions_) duplicates_ = true;
}

static int AnswerFromByte(std::uint8_t b) {
  if (b == kVerdictRefused) return AnswerRefused;
  if (b == kVerdictAck) return AnswerAck;
  return AnswerData;
}

// ---------------------------------------------------------------- transactions

void TPBusComm::EncodeFrame() { facset::EncodeFrame(packet_.data(), frameBuf_.data()); }

void TPBusComm::DecodeFrame() {
  if (!facset::DecodeFrame(frameBuf_.data(), packet_.data())) checksumError_ = true;
}

void TPBusComm::SettleBeforeRequest() {
  // The usual case, a scale that answered every transmission once: nothing to
  // collect (Attempt takes in what already arrived).
  if (!owedWait_ && (settled_ || answers_ == 0) && !duplicates_) return;
  PBusTransport& link = Link();
  accepting_ = false;
  link.Flush();
  const auto stop = [this] { return aborted_; };
  // Answers still owed to earlier transmissions of the last request would be
  // taken for this one's: collect them first (only after repeats or silence).
  if (owedWait_ && answers_ < owedUntil_)
    link.Listen(2 * retryInterval_, [this] { return aborted_ || answers_ >= owedUntil_; });
  owedWait_ = false;
  // Once per link, after its first answer: does the scale send its verdicts
  // twice? If so, every request waits for the second copy to pass.
  if (!settled_ && answers_ > 0 && !aborted_) {
    settled_ = true;
    const std::uint64_t before = strays_;
    link.Listen(kDuplicateWindowMs, [this, before] { return aborted_ || strays_ > before; });
  }
  if (duplicates_ && !aborted_) link.Listen(kDuplicateWindowMs, stop);
}

template <typename Fn>
auto TPBusComm::Guarded(Fn fn) {
  try {
    return fn();
  } catch (const std::exception&) {
    accepting_ = false;
    aborted_ = true;
    lastWaitEnd_ = WaitEnd::Abort;
    if (OnSendException) OnSendException();
    throw;
  }
}

int TPBusComm::Attempt(const std::uint8_t* packet) {
  PBusTransport& link = Link();
  const WaitEnd end = Guarded([&] {
    accepting_ = false;
    link.Flush();
    ResetReceive();
    accepting_ = true;
    ++transmissions_;
    link.Send(packet);
    return link.Wait(retryInterval_, [this] { return aborted_ || rxState_ > 0; });
  });
  accepting_ = false;
  if (end == WaitEnd::DrainLimit || end == WaitEnd::Hangup || end == WaitEnd::SendRefused) {
    aborted_ = true;
    lastWaitEnd_ = end;
    return AnswerAborted;
  }
  if (aborted_) {
    lastWaitEnd_ = WaitEnd::Abort;
    return AnswerAborted;
  }
  if (rxState_ > 0) {
    lastWaitEnd_ = WaitEnd::Answer;
    return AnswerFromByte(answerByte_);
  }
  lastWaitEnd_ = WaitEnd::Timeout;
  return AnswerTimeout;
}

bool TPBusComm::Transact(const std::uint8_t* packet, Want want, int attempts,
                         const std::function<void(int)>& beforeAttempt) {
  PBusTransport& link = Link();
  aborted_ = false;
  Guarded([this] { SettleBeforeRequest(); });
  if (aborted_) {
    lastAnswer_ = AnswerAborted;
    return false;
  }
  const std::uint64_t answersAtStart = answers_;
  std::uint64_t sent = 0;
  bool ok = false;
  for (int n = 0;; ++n) {
    if (beforeAttempt) beforeAttempt(n);
    checksumError_ = false;
    const int a = Attempt(packet);
    ++sent;
    lastAnswer_ = a;
    if (link.Stream()) {
      if (want == Want::Ack && a == AnswerAck) ok = true;
      if (want == Want::Data && a == AnswerData) {
        DecodeFrame();
        ok = !checksumError_;
      }
      if (ok) break;
      // A held line would only hold the repeat too.
      if (aborted_ || n + 1 >= attempts) {
        aborted_ = true;
        break;
      }
    } else {
      // UDP repeats on silence only; any answer ends the exchange.
      if (a == AnswerTimeout && !aborted_ && n + 1 < attempts) continue;
      if (a == AnswerTimeout) Guarded([&] { link.Listen(10, [this] { return aborted_; }); });
      if (want == Want::Ack) ok = a == AnswerAck;
      if (want == Want::Data && a == AnswerData) {
        std::copy_n(frameBuf_.begin(), kPacketSize, packet_.begin());
        ok = true;
      }
      break;
    }
  }
  if (answers_ - answersAtStart < sent) {
    owedUntil_ = answersAtStart + sent;
    owedWait_ = true;
  }
  return ok;
}

bool TPBusComm::TransactAck() { return Transact(packet_.data(), Want::Ack, retryCount_ + 1); }

bool TPBusComm::TransactData() { return Transact(request_.data(), Want::Data, retryCount_ + 1); }

int TPBusComm::UdpExchange(const std::uint8_t* buffer, std::size_t length) {
  BusyScope scope(*this);
  if (!scope) return AnswerAborted;
  Buffer packet{};
  std::copy_n(buffer, std::min(length, kPacketSize), packet.begin());
  Transact(packet.data(), Want::Any, retryCount_ + 1);
  return lastAnswer_;
}

// ---------------------------------------------------------------- requests

void TPBusComm::BuildRequest(Buffer& buf, std::uint8_t command, std::uint16_t arg, const std::uint8_t* payload) {
  BuildPacket(buf, command, arg, std::span<const std::uint8_t>(payload, kPayloadSize));
}

bool TPBusComm::WriteBlock(std::uint8_t command, std::uint16_t arg) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(packet_, command, arg, BlockData.data());
  return TransactAck();
}

bool TPBusComm::ReadBlock(std::uint8_t command, std::uint16_t arg) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(request_, command, arg, BlockData.data());
  const bool ok = TransactData();
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
  BuildRequest(packet_, pbus::kCmdUpgrade, pbus::kArgStartUpgrade, WordPayload(value).data());
  return TransactAck();
}

bool TPBusComm::FinishUpgrade(std::uint16_t value) {
  BusyScope scope(*this);
  if (!scope) return false;
  BuildRequest(packet_, pbus::kCmdUpgrade, pbus::kArgFinishUpgrade, WordPayload(value).data());
  return TransactAck();
}

bool TPBusComm::Disconnect(std::int32_t id) {
  BusyScope scope(*this);
  if (!scope) return false;
  std::array<std::uint8_t, kPayloadSize> p{};
  IdToBcdLsbFirst(static_cast<std::uint32_t>(id), p.data());
  BuildRequest(packet_, pbus::kCmdSession, pbus::kArgLogOff, p.data());
  return TransactAck();
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
  BuildRequest(packet_, pbus::kCmdSession, pbus::kArgLogOn, p.data());

  if (!Link().Stream()) return TransactAck();

  // The scale may still run at any speed: two passes over the table. Every
  // answer counts, a refusal like silence.
  constexpr int kSpeedSearchTransmissions = 2 * static_cast<int>(kBaudTable.size());
  const bool ok = Transact(packet_.data(), Want::Ack, kSpeedSearchTransmissions,
                           [this](int n) { Link().SetLineSpeed(kBaudTable[static_cast<std::size_t>(n) % kBaudTable.size()]); });
  if (ok) Link().SetLineSpeed(kBaudTable[static_cast<std::size_t>(baudRate_)]);
  return ok;
}

}  // namespace facset
