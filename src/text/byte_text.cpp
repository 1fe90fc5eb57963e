#include "text/byte_text.h"

#include <cstdint>
#include <cstring>

#include "text/append.h"
#include "text/hex.h"
#include "text/utf8.h"

namespace kelp {
namespace {

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

std::string escape_text(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

}  // namespace kelp
