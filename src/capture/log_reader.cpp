#include "capture/log_reader.h"

#include <algorithm>
#include <limits>

#include "capture/files.h"
#include "capture/log_time.h"
#include "text/byte_text.h"
#include "text/bytes.h"
#include "text/hex.h"

namespace kelp {
namespace {

constexpr std::size_t NPOS = std::string_view::npos;

constexpr std::string_view RECORD_OPEN = "--- #";
constexpr std::string_view RECORD_AT = " at ";
constexpr std::string_view RECORD_FROM = " from ";
constexpr std::string_view RECORD_CLOSE = " bytes) ---\n";
constexpr std::string_view RAW_TEXT = "RAW_TEXT: ";
constexpr std::string_view RAW_HEX_LINE = "\nRAW_HEX: ";
constexpr std::string_view FRAME_TEXT = "  TEXT: ";
constexpr std::string_view FRAME_HEX_LINE = "\n  HEX:  ";
constexpr std::string_view FRAME_LABELS[] = {"MM->CTS6", "CTS6->MM"};
constexpr std::string_view SCAN_HEX = "    hex: ";
constexpr std::string_view PROBE_NO_RESPONSE = "-8-1 NO_RESPONSE\n";
constexpr std::string_view PROBE_ERROR = "-8-1 ERROR: ";
constexpr std::size_t TIME_LENGTH = 12;  // HH:MM:SS.mmm

// A header's source comes from the command line (a port name, a probe's payload label), which no
// system lets grow this long; the bound keeps a damaged file from being searched to its end for
// every line that opens like a header.
constexpr std::size_t MAX_HEADER_BYTES = 1 << 20;
// The source may itself hold " (5 bytes) ---" and a line break; each such place is tried.
constexpr int MAX_HEADER_ENDS = 16;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// a + b, or the largest value when that does not fit.
std::size_t saturating_add(std::size_t a, std::size_t b) {
  return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  return b != 0 && a > std::numeric_limits<std::size_t>::max() / b
             ? std::numeric_limits<std::size_t>::max()
             : a * b;
}

std::optional<std::uint64_t> parse_count(std::string_view digits) {
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

LogKind kind_of_source(std::string_view source) {
  if (source.starts_with("udp/")) return LogKind::Udp;
  if (source.starts_with("serial/")) return LogKind::Serial;
  if (source.starts_with("probe/")) return LogKind::Probe;
  return LogKind::Unknown;
}

// Finds one needle from positions that mostly move forward: a search that ends before an earlier
// find is answered from memory, so the whole file is searched about once.
class Finder {
 public:
  Finder(std::string_view content, std::string_view needle) : content_(content), needle_(needle) {}

  std::size_t next(std::size_t from) {
    if (from >= searched_from_ && from <= found_) return found_;
    searched_from_ = from;
    found_ = from >= content_.size() ? NPOS : content_.find(needle_, from);
    return found_;
  }

 private:
  std::string_view content_;
  std::string_view needle_;
  std::size_t searched_from_ = NPOS;
  std::size_t found_ = NPOS;
};

// The text and hex lines that follow a header, in one of the two layouts.
struct BodyLayout {
  std::string_view text_label;  // "RAW_TEXT: " or "  TEXT: "
  std::string_view hex_line;    // "\nRAW_HEX: " or "\n  HEX:  "
  std::string_view text_name;   // for warnings: "RAW_TEXT" or "TEXT"
  Finder* hex_finder;
};

struct Entry {
  enum Kind { Record, Note, Damaged, NotAStart } kind = NotAStart;
  std::size_t next = 0;  // where reading goes on
  std::string what;      // for Damaged
  LogRecord record;      // for Record
  LogKind log_kind = LogKind::Unknown;
  bool no_text_line = false;  // Damaged: no text line where the body should begin
};

class Reader {
 public:
  explicit Reader(std::string_view content) : content_(content) {}

  LogReading read() {
    std::size_t pos = 0;
    std::size_t skipped_from = NPOS;
    while (pos < content_.size()) {
      Entry entry = read_entry(pos);
      if (entry.kind == Entry::NotAStart) {
        if (skipped_from == NPOS) skipped_from = pos;
        pos = next_start(pos + 1);
        continue;
      }
      if (skipped_from != NPOS) {
        warn_skipped(skipped_from, pos);
        skipped_from = NPOS;
      }
      const std::size_t next = entry.next;
      take(pos, std::move(entry));
      pos = next;
    }
    if (skipped_from != NPOS) warn_skipped(skipped_from, NPOS);
    return std::move(result_);
  }

 private:
  std::string_view content_;
  LogReading result_;
  Finder record_close_{content_, RECORD_CLOSE};
  Finder raw_hex_{content_, RAW_HEX_LINE};
  Finder frame_hex_{content_, FRAME_HEX_LINE};
  Finder record_open_{content_, RECORD_OPEN};
  Finder no_response_{content_, PROBE_NO_RESPONSE};
  Finder probe_error_{content_, PROBE_ERROR};
  const BodyLayout record_body_{RAW_TEXT, RAW_HEX_LINE, "RAW_TEXT", &raw_hex_};
  const BodyLayout frame_body_{FRAME_TEXT, FRAME_HEX_LINE, "TEXT", &frame_hex_};
  std::size_t line_pos_ = 0;
  std::size_t line_ = 1;
  std::uint64_t frames_[2] = {0, 0};

  std::size_t line_breaks(std::size_t from, std::size_t to) const {
    const std::string_view part = content_.substr(from, to - from);
    return static_cast<std::size_t>(std::count(part.begin(), part.end(), '\n'));
  }

  // Positions are asked for mostly in order, so the count goes on from the last one.
  std::size_t line_at(std::size_t pos) {
    line_ = pos >= line_pos_ ? line_ + line_breaks(line_pos_, pos)
                             : line_ - line_breaks(pos, line_pos_);
    line_pos_ = pos;
    return line_;
  }

  void warn(std::size_t pos, std::string what) {
    result_.warnings.push_back(LogWarning{line_at(pos), std::move(what)});
  }

  void warn_skipped(std::size_t from, std::size_t to) {
    const std::size_t line = line_at(from);
    std::string what = "not part of any record, skipped ";
    what += to == NPOS ? "to the end" : "up to line " + std::to_string(line_at(to));
    result_.warnings.push_back(LogWarning{line, std::move(what)});
  }

  void take(std::size_t pos, Entry&& entry) {
    if (entry.log_kind != LogKind::Unknown) {
      if (result_.kind == LogKind::Unknown) {
        result_.kind = entry.log_kind;
      } else if (entry.log_kind != result_.kind) {
        warn(pos, "a " + std::string(log_kind_name(entry.log_kind)) + " entry in a " +
                      std::string(log_kind_name(result_.kind)) + " log, skipped");
        return;
      }
    }
    if (entry.kind == Entry::Damaged) {
      warn(pos, std::move(entry.what));
    } else if (entry.kind == Entry::Record) {
      if (result_.kind == LogKind::Proxy) {
        entry.record.number = ++frames_[entry.record.source == FRAME_LABELS[0] ? 0 : 1];
      }
      entry.record.offset = pos;
      entry.record.line = line_at(pos);
      result_.records.push_back(std::move(entry.record));
    }
  }

  bool has_time_at(std::size_t pos) const {
    return pos + TIME_LENGTH <= content_.size() &&
           parse_event_time(content_.substr(pos, TIME_LENGTH)).has_value();
  }

  // Where a record or a line of the tool may start, at or after `from`: "--- #", or "[" and a
  // time. Damage can leave a record's start in the middle of a line (a short write on a full
  // disk), so line starts are not required.
  std::size_t next_start(std::size_t from) {
    const std::size_t record = record_open_.next(from);
    for (std::size_t bracket = content_.find('[', from); bracket < record;
         bracket = content_.find('[', bracket + 1)) {
      if (has_time_at(bracket + 1)) return bracket;
    }
    return record == NPOS ? content_.size() : record;
  }

  bool starts_here(std::size_t pos) const {
    return content_.substr(pos).starts_with(RECORD_OPEN) ||
           (pos < content_.size() && content_[pos] == '[' && has_time_at(pos + 1));
  }

  std::size_t line_end(std::size_t pos) const {
    const std::size_t end = content_.find('\n', pos);
    return end == NPOS ? content_.size() : end + 1;
  }

  // The file ends in the first characters of a header ("--- ", "[14:0"): a record cut short.
  static bool opens_a_header(std::string_view rest) {
    static constexpr std::string_view BRACKET_TIME = "[00:00:00.000";
    if (rest.size() < RECORD_OPEN.size() && RECORD_OPEN.starts_with(rest)) return true;
    if (rest.size() > BRACKET_TIME.size()) return false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (BRACKET_TIME[i] == '0' ? !is_digit(rest[i]) : rest[i] != BRACKET_TIME[i]) return false;
    }
    return true;
  }

  Entry read_entry(std::size_t pos) {
    const std::string_view rest = content_.substr(pos);
    if (rest.front() == '\n') return Entry{Entry::Note, pos + 1, {}, {}, LogKind::Unknown};
    if (opens_a_header(rest)) {
      return damaged(content_.size(), "record cut short: the file ends inside its header",
                     LogKind::Unknown);
    }
    if (rest.starts_with(RECORD_OPEN)) return read_record(pos);
    if (rest.front() == '[' && has_time_at(pos + 1) && rest.size() > 1 + TIME_LENGTH) {
      const std::size_t after = pos + 1 + TIME_LENGTH;
      if (content_[after] == ' ') return read_frame(pos);
      const std::string_view tail = content_.substr(after);
      if (tail.starts_with("] probe=")) return read_probe_note(pos);
      if (tail.starts_with("] baud=")) {
        return Entry{Entry::Note, line_end(pos), {}, {}, LogKind::Scan};
      }
    }
    if (rest.starts_with(SCAN_HEX) && result_.kind == LogKind::Scan) {
      return Entry{Entry::Note, line_end(pos), {}, {}, LogKind::Scan};
    }
    return Entry{};
  }

  static Entry damaged(std::size_t next, std::string what, LogKind kind) {
    return Entry{Entry::Damaged, next, std::move(what), {}, kind};
  }

  // "--- #N at HH:MM:SS.mmm from SOURCE (n bytes) ---\n", RAW_TEXT, RAW_HEX, empty line.
  Entry read_record(std::size_t pos) {
    const std::size_t size = content_.size();
    const std::size_t first_line_end = line_end(pos);
    std::size_t at = pos + RECORD_OPEN.size();
    std::size_t digits_end = at;
    while (digits_end < size && is_digit(content_[digits_end])) ++digits_end;
    const auto number = parse_count(content_.substr(at, digits_end - at));
    at = digits_end;
    const std::size_t time_at = at + RECORD_AT.size();
    const std::size_t source_at = time_at + TIME_LENGTH + RECORD_FROM.size();
    if (source_at > first_line_end) {
      // A header cut short on the file's last line; anything else is not a header.
      if (first_line_end == size && content_[size - 1] != '\n') {
        return damaged(size, "record cut short: the file ends inside its header", LogKind::Unknown);
      }
      return Entry{};
    }
    const std::string_view time = content_.substr(time_at, TIME_LENGTH);
    if (!number || content_.substr(at, RECORD_AT.size()) != RECORD_AT || !parse_event_time(time) ||
        content_.substr(time_at + TIME_LENGTH, RECORD_FROM.size()) != RECORD_FROM) {
      return Entry{};
    }
    const std::string name = "record #" + std::to_string(*number);

    // The header normally ends on its own line. Only a probe's source can hold a line break (the
    // payload as it was typed; port names hold none), so only there is a later end of header
    // tried, and only as long as each earlier one was not followed by a RAW_TEXT line: once the
    // text line follows, the header ended there, and a damaged record stays damaged rather than
    // taking a record-like text inside it for its own.
    std::optional<Entry> failure;
    std::size_t close = source_at;
    for (int tries = 0; tries < MAX_HEADER_ENDS; ++tries) {
      close = record_close_.next(close);
      if (close == NPOS || close - pos > MAX_HEADER_BYTES) break;
      const std::size_t header_end = close + RECORD_CLOSE.size();
      // Back from " bytes) ---" over the count to " (".
      std::size_t count_at = close;
      while (count_at > source_at && is_digit(content_[count_at - 1])) --count_at;
      const auto count = parse_count(content_.substr(count_at, close - count_at));
      ++close;
      if (!count || count_at < source_at + 2 || content_.substr(count_at - 2, 2) != " (") continue;
      const std::string_view source = content_.substr(source_at, count_at - 2 - source_at);
      const LogKind kind = kind_of_source(source);
      if (kind == LogKind::Unknown) continue;
      if (header_end != first_line_end && kind != LogKind::Probe) break;

      LogRecord record{
          0, 0, *number, std::string(time), *parse_event_time(time), std::string(source), {}};
      Entry entry = read_body(pos, header_end, *count, record_body_, kind, std::move(record), name);
      if (entry.kind == Entry::Record && kind == LogKind::Udp &&
          !udp_sender_of(entry.record.source)) {
        entry = damaged(entry.next, name + ": the sender is not an IPv4 address and port", kind);
      }
      if (entry.kind == Entry::Record || !entry.no_text_line) return entry;
      if (!failure) failure = std::move(entry);
    }
    if (failure) return std::move(*failure);
    // The file ends inside the header: on its first line, or (a probe's source may run over
    // several lines) with no end of header anywhere after it.
    const LogKind kind = kind_of_source(content_.substr(source_at));
    if ((first_line_end == size && content_[size - 1] != '\n') ||
        (close == NPOS && kind == LogKind::Probe)) {
      return damaged(size, name + " cut short: the file ends inside its header", kind);
    }
    return Entry{};
  }

  // "[HH:MM:SS.mmm MM->CTS6] n bytes\n", "  TEXT: ", "  HEX:  ", empty line.
  Entry read_frame(std::size_t pos) {
    const std::size_t label_at = pos + 2 + TIME_LENGTH;
    for (std::size_t direction = 0; direction < 2; ++direction) {
      const std::string_view label = FRAME_LABELS[direction];
      if (content_.substr(label_at, label.size() + 2) != std::string(label) + "] ") continue;
      const std::size_t count_at = label_at + label.size() + 2;
      std::size_t count_end = count_at;
      while (count_end < content_.size() && is_digit(content_[count_end])) ++count_end;
      const auto count = parse_count(content_.substr(count_at, count_end - count_at));
      const std::string name = std::string(label) + " frame";
      if (count_end == content_.size() ||
          (count && std::string_view(" bytes\n").starts_with(content_.substr(count_end)))) {
        return damaged(content_.size(), name + " cut short: the file ends inside its header",
                       LogKind::Proxy);
      }
      if (!count || content_.substr(count_end, 7) != " bytes\n") return Entry{};
      const std::string_view time = content_.substr(pos + 1, TIME_LENGTH);
      LogRecord record{0, 0, 0, std::string(time), *parse_event_time(time), std::string(label), {}};
      return read_body(pos, count_end + 7, *count, frame_body_, LogKind::Proxy, std::move(record),
                       name);
    }
    return Entry{};
  }

  // The text line, the hex line and the empty line after a header. The record counts only when
  // the file holds exactly what the tool writes for it.
  Entry read_body(std::size_t pos, std::size_t body, std::uint64_t count, const BodyLayout& layout,
                  LogKind kind, LogRecord record, const std::string& name) {
    const std::size_t size = content_.size();
    const std::string_view text_label = layout.text_label;
    if (content_.substr(body, text_label.size()) != text_label) {
      if (text_label.starts_with(content_.substr(body))) {
        return damaged(size, name + " cut short: the file ends after its header", kind);
      }
      Entry entry =
          damaged(next_start(body),
                  name + ": no " + std::string(layout.text_name) + " line after its header", kind);
      entry.no_text_line = true;
      return entry;
    }
    const std::size_t text = body + text_label.size();
    const std::size_t n = count > size ? size : static_cast<std::size_t>(count);
    // n bytes decode to at least n and at most 3n bytes of text; their hex takes 3n - 1.
    const std::size_t hex_length = n == 0 ? 0 : 3 * n - 1;
    const std::size_t first = saturating_add(text, n);
    const std::size_t last = saturating_add(text, saturating_mul(n, 3));
    const std::size_t extent_end =
        saturating_add(saturating_add(last, layout.hex_line.size()), hex_length + 1);

    std::size_t damaged_hex_end = NPOS;
    if (count <= size) {
      for (std::size_t line = layout.hex_finder->next(first); line != NPOS && line <= last;
           line = layout.hex_finder->next(line + 1)) {
        const std::size_t hex = line + layout.hex_line.size();
        const std::size_t hex_end = hex + hex_length;
        if (hex_end >= size || content_[hex_end] != '\n') continue;
        auto bytes = bytes_from_hex_string(content_.substr(hex, hex_length));
        if (!bytes) {
          damaged_hex_end = hex_end + 1;
          continue;
        }
        std::size_t next = hex_end + 1;
        if (next < size && content_[next] == '\n') ++next;
        record.bytes = std::move(*bytes);
        // Byte for byte what the tool writes, the empty line after it being allowed to be
        // missing at the very end (a record cut short just there lost nothing).
        const std::string written = rendered_record(kind, record);
        const std::string_view found = content_.substr(pos, written.size() - 1);
        if (found == std::string_view(written).substr(0, written.size() - 1) &&
            (pos + written.size() - 1 == size || content_[pos + written.size() - 1] == '\n')) {
          return Entry{Entry::Record, next, {}, std::move(record), kind};
        }
        return damaged(next, name + ": its text line does not match its hex line", kind);
      }
    }
    if (damaged_hex_end != NPOS) {
      std::size_t next = damaged_hex_end;
      if (next < size && content_[next] == '\n') ++next;
      return damaged(next, name + ": its hex line is damaged", kind);
    }
    if (size < extent_end) {
      return damaged(size,
                     name + " cut short: the file ends before its " + std::to_string(count) +
                         " bytes are complete",
                     kind);
    }
    return damaged(
        next_start(text),
        name + ": no hex line of the " + std::to_string(count) + " bytes its header announces",
        kind);
  }

  // "[HH:MM:SS.mmm] probe=LABEL baud=B-P-8-1 NO_RESPONSE\n" or "... ERROR: what\n". The label is
  // the payload as typed and may hold line breaks; the line ends where the file ends or the next
  // record starts after one of these two endings.
  Entry read_probe_note(std::size_t pos) {
    const std::size_t limit = saturating_add(pos, MAX_HEADER_BYTES);
    std::size_t fallback = NPOS;
    std::size_t from = pos;
    for (int tries = 0; tries < MAX_HEADER_ENDS; ++tries) {
      const std::size_t quiet = no_response_.next(from);
      const std::size_t error = probe_error_.next(from);
      const std::size_t at = std::min(quiet, error);
      if (at == NPOS || at > limit) break;
      const std::size_t end = at == quiet ? at + PROBE_NO_RESPONSE.size() : line_end(at);
      if (fallback == NPOS) fallback = end;
      if (end == content_.size() || starts_here(end)) {
        return Entry{Entry::Note, end, {}, {}, LogKind::Probe};
      }
      from = at + 1;
    }
    if (fallback != NPOS) return Entry{Entry::Note, fallback, {}, {}, LogKind::Probe};
    return Entry{};
  }
};

}  // namespace

std::string_view log_kind_name(LogKind kind) {
  switch (kind) {
    case LogKind::Udp:
      return "udp";
    case LogKind::Serial:
      return "serial";
    case LogKind::Probe:
      return "probe";
    case LogKind::Scan:
      return "scan";
    case LogKind::Proxy:
      return "proxy";
    case LogKind::Unknown:
      break;
  }
  return "unknown";
}

LogReading read_log(std::string_view content) { return Reader(content).read(); }

std::string rendered_record(LogKind kind, const LogRecord& record) {
  if (kind == LogKind::Proxy) {
    return format_frame_record(record.time, record.source, record.bytes.size(),
                               decode_text(record.bytes), hex_string(record.bytes));
  }
  return record_text(format_record(record.number, record.time, record.source, record.bytes));
}

std::optional<UdpSender> udp_sender_of(std::string_view source) {
  if (!source.starts_with("udp/")) return std::nullopt;
  source.remove_prefix(4);
  const std::size_t colon = source.rfind(':');
  if (colon == NPOS) return std::nullopt;
  // Only the tool's own writing counts: decimal numbers without leading zeros.
  const auto number = [](std::string_view digits, std::size_t longest,
                         std::uint64_t largest) -> std::optional<std::uint32_t> {
    if (digits.empty() || digits.size() > longest || (digits.size() > 1 && digits[0] == '0')) {
      return std::nullopt;
    }
    const auto value = parse_count(digits);
    if (!value || *value > largest) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
  };
  const auto port = number(source.substr(colon + 1), 5, 0xFFFF);
  if (!port) return std::nullopt;
  std::uint32_t address = 0;
  std::string_view rest = source.substr(0, colon);
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? rest.find('.') : rest.size();
    if (dot == NPOS) return std::nullopt;
    const auto value = number(rest.substr(0, dot), 3, 255);
    if (!value) return std::nullopt;
    address = (address << 8) | *value;
    rest.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return UdpSender{address, static_cast<std::uint16_t>(*port)};
}

}  // namespace kelp
