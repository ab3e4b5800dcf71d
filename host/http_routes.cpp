#include "http_routes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

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

// The methods the catch-all dispatches, and the host's own pages that a GET
// or HEAD of theirs reaches instead.
bool DispatchedMethod(const std::string& m) {
  return m == "GET" || m == "HEAD" || m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE" || m == "OPTIONS";
}
bool HostPage(std::string_view path) {
  return path == "/" || path == "/api" || path == "/openapi.json" || path.rfind("/kivhost/", 0) == 0;
}

// The error handler's answer for an error that has no body yet.
bool FillErrorBody(httplib::Response& res) {
  if (!res.body.empty()) return false;
  res.set_content(DumpJson(json{{"error", StatusText(res.status)}}), "application/json");
  return true;
}

// The answer to a handler that threw.
void FillException(httplib::Response& res, std::exception_ptr ep) {
  std::string what = "The host failed";
  try {
    if (ep) std::rethrow_exception(ep);
  } catch (const std::exception& e) {
    what += std::string(": ") + e.what();
  } catch (...) {
  }
  res.status = 500;
  res.set_content(DumpJson(json{{"error", what}}), "application/json");
}

// httplib's status line of each status a dispatched answer can have
// (Answer::HttpStatus gives 200 to 599), read off httplib itself once.
const std::string& StatusLine(int status) {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> out(600);
    Handlers probe;
    probe.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      res.status = std::atoi(req.path.c_str() + 1);
      return httplib::Server::HandlerResponse::Handled;
    });
    const Peer peer;
    for (int code = 200; code < 600; ++code) {
      bool close = false;
      const std::string answer =
          probe.Process("GET /" + std::to_string(code) + " HTTP/1.1\r\nHost: h\r\n\r\n", true, peer, &close);
      out[code] = answer.substr(0, answer.find("\r\n") + 2);
    }
    return out;
  }();
  static const std::string other = "HTTP/1.1 500 Internal Server Error\r\n";
  return status >= 200 && status < 600 ? lines[status] : other;
}

}  // namespace

std::string RequestText(const WholeRequest& r) {
  std::string text = r.method + " " + r.target + " " + r.version + "\r\n";
  for (const auto& [name, value] : r.headers) text += name + ": " + value + "\r\n";
  if (r.framed) text += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  text += "\r\n";
  text += r.body;
  return text;
}

bool Handlers::Direct(const WholeRequest& r, bool closeAfter, std::string* out, bool* close) {
  // HEAD gets its own headers from httplib.
  if (!dispatch_ || r.method == "HEAD" || !DispatchedMethod(r.method)) return false;
  if ((r.version != "HTTP/1.1" && r.version != "HTTP/1.0") || r.target.empty() || r.target[0] != '/' ||
      r.target.size() >= CPPHTTPLIB_REQUEST_URI_MAX_LENGTH)
    return false;
  // httplib routes by the decoded path; the same pages stay its own.
  const std::string_view path = std::string_view(r.target).substr(0, r.target.find('?'));
  if (path.find('%') != std::string_view::npos) return false;
  if (r.method == "GET" && HostPage(path)) return false;
  httplib::Request req;
  for (const auto& [name, value] : r.headers) {
    // httplib decodes escapes in header values, and refuses long lines.
    if (name.size() + value.size() + 4 >= CPPHTTPLIB_HEADER_MAX_LENGTH || value.find('%') != std::string::npos)
      return false;
    const std::string lower = Lower(name);
    if (lower == "range" || lower == "accept-encoding") return false;
    if (lower == "content-type") {
      const std::string type = Lower(value);
      if (type.find("x-www-form-urlencoded") != std::string::npos || type.find("multipart/") != std::string::npos)
        return false;
    }
    if (!value.empty()) req.headers.emplace(name, value);  // httplib drops a header without a value
  }
  if (r.framed) req.headers.emplace("Content-Length", std::to_string(r.body.size()));
  req.method = r.method;
  req.target = r.target;
  req.path = std::string(path);
  req.version = r.version;
  req.body = r.body;

  httplib::Response res;
  try {
    dispatch_(req, res);
  } catch (...) {
    FillException(res, std::current_exception());  // as httplib's exception handler
  }
  // What httplib does after routing, in its order: the error handler, the
  // length, then the connection's fate and the defaults.
  if (res.status == -1) res.status = 200;
  if (res.status >= 400) FillErrorBody(res);
  if (!res.body.empty()) res.set_header("Content-Length", std::to_string(res.body.size()));
  const std::string connection = req.get_header_value("Connection");
  if (closeAfter || connection == "close") {
    res.set_header("Connection", "close");
  } else {
    res.set_header("Keep-Alive", keepAlive_);
  }
  if (!res.has_header("Content-Type") && !res.body.empty()) res.set_header("Content-Type", "text/plain");
  if (!res.has_header("Content-Length") && res.body.empty()) res.set_header("Content-Length", "0");
  *close = closeAfter || connection == "close" || (r.version == "HTTP/1.0" && connection != "Keep-Alive");

  out->clear();
  out->reserve(128 + res.body.size());
  out->append(StatusLine(res.status));
  for (const auto& [name, value] : res.headers) {
    // Written as C strings, as httplib writes them.
    out->append(name.c_str()).append(": ").append(value.c_str()).append("\r\n");
  }
  out->append("\r\n");
  out->append(res.body);
  return true;
}

std::string Handlers::Process(std::string_view request, bool closeAfter, const Peer& peer, bool* close) {
  std::string out;
  MemoryStream stream(request, &out, peer);
  bool closed = false;
  const bool ok = process_request(stream, closeAfter, closed, nullptr);
  *close = closeAfter || closed || !ok;
  return out;
}

void AddRoutes(Handlers& s, Host& host) {
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
  s.SetDispatcher(dispatch);
  s.set_pre_routing_handler([dispatch](const httplib::Request& req, httplib::Response& res) {
    using Outcome = httplib::Server::HandlerResponse;
    if (!DispatchedMethod(req.method)) return Outcome::Unhandled;
    if ((req.method == "GET" || req.method == "HEAD") && HostPage(req.path)) return Outcome::Unhandled;
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
    return FillErrorBody(res) ? httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
  }));
  s.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) { FillException(res, ep); });
}

}  // namespace kivhost
