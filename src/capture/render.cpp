#include "capture/render.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "capture/unicode.h"
#include "capture/utf8.h"
#include "platform/console.h"

namespace kelp {
namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr std::size_t HEX_BLOCK_BYTES = 256;
constexpr std::size_t HEX_LINE_BYTES = 16;
constexpr std::size_t COMMA_FIELDS_SHOWN = 8;
constexpr std::size_t LINES_SHOWN = 10;
constexpr std::size_t LINE_CHARS_SHOWN = 120;

// Length of the run of ASCII bytes starting at `pos`. Eight bytes are tested at a time, since
// most captured traffic is plain ASCII and this runs on every byte captured.
std::size_t ascii_run(const std::uint8_t* data, std::size_t size, std::size_t pos) {
  std::size_t i = pos;
  while (i + 8 <= size) {
    std::uint64_t word;
    std::memcpy(&word, data + i, sizeof word);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < size && data[i] < 0x80) ++i;
  return i - pos;
}

char* put_hex_byte(char* o, std::uint8_t b) {
  *o++ = HEX_DIGITS[b >> 4];
  *o++ = HEX_DIGITS[b & 0x0F];
  return o;
}

char* put(char* o, std::string_view piece) {
  std::memcpy(o, piece.data(), piece.size());
  return o + piece.size();
}

// Appends at most `bound` bytes produced by `write`, which gets the first free byte and returns
// the end of what it wrote. Writing through a pointer into room reserved once keeps the
// per-character work small; the renderings below run over whole captures.
template <typename Write>
void append_bounded(std::string& out, std::size_t bound, Write write) {
  const std::size_t old = out.size();
  out.resize_and_overwrite(old + bound, [&](char* buffer, std::size_t) {
    return static_cast<std::size_t>(write(buffer + old) - buffer);
  });
}

// The first `count` characters (code points) of valid UTF-8 text, or all of it.
std::string_view first_chars(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < count && pos < text.size(); ++n) next_code_point(text, pos);
  return text.substr(0, pos);
}

// At most four bytes out per byte in ("\x1b" for ESC).
constexpr std::size_t ESCAPE_GROWTH = 4;

void append_escaped(std::string& out, std::string_view text) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  append_bounded(out, size * ESCAPE_GROWTH, [data, size](char* o) {
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint8_t b = data[i];
      if (b >= 0x20 && b != 0x7F && b != 0xC2) {
        *o++ = static_cast<char>(b);
      } else if (b == '\t') {
        *o++ = '\t';
      } else if (b == '\n') {
        o = put(o, "\\n");
      } else if (b == '\r') {
        o = put(o, "\\r");
      } else if (b != 0xC2) {
        o = put_hex_byte(put(o, "\\x"), b);
      } else if (i + 1 < size && data[i + 1] >= 0x80 && data[i + 1] <= 0x9F) {
        // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
        o = put_hex_byte(put(o, "\\x"), data[++i]);
      } else {
        *o++ = static_cast<char>(b);
      }
    }
    return o;
  });
}

// At most six bytes out per byte in ("\u{1b}" for ESC), plus quotes and separators per item.
constexpr std::size_t QUOTE_GROWTH = 6;
constexpr std::size_t QUOTE_ITEM_EXTRA = 4;

char* put_quoted(char* o, std::string_view item) {
  *o++ = '"';
  std::size_t pos = 0;
  while (pos < item.size()) {
    const char ch = item[pos];
    if (ch >= 0x20 && ch < 0x7F && ch != '"' && ch != '\\') {
      *o++ = ch;
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    const utf8::Decoded d = utf8::decode_one(
        reinterpret_cast<const std::uint8_t*>(item.data()) + pos, item.size() - pos);
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
      // Copying the consumed bytes keeps the text byte for byte; for an ill-formed sequence
      // (items normally come from decode_text, so there is none) U+FFFD takes its place.
      o = put(o, d.well_formed ? item.substr(start, d.length) : std::string_view("\xEF\xBF\xBD"));
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

void append_quoted_list(std::string& out, std::span<const std::string_view> items) {
  std::size_t bound = 2;
  for (std::string_view item : items) bound += item.size() * QUOTE_GROWTH + QUOTE_ITEM_EXTRA;
  append_bounded(out, bound, [items](char* o) {
    *o++ = '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i != 0) o = put(o, ", ");
      o = put_quoted(o, items[i]);
    }
    *o++ = ']';
    return o;
  });
}

// The number of bytes equal to `c`, eight at a time: analyses count separators and line ends
// over whole captures.
std::size_t count_byte(std::string_view text, char c) {
  constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
  const std::uint64_t pattern = 0x0101010101010101ull * static_cast<std::uint8_t>(c);
  std::size_t n = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    const std::uint64_t x = word ^ pattern;  // a matching byte is zero here
    // The top bit of each byte of `nonzero` is set exactly when that byte of x is not zero.
    const std::uint64_t nonzero = ((x & LOW7) + LOW7) | x;
    // Gather the top bits (one per matching byte) into the top byte by one multiplication.
    n += static_cast<std::size_t>((((~nonzero & ~LOW7) >> 7) * 0x0101010101010101ull) >> 56);
  }
  for (; i < text.size(); ++i) n += text[i] == c ? 1 : 0;
  return n;
}

// The first `limit` fields of split_fields.
std::vector<std::string_view> first_fields(std::string_view text, char separator,
                                           std::size_t limit) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (fields.size() < limit) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      fields.push_back(text.substr(start));
      break;
    }
    fields.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  return fields;
}

// The first `limit` lines of split_lines.
std::vector<std::string_view> first_lines(std::string_view text, std::size_t limit) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (lines.size() < limit) {
    const std::size_t at = text.find('\n', start);
    if (at == std::string_view::npos) {
      // The piece after the last LF keeps a trailing CR: no LF follows it to pair with.
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, at - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = at + 1;
  }
  return lines;
}

// How many lines split_lines gives: one per LF, and the piece after the last LF if not empty.
std::size_t line_count(std::string_view text) {
  return count_byte(text, '\n') + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

// quoted_list of all fields of `text`, without building the list first.
void append_quoted_fields(std::string& out, std::string_view text, char separator,
                          std::size_t field_count) {
  const std::size_t bound = text.size() * QUOTE_GROWTH + field_count * QUOTE_ITEM_EXTRA + 2;
  append_bounded(out, bound, [text, separator](char* o) {
    *o++ = '[';
    std::size_t start = 0;
    for (;;) {
      const std::size_t at = text.find(separator, start);
      if (start != 0) o = put(o, ", ");
      if (at == std::string_view::npos) {
        o = put_quoted(o, text.substr(start));
        break;
      }
      o = put_quoted(o, text.substr(start, at - start));
      start = at + 1;
    }
    *o++ = ']';
    return o;
  });
}

}  // namespace

std::string decode_text(ByteView bytes) {
  const std::uint8_t* data = bytes.data();
  const std::size_t size = bytes.size();
  std::string out;
  // Every replaced subpart is at least one byte and becomes three, and everything else is copied
  // as it is, so three bytes per input byte always suffice.
  out.resize_and_overwrite(size * 3, [data, size](char* buffer, std::size_t) {
    char* o = buffer;
    std::size_t pos = 0;
    while (pos < size) {
      const std::size_t run = ascii_run(data, size, pos);
      if (run != 0) {
        std::memcpy(o, data + pos, run);
        o += run;
        pos += run;
        if (pos >= size) break;
      }
      const utf8::Decoded d = utf8::decode_one(data + pos, size - pos);
      if (d.well_formed) {
        for (std::size_t k = 0; k < d.length; ++k) *o++ = static_cast<char>(data[pos + k]);
      } else {
        std::memcpy(o, "\xEF\xBF\xBD", 3);
        o += 3;
      }
      pos += d.length;
    }
    return static_cast<std::size_t>(o - buffer);
  });
  return out;
}

std::string escape_text(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

std::string hex_string(ByteView bytes) {
  std::string out;
  if (bytes.empty()) return out;
  append_bounded(out, bytes.size() * 3, [bytes](char* o) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i != 0) *o++ = ' ';
      o = put_hex_byte(o, bytes[i]);
    }
    return o;
  });
  return out;
}

std::vector<std::string> hex_block(ByteView bytes) {
  const ByteView shown = bytes.first(std::min(bytes.size(), HEX_BLOCK_BYTES));
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < shown.size(); i += HEX_LINE_BYTES) {
    lines.push_back(hex_string(shown.subspan(i, std::min(HEX_LINE_BYTES, shown.size() - i))));
  }
  return lines;
}

std::vector<std::string_view> split_fields(std::string_view text, char separator) {
  return first_fields(text, separator, count_byte(text, separator) + 1);
}

std::vector<std::string_view> split_lines(std::string_view text) {
  return first_lines(text, line_count(text));
}

std::string quoted_list(std::span<const std::string_view> items) {
  std::string out;
  append_quoted_list(out, items);
  return out;
}

std::string format_analysis(std::string_view label, std::uint64_t n, std::string_view time,
                            ByteView bytes) {
  const std::string text = decode_text(bytes);
  const std::size_t semi_count = count_byte(text, ';') + 1;
  const std::size_t comma_count = count_byte(text, ',') + 1;
  const std::vector<std::string_view> commas = first_fields(text, ',', COMMA_FIELDS_SHOWN);
  const std::size_t lines_total = line_count(text);
  const std::vector<std::string_view> lines = first_lines(text, LINES_SHOWN);

  // Room for the largest possible analysis, taken once: the sections are written into it without
  // moving what is already there. Only the pages actually written are ever touched.
  std::size_t room = 256 + label.size() + time.size() + text.size() * ESCAPE_GROWTH +
                     HEX_BLOCK_BYTES * 3 + text.size() * QUOTE_GROWTH +
                     semi_count * QUOTE_ITEM_EXTRA;
  for (std::string_view field : commas) room += field.size() * QUOTE_GROWTH + QUOTE_ITEM_EXTRA;
  room += lines.size() * (32 + LINE_CHARS_SHOWN * 4 * ESCAPE_GROWTH);
  std::string out;
  out.reserve(room);

  out += "\n[#";
  out += std::to_string(n);
  out += ' ';
  out += time;
  out += " from ";
  out += label;
  out += " (";
  out += std::to_string(bytes.size());
  out += " bytes)]\n";

  out += "TEXT: ";
  append_escaped(out, text);
  out += '\n';

  out += "HEX:\n  ";
  const std::vector<std::string> hex_lines = hex_block(bytes);
  for (std::size_t i = 0; i < hex_lines.size(); ++i) {
    if (i != 0) out += "\n  ";
    out += hex_lines[i];
  }
  out += '\n';

  if (semi_count >= 2) {
    out += "SEMI-FIELDS (";
    out += std::to_string(semi_count);
    out += "): ";
    append_quoted_fields(out, text, ';', semi_count);
    out += '\n';
  }

  if (comma_count >= 2) {
    out += "COMMA-FIELDS (";
    out += std::to_string(comma_count);
    out += ", first 8): ";
    append_quoted_list(out, commas);
    out += '\n';
  }

  if (lines_total >= 2) {
    out += "LINES (";
    out += std::to_string(lines_total);
    out += "):\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
      out += "  [";
      out += std::to_string(i);
      out += "] ";
      // Escaped, so that no control sequence from the wire (ESC codes above all) reaches the
      // terminal; a TAB stays a real tab.
      append_escaped(out, first_chars(lines[i], LINE_CHARS_SHOWN));
      out += '\n';
    }
  }
  return out;
}

void print_analysis(std::string_view label, std::uint64_t n, std::string_view time,
                    ByteView bytes) {
  write_stdout(format_analysis(label, n, time, bytes));
}

}  // namespace kelp
