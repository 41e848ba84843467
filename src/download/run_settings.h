#pragma once
// Settings of a download run that the window and facset-cli read the same way.

#include <chrono>
#include <cstdint>
#include <string>

namespace facset {

inline constexpr const char* kScaleUdpPortEnv = "FACSET_SCALE_UDP_PORT";

// FACSET_SCALE_UDP_PORT: unset or empty gives port 0 (use the scale's port);
// otherwise it must be a decimal number 1..65535 and nothing else, or `error`
// says why and port is 0.
struct UdpPortSetting {
  int port = 0;
  std::string error;
};
UdpPortSetting ReadScaleUdpPortEnv();

// A progress text is shown at most every 50 ms; the last one always lands
// (the caller shows what is pending when the run ends).
class ProgressThrottle {
 public:
  static constexpr std::chrono::milliseconds kInterval{50};
  // True when a text may be shown now; then counts it as shown.
  bool Due() {
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < kInterval) return false;
    shown_ = true;
    last_ = now;
    return true;
  }

 private:
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// What a person reads about a running upgrade: `sent` of `toSend` blocks
// after `seconds`. Rate and time left stay empty until a block has gone out.
struct ProgressFigures {
  int percent = 0;
  std::string blocks;  // "12/480"
  std::string rate;    // "3.4 KiB/s"
  std::string left;    // "2:05"
};
ProgressFigures FigureProgress(std::int64_t sent, std::int64_t toSend, double seconds);

}  // namespace facset
