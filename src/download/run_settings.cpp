#include "download/run_settings.h"

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

}  // namespace facset
