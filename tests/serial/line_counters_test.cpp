// Driver counters turned into line-error flags and modem codes.

#include <gtest/gtest.h>

#include <functional>

#include "serial/serial_comm.h"
#include "serial/serial_threads.h"

namespace facset::serial_detail {
namespace {

TEST(SerialLineCounters, ChangesMapToFlagsAndCodes) {
  struct Case {
    const char* label;
    std::function<void(serial_icounter_struct&)> bump;
    std::uint32_t errors, modem;
  };
  const Case cases[] = {
      {"nothing changed", [](serial_icounter_struct&) {}, 0, 0},
      {"received bytes and CTS alone", [](serial_icounter_struct& c) { c.rx += 100, c.tx += 5, c.cts += 1; }, 0, 0},
      {"framing", [](serial_icounter_struct& c) { ++c.frame; }, CE_FRAME, 0},
      {"parity", [](serial_icounter_struct& c) { ++c.parity; }, CE_RXPARITY, 0},
      {"UART overrun", [](serial_icounter_struct& c) { ++c.overrun; }, CE_OVERRUN, 0},
      {"buffer overrun", [](serial_icounter_struct& c) { ++c.buf_overrun; }, CE_RXOVER, 0},
      {"break with framing", [](serial_icounter_struct& c) { ++c.brk, ++c.frame; }, CE_BREAK | CE_FRAME, 0},
      {"carrier detect", [](serial_icounter_struct& c) { ++c.dcd; }, 0, 8},
      {"ring", [](serial_icounter_struct& c) { ++c.rng; }, 0, 4},
      {"carrier and ring together", [](serial_icounter_struct& c) { ++c.dcd, ++c.rng; }, 0, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    serial_icounter_struct before{};
    before.frame = 7;
    before.dcd = 3;
    serial_icounter_struct now = before;
    c.bump(now);
    std::uint32_t errors = 99, modem = 99;
    CompareLineCounters(before, now, errors, modem);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(modem, c.modem);
  }
  EXPECT_EQ(CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK, 0x1Fu);
}

}  // namespace
}  // namespace facset::serial_detail
