#pragma once
// The seam between the protocol engine and the line it talks over: "hand this
// request over, wait for its answer, honour abort". The engine keeps the
// retries, the receive state and the verdicts; a transport only moves bytes
// and keeps time. UDP and serial implementations live beside the engine; the
// tests drive the engine through a scripted one.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace facset {

// How a wait for an answer ended.
enum class WaitEnd : std::uint8_t {
  None,         // no wait yet
  Answer,       // the engine's condition became true (an answer, or Abort)
  Timeout,      // the interval passed without one
  Abort,        // Abort() (or the port failed) while waiting for the answer
  Hangup,       // the port failed (OnRequestHangup) before the request left
  DrainLimit,   // the line held the request back (XOFF) past the hold limit;
                // the request was withdrawn and never reaches the scale
  SendRefused,  // the line would not take the request (port not open)
};

class PBusTransport {
 public:
  // Received bytes: a piece of the serial stream or one whole datagram.
  // `fresh` is false for bytes that certainly reached the tool before the
  // current request had left it, so they cannot be its answer.
  using Sink = std::function<void(const std::uint8_t* data, std::size_t length, bool fresh)>;
  using Done = std::function<bool()>;

  virtual ~PBusTransport() = default;

  void SetSink(Sink sink) { sink_ = std::move(sink); }

  // True for the serial line: answers are a byte stream, a refusal is
  // repeated like silence and a data answer carries a checked frame. False
  // for UDP: one datagram is one answer and any answer ends the exchange.
  virtual bool Stream() const = 0;

  // Hands over whatever already arrived (it is not an answer to what is sent
  // next); never waits.
  virtual void Flush() = 0;
  // Hands one 261-byte packet to the line. Throws on a transport error (UDP).
  virtual void Send(const std::uint8_t* packet) = 0;
  // After Send: waits until the request has left (serial), then up to
  // intervalMs until done(). Received bytes reach the sink meanwhile.
  virtual WaitEnd Wait(int intervalMs, const Done& done) = 0;
  // Keeps receiving for up to ms, or until done().
  virtual void Listen(int ms, const Done& done) = 0;
  // The serial line speed for the next request (ignored by UDP).
  virtual void SetLineSpeed(std::uint32_t /*bps*/) {}

 protected:
  void Deliver(const std::uint8_t* data, std::size_t length, bool fresh) {
    if (sink_) sink_(data, length, fresh);
  }

 private:
  Sink sink_;
};

}  // namespace facset
