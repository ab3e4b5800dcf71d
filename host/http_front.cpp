#include "http_front.h"

#include <httplib.h>

#include <algorithm>

#include "host.h"
#include "peers.h"

namespace kivhost {
namespace {

constexpr size_t kMaxQueuedEvents = 10000;
constexpr size_t kMaxBody = 16u << 20;

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  if (status == 204 || status == 304) return;
  res.set_content(DumpJson(body), "application/json");
}

uint64_t SinceParam(const httplib::Request& req) {
  if (!req.has_param("since")) return 0;
  const std::string text = req.get_param_value("since");
  if (text.empty() || text.size() > 19) return 0;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; })) return 0;
  return std::stoull(text);
}

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return status < 500 ? "Client Error" : "Server Error";
  }
}

void ToLowerAscii(std::string* text) {
  for (char& c : *text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

bool HopByHop(std::string name) {
  ToLowerAscii(&name);
  return name == "content-length" || name == "content-type" || name == "transfer-encoding" || name == "connection" ||
         name == "keep-alive";
}

}  // namespace

HttpFront::HttpFront(Host& host, size_t threads) : host_(host), server_(std::make_unique<httplib::Server>()) {
  const size_t poolSize = std::max<size_t>(threads, 4);
  server_->new_task_queue = [poolSize] { return new httplib::ThreadPool(poolSize); };
  server_->set_keep_alive_max_count(1000000);
  server_->set_keep_alive_timeout(2);
  server_->set_tcp_nodelay(true);
  server_->set_payload_max_length(kMaxBody);
  Route();
  observer_ = host_.Observe([this](const RecordedEvent& e) { Broadcast(e); });
}

HttpFront::~HttpFront() {
  Stop();
  host_.Unobserve(observer_);
}

size_t HttpFront::listeners() const {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  return listeners_.size();
}

void HttpFront::Broadcast(const RecordedEvent& e) {
  // Rendering an event costs more than publishing it; with nobody listening
  // (the common case under load) it is skipped altogether.
  std::vector<std::shared_ptr<Listener>> targets;
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (const auto& l : listeners_) {
      if (l->filter.empty() || l->filter == e.name) targets.push_back(l);
    }
  }
  if (targets.empty()) return;
  const std::string text = "id: " + std::to_string(e.seq) + "\ndata: " + DumpJson(e.ToJson()) + "\n\n";
  for (const auto& l : targets) {
    std::lock_guard<std::mutex> ll(l->mutex);
    l->queue.push_back(text);
    // A client that does not read loses its oldest events, not the host's memory.
    while (l->queue.size() > kMaxQueuedEvents) {
      l->queue.pop_front();
      ++l->dropped;
    }
    l->cv.notify_one();
  }
}

void HttpFront::Route() {
  httplib::Server& s = *server_;

  s.Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
    auto listener = std::make_shared<Listener>();
    listener->filter = req.get_param_value("name");
    listener->queue.push_back(": connected\n\n");
    {
      std::lock_guard<std::mutex> lock(listenersMutex_);
      listeners_.push_back(listener);
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, listener](size_t, httplib::DataSink& sink) {
          std::string out;
          {
            std::unique_lock<std::mutex> lock(listener->mutex);
            listener->cv.wait_for(lock, std::chrono::seconds(1),
                                  [&] { return !listener->queue.empty() || stopping_.load(); });
            if (stopping_.load()) {
              lock.unlock();
              sink.done();
              return true;
            }
            if (listener->dropped != 0) {
              out += ": " + std::to_string(listener->dropped) + " events dropped\n\n";
              listener->dropped = 0;
            }
            while (!listener->queue.empty()) {
              out += listener->queue.front();
              listener->queue.pop_front();
            }
          }
          // The keep-alive comment also finds clients that went away.
          if (out.empty()) out = ": keep-alive\n\n";
          return sink.write(out.data(), out.size());
        },
        [this, listener](bool) {
          std::lock_guard<std::mutex> lock(listenersMutex_);
          listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
        });
  });

  s.Get("/api", [this](const httplib::Request&, httplib::Response& res) {
    json api = host_.DescribeApi();
    api["subscriptions"] = host_.Subscriptions();
    SendJson(res, 200, api);
  });
  s.Get("/kivhost/requests", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& r : host_.Requests(SinceParam(req))) out.push_back(r.ToJson());
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/events", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& e : host_.Events(SinceParam(req))) out.push_back(e.ToJson());
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/log", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& l : host_.Logs(SinceParam(req))) {
      out.push_back({{"seq", l.seq}, {"time", l.time}, {"plugin", l.plugin}, {"level", l.level}, {"text", l.text}});
    }
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/peers", [this](const httplib::Request&, httplib::Response& res) {
    if (host_.peers() == nullptr) return SendJson(res, 404, json{{"error", "The peers are not simulated"}});
    SendJson(res, 200, host_.peers()->State());
  });

  auto dispatch = [this](const httplib::Request& req, httplib::Response& res) {
    Call call;
    call.method = req.method;
    call.url = req.target.empty() ? req.path : req.target;
    for (const auto& [name, value] : req.headers) {
      std::string lower = name;
      ToLowerAscii(&lower);
      // httplib adds these for its own bookkeeping; they are not the client's.
      if (lower == "remote_addr" || lower == "remote_port" || lower == "local_addr" || lower == "local_port") continue;
      call.headers.emplace_back(std::move(lower), value);
    }
    call.contentType = req.get_header_value("Content-Type");
    call.body = req.body;
    Answer answer = host_.Dispatch(call);
    const int status = answer.HttpStatus();
    for (const auto& [name, value] : answer.headers) {
      if (!HopByHop(name)) res.set_header(name, value);
    }
    if (status == 405 && !answer.allowed.empty()) {
      std::string allow;
      for (const auto& m : answer.allowed) allow += (allow.empty() ? "" : ", ") + m;
      res.set_header("Allow", allow);
    }
    SendJson(res, status, answer.HttpBody());
  };
  // The catch-all handlers below cost an expression match per request. A
  // request that certainly has no body needs nothing httplib does after
  // pre-routing, so it is dispatched here. The host's own GET paths and
  // anything that may carry a body go the regular way: bodies are read only
  // after pre-routing, and for a body-taking method without a length httplib
  // may read one up to the end of the connection.
  s.set_pre_routing_handler([dispatch](const httplib::Request& req, httplib::Response& res) {
    using Outcome = httplib::Server::HandlerResponse;
    const std::string& m = req.method;
    const bool get = m == "GET" || m == "HEAD";
    const bool takesBody = m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE";
    if (!get && !takesBody && m != "OPTIONS") return Outcome::Unhandled;
    if (get && (req.path == "/events" || req.path == "/api" || req.path.rfind("/kivhost/", 0) == 0))
      return Outcome::Unhandled;
    if (req.has_header("Transfer-Encoding")) return Outcome::Unhandled;
    if (req.has_header("Content-Length") ? req.get_header_value("Content-Length") != "0" : takesBody)
      return Outcome::Unhandled;
    dispatch(req, res);
    return Outcome::Handled;
  });
  for (const char* pattern : {".*"}) {
    s.Get(pattern, dispatch);
    s.Post(pattern, dispatch);
    s.Put(pattern, dispatch);
    s.Patch(pattern, dispatch);
    s.Delete(pattern, dispatch);
    s.Options(pattern, dispatch);
  }

  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content(DumpJson(json{{"error", StatusText(res.status)}}), "application/json");
    return httplib::Server::HandlerResponse::Handled;
  }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "The host failed";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what += std::string(": ") + e.what();
    } catch (...) {
    }
    res.status = 500;
    res.set_content(DumpJson(json{{"error", what}}), "application/json");
  });
}

int HttpFront::Bind(const std::string& address, int port) {
  if (port == 0) {
    port_ = server_->bind_to_any_port(address);
  } else {
    port_ = server_->bind_to_port(address, port) ? port : -1;
  }
  return port_;
}

bool HttpFront::Serve() { return server_->listen_after_bind(); }

void HttpFront::Start() {
  thread_ = std::thread([this] { Serve(); });
  // Serving starts when the accept loop runs; wait for it so callers can connect.
  for (int i = 0; i < 500 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void HttpFront::Stop() {
  if (stopping_.exchange(true)) {
    if (thread_.joinable()) thread_.join();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (const auto& l : listeners_) {
      std::lock_guard<std::mutex> ll(l->mutex);
      l->cv.notify_all();
    }
  }
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace kivhost
