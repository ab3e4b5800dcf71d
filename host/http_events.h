// The front's event streams (GET /events, server-sent events): the events
// each open stream has yet to send, filled by the host's publishing threads
// and emptied by the serving thread, which the hub wakes.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host.h"

namespace kivhost {

struct Listener {
  std::string filter;  // event name, or empty for every event
  std::deque<std::string> queue;
  size_t bytes = 0;
  size_t dropped = 0;
};

// What the publishing threads share with the serving thread. The host's
// observer holds it too, so that an event published while the front goes
// away finds it still there.
struct Hub {
  std::mutex mutex;
  std::vector<std::shared_ptr<Listener>> listeners;
  size_t backlog = 0;  // bytes queued per listener before its oldest events go
  int wake[2] = {-1, -1};
  std::atomic<bool> wakePending{false};

  Hub();
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Wakes the serving thread out of its poll.
  void Wake();
  // Queues the event for every listener whose filter takes it.
  void Broadcast(const RecordedEvent& e);
};

}  // namespace kivhost
