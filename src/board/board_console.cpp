#include "board/board_console.h"

#include "board/results_text.h"
#include "text/unicode.h"

namespace kelp {
namespace {

std::string or_dash(const std::optional<unsigned>& number) {
  return number ? std::to_string(*number) : "-";
}
std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

std::string race_text(const RaceId& id) {
  return "event " + or_dash(id.event) + " heat " + or_dash(id.heat);
}

std::string right(const std::string& text, std::size_t columns) {
  return text.size() >= columns ? text : std::string(columns - text.size(), ' ') + text;
}

// At most `columns` characters: a longer text loses its end to "…".
std::string fitted(std::string_view text, std::size_t columns) {
  std::size_t at = 0, count = 0, cut = 0;
  while (at < text.size()) {
    if (count == columns - 1) cut = at;
    next_code_point(text, at);
    if (++count > columns) return std::string(text.substr(0, cut)) + "\u2026";
  }
  return std::string(text);
}

std::string trimmed_end(std::string line) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string lane_line(const LaneShown& lane) {
  std::string line = right(std::to_string(lane.lane), 4) +
                     right(lane.place ? std::to_string(*lane.place) : "", 6) + "  ";
  line += padded(lane.running ? "in water" : lane.time, 10);
  if (lane.swimmer) {
    line += padded(console_safe(lane.swimmer->name), 20) + "  " + console_safe(lane.swimmer->team);
  }
  return trimmed_end(line);
}

}  // namespace

std::vector<std::string> board_console_lines(const Board& board, std::string_view last_warning) {
  const BoardShown shown = board_shown(board);
  std::vector<std::string> lines;
  lines.push_back("Event " + or_dash(shown.in_water.event) + "  Heat " +
                  or_dash(shown.in_water.heat) + "   Clock " + or_dash(shown.clock) +
                  "   Time of day " + or_dash(shown.time_of_day) +
                  "   Signal: " + board_signal_name(shown.signal));
  lines.push_back("Results up: " + race_text(shown.results_up) + "   Lengths " +
                  or_dash(shown.lengths) + (shown.racing ? "   Racing" : ""));
  lines.push_back(shown.names_of ? trimmed_end("Names: " + race_text(*shown.names_of) + "  " +
                                               console_safe(shown.description))
                                 : "Names: -");
  lines.push_back("Lane Place  Time      Name                  Team");
  for (unsigned lane = 1; lane <= shown.lanes_shown; ++lane) {
    lines.push_back(lane_line(shown.lanes[lane - 1]));
  }
  std::string_view warning = last_warning;
  while (!warning.empty() && (warning.back() == '\n' || warning.back() == '\r')) {
    warning.remove_suffix(1);
  }
  lines.push_back(console_safe(warning));
  for (std::string& line : lines) line = fitted(line, CONSOLE_BOARD_COLUMNS);
  return lines;
}

}  // namespace kelp
