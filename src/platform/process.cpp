#include "platform/process.h"

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "platform/interrupt.h"

namespace kelp {
namespace {

// How often the wait for the console looks for an interrupt.
constexpr std::chrono::milliseconds INTERRUPT_POLL{50};

}  // namespace

void finish_console_output() {
  // A board pinned below the output stays on the screen, and the shell's prompt comes below it.
  release_console_board();
  for (;;) {
    if (interrupted()) end_as_interrupted();
    if (console_caught_up_within(INTERRUPT_POLL)) return;
  }
}

void fatal_stop(std::string_view what, std::string_view detail) {
  release_console_board();
  write_stderr("kelp-capture: fatal: " + std::string(what) + ": " + std::string(detail) + "\n");
  finish_console_output();
  std::_Exit(101);  // other threads may still run; nothing is buffered, so nothing is lost
}

}  // namespace kelp
