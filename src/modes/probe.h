// One question and answer on a serial line, shared by the probe and the scan.
//
// `probe_exchange` opens the port (100 ms time-out), raises DTR and RTS (failures ignored), sends
// the payload (or holds a line break for 250 ms, or sends nothing for an empty payload), then
// collects every byte that arrives until `wait_ms` after the sending ended; a read under way at
// the deadline is let finish. The port is closed again on every path. A wait too long for the
// monotonic clock listens without end.
//
// Failures come back as an `ExchangeError` whose text names the step ("open COM3@9600-N-8-1: ...",
// "set_break: ", "clear_break: ", "write: ", "flush: ", "read: "). When Ctrl+C arrives during the
// break hold or the window, the exchange is abandoned with `interrupted` set (and an empty text);
// the caller then ends the process. A read that fails after the device had begun to answer keeps
// what arrived in `received`, so the caller can still record it.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial.h"

namespace kelp {

struct ExchangeError {
  std::string text;
  bool interrupted = false;
  std::vector<std::uint8_t> received{};
};

std::expected<std::vector<std::uint8_t>, ExchangeError> probe_exchange(
    std::string_view port, std::uint32_t baud, Parity parity, std::span<const std::uint8_t> bytes,
    bool send_break, std::uint64_t wait_ms);

// `now` + `wait_ms`, or the clock's largest time point when the sum cannot be represented.
std::chrono::steady_clock::time_point exchange_deadline(std::chrono::steady_clock::time_point now,
                                                        std::uint64_t wait_ms);

}  // namespace kelp
