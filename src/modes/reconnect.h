// Keeping a capture going when its port drops out (--reconnect): an adapter whose cable was
// knocked, a USB hub that reset, a laptop that saved power.
//
// A port is known by its identity, taken when it was first opened: a USB adapter with a serial
// number is the adapter with the same vendor, product and serial number, under whatever name it
// comes back (Linux gives a returning adapter a new number while anything still holds the old
// node open; Windows may give it another COM number); any other port is the same name again.
//
// `wait_for_port` is for the caller that has seen its port fail and has already closed every
// handle of it (a node still held open makes the system give the returning adapter a new name).
// It says on the console that it waits and how to stop, looks for the port every quarter second,
// opens it with the settings it had, raises DTR and RTS, and says how long the port was gone.
// Ctrl+C ends the wait; the caller then ends as on any Ctrl+C.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ports.h"
#include "serial/serial.h"

namespace kelp {

using ReconnectClock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds RECONNECT_POLL{250};

struct PortIdentity {
  std::string name;                // the name it was last opened under
  std::optional<UsbPortInfo> usb;  // a USB adapter with a serial number; nothing: by name
};

// The identity of the port opened as `name`, from the machine's ports at that moment.
PortIdentity port_identity(std::string_view name, const std::vector<PortInfo>& ports);

// The name to open the port under now; nothing while an adapter known by its serial number is
// not back. Of two adapters with the same identity, the one under the old name is taken.
std::optional<std::string> find_port_again(const PortIdentity& identity,
                                           const std::vector<PortInfo>& ports);

// "/dev/ttyUSB0 (USB 0403:6001, serial A50285BI)", or the name alone.
std::string identity_text(const PortIdentity& identity);

// How long a port was gone: "0.4 s", "12.0 s", "3 min 5 s", "2 h 14 min".
std::string away_text(std::chrono::milliseconds away);

struct ReturnedPort {
  SerialDevice device;
  std::string name;  // the name it came back under
  std::chrono::milliseconds away{0};
  std::expected<void, SerialError> dtr;  // how raising DTR went
  std::expected<void, SerialError> rts;
};

// Waits for the port of `identity` to come back and opens it with `settings` (their port name is
// replaced by the one found). `failed_at` is when the failure was seen; `prefix` goes in front
// of the two console lines ("[CTS6->MM] " in the proxy). Updates the identity's name. Nothing
// when Ctrl+C ended the wait.
std::optional<ReturnedPort> wait_for_port(PortIdentity& identity, SerialSettings settings,
                                          ReconnectClock::time_point failed_at,
                                          std::string_view prefix);

}  // namespace kelp
