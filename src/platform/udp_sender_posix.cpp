#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/system_error.h"
#include "platform/udp_sender.h"

namespace kelp {

std::expected<std::uint32_t, std::string> resolve_ipv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    return std::unexpected(status == EAI_SYSTEM ? os_error_message(errno)
                                                : std::string(::gai_strerror(status)));
  }
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const std::uint32_t result = ntohl(address->sin_addr.s_addr);
  ::freeaddrinfo(found);
  return result;
}

std::expected<void, int> send_datagram(UdpSocket& socket, const Ipv4Endpoint& to,
                                       std::span<const std::uint8_t> payload) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(to.address);
  address.sin_port = htons(to.port);
  for (;;) {
    const ssize_t sent =
        ::sendto(static_cast<int>(socket.handle.native()), payload.data(), payload.size(), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent >= 0) return {};
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace kelp
