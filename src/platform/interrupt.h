// Ctrl+C and its kin: SIGINT, SIGTERM and SIGHUP (a closed terminal or SSH session) on POSIX,
// the console control handler on Windows (Ctrl+C, Ctrl+Break, a closed console window).
//
// The handler only records that the user asked to stop. The loops of the modes look at
// `interrupted()` between reads, finish the record in hand, write out what is still pending and
// then call `end_as_interrupted()`, which lets the console write out what it holds (at most
// about a second) and ends the process the way the unhandled signal would have (the signal's
// default action on POSIX, the status of an interrupted console program on Windows). Blocking waits
// that must wake up on Ctrl+C (the UDP receive) watch `interrupt_wait_handle()`.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelp {

void install_interrupt_handler();
bool interrupted();
[[noreturn]] void end_as_interrupted();

// What stopped the run, for the line that says so: "Ctrl+C" (also when nothing did), "SIGTERM",
// "SIGHUP"; on Windows "Ctrl+C", "Ctrl+Break", "the console window closing", "the user logging
// off", "the system shutting down".
std::string interrupt_name();

// Sleeps until `until`, waking up within about 50 ms for an interrupt. False when one came.
bool sleep_unless_interrupted(std::chrono::steady_clock::time_point until);

// An OS object that becomes readable (POSIX: a file descriptor) or signalled (Windows: an event
// HANDLE) once an interrupt has arrived.
std::intptr_t interrupt_wait_handle();

}  // namespace kelp
