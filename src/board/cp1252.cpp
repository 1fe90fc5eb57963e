#include "board/cp1252.h"

#include <array>

#include "text/unicode.h"

namespace kelp {
namespace {

constexpr char32_t UNDEFINED = 0xFFFD;

// 0x80-0x9F.
constexpr std::array<char32_t, 32> HIGH_CONTROLS_AREA = {
    0x20AC,    UNDEFINED, 0x201A, 0x0192, 0x201E, 0x2026,    0x2020, 0x2021,
    0x02C6,    0x2030,    0x0160, 0x2039, 0x0152, UNDEFINED, 0x017D, UNDEFINED,
    UNDEFINED, 0x2018,    0x2019, 0x201C, 0x201D, 0x2022,    0x2013, 0x2014,
    0x02DC,    0x2122,    0x0161, 0x203A, 0x0153, UNDEFINED, 0x017E, 0x0178,
};

}  // namespace

char32_t cp1252_code_point(std::uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return HIGH_CONTROLS_AREA[byte - 0x80];
  return byte;
}

std::string cp1252_to_utf8(ByteView bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const std::uint8_t byte : bytes) append_utf8(text, cp1252_code_point(byte));
  return text;
}

}  // namespace kelp
