// The host's journal: the requests plugins sent, the events routed and the
// log lines written, each kept up to a limit per kind (the oldest go first)
// and handed out by sequence number; log lines are also printed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "host.h"

namespace kivhost {

class Journal {
 public:
  // Log lines are printed to `logStream` (null prints nothing); `limit`
  // records are kept per kind.
  Journal(FILE* logStream, size_t limit) : logStream_(logStream), limit_(limit) {}
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  void Log(LogLine line);
  void Record(RecordedRequest request);
  // Events are shared with the observers being shown them.
  void Record(std::shared_ptr<const RecordedEvent> event);

  // Everything with a sequence number above `since`, in order.
  [[nodiscard]] std::vector<RecordedRequest> Requests(uint64_t since) const;
  [[nodiscard]] std::vector<RecordedEvent> Events(uint64_t since) const;
  [[nodiscard]] std::vector<LogLine> Logs(uint64_t since) const;

 private:
  FILE* const logStream_;
  const size_t limit_;

  mutable std::mutex mutex_;
  std::deque<RecordedRequest> requests_;
  std::deque<std::shared_ptr<const RecordedEvent>> events_;
  std::deque<LogLine> logs_;

  std::mutex printMutex_;  // keeps printed lines whole
};

}  // namespace kivhost
