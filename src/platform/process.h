// Ending the process: after a run that ended by itself, and on a failure the tool cannot go on
// from.
#pragma once

#include <string_view>

namespace kelp {

// The end of a run that ended by itself (its work done, or its port failed): waits until the
// console has taken everything, for as long as that takes, so that a pipe into a pager or a slow
// terminal gets every line. An interrupt before or during the wait ends the process as
// interrupted instead (`end_as_interrupted`), within about a second.
void finish_console_output();

// Writes "kelp-capture: fatal: <what>: <detail>" to the error stream, lets the console take it
// (`finish_console_output`) and ends the program with status 101, whatever other threads are
// doing. Files are written unbuffered, so every record already written stays whole.
[[noreturn]] void fatal_stop(std::string_view what, std::string_view detail);

}  // namespace kelp
