#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "serial/ports.h"

namespace kelp {
namespace {

struct UsbIdCase {
  std::string id;
  bool parsed;
  std::string vendor;
  std::string product;
  std::optional<std::string> interface_number;
  std::optional<std::string> serial;
};

void expect_parse(const UsbIdCase& c) {
  SCOPED_TRACE(c.id);
  const auto parts = parse_usb_id(c.id);
  ASSERT_EQ(parts.has_value(), c.parsed);
  if (!parts) {
    return;
  }
  EXPECT_EQ(parts->vendor, c.vendor);
  EXPECT_EQ(parts->product, c.product);
  EXPECT_EQ(parts->interface_number, c.interface_number);
  EXPECT_EQ(parts->serial, c.serial);
}

TEST(ParseUsbId, InstanceIdsOfCommonAdapters) {
  const std::vector<UsbIdCase> cases = {
      {"USB\\VID_0403&PID_6001\\A50285BI", true, "0403", "6001", std::nullopt, "A50285BI"},
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", true, "0403", "6001", std::nullopt,
       "A50285BIA"},
      {"USB\\VID_1A86&PID_7523\\5&2B3C4D&0&2", true, "1A86", "7523", std::nullopt, "5"},
      {"USB\\VID_2341&PID_0043&MI_00\\6&3A1B2C&0&0000", true, "2341", "0043", "00", "6"},
      {"USB\\VID_0403&PID_6001", true, "0403", "6001", std::nullopt, std::nullopt},
      {"USB\\VID_0403&PID_60", false, "", "", std::nullopt, std::nullopt},
      {"ACPI\\PNP0501\\1", false, "", "", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    expect_parse(c);
  }
}

TEST(ParseUsbId, SeparatorsAndBoundaries) {
  const std::vector<UsbIdCase> cases = {
      // Nothing after the backslash: the serial text is present and empty.
      {"USB\\VID_0403&PID_6001\\", true, "0403", "6001", std::nullopt, ""},
      {"USB\\VID_0403&PID_6001+", true, "0403", "6001", std::nullopt, ""},
      // A separator that starts no serial run still gives a present, empty serial.
      {"USB\\VID_0403&PID_6001\\&0", true, "0403", "6001", std::nullopt, ""},
      // Any other character after the product gives no serial at all.
      {"USB\\VID_0403&PID_6001&REV_0600", true, "0403", "6001", std::nullopt, std::nullopt},
      // "+" works in place of "&" before PID_ and MI_.
      {"X\\VID_0403+PID_6015+MI_01+ABC", true, "0403", "6015", "01", "ABC"},
      // So a serial glued on with "+" that begins with "MI_" reads as an interface.
      {"X\\VID_0403+PID_6015+MI_VVV&0&1", true, "0403", "6015", "VV", std::nullopt},
      // Exactly four characters of product are enough; three are not.
      {"VID_0403&PID_6001", true, "0403", "6001", std::nullopt, std::nullopt},
      {"VID_0403&PID_600", false, "", "", std::nullopt, std::nullopt},
      {"VID_040", false, "", "", std::nullopt, std::nullopt},
      {"USB\\VID_0403-PID_6001", false, "", "", std::nullopt, std::nullopt},
      // Only the first VID_ is tried, even when a later one would parse.
      {"VID_12\\USB\\VID_0403&PID_6001\\A1", false, "", "", std::nullopt, std::nullopt},
      // Comparisons are case-sensitive.
      {"USB\\vid_0403&pid_6001\\A1", false, "", "", std::nullopt, std::nullopt},
      {"USB\\VID_0403&pid_6001\\A1", false, "", "", std::nullopt, std::nullopt},
      {"USB\\VID_0403&PID_6001&mi_00\\A1", true, "0403", "6001", std::nullopt, std::nullopt},
      // The vendor and product texts are taken as they are, hexadecimal or not.
      {"USB\\VID_XYZW&PID_....\\S", true, "XYZW", "....", std::nullopt, "S"},
      // An interface text that is not hexadecimal is still the interface text.
      {"USB\\VID_2341&PID_0043&MI_ZZ\\7&1", true, "2341", "0043", "ZZ", "7"},
      // With fewer than two characters after MI_ there is no interface text, and the position
      // stays after the product, where "&" starts no serial.
      {"USB\\VID_2341&PID_0043&MI_0", true, "2341", "0043", std::nullopt, std::nullopt},
      {"USB\\VID_2341&PID_0043&MI_00", true, "2341", "0043", "00", std::nullopt},
      // The serial run takes letters, digits, "_" and ":" and stops at anything else.
      {"USB\\VID_0403&PID_6001\\AB_1:2.3", true, "0403", "6001", std::nullopt, "AB_1:2"},
      {"USB\\VID_0403&PID_6001\\ A", true, "0403", "6001", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    expect_parse(c);
  }
}

TEST(ParseUsbId, LengthsCountCharactersNotBytes) {
  const std::vector<UsbIdCase> cases = {
      // Four characters of two bytes each form the vendor text.
      {"VID_\u00e9\u00e9\u00e9\u00e9&PID_6001", true, "\u00e9\u00e9\u00e9\u00e9", "6001",
       std::nullopt, std::nullopt},
      // A three-byte and a four-byte character count as one each.
      {"VID_0\u20ac0\U0001F600+PID_\u20ac\u20ac\u20ac\u20ac\\x", true, "0\u20ac0\U0001F600",
       "\u20ac\u20ac\u20ac\u20ac", std::nullopt, "x"},
      {"VID_0403&PID_6001&MI_\u00e90\\1", true, "0403", "6001", "\u00e90", "1"},
      // Two characters that are four bytes are not four characters.
      {"VID_0403&PID_\u00e9\u00e9", false, "", "", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    expect_parse(c);
  }
}

TEST(ParseUsbId, SerialRunIsUnicodeAlphanumeric) {
  const std::vector<UsbIdCase> cases = {
      // Letters and digits of any script, fullwidth low line and the numeric categories belong to
      // the run; punctuation and symbols end it.
      {"USB\\VID_0403&PID_6001\\\u00c5\u0436\u0661\uff3f\u2167\u00bd-rest", true, "0403", "6001",
       std::nullopt, "\u00c5\u0436\u0661\uff3f\u2167\u00bd"},
      {"USB\\VID_0403&PID_6001\\\u65e5\u672c9\u20acX", true, "0403", "6001", std::nullopt,
       "\u65e5\u672c9"},
      {"USB\\VID_0403&PID_6001\\\u00a7", true, "0403", "6001", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    expect_parse(c);
  }
}

TEST(ParseUsbId, IllFormedBytesCountAsOneCharacterEach) {
  // A stray byte stands for one replacement character, so the cut points stay where they would be
  // in the text as shown.
  const auto parts =
      parse_usb_id(std::string("VID_\xff"
                               "123&PID_6001\\A"));
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(parts->vendor, "\ufffd123");
  EXPECT_EQ(parts->product, "6001");
  EXPECT_EQ(parts->serial, "A");
}

TEST(PortTypeName, NamesOfEveryType) {
  EXPECT_EQ(port_type_name(PortType::UsbPort), "UsbPort");
  EXPECT_EQ(port_type_name(PortType::PciPort), "PciPort");
  EXPECT_EQ(port_type_name(PortType::BluetoothPort), "BluetoothPort");
  EXPECT_EQ(port_type_name(PortType::Unknown), "Unknown");
}

}  // namespace
}  // namespace kelp
