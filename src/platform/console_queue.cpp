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
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/console.h"
#include "platform/console_stream.h"

namespace kelp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto DRAIN_LIMIT = std::chrono::seconds(1);

struct Entry {
  ConsoleStream stream;
  std::string text;
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
};

bool caught_up(const ConsoleQueue& q) { return q.entries.empty() && !q.writing; }

void push(ConsoleQueue& q, ConsoleStream stream, std::string text) {
  q.bytes += text.size();
  q.entries.push_back(Entry{stream, std::move(text)});
}

// Under the lock: the notice for views left out goes where they would have been, once the
// console has made room again.
void push_left_out_notice(ConsoleQueue& q) {
  if (q.left_out == 0) return;
  push(q, q.notice_stream, left_out_notice(q.left_out));
  q.left_out = 0;
}

void write_batch(std::deque<Entry>& batch) {
  std::string joined;
  for (std::size_t i = 0; i < batch.size();) {
    const ConsoleStream stream = batch[i].stream;
    if (i + 1 == batch.size() || batch[i + 1].stream != stream) {
      write_console_stream(stream, batch[i].text);
      ++i;
      continue;
    }
    joined.clear();
    for (; i < batch.size() && batch[i].stream == stream; ++i) joined += batch[i].text;
    write_console_stream(stream, joined);
  }
}

[[noreturn]] void run_writer(ConsoleQueue& q) {
  std::unique_lock hold(q.lock);
  for (;;) {
    q.queued.wait(hold, [&q] { return !q.entries.empty(); });
    std::deque<Entry> batch;
    batch.swap(q.entries);
    std::size_t batch_bytes = 0;
    for (const Entry& entry : batch) batch_bytes += entry.text.size();
    q.writing = true;
    hold.unlock();
    write_batch(batch);
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

// Until the pinned board is written, a terminal gets the lines a pipe gets.
bool console_board_possible() { return false; }
void pin_console_board(std::string) {}
void release_console_board() {}

}  // namespace kelp
