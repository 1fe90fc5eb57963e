#include "modes/start_list_folder.h"

#include <algorithm>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/system_error.h"
#include "text/bytes.h"

namespace kelp {
namespace {

std::string folder_problem(const std::string& path, int error) {
  return "cannot read the start lists in " + path + ": " + io_error_text(error);
}

std::optional<StartList> entry_of(const StartLists& lists, const std::string& name) {
  const auto found = lists.find(name);
  if (found == lists.end()) return std::nullopt;
  return found->second;
}

}  // namespace

std::expected<StartListFolder, std::string> open_start_list_folder(const std::string& path) {
  const auto names = list_directory_files(path);
  if (!names) return std::unexpected("ERROR: " + folder_problem(path, names.error()) + "\n");
  return StartListFolder{path, {}, {}, false};
}

StartListScan scan_start_list_folder(StartListFolder& folder, StartLists& lists) {
  StartListScan scan;
  auto names = list_directory_files(folder.path);
  if (!names) {
    // Removed or unmounted: what was read from it stays until it is back.
    if (!folder.unlisted) {
      folder.unlisted = true;
      scan.warnings = "Warning: " + folder_problem(folder.path, names.error()) +
                      (lists.empty() ? "; no names from it until it can be read\n"
                                     : "; the names read from it before stay in use\n");
    }
    return scan;
  }
  folder.unlisted = false;
  std::erase_if(*names, [](const std::string& name) { return !is_start_list_file_name(name); });
  std::sort(names->begin(), names->end());

  std::set<std::string> present;
  for (const std::string& name : *names) {
    const std::string path = path_in_directory(folder.path, name);
    auto bytes = read_whole_file(path);
    if (!bytes) {
      // Deleted since the listing: as if it had not been listed.
      if (path_kind(path) == PathKind::Missing) continue;
      present.insert(name);
      const auto warned = folder.unreadable.find(name);
      if (warned == folder.unreadable.end() || warned->second != bytes.error()) {
        folder.unreadable[name] = bytes.error();
        scan.warnings += "Warning: cannot read start list " + name + ": " +
                         io_error_text(bytes.error()) +
                         (lists.contains(name) ? "; the names read from it before stay in use\n"
                                               : "; no names from it\n");
      }
      continue;
    }
    present.insert(name);
    folder.unreadable.erase(name);
    const auto last = folder.seen.find(name);
    if (last != folder.seen.end() && last->second == *bytes) continue;
    const std::optional<StartList> before = entry_of(lists, name);
    if (auto warning = take_start_list(lists, name, name, bytes_of(*bytes))) {
      scan.warnings += *warning;
    }
    if (entry_of(lists, name) != before) scan.changed = true;
    folder.seen[name] = std::move(*bytes);
  }

  // Files that are gone: their lanes have no names any more.
  const auto gone = [&](const auto& entry) { return !present.contains(entry.first); };
  std::erase_if(folder.seen, gone);
  std::erase_if(folder.unreadable, gone);
  if (std::erase_if(lists, gone) > 0) scan.changed = true;
  return scan;
}

}  // namespace kelp
