#include "web/web_rules.h"

#include <array>
#include <utility>

namespace kelp {
namespace {

struct TypeByExtension {
  std::string_view extension;
  std::string_view content_type;
};

constexpr std::array<TypeByExtension, 12> CONTENT_TYPES = {{
    {".html", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".json", "application/json; charset=utf-8"},
    {".svg", "image/svg+xml; charset=utf-8"},
    {".txt", "text/plain; charset=utf-8"},
    {".ico", "image/x-icon"},
    {".png", "image/png"},
    {".webp", "image/webp"},
    {".woff2", "font/woff2"},
    {".woff", "font/woff"},
    {".ttf", "font/ttf"},
}};

}  // namespace

std::string_view request_path(std::string_view target) {
  target = target.substr(0, target.find_first_of("?#"));
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (!target.starts_with(scheme)) continue;
    const std::size_t path = target.find('/', scheme.size());
    return path == std::string_view::npos ? "/" : target.substr(path);
  }
  return target;
}

std::string_view content_type_for(std::string_view file_name) {
  for (const auto& [extension, content_type] : CONTENT_TYPES) {
    if (file_name.size() > extension.size() && file_name.ends_with(extension)) return content_type;
  }
  return "application/octet-stream";
}

std::string_view page_alias(std::string_view file_name) {
  if (file_name == "index.html") return "/";
  if (file_name == "overlay.html") return "/overlay";
  return {};
}

std::string sse_event(std::string_view text, std::uint64_t id) {
  std::string event = "id: " + std::to_string(id) + "\n";
  event.reserve(event.size() + text.size() + 16);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find_first_of("\r\n", start);
    event += "data: ";
    event += text.substr(start, end == std::string_view::npos ? end : end - start);
    event += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  event += '\n';
  return event;
}

}  // namespace kelp
