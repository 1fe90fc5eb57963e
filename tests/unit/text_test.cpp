// The byte rules every layer shares: decoding to UTF-8, escaping control characters, hex.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/byte_text.h"
#include "text/hex.h"
#include "text/utf16.h"

namespace kelp {
namespace {

const std::string_view FFFD = "\xEF\xBF\xBD";

TEST(Text, DecodeText) {
  struct Case {
    std::string_view in;
    std::string out;
  };
  const std::string r(FFFD);
  const std::vector<Case> cases = {
      {"", ""},
      {"SWIM,RUN\r\n", "SWIM,RUN\r\n"},
      {std::string_view("\0A", 2), std::string("\0A", 2)},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", "é€😀\xF4\x8F\xBF\xBF"},
      {"\xEF\xBF\xBD", r},
      {"Hi\r\n\xFF", "Hi\r\n" + r},
      {"\x80", r},
      {"\xC0\xAF", r + r},  // C0 and C1 never start a sequence
      {"\xE2(\xA1", r + "(" + r},
      {"\xF0\x80\x80", r + r + r},  // 80 cannot follow F0
      {"\xE0\x80\xAF", r + r + r},
      {"\xED\xA0\x80", r + r + r},  // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF5\x80", r + r},
      {"\xE2\x82", r},  // truncated at the end: one replacement
      {"\xF0\x9F\x98", r},
      {"\xE2\x82"
       "A",
       r + "A"},
      {"\xC3\xC3\xA9", r + "é"},
      // The standard's example of maximal subparts.
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" + r + r + r + "b" + r + "c" + r + r + "d"},
      // Around the eight-byte steps of the ASCII scan.
      {"aaaaaaa\xC3\xA9"
       "bbbbbbbb\xFF"
       "c",
       "aaaaaaaébbbbbbbb" + r + "c"},
      {"0123456789abcdef\xE2\x82", "0123456789abcdef" + r},
      {"\xFF"
       "01234567",
       r + "01234567"},
      {"01234567\xC3\xA9"
       "0123456",
       "01234567é0123456"},
      {"01234567"
       "89abcde\xFF"
       "01234567",
       "0123456789abcde" + r + "01234567"},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(decode_text(bytes_of(t.in)), t.out) << testing::PrintToString(t.in);
  }
}

TEST(Text, EscapeText) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"SWIM,RUN\r\n", "SWIM,RUN\\r\\n"},
      {std::string_view("\0", 1), "\\x00"},
      {"\x05|\x1b|\x7f|\x1f", "\\x05|\\x1b|\\x7f|\\x1f"},
      {"\xC2\x80|\xC2\x85|\xC2\x9F", "\\x80|\\x85|\\x9f"},  // C1 controls
      {"a\tb", "a\tb"},                                     // TAB stays a real tab
      {"\xC2\xA0\xC3\xA9\xEF\xBF\xBD\\", "\xC2\xA0\xC3\xA9\xEF\xBF\xBD\\"},
      {"\r\r\n\n", "\\r\\r\\n\\n"},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(escape_text(t.in), t.out) << testing::PrintToString(t.in);
  }
}

TEST(Text, ParseHexU16) {
  EXPECT_EQ(parse_hex_u16("0403"), 0x0403);
  EXPECT_EQ(parse_hex_u16("1a86"), 0x1A86);
  EXPECT_EQ(parse_hex_u16("FFFF"), 0xFFFF);
  EXPECT_EQ(parse_hex_u16("00"), 0);
  EXPECT_EQ(parse_hex_u16("10000"), std::nullopt);
  EXPECT_EQ(parse_hex_u16(""), std::nullopt);
  EXPECT_EQ(parse_hex_u16("+403"), std::nullopt);
  EXPECT_EQ(parse_hex_u16("04 3"), std::nullopt);
  EXPECT_EQ(parse_hex_u16("0x43"), std::nullopt);
  EXPECT_EQ(parse_hex_u16("04G3"), std::nullopt);
}

// A log's hex line read back: only the exact form hex_string writes gives bytes.
TEST(Text, BytesFromHexString) {
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(bytes_from_hex_string(""), Bytes{});
  EXPECT_EQ(bytes_from_hex_string("48 69 0d 0a ff"), (Bytes{0x48, 0x69, 0x0D, 0x0A, 0xFF}));
  EXPECT_EQ(bytes_from_hex_string("00"), Bytes{0x00});
  for (const std::string_view bad : {"0D", "4869", "48 69 ", " 48", "48  69", "48 6", "4g", "4"}) {
    EXPECT_EQ(bytes_from_hex_string(bad), std::nullopt) << bad;
  }
}

// Paths, port names and console text reach the Windows API through this one conversion.
TEST(Text, WideFromUtf8) {
  EXPECT_EQ(wide_from_utf8(""), L"");
  EXPECT_EQ(wide_from_utf8("COM3"), L"COM3");
  EXPECT_EQ(wide_from_utf8("\u00d7\u2014"), (std::wstring{wchar_t(0xD7), wchar_t(0x2014)}));
  EXPECT_EQ(wide_from_utf8("\U0001F600"), (std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}));
  // Ill-formed input: one U+FFFD per maximal ill-formed subpart, as decode_text makes it.
  EXPECT_EQ(wide_from_utf8("a\xE2\x82\xFF"),
            (std::wstring{L'a', wchar_t(0xFFFD), wchar_t(0xFFFD)}));
  EXPECT_EQ(strict_utf8_from_wide(wide_from_utf8("caf\u00e9 \U0001F600")), "caf\u00e9 \U0001F600");
}

}  // namespace
}  // namespace kelp
