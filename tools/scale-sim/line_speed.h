#pragma once
#include <cstdint>

namespace facset::sim {

// The output speed of the terminal behind `fd` in bits per second, however it
// was set (B-constant or termios2 with BOTHER); 0 when it cannot be read.
// On a pseudo-terminal the master and the slave both report the slave's
// settings. Apart from the main file because <asm/termbits.h> and
// <termios.h> cannot meet in one file.
std::uint32_t LineSpeed(int fd);

}  // namespace facset::sim
