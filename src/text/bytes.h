// Raw bytes as they came off the wire or go onto it, and the same bytes seen as text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kelp {

using ByteView = std::span<const std::uint8_t>;

// The bytes of a text, unchanged.
inline ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The bytes as a text, unchanged (not decoded: it may be ill-formed UTF-8).
inline std::string_view chars_of(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace kelp
