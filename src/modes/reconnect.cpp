#include "modes/reconnect.h"

#include <cstdio>
#include <utility>

#include "modes/list.h"
#include "modes/port_lookup.h"
#include "platform/console.h"
#include "platform/interrupt.h"

namespace kelp {

namespace {

bool same_adapter(const UsbPortInfo& a, const UsbPortInfo& b) {
  return a.vid == b.vid && a.pid == b.pid && a.serial_number == b.serial_number;
}

}  // namespace

PortIdentity port_identity(std::string_view name, const std::vector<PortInfo>& ports) {
  PortIdentity identity{std::string(name), std::nullopt};
  const std::optional<PortInfo> entry = find_port_entry(ports, name);
  if (entry && entry->usb && entry->usb->serial_number && !entry->usb->serial_number->empty()) {
    identity.usb = entry->usb;
  }
  return identity;
}

std::optional<std::string> find_port_again(const PortIdentity& identity,
                                           const std::vector<PortInfo>& ports) {
  if (!identity.usb) return identity.name;
  std::optional<std::string> found;
  for (const PortInfo& port : ports) {
    if (!port.usb || !same_adapter(*port.usb, *identity.usb)) continue;
    if (port.name == identity.name) return port.name;
    if (!found) found = port.name;
  }
  return found;
}

std::string identity_text(const PortIdentity& identity) {
  if (!identity.usb) return identity.name;
  return identity.name + " (USB " + vid_pid_text(*identity.usb) + ", serial " +
         identity.usb->serial_number.value_or("") + ")";
}

std::string away_text(std::chrono::milliseconds away) {
  const long long ms = away.count() < 0 ? 0 : static_cast<long long>(away.count());
  char text[48];
  if (ms < 60'000) {
    std::snprintf(text, sizeof text, "%lld.%lld s", ms / 1000, ms % 1000 / 100);
  } else if (ms < 3'600'000) {
    std::snprintf(text, sizeof text, "%lld min %lld s", ms / 60'000, ms % 60'000 / 1000);
  } else {
    std::snprintf(text, sizeof text, "%lld h %lld min", ms / 3'600'000, ms % 3'600'000 / 60'000);
  }
  return text;
}

std::optional<ReturnedPort> wait_for_port(PortIdentity& identity, SerialSettings settings,
                                          ReconnectClock::time_point failed_at,
                                          std::string_view prefix,
                                          const std::function<void(std::string_view)>& say) {
  say(std::string(prefix) + "Waiting for " + identity_text(identity) +
      " to come back; press Ctrl+C to stop.\n");
  std::string last_refusal;
  // Even the first look waits a quarter second: a port that opens but fails at once costs at
  // most four error lines a second, not a busy loop.
  for (;;) {
    if (!sleep_unless_interrupted(ReconnectClock::now() + RECONNECT_POLL)) return std::nullopt;
    std::optional<std::string> name = identity.name;
    if (identity.usb) {
      // A failed listing is taken as "not back yet": the next look may work.
      const auto ports = enumerate_ports();
      name = ports ? find_port_again(identity, *ports) : std::nullopt;
      if (!name) continue;
    }
    settings.port = *name;
    auto opened = open_port(settings);
    if (!opened) {
      // Back but not usable yet (its node still being set up, another program grabbing it):
      // said once per reason, so a port that stays refused does not fill the console.
      if (identity.usb && opened.error().description != last_refusal) {
        last_refusal = opened.error().description;
        write_stderr(std::string(prefix) + "Warning: " + *name +
                     " is back but cannot be opened: " + last_refusal + "\n");
      }
      continue;
    }
    ReturnedPort back{
        std::move(*opened),
        *name,
        std::chrono::duration_cast<std::chrono::milliseconds>(ReconnectClock::now() - failed_at),
        {},
        {}};
    back.dtr = set_dtr(back.device, true);
    back.rts = set_rts(back.device, true);
    std::string line =
        std::string(prefix) + identity.name + " is back after " + away_text(back.away);
    if (*name != identity.name) line += ", now as " + *name;
    say(line + ".\n");
    identity.name = *name;
    return back;
  }
}

}  // namespace kelp
