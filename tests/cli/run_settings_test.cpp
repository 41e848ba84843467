#include "download/run_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace facset {
namespace {

TEST(ScaleUdpPortEnv, StrictDecimalPortOrAReason) {
  const struct {
    const char* value;  // nullptr: unset
    int port;
    bool error;
  } cases[] = {
      {nullptr, 0, false}, {"", 0, false},      {"5001", 5001, false}, {"1", 1, false},
      {"65535", 65535, false}, {"0", 0, true},  {"65536", 0, true},    {"99999999999999999999", 0, true},
      {"50x", 0, true},    {" 5001", 0, true}, {"+5001", 0, true},    {"-1", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    if (c.value) {
      ::setenv(kScaleUdpPortEnv, c.value, 1);
    } else {
      ::unsetenv(kScaleUdpPortEnv);
    }
    const UdpPortSetting s = ReadScaleUdpPortEnv();
    EXPECT_EQ(s.port, c.port);
    EXPECT_EQ(!s.error.empty(), c.error) << s.error;
    if (c.error) {
      EXPECT_NE(s.error.find(c.value), std::string::npos);
    }
  }
  ::unsetenv(kScaleUdpPortEnv);
}

}  // namespace
}  // namespace facset
