// The built-in HTTP server: a few fixed resources, documents the caller replaces at any time, and
// one Server-Sent Events stream of one document's successive versions. It knows nothing of what
// the texts mean; it passes them on byte for byte.
//
// Contract:
// - `start_web_server` binds and listens before it returns, or returns an error text and leaves
//   nothing behind. So call it before creating anything the run would leave (capture files):
//   a port in use, an address that is not this machine's, or a host that is not an IP address
//   fail here. The text says which address and why, e.g.
//   "cannot serve on 127.0.0.1:8080: the port is in use by another program"; it has no "ERROR"
//   prefix and no line end, for the caller to print as it prints its errors.
// - Once started the server runs on one thread of its own and never calls back into the caller.
//   `publish_web_document` may be called from any thread at any time; it keeps the text it is
//   given (move it in: it is not copied), takes a lock held only for a pointer swap, never waits
//   for a client or the network, and never fails because of one. It must not run at the same
//   time as `stop_web_server` or the destructor on another thread.
// - Served: every file of src/web/pages (embedded at build time; "/" is index.html, "/overlay"
//   overlay.html, every file also "/" + its name), the caller's `resources` and `documents`, and
//   `events_path`. Where two share a path, the event stream comes first, then a document, then
//   a resource, then a page. The `events_document` is a document even if `documents` does not
//   list it (then an empty JSON text until the first publish). Only GET and HEAD are answered
//   (any other method: 405 with "Allow: GET, HEAD"; a request with a body: 400); an unknown path
//   is 404; the query string is ignored for matching ("/?lanes=6" is "/"). Nothing is ever read
//   from the file system.
// - A document's latest text wins: a request gets the version current when it was read.
//   Documents are sent with "Cache-Control: no-store", fixed resources with "no-cache"; every
//   response carries "X-Content-Type-Options: nosniff" and a Content-Security-Policy that allows
//   only the server's own origin ('self': no inline <script> or <style> blocks, no style="..."
//   attributes, nothing from elsewhere; setting element.style from a served script is fine).
// - The event stream (GET `events_path`): the current version of `events_document` at once, then
//   one event per version published after it, each event's data the whole text (line breaks are
//   carried as SSE "data:" lines, CR LF and CR arriving as LF; an empty text sends no event,
//   since SSE drops an event without data). Each event has an "id:" that grows with every
//   version. Versions are pushed when published, never on a timer; only an SSE comment line
//   (": keep-alive") is sent after `keep_alive_interval` without an event, so that proxies and
//   routers keep an idle stream open.
// - A client never holds the caller back: each client is sent the latest version whenever its
//   previous write has gone out, so a slow reader skips versions and at most one version waits
//   for it. A client whose write has not gone out within `write_timeout` is dropped: a board is a
//   few KiB, so only a client that reads nothing, or next to nothing, takes that long. Each
//   connection's kernel send buffer is held to 64 KiB, so such a client's writes start to wait
//   within seconds of boards, not after the megabytes a kernel would let the buffer grow to.
// - Bad input costs the client its own connection only: a request line and headers over 8 KiB
//   get 431 and the connection is closed; a request that is not HTTP gets 400 and is closed; a
//   connection that sends no whole request head within `request_timeout` (also between requests
//   on a kept-alive connection) is closed; beyond `max_connections` open connections a new one is
//   refused at once (503 and closed) while the others go on. Keep-alive works as HTTP/1.1 says.
// - `stop_web_server`, and the destructor of WebServer, close the listening socket and every
//   connection and join the thread; publishing afterwards does nothing and gives false.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelp {

struct WebResource {
  std::string path;          // "/results.json": begins with "/", no query
  std::string content_type;  // "application/json; charset=utf-8"
  std::string body;          // for a document, the text served until the first publish
};

struct WebServerSettings {
  std::string host = "127.0.0.1";      // an IPv4 or IPv6 address (brackets allowed) or "localhost"
  std::uint16_t port = 0;              // 0: any free port (see web_server_port)
  std::vector<WebResource> resources;  // fixed, besides the embedded pages
  std::vector<WebResource> documents;  // replaced with publish_web_document
  std::string events_path = "/events";
  std::string events_document;  // the document whose versions the event stream carries;
                                // empty: no event stream
  std::chrono::milliseconds request_timeout{10'000};
  std::chrono::milliseconds write_timeout{20'000};
  std::chrono::milliseconds keep_alive_interval{15'000};
  std::size_t max_connections = 64;
};

struct WebServerState;

// A running server; move-only. Destroying it stops it.
struct WebServer {
  WebServer();
  explicit WebServer(std::unique_ptr<WebServerState> started);
  WebServer(WebServer&&) noexcept;
  WebServer& operator=(WebServer&&) noexcept;
  ~WebServer();

  std::unique_ptr<WebServerState> state;
};

std::expected<WebServer, std::string> start_web_server(const WebServerSettings& settings);

// The port the server listens on (the one chosen when the settings said 0).
std::uint16_t web_server_port(const WebServer& server);

// Replaces the document at `path` with `text`; if it is the event stream's document, the stream's
// clients get it as their next event. False when `path` is not one of the settings' documents.
bool publish_web_document(WebServer& server, std::string_view path, std::string text);

// How many connections are open now (event streams included).
std::size_t web_server_connections(const WebServer& server);

void stop_web_server(WebServer& server);

}  // namespace kelp
