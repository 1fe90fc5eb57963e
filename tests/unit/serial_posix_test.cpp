// The serial layer against pseudo-terminals: the test holds the master and plays the device; the
// code under test opens the slave by name. The slave is left exactly as openpty made it (cooked,
// echoing, with CR/LF translation and XON/XOFF), so a port that was not made raw shows up here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>  // openpty on macOS and the BSDs
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial.h"

namespace kelp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct Pty {
  int master = -1;
  std::string slave;

  Pty() {
    int slave_fd = -1;
    char name[256] = {};
    if (::openpty(&master, &slave_fd, name, nullptr, nullptr) != 0) return;
    slave = name;
    // Only the code under test keeps the slave open; its settings stay as openpty made them.
    ::close(slave_fd);
  }
  ~Pty() { close_master(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  void close_master() {
    if (master != -1) ::close(master);
    master = -1;
  }

  void send(const Bytes& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
      if (n < 0 && errno != EINTR) return;
    }
  }

  // Everything the device sent within `quiet` of the previous byte, up to `limit` bytes.
  Bytes receive(std::size_t limit, std::chrono::milliseconds quiet = 2000ms) const {
    Bytes out;
    while (out.size() < limit) {
      pollfd entry{master, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(quiet.count())) <= 0) break;
      std::uint8_t chunk[4096];
      const ssize_t n = ::read(master, chunk, std::min(sizeof chunk, limit - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), chunk, chunk + n);
    }
    return out;
  }
};

SerialSettings settings_for(const Pty& pty, std::chrono::milliseconds timeout = 100ms,
                            std::uint32_t baud = 9600, Parity parity = Parity::None) {
  SerialSettings s;
  s.port = pty.slave;
  s.baud = baud;
  s.parity = parity;
  s.timeout = timeout;
  return s;
}

SerialDevice open_ok(const SerialSettings& settings) {
  auto device = open_port(settings);
  if (!device) {
    ADD_FAILURE() << "open_port(" << settings.port << "): " << device.error().description;
    std::abort();
  }
  return std::move(*device);
}

// Reads until `count` bytes came or a read fails.
Bytes read_bytes(SerialDevice& device, std::size_t count) {
  Bytes out;
  std::uint8_t buffer[4096];
  const auto give_up = Clock::now() + 10s;
  while (out.size() < count && Clock::now() < give_up) {
    auto n = read(device, buffer);
    if (!n) {
      if (n.error().kind == IoErrorKind::TimedOut) continue;
      ADD_FAILURE() << "read: " << n.error().text;
      break;
    }
    out.insert(out.end(), buffer, buffer + *n);
  }
  return out;
}

bool readable_within(const SerialDevice& device, std::chrono::milliseconds limit) {
  pollfd entry{static_cast<int>(device.native()), POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
}

// The lowest free descriptor number: it comes back to the same value when a failed open left
// nothing open.
int next_free_descriptor() {
  const int fd = ::dup(0);
  ::close(fd);
  return fd;
}

Bytes all_byte_values() {
  Bytes bytes(256);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

TEST(SerialRead, TimesOutAfterAboutOneTimeoutWhenIdle) {
  Pty pty;
  for (auto timeout : {50ms, 100ms}) {
    SerialDevice device = open_ok(settings_for(pty, timeout));
    EXPECT_EQ(device.timeout_ms(), static_cast<std::uint32_t>(timeout.count()));
    std::uint8_t buffer[4096];
    const auto start = Clock::now();
    auto result = read(device, buffer);
    const auto elapsed = Clock::now() - start;
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, IoErrorKind::TimedOut);
    EXPECT_EQ(result.error().text, "Operation timed out");
    EXPECT_GE(elapsed, timeout - 5ms);
    EXPECT_LT(elapsed, timeout + 2s);
  }
}

TEST(SerialRead, ReturnsBytesAlreadyThereAtOnce) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty, 5000ms));
  pty.send({'a', 'b', 'c'});
  ASSERT_TRUE(readable_within(device, 5000ms));
  std::uint8_t buffer[4096];
  const auto start = Clock::now();
  auto n = read(device, buffer);
  EXPECT_LT(Clock::now() - start, 1s);
  ASSERT_TRUE(n.has_value()) << n.error().text;
  EXPECT_EQ(Bytes(buffer, buffer + *n), (Bytes{'a', 'b', 'c'}));
}

TEST(SerialRead, ReturnsTheFirstByteWithoutWaitingForTheBufferToFill) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty, 5000ms));
  std::thread peer([&] {
    std::this_thread::sleep_for(200ms);
    pty.send({0x42});
  });
  std::uint8_t buffer[4096];
  const auto start = Clock::now();
  auto n = read(device, buffer);
  const auto elapsed = Clock::now() - start;
  peer.join();
  ASSERT_TRUE(n.has_value()) << n.error().text;
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(buffer[0], 0x42);
  EXPECT_LT(elapsed, 3s);
}

TEST(SerialRaw, EveryByteValueCrossesUnchangedBothWays) {
  for (Parity parity : {Parity::None, Parity::Odd, Parity::Even}) {
    Pty pty;
    SerialDevice device = open_ok(settings_for(pty, 100ms, 9600, parity));
    const Bytes bytes = all_byte_values();  // NUL, ETX, XON, XOFF, CR, LF, DEL, 0x80..0xFF

    pty.send(bytes);
    EXPECT_EQ(read_bytes(device, bytes.size()), bytes) << "towards the tool";
    // Nothing was echoed back to the peer.
    EXPECT_TRUE(pty.receive(1, 100ms).empty());

    ASSERT_TRUE(write_all(device, bytes).has_value());
    ASSERT_TRUE(flush(device).has_value());
    EXPECT_EQ(pty.receive(bytes.size() + 1, 500ms), bytes) << "from the tool";
  }
}

TEST(SerialOpen, AppliesTheFramingAndRate) {
  const struct {
    std::uint32_t baud;
    Parity parity;
    speed_t speed;
    tcflag_t parity_bits;
  } cases[] = {
      {9600, Parity::None, B9600, 0},
      {115200, Parity::Odd, B115200, PARENB | PARODD},
      {1200, Parity::Even, B1200, PARENB},
      {4800, Parity::None, B4800, 0},
  };
  for (const auto& c : cases) {
    Pty pty;
    SerialDevice device = open_ok(settings_for(pty, 100ms, c.baud, c.parity));
    termios tio{};
    ASSERT_EQ(::tcgetattr(static_cast<int>(device.native()), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), c.speed) << c.baud;
    EXPECT_EQ(::cfgetispeed(&tio), c.speed) << c.baud;
    // The pseudo-terminal driver itself clears PARENB, so only PARODD tells the parity here.
    EXPECT_EQ(tio.c_cflag & PARODD, c.parity_bits & PARODD) << c.baud;
    EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK | PARMRK | ISTRIP | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  }
}

TEST(SerialOpen, APortWithoutParitySupportOpensAgainWithParity) {
  // The pseudo-terminal drops the parity bits; a scan or a proxy opens the same port again and
  // again, with parity, and every open must succeed.
  Pty pty;
  for (Parity parity : {Parity::Odd, Parity::Odd, Parity::Even, Parity::None, Parity::Odd}) {
    auto device = open_port(settings_for(pty, 100ms, 9600, parity));
    ASSERT_TRUE(device) << device.error().description;
  }
}

TEST(SerialOpen, CustomRateOpensOrFailsCleanly) {
  Pty pty;
  auto device = open_port(settings_for(pty, 100ms, 250000));
  if (!device) {
    EXPECT_EQ(device.error().kind, SerialErrorKind::Io);
    EXPECT_FALSE(device.error().description.empty());
    return;
  }
  pty.send({0x55, 0xAA});
  EXPECT_EQ(read_bytes(*device, 2), (Bytes{0x55, 0xAA}));
}

TEST(SerialOpen, RateZeroIsRefused) {
  Pty pty;
  const int free_before = next_free_descriptor();
  auto device = open_port(settings_for(pty, 100ms, 0));
  ASSERT_FALSE(device.has_value());
  EXPECT_EQ(device.error().kind, SerialErrorKind::Io);
  EXPECT_EQ(device.error().description, "Invalid argument");
  EXPECT_EQ(next_free_descriptor(), free_before);
}

TEST(SerialOpen, RefusesWhatIsNotAUsableTerminal) {
  char regular[] = "/tmp/kelp-serial-test-XXXXXX";
  const int file = ::mkstemp(regular);
  ASSERT_NE(file, -1);
  ::close(file);
  const struct {
    std::string path;
    SerialErrorKind kind;
    std::string description;
  } cases[] = {
      {"/dev/null", SerialErrorKind::Io, "Inappropriate ioctl for device"},
      {regular, SerialErrorKind::Io, "Inappropriate ioctl for device"},
      {"/tmp", SerialErrorKind::Io, "Is a directory"},
      {"/dev/kelp-no-such-port", SerialErrorKind::NoDevice, "No such file or directory"},
      {"", SerialErrorKind::NoDevice, "No such file or directory"},
  };
  for (const auto& c : cases) {
    const int free_before = next_free_descriptor();
    SerialSettings s;
    s.port = c.path;
    auto device = open_port(s);
    ASSERT_FALSE(device.has_value()) << c.path;
    EXPECT_EQ(device.error().kind, c.kind) << c.path;
    EXPECT_EQ(device.error().io_kind, IoErrorKind::Other) << c.path;
    EXPECT_EQ(device.error().description, c.description) << c.path;
    EXPECT_EQ(next_free_descriptor(), free_before) << c.path << " left a descriptor open";
  }
  ::unlink(regular);
}

TEST(SerialOpen, APortInUseIsNoDevice) {
  Pty pty;
  SerialDevice first = open_ok(settings_for(pty));
  const int free_before = next_free_descriptor();
  auto second = open_port(settings_for(pty));
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind, SerialErrorKind::NoDevice);
  EXPECT_EQ(second.error().description, "Device or resource busy");
  EXPECT_EQ(next_free_descriptor(), free_before);
  // A clone is not another opener: the port stays taken until both handles are gone.
  auto clone = clone_port(first);
  ASSERT_TRUE(clone.has_value());
  { SerialDevice gone = std::move(first); }
  EXPECT_FALSE(open_port(settings_for(pty)).has_value());
  { SerialDevice gone = std::move(*clone); }
  EXPECT_TRUE(open_port(settings_for(pty)).has_value());
}

// The errno of an open of `path` by an unprivileged user that does not lock: 0 when it worked.
int open_as_other_user(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(255);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::_exit(fd == -1 ? errno : 0);
  }
  int status = 0;
  if (child == -1 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(SerialOpen, OpenersThatDoNotLockAreTurnedAwayOnlyWhileThePortIsOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "opening the port as another user needs root";
  Pty pty;
  ASSERT_EQ(::chmod(pty.slave.c_str(), 0666), 0);
  {
    SerialDevice device = open_ok(settings_for(pty));
    EXPECT_EQ(open_as_other_user(pty.slave), EBUSY);
  }
  // A pseudo-terminal keeps its exclusive flag past the last close unless it is cleared.
  EXPECT_EQ(open_as_other_user(pty.slave), 0);
}

TEST(SerialOpen, MoveAssignmentClosesTheHandleItReplaces) {
  Pty a;
  Pty b;
  SerialDevice device = open_ok(settings_for(a));
  device = open_ok(settings_for(b));
  EXPECT_TRUE(open_port(settings_for(a)).has_value()) << "the first port is still held";
  b.send({'x'});
  EXPECT_EQ(read_bytes(device, 1), (Bytes{'x'}));
}

TEST(SerialClone, EitherHandleOutlivesTheOther) {
  for (bool close_first : {true, false}) {
    Pty pty;
    std::optional<SerialDevice> first = open_ok(settings_for(pty, 100ms));
    auto clone = clone_port(*first);
    ASSERT_TRUE(clone.has_value()) << clone.error().description;
    std::optional<SerialDevice> second = std::move(*clone);
    EXPECT_EQ(second->timeout_ms(), 100u);
    EXPECT_NE(second->native(), first->native());
    (close_first ? first : second).reset();
    SerialDevice& left = close_first ? *second : *first;

    pty.send({'h', 'i'});
    EXPECT_EQ(read_bytes(left, 2), (Bytes{'h', 'i'}));
    ASSERT_TRUE(write_all(left, Bytes{'o', 'k'}).has_value());
    EXPECT_EQ(pty.receive(2), (Bytes{'o', 'k'}));
    // The remaining handle keeps the time-out of the open device.
    std::uint8_t buffer[16];
    const auto start = Clock::now();
    auto idle = read(left, buffer);
    ASSERT_FALSE(idle.has_value());
    EXPECT_EQ(idle.error().kind, IoErrorKind::TimedOut);
    EXPECT_GE(Clock::now() - start, 95ms);
  }
}

TEST(SerialClone, ReadsAndWritesThroughTwoHandlesAtOnce) {
  Pty pty;
  SerialDevice reader = open_ok(settings_for(pty, 500ms));
  auto writer = clone_port(reader);
  ASSERT_TRUE(writer.has_value());

  constexpr std::size_t SIZE = 200'000;
  Bytes inbound(SIZE);
  Bytes outbound(SIZE);
  for (std::size_t i = 0; i < SIZE; ++i) {
    inbound[i] = static_cast<std::uint8_t>(i * 7);
    outbound[i] = static_cast<std::uint8_t>(i * 13 + 1);
  }
  Bytes got_in;
  Bytes got_out;
  std::atomic<bool> write_ok{false};
  std::thread peer_sends([&] { pty.send(inbound); });
  std::thread peer_receives([&] { got_out = pty.receive(SIZE); });
  std::thread tool_reads([&] { got_in = read_bytes(reader, SIZE); });
  std::thread tool_writes([&] {
    std::span<const std::uint8_t> rest(outbound);
    bool ok = true;
    while (ok && !rest.empty()) {  // in pieces the size a proxy forwards
      const auto piece = rest.first(std::min<std::size_t>(rest.size(), 4096));
      ok = write_all(*writer, piece).has_value() && flush(*writer).has_value();
      rest = rest.subspan(piece.size());
    }
    write_ok = ok;
  });
  tool_reads.join();
  tool_writes.join();
  peer_sends.join();
  peer_receives.join();
  EXPECT_TRUE(write_ok);
  EXPECT_TRUE(got_in == inbound) << got_in.size() << " of " << SIZE << " bytes in";
  EXPECT_TRUE(got_out == outbound) << got_out.size() << " of " << SIZE << " bytes out";
}

TEST(SerialWrite, NothingToWriteTouchesNothing) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty));
  EXPECT_TRUE(write_all(device, {}).has_value());
  EXPECT_TRUE(pty.receive(1, 100ms).empty());
  // Even a dead line is not asked to take an empty buffer.
  pty.close_master();
  EXPECT_TRUE(write_all(device, {}).has_value());
  EXPECT_FALSE(write_all(device, Bytes{1}).has_value());
}

TEST(SerialWrite, ABlockedLineGivesWriteZeroAfterTheTimeout) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty, 100ms));
  // The peer reads nothing, so the pseudo-terminal's buffers fill and stay full.
  const Bytes block(1 << 20, 0x5A);
  const auto start = Clock::now();
  auto result = write_all(device, block);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, IoErrorKind::WriteZero);
  EXPECT_EQ(result.error().text, "failed to write whole buffer");
  EXPECT_LT(Clock::now() - start, 5s);
}

// A far end that takes its bytes in bursts (a virtual port's reader, a USB adapter's transfers,
// a UART's far end played by QEMU): the line stands still for longer than the time-out between
// bursts, yet it moves, and the write goes on to its last byte.
TEST(SerialWrite, ALineThatMovesInBurstsTakesTheWholePayload) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty, 100ms, 9600));
  Bytes payload(64 * 1024);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i % 251);
  std::atomic<bool> writing{true};
  Bytes got;
  std::thread far_end([&] {
    while (got.size() < payload.size()) {
      std::this_thread::sleep_for(400ms);
      const Bytes burst =
          pty.receive(std::min<std::size_t>(payload.size() - got.size(), 16384), 20ms);
      got.insert(got.end(), burst.begin(), burst.end());
      if (burst.empty() && !writing) break;
    }
  });
  auto written = write_all(device, payload);
  writing = false;
  far_end.join();
  ASSERT_TRUE(written.has_value()) << written.error().text << " after " << got.size();
  EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes";
}

TEST(SerialHangUp, AClosedFarEndIsAnErrorNotATimeout) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty, 5000ms));
  pty.close_master();
  std::uint8_t buffer[4096];
  for (int attempt = 0; attempt < 2; ++attempt) {  // and stays one
    const auto start = Clock::now();
    auto result = read(device, buffer);
    EXPECT_LT(Clock::now() - start, 2500ms) << "waited for the time-out";
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().kind, IoErrorKind::TimedOut);
    EXPECT_EQ(result.error().text, "Input/output error (os error 5)");
  }
  auto written = write_all(device, Bytes{'x'});
  ASSERT_FALSE(written.has_value());
  EXPECT_NE(written.error().kind, IoErrorKind::WriteZero);
}

TEST(SerialHangUp, AReadWaitingWhenTheFarEndClosesEndsWithAnError) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty, 5000ms));
  std::thread peer([&] {
    std::this_thread::sleep_for(200ms);
    pty.close_master();
  });
  std::uint8_t buffer[4096];
  const auto start = Clock::now();
  auto result = read(device, buffer);
  const auto elapsed = Clock::now() - start;
  peer.join();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text, "Input/output error (os error 5)");
  EXPECT_LT(elapsed, 3s);
}

TEST(SerialLines, PseudoTerminalsRefuseModemLinesWithAnErrorRecord) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty));
  for (bool on : {true, false}) {
    for (auto* set : {&set_dtr, &set_rts}) {
      auto result = set(device, on);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, SerialErrorKind::Io);
      EXPECT_EQ(result.error().io_kind, IoErrorKind::Other);
      EXPECT_EQ(result.error().description, "Inappropriate ioctl for device");
    }
  }
  // A pseudo-terminal does take a break.
  EXPECT_TRUE(set_break(device).has_value());
  EXPECT_TRUE(clear_break(device).has_value());
  // The port is still fine afterwards.
  pty.send({'z'});
  EXPECT_EQ(read_bytes(device, 1), (Bytes{'z'}));
}

TEST(SerialLines, BreakOnAHungUpLineIsAnErrorRecord) {
  Pty pty;
  SerialDevice device = open_ok(settings_for(pty));
  pty.close_master();
  for (auto* call : {&set_break, &clear_break}) {
    auto result = call(device);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, SerialErrorKind::Io);
    EXPECT_EQ(result.error().description, "Input/output error");
  }
  EXPECT_FALSE(flush(device).has_value());
}

TEST(SerialErrors, SystemCodesMapToTheirKinds) {
  const struct {
    int code;
    SerialErrorKind serial_kind;
    IoErrorKind io_kind;
    std::string description;
  } cases[] = {
      {ENOENT, SerialErrorKind::NoDevice, IoErrorKind::NotFound, "No such file or directory"},
      {ENODEV, SerialErrorKind::NoDevice, IoErrorKind::Other, "No such device"},
      {ENXIO, SerialErrorKind::NoDevice, IoErrorKind::Other, "No such device or address"},
      {EACCES, SerialErrorKind::NoDevice, IoErrorKind::PermissionDenied, "Permission denied"},
      {EPERM, SerialErrorKind::NoDevice, IoErrorKind::PermissionDenied, "Operation not permitted"},
      {EBUSY, SerialErrorKind::NoDevice, IoErrorKind::Other, "Device or resource busy"},
      {EIO, SerialErrorKind::Io, IoErrorKind::Other, "Input/output error"},
      {ENOTTY, SerialErrorKind::Io, IoErrorKind::Other, "Inappropriate ioctl for device"},
      {ETIMEDOUT, SerialErrorKind::Io, IoErrorKind::TimedOut, "Connection timed out"},
      {EINVAL, SerialErrorKind::Io, IoErrorKind::InvalidInput, "Invalid argument"},
      {EAGAIN, SerialErrorKind::Io, IoErrorKind::WouldBlock, "Resource temporarily unavailable"},
      {EPIPE, SerialErrorKind::Io, IoErrorKind::BrokenPipe, "Broken pipe"},
      {EINTR, SerialErrorKind::Io, IoErrorKind::Interrupted, "Interrupted system call"},
  };
  for (const auto& c : cases) {
    const SerialError serial = serial_error_from_code(c.code);
    EXPECT_EQ(serial.kind, c.serial_kind) << c.code;
    EXPECT_EQ(serial.io_kind, IoErrorKind::Other) << c.code;
    EXPECT_EQ(serial.description, c.description) << c.code;
    const IoError io = io_error_from_code(c.code);
    EXPECT_EQ(io.kind, c.io_kind) << c.code;
    EXPECT_EQ(io.text, c.description + " (os error " + std::to_string(c.code) + ")");
  }
}

}  // namespace
}  // namespace kelp
