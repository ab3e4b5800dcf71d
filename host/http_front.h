// The host's HTTP front on the loopback interface: plugin endpoints and the
// peers' paths, the event stream (GET /events, server-sent events), the API
// description (GET /api) and the host's records under /kivhost/.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kivhost {

class Host;
struct RecordedEvent;

class HttpFront {
 public:
  explicit HttpFront(Host& host, size_t threads = 32);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds the address; port 0 takes a free one. Returns the port, or -1.
  int Bind(const std::string& address, int port);
  // Serves until Stop(); returns false when the server failed.
  bool Serve();
  // Serves on a thread of its own.
  void Start();
  // Ends event streams and the server, and waits for the serving thread.
  void Stop();
  int port() const { return port_; }
  size_t listeners() const;

 private:
  struct Listener {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> queue;
    std::string filter;  // event name, or empty for every event
    size_t dropped = 0;
  };
  void Route();
  void Broadcast(const RecordedEvent& e);

  Host& host_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  int port_ = -1;
  int observer_ = 0;
  mutable std::mutex listenersMutex_;
  std::vector<std::shared_ptr<Listener>> listeners_;
};

}  // namespace kivhost
