#include "capture/pcapng.h"

namespace kelp {
namespace {

constexpr std::uint32_t SECTION_HEADER = 0x0A0D0D0A;
constexpr std::uint32_t INTERFACE_DESCRIPTION = 0x00000001;
constexpr std::uint32_t ENHANCED_PACKET = 0x00000006;
constexpr std::uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;

constexpr std::uint16_t OPT_END = 0;
constexpr std::uint16_t OPT_COMMENT = 1;
constexpr std::uint16_t SHB_USERAPPL = 4;
constexpr std::uint16_t IF_NAME = 2;
constexpr std::uint16_t IF_DESCRIPTION = 3;
constexpr std::uint16_t EPB_FLAGS = 2;

constexpr std::uint8_t EVENT_DATA_TRANSMITTED = 0x01;
constexpr std::uint8_t EVENT_DATA_RECEIVED = 0x02;

void put_le16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void put_le32(std::string& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void put_be16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xFF);
}

void put_be32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void pad_to_32_bits(std::string& out) {
  while (out.size() % 4 != 0) out += '\0';
}

// Option values longer than an option can say are cut; names and comments are far shorter.
void put_option(std::string& out, std::uint16_t code, std::string_view value) {
  if (value.size() > 0xFFFF) value = value.substr(0, 0xFFFF);
  put_le16(out, code);
  put_le16(out, static_cast<std::uint16_t>(value.size()));
  out += value;
  pad_to_32_bits(out);
}

// Every block: type, total length, body, total length again. `body` fills the middle.
template <typename Body>
void put_block(std::string& out, std::uint32_t type, Body body) {
  const std::size_t start = out.size();
  put_le32(out, type);
  put_le32(out, 0);  // the length, known at the end
  body();
  pad_to_32_bits(out);
  const auto length = static_cast<std::uint32_t>(out.size() - start + 4);
  put_le32(out, length);
  std::string first;
  put_le32(first, length);
  out.replace(start + 4, 4, first);
}

std::uint16_t ipv4_checksum(std::string_view header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < header.size(); i += 2) {
    sum += static_cast<std::uint32_t>(static_cast<std::uint8_t>(header[i]) << 8 |
                                      static_cast<std::uint8_t>(header[i + 1]));
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace

void append_section_header(std::string& out, std::string_view application,
                           std::span<const std::string> comments) {
  put_block(out, SECTION_HEADER, [&] {
    put_le32(out, BYTE_ORDER_MAGIC);
    put_le16(out, 1);  // version 1.0
    put_le16(out, 0);
    put_le32(out, 0xFFFFFFFF);  // section length not given
    put_le32(out, 0xFFFFFFFF);
    for (const std::string& comment : comments) put_option(out, OPT_COMMENT, comment);
    put_option(out, SHB_USERAPPL, application);
    put_option(out, OPT_END, "");
  });
}

void append_interface(std::string& out, std::uint16_t link_type, std::string_view name,
                      std::string_view description) {
  put_block(out, INTERFACE_DESCRIPTION, [&] {
    put_le16(out, link_type);
    put_le16(out, 0);  // reserved
    put_le32(out, 0);  // no snap length: every packet is whole
    put_option(out, IF_NAME, name);
    put_option(out, IF_DESCRIPTION, description);
    put_option(out, OPT_END, "");
  });
}

void append_packet(std::string& out, std::uint32_t interface, std::uint64_t microseconds,
                   ByteView data, Direction direction) {
  put_block(out, ENHANCED_PACKET, [&] {
    put_le32(out, interface);
    put_le32(out, static_cast<std::uint32_t>(microseconds >> 32));
    put_le32(out, static_cast<std::uint32_t>(microseconds & 0xFFFFFFFF));
    put_le32(out, static_cast<std::uint32_t>(data.size()));  // captured
    put_le32(out, static_cast<std::uint32_t>(data.size()));  // on the wire
    out += chars_of(data);
    pad_to_32_bits(out);
    // Bits 0-1 of the flags: 01 inbound, 10 outbound.
    std::string flags;
    put_le32(flags, direction == Direction::Inbound ? 1u : 2u);
    put_option(out, EPB_FLAGS, flags);
    put_option(out, OPT_END, "");
  });
}

std::string ipv4_udp_packet(std::uint32_t source, std::uint16_t source_port,
                            std::uint32_t destination, std::uint16_t destination_port,
                            std::uint16_t identification, ByteView payload) {
  constexpr std::uint8_t UDP = 17;
  constexpr std::uint8_t TTL = 64;
  const auto udp_length = static_cast<std::uint16_t>(8 + payload.size());
  std::string packet;
  packet.reserve(28 + payload.size());
  packet += static_cast<char>(0x45);  // version 4, header of 5 words
  packet += '\0';                     // type of service
  put_be16(packet, static_cast<std::uint16_t>(20 + udp_length));
  put_be16(packet, identification);
  put_be16(packet, 0);  // no fragments
  packet += static_cast<char>(TTL);
  packet += static_cast<char>(UDP);
  put_be16(packet, 0);  // checksum, below
  put_be32(packet, source);
  put_be32(packet, destination);
  const std::uint16_t checksum = ipv4_checksum(packet);
  packet[10] = static_cast<char>(checksum >> 8);
  packet[11] = static_cast<char>(checksum & 0xFF);
  put_be16(packet, source_port);
  put_be16(packet, destination_port);
  put_be16(packet, udp_length);
  put_be16(packet, 0);
  packet += chars_of(payload);
  return packet;
}

std::string serial_line_packet(std::uint64_t microseconds, Direction direction, ByteView payload) {
  std::string packet;
  packet.reserve(12 + payload.size());
  put_be32(packet, static_cast<std::uint32_t>(microseconds / 1000000));
  put_be32(packet, static_cast<std::uint32_t>(microseconds % 1000000));
  packet += static_cast<char>(direction == Direction::Outbound ? EVENT_DATA_TRANSMITTED
                                                               : EVENT_DATA_RECEIVED);
  packet += '\0';  // control lines: not recorded
  put_be16(packet, 0);
  packet += chars_of(payload);
  return packet;
}

}  // namespace kelp
