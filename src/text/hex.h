// Hexadecimal digits, both ways: bytes shown as "53 57 0d 0a" and hex text read back as numbers.
//
// Output is always lower case. The number readers take either case; `bytes_from_hex_string` takes
// only what `hex_string` writes. No prefix ("0x"), sign or stray white space is accepted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/bytes.h"

namespace kelp {

inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Writes the two lower-case digits of `b` at `o` and returns the byte after them.
inline char* put_hex_byte(char* o, std::uint8_t b) {
  *o++ = HEX_DIGITS[b >> 4];
  *o++ = HEX_DIGITS[b & 0x0F];
  return o;
}

// "53 57 0d 0a": two lower-case hex digits per byte, single spaces, nothing else.
std::string hex_string(ByteView bytes);

// The inverse of `hex_string`: the bytes of a text in exactly that form (lower-case digit pairs
// joined by single spaces; "" gives no bytes), nothing for any other text. Being this strict is
// what lets a reader tell a complete hex line from a damaged one.
std::optional<std::vector<std::uint8_t>> bytes_from_hex_string(std::string_view text);

// The value of one hex digit (0-9, a-f, A-F), or -1.
int hex_digit_value(char c);

// The number that `text` spells in hex digits alone, when it fits in 16 bits.
std::optional<std::uint16_t> parse_hex_u16(std::string_view text);

}  // namespace kelp
