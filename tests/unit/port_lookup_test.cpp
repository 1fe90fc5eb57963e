// Finding a port again: --port usb:SERIAL, and the identity by which --reconnect finds a port
// that dropped out and came back, perhaps under another name.
#include "modes/port_lookup.h"

#include <gtest/gtest.h>

#include "modes/reconnect.h"

namespace kelp {
namespace {

PortInfo port(std::string name, std::uint16_t pid = 0, std::optional<std::string> serial = {}) {
  if (pid == 0) return PortInfo{.name = std::move(name), .type = PortType::Unknown, .usb = {}};
  UsbPortInfo usb;
  usb.vid = 0x0403;
  usb.pid = pid;
  usb.serial_number = std::move(serial);
  return PortInfo{.name = std::move(name), .type = PortType::UsbPort, .usb = usb};
}

const std::string HINT = "Run `kelp-capture list` to see available ports.\n";

TEST(ResolvePortArgument, UsbSerialNumbers) {
  const std::vector<PortInfo> ports = {port("COM1"), port("COM3", 0x6001, "A50285BI"),
                                       port("COM4", 0x6015, "DN0412XY"), port("COM5", 0x6001),
                                       port("COM6", 0x6001, "")};
  EXPECT_EQ(resolve_port_argument("usb:A50285BI", ports), "COM3");
  EXPECT_EQ(resolve_port_argument("usb:dn0412xy", ports), "COM4");
  // Letters in any case, not only ASCII ones.
  EXPECT_EQ(resolve_port_argument("usb:a5 02 \xC3\xA4\xC3\xB8",
                                  {port("COM7", 0x6001, "A5 02 \xC3\x84\xC3\x98")}),
            "COM7");
  for (const char* name : {"COM9", "USB:A50285BI", "usb", ""}) {
    EXPECT_EQ(resolve_port_argument(name, ports), name);  // names, whatever the list holds
  }
  EXPECT_EQ(resolve_port_argument("usb:NOPE", ports).error(),
            "ERROR: no USB adapter with the serial number NOPE is plugged in (serial numbers "
            "seen: A50285BI (COM3), DN0412XY (COM4))\n" +
                HINT);
  // An empty serial number is not the adapters whose serial number is empty.
  EXPECT_EQ(resolve_port_argument("usb:", ports).error(),
            "ERROR: usb: needs the adapter's serial number after it (serial numbers seen: "
            "A50285BI (COM3), DN0412XY (COM4))\n" +
                HINT);
  EXPECT_EQ(resolve_port_argument("usb:0001", {port("/dev/ttyUSB0", 0x6001, "0001"),
                                               port("/dev/ttyUSB1", 0x6001, "0001")})
                .error(),
            "ERROR: more than one USB adapter has the serial number 0001 (/dev/ttyUSB0, "
            "/dev/ttyUSB1): give the port by its name\n" +
                HINT);
  EXPECT_EQ(latency_warning("COM3", 2) + latency_warning("COM3", std::nullopt), "");
  EXPECT_TRUE(latency_warning("COM3", 16).starts_with("Warning: the latency timer of COM3 is 16"));
}

TEST(Reconnect, AnAdapterWithASerialNumberIsFoundUnderAnyNameAnyOtherPortByName) {
  const PortIdentity identity =
      port_identity("/dev/ttyUSB0", {port("/dev/ttyUSB0", 0x6001, "K13")});
  EXPECT_EQ(identity_text(identity), "/dev/ttyUSB0 (USB 0403:6001, serial K13)");
  struct Case {
    std::vector<PortInfo> now;
    std::optional<std::string> found;
  };
  const Case cases[] = {
      // Not back: another serial number, another product, or the old name on another adapter.
      {{port("/dev/ttyUSB1", 0x6001, "K14"), port("/dev/ttyUSB2", 0x6015, "K13"),
        port("/dev/ttyUSB0")},
       std::nullopt},
      {{port("/dev/ttyUSB1", 0x6001, "K14"), port("/dev/ttyUSB2", 0x6001, "K13")}, "/dev/ttyUSB2"},
      // Of two with the same identity, the one under the old name.
      {{port("/dev/ttyUSB2", 0x6001, "K13"), port("/dev/ttyUSB0", 0x6001, "K13")}, "/dev/ttyUSB0"},
  };
  for (const Case& c : cases) EXPECT_EQ(find_port_again(identity, c.now), c.found);

  const std::vector<PortInfo> ports = {port("COM5", 0x6001), port("COM6", 0x6001, ""),
                                       port("COM1")};
  for (const char* name : {"COM5", "COM6", "COM1", "/tmp/not-listed"}) {
    const PortIdentity by_name = port_identity(name, ports);
    EXPECT_EQ(identity_text(by_name), name);
    EXPECT_EQ(find_port_again(by_name, {}), name);
  }
}

TEST(Reconnect, HowLongAPortWasGone) {
  using std::chrono::milliseconds;
  EXPECT_EQ(away_text(milliseconds(412)), "0.4 s");
  EXPECT_EQ(away_text(milliseconds(59'999)), "59.9 s");
  EXPECT_EQ(away_text(milliseconds(185'000)), "3 min 5 s");
  EXPECT_EQ(away_text(milliseconds(8'040'000)), "2 h 14 min");
  EXPECT_EQ(away_text(milliseconds(-5)), "0.0 s");
}

}  // namespace
}  // namespace kelp
