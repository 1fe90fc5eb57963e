// Serial ports through the Win32 communications API.
//
// The port is opened for overlapped I/O. All I/O on a handle opened without it runs one request
// at a time, and a duplicate shares that queue: a write through the proxy's clone would wait until
// the read pending on the other handle had returned. Here each read and write waits for its own
// request only, on an event of its own handle. The read and write limits are still the device's
// time-outs, set once at open.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/system_error.h"
#include "serial/serial.h"
#include "serial/serial_platform.h"
#include "text/utf16.h"

namespace kelp {

namespace {

// The flag word follows DCBlength and BaudRate; only fTXContinueOnXoff (bit 7) and the reserved
// upper bits keep the driver's values.
constexpr std::size_t DCB_FLAGS_OFFSET = 2 * sizeof(DWORD);
constexpr DWORD DCB_FLAGS_KEPT = 0xFFFF8080;
constexpr DWORD DCB_FBINARY = 1u << 0;
constexpr DWORD DCB_FPARITY = 1u << 1;
static_assert(sizeof(DCB) == 28 && offsetof(DCB, wReserved) == DCB_FLAGS_OFFSET + sizeof(DWORD));

// What a SerialDevice holds on this platform: one handle of the open port and the events on which
// its reads and its writes wait. Every handle has events of its own, so two threads, each with its
// own handle, never wait on the same event.
struct PortHandle {
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE read_done = nullptr;
  HANDLE write_done = nullptr;
};

PortHandle& port_of(const SerialDevice& device) {
  return *reinterpret_cast<PortHandle*>(device.native());
}

HANDLE handle_of(const SerialDevice& device) { return port_of(device).file; }

int last_code() { return static_cast<int>(GetLastError()); }

IoError timed_out() { return {IoErrorKind::TimedOut, "Operation timed out"}; }
IoError write_zero() { return {IoErrorKind::WriteZero, "failed to write whole buffer"}; }

// A SerialDevice that owns `file` together with its two events; on failure `file` is closed.
std::expected<SerialDevice, SerialError> adopt(HANDLE file, std::uint32_t timeout_ms) {
  auto port = std::make_unique<PortHandle>();
  port->file = file;
  // Manual reset, as overlapped requests need: each request clears its event when it starts.
  port->read_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  port->write_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (port->read_done == nullptr || port->write_done == nullptr) {
    const SerialError error = serial_error_from_code(last_code());
    close_serial_handle(reinterpret_cast<std::intptr_t>(port.release()));
    return std::unexpected(error);
  }
  return SerialDevice(reinterpret_cast<std::intptr_t>(port.release()), timeout_ms);
}

DWORD request_size(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
}

// Waits for an overlapped request to end and gives the count of bytes it moved. Waiting here until
// it has ended also keeps `request`, which the system writes to, alive for as long as it must be.
std::expected<DWORD, IoError> overlapped_result(HANDLE file, OVERLAPPED& request) {
  DWORD moved = 0;
  if (!GetOverlappedResult(file, &request, &moved, TRUE)) {
    return std::unexpected(io_error_from_code(last_code()));
  }
  return moved;
}

// The count of received bytes waiting in the driver; 0 when it cannot be told. (ClearCommError
// also clears the line's error flags, which hold nothing up here: the port never aborts on them.)
std::size_t bytes_waiting(HANDLE file) {
  COMSTAT status{};
  DWORD errors = 0;
  return ClearCommError(file, &errors, &status) ? status.cbInQue : 0;
}

// One overlapped read into `into`, waited for at most `ms`. The device's time-outs end the request
// on their own; the bounded wait, and the cancel behind it, hold where a driver leaves an
// overlapped read with these time-outs running (Wine does). Bytes taken before the cancel still
// count.
std::expected<DWORD, IoError> read_request(const PortHandle& port, std::span<std::uint8_t> into,
                                           DWORD ms) {
  OVERLAPPED request{};
  request.hEvent = port.read_done;
  if (!ReadFile(port.file, into.data(), request_size(into.size()), nullptr, &request)) {
    const int code = last_code();
    // A request still running when ReadFile returns is no failure.
    if (code != ERROR_IO_PENDING) return std::unexpected(io_error_from_code(code));
    if (WaitForSingleObject(port.read_done, ms) == WAIT_TIMEOUT) {
      CancelIoEx(port.file, &request);
      DWORD got = 0;
      if (GetOverlappedResult(port.file, &request, &got, TRUE)) return got;
      const int ended = last_code();
      if (ended == ERROR_OPERATION_ABORTED) return got;  // our own cancel: the time-out
      return std::unexpected(io_error_from_code(ended));
    }
  }
  return overlapped_result(port.file, request);
}

std::expected<DWORD, IoError> write_request(const PortHandle& port,
                                            std::span<const std::uint8_t> from) {
  OVERLAPPED request{};
  request.hEvent = port.write_done;
  if (!WriteFile(port.file, from.data(), request_size(from.size()), nullptr, &request)) {
    const int code = last_code();
    if (code != ERROR_IO_PENDING) return std::unexpected(io_error_from_code(code));
  }
  return overlapped_result(port.file, request);
}

void apply_framing(DCB& dcb, std::uint32_t baud, Parity parity) {
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = static_cast<BYTE>(parity);
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x00;
  dcb.EofChar = 0x1A;
  // No CTS/DSR output control, DTR and RTS control disabled (both lines low), no XON/XOFF, no
  // error-character replacement, NUL bytes kept, no abort on error.
  DWORD flags = 0;
  std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + DCB_FLAGS_OFFSET,
              sizeof flags);
  flags &= DCB_FLAGS_KEPT;
  flags |= DCB_FBINARY;
  if (parity != Parity::None) flags |= DCB_FPARITY;
  std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + DCB_FLAGS_OFFSET, &flags, sizeof flags);
}

std::expected<void, SerialError> call_result(BOOL ok) {
  if (!ok) return std::unexpected(serial_error_from_code(last_code()));
  return {};
}

}  // namespace

IoErrorKind io_error_kind_for_code(int code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
    case ERROR_SERVICE_REQUEST_TIMEOUT:
    case ERROR_COUNTER_TIMEOUT:
    case ERROR_TIMEOUT:
    case ERROR_CTX_MODEM_RESPONSE_TIMEOUT:
    case ERROR_CTX_CLIENT_QUERY_TIMEOUT:
    case ERROR_IPSEC_IKE_TIMED_OUT:
    case ERROR_RUNLEVEL_SWITCH_TIMEOUT:
    case ERROR_RUNLEVEL_SWITCH_AGENT_TIMEOUT:
    case WSAETIMEDOUT:
      return IoErrorKind::TimedOut;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return IoErrorKind::NotFound;
    case ERROR_ACCESS_DENIED:
      return IoErrorKind::PermissionDenied;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case WSAESHUTDOWN:
      return IoErrorKind::BrokenPipe;
    case ERROR_INVALID_PARAMETER:
    case WSAEINVAL:
      return IoErrorKind::InvalidInput;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return IoErrorKind::Unsupported;
    case WSAEWOULDBLOCK:
      return IoErrorKind::WouldBlock;
    case WSAEINTR:
      return IoErrorKind::Interrupted;
    default:
      return IoErrorKind::Other;
  }
}

SerialError serial_error_from_code(int code) {
  const bool no_device =
      code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_ACCESS_DENIED;
  return {no_device ? SerialErrorKind::NoDevice : SerialErrorKind::Io, IoErrorKind::Other,
          os_error_message(code)};
}

void close_serial_handle(std::intptr_t native) {
  const std::unique_ptr<PortHandle> port(reinterpret_cast<PortHandle*>(native));
  CloseHandle(port->file);
  if (port->read_done != nullptr) CloseHandle(port->read_done);
  if (port->write_done != nullptr) CloseHandle(port->write_done);
}

// The latency timer of a Windows adapter belongs to its driver's settings and is never changed
// here, so there is nothing to give back.
void restore_serial_latency(std::intptr_t) {}

std::expected<SerialDevice, SerialError> open_port(const SerialSettings& settings) {
  const std::wstring path = wide_from_utf8(windows_device_path(settings.port));
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::unexpected(serial_error_from_code(last_code()));
  const DWORD ms = timeout_milliseconds(settings.timeout);
  auto device = adopt(file, ms);
  if (!device) return device;
  // From here on the device owns the handle: every failure below closes it on the way out, after
  // the error record has taken the failing call's code.
  auto fail = [] { return std::unexpected(serial_error_from_code(last_code())); };

  DCB dcb{};
  dcb.DCBlength = 28;
  if (!GetCommState(file, &dcb)) return fail();
  apply_framing(dcb, settings.baud, settings.parity);
  if (!SetCommState(file, &dcb)) return fail();

  // With both read limits at MAXDWORD, a read returns at once with what is there and otherwise
  // waits at most `ms` for the first byte; a write waits at most `ms` in all.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = ms;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = ms;
  if (!SetCommTimeouts(file, &timeouts)) return fail();
  return device;
}

std::expected<std::size_t, IoError> read(SerialDevice& device, std::span<std::uint8_t> buffer) {
  if (buffer.empty()) return std::unexpected(timed_out());
  const PortHandle& port = port_of(device);
  const DWORD ms = device.timeout_ms();
  // Bytes already received are taken at once. Otherwise the read waits, at most the time-out, for
  // one byte and then takes what came with it: a request for more than is there could, with a
  // driver that does not end it at the first byte, wait for the whole buffer.
  const std::size_t queued = std::min(bytes_waiting(port.file), buffer.size());
  const auto got = read_request(port, buffer.first(queued > 0 ? queued : 1), ms);
  if (!got) return std::unexpected(got.error());
  if (*got == 0) return std::unexpected(timed_out());
  std::size_t total = *got;
  if (queued == 0) {
    const std::size_t more = std::min(bytes_waiting(port.file), buffer.size() - total);
    // The first byte is in hand: a failure of this second request comes back from the next read.
    if (more == 0) return total;
    if (const auto rest = read_request(port, buffer.subspan(total, more), ms)) total += *rest;
  }
  return total;
}

std::expected<void, IoError> write_all(SerialDevice& device, std::span<const std::uint8_t> bytes) {
  const PortHandle& port = port_of(device);
  while (!bytes.empty()) {
    const auto written = write_request(port, bytes);
    if (!written) return std::unexpected(written.error());
    if (*written == 0) return std::unexpected(write_zero());
    bytes = bytes.subspan(*written);
  }
  return {};
}

std::expected<void, IoError> flush(SerialDevice& device) {
  // FlushFileBuffers takes no overlapped record: it waits for the drain itself, on a handle opened
  // for overlapped I/O too, and holds up no request of the other handle meanwhile.
  if (!FlushFileBuffers(handle_of(device))) return std::unexpected(io_error_from_code(last_code()));
  return {};
}

std::expected<void, SerialError> set_dtr(SerialDevice& device, bool on) {
  return call_result(EscapeCommFunction(handle_of(device), on ? SETDTR : CLRDTR));
}

std::expected<void, SerialError> set_rts(SerialDevice& device, bool on) {
  return call_result(EscapeCommFunction(handle_of(device), on ? SETRTS : CLRRTS));
}

std::expected<void, SerialError> set_break(SerialDevice& device) {
  return call_result(SetCommBreak(handle_of(device)));
}

std::expected<void, SerialError> clear_break(SerialDevice& device) {
  return call_result(ClearCommBreak(handle_of(device)));
}

std::expected<SerialDevice, SerialError> clone_port(const SerialDevice& device) {
  HANDLE duplicate = nullptr;
  const HANDLE process = GetCurrentProcess();
  // Not inheritable: the clone serves a thread of this process, never a child.
  if (!DuplicateHandle(process, handle_of(device), process, &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return std::unexpected(serial_error_from_code(last_code()));
  }
  return adopt(duplicate, device.timeout_ms());
}

}  // namespace kelp
