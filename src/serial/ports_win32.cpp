// Port enumeration through SetupAPI, the configuration manager and the registry.
//
// Ports are the present devices of the "Ports" and "Modem" setup classes; the registry's
// SERIALCOMM map can add names that no device reports. Every buffer handed to the system is
// zero-filled and of a fixed size, and a value that does not fit is treated as missing rather
// than read again with a larger buffer.

#include <windows.h>
// windows.h must come first.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "serial/port_rules.h"
#include "serial/ports.h"

namespace kelp {

namespace {

constexpr DWORD TEXT_UNITS = 260;  // 520 bytes

std::u16string units_of(const wchar_t* text, std::size_t count) {
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    units[i] = static_cast<char16_t>(text[i]);
  }
  return units;
}

std::u16string units_of_bytes(const BYTE* bytes, std::size_t size_bytes) {
  std::u16string units(size_bytes / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return units;
}

// Destroys a device information set on every way out of a scope.
struct DeviceSet {
  HDEVINFO handle = INVALID_HANDLE_VALUE;
  explicit DeviceSet(HDEVINFO h) : handle(h) {}
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  ~DeviceSet() {
    if (handle != INVALID_HANDLE_VALUE) {
      SetupDiDestroyDeviceInfoList(handle);
    }
  }
};

// Closes a registry key on every way out of a scope.
struct RegistryKey {
  HKEY handle = nullptr;
  explicit RegistryKey(HKEY h) : handle(h) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (handle != nullptr && handle != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
      RegCloseKey(handle);
    }
  }
};

SerialError guid_lookup_error() {
  return SerialError{.kind = SerialErrorKind::Unknown,
                     .io_kind = IoErrorKind::Other,
                     .description = "Unable to determine number of Ports GUIDs"};
}

// The class GUIDs of one setup class name: room for one first, then once more with the room the
// system asked for.
std::expected<std::vector<GUID>, SerialError> class_guids(const wchar_t* class_name) {
  std::vector<GUID> guids(1);
  DWORD required = 0;
  BOOL ok = SetupDiClassGuidsFromNameW(class_name, guids.data(), static_cast<DWORD>(guids.size()),
                                       &required);
  const bool more = ok ? required > guids.size() : GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  if (!ok && !more) {
    return std::unexpected(guid_lookup_error());
  }
  if (more) {
    guids.resize(required);
    ok = SetupDiClassGuidsFromNameW(class_name, guids.data(), static_cast<DWORD>(guids.size()),
                                    &required);
    if (!ok) {
      return std::unexpected(guid_lookup_error());
    }
  }
  if (required < guids.size()) {
    guids.resize(required);
  }
  return guids;
}

struct PropertyValue {
  DWORD type = 0;
  std::u16string units;  // the whole zero-filled buffer
};

// A property of a device as the system reports it; nothing when it cannot be read.
std::optional<PropertyValue> read_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD code) {
  std::array<BYTE, REGISTRY_TEXT_BUFFER_BYTES> buffer{};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, code, &type, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), nullptr)) {
    return std::nullopt;
  }
  return PropertyValue{type, units_of_bytes(buffer.data(), buffer.size())};
}

// A text property of a device, REG_SZ only, as the part after its last ";".
std::optional<std::string> device_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD code) {
  const std::optional<PropertyValue> value = read_property(set, device, code);
  if (!value || value->type != REG_SZ) {
    return std::nullopt;
  }
  return property_text(decode_utf16(value->units));
}

// The first ID of the device's hardware-ID list.
std::optional<std::string> hardware_id(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const std::optional<PropertyValue> value = read_property(set, device, SPDRP_HARDWAREID);
  if (!value) {
    return std::nullopt;
  }
  return first_hardware_id(value->type, value->units);
}

// What the device's hardware key says about the port: its "PortName" (the empty text when there
// is none to read) and, for an FTDI adapter, its "LatencyTimer".
struct DeviceKeyValues {
  std::string name;
  std::optional<std::uint32_t> latency_timer_ms;
};

DeviceKeyValues device_key_values(HDEVINFO set, SP_DEVINFO_DATA& device) {
  DeviceKeyValues values;
  const RegistryKey key(
      SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
  if (key.handle == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) || key.handle == nullptr) {
    return values;
  }
  std::array<BYTE, REGISTRY_TEXT_BUFFER_BYTES> buffer{};
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(buffer.size());
  const LSTATUS status =
      RegQueryValueExW(key.handle, L"PortName", nullptr, &type, buffer.data(), &size);
  if (registry_text_acceptable(status == ERROR_SUCCESS, type, size)) {
    values.name = decode_utf16(units_of_bytes(buffer.data(), size));
  }
  DWORD latency = 0;
  DWORD latency_type = 0;
  DWORD latency_size = sizeof(latency);
  const LSTATUS latency_status =
      RegQueryValueExW(key.handle, L"LatencyTimer", nullptr, &latency_type,
                       reinterpret_cast<BYTE*>(&latency), &latency_size);
  values.latency_timer_ms =
      registry_number(latency_status == ERROR_SUCCESS, latency_type, latency_size, latency);
  return values;
}

std::optional<std::string> instance_id(HDEVINFO set, SP_DEVINFO_DATA& device) {
  std::array<wchar_t, 200> buffer{};
  DWORD required = 0;
  if (SetupDiGetDeviceInstanceIdW(set, &device, buffer.data(), 199, &required)) {
    const std::size_t units = required < 199 ? required : 199;
    return decode_utf16(units_of(buffer.data(), units));
  }
  return hardware_id(set, device);
}

std::optional<std::string> parent_id(DEVINST device) {
  DEVINST parent = 0;
  if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) {
    return std::nullopt;
  }
  std::array<wchar_t, TEXT_UNITS> buffer{};
  if (CM_Get_Device_IDW(parent, buffer.data(), TEXT_UNITS - 1, 0) != CR_SUCCESS) {
    return std::nullopt;
  }
  return decode_utf16(units_of(buffer.data(), buffer.size()));
}

// One member of a device set; nothing when it is not to be listed.
std::optional<PortInfo> describe_device(HDEVINFO set, SP_DEVINFO_DATA& device) {
  ULONG status = 0;
  ULONG problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_SUCCESS || problem != 0) {
    return std::nullopt;
  }
  PortInfo port;
  DeviceKeyValues key_values = device_key_values(set, device);
  port.name = std::move(key_values.name);
  if (is_parallel_port_name(port.name)) {
    return std::nullopt;
  }
  const std::optional<std::string> id = instance_id(set, device);
  if (!id) {
    return port;
  }
  std::optional<UsbPortInfo> usb = usb_identity(*id, parent_id(device.DevInst));
  if (!usb) {
    return port;
  }
  usb->manufacturer = device_property(set, device, SPDRP_MFG);
  usb->product = device_property(set, device, SPDRP_FRIENDLYNAME);
  usb->latency_timer_ms = key_values.latency_timer_ms;
  port.type = PortType::UsbPort;
  port.usb = std::move(usb);
  return port;
}

void append_class_members(const GUID& guid, std::vector<PortInfo>& ports) {
  const DeviceSet set(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT));
  if (set.handle == INVALID_HANDLE_VALUE) {
    return;
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(set.handle, index, &device)) {
      break;
    }
    if (std::optional<PortInfo> port = describe_device(set.handle, device)) {
      ports.push_back(std::move(*port));
    }
  }
}

// The port names of the registry's SERIALCOMM map; empty when it cannot be read.
std::set<std::string> registry_port_names() {
  std::set<std::string> names;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &opened) !=
      ERROR_SUCCESS) {
    return names;
  }
  const RegistryKey key(opened);
  DWORD count = 0;
  if (RegQueryInfoKeyW(key.handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0; index < count; ++index) {
    std::array<wchar_t, TEXT_UNITS> value_name{};
    DWORD name_units = TEXT_UNITS;
    std::array<BYTE, REGISTRY_TEXT_BUFFER_BYTES> data{};
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LSTATUS status = RegEnumValueW(key.handle, index, value_name.data(), &name_units, nullptr,
                                         &type, data.data(), &size);
    // A value that is no port name says nothing about the values after it.
    if (!registry_text_acceptable(status == ERROR_SUCCESS, type, size)) {
      continue;
    }
    names.insert(decode_utf16(units_of_bytes(data.data(), size)));
  }
  return names;
}

}  // namespace

std::expected<std::vector<PortInfo>, SerialError> enumerate_ports() {
  std::vector<GUID> guids;
  for (const wchar_t* class_name : {L"Ports", L"Modem"}) {
    auto found = class_guids(class_name);
    if (!found) {
      return std::unexpected(std::move(found.error()));
    }
    guids.insert(guids.end(), found->begin(), found->end());
  }

  std::vector<PortInfo> ports;
  for (const GUID& guid : guids) {
    append_class_members(guid, ports);
  }
  merge_registry_names(ports, registry_port_names());
  return ports;
}

}  // namespace kelp
