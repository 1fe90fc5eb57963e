// Fields and lines of decoded text: split_fields, split_lines and quoted_list. The quoted list is
// read back by a parser of its own to show that every item survives, and that exactly the
// characters a terminal could act on or would not show are escaped.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/render.h"
#include "fuzz_check.h"
#include "text/byte_text.h"
#include "text/hex.h"
#include "text/unicode.h"

namespace {

bool must_be_escaped(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == U'"' || c == U'\\' ||
         (c >= 0x80 && (kelp::is_unprintable(c) || kelp::is_grapheme_extend(c)));
}

// Reads one quoted item starting after its opening quote; `pos` ends past the closing quote.
std::optional<std::string> unquote_item(std::string_view s, std::size_t& pos) {
  std::string item;
  while (pos < s.size()) {
    const std::size_t start = pos;
    const char32_t c = kelp::next_code_point(s, pos);
    if (c == U'"') return item;
    if (c != U'\\') {
      if (must_be_escaped(c)) return std::nullopt;  // shown raw though it must not be
      item.append(s.substr(start, pos - start));
      continue;
    }
    if (pos >= s.size()) return std::nullopt;
    const char e = s[pos++];
    switch (e) {
      case '\\':
        item += '\\';
        break;
      case '"':
        item += '"';
        break;
      case 't':
        item += '\t';
        break;
      case 'r':
        item += '\r';
        break;
      case 'n':
        item += '\n';
        break;
      case '0':
        item += '\0';
        break;
      case 'u': {
        if (pos >= s.size() || s[pos] != '{') return std::nullopt;
        const std::size_t close = s.find('}', pos);
        if (close == std::string_view::npos || close == pos + 1 || close > pos + 7) {
          return std::nullopt;
        }
        const std::string_view digits = s.substr(pos + 1, close - pos - 1);
        if (digits.size() > 1 && digits[0] == '0') return std::nullopt;  // no leading zeros
        char32_t value = 0;
        for (const char d : digits) {
          const bool digit = d >= '0' && d <= '9';
          if (!digit && !(d >= 'a' && d <= 'f')) return std::nullopt;  // lower-case hex only
          value = value * 16 + static_cast<char32_t>(digit ? d - '0' : d - 'a' + 10);
        }
        // The short escapes take precedence; \u{} is only for what has no short form.
        if (value == U'\t' || value == U'\r' || value == U'\n' || value == 0 || value == U'"' ||
            value == U'\\' || !must_be_escaped(value)) {
          return std::nullopt;
        }
        kelp::append_utf8(item, value);
        pos = close + 1;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> unquote_list(std::string_view s) {
  std::vector<std::string> items;
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return std::nullopt;
  if (s == "[]") return items;
  std::size_t pos = 1;
  for (;;) {
    if (pos >= s.size() || s[pos] != '"') return std::nullopt;
    ++pos;
    auto item = unquote_item(s, pos);
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
    if (pos == s.size() - 1) return items;
    if (s.substr(pos, 2) != ", ") return std::nullopt;
    pos += 2;
  }
}

std::size_t count_of(std::string_view text, char c) {
  std::size_t n = 0;
  for (const char x : text) n += x == c ? 1 : 0;
  return n;
}

void check_fields(std::string_view text, char separator) {
  const auto fields = kelp::split_fields(text, separator);
  KELP_CHECK(fields.size() == count_of(text, separator) + 1);
  std::string joined;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) joined += separator;
    KELP_CHECK(fields[i].find(separator) == std::string_view::npos);
    joined += fields[i];
  }
  KELP_CHECK(joined == text);

  const std::string list = kelp::quoted_list(fields);
  KELP_CHECK(kelp::is_valid_utf8(list));
  for (const char c : list) KELP_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  const auto back = unquote_list(list);
  KELP_CHECK(back.has_value());
  KELP_CHECK(back->size() == fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) KELP_CHECK((*back)[i] == fields[i]);
}

void check_lines(std::string_view text) {
  const auto lines = kelp::split_lines(text);
  // Walk the text again: each line is followed by LF or CR LF, except a final piece without LF.
  std::size_t pos = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    KELP_CHECK(line.find('\n') == std::string_view::npos);
    KELP_CHECK(text.substr(pos, line.size()) == line);
    pos += line.size();
    if (text.substr(pos, 1) == "\n") {
      ++pos;
    } else if (text.substr(pos, 2) == "\r\n") {
      pos += 2;
    } else {
      KELP_CHECK(i + 1 == lines.size() && pos == text.size() && !line.empty());
    }
  }
  KELP_CHECK(pos == text.size());
  KELP_CHECK(lines.size() == count_of(text, '\n') + (!text.empty() && text.back() != '\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks a third separator, so that fields at any character get a turn.
  const char separator = static_cast<char>(data[0]);
  const kelp::ByteView bytes(data + 1, size - 1);
  const std::string text = kelp::decode_text(bytes);

  check_fields(text, ';');
  check_fields(text, ',');
  if (static_cast<unsigned char>(separator) <
      0x80) {  // a lead or continuation byte would cut characters
    check_fields(text, separator);
  }
  check_lines(text);

  // Never-decoded bytes must not crash the splitting or the quoting either.
  const std::string_view raw = kelp::fuzz::as_text(data + 1, size - 1);
  const auto raw_fields = kelp::split_fields(raw, ';');
  KELP_CHECK(raw_fields.size() == count_of(raw, ';') + 1);
  const std::string raw_list = kelp::quoted_list(raw_fields);
  KELP_CHECK(kelp::is_valid_utf8(raw_list));
  check_lines(raw);
  return 0;
}
