// Windows code page 1252 read as Unicode, for the text files other programs on a meet computer
// write (Meet Manager's start lists).
//
// 0x00-0x7F are ASCII and 0xA0-0xFF are U+00A0-U+00FF as in Latin-1, but 0x80-0x9F are not
// Latin-1's control characters: they hold typographic marks and letters (0x92 is U+2019 ’, 0x80
// U+20AC €, 0x8A U+0160 Š). The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) stand for no character in any text a Windows program writes: each becomes U+FFFD,
// so that a damaged byte shows as damaged and never as a control character.
#pragma once

#include <string>

#include "text/bytes.h"

namespace kelp {

char32_t cp1252_code_point(std::uint8_t byte);

// The bytes as UTF-8 (always valid UTF-8: each byte gives one character).
std::string cp1252_to_utf8(ByteView bytes);

}  // namespace kelp
