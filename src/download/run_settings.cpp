#include "download/run_settings.h"

#include <cstdio>
#include <cstdlib>

namespace facset {

UdpPortSetting ReadScaleUdpPortEnv() {
  UdpPortSetting s;
  const char* env = std::getenv(kScaleUdpPortEnv);
  if (env == nullptr || *env == '\0') return s;
  long v = 0;
  bool digits = true;
  for (const char* p = env; *p; ++p) {
    if (*p < '0' || *p > '9') {
      digits = false;
      break;
    }
    v = v * 10 + (*p - '0');
    if (v > 65535) break;
  }
  if (!digits || v < 1 || v > 65535) {
    s.error = std::string(kScaleUdpPortEnv) + " is not a port number: " + env;
    return s;
  }
  s.port = static_cast<int>(v);
  return s;
}

ProgressFigures FigureProgress(std::int64_t sent, std::int64_t toSend, double seconds) {
  ProgressFigures f;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld/%lld", static_cast<long long>(sent), static_cast<long long>(toSend));
  f.blocks = buf;
  if (toSend > 0) f.percent = static_cast<int>(sent * 100 / toSend);
  const double rate = seconds > 0 ? static_cast<double>(sent) * 256 / seconds : 0;
  if (rate > 0) {
    const auto left = static_cast<long long>(static_cast<double>(toSend - sent) * 256 / rate + 0.5);
    std::snprintf(buf, sizeof buf, "%.1f KiB/s", rate / 1024);
    f.rate = buf;
    std::snprintf(buf, sizeof buf, "%lld:%02lld", left / 60, left % 60);
    f.left = buf;
  }
  return f;
}

}  // namespace facset
