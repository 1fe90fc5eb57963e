#include "modes/payloads.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bin/kelp_capture/options.h"

namespace kelp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(PresetBytes, EveryByteProbeIsFoundWhateverTheCase) {
  const struct {
    std::string_view name;
    Bytes bytes;
  } cases[] = {
      {"enq", {0x05}},
      {"ENQ", {0x05}},
      {"cr", {0x0D}},
      {"lf", {0x0A}},
      {"CrLf", {0x0D, 0x0A}},
      {"question", {0x3F, 0x0D, 0x0A}},
      {"ver", {0x56, 0x45, 0x52, 0x0D, 0x0A}},
      {"Status", {0x53, 0x54, 0x41, 0x54, 0x55, 0x53, 0x0D, 0x0A}},
      {"cts-qry", {0x02, 0x53, 0x57, 0x49, 0x4D, 0x2C, 0x51, 0x52, 0x59, 0x2C, 0x03}},
      {"CTS-QRY", {0x02, 0x53, 0x57, 0x49, 0x4D, 0x2C, 0x51, 0x52, 0x59, 0x2C, 0x03}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preset_bytes(c.name), std::optional<Bytes>(c.bytes)) << c.name;
  }
}

TEST(PresetBytes, BreakAndUnknownNamesGiveNothing) {
  for (std::string_view name : {"break", "BREAK", "", "enq ", " enq", "en", "enqq", "cts_qry"}) {
    EXPECT_EQ(preset_bytes(name), std::nullopt) << "'" << name << "'";
  }
}

TEST(PresetTable, OrderAndShapeAreFixed) {
  const std::string_view names[] = {"enq", "cr",     "lf",      "crlf", "question",
                                    "ver", "status", "cts-qry", "break"};
  ASSERT_EQ(PROBE_PRESETS.size(), std::size(names));
  for (std::size_t i = 0; i < PROBE_PRESETS.size(); ++i) {
    EXPECT_EQ(PROBE_PRESETS[i].name, names[i]);
    EXPECT_EQ(PROBE_PRESETS[i].send_break, i == 8);
  }
  EXPECT_TRUE(PROBE_PRESETS[8].bytes.empty());
  EXPECT_EQ(PROBE_PRESETS[7].bytes.size(), 11u);
  EXPECT_EQ(PROBE_PRESETS[7].bytes.back(), 0x03);
}

TEST(ParseHexPayload, AcceptsPairsAndIgnoresWhiteSpaceAnywhere) {
  const struct {
    std::string_view text;
    Bytes bytes;
  } cases[] = {
      {"05 0d 0a", {0x05, 0x0D, 0x0A}},
      {"050D0A", {0x05, 0x0D, 0x0A}},
      {"0 50D 0A", {0x05, 0x0D, 0x0A}},
      {"02 41 03", {0x02, 0x41, 0x03}},
      {"fF Aa 9b", {0xFF, 0xAA, 0x9B}},
      {"\t0\r\n5\v\f", {0x05}},
      {"0\u00a05", {0x05}},        // no-break space
      {"0\u30005\u2028", {0x05}},  // ideographic space, line separator
      {"\u00850\u200a5", {0x05}},  // next line, hair space
      {"", {}},
      {"   ", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_hex_payload(c.text), std::optional<Bytes>(c.bytes)) << c.text;
  }
}

TEST(ParseHexPayload, RejectsOddLengthsAndAnythingButHexDigits) {
  for (std::string_view text : {"5", "050", "0x05", "05,0d", "05:0d", "g0", "0g", "-5", "+5",
                                "0\u200b5",  // zero width space is not White_Space
                                "\u0660\u0665", "\xc3\xa9\xc3\xa9", "0\xff"}) {
    EXPECT_EQ(parse_hex_payload(text), std::nullopt) << text;
  }
}

TEST(ParseTextPayload, ResolvesOnlyTheKnownEscapes) {
  const struct {
    std::string_view text;
    Bytes bytes;
  } cases[] = {
      {"VER\\r\\n", {0x56, 0x45, 0x52, 0x0D, 0x0A}},
      {"a\\tb\\0c", {0x61, 0x09, 0x62, 0x00, 0x63}},
      {"a\\qb", {0x61, 0x5C, 0x71, 0x62}},
      {"end\\", {0x65, 0x6E, 0x64, 0x5C}},
      {"\\\\n", {0x5C, 0x6E}},
      {"\\\\\\", {0x5C, 0x5C}},
      {"\\x05", {0x5C, 0x78, 0x30, 0x35}},
      {"\\N\\R", {0x5C, 0x4E, 0x5C, 0x52}},
      {"\\\u00e9", {0x5C, 0xC3, 0xA9}},
      {"\u00d7\u2014", {0xC3, 0x97, 0xE2, 0x80, 0x94}},
      {"\\", {0x5C}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_text_payload(c.text), c.bytes) << c.text;
  }
}

struct Selection {
  std::vector<std::string> args;
  std::optional<ProbePayload> expected;
};

ProbePayload payload(Bytes bytes, std::string label, bool send_break = false) {
  return ProbePayload{std::move(bytes), std::move(label), send_break};
}

TEST(SelectProbePayload, FollowsThePrecedenceAndKeepsTheTypedLabel) {
  const Selection cases[] = {
      {{"kelp-capture", "probe"}, payload({0x05}, "preset=enq (default)")},
      {{"kelp-capture", "probe", "--port", "COM3"}, payload({0x05}, "preset=enq (default)")},
      {{"kelp-capture", "probe", "--preset", "ENQ"}, payload({0x05}, "preset=ENQ")},
      {{"kelp-capture", "probe", "--preset", "CrLf"}, payload({0x0D, 0x0A}, "preset=CrLf")},
      {{"kelp-capture", "probe", "--preset", "Break"}, payload({}, "preset=break", true)},
      // BREAK written with U+212A KELVIN SIGN lower-cases to "break".
      {{"kelp-capture", "probe", "--preset", "BREA\u212a"}, payload({}, "preset=break", true)},
      {{"kelp-capture", "probe", "--preset", "cr", "--hex", "41"}, payload({0x0D}, "preset=cr")},
      {{"kelp-capture", "probe", "--preset", "bogus", "--hex", "41"}, std::nullopt},
      {{"kelp-capture", "probe", "--preset", "", "--hex", "41"}, std::nullopt},
      {{"kelp-capture", "probe", "--hex", "41", "--preset"}, payload({0x41}, "hex=41")},
      {{"kelp-capture", "probe", "--text", "hi", "--preset"}, payload(ascii("hi"), "text=hi")},
      {{"kelp-capture", "probe", "--hex", "02 41 03"}, payload({0x02, 0x41, 0x03}, "hex=02 41 03")},
      {{"kelp-capture", "probe", "--hex", ""}, payload({}, "hex=")},
      {{"kelp-capture", "probe", "--hex", "5", "--text", "x"}, std::nullopt},
      {{"kelp-capture", "probe", "--hex", "0x05"}, std::nullopt},
      {{"kelp-capture", "probe", "--text", "x", "--hex", "41"}, payload({0x41}, "hex=41")},
      {{"kelp-capture", "probe", "--text", "VER\\r\\n"},
       payload({0x56, 0x45, 0x52, 0x0D, 0x0A}, "text=VER\\r\\n")},
      {{"kelp-capture", "probe", "--text", ""}, payload({}, "text=")},
      {{"kelp-capture", "probe", "--text", "--hex"}, payload(ascii("--hex"), "text=--hex")},
      // Only the first occurrence of an option counts.
      {{"kelp-capture", "probe", "--preset", "lf", "--preset", "cr"}, payload({0x0A}, "preset=lf")},
      // An option name is matched whole and exactly.
      {{"kelp-capture", "probe", "--preset=cr", "--PRESET", "lf"},
       payload({0x05}, "preset=enq (default)")},
  };
  for (const Selection& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    const auto got = select_probe_payload(c.args);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << joined;
    if (!got) continue;
    EXPECT_EQ(got->bytes, c.expected->bytes) << joined;
    EXPECT_EQ(got->label, c.expected->label) << joined;
    EXPECT_EQ(got->send_break, c.expected->send_break) << joined;
  }
}

}  // namespace
}  // namespace kelp
