// The few Unicode facts the tool needs, from tables generated out of the Unicode data files
// (tools/gen_unicode_tables.py writes unicode_tables.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelp {

// Not printable: general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs other than U+0020.
bool is_unprintable(char32_t c);
// The Grapheme_Extend property (combining marks and the like).
bool is_grapheme_extend(char32_t c);
// The Alphabetic property, and the numeric categories Nd, Nl, No.
bool is_alphabetic(char32_t c);
bool is_numeric(char32_t c);
// The White_Space property.
bool is_white_space(char32_t c);

// Decodes the code point at `pos` and moves `pos` past it; an ill-formed sequence gives U+FFFD
// and moves past its maximal ill-formed subpart (at the end: U+FFFD, `pos` unchanged).
char32_t next_code_point(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t c);
bool is_valid_utf8(std::string_view bytes);

// Lower-casing for matching against ASCII words (parity words, preset names). Of all characters,
// only the ASCII capitals and U+212A KELVIN SIGN lower-case to ASCII letters alone, so these are
// mapped and everything else is kept, which matches exactly what full lower-casing would match.
std::string lower_for_matching(std::string_view text);

// Full case folding, the Unicode default for matching without regard to case: texts that differ
// only in the case of their letters, in any script, fold to the same text ("A5 02 ÄØ" and
// "a5 02 äø"; "STRASSE" and "straße"). Ill-formed UTF-8 becomes U+FFFD.
std::string fold_case(std::string_view text);
// The folding of one code point, added to `out` as UTF-8.
void append_case_folded(std::string& out, char32_t c);

// Removes leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

}  // namespace kelp
