#include "modes/proxy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelp {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

struct FrameCase {
  std::string name;
  std::string label;
  std::string input;
  std::string console;
  std::string log;
};

TEST(ProxyFrame, ConsoleEscapesAndLogKeepsTheDecodedText) {
  const std::vector<FrameCase> cases = {
      {"query with ETX", "MM->CTS6", "SWIM,QRY\x03",
       "[14:03:27.512 MM->CTS6] (9 bytes)\n"
       "  TEXT: SWIM,QRY\\x03\n"
       "  HEX:  53 57 49 4d 2c 51 52 59 03\n",
       "[14:03:27.512 MM->CTS6] 9 bytes\n"
       "  TEXT: SWIM,QRY\x03\n"
       "  HEX:  53 57 49 4d 2c 51 52 59 03\n"
       "\n"},
      {"CR LF and TAB go into the log as they are", "CTS6->MM", "A\r\nB\tC",
       "[14:03:27.512 CTS6->MM] (6 bytes)\n"
       "  TEXT: A\\r\\nB\tC\n"
       "  HEX:  41 0d 0a 42 09 43\n",
       "[14:03:27.512 CTS6->MM] 6 bytes\n"
       "  TEXT: A\r\nB\tC\n"
       "  HEX:  41 0d 0a 42 09 43\n"
       "\n"},
      {"ill-formed UTF-8 and NUL", "CTS6->MM", std::string("\xff\x00Z", 3),
       "[14:03:27.512 CTS6->MM] (3 bytes)\n"
       "  TEXT: \xef\xbf\xbd\\x00Z\n"
       "  HEX:  ff 00 5a\n",
       "[14:03:27.512 CTS6->MM] 3 bytes\n"
       "  TEXT: \xef\xbf\xbd" +
           std::string("\x00", 1) +
           "Z\n"
           "  HEX:  ff 00 5a\n"
           "\n"},
  };
  for (const FrameCase& c : cases) {
    const std::vector<std::uint8_t> input = bytes_of(c.input);
    const FrameText frame = format_frame("14:03:27.512", c.label, input);
    EXPECT_EQ(frame.console, c.console) << c.name;
    EXPECT_EQ(frame.log, c.log) << c.name;
  }
}

TEST(ProxyFrame, LargeFrameIsOneRecordWithOneHexLine) {
  std::vector<std::uint8_t> input(9000);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i % 251);
  const FrameText frame = format_frame("00:00:00.000", "MM->CTS6", input);

  const std::string head = "[00:00:00.000 MM->CTS6] 9000 bytes\n  TEXT: ";
  ASSERT_EQ(frame.log.substr(0, head.size()), head);
  const auto hex_at = frame.log.rfind("\n  HEX:  ");
  ASSERT_NE(hex_at, std::string::npos);
  const std::string hex_line = frame.log.substr(hex_at + 9);
  // 9000 pairs of digits and 8999 separating spaces, then the line end and the empty line.
  EXPECT_EQ(hex_line.size(), 9000u * 3u - 1u + 2u);
  EXPECT_EQ(hex_line.substr(hex_line.size() - 2), "\n\n");
  EXPECT_EQ(hex_line.find('\n'), hex_line.size() - 2);
  EXPECT_EQ(hex_line.substr(0, 8), "00 01 02");
  EXPECT_EQ(frame.console.substr(0, 36), "[00:00:00.000 MM->CTS6] (9000 bytes)");
}

}  // namespace
}  // namespace kelp
