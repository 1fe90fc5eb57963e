// The UDP listening socket of the scoreboard capture.
//
// `bind_udp` binds an IPv4 socket to 0.0.0.0 and the port, with a large receive buffer so that a
// burst that arrives while the console is busy is queued rather than dropped. `receive_datagram`
// blocks until a datagram arrives or Ctrl+C is pressed (see interrupt.h). Errors are OS error
// codes; turn them into text with `io_error_text`.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "platform/native_handle.h"

namespace kelp {

// Room for a burst of datagrams while the disk or the console is slow: every datagram costs a
// file creation, and one creation now and then takes a millisecond or more (on Windows a virus
// scanner looks at every new file). 32 MiB holds some 25,000 scoreboard-sized datagrams even
// where each is counted at its kernel size (about 1,300 bytes on Linux, which also doubles what
// is asked for). The memory is taken only while datagrams wait.
inline constexpr int UDP_RECEIVE_BUFFER_BYTES = 32 * 1024 * 1024;

// Closes a socket of this platform.
void close_socket(std::intptr_t native);
// Closes the event that tells a socket's receive loop that data is there. Only Windows gives a
// socket one; elsewhere the socket is waited on itself.
void close_socket_event(std::intptr_t native);

// A bound UDP socket with what waiting on it needs; closes both when destroyed. Move-only.
struct UdpSocket {
  NativeHandle<close_socket_event> data_event;  // empty but on Windows; closed after the socket
  NativeHandle<close_socket> handle;
};

struct Datagram {
  std::size_t size = 0;
  std::string sender;  // dotted IPv4 address, ":" and port, e.g. 192.168.1.20:50123
};

enum class ReceiveOutcome { Datagram, Interrupted, Error };

struct ReceiveResult {
  ReceiveOutcome outcome = ReceiveOutcome::Error;
  Datagram datagram;
  int error = 0;  // OS code when outcome is Error
};

// An IPv4 UDP socket, not bound yet, that programs started from this process do not inherit.
std::expected<UdpSocket, int> open_udp_socket();
std::expected<UdpSocket, int> bind_udp(std::uint16_t port);
// Sets SO_BROADCAST; gives false when the system refused.
bool enable_broadcast(UdpSocket& socket);
ReceiveResult receive_datagram(UdpSocket& socket, std::span<std::uint8_t> buffer);

}  // namespace kelp
