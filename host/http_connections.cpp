// The front's connections on the serving thread: accepting them within the
// limit, reading each request until it is whole and refused or handed to a
// worker (or turned into an event stream), and writing the answers back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "http_front_impl.h"

namespace kivhost {
namespace {

constexpr size_t kMaxAcceptsPerTurn = 64;
constexpr size_t kLingerBytes = 1u << 20;  // dropped while lingering before the connection closes anyway
constexpr std::chrono::milliseconds kAcceptPause{100};

}  // namespace

bool HttpFront::Impl::OwnAuthority(std::string_view text) const {
  std::string name;
  int port = -1;
  if (!SplitAuthority(text, &name, &port)) return false;
  return (port < 0 ? 80 : port) == port_ && ownNames_.count(name) != 0;
}

// Requests that name the host by any other address (a page that rebound its
// own name to 127.0.0.1) or come from any other page than the host's own are
// refused before anything reads them.
bool HttpFront::Impl::CheckHead(const Head& head, Refusal* refusal) const {
  const auto hosts = head.All("host");
  const auto origins = head.All("origin");
  if (hosts.size() > 1) {
    Refuse(refusal, 400, "The request has more than one Host header");
  } else if (hosts.empty() && head.version == "HTTP/1.1") {
    Refuse(refusal, 400, "An HTTP/1.1 request needs a Host header");
  } else if (!hosts.empty() && !OwnAuthority(*hosts[0])) {
    Refuse(refusal, 403,
           "This host answers requests addressed to 127.0.0.1, localhost or [::1] on port " + std::to_string(port_) +
               ", not to '" + *hosts[0] + "'; to serve another name on purpose, start kivhost with --allow-host NAME");
  } else {
    for (const std::string* origin : origins) {
      if (origins.size() > 1 || Lower(*origin).rfind("http://", 0) != 0 ||
          !OwnAuthority(std::string_view(*origin).substr(7))) {
        Refuse(refusal, 403, "Requests from other web pages are refused (Origin '" + *origin + "')");
        break;
      }
    }
  }
  return refusal->status == 0;
}

void HttpFront::Impl::Accept(Clock::time_point now) {
  for (size_t i = 0; i < kMaxAcceptsPerTurn; ++i) {
    sockaddr_storage remote{};
    socklen_t length = sizeof remote;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&remote), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: the pending connections wait in the
      // backlog rather than spin this loop.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        acceptPausedUntil_ = now + kAcceptPause;
      return;
    }
    if (conns_.size() >= o_.maxConnections && !EvictIdle()) {
      const std::string busy =
          ClosingAnswer(503, "Too many connections are open; try again shortly", {{"Retry-After", "1"}});
      (void)!send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd);
      continue;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Conn c;
    c.fd = fd;
    auto describe = [](const sockaddr_storage& a, std::string* ip, int* port) {
      char text[INET6_ADDRSTRLEN] = "";
      if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        *port = ntohs(v6->sin6_port);
      } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        *port = ntohs(v4->sin_port);
      }
      *ip = text;
    };
    describe(remote, &c.peer.remoteIp, &c.peer.remotePort);
    sockaddr_storage local{};
    length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
      describe(local, &c.peer.localIp, &c.peer.localPort);
    c.idleSince = now;
    conns_.emplace(nextId_++, std::move(c));
  }
}

// A connection waiting between requests is the cheapest to give up: its
// client reconnects as keep-alive clients do whenever a server closes.
bool HttpFront::Impl::EvictIdle() {
  auto oldest = conns_.end();
  for (auto it = conns_.begin(); it != conns_.end(); ++it) {
    const Conn& c = it->second;
    if (c.state != State::Reading || c.requestActive || c.outPos < c.out.size()) continue;
    if (oldest == conns_.end() || c.idleSince < oldest->second.idleSince) oldest = it;
  }
  if (oldest == conns_.end()) return false;
  CloseConn(oldest->first);
  return true;
}

void HttpFront::Impl::CloseConn(uint64_t id) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  close(it->second.fd);
  conns_.erase(it);
}

void HttpFront::Impl::OnReadable(uint64_t id, Conn& c, Clock::time_point now) {
  char buffer[kReadPiece];
  if (c.state == State::Lingering) {
    while (true) {
      const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        c.lingered += static_cast<size_t>(n);
        if (c.lingered <= kLingerBytes) continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      return CloseConn(id);
    }
  }
  const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return CloseConn(id);
  }
  if (n == 0) {
    // The client is done sending: a request it left unfinished cannot be answered.
    if (!c.requestActive) return CloseConn(id);
    Refusal r;
    Refuse(&r, 400, "The connection ended inside a request");
    return RefuseRequest(id, c, r, now);
  }
  if (!c.requestActive) {
    c.requestActive = true;
    c.requestStart = now;
  }
  c.in.append(buffer, static_cast<size_t>(n));
  Advance(id, c, now);
}

// Reads as much of the request as has arrived; a whole one goes to a worker
// or becomes an event stream.
void HttpFront::Impl::Advance(uint64_t id, Conn& c, Clock::time_point now) {
  if (c.state != State::Reading || c.in.empty()) return;
  if (!c.requestActive) {
    c.requestActive = true;
    c.requestStart = now;
  }
  Refusal refusal;
  if (!c.head) {
    // Blank lines between requests are tolerated, and are no request yet.
    const size_t start = c.in.find_first_not_of("\r\n");
    if (start != 0) {
      c.in.erase(0, start == std::string::npos ? c.in.size() : start);
      c.scan = HeadScan();
    }
    if (c.in.empty()) {
      c.requestActive = false;
      c.idleSince = now;
      return;
    }
    size_t end = 0;
    Head head;
    Scan scan = FindHeadEnd(c.in, o_, &c.scan, &end, &refusal);
    if (scan == Scan::NeedMore) return;
    if (scan == Scan::Done) scan = ParseHead(std::string_view(c.in).substr(0, end), o_, &head, &refusal);
    if (scan == Scan::Refused || !CheckHead(head, &refusal) || !ReadFraming(&head, o_, &refusal))
      return RefuseRequest(id, c, refusal, now);
    c.head = std::move(head);
    c.scan = HeadScan();
    c.chunks = ChunkState();
    c.continueSent = false;
  }
  const Head& head = *c.head;
  const std::string_view raw = std::string_view(c.in).substr(head.length);
  size_t consumed = head.length;
  std::string_view body;
  bool complete = true;
  if (head.chunked) {
    switch (ScanChunked(raw, &c.chunks, o_.maxBody, o_.maxHead)) {
      case ChunkScan::NeedMore:
        complete = false;
        break;
      case ChunkScan::Bad:
        return RefuseRequest(id, c, Refusal{400, "The chunked body is malformed", {}}, now);
      case ChunkScan::TooLarge:
        return RefuseRequest(
            id, c, Refusal{413, "The body is over the cap of " + std::to_string(o_.maxBody) + " bytes", {}}, now);
      case ChunkScan::Done:
        body = c.chunks.body;
        consumed += c.chunks.pos;
        break;
    }
  } else if (head.hasLength) {
    if (raw.size() < head.contentLength) {
      complete = false;
    } else {
      body = raw.substr(0, static_cast<size_t>(head.contentLength));
      consumed += static_cast<size_t>(head.contentLength);
    }
  }
  if (!complete && c.in.size() >= maxBuffered_) {
    return RefuseRequest(id, c,
                         Refusal{413, "The body is over the cap of " + std::to_string(o_.maxBody) + " bytes", {}}, now);
  }
  if (!complete) {
    const std::string* expect = head.Find("expect");
    if (expect != nullptr && Lower(*expect) == "100-continue" && !c.continueSent) {
      c.continueSent = true;
      c.out.append("HTTP/1.1 100 Continue\r\n\r\n");
      Flush(id, c, now);
    }
    return;
  }

  if (head.method == "GET" && head.Path() == "/events") {
    const Head stream = head;
    c.in.clear();
    return StartStream(id, c, stream, now);
  }

  // What the handlers read: the head as parsed, with the body whole, and
  // nothing httplib would answer on its own (100-continue).
  WholeRequest request{head.method, head.target, head.version, {}, std::string(body), head.hasLength || head.chunked};
  for (const auto& [name, value] : head.headers) {
    const std::string lower = Lower(name);
    if (lower == "content-length" || lower == "transfer-encoding" || lower == "expect") continue;
    request.headers.emplace_back(name, value);
  }

  bool closeAfter = stopping_.load() || c.served + 1 >= o_.maxRequestsPerConnection;
  for (const std::string* connection : head.All("connection")) {
    if (ListsToken(*connection, "close")) closeAfter = true;
  }
  if (head.version == "HTTP/1.0") {
    bool keep = false;
    for (const std::string* connection : head.All("connection")) keep = keep || ListsToken(*connection, "keep-alive");
    closeAfter = closeAfter || !keep;
  }
  // Asked before the head goes: `head` is the connection's own.
  std::shared_ptr<const void> lane = host_.SerialLane(head.method, head.target);
  c.in.erase(0, consumed);
  c.head.reset();
  c.chunks = ChunkState();
  c.requestActive = false;
  c.state = State::Busy;
  Enqueue(Job{id, std::move(request), closeAfter, c.peer, std::move(lane)});
}

void HttpFront::Impl::RefuseRequest(uint64_t id, Conn& c, const Refusal& r, Clock::time_point now) {
  c.in.clear();
  c.scan = HeadScan();
  c.head.reset();
  c.requestActive = false;
  Reply(id, c, ClosingAnswer(r.status, r.message, r.headers), true, now);
}

void HttpFront::Impl::Reply(uint64_t id, Conn& c, std::string bytes, bool close, Clock::time_point now) {
  c.out.erase(0, c.outPos);
  c.outPos = 0;
  c.out += bytes;
  c.closeAfter = close;
  c.state = State::Writing;
  c.lastProgress = now;
  Flush(id, c, now);
}

void HttpFront::Impl::Flush(uint64_t id, Conn& c, Clock::time_point now) {
  while (c.outPos < c.out.size()) {
    const ssize_t n = send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return CloseConn(id);
    }
    c.outPos += static_cast<size_t>(n);
    c.lastProgress = now;
  }
  c.out.clear();
  c.outPos = 0;
  if (c.state != State::Writing) return;
  ++c.served;
  if (c.closeAfter) return Linger(c, now);
  c.state = State::Reading;
  c.idleSince = now;
  Advance(id, c, now);  // a pipelined request may be waiting
}

void HttpFront::Impl::Linger(Conn& c, Clock::time_point now) {
  shutdown(c.fd, SHUT_WR);
  c.state = State::Lingering;
  c.lingerStart = now;
  c.in.clear();
}

void HttpFront::Impl::OnConnEvent(uint64_t id, short revents, Clock::time_point now) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  if (revents & POLLOUT) Flush(id, it->second, now);
  it = conns_.find(id);
  if (it == conns_.end() || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
  if (it->second.state == State::Reading || it->second.state == State::Lingering) {
    OnReadable(id, it->second, now);
  } else if (revents & (POLLHUP | POLLERR)) {
    CloseConn(id);
  }
}

}  // namespace kivhost
