#include <fcntl.h>
#include <sys/socket.h>

#include "platform/listen_socket.h"

namespace kelp {

void prepare_listening_socket(std::intptr_t native) {
  const int fd = static_cast<int>(native);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace kelp
