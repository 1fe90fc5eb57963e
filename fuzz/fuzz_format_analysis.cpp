// The console analysis of one chunk, as a datagram or a serial chunk produces it: whatever the
// bytes, the text is valid UTF-8 that no terminal acts on (no control but LF and TAB), the
// sections are the ones the bytes call for, and the output stays bounded.
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/render.h"
#include "fuzz_check.h"
#include "text/byte_text.h"
#include "text/hex.h"
#include "text/unicode.h"

namespace {

std::size_t count_of(std::string_view text, char c) {
  std::size_t n = 0;
  for (const char x : text) n += x == c ? 1 : 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kelp::ByteView bytes(data, size);
  const std::string out = kelp::format_analysis("UDP 127.0.0.1:50000", size, "12:00:00.000", bytes);

  KELP_CHECK(kelp::is_valid_utf8(out));
  KELP_CHECK(!kelp::fuzz::has_terminal_control(out, /*allow_lf=*/true));

  const std::string text = kelp::decode_text(bytes);
  const std::string head = "\n[#" + std::to_string(size) +
                           " 12:00:00.000 from UDP 127.0.0.1:50000 (" + std::to_string(size) +
                           " bytes)]\nTEXT: " + kelp::escape_text(text) + "\nHEX:\n  ";
  KELP_CHECK(out.starts_with(head));
  KELP_CHECK(out.back() == '\n');

  const bool semi = text.find(';') != std::string::npos;
  const bool comma = text.find(',') != std::string::npos;
  const std::size_t lines = kelp::split_lines(text).size();
  KELP_CHECK((out.find("\nSEMI-FIELDS (") != std::string::npos) == semi);
  KELP_CHECK((out.find("\nCOMMA-FIELDS (") != std::string::npos) == comma);
  KELP_CHECK((out.find("\nLINES (") != std::string::npos) == (lines >= 2));
  if (semi) {
    KELP_CHECK(out.find("\nSEMI-FIELDS (" + std::to_string(count_of(text, ';') + 1) + "): [") !=
               std::string::npos);
  }
  if (comma) {
    KELP_CHECK(out.find("\nCOMMA-FIELDS (" + std::to_string(count_of(text, ',') + 1) +
                        ", first 8): [") != std::string::npos);
  }
  if (lines >= 2) {
    KELP_CHECK(out.find("\nLINES (" + std::to_string(lines) + "):\n  [0] ") != std::string::npos);
  }

  // Line count: empty line, header, TEXT, HEX and its lines, at most two field lists and at most
  // ten shown lines under their title.
  const std::size_t hex_lines = size == 0 ? 1 : (std::min<std::size_t>(size, 256) + 15) / 16;
  const std::size_t shown_lines = lines >= 2 ? 1 + std::min<std::size_t>(lines, 10) : 0;
  KELP_CHECK(count_of(out, '\n') == 4 + hex_lines + (semi ? 1 : 0) + (comma ? 1 : 0) + shown_lines);
  // Bounded: every input byte costs at most a few dozen output bytes (TEXT, the semicolon list
  // and at most eight comma fields), whatever it holds.
  KELP_CHECK(out.size() <= 512 + 40 * size);
  return 0;
}
