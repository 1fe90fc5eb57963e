// Sending UDP datagrams, for the replay of a udp capture.
//
// `resolve_ipv4` turns a host name or a dotted address into one IPv4 address (the first the system
// gives), or the resolver's own words for why it cannot. `open_udp_sender` makes an IPv4 socket
// that is not bound (the system picks the source port at the first send) and may send to a
// broadcast address, so that a capture of broadcasts can be replayed as broadcasts.
// `send_datagram` sends one datagram whole or fails with the OS error code (`io_error_text`).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "platform/udp_socket.h"

namespace kelp {

struct Ipv4Endpoint {
  std::uint32_t address = 0;  // host byte order: 127.0.0.1 is 0x7F000001
  std::uint16_t port = 0;
};

std::expected<std::uint32_t, std::string> resolve_ipv4(const std::string& host);
std::expected<UdpSocket, int> open_udp_sender();
std::expected<void, int> send_datagram(UdpSocket& socket, const Ipv4Endpoint& to,
                                       std::span<const std::uint8_t> payload);

}  // namespace kelp
