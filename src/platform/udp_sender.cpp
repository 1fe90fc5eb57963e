#include "platform/udp_sender.h"

namespace kelp {

std::expected<UdpSocket, int> open_udp_sender() {
  auto socket = open_udp_socket();
  // A capture of broadcasts is replayed as broadcasts.
  if (socket) (void)enable_broadcast(*socket);
  return socket;
}

}  // namespace kelp
