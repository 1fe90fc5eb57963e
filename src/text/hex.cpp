#include "text/hex.h"

#include "text/append.h"

namespace kelp {

std::string hex_string(ByteView bytes) {
  std::string out;
  if (bytes.empty()) return out;
  append_bounded(out, bytes.size() * 3, [bytes](char* o) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i != 0) *o++ = ' ';
      o = put_hex_byte(o, bytes[i]);
    }
    return o;
  });
  return out;
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint16_t> parse_hex_u16(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    const int digit = hex_digit_value(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace kelp
