#include "serial/port_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelp {
namespace {

PortInfo unknown(std::string name) {
  return PortInfo{.name = std::move(name), .type = PortType::Unknown, .usb = std::nullopt};
}

PortInfo usb(std::string name, std::uint16_t vid, std::uint16_t pid) {
  UsbPortInfo info;
  info.vid = vid;
  info.pid = pid;
  return PortInfo{.name = std::move(name), .type = PortType::UsbPort, .usb = info};
}

std::vector<std::string> names_of(const std::vector<PortInfo>& ports) {
  std::vector<std::string> names;
  for (const auto& port : ports) {
    names.push_back(port.name);
  }
  return names;
}

TEST(MergeRegistryNames, AddsOnlyWhenTheRegistryKnowsMorePorts) {
  // The registry names a port the devices did not report: it is appended as Unknown after them.
  std::vector<PortInfo> ports = {usb("COM3", 0x0403, 0x6001), unknown("COM4")};
  merge_registry_names(ports, {"COM3", "COM4", "COM7"});
  ASSERT_EQ(names_of(ports), (std::vector<std::string>{"COM3", "COM4", "COM7"}));
  EXPECT_EQ(ports[0].type, PortType::UsbPort);
  EXPECT_EQ(ports[0].usb->vid, 0x0403);
  EXPECT_EQ(ports[2].type, PortType::Unknown);
  EXPECT_FALSE(ports[2].usb.has_value());

  // Fewer registry names than devices: the device list stands as it is, including ports the
  // registry does not name.
  ports = {unknown("COM3"), unknown("COM4")};
  merge_registry_names(ports, {"COM3"});
  EXPECT_EQ(names_of(ports), (std::vector<std::string>{"COM3", "COM4"}));

  // As many names as devices, even different ones: unchanged.
  ports = {unknown("COM3"), unknown("COM4")};
  merge_registry_names(ports, {"COM8", "COM9"});
  EXPECT_EQ(names_of(ports), (std::vector<std::string>{"COM3", "COM4"}));

  // No device at all: every registry name is listed.
  ports = {};
  merge_registry_names(ports, {"COM1", "COM2"});
  EXPECT_EQ(names_of(ports), (std::vector<std::string>{"COM1", "COM2"}));

  // A device whose problem code kept it off the list reappears only through a longer registry.
  ports = {unknown("COM3")};
  merge_registry_names(ports, {"COM3"});
  EXPECT_EQ(names_of(ports), (std::vector<std::string>{"COM3"}));
}

TEST(MergeRegistryNames, KeepsDuplicatesAndEmptyNamesOfTheDeviceList) {
  // Two devices both named COM3 (and one without a name) stay as they are; the registry adds only
  // names missing from the list.
  std::vector<PortInfo> ports = {unknown("COM3"), unknown("COM3"), unknown("")};
  merge_registry_names(ports, {"COM3", "COM5", "COM6", "COM7"});
  EXPECT_EQ(names_of(ports),
            (std::vector<std::string>{"COM3", "COM3", "", "COM5", "COM6", "COM7"}));
}

TEST(ParallelPortName, LptNamesLongerThanTwoBytes) {
  struct Case {
    std::string name;
    bool parallel;
  };
  const std::vector<Case> cases = {
      {"LPT1", true}, {"LPT", true},   {"LPTX", true},  {"LP", false},    {"L", false},
      {"", false},    {"lpt1", false}, {"COM3", false}, {"XLPT1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_parallel_port_name(c.name), c.parallel) << c.name;
  }
}

TEST(RegistryText, AcceptedOnlyAsEvenSizedStringsThatFit) {
  EXPECT_TRUE(registry_text_acceptable(true, 1, 10));
  EXPECT_TRUE(registry_text_acceptable(true, 1, 0));
  EXPECT_TRUE(registry_text_acceptable(true, 1, 520));
  EXPECT_FALSE(registry_text_acceptable(true, 1, 522));
  EXPECT_FALSE(registry_text_acceptable(true, 1, 9));
  EXPECT_FALSE(registry_text_acceptable(true, 2, 10));  // REG_EXPAND_SZ
  EXPECT_FALSE(registry_text_acceptable(true, 7, 10));  // REG_MULTI_SZ
  EXPECT_FALSE(registry_text_acceptable(false, 1, 10));
}

TEST(RegistryNumber, OnlyAFourByteDword) {
  EXPECT_EQ(registry_number(true, 4, 4, 16), 16u);
  EXPECT_EQ(registry_number(true, 4, 4, 0), 0u);
  EXPECT_EQ(registry_number(true, 4, 8, 16), std::nullopt);   // larger than a DWORD
  EXPECT_EQ(registry_number(true, 1, 4, 16), std::nullopt);   // REG_SZ
  EXPECT_EQ(registry_number(true, 11, 4, 16), std::nullopt);  // REG_QWORD
  EXPECT_EQ(registry_number(false, 4, 4, 16), std::nullopt);
}

TEST(PropertyText, PartAfterTheLastSemicolon) {
  EXPECT_EQ(property_text("FTDI"), "FTDI");
  EXPECT_EQ(property_text("@oem12.inf,%ftdi%;FTDI"), "FTDI");
  EXPECT_EQ(property_text("a;b;USB Serial Port (COM3)"), "USB Serial Port (COM3)");
  EXPECT_EQ(property_text("@mdmcpq.inf,%mfg%;"), "");
  EXPECT_EQ(property_text(""), "");
  EXPECT_EQ(property_text(";"), "");
}

TEST(DecodeUtf16, SurrogatesAndTrailingNuls) {
  EXPECT_EQ(decode_utf16(u"COM3"), "COM3");
  EXPECT_EQ(decode_utf16(std::u16string(u"COM3\0\0\0", 7)), "COM3");
  // Only trailing NULs go; one inside the text stays.
  EXPECT_EQ(decode_utf16(std::u16string(u"A\0B\0", 4)), std::string("A\0B", 3));
  EXPECT_EQ(decode_utf16(u"\u00e9\u20ac\U0001F600"), "\u00e9\u20ac\U0001F600");
  // Unpaired halves, either way round, become one U+FFFD each.
  EXPECT_EQ(decode_utf16(std::u16string{u'a', char16_t(0xD83D), u'b'}), "a\ufffdb");
  EXPECT_EQ(decode_utf16(std::u16string{char16_t(0xDE00), char16_t(0xD83D)}), "\ufffd\ufffd");
  EXPECT_EQ(decode_utf16(std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}),
            "\ufffd\U0001F600");
  EXPECT_EQ(decode_utf16(std::u16string(3, u'\0')), "");
}

TEST(HardwareId, TheFirstOfTheListGivesVendorAndProduct) {
  using namespace std::string_literals;
  // A zero-filled 520-byte buffer holding a two-ID list, as the system hands it over.
  std::u16string list = u"USB\\VID_0403&PID_6001&REV_0600\0USB\\VID_0403&PID_6001\0\0"s;
  list.resize(260, u'\0');
  const auto id = first_hardware_id(7, list);
  ASSERT_EQ(id, "USB\\VID_0403&PID_6001&REV_0600");
  const auto info = usb_identity(*id, std::nullopt);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->vid, 0x0403);
  EXPECT_EQ(info->pid, 0x6001);
  EXPECT_FALSE(info->serial_number.has_value());

  EXPECT_EQ(first_hardware_id(1, list), std::nullopt);  // REG_SZ: not the list this property is
  EXPECT_EQ(first_hardware_id(7, std::u16string(260, u'\0')), std::nullopt);
}

TEST(UsbIdentity, PlainAndCompositeDevices) {
  struct Case {
    std::string id;
    std::optional<std::string> parent;
    bool usb;
    std::uint16_t vid;
    std::uint16_t pid;
    std::optional<std::string> serial;
  };
  const std::optional<std::string> no_parent;
  const std::vector<Case> cases = {
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", no_parent, true, 1027, 24577, "A50285BIA"},
      {"USB\\VID_0403&PID_6001\\", no_parent, true, 0x0403, 0x6001, ""},
      {"USB\\VID_0403&PID_6001", "USB\\ROOT_HUB30\\4&1", true, 0x0403, 0x6001, std::nullopt},
      // Interface 00 of a composite device: identity and serial number come from the parent.
      {"USB\\VID_2341&PID_0043&MI_00\\6&3A1B2C&0&0000", "USB\\VID_2341&PID_8043\\85735313", true,
       0x2341, 0x8043, "85735313"},
      {"USB\\VID_2341&PID_0043&MI_0a\\6&1", "USB\\VID_2341&PID_8043", true, 0x2341, 0x8043,
       std::nullopt},
      // Without a usable parent the composite member has no identity.
      {"USB\\VID_2341&PID_0043&MI_00\\6&3A1B2C&0&0000", no_parent, false, 0, 0, std::nullopt},
      {"USB\\VID_2341&PID_0043&MI_00\\6&3A1B2C&0&0000", "USB\\ROOT_HUB30\\4&1", false, 0, 0,
       std::nullopt},
      // An interface text that is not hexadecimal is ignored: the member's own texts count.
      {"USB\\VID_2341&PID_0043&MI_ZZ\\7&1", "USB\\VID_1111&PID_2222\\P", true, 0x2341, 0x0043, "7"},
      {"USB\\VID_2341&PID_0043&MI_+0\\7&1", "USB\\VID_1111&PID_2222\\P", true, 0x2341, 0x0043, "7"},
      // Vendor or product texts that are not hexadecimal give no identity.
      {"USB\\VID_04G3&PID_6001\\A", no_parent, false, 0, 0, std::nullopt},
      {"USB\\VID_0403&PID_+001\\A", no_parent, false, 0, 0, std::nullopt},
      {"USB\\VID_2341&PID_0043&MI_00\\6", "USB\\VID_23 1&PID_8043\\P", false, 0, 0, std::nullopt},
      {"ACPI\\PNP0501\\1", no_parent, false, 0, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const auto info = usb_identity(c.id, c.parent);
    ASSERT_EQ(info.has_value(), c.usb);
    if (info) {
      EXPECT_EQ(info->vid, c.vid);
      EXPECT_EQ(info->pid, c.pid);
      EXPECT_EQ(info->serial_number, c.serial);
      EXPECT_FALSE(info->manufacturer.has_value());
      EXPECT_FALSE(info->product.has_value());
    }
  }
}

}  // namespace
}  // namespace kelp
