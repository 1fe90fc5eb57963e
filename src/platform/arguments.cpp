#include "platform/arguments.h"

#include <string_view>

#include "text/unicode.h"
#include "text/utf16.h"

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
    auto arg = strict_utf8_from_wide(argv[i] ? std::wstring_view(argv[i]) : std::wstring_view());
    if (!arg) return std::unexpected(static_cast<std::size_t>(i));
    args.push_back(std::move(*arg));
  }
  return args;
}

}  // namespace kelp
