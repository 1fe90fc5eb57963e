// What each platform's console file supplies to the console queue: the blocking write of one
// whole text to stdout or stderr. Only the queue's writer thread calls it.
#pragma once

#include <string_view>

namespace kelp {

enum class ConsoleStream { Out, Err };

// Writes all of `text`, or gives up on the first failure (a closed pipe, a full disk).
void write_console_stream(ConsoleStream stream, std::string_view text);

}  // namespace kelp
