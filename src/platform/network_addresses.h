// The addresses by which other machines on the network can reach this one, for a server's
// banner when it listens on every address (0.0.0.0).
//
// `network_addresses` lists the IPv4 addresses of the interfaces that are up, then their IPv6
// addresses of global scope, each once, loopback and link-local addresses left out (a browser
// cannot open a link-local address without its interface). IPv6 addresses come without
// brackets: put them in [] for a URL. Empty when the system gives none or the query fails.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kelp {

struct NetworkAddress {
  std::string address;  // "192.168.1.20", "2001:db8::5"
  bool ipv6 = false;
};

std::vector<NetworkAddress> network_addresses();

// The rules both systems' lists follow. An address as its 4 or 16 bytes in network order is
// usable unless it is unspecified, loopback, link-local or an IPv4-mapped IPv6 address.
bool usable_network_address(std::span<const std::uint8_t> bytes);
// IPv4 first, then IPv6, each in the order found, each address once.
std::vector<NetworkAddress> ordered_network_addresses(std::vector<NetworkAddress> found);

}  // namespace kelp
