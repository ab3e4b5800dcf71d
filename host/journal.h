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
  // Log lines are printed to `logStream` (null prints nothing); per kind,
  // at most `limit` records holding at most `bytes` bytes are kept (but
  // always the newest): requests with large bodies or answers go sooner.
  Journal(FILE* logStream, size_t limit, size_t bytes) : logStream_(logStream), limit_(limit), bytes_(bytes) {}
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
  // Requests and events as kept: their JSON parts packed as MessagePack
  // (nothing for null). Thousands of records later, pushing one out then
  // frees a few blocks instead of a tree of them gone cold, which cost more
  // than the request that recorded it.
  struct PackedRequest {
    RecordedRequest shell;  // items and answer.body null
    std::vector<uint8_t> items;
    std::vector<uint8_t> body;
  };
  struct PackedEvent {
    RecordedEvent shell;  // payload null
    std::vector<uint8_t> payload;
  };

  // A kept record and the bytes it is counted for.
  template <class T>
  struct Kept {
    T record;
    size_t bytes;
  };
  // Records of one kind, oldest first, with their byte total.
  template <class T>
  struct Kind {
    std::deque<Kept<T>> records;
    size_t bytes = 0;
  };
  // Adds the record and pushes out the oldest past the limits; what was
  // pushed out is handed back, to be freed after the lock.
  template <class T>
  std::vector<T> Keep(Kind<T>& kind, T record, size_t bytes);

  FILE* const logStream_;
  const size_t limit_;
  const size_t bytes_;

  mutable std::mutex mutex_;
  Kind<PackedRequest> requests_;
  Kind<PackedEvent> events_;
  Kind<LogLine> logs_;

  std::mutex printMutex_;  // keeps printed lines whole
};

}  // namespace kivhost
