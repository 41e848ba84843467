#pragma once
// The serial port list of the window keeps its fixed texts ("NONE", "COM1",
// ..., "COM16"; files store the index). On this system a name "COMn" means a
// device: /dev/ttyS(n-1), unless section "serial" of the tool configuration
// maps it elsewhere (COM1=/dev/ttyUSB0).

#include <array>
#include <string>
#include <string_view>

#include "platform/ini_file.h"

namespace facset {

// The list of CboxCom in index order; index 0 means no port chosen.
inline constexpr std::array<std::string_view, 7> kComList = {"NONE", "COM1", "COM2", "COM3", "COM9", "COM10",
                                                             "COM16"};
// The list text at `index`, "" outside the list.
std::string ComListText(int index);

inline constexpr std::string_view kSerialSection = "serial";

// n for "COMn" (letters in any case, n >= 1, no blanks), else 0.
int ComNumber(std::string_view name);

// Device path of a port name: the value of "serial"/name in `config` when it is
// not blank, else /dev/ttyS(n-1) for "COMn", else the name itself (a device
// path such as "/dev/ttyUSB0" is used as it is). `config` may be null.
std::string ResolveSerialDevice(std::string_view name, const IniFile* config);

}  // namespace facset
