// Bytes as text and hex: decode_text, escape_text, hex_string, hex_block, and the hex parser
// that must read hex_string's output back.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

#include "capture/render.h"
#include "fuzz_check.h"
#include "modes/payloads.h"
#include "text/byte_text.h"
#include "text/hex.h"
#include "text/unicode.h"

namespace {

// The longest prefix of a well-formed sequence at `p`, by the table of well-formed byte
// sequences, written out independently of the decoder under test. Gives (length, well formed).
std::pair<std::size_t, bool> reference_subpart(const std::uint8_t* p, std::size_t n) {
  struct Row {
    std::uint8_t lead_lo, lead_hi, second_lo, second_hi;
    std::size_t length;
  };
  static constexpr Row ROWS[] = {
      {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
      {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
      {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  if (p[0] < 0x80) return {1, true};
  for (const Row& row : ROWS) {
    if (p[0] < row.lead_lo || p[0] > row.lead_hi) continue;
    if (n < 2 || p[1] < row.second_lo || p[1] > row.second_hi) return {1, false};
    std::size_t k = 2;
    while (k < row.length && k < n && (p[k] & 0xC0) == 0x80) ++k;
    return {k, k == row.length};
  }
  return {1, false};
}

std::string reference_decode(kelp::ByteView bytes) {
  std::string out;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const auto [length, ok] = reference_subpart(bytes.data() + pos, bytes.size() - pos);
    if (ok) {
      out.append(reinterpret_cast<const char*>(bytes.data() + pos), length);
    } else {
      out += "\xEF\xBF\xBD";
    }
    pos += length;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kelp::ByteView bytes(data, size);
  const std::string_view raw = kelp::fuzz::as_text(data, size);

  const std::string text = kelp::decode_text(bytes);
  KELP_CHECK(kelp::is_valid_utf8(text));
  KELP_CHECK(text == reference_decode(bytes));
  if (kelp::is_valid_utf8(raw)) KELP_CHECK(text == raw);
  KELP_CHECK(text.size() <= 3 * size);

  const std::string escaped = kelp::escape_text(text);
  KELP_CHECK(kelp::is_valid_utf8(escaped));
  KELP_CHECK(!kelp::fuzz::has_terminal_control(escaped, /*allow_lf=*/false));
  // Nothing is lost: every character is kept or becomes an escape at least as long.
  KELP_CHECK(escaped.size() >= text.size());
  // escape_text must not crash or let a control through on text that was never decoded either.
  const std::string escaped_raw = kelp::escape_text(raw);
  for (const char c : escaped_raw) KELP_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\t');

  const std::string hex = kelp::hex_string(bytes);
  KELP_CHECK(hex.size() == (size == 0 ? 0 : 3 * size - 1));
  const auto parsed = kelp::parse_hex_payload(hex);
  KELP_CHECK(parsed && std::equal(parsed->begin(), parsed->end(), bytes.begin(), bytes.end()));
  std::string upper = hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto parsed_upper = kelp::parse_hex_payload(upper);
  KELP_CHECK(parsed_upper && *parsed_upper == *parsed);

  const auto block = kelp::hex_block(bytes);
  const std::size_t shown = std::min<std::size_t>(size, 256);
  KELP_CHECK(block.size() == (shown + 15) / 16);
  std::string joined;
  for (const std::string& line : block) {
    KELP_CHECK(line.size() <= 16 * 3 - 1);
    if (!joined.empty()) joined += ' ';
    joined += line;
  }
  KELP_CHECK(joined == kelp::hex_string(bytes.first(shown)));
  return 0;
}
