#include "text/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace kelp {
namespace {

struct ClassCase {
  char32_t c;
  bool expected;
};

void expect_class(bool (*predicate)(char32_t), const std::vector<ClassCase>& cases,
                  const char* name) {
  for (const ClassCase& t : cases) {
    EXPECT_EQ(predicate(t.c), t.expected)
        << name << " of U+" << std::hex << static_cast<unsigned long>(t.c);
  }
}

TEST(UnicodeTables, Unprintable) {
  expect_class(is_unprintable,
               {
                   {U' ', false},
                   {U'A', false},
                   {U'~', false},
                   {0x00, true},
                   {0x1F, true},
                   {0x7F, true},
                   {0x9F, true},
                   {0xA0, true},
                   {0xA1, false},  // Zs, then ¡
                   {0xAD, true},   // soft hyphen, Cf
                   {0xE9, false},
                   {0x0301, false},
                   {0x0378, true},  // Mn; unassigned
                   {0x200B, true},
                   {0x2028, true},
                   {0x2029, true},  // Cf, Zl, Zp
                   {0x3000, true},
                   {0x2000, true},
                   {0xFEFF, true},  // Zs, Zs, Cf
                   {0xD800, true},
                   {0xDFFF, true},
                   {0xE000, true},  // Cs, Co
                   {0xF8FF, true},
                   {0xF900, false},
                   {0xFFFD, false},
                   {0xFFFE, true},
                   {0xFFFF, true},  // noncharacters
                   // First and last code points of blocks listed as First/Last range lines.
                   {0x3400, false},
                   {0x4DBF, false},
                   {0x4DC0, false},
                   {0x4E00, false},
                   {0x9FFF, false},
                   {0xAC00, false},
                   {0xD7A3, false},
                   {0xD7A4, true},
                   {0x323AF, false},
                   {0x323B0, true},
                   {0x1F600, false},
                   {0xE0001, true},
                   {0xF0000, true},
                   {0x10FFFD, true},
                   {0x10FFFF, true},
                   {0x110000, true},
               },
               "is_unprintable");
}

TEST(UnicodeTables, GraphemeExtend) {
  expect_class(is_grapheme_extend,
               {
                   {U'a', false},
                   {0x02FF, false},
                   {0x0300, true},
                   {0x0301, true},
                   {0x036F, true},
                   {0x0370, false},
                   {0x200C, true},  // ZWNJ, extends by property
                   {0x200D, false},
                   {0x20DD, true},  // enclosing mark, Me
                   {0xFE0F, true},
                   {0xFFFD, false},
                   {0xE0020, true},
                   {0xE01EF, true},
                   {0xE01F0, false},
               },
               "is_grapheme_extend");
}

TEST(UnicodeTables, AlphabeticAndNumeric) {
  expect_class(is_alphabetic,
               {{U'A', true},
                {U'z', true},
                {U'0', false},
                {U'_', false},
                {U'-', false},
                {0xE9, true},
                {0x0416, true},
                {0x4E00, true},
                {0x2160, true},
                {0x00B2, false},
                {0x0301, false}},
               "is_alphabetic");
  expect_class(is_numeric,
               {{U'0', true},
                {U'9', true},
                {U'a', false},
                {U'/', false},
                {U':', false},
                {0x00B2, true},
                {0x0660, true},
                {0x2160, true},
                {0xFF10, true},
                {0x4E00, false}},
               "is_numeric");
}

TEST(Unicode, WhiteSpaceIsExactlyTheSet) {
  const std::vector<char32_t> members = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,
                                         0x85,   0xA0,   0x1680, 0x2000, 0x2005, 0x200A,
                                         0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : members)
    EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<unsigned long>(c);
  const std::vector<char32_t> neighbours = {0x00,   0x08,   0x0E,   0x1F,   0x21,   0x84,
                                            0x86,   0x9F,   0xA1,   0x167F, 0x1681, 0x180E,
                                            0x1FFF, 0x200B, 0x2027, 0x202A, 0x202E, 0x2030,
                                            0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF};
  for (char32_t c : neighbours)
    EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<unsigned long>(c);
}

TEST(Unicode, NextCodePoint) {
  struct Case {
    std::string_view text;
    std::vector<char32_t> code_points;
    std::vector<std::size_t> ends;  // position after each call
  };
  const std::vector<Case> cases = {
      {"A", {U'A'}, {1}},
      {"\xC3\xA9", {0xE9}, {2}},
      {"\xE2\x82\xAC", {0x20AC}, {3}},
      {"\xF0\x9F\x98\x80", {0x1F600}, {4}},
      {"\xF4\x8F\xBF\xBF", {0x10FFFF}, {4}},
      {"\xEF\xBF\xBD", {0xFFFD}, {3}},
      // Ill-formed: U+FFFD, moving past the maximal subpart only.
      {"\xFF"
       "A",
       {0xFFFD, U'A'},
       {1, 2}},
      {"\xE2(\xA1", {0xFFFD, U'(', 0xFFFD}, {1, 2, 3}},
      {"\xF0\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD}, {1, 2, 3}},
      {"\xE2\x82", {0xFFFD}, {2}},
      {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}, {1, 2, 3, 4}},
      {"\xF1\x80\x80"
       "A",
       {0xFFFD, U'A'},
       {3, 4}},
  };
  for (const Case& t : cases) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < t.code_points.size(); ++i) {
      EXPECT_EQ(next_code_point(t.text, pos), t.code_points[i]) << testing::PrintToString(t.text);
      EXPECT_EQ(pos, t.ends[i]) << testing::PrintToString(t.text);
    }
    EXPECT_EQ(pos, t.text.size());
  }
}

TEST(Unicode, AppendUtf8) {
  struct Case {
    char32_t c;
    std::string_view bytes;
  };
  const std::vector<Case> cases = {
      {0x00, std::string_view("\0", 1)},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      {0xD800, "\xEF\xBF\xBD"},  // a surrogate has no UTF-8 form
      {0x110000, "\xEF\xBF\xBD"},
  };
  for (const Case& t : cases) {
    std::string out = "x";
    append_utf8(out, t.c);
    EXPECT_EQ(out, "x" + std::string(t.bytes)) << std::hex << static_cast<unsigned long>(t.c);
  }
}

TEST(Unicode, IsValidUtf8) {
  const std::vector<std::string_view> valid = {"",
                                               "plain",
                                               std::string_view("\0", 1),
                                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                               "\xEF\xBF\xBD",
                                               "\xED\x9F\xBF",
                                               "\xEE\x80\x80",
                                               "\xF4\x8F\xBF\xBF"};
  for (std::string_view s : valid) EXPECT_TRUE(is_valid_utf8(s)) << testing::PrintToString(s);
  const std::vector<std::string_view> invalid = {"\x80",
                                                 "\xFF",
                                                 "\xC0\xAF",
                                                 "\xC3",
                                                 "a\xC3",
                                                 "\xE0\x80\xAF",
                                                 "\xED\xA0\x80",
                                                 "\xF0\x8F\xBF\xBF",
                                                 "\xF4\x90\x80\x80",
                                                 "\xE2\x82",
                                                 "\xF5\x80\x80\x80"};
  for (std::string_view s : invalid) EXPECT_FALSE(is_valid_utf8(s)) << testing::PrintToString(s);
}

TEST(Unicode, LowerForMatching) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const std::vector<Case> cases = {
      {"EVEN", "even"},
      {"Odd", "odd"},
      {"n", "n"},
      {"\xE2\x84\xAA", "k"},  // KELVIN SIGN
      {"MAR\xE2\x84\xAA", "mark"},
      {"\xC3\x89VEN", "\xC3\x89ven"},    // É has no ASCII lower case: kept
      {"\xC4\xB0", "\xC4\xB0"},          // İ lower-cases to i + U+0307, not "i": kept
      {"\xE2\x84\xAB", "\xE2\x84\xAB"},  // ANGSTROM SIGN: kept
      {"@[`{", "@[`{"},
  };
  for (const Case& t : cases) EXPECT_EQ(lower_for_matching(t.in), t.out) << t.in;
}

// Folding compares texts without regard to case: pairs of one script and the other, the letters
// that fold to several, and what has no case at all.
TEST(Unicode, FoldCase) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const std::vector<Case> cases = {
      {"A5 02 \xC3\x84\xC3\x98", "a5 02 \xC3\xA4\xC3\xB8"},      // ÄØ
      {"\xC4\x80\xC4\x81\xC4\xAE", "\xC4\x81\xC4\x81\xC4\xAF"},  // Āā Į: every other one folds
      {"\xC3\x9F\xE1\xBA\x9E", "ssss"},                          // ß ẞ: to two letters
      {"\xCE\xA3\xCF\x82\xCF\x83", "\xCF\x83\xCF\x83\xCF\x83"},  // Σ ς σ
      {"\xD0\x96\xD0\xB6", "\xD0\xB6\xD0\xB6"},                  // Жж
      {"\xE2\x84\xAA\xE2\x84\xAB", "k\xC3\xA5"},                 // KELVIN, ANGSTROM SIGN
      {"\xC4\xB0", "i\xCC\x87"},                                 // İ: i and a dot above
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                  // DESERET 𐐀, beyond the BMP
      {"\xE6\x97\xA5\xE2\x82\xAC 09_:", "\xE6\x97\xA5\xE2\x82\xAC 09_:"},  // no case
      {"A\xFF", "a\xEF\xBF\xBD"},
  };
  for (const Case& t : cases) EXPECT_EQ(fold_case(t.in), t.out) << t.in;
}

TEST(Unicode, TrimWhiteSpace) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {" \t\r\n", ""},
      {"  a b \t", "a b"},
      {"abc", "abc"},
      {"\xC2\xA0x\xE3\x80\x80", "x"},  // NO-BREAK SPACE, IDEOGRAPHIC SPACE
      {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // ZWSP is not White_Space
      {"\xC2\x85\xE2\x80\xA8 x \xE2\x80\xAF\xE2\x81\x9F", "x"},
      {" x\x80 ", "x\x80"},  // a stray continuation byte stops the trim
      {"\xA0 x", "\xA0 x"},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(trim_white_space(t.in), t.out) << testing::PrintToString(t.in);
  }
}

}  // namespace
}  // namespace kelp
