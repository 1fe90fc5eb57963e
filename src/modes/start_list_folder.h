// Watching the folder Meet Manager exports its start lists into, so that a re-export during the
// meet (scratches, re-seeding) is taken without a restart.
//
// No thread of its own: the decoding calls `scan_start_list_folder` once at the start and then
// about once a second. Each scan lists the folder and reads every start list file in it
// (`E*.scb`, see is_start_list_file_name) whole; a meet has about a hundred files of a few KiB,
// so reading them again is cheap, and comparing the bytes catches every change, even one of the
// same size within the same second, which modification times would miss.
//
// What a scan does with each file, keyed in the set by its file name:
//   new or changed bytes   taken as take_start_list takes them: a good file replaces its entry; a
//                          bad one (half-written, wrong layout) gives one warning and leaves the
//                          entry as it was. The same bad bytes again give nothing.
//   the same bytes         nothing.
//   cannot be read now     (locked by the exporter, no permission) its entry stays; one warning
//                          until it is read again.
//   gone                   its entry is erased: those lanes have no names.
// A folder that cannot be listed any more (removed, unmounted) gives one warning and leaves every
// entry as it is; once it can be listed again it is read as before.
//
// Warnings name the file by its file name ("Warning: start list E027.scb: heat 2 is cut short:
// ..."), each line ending in LF.
#pragma once

#include <expected>
#include <map>
#include <string>

#include "board/start_list.h"

namespace kelp {

struct StartListFolder {
  std::string path;                         // as the user gave it
  std::map<std::string, std::string> seen;  // file name -> the bytes read from it last
  std::map<std::string, int> unreadable;    // file name -> the error it was warned about
  bool unlisted = false;                    // the folder could not be listed, and was warned of
};

// The folder, checked to be one that can be listed; nothing is read from it yet (the first scan
// does that). When it cannot be listed, the line that stops the run:
//   "ERROR: cannot read the start lists in <path>: <system text> (os error N)\n"
std::expected<StartListFolder, std::string> open_start_list_folder(const std::string& path);

struct StartListScan {
  bool changed = false;  // the set changed: the board is refreshed
  std::string warnings;  // lines to print, each with its LF; empty when there is nothing to say
};

// Brings `lists` up to date with the folder (see above).
StartListScan scan_start_list_folder(StartListFolder& folder, StartLists& lists);

}  // namespace kelp
