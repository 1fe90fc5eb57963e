// The source label of a serial capture's log records, "serial/COM3@9600", and how it marks a gap.
//
// With --reconnect a capture goes on in the same log after its port failed and came back. The
// bytes before the failure and after the return did not follow each other on the wire, so the
// first record after each return says so in its label: "serial/COM3@9600 [reconnected]". The
// record keeps the layout every reader of the log knows (only the text of its source differs),
// its number follows on, and its raw file is named as any other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelp {

inline constexpr std::string_view RECONNECTED_MARK = " [reconnected]";

// "serial/" port "@" baud, the port name as a record holds it (port_for_record).
std::string serial_source(std::string_view port, std::uint32_t baud);

struct SerialSource {
  std::string_view port;
  std::uint32_t baud = 0;
  bool after_outage = false;  // the first record after the port came back
};

// The parts of a serial record's source; nothing for another source or a baud rate that is not a
// number.
std::optional<SerialSource> parse_serial_source(std::string_view source);

}  // namespace kelp
