#include "text/unicode.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "text/utf8.h"

namespace kelp {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

struct WhiteSpaceRange {
  char32_t first;
  char32_t last;
};

// The White_Space property has been this set since Unicode 6.3 (U+180E left it then).
constexpr WhiteSpaceRange WHITE_SPACE[] = {
    {0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0}, {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

std::uint8_t byte_at(std::string_view text, std::size_t i) {
  return static_cast<std::uint8_t>(text[i]);
}

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

bool is_white_space(char32_t c) {
  return std::any_of(std::begin(WHITE_SPACE), std::end(WHITE_SPACE),
                     [c](const WhiteSpaceRange& r) { return c >= r.first && c <= r.last; });
}

// Ill-formed input is handled too (decode_text relies on the same rules): an ill-formed
// sequence gives U+FFFD and `pos` moves past its maximal subpart only.
char32_t next_code_point(std::string_view text, std::size_t& pos) {
  if (pos >= text.size()) return REPLACEMENT;
  const utf8::Decoded d =
      utf8::decode_one(reinterpret_cast<const std::uint8_t*>(text.data()) + pos, text.size() - pos);
  pos += d.length;
  return d.code_point;
}

// Surrogates and values past U+10FFFF cannot be encoded in well-formed UTF-8; they become U+FFFD
// so that the text stays valid.
void append_utf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = REPLACEMENT;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const utf8::Decoded d = utf8::decode_one(data + pos, bytes.size() - pos);
    if (!d.well_formed) return false;
    pos += d.length;
  }
  return true;
}

std::string lower_for_matching(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch >= 'A' && ch <= 'Z') {
      out.push_back(static_cast<char>(ch - 'A' + 'a'));
    } else if (text.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
      out.push_back('k');
      i += 2;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string fold_case(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t before = pos;
    const char32_t c = next_code_point(text, pos);
    if (pos == before) ++pos;  // U+FFFD for a sequence cut short at the end
    append_case_folded(out, c);
  }
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_white_space(next_code_point(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the lead byte of the last character (at most three continuation bytes).
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && is_continuation(byte_at(text, start))) --start;
    std::size_t next = start;
    const char32_t c = next_code_point(text, next);
    if (next != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kelp
