#include <windows.h>
#include <winsock2.h>

#include "platform/listen_socket.h"

namespace kelp {

void prepare_listening_socket(std::intptr_t native) {
  const SOCKET s = static_cast<SOCKET>(native);
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace kelp
