#pragma once
// The termios image of the component's line settings, kept apart from the
// device so that the mapping can be checked where no driver shows it whole
// (a pseudo-terminal forces 8 data bits and drops PARENB).

#include <termios.h>

#include <cstdint>

#include "serial/serial_comm.h"

namespace facset::serial_detail {

struct LineSettings {
  std::uint32_t baudRate = 9600;
  TByteSize byteSize = TByteSize::_8;
  TParity parity = TParity::None;
  TStopBits stopBits = TStopBits::_1;
  bool parityCheck = false;
  bool ctsFlow = false;  // CTS output flow, or RTS input handshake
  bool xonOut = true;
  bool xonIn = true;
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
};

// B-constant for a speed, or B0 when it has none.
speed_t StandardSpeed(std::uint32_t baud);

// Raw mode plus the settings, on top of what the port had. A speed without a
// B-constant leaves the speed fields alone (it is set with termios2 after).
void MakeLineTermios(termios& t, const LineSettings& s);

// Bits one character takes on the line, start and stop bits included.
std::uint32_t BitsPerChar(const LineSettings& s);

}  // namespace facset::serial_detail
