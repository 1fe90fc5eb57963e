// Shared by the fuzz targets: a property check that stops the run at the first violation, with a
// line saying which property broke, so that libFuzzer saves the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelp::fuzz {

[[noreturn]] inline void violated(const char* what, const char* file, int line) {
  std::fprintf(stderr, "property violated: %s (%s:%d)\n", what, file, line);
  std::fflush(stderr);
  __builtin_trap();
}

#define KELP_CHECK(condition)                                                 \
  do {                                                                        \
    if (!(condition)) ::kelp::fuzz::violated(#condition, __FILE__, __LINE__); \
  } while (0)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// An argument list out of the input: the pieces between NUL bytes, with the program path first.
inline std::vector<std::string> argument_list(std::string_view text) {
  std::vector<std::string> args{"kelp-capture"};
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find('\0', start);
    args.emplace_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return args;
}

// What no console text may hold: a C0 control other than TAB and LF, DEL, or a C1 control in
// its UTF-8 form (C2 80 to C2 9F). A terminal acts on any of them.
inline bool has_terminal_control(std::string_view text, bool allow_lf) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(text[i]);
    if (b == '\t' || (b == '\n' && allow_lf)) continue;
    if (b < 0x20 || b == 0x7F) return true;
    if (b == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<std::uint8_t>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

}  // namespace kelp::fuzz
