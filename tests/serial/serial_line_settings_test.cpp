// Line settings as the driver sees them: read back on the far side of the pty
// (master and slave share one set of termios).

#include <termios.h>

#include <functional>

#include <gtest/gtest.h>

#include "pty_fixture.h"
#include "serial/serial_comm.h"
#include "serial/serial_termios.h"

namespace facset {
namespace {

using testing::Pty;

// The kernel's code for "speed given in numbers" (BOTHER), which libc's
// termios does not name.
constexpr speed_t kCustomSpeed = 0010000;

TEST(SerialLineSettings, OpenAppliesRawModeAndFlowControl) {
  Pty pty;
  TComm comm;
  comm.SetCommName(pty.path());
  comm.SetXonChar(0x01);
  comm.SetXoffChar(0x02);
  comm.OpenPort();
  const termios t = pty.Attr();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF)) << "XON/XOFF both ways by default";
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
}

// Framing as written to the driver. A pty forces 8 data bits and drops
// PARENB, so this is checked on the termios image itself.
TEST(SerialLineSettings, FramingMapsOntoTermios) {
  using serial_detail::LineSettings;
  struct Case {
    const char* label;
    std::function<void(LineSettings&)> set;
    tcflag_t expected;  // under CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    std::uint32_t bits;
  };
  const Case cases[] = {
      {"8N1", [](LineSettings&) {}, CS8, 10},
      {"5 data bits", [](LineSettings& l) { l.byteSize = TByteSize::_5; }, CS5, 7},
      {"6 data bits", [](LineSettings& l) { l.byteSize = TByteSize::_6; }, CS6, 8},
      {"7 data bits", [](LineSettings& l) { l.byteSize = TByteSize::_7; }, CS7, 9},
      {"odd", [](LineSettings& l) { l.parity = TParity::Odd; }, CS8 | PARENB | PARODD, 11},
      {"even", [](LineSettings& l) { l.parity = TParity::Even; }, CS8 | PARENB, 11},
      {"mark", [](LineSettings& l) { l.parity = TParity::Mark; }, CS8 | PARENB | PARODD | CMSPAR, 11},
      {"space", [](LineSettings& l) { l.parity = TParity::Space; }, CS8 | PARENB | CMSPAR, 11},
      {"two stop bits", [](LineSettings& l) { l.stopBits = TStopBits::_2; }, CS8 | CSTOPB, 11},
      {"1.5 stop bits with 5 data bits",
       [](LineSettings& l) {
         l.stopBits = TStopBits::_1_5;
         l.byteSize = TByteSize::_5;
       },
       CS5 | CSTOPB, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LineSettings ls;
    c.set(ls);
    termios t{};
    t.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;  // leftovers of an earlier user
    t.c_iflag = ICRNL | IGNPAR | ISTRIP;
    t.c_lflag = ICANON | ECHO;
    serial_detail::MakeLineTermios(t, ls);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.expected);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IGNPAR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(serial_detail::BitsPerChar(ls), c.bits);
  }
}

// Flow control and error checking as the component's properties reach the port.
TEST(SerialLineSettings, FlowPropertiesReachThePort) {
  struct Case {
    const char* label;
    std::function<void(TComm&)> set;
    tcflag_t mask;
    tcflag_t expected;
    tcflag_t termios::*field;
  };
  const Case cases[] = {
      {"CTS output flow", [](TComm& c) { c.SetOutx_CtsFlow(true); }, CRTSCTS, CRTSCTS, &termios::c_cflag},
      {"RTS handshake", [](TComm& c) { c.SetRtsControl(TRtsControl::RtsHandshake); }, CRTSCTS, CRTSCTS,
       &termios::c_cflag},
      {"RTS disabled", [](TComm& c) { c.SetRtsControl(TRtsControl::RtsDisable); }, CRTSCTS, 0, &termios::c_cflag},
      {"parity check", [](TComm& c) { c.SetParityCheck(true); }, INPCK | PARMRK | IGNPAR, INPCK | PARMRK,
       &termios::c_iflag},
      {"no XON/XOFF out", [](TComm& c) { c.SetOutx_XonXoffFlow(false); }, IXON | IXOFF, IXOFF, &termios::c_iflag},
      {"no XON/XOFF in", [](TComm& c) { c.SetInx_XonXoffFlow(false); }, IXON | IXOFF, IXON, &termios::c_iflag},
      {"two stop bits", [](TComm& c) { c.SetStopBits(TStopBits::_2); }, CSTOPB, CSTOPB, &termios::c_cflag},
      {"odd parity (PARODD survives the pty)", [](TComm& c) { c.SetParity(TParity::Odd); }, PARODD | CMSPAR, PARODD,
       &termios::c_cflag},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Pty pty;
    TComm comm;
    comm.SetCommName(pty.path());
    c.set(comm);
    comm.OpenPort();
    const termios t = pty.Attr();
    EXPECT_EQ(t.*c.field & c.mask, c.expected);
  }
}

TEST(SerialLineSettings, SpeedsIncludingOnesWithoutAConstant) {
  struct Case {
    std::uint32_t baud;
    speed_t code;
  };
  for (const Case c : {Case{9600, B9600}, Case{19200, B19200}, Case{38400, B38400}, Case{57600, B57600},
                       Case{115200, B115200}, Case{250000, kCustomSpeed}}) {
    SCOPED_TRACE(c.baud);
    Pty pty;
    TComm comm;
    comm.SetCommName(pty.path());
    comm.SetBaudRate(c.baud);
    comm.OpenPort();
    termios t = pty.Attr();
    EXPECT_EQ(t.c_cflag & CBAUD, c.code);
  }
}

// A changed property re-applies the line settings on the open port; the same
// value does nothing; Parity waits for the next re-application.
TEST(SerialLineSettings, SettersReapplyOnAnOpenPort) {
  Pty pty;
  TComm comm;
  comm.SetCommName(pty.path());
  comm.OpenPort();
  comm.SetBaudRate(19200);
  termios t = pty.Attr();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));

  // Change the line behind the component's back: assigning the value it
  // already holds must not touch the port.
  cfsetospeed(&t, B4800);
  cfsetispeed(&t, B4800);
  ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
  comm.SetBaudRate(19200);
  t = pty.Attr();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));

  // (PARODD and CMSPAR show the parity: the pty driver clears PARENB.)
  comm.SetParity(TParity::Odd);
  t = pty.Attr();
  EXPECT_EQ(t.c_cflag & PARODD, 0u) << "Parity alone is only stored";
  comm.SetStopBits(TStopBits::_2);
  t = pty.Attr();
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200)) << "re-applied in full from all properties";

  comm.ClosePort();
  comm.SetParity(TParity::Space);
  comm.OpenPort();
  t = pty.Attr();
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(CMSPAR)) << "the next opening applies Parity";
}

}  // namespace
}  // namespace facset
