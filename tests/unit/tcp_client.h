// A plain TCP client for the tests that talk to the built-in server: blocking connect to
// 127.0.0.1, whole sends, reads that wait at most a given time. One file per system
// (tcp_client_posix.cpp, tcp_client_win32.cpp), picked by tests/CMakeLists.txt.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelp {

class TcpClient {
 public:
  // Connects to 127.0.0.1:port. A receive buffer size above 0 is set before connecting, so that a
  // client that does not read fills up soon.
  static std::optional<TcpClient> connect_local(std::uint16_t port, int receive_buffer = 0);

  TcpClient(TcpClient&& other) noexcept;
  TcpClient& operator=(TcpClient&& other) noexcept;
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;
  ~TcpClient();

  bool send_all(std::string_view bytes);

  struct Received {
    std::string bytes;    // what arrived (possibly nothing)
    bool closed = false;  // the server ended the connection (end of stream or reset)
  };
  // Waits up to `wait` for bytes, then takes what is there.
  Received receive(std::chrono::milliseconds wait);

 private:
  explicit TcpClient(std::intptr_t native) : native_(native) {}
  std::intptr_t native_ = -1;
};

}  // namespace kelp
