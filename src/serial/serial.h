// A serial port opened the way every mode of the tool needs it.
//
// `open_port` opens the device for exclusive use with fixed framing (8 data bits, 1 stop bit, the
// given parity, no flow control of any kind, raw bytes) and the given time-out; DTR and RTS are low
// after opening. The operations never print and never end the process: failures come back as
// `SerialError` (open, control lines, break, clone) or `IoError` (read, write, drain).
//
// Time-out contract of `read`: bytes already received are returned at once; otherwise it waits at
// most the time-out for the first byte and returns what has arrived, at least one byte, without
// waiting for the buffer to fill. Nothing within the time-out gives IoErrorKind::TimedOut
// ("Operation timed out"), which callers treat as "no data yet". A line that has hung up (the far
// end gone, an adapter pulled out) gives an error of another kind, never TimedOut.
//
// `write_all` hands every byte to the driver in order; each wait for room is bounded by the
// time-out, and when no byte moves within it the result is WriteZero ("failed to write whole
// buffer"). `flush` returns once the driver has sent what was written.
//
// A `SerialDevice` owns one handle and closes it when destroyed. `clone_port` gives a second,
// independent handle to the same open device: one thread may read through one handle while
// another writes through the other, and the device stays open until both are closed.
//
// Where the driver can hand received bytes on at once instead of holding them for the adapter's
// latency timer (Linux: the low-latency flag, which an FTDI adapter turns into a 1 ms timer),
// `open_port` asks for it as its last step; the handle it returns gives the previous setting back
// when it closes. A driver that refuses is no error.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/native_handle.h"

namespace kelp {

// Values are the device codes of the Windows control block's Parity byte.
enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2 };

// 'N', 'O' or 'E'.
char parity_letter(Parity parity);

// How the tool shows a line's settings: "9600-O-8-1", and with the port "COM3@9600-O-8-1".
std::string line_settings_text(std::uint32_t baud, Parity parity);
std::string port_settings_text(std::string_view port, std::uint32_t baud, Parity parity);

struct SerialSettings {
  std::string port;  // e.g. COM3, \\.\COM12 or /dev/ttyUSB0
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  std::chrono::nanoseconds timeout{std::chrono::milliseconds(100)};  // whole milliseconds count
};

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  Interrupted,
  TimedOut,
  WriteZero,
  BrokenPipe,
  WouldBlock,
  InvalidInput,
  Unsupported,
  Other,
};

struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  std::string text;
};

// The name of an I/O error kind as the structured rendering shows it ("TimedOut", "Other", ...).
std::string_view io_error_kind_name(IoErrorKind kind);

enum class SerialErrorKind { NoDevice, InvalidInput, Unknown, Io };

struct SerialError {
  SerialErrorKind kind = SerialErrorKind::Unknown;
  IoErrorKind io_kind = IoErrorKind::Other;  // meaningful when kind is Io
  std::string description;
};

// Error { kind: Io(Other), description: "..." }
std::string structured_rendering(const SerialError& error);

// The error record made from an OS error code (errno on POSIX, GetLastError on Windows): NoDevice
// for the codes that mean the port is missing or not available to this program (Windows: 2, 3 and
// 5; POSIX: ENOENT, ENODEV, ENXIO, EACCES, EPERM, EBUSY), Io(Other) for the rest; the
// description is the system's message text alone.
SerialError serial_error_from_code(int code);

// The I/O error made from an OS error code: the system text followed by " (os error N)".
IoError io_error_from_code(int code);

// Closes one handle of an open device, with whatever the platform keeps beside it for that handle
// (each platform's serial file supplies it).
void close_serial_handle(std::intptr_t native);

// Gives back the receive latency that the port had before `open_port` lowered it (each platform's
// serial file supplies it; failures are ignored).
void restore_serial_latency(std::intptr_t native);

// Move-only; a moved-from device holds no handle.
class SerialDevice {
 public:
  SerialDevice(std::intptr_t native, std::uint32_t timeout_ms)
      : handle_(native), timeout_ms_(timeout_ms) {}
  SerialDevice(SerialDevice&&) noexcept = default;
  // The latency goes back before the old handle closes, as in the destructor.
  SerialDevice& operator=(SerialDevice&& other) noexcept {
    latency_ = std::move(other.latency_);
    handle_ = std::move(other.handle_);
    timeout_ms_ = other.timeout_ms_;
    return *this;
  }
  ~SerialDevice() = default;

  // The platform's value for this handle: a file descriptor on POSIX; on Windows a record of the
  // handle and its events that only the Windows serial file reads.
  std::intptr_t native() const { return handle_.native(); }
  // The time-out the device was opened with, in whole milliseconds.
  std::uint32_t timeout_ms() const { return timeout_ms_; }

  // For the platform's open_port, once it has lowered the driver's receive latency: the previous
  // setting comes back when this handle closes (not when a clone does).
  void restore_latency_on_close() { latency_.reset(handle_.native()); }

 private:
  NativeHandle<close_serial_handle> handle_;
  std::uint32_t timeout_ms_ = 0;
  // Declared last, so destroyed first: the setting is given back while the handle is still open.
  NativeHandle<restore_serial_latency> latency_;
};

// Whole milliseconds of a time-out, capped at 0xFFFFFFFE.
std::uint32_t timeout_milliseconds(std::chrono::nanoseconds timeout);

std::expected<SerialDevice, SerialError> open_port(const SerialSettings& settings);
std::expected<std::size_t, IoError> read(SerialDevice& device, std::span<std::uint8_t> buffer);
std::expected<void, IoError> write_all(SerialDevice& device, std::span<const std::uint8_t> bytes);
std::expected<void, IoError> flush(SerialDevice& device);
std::expected<void, SerialError> set_dtr(SerialDevice& device, bool on);
std::expected<void, SerialError> set_rts(SerialDevice& device, bool on);
std::expected<void, SerialError> set_break(SerialDevice& device);
std::expected<void, SerialError> clear_break(SerialDevice& device);
std::expected<SerialDevice, SerialError> clone_port(const SerialDevice& device);

}  // namespace kelp
