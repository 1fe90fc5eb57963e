#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "tcp_client.h"

namespace kelp {

std::optional<TcpClient> TcpClient::connect_local(std::uint16_t port, int receive_buffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  TcpClient client(fd);
  if (receive_buffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int result = 0;
  do {
    result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::nullopt;
  return client;
}

TcpClient::TcpClient(TcpClient&& other) noexcept : native_(std::exchange(other.native_, -1)) {}
TcpClient& TcpClient::operator=(TcpClient&& other) noexcept {
  std::swap(native_, other.native_);
  return *this;
}
TcpClient::~TcpClient() {
  if (native_ >= 0) close(static_cast<int>(native_));
}

bool TcpClient::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(static_cast<int>(native_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

TcpClient::Received TcpClient::receive(std::chrono::milliseconds wait) {
  Received received;
  pollfd entry{static_cast<int>(native_), POLLIN, 0};
  const int ready = poll(&entry, 1, static_cast<int>(wait.count()));
  if (ready <= 0) return received;
  char buffer[65536];
  const ssize_t got = recv(static_cast<int>(native_), buffer, sizeof buffer, 0);
  if (got > 0) {
    received.bytes.assign(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    received.closed = true;
  }
  return received;
}

}  // namespace kelp
