// The command-line rules: option lookup, numbers, parity words and each mode's settings.
#include "bin/kelp_capture/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelp {
namespace {

using Args = std::vector<std::string>;

const PortDetector NO_ADAPTER = [] { return std::optional<std::string>(); };
const PortDetector ADAPTER = [] { return std::optional<std::string>("/dev/cu.usbserial-2120"); };

TEST(OptionValue, TakesTheArgumentAfterTheFirstExactMatch) {
  const Args args = {"kelp-capture", "serial", "--port", "--baud", "9600", "--port", "COM9"};
  EXPECT_EQ(option_value(args, "--port"), "--baud");
  EXPECT_EQ(option_value(args, "--baud"), "9600");
  EXPECT_EQ(option_value(args, "--parity"), std::nullopt);
  EXPECT_EQ(option_value(Args{"x", "udp", "--port"}, "--port"), std::nullopt);
  EXPECT_EQ(option_value(Args{"x", "udp", "--port=5000"}, "--port"), std::nullopt);
  EXPECT_EQ(option_value(Args{"x", "udp", "--PORT", "1"}, "--port"), std::nullopt);
  EXPECT_EQ(option_value(Args{"x", "udp", "--port", ""}, "--port"), "");
  // Index 0 is looked at too.
  EXPECT_EQ(option_value(Args{"--port", "7"}, "--port"), "7");
}

TEST(ParseUnsigned, AcceptsOnlyAnOptionalPlusAndDigitsThatFit) {
  struct Case {
    const char* text;
    int bits;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"0", 16, 0},
      {"+5000", 16, 5000},
      {"0005000", 16, 5000},
      {"65535", 16, 65535},
      {"65536", 16, std::nullopt},
      {"70000", 16, std::nullopt},
      {"4294967295", 32, 4294967295u},
      {"4294967296", 32, std::nullopt},
      {"18446744073709551615", 64, 18446744073709551615u},
      {"18446744073709551616", 64, std::nullopt},
      {"99999999999999999999999", 64, std::nullopt},
      {"", 16, std::nullopt},
      {"+", 16, std::nullopt},
      {"++5", 16, std::nullopt},
      {"-1", 16, std::nullopt},
      {"-0", 16, std::nullopt},
      {" 5000", 16, std::nullopt},
      {"5000 ", 16, std::nullopt},
      {"12a", 16, std::nullopt},
      {"5.0", 16, std::nullopt},
      {"\xd9\xa5", 16, std::nullopt},  // ARABIC-INDIC DIGIT FIVE is not an ASCII digit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_unsigned(c.text, c.bits), c.value) << '"' << c.text << "\" width " << c.bits;
  }
}

TEST(ParseParity, KnowsThreeWordsInAnyCase) {
  EXPECT_EQ(parse_parity("n"), Parity::None);
  EXPECT_EQ(parse_parity("NONE"), Parity::None);
  EXPECT_EQ(parse_parity("o"), Parity::Odd);
  EXPECT_EQ(parse_parity("Odd"), Parity::Odd);
  EXPECT_EQ(parse_parity("ODD"), Parity::Odd);
  EXPECT_EQ(parse_parity("E"), Parity::Even);
  EXPECT_EQ(parse_parity("even"), Parity::Even);
  EXPECT_EQ(parse_parity("mark"), std::nullopt);
  EXPECT_EQ(parse_parity(""), std::nullopt);
  EXPECT_EQ(parse_parity(" odd"), std::nullopt);
}

TEST(ParseParityList, TrimsDropsAndKeepsRepetitions) {
  using P = Parity;
  EXPECT_EQ(parse_parity_list("none,odd"), (std::vector{P::None, P::Odd}));
  EXPECT_EQ(parse_parity_list("even , none ,bogus"), (std::vector{P::Even, P::None}));
  EXPECT_EQ(parse_parity_list("odd,odd"), (std::vector{P::Odd, P::Odd}));
  EXPECT_EQ(parse_parity_list("\xe3\x80\x80"
                              "e\t"),
            (std::vector{P::Even}));  // U+3000, TAB
  EXPECT_TRUE(parse_parity_list(",,").empty());
  EXPECT_TRUE(parse_parity_list("mark").empty());
  EXPECT_TRUE(parse_parity_list("").empty());
}

TEST(UdpSettings, PortDefaultsTo12000) {
  EXPECT_EQ(read_udp_settings(Args{"k", "udp"}).port, 12000);
  EXPECT_EQ(read_udp_settings(Args{"k", "udp", "--port", "70000"}).port, 12000);
  EXPECT_EQ(read_udp_settings(Args{"k", "udp", "--port", "+5000"}).port, 5000);
}

TEST(SerialSettings, DefaultsAndFallbacks) {
  auto s =
      read_serial_settings(Args{"k", "serial", "--port", "COM4", "--baud", "fast"}, NO_ADAPTER);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->port, "COM4");
  EXPECT_EQ(s->baud, 9600u);
  EXPECT_EQ(s->parity, Parity::None);

  s = read_serial_settings(
      Args{"k", "serial", "--port", "COM4", "--baud", "4294967295", "--parity", "ODD"}, NO_ADAPTER);
  EXPECT_EQ(s->baud, 4294967295u);
  EXPECT_EQ(s->parity, Parity::Odd);
  s = read_serial_settings(
      Args{"k", "serial", "--port", "COM4", "--baud", "4294967296", "--parity", "mark"},
      NO_ADAPTER);
  EXPECT_EQ(s->baud, 9600u);
  EXPECT_EQ(s->parity, Parity::None);

  // One argument can be the value of one option and the name of the next.
  s = read_serial_settings(Args{"k", "serial", "--port", "--baud", "9601"}, NO_ADAPTER);
  EXPECT_EQ(s->port, "--baud");
  EXPECT_EQ(s->baud, 9601u);
}

TEST(SerialSettings, WithoutPortUsesTheDetectedAdapterOrFails) {
  auto found = read_serial_settings(Args{"k", "serial"}, ADAPTER);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->port, "/dev/cu.usbserial-2120");
  auto missing = read_serial_settings(Args{"k", "serial", "--port"}, NO_ADAPTER);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(),
            "ERROR: No --port specified and no USB serial adapter auto-detected.\n"
            "Run `kelp-capture list` to see available ports.\n");
}

TEST(ProbeSettings, ReadsInOrderAndThePortErrorComesFirst) {
  auto s = read_probe_settings(Args{"k", "probe", "--port", "COM3"}, NO_ADAPTER);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->wait_ms, 2000u);
  EXPECT_EQ(s->payload.label, "preset=enq (default)");

  s = read_probe_settings(Args{"k", "probe", "--port", "COM3", "--wait-ms", "0"}, NO_ADAPTER);
  EXPECT_EQ(s->wait_ms, 0u);

  auto bad_payload =
      read_probe_settings(Args{"k", "probe", "--port", "COM3", "--hex", "5"}, NO_ADAPTER);
  ASSERT_FALSE(bad_payload);
  EXPECT_EQ(bad_payload.error(), "ERROR: couldn't parse probe payload.\n");

  auto no_port = read_probe_settings(Args{"k", "probe", "--hex", "5"}, NO_ADAPTER);
  ASSERT_FALSE(no_port);
  EXPECT_EQ(no_port.error(),
            "ERROR: no --port and no USB adapter auto-detected. Run `kelp-capture list`.\n");
}

TEST(ScanSettings, ParitiesAreCheckedAfterThePort) {
  auto s = read_scan_settings(Args{"k", "scan", "--port", "COM3"}, NO_ADAPTER);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->wait_ms, 800u);
  EXPECT_EQ(s->parities, (std::vector{Parity::None, Parity::Odd}));

  const std::string no_parities =
      "ERROR: no valid parities in --parities (accepted: none, odd, even)\n";
  EXPECT_EQ(read_scan_settings(Args{"k", "scan", "--port", "COM3", "--parities", ",,"}, NO_ADAPTER)
                .error(),
            no_parities);
  EXPECT_EQ(read_scan_settings(Args{"k", "scan", "--parities", "mark"}, ADAPTER).error(),
            no_parities);
  EXPECT_EQ(read_scan_settings(Args{"k", "scan", "--parities", "mark"}, NO_ADAPTER).error(),
            "ERROR: no --port and no USB adapter auto-detected. Run `kelp-capture list`.\n");
}

TEST(ProxySettings, BothPortsAreRequired) {
  const std::string no_listen =
      "ERROR: --listen COM_PORT is required (the virtual port MM connects to)\n";
  const std::string no_forward = "ERROR: --forward COM_PORT is required (the real CTS6 port)\n";
  EXPECT_EQ(read_proxy_settings(Args{"k", "proxy", "--forward", "COM5"}).error(), no_listen);
  EXPECT_EQ(read_proxy_settings(Args{"k", "proxy", "--listen", "COM6"}).error(), no_forward);
  auto s = read_proxy_settings(Args{"k", "proxy", "--listen", "--forward", "COM5"});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->listen, "--forward");
  EXPECT_EQ(s->forward, "COM5");
  EXPECT_EQ(s->baud, 9600u);
}

TEST(ChunkOptions, EndByteAndAgeForSerialAndProxy) {
  struct Case {
    Args options;
    std::optional<std::uint8_t> end_byte;
    std::uint64_t chunk_ms;
  };
  const Case cases[] = {
      {{}, ETX, 0},
      {{"--end-byte", "17", "--chunk-ms", "1000"}, 0x17, 1000},
      {{"--end-byte", "fF"}, 0xFF, 0},
      {{"--end-byte", "none"}, std::nullopt, 0},
      {{"--end-byte", "NONE"}, std::nullopt, 0},
      // Unusable values keep the defaults, silently.
      {{"--end-byte", "0x17", "--chunk-ms", "-1"}, ETX, 0},
      {{"--end-byte", "7"}, ETX, 0},
      {{"--end-byte", "017"}, ETX, 0},
      {{"--end-byte", "1g"}, ETX, 0},
      {{"--end-byte", ""}, ETX, 0},
      {{"--chunk-ms", "18446744073709551615"}, ETX, 18446744073709551615u},
      {{"--chunk-ms", "1e3"}, ETX, 0},
  };
  for (const Case& c : cases) {
    Args serial = {"k", "serial", "--port", "COM4"};
    Args proxy = {"k", "proxy", "--listen", "COM6", "--forward", "COM5"};
    serial.insert(serial.end(), c.options.begin(), c.options.end());
    proxy.insert(proxy.end(), c.options.begin(), c.options.end());
    const auto s = read_serial_settings(serial, NO_ADAPTER);
    const auto p = read_proxy_settings(proxy);
    ASSERT_TRUE(s && p);
    EXPECT_EQ(s->chunking.end_byte, c.end_byte) << testing::PrintToString(c.options);
    EXPECT_EQ(s->chunking.chunk_ms, c.chunk_ms) << testing::PrintToString(c.options);
    EXPECT_EQ(p->chunking.end_byte, c.end_byte) << testing::PrintToString(c.options);
    EXPECT_EQ(p->chunking.chunk_ms, c.chunk_ms) << testing::PrintToString(c.options);
  }
}

// --reconnect is a flag; usb:SERIAL goes through the resolver wherever a serial port is read, in
// the order of the options, and a port found by auto-detection is never resolved.
TEST(PortOptions, ReconnectAndUsbSerialNumbers) {
  EXPECT_FALSE(read_serial_settings(Args{"k", "serial", "--port", "COM4"}, NO_ADAPTER)->reconnect);
  EXPECT_TRUE(
      read_proxy_settings(Args{"k", "proxy", "--reconnect", "--listen", "A", "--forward", "B"})
          ->reconnect);
  EXPECT_TRUE(read_decode_settings(Args{"k", "decode", "--reconnect", "--port", "COM4"}, NO_ADAPTER)
                  ->reconnect);
  std::vector<std::string> asked;
  const PortResolver resolve =
      [&](std::string_view name) -> std::expected<std::string, std::string> {
    asked.emplace_back(name);
    if (name == "usb:GONE") return std::unexpected(std::string("ERROR: gone\n"));
    return "/dev/ttyUSB3";
  };
  EXPECT_EQ(read_serial_settings(Args{"k", "serial"}, ADAPTER, resolve)->port,
            "/dev/cu.usbserial-2120");
  EXPECT_EQ(read_replay_settings(Args{"k", "replay", "s.log", "--port", "usb:A1"}, resolve)->port,
            "/dev/ttyUSB3");
  EXPECT_EQ(read_probe_settings(Args{"k", "probe", "--port", "usb:GONE", "--hex", "5"}, NO_ADAPTER,
                                resolve)
                .error(),
            "ERROR: gone\n");
  EXPECT_EQ(read_scan_settings(Args{"k", "scan", "--port", "usb:GONE", "--parities", ","},
                               NO_ADAPTER, resolve)
                .error(),
            "ERROR: gone\n");
  EXPECT_EQ(
      read_proxy_settings(Args{"k", "proxy", "--listen", "COM6", "--forward", "usb:A1"}, resolve)
          ->forward,
      "/dev/ttyUSB3");
  EXPECT_EQ(asked, (std::vector<std::string>{"usb:A1", "usb:GONE", "usb:GONE", "COM6", "usb:A1"}));
}

// The logs are the arguments that are neither options nor their values; unusable numbers and words
// keep the defaults, an unusable --to is an error.
TEST(ExportAndReplaySettings, LogsOptionsAndDefaults) {
  auto e = read_export_settings(
      Args{"k", "export", "a.log", "--out", "x.pcapng", "--verbose", "b.log", "--port", "+5000"});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->logs, (std::vector<std::string>{"a.log", "b.log"}));
  EXPECT_EQ(e->out, "x.pcapng");
  EXPECT_EQ(e->port, 5000);
  EXPECT_EQ(read_export_settings(Args{"k", "export", "--out", "x"}).error(), EXPORT_USAGE);

  auto r = read_replay_settings(Args{"k", "replay", "--port", "COM5", "p.log", "--direction",
                                     "cts6->MM", "--speed", "fast", "--count", "3", "--baud", "x"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->log, "p.log");
  EXPECT_EQ(r->port, "COM5");
  EXPECT_EQ(r->direction, "CTS6->MM");
  EXPECT_EQ(r->speed, 1.0);
  EXPECT_EQ(r->count, 3u);
  EXPECT_EQ(r->from, 1u);
  EXPECT_EQ(r->baud, 9600u);
  EXPECT_FALSE(r->to);
  r = read_replay_settings(Args{"k", "replay", "u.log", "--to", "scoreboard.local:12001",
                                "--direction", "MM-", "--from", "7"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->to->host, "scoreboard.local");
  EXPECT_EQ(r->to->port, 12001);
  EXPECT_FALSE(r->direction);
  EXPECT_EQ(r->from, 7u);
  for (const char* to : {"localhost", ":12000", "host:0", "host:65536", "host:"}) {
    EXPECT_EQ(
        read_replay_settings(Args{"k", "replay", "u.log", "--to", to}).error(),
        "ERROR: --to takes HOST:PORT (for example 127.0.0.1:12000), not " + std::string(to) + "\n");
  }
  EXPECT_EQ(read_replay_settings(Args{"k", "replay"}).error(), REPLAY_USAGE);

  struct Speed {
    const char* text;
    std::optional<double> value;
  };
  for (const Speed& c : std::vector<Speed>{{"2", 2.0},
                                           {"+0.5", 0.5},
                                           {"0", 0.0},
                                           {".25", 0.25},
                                           // The nearest double, as shown again: not 3 tenths
                                           // added up (0.30000000000000004).
                                           {"0.3", 0.3},
                                           {"2.675", 2.675},
                                           {"3.", 3.0},
                                           {"", std::nullopt},
                                           {".", std::nullopt},
                                           {"-1", std::nullopt},
                                           {"1e3", std::nullopt},
                                           {"inf", std::nullopt},
                                           {"1234567890", std::nullopt}}) {
    EXPECT_EQ(parse_speed(c.text), c.value) << c.text;
  }
}

TEST(HelpText, Has37LinesEndingInABlankLine) {
  std::size_t lines = 0;
  for (char c : HELP_TEXT) lines += c == '\n';
  EXPECT_EQ(lines, 37u);
  EXPECT_TRUE(HELP_TEXT.ends_with("try scan mode\n\n"));
  EXPECT_EQ(HELP_TEXT.find('\r'), std::string_view::npos);
  EXPECT_NE(HELP_TEXT.find("  question  '?\\r\\n'\n"), std::string_view::npos);
}

// The board's options, from files or a port: a value that cannot be used keeps the default (no
// server, the recorded pace, ten lanes), and no value of theirs is ever taken for a file.
TEST(DecodeBoardOptions, ValuesAndDefaults) {
  const auto files = [](std::vector<std::string> extra) {
    std::vector<std::string> args{"k", "decode", "race.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    return *read_decode_settings(args, NO_ADAPTER);
  };
  const DecodeSettings plain = files({});
  EXPECT_FALSE(plain.serve);
  EXPECT_EQ(plain.speed, 1.0);
  EXPECT_EQ(plain.lanes, 10u);
  EXPECT_FALSE(plain.start_lists);

  struct Case {
    std::string value;
    std::optional<ServeAddress> serve;
  };
  for (const Case& c : std::vector<Case>{
           {"8080", ServeAddress{"127.0.0.1", 8080}},
           {"0.0.0.0:8080", ServeAddress{"0.0.0.0", 8080}},
           {"[::1]:9000", ServeAddress{"::1", 9000}},
           {"localhost:1", ServeAddress{"localhost", 1}},
           {"0", std::nullopt},
           {"65536", std::nullopt},
           {":8080", std::nullopt},
           {"host:", std::nullopt},
           {"eighty", std::nullopt},
       }) {
    EXPECT_EQ(files({"--serve", c.value}).serve, c.serve) << c.value;
  }

  const DecodeSettings set = files({"--speed", "0", "--lanes", "6", "--start-lists", "MM"});
  EXPECT_EQ(set.files, std::vector<std::string>{"race.bin"});
  EXPECT_EQ(set.speed, 0.0);
  EXPECT_EQ(set.lanes, 6u);
  EXPECT_EQ(set.start_lists, "MM");
  for (const std::string lanes : {"0", "11", "-3", "six"}) {
    EXPECT_EQ(files({"--lanes", lanes}).lanes, 10u) << lanes;
  }
  EXPECT_EQ(files({"--speed", "fast"}).speed, 1.0);
  EXPECT_EQ(files({"--speed", "2.5"}).speed, 2.5);

  const auto live = read_decode_settings(
      Args{"k", "decode", "--port", "COM4", "--serve", "0.0.0.0:80", "--lanes", "8"}, NO_ADAPTER);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->serve, (ServeAddress{"0.0.0.0", 80}));
  EXPECT_EQ(live->lanes, 8u);
}

}  // namespace
}  // namespace kelp
