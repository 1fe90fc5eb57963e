// What a listening TCP socket needs from this platform before it is bound.
//
// `prepare_listening_socket` makes a restarted server get its port back at once while another
// program can never take a port that is in use: SO_REUSEADDR on POSIX (a closed connection's
// TIME_WAIT keeps no one from binding; a listening port still refuses a second bind), and
// SO_EXCLUSIVEADDRUSE on Windows, where SO_REUSEADDR would let a second program steal the port.
// The socket is also kept from programs started by this process. Failures are ignored: the
// socket then still works, with the system's defaults.
#pragma once

#include <cstdint>

namespace kelp {

void prepare_listening_socket(std::intptr_t native);

}  // namespace kelp
