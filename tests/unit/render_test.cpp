#include "capture/render.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/hex.h"

namespace kelp {
namespace {

std::string analysis_of(std::string_view payload) {
  return format_analysis("L", 1, "t", bytes_of(payload));
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1) {
    lines.push_back(text.substr(start, at - start));
  }
  return lines;
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(Render, HexStringAndBlock) {
  EXPECT_EQ(hex_string(bytes_of("")), "");
  EXPECT_EQ(hex_string(bytes_of(std::string_view("\0", 1))), "00");
  EXPECT_EQ(hex_string(bytes_of("SW\r\n")), "53 57 0d 0a");
  EXPECT_EQ(hex_string(bytes_of("\xAB\xFF\x10\x09")), "ab ff 10 09");

  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(i));
  struct Case {
    std::size_t size;
    std::size_t lines;
    std::string_view last;
  };
  const std::vector<Case> cases = {
      {0, 0, ""},
      {1, 1, "00"},
      {16, 1, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"},
      {17, 2, "10"},
      {256, 16, "f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff"},
      {300, 16, "f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff"},
  };
  for (const Case& t : cases) {
    const auto block = hex_block(bytes_of(std::string_view(bytes).substr(0, t.size)));
    ASSERT_EQ(block.size(), t.lines) << t.size;
    if (!block.empty()) {
      EXPECT_EQ(block.back(), t.last) << t.size;
    }
  }
}

TEST(Render, SplitFields) {
  struct Case {
    std::string_view text;
    char separator;
    std::vector<std::string_view> fields;
  };
  const std::vector<Case> cases = {
      {"a;;b;", ';', {"a", "", "b", ""}},
      {"", ';', {""}},
      {";", ';', {"", ""}},
      {";a", ';', {"", "a"}},
      {"abc", ',', {"abc"}},
      {" a , b ", ',', {" a ", " b "}},
      {"a;b,c", ',', {"a;b", "c"}},
  };
  for (const Case& t : cases) EXPECT_EQ(split_fields(t.text, t.separator), t.fields) << t.text;
}

TEST(Render, SplitLines) {
  struct Case {
    std::string_view text;
    std::vector<std::string_view> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"a\r\n", {"a"}},
      {"a\r", {"a\r"}},
      {"a\rb\rc", {"a\rb\rc"}},
      {"a\nb", {"a", "b"}},
      {"\n", {""}},
      {"\n\n", {"", ""}},
      {"a\r\r\nb", {"a\r", "b"}},  // only the one CR before the LF goes
      {"a\nb\r", {"a", "b\r"}},
      {"\r\n", {""}},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(split_lines(t.text), t.lines) << testing::PrintToString(t.text);
  }
}

TEST(Render, QuotedList) {
  struct Case {
    std::vector<std::string_view> items;
    std::string_view out;
  };
  const std::vector<Case> cases = {
      {{}, "[]"},
      {{""}, R"([""])"},
      {{"", ""}, R"(["", ""])"},
      {{"a", "b\t"}, R"(["a", "b\t"])"},
      {{"back\\slash", "\"q\"", "it's"}, R"(["back\\slash", "\"q\"", "it's"])"},
      {{"\r\n", std::string_view("\0", 1)}, R"(["\r\n", "\0"])"},
      {{"\x05\x1b\x7f\x01\x1f"}, R"(["\u{5}\u{1b}\u{7f}\u{1}\u{1f}"])"},
      {{"\xC2\x80\xC2\x85\xC2\x9F"}, R"(["\u{80}\u{85}\u{9f}"])"},
      {{"e\xCC\x81"}, R"(["e\u{301}"])"},  // combining acute
      {{"\xC2\xA0|\xC2\xAD|\xE2\x80\x8B"}, R"(["\u{a0}|\u{ad}|\u{200b}"])"},
      {{"\xCD\xB8"}, R"(["\u{378}"])"},  // unassigned
      {{"\xEE\x80\x80\xE2\x80\xA8\xE3\x80\x80"}, R"(["\u{e000}\u{2028}\u{3000}"])"},
      {{"\xF4\x8F\xBF\xBF\xF3\xA0\x80\xA0"}, R"(["\u{10ffff}\u{e0020}"])"},
      {{"é€😀\xEF\xBF\xBD ~"}, "[\"é€😀\xEF\xBF\xBD ~\"]"},  // printable: kept
      {{"a\xFF"}, "[\"a\xEF\xBF\xBD\"]"},  // ill-formed items still give valid UTF-8
  };
  for (const Case& t : cases) {
    EXPECT_EQ(quoted_list(t.items), t.out) << testing::PrintToString(t.items);
  }
}

TEST(Render, AnalysisOfEmptyInput) {
  EXPECT_EQ(analysis_of(""), "\n[#1 t from L (0 bytes)]\nTEXT: \nHEX:\n  \n");
}

TEST(Render, AnalysisExact) {
  struct Case {
    std::string_view payload;
    std::string_view sections;  // everything after the header
  };
  const std::vector<Case> cases = {
      {"SWIM,RUN\r\n",
       "TEXT: SWIM,RUN\\r\\n\n"
       "HEX:\n  53 57 49 4d 2c 52 55 4e 0d 0a\n"
       "COMMA-FIELDS (2, first 8): [\"SWIM\", \"RUN\\r\\n\"]\n"},
      {";", "TEXT: ;\nHEX:\n  3b\nSEMI-FIELDS (2): [\"\", \"\"]\n"},
      {",", "TEXT: ,\nHEX:\n  2c\nCOMMA-FIELDS (2, first 8): [\"\", \"\"]\n"},
      {"a,b,c,d,e,f,g,h,i,j,k,l",
       "TEXT: a,b,c,d,e,f,g,h,i,j,k,l\n"
       "HEX:\n  61 2c 62 2c 63 2c 64 2c 65 2c 66 2c 67 2c 68 2c\n  69 2c 6a 2c 6b 2c 6c\n"
       "COMMA-FIELDS (12, first 8): [\"a\", \"b\", \"c\", \"d\", \"e\", \"f\", \"g\", \"h\"]\n"},
      {"\x05;\xFF",
       "TEXT: \\x05;\xEF\xBF\xBD\nHEX:\n  05 3b ff\nSEMI-FIELDS (2): [\"\\u{5}\", "
       "\"\xEF\xBF\xBD\"]\n"},
      {"a\tb;c\n\td",
       "TEXT: a\tb;c\\n\td\nHEX:\n  61 09 62 3b 63 0a 09 64\n"
       "SEMI-FIELDS (2): [\"a\\tb\", \"c\\n\\td\"]\n"
       "LINES (2):\n  [0] a\tb;c\n  [1] \td\n"},
      {"a\rb\rc", "TEXT: a\\rb\\rc\nHEX:\n  61 0d 62 0d 63\n"},
      {"a\nb", "TEXT: a\\nb\nHEX:\n  61 0a 62\nLINES (2):\n  [0] a\n  [1] b\n"},
      {"a;b,c\r\nd",
       "TEXT: a;b,c\\r\\nd\nHEX:\n  61 3b 62 2c 63 0d 0a 64\n"
       "SEMI-FIELDS (2): [\"a\", \"b,c\\r\\nd\"]\n"
       "COMMA-FIELDS (2, first 8): [\"a;b\", \"c\\r\\nd\"]\n"
       "LINES (2):\n  [0] a;b,c\n  [1] d\n"},
      // Lines are escaped: no raw ESC or CR from the wire reaches the terminal.
      {"\x1b[2Jred\nnext\r",
       "TEXT: \\x1b[2Jred\\nnext\\r\nHEX:\n  1b 5b 32 4a 72 65 64 0a 6e 65 78 74 0d\n"
       "LINES (2):\n  [0] \\x1b[2Jred\n  [1] next\\r\n"},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(format_analysis("Serial COM3", 3, "14:03:27.512", bytes_of(t.payload)),
              "\n[#3 14:03:27.512 from Serial COM3 (" + std::to_string(t.payload.size()) +
                  " bytes)]\n" + std::string(t.sections))
        << testing::PrintToString(t.payload);
  }
}

TEST(Render, AnalysisHeaderUsesFullNumbers) {
  const std::string out =
      format_analysis("UDP 127.0.0.1:5000", 18446744073709551615u, "23:59:59.999", bytes_of("x"));
  EXPECT_EQ(lines_of(out)[1],
            "[#18446744073709551615 23:59:59.999 from UDP 127.0.0.1:5000 (1 bytes)]");
}

TEST(Render, AnalysisOf300Bytes) {
  std::string payload;
  for (int i = 0; i < 300; ++i) payload.push_back(static_cast<char>('A' + i % 26));
  const std::vector<std::string> lines = lines_of(analysis_of(payload));
  ASSERT_EQ(lines.size(), 20u);  // empty, header, TEXT, HEX: and 16 hex lines
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "[#1 t from L (300 bytes)]");
  EXPECT_EQ(lines[2], "TEXT: " + payload);
  EXPECT_EQ(lines[3], "HEX:");
  EXPECT_EQ(lines[4], "  41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50");
  EXPECT_EQ(lines[19], "  47 48 49 4a 4b 4c 4d 4e 4f 50 51 52 53 54 55 56");  // bytes 240..255
}

TEST(Render, AnalysisLinesSection) {
  std::string fifteen;
  for (int i = 0; i < 15; ++i) fifteen += "l" + std::to_string(i) + "\n";
  std::string expected = "LINES (15):\n";
  for (int i = 0; i < 10; ++i) {
    expected += "  [" + std::to_string(i) + "] l" + std::to_string(i) + "\n";
  }
  const std::string out = analysis_of(fifteen);
  ASSERT_GE(out.size(), expected.size());
  EXPECT_EQ(out.substr(out.size() - expected.size()), expected);

  struct Case {
    std::string line;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {repeat("x", 200), repeat("x", 120)},
      {repeat("x", 120), repeat("x", 120)},
      {repeat("\xE2\x82\xAC", 120), repeat("\xE2\x82\xAC", 120)},  // characters, not bytes
      {repeat("\xC3\xA9", 130), repeat("\xC3\xA9", 120)},
      {repeat("\x1b", 130), repeat("\\x1b", 120)},  // cut before escaping
      {repeat("y", 119) + "\r\xC3\xA9", repeat("y", 119) + "\\r"},
  };
  for (const Case& t : cases) {
    const std::string tail = "LINES (2):\n  [0] " + t.shown + "\n  [1] z\n";
    const std::string got = analysis_of(t.line + "\nz");
    ASSERT_GE(got.size(), tail.size());
    EXPECT_EQ(got.substr(got.size() - tail.size()), tail) << t.line.size();
  }
}

TEST(Render, SemicolonListCoversWholeInput) {
  std::string payload;
  for (int i = 0; i < 40; ++i) payload += std::to_string(i) + ";";
  const std::vector<std::string> lines = lines_of(analysis_of(payload));
  ASSERT_EQ(lines.size(), 12u);  // empty, header, TEXT, HEX: and 7 hex lines, then the list
  EXPECT_TRUE(lines[11].starts_with("SEMI-FIELDS (41): [\"0\", \"1\", ")) << lines[11];
  EXPECT_TRUE(lines[11].ends_with("\"38\", \"39\", \"\"]")) << lines[11];
}

}  // namespace
}  // namespace kelp
