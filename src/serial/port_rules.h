// The decisions of the Windows port enumeration that depend on no system call, kept apart so
// that they can be checked on every platform.
//
// The Windows code reads texts from SetupAPI, the configuration manager and the registry, turns
// them into UTF-8 with `decode_utf16`, and hands them to these functions, which decide whether a
// device is listed, under which name, and with which identity.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ports.h"

namespace kelp {

// UTF-16 to UTF-8: every unpaired surrogate becomes U+FFFD and NUL units at the end are dropped
// (system buffers are zero-filled, so the text is followed by any number of them).
std::string decode_utf16(std::u16string_view units);

// A registry or device-property value is taken as text only when the read succeeded, its type is
// REG_SZ (1) and its size in bytes is even and fits the 520-byte buffer it was read into.
inline constexpr std::uint32_t REGISTRY_TEXT_BUFFER_BYTES = 520;
bool registry_text_acceptable(bool read_ok, std::uint32_t value_type, std::uint32_t size_bytes);

// A registry number (the "LatencyTimer" of an FTDI adapter's device key) is taken only when the
// read succeeded and the value is a REG_DWORD (4) of 4 bytes.
std::optional<std::uint32_t> registry_number(bool read_ok, std::uint32_t value_type,
                                             std::uint32_t size_bytes, std::uint32_t value);

// Parallel ports carry names such as LPT1: longer than 2 bytes and beginning with "LPT"
// (case-sensitive). They are left out of the list.
bool is_parallel_port_name(std::string_view name);

// The text of a device property is the part after its last ";", so that a value such as
// "@oem12.inf,%ftdi%;FTDI" gives "FTDI". A value ending in ";" gives the empty text.
std::string property_text(std::string_view decoded);

// A device's hardware-ID property is a list of IDs (REG_MULTI_SZ, type 7), most specific first,
// read into a zero-filled buffer. Its first ID stands in for the instance ID when that cannot be
// read: it names vendor and product, though no serial number. Nothing when the value is of another
// type or holds no ID.
std::optional<std::string> first_hardware_id(std::uint32_t value_type, std::u16string_view units);

// The USB identity of a port from its instance ID and the instance ID of its parent device (absent
// when it could not be read). When the port is one interface of a composite device (the instance
// ID names an interface of two hex digits), vendor, product and serial number come from the
// parent's ID. Nothing when no usable identity is found: the port is then of unknown type.
// `manufacturer` and `product` are left absent; they come from device properties.
std::optional<UsbPortInfo> usb_identity(std::string_view instance_id,
                                        const std::optional<std::string>& parent_id);

// The final list: when the registry names more ports than the device list has entries, every
// registry name that the list does not hold is appended as a port of unknown type. Otherwise the
// device list is kept unchanged.
void merge_registry_names(std::vector<PortInfo>& ports, std::set<std::string> registry_names);

}  // namespace kelp
