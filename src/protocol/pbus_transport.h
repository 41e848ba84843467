#pragma once
// The seam between the protocol engine and the line it talks over: "open,
// hand this request over, wait for its answer, honour abort, close". The
// engine keeps the retries, the receive state, the account of transmissions
// and answers and the verdicts; a transport only moves bytes and keeps time.
// The serial and UDP transports are made by the factories in pbus_links.h;
// tests hand the engine a scripted one (virtual time, no sockets).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace facset {

// How a wait for an answer ended.
enum class WaitEnd : std::uint8_t {
  None,         // no wait yet
  Answer,       // the engine's condition became true (an answer, or Abort)
  Timeout,      // the interval passed without one
  Abort,        // Abort() (or the port failed) while waiting for the answer
  Hangup,       // the line went away (serial hang-up); remembered until the link is reopened
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
  // Something that arrived and was not handed over, in words ("a datagram
  // from 127.0.0.2:5001"), for the account at the end of the run.
  using IgnoreSink = std::function<void(const std::string& what)>;
  using Done = std::function<bool()>;

  virtual ~PBusTransport() = default;

  void SetSink(Sink sink) { sink_ = std::move(sink); }
  void SetIgnoreSink(IgnoreSink sink) { ignored_ = std::move(sink); }

  // True for the serial line: answers are a byte stream, a refusal is
  // repeated like silence and a data answer carries a checked frame. False
  // for UDP: one datagram is one answer.
  virtual bool Stream() const = 0;

  // Opens the line (a serial port; UDP needs nothing). Throws with a message
  // (ECommsError) when it cannot.
  virtual void Open() {}
  // Closes it; harmless when closed.
  virtual void Close() {}
  virtual bool IsOpen() const { return true; }
  // True when closing this link writes the engine's trace file.
  virtual bool KeepsTrace() const { return false; }
  // True once the line went away (hang-up) until it is opened again.
  virtual bool Gone() const { return false; }

  // Milliseconds on the transport's clock (monotonic; virtual for tests).
  virtual std::int64_t NowMs() const = 0;

  // Hands over whatever already arrived (it is not an answer to what is sent
  // next); never waits.
  virtual void Flush() = 0;
  // Hands one 261-byte packet to the line. Throws on a transport error (UDP).
  virtual void Send(const std::uint8_t* packet) = 0;
  // After Send: waits until the request has left (serial: at most holdMs
  // while the scale's XOFF holds it; the request is withdrawn after that),
  // then up to intervalMs until done(). Received bytes reach the sink meanwhile.
  virtual WaitEnd Wait(int intervalMs, int holdMs, const Done& done) = 0;
  // Keeps receiving for up to ms, or until done(); Answer when done() held,
  // Hangup when the line went away, else Timeout.
  virtual WaitEnd Listen(int ms, const Done& done) = 0;
  // The serial line speed for the next request (ignored by UDP).
  virtual void SetLineSpeed(std::uint32_t /*bps*/) {}

 protected:
  void Deliver(const std::uint8_t* data, std::size_t length, bool fresh) {
    if (sink_) sink_(data, length, fresh);
  }
  void Ignore(const std::string& what) {
    if (ignored_) ignored_(what);
  }

 private:
  Sink sink_;
  IgnoreSink ignored_;
};

}  // namespace facset
