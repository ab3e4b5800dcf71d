// The host's HTTP front on the loopback interface: plugin endpoints and the
// peers' paths, the event stream (GET /events, server-sent events), the web
// console (GET /), the OpenAPI document (GET /openapi.json), the API
// description (GET /api) and the host's records under /kivhost/.
//
// It is meant to be left running on a developer's desktop, where any web page
// the developer opens can reach it. So it answers only requests that name it
// by its own address (Host) and come from no foreign page (Origin), and no
// client, however many connections it opens or however slowly it talks, can
// keep it from answering the next ordinary request: one thread owns every
// socket and does all reading and writing without blocking, event streams
// included; a request reaches a worker only once it has arrived whole, and
// the worker's answer is sent by the same thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kivhost {

class Host;

struct HttpFrontOptions {
  size_t threads = 8;  // workers that run handlers; no socket ever holds one
  // Host names accepted besides 127.0.0.1, localhost and [::1] (with the
  // served port), for serving another address on purpose.
  std::vector<std::string> allowedHosts;

  size_t maxConnections = 256;  // request connections; the longest idle one makes room for a new one
  size_t maxStreams = 32;       // open event streams; 503 beyond
  size_t maxUrl = 8000;         // request target; 414 beyond
  size_t maxHeaderLine = 8000;  // one header line; 431 beyond
  size_t maxHeaders = 100;      // header lines; 431 beyond
  size_t maxHead = 32 * 1024;   // request line and headers; 431 beyond
  size_t maxBody = 1u << 20;    // 413 beyond
  size_t maxRequestsPerConnection = 100;
  std::chrono::milliseconds keepAlive{5000};        // idle time between requests
  std::chrono::milliseconds requestTimeout{10000};  // first byte to last of one request; 408 beyond
  std::chrono::milliseconds writeTimeout{10000};    // a client that takes nothing for this long is dropped
  std::chrono::milliseconds heartbeat{15000};       // an idle event stream gets a comment this often
  size_t streamBacklog = 1u << 20;                  // bytes queued per stream before the oldest events go
};

class HttpFront {
 public:
  using Options = HttpFrontOptions;

  explicit HttpFront(Host& host, Options options = Options());
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds and listens; port 0 takes a free one. Returns the port, or -1.
  int Bind(const std::string& address, int port);
  // Serves until Stop(); returns false when the front could not serve.
  bool Serve();
  // Serves on a thread of its own.
  void Start();
  // Ends every event stream at once, answers the requests being handled,
  // closes every connection and waits for the serving thread.
  void Stop();
  int port() const;
  size_t listeners() const;  // open event streams

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kivhost
