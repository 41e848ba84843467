#include "serial/serial_termios.h"

namespace facset::serial_detail {

speed_t StandardSpeed(std::uint32_t baud) {
  struct Entry {
    std::uint32_t baud;
    speed_t code;
  };
  static constexpr Entry kTable[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& e : kTable)
    if (e.baud == baud) return e.code;
  return B0;
}

void MakeLineTermios(termios& t, const LineSettings& s) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR |
                 IUCLC | IMAXBEL | IUTF8);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN | TOSTOP);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  // CLOCAL: a dropped carrier is reported, it does not hang the port up.
  t.c_cflag |= CREAD | CLOCAL | HUPCL;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[static_cast<int>(s.byteSize) & 3];
  switch (s.parity) {
    case TParity::None: break;
    case TParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TParity::Even: t.c_cflag |= PARENB; break;
    case TParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  // Errors are marked so the receive thread can hand the character on as it
  // came, or replace it.
  if (s.parityCheck) t.c_iflag |= INPCK | PARMRK;
  // termios has no 1.5: two stop bits is what an 8250-type UART sends as 1.5
  // with 5 data bits, and never too short for the receiver otherwise.
  if (s.stopBits != TStopBits::_1) t.c_cflag |= CSTOPB;
  if (s.xonOut) t.c_iflag |= IXON;
  if (s.xonIn) t.c_iflag |= IXOFF;
  if (s.ctsFlow) t.c_cflag |= CRTSCTS;
  t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
  t.c_cc[VMIN] = 1;  // with O_NONBLOCK, a read of 0 then means the line is gone
  t.c_cc[VTIME] = 0;

  const speed_t speed = StandardSpeed(s.baudRate);
  if (speed != B0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
}

std::uint32_t BitsPerChar(const LineSettings& s) {
  return 1 + (static_cast<std::uint32_t>(s.byteSize) + 5) + (s.parity != TParity::None ? 1 : 0) +
         (s.stopBits == TStopBits::_1 ? 1 : 2);
}

}  // namespace facset::serial_detail
