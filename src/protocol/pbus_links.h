#pragma once
// The engine's two real transports: the serial line through TComm and UDP
// datagrams through UdpClient. Both wait in the Qt event dispatcher of the
// calling thread, so serial notifications, timers and the window's events
// keep flowing while the scale thinks.

#include <cstdint>
#include <memory>

#include "protocol/pbus_transport.h"

class QTimer;
class QSocketNotifier;

namespace facset {

class TComm;
class UdpClient;

// Sleeps in the event dispatcher until done() or `ms` pass (ms < 0: no limit).
class EventSleeper {
 public:
  EventSleeper();
  ~EventSleeper();
  EventSleeper(const EventSleeper&) = delete;
  EventSleeper& operator=(const EventSleeper&) = delete;
  // False when the time ran out first. Throws std::logic_error without a
  // QCoreApplication.
  bool SleepUntil(const PBusTransport::Done& done, int ms);

 private:
  std::unique_ptr<QTimer> limit_;
  bool expired_ = false;
};

class SerialLink final : public PBusTransport {
 public:
  explicit SerialLink(TComm& comm);
  ~SerialLink() override;

  // How long a request held back by the scale's XOFF may wait to leave.
  void SetHoldLimit(int ms) { holdLimitMs_ = ms; }

  bool Stream() const override { return true; }
  void Flush() override {}
  void Send(const std::uint8_t* packet) override;
  WaitEnd Wait(int intervalMs, const Done& done) override;
  void Listen(int ms, const Done& done) override;
  void SetLineSpeed(std::uint32_t bps) override;

 private:
  bool Drained() const;
  TComm& comm_;
  EventSleeper sleeper_;
  int holdLimitMs_ = 30000;
  std::uint64_t seq_ = 0;  // TComm's number of the request in flight
  bool refused_ = false;
  bool hungUp_ = false;
};

class UdpLink final : public PBusTransport {
 public:
  explicit UdpLink(UdpClient& udp);
  ~UdpLink() override;

  bool Stream() const override { return false; }
  void Flush() override;
  void Send(const std::uint8_t* packet) override;
  WaitEnd Wait(int intervalMs, const Done& done) override;
  void Listen(int ms, const Done& done) override;

 private:
  // Waits up to ms for a datagram or done(); hands every datagram over.
  // Returns false when the time ran out.
  bool Receive(int ms, const Done& done, bool fresh, bool& emptyDatagram);
  UdpClient& udp_;
  EventSleeper sleeper_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::unique_ptr<QTimer> deadline_;
  bool readable_ = false;
  bool expired_ = false;
};

}  // namespace facset
