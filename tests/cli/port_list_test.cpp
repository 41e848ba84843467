#include "port_list.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/temp_files.h"

namespace facset::cli {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;

std::vector<std::string> Field(const std::vector<PortInfo>& ports, std::vector<std::string> PortInfo::*f,
                               const std::string& device) {
  for (const PortInfo& p : ports) {
    if (p.device == device) return p.*f;
  }
  return {"<no such device>"};
}

TEST(PortList, DevicesInNaturalOrderWithTheirListNames) {
  TempDir dir;
  WriteFileBytes(dir / "facconfig.ini",
                 "[serial]\r\nCOM1=/dev/ttyUSB0\r\nCOM3=/dev/serial/by-id/usb-FTDI_X-if00\r\nCOM9= \r\n");
  IniFile config(dir / "facconfig.ini");
  const std::vector<std::string> dev = {"ttyS10", "null", "ttyUSB0", "ttyS0", "ttyS2", "ttyACM0", "ttyS",
                                        "ttySx1", "tty0",  "ttyUSB1", "ttyS8"};
  const std::vector<std::pair<std::string, std::string>> byId = {{"usb-FTDI_X-if00", "/dev/ttyUSB1"},
                                                                 {"usb-Other-if00", "/dev/ttyACM0"}};
  const auto ports = ListSerialPorts(dev, byId, &config, [](const std::string& d) {
    return d == "/dev/ttyACM0" ? EACCES : 0;
  });
  std::vector<std::string> devices;
  for (const auto& p : ports) devices.push_back(p.device);
  EXPECT_EQ(devices, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS2", "/dev/ttyS8",
                                               "/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
  const struct {
    std::string device;
    std::vector<std::string> names;
  } cases[] = {
      {"/dev/ttyS0", {}},                // COM1 is mapped elsewhere
      {"/dev/ttyUSB0", {"COM1"}},        // by the configuration
      {"/dev/ttyUSB1", {"COM3"}},        // through its by-id name
      {"/dev/ttyS2", {}},                // COM3 is mapped elsewhere
      {"/dev/ttyS8", {"COM9"}},          // a blank mapping keeps the default
      {"/dev/ttyS10", {"COM11"}},
      {"/dev/ttyACM0", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Field(ports, &PortInfo::listNames, c.device), c.names) << c.device;
  EXPECT_EQ(Field(ports, &PortInfo::byId, "/dev/ttyUSB1"), std::vector<std::string>{"usb-FTDI_X-if00"});
  EXPECT_EQ(ports[0].openError, EACCES);
  EXPECT_EQ(ports[1].openError, 0);

  // Without a configuration every COMn is /dev/ttyS(n-1).
  const auto plain = ListSerialPorts({"ttyS0", "ttyUSB0"}, {}, nullptr, [](const std::string&) { return 0; });
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].listNames, std::vector<std::string>{"COM1"});
  EXPECT_TRUE(plain[1].listNames.empty());
}

}  // namespace
}  // namespace facset::cli
