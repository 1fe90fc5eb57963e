// Console output for every mode.
//
// Each call hands its whole text to the console at once, under one process-wide lock, so a line
// (or a whole analysis block) is never split by another thread's output. On a Windows console the
// UTF-8 text is shown through the wide-character console API so that non-ASCII characters such as
// "—" appear correctly; redirected output is always the UTF-8 bytes with single LF line ends.
// Write failures (a closed pipe, a full disk behind a redirection) are ignored: the capture goes on
// and the files keep every byte.
#pragma once

#include <string_view>

namespace kelp {

// Puts the standard streams in the mode the tool needs (binary, no CRLF translation) and stops a
// closed pipe from killing the process. Call once at start-up.
void init_console();

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

}  // namespace kelp
