#include "modes/decode_view.h"

#include <optional>

#include "decode/cts_board.h"

namespace kelp {
namespace {

bool all_dark(const CtsCells& cells) {
  for (const std::uint8_t value : cells) {
    if (value != CTS_BLANK && value != CTS_UNSENT) return false;
  }
  return true;
}

std::string number_or(std::optional<unsigned> number, std::string_view none) {
  return number ? std::to_string(*number) : std::string(none);
}

std::string lane_body(const CtsEvent& event) {
  const CtsChannel& state = event.state;
  std::string body = "lane " + std::to_string(event.channel);
  const auto place = cts_number(state.digits, 1, 1);
  if (state.running) return body + (place ? "  place " + std::to_string(*place) : "") + "  running";
  if (all_dark(state.digits)) return body + "  blank";
  const std::string time = cts_time_text(state.digits);
  return body + "  place " + number_or(place, "-") + "  " + (time.empty() ? "-" : time);
}

std::string or_blank(const std::string& text) { return text.empty() ? "blank" : text; }

// What the line says before the cells.
std::string line_body(const CtsEvent& event) {
  const CtsCells& digits = event.state.digits;
  std::string body;
  switch (cts_role(event.channel)) {
    case CtsRole::Lane:
      return lane_body(event);
    case CtsRole::Clock:
      body = "clock " + or_blank(cts_time_text(digits));
      break;
    case CtsRole::Lengths:
      body = "lengths " + number_or(cts_number(digits, 0, 1), "blank");
      break;
    case CtsRole::EventHeat:
      body = "event " + number_or(cts_number(digits, 0, 2), "-") + "  heat " +
             number_or(cts_number(digits, 5, 7), "-");
      break;
    case CtsRole::TimeOfDay:
      body = "time of day " + or_blank(cts_time_text(digits));
      break;
    case CtsRole::Other:
      body = "channel " + std::to_string(event.channel);
      break;
  }
  return event.state.running ? body + "  running" : body;
}

std::string json_number(std::optional<unsigned> number) {
  return number ? std::to_string(*number) : "null";
}

std::string json_text(const std::string& text) {
  return text.empty() ? "null" : "\"" + text + "\"";
}

std::string json_cells(const CtsCells& cells) {
  std::string out = "[";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ",";
    out += cells[i] == CTS_UNSENT ? "null" : std::to_string(cells[i]);
  }
  return out + "]";
}

const char* json_bool(bool value) { return value ? "true" : "false"; }

// The fields read off the channel by its role.
std::string role_fields(const CtsEvent& event) {
  const CtsChannel& state = event.state;
  switch (cts_role(event.channel)) {
    case CtsRole::Clock:
      return ",\"clock\":" + json_text(cts_time_text(state.digits));
    case CtsRole::Lane:
      return ",\"lane\":" + json_number(cts_number(state.digits, 0, 0)) +
             ",\"place\":" + json_number(cts_number(state.digits, 1, 1)) + ",\"lane_time\":" +
             json_text(state.running ? std::string() : cts_time_text(state.digits));
    case CtsRole::Lengths:
      return ",\"lengths\":" + json_number(cts_number(state.digits, 0, 1));
    case CtsRole::EventHeat:
      return ",\"event\":" + json_number(cts_number(state.digits, 0, 2)) +
             ",\"heat\":" + json_number(cts_number(state.digits, 5, 7));
    case CtsRole::TimeOfDay:
      return ",\"time_of_day\":" + json_text(cts_time_text(state.digits));
    case CtsRole::Other:
      break;
  }
  return "";
}

const char* frame_name(CtsFrameKind kind) {
  return kind == CtsFrameKind::Digits ? "digit" : "format";
}

}  // namespace

std::string change_line(const CtsEvent& event, std::string_view time) {
  const std::string text = cts_text(event.state.digits);
  if (event.before.known && event.before.running == event.state.running &&
      cts_text(event.before.digits) == text) {
    return "";
  }
  std::string line = time.empty() ? std::string() : std::string(time) + "  ";
  return line + line_body(event) + "  [" + text + "]\n";
}

std::string change_json(const CtsEvent& event, std::string_view time) {
  const CtsChannel& state = event.state;
  std::string json = "{\"channel\":" + std::to_string(event.channel) + ",\"text\":\"" +
                     cts_text(state.digits) + "\",\"running\":" + json_bool(state.running) +
                     ",\"offset\":" + std::to_string(event.offset);
  if (!time.empty()) json += ",\"time\":\"" + std::string(time) + "\"";
  json += ",\"frame\":\"" + std::string(event.kind == CtsFrameKind::Digits ? "digits" : "format") +
          "\",\"cells\":" + json_cells(state.digits) + ",\"format\":" + json_cells(state.format) +
          ",\"format_running\":" + json_bool(state.format_running);
  return json + role_fields(event) + "}\n";
}

std::string damaged_frame_warning(const CtsEvent& event, std::string_view time,
                                  std::string_view gap) {
  std::string where = "offset " + std::to_string(event.offset);
  if (!time.empty()) where += " (" + std::string(time) + ")";
  const std::string frame =
      std::string(frame_name(event.kind)) + " frame of channel " + std::to_string(event.channel);
  const std::string why = gap.empty() ? "" : " (" + std::string(gap) + ")";
  if (event.damage == CtsDamage::Gap) {
    return "Warning: " + where + ": " + frame + " cut off by a gap" + why + ", skipped\n";
  }
  if (event.damage == CtsDamage::AfterGap) {
    return "Warning: " + where + ": " + frame +
           " may be the rest of a frame that a gap cut off" + why + ", skipped\n";
  }
  const std::string what = event.damage == CtsDamage::TooManyBytes
                               ? "more than 8 data bytes: a control byte was lost"
                               : "a cell sent twice: a control byte was lost";
  return "Warning: " + where + ": damaged " + frame + " (" + what + "), skipped\n";
}

}  // namespace kelp
