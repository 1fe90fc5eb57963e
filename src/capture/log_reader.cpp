#include "capture/log_reader.h"

#include <algorithm>
#include <limits>

#include "capture/files.h"
#include "capture/log_lines.h"
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
constexpr std::string_view FRAME_CLOSE = " bytes\n";
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

std::optional<std::uint64_t> parse_count(std::string_view digits) {
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// A number as the tool writes it: no leading zero.
bool is_canonical(std::string_view digits) { return digits.size() == 1 || digits[0] != '0'; }

// "--- #N at HH:MM:SS.mmm from " somewhere in the text.
bool holds_a_header(std::string_view text) {
  for (std::size_t at = text.find(RECORD_OPEN); at != NPOS; at = text.find(RECORD_OPEN, at + 1)) {
    std::size_t end = at + RECORD_OPEN.size();
    while (end < text.size() && is_digit(text[end])) ++end;
    if (end > at + RECORD_OPEN.size() && text.substr(end, RECORD_AT.size()) == RECORD_AT &&
        parse_event_time(text.substr(end + RECORD_AT.size(), TIME_LENGTH)) &&
        text.substr(end + RECORD_AT.size() + TIME_LENGTH, RECORD_FROM.size()) == RECORD_FROM) {
      return true;
    }
  }
  return false;
}

LogKind kind_of_source(std::string_view source) {
  if (source.starts_with("udp/")) return LogKind::Udp;
  if (source.starts_with("serial/")) return LogKind::Serial;
  if (source.starts_with("probe/")) return LogKind::Probe;
  return LogKind::Unknown;
}

// Finds the next line break from positions that mostly move forward: a search that ends before an
// earlier find is answered from memory, so the file is searched about once.
class LineEnds {
 public:
  explicit LineEnds(std::string_view content) : content_(content) {}

  // Just after the line break that ends the line at `pos`, or the end of the file.
  std::size_t after(std::size_t pos) {
    if (!(pos >= searched_from_ && pos <= found_)) {
      searched_from_ = pos;
      found_ = pos >= content_.size() ? NPOS : content_.find('\n', pos);
    }
    return found_ == NPOS ? content_.size() : found_ + 1;
  }

 private:
  std::string_view content_;
  std::size_t searched_from_ = NPOS;
  std::size_t found_ = NPOS;
};

// The text and hex lines that follow a header, in one of the two layouts.
struct BodyLayout {
  std::string_view text_label;  // "RAW_TEXT: " or "  TEXT: "
  std::string_view text_name;   // for warnings: "RAW_TEXT" or "TEXT"
  std::string_view hex_label;   // "\nRAW_HEX: " or "\n  HEX:  "
  int index;                    // of its hex lines and text labels in the reader
};

constexpr BodyLayout RECORD_BODY{RAW_TEXT, "RAW_TEXT", RAW_HEX_LINE, 0};
constexpr BodyLayout FRAME_BODY{FRAME_TEXT, "TEXT", FRAME_HEX_LINE, 1};

// A header as the file holds it; nothing is copied until the record is taken.
struct Header {
  std::size_t pos = 0;
  std::size_t body = 0;  // just after its line break
  std::uint64_t number = 0;
  std::uint64_t count = 0;
  std::string_view time;
  std::string_view source;  // a proxy frame's direction
  LogKind kind = LogKind::Unknown;
  bool canonical = true;  // its numbers are written as the tool writes them
};

// Reading an entry in full, or only far enough to tell whether something whole of the tool's
// starts there (a record whose hex line agrees, or a line of a probe or scan log).
enum class Pass { Full, Classify };

struct Entry {
  enum Kind { Record, Note, Damaged, NotAStart } kind = NotAStart;
  std::size_t next = 0;  // where reading goes on
  std::string what;      // for Damaged
  LogRecord record;      // for Record
  LogKind log_kind = LogKind::Unknown;
  bool no_text_line = false;  // Damaged: no text line where the body should begin
  // `next` is where the tool's writing goes on; false when it is a guess inside text that may be
  // a damaged record's.
  bool next_is_sure = true;
};

class Reader {
 public:
  Reader(std::string_view content, bool crlf, bool (*stop)())
      : content_(content), crlf_(crlf), poll_(stop), line_ends_(content) {}

  LogReading read() {
    std::size_t pos = 0;
    std::size_t skipped_from = NPOS;
    bool sure = true;
    while (pos < content_.size()) {
      if (poll_.now()) break;
      Entry entry = read_entry(pos, Pass::Full, sure);
      if (entry.kind == Entry::NotAStart && sure) {
        if (auto whole = body_without_header(pos)) entry = std::move(*whole);
      }
      if (entry.kind == Entry::NotAStart) {
        if (skipped_from == NPOS) skipped_from = pos;
        pos = next_start(pos + 1);
        sure = false;
        continue;
      }
      if (skipped_from != NPOS) {
        warn_skipped(skipped_from, pos);
        skipped_from = NPOS;
      }
      // Only something whole tells again where the tool's writing goes on; a damaged record in
      // text that may be another's leaves that unsure, and an empty line changes nothing.
      if (entry.kind == Entry::Damaged) {
        sure = sure && entry.next_is_sure;
      } else if (entry.kind == Entry::Record || entry.log_kind != LogKind::Unknown) {
        sure = true;
      }
      std::size_t next = entry.next;
      const bool damaged_entry = entry.kind == Entry::Damaged;
      take(pos, std::move(entry));
      if (damaged_entry) next = pass_over(pos, next);
      pos = next;
    }
    if (skipped_from != NPOS && !poll_.stopped()) warn_skipped(skipped_from, NPOS);
    result_.stopped = poll_.stopped();
    return std::move(result_);
  }

 private:
  static constexpr std::size_t UNKNOWN = NPOS;

  std::string_view content_;
  bool crlf_;
  StopPoll poll_;
  LogReading result_;
  LineEnds line_ends_;
  // The indexes, each made the first time it is needed: reading a log without damage needs only
  // its hex lines.
  std::optional<Occurrences> record_open_;
  std::optional<Occurrences> record_close_;
  std::optional<Occurrences> no_response_;
  std::optional<Occurrences> probe_error_;
  std::optional<Occurrences> text_labels_[2];
  std::optional<HexLines> hex_lines_[2];
  std::optional<TextLengths> text_lengths_;
  // Every place where a record or a line of the tool may start ("--- #", or "[" and a time), and
  // for each, once asked, the first of them at or after it where something whole starts.
  std::optional<std::vector<std::size_t>> starts_;
  std::vector<std::size_t> real_from_;
  std::size_t line_pos_ = 0;
  std::size_t line_ = 1;
  std::uint64_t frames_[2] = {0, 0};

  const Occurrences& occurrences(std::optional<Occurrences>& index, std::string_view needle) {
    if (!index) index.emplace(content_, needle, poll_);
    return *index;
  }
  const Occurrences& record_close() { return occurrences(record_close_, RECORD_CLOSE); }
  const Occurrences& text_labels(const BodyLayout& layout) {
    return occurrences(text_labels_[layout.index], layout.text_label);
  }
  const HexLines& hex_lines(const BodyLayout& layout) {
    auto& index = hex_lines_[layout.index];
    if (!index) index.emplace(content_, layout.hex_label, crlf_, poll_);
    return *index;
  }

  const TextLengths& text_lengths() {
    if (!text_lengths_) text_lengths_.emplace(content_, crlf_, poll_);
    return *text_lengths_;
  }

  const std::vector<std::size_t>& starts() {
    if (starts_) return *starts_;
    std::vector<std::size_t>& starts = starts_.emplace();
    for (std::size_t at = content_.find('['); at != NPOS; at = content_.find('[', at + 1)) {
      if (poll_.now()) break;
      if (has_time_at(at + 1)) starts.push_back(at);
    }
    const Occurrences& opens = occurrences(record_open_, RECORD_OPEN);
    for (std::size_t at = opens.next(0); at != NPOS; at = opens.next(at + 1)) starts.push_back(at);
    std::sort(starts.begin(), starts.end());
    real_from_.assign(starts.size(), UNKNOWN);
    return starts;
  }

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

  // "record #5", "CTS6->MM frame": what starts at `pos`, a record or frame known to be whole.
  std::string name_at(std::size_t pos) const {
    if (content_.substr(pos).starts_with(RECORD_OPEN)) {
      std::size_t end = pos + RECORD_OPEN.size();
      while (end < content_.size() && is_digit(content_[end])) ++end;
      return "record #" +
             std::string(content_.substr(pos + RECORD_OPEN.size(), end - pos - RECORD_OPEN.size()));
    }
    const std::string_view label = content_.substr(pos + 2 + TIME_LENGTH);
    return std::string(label.starts_with(FRAME_LABELS[0]) ? FRAME_LABELS[0] : FRAME_LABELS[1]) +
           " frame";
  }

  // A damaged record skipped from `from` up to `to` may have held whole records in its text, or
  // may be a record whose header is wrong, with real records after it: the reader cannot tell,
  // so it reads none of them and names each. Where one of them runs on past `to`, what starts
  // inside it may be its text too: those are named as well, and reading goes on after the last.
  std::size_t pass_over(std::size_t from, std::size_t to) {
    std::size_t resume = to;
    for (std::size_t at = next_real_start(from + 1); at != NPOS && at < resume;
         at = next_real_start(at + 1)) {
      const Entry whole = read_entry(at, Pass::Classify, true);
      if (whole.kind != Entry::Record) continue;
      const std::size_t damaged_line = line_at(from);
      warn(at, name_at(at) + ": whole, but skipped: it may be part of the text of the damaged " +
                   "record on line " + std::to_string(damaged_line));
      resume = std::max(resume, whole.next);
    }
    return resume;
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

  // Where a record or a line of the tool may start, at or after `from`. Damage can leave a
  // record's start in the middle of a line (a short write on a full disk), so line starts are not
  // required.
  std::size_t next_start(std::size_t from) {
    const std::vector<std::size_t>& all = starts();
    const auto found = std::lower_bound(all.begin(), all.end(), from);
    return found == all.end() ? content_.size() : *found;
  }

  bool starts_here(std::size_t pos) const {
    return content_.substr(pos).starts_with(RECORD_OPEN) ||
           (pos < content_.size() && content_[pos] == '[' && has_time_at(pos + 1));
  }

  // Whether a whole record or a line of the tool starts at `pos`.
  bool is_real(std::size_t pos) {
    const Entry entry = read_entry(pos, Pass::Classify, true);
    return entry.kind == Entry::Record ||
           (entry.kind == Entry::Note && entry.log_kind != LogKind::Unknown);
  }

  // The first place at or after `from` where a whole record or a line of the tool starts; npos
  // when there is none. Each place is looked at once, however often this is asked.
  std::size_t next_real_start(std::size_t from) {
    const std::vector<std::size_t>& all = starts();
    const std::size_t first =
        static_cast<std::size_t>(std::lower_bound(all.begin(), all.end(), from) - all.begin());
    std::size_t j = first;
    while (j < all.size() && real_from_[j] == UNKNOWN) {
      if (poll_.now()) break;
      if (is_real(all[j])) {
        real_from_[j] = j;
        break;
      }
      ++j;
    }
    const std::size_t answer = j < all.size() && !poll_.stopped() ? real_from_[j] : all.size();
    for (std::size_t k = first; k < j; ++k) real_from_[k] = answer;
    return answer < all.size() ? all[answer] : NPOS;
  }

  // Just after a record's hex line and the empty line that follows it.
  std::size_t after_line(const HexLine& line) const {
    std::size_t next = line.end + 1;
    if (next < content_.size() && content_[next] == '\n') ++next;
    return next;
  }

  // At a place where the tool's writing should go on but no entry starts: a record whose header
  // was lost or damaged while its text and hex line are whole (a full disk refused, or cut short,
  // the header's write) is one piece, so that nothing in its text is read as a record.
  std::optional<Entry> body_without_header(std::size_t pos) {
    const std::size_t real = next_real_start(pos + 1);
    std::optional<Entry> found;
    std::size_t found_at = NPOS;
    // The damaged header may itself hold a text label (a source can hold anything): each label
    // up to the next whole record is tried.
    for (const BodyLayout* layout : {&RECORD_BODY, &FRAME_BODY}) {
      const Occurrences& labels = text_labels(*layout);
      for (std::size_t label = labels.next(pos);
           label != NPOS && label < found_at && (real == NPOS || label < real);
           label = labels.next(label + 1)) {
        if (poll_.now()) break;
        const auto lines = hex_lines(*layout).decoding_to(label + layout->text_label.size());
        if (lines.empty()) continue;
        found = damaged(after_line(*lines.back()), "a record whose header cannot be read, skipped",
                        LogKind::Unknown);
        found_at = label;
      }
    }
    return found;
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

  Entry read_entry(std::size_t pos, Pass pass, bool sure) {
    const std::string_view rest = content_.substr(pos);
    if (rest.front() == '\n') return Entry{Entry::Note, pos + 1, {}, {}, LogKind::Unknown};
    if (opens_a_header(rest)) {
      return damaged(content_.size(), "record cut short: the file ends inside its header",
                     LogKind::Unknown);
    }
    if (rest.starts_with(RECORD_OPEN)) return read_record(pos, pass, sure);
    if (rest.front() == '[' && has_time_at(pos + 1) && rest.size() > 1 + TIME_LENGTH) {
      const std::size_t after = pos + 1 + TIME_LENGTH;
      if (content_[after] == ' ') return read_frame(pos, pass, sure);
      const std::string_view tail = content_.substr(after);
      if (tail.starts_with("] probe=")) return read_probe_note(pos, pass);
      if (tail.starts_with("] baud=")) {
        return Entry{Entry::Note, line_ends_.after(pos), {}, {}, LogKind::Scan};
      }
    }
    if (rest.starts_with(SCAN_HEX) && result_.kind == LogKind::Scan) {
      return Entry{Entry::Note, line_ends_.after(pos), {}, {}, LogKind::Scan};
    }
    return Entry{};
  }

  static Entry damaged(std::size_t next, std::string what, LogKind kind) {
    return Entry{Entry::Damaged, next, std::move(what), {}, kind};
  }

  // "--- #N at HH:MM:SS.mmm from SOURCE (n bytes) ---\n", RAW_TEXT, RAW_HEX, empty line.
  Entry read_record(std::size_t pos, Pass pass, bool sure) {
    const std::size_t size = content_.size();
    const std::size_t first_line_end = line_ends_.after(pos);
    std::size_t at = pos + RECORD_OPEN.size();
    std::size_t digits_end = at;
    while (digits_end < size && is_digit(content_[digits_end])) ++digits_end;
    const std::string_view number_digits = content_.substr(at, digits_end - at);
    const auto number = parse_count(number_digits);
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

    // The header normally ends on its own line. Only a probe's source can hold a line break (the
    // payload as it was typed; port names hold none), so only there is a later end of header
    // tried, and only as long as each earlier one was not followed by a RAW_TEXT line: once the
    // text line follows, the header ended there, and a damaged record stays damaged rather than
    // taking a record-like text inside it for its own. Nor does a header run over a record that
    // starts after it: that is a header cut short, followed by the next record.
    std::optional<Entry> failure;
    const bool ends_first_line =
        first_line_end >= source_at + RECORD_CLOSE.size() &&
        content_.substr(first_line_end - RECORD_CLOSE.size(), RECORD_CLOSE.size()) == RECORD_CLOSE;
    std::size_t close =
        ends_first_line ? first_line_end - RECORD_CLOSE.size() : record_close().next(source_at);
    for (int tries = 0; tries < MAX_HEADER_ENDS; ++tries, close = record_close().next(close + 1)) {
      if (close == NPOS || close - pos > MAX_HEADER_BYTES) break;
      const std::size_t header_end = close + RECORD_CLOSE.size();
      // Back from " bytes) ---" over the count to " (".
      std::size_t count_at = close;
      while (count_at > source_at && is_digit(content_[count_at - 1])) --count_at;
      const std::string_view count_digits = content_.substr(count_at, close - count_at);
      const auto count = parse_count(count_digits);
      if (!count || count_at < source_at + 2 || content_.substr(count_at - 2, 2) != " (") continue;
      const std::string_view source = content_.substr(source_at, count_at - 2 - source_at);
      const LogKind kind = kind_of_source(source);
      if (kind == LogKind::Unknown) continue;
      // No source holds a record's header (a port name, a typed label): such a "source" is a
      // header cut short or that lost its line break, run on into a header its text quotes.
      if (holds_a_header(source)) continue;
      if (header_end != first_line_end) {
        if (kind != LogKind::Probe) break;
        // One that runs over a line beginning like a text line is a damaged header run on into
        // its own text (a label typed with such a line costs its record); a probe's source ends
        // with its label in brackets.
        if (source.find("\n" + std::string(RAW_TEXT)) != std::string_view::npos) break;
        if (!source.ends_with(']')) continue;
        if (pass == Pass::Full) {
          const std::size_t real = next_real_start(pos + 1);
          if (real != NPOS && real < header_end) break;
        }
      }
      const Header header{
          pos,  header_end, *number, *count,
          time, source,     kind,    is_canonical(number_digits) && is_canonical(count_digits)};
      Entry entry = read_body(header, RECORD_BODY, pass, sure);
      if (entry.kind == Entry::Record || !entry.no_text_line) return entry;
      if (!failure) failure = std::move(entry);
    }
    if (failure) return std::move(*failure);
    // The file ends inside the header: on its first line, or (a probe's source may run over
    // several lines) with no end of header anywhere after it.
    const LogKind kind = kind_of_source(content_.substr(source_at));
    if ((first_line_end == size && content_[size - 1] != '\n') ||
        (close == NPOS && kind == LogKind::Probe)) {
      return damaged(
          size,
          "record #" + std::to_string(*number) + " cut short: the file ends inside its header",
          kind);
    }
    return Entry{};
  }

  // "[HH:MM:SS.mmm MM->CTS6] n bytes\n", "  TEXT: ", "  HEX:  ", empty line.
  Entry read_frame(std::size_t pos, Pass pass, bool sure) {
    const std::size_t label_at = pos + 2 + TIME_LENGTH;
    for (const std::string_view label : FRAME_LABELS) {
      if (content_.substr(label_at, label.size()) != label ||
          content_.substr(label_at + label.size(), 2) != "] ") {
        continue;
      }
      const std::size_t count_at = label_at + label.size() + 2;
      std::size_t count_end = count_at;
      while (count_end < content_.size() && is_digit(content_[count_end])) ++count_end;
      const std::string_view count_digits = content_.substr(count_at, count_end - count_at);
      const auto count = parse_count(count_digits);
      if (count_end == content_.size() ||
          (count && FRAME_CLOSE.starts_with(content_.substr(count_end)))) {
        return damaged(content_.size(),
                       std::string(label) + " frame cut short: the file ends inside its header",
                       LogKind::Proxy);
      }
      if (!count || content_.substr(count_end, FRAME_CLOSE.size()) != FRAME_CLOSE) return Entry{};
      const Header header{pos,
                          count_end + FRAME_CLOSE.size(),
                          0,
                          *count,
                          content_.substr(pos + 1, TIME_LENGTH),
                          label,
                          LogKind::Proxy,
                          is_canonical(count_digits)};
      return read_body(header, FRAME_BODY, pass, sure);
    }
    return Entry{};
  }

  static std::string name_of(const Header& header) {
    if (header.kind == LogKind::Proxy) return std::string(header.source) + " frame";
    return "record #" + std::to_string(header.number);
  }

  Entry take_record(const Header& header, const HexLine& line, std::size_t next,
                    const BodyLayout& layout) {
    LogRecord record{0,
                     0,
                     header.number,
                     std::string(header.time),
                     *parse_event_time(header.time),
                     std::string(header.source),
                     hex_lines(layout).bytes_of(line)};
    return Entry{Entry::Record, next, {}, std::move(record), header.kind};
  }

  // The text line, the hex line and the empty line after a header. The record counts only when
  // the file holds exactly what the tool writes for it; when it does not, the record costs no
  // more than itself.
  Entry read_body(const Header& header, const BodyLayout& layout, Pass pass, bool sure) {
    const std::size_t size = content_.size();
    const LogKind kind = header.kind;
    const std::string_view label = layout.text_label;
    if (content_.substr(header.body, label.size()) != label) {
      if (pass == Pass::Classify) {
        Entry entry = damaged(size, {}, kind);
        entry.no_text_line = true;
        return entry;
      }
      const std::string name = name_of(header);
      if (label.starts_with(content_.substr(header.body))) {
        return damaged(size, name + " cut short: the file ends after its header", kind);
      }
      // A damaged label (a byte of it changed, lost or added) before a whole text and hex line.
      for (const std::size_t text : {header.body + label.size(), header.body + label.size() - 1,
                                     header.body + label.size() + 1}) {
        const auto lines = hex_lines(layout).decoding_to(text);
        if (!lines.empty()) {
          return damaged(after_line(*lines.back()),
                         name + ": its " + std::string(layout.text_name) + " line is damaged",
                         kind);
        }
      }
      const std::string no_text =
          name + ": no " + std::string(layout.text_name) + " line after its header";
      if (!sure) {
        Entry entry = damaged(next_start(header.body), no_text, kind);
        entry.no_text_line = true;
        entry.next_is_sure = false;
        return entry;
      }
      // Its text may still follow, after a label too damaged to find: nothing that starts before
      // the longest text of its count could have ended is read as a record.
      const std::size_t text = header.body + label.size() + 1;
      const std::size_t next =
          next_real_start(saturating_add(text, text_lengths().longest(text, header.count)));
      Entry entry = damaged(next == NPOS ? size : next, no_text, kind);
      entry.no_text_line = true;
      return entry;
    }
    const std::size_t text = header.body + label.size();
    const HexLine* other_count = nullptr;
    const HexLine* no_empty_line = nullptr;
    for (const HexLine* line : hex_lines(layout).decoding_to(text)) {
      if (line->count != header.count) {
        // The last: lines inside the text that agree with a start of it are the payload's own.
        other_count = line;
        continue;
      }
      // The empty line after it may be missing at the very end (a record cut short just there
      // lost nothing).
      const std::size_t after = line->end + 1;
      if (after < size && content_[after] != '\n') {
        if (no_empty_line == nullptr) no_empty_line = line;
        continue;
      }
      if (pass == Pass::Classify) return Entry{Entry::Record, after_line(*line), {}, {}, kind};
      const std::string name = name_of(header);
      if (!header.canonical) {
        return damaged(after_line(*line), name + ": its header is not as the tool writes it", kind);
      }
      Entry entry = take_record(header, *line, after_line(*line), layout);
      if (kind == LogKind::Udp && !udp_sender_of(entry.record.source)) {
        return damaged(entry.next, name + ": the sender is not an IPv4 address and port", kind);
      }
      return entry;
    }
    if (pass == Pass::Classify) return damaged(size, {}, kind);
    const std::string name = name_of(header);
    if (no_empty_line != nullptr) {
      return damaged(no_empty_line->end + 1, name + ": no empty line after its hex line", kind);
    }
    // A hex line that agrees with the text but not with the header's count: the count is wrong,
    // unless the record may be the last one cut short, whose text may begin with anything (a line
    // that agrees with a start of it included): it is not when the file goes on past the end of
    // the longest record of the announced count.
    const std::uint64_t n = header.count;
    const std::size_t hex_length =
        n == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, size)) * 3 - 1;
    const std::size_t longest_end =
        saturating_add(saturating_add(text, n == 0 ? 0 : hex_length + 1),
                       saturating_add(layout.hex_label.size(), hex_length + 1));
    // Where no hex line of its own agrees with it: a text of n bytes is at least n bytes long
    // (less in a CR LF file, where a CR LF may have become LF) and longer only by the U+FFFD it
    // holds, so whatever starts before the longest such text could end may be part of it; after
    // that the next whole record or line is where reading goes on. Inside text that may be a
    // damaged record's there is no such certainty, and nothing whole that follows is passed over.
    const std::size_t shortest = text_lengths().shortest(text, n);
    const std::size_t longest = text_lengths().longest(text, n);
    const std::size_t next =
        next_real_start(sure ? saturating_add(text, std::max<std::size_t>(longest, 1)) : text + 1);
    // Its own hex line, of the announced length but damaged or at odds with the text, lies
    // before that; a line further on belongs to a later record.
    const HexLine* own = n > size ? nullptr
                                  : hex_lines(layout).of_count_within(
                                        static_cast<std::size_t>(n), text + shortest,
                                        saturating_add(text, static_cast<std::size_t>(3 * n)));
    if (own != nullptr && own->at >= next) own = nullptr;
    // Of a line that agrees with the text and a line of the announced length, the later one ends
    // the record: the earlier lies inside its text.
    if (other_count != nullptr && size >= longest_end &&
        (own == nullptr || own->at < other_count->at)) {
      Entry entry = damaged(after_line(*other_count),
                            name + ": its header announces " + std::to_string(header.count) +
                                " bytes, its hex line holds " + std::to_string(other_count->count),
                            kind);
      // The text may still have been a payload that quotes a log.
      entry.next_is_sure = false;
      return entry;
    }
    if (own != nullptr) {
      return damaged(after_line(*own),
                     name + (own->well_formed ? ": its text line does not match its hex line"
                                              : ": its hex line is damaged"),
                     kind);
    }
    const std::string missing =
        name + ": no hex line of the " + std::to_string(n) + " bytes its header announces";
    if (next != NPOS) return damaged(next, missing, kind);
    const std::size_t complete_at =
        saturating_add(saturating_add(text + shortest, layout.hex_label.size()), hex_length + 1);
    if (size < complete_at) {
      return damaged(size,
                     name + " cut short: the file ends before its " + std::to_string(n) +
                         " bytes are complete",
                     kind);
    }
    return damaged(size, missing, kind);
  }

  // "[HH:MM:SS.mmm] probe=LABEL baud=B-P-8-1 NO_RESPONSE\n" or "... ERROR: what\n". The label is
  // the payload as typed and may hold line breaks; the line ends where the file ends or the next
  // record starts after one of these two endings.
  Entry read_probe_note(std::size_t pos, Pass pass) {
    std::size_t limit = saturating_add(pos, MAX_HEADER_BYTES);
    // Nor does it run over a whole record (that is a note's look-alike in a text).
    if (pass == Pass::Full) limit = std::min(limit, next_real_start(pos + 1));
    std::size_t fallback = NPOS;
    std::size_t from = pos;
    for (int tries = 0; tries < MAX_HEADER_ENDS; ++tries) {
      const std::size_t quiet = occurrences(no_response_, PROBE_NO_RESPONSE).next(from);
      const std::size_t error = occurrences(probe_error_, PROBE_ERROR).next(from);
      const std::size_t at = std::min(quiet, error);
      if (at == NPOS || at > limit) break;
      const std::size_t end = at == quiet ? at + PROBE_NO_RESPONSE.size() : line_ends_.after(at);
      if (end > limit) break;
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

LogReading read_log(std::string_view content, bool (*stop)()) {
  if (!has_crlf_line_ends(content)) return Reader(content, false, stop).read();
  const FlattenedLog flat = flatten_crlf(content);
  LogReading reading = Reader(flat.content, true, stop).read();
  reading.crlf_line_ends = true;
  for (LogRecord& record : reading.records) record.offset = flat.original_offset(record.offset);
  return reading;
}

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
