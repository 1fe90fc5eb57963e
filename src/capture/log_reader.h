// Reading the tool's own logs back: the bytes of every record, exactly as they were received, out
// of a file that may be damaged.
//
// A log is recognised by what it holds, never by its name:
//   udp, serial, probe  records "--- #N at HH:MM:SS.mmm from SOURCE (n bytes) ---", RAW_TEXT,
//                       RAW_HEX and an empty line; the source ("udp/...", "serial/...",
//                       "probe/...") names the kind. A probe log may also hold its one
//                       "[time] probe=... NO_RESPONSE" or "... ERROR: ..." line.
//   proxy               frames "[HH:MM:SS.mmm MM->CTS6] n bytes", "  TEXT: ", "  HEX:  " and an
//                       empty line.
//   scan                lines "[time] baud=..." and "    hex: ..."; they are recognised, but a scan
//                       log holds no records.
// The kind is that of the first record or line recognised.
//
// A record's bytes come from its hex line. The text line cannot give them back (ill-formed UTF-8
// became U+FFFD) and may hold anything, line breaks and lines that look like a header or a hex
// line included. So a record counts only when the file holds exactly what the tool writes for it:
// a hex line of as many bytes as the header announces, and a text line equal to the decoded
// bytes. Such a hex line is longer than any text that n bytes decode to, so a hex line inside the
// text can never be taken for the real one.
//
// A damaged record costs itself and nothing more; it gives one warning (its line number and what
// is wrong) and is skipped:
//   - a hex line that belongs to the record but disagrees with its header or its text, or is
//     damaged: reading goes on after that hex line. A line counts as the record's own only when
//     it lies before the next record that starts after the record's text could have ended (a text
//     of n bytes is at least n bytes long, and longer only by two bytes for each U+FFFD it
//     holds), so a record that lost its hex line never takes the next record's;
//   - a record cut short (the file ends inside it, as when a kill or a full disk stopped the
//     writing): the rest of the file is taken as part of it and nothing its text holds is read
//     as a record;
//   - anything else (its text label damaged too): reading goes on where the next record starts
//     after the record's text could have ended.
// A record is only ever its own bytes: nothing that starts inside what a damaged record's text
// may be is read as a record. A whole record there (quoted in the text, or a real one after a
// header whose count was made too large) is named in a warning of its own ("record #5: whole,
// but skipped: ..."), so every whole record comes back or is named. Text that belongs to no
// record is skipped with one warning per stretch; a record that lost only its header (its text
// and hex line whole) is skipped as one piece. Nothing is ever made up: every record returned is,
// byte for byte, what the tool would write for it. No source holds a record's header (a port name
// is written escaped; a probe label typed with a line that begins "RAW_TEXT: " costs its record).
//
// A log whose line ends were changed to CR LF (mailed, or saved by a Windows editor: most of its
// header and hex lines end in CR LF) reads as the original, line by line: each CR LF is made LF,
// so a line that lost its CR, or a note added since with a lone LF, reads as in an LF log, and a
// file cut between a CR and its LF as one cut after the LF. A CR LF inside a record's text may
// have become LF too, or stayed as it was, so the text line is compared in both forms; the bytes
// still come from the hex line alone.
//
// Reading takes time in proportion to the file's size, whatever the file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelp {

enum class LogKind { Unknown, Udp, Serial, Probe, Scan, Proxy };

// "udp", "serial", "probe", "scan", "proxy"; "unknown".
std::string_view log_kind_name(LogKind kind);

struct LogRecord {
  std::size_t offset = 0;    // where its header starts, in bytes from the file's start
  std::size_t line = 0;      // where its header is, counted from 1
  std::uint64_t number = 0;  // #N of udp, serial and probe; a frame's place in its direction
  std::string time;          // "23:17:05.042", as written
  std::uint32_t time_of_day_ms = 0;
  // "udp/192.168.1.20:50123", "serial/COM3@9600", "probe/COM3@9600-N-8-1 [preset=enq]", or the
  // proxy frame's direction, "MM->CTS6" or "CTS6->MM".
  std::string source;
  std::vector<std::uint8_t> bytes;
};

struct LogWarning {
  std::size_t line = 0;
  std::string what;
};

struct LogReading {
  LogKind kind = LogKind::Unknown;
  std::vector<LogRecord> records;
  std::vector<LogWarning> warnings;
  bool crlf_line_ends = false;  // read with its CR LF line ends made LF
  bool stopped = false;         // `stop` said so before the end: the reading is incomplete
};

// `stop`, when given, is asked now and then (Ctrl+C); once it says so, reading ends early.
LogReading read_log(std::string_view content, bool (*stop)() = nullptr);

// The record as the tool writes it, for udp, serial, probe (records) and proxy (frames) logs.
std::string rendered_record(LogKind kind, const LogRecord& record);

struct UdpSender {
  std::uint32_t address = 0;  // host byte order
  std::uint16_t port = 0;
};

// The sender of a udp record's source "udp/192.168.1.20:50123".
std::optional<UdpSender> udp_sender_of(std::string_view source);

}  // namespace kelp
