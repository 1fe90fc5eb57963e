// macOS serial drivers take no low-latency request through termios: the latency timer of an
// adapter stays what its driver set.
#include "serial/low_latency.h"
#include "serial/serial.h"

namespace kelp {

bool request_low_latency(std::intptr_t) { return false; }

void restore_serial_latency(std::intptr_t) {}

}  // namespace kelp
