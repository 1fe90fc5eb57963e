// The one quoting rule of the tool: a text in double quotes that a reader can copy back.
//
// Inside the quotes a backslash and a double quote are escaped with a backslash, TAB, CR, LF and
// NUL become \t, \r, \n and \0, and every other control character (U+0001..U+001F, U+007F..U+009F),
// every character that is not printable and every combining mark becomes \u{hex}, the code point
// in lower-case hex without leading zeros (ESC is \u{1b}). Everything else, U+FFFD and printable
// non-ASCII included, stands for itself. Ill-formed UTF-8 is quoted as U+FFFD per maximal
// ill-formed subpart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelp {

std::string quoted(std::string_view text);

// Writes the quoted text at `o` and returns the byte after it; `o` must have room for
// text.size() * QUOTED_GROWTH + 2 bytes.
char* put_quoted(char* o, std::string_view text);

// "\u{1b}": at most six bytes out per byte in, plus the two quotes.
inline constexpr std::size_t QUOTED_GROWTH = 6;

}  // namespace kelp
