// What the probe and the scan send to a device to make it answer.
//
// A payload is a named preset, hex digits or text with backslash escapes; the `break` preset sends
// a line break signal instead of bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelp {

struct ProbePayload {
  std::vector<std::uint8_t> bytes;
  std::string label;  // "preset=NAME", "hex=ARG", "text=ARG" or "preset=enq (default)"
  bool send_break = false;
};

struct ProbePreset {
  std::string_view name;
  std::span<const std::uint8_t> bytes;  // empty for break
  bool send_break;
};

namespace preset_data {
inline constexpr std::uint8_t ENQ[] = {0x05};
inline constexpr std::uint8_t CR[] = {0x0D};
inline constexpr std::uint8_t LF[] = {0x0A};
inline constexpr std::uint8_t CRLF[] = {0x0D, 0x0A};
inline constexpr std::uint8_t QUESTION[] = {0x3F, 0x0D, 0x0A};
inline constexpr std::uint8_t VER[] = {0x56, 0x45, 0x52, 0x0D, 0x0A};
inline constexpr std::uint8_t STATUS[] = {0x53, 0x54, 0x41, 0x54, 0x55, 0x53, 0x0D, 0x0A};
inline constexpr std::uint8_t CTS_QRY[] = {0x02, 0x53, 0x57, 0x49, 0x4D, 0x2C,
                                           0x51, 0x52, 0x59, 0x2C, 0x03};
}  // namespace preset_data

// In the order the scan tries them.
inline constexpr std::array<ProbePreset, 9> PROBE_PRESETS = {{
    {"enq", preset_data::ENQ, false},
    {"cr", preset_data::CR, false},
    {"lf", preset_data::LF, false},
    {"crlf", preset_data::CRLF, false},
    {"question", preset_data::QUESTION, false},
    {"ver", preset_data::VER, false},
    {"status", preset_data::STATUS, false},
    {"cts-qry", preset_data::CTS_QRY, false},
    {"break", {}, true},
}};

// The bytes of a byte preset, matched without regard to case; nothing for "break" and unknown
// names.
std::optional<std::vector<std::uint8_t>> preset_bytes(std::string_view name);

// The payloads of the probe's three payload options, each labelled with the value as it was
// typed: "preset=NAME" (a preset name in any case; `break` gives the break signal), "hex=VALUE"
// and "text=VALUE". Nothing for a name that is no preset or hex digits that do not parse.
std::optional<ProbePayload> preset_payload(std::string_view name);
std::optional<ProbePayload> hex_payload(std::string_view value);
ProbePayload text_payload(std::string_view value);

// ENQ, the payload when none is chosen, labelled "preset=enq (default)".
ProbePayload default_payload();

// Hex digits in pairs, White_Space ignored anywhere; nothing on an odd count or a non-hex pair.
std::optional<std::vector<std::uint8_t>> parse_hex_payload(std::string_view text);

// UTF-8 text with the escapes \n \r \t \0 and \\; any other backslash is kept as it is.
std::vector<std::uint8_t> parse_text_payload(std::string_view text);

}  // namespace kelp
