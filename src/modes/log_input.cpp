#include "modes/log_input.h"

#include "platform/console.h"
#include "platform/file.h"
#include "platform/system_error.h"

namespace kelp {

std::expected<LoadedLog, std::string> load_log(const std::string& path) {
  auto content = read_whole_file(path);
  if (!content) {
    return std::unexpected("ERROR: cannot read " + path + ": " + io_error_text(content.error()) +
                           "\n");
  }
  if (content->empty()) return std::unexpected("ERROR: " + path + " is empty\n");
  LoadedLog log{path, read_log(*content)};
  if (log.reading.kind == LogKind::Unknown) {
    return std::unexpected("ERROR: " + path + " is not a log of kelp-capture\n");
  }
  write_log_warnings(log);
  return log;
}

void write_log_warnings(const LoadedLog& log) {
  std::string warnings;
  for (const LogWarning& warning : log.reading.warnings) {
    warnings +=
        "Warning: " + log.path + ":" + std::to_string(warning.line) + ": " + warning.what + "\n";
  }
  if (!warnings.empty()) write_stderr(warnings);
}

std::string no_records_error(const LoadedLog& log) {
  if (log.reading.kind == LogKind::Probe && log.reading.warnings.empty()) {
    return "ERROR: " + log.path + ": the probe got no response, so its log holds no bytes\n";
  }
  return "ERROR: " + log.path + ": no readable record in this " +
         std::string(log_kind_name(log.reading.kind)) + " log\n";
}

}  // namespace kelp
