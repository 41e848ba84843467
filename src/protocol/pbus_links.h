#pragma once
// The engine's two real transports, made by the factories below: the serial
// line through TComm and UDP datagrams through UdpClient. Both wait in the Qt
// event dispatcher of the calling thread, so serial notifications, timers and
// the window's events keep flowing while the scale thinks. The classes are
// internal to the protocol layer; everything else holds a PBusTransport.

#include <cstdint>
#include <memory>
#include <string>

#include "protocol/pbus_transport.h"

class QTimer;
class QSocketNotifier;

namespace facset {

// The serial port at `devicePath` (e.g. "/dev/ttyUSB0"), 8N1 with XON/XOFF,
// as the scale's line wants it; opened by PBusTransport::Open.
std::unique_ptr<PBusTransport> MakeSerialLink(const std::string& devicePath);

// Datagrams to `host` (an IPv4 address text) at `port`. Answers are taken
// from that address and port only; others are ignored and counted, unless
// `anySender` (for a scale known to answer from another address).
std::unique_ptr<PBusTransport> MakeUdpLink(const std::string& host, int port, bool anySender = false);

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

std::int64_t SteadyMs();

class SerialLink final : public PBusTransport {
 public:
  explicit SerialLink(const std::string& devicePath);
  ~SerialLink() override;

  bool Stream() const override { return true; }
  void Open() override;
  void Close() override;
  bool IsOpen() const override;
  bool KeepsTrace() const override { return true; }
  bool Gone() const override { return gone_; }
  std::int64_t NowMs() const override { return SteadyMs(); }
  void Flush() override {}
  void Send(const std::uint8_t* packet) override;
  WaitEnd Wait(int intervalMs, int holdMs, const Done& done) override;
  WaitEnd Listen(int ms, const Done& done) override;
  void SetLineSpeed(std::uint32_t bps) override;

 private:
  bool Drained() const;
  std::unique_ptr<TComm> comm_;
  EventSleeper sleeper_;
  std::uint64_t seq_ = 0;  // TComm's number of the request in flight
  bool refused_ = false;
  bool gone_ = false;      // the port failed; stays until the next Open
  bool held_ = false;      // the last request was withdrawn from a held line
};

class UdpLink final : public PBusTransport {
 public:
  UdpLink(const std::string& host, int port, bool anySender);
  ~UdpLink() override;

  bool Stream() const override { return false; }
  std::int64_t NowMs() const override { return SteadyMs(); }
  void Flush() override;
  void Send(const std::uint8_t* packet) override;
  WaitEnd Wait(int intervalMs, int holdMs, const Done& done) override;
  WaitEnd Listen(int ms, const Done& done) override;

 private:
  // Waits up to ms for done(), handing every datagram over meanwhile.
  // Returns false when the time ran out.
  bool Receive(int ms, const Done& done, bool fresh);
  // Reads one waiting datagram; false when none was waiting.
  bool TakeOne(bool fresh);
  std::unique_ptr<UdpClient> udp_;
  bool anySender_;
  EventSleeper sleeper_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::unique_ptr<QTimer> deadline_;
  bool readable_ = false;
  bool expired_ = false;
};

}  // namespace facset
