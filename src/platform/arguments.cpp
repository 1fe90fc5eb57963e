#include "platform/arguments.h"

#include "capture/unicode.h"

namespace kelp {

std::expected<std::vector<std::string>, std::size_t> arguments_from_utf8(int argc,
                                                                         const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "";
    if (!is_valid_utf8(arg)) return std::unexpected(static_cast<std::size_t>(i));
    args.push_back(std::move(arg));
  }
  return args;
}

std::expected<std::vector<std::string>, std::size_t> arguments_from_utf16(
    int argc, const wchar_t* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string arg;
    for (const wchar_t* p = argv[i]; p && *p; ++p) {
      char32_t unit = static_cast<char32_t>(static_cast<std::uint16_t>(*p));
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        char32_t low = static_cast<char32_t>(static_cast<std::uint16_t>(p[1]));
        if (low < 0xDC00 || low > 0xDFFF) return std::unexpected(static_cast<std::size_t>(i));
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        ++p;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return std::unexpected(static_cast<std::size_t>(i));
      }
      append_utf8(arg, unit);
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace kelp
