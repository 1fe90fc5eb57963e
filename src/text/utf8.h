// Decoding of one UTF-8 sequence, for the text decoder and the code point reader,
// so that both treat ill-formed input by the same rules.
//
// An ill-formed sequence is consumed up to its maximal subpart: the longest prefix of a
// well-formed sequence that is there (at least one byte), so that each such subpart can be
// replaced by one U+FFFD. The byte that breaks a sequence starts the next one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelp::utf8 {

struct Decoded {
  char32_t code_point;  // U+FFFD when not well-formed
  std::size_t length;   // bytes consumed, 1 to 4
  bool well_formed;
};

// `available` must be at least 1.
inline Decoded decode_one(const std::uint8_t* p, std::size_t available) {
  const std::uint8_t lead = p[0];
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  char32_t c = 0;
  // The second byte's range depends on the lead: that is what rules out overlong forms (E0, F0),
  // surrogates (ED) and values past U+10FFFF (F4).
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0xFFFD, 1, false};  // 80..C1 and F5..FF never start a sequence
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= available) return {0xFFFD, i, false};
    const std::uint8_t b = p[i];
    const bool fits = i == 1 ? (b >= low && b <= high) : (b & 0xC0) == 0x80;
    if (!fits) return {0xFFFD, i, false};
    c = (c << 6) | (b & 0x3Fu);
  }
  return {c, length, true};
}

}  // namespace kelp::utf8
