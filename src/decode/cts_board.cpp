#include "decode/cts_board.h"

namespace kelp {
namespace {

bool dark(std::uint8_t value) { return value == CTS_BLANK || value == CTS_UNSENT; }

// The lit cells of [first, last], in order.
std::string lit(const CtsCells& cells, std::size_t first, std::size_t last) {
  std::string shown;
  for (std::size_t i = first; i <= last; ++i) {
    if (!dark(cells[i])) shown += cts_glyph(cells[i]);
  }
  return shown;
}

}  // namespace

CtsRole cts_role(std::uint8_t channel) {
  if (channel == 0) return CtsRole::Clock;
  if (channel <= 10) return CtsRole::Lane;
  if (channel == 11) return CtsRole::Lengths;
  if (channel == 12) return CtsRole::EventHeat;
  if (channel == 22) return CtsRole::TimeOfDay;
  return CtsRole::Other;
}

char cts_glyph(std::uint8_t value) {
  if (value <= 9) return static_cast<char>('0' + value);
  if (value < CTS_BLANK) return static_cast<char>('A' + (value - 10));
  return ' ';
}

std::string cts_text(const CtsCells& cells) {
  std::string text;
  for (const std::uint8_t value : cells) text += cts_glyph(value);
  return text;
}

std::string cts_time_text(const CtsCells& cells) {
  const std::string minutes = lit(cells, 2, 3);
  const std::string seconds = lit(cells, 4, 5);
  const std::string fraction = lit(cells, 6, 7);
  std::string text;
  if (!minutes.empty()) text = minutes + ":";
  text += seconds;
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

std::optional<unsigned> cts_number(const CtsCells& cells, std::size_t first, std::size_t last) {
  if (first == last) {
    if (dark(cells[first])) return std::nullopt;
    return cells[first];
  }
  unsigned number = 0;
  bool any = false;
  for (std::size_t i = first; i <= last; ++i) {
    if (dark(cells[i])) continue;
    if (cells[i] > 9) return std::nullopt;
    number = number * 10 + cells[i];
    any = true;
  }
  if (!any) return std::nullopt;
  return number;
}

}  // namespace kelp
