// How `decode` shows a change of the board: a line for a person, or a JSON object for a script.
//
// `time` is the time of the record or read that held the frame's control byte, "" when it is not
// known (a raw recording). The line for a person begins with that time, names what changed and
// ends with the channel's 8 cells in brackets, so nothing the stream sent is ever hidden:
//   "12:00:53.000  lane 1  place 6  57.58  [16  5758]"
//   "clock 1:01.6  [   1016 ]"
//   "lane 2  running  [2  12878]"       (a running lane's own time cells are not read)
//   "event 27  heat 1  [ 27   1]"
//   "channel 14  [261435  ]"
// Only changes a person sees (the cells or the running flag) get a line; the JSON object also
// reports changes of the format cells:
//   {"channel":1,"text":"16  5758","running":false,"offset":53036,"time":"12:00:53.000",
//    "frame":"digits","cells":[1,6,15,15,5,7,5,8],"format":[2,0,0,0,2,2,0,0],
//    "format_running":false,"lane":1,"place":6,"lane_time":"57.58"}
// ("time" only when known; a cell never sent is null in "cells" and "format").
// With start lists, a lane's change also names its swimmer (`swimmer` given, null when the lane
// has none): the line ends with the name and team after the cells,
//   "lane 3  place 1  27.25  [31  2725]  LINDQVIST, MAE  GULL"
// and the JSON object ends with "name" and "team" (null when none).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "board/start_list.h"
#include "decode/cts_stream.h"

namespace kelp {

// The line for a person, with its LF; "" for a change that shows nothing new.
std::string change_line(const CtsEvent& event, std::string_view time,
                        std::optional<const StartEntry*> swimmer = std::nullopt);

// The JSON object, on one line with its LF.
std::string change_json(const CtsEvent& event, std::string_view time,
                        std::optional<const StartEntry*> swimmer = std::nullopt);

// "Warning: offset 2373 (12:00:03.000): damaged digit frame of channel 4 (more than 8 data
// bytes: a control byte was lost), skipped\n"; for a frame that a gap cut off, `gap` says where
// the gap is: "Warning: offset 960 (12:00:01.000): digit frame of channel 3 cut off by a gap
// (captures/serial_20261208_161316.log: the port was away before record #2), skipped\n".
std::string damaged_frame_warning(const CtsEvent& event, std::string_view time,
                                  std::string_view gap = "");

}  // namespace kelp
