#include "board/board_json.h"

#include "json/json.h"

namespace kelp {
namespace {

Json text_or_null(const std::string& text) {
  return text.empty() ? json_null() : json_string(text);
}

Json race_value(const RaceResult& race) {
  Json rows = json_array();
  for (const RaceRow& row : race.rows) {
    Json object = json_object();
    object.add("lane", json_number(row.lane))
        .add("place", json_number_or_null(row.place))
        .add("time", json_string(row.time))
        .add("seconds", row.hundredths ? json_float(static_cast<double>(*row.hundredths) / 100.0)
                                       : json_null())
        .add("name", json_string_or_null(row.name))
        .add("team", json_string_or_null(row.team))
        .add("seen", text_or_null(row.seen))
        .add("offset", json_number(row.offset));
    rows.push(std::move(object));
  }
  Json object = json_object();
  object.add("event", json_number_or_null(race.id.event))
      .add("heat", json_number_or_null(race.id.heat))
      .add("after_the_fact", json_bool(race.after_the_fact))
      .add("started", text_or_null(race.started))
      .add("ended", text_or_null(race.ended))
      .add("results", std::move(rows))
      .add("started_offset", json_number_or_null(race.started_offset))
      .add("ended_offset", json_number(race.ended_offset));
  return object;
}

Json lane_value(const LaneShown& lane) {
  Json object = json_object();
  object.add("lane", json_number(lane.lane))
      .add("place", json_number_or_null(lane.place))
      .add("time", text_or_null(lane.time))
      .add("running", json_bool(lane.running))
      .add("text", json_string(lane.text))
      .add("lit", json_bool(lane.lit))
      .add("name", lane.swimmer ? json_string(lane.swimmer->name) : json_null())
      .add("team", lane.swimmer ? json_string(lane.swimmer->team) : json_null());
  return object;
}

}  // namespace

std::string board_json(const Board& board) {
  const BoardShown shown = board_shown(board);
  Json lanes = json_array();
  for (const LaneShown& lane : shown.lanes) lanes.push(lane_value(lane));
  Json object = json_object();
  object.add("event", json_number_or_null(shown.in_water.event))
      .add("heat", json_number_or_null(shown.in_water.heat))
      .add("results_event", json_number_or_null(shown.results_up.event))
      .add("results_heat", json_number_or_null(shown.results_up.heat))
      .add("clock", text_or_null(shown.clock))
      .add("time_of_day", text_or_null(shown.time_of_day))
      .add("lengths", json_number_or_null(shown.lengths))
      .add("signal", json_string(board_signal_name(shown.signal)))
      .add("racing", json_bool(shown.racing))
      .add("changes", json_number(board.changes))
      .add("lanes_shown", json_number(shown.lanes_shown))
      .add("lanes", std::move(lanes))
      .add("last_race", board.races.empty() ? json_null() : race_value(board.races.back()))
      .add("names_event", shown.names_of ? json_number_or_null(shown.names_of->event) : json_null())
      .add("names_heat", shown.names_of ? json_number_or_null(shown.names_of->heat) : json_null())
      .add("description", text_or_null(shown.description));
  return json_dump(object);
}

std::string race_json(const RaceResult& race) { return json_dump(race_value(race)); }

std::string results_json(const Board& board) {
  Json races = json_array();
  for (const RaceResult& race : board.races) races.push(race_value(race));
  Json object = json_object();
  object.add("races", std::move(races));
  return json_dump(object);
}

}  // namespace kelp
