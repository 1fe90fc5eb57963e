// Building pcapng files, the capture format that Wireshark and tshark open.
//
// A file is a section header block, one interface description block per interface (numbered
// from 0 in the order they are written), then one enhanced packet block per packet. Everything is
// written little-endian; time stamps are microseconds since 1970-01-01 00:00 UTC, the
// interfaces' default resolution.
//
// Packet data in the two link types the tool exports:
//   - IPv4 (LINKTYPE_IPV4): a 20-byte IPv4 header, an 8-byte UDP header and the payload, so that
//     Wireshark's UDP dissection and "Follow UDP Stream" work;
//   - serial line (LINKTYPE_RTAC_SERIAL): a 12-byte header (time, event type, control lines) and
//     the bytes seen on the line; the event type says which way they went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "text/bytes.h"

namespace kelp {

inline constexpr std::uint16_t LINKTYPE_IPV4 = 228;
inline constexpr std::uint16_t LINKTYPE_RTAC_SERIAL = 250;

// The largest UDP payload an IPv4 packet can carry: 65,535 less the two headers.
inline constexpr std::size_t MAX_UDP_PAYLOAD = 65535 - 20 - 8;

enum class Direction { Inbound, Outbound };

// Each function appends one block to `out`.
void append_section_header(std::string& out, std::string_view application,
                           std::span<const std::string> comments);
void append_interface(std::string& out, std::uint16_t link_type, std::string_view name,
                      std::string_view description);
void append_packet(std::string& out, std::uint32_t interface, std::uint64_t microseconds,
                   ByteView data, Direction direction);

// An IPv4 packet holding one UDP datagram; the payload must fit (MAX_UDP_PAYLOAD). The UDP
// checksum is left at 0 ("not computed"), which IPv4 allows.
std::string ipv4_udp_packet(std::uint32_t source, std::uint16_t source_port,
                            std::uint32_t destination, std::uint16_t destination_port,
                            std::uint16_t identification, ByteView payload);

// The serial line header and the bytes: event type 0x01 for data the capturing side transmitted,
// 0x02 for data it received; no control line is shown as set.
std::string serial_line_packet(std::uint64_t microseconds, Direction direction, ByteView payload);

}  // namespace kelp
