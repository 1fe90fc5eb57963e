// The board as a person reads it on a terminal: a compact text that a caller draws and redraws
// in place (it holds no escape sequence; moving the cursor is the caller's).
//
// Always 5 + N lines (N = Board::lanes_shown), none longer than 80 columns, no line end:
//   Event 27  Heat 1   Clock 1:01.6   Time of day 9:50   Signal: live
//   Results up: event 27 heat 1   Lengths 1   Racing
//   Names: event 27 heat 1  GIRLS 8&U 25 FREE                  ("Names: -" when none)
//   Lane Place  Time      Name                  Team
//      1     6  57.58     HARBOR, NELL          TIDE           one line per lane 1..N
//      2        in water  QUINN, ADA R          REEF           a running lane
//      7                                                       a dark lane: its number alone
//   Warning: ...                                               the last warning, cut to 80
//                                                              columns with "…"; "" when none
// A value not known shows as "-".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"

namespace kelp {

inline constexpr std::size_t CONSOLE_BOARD_COLUMNS = 80;

std::vector<std::string> board_console_lines(const Board& board, std::string_view last_warning);

}  // namespace kelp
