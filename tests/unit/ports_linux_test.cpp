// Enumeration over prepared sysfs trees laid out the way the kernel lays them out: devices under
// /sys/devices with `subsystem` links into /sys/bus or /sys/class, ttys in a `tty` folder below
// the device that registered them, and /sys/class/tty holding relative links to those folders.

#include "serial/ports_linux.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kelp {
namespace {

namespace fs = std::filesystem;

struct FakeSysfs {
  fs::path root;
  fs::path sys;

  FakeSysfs() {
    std::string pattern = (fs::temp_directory_path() / "kelp-sysfs-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    root = pattern;
    sys = root / "sys";
    fs::create_directories(sys / "class" / "tty");
    for (const char* bus : {"usb", "usb-serial", "pci", "platform", "pnp", "serial-base"}) {
      fs::create_directories(sys / "bus" / bus);
    }
    fs::create_directories(sys / "class" / "bluetooth");
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;
  ~FakeSysfs() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  static void link(const fs::path& at, const fs::path& target) {
    fs::create_directory_symlink(target.lexically_relative(at.parent_path()), at);
  }

  static void write(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }

  // A device folder below /sys/devices; `subsystem` is a bus name, or empty for none.
  fs::path device(const std::string& path, const std::string& bus) {
    const fs::path dir = sys / "devices" / path;
    fs::create_directories(dir);
    if (!bus.empty()) {
      link(dir / "subsystem", bus == "bluetooth" ? sys / "class" / bus : sys / "bus" / bus);
    }
    return dir;
  }

  fs::path usb_device(const std::string& path, const std::string& vid, const std::string& pid) {
    const fs::path dir = device(path, "usb");
    write(dir / "idVendor", vid + "\n");
    write(dir / "idProduct", pid + "\n");
    return dir;
  }

  fs::path usb_interface(const std::string& path) {
    const fs::path dir = device(path, "usb");
    write(dir / "bInterfaceNumber", "00\n");
    return dir;
  }

  // A tty registered by the device at `parent` (empty: a virtual tty without a device).
  fs::path tty(const std::string& parent, const std::string& name,
               std::optional<std::string> uart_type = std::nullopt) {
    const fs::path owner = parent.empty() ? sys / "devices" / "virtual" : sys / "devices" / parent;
    const fs::path dir = owner / "tty" / name;
    fs::create_directories(dir);
    link(dir / "subsystem", sys / "class" / "tty");
    if (!parent.empty()) {
      link(dir / "device", owner);
    }
    write(dir / "dev", "4:64\n");
    if (uart_type) {
      write(dir / "type", *uart_type + "\n");
    }
    link(sys / "class" / "tty" / name, dir);
    return dir;
  }

  std::vector<PortInfo> ports() const {
    auto result = enumerate_ports_under(sys, "/dev");
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().description);
    return result ? *result : std::vector<PortInfo>{};
  }
};

const PortInfo* find(const std::vector<PortInfo>& ports, const std::string& name) {
  for (const auto& port : ports) {
    if (port.name == name) {
      return &port;
    }
  }
  return nullptr;
}

std::vector<std::string> names_of(const std::vector<PortInfo>& ports) {
  std::vector<std::string> names;
  for (const auto& port : ports) {
    names.push_back(port.name);
  }
  return names;
}

constexpr const char* HOST = "pci0000:00/0000:00:14.0/usb1";

void add_host_controller(FakeSysfs& fake) {
  fake.device("pci0000:00", "");
  fake.device("pci0000:00/0000:00:14.0", "pci");
  fake.usb_device(HOST, "1d6b", "0002");
}

TEST(LinuxPorts, UsbAdaptersTakeTheIdentityOfTheUsbDevice) {
  FakeSysfs fake;
  add_host_controller(fake);
  const std::string host = HOST;

  // FTDI adapter: the usb-serial bus puts its own port device between interface and tty.
  const fs::path ftdi = fake.usb_device(host + "/1-2", "0403", "6001");
  FakeSysfs::write(ftdi / "serial", "A50285BI\n");
  FakeSysfs::write(ftdi / "manufacturer", "FTDI\n");
  FakeSysfs::write(ftdi / "product", "FT232R USB UART\n");
  fake.usb_interface(host + "/1-2/1-2:1.0");
  fake.device(host + "/1-2/1-2:1.0/ttyUSB0", "usb-serial");
  fake.tty(host + "/1-2/1-2:1.0/ttyUSB0", "ttyUSB0");

  // CDC-ACM board, a composite device (control and data interfaces): the tty hangs below
  // interface 1-3:1.0 and the identity is the device's.
  const fs::path acm = fake.usb_device(host + "/1-3", "2341", "0043");
  FakeSysfs::write(acm / "serial", "85735313233351F0A1C1\n");
  FakeSysfs::write(acm / "manufacturer", "Arduino (www.arduino.cc)\n");
  fake.usb_interface(host + "/1-3/1-3:1.0");
  fake.usb_interface(host + "/1-3/1-3:1.1");
  fake.tty(host + "/1-3/1-3:1.0", "ttyACM0");

  // CH340 without a serial number string; another adapter whose serial string is empty.
  const fs::path ch340 = fake.usb_device(host + "/1-4", "1a86", "7523");
  FakeSysfs::write(ch340 / "product", "USB Serial\n");
  fake.usb_interface(host + "/1-4/1-4:1.0");
  fake.device(host + "/1-4/1-4:1.0/ttyUSB1", "usb-serial");
  fake.tty(host + "/1-4/1-4:1.0/ttyUSB1", "ttyUSB1");

  const fs::path blank = fake.usb_device(host + "/1-6", "067b", "2303");
  FakeSysfs::write(blank / "serial", "\n");
  fake.usb_interface(host + "/1-6/1-6:1.0");
  fake.device(host + "/1-6/1-6:1.0/ttyUSB2", "usb-serial");
  fake.tty(host + "/1-6/1-6:1.0/ttyUSB2", "ttyUSB2");

  // ftdi_sio puts the latency timer beside the tty, on its usb-serial port device; a value that
  // is no number is left out.
  FakeSysfs::write(fake.sys / "devices" / host / "1-2/1-2:1.0/ttyUSB0/latency_timer", "16\n");
  FakeSysfs::write(fake.sys / "devices" / host / "1-4/1-4:1.0/ttyUSB1/latency_timer", "1 ms\n");

  const auto ports = fake.ports();
  ASSERT_EQ(names_of(ports), (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB0",
                                                       "/dev/ttyUSB1", "/dev/ttyUSB2"}));

  const PortInfo& usb0 = *find(ports, "/dev/ttyUSB0");
  ASSERT_EQ(usb0.type, PortType::UsbPort);
  ASSERT_TRUE(usb0.usb.has_value());
  EXPECT_EQ(usb0.usb->vid, 0x0403);
  EXPECT_EQ(usb0.usb->pid, 0x6001);
  EXPECT_EQ(usb0.usb->serial_number, "A50285BI");
  EXPECT_EQ(usb0.usb->manufacturer, "FTDI");
  EXPECT_EQ(usb0.usb->product, "FT232R USB UART");
  EXPECT_EQ(usb0.usb->latency_timer_ms, 16u);

  const PortInfo& acm0 = *find(ports, "/dev/ttyACM0");
  ASSERT_EQ(acm0.type, PortType::UsbPort);
  EXPECT_EQ(acm0.usb->vid, 0x2341);
  EXPECT_EQ(acm0.usb->pid, 0x0043);
  EXPECT_EQ(acm0.usb->serial_number, "85735313233351F0A1C1");
  EXPECT_EQ(acm0.usb->manufacturer, "Arduino (www.arduino.cc)");
  EXPECT_EQ(acm0.usb->product, std::nullopt);

  const PortInfo& usb1 = *find(ports, "/dev/ttyUSB1");
  ASSERT_EQ(usb1.type, PortType::UsbPort);
  EXPECT_EQ(usb1.usb->vid, 0x1a86);
  EXPECT_EQ(usb1.usb->serial_number, std::nullopt);
  EXPECT_EQ(usb1.usb->manufacturer, std::nullopt);
  EXPECT_EQ(usb1.usb->product, "USB Serial");
  EXPECT_EQ(usb1.usb->latency_timer_ms, std::nullopt);
  EXPECT_EQ(find(ports, "/dev/ttyACM0")->usb->latency_timer_ms, std::nullopt);

  const PortInfo& usb2 = *find(ports, "/dev/ttyUSB2");
  ASSERT_EQ(usb2.type, PortType::UsbPort);
  EXPECT_EQ(usb2.usb->serial_number, "");
}

TEST(LinuxPorts, UsbDeviceWithUnreadableIdsIsUnknown) {
  FakeSysfs fake;
  add_host_controller(fake);
  const std::string host = HOST;
  fake.usb_device(host + "/1-7", "04x3", "6001");
  fake.usb_interface(host + "/1-7/1-7:1.0");
  fake.tty(host + "/1-7/1-7:1.0", "ttyACM3");

  const auto ports = fake.ports();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].type, PortType::Unknown);
  EXPECT_FALSE(ports[0].usb.has_value());
}

TEST(LinuxPorts, OnBoardPciAndBluetoothPorts) {
  FakeSysfs fake;
  add_host_controller(fake);
  const std::string host = HOST;

  // A UART described by the firmware (as on a PC's mainboard), with the serial core's port and
  // controller devices between it and the tty, as newer kernels have it.
  fake.device("pnp0/00:00", "pnp");
  fake.device("pnp0/00:00/00:00:0", "serial-base");
  fake.device("pnp0/00:00/00:00:0/00:00:0.0", "serial-base");
  fake.tty("pnp0/00:00/00:00:0/00:00:0.0", "ttyS0", "4");

  // The legacy driver's platform device: one real UART found by probing (type 4), the rest
  // placeholders (type 0), in both the older and the newer layout.
  fake.device("platform/serial8250", "platform");
  fake.tty("platform/serial8250", "ttyS1", "0");
  fake.tty("platform/serial8250", "ttyS3", "4");
  fake.device("platform/serial8250/serial8250:0", "serial-base");
  fake.device("platform/serial8250/serial8250:0/serial8250:0.2", "serial-base");
  fake.tty("platform/serial8250/serial8250:0/serial8250:0.2", "ttyS2", "0");
  fake.device("platform/serial8250/serial8250:0/serial8250:0.31", "serial-base");
  fake.tty("platform/serial8250/serial8250:0/serial8250:0.31", "ttyS31");  // no type attribute

  // A system-on-chip UART is a platform device too, with a real UART type.
  fake.device("platform/soc", "platform");
  fake.device("platform/soc/fe201000.serial", "amba");
  fake.tty("platform/soc/fe201000.serial", "ttyAMA0", "32");

  // PCI serial cards, directly and behind the serial core's devices.
  fake.device("pci0000:00/0000:00:1c.0", "pci");
  fake.device("pci0000:00/0000:00:1c.0/0000:03:00.0", "pci");
  fake.tty("pci0000:00/0000:00:1c.0/0000:03:00.0", "ttyS5", "4");
  const std::string card = "pci0000:00/0000:00:1c.0/0000:03:00.0/0000:03:00.0:0";
  fake.device(card, "serial-base");
  fake.device(card + "/0000:03:00.0:0.0", "serial-base");
  fake.tty(card + "/0000:03:00.0:0.0", "ttyS4", "4");

  // RFCOMM: a connected link hangs below the Bluetooth connection of a USB dongle; an unbound
  // one is virtual and has no device.
  const fs::path dongle = fake.usb_device(host + "/1-5", "8087", "0a2a");
  fake.usb_interface(host + "/1-5/1-5:1.0");
  fake.device(host + "/1-5/1-5:1.0/bluetooth/hci0", "bluetooth");
  fake.device(host + "/1-5/1-5:1.0/bluetooth/hci0/hci0:11", "bluetooth");
  fake.tty(host + "/1-5/1-5:1.0/bluetooth/hci0/hci0:11", "rfcomm0");
  fake.tty("", "rfcomm1");

  // A parallel port is not a serial port, even when registered with a device.
  fake.device("pnp0/00:05", "pnp");
  fake.tty("pnp0/00:05", "lp0");

  // Consoles and pseudo terminals are virtual.
  for (const char* name : {"console", "ptmx", "tty", "tty0", "tty1"}) {
    fake.tty("", name);
  }

  const auto ports = fake.ports();
  ASSERT_EQ(names_of(ports), (std::vector<std::string>{"/dev/rfcomm0", "/dev/ttyAMA0", "/dev/ttyS0",
                                                       "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"}));
  EXPECT_EQ(find(ports, "/dev/rfcomm0")->type, PortType::BluetoothPort);
  EXPECT_EQ(find(ports, "/dev/ttyAMA0")->type, PortType::Unknown);
  EXPECT_EQ(find(ports, "/dev/ttyS0")->type, PortType::Unknown);
  EXPECT_EQ(find(ports, "/dev/ttyS3")->type, PortType::Unknown);
  EXPECT_EQ(find(ports, "/dev/ttyS4")->type, PortType::PciPort);
  EXPECT_EQ(find(ports, "/dev/ttyS5")->type, PortType::PciPort);
  for (const auto& port : ports) {
    EXPECT_FALSE(port.usb.has_value()) << port.name;
  }
}

TEST(LinuxPorts, EmptyTreeAndMissingTree) {
  FakeSysfs fake;
  fake.tty("", "ptmx");
  EXPECT_TRUE(fake.ports().empty());

  const auto missing = enumerate_ports_under(fake.root / "nothing", "/dev");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, SerialErrorKind::Unknown);
  EXPECT_NE(missing.error().description.find("class/tty"), std::string::npos);
}

TEST(LinuxPorts, NamesUseTheDeviceRoot) {
  FakeSysfs fake;
  fake.device("pnp0/00:00", "pnp");
  fake.tty("pnp0/00:00", "ttyS0", "4");
  const auto ports = enumerate_ports_under(fake.sys, fake.root / "dev");
  ASSERT_TRUE(ports.has_value());
  ASSERT_EQ(ports->size(), 1u);
  EXPECT_EQ((*ports)[0].name, (fake.root / "dev" / "ttyS0").string());
}

}  // namespace
}  // namespace kelp
