#include "text/quote.h"

#include <cstdint>

#include "text/append.h"
#include "text/hex.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace kelp {

char* put_quoted(char* o, std::string_view text) {
  *o++ = '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char ch = text[pos];
    if (ch >= 0x20 && ch < 0x7F && ch != '"' && ch != '\\') {
      *o++ = ch;
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    const utf8::Decoded d = utf8::decode_one(
        reinterpret_cast<const std::uint8_t*>(text.data()) + pos, text.size() - pos);
    const char32_t c = d.code_point;
    pos += d.length;
    switch (c) {
      case U'\\':
        o = put(o, "\\\\");
        continue;
      case U'"':
        o = put(o, "\\\"");
        continue;
      case U'\t':
        o = put(o, "\\t");
        continue;
      case U'\r':
        o = put(o, "\\r");
        continue;
      case U'\n':
        o = put(o, "\\n");
        continue;
      case U'\0':
        o = put(o, "\\0");
        continue;
      default:
        break;
    }
    // U+FFFD, what line noise decodes to, is by far the most frequent character here: it is
    // printable and extends nothing, so it skips the table look-ups.
    const bool escaped = c < 0x20 || (c >= 0x7F && c <= 0x9F) ||
                         (c >= 0x80 && c != 0xFFFD && (is_unprintable(c) || is_grapheme_extend(c)));
    if (!escaped) {
      // Copying the consumed bytes keeps the text byte for byte; an ill-formed sequence is
      // quoted as the U+FFFD that decoding would have made of it.
      o = put(o, d.well_formed ? text.substr(start, d.length) : std::string_view("\xEF\xBF\xBD"));
      continue;
    }
    o = put(o, "\\u{");
    bool leading = true;
    for (int shift = 20; shift >= 0; shift -= 4) {
      const unsigned digit = (c >> shift) & 0xFu;
      if (leading && digit == 0 && shift != 0) continue;
      leading = false;
      *o++ = HEX_DIGITS[digit];
    }
    *o++ = '}';
  }
  *o++ = '"';
  return o;
}

std::string quoted(std::string_view text) {
  std::string out;
  append_bounded(out, text.size() * QUOTED_GROWTH + 2,
                 [text](char* o) { return put_quoted(o, text); });
  return out;
}

}  // namespace kelp
