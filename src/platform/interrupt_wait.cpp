#include <algorithm>
#include <thread>

#include "platform/interrupt.h"

namespace kelp {

namespace {

// How soon a sleeping mode notices Ctrl+C.
constexpr std::chrono::milliseconds INTERRUPT_POLL{50};

}  // namespace

bool sleep_unless_interrupted(std::chrono::steady_clock::time_point until) {
  using Clock = std::chrono::steady_clock;
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    if (interrupted()) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(INTERRUPT_POLL, until - now));
  }
  return !interrupted();
}

}  // namespace kelp
