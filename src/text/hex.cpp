#include "text/hex.h"

#include "text/append.h"

namespace kelp {
namespace {

int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

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

std::optional<std::vector<std::uint8_t>> bytes_from_hex_string(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  if (text.empty()) return bytes;
  // n bytes take 3n - 1 characters.
  if (text.size() % 3 != 2) return std::nullopt;
  bytes.reserve((text.size() + 1) / 3);
  for (std::size_t i = 0; i < text.size(); i += 3) {
    const int high = lower_hex_value(text[i]);
    const int low = lower_hex_value(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    if (i + 2 < text.size() && text[i + 2] != ' ') return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
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
