// Arbitrary line speeds on macOS through IOSSIOSPEED.
//
// The rate set this way holds until the next tcsetattr, so it is applied after the other line
// settings.
#include <sys/ioctl.h>
#include <termios.h>
#if __has_include(<IOKit/serial/ioss.h>)
#include <IOKit/serial/ioss.h>
#else
// Cross-compilers' macOS headers lack IOKit; the request code is a fixed part of the kernel ABI.
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

#include <cerrno>

#include "serial/baud.h"

namespace kelp {

int set_custom_baud(int fd, std::uint32_t baud) {
  speed_t speed = baud;
  while (::ioctl(fd, IOSSIOSPEED, &speed) == -1) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace kelp
