#include "modes/decode_view.h"

#include <optional>

#include "board/results_text.h"
#include "decode/cts_board.h"
#include "json/json.h"

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

Json text_or_null(const std::string& text) {
  return text.empty() ? json_null() : json_string(text);
}

Json json_cells(const CtsCells& cells) {
  Json array = json_array();
  for (const std::uint8_t value : cells) {
    array.push(value == CTS_UNSENT ? json_null() : json_number(unsigned{value}));
  }
  return array;
}

// The fields read off the channel by its role.
void add_role_fields(Json& object, const CtsEvent& event) {
  const CtsChannel& state = event.state;
  switch (cts_role(event.channel)) {
    case CtsRole::Clock:
      object.add("clock", text_or_null(cts_time_text(state.digits)));
      break;
    case CtsRole::Lane:
      object.add("lane", json_number_or_null(cts_number(state.digits, 0, 0)))
          .add("place", json_number_or_null(cts_number(state.digits, 1, 1)))
          .add("lane_time",
               text_or_null(state.running ? std::string() : cts_time_text(state.digits)));
      break;
    case CtsRole::Lengths:
      object.add("lengths", json_number_or_null(cts_number(state.digits, 0, 1)));
      break;
    case CtsRole::EventHeat:
      object.add("event", json_number_or_null(cts_number(state.digits, 0, 2)))
          .add("heat", json_number_or_null(cts_number(state.digits, 5, 7)));
      break;
    case CtsRole::TimeOfDay:
      object.add("time_of_day", text_or_null(cts_time_text(state.digits)));
      break;
    case CtsRole::Other:
      break;
  }
}

const char* frame_name(CtsFrameKind kind) {
  return kind == CtsFrameKind::Digits ? "digit" : "format";
}

}  // namespace

std::string change_line(const CtsEvent& event, std::string_view time,
                        std::optional<const StartEntry*> swimmer) {
  const std::string text = cts_text(event.state.digits);
  if (event.before.known && event.before.running == event.state.running &&
      cts_text(event.before.digits) == text) {
    return "";
  }
  std::string line = time.empty() ? std::string() : std::string(time) + "  ";
  line += line_body(event) + "  [" + text + "]";
  if (swimmer && *swimmer) {
    line += "  " + console_safe((*swimmer)->name);
    if (!(*swimmer)->team.empty()) line += "  " + console_safe((*swimmer)->team);
  }
  return line + "\n";
}

std::string change_json(const CtsEvent& event, std::string_view time,
                        std::optional<const StartEntry*> swimmer) {
  const CtsChannel& state = event.state;
  Json object = json_object();
  object.add("channel", json_number(unsigned{event.channel}))
      .add("text", json_string(cts_text(state.digits)))
      .add("running", json_bool(state.running))
      .add("offset", json_number(event.offset));
  if (!time.empty()) object.add("time", json_string(time));
  object.add("frame", json_string(event.kind == CtsFrameKind::Digits ? "digits" : "format"))
      .add("cells", json_cells(state.digits))
      .add("format", json_cells(state.format))
      .add("format_running", json_bool(state.format_running));
  add_role_fields(object, event);
  if (swimmer) {
    const StartEntry* entry = *swimmer;
    object.add("name", entry ? json_string(entry->name) : json_null())
        .add("team", entry && !entry->team.empty() ? json_string(entry->team) : json_null());
  }
  return json_dump(object) + "\n";
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
  const std::string what = event.damage == CtsDamage::TooManyBytes
                               ? "more than 8 data bytes: a control byte was lost"
                               : "a cell sent twice: a control byte was lost";
  return "Warning: " + where + ": damaged " + frame + " (" + what + "), skipped\n";
}

}  // namespace kelp
