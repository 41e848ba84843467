#include "protocol/pbus_links.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "protocol/pbus_codec.h"
#include "protocol/udp_client.h"
#include "serial/serial_comm.h"

namespace facset {

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<PBusTransport> MakeSerialLink(const std::string& devicePath) {
  return std::make_unique<SerialLink>(devicePath);
}

std::unique_ptr<PBusTransport> MakeUdpLink(const std::string& host, int port, bool anySender) {
  return std::make_unique<UdpLink>(host, port, anySender);
}

EventSleeper::EventSleeper() : limit_(std::make_unique<QTimer>()) {
  limit_->setSingleShot(true);
  limit_->setTimerType(Qt::PreciseTimer);
  QObject::connect(limit_.get(), &QTimer::timeout, [this] { expired_ = true; });
}

EventSleeper::~EventSleeper() = default;

bool EventSleeper::SleepUntil(const PBusTransport::Done& done, int ms) {
  if (!QCoreApplication::instance())
    throw std::logic_error("The protocol engine needs a QCoreApplication to wait");
  expired_ = false;
  if (ms >= 0) limit_->start(ms);
  bool ok = true;
  while (!done()) {
    if (expired_) {
      ok = false;
      break;
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  limit_->stop();
  return ok;
}

// ---------------------------------------------------------------- serial

SerialLink::SerialLink(const std::string& devicePath) : comm_(std::make_unique<TComm>()) {
  comm_->SetCommName(devicePath);
  comm_->SetBaudRate(kBaudTable[0]);
  comm_->SetDtrControl(TDtrControl::DtrDisable);
  comm_->SetTxContinueOnXoff(false);
  comm_->SetIgnoreNullChar(false);
  comm_->SetRtsControl(TRtsControl::RtsEnable);
  comm_->SetByteSize(TByteSize::_8);
  comm_->SetParity(TParity::None);
  comm_->SetStopBits(TStopBits::_1);
  // Whatever the line holds is handed over as soon as it is quiet: a verdict
  // need not wait for a quiet millisecond, and the engine collects a frame
  // that comes in pieces.
  comm_->SetReadIntervalTimeout(0xFFFFFFFFu);
  comm_->OnReceiveData = [this](TComm& c, const std::uint8_t* buf, std::uint16_t len) {
    Deliver(buf, len, c.DeliveryWrittenCount() >= seq_);
  };
  comm_->OnSendDataEmpty = nullptr;  // Drained() reads the component's count
  // A port that failed under us will never drain nor answer: every later
  // request ends at once, until the port is opened again.
  comm_->OnRequestHangup = [this](TComm&) { gone_ = true; };
}

SerialLink::~SerialLink() { comm_->ClosePort(); }

void SerialLink::Open() {
  comm_->ClosePort();
  gone_ = false;
  held_ = false;
  refused_ = false;
  seq_ = 0;
  comm_->OpenPort();
}

void SerialLink::Close() { comm_->ClosePort(); }

bool SerialLink::IsOpen() const { return comm_->IsOpen(); }

void SerialLink::SetLineSpeed(std::uint32_t bps) { comm_->SetBaudRate(bps); }

void SerialLink::Send(const std::uint8_t* packet) {
  refused_ = gone_;
  if (refused_) return;
  Buffer frame{};
  EncodeFrame(packet, frame.data());
  frame[kFrameSize - 1] = kFrameTrailer;
  refused_ = !comm_->SendData(frame.data(), static_cast<std::uint16_t>(kFrameSize));
  seq_ = comm_->QueuedCount();
}

bool SerialLink::Drained() const { return comm_->DrainedUpTo() >= seq_; }

WaitEnd SerialLink::Wait(int intervalMs, int holdMs, const Done& done) {
  if (gone_) return WaitEnd::Hangup;
  // TComm would not queue the frame (port closed or its writer gone): no
  // drain will ever be reported.
  if (refused_) return WaitEnd::SendRefused;
  // The scale's XOFF means "wait": the request may stay on hold for the hold
  // limit (a few frame times more at a slow line). Once a request had to be
  // withdrawn, the next ones get only a few frame times: a scale that never
  // sends XON must not cost the hold limit per step. A fast answer may come
  // before the drain is reported, and counts.
  const std::uint32_t bps = std::max<std::uint32_t>(comm_->BaudRate(), 1);
  const std::uint64_t frameMs = (static_cast<std::uint64_t>(kFrameSize) * 10 * 1000 + bps - 1) / bps;
  const std::uint64_t floor = (held_ ? 2 : 10) * frameMs + 1000;
  const std::uint64_t hold = held_ ? 0 : static_cast<std::uint64_t>(std::max(holdMs, 0));
  const int boundMs = static_cast<int>(std::min<std::uint64_t>(std::max(hold, floor), 3600000));
  if (!sleeper_.SleepUntil([&] { return Drained() || gone_ || done(); }, boundMs)) {
    // Never let the held frame reach the scale later, where its verdict
    // would be taken for the next request's.
    comm_->Withdraw();
    held_ = true;
    return WaitEnd::DrainLimit;
  }
  if (gone_ && !done()) return WaitEnd::Hangup;
  held_ = false;
  if (done()) return WaitEnd::Answer;
  const bool answered = sleeper_.SleepUntil([&] { return gone_ || done(); }, std::max(intervalMs, 0));
  if (gone_ && !done()) return WaitEnd::Hangup;
  return answered ? WaitEnd::Answer : WaitEnd::Timeout;
}

WaitEnd SerialLink::Listen(int ms, const Done& done) {
  if (gone_) return WaitEnd::Hangup;
  const bool ok = sleeper_.SleepUntil([&] { return gone_ || done(); }, std::max(ms, 0));
  if (gone_ && !done()) return WaitEnd::Hangup;
  return ok ? WaitEnd::Answer : WaitEnd::Timeout;
}

// ---------------------------------------------------------------- UDP

UdpLink::UdpLink(const std::string& host, int port, bool anySender)
    : udp_(std::make_unique<UdpClient>()), anySender_(anySender) {
  udp_->SetRemote(host, port);
}

UdpLink::~UdpLink() = default;

bool UdpLink::TakeOne(bool fresh) {
  // Room for any datagram, so that an oversized one is seen whole.
  std::uint8_t rx[2048];
  bool fromRemote = false;
  std::string sender;
  const auto n = udp_->Receive(rx, sizeof rx, fromRemote, sender);
  if (!n) return false;
  if (!fromRemote && !anySender_) {
    Ignore("a datagram from " + sender);
    return true;
  }
  if (*n == 0) {
    // Not even a byte to judge: it is nobody's answer.
    Ignore("an empty datagram");
    return true;
  }
  Deliver(rx, std::min<std::size_t>(*n, sizeof rx), fresh);
  return true;
}

void UdpLink::Flush() {
  while (udp_->Readable() && TakeOne(false)) {
  }
}

void UdpLink::Send(const std::uint8_t* packet) { udp_->Send(packet, kPacketSize); }

bool UdpLink::Receive(int ms, const Done& done, bool fresh) {
  if (!notifier_) {
    notifier_ = std::make_unique<QSocketNotifier>(udp_->Handle(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      readable_ = true;
      // Level-triggered: off until the datagram has been read.
      notifier_->setEnabled(false);
    });
  }
  readable_ = false;
  notifier_->setEnabled(true);
  struct Off {
    QSocketNotifier& n;
    ~Off() { n.setEnabled(false); }
  } off{*notifier_};
  // The notifier may lag behind the socket: look once before sleeping.
  auto ready = [&] { return readable_ || udp_->Readable(); };
  if (!deadline_) {
    deadline_ = std::make_unique<QTimer>();
    deadline_->setSingleShot(true);
    deadline_->setTimerType(Qt::PreciseTimer);
    QObject::connect(deadline_.get(), &QTimer::timeout, [this] { expired_ = true; });
  }
  expired_ = false;
  struct Stop {
    QTimer& t;
    ~Stop() { t.stop(); }
  } stop{*deadline_};
  if (ms >= 0) deadline_->start(ms);
  const bool& expired = expired_;
  for (;;) {
    if (done()) return true;
    if (ready()) {
      readable_ = false;
      notifier_->setEnabled(true);
      // Datagrams that are not the scale's answer are counted, and the wait goes on.
      TakeOne(fresh);
      continue;
    }
    if (expired) return false;
    sleeper_.SleepUntil([&] { return readable_ || expired || done(); }, -1);
  }
}

WaitEnd UdpLink::Wait(int intervalMs, int /*holdMs*/, const Done& done) {
  return Receive(std::max(intervalMs, 0), done, true) ? WaitEnd::Answer : WaitEnd::Timeout;
}

WaitEnd UdpLink::Listen(int ms, const Done& done) {
  return Receive(std::max(ms, 0), done, true) ? WaitEnd::Answer : WaitEnd::Timeout;
}

}  // namespace facset
