// Line speeds that the classic termios speed constants cannot express.
//
// `set_custom_baud` asks the driver of an open terminal for an arbitrary rate in bits per second,
// leaving every other setting of the line as it is. It gives 0 on success or the errno of the
// refusal. Only the POSIX serial code calls it, after the rest of the line settings are applied.
#pragma once

#include <cstdint>

namespace kelp {

int set_custom_baud(int fd, std::uint32_t baud);

}  // namespace kelp
