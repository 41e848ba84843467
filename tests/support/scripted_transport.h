#pragma once
// A scale on a scripted line, for in-process engine tests: no sockets, no
// child process, no wall clock. The engine owns it (TPBusComm takes a
// unique_ptr); the test keeps a pointer to read what was sent. Time is virtual: a wait jumps straight to the
// next scripted arrival or to its deadline. Replies to one transmission may
// arrive during later ones, exactly as on a real line, so late, duplicate and
// stray answers reach the engine the way a real scale would send them.

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "protocol/pbus_codec.h"
#include "protocol/pbus_transport.h"

namespace facset::testing {

class ScriptedTransport : public PBusTransport {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // One transmission as the scale received it.
  struct Sent {
    Bytes packet;              // the 261 bytes
    std::int64_t at = 0;       // virtual ms
    std::uint32_t speed = 0;   // line speed (serial)
    std::uint8_t command() const { return packet[0]; }
    std::uint16_t arg() const { return static_cast<std::uint16_t>(packet[1] | packet[2] << 8); }
  };
  // Something that reaches the tool `afterMs` after the transmission: bytes,
  // or an action run at that moment (e.g. the operator's Abort).
  // On a stream (serial) line, bytes sent at one speed reach the tool only
  // while its line runs at that speed, as on a real line: a reply answers at
  // the speed of the transmission it answers.
  struct Reply {
    int afterMs = 0;
    Bytes bytes;
    std::function<void()> action;
    std::uint32_t speed = 0;  // 0: the speed of the transmission
  };
  struct Reaction {
    std::vector<Reply> replies;
    bool held = false;      // the line holds the request (XOFF) for ever
    bool refused = false;   // the line does not take it (port gone)
    bool sendError = false; // the transport raises (UDP)
    bool lost = false;      // it leaves, but never reaches the scale (no replies)
  };
  using Scale = std::function<Reaction(const Sent&)>;

  ScriptedTransport(bool stream, Scale scale) : stream_(stream), scale_(std::move(scale)) {}

  std::vector<Sent> sent;
  std::int64_t now = 0;
  // Transmissions withdrawn from a held line: they never reached the scale.
  int withdrawn = 0;
  // Transmissions that left but were lost on the way (never in `sent`).
  int lost = 0;
  // Hold limits the engine asked for, one per held transmission.
  std::vector<int> holds;
  // The line went away (a serial hang-up): set it, or schedule it with At().
  bool gone = false;
  bool open = false;
  int opens = 0;

  bool Stream() const override { return stream_; }
  void Open() override {
    open = true;
    gone = false;
    ++opens;
  }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool Gone() const override { return gone; }
  std::int64_t NowMs() const override { return now; }

  void Flush() override { Run(now, [] { return false; }, false); }

  void Send(const std::uint8_t* packet) override {
    Sent s{Bytes(packet, packet + kPacketSize), now, speed_};
    reaction_ = scale_ ? scale_(s) : Reaction{};
    if (reaction_.sendError) throw std::runtime_error("scripted send error");
    if (reaction_.held || reaction_.refused) return;
    if (reaction_.lost) {
      ++lost;
      return;
    }
    sent.push_back(s);
    for (auto r : reaction_.replies) {
      if (r.speed == 0) r.speed = speed_;
      arrivals_.emplace(now + r.afterMs, r);
    }
  }

  WaitEnd Wait(int intervalMs, int holdMs, const Done& done) override {
    if (gone) return WaitEnd::Hangup;
    if (reaction_.refused) return WaitEnd::SendRefused;
    if (reaction_.held) {
      // A line held before: the engine asks for less (0 means "no more than a
      // few frame times"), like the serial link does.
      const int hold = held_ ? 1000 : holdMs;
      holds.push_back(hold);
      held_ = true;
      if (Run(now + hold, [&] { return gone || done(); }, true) && !gone) return WaitEnd::Answer;
      ++withdrawn;
      return gone ? WaitEnd::Hangup : WaitEnd::DrainLimit;
    }
    held_ = false;
    const bool ok = Run(now + intervalMs, [&] { return gone || done(); }, true);
    if (gone && !done()) return WaitEnd::Hangup;
    return ok ? WaitEnd::Answer : WaitEnd::Timeout;
  }

  WaitEnd Listen(int ms, const Done& done) override {
    if (gone) return WaitEnd::Hangup;
    const bool ok = Run(now + ms, [&] { return gone || done(); }, true);
    if (gone && !done()) return WaitEnd::Hangup;
    return ok ? WaitEnd::Answer : WaitEnd::Timeout;
  }

  void SetLineSpeed(std::uint32_t bps) override { speed_ = bps; }

  // Runs `action` when virtual time reaches `when` (inside a wait).
  void At(std::int64_t when, std::function<void()> action) { arrivals_.emplace(when, Reply{0, {}, std::move(action)}); }

  // Replies queued for `now` or later.
  std::size_t Pending() const { return arrivals_.size(); }

 private:
  bool Run(std::int64_t deadline, const Done& done, bool fresh) {
    for (;;) {
      if (done()) return true;
      auto it = arrivals_.begin();
      if (it == arrivals_.end() || it->first > deadline) {
        now = std::max(now, deadline);
        return done();
      }
      const Reply r = it->second;
      now = std::max(now, it->first);
      arrivals_.erase(it);
      if (r.action) r.action();
      const bool heard = !stream_ || r.speed == 0 || r.speed == speed_;
      if (!r.bytes.empty() && heard) Deliver(r.bytes.data(), r.bytes.size(), fresh);
    }
  }

  bool stream_;
  bool held_ = false;
  Scale scale_;
  Reaction reaction_;
  std::uint32_t speed_ = 9600;
  std::multimap<std::int64_t, Reply> arrivals_;
};

// A data answer as the serial line carries it: the 302-byte frame of a
// packet with this command and argument.
inline std::vector<std::uint8_t> DataFrame(std::uint8_t command, std::uint16_t arg, bool trailer = true) {
  Buffer p{};
  BuildPacket(p, command, arg, {});
  std::vector<std::uint8_t> f(kFrameSize);
  EncodeFrame(p.data(), f.data());
  f.resize(trailer ? kFrameSize : kFrameNeeded);
  if (trailer) f[kFrameSize - 1] = kFrameTrailer;
  return f;
}

// The same answer over UDP: the bare packet.
inline std::vector<std::uint8_t> DataPacket(std::uint8_t command, std::uint16_t arg) {
  Buffer p{};
  BuildPacket(p, command, arg, {});
  return std::vector<std::uint8_t>(p.begin(), p.begin() + kPacketSize);
}

}  // namespace facset::testing
