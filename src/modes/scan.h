// The baud and parity scan: one probe exchange for every baud rate, parity and preset, strictly
// one after another, then a summary of the combinations that drew an answer.
//
// The formatters below are pure and give the scan's console texts; `scan_command` (modes.h) does
// the exchanges, prints, and writes one log line per combination (two for an answer) as it goes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial.h"

namespace kelp {

// In the order they are tried; the rare slow rates come last.
inline constexpr std::array<std::uint32_t, 8> SCAN_BAUD_RATES = {4800,  9600,   19200, 38400,
                                                                 57600, 115200, 2400,  1200};

struct ScanHit {
  std::string label;  // "preset=NAME"
  std::uint32_t baud = 0;
  Parity parity = Parity::None;
  std::vector<std::uint8_t> response;  // at least one byte
};

// The first 64 bytes, printable ASCII as itself and every other byte as \xNN.
std::string byte_preview(std::span<const std::uint8_t> bytes);

// "  preset=enq       @   4800-N-8-1 ... ": the start of a combination's console line, written
// before its exchange runs.
std::string scan_line_start(std::string_view label, std::uint32_t baud, Parity parity);

// The header, from "=== Scan ===" to the "Scanning ..." line and its empty line.
std::string scan_header(std::string_view port, std::uint64_t wait_ms,
                        std::span<const Parity> parities, std::string_view log_path);

// The summary, from "\n=== Scan Summary ===" on.
std::string scan_summary(std::span<const ScanHit> hits, std::string_view log_path);

}  // namespace kelp
