#include "http_front.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "http_front_impl.h"
#include "http_text.h"

namespace kivhost {

HttpFront::Impl::Impl(Host& host, Options options)
    : host_(host), o_(std::move(options)), hub_(std::make_shared<Hub>()) {
  o_.threads = std::max<size_t>(o_.threads, 1);
  o_.maxConnections = std::max<size_t>(o_.maxConnections, 1);
  o_.maxRequestsPerConnection = std::max<size_t>(o_.maxRequestsPerConnection, 1);
  hub_->backlog = o_.streamBacklog;
  // A chunked body may spend some bytes on framing; beyond this it spends too many.
  maxBuffered_ = o_.maxHead + 2 * o_.maxBody + kReadPiece;
  handlers_.set_payload_max_length(o_.maxBody);
  handlers_.SetKeepAlive(
      std::max<time_t>(1, static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(o_.keepAlive).count())),
      o_.maxRequestsPerConnection);
  AddRoutes(handlers_, host_);
  std::shared_ptr<Hub> hub = hub_;
  observer_ = host_.Observe([hub](const RecordedEvent& e) { hub->Broadcast(e); });
}

HttpFront::Impl::~Impl() {
  Stop();
  host_.Unobserve(observer_);
  if (listenFd_ >= 0) close(listenFd_);
}

int HttpFront::Impl::Bind(const std::string& address, int port) {
  if (listenFd_ >= 0 || port < 0 || port > 65535) return -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.empty() ? nullptr : address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return -1;
  for (addrinfo* a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (a->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 128) == 0) {
      listenFd_ = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (listenFd_ < 0) return -1;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  ownNames_ = {"127.0.0.1", "localhost", "[::1]"};
  // Serving a given address on purpose accepts it as a name; the wildcard
  // addresses name no host, so those callers list their names themselves.
  if (!address.empty() && address != "0.0.0.0" && address != "::") ownNames_.insert(HostName(address));
  for (const std::string& name : o_.allowedHosts) ownNames_.insert(HostName(name));
  return port_;
}

void HttpFront::Impl::TakeResults(Clock::time_point now) {
  std::vector<Result> results;
  {
    std::lock_guard<std::mutex> lock(resultsMutex_);
    results.swap(results_);
  }
  for (Result& r : results) {
    auto it = conns_.find(r.conn);
    if (it == conns_.end()) continue;
    if (r.response.empty()) {
      CloseConn(r.conn);
      continue;
    }
    Reply(r.conn, it->second, std::move(r.response), r.close || stopping_.load(), now);
  }
}

void HttpFront::Impl::CheckTimers(Clock::time_point now) {
  std::vector<uint64_t> expired, slow;
  for (auto& [id, c] : conns_) {
    switch (c.state) {
      case State::Reading:
        if (c.outPos < c.out.size() && now - c.lastProgress >= o_.writeTimeout) {
          expired.push_back(id);
        } else if (c.requestActive && now - c.requestStart >= o_.requestTimeout) {
          slow.push_back(id);
        } else if (!c.requestActive && now - c.idleSince >= o_.keepAlive) {
          expired.push_back(id);
        }
        break;
      case State::Writing:
        if (now - c.lastProgress >= o_.writeTimeout) expired.push_back(id);
        break;
      case State::Lingering:
        if (now - c.lingerStart >= kLinger) expired.push_back(id);
        break;
      case State::Busy:
        break;
    }
  }
  for (uint64_t id : expired) CloseConn(id);
  for (uint64_t id : slow) {
    auto it = conns_.find(id);
    if (it == conns_.end()) continue;
    RefuseRequest(
        id, it->second,
        Refusal{
            408, "The request did not arrive whole within " + std::to_string(o_.requestTimeout.count()) + " ms", {}},
        now);
  }
  std::vector<uint64_t> stalled;
  for (auto& [id, s] : streams_) {
    if (s.outPos < s.out.size() && now - s.lastProgress >= o_.writeTimeout) {
      stalled.push_back(id);
    } else if (now >= s.nextHeartbeat) {
      Pump(id, s, now);
    }
  }
  for (uint64_t id : stalled) CloseStream(id);
}

int HttpFront::Impl::NextTimeoutMs(Clock::time_point now) const {
  Clock::time_point next = now + std::chrono::seconds(1);
  auto consider = [&](Clock::time_point t) { next = std::min(next, t); };
  for (const auto& [id, c] : conns_) {
    switch (c.state) {
      case State::Reading:
        if (c.outPos < c.out.size()) consider(c.lastProgress + o_.writeTimeout);
        consider(c.requestActive ? c.requestStart + o_.requestTimeout : c.idleSince + o_.keepAlive);
        break;
      case State::Writing:
        consider(c.lastProgress + o_.writeTimeout);
        break;
      case State::Lingering:
        consider(c.lingerStart + kLinger);
        break;
      case State::Busy:
        break;
    }
  }
  for (const auto& [id, s] : streams_) {
    consider(s.outPos < s.out.size() ? s.lastProgress + o_.writeTimeout : s.nextHeartbeat);
  }
  if (acceptPausedUntil_ > now) consider(acceptPausedUntil_);
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::max<long long>(0, wait) + (next > now ? 1 : 0));
}

// Every stream ends at once, with the end of its chunks where there is room
// for them; idle and half-read connections close; requests being handled
// are answered first.
void HttpFront::Impl::EndEverything() {
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
  }
  std::vector<uint64_t> ids;
  for (auto& [id, s] : streams_) {
    if (s.chunked) {
      s.out.erase(0, s.outPos);
      s.outPos = 0;
      s.out += "0\r\n\r\n";
      (void)!send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ids.push_back(id);
  }
  for (uint64_t id : ids) CloseStream(id);
  {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    for (const Job& job : jobs_) CloseConn(job.conn);
    jobs_.clear();
    for (auto& [key, lane] : lanes_) {
      for (const Job& job : lane.waiting) CloseConn(job.conn);
      lane.waiting.clear();
    }
  }
  ids.clear();
  for (auto& [id, c] : conns_) {
    if (c.state == State::Busy) continue;
    if (c.outPos < c.out.size())
      (void)!send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    ids.push_back(id);
  }
  for (uint64_t id : ids) CloseConn(id);
}

void HttpFront::Impl::Enqueue(Job job) {
  Sleeper* sleeper = nullptr;
  {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    if (job.lane != nullptr) {
      Lane& lane = lanes_[job.lane.get()];
      if (lane.running) {
        lane.waiting.push_back(std::move(job));
        return;  // its worker takes it next
      }
      lane.running = true;
    }
    jobs_.push_back(std::move(job));
    if (idle_.empty()) return;  // every worker is busy and will look again
    sleeper = idle_.back();
    idle_.pop_back();
    sleeper->woken = true;
  }
  sleeper->cv.notify_one();
}

void HttpFront::Impl::Work() {
  Sleeper self;
  Job job;
  bool have = false;
  while (true) {
    if (!have) {
      std::unique_lock<std::mutex> lock(jobsMutex_);
      while (jobs_.empty() && !workersStop_) {
        self.woken = false;
        idle_.push_back(&self);
        self.cv.wait(lock, [&] { return self.woken || workersStop_; });
        if (!self.woken) idle_.erase(std::find(idle_.begin(), idle_.end(), &self));
      }
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Result result{job.conn, std::string(), true};
    try {
      if (!handlers_.Direct(job.request, job.closeAfter, &result.response, &result.close))
        result.response = handlers_.Process(RequestText(job.request), job.closeAfter, job.peer, &result.close);
    } catch (...) {
      // Out of memory, most likely: the answer is short and the connection ends.
      result.response = ClosingAnswer(500, "The host failed to answer");
      result.close = true;
    }
    {
      std::lock_guard<std::mutex> lock(resultsMutex_);
      results_.push_back(std::move(result));
    }
    hub_->Wake();
    have = false;
    if (job.lane != nullptr) {
      std::lock_guard<std::mutex> lock(jobsMutex_);
      auto it = lanes_.find(job.lane.get());
      if (it != lanes_.end() && !it->second.waiting.empty()) {
        job = std::move(it->second.waiting.front());
        it->second.waiting.pop_front();
        have = true;
      } else if (it != lanes_.end()) {
        lanes_.erase(it);
      }
    }
  }
}

// Once stopping, a connection whose answer has come closes with whatever of
// it fits into the socket at once.
void HttpFront::Impl::CloseAnswered() {
  std::vector<uint64_t> done;
  for (const auto& [id, c] : conns_) {
    if (c.state != State::Busy) done.push_back(id);
  }
  for (uint64_t id : done) {
    Conn& c = conns_.at(id);
    if (c.outPos < c.out.size())
      (void)!send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    CloseConn(id);
  }
}

bool HttpFront::Impl::Serve() {
  if (listenFd_ < 0 || hub_->wake[0] < 0 || serving_.exchange(true)) return false;
  std::vector<std::thread> workers;
  for (size_t i = 0; i < o_.threads; ++i) workers.emplace_back([this] { Work(); });

  enum Kind { kWake, kListener, kConn, kStream };
  std::vector<pollfd> fds;
  std::vector<std::pair<Kind, uint64_t>> targets;
  bool ended = false;
  bool ok = true;
  while (true) {
    Clock::time_point now = Clock::now();
    if (stopping_.load() && !ended) {
      EndEverything();
      ended = true;
    }
    if (ended &&
        std::none_of(conns_.begin(), conns_.end(), [](const auto& e) { return e.second.state == State::Busy; }))
      break;
    fds.assign(1, pollfd{hub_->wake[0], POLLIN, 0});
    targets.assign(1, {kWake, 0});
    if (!ended && now >= acceptPausedUntil_) {
      fds.push_back({listenFd_, POLLIN, 0});
      targets.push_back({kListener, 0});
    }
    for (const auto& [id, c] : conns_) {
      short events = 0;
      if ((c.state == State::Reading && c.in.size() < maxBuffered_) || c.state == State::Lingering) events |= POLLIN;
      if (c.outPos < c.out.size()) events |= POLLOUT;
      if (events == 0) continue;
      fds.push_back({c.fd, events, 0});
      targets.push_back({kConn, id});
    }
    for (const auto& [id, s] : streams_) {
      fds.push_back({s.fd, static_cast<short>(POLLIN | (s.outPos < s.out.size() ? POLLOUT : 0)), 0});
      targets.push_back({kStream, id});
    }
    if (poll(fds.data(), fds.size(), ended ? 100 : NextTimeoutMs(now)) < 0 && errno != EINTR) {
      ok = false;
      stopping_.store(true);
      continue;
    }
    now = Clock::now();
    try {
      if (fds[0].revents != 0) {
        char drain[256];
        while (read(hub_->wake[0], drain, sizeof drain) > 0) {
        }
        hub_->wakePending.store(false);
      }
      TakeResults(now);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const auto [kind, id] = targets[i];
        if (kind == kListener) Accept(now);
        if (kind == kConn) OnConnEvent(id, fds[i].revents, now);
        if (kind == kStream) OnStreamEvent(id, fds[i].revents);
      }
      if (ended) {
        CloseAnswered();
        continue;
      }
      std::vector<uint64_t> ids;
      for (const auto& [id, s] : streams_) ids.push_back(id);
      for (uint64_t id : ids) {
        auto it = streams_.find(id);
        if (it != streams_.end()) Pump(id, it->second, now);
      }
      CheckTimers(now);
    } catch (const std::exception&) {
      // Out of memory while buffering: the clients of the moment lose their
      // connections, the front keeps serving.
      std::vector<uint64_t> ids;
      for (const auto& [id, c] : conns_) {
        if (c.state != State::Busy) ids.push_back(id);
      }
      for (uint64_t id : ids) CloseConn(id);
    }
  }
  {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    workersStop_ = true;
    for (Sleeper* sleeper : idle_) sleeper->cv.notify_one();
  }
  for (std::thread& w : workers) w.join();
  for (auto& [id, c] : conns_) close(c.fd);
  conns_.clear();
  return ok;
}

void HttpFront::Impl::Stop() {
  stopping_.store(true);
  hub_->Wake();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

HttpFront::HttpFront(Host& host, Options options) : impl_(std::make_unique<Impl>(host, std::move(options))) {}

HttpFront::~HttpFront() = default;

int HttpFront::Bind(const std::string& address, int port) { return impl_->Bind(address, port); }

bool HttpFront::Serve() { return impl_->Serve(); }

void HttpFront::Start() {
  impl_->thread_ = std::thread([this] { impl_->Serve(); });
}

void HttpFront::Stop() { impl_->Stop(); }

int HttpFront::port() const { return impl_->port_; }

size_t HttpFront::listeners() const {
  std::lock_guard<std::mutex> lock(impl_->hub_->mutex);
  return impl_->hub_->listeners.size();
}

}  // namespace kivhost
