#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace facset::sim {

std::uint32_t LineSpeed(int fd) {
  // The kernel fills c_ospeed for the classic speed codes too.
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

}  // namespace facset::sim
