// Catalog formats and serial port names.
#include <gtest/gtest.h>

#include <fstream>

#include "download/catalog_format.h"
#include "download/serial_names.h"
#include "sim_process.h"

namespace facset {
namespace {

TEST(FormatCatalog, ConversionsOfTheCatalogAndHostileTexts) {
  struct Case {
    const char* format;
    std::initializer_list<std::int64_t> args;
    const char* expected;
  };
  const Case cases[] = {
      {"update(%d/%d)", {1, 300}, "update(1/300)"},
      {"Program Version: V%4.4d Program Verification Word:%4.4x", {0, 0},
       "Program Version: V0000 Program Verification Word:0000"},
      {"%4.4x|%x|%X", {0xbeef, 0xab, 10}, "BEEF|AB|A"},
      {"[%5d][%-5d][%05d][%.3d]", {42, 42, -42, 7}, "[   42][42   ][-0042][007]"},
      {"100%% %d", {5}, "100% 5"},
      // Translators' slips: unknown conversions, too few arguments, a text
      // that would crash printf, an absurd width.
      {"%s %n %d %d", {1}, "%s %n 1 %d"},
      {"%", {}, "%"},
      {"%99999999d", {1}, "                                                               1"},
      {"%d", {-9223372036854775807LL - 1}, "-9223372036854775808"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatCatalog(c.format, c.args), c.expected) << c.format;
}

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
