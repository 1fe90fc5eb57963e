// The probe payload parsers and the choice among --preset, --hex and --text over an arbitrary
// argument list (pieces of the input between NUL bytes).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bin/kelp_capture/options.h"
#include "fuzz_check.h"
#include "modes/payloads.h"
#include "text/unicode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

int hex_value(char32_t c) {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
  if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
  return -1;
}

// White space anywhere is skipped; every other character must be a hex digit, in pairs.
std::optional<Bytes> reference_hex(std::string_view text) {
  if (!kelp::is_valid_utf8(text)) return std::nullopt;
  std::vector<int> digits;
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = kelp::next_code_point(text, pos);
    if (kelp::is_white_space(c)) continue;
    const int v = hex_value(c);
    if (v < 0) return std::nullopt;
    digits.push_back(v);
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(digits[i] * 16 + digits[i + 1]));
  }
  return bytes;
}

// The inverse of the text payload's escapes.
std::string escape_for_text_payload(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Case-insensitive match on a preset name: ASCII letters, and the KELVIN SIGN, which lower-cases
// to "k".
std::string fold(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 3) == "\xE2\x84\xAA") {
      out += 'k';
      i += 2;
    } else if (text[i] >= 'A' && text[i] <= 'Z') {
      out += static_cast<char>(text[i] - 'A' + 'a');
    } else {
      out += text[i];
    }
  }
  return out;
}

std::optional<std::string_view> first_value(const std::vector<std::string>& args,
                                            std::string_view name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 == args.size()) return std::nullopt;
      return args[i + 1];
    }
  }
  return std::nullopt;
}

void check_selection(const std::vector<std::string>& args) {
  const auto payload = kelp::select_probe_payload(args);
  if (const auto name = first_value(args, "--preset")) {
    const std::string folded = fold(*name);
    if (folded == "break") {
      KELP_CHECK(payload && payload->send_break && payload->bytes.empty() &&
                 payload->label == "preset=break");
      return;
    }
    const kelp::ProbePreset* match = nullptr;
    for (const auto& preset : kelp::PROBE_PRESETS) {
      if (!preset.send_break && preset.name == folded) match = &preset;
    }
    KELP_CHECK(payload.has_value() == (match != nullptr));
    if (match) {
      KELP_CHECK(!payload->send_break && payload->label == "preset=" + std::string(*name));
      KELP_CHECK(Bytes(match->bytes.begin(), match->bytes.end()) == payload->bytes);
    }
  } else if (const auto hex = first_value(args, "--hex")) {
    const auto expected = reference_hex(*hex);
    KELP_CHECK(payload.has_value() == expected.has_value());
    if (payload)
      KELP_CHECK(payload->bytes == *expected && payload->label == "hex=" + std::string(*hex));
  } else if (const auto text = first_value(args, "--text")) {
    KELP_CHECK(payload && payload->bytes == kelp::parse_text_payload(*text) &&
               payload->label == "text=" + std::string(*text) && !payload->send_break);
  } else {
    KELP_CHECK(payload && payload->bytes == Bytes{0x05} &&
               payload->label == "preset=enq (default)" && !payload->send_break);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = kelp::fuzz::as_text(data, size);

  const auto hex = kelp::parse_hex_payload(raw);
  KELP_CHECK(hex == reference_hex(raw));

  const Bytes text = kelp::parse_text_payload(raw);
  KELP_CHECK(text.size() <= size);
  if (raw.find('\\') == std::string_view::npos) KELP_CHECK(text == Bytes(data, data + size));
  KELP_CHECK(kelp::parse_text_payload(escape_for_text_payload(raw)) == Bytes(data, data + size));

  check_selection(kelp::fuzz::argument_list(raw));
  return 0;
}
