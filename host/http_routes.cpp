#include "http_routes.h"

#include <algorithm>
#include <cstring>

#include "console_files.h"
#include "host.h"
#include "http_text.h"
#include "openapi.h"
#include "peers.h"

namespace kivhost {
namespace {

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  if (status == 204 || status == 304) return;
  res.set_content(DumpJson(body), "application/json");
}

// The console may run nothing but its own files and talk to nothing but
// this host, and no other page may frame it to borrow its clicks.
void SendConsoleFile(httplib::Response& res, const std::string& name) {
  const EmbeddedFile* file = FindConsoleFile(name);
  if (file == nullptr) return SendJson(res, 404, json{{"error", "The console has no file '" + name + "'"}});
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
                 "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", "no-cache");
  res.set_content(std::string(file->bytes), std::string(file->type));
}

uint64_t SinceParam(const httplib::Request& req) {
  if (!req.has_param("since")) return 0;
  const std::string text = req.get_param_value("since");
  if (text.empty() || text.size() > 19) return 0;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; })) return 0;
  return std::stoull(text);
}

bool HopByHop(std::string name) {
  ToLowerAscii(&name);
  return name == "content-length" || name == "content-type" || name == "transfer-encoding" || name == "connection" ||
         name == "keep-alive";
}

// One whole request in memory and its answer.
class MemoryStream final : public httplib::Stream {
 public:
  MemoryStream(std::string_view in, std::string* out, const Peer& peer) : in_(in), out_(out), peer_(peer) {}
  bool is_readable() const override { return pos_ < in_.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, in_.size() - pos_);
    std::memcpy(ptr, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    out_->append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = peer_.remoteIp;
    port = peer_.remotePort;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = peer_.localIp;
    port = peer_.localPort;
  }
  // No socket: httplib compares it with FD_SETSIZE and must not find a large one.
  socket_t socket() const override { return INVALID_SOCKET; }

 private:
  std::string_view in_;
  size_t pos_ = 0;
  std::string* out_;
  const Peer& peer_;
};

}  // namespace

std::string Handlers::Process(std::string_view request, bool closeAfter, const Peer& peer, bool* close) {
  std::string out;
  MemoryStream stream(request, &out, peer);
  bool closed = false;
  const bool ok = process_request(stream, closeAfter, closed, nullptr);
  *close = closeAfter || closed || !ok;
  return out;
}

void AddRoutes(httplib::Server& s, Host& host) {
  s.Get("/", [](const httplib::Request&, httplib::Response& res) { SendConsoleFile(res, "index.html"); });
  s.Get(R"(/kivhost/console/([A-Za-z0-9_.-]+))",
        [](const httplib::Request& req, httplib::Response& res) { SendConsoleFile(res, req.matches[1].str()); });
  s.Get("/openapi.json", [&host](const httplib::Request& req, httplib::Response& res) {
    // The Host header passed the front's checks: it names this host.
    const std::string authority = req.get_header_value("Host");
    SendJson(res, 200, OpenApiDocument(host.DescribeApi(), authority.empty() ? "" : "http://" + authority));
  });
  s.Get("/api", [&host](const httplib::Request&, httplib::Response& res) {
    json api = host.DescribeApi();
    api["subscriptions"] = host.Subscriptions();
    SendJson(res, 200, api);
  });
  s.Get("/kivhost/requests", [&host](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& r : host.Requests(SinceParam(req))) out.push_back(r.ToJson());
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/events", [&host](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& e : host.Events(SinceParam(req))) out.push_back(e.ToJson());
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/log", [&host](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& l : host.Logs(SinceParam(req))) {
      out.push_back({{"seq", l.seq}, {"time", l.time}, {"plugin", l.plugin}, {"level", l.level}, {"text", l.text}});
    }
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/peers", [&host](const httplib::Request&, httplib::Response& res) {
    if (host.peers() == nullptr) return SendJson(res, 404, json{{"error", "The peers are not simulated"}});
    SendJson(res, 200, host.peers()->State());
  });

  auto dispatch = [&host](const httplib::Request& req, httplib::Response& res) {
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
    Answer answer = host.Dispatch(call);
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
  // request without a body needs nothing httplib does after pre-routing, so
  // it is dispatched here; the host's own GET paths and bodies go the regular
  // way. Requests arrive whole and with any chunked body already decoded, so
  // no Content-Length means no body.
  s.set_pre_routing_handler([dispatch](const httplib::Request& req, httplib::Response& res) {
    using Outcome = httplib::Server::HandlerResponse;
    const std::string& m = req.method;
    const bool get = m == "GET" || m == "HEAD";
    if (!get && m != "POST" && m != "PUT" && m != "PATCH" && m != "DELETE" && m != "OPTIONS") return Outcome::Unhandled;
    if (get &&
        (req.path == "/" || req.path == "/api" || req.path == "/openapi.json" || req.path.rfind("/kivhost/", 0) == 0)) {
      return Outcome::Unhandled;
    }
    if (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0") return Outcome::Unhandled;
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

}  // namespace kivhost
