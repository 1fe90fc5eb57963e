#include "capture/render.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "text/append.h"
#include "text/byte_text.h"
#include "text/hex.h"
#include "text/quote.h"
#include "text/unicode.h"

namespace kelp {
namespace {

constexpr std::size_t HEX_BLOCK_BYTES = 256;
constexpr std::size_t HEX_LINE_BYTES = 16;
constexpr std::size_t COMMA_FIELDS_SHOWN = 8;
constexpr std::size_t LINES_SHOWN = 10;
constexpr std::size_t LINE_CHARS_SHOWN = 120;
// Two quotes and ", " per item of a quoted list.
constexpr std::size_t QUOTED_ITEM_EXTRA = 4;

// The first `count` characters (code points) of valid UTF-8 text, or all of it.
std::string_view first_chars(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < count && pos < text.size(); ++n) next_code_point(text, pos);
  return text.substr(0, pos);
}

// The layout of a quoted list, "[" items joined by ", " "]", over the items that `for_each_item`
// hands to the function it is given, one call per item. `bound` covers the whole list.
template <typename ForEachItem>
void append_quoted_items(std::string& out, std::size_t bound, ForEachItem for_each_item) {
  append_bounded(out, bound, [&](char* o) {
    *o++ = '[';
    bool first = true;
    for_each_item([&](std::string_view item) {
      if (!first) o = put(o, ", ");
      first = false;
      o = put_quoted(o, item);
    });
    *o++ = ']';
    return o;
  });
}

void append_quoted_list(std::string& out, std::span<const std::string_view> items) {
  std::size_t bound = 2;
  for (std::string_view item : items) bound += item.size() * QUOTED_GROWTH + QUOTED_ITEM_EXTRA;
  append_quoted_items(out, bound, [items](auto&& add) {
    for (std::string_view item : items) add(item);
  });
}

// quoted_list of all fields of `text`, without building the list first: the semicolon section
// covers the whole chunk, however many fields it has.
void append_quoted_fields(std::string& out, std::string_view text, char separator,
                          std::size_t field_count) {
  const std::size_t bound = text.size() * QUOTED_GROWTH + field_count * QUOTED_ITEM_EXTRA + 2;
  append_quoted_items(out, bound, [text, separator](auto&& add) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t at = text.find(separator, start);
      if (at == std::string_view::npos) {
        add(text.substr(start));
        return;
      }
      add(text.substr(start, at - start));
      start = at + 1;
    }
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

// How many lines split_lines gives: one per LF, and the piece after the last LF if not empty.
std::size_t line_count(std::string_view text) {
  return count_byte(text, '\n') + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

}  // namespace

std::vector<std::string> hex_block(ByteView bytes) {
  const ByteView shown = bytes.first(std::min(bytes.size(), HEX_BLOCK_BYTES));
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < shown.size(); i += HEX_LINE_BYTES) {
    lines.push_back(hex_string(shown.subspan(i, std::min(HEX_LINE_BYTES, shown.size() - i))));
  }
  return lines;
}

std::vector<std::string_view> split_fields(std::string_view text, char separator,
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

std::vector<std::string_view> split_lines(std::string_view text, std::size_t limit) {
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
  const std::vector<std::string_view> commas = split_fields(text, ',', COMMA_FIELDS_SHOWN);
  const std::size_t lines_total = line_count(text);
  const std::vector<std::string_view> lines = split_lines(text, LINES_SHOWN);

  // Room for the largest possible analysis, taken once: the sections are written into it without
  // moving what is already there. Only the pages actually written are ever touched.
  std::size_t room = 256 + label.size() + time.size() + text.size() * ESCAPE_GROWTH +
                     HEX_BLOCK_BYTES * 3 + text.size() * QUOTED_GROWTH +
                     semi_count * QUOTED_ITEM_EXTRA;
  for (std::string_view field : commas) room += field.size() * QUOTED_GROWTH + QUOTED_ITEM_EXTRA;
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
  show_chunk_view(format_analysis(label, n, time, bytes));
}

}  // namespace kelp
