// How captured bytes are shown to a person: as text, as hex and split into fields and lines.
//
// Everything here is a pure function of its input except `print_analysis`, which writes one
// chunk's analysis to the standard output in a single call.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelp {

using ByteView = std::span<const std::uint8_t>;

// UTF-8 decoding; every maximal ill-formed subpart becomes one U+FFFD. Valid input is unchanged.
std::string decode_text(ByteView bytes);

// Control characters other than TAB, LF and CR become \xNN; then LF becomes \n and CR \r. The
// result holds no control character but TAB.
std::string escape_text(std::string_view text);

// "53 57 0d 0a": two lower-case hex digits per byte, single spaces, nothing else.
std::string hex_string(ByteView bytes);

// The first 256 bytes as hex lines of 16 bytes.
std::vector<std::string> hex_block(ByteView bytes);

// Split at every `separator`; empty fields are kept (separators + 1 fields).
std::vector<std::string_view> split_fields(std::string_view text, char separator);

// Split into lines at LF (a CR before the LF is dropped); a final piece without LF is a line only
// when it is not empty.
std::vector<std::string_view> split_lines(std::string_view text);

// ["a", "b\t"]: each item in double quotes with backslash escapes for quotes, backslashes,
// control characters, unprintable characters and combining marks.
std::string quoted_list(std::span<const std::string_view> items);

// The console analysis of one chunk (header, TEXT, HEX and the field and line sections).
std::string format_analysis(std::string_view label, std::uint64_t n, std::string_view time,
                            ByteView bytes);
void print_analysis(std::string_view label, std::uint64_t n, std::string_view time, ByteView bytes);

}  // namespace kelp
