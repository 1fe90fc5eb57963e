// Captured bytes as text a person can read.
//
// `decode_text` makes valid UTF-8 of any bytes: every maximal ill-formed subpart becomes one
// U+FFFD, and valid input comes out unchanged. `escape_text` then spells out the control
// characters, so that nothing from the wire can act on a terminal: control characters other than
// TAB, LF and CR become \xNN, then LF becomes \n and CR \r. Its result holds no control character
// but TAB.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text/bytes.h"

namespace kelp {

std::string decode_text(ByteView bytes);
std::string escape_text(std::string_view text);

// escape_text of `text` added to `out`, for renderings that build one large text.
void append_escaped(std::string& out, std::string_view text);

// The escaped text is at most this many times as long as the text ("\x1b" for ESC).
inline constexpr std::size_t ESCAPE_GROWTH = 4;

}  // namespace kelp
