// What the front's workers run: cpp-httplib's request handling over a
// request that has arrived whole, and the routes it serves (the web console,
// the OpenAPI document, the host's records under /kivhost/, the API
// description, and everything else dispatched to the plugins and peers).
#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <string_view>

#include "http_text.h"

namespace kivhost {

class Host;

// The connection a request came on, as the handlers may ask for it.
struct Peer {
  std::string remoteIp, localIp;
  int remotePort = 0, localPort = 0;
};

// A whole request as the front read it.
struct WholeRequest {
  std::string method, target, version;
  Headers headers;  // names as sent; no Content-Length, Transfer-Encoding or Expect
  std::string body;
  bool framed = false;  // it stated a body, by length or in chunks
};

// The request as httplib reads it: the head as parsed, with the body whole
// and its length stated, and nothing httplib would answer on its own
// (100-continue).
[[nodiscard]] std::string RequestText(const WholeRequest& r);

class Handlers final : public httplib::Server {
 public:
  // Answers one whole request held in memory: the handlers never touch a
  // socket, so no client can make one wait. Returns the answer's bytes;
  // `close` tells whether the connection ends after it.
  [[nodiscard]] std::string Process(std::string_view request, bool closeAfter, const Peer& peer, bool* close);

  // The same for a request that goes to the plugins or the simulated peers,
  // without httplib reading its text again and writing the answer through
  // its streams, which cost about as much as a plugin call: the answer's
  // bytes are the ones Process would give. False, with nothing done, for a
  // request that needs more of httplib (the host's own pages, HEAD, ranges,
  // compression, forms, escapes in the path or a header, overlong lines).
  [[nodiscard]] bool Direct(const WholeRequest& r, bool closeAfter, std::string* out, bool* close);

  using Dispatcher = std::function<void(const httplib::Request&, httplib::Response&)>;
  void SetDispatcher(Dispatcher dispatch) { dispatch_ = std::move(dispatch); }
  // What Keep-Alive says: the same settings httplib is given.
  void SetKeepAlive(time_t seconds, size_t maxCount) {
    set_keep_alive_timeout(seconds);
    set_keep_alive_max_count(maxCount);
    keepAlive_ = "timeout=" + std::to_string(seconds) + ", max=" + std::to_string(maxCount);
  }

 private:
  Dispatcher dispatch_;
  std::string keepAlive_ = "timeout=5, max=5";
};

// Installs the host's routes and its JSON error answers.
void AddRoutes(Handlers& s, Host& host);

}  // namespace kivhost
