#include "web/web_server.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/write.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/listen_socket.h"
#include "platform/system_error.h"
#include "web/embedded_pages.h"
#include "web/web_rules.h"

namespace kelp {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

// A request line and headers larger than this are refused. The read buffer has room for a little
// more, so that the parser, not the buffer, is what says the limit was reached.
constexpr std::size_t HEADER_LIMIT = 8 * 1024;
constexpr std::size_t READ_BUFFER_LIMIT = 2 * HEADER_LIMIT;
// After an answer that closes the connection, what the client still sends is read and dropped
// for a moment, so that closing with unread bytes does not reset the connection before the
// client has read the answer.
constexpr auto LINGER_TIME = std::chrono::seconds(2);
constexpr std::size_t LINGER_BYTES = 64 * 1024;
// Each connection's send buffer in the kernel. Left to the kernel, it grows to megabytes
// (4 MiB on Linux), which a client that stops reading would take minutes of boards to fill before
// a write waited long enough to drop it, holding that memory all the while; this much holds a
// page's largest file and seconds of boards.
constexpr int SEND_BUFFER_BYTES = 64 * 1024;
// How long to wait before accepting again when accepting failed (no file descriptors left).
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(100);

constexpr std::string_view CONTENT_SECURITY_POLICY =
    "default-src 'self'; base-uri 'none'; form-action 'none'";
constexpr std::string_view PLAIN_TEXT = "text/plain; charset=utf-8";

// A body served as it is: bytes of the program itself, or a text shared with whoever holds it.
struct Body {
  std::shared_ptr<const std::string> owner;
  std::string_view bytes;
};

Body owned_body(std::string text) {
  auto owner = std::make_shared<const std::string>(std::move(text));
  const std::string_view bytes = *owner;
  return {std::move(owner), bytes};
}

struct FixedResource {
  std::string content_type;
  Body body;
};

struct Document {
  std::string content_type;
  std::shared_ptr<const std::string> text;
  std::uint64_t version = 1;
};

}  // namespace

class WebConnection;

struct WebServerState {
  explicit WebServerState(const WebServerSettings& settings)
      : events_path(settings.events_path),
        events_document(settings.events_document),
        request_timeout(settings.request_timeout),
        write_timeout(settings.write_timeout),
        keep_alive_interval(settings.keep_alive_interval),
        max_connections(settings.max_connections) {}
  ~WebServerState() {
    io.stop();
    if (thread.joinable()) thread.join();
  }

  // Fixed once started.
  const std::string events_path;
  const std::string events_document;
  const std::chrono::milliseconds request_timeout;
  const std::chrono::milliseconds write_timeout;
  const std::chrono::milliseconds keep_alive_interval;
  const std::size_t max_connections;
  std::map<std::string, FixedResource, std::less<>> fixed;
  std::uint16_t port = 0;

  // Shared with the publishing thread: the paths are fixed, the texts change under the lock.
  std::mutex documents_lock;
  std::map<std::string, Document, std::less<>> documents;
  std::atomic<bool> push_pending{false};
  std::atomic<std::size_t> open_connections{0};

  // The server's thread only.
  std::vector<std::weak_ptr<WebConnection>> streams;
  std::shared_ptr<const std::string> event_frame;
  std::uint64_t event_frame_version = 0;

  // Declared last: destroyed first, the connections its handlers hold go with it while everything
  // above is still there.
  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer accept_retry{io};
  std::thread thread;

  std::optional<Body> document_body(std::string_view path, std::string& content_type) {
    const std::lock_guard lock(documents_lock);
    const auto found = documents.find(path);
    if (found == documents.end()) return std::nullopt;
    content_type = found->second.content_type;
    return Body{found->second.text, *found->second.text};
  }

  // The event for the stream document's current version, formatted once per version.
  std::pair<std::uint64_t, std::shared_ptr<const std::string>> latest_event() {
    std::uint64_t version = 0;
    std::shared_ptr<const std::string> text;
    {
      const std::lock_guard lock(documents_lock);
      const Document& document = documents.find(events_document)->second;
      version = document.version;
      text = document.text;
    }
    if (version != event_frame_version || event_frame == nullptr) {
      event_frame = std::make_shared<const std::string>(sse_event(*text, version));
      event_frame_version = version;
    }
    return {event_frame_version, event_frame};
  }

  void add_stream(const std::shared_ptr<WebConnection>& stream) {
    std::erase_if(streams, [](const auto& known) { return known.expired(); });
    streams.push_back(stream);
  }

  void push_streams();
  void accept();
  void refuse(tcp::socket socket);
};

namespace {

bool is_http_error(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::end_of_stream).category();
}

}  // namespace

// One client's connection, on the server's thread: requests and answers one after the other,
// until it becomes an event stream or is closed.
class WebConnection : public std::enable_shared_from_this<WebConnection> {
 public:
  WebConnection(WebServerState& server, tcp::socket socket)
      : server_(server),
        stream_(std::move(socket)),
        keep_alive_(stream_.get_executor()),
        write_deadline_(stream_.get_executor()) {}
  ~WebConnection() { --server_.open_connections; }

  void read_request() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(HEADER_LIMIT));
    stream_.expires_after(server_.request_timeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](error_code ec, std::size_t) { self->on_request_head(ec); });
  }

  // Sends the stream's latest version if this client has not had it and nothing is being
  // written to it: a client that reads slowly is sent fewer versions, never a queue of them.
  void push() {
    if (!streaming_ || writing_) return;
    auto [version, frame] = server_.latest_event();
    if (version == sent_version_) return;
    sent_version_ = version;
    write_to_stream(std::move(frame));
  }

 private:
  void on_request_head(error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      answer_error(http::status::request_header_fields_too_large, "Request header too large\n");
      return;
    }
    if (ec && is_http_error(ec) && ec != http::error::end_of_stream &&
        ec != http::error::partial_message) {
      answer_error(http::status::bad_request, "Bad request\n");
      return;
    }
    if (ec) return;  // closed, reset or timed out: nothing to answer

    const auto& request = parser_->get();
    const http::verb method = request.method();
    if (method != http::verb::get && method != http::verb::head) {
      answer_error(http::status::method_not_allowed, "Only GET and HEAD are served\n");
      return;
    }
    if (!parser_->is_done()) {  // a body follows, which no resource here takes
      answer_error(http::status::bad_request, "A GET or HEAD request carries no body\n");
      return;
    }
    head_only_ = method == http::verb::head;
    keep_alive_request_ = request.keep_alive();
    http_version_ = request.version();
    const std::string_view path = request_path(request.target());

    if (!server_.events_document.empty() && path == server_.events_path) {
      start_stream();
      return;
    }
    if (const auto fixed = server_.fixed.find(path); fixed != server_.fixed.end()) {
      answer(http::status::ok, fixed->second.content_type, fixed->second.body, "no-cache");
      return;
    }
    std::string content_type;
    if (auto document = server_.document_body(path, content_type)) {
      answer(http::status::ok, content_type, std::move(*document), "no-store");
      return;
    }
    answer(http::status::not_found, PLAIN_TEXT, Body{nullptr, "Not found\n"}, "no-store");
  }

  template <class Message>
  void set_common_fields(Message& message, std::string_view content_type,
                         std::string_view cache_control) {
    message.set(http::field::content_type, content_type);
    message.set(http::field::cache_control, cache_control);
    message.set("X-Content-Type-Options", "nosniff");
    message.set("Content-Security-Policy", CONTENT_SECURITY_POLICY);
    message.set("Referrer-Policy", "no-referrer");
  }

  void answer(http::status status, std::string_view content_type, Body body,
              std::string_view cache_control, bool close = false) {
    body_ = std::move(body);
    response_.emplace(status, http_version_);
    set_common_fields(*response_, content_type, cache_control);
    if (status == http::status::method_not_allowed) response_->set(http::field::allow, "GET, HEAD");
    response_->content_length(body_.bytes.size());
    if (!head_only_) response_->body() = {body_.bytes.data(), body_.bytes.size()};
    const bool keep_alive = keep_alive_request_ && !close;
    response_->keep_alive(keep_alive);
    begin_write();
    http::async_write(stream_, *response_,
                      [self = shared_from_this(), keep_alive](error_code ec, std::size_t) {
                        self->end_write();
                        self->response_.reset();
                        self->body_ = {};
                        if (ec) return;
                        if (keep_alive) {
                          self->read_request();
                        } else {
                          self->linger_and_close();
                        }
                      });
  }

  // An answer to a request that could not be read whole: the connection ends after it.
  void answer_error(http::status status, std::string_view text) {
    head_only_ = false;
    keep_alive_request_ = false;
    answer(status, PLAIN_TEXT, Body{nullptr, text}, "no-store", true);
  }

  void linger_and_close() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(LINGER_TIME);
    drain();
  }

  void drain() {
    stream_.async_read_some(net::buffer(scratch_),
                            [self = shared_from_this()](error_code ec, std::size_t bytes) {
                              self->drained_ += bytes;
                              if (ec || self->drained_ >= LINGER_BYTES) {
                                self->stream_.close();
                                return;
                              }
                              self->drain();
                            });
  }

  void start_stream() {
    http::response<http::empty_body> head{http::status::ok, http_version_};
    set_common_fields(head, "text/event-stream; charset=utf-8", "no-store");
    head.set("X-Accel-Buffering", "no");  // a reverse proxy passes each event on at once
    // The body is the events until the connection ends, so no length: the end of the
    // connection ends it.
    head.keep_alive(false);
    stream_head_.emplace(std::move(head));
    begin_write();
    http::async_write(stream_, *stream_head_,
                      [self = shared_from_this()](error_code ec, std::size_t) {
                        self->end_write();
                        self->stream_head_.reset();
                        if (ec) return;
                        if (self->head_only_) {
                          self->linger_and_close();
                          return;
                        }
                        self->streaming_ = true;
                        self->server_.add_stream(self);
                        self->watch_for_close();
                        self->arm_keep_alive();
                        self->push();
                      });
  }

  // An event stream's client sends nothing more; reading tells at once when it goes away.
  void watch_for_close() {
    stream_.async_read_some(net::buffer(scratch_),
                            [self = shared_from_this()](error_code ec, std::size_t) {
                              if (ec) {
                                self->drop();
                                return;
                              }
                              self->watch_for_close();
                            });
  }

  void write_to_stream(std::shared_ptr<const std::string> frame) {
    writing_ = true;
    frame_ = std::move(frame);
    const net::const_buffer bytes =
        frame_ ? net::buffer(*frame_) : net::buffer(SSE_KEEP_ALIVE.data(), SSE_KEEP_ALIVE.size());
    begin_write();
    net::async_write(stream_, bytes, [self = shared_from_this()](error_code ec, std::size_t) {
      self->end_write();
      self->writing_ = false;
      self->frame_.reset();
      if (ec) {
        self->drop();
        return;
      }
      self->arm_keep_alive();
      self->push();
    });
  }

  // Every write has a deadline of its own: a client that takes nothing for the write time-out
  // is dropped. (The stream's own time-outs close the socket alone, and Wine never ends a
  // write pending on a socket closed that way; cancelling it first ends it everywhere.)
  void begin_write() {
    stream_.expires_never();  // nothing is pending here but, on a stream, its read
    const std::uint64_t write = ++writes_started_;
    write_deadline_.expires_after(server_.write_timeout);
    write_deadline_.async_wait([self = shared_from_this(), write](error_code ec) {
      if (!ec && self->writes_ended_ < write) self->drop();
    });
  }
  void end_write() {
    ++writes_ended_;
    write_deadline_.cancel();
  }
  void drop() {
    error_code ignored;
    stream_.socket().cancel(ignored);
    stream_.close();
    keep_alive_.cancel();
    write_deadline_.cancel();
  }

  void arm_keep_alive() {
    keep_alive_.expires_after(server_.keep_alive_interval);
    keep_alive_.async_wait([self = shared_from_this()](error_code ec) {
      // A wait replaced after it had already ended still arrives here without an error.
      if (ec || self->keep_alive_.expiry() > std::chrono::steady_clock::now()) return;
      if (!self->writing_ && self->stream_.socket().is_open()) self->write_to_stream(nullptr);
    });
  }

  WebServerState& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{READ_BUFFER_LIMIT};
  std::array<char, 1024> scratch_{};
  std::size_t drained_ = 0;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::optional<http::response<http::span_body<const char>>> response_;
  std::optional<http::response<http::empty_body>> stream_head_;
  Body body_;
  bool head_only_ = false;
  bool keep_alive_request_ = true;
  unsigned http_version_ = 11;

  net::steady_timer keep_alive_;
  net::steady_timer write_deadline_;
  std::uint64_t writes_started_ = 0;
  std::uint64_t writes_ended_ = 0;
  bool streaming_ = false;
  bool writing_ = false;
  std::uint64_t sent_version_ = 0;
  std::shared_ptr<const std::string> frame_;
};

void WebServerState::push_streams() {
  push_pending = false;
  std::erase_if(streams, [](const auto& known) { return known.expired(); });
  for (const auto& known : streams) {
    if (auto stream = known.lock()) stream->push();
  }
}

void WebServerState::accept() {
  acceptor.async_accept([this](error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
    if (ec) {
      // Out of file descriptors or a connection reset before it was taken: try again soon
      // rather than spin.
      accept_retry.expires_after(ACCEPT_RETRY);
      accept_retry.async_wait([this](error_code wait_error) {
        if (!wait_error) accept();
      });
      return;
    }
    if (open_connections.load() >= max_connections) {
      refuse(std::move(socket));
    } else {
      ++open_connections;
      // A socket that keeps the kernel's size still works; it only drops a stalled client later.
      error_code ignored;
      socket.set_option(net::socket_base::send_buffer_size(SEND_BUFFER_BYTES), ignored);
      std::make_shared<WebConnection>(*this, std::move(socket))->read_request();
    }
    accept();
  });
}

// Beyond the limit a connection gets a short answer if its socket takes it at once, and is
// closed: it costs neither a wait nor memory.
void WebServerState::refuse(tcp::socket socket) {
  static constexpr std::string_view BUSY =
      "HTTP/1.1 503 Service Unavailable\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 34\r\n"
      "Cache-Control: no-store\r\n"
      "Connection: close\r\n"
      "\r\n"
      "Too many connections: try again.\r\n";
  static_assert(std::string_view("Too many connections: try again.\r\n").size() == 34);
  error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(net::buffer(BUSY.data(), BUSY.size()), ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
}

namespace {

std::string bind_error_text(const error_code& ec, const std::string& where, const std::string& host,
                            std::uint16_t port) {
  std::string reason;
  if (ec == net::error::address_in_use) {
    reason = "the port is in use by another program";
  } else if (ec == boost::system::errc::address_not_available) {
    reason = host + " is not an address of this machine";
  } else if (ec == net::error::access_denied) {
    reason = "no permission to use port " + std::to_string(port);
  } else if (ec.category() == boost::system::system_category()) {
    reason = os_error_message(ec.value());
  } else {
    reason = ec.message();
  }
  return "cannot serve on " + where + ": " + reason;
}

std::expected<net::ip::address, std::string> host_address(std::string_view host,
                                                          const std::string& where) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host == "localhost") return net::ip::make_address_v4("127.0.0.1");
  error_code ec;
  const net::ip::address address = net::ip::make_address(std::string(host), ec);
  if (ec) {
    return std::unexpected("cannot serve on " + where + ": '" + std::string(host) +
                           "' is not an IP address (give one of this machine, 127.0.0.1 for "
                           "this computer only, or 0.0.0.0 for every network)");
  }
  return address;
}

std::string address_text(std::string_view host, std::uint16_t port) {
  const bool bare_ipv6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
  return (bare_ipv6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" +
         std::to_string(port);
}

}  // namespace

WebServer::WebServer() = default;
WebServer::WebServer(std::unique_ptr<WebServerState> started) : state(std::move(started)) {}
WebServer::WebServer(WebServer&&) noexcept = default;
WebServer& WebServer::operator=(WebServer&&) noexcept = default;
WebServer::~WebServer() = default;

std::expected<WebServer, std::string> start_web_server(const WebServerSettings& settings) {
  const std::string where = address_text(settings.host, settings.port);
  const auto address = host_address(settings.host, where);
  if (!address) return std::unexpected(address.error());

  auto state = std::make_unique<WebServerState>(settings);
  for (const EmbeddedFile& page : embedded_pages()) {
    const FixedResource resource{std::string(content_type_for(page.name)),
                                 Body{nullptr, page.bytes}};
    state->fixed.insert_or_assign("/" + std::string(page.name), resource);
    if (const std::string_view alias = page_alias(page.name); !alias.empty()) {
      state->fixed.insert_or_assign(std::string(alias), resource);
    }
  }
  for (const WebResource& resource : settings.resources) {
    state->fixed.insert_or_assign(resource.path,
                                  FixedResource{resource.content_type, owned_body(resource.body)});
  }
  for (const WebResource& document : settings.documents) {
    state->fixed.erase(document.path);
    state->documents.insert_or_assign(
        document.path,
        Document{document.content_type, std::make_shared<const std::string>(document.body), 1});
  }
  if (!settings.events_document.empty() && !state->documents.contains(settings.events_document)) {
    state->documents.emplace(
        settings.events_document,
        Document{"application/json; charset=utf-8", std::make_shared<const std::string>(), 1});
  }

  const tcp::endpoint endpoint(*address, settings.port);
  error_code ec;
  state->acceptor.open(endpoint.protocol(), ec);
  if (!ec) {
    prepare_listening_socket(static_cast<std::intptr_t>(state->acceptor.native_handle()));
    state->acceptor.bind(endpoint, ec);
  }
  if (!ec) state->acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (!ec) state->port = state->acceptor.local_endpoint(ec).port();
  if (ec) return std::unexpected(bind_error_text(ec, where, settings.host, settings.port));

  state->accept();
  try {
    state->thread = std::thread([raw = state.get()] {
      // A handler that throws (memory exhausted) costs its connection, not the server.
      while (true) {
        try {
          raw->io.run();
          return;
        } catch (...) {
        }
      }
    });
  } catch (const std::system_error& error) {
    return std::unexpected("cannot serve on " + where + ": no thread for the server (" +
                           error.what() + ")");
  }
  return WebServer(std::move(state));
}

std::uint16_t web_server_port(const WebServer& server) {
  return server.state ? server.state->port : std::uint16_t{0};
}

bool publish_web_document(WebServer& server, std::string_view path, std::string text) {
  WebServerState* state = server.state.get();
  if (state == nullptr) return false;
  auto shared = std::make_shared<const std::string>(std::move(text));
  {
    const std::lock_guard lock(state->documents_lock);
    const auto found = state->documents.find(path);
    if (found == state->documents.end()) return false;
    found->second.text.swap(shared);
    ++found->second.version;
  }
  // The old text, if no request holds it any more, is freed here, outside the lock.
  shared.reset();
  if (path == state->events_document && !state->push_pending.exchange(true)) {
    net::post(state->io, [state] { state->push_streams(); });
  }
  return true;
}

std::size_t web_server_connections(const WebServer& server) {
  return server.state ? server.state->open_connections.load() : 0;
}

void stop_web_server(WebServer& server) { server.state.reset(); }

}  // namespace kelp
