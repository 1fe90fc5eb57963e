#include <windows.h>

#include <atomic>

#include "platform/console.h"
#include "platform/interrupt.h"

namespace kelp {
namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<DWORD> g_event_type{CTRL_C_EVENT};
HANDLE g_event = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  g_event_type.store(event);
  g_interrupted.store(true);
  if (g_event != nullptr) SetEvent(g_event);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process as soon as this returns; give the main thread the moment it
    // needs to write out what is pending (it exits the process itself).
    Sleep(5000);
  }
  return TRUE;
}

}  // namespace

void install_interrupt_handler() {
  g_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool interrupted() { return g_interrupted.load(); }

std::string interrupt_name() {
  switch (g_event_type.load()) {
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "the console window closing";
    case CTRL_LOGOFF_EVENT:
      return "the user logging off";
    case CTRL_SHUTDOWN_EVENT:
      return "the system shutting down";
    default:
      return "Ctrl+C";
  }
}

void end_as_interrupted() {
  drain_console();
  // The status a console program gets when Ctrl+C ends it.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

std::intptr_t interrupt_wait_handle() { return reinterpret_cast<std::intptr_t>(g_event); }

}  // namespace kelp
