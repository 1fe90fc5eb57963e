#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "serial/serial.h"
#include "serial/serial_platform.h"

namespace kelp {
namespace {

using namespace std::chrono_literals;

TEST(StructuredRendering, NamesTheKindAndQuotesTheDescription) {
  const struct {
    SerialError error;
    std::string rendering;
  } cases[] = {
      {{SerialErrorKind::NoDevice, IoErrorKind::Other, "Access is denied."},
       R"(Error { kind: NoDevice, description: "Access is denied." })"},
      {{SerialErrorKind::Io, IoErrorKind::Other, "The handle is invalid."},
       R"(Error { kind: Io(Other), description: "The handle is invalid." })"},
      {{SerialErrorKind::Io, IoErrorKind::TimedOut, ""},
       R"(Error { kind: Io(TimedOut), description: "" })"},
      {{SerialErrorKind::InvalidInput, IoErrorKind::Other, "x"},
       R"(Error { kind: InvalidInput, description: "x" })"},
      {{SerialErrorKind::Unknown, IoErrorKind::Other, "x"},
       R"(Error { kind: Unknown, description: "x" })"},
      // Quotes, backslashes and control characters are escaped; the rest stays as it is.
      {{SerialErrorKind::Io, IoErrorKind::Other, "say \"hi\" C:\\COM3 'ok'"},
       R"(Error { kind: Io(Other), description: "say \"hi\" C:\\COM3 'ok'" })"},
      {{SerialErrorKind::Io, IoErrorKind::Other, std::string("a\nb\rc\td\0e", 9)},
       R"(Error { kind: Io(Other), description: "a\nb\rc\td\0e" })"},
      {{SerialErrorKind::Io, IoErrorKind::Other, "\x01\x1b\x7f"},
       R"(Error { kind: Io(Other), description: "\u{1}\u{1b}\u{7f}" })"},
      {{SerialErrorKind::Io, IoErrorKind::Other, "Zugriff verweigert \xc3\xa9 \xe2\x80\x94"},
       "Error { kind: Io(Other), description: \"Zugriff verweigert \xc3\xa9 \xe2\x80\x94\" }"},
      // C1 controls, format characters and a leading combining mark.
      {{SerialErrorKind::Io, IoErrorKind::Other, "\xc2\x85|\xe2\x80\x8b|\xcc\x81"},
       R"(Error { kind: Io(Other), description: "\u{85}|\u{200b}|\u{301}" })"},
  };
  for (const auto& c : cases) EXPECT_EQ(structured_rendering(c.error), c.rendering);
}

TEST(StructuredRendering, ShowsIllFormedBytesAsReplacementCharacters) {
  const SerialError error{SerialErrorKind::Io, IoErrorKind::Other,
                          "a\xff"
                          "b"};
  EXPECT_EQ(structured_rendering(error),
            "Error { kind: Io(Other), description: \"a\xef\xbf\xbd"
            "b\" }");
}

TEST(IoErrorKindName, ReadsAsTheKind) {
  const struct {
    IoErrorKind kind;
    std::string_view name;
  } cases[] = {
      {IoErrorKind::NotFound, "NotFound"},
      {IoErrorKind::PermissionDenied, "PermissionDenied"},
      {IoErrorKind::Interrupted, "Interrupted"},
      {IoErrorKind::TimedOut, "TimedOut"},
      {IoErrorKind::WriteZero, "WriteZero"},
      {IoErrorKind::BrokenPipe, "BrokenPipe"},
      {IoErrorKind::WouldBlock, "WouldBlock"},
      {IoErrorKind::InvalidInput, "InvalidInput"},
      {IoErrorKind::Unsupported, "Unsupported"},
      {IoErrorKind::Other, "Other"},
  };
  for (const auto& c : cases) EXPECT_EQ(io_error_kind_name(c.kind), c.name);
}

TEST(TimeoutMilliseconds, CountsWholeMillisecondsUpToTheCap) {
  const struct {
    std::chrono::nanoseconds timeout;
    std::uint32_t ms;
  } cases[] = {
      {100ms, 100},
      {50ms, 50},
      {0ns, 0},
      {999'999ns, 0},
      {1'999'999ns, 1},
      {2s + 345'678'912ns, 2345},
      {std::chrono::milliseconds(4'294'967'293), 4'294'967'293u},
      {std::chrono::milliseconds(4'294'967'294), 0xFFFFFFFEu},
      {std::chrono::milliseconds(4'294'967'295), 0xFFFFFFFEu},
      {std::chrono::hours(24 * 365 * 200), 0xFFFFFFFEu},
      {std::chrono::nanoseconds::max(), 0xFFFFFFFEu},
      {-5ms, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(timeout_milliseconds(c.timeout), c.ms) << c.timeout.count() << " ns";
  }
}

TEST(WriteStallLimit, IsTheTimeOutOrTheTimeForOneKibibyteOnTheLine) {
  const struct {
    std::uint32_t timeout_ms, baud, limit_ms;
  } cases[] = {
      {100, 9600, 1067},  {50, 9600, 1067}, {100, 115200, 100},    {100, 1200, 8534},
      {5000, 9600, 5000}, {100, 0, 100},    {100, 4'000'000, 100},
  };
  for (const auto& c : cases) {
    const SerialDevice nothing_open(-1, c.timeout_ms, c.baud);
    EXPECT_EQ(write_stall_limit(nothing_open).count(), c.limit_ms) << c.baud << " bit/s";
  }
}

TEST(ParityLetter, IsNOOrE) {
  EXPECT_EQ(parity_letter(Parity::None), 'N');
  EXPECT_EQ(parity_letter(Parity::Odd), 'O');
  EXPECT_EQ(parity_letter(Parity::Even), 'E');
  EXPECT_EQ(static_cast<int>(Parity::Odd), 1);
  EXPECT_EQ(static_cast<int>(Parity::Even), 2);
}

TEST(WindowsDevicePath, PrefixesEverythingButBackslashPaths) {
  const struct {
    std::string port;
    std::string path;
  } cases[] = {
      {"COM3", R"(\\.\COM3)"},          {"COM12", R"(\\.\COM12)"},
      {R"(\\.\COM12)", R"(\\.\COM12)"}, {"", R"(\\.\)"},
      {R"(\Device\X)", R"(\Device\X)"}, {"/dev/ttyS0", R"(\\.\/dev/ttyS0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(windows_device_path(c.port), c.path) << c.port;
}

}  // namespace
}  // namespace kelp
