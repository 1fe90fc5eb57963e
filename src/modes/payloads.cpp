#include "modes/payloads.h"

#include <string>

#include "text/hex.h"
#include "text/unicode.h"

namespace kelp {

namespace {

constexpr std::string_view BREAK_NAME = "break";

ProbePayload break_payload() { return ProbePayload{{}, "preset=break", true}; }

}  // namespace

std::optional<std::vector<std::uint8_t>> preset_bytes(std::string_view name) {
  const std::string lowered = lower_for_matching(name);
  for (const ProbePreset& preset : PROBE_PRESETS) {
    if (!preset.send_break && preset.name == lowered) {
      return std::vector<std::uint8_t>(preset.bytes.begin(), preset.bytes.end());
    }
  }
  return std::nullopt;
}

std::optional<ProbePayload> preset_payload(std::string_view name) {
  if (lower_for_matching(name) == BREAK_NAME) return break_payload();
  auto bytes = preset_bytes(name);
  if (!bytes) return std::nullopt;
  return ProbePayload{std::move(*bytes), "preset=" + std::string(name), false};
}

std::optional<ProbePayload> hex_payload(std::string_view value) {
  auto bytes = parse_hex_payload(value);
  if (!bytes) return std::nullopt;
  return ProbePayload{std::move(*bytes), "hex=" + std::string(value), false};
}

ProbePayload text_payload(std::string_view value) {
  return ProbePayload{parse_text_payload(value), "text=" + std::string(value), false};
}

ProbePayload default_payload() { return ProbePayload{{0x05}, "preset=enq (default)", false}; }

std::optional<std::vector<std::uint8_t>> parse_hex_payload(std::string_view text) {
  // Anything that is not valid UTF-8 could never be a hex digit anyway.
  if (!is_valid_utf8(text)) return std::nullopt;

  std::string digits;
  digits.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    const char32_t c = next_code_point(text, pos);
    if (!is_white_space(c)) digits.append(text.substr(start, pos - start));
  }
  if (digits.size() % 2 != 0) return std::nullopt;

  std::vector<std::uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = hex_digit_value(digits[i]);
    const int low = hex_digit_value(digits[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::vector<std::uint8_t> parse_text_payload(std::string_view text) {
  // Working on bytes is enough: a backslash never occurs inside a multi-byte UTF-8 sequence, and
  // every other byte is copied as it stands.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      bytes.push_back(static_cast<std::uint8_t>(c));
      continue;
    }
    const char next = text[i + 1];
    switch (next) {
      case 'n':
        bytes.push_back(0x0A);
        break;
      case 'r':
        bytes.push_back(0x0D);
        break;
      case 't':
        bytes.push_back(0x09);
        break;
      case '0':
        bytes.push_back(0x00);
        break;
      case '\\':
        bytes.push_back(0x5C);
        break;
      default:
        // An unknown escape is kept whole, so nothing the user typed is dropped.
        bytes.push_back(0x5C);
        bytes.push_back(static_cast<std::uint8_t>(next));
        break;
    }
    ++i;
  }
  return bytes;
}

}  // namespace kelp
