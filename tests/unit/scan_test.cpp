#include "modes/scan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "modes/probe.h"

namespace kelp {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BytePreview, ShowsPrintableAsciiAndEscapesTheRest) {
  const struct {
    Bytes bytes;
    std::string preview;
  } cases[] = {
      {{}, ""},
      {{0x41, 0x0D, 0x0A}, "A\\x0d\\x0a"},
      {{0x20, 0x7E, 0x1F, 0x7F}, " ~\\x1f\\x7f"},
      {{0x80, 0xFF, 0x00, 0x5C}, "\\x80\\xff\\x00\\"},
      {{0x02, 0x53, 0x57, 0x03}, "\\x02SW\\x03"},
  };
  for (const auto& c : cases) EXPECT_EQ(byte_preview(c.bytes), c.preview);
}

TEST(BytePreview, StopsAfterSixtyFourBytes) {
  Bytes bytes(100, 'x');
  bytes[63] = 'y';
  bytes[64] = 'z';
  EXPECT_EQ(byte_preview(bytes), std::string(63, 'x') + "y");
  EXPECT_EQ(byte_preview(Bytes(64, 0x01)).size(), 64u * 4);
}

TEST(ScanLineStart, PadsTheLabelAndAlignsTheBaud) {
  const struct {
    std::string_view label;
    std::uint32_t baud;
    Parity parity;
    std::string line;
  } cases[] = {
      {"preset=enq", 4800, Parity::None, "  preset=enq       @   4800-N-8-1 ... "},
      {"preset=question", 115200, Parity::Odd, "  preset=question  @ 115200-O-8-1 ... "},
      {"preset=cts-qry", 1200, Parity::Even, "  preset=cts-qry   @   1200-E-8-1 ... "},
      {"preset=much-longer-name", 9600, Parity::None,
       "  preset=much-longer-name @   9600-N-8-1 ... "},
      {"preset=x", 4294967295u, Parity::None, "  preset=x         @ 4294967295-N-8-1 ... "},
  };
  for (const auto& c : cases) EXPECT_EQ(scan_line_start(c.label, c.baud, c.parity), c.line);
}

TEST(ScanHeader, NamesTheParitiesAndCountsTheCombinations) {
  const std::vector<Parity> two = {Parity::None, Parity::Odd};
  EXPECT_EQ(
      scan_header("COM3", 800, two, "captures\\scan_20261206_231705.log"),
      "=== Scan ===\n"
      "Port:     COM3\n"
      "Parities: N,O\n"
      "Wait:     800ms per probe\n"
      "Logging:  captures\\scan_20261206_231705.log\n"
      "\n"
      "Scanning 8 baud rates \xc3\x97 2 parities \xc3\x97 9 probes = 144 combinations...\n\n");

  const std::vector<Parity> three = {Parity::Even, Parity::Odd, Parity::Odd};
  const std::string header = scan_header("/dev/ttyUSB0", 0, three, "l");
  EXPECT_NE(header.find("Parities: E,O,O\n"), std::string::npos);
  EXPECT_NE(header.find("Wait:     0ms per probe\n"), std::string::npos);
  EXPECT_NE(header.find(" 3 parities \xc3\x97 9 probes = 216 combinations...\n\n"),
            std::string::npos);
}

TEST(ScanSummary, GivesTheAdviceWhenNothingAnswered) {
  EXPECT_EQ(scan_summary({}, "captures/scan_x.log"),
            "\n=== Scan Summary ===\n"
            "No response at ANY baud/parity/probe combination.\n"
            "This strongly suggests:\n"
            "  - The CTS6 needs a more specific query format (not just ENQ/CR/etc.), OR\n"
            "  - A required command was missed \xe2\x80\x94 consider capturing MM traffic via "
            "serial proxy,\n"
            "  - Or the cable/adapter chain has an issue (verify with loopback).\n");
}

TEST(ScanSummary, ListsTheHitsInTheOrderFound) {
  const std::vector<ScanHit> hits = {
      {"preset=ver", 115200, Parity::Odd, Bytes(100, 0x41)},
      {"preset=break", 4800, Parity::None, Bytes{0x00}},
  };
  EXPECT_EQ(scan_summary(hits, "captures/scan_x.log"),
            "\n=== Scan Summary ===\n"
            "2 response(s) captured:\n"
            "  preset=ver @ 115200-O-8-1 -> 100 bytes\n"
            "  preset=break @ 4800-N-8-1 -> 1 bytes\n"
            "\nCheck captures/scan_x.log for full captures.\n");
}

TEST(ScanBaudRates, AreTriedInTheirFixedOrder) {
  const std::uint32_t expected[] = {4800, 9600, 19200, 38400, 57600, 115200, 2400, 1200};
  ASSERT_EQ(SCAN_BAUD_RATES.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(SCAN_BAUD_RATES[i], expected[i]);
}

TEST(ExchangeDeadline, AddsTheWaitAndSaturatesInsteadOfOverflowing) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  EXPECT_EQ(exchange_deadline(now, 0), now);
  EXPECT_EQ(exchange_deadline(now, 2000), now + std::chrono::milliseconds(2000));
  EXPECT_EQ(exchange_deadline(now, std::numeric_limits<std::uint64_t>::max()),
            Clock::time_point::max());
  EXPECT_EQ(exchange_deadline(now, std::uint64_t{1} << 63), Clock::time_point::max());
  // Just beyond what the clock can still represent from `now`.
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  const auto fits = static_cast<std::uint64_t>(room.count());
  EXPECT_LE(exchange_deadline(now, fits), Clock::time_point::max());
  EXPECT_GT(exchange_deadline(now, fits), now);
  EXPECT_EQ(exchange_deadline(now, fits + 1), Clock::time_point::max());
  EXPECT_EQ(exchange_deadline(Clock::time_point::max(), 1), Clock::time_point::max());
}

TEST(PortSettingsText, JoinsPortBaudAndParityLetter) {
  EXPECT_EQ(port_settings_text("COM3", 9600, Parity::Odd), "COM3@9600-O-8-1");
  EXPECT_EQ(port_settings_text("/dev/ttyUSB0", 115200, Parity::Even), "/dev/ttyUSB0@115200-E-8-1");
  EXPECT_EQ(port_settings_text("", 0, Parity::None), "@0-N-8-1");
}

}  // namespace
}  // namespace kelp
