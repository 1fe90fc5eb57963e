// The log reader. Its properties:
//   - nothing made up: for any input, every record the reader gives is, byte for byte, what the
//     tool writes for it, found where the reader says it is (in a log whose line ends were made
//     CR LF: found there once they are LF again, its text line with or without the CRs of its own
//     CR LFs);
//   - reading what the tool wrote gives back exactly what was written: the records that the
//     tool's own writers make out of the input (payloads holding anything, fake headers and hex
//     lines included), read back with no warning, also with the line ends changed to CR LF; and
//     the same log cut short anywhere gives the records before the cut, the last one too when
//     only its empty line is missing, and nothing that was not written (unless the cut record's
//     text is longer than its bytes: see below);
//   - nothing lost: the same log with one record damaged the way a full disk or a careless hand
//     damages it (a piece of the record refused or cut short, a byte changed, its count changed)
//     gives back every other record, nothing from outside the damaged record, and a warning. A
//     damaged record whose payload or source quotes the log's own lines cannot be told from what
//     it quotes, so this is checked when the damaged record's hold none.
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
  // A CR LF log is compared once its line ends are LF again: each line before a record lost one
  // byte.
  const std::string flat = reading.crlf_line_ends ? kelp::without_crlf(content) : std::string();
  if (reading.crlf_line_ends) content = flat;
  std::size_t after_previous = 0;
  for (const LogRecord& record : reading.records) {
    const std::size_t offset = record.offset - (reading.crlf_line_ends ? record.line - 1 : 0);
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
      case LogKind::Serial: {
        // A port name never holds a line break.
        std::string port = label;
        std::erase(port, '\n');
        record.number = log.records.size() + 1;
        record.source = "serial/" + port + "@9600";
        break;
      }
      case LogKind::Probe:
        record.number = 1;
        record.source = "probe/COM3@9600-N-8-1 [text=" + label + "]";
        break;
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

bool quotes_the_log(const LogRecord& record) {
  const std::string text = kelp::decode_text(record.bytes) + "\n" + record.source;
  for (const std::string_view look_alike :
       {"--- #", "[", "RAW_", "TEXT:", "HEX:", " bytes", "-8-1 "}) {
    if (text.find(look_alike) != std::string::npos) return true;
  }
  return false;
}

// Record `k` damaged as `how` says; the rest of the log as it was.
struct Damage {
  std::string content;
  std::size_t start = 0;  // where the damaged record starts
  std::size_t end = 0;    // and ends
  bool checked = true;    // whether nothing else may be lost
};

Damage damage(const Built& log, std::size_t k, std::uint8_t how, std::uint8_t where) {
  const LogRecord& record = log.records[k];
  std::array<std::string, 4> pieces = pieces_of(log.kind, record);
  std::string& piece = pieces[where % 4];
  Damage result;
  switch (how % 4) {
    case 0:  // a piece refused (a full disk refuses the longest, the hex line, first)
      piece.clear();
      break;
    case 1:  // a piece cut short
      piece.resize(piece.size() * (where / 4) / 64);
      break;
    case 2: {  // a byte changed
      std::string whole = pieces[0] + pieces[1] + pieces[2] + pieces[3];
      char& byte = whole[where * whole.size() / 256];
      byte = byte == 'z' ? 'y' : 'z';
      pieces = {whole, "", "", ""};
      break;
    }
    default: {  // the count in its header changed
      const std::size_t count = record.bytes.size();
      const std::size_t wrong = where % 2 == 0 ? count / 2 : count * 2 + 1 + where;
      if (wrong == count) return {log.content, 0, 0, false};
      const std::string from = (log.kind == LogKind::Proxy ? "] " : " (") + std::to_string(count);
      const std::string to = (log.kind == LogKind::Proxy ? "] " : " (") + std::to_string(wrong);
      pieces[0].replace(pieces[0].rfind(from), from.size(), to);
      // Near the end of the file a record with too large a count cannot be told from the last
      // record cut short: checked where the file goes on past the longest such record.
      const std::size_t longest = pieces[0].size() + 20 + 6 * wrong;
      result.checked = log.content.size() - log.starts[k] >= longest;
      break;
    }
  }
  const std::string damaged = pieces[0] + pieces[1] + pieces[2] + pieces[3];
  result.start = log.starts[k];
  result.end = result.start + damaged.size();
  result.content = log.content.substr(0, log.starts[k]) + damaged + log.content.substr(log.ends[k]);
  result.checked = result.checked && !quotes_the_log(record);
  return result;
}

void check_nothing_lost(const Built& log, std::size_t k, const Damage& damaged) {
  const LogReading reading = kelp::read_log(damaged.content);
  check_found_where_said(damaged.content, reading);
  if (!damaged.checked) return;
  const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(damaged.end - damaged.start) -
                               static_cast<std::ptrdiff_t>(log.ends[k] - log.starts[k]);
  const auto inside_damage = [&](const LogRecord& record) {
    return record.offset >= damaged.start && record.offset < damaged.end;
  };
  bool damaged_one_read = false;
  std::size_t r = 0;
  for (std::size_t j = 0; j < log.records.size(); ++j) {
    if (j == k) continue;
    const std::size_t at =
        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(log.starts[j]) + (j > k ? shift : 0));
    for (; r < reading.records.size() && reading.records[r].offset != at; ++r) {
      KELP_CHECK(inside_damage(reading.records[r]));
      damaged_one_read = damaged_one_read || reading.records[r].offset == damaged.start;
    }
    KELP_CHECK(r < reading.records.size());
    KELP_CHECK(same_record(reading.records[r], log.records[j], log.kind != LogKind::Proxy));
    ++r;
  }
  for (; r < reading.records.size(); ++r) {
    KELP_CHECK(inside_damage(reading.records[r]));
    damaged_one_read = damaged_one_read || reading.records[r].offset == damaged.start;
  }
  // The damaged record is named, unless the damage left a record that reads whole.
  KELP_CHECK(damaged_one_read || !reading.warnings.empty());
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

void check_crlf(const Built& log) {
  for (const bool keep : {false, true}) {
    // An editor that keeps a CR LF turns a source's CR LF into LF: sources hold no CR in the
    // tool's own logs but a typed probe label.
    if (keep) {
      for (const LogRecord& record : log.records) {
        if (record.source.find('\r') != std::string::npos) return;
      }
    }
    const std::string converted = with_crlf(log.content, keep);
    const LogReading reading = kelp::read_log(converted);
    check_found_where_said(converted, reading);
    KELP_CHECK(reading.crlf_line_ends);
    KELP_CHECK(reading.warnings.empty());
    KELP_CHECK(reading.records.size() == log.records.size());
    for (std::size_t i = 0; i < log.records.size(); ++i) {
      KELP_CHECK(same_record(reading.records[i], log.records[i]));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = kelp::fuzz::as_text(data, size);
  check_found_where_said(raw, kelp::read_log(raw));
  if (size < 2) return 0;

  const Built log = build_log(data, size);
  const LogReading whole = kelp::read_log(log.content);
  check_found_where_said(log.content, whole);
  KELP_CHECK(whole.warnings.empty());
  KELP_CHECK(whole.records.size() == log.records.size());
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    KELP_CHECK(same_record(whole.records[i], log.records[i]));
  }
  if (log.records.empty()) return 0;
  KELP_CHECK(whole.kind == log.kind);
  check_crlf(log);

  // One record damaged, chosen by the input's last bytes.
  const std::size_t k = data[size - 1] % log.records.size();
  check_nothing_lost(log, k, damage(log, k, data[size - 2], size >= 3 ? data[size - 3] : 0));

  // Cut short inside the records: those that end before the cut are read, the one cut is not
  // (unless only its empty line is gone), and nothing else appears. Only a text that holds
  // U+FFFD (ill-formed bytes, which take three bytes of text each) can be longer than the bytes
  // its header announces, and then a record that starts past that length is taken to follow a
  // record that lost its hex line: then the records before the cut one come back.
  const std::size_t cut = data[1] * log.ends.back() / 255;
  if (cut == 0) return 0;
  const std::string_view shorter = std::string_view(log.content).substr(0, cut);
  const LogReading reading = kelp::read_log(shorter);
  check_found_where_said(shorter, reading);
  std::size_t complete = 0;
  while (complete < log.ends.size() && log.ends[complete] - 1 <= cut) ++complete;
  const bool longer_text =
      complete < log.records.size() &&
      kelp::decode_text(log.records[complete].bytes).find("\xef\xbf\xbd") != std::string::npos;
  KELP_CHECK(reading.records.size() >= complete);
  KELP_CHECK(longer_text || reading.records.size() == complete);
  for (std::size_t i = 0; i < complete; ++i) {
    KELP_CHECK(same_record(reading.records[i], log.records[i]));
  }
  if (complete < log.records.size() && cut > (complete == 0 ? 0 : log.ends[complete - 1])) {
    KELP_CHECK(longer_text ? !reading.warnings.empty() : reading.warnings.size() == 1);
  }
  return 0;
}
