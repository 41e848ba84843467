#pragma once
// A scale on a scripted line, for in-process engine tests: no sockets, no
// child process, no wall clock. Time is virtual: a wait jumps straight to the
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
  struct Reply {
    int afterMs = 0;
    Bytes bytes;
    std::function<void()> action;
  };
  struct Reaction {
    std::vector<Reply> replies;
    bool held = false;      // the line holds the request (XOFF) for ever
    bool refused = false;   // the line does not take it (port gone)
    bool sendError = false; // the transport raises (UDP)
  };
  using Scale = std::function<Reaction(const Sent&)>;

  ScriptedTransport(bool stream, Scale scale) : stream_(stream), scale_(std::move(scale)) {}

  std::vector<Sent> sent;
  std::int64_t now = 0;
  int holdLimitMs = 30000;
  // Transmissions withdrawn from a held line: they never reached the scale.
  int withdrawn = 0;

  bool Stream() const override { return stream_; }

  void Flush() override { Run(now, [] { return false; }, false); }

  void Send(const std::uint8_t* packet) override {
    Sent s{Bytes(packet, packet + kPacketSize), now, speed_};
    reaction_ = scale_ ? scale_(s) : Reaction{};
    if (reaction_.sendError) throw std::runtime_error("scripted send error");
    if (reaction_.held || reaction_.refused) return;
    sent.push_back(s);
    for (const auto& r : reaction_.replies) arrivals_.emplace(now + r.afterMs, r);
  }

  WaitEnd Wait(int intervalMs, const Done& done) override {
    if (reaction_.refused) return WaitEnd::SendRefused;
    if (reaction_.held) {
      now += holdLimitMs;
      ++withdrawn;
      return done() ? WaitEnd::Answer : WaitEnd::DrainLimit;
    }
    return Run(now + intervalMs, done, true) ? WaitEnd::Answer : WaitEnd::Timeout;
  }

  void Listen(int ms, const Done& done) override { Run(now + ms, done, true); }

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
      if (!r.bytes.empty()) Deliver(r.bytes.data(), r.bytes.size(), fresh);
    }
  }

  bool stream_;
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
