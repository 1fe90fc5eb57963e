// The process's command line as UTF-8 text.
//
// Every argument must be valid Unicode. `arguments_from_utf8` checks the bytes a POSIX system
// passes; `arguments_from_utf16` converts the UTF-16 command line of Windows. Either gives the
// list, index 0 being the program path, or the index of the first argument that is not valid.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

namespace kelp {

std::expected<std::vector<std::string>, std::size_t> arguments_from_utf8(int argc,
                                                                         const char* const* argv);
std::expected<std::vector<std::string>, std::size_t> arguments_from_utf16(
    int argc, const wchar_t* const* argv);

}  // namespace kelp
