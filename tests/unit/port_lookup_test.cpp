// Finding a port again: --port usb:SERIAL, and the identity by which --reconnect finds a port
// that dropped out and came back, perhaps under another name.
#include "modes/port_lookup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "modes/reconnect.h"

namespace kelp {
namespace {

PortInfo adapter(std::string name, std::uint16_t pid, std::optional<std::string> serial) {
  UsbPortInfo usb;
  usb.vid = 0x0403;
  usb.pid = pid;
  usb.serial_number = std::move(serial);
  return PortInfo{.name = std::move(name), .type = PortType::UsbPort, .usb = usb};
}

PortInfo plain(std::string name) {
  return PortInfo{.name = std::move(name), .type = PortType::Unknown, .usb = std::nullopt};
}

constexpr std::string_view HINT = "Run `kelp-capture list` to see available ports.\n";

TEST(ResolvePortArgument, UsbSerialNumbers) {
  const std::vector<PortInfo> ports = {
      plain("COM1"), adapter("COM3", 0x6001, "A50285BI"), adapter("COM4", 0x6015, "DN0412XY"),
      adapter("COM5", 0x6001, std::nullopt), adapter("COM6", 0x6001, "")};
  EXPECT_EQ(resolve_port_argument("usb:A50285BI", ports), "COM3");
  EXPECT_EQ(resolve_port_argument("usb:dn0412xy", ports), "COM4");  // case does not matter
  // Every other argument is a name, whatever the list holds.
  for (const char* name : {"COM9", "/dev/ttyUSB0", "USB:A50285BI", "usb", ""}) {
    EXPECT_EQ(resolve_port_argument(name, ports), name);
  }
  EXPECT_EQ(resolve_port_argument("usb:NOPE", ports).error(),
            "ERROR: no USB adapter with the serial number NOPE is plugged in (serial numbers "
            "seen: A50285BI (COM3), DN0412XY (COM4))\n" +
                std::string(HINT));
  // An empty serial number never matches the adapters that have none or an empty one.
  EXPECT_FALSE(resolve_port_argument("usb:", ports).has_value());
  EXPECT_EQ(resolve_port_argument("usb:X", {plain("COM1")}).error(),
            "ERROR: no USB adapter with the serial number X is plugged in (no adapter with a "
            "serial number is)\n" +
                std::string(HINT));
  // Two clones that share a serial number cannot be told apart by it.
  EXPECT_EQ(resolve_port_argument("usb:0001", {adapter("/dev/ttyUSB0", 0x6001, "0001"),
                                               adapter("/dev/ttyUSB1", 0x6001, "0001")})
                .error(),
            "ERROR: more than one USB adapter has the serial number 0001 (/dev/ttyUSB0, "
            "/dev/ttyUSB1): give the port by its name\n" +
                std::string(HINT));
}

TEST(LatencyWarning, OnlyAboveTwoMilliseconds) {
  EXPECT_EQ(latency_warning("COM3", std::nullopt), "");
  EXPECT_EQ(latency_warning("COM3", 1), "");
  EXPECT_EQ(latency_warning("COM3", 2), "");
  const std::string warning = latency_warning("COM3", 16);
  EXPECT_TRUE(warning.starts_with("Warning: the latency timer of COM3 is 16 ms: ")) << warning;
  EXPECT_NE(warning.find("Latency Timer"), std::string::npos);
  EXPECT_EQ(warning.find('\n'), warning.size() - 1);
}

TEST(Reconnect, AnAdapterWithASerialNumberIsFoundUnderAnyName) {
  const std::vector<PortInfo> before = {adapter("/dev/ttyUSB0", 0x6001, "KELP13QEMU"),
                                        adapter("/dev/ttyUSB1", 0x6001, "OTHER")};
  PortIdentity identity = port_identity("/dev/ttyUSB0", before);
  ASSERT_TRUE(identity.usb.has_value());
  EXPECT_EQ(identity_text(identity), "/dev/ttyUSB0 (USB 0403:6001, serial KELP13QEMU)");

  // Not back yet: the other adapter is not it, nor one with the same serial but another product.
  EXPECT_EQ(find_port_again(identity,
                            {adapter("/dev/ttyUSB1", 0x6001, "OTHER"),
                             adapter("/dev/ttyUSB2", 0x6015, "KELP13QEMU"), plain("/dev/ttyUSB0")}),
            std::nullopt);
  // Back under a new name, as when the old node was still held open.
  EXPECT_EQ(find_port_again(identity, {adapter("/dev/ttyUSB1", 0x6001, "OTHER"),
                                       adapter("/dev/ttyUSB2", 0x6001, "KELP13QEMU")}),
            "/dev/ttyUSB2");
  // Of two with the same identity, the one under the old name.
  EXPECT_EQ(find_port_again(identity, {adapter("/dev/ttyUSB2", 0x6001, "KELP13QEMU"),
                                       adapter("/dev/ttyUSB0", 0x6001, "KELP13QEMU")}),
            "/dev/ttyUSB0");
}

TEST(Reconnect, AnyOtherPortIsTheSameNameAgain) {
  const std::vector<PortInfo> ports = {adapter("COM5", 0x6001, std::nullopt),
                                       adapter("COM6", 0x6001, ""), plain("COM1")};
  for (const char* name : {"COM5", "COM6", "COM1", "/tmp/not-listed"}) {
    const PortIdentity identity = port_identity(name, ports);
    EXPECT_FALSE(identity.usb.has_value()) << name;
    EXPECT_EQ(identity_text(identity), name);
    EXPECT_EQ(find_port_again(identity, {}), name);
  }
}

TEST(Reconnect, HowLongAPortWasGone) {
  using std::chrono::milliseconds;
  EXPECT_EQ(away_text(milliseconds(0)), "0.0 s");
  EXPECT_EQ(away_text(milliseconds(412)), "0.4 s");
  EXPECT_EQ(away_text(milliseconds(59'999)), "59.9 s");
  EXPECT_EQ(away_text(milliseconds(185'000)), "3 min 5 s");
  EXPECT_EQ(away_text(milliseconds(8'040'000)), "2 h 14 min");
  EXPECT_EQ(away_text(milliseconds(-5)), "0.0 s");
}

}  // namespace
}  // namespace kelp
