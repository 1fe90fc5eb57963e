// Ending the process on a failure the tool cannot go on from.
#pragma once

#include <string_view>

namespace kelp {

// Writes "kelp-capture: fatal: <what>: <detail>" to the error stream and ends the program with
// status 101 at once, whatever other threads are doing. Files are written unbuffered, so every
// record already written stays whole.
[[noreturn]] void fatal_stop(std::string_view what, std::string_view detail);

}  // namespace kelp
