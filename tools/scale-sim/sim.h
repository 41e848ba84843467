#pragma once
// The simulated scale: its endpoints, its poll loop and the line (sim.cpp),
// what it answers and the faults it plays (answers.cpp).

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "protocol/pbus_codec.h"

namespace facset::sim {

using Clock = std::chrono::steady_clock;

// Time one byte takes on the line: start bit, 8 data bits, stop bit.
Clock::duration ByteTime(std::uint32_t bps);

// An answer on its way out.
struct Pending {
  Clock::time_point due;
  bool udp = true;
  int fd = -1;             // UDP: the socket it leaves from (-1: the scale's)
  sockaddr_in to{};
  std::vector<std::uint8_t> bytes;
  std::size_t sent = 0;    // serial: bytes already on the line
  Clock::duration gap{};   // quiet time after the previous part of the answer
  Clock::duration byteGap{};  // serial: between the bytes of this part
  Clock::time_point Start(Clock::time_point lineFree) const { return std::max(due, lineFree + gap); }
  int switchToIndex = -1;  // serial speed switch once this answer went out
  bool hangup = false;     // hang the line up once this answer went out
};

// A byte read from the pseudo-terminal: the tool's line speed when it came,
// and the moment its last bit is in.
struct RxByte {
  std::uint8_t value;
  std::uint32_t speed;
  Clock::time_point in;
};

struct Reply;
struct Outgoing;

class Sim {
 public:
  explicit Sim(Options o) : o_(std::move(o)), currentSpeed_(o_.speed) {}
  int Run();

 private:
  // sim.cpp: endpoints, loop, line.
  void OpenEndpoints();
  void OnUdp();
  void OnPty();
  void TakeBytes(Clock::time_point now);
  void OnFrame();
  void Queue(Pending p, Clock::duration after = {});
  void Flush(Clock::time_point now);
  void WriteLine(const std::uint8_t* bytes, std::size_t n);
  void HangUp();
  std::optional<Clock::time_point> NextWake() const;
  void Cleanup();
  std::uint32_t ScaleSpeed() const { return o_.onlySpeed ? o_.onlySpeed : currentSpeed_; }
  std::uint32_t ToolSpeed() const;

  // answers.cpp: what the scale answers.
  // Decides the answer; `speed` is the serial line's speed (0 on UDP).
  void Handle(const std::uint8_t* pkt, bool udp, const sockaddr_in* from, std::uint32_t speed);
  bool RefusedByOption(int cmd, int arg);
  Reply Decide(int cmd, int arg, const std::uint8_t* payload, bool udp);
  Outgoing Shape(Reply& r, bool udp, const sockaddr_in* from, Clock::time_point now);
  std::optional<Pending> QueueStrays(const Pending& p, Clock::time_point now, Reply& r);
  void QueueAnswer(Outgoing out, const Reply& r);
  void Log(bool udp, const sockaddr_in* from, std::uint32_t speed, int cmd, int arg, const std::string& answer,
           const std::string& extra);
  void StoreParams(const std::uint8_t* payload);
  void FirmwareStart();
  void FirmwareBlock(int k, const std::uint8_t* payload);
  void FirmwareFinish();

  Options o_;
  std::uint32_t currentSpeed_;
  int udpFd_ = -1, foreignFd_ = -1, master_ = -1, slave_ = -1, sigFd_ = -1;
  int boundPort_ = 0;
  std::string slavePath_;
  bool linkMade_ = false;
  FILE* log_ = nullptr;
  int fwFd_ = -1;
  long requests_ = 0;
  long acks_ = 0;
  long answered_ = 0;
  std::vector<std::uint8_t> frame_;
  bool inFrame_ = false;
  std::uint32_t frameSpeed_ = 0;  // 0 once the speed changed within the frame
  std::deque<RxByte> rx_;
  Clock::time_point rxFree_{};  // when the tool's line is next idle
  Clock::time_point txFree_{};  // when the scale's transmitter is next idle
  std::deque<Pending> pending_;
  std::array<std::uint8_t, kPayloadSize> lastParams_{};
};

[[noreturn]] void Fail(const std::string& msg);

}  // namespace facset::sim
