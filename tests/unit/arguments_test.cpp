// The command line must be valid Unicode before anything runs.
#include "platform/arguments.h"

#include <gtest/gtest.h>

namespace kelp {
namespace {

TEST(Arguments, Utf8IsCheckedArgumentByArgument) {
  const char* good[] = {"kelp-capture", "probe", "--text", "caf\xc3\xa9"};
  auto args = arguments_from_utf8(4, good);
  ASSERT_TRUE(args);
  EXPECT_EQ((*args)[3], "caf\xc3\xa9");

  const char* bad[] = {"kelp-capture", "probe", "--text", "caf\xe9"};
  auto rejected = arguments_from_utf8(4, bad);
  ASSERT_FALSE(rejected);
  EXPECT_EQ(rejected.error(), 3u);
}

TEST(Arguments, Utf16PairsAreJoinedAndLoneSurrogatesRejected) {
  const wchar_t emoji[] = {L'a', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), 0};
  const wchar_t kelvin[] = {static_cast<wchar_t>(0x212A), 0};
  const wchar_t* good[] = {L"kelp-capture", emoji, kelvin};
  auto args = arguments_from_utf16(3, good);
  ASSERT_TRUE(args);
  EXPECT_EQ((*args)[1], "a\xf0\x9f\x98\x80");
  EXPECT_EQ((*args)[2], "\xe2\x84\xaa");

  const wchar_t high_alone[] = {L'x', static_cast<wchar_t>(0xD83D), 0};
  const wchar_t low_alone[] = {static_cast<wchar_t>(0xDE00), L'x', 0};
  const wchar_t* bad1[] = {L"kelp-capture", high_alone};
  const wchar_t* bad2[] = {L"kelp-capture", L"ok", low_alone};
  EXPECT_EQ(arguments_from_utf16(2, bad1).error(), 1u);
  EXPECT_EQ(arguments_from_utf16(3, bad2).error(), 2u);
}

}  // namespace
}  // namespace kelp
