// Conversions between the tool's UTF-8 text and UTF-16, the text of the Windows API.
//
// UTF-16 comes as code units: char16_t, or wchar_t as the Windows API hands them over (each
// wchar_t is taken as one 16-bit unit). A surrogate pair becomes its code point. An unpaired
// surrogate becomes U+FFFD in the lenient readers; the strict readers give nothing instead.
// Towards UTF-16, every maximal ill-formed subpart of the UTF-8 text becomes one U+FFFD.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelp {

std::string utf8_from_utf16(std::u16string_view units);
std::optional<std::string> strict_utf8_from_wide(std::wstring_view units);

std::wstring wide_from_utf8(std::string_view text);

}  // namespace kelp
