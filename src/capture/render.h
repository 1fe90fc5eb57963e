// How one captured chunk is shown on the console: as text, as hex, and split into fields and
// lines.
//
// Everything here is a pure function of its input except `print_analysis`, which hands one
// chunk's analysis to the console as one piece (see platform/console.h). The byte-level rules it
// builds on (decoding, escaping, hex, quoting) are in src/text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/bytes.h"

namespace kelp {

inline constexpr std::size_t ALL = std::numeric_limits<std::size_t>::max();

// The first 256 bytes as hex lines of 16 bytes.
std::vector<std::string> hex_block(ByteView bytes);

// Split at every `separator`; empty fields are kept (separators + 1 fields). Only the first
// `limit` fields are made.
std::vector<std::string_view> split_fields(std::string_view text, char separator,
                                           std::size_t limit = ALL);

// Split into lines at LF (a CR before the LF is dropped); a final piece without LF is a line only
// when it is not empty. Only the first `limit` lines are made.
std::vector<std::string_view> split_lines(std::string_view text, std::size_t limit = ALL);

// ["a", "b\t"]: each item quoted by the tool's quoting rule, joined by ", ".
std::string quoted_list(std::span<const std::string_view> items);

// The console analysis of one chunk (header, TEXT, HEX and the field and line sections).
std::string format_analysis(std::string_view label, std::uint64_t n, std::string_view time,
                            ByteView bytes);
void print_analysis(std::string_view label, std::uint64_t n, std::string_view time, ByteView bytes);

}  // namespace kelp
