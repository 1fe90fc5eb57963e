// Appending to a text through a raw pointer, for the renderings that run over whole captures.
//
// `append_bounded` reserves `bound` bytes once, hands `write` the first free byte and keeps what
// it wrote up to the pointer it returns; the caller guarantees that `write` stays within `bound`.
// Writing into room taken once keeps the work per character small.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kelp {

template <typename Write>
void append_bounded(std::string& out, std::size_t bound, Write write) {
  const std::size_t old = out.size();
  out.resize_and_overwrite(old + bound, [&](char* buffer, std::size_t) {
    return static_cast<std::size_t>(write(buffer + old) - buffer);
  });
}

inline char* put(char* o, std::string_view piece) {
  std::memcpy(o, piece.data(), piece.size());
  return o + piece.size();
}

}  // namespace kelp
