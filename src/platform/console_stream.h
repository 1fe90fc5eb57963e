// What each platform's console file supplies to the console queue: the blocking write of one
// whole text to stdout or stderr, and what the queue needs to know of a terminal to pin a board
// below the output. Only the queue calls these (the writes from its writer thread alone).
#pragma once

#include <string_view>

#include "platform/console_board_paint.h"

namespace kelp {

enum class ConsoleStream { Out, Err };

// Writes all of `text`, or gives up on the first failure (a closed pipe, a full disk).
void write_console_stream(ConsoleStream stream, std::string_view text);

// Whether stdout is a terminal that takes the cursor movement of console_board_paint.h; on
// Windows this turns on the console's virtual terminal processing, where it has one. Asked once.
bool console_stream_takes_cursor_movement();

// Whether stderr shows on the same terminal as stdout, so that its text belongs above a board.
bool console_error_on_output_terminal();

// The size of the terminal on stdout now (80 x 24 when it cannot be read).
TerminalSize console_terminal_size();

}  // namespace kelp
