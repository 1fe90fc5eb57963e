#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which declare the address types the adapter list holds.
#include <iphlpapi.h>

#include <span>
#include <vector>

#include "platform/network_addresses.h"
#include "platform/winsock_start.h"

namespace kelp {

std::vector<NetworkAddress> network_addresses() {
  if (!start_winsock()) return {};
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list's size is known only once asked; it may grow between two calls.
  std::vector<unsigned char> buffer(16 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return {};
  std::vector<NetworkAddress> found;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const sockaddr* socket_address = unicast->Address.lpSockaddr;
      if (socket_address == nullptr) continue;
      const int family = socket_address->sa_family;
      const void* address = nullptr;
      std::size_t bytes = 0;
      if (family == AF_INET) {
        address = &reinterpret_cast<const sockaddr_in*>(socket_address)->sin_addr;
        bytes = 4;
      } else if (family == AF_INET6) {
        address = &reinterpret_cast<const sockaddr_in6*>(socket_address)->sin6_addr;
        bytes = 16;
      } else {
        continue;
      }
      if (!usable_network_address({static_cast<const std::uint8_t*>(address), bytes})) continue;
      char text[INET6_ADDRSTRLEN] = {};
      if (inet_ntop(family, address, text, sizeof text) != nullptr) {
        found.push_back({text, family == AF_INET6});
      }
    }
  }
  return ordered_network_addresses(std::move(found));
}

}  // namespace kelp
