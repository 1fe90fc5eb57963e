// The server's rules that need no socket: which content type a page file is served with, which
// short path a page file is also served at, what part of a request target names the resource, and
// how a text becomes one Server-Sent Events event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelp {

// The path of a request target: what comes before "?" or "#", without the scheme and host of a
// target in absolute form ("http://host:8080/board.json" is "/board.json").
std::string_view request_path(std::string_view target);

// The content type for a page file, by its extension (text types with charset=utf-8);
// "application/octet-stream" for an extension not known.
std::string_view content_type_for(std::string_view file_name);

// The short path a page file is also served at besides "/" + its name: "/" for index.html,
// "/overlay" for overlay.html; empty for the others.
std::string_view page_alias(std::string_view file_name);

// One event: "id: ID", then a "data: " line per line of the text (a line ends at LF, CR LF or
// CR), then an empty line. A browser's EventSource gives the text back as its data, with CR LF
// and CR turned into LF.
std::string sse_event(std::string_view text, std::uint64_t id);

// The comment that keeps an idle event stream open: ignored by every client.
inline constexpr std::string_view SSE_KEEP_ALIVE = ": keep-alive\n\n";

}  // namespace kelp
