// Console output for every mode.
//
// The console is a view; the capture files are the record. Nothing that captures or forwards
// ever waits for the console: every call hands its text to a queue and returns at once, and a
// thread of the console's own writes the queue out. So a console that stops taking output (a pipe
// whose reader stopped, a pager at its prompt, a Windows console window in which the user has
// selected text) never stalls a capture or the proxy's forwarding.
//
// What is queued goes out in order, stdout and stderr keeping their order relative to each other,
// and each call's text is written whole: a line is never split by another thread's output. When
// the console keeps up, the streams hold exactly the bytes handed in.
//
// The view of a captured chunk (`show_chunk_view`) is the only thing ever left out: while the
// console is a few MiB behind, such views are dropped and counted, and once it takes output again
// one line on stdout says how many were left out and that the capture files hold them all. Other
// text (banners, errors, warnings) is always queued.
//
// On a Windows console the UTF-8 text is shown through the wide-character console API so that
// non-ASCII characters such as "—" appear correctly; redirected output is always the UTF-8 bytes
// with single LF line ends. Write failures (a closed pipe, a full disk behind a redirection) are
// ignored: the capture goes on and the files keep every byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kelp {

// Puts the standard streams in the mode the tool needs (binary, no CRLF translation) and stops a
// closed pipe from killing the process. Call once at start-up.
void init_console();

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// The console view of one captured chunk (an analysis, a proxy frame), to stdout.
void show_chunk_view(std::string text);

// How far behind the console may fall before chunk views are left out.
inline constexpr std::size_t CONSOLE_QUEUE_BYTES = 4 * 1024 * 1024;

// Writes out what is queued, waiting at most about one second for a console that does not take
// it. Every way out of the process goes through here first.
void drain_console();

// For a command that writes a long report and records nothing (`decode` of files): waits until at
// most `bytes` are still queued or being written, or `timeout` has passed; true in the first case.
// A slow reader then slows the report down instead of the queue growing without end, and a
// report is written out whole before the program ends.
bool wait_for_console(std::size_t bytes, std::chrono::milliseconds timeout);

// The line that stands in for views left out: "(N chunks not shown ...)".
std::string left_out_notice(std::size_t count);

}  // namespace kelp
