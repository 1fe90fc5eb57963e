#include "web/web_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "modes/board_server.h"
#include "platform/network_addresses.h"
#include "tcp_client.h"
#include "web/embedded_pages.h"
#include "web/web_rules.h"

namespace kelp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto DEADLINE = 30s;  // generous: the machines that run this are small and busy
const std::string JSON = "application/json; charset=utf-8";

WebServerSettings settings_for_tests() {
  WebServerSettings settings;
  settings.documents = {{"/board.json", JSON, R"({"v":0})"}, {"/results.json", JSON, "{}"}};
  settings.events_document = "/board.json";
  return settings;
}

WebServer started(const WebServerSettings& settings) {
  auto server = start_web_server(settings);
  if (!server) throw std::runtime_error(server.error());
  return std::move(*server);
}

TcpClient connected(const WebServer& server, int receive_buffer = 0) {
  auto client = TcpClient::connect_local(web_server_port(server), receive_buffer);
  if (!client) throw std::runtime_error("cannot connect to the server");
  return std::move(*client);
}

template <class Condition>
bool eventually(Condition condition) {
  for (const auto end = Clock::now() + DEADLINE; Clock::now() < end;) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// A client that reads HTTP answers and events off one connection.
struct Peer {
  explicit Peer(TcpClient connection) : client(std::move(connection)) {}
  TcpClient client;
  std::string pending;
  bool closed = false;

  void read_some() {
    auto received = client.receive(50ms);
    pending += received.bytes;
    closed = closed || received.closed;
  }
  // Reads until `pending` holds `needle` or the connection ends; false if neither in time.
  bool read_until(std::string_view needle) {
    for (const auto end = Clock::now() + DEADLINE; Clock::now() < end; read_some()) {
      if (pending.find(needle) != std::string::npos) return true;
      if (closed) return false;
    }
    return false;
  }
  bool wait_closed() {
    for (const auto end = Clock::now() + DEADLINE; !closed && Clock::now() < end;) read_some();
    return closed;
  }
};

struct Response {
  int status = 0;
  std::string head;
  std::string body;
  std::string field(std::string_view name) const {
    const auto at = head.find("\r\n" + std::string(name) + ": ");
    if (at == std::string::npos) return "(none)";
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

Response read_response(Peer& peer, bool head_request = false) {
  Response response;
  if (!peer.read_until("\r\n\r\n")) return response;
  const auto head_end = peer.pending.find("\r\n\r\n") + 4;
  response.head = peer.pending.substr(0, head_end);
  response.status = std::stoi(response.head.substr(9, 3));
  const std::string length = response.field("Content-Length");
  const std::size_t size = head_request || length == "(none)" ? 0 : std::stoul(length);
  for (const auto end = Clock::now() + DEADLINE;
       peer.pending.size() < head_end + size && !peer.closed && Clock::now() < end;) {
    peer.read_some();
  }
  response.body = peer.pending.substr(head_end, size);
  peer.pending.erase(0, head_end + size);
  return response;
}

// One request, on `peer`'s connection or a new one.
Response request(const WebServer& server, std::string_view text, Peer* peer = nullptr) {
  std::optional<Peer> own;
  if (peer == nullptr) peer = &own.emplace(Peer{connected(server)});
  peer->client.send_all(text);
  return read_response(*peer, text.starts_with("HEAD"));
}

std::string start_error(const WebServerSettings& settings) {
  auto server = start_web_server(settings);
  return server ? "(started)" : server.error();
}

std::string get(std::string_view target) {
  return "GET " + std::string(target) + " HTTP/1.1\r\nHost: test\r\n\r\n";
}

struct Event {
  std::uint64_t id = 0;
  std::string data;
};

// The next event of a stream (comments are counted, not returned); id 0 if none came in time.
Event next_event(Peer& peer, int* comments = nullptr) {
  while (peer.read_until("\n\n")) {
    const auto end = peer.pending.find("\n\n");
    const std::string block = peer.pending.substr(0, end + 1);
    peer.pending.erase(0, end + 2);
    Event event;
    std::vector<std::string> data;
    for (std::size_t at = 0; at < block.size();) {
      const auto line_end = block.find('\n', at);
      const std::string line = block.substr(at, line_end - at);
      at = line_end + 1;
      if (line.starts_with("id: ")) event.id = std::stoull(line.substr(4));
      if (line.starts_with("data: ")) data.push_back(line.substr(6));
      if (line.starts_with(":") && comments) ++*comments;
    }
    for (std::size_t i = 0; i < data.size(); ++i) event.data += (i ? "\n" : "") + data[i];
    if (!data.empty()) return event;
  }
  return {};
}

Peer open_stream(const WebServer& server, int receive_buffer = 0) {
  Peer peer{connected(server, receive_buffer)};
  peer.client.send_all(get("/events"));
  return peer;
}

TEST(WebRules, EventsPathsAndTypes) {
  EXPECT_EQ(sse_event(R"({"a":1})", 7), "id: 7\ndata: {\"a\":1}\n\n");
  EXPECT_EQ(sse_event("a\nb\r\nc\rd", 1), "id: 1\ndata: a\ndata: b\ndata: c\ndata: d\n\n");
  EXPECT_EQ(sse_event("a\n", 2), "id: 2\ndata: a\ndata: \n\n");  // data "a\n" as sent
  EXPECT_EQ(sse_event("", 3), "id: 3\ndata: \n\n");
  EXPECT_EQ(request_path("/?lanes=6"), "/");
  EXPECT_EQ(request_path("/overlay?lanes=8#x"), "/overlay");
  EXPECT_EQ(request_path("/board.json"), "/board.json");
  EXPECT_EQ(request_path("http://meet:8080/board.json?x"), "/board.json");
  EXPECT_EQ(request_path("http://meet:8080"), "/");
  EXPECT_EQ(content_type_for("board.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(content_type_for("favicon.svg"), "image/svg+xml; charset=utf-8");
  EXPECT_EQ(content_type_for("font.woff2"), "font/woff2");
  EXPECT_EQ(content_type_for(".html"), "application/octet-stream");
  EXPECT_EQ(content_type_for("README"), "application/octet-stream");
}

TEST(WebServer, ServesPagesDocumentsAndKeepsConnectionsAlive) {
  WebServerSettings settings = settings_for_tests();
  settings.resources = {{"/extra.txt", "text/plain; charset=utf-8", "extra"}};
  WebServer server = started(settings);
  ASSERT_NE(web_server_port(server), 0);
  std::string index;
  for (const auto& page : embedded_pages()) {
    if (page.name == "index.html") index = page.bytes;
  }
  ASSERT_FALSE(index.empty());

  Peer peer{connected(server)};
  const Response page = request(server, get("/?lanes=6"), &peer);
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, index);
  EXPECT_EQ(page.field("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page.field("Cache-Control"), "no-cache");
  EXPECT_EQ(page.field("X-Content-Type-Options"), "nosniff");
  EXPECT_TRUE(page.field("Content-Security-Policy").starts_with("default-src 'self'"));
  // Two requests in one write on the same connection, each answered in turn.
  ASSERT_TRUE(publish_web_document(server, "/results.json", R"({"races":[]})"));
  EXPECT_FALSE(publish_web_document(server, "/other.json", "{}"));
  peer.client.send_all("HEAD /results.json HTTP/1.1\r\n\r\n" + get("/results.json"));
  const Response head = read_response(peer, true);
  EXPECT_EQ(head.field("Content-Length"), "12");
  const Response document = read_response(peer);
  EXPECT_EQ(document.body, R"({"races":[]})");
  EXPECT_EQ(document.field("Cache-Control"), "no-store");
  EXPECT_EQ(request(server, get("/extra.txt"), &peer).body, "extra");
  EXPECT_FALSE(peer.closed);

  EXPECT_EQ(request(server, get("/overlay?lanes=8")).field("Content-Type"),
            "text/html; charset=utf-8");
  EXPECT_EQ(request(server, get("/favicon.svg")).field("Content-Type"),
            "image/svg+xml; charset=utf-8");
  EXPECT_EQ(request(server, get("/index.html")).body, index);
  // HTTP/1.0 without keep-alive: answered, then closed.
  Peer old{connected(server)};
  EXPECT_EQ(request(server, "GET /board.json HTTP/1.0\r\n\r\n", &old).body, R"({"v":0})");
  EXPECT_TRUE(old.wait_closed());
}

TEST(WebServer, BadRequestsGetAClearAnswerAndCostNothingElse) {
  struct Case {
    std::string request;
    int status;
    bool closed;
  };
  const std::string big(9000, 'x');
  const std::vector<Case> cases = {
      {"POST /board.json HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 405, true},
      {"DELETE / HTTP/1.1\r\n\r\n", 405, true},
      {get("/nothing"), 404, false},
      {get("/../CMakeLists.txt"), 404, false},
      {get("/pages/index.html"), 404, false},
      {"GET ../README.md HTTP/1.1\r\n\r\n", 404, false},
      {get("/" + big), 431, true},
      {"GET / HTTP/1.1\r\nX-Big: " + big + "\r\n\r\n", 431, true},
      {"HELLO\r\n\r\n", 400, true},
      {"GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 400, true},
  };
  WebServer server = started(settings_for_tests());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    Peer peer{connected(server)};
    const Response response = request(server, c.request, &peer);
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.field("Content-Type"), "text/plain; charset=utf-8");
    if (c.status == 405) {
      EXPECT_EQ(response.field("Allow"), "GET, HEAD");
    }
    if (c.closed) {
      EXPECT_TRUE(peer.wait_closed());
    } else {
      EXPECT_EQ(request(server, get("/board.json"), &peer).status, 200);
    }
    EXPECT_EQ(request(server, get("/board.json")).body, R"({"v":0})");
  }
}

TEST(WebServer, ConnectionsThatSendNoWholeRequestAreClosed) {
  WebServerSettings settings = settings_for_tests();
  settings.request_timeout = 1s;  // short for the test; long enough for a busy machine
  WebServer server = started(settings);
  Peer silent{connected(server)};
  Peer partial{connected(server)};
  partial.client.send_all("GET / HTTP/1.1\r\nHost:");
  Peer idle_after_answer{connected(server)};
  EXPECT_EQ(request(server, get("/board.json"), &idle_after_answer).status, 200);
  EXPECT_TRUE(silent.wait_closed());
  EXPECT_TRUE(partial.wait_closed());
  EXPECT_TRUE(idle_after_answer.wait_closed());
  EXPECT_TRUE(eventually([&] { return web_server_connections(server) == 0; }));
}

TEST(WebServer, ConnectionsBeyondTheLimitAreRefusedWhileTheOthersWork) {
  WebServer server = started(settings_for_tests());
  std::vector<Peer> open;
  for (int i = 0; i < 64; ++i) open.push_back(Peer{connected(server)});
  ASSERT_TRUE(eventually([&] { return web_server_connections(server) == 64; }));
  Peer refused{connected(server)};
  EXPECT_TRUE(refused.wait_closed());
  EXPECT_TRUE(refused.pending.empty() || refused.pending.starts_with("HTTP/1.1 503 "));
  EXPECT_EQ(request(server, get("/board.json"), &open.front()).status, 200);
  open.pop_back();
  ASSERT_TRUE(eventually([&] { return web_server_connections(server) == 63; }));
  EXPECT_EQ(request(server, get("/board.json")).status, 200);
}

TEST(WebServer, StartErrorsNameTheAddressAndTheReason) {
  WebServer first = started(settings_for_tests());
  const std::uint16_t port = web_server_port(first);
  WebServerSettings settings = settings_for_tests();
  settings.port = port;
  const std::string where = "cannot serve on 127.0.0.1:" + std::to_string(port) + ": ";
  EXPECT_EQ(start_error(settings), where + "the port is in use by another program");
  // A documentation address that is not one of this machine's (test machines use some).
  for (const std::string foreign : {"203.0.113.77", "198.51.100.77", "192.0.2.77"}) {
    const auto local = network_addresses();
    if (std::any_of(local.begin(), local.end(), [&](auto& a) { return a.address == foreign; })) {
      continue;
    }
    settings.host = foreign;
    EXPECT_EQ(start_error(settings), "cannot serve on " + foreign + ":" + std::to_string(port) +
                                         ": " + foreign + " is not an address of this machine");
    break;
  }
  settings.host = "scoreboard";
  EXPECT_TRUE(
      start_error(settings).ends_with("'scoreboard' is not an IP address "
                                      "(give one of this machine, 127.0.0.1 "
                                      "for this computer only, or 0.0.0.0 "
                                      "for every network)"));
  // Stopped while a client is still connected (the server's side of it then waits out its
  // closing), the port can be had again at once.
  Peer client{connected(first)};
  EXPECT_EQ(request(first, get("/board.json"), &client).status, 200);
  stop_web_server(first);
  EXPECT_TRUE(client.wait_closed());
  EXPECT_FALSE(publish_web_document(first, "/board.json", "{}"));
  settings.host = "localhost";
  EXPECT_EQ(start_error(settings), "(started)");
}

TEST(WebServerEvents, CurrentVersionAtOnceThenOneEventPerVersion) {
  WebServerSettings settings = settings_for_tests();
  settings.keep_alive_interval = 200ms;
  WebServer server = started(settings);
  ASSERT_TRUE(publish_web_document(server, "/board.json", R"({"v":1})"));
  Peer stream = open_stream(server);
  const Response head = read_response(stream, true);
  EXPECT_EQ(head.field("Content-Type"), "text/event-stream; charset=utf-8");
  EXPECT_EQ(head.field("Cache-Control"), "no-store");
  const Event first = next_event(stream);
  EXPECT_EQ(first.data, R"({"v":1})");
  for (const std::string text : {R"({"v":2})", "line one\r\nline two", R"({"v":4})"}) {
    publish_web_document(server, "/results.json", "{}");  // not the stream's document
    publish_web_document(server, "/board.json", text);
    const Event event = next_event(stream);
    EXPECT_EQ(event.data, text == "line one\r\nline two" ? "line one\nline two" : text);
    EXPECT_GT(event.id, first.id);
  }
  int comments = 0;  // nothing published: only keep-alive comments, no event
  const auto quiet_until = Clock::now() + 1s;
  while (Clock::now() < quiet_until) stream.read_some();
  EXPECT_EQ(stream.pending.find("data:"), std::string::npos);
  publish_web_document(server, "/board.json", "last");
  EXPECT_EQ(next_event(stream, &comments).data, "last");
  EXPECT_GT(comments, 0);
}

TEST(WebServerEvents, SlowReaderSkipsVersionsAndNeverGetsAHalfOne) {
  WebServer server = started(settings_for_tests());
  Peer slow = open_stream(server, 4096);
  read_response(slow, true);
  EXPECT_EQ(next_event(slow).data, R"({"v":0})");
  std::vector<std::string> texts;  // version n+2 is texts[n]
  for (int n = 0; n < 200; ++n) {
    texts.push_back(std::to_string(n) + ":" +
                    std::string(64 * 1024, static_cast<char>('a' + n % 26)));
    publish_web_document(server, "/board.json", texts.back());
  }
  std::uint64_t last_id = 1;
  int events = 0;
  while (last_id < 201) {
    const Event event = next_event(slow);
    ASSERT_GT(event.id, last_id) << "no newer event in time";
    EXPECT_TRUE(event.data == texts[event.id - 2]) << "event " << event.id << " is not its version";
    last_id = event.id;
    ++events;
  }
  EXPECT_LT(events, 200);  // the socket buffers cannot hold all 13 MB
}

TEST(WebServerEvents, ClientsThatNeverReadAreDroppedAndNeverStallPublish) {
  WebServerSettings settings = settings_for_tests();
  settings.write_timeout = 2s;
  WebServer server = started(settings);
  std::vector<Peer> stalled;
  for (int i = 0; i < 40; ++i) stalled.push_back(open_stream(server, 4096));
  Peer reader = open_stream(server);
  ASSERT_TRUE(eventually([&] { return web_server_connections(server) == 41; }));
  auto slowest_publish = Clock::duration::zero();
  const std::string padding(16 * 1024, 'x');
  for (auto [n, end] = std::pair(0, Clock::now() + DEADLINE);
       web_server_connections(server) > 1 && Clock::now() < end; ++n) {
    const auto before = Clock::now();
    publish_web_document(server, "/board.json", std::to_string(n) + padding);
    slowest_publish = std::max(slowest_publish, Clock::now() - before);
    reader.pending.clear();  // keep reading, as a browser does
    reader.read_some();
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(web_server_connections(server), 1u);
  EXPECT_LT(slowest_publish, 1s);
  publish_web_document(server, "/board.json", "after the drops");
  reader.pending.clear();
  EXPECT_TRUE(reader.read_until("data: after the drops\n\n"));
}

TEST(NetworkAddresses, UsableAddressesOnlyEachOnceIpv4First) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes v6_global = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  Bytes v6_link_local = v6_global, v6_loopback(16, 0), v4_mapped(16, 0);
  v6_link_local[0] = 0xfe, v6_link_local[1] = 0x80, v6_loopback[15] = 1;
  v4_mapped[10] = v4_mapped[11] = 0xff, v4_mapped[12] = 10;
  for (const Bytes& usable : {Bytes{192, 168, 1, 20}, Bytes{10, 0, 0, 2}, v6_global}) {
    EXPECT_TRUE(usable_network_address(usable));
  }
  for (const Bytes& unusable : {Bytes{127, 0, 0, 1}, Bytes{169, 254, 3, 4}, Bytes{0, 0, 0, 0},
                                v6_link_local, v6_loopback, Bytes(16, 0), v4_mapped, Bytes{1}}) {
    EXPECT_FALSE(usable_network_address(unusable));
  }
  const auto ordered = ordered_network_addresses(
      {{"2001:db8::5", true}, {"10.0.0.2", false}, {"2001:db8::5", true}, {"10.0.0.3", false}});
  ASSERT_EQ(ordered.size(), 3u);
  EXPECT_EQ(ordered[0].address, "10.0.0.2");
  EXPECT_EQ(ordered[2].address, "2001:db8::5");
  for (const auto& found : network_addresses()) EXPECT_NE(found.address, "127.0.0.1");
}

// The banner says where to open the pages: on every interface, at the addresses others can open.
TEST(BoardServer, BannerNamesThePagesWhereOthersCanOpenThem) {
  EXPECT_EQ(board_server_banner(ServeAddress{"127.0.0.1", 8080}, 8080, {}),
            "Board:    http://127.0.0.1:8080/\n"
            "Overlay:  http://127.0.0.1:8080/overlay\n"
            "JSON:     http://127.0.0.1:8080/board.json\n");
  const std::vector<NetworkAddress> network{{"192.168.1.20", false}, {"2001:db8::5", true}};
  EXPECT_EQ(board_server_banner(ServeAddress{"0.0.0.0", 80}, 80, network),
            "Board:    http://192.168.1.20:80/\n"
            "Overlay:  http://192.168.1.20:80/overlay\n"
            "JSON:     http://192.168.1.20:80/board.json\n"
            "Also:     http://[2001:db8::5]:80/\n");
  EXPECT_EQ(board_server_banner(ServeAddress{"0.0.0.0", 80}, 80, {}).substr(0, 34),
            "Board:    http://127.0.0.1:80/\nOve");
  EXPECT_EQ(board_server_banner(ServeAddress{"::1", 81}, 81, {}).substr(0, 27),
            "Board:    http://[::1]:81/\n");
}

}  // namespace
}  // namespace kelp
