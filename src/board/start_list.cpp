#include "board/start_list.h"

#include "board/cp1252.h"

namespace kelp {
namespace {

struct Line {
  std::size_t number;  // 1-based
  ByteView bytes;      // without its line end
};

// Lines end at LF, a CR before it belonging to the line end; empty lines at the end dropped.
std::vector<Line> split_lines(ByteView bytes) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = start;
    while (end < bytes.size() && bytes[end] != '\n') ++end;
    std::size_t length = end - start;
    if (end < bytes.size() && length > 0 && bytes[end - 1] == '\r') --length;
    // A CR that is the file's last byte is the first half of a CR LF cut at its end.
    if (end == bytes.size() && length > 0 && bytes[end - 1] == '\r') --length;
    lines.push_back({lines.size() + 1, bytes.subspan(start, length)});
    start = end + 1;
  }
  while (!lines.empty() && lines.back().bytes.empty()) lines.pop_back();
  return lines;
}

std::string hex_byte(std::uint8_t b) {
  constexpr const char* DIGITS = "0123456789ABCDEF";
  return std::string("0x") + DIGITS[b >> 4] + DIGITS[b & 15];
}

std::optional<std::string> control_fault(const Line& line) {
  for (const std::uint8_t b : line.bytes) {
    if (b == 0) {
      return "line " + std::to_string(line.number) +
             " holds NUL bytes: the file may still be being written";
    }
    if (b < 0x20 || b == 0x7F) {
      return "line " + std::to_string(line.number) + " holds a control character (byte " +
             hex_byte(b) + ")";
    }
  }
  return std::nullopt;
}

std::string_view trim_trailing_spaces(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::string text_of(ByteView bytes) {
  return cp1252_to_utf8(bytes_of(trim_trailing_spaces(chars_of(bytes))));
}

bool is_word_byte(std::uint8_t b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
}

std::expected<void, std::string> read_event_line(const Line& line, StartList& list) {
  const ByteView bytes = line.bytes;
  std::size_t at = 1;
  while (at < bytes.size() && is_word_byte(bytes[at])) ++at;
  if (bytes.empty() || bytes[0] != '#' || at == 1 || (at < bytes.size() && bytes[at] != ' ')) {
    return std::unexpected(
        "line 1 is not the event line (\"#\", the event, a space and its description)");
  }
  list.event_word = std::string(chars_of(bytes.subspan(1, at - 1)));
  while (at < bytes.size() && bytes[at] == ' ') ++at;
  list.description = text_of(bytes.subspan(at));
  return {};
}

std::expected<StartEntry, std::string> read_lane_line(const Line& line) {
  const ByteView bytes = line.bytes;
  const std::string where = "line " + std::to_string(line.number);
  if (bytes.size() != START_LIST_LINE_WIDTH) {
    return std::unexpected(where + " has " + std::to_string(bytes.size()) +
                           " characters: a lane line has 38 (the name in 20, \"--\", the team "
                           "in 16)");
  }
  if (bytes[START_LIST_NAME_WIDTH] != '-' || bytes[START_LIST_NAME_WIDTH + 1] != '-') {
    return std::unexpected(where + " is not a lane line: its characters 21 and 22 are not \"--\"");
  }
  StartEntry entry{text_of(bytes.first(START_LIST_NAME_WIDTH)),
                   text_of(bytes.subspan(START_LIST_NAME_WIDTH + 2))};
  if (entry.name.empty()) entry.team.clear();
  return entry;
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::expected<StartList, std::string> parse_start_list(ByteView bytes) {
  const std::vector<Line> lines = split_lines(bytes);
  if (lines.empty()) return std::unexpected("the file is empty");
  for (const Line& line : lines) {
    if (auto fault = control_fault(line)) return std::unexpected(*fault);
  }
  StartList list;
  if (auto event = read_event_line(lines[0], list); !event) {
    return std::unexpected(event.error());
  }
  const std::size_t lane_lines = lines.size() - 1;
  if (lane_lines == 0) return std::unexpected("no heat follows the event line");
  // Every line is checked first, so that a fault is named where it is; a file cut at a line
  // end then shows as a heat cut short.
  list.heats.resize((lane_lines + START_LIST_LANES - 1) / START_LIST_LANES);
  for (std::size_t i = 0; i < lane_lines; ++i) {
    auto entry = read_lane_line(lines[i + 1]);
    if (!entry) return std::unexpected(entry.error());
    list.heats[i / START_LIST_LANES][i % START_LIST_LANES] = std::move(*entry);
  }
  if (lane_lines % START_LIST_LANES != 0) {
    return std::unexpected("heat " + std::to_string(lane_lines / START_LIST_LANES + 1) +
                           " is cut short: " + std::to_string(lane_lines % START_LIST_LANES) +
                           " of its 10 lane lines");
  }
  return list;
}

bool is_start_list_file_name(std::string_view file_name) {
  constexpr std::string_view SUFFIX = ".scb";
  if (file_name.size() <= SUFFIX.size() + 1 || lower_ascii(file_name[0]) != 'e') return false;
  const std::string_view tail = file_name.substr(file_name.size() - SUFFIX.size());
  for (std::size_t i = 0; i < SUFFIX.size(); ++i) {
    if (lower_ascii(tail[i]) != SUFFIX[i]) return false;
  }
  return true;
}

bool start_list_is_event(std::string_view event_word, unsigned event) {
  if (event_word.empty()) return false;
  for (const char c : event_word) {
    if (c < '0' || c > '9') return false;
  }
  const std::size_t first = event_word.find_first_not_of('0');
  const std::string_view digits =
      first == std::string_view::npos ? std::string_view("0") : event_word.substr(first);
  return digits == std::to_string(event);
}

const StartList* find_start_list(const StartLists& lists, unsigned event) {
  for (const auto& [key, list] : lists) {
    if (start_list_is_event(list.event_word, event)) return &list;
  }
  return nullptr;
}

const StartEntry* find_swimmer(const StartLists& lists, unsigned event, unsigned heat,
                               unsigned lane) {
  const StartList* list = find_start_list(lists, event);
  if (!list || heat < 1 || heat > list->heats.size() || lane < 1 || lane > START_LIST_LANES) {
    return nullptr;
  }
  const StartEntry& entry = list->heats[heat - 1][lane - 1];
  return entry.name.empty() ? nullptr : &entry;
}

std::optional<std::string> take_start_list(StartLists& lists, const std::string& key,
                                           std::string_view path, ByteView bytes) {
  auto list = parse_start_list(bytes);
  if (list) {
    lists[key] = std::move(*list);
    return std::nullopt;
  }
  const bool kept = lists.contains(key);
  return "Warning: start list " + std::string(path) + ": " + list.error() +
         (kept ? "; the names read from it before stay in use\n" : "; no names from it\n");
}

}  // namespace kelp
