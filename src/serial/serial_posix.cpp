// Serial ports on a termios system.
//
// The device is opened non-blocking and stays so: every wait is a poll bounded by the time-out,
// which gives the read contract (what is there at once, else at most one time-out for the first
// byte) and the bounded write without relying on VMIN/VTIME, which cannot express time-outs above
// 25.5 s nor a write limit.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/system_error.h"
#include "serial/baud.h"
#include "serial/low_latency.h"
#include "serial/serial.h"
#include "serial/serial_platform.h"

namespace kelp {

namespace {

using Clock = std::chrono::steady_clock;

struct SpeedCode {
  std::uint32_t rate;
  speed_t code;
};

// Rates the classic speed constants express exactly; every other rate goes to the driver through
// set_custom_baud. (B134 is 134.5 bit/s, so 134 is left to the custom path.)
constexpr SpeedCode STANDARD_SPEEDS[] = {
    {50, B50},           {75, B75},     {110, B110},     {150, B150},     {200, B200},
    {300, B300},         {600, B600},   {1200, B1200},   {1800, B1800},   {2400, B2400},
    {4800, B4800},       {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// Handshakes some systems offer beside RTS/CTS (DTR/DSR and carrier flow control on the BSDs and
// macOS, mark/space parity on Linux); all of them stay off.
constexpr tcflag_t EXTRA_CFLAGS_OFF = 0
#ifdef CMSPAR
                                      | CMSPAR
#endif
#ifdef CDTR_IFLOW
                                      | CDTR_IFLOW
#endif
#ifdef CDSR_OFLOW
                                      | CDSR_OFLOW
#endif
#ifdef CCAR_OFLOW
                                      | CCAR_OFLOW
#endif
    ;

template <typename Call>
auto retry_eintr(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

int fd_of(const SerialDevice& device) { return static_cast<int>(device.native()); }

IoError timed_out() { return {IoErrorKind::TimedOut, "Operation timed out"}; }
IoError write_zero() { return {IoErrorKind::WriteZero, "failed to write whole buffer"}; }

// Waits until the descriptor reports one of `events` or the deadline passes. Gives the reported
// events, 0 when the deadline passed first, or the negated errno of a failed poll. Interrupted
// waits go on with the time that is left.
int wait_until(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto now = Clock::now();
    const auto left =
        now < deadline ? std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count() : 0;
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<decltype(left)>(left, INT_MAX)));
    if (ready > 0) return entry.revents;
    if (ready == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;  // a wait longer than poll can express, or an early wake-up
    }
    if (errno != EINTR) return -errno;
  }
}

Clock::time_point deadline_after(std::uint32_t ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

// A hung-up line (the far end of a pseudo-terminal closed, an adapter pulled out) reports POLLHUP
// or POLLERR, and its reads give end of file; all of it is the I/O error of a dead line, never a
// time-out, so that a capture stops instead of waiting for ever.
IoError hung_up() { return io_error_from_code(EIO); }

std::expected<void, SerialError> modem_bits(const SerialDevice& device, bool on, int bits) {
  const unsigned long request = on ? TIOCMBIS : TIOCMBIC;
  if (retry_eintr([&] { return ::ioctl(fd_of(device), request, &bits); }) == -1) {
    return std::unexpected(serial_error_from_code(errno));
  }
  return {};
}

std::expected<void, SerialError> line_request(const SerialDevice& device, unsigned long request) {
  if (retry_eintr([&] { return ::ioctl(fd_of(device), request); }) == -1) {
    return std::unexpected(serial_error_from_code(errno));
  }
  return {};
}

void make_raw(termios& tio, Parity parity) {
  // No input or output processing of any kind, no echo, no signals, no canonical lines: every
  // byte passes both ways as it is. Input parity checking stays off (no INPCK, no PARMRK), so a
  // byte with a parity or framing error still arrives as received, as on Windows.
  tio.c_iflag = 0;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag &= ~EXTRA_CFLAGS_OFF;
  // HUPCL: the last close lowers DTR and RTS, as closing a port does on Windows.
  tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  if (parity != Parity::None) tio.c_cflag |= PARENB;
  if (parity == Parity::Odd) tio.c_cflag |= PARODD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

// Applies the framing. A driver without parity support (the Linux pseudo-terminal, which a socat
// null-modem pair is made of) takes everything else but drops the parity bits, and the C library
// then reports the whole call as invalid; such a port is used as it is rather than refused.
int apply_framing(int fd, const termios& wanted) {
  if (retry_eintr([&] { return ::tcsetattr(fd, TCSANOW, &wanted); }) == 0) return 0;
  const int error = errno;
  termios got{};
  if (error != EINVAL || retry_eintr([&] { return ::tcgetattr(fd, &got); }) == -1) return error;
  const tcflag_t parity_bits = PARENB | PARODD;
  const bool only_parity_dropped =
      (got.c_cflag & ~parity_bits) == (wanted.c_cflag & ~parity_bits) &&
      got.c_iflag == wanted.c_iflag && got.c_oflag == wanted.c_oflag &&
      got.c_lflag == wanted.c_lflag && ::cfgetispeed(&got) == ::cfgetispeed(&wanted) &&
      ::cfgetospeed(&got) == ::cfgetospeed(&wanted);
  return only_parity_dropped ? 0 : error;
}

}  // namespace

void close_serial_handle(std::intptr_t native) {
  const int fd = static_cast<int>(native);
  // The exclusive flag belongs to the terminal, not to the descriptor, and on a pseudo-terminal
  // it outlives the last close for as long as the far end stays open: left set, it would turn
  // away every later opener that is not root (a second run of the tool on the same socat pair).
  // The flock, shared by all handles, still keeps other lock holders out while a clone remains.
  ::ioctl(fd, TIOCNXCL);
  // Never retried: after an interrupted close the descriptor is gone on Linux, and a retry could
  // close a descriptor another thread has just been given.
  ::close(fd);
}

IoErrorKind io_error_kind_for_code(int code) {
  if (code == EPERM || code == EACCES) return IoErrorKind::PermissionDenied;
  if (code == ENOENT) return IoErrorKind::NotFound;
  if (code == EINTR) return IoErrorKind::Interrupted;
  if (code == ETIMEDOUT) return IoErrorKind::TimedOut;
  if (code == EAGAIN || code == EWOULDBLOCK) return IoErrorKind::WouldBlock;
  if (code == EPIPE) return IoErrorKind::BrokenPipe;
  if (code == EINVAL) return IoErrorKind::InvalidInput;
  if (code == ENOSYS || code == EOPNOTSUPP || code == ENOTSUP) return IoErrorKind::Unsupported;
  return IoErrorKind::Other;
}

SerialError serial_error_from_code(int code) {
  const bool no_device = code == ENOENT || code == ENODEV || code == ENXIO || code == EACCES ||
                         code == EPERM || code == EBUSY;
  return {no_device ? SerialErrorKind::NoDevice : SerialErrorKind::Io, IoErrorKind::Other,
          os_error_message(code)};
}

std::expected<SerialDevice, SerialError> open_port(const SerialSettings& settings) {
  const int fd = retry_eintr(
      [&] { return ::open(settings.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd == -1) return std::unexpected(serial_error_from_code(errno));
  auto fail = [fd](int code) {
    ::close(fd);
    return std::unexpected(serial_error_from_code(code));
  };

  termios tio{};
  if (retry_eintr([&] { return ::tcgetattr(fd, &tio); }) == -1) return fail(errno);

  // Exclusive use. flock holds against every other opener that asks for it, root included;
  // TIOCEXCL also turns away openers that do not lock, except root.
  if (retry_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == -1) {
    return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  }
  if (retry_eintr([&] { return ::ioctl(fd, TIOCEXCL); }) == -1) return fail(errno);
  // From here on the device owns the descriptor, so that every failure below also clears the
  // exclusive flag on its way out (close_serial_handle): left set on a pseudo-terminal whose far
  // end stays open, it would turn away every later opener that is not root.
  SerialDevice device(fd, timeout_milliseconds(settings.timeout));
  auto refuse = [](int code) { return std::unexpected(serial_error_from_code(code)); };

  // A rate of 0 would mean "hang up" to a termios driver; like a Windows driver, refuse it.
  if (settings.baud == 0) return refuse(EINVAL);
  make_raw(tio, settings.parity);
  const auto standard = std::ranges::find(STANDARD_SPEEDS, settings.baud, &SpeedCode::rate);
  if (standard != std::ranges::end(STANDARD_SPEEDS)) {
    if (::cfsetispeed(&tio, standard->code) == -1 || ::cfsetospeed(&tio, standard->code) == -1) {
      return refuse(errno);
    }
  }
  if (const int refused = apply_framing(fd, tio); refused != 0) return refuse(refused);
  if (standard == std::ranges::end(STANDARD_SPEEDS)) {
    if (const int refused = set_custom_baud(fd, settings.baud); refused != 0) {
      return refuse(refused);
    }
  }

  // Opening a terminal raises DTR and RTS on most systems; the port starts with both low, as on
  // Windows. Devices without modem lines (pseudo-terminals) refuse, which is harmless here.
  int lines = TIOCM_DTR | TIOCM_RTS;
  retry_eintr([&] { return ::ioctl(fd, TIOCMBIC, &lines); });

  // Last, so that no refusal above can leave the setting changed: received bytes are handed on
  // at once instead of after the adapter's latency timer, until this handle closes.
  if (request_low_latency(fd)) device.restore_latency_on_close();
  return device;
}

std::expected<std::size_t, IoError> read(SerialDevice& device, std::span<std::uint8_t> buffer) {
  if (buffer.empty()) return std::unexpected(timed_out());
  const int fd = fd_of(device);
  const auto deadline = deadline_after(device.timeout_ms());
  for (;;) {
    const int events = wait_until(fd, POLLIN, deadline);
    if (events < 0) return std::unexpected(io_error_from_code(-events));
    if (events == 0) return std::unexpected(timed_out());
    if (events & POLLNVAL) return std::unexpected(io_error_from_code(EBADF));
    // Read even when POLLHUP came with the data: bytes that arrived before the hang-up come first.
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) return std::unexpected(hung_up());
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return std::unexpected(io_error_from_code(errno));
    if (events & (POLLHUP | POLLERR)) return std::unexpected(hung_up());
    if (Clock::now() >= deadline) return std::unexpected(timed_out());
  }
}

std::expected<void, IoError> write_all(SerialDevice& device, std::span<const std::uint8_t> bytes) {
  const int fd = fd_of(device);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return std::unexpected(write_zero());
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return std::unexpected(io_error_from_code(errno));
    // The driver's buffer is full: wait for room, at most one time-out.
    const int events = wait_until(fd, POLLOUT, deadline_after(device.timeout_ms()));
    if (events < 0) return std::unexpected(io_error_from_code(-events));
    if (events == 0) return std::unexpected(write_zero());
    if (events & POLLNVAL) return std::unexpected(io_error_from_code(EBADF));
    if (events & (POLLHUP | POLLERR)) return std::unexpected(hung_up());
  }
  return {};
}

std::expected<void, IoError> flush(SerialDevice& device) {
  if (retry_eintr([&] { return ::tcdrain(fd_of(device)); }) == -1) {
    return std::unexpected(io_error_from_code(errno));
  }
  return {};
}

std::expected<void, SerialError> set_dtr(SerialDevice& device, bool on) {
  return modem_bits(device, on, TIOCM_DTR);
}

std::expected<void, SerialError> set_rts(SerialDevice& device, bool on) {
  return modem_bits(device, on, TIOCM_RTS);
}

std::expected<void, SerialError> set_break(SerialDevice& device) {
  return line_request(device, TIOCSBRK);
}

std::expected<void, SerialError> clear_break(SerialDevice& device) {
  return line_request(device, TIOCCBRK);
}

std::expected<SerialDevice, SerialError> clone_port(const SerialDevice& device) {
  // The duplicate shares the open file description, and so the flock, the non-blocking mode and
  // the line settings; the time-out travels with the handle.
  const int fd = retry_eintr([&] { return ::fcntl(fd_of(device), F_DUPFD_CLOEXEC, 0); });
  if (fd == -1) return std::unexpected(serial_error_from_code(errno));
  return SerialDevice(fd, device.timeout_ms());
}

}  // namespace kelp
