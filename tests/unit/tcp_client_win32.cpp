#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <utility>

#include "platform/winsock_start.h"
#include "tcp_client.h"

namespace kelp {

std::optional<TcpClient> TcpClient::connect_local(std::uint16_t port, int receive_buffer) {
  if (!start_winsock()) return std::nullopt;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return std::nullopt;
  TcpClient client(static_cast<std::intptr_t>(s));
  if (receive_buffer > 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
               sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::nullopt;
  }
  return client;
}

TcpClient::TcpClient(TcpClient&& other) noexcept : native_(std::exchange(other.native_, -1)) {}
TcpClient& TcpClient::operator=(TcpClient&& other) noexcept {
  std::swap(native_, other.native_);
  return *this;
}
TcpClient::~TcpClient() {
  if (native_ != -1) closesocket(static_cast<SOCKET>(native_));
}

bool TcpClient::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
    const int sent = send(static_cast<SOCKET>(native_), bytes.data(), chunk, 0);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

TcpClient::Received TcpClient::receive(std::chrono::milliseconds wait) {
  Received received;
  const SOCKET s = static_cast<SOCKET>(native_);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{static_cast<long>(wait.count() / 1000),
                  static_cast<long>(wait.count() % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &timeout) <= 0) return received;
  char buffer[65536];
  const int got = recv(s, buffer, sizeof buffer, 0);
  if (got > 0) {
    received.bytes.assign(buffer, static_cast<std::size_t>(got));
  } else {
    received.closed = true;
  }
  return received;
}

}  // namespace kelp
