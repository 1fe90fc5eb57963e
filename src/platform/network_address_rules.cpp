#include <algorithm>

#include "platform/network_addresses.h"

namespace kelp {

bool usable_network_address(std::span<const std::uint8_t> bytes) {
  if (bytes.size() == 4) {
    const bool unspecified = std::all_of(bytes.begin(), bytes.end(), [](auto b) { return b == 0; });
    const bool loopback = bytes[0] == 127;
    const bool link_local = bytes[0] == 169 && bytes[1] == 254;
    return !unspecified && !loopback && !link_local;
  }
  if (bytes.size() != 16) return false;
  const bool zero_prefix =
      std::all_of(bytes.begin(), bytes.begin() + 10, [](auto b) { return b == 0; });
  const bool unspecified_or_loopback = zero_prefix && bytes[10] == 0 && bytes[11] == 0 &&
                                       bytes[12] == 0 && bytes[13] == 0 && bytes[14] == 0 &&
                                       bytes[15] <= 1;
  const bool v4_mapped = zero_prefix && bytes[10] == 0xff && bytes[11] == 0xff;
  const bool link_local = bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
  return !unspecified_or_loopback && !v4_mapped && !link_local;
}

std::vector<NetworkAddress> ordered_network_addresses(std::vector<NetworkAddress> found) {
  std::vector<NetworkAddress> ordered;
  for (const bool ipv6 : {false, true}) {
    for (auto& entry : found) {
      if (entry.ipv6 != ipv6) continue;
      const bool known = std::any_of(ordered.begin(), ordered.end(), [&](const NetworkAddress& o) {
        return o.address == entry.address;
      });
      if (!known) ordered.push_back(std::move(entry));
    }
  }
  return ordered;
}

}  // namespace kelp
