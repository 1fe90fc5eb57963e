// The low-latency flag of a Linux tty (TIOCGSERIAL/TIOCSSERIAL). The flag is one of the few that a
// user without privileges may change; ftdi_sio turns it into a latency timer of 1 ms and, when
// it is cleared, back to the timer the port had (its sysfs `latency_timer`).
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial/low_latency.h"
#include "serial/serial.h"

namespace kelp {

namespace {

bool serial_request(int fd, unsigned long request, serial_struct& info) {
  for (;;) {
    if (::ioctl(fd, request, &info) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool request_low_latency(std::intptr_t native) {
  const int fd = static_cast<int>(native);
  serial_struct info{};
  // The flags are an int and the flag an unsigned: the sign is changed on purpose, both ways.
  if (!serial_request(fd, TIOCGSERIAL, info) ||
      (static_cast<unsigned>(info.flags) & ASYNC_LOW_LATENCY) != 0) {
    return false;
  }
  info.flags = static_cast<int>(static_cast<unsigned>(info.flags) | ASYNC_LOW_LATENCY);
  return serial_request(fd, TIOCSSERIAL, info);
}

void restore_serial_latency(std::intptr_t native) {
  const int fd = static_cast<int>(native);
  serial_struct info{};
  if (!serial_request(fd, TIOCGSERIAL, info) ||
      (static_cast<unsigned>(info.flags) & ASYNC_LOW_LATENCY) == 0) {
    return;
  }
  info.flags = static_cast<int>(static_cast<unsigned>(info.flags) & ~ASYNC_LOW_LATENCY);
  (void)serial_request(fd, TIOCSSERIAL, info);
}

}  // namespace kelp
