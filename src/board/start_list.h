// Meet Manager's start lists for a CTS scoreboard: who swims in which lane of each heat.
//
// One file per event, `E<event>.scb` (E027.scb), in Windows code page 1252 (read as UTF-8 here,
// see cp1252.h), with CR LF or LF line ends:
//   line 1      `#<event word> <description>`: `#27 GIRLS 8&U 25 FREE`; the event word is letters,
//               digits and `_` (`12A` is possible), the description may be empty
//   then        10 lines per heat, heat 1 first, the n-th line of a block lane n, each of
//               exactly 38 characters: the name in 20, `--`, the team in 16. Trailing spaces
//               of name and team are dropped; an empty name is no swimmer (its team is dropped
//               too). Nothing is escaped: a name may hold `,` `"` `<` `&` and accents.
// Empty lines at the very end are allowed (a file that ends in a line end).
//
// A file that cannot be read whole is an error, never a part of it taken: the text says where
// and what ("line 12 has 24 characters: a lane line has 38 (the name in 20, \"--\", the team in
// 16)", "heat 2 is cut short: 3 of its 10 lane lines"). A half-written file (a copy or an export
// still running) shows as a short last line, a heat block cut short, or NUL bytes, and is caught
// by these rules, except when it stops exactly at the end of a heat. A control character (C0 or
// DEL) anywhere is an error too, so a name never holds one.
//
// Matching: the console's event/heat digits show numbers only; a file's event word is the event
// they show when it is all digits, leading zeros ignored (E027.scb / `#27` is event 27, `#0` is
// event 0). A word with a letter (`12A`) never matches.
//
// The set the board reads, `StartLists`, is keyed by whatever the caller names each file by
// (its file name): a reload replaces one entry, a file that fails to read keeps its entry (the
// names read before stay in use), a file that is gone is erased. When two files give the same
// event, the one whose key sorts first is used.
//
// Pure: parsing and lookup read only what they are given.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/bytes.h"

namespace kelp {

inline constexpr std::size_t START_LIST_LANES = 10;
inline constexpr std::size_t START_LIST_NAME_WIDTH = 20;
inline constexpr std::size_t START_LIST_TEAM_WIDTH = 16;
inline constexpr std::size_t START_LIST_LINE_WIDTH =
    START_LIST_NAME_WIDTH + 2 + START_LIST_TEAM_WIDTH;

// One lane of one heat: UTF-8, no control character, no trailing space. An empty name is an empty
// lane (and then the team is empty too).
struct StartEntry {
  std::string name;
  std::string team;
  bool operator==(const StartEntry&) const = default;
};

using StartHeat = std::array<StartEntry, START_LIST_LANES>;  // lane 1 first

struct StartList {
  std::string event_word;  // as written after the `#`: "27", "027", "12A"
  std::string description;
  std::vector<StartHeat> heats;  // heat 1 first; at least one
  bool operator==(const StartList&) const = default;
};

using StartLists = std::map<std::string, StartList>;

// One file's bytes, or what is wrong with them.
std::expected<StartList, std::string> parse_start_list(ByteView bytes);

// `E*.scb`, either case ("E027.scb", "e12a.SCB"): the names a folder of exports is read for.
bool is_start_list_file_name(std::string_view file_name);

// The word is the event the console's digits show as `event`.
bool start_list_is_event(std::string_view event_word, unsigned event);

// The list for an event (the first by key), nothing when none.
const StartList* find_start_list(const StartLists& lists, unsigned event);

// The swimmer of lane 1..10 of a heat (1 and up), nothing for an empty lane, a heat the file
// does not have, or an event without a file.
const StartEntry* find_swimmer(const StartLists& lists, unsigned event, unsigned heat,
                               unsigned lane);

// Takes a file's new content into the set under `key`: a good file replaces the entry and gives
// nothing; a bad one leaves the entry as it was and gives the warning line, with its LF, naming
// `path`:
//   "Warning: start list E027.scb: heat 2 is cut short: 3 of its 10 lane lines; the names read
//    from it before stay in use\n"     (or "...; no names from it" when there were none)
std::optional<std::string> take_start_list(StartLists& lists, const std::string& key,
                                           std::string_view path, ByteView bytes);

}  // namespace kelp
