// The log reader. Its properties:
//   - nothing made up: for any input, every record the reader gives is, byte for byte, what the
//     tool writes for it, found where the reader says it is (in a log whose line ends were made
//     CR LF: found there once they are LF again, its text line with or without the CRs of its own
//     CR LFs); and in a log the tool wrote, damaged or not, only the records the tool wrote come
//     back, never a record quoted in a payload's text;
//   - reading what the tool wrote gives back exactly what was written: the records that the
//     tool's own writers make out of the input (payloads holding anything, fake headers, hex
//     lines and whole records of the same log included), read back with no warning, also with
//     the line ends changed to CR LF; and the same log cut short anywhere (in CR LF too, between
//     a CR and its LF) gives the records before the cut, the last one too when only its empty
//     line is missing, and nothing else;
//   - nothing lost: the same log, in LF or CR LF, with one record damaged the way a full disk or
//     a careless hand damages it (a piece of the record refused or cut short, a byte changed,
//     lost or added, its count changed, a CR lost, a note added after it) gives back every other
//     record or names it in a warning (one on the line of its header), and a warning for the
//     damaged one unless it still reads whole.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/files.h"
#include "capture/log_lines.h"
#include "capture/log_reader.h"
#include "capture/log_time.h"
#include "fuzz_check.h"
#include "text/byte_text.h"
#include "text/hex.h"

namespace {

using kelp::LogKind;
using kelp::LogReading;
using kelp::LogRecord;

constexpr LogKind KINDS[] = {LogKind::Udp, LogKind::Serial, LogKind::Probe, LogKind::Proxy};

void check_found_where_said(std::string_view content, const LogReading& reading) {
  // A CR LF log is compared once its line ends are LF again.
  const kelp::FlattenedLog flat =
      reading.crlf_line_ends ? kelp::flatten_crlf(content) : kelp::FlattenedLog{};
  if (reading.crlf_line_ends) content = flat.content;
  std::size_t after_previous = 0;
  for (const LogRecord& record : reading.records) {
    // The place in the flattened content that maps to the record's place in the file.
    std::size_t offset = record.offset;
    while (reading.crlf_line_ends && flat.original_offset(offset) > record.offset) --offset;
    KELP_CHECK(!reading.crlf_line_ends || flat.original_offset(offset) == record.offset);
    const std::string written = kelp::rendered_record(reading.kind, record);
    std::string_view body = std::string_view(written).substr(0, written.size() - 1);
    const std::string lost_cr = kelp::without_crlf(body);
    if (reading.crlf_line_ends && content.substr(offset, body.size()) != body) body = lost_cr;
    KELP_CHECK(offset >= after_previous);
    KELP_CHECK(content.substr(offset, body.size()) == body);
    const std::size_t end = offset + body.size();
    KELP_CHECK(end == content.size() || content[end] == '\n');
    KELP_CHECK(kelp::parse_event_time(record.time) == record.time_of_day_ms);
    after_previous = end;
  }
}

// Frames are numbered within their direction, so a frame lost renumbers the later ones.
bool same_record(const LogRecord& a, const LogRecord& b, bool compare_numbers = true) {
  return (!compare_numbers || a.number == b.number) && a.time == b.time && a.source == b.source &&
         a.bytes == b.bytes;
}

std::string time_text(std::uint32_t ms) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

// The four pieces the tool writes a record in: header, text line, hex line, empty line.
std::array<std::string, 4> pieces_of(LogKind kind, const LogRecord& record) {
  const std::string text = kelp::decode_text(record.bytes);
  const std::string hex = kelp::hex_string(record.bytes);
  if (kind == LogKind::Proxy) {
    return {"[" + record.time + " " + record.source + "] " + std::to_string(record.bytes.size()) +
                " bytes\n",
            "  TEXT: " + text + "\n", "  HEX:  " + hex + "\n", "\n"};
  }
  const kelp::RecordLines lines =
      kelp::format_record(record.number, record.time, record.source, record.bytes);
  return {lines.header, lines.text, lines.hex, "\n"};
}

// A log of one kind built from the input by the tool's own writers.
struct Built {
  LogKind kind = LogKind::Udp;
  std::string content;
  std::vector<LogRecord> records;
  std::vector<std::size_t> starts;  // where each record starts in `content`
  std::vector<std::size_t> ends;    // where each record ends
};

Built build_log(const std::uint8_t* data, std::size_t size) {
  Built log;
  log.kind = KINDS[data[0] % 4];
  const bool probe_note = (data[0] & 4) != 0;
  // Payloads that quote a whole record of the same log, as a payload that carries a log does.
  const bool quoting = (data[0] & 8) != 0;
  std::size_t pos = 2;
  std::uint64_t frames[2] = {0, 0};
  while (pos + 2 <= size) {
    const std::size_t length = std::min<std::size_t>(data[pos], size - pos - 2);
    const std::uint8_t stamp = data[pos + 1];
    const std::vector<std::uint8_t> payload(data + pos + 2, data + pos + 2 + length);
    pos += 2 + length;

    LogRecord record;
    record.time_of_day_ms =
        (stamp * 337000u + static_cast<std::uint32_t>(length) * 7) % kelp::MS_PER_DAY;
    record.time = time_text(record.time_of_day_ms);
    record.bytes = payload;
    if (quoting && stamp % 3 != 0) {
      LogRecord quoted;
      quoted.number = log.records.size() + 2;
      quoted.time = time_text((record.time_of_day_ms + 1000) % kelp::MS_PER_DAY);
      quoted.source = log.kind == LogKind::Proxy    ? "CTS6->MM"
                      : log.kind == LogKind::Udp    ? "udp/10.0.0.1:5"
                      : log.kind == LogKind::Serial ? "serial/COM3@9600"
                                                    : "probe/COM3@9600-N-8-1 [text=a]";
      quoted.bytes = payload;
      const std::string inner = kelp::rendered_record(log.kind, quoted);
      const std::size_t split = stamp % 4 == 1 ? 0 : std::min<std::size_t>(stamp % 16, length);
      record.bytes.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(split));
      record.bytes.insert(record.bytes.end(), inner.begin(), inner.end());
      record.bytes.insert(record.bytes.end(), payload.begin() + static_cast<std::ptrdiff_t>(split),
                          payload.end());
    }
    // Sources come from the command line: any valid text, look-alikes of the log's lines and (in
    // a probe's payload label) line breaks included.
    const std::string label = kelp::decode_text(
        std::span(payload).first(std::min<std::size_t>(payload.size(), stamp % 16)));
    switch (log.kind) {
      case LogKind::Udp:
        record.number = log.records.size() + 1;
        record.source =
            "udp/192.168." + std::to_string(stamp) + ".7:" + std::to_string(40000 + stamp);
        break;
      case LogKind::Serial:
        // A port name is written escaped: it never holds a line break.
        record.number = log.records.size() + 1;
        record.source = "serial/" + kelp::escape_text(label) + "@9600";
        break;
      case LogKind::Probe: {
        // A label typed with a line that begins like a text line is not read back.
        std::string typed = label;
        for (std::size_t at; (at = typed.find("\nRAW_TEXT: ")) != std::string::npos;) {
          typed.erase(at, 1);
        }
        record.number = 1;
        record.source = "probe/COM3@9600-N-8-1 [text=" + typed + "]";
        break;
      }
      default:
        record.source = stamp % 2 == 0 ? "MM->CTS6" : "CTS6->MM";
        record.number = ++frames[stamp % 2];
        break;
    }
    log.starts.push_back(log.content.size());
    log.content += kelp::rendered_record(log.kind, record);
    log.ends.push_back(log.content.size());
    log.records.push_back(std::move(record));
  }
  if (log.kind == LogKind::Probe && probe_note) {
    log.content += "[12:00:00.000] probe=text=" +
                   (log.records.empty() ? std::string("a\nb") : log.records.back().source) +
                   " baud=9600-N-8-1 " +
                   (data[1] % 2 == 0 ? "NO_RESPONSE\n" : "ERROR: read: gone\n");
  }
  return log;
}

// LF made CR LF: every one (a mail program), or those without a CR before them (an editor).
std::string with_crlf(std::string_view text, bool keep_crlf) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && !(keep_crlf && i > 0 && text[i - 1] == '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// How a log's text is stored: as written, or with its line ends made CR LF.
enum class Ends { Lf, CrlfAll, CrlfLone };

std::string stored(std::string_view text, Ends ends) {
  return ends == Ends::Lf ? std::string(text) : with_crlf(text, ends == Ends::CrlfLone);
}

// The same log with its line ends made CR LF; each record's place moves with it.
Built converted(const Built& log, Ends ends) {
  Built out = log;
  if (ends == Ends::Lf) return out;
  out.content.clear();
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    out.starts[i] = out.content.size();
    out.content += stored(
        std::string_view(log.content).substr(log.starts[i], log.ends[i] - log.starts[i]), ends);
    out.ends[i] = out.content.size();
  }
  const std::size_t tail = log.records.empty() ? 0 : log.ends.back();
  out.content += stored(std::string_view(log.content).substr(tail), ends);
  return out;
}

// An editor that keeps a CR LF turns a source's CR LF into LF: sources hold no CR in the tool's
// own logs but a typed probe label.
bool keeps_its_sources(const Built& log, Ends ends) {
  if (ends != Ends::CrlfLone) return true;
  for (const LogRecord& record : log.records) {
    if (record.source.find('\r') != std::string::npos) return false;
  }
  return true;
}

constexpr std::string_view NOTE = "heat 3 re-swum, see the referee\n";

// Record `k` damaged as `how` says; the rest of the log as it was.
struct Damage {
  std::string content;
  std::size_t start = 0;  // where the damaged record starts
  std::size_t end = 0;    // and ends
  bool note = false;      // a note added after it: the record itself is whole
};

Damage damage(const Built& log, Ends ends, std::size_t k, std::uint8_t how, std::uint16_t where) {
  const LogRecord& record = log.records[k];
  std::array<std::string, 4> pieces = pieces_of(log.kind, record);
  for (std::string& piece : pieces) piece = stored(piece, ends);
  std::string& piece = pieces[where % 4];
  std::string whole = pieces[0] + pieces[1] + pieces[2] + pieces[3];
  const std::size_t at = where * whole.size() / 65536;
  Damage result;
  switch (how % 8) {
    case 0:  // a piece refused (a full disk refuses the longest, the hex line, first)
      piece.clear();
      whole = pieces[0] + pieces[1] + pieces[2] + pieces[3];
      break;
    case 1:  // a piece cut short
      piece.resize(piece.size() * (where / 4 % 64) / 64);
      whole = pieces[0] + pieces[1] + pieces[2] + pieces[3];
      break;
    case 2:  // a byte changed
      whole[at] = whole[at] == 'z' ? 'y' : 'z';
      break;
    case 3: {  // the count in its header changed: halved, doubled, or a digit added
      const std::size_t count = record.bytes.size();
      const std::size_t wrong = where % 3 == 0   ? count / 2
                                : where % 3 == 1 ? count * 2 + 1 + where % 256
                                                 : count * 10 + 6;
      if (wrong == count) break;
      const std::string from = (log.kind == LogKind::Proxy ? "] " : " (") + std::to_string(count);
      const std::string to = (log.kind == LogKind::Proxy ? "] " : " (") + std::to_string(wrong);
      pieces[0].replace(pieces[0].rfind(from), from.size(), to);
      whole = pieces[0] + pieces[1] + pieces[2] + pieces[3];
      break;
    }
    case 4:  // a byte lost
      whole.erase(at, 1);
      break;
    case 5:  // a byte added
      whole.insert(at, 1, 'z');
      break;
    case 6:  // a note added by hand after it, with a lone LF
      whole += NOTE;
      result.note = true;
      break;
    default: {  // a CR lost (in a log with LF line ends: a byte lost)
      const std::size_t cr = whole.find('\r', at);
      whole.erase(cr == std::string::npos ? at : cr, 1);
      break;
    }
  }
  result.start = log.starts[k];
  result.end = result.start + whole.size();
  result.content = log.content.substr(0, log.starts[k]) + whole + log.content.substr(log.ends[k]);
  return result;
}

// The damaged log gives back exactly the records written, from where they were written: every
// other one, or a warning on the line of its header; the damaged one read whole or warned about.
void check_nothing_lost(const Built& log, std::size_t k, const Damage& damaged) {
  const LogReading reading = kelp::read_log(damaged.content);
  check_found_where_said(damaged.content, reading);
  const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(damaged.end - damaged.start) -
                               static_cast<std::ptrdiff_t>(log.ends[k] - log.starts[k]);
  std::vector<std::size_t> warned;
  for (const kelp::LogWarning& warning : reading.warnings) warned.push_back(warning.line);
  bool damaged_one_read = false;
  std::size_t r = 0;
  std::size_t line = 1;
  std::size_t counted_to = 0;
  for (std::size_t j = 0; j < log.records.size(); ++j) {
    const std::size_t at =
        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(log.starts[j]) + (j > k ? shift : 0));
    // Nothing read between two records the tool wrote: never a record quoted in a text.
    KELP_CHECK(r == reading.records.size() || reading.records[r].offset >= at);
    if (j == k) {
      // The damaged record itself, if it still reads whole: its own bytes where it starts (a
      // byte of its source or time changed), or as it was written after a byte added before it.
      if (r < reading.records.size() && reading.records[r].offset < damaged.end &&
          ((reading.records[r].offset == at && reading.records[r].bytes == log.records[k].bytes) ||
           same_record(reading.records[r], log.records[k], log.kind != LogKind::Proxy))) {
        damaged_one_read = true;
        ++r;
      }
      continue;
    }
    const std::string_view between =
        std::string_view(damaged.content).substr(counted_to, at - counted_to);
    line += static_cast<std::size_t>(std::count(between.begin(), between.end(), '\n'));
    counted_to = at;
    if (r < reading.records.size() && reading.records[r].offset == at) {
      KELP_CHECK(same_record(reading.records[r], log.records[j], log.kind != LogKind::Proxy));
      ++r;
    } else {
      KELP_CHECK(std::find(warned.begin(), warned.end(), line) != warned.end());
    }
  }
  KELP_CHECK(r == reading.records.size());
  KELP_CHECK(damaged_one_read || !reading.warnings.empty());
  if (damaged.note) {
    // The note costs one warning and nothing else.
    KELP_CHECK(reading.records.size() == log.records.size());
    KELP_CHECK(reading.warnings.size() == 1);
  }
}

void check_read_back(const Built& log, Ends ends) {
  const LogReading reading = kelp::read_log(log.content);
  check_found_where_said(log.content, reading);
  // (An LF log whose payloads hold more header-like lines in CR LF than it has records may be
  // read as a CR LF one: it reads the same.)
  if (ends != Ends::Lf && !log.records.empty()) KELP_CHECK(reading.crlf_line_ends);
  KELP_CHECK(reading.warnings.empty());
  KELP_CHECK(reading.records.size() == log.records.size());
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    KELP_CHECK(same_record(reading.records[i], log.records[i]));
  }
  if (!log.records.empty()) KELP_CHECK(reading.kind == log.kind);
}

// Cut short inside the records: those that end before the cut are read, the one cut is not
// (unless only its empty line is gone; in CR LF, also when the cut falls between the CR and the
// LF of that line), and nothing else appears, not even a record its text quotes: such records
// are named in warnings of their own.
void check_cut(const Built& log, Ends ends, std::uint8_t where) {
  const std::size_t cut = where * log.ends.back() / 255;
  if (cut == 0) return;
  const std::string_view shorter = std::string_view(log.content).substr(0, cut);
  const LogReading reading = kelp::read_log(shorter);
  check_found_where_said(shorter, reading);
  const std::size_t empty_line = ends == Ends::Lf ? 1 : 2;
  std::size_t complete = 0;
  while (complete < log.ends.size() && log.ends[complete] - empty_line <= cut) ++complete;
  KELP_CHECK(reading.records.size() == complete);
  for (std::size_t i = 0; i < complete; ++i) {
    KELP_CHECK(same_record(reading.records[i], log.records[i]));
  }
  if (complete < log.records.size() && cut > (complete == 0 ? 0 : log.ends[complete - 1])) {
    std::size_t about_the_cut = 0;
    for (const kelp::LogWarning& warning : reading.warnings) {
      if (warning.what.find("whole, but skipped") == std::string::npos) ++about_the_cut;
    }
    KELP_CHECK(about_the_cut == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = kelp::fuzz::as_text(data, size);
  check_found_where_said(raw, kelp::read_log(raw));
  if (size < 2) return 0;

  const Built written = build_log(data, size);
  // The line ends as written, or changed to CR LF, chosen by the input's first byte.
  const Ends ends = static_cast<Ends>((data[0] >> 4) % 3);
  if (!keeps_its_sources(written, ends)) return 0;
  const Built log = converted(written, ends);
  check_read_back(log, ends);
  if (log.records.empty()) return 0;

  // One record damaged, chosen by the input's last bytes.
  const std::size_t k = data[size - 1] % log.records.size();
  const auto where = static_cast<std::uint16_t>((size >= 3 ? data[size - 3] : 0) << 8 |
                                                (size >= 4 ? data[size - 4] : 0));
  check_nothing_lost(log, k, damage(log, ends, k, data[size - 2], where));
  check_cut(log, ends, data[1]);
  return 0;
}
