#include "modes/board_server.h"

#include "web/embedded_pages.h"

namespace kelp {
namespace {

constexpr std::string_view JSON_TYPE = "application/json; charset=utf-8";

// Browsers ask for /favicon.ico whatever a page names: the same icon, so that nothing fails.
std::vector<WebResource> icon_resources() {
  for (const EmbeddedFile& file : embedded_pages()) {
    if (file.name == "favicon.svg") {
      return {WebResource{"/favicon.ico", "image/svg+xml", std::string(file.bytes)}};
    }
  }
  return {};
}

bool every_interface(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

std::string url_host(const std::string& host, bool ipv6) {
  return ipv6 || host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::expected<WebServer, std::string> start_board_server(const ServeAddress& address) {
  WebServerSettings settings;
  settings.host = address.host;
  settings.port = address.port;
  settings.resources = icon_resources();
  settings.documents = {WebResource{"/board.json", std::string(JSON_TYPE), "{}"},
                        WebResource{"/results.json", std::string(JSON_TYPE), "{\"races\":[]}"}};
  settings.events_document = "/board.json";
  auto server = start_web_server(settings);
  if (!server) return std::unexpected("ERROR: " + server.error() + "\n");
  return server;
}

std::string board_server_banner(const ServeAddress& address, std::uint16_t port,
                                const std::vector<NetworkAddress>& network) {
  std::vector<std::string> hosts;
  if (!every_interface(address.host)) {
    hosts.push_back(url_host(address.host, false));
  } else {
    for (const NetworkAddress& found : network) hosts.push_back(url_host(found.address, found.ipv6));
    if (hosts.empty()) hosts.push_back(address.host == "::" ? "[::1]" : "127.0.0.1");
  }
  const auto base = [port](const std::string& host) {
    return "http://" + host + ":" + std::to_string(port) + "/";
  };
  std::string text = "Board:    " + base(hosts[0]) + "\n";
  text += "Overlay:  " + base(hosts[0]) + "overlay\n";
  text += "JSON:     " + base(hosts[0]) + "board.json\n";
  for (std::size_t i = 1; i < hosts.size(); ++i) text += "Also:     " + base(hosts[i]) + "\n";
  return text;
}

}  // namespace kelp
