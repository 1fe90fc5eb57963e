// The log reader. Two properties:
//   - reading what the tool wrote gives back exactly what was written: the records that the
//     tool's own writers make out of the input (payloads holding anything, fake headers and hex
//     lines included), read back with no warning; and the same log cut short anywhere gives the
//     records before the cut, the last one too when only its empty line is missing, and nothing
//     that was not written;
//   - for any input, every record the reader gives is, byte for byte, what the tool writes for
//     it, found where the reader says it is: the reader makes nothing up.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/files.h"
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
  std::size_t after_previous = 0;
  for (const LogRecord& record : reading.records) {
    const std::string written = kelp::rendered_record(reading.kind, record);
    const std::string_view body = std::string_view(written).substr(0, written.size() - 1);
    KELP_CHECK(record.offset >= after_previous);
    KELP_CHECK(content.substr(record.offset, body.size()) == body);
    const std::size_t end = record.offset + body.size();
    KELP_CHECK(end == content.size() || content[end] == '\n');
    KELP_CHECK(kelp::parse_event_time(record.time) == record.time_of_day_ms);
    after_previous = end;
  }
}

bool same_record(const LogRecord& a, const LogRecord& b) {
  return a.number == b.number && a.time == b.time && a.source == b.source && a.bytes == b.bytes;
}

std::string time_text(std::uint32_t ms) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

// A log of one kind built from the input by the tool's own writers.
struct Built {
  LogKind kind = LogKind::Udp;
  std::string content;
  std::vector<LogRecord> records;
  std::vector<std::size_t> ends;  // where each record ends in `content`
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
  if (!log.records.empty()) KELP_CHECK(whole.kind == log.kind);

  // Cut short inside the records: those that end before the cut are read, the one cut is not
  // (unless only its empty line is gone), and nothing else appears.
  if (log.records.empty()) return 0;
  const std::size_t cut = data[1] * log.ends.back() / 255;
  if (cut == 0) return 0;
  const std::string_view shorter = std::string_view(log.content).substr(0, cut);
  const LogReading reading = kelp::read_log(shorter);
  check_found_where_said(shorter, reading);
  std::size_t complete = 0;
  while (complete < log.ends.size() && log.ends[complete] - 1 <= cut) ++complete;
  KELP_CHECK(reading.records.size() == complete);
  for (std::size_t i = 0; i < complete; ++i) {
    KELP_CHECK(same_record(reading.records[i], log.records[i]));
  }
  if (complete < log.records.size() && cut > (complete == 0 ? 0 : log.ends[complete - 1])) {
    KELP_CHECK(reading.warnings.size() == 1);
  }
  return 0;
}
