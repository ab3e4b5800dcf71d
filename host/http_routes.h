// What the front's workers run: cpp-httplib's request handling over a
// request that has arrived whole, and the routes it serves (the web console,
// the OpenAPI document, the host's records under /kivhost/, the API
// description, and everything else dispatched to the plugins and peers).
#pragma once

#include <httplib.h>

#include <string>
#include <string_view>

namespace kivhost {

class Host;

// The connection a request came on, as the handlers may ask for it.
struct Peer {
  std::string remoteIp, localIp;
  int remotePort = 0, localPort = 0;
};

class Handlers final : public httplib::Server {
 public:
  // Answers one whole request held in memory: the handlers never touch a
  // socket, so no client can make one wait. Returns the answer's bytes;
  // `close` tells whether the connection ends after it.
  [[nodiscard]] std::string Process(std::string_view request, bool closeAfter, const Peer& peer, bool* close);
};

// Installs the host's routes and its JSON error answers.
void AddRoutes(httplib::Server& s, Host& host);

}  // namespace kivhost
