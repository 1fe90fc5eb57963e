// The Windows serial layer. The tests without a device run everywhere the .exe runs. The tests of
// a live port need a peer outside the process: tests/e2e/test_serial_layer_wine.py links
// a pseudo-terminal to a COM name, plays an echoing device on it and names it in
// KELP_TEST_ECHO_PORT.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_error.h"
#include "serial/serial.h"

namespace kelp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

std::optional<std::string> port_from_environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

#define REQUIRE_PORT(variable, name)                                        \
  const auto variable = port_from_environment(name);                        \
  if (!variable) {                                                          \
    GTEST_SKIP() << name << " is not set: a live port needs the peer that " \
                 << "tests/e2e/test_serial_layer_wine.py plays";            \
  }

SerialSettings settings_for(const std::string& port, std::chrono::milliseconds timeout = 100ms) {
  SerialSettings s;
  s.port = port;
  s.timeout = timeout;
  return s;
}

Bytes read_bytes(SerialDevice& device, std::size_t count) {
  Bytes out;
  std::uint8_t buffer[4096];
  const auto give_up = Clock::now() + 20s;
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

TEST(SerialWin32, AMissingPortIsNoDeviceWithTheSystemText) {
  for (const char* port : {"COM219", R"(\\.\COM219)"}) {
    auto device = open_port(settings_for(port));
    ASSERT_FALSE(device.has_value()) << port;
    EXPECT_EQ(device.error().kind, SerialErrorKind::NoDevice) << port;
    const std::string& text = device.error().description;
    EXPECT_TRUE(text == os_error_message(ERROR_FILE_NOT_FOUND) ||
                text == os_error_message(ERROR_PATH_NOT_FOUND))
        << port << ": " << text;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("(os error"), std::string::npos);
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), ' ');
  }
}

TEST(SerialWin32, SystemCodesMapToTheirKinds) {
  const struct {
    DWORD code;
    SerialErrorKind serial_kind;
    IoErrorKind io_kind;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, SerialErrorKind::NoDevice, IoErrorKind::NotFound},
      {ERROR_PATH_NOT_FOUND, SerialErrorKind::NoDevice, IoErrorKind::NotFound},
      {ERROR_ACCESS_DENIED, SerialErrorKind::NoDevice, IoErrorKind::PermissionDenied},
      {ERROR_SEM_TIMEOUT, SerialErrorKind::Io, IoErrorKind::TimedOut},
      {WAIT_TIMEOUT, SerialErrorKind::Io, IoErrorKind::TimedOut},
      {ERROR_TIMEOUT, SerialErrorKind::Io, IoErrorKind::TimedOut},
      // An aborted read (a cancelled request, an adapter pulled out) is a failure, not "no data".
      {ERROR_OPERATION_ABORTED, SerialErrorKind::Io, IoErrorKind::Other},
      {ERROR_GEN_FAILURE, SerialErrorKind::Io, IoErrorKind::Other},
      {ERROR_BAD_COMMAND, SerialErrorKind::Io, IoErrorKind::Other},
      {ERROR_INVALID_PARAMETER, SerialErrorKind::Io, IoErrorKind::InvalidInput},
      {ERROR_BROKEN_PIPE, SerialErrorKind::Io, IoErrorKind::BrokenPipe},
      {ERROR_SHARING_VIOLATION, SerialErrorKind::Io, IoErrorKind::Other},
  };
  for (const auto& c : cases) {
    const int code = static_cast<int>(c.code);
    const SerialError serial = serial_error_from_code(code);
    EXPECT_EQ(serial.kind, c.serial_kind) << code;
    EXPECT_EQ(serial.io_kind, IoErrorKind::Other) << code;
    EXPECT_EQ(serial.description, os_error_message(code)) << code;
    const IoError io = io_error_from_code(code);
    EXPECT_EQ(io.kind, c.io_kind) << code;
    EXPECT_EQ(io.text, os_error_message(code) + " (os error " + std::to_string(code) + ")");
  }
}

TEST(SerialWin32, ACodeWithoutTextNamesTheLookupFailure) {
  const std::string text = serial_error_from_code(0x1234567).description;
  EXPECT_EQ(text.rfind("OS Error 19088743 (FormatMessageW() returned error ", 0), 0u) << text;
  EXPECT_EQ(text.back(), ')');
}

TEST(SerialWin32, AFileThatIsNoPortIsRefusedAndLeftClosed) {
  wchar_t dir[MAX_PATH];
  wchar_t file[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
  ASSERT_NE(GetTempFileNameW(dir, L"kel", 0, file), 0u);
  char narrow[MAX_PATH * 3];
  ASSERT_GT(WideCharToMultiByte(CP_UTF8, 0, file, -1, narrow, sizeof narrow, nullptr, nullptr), 0);

  auto device = open_port(settings_for(narrow));
  ASSERT_FALSE(device.has_value());
  EXPECT_FALSE(device.error().description.empty());
  // The handle was closed: the file opens again without sharing and can be deleted.
  HANDLE again = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
  EXPECT_TRUE(DeleteFileW(file));
}

TEST(SerialWin32Live, AnIdleReadTimesOutAfterAboutOneTimeout) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  auto device = open_port(settings_for(*port, 100ms));
  ASSERT_TRUE(device.has_value()) << device.error().description;
  EXPECT_EQ(device->timeout_ms(), 100u);
  std::uint8_t buffer[4096];
  const auto start = Clock::now();
  auto result = read(*device, buffer);
  const auto elapsed = Clock::now() - start;
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, IoErrorKind::TimedOut);
  EXPECT_EQ(result.error().text, "Operation timed out");
  EXPECT_GE(elapsed, 80ms);
  EXPECT_LT(elapsed, 3s);
}

TEST(SerialWin32Live, EveryByteValueComesBackUnchanged) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  auto device = open_port(settings_for(*port, 100ms));
  ASSERT_TRUE(device.has_value()) << device.error().description;
  Bytes bytes(256);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  EXPECT_TRUE(write_all(*device, {}).has_value());
  ASSERT_TRUE(write_all(*device, bytes).has_value());
  ASSERT_TRUE(flush(*device).has_value());
  EXPECT_EQ(read_bytes(*device, bytes.size()), bytes);
}

TEST(SerialWin32Live, EitherHandleOutlivesTheOther) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  for (bool close_first : {true, false}) {
    auto opened = open_port(settings_for(*port, 100ms));
    ASSERT_TRUE(opened.has_value()) << opened.error().description;
    std::optional<SerialDevice> first = std::move(*opened);
    auto clone = clone_port(*first);
    ASSERT_TRUE(clone.has_value()) << clone.error().description;
    std::optional<SerialDevice> second = std::move(*clone);
    EXPECT_EQ(second->timeout_ms(), 100u);
    (close_first ? first : second).reset();
    SerialDevice& left = close_first ? *second : *first;
    const Bytes hello{'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(write_all(left, hello).has_value());
    EXPECT_EQ(read_bytes(left, hello.size()), hello);
  }
}

TEST(SerialWin32Live, ReadsAndWritesThroughTwoHandlesAtOnce) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  auto reader = open_port(settings_for(*port, 50ms));
  ASSERT_TRUE(reader.has_value()) << reader.error().description;
  auto writer = clone_port(*reader);
  ASSERT_TRUE(writer.has_value()) << writer.error().description;
  constexpr std::size_t SIZE = 64 * 1024;
  Bytes sent(SIZE);
  for (std::size_t i = 0; i < SIZE; ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + 3);
  Bytes got;
  std::thread tool_reads([&] { got = read_bytes(*reader, SIZE); });
  bool written = true;
  for (std::size_t at = 0; written && at < SIZE; at += 4096) {
    written = write_all(*writer, std::span(sent).subspan(at, 4096)).has_value() &&
              flush(*writer).has_value();
  }
  tool_reads.join();
  EXPECT_TRUE(written);
  EXPECT_TRUE(got == sent) << got.size() << " of " << SIZE << " bytes came back";
}

// A far end that takes its bytes in bursts, with pauses longer than the write time-out: each
// write request ends at the time-out with what it moved, or nothing during a pause, and the write
// goes on to its last byte. (The echo backs up to the writer whenever the reader here pauses.)
TEST(SerialWin32Live, ALineThatMovesInBurstsTakesTheWholePayload) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  auto writer = open_port(settings_for(*port, 100ms));
  ASSERT_TRUE(writer.has_value()) << writer.error().description;
  auto reader = clone_port(*writer);
  ASSERT_TRUE(reader.has_value()) << reader.error().description;
  Bytes sent(256 * 1024);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i % 251);
  Bytes got;
  std::thread far_end([&] {
    while (got.size() < sent.size()) {
      std::this_thread::sleep_for(400ms);
      const Bytes burst =
          read_bytes(*reader, std::min<std::size_t>(sent.size() - got.size(), 32768));
      if (burst.empty()) break;
      got.insert(got.end(), burst.begin(), burst.end());
    }
  });
  const auto written = write_all(*writer, sent);
  far_end.join();
  ASSERT_TRUE(written.has_value()) << written.error().text << " after " << got.size();
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes came back";
}

// The proxy's case: one thread waits in a read on one handle while another writes through the
// clone. On Windows a handle opened without overlapped I/O runs one request at a time, shared with
// its duplicates, so this write would wait until the read gave up after its 10 s, and the read
// would end with TimedOut instead of the echo. Wine hands each request of such a handle to the
// device on its own, so under Wine the write goes through with either kind of handle and cannot
// show that fault; there the case runs the overlapped path, and its read must still return with the
// first bytes rather than at its time-out.
TEST(SerialWin32Live, AWriteCompletesWhileAReadIsPendingOnTheClone) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  auto reader = open_port(settings_for(*port, 10s));
  ASSERT_TRUE(reader.has_value()) << reader.error().description;
  auto writer = clone_port(*reader);
  ASSERT_TRUE(writer.has_value()) << writer.error().description;
  std::uint8_t buffer[64];
  std::expected<std::size_t, IoError> got = std::unexpected(IoError{});
  Clock::duration waited{};
  std::thread waiting_read([&] {
    const auto start = Clock::now();
    got = read(*reader, buffer);
    waited = Clock::now() - start;
  });
  std::this_thread::sleep_for(200ms);  // let the read start waiting; a late start changes nothing
  const Bytes ping{'p', 'i', 'n', 'g'};
  EXPECT_TRUE(write_all(*writer, ping).has_value());
  EXPECT_TRUE(flush(*writer).has_value());
  waiting_read.join();
  ASSERT_TRUE(got.has_value()) << "the read ended with: " << got.error().text;
  ASSERT_GE(*got, 1u);
  EXPECT_EQ(Bytes(buffer, buffer + *got), Bytes(ping.begin(), ping.begin() + *got));
  EXPECT_LT(waited, 5s) << "the read waited for its time-out, not for the first byte";
}

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(SerialWin32Live, ASecondOpenIsRefusedWhileThePortIsOpen) {
  REQUIRE_PORT(port, "KELP_TEST_ECHO_PORT");
  auto first = open_port(settings_for(*port));
  ASSERT_TRUE(first.has_value()) << first.error().description;
  auto second = open_port(settings_for(*port));
  if (second.has_value() && running_under_wine()) {
    GTEST_SKIP() << "Wine does not enforce exclusive opens of serial ports";
  }
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind, SerialErrorKind::NoDevice);
  EXPECT_EQ(second.error().description, os_error_message(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace kelp
