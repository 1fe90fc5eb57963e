#include "modes/list.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kelp {
namespace {

PortInfo plain(std::string name, PortType type) {
  return PortInfo{.name = std::move(name), .type = type, .usb = std::nullopt};
}

PortInfo usb(std::string name, UsbPortInfo info) {
  return PortInfo{.name = std::move(name), .type = PortType::UsbPort, .usb = std::move(info)};
}

TEST(FormatPortList, NoPorts) {
  EXPECT_EQ(format_port_list({}), "=== Available Serial Ports ===\n\n(none found)\n");
}

TEST(FormatPortList, BlocksOfEveryKind) {
  struct Case {
    std::vector<PortInfo> ports;
    std::string body;
  };
  UsbPortInfo ftdi;
  ftdi.vid = 0x403;
  ftdi.pid = 0x6001;
  ftdi.manufacturer = "FTDI";

  UsbPortInfo full;
  full.vid = 0x2341;
  full.pid = 0x43;
  full.serial_number = "85735313";
  full.manufacturer = "Arduino LLC";
  full.product = "Arduino Uno (COM4)";

  UsbPortInfo empty_fields;
  empty_fields.vid = 0xABCD;
  empty_fields.pid = 0;
  empty_fields.serial_number = "";
  empty_fields.manufacturer = "";
  empty_fields.product = "";

  UsbPortInfo bare;
  bare.vid = 0xFFFF;
  bare.pid = 0x000A;

  UsbPortInfo timed = ftdi;
  timed.serial_number = "A50285BI";
  timed.latency_timer_ms = 16;

  const std::vector<Case> cases = {
      {{usb("COM7", ftdi)}, "COM7\n  Type: USB\n  VID:PID: 0403:6001\n  Mfr: FTDI\n\n"},
      {{plain("COM1", PortType::PciPort)}, "COM1\n  Type: PciPort\n\n"},
      {{plain("COM9", PortType::BluetoothPort)}, "COM9\n  Type: BluetoothPort\n\n"},
      {{plain("", PortType::Unknown)}, "\n  Type: Unknown\n\n"},
      {{usb("COM4", full)},
       "COM4\n  Type: USB\n  VID:PID: 2341:0043\n  Serial: 85735313\n  Mfr: Arduino LLC\n"
       "  Product: Arduino Uno (COM4)\n\n"},
      {{usb("COM5", empty_fields)},
       "COM5\n  Type: USB\n  VID:PID: abcd:0000\n  Serial: \n  Mfr: \n  Product: \n\n"},
      {{usb("COM6", bare)}, "COM6\n  Type: USB\n  VID:PID: ffff:000a\n\n"},
      // The latency timer closes the block, only when the driver tells it.
      {{usb("COM8", timed)},
       "COM8\n  Type: USB\n  VID:PID: 0403:6001\n  Serial: A50285BI\n  Mfr: FTDI\n"
       "  Latency timer: 16 ms\n\n"},
      // Several ports keep their order, each block closed by an empty line.
      {{plain("COM3", PortType::Unknown), usb("COM7", ftdi), plain("COM1", PortType::PciPort)},
       "COM3\n  Type: Unknown\n\nCOM7\n  Type: USB\n  VID:PID: 0403:6001\n  Mfr: FTDI\n\n"
       "COM1\n  Type: PciPort\n\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_port_list(c.ports), "=== Available Serial Ports ===\n\n" + c.body);
  }
}

TEST(PickAutoDetectPort, FirstNameWithEitherSubstring) {
  struct Case {
    std::vector<std::string> names;
    std::optional<std::string> picked;
  };
  const std::vector<Case> cases = {
      {{"/dev/cu.Bluetooth-Incoming-Port", "/dev/cu.usbmodem1101", "/dev/cu.usbserial-2120"},
       "/dev/cu.usbmodem1101"},
      {{"/dev/cu.usbserial-2120", "/dev/cu.usbmodem1101"}, "/dev/cu.usbserial-2120"},
      {{"/dev/cu.USBSERIAL-1", "/dev/cu.UsbModem2"}, std::nullopt},
      {{"COM3", "COM4"}, std::nullopt},
      {{}, std::nullopt},
      {{"xusbmodemx"}, "xusbmodemx"},
      {{"usbserial"}, "usbserial"},
      {{"/dev/ttyUSB0", "/dev/ttyACM0"}, std::nullopt},
  };
  for (const auto& c : cases) {
    std::vector<PortInfo> ports;
    for (const auto& name : c.names) {
      ports.push_back(plain(name, PortType::Unknown));
    }
    EXPECT_EQ(pick_auto_detect_port(ports), c.picked) << (c.names.empty() ? "" : c.names[0]);
  }

  // The type and the USB identity play no part: a USB adapter named COM3 is not picked.
  UsbPortInfo ftdi;
  ftdi.vid = 0x0403;
  ftdi.pid = 0x6001;
  ftdi.product = "usbserial";
  EXPECT_EQ(pick_auto_detect_port({usb("COM3", ftdi)}), std::nullopt);
  EXPECT_EQ(pick_auto_detect_port({plain("COM3", PortType::Unknown),
                                   plain("/dev/cu.usbserial-A", PortType::Unknown)}),
            "/dev/cu.usbserial-A");
}

}  // namespace
}  // namespace kelp
