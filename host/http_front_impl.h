// The HTTP front's insides, shared by its files: http_front.cpp (binding,
// the serving loop, workers, timers and stopping), http_connections.cpp
// (accepting, reading requests, writing answers) and http_events.cpp (event
// streams).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host.h"
#include "http_events.h"
#include "http_front.h"
#include "http_parse.h"
#include "http_routes.h"

namespace kivhost {

using Clock = std::chrono::steady_clock;

// Bytes read from a socket at a time.
inline constexpr size_t kReadPiece = 64 * 1024;
// After an answer that closes the connection, what the client still sends is
// read and dropped for a moment: closing on unread bytes resets the
// connection, and the client may then lose the answer.
inline constexpr std::chrono::milliseconds kLinger{1000};

struct HttpFront::Impl {
  enum class State { Reading, Busy, Writing, Lingering };

  struct Conn {
    int fd = -1;
    Peer peer;
    State state = State::Reading;
    std::string in;
    std::string out;
    size_t outPos = 0;
    bool closeAfter = false;
    size_t served = 0;
    bool requestActive = false;  // bytes of a request have arrived
    std::optional<Head> head;    // once the head of that request is whole
    HeadScan scan;
    ChunkState chunks;
    bool continueSent = false;
    Clock::time_point idleSince, requestStart, lastProgress, lingerStart;
    size_t lingered = 0;
  };
  struct Stream {
    int fd = -1;
    std::shared_ptr<Listener> listener;
    bool chunked = true;
    std::string out;
    size_t outPos = 0;
    Clock::time_point lastProgress, nextHeartbeat;
  };
  struct Job {
    uint64_t conn;
    WholeRequest request;
    bool closeAfter;
    Peer peer;
    std::shared_ptr<const void> lane;  // see Host::SerialLane; null when none
  };
  // The requests of one serialised plugin function: one worker runs them one
  // after the other while the rest wait here, holding no worker. Workers
  // that took them at once would only queue on the function's lock, and on
  // two cores the switching costs more than the calls.
  struct Lane {
    bool running = false;
    std::deque<Job> waiting;
  };
  struct Result {
    uint64_t conn;
    std::string response;
    bool close;
  };

  Impl(Host& host, Options options);
  ~Impl();

  int Bind(const std::string& address, int port);
  bool Serve();
  void Stop();

  // Serving thread only, from here on.
  void Accept(Clock::time_point now);
  bool EvictIdle();
  void OnReadable(uint64_t id, Conn& c, Clock::time_point now);
  void Advance(uint64_t id, Conn& c, Clock::time_point now);
  void Reply(uint64_t id, Conn& c, std::string bytes, bool close, Clock::time_point now);
  void RefuseRequest(uint64_t id, Conn& c, const Refusal& r, Clock::time_point now);
  void Flush(uint64_t id, Conn& c, Clock::time_point now);
  void Linger(Conn& c, Clock::time_point now);
  void CloseConn(uint64_t id);
  bool CheckHead(const Head& head, Refusal* refusal) const;
  bool OwnAuthority(std::string_view text) const;
  void StartStream(uint64_t id, Conn& c, const Head& head, Clock::time_point now);
  void Pump(uint64_t id, Stream& s, Clock::time_point now);
  void CloseStream(uint64_t id);
  void TakeResults(Clock::time_point now);
  void CheckTimers(Clock::time_point now);
  int NextTimeoutMs(Clock::time_point now) const;
  void OnConnEvent(uint64_t id, short revents, Clock::time_point now);
  void OnStreamEvent(uint64_t id, short revents);
  void EndEverything();
  void CloseAnswered();
  void Work();
  void Enqueue(Job job);

  Host& host_;
  Options o_;
  std::shared_ptr<Hub> hub_;
  Handlers handlers_;
  int observer_ = 0;
  int listenFd_ = -1;
  int port_ = -1;
  std::set<std::string> ownNames_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> serving_{false};
  std::thread thread_;

  std::map<uint64_t, Conn> conns_;
  std::map<uint64_t, Stream> streams_;
  uint64_t nextId_ = 1;
  size_t maxBuffered_ = 0;
  Clock::time_point acceptPausedUntil_{};

  // An idle worker sleeps on its own condition, and a new job wakes the one
  // that went idle last: its caches are warm, and on a light load one worker
  // serves everything instead of each in turn.
  struct Sleeper {
    std::condition_variable cv;
    bool woken = false;
  };
  std::mutex jobsMutex_;
  std::vector<Sleeper*> idle_;  // most recently idle last
  std::deque<Job> jobs_;
  std::map<const void*, Lane> lanes_;  // under jobsMutex_; only lanes running
  bool workersStop_ = false;
  std::mutex resultsMutex_;
  std::vector<Result> results_;
};

}  // namespace kivhost
