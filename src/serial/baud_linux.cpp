// Arbitrary line speeds on Linux through termios2 and BOTHER.
//
// <asm/termbits.h> defines its own struct termios and speed macros, which clash with the C
// library's <termios.h>; that is why this lives in a translation unit of its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial/baud.h"

namespace kelp {

int set_custom_baud(int fd, std::uint32_t baud) {
  termios2 tio{};
  while (::ioctl(fd, TCGETS2, &tio) == -1) {
    if (errno != EINTR) return errno;
  }
  // The input speed field sits IBSHIFT bits up; both directions get the same rate.
  constexpr auto SPEED_BITS = static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag &= ~SPEED_BITS;
  tio.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  while (::ioctl(fd, TCSETS2, &tio) == -1) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace kelp
