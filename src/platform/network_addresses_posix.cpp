#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <span>

#include "platform/network_addresses.h"

namespace kelp {

std::vector<NetworkAddress> network_addresses() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return {};
  std::vector<NetworkAddress> found;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0) continue;
    const int family = entry->ifa_addr->sa_family;
    const void* address = nullptr;
    std::size_t size = 0;
    if (family == AF_INET) {
      address = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
      size = 4;
    } else if (family == AF_INET6) {
      address = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
      size = 16;
    } else {
      continue;
    }
    if (!usable_network_address({static_cast<const std::uint8_t*>(address), size})) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(family, address, text, sizeof text) != nullptr) {
      found.push_back({text, family == AF_INET6});
    }
  }
  freeifaddrs(interfaces);
  return ordered_network_addresses(std::move(found));
}

}  // namespace kelp
