#include "serial_custom_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace facset::serial_detail {

bool SetCustomSpeed(int fd, std::uint32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace facset::serial_detail
