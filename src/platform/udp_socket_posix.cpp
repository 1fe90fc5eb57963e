#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/interrupt.h"
#include "platform/udp_socket.h"

namespace kelp {
namespace {

// A process allowed to raise the system's cap (CAP_NET_ADMIN) gets the whole buffer; any other
// gets what net.core.rmem_max allows.
void enlarge_receive_buffer(int fd) {
  int size = UDP_RECEIVE_BUFFER_BYTES;
#ifdef SO_RCVBUFFORCE
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) return;
#endif
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

std::string format_sender(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

void close_socket(std::intptr_t native) { ::close(static_cast<int>(native)); }

// poll waits on the socket itself: no socket is given an event here.
void close_socket_event(std::intptr_t) {}

std::expected<UdpSocket, int> open_udp_socket() {
  // Where the socket type takes no close-on-exec flag (macOS), the flag is set on the descriptor
  // straight after.
#ifdef SOCK_CLOEXEC
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
#else
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(error);
  }
#endif
  if (fd < 0) return std::unexpected(errno);
  UdpSocket socket;
  socket.handle.reset(fd);
  return socket;
}

std::expected<UdpSocket, int> bind_udp(std::uint16_t port) {
  auto socket = open_udp_socket();
  if (!socket) return socket;
  const int fd = static_cast<int>(socket->handle.native());
  enlarge_receive_buffer(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::unexpected(errno);
  }
  return socket;
}

bool enable_broadcast(UdpSocket& socket) {
  int on = 1;
  return ::setsockopt(static_cast<int>(socket.handle.native()), SOL_SOCKET, SO_BROADCAST, &on,
                      sizeof on) == 0;
}

ReceiveResult receive_datagram(UdpSocket& socket, std::span<std::uint8_t> buffer) {
  int fd = static_cast<int>(socket.handle.native());
  int wake = static_cast<int>(interrupt_wait_handle());
  for (;;) {
    if (interrupted()) return {ReceiveOutcome::Interrupted, {}, 0};
    // Under load datagrams are already queued: take one straight away, and wait only when the
    // queue is empty.
    sockaddr_in sender{};
    socklen_t sender_size = sizeof sender;
    ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (n >= 0) {
      return {ReceiveOutcome::Datagram,
              Datagram{static_cast<std::size_t>(n), format_sender(sender)}, 0};
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {ReceiveOutcome::Error, {}, errno};

    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, wake >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
      return {ReceiveOutcome::Error, {}, errno};
    }
  }
}

}  // namespace kelp
