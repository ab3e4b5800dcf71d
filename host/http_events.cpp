#include "http_events.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "http_front_impl.h"
#include "router.h"

namespace kivhost {
namespace {

constexpr size_t kMaxQueuedEvents = 10000;
constexpr int kStreamRetryAfterSeconds = 5;

}  // namespace

Hub::Hub() {
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
}

Hub::~Hub() {
  for (int fd : wake) {
    if (fd >= 0) close(fd);
  }
}

void Hub::Wake() {
  if (!wakePending.exchange(true)) (void)!write(wake[1], "w", 1);
}

void Hub::Broadcast(const RecordedEvent& e) {
  // Rendering an event costs more than publishing it; with nobody listening
  // (the common case under load) it is skipped altogether.
  std::vector<std::shared_ptr<Listener>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& l : listeners) {
      if (l->filter.empty() || l->filter == e.name) targets.push_back(l);
    }
  }
  if (targets.empty()) return;
  const std::string text = "id: " + std::to_string(e.seq) + "\ndata: " + DumpJson(e.ToJson()) + "\n\n";
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& l : targets) {
      l->queue.push_back(text);
      l->bytes += text.size();
      // A client that does not read loses its oldest events, not the host's memory.
      while (l->queue.size() > 1 && (l->bytes > backlog || l->queue.size() > kMaxQueuedEvents)) {
        l->bytes -= l->queue.front().size();
        l->queue.pop_front();
        ++l->dropped;
      }
    }
  }
  Wake();
}

// ---- Streams on the serving thread ------------------------------------------------

void HttpFront::Impl::StartStream(uint64_t id, Conn& c, const Head& head, Clock::time_point now) {
  auto listener = std::make_shared<Listener>();
  listener->filter =
      ParseQuery(head.target.find('?') == std::string::npos ? std::string()
                                                            : head.target.substr(head.target.find('?') + 1))["name"];
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (hub_->listeners.size() >= o_.maxStreams) {
      Refusal r{503,
                "All " + std::to_string(o_.maxStreams) + " event streams are taken; try again when one has closed",
                {{"Retry-After", std::to_string(kStreamRetryAfterSeconds)}}};
      return RefuseRequest(id, c, r, now);
    }
    hub_->listeners.push_back(listener);
  }
  Stream s;
  s.fd = c.fd;
  s.listener = std::move(listener);
  s.chunked = head.version == "HTTP/1.1";
  // The stream ends with the connection: no length, and it is never reused.
  s.out = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n";
  s.out += s.chunked ? "Transfer-Encoding: chunked\r\n" : "";
  s.out += "Connection: close\r\n\r\n";
  s.out += s.chunked ? Chunk(": connected\n\n") : std::string(": connected\n\n");
  s.lastProgress = now;
  s.nextHeartbeat = now + o_.heartbeat;
  conns_.erase(id);  // the descriptor now belongs to the stream
  const uint64_t streamId = nextId_++;
  Pump(streamId, streams_.emplace(streamId, std::move(s)).first->second, now);
}

void HttpFront::Impl::Pump(uint64_t id, Stream& s, Clock::time_point now) {
  if (s.outPos == s.out.size()) {
    s.out.clear();
    s.outPos = 0;
    std::string payload;
    {
      std::lock_guard<std::mutex> lock(hub_->mutex);
      Listener& l = *s.listener;
      if (l.dropped != 0) payload += ": " + std::to_string(l.dropped) + " events dropped\n\n";
      l.dropped = 0;
      for (const std::string& text : l.queue) payload += text;
      l.queue.clear();
      l.bytes = 0;
    }
    // The comment also finds clients that went away without closing.
    if (payload.empty() && now >= s.nextHeartbeat) payload = ": keep-alive\n\n";
    if (payload.empty()) return;
    s.out = s.chunked ? Chunk(payload) : std::move(payload);
  }
  while (s.outPos < s.out.size()) {
    const ssize_t n = send(s.fd, s.out.data() + s.outPos, s.out.size() - s.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return CloseStream(id);
    }
    s.outPos += static_cast<size_t>(n);
    s.lastProgress = now;
    s.nextHeartbeat = now + o_.heartbeat;
  }
}

void HttpFront::Impl::CloseStream(uint64_t id) {
  auto it = streams_.find(id);
  if (it == streams_.end()) return;
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    auto& all = hub_->listeners;
    all.erase(std::remove(all.begin(), all.end(), it->second.listener), all.end());
  }
  close(it->second.fd);
  streams_.erase(it);
}

void HttpFront::Impl::OnStreamEvent(uint64_t id, short revents) {
  auto it = streams_.find(id);
  if (it == streams_.end()) return;
  if (revents & (POLLERR | POLLHUP)) return CloseStream(id);
  if (revents & POLLIN) {
    // Nothing is expected from a stream's client but its end.
    char drain[4096];
    const ssize_t n = recv(it->second.fd, drain, sizeof drain, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) CloseStream(id);
  }
}

}  // namespace kivhost
