// The console queue and its writer thread.
//
// Every text handed to the console becomes one entry of a queue; the writer thread takes all
// that is queued at once, joins neighbouring entries of the same stream into one write, and
// writes them out in order. The bytes held count until they are written, so a console that has
// stopped taking output holds at most about CONSOLE_QUEUE_BYTES of repeated text (plus the few
// other lines of a run), whatever the capture goes through meanwhile.
//
// The queue is never destroyed: the process may end while the writer is blocked in a write to a
// console that takes nothing, and that must not hold up the end.
//
// A pinned board is not queued: the queue holds the latest one pinned and not yet drawn, which
// a newer one replaces, so that a board redrawn for each tenth of a second of a clock costs what
// the terminal can take and no more. The writer owns the screen: after taking what is queued it
// paints it above the board (console_board_paint.h) and draws the latest board below, in one
// write. Where a board ends (`release_console_board`) the queue holds a mark, in its place
// among the texts, with the last board pinned before it; text queued after the mark goes below
// that board, and a board pinned after it is a new one.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/console.h"
#include "platform/console_board_paint.h"
#include "platform/console_stream.h"

namespace kelp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto DRAIN_LIMIT = std::chrono::seconds(1);

struct Entry {
  ConsoleStream stream;
  std::string text;
  // The end of a board, in place of a text: `board`, when set, is the last one pinned before it
  // and not yet drawn.
  bool ends_board = false;
  std::optional<std::string> board;
};

// The writer's own view of the terminal: only the writer thread touches it.
struct Screen {
  std::size_t board_rows = 0;  // the rows of the board on the screen, 0 when there is none
  std::string board;           // what it shows
  TerminalSize size;           // the size it was drawn for
  bool mid_line = false;       // the last text shown did not end its line
};

struct ConsoleQueue {
  std::mutex lock;
  std::condition_variable queued;   // the writer has something to do
  std::condition_variable written;  // the writer has caught up
  std::deque<Entry> entries;
  std::size_t bytes = 0;  // queued or being written
  bool writing = false;
  std::size_t left_out = 0;
  // Where the notice for them goes: stdout, unless stdout must hold nothing but the lines of a
  // machine view.
  ConsoleStream notice_stream = ConsoleStream::Out;
  std::optional<Clock::time_point> give_up_at;  // set by the first drain_console
  // The latest board pinned and not yet taken by the writer, and whether a board was pinned
  // since the last end of one (an end to queue at release).
  std::optional<std::string> pinned;
  bool board_open = false;
  Screen screen;
};

bool caught_up(const ConsoleQueue& q) { return q.entries.empty() && !q.pinned && !q.writing; }

void push(ConsoleQueue& q, ConsoleStream stream, std::string text) {
  q.bytes += text.size();
  q.entries.push_back(Entry{stream, std::move(text), false, std::nullopt});
}

// Under the lock: the notice for views left out goes where they would have been, once the
// console has made room again.
void push_left_out_notice(ConsoleQueue& q) {
  if (q.left_out == 0) return;
  push(q, q.notice_stream, left_out_notice(q.left_out));
  q.left_out = 0;
}

bool error_on_output_terminal() {
  static const bool same = console_error_on_output_terminal();
  return same;
}

// Texts without a board: neighbouring texts of one stream in one write.
void write_plain(Screen& screen, const std::deque<Entry>& batch, std::size_t begin,
                 std::size_t end) {
  std::string joined;
  for (std::size_t i = begin; i < end;) {
    const ConsoleStream stream = batch[i].stream;
    std::size_t next = i + 1;
    while (next < end && batch[next].stream == stream) ++next;
    const std::string* text = &batch[i].text;
    if (next > i + 1) {
      joined.clear();
      for (std::size_t k = i; k < next; ++k) joined += batch[k].text;
      text = &joined;
    }
    write_console_stream(stream, *text);
    if (!text->empty() && (stream == ConsoleStream::Out || error_on_output_terminal())) {
      screen.mid_line = text->back() != '\n';
    }
    i = next;
  }
}

// Texts of one board's time on the screen, then `board` (or the one on the screen) below them.
void write_with_board(Screen& screen, const std::deque<Entry>& batch, std::size_t begin,
                      std::size_t end, const std::optional<std::string>& board) {
  std::string above;
  const bool err_above = error_on_output_terminal();
  for (std::size_t i = begin; i < end; ++i) {
    if (batch[i].stream == ConsoleStream::Out || err_above) {
      above += batch[i].text;
    } else {
      write_console_stream(batch[i].stream, batch[i].text);  // to its file; the board stays
    }
  }
  // A first board below a line left open begins on a line of its own.
  if (above.empty() && screen.board_rows == 0 && screen.mid_line) above = "\n";
  const std::string& shown = board ? *board : screen.board;
  const TerminalSize size = console_terminal_size();
  if (above.empty() && screen.board_rows > 0 && shown == screen.board &&
      size.columns == screen.size.columns && size.rows == screen.size.rows) {
    return;  // the same board again
  }
  BoardPaint paint = paint_board(screen.board_rows, above, shown, size);
  write_console_stream(ConsoleStream::Out, paint.bytes);
  screen.board_rows = paint.board_rows;
  screen.board = shown;
  screen.size = size;
  screen.mid_line = false;
}

// What was taken from the queue, in order: between two ends of a board, the texts go above the
// board then shown; without a board on the screen or to come, they are written as they are.
void write_batch(Screen& screen, const std::deque<Entry>& batch,
                 const std::optional<std::string>& pinned) {
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = begin;
    while (end < batch.size() && !batch[end].ends_board) ++end;
    const bool last = end == batch.size();
    const std::optional<std::string>& board = last ? pinned : batch[end].board;
    if (screen.board_rows == 0 && !board) {
      write_plain(screen, batch, begin, end);
    } else {
      write_with_board(screen, batch, begin, end, board);
    }
    if (last) return;
    if (screen.board_rows > 0) {
      write_console_stream(ConsoleStream::Out, end_board(screen.board_rows));
      screen = Screen{};
    }
    begin = end + 1;
  }
}

[[noreturn]] void run_writer(ConsoleQueue& q) {
  std::unique_lock hold(q.lock);
  for (;;) {
    q.queued.wait(hold, [&q] { return !q.entries.empty() || q.pinned; });
    std::deque<Entry> batch;
    batch.swap(q.entries);
    std::optional<std::string> pinned = std::move(q.pinned);
    q.pinned.reset();
    std::size_t batch_bytes = 0;
    for (const Entry& entry : batch) batch_bytes += entry.text.size();
    q.writing = true;
    hold.unlock();
    write_batch(q.screen, batch, pinned);
    hold.lock();
    q.writing = false;
    q.bytes -= batch_bytes;
    if (q.entries.empty()) push_left_out_notice(q);
    // Both the end of the queue and each batch written: a report waits for room.
    q.written.notify_all();
  }
}

ConsoleQueue& console_queue() {
  static ConsoleQueue* const queue = [] {
    auto* q = new ConsoleQueue;
    std::thread(run_writer, std::ref(*q)).detach();
    return q;
  }();
  return *queue;
}

// Under the lock: the mark where the board pinned since the last one ends; false when no board
// was pinned since.
bool end_board_locked(ConsoleQueue& q) {
  if (!q.board_open) return false;
  Entry end{ConsoleStream::Out, std::string(), true, std::move(q.pinned)};
  q.pinned.reset();
  q.board_open = false;
  q.entries.push_back(std::move(end));
  return true;
}

void queue_text(ConsoleStream stream, std::string text) {
  ConsoleQueue& q = console_queue();
  {
    std::lock_guard hold(q.lock);
    if (q.bytes + text.size() <= CONSOLE_QUEUE_BYTES) push_left_out_notice(q);
    push(q, stream, std::move(text));
  }
  q.queued.notify_one();
}

// Repeated text: left out, and counted, while the console is too far behind.
void queue_repeated(ConsoleStream stream, std::string text,
                    ConsoleStream notice_stream = ConsoleStream::Out) {
  ConsoleQueue& q = console_queue();
  {
    std::lock_guard hold(q.lock);
    // A view larger than the whole queue still goes out when nothing else waits.
    if (q.bytes != 0 && q.bytes + text.size() > CONSOLE_QUEUE_BYTES) {
      ++q.left_out;
      q.notice_stream = notice_stream;
      return;
    }
    push_left_out_notice(q);
    push(q, stream, std::move(text));
  }
  q.queued.notify_one();
}

}  // namespace

void write_stdout(std::string_view text) { queue_text(ConsoleStream::Out, std::string(text)); }
void write_stderr(std::string_view text) { queue_text(ConsoleStream::Err, std::string(text)); }

void show_chunk_view(std::string text) { queue_repeated(ConsoleStream::Out, std::move(text)); }
void show_repeated_error(std::string text) { queue_repeated(ConsoleStream::Err, std::move(text)); }
void show_machine_view(std::string text) {
  queue_repeated(ConsoleStream::Out, std::move(text), ConsoleStream::Err);
}

bool console_caught_up_within(std::chrono::milliseconds limit) {
  ConsoleQueue& q = console_queue();
  std::unique_lock hold(q.lock);
  return q.written.wait_for(hold, limit, [&q] { return caught_up(q); });
}

void drain_console() {
  ConsoleQueue& q = console_queue();
  std::unique_lock hold(q.lock);
  // One second in all, however many ways out call it (a mode's interrupted end, then the entry
  // point's).
  if (!q.give_up_at) q.give_up_at = Clock::now() + DRAIN_LIMIT;
  if (end_board_locked(q)) q.queued.notify_one();
  q.written.wait_until(hold, *q.give_up_at, [&q] { return caught_up(q); });
}

bool wait_for_console(std::size_t bytes, std::chrono::milliseconds timeout) {
  ConsoleQueue& q = console_queue();
  std::unique_lock hold(q.lock);
  return q.written.wait_for(hold, timeout, [&q, bytes] { return q.bytes <= bytes; });
}

std::string left_out_notice(std::size_t count) {
  const std::string n = std::to_string(count);
  return count == 1 ? "(1 record was left out here while the console was not taking output; the "
                      "capture files hold it)\n"
                    : "(" + n +
                          " records were left out here while the console was not taking output; "
                          "the capture files hold them all)\n";
}

bool console_board_possible() {
  static const bool possible = console_stream_takes_cursor_movement();
  return possible;
}

void pin_console_board(std::string text) {
  // Never an escape sequence into a pipe or a file, whatever the caller asked.
  if (!console_board_possible()) return;
  ConsoleQueue& q = console_queue();
  {
    std::lock_guard hold(q.lock);
    q.pinned = std::move(text);
    q.board_open = true;
  }
  q.queued.notify_one();
}

void release_console_board() {
  ConsoleQueue& q = console_queue();
  bool ended = false;
  {
    std::lock_guard hold(q.lock);
    ended = end_board_locked(q);
  }
  if (ended) q.queued.notify_one();
}

}  // namespace kelp
