// Serial port names.
#include <gtest/gtest.h>

#include <fstream>

#include "download/serial_names.h"
#include "support/sim_process.h"

namespace facset {
namespace {

TEST(SerialNames, ListNamesResolveToDevicesUnlessMapped) {
  testing::TempDir dir;
  const std::string cfg = dir.file("facconfig.ini");
  std::ofstream(cfg) << "[Serial]\r\ncom1 = /dev/ttyUSB0 \r\nCOM2=\r\n";
  const IniFile config(cfg);
  struct Case {
    const char* name;
    const IniFile* config;
    const char* device;
  };
  const Case cases[] = {
      {"COM1", &config, "/dev/ttyUSB0"},  // names and sections compare without case; value trimmed
      {"COM2", &config, "/dev/ttyS1"},    // blank mapping: the default
      {"COM16", &config, "/dev/ttyS15"},
      {"com9", nullptr, "/dev/ttyS8"},
      {"/dev/pts/7", &config, "/dev/pts/7"},
      {"COM0", nullptr, "COM0"},
  };
  for (const Case& c : cases) EXPECT_EQ(ResolveSerialDevice(c.name, c.config), c.device) << c.name;
  EXPECT_EQ(ComListText(0), "NONE");
  EXPECT_EQ(ComListText(6), "COM16");
  EXPECT_EQ(ComListText(7), "");
  EXPECT_EQ(ComListText(-1), "");
}

}  // namespace
}  // namespace facset
