#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/system_error.h"
#include "platform/udp_sender.h"
#include "platform/winsock_start.h"
#include "text/utf16.h"

namespace kelp {

std::expected<std::uint32_t, std::string> resolve_ipv4(const std::string& host) {
  if (!start_winsock()) return std::unexpected(os_error_message(WSAGetLastError()));
  ADDRINFOW hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  ADDRINFOW* found = nullptr;
  const int status = GetAddrInfoW(wide_from_utf8(host).c_str(), nullptr, &hints, &found);
  if (status != 0) return std::unexpected(os_error_message(status));
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const std::uint32_t result = ntohl(address->sin_addr.s_addr);
  FreeAddrInfoW(found);
  return result;
}

std::expected<void, int> send_datagram(UdpSocket& socket, const Ipv4Endpoint& to,
                                       std::span<const std::uint8_t> payload) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(to.address);
  address.sin_port = htons(to.port);
  const int sent =
      sendto(static_cast<SOCKET>(socket.handle.native()),
             reinterpret_cast<const char*>(payload.data()), static_cast<int>(payload.size()), 0,
             reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (sent == SOCKET_ERROR) return std::unexpected(WSAGetLastError());
  return {};
}

}  // namespace kelp
