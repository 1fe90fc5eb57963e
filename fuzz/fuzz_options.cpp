// The option rules over arbitrary argument lists (pieces of the input between NUL bytes), with a
// fake port detector. Every reader is compared with the rules written out a second time here:
// the first exact occurrence of an option gives its value, unusable numbers and words give the
// defaults, and the errors come in the documented order with their exact texts.
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

using Args = std::vector<std::string>;

constexpr std::string_view NO_SERIAL_PORT =
    "ERROR: No --port specified and no USB serial adapter auto-detected.\n"
    "Run `kelp-capture list` to see available ports.\n";
constexpr std::string_view NO_PROBE_PORT =
    "ERROR: no --port and no USB adapter auto-detected. Run `kelp-capture list`.\n";
constexpr std::string_view NO_LISTEN =
    "ERROR: --listen COM_PORT is required (the virtual port MM connects to)\n";
constexpr std::string_view NO_FORWARD =
    "ERROR: --forward COM_PORT is required (the real CTS6 port)\n";
constexpr std::string_view NO_PARITIES =
    "ERROR: no valid parities in --parities (accepted: none, odd, even)\n";
constexpr std::string_view BAD_PAYLOAD = "ERROR: couldn't parse probe payload.\n";

std::optional<std::string_view> first_value(const Args& args, std::string_view name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name)
      return i + 1 < args.size() ? std::optional<std::string_view>(args[i + 1]) : std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> reference_unsigned(std::string_view text, int bits) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (text.size() > 20) return std::nullopt;
  unsigned __int128 value = 0;
  for (const char c : text) value = value * 10 + static_cast<unsigned>(c - '0');
  const unsigned __int128 limit = (static_cast<unsigned __int128>(1) << bits) - 1;
  if (value > limit) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

template <typename T>
T number_or(const Args& args, std::string_view name, T fallback, int bits) {
  const auto value = first_value(args, name);
  if (!value) return fallback;
  return static_cast<T>(reference_unsigned(*value, bits).value_or(fallback));
}

// Only ASCII letters can lower-case into n, o, e, d, v: the words are matched without case.
std::optional<kelp::Parity> reference_parity(std::string_view text) {
  std::string word;
  for (const char c : text) word += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (word == "n" || word == "none") return kelp::Parity::None;
  if (word == "o" || word == "odd") return kelp::Parity::Odd;
  if (word == "e" || word == "even") return kelp::Parity::Even;
  return std::nullopt;
}

kelp::Parity parity_or_none(const Args& args) {
  const auto value = first_value(args, "--parity");
  return value ? reference_parity(*value).value_or(kelp::Parity::None) : kelp::Parity::None;
}

std::string_view trim(std::string_view piece) {
  // White space is trimmed by characters; decode from the front, and re-scan for the back.
  std::size_t begin = 0;
  while (begin < piece.size()) {
    std::size_t next = begin;
    if (!kelp::is_white_space(kelp::next_code_point(piece, next))) break;
    begin = next;
  }
  std::size_t end = begin;
  for (std::size_t pos = begin; pos < piece.size();) {
    const char32_t c = kelp::next_code_point(piece, pos);
    if (!kelp::is_white_space(c)) end = pos;
  }
  return piece.substr(begin, end - begin);
}

std::vector<kelp::Parity> reference_parity_list(std::string_view text) {
  std::vector<kelp::Parity> list;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(',', start);
    const std::string_view piece =
        text.substr(start, at == std::string_view::npos ? at : at - start);
    if (const auto parity = reference_parity(trim(piece))) list.push_back(*parity);
    if (at == std::string_view::npos) return list;
    start = at + 1;
  }
}

struct FakeDetector {
  std::optional<std::string> answer;
  int calls = 0;
  kelp::PortDetector detector() {
    return [this] {
      ++calls;
      return answer;
    };
  }
};

// The serial port of serial, probe and scan: --port as given, else the detector's answer.
std::optional<std::string> expected_port(const Args& args, const FakeDetector& fake) {
  if (const auto value = first_value(args, "--port")) return std::string(*value);
  return fake.answer;
}

void check_detector_use(const Args& args, const FakeDetector& fake) {
  KELP_CHECK(fake.calls == (first_value(args, "--port") ? 0 : 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte says whether an adapter is "plugged in"; the rest is the argument list.
  const std::optional<std::string> plugged =
      (data[0] & 1) ? std::optional<std::string>("/dev/cu.usbserial-2120") : std::nullopt;
  const std::string_view raw = kelp::fuzz::as_text(data + 1, size - 1);
  const Args args = kelp::fuzz::argument_list(raw);

  for (const std::string& arg : args) {
    for (const int bits : {16, 32, 64})
      KELP_CHECK(kelp::parse_unsigned(arg, bits) == reference_unsigned(arg, bits));
    KELP_CHECK(kelp::parse_parity(arg) == reference_parity(arg));
    KELP_CHECK(kelp::parse_parity_list(arg) == reference_parity_list(arg));
  }
  for (const std::string_view name : {"--port", "--baud", "--parity", "--wait-ms", "--listen"}) {
    KELP_CHECK(kelp::option_value(args, name) == first_value(args, name));
  }

  KELP_CHECK(kelp::read_udp_settings(args).port ==
             number_or<std::uint16_t>(args, "--port", 12000, 16));

  const std::uint32_t baud = number_or<std::uint32_t>(args, "--baud", 9600, 32);
  const kelp::Parity parity = parity_or_none(args);
  {
    FakeDetector fake{plugged};
    const auto settings = kelp::read_serial_settings(args, fake.detector());
    check_detector_use(args, fake);
    if (const auto port = expected_port(args, fake)) {
      KELP_CHECK(settings && settings->port == *port && settings->baud == baud &&
                 settings->parity == parity);
    } else {
      KELP_CHECK(!settings && settings.error() == NO_SERIAL_PORT);
    }
  }
  {
    FakeDetector fake{plugged};
    const auto settings = kelp::read_probe_settings(args, fake.detector());
    check_detector_use(args, fake);
    const auto payload = kelp::select_probe_payload(args);
    if (const auto port = expected_port(args, fake); !port) {
      KELP_CHECK(!settings && settings.error() == NO_PROBE_PORT);
    } else if (!payload) {
      KELP_CHECK(!settings && settings.error() == BAD_PAYLOAD);
    } else {
      KELP_CHECK(settings && settings->port == *port && settings->baud == baud &&
                 settings->parity == parity &&
                 settings->wait_ms == number_or<std::uint64_t>(args, "--wait-ms", 2000, 64) &&
                 settings->payload.bytes == payload->bytes &&
                 settings->payload.label == payload->label &&
                 settings->payload.send_break == payload->send_break);
    }
  }
  {
    FakeDetector fake{plugged};
    const auto settings = kelp::read_scan_settings(args, fake.detector());
    check_detector_use(args, fake);
    const auto parities =
        reference_parity_list(first_value(args, "--parities").value_or("none,odd"));
    if (const auto port = expected_port(args, fake); !port) {
      KELP_CHECK(!settings && settings.error() == NO_PROBE_PORT);
    } else if (parities.empty()) {
      KELP_CHECK(!settings && settings.error() == NO_PARITIES);
    } else {
      KELP_CHECK(settings && settings->port == *port && settings->parities == parities &&
                 settings->wait_ms == number_or<std::uint64_t>(args, "--wait-ms", 800, 64));
    }
  }
  {
    const auto settings = kelp::read_proxy_settings(args);
    const auto listen = first_value(args, "--listen");
    const auto forward = first_value(args, "--forward");
    if (!listen) {
      KELP_CHECK(!settings && settings.error() == NO_LISTEN);
    } else if (!forward) {
      KELP_CHECK(!settings && settings.error() == NO_FORWARD);
    } else {
      KELP_CHECK(settings && settings->listen == *listen && settings->forward == *forward &&
                 settings->baud == baud && settings->parity == parity);
    }
  }
  return 0;
}
