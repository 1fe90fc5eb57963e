#include "board/race.h"

namespace kelp {
namespace {

// The digits of `text` as a number; nothing when a character is not a digit or there are more
// than `most` of them.
std::optional<std::uint64_t> digits_value(std::string_view text, std::size_t most) {
  if (text.size() > most) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> time_in_hundredths(std::string_view time) {
  if (time.empty()) return std::nullopt;
  std::uint64_t minutes = 0;
  if (const std::size_t colon = time.find(':'); colon != std::string_view::npos) {
    const auto value = digits_value(time.substr(0, colon), 2);
    if (!value || colon == 0) return std::nullopt;
    minutes = *value;
    time.remove_prefix(colon + 1);
  }
  std::string_view fraction;
  if (const std::size_t point = time.find('.'); point != std::string_view::npos) {
    fraction = time.substr(point + 1);
    time = time.substr(0, point);
    if (fraction.empty()) return std::nullopt;
  }
  const auto seconds = digits_value(time, 2);
  const auto parts = digits_value(fraction, 2);
  if (!seconds || !parts) return std::nullopt;
  const std::uint64_t hundredths = fraction.size() == 1 ? *parts * 10 : *parts;
  return (minutes * 60 + *seconds) * 100 + hundredths;
}

std::string seconds_text(std::uint64_t hundredths) {
  const std::uint64_t part = hundredths % 100;
  return std::to_string(hundredths / 100) + (part < 10 ? ".0" : ".") + std::to_string(part);
}

}  // namespace kelp
