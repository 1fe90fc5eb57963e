#include "text/utf16.h"

#include <cstdint>

#include "text/unicode.h"

namespace kelp {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Gives false at the first unpaired surrogate when `strict`; otherwise writes U+FFFD for it.
template <typename Unit>
bool to_utf8(std::basic_string_view<Unit> units, bool strict, std::string& out) {
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto unit = static_cast<char32_t>(static_cast<std::uint16_t>(units[i]));
    const auto next = i + 1 < units.size()
                          ? static_cast<char32_t>(static_cast<std::uint16_t>(units[i + 1]))
                          : char32_t{0};
    if (is_high_surrogate(unit) && is_low_surrogate(next)) {
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      if (strict) return false;
      append_utf8(out, REPLACEMENT);
    } else {
      append_utf8(out, unit);
    }
  }
  return true;
}

template <typename Unit>
std::basic_string<Unit> to_utf16(std::string_view text) {
  std::basic_string<Unit> out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = next_code_point(text, pos);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
      out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<Unit>(c));
    }
  }
  return out;
}

}  // namespace

std::string utf8_from_utf16(std::u16string_view units) {
  std::string out;
  to_utf8(units, false, out);
  return out;
}

std::optional<std::string> strict_utf8_from_wide(std::wstring_view units) {
  std::string out;
  if (!to_utf8(units, true, out)) return std::nullopt;
  return out;
}

std::wstring wide_from_utf8(std::string_view text) { return to_utf16<wchar_t>(text); }

}  // namespace kelp
