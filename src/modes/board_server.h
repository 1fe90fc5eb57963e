// The server of `decode --serve`: the board's pages, "/board.json" (whose every version the event
// stream "/events" carries), "/results.json" (every race so far), and the lines of the banner
// that say where to open them.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "modes/modes.h"
#include "platform/network_addresses.h"
#include "web/web_server.h"

namespace kelp {

// Binds the address, or gives the error line to print ("ERROR: cannot serve on ...\n").
std::expected<WebServer, std::string> start_board_server(const ServeAddress& address);

// "Board:    http://127.0.0.1:8080/", "Overlay:  .../overlay", "JSON:     .../board.json", each
// with its LF. An address of every interface (0.0.0.0, ::) is shown as the addresses by which
// others on the network can open the pages (`network`: the first for the three lines, the others
// on an "Also:" line each), or as this computer's own when the machine has none.
std::string board_server_banner(const ServeAddress& address, std::uint16_t port,
                                const std::vector<NetworkAddress>& network);

}  // namespace kelp
