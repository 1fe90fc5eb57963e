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
// Only text repeated for each record is ever left out (`show_chunk_view`, `show_repeated_error`):
// while the console is a few MiB behind, such text is dropped and counted, and once it takes
// output again one line on stdout says how many were left out and that the capture files hold
// them all. Other text (banners, summaries, errors, warnings) is always queued; a run writes it a
// bounded number of times, so the queue's memory stays bounded whatever the console does.
//
// At the end of a run the queue is written out: in full when the run ended by itself
// (`console_caught_up_within`, in a loop that also watches for an interrupt), within about a
// second when an interrupt ended it (`drain_console`).
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
// closed pipe from killing the process. A standard stream that was closed when the program started
// (`>&-`) is taken by the null device, so that no descriptor or handle the tool opens itself (the
// interrupt pipe, a log file) can become "the standard output". Call once at start-up, first.
void init_console();

// Whether the standard output was closed when the program started: what is written to it goes
// nowhere, and a command whose output is the point (`export --out -`) says so.
bool standard_output_was_closed();

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// Text repeated for each record, left out while the console is far behind: the console view of
// one captured chunk (an analysis, a proxy frame) or the line for one record sent, to stdout; an
// error that a capture goes on after and that may come again with the next datagram, to stderr.
void show_chunk_view(std::string text);
void show_repeated_error(std::string text);
// A view for scripts (one JSON line per change, say), to stdout, left out like a chunk view; the
// notice that stands in for what was left out then goes to stderr, so that stdout holds nothing
// but those lines.
void show_machine_view(std::string text);

// How far behind the console may fall before chunk views are left out.
inline constexpr std::size_t CONSOLE_QUEUE_BYTES = 4 * 1024 * 1024;

// Waits at most `limit` for the console to take everything queued so far; true when it has.
bool console_caught_up_within(std::chrono::milliseconds limit);

// Writes out what is queued, waiting for a console that does not take it until about one second
// after the first call, then gives up: the process may end while the console still holds text.
void drain_console();

// For a command that writes a long report and records nothing (`decode` of files): waits until at
// most `bytes` are still queued or being written, or `timeout` has passed; true in the first case.
// A slow reader then slows the report down instead of the queue growing without end, and a
// report is written out whole before the program ends.
bool wait_for_console(std::size_t bytes, std::chrono::milliseconds timeout);

// A board pinned below the output on a terminal (`decode`'s console board): while one is pinned,
// every text written to either stream appears above it and the board is drawn again below, so
// that the board stays in place and nothing scrolls it away. `text` is the board's lines joined
// by LF, without a final LF; a newer board replaces one not yet drawn. `release_console_board`
// leaves the last board on the screen and goes on below it (also done by drain_console and by
// the end of a run: finish_console_output, fatal_stop). Pinning is possible only when
// `console_board_possible()` says so: the standard output is a terminal that takes cursor
// movement (on Windows, a console with virtual terminal processing); otherwise the caller prints
// lines as it would to a pipe, and a pin does nothing.
//
// Pinning returns at once, like every other call here: boards pinned faster than the terminal
// takes them are drawn as the latest one only. The board shows at most one line less than the
// terminal's height, each line one column less than its width. Text for stderr goes above the
// board when stderr shows on the same terminal; otherwise it goes to its file as it always does
// and the board stays as it is. Text that does not end its line is ended before the board.
bool console_board_possible();
void pin_console_board(std::string text);
void release_console_board();

// The line that stands in for views left out: "(N chunks not shown ...)".
std::string left_out_notice(std::size_t count);

}  // namespace kelp
