// Serial ports through the Win32 communications API.
//
// The handle does synchronous I/O; the read and write limits are the device's time-outs, set once
// at open, so every ReadFile and WriteFile returns on its own within them.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
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

HANDLE handle_of(const SerialDevice& device) { return reinterpret_cast<HANDLE>(device.native()); }

int last_code() { return static_cast<int>(GetLastError()); }

IoError timed_out() { return {IoErrorKind::TimedOut, "Operation timed out"}; }
IoError write_zero() { return {IoErrorKind::WriteZero, "failed to write whole buffer"}; }

// Takes the failing call's code before CloseHandle can overwrite it.
std::unexpected<SerialError> close_and_fail(HANDLE handle) {
  SerialError error = serial_error_from_code(last_code());
  CloseHandle(handle);
  return std::unexpected(std::move(error));
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

void close_serial_handle(std::intptr_t native) { CloseHandle(reinterpret_cast<HANDLE>(native)); }

std::expected<SerialDevice, SerialError> open_port(const SerialSettings& settings) {
  const std::wstring path = wide_from_utf8(windows_device_path(settings.port));
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::unexpected(serial_error_from_code(last_code()));

  DCB dcb{};
  dcb.DCBlength = 28;
  if (!GetCommState(handle, &dcb)) return close_and_fail(handle);
  apply_framing(dcb, settings.baud, settings.parity);
  if (!SetCommState(handle, &dcb)) return close_and_fail(handle);

  const DWORD ms = timeout_milliseconds(settings.timeout);
  // With both read limits at MAXDWORD, a read returns at once with what is there and otherwise
  // waits at most `ms` for the first byte.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = ms;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = ms;
  if (!SetCommTimeouts(handle, &timeouts)) return close_and_fail(handle);

  return SerialDevice(reinterpret_cast<std::intptr_t>(handle), ms);
}

std::expected<std::size_t, IoError> read(SerialDevice& device, std::span<std::uint8_t> buffer) {
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  DWORD got = 0;
  if (!ReadFile(handle_of(device), buffer.data(), wanted, &got, nullptr)) {
    return std::unexpected(io_error_from_code(last_code()));
  }
  if (got == 0) return std::unexpected(timed_out());
  return static_cast<std::size_t>(got);
}

std::expected<void, IoError> write_all(SerialDevice& device, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    DWORD written = 0;
    if (!WriteFile(handle_of(device), bytes.data(), wanted, &written, nullptr)) {
      return std::unexpected(io_error_from_code(last_code()));
    }
    if (written == 0) return std::unexpected(write_zero());
    bytes = bytes.subspan(written);
  }
  return {};
}

std::expected<void, IoError> flush(SerialDevice& device) {
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
  if (!DuplicateHandle(process, handle_of(device), process, &duplicate, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return std::unexpected(serial_error_from_code(last_code()));
  }
  return SerialDevice(reinterpret_cast<std::intptr_t>(duplicate), device.timeout_ms());
}

}  // namespace kelp
