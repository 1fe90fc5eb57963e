// Windows Sockets must be started once per process before any socket call. `start_winsock` does
// it at its first call and tells, then and later, whether it worked. Windows only.
#pragma once

namespace kelp {

bool start_winsock();

}  // namespace kelp
