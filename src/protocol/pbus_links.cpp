#include "protocol/pbus_links.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <stdexcept>

#include "protocol/pbus_codec.h"
#include "protocol/udp_client.h"
#include "serial/serial_comm.h"

namespace facset {

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

SerialLink::SerialLink(TComm& comm) : comm_(comm) {
  comm_.OnReceiveData = [this](TComm& c, const std::uint8_t* buf, std::uint16_t len) {
    Deliver(buf, len, c.DeliveryWrittenCount() >= seq_);
  };
  comm_.OnSendDataEmpty = nullptr;  // Drained() reads the component's count
  // A port that failed under us will never drain nor answer: end the wait.
  comm_.OnRequestHangup = [this](TComm&) { hungUp_ = true; };
}

SerialLink::~SerialLink() {
  comm_.OnReceiveData = nullptr;
  comm_.OnRequestHangup = nullptr;
}

void SerialLink::SetLineSpeed(std::uint32_t bps) { comm_.SetBaudRate(bps); }

void SerialLink::Send(const std::uint8_t* packet) {
  Buffer frame{};
  EncodeFrame(packet, frame.data());
  frame[kFrameSize - 1] = kFrameTrailer;
  hungUp_ = false;
  refused_ = !comm_.SendData(frame.data(), static_cast<std::uint16_t>(kFrameSize));
  seq_ = comm_.QueuedCount();
}

bool SerialLink::Drained() const { return comm_.DrainedUpTo() >= seq_; }

WaitEnd SerialLink::Wait(int intervalMs, const Done& done) {
  // TComm would not queue the frame (port closed or its writer gone): no
  // drain will ever be reported.
  if (refused_) return WaitEnd::SendRefused;
  // The scale's XOFF means "wait": the request may stay on hold for the hold
  // limit (a few frame times more at a slow line). A fast answer may come
  // before the drain is reported, and counts.
  const std::uint32_t bps = std::max<std::uint32_t>(comm_.BaudRate(), 1);
  const std::uint64_t frameMs = (static_cast<std::uint64_t>(kFrameSize) * 10 * 1000 + bps - 1) / bps;
  const std::uint64_t bound = std::max<std::uint64_t>(static_cast<std::uint64_t>(std::max(holdLimitMs_, 0)),
                                                      10 * frameMs + 1000);
  const int boundMs = static_cast<int>(std::min<std::uint64_t>(bound, 3600000));
  if (!sleeper_.SleepUntil([&] { return Drained() || hungUp_ || done(); }, boundMs)) {
    // Never let the held frame reach the scale later, where its verdict
    // would be taken for the next request's.
    comm_.Withdraw();
    return WaitEnd::DrainLimit;
  }
  if (hungUp_) return WaitEnd::Hangup;
  if (done()) return WaitEnd::Answer;
  const bool answered = sleeper_.SleepUntil([&] { return hungUp_ || done(); }, std::max(intervalMs, 0));
  if (hungUp_ && !done()) return WaitEnd::Hangup;
  return answered ? WaitEnd::Answer : WaitEnd::Timeout;
}

void SerialLink::Listen(int ms, const Done& done) {
  sleeper_.SleepUntil([&] { return hungUp_ || done(); }, std::max(ms, 0));
}

// ---------------------------------------------------------------- UDP

UdpLink::UdpLink(UdpClient& udp) : udp_(udp) {}
UdpLink::~UdpLink() = default;

void UdpLink::Flush() {
  std::uint8_t rx[kRxMax];
  while (udp_.Readable()) {
    const std::size_t n = udp_.Receive(rx, sizeof rx);
    if (n == 0) break;  // an empty datagram or a reported ICMP error
    Deliver(rx, n, false);
  }
}

void UdpLink::Send(const std::uint8_t* packet) { udp_.Send(packet, kPacketSize); }

bool UdpLink::Receive(int ms, const Done& done, bool fresh, bool& emptyDatagram) {
  if (!notifier_) {
    notifier_ = std::make_unique<QSocketNotifier>(udp_.Handle(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      readable_ = true;
      // Level-triggered: off until the datagram has been read.
      notifier_->setEnabled(false);
    });
  }
  emptyDatagram = false;
  readable_ = false;
  notifier_->setEnabled(true);
  struct Off {
    QSocketNotifier& n;
    ~Off() { n.setEnabled(false); }
  } off{*notifier_};
  // The notifier may lag behind the socket: look once before sleeping.
  auto ready = [&] { return readable_ || udp_.Readable(); };
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
      std::uint8_t rx[kRxMax] = {};
      const std::size_t n = udp_.Receive(rx, sizeof rx);
      if (n == 0) {
        emptyDatagram = true;
        return false;
      }
      Deliver(rx, n, fresh);
      continue;
    }
    if (expired) return false;
    sleeper_.SleepUntil([&] { return readable_ || expired || done(); }, -1);
  }
}

WaitEnd UdpLink::Wait(int intervalMs, const Done& done) {
  bool empty = false;
  return Receive(std::max(intervalMs, 0), done, true, empty) ? WaitEnd::Answer : WaitEnd::Timeout;
}

void UdpLink::Listen(int ms, const Done& done) {
  bool empty = false;
  Receive(std::max(ms, 0), done, true, empty);
}

}  // namespace facset
