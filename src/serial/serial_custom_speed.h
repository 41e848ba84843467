#pragma once
#include <cstdint>

namespace facset::serial_detail {

// Sets a line speed that has no B-constant (termios2 with BOTHER). Separate
// from the termios code because the two kernel/libc headers cannot meet in one
// file. Returns false when the driver refuses.
bool SetCustomSpeed(int fd, std::uint32_t baud);

}  // namespace facset::serial_detail
