#pragma once
// The serial devices of this machine and the list names that reach them, for
// `facset-cli ports`. The mapping is a function of the directory listings so
// that it can be checked on any set of names.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ini_file.h"

namespace facset::cli {

struct PortInfo {
  std::string device;                 // "/dev/ttyUSB0"
  std::vector<std::string> listNames;  // "COM1", ...: the names --com resolves to it
  std::vector<std::string> byId;       // names in /dev/serial/by-id that point to it
  int openError = 0;                   // errno of a read-write open check; 0 = this user may open it
};

// The serial devices among `devNames` (the names in /dev: ttyS*, ttyUSB*,
// ttyACM*), in natural order (ttyS2 before ttyS10). `byId` holds the entries
// of /dev/serial/by-id with the device each one resolves to. A list name maps
// to a device through the "serial" section of `config` (a by-id path counts as
// its device) or by default COMn to /dev/ttyS(n-1). `openError` gives the
// errno of an access check for a device path.
std::vector<PortInfo> ListSerialPorts(const std::vector<std::string>& devNames,
                                      const std::vector<std::pair<std::string, std::string>>& byId,
                                      const IniFile* config, const std::function<int(const std::string&)>& openError);

// Highest n of the COMn names looked up.
inline constexpr int kMaxListedCom = 256;

}  // namespace facset::cli
