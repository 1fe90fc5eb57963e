#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>
#include <utility>

#include "platform/interrupt.h"
#include "platform/udp_socket.h"
#include "platform/winsock_start.h"

namespace kelp {
namespace {

SOCKET as_socket(std::intptr_t native) { return static_cast<SOCKET>(native); }

std::string format_sender(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

bool start_winsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

void close_socket(std::intptr_t native) { closesocket(as_socket(native)); }

void close_socket_event(std::intptr_t native) { WSACloseEvent(reinterpret_cast<WSAEVENT>(native)); }

std::expected<UdpSocket, int> open_udp_socket() {
  if (!start_winsock()) return std::unexpected(WSAGetLastError());
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return std::unexpected(WSAGetLastError());
  // Not inherited by programs started from this process.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  UdpSocket result;
  result.handle.reset(static_cast<std::intptr_t>(s));
  return result;
}

std::expected<UdpSocket, int> bind_udp(std::uint16_t port) {
  auto opened = open_udp_socket();
  if (!opened) return opened;
  UdpSocket result = std::move(*opened);
  const SOCKET s = as_socket(result.handle.native());
  int size = UDP_RECEIVE_BUFFER_BYTES;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::unexpected(WSAGetLastError());
  }
  // One event per socket, tied to it here, tells the receive loop that data is there; the loop
  // waits on it and on the interrupt event together.
  const WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) return std::unexpected(WSAGetLastError());
  result.data_event.reset(reinterpret_cast<std::intptr_t>(event));
  // This also makes the socket non-blocking, so that a receive never waits past Ctrl+C.
  if (WSAEventSelect(s, event, FD_READ) != 0) return std::unexpected(WSAGetLastError());
  return result;
}

bool enable_broadcast(UdpSocket& socket) {
  BOOL on = TRUE;
  return setsockopt(as_socket(socket.handle.native()), SOL_SOCKET, SO_BROADCAST,
                    reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

ReceiveResult receive_datagram(UdpSocket& socket, std::span<std::uint8_t> buffer) {
  SOCKET s = as_socket(socket.handle.native());
  HANDLE event = reinterpret_cast<HANDLE>(socket.data_event.native());
  HANDLE wake = reinterpret_cast<HANDLE>(interrupt_wait_handle());
  for (;;) {
    if (interrupted()) return {ReceiveOutcome::Interrupted, {}, 0};
    WSAResetEvent(event);
    sockaddr_in sender{};
    int sender_size = sizeof sender;
    int n = recvfrom(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (n >= 0) {
      return {ReceiveOutcome::Datagram,
              Datagram{static_cast<std::size_t>(n), format_sender(sender)}, 0};
    }
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return {ReceiveOutcome::Error, {}, error};
    HANDLE handles[2] = {event, wake};
    WaitForMultipleObjects(wake != nullptr ? 2 : 1, handles, FALSE, INFINITE);
  }
}

}  // namespace kelp
