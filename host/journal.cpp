#include "journal.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>

namespace kivhost {

void Journal::Log(LogLine line) {
  if (logStream_ != nullptr) {
    const std::string formatted = line.Format();
    std::lock_guard<std::mutex> lock(printMutex_);
    std::fprintf(logStream_, "%s\n", formatted.c_str());
    std::fflush(logStream_);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  logs_.push_back(std::move(line));
  while (logs_.size() > limit_) logs_.pop_front();
}

void Journal::Record(RecordedRequest request) {
  // The record pushed out is freed after the lock: it is cold and may be large.
  std::optional<RecordedRequest> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(request));
  if (requests_.size() > limit_) {
    dropped.emplace(std::move(requests_.front()));
    requests_.pop_front();
    while (requests_.size() > limit_) requests_.pop_front();
  }
}

void Journal::Record(std::shared_ptr<const RecordedEvent> event) {
  std::shared_ptr<const RecordedEvent> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
  if (events_.size() > limit_) {
    // Freed outside the lock; the oldest record may be large.
    dropped = std::move(events_.front());
    events_.pop_front();
    while (events_.size() > limit_) events_.pop_front();
  }
}

std::vector<RecordedRequest> Journal::Requests(uint64_t since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_) {
    if (r.seq > since) out.push_back(r);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.seq < b.seq; });
  return out;
}

std::vector<RecordedEvent> Journal::Events(uint64_t since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedEvent> out;
  for (const auto& e : events_) {
    if (e->seq > since) out.push_back(*e);
  }
  return out;
}

std::vector<LogLine> Journal::Logs(uint64_t since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LogLine> out;
  for (const auto& l : logs_) {
    if (l.seq > since) out.push_back(l);
  }
  return out;
}

// ---- Records as they are shown ------------------------------------------------------

std::string LevelWord(int32_t level) {
  switch (level) {
    case 0:
      return "  OKAY";
    case 1:
      return "  WARN";
    case 2:
      return " ERROR";
    case 3:
      return "ALWAYS";
    default: {
      std::string n = std::to_string(level);
      return n.size() < 6 ? std::string(6 - n.size(), ' ') + n : n;
    }
  }
}

int32_t LevelFromWord(const std::string& word) {
  std::string w;
  for (char c : word) {
    if (c != ' ') w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (w == "okay") return 0;
  if (w == "warn") return 1;
  if (w == "error") return 2;
  if (w == "always") return 3;
  return -1;
}

std::string UtcNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Every message and log line is stamped; the calendar part changes once a
  // second, so each thread formats it only then.
  thread_local time_t cachedSecond = -1;
  thread_local char cachedText[32];
  thread_local size_t cachedLength = 0;
  if (now.tv_sec != cachedSecond) {
    tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now.tv_sec);
#else
    gmtime_r(&now.tv_sec, &utc);
#endif
    cachedLength = std::strftime(cachedText, sizeof cachedText, "%Y-%m-%dT%H:%M:%S", &utc);
    cachedSecond = now.tv_sec;
  }
  const int millis = static_cast<int>(now.tv_nsec / 1000000);
  std::string text(cachedText, cachedLength);
  text += '.';
  text += static_cast<char>('0' + millis / 100);
  text += static_cast<char>('0' + millis / 10 % 10);
  text += static_cast<char>('0' + millis % 10);
  text += 'Z';
  return text;
}

std::string LogLine::Format() const { return time + "| " + plugin + "| " + LevelWord(level) + "| " + text; }

json RecordedRequest::ToJson() const {
  json j{{"seq", seq}, {"from", from}, {"method", method}, {"url", url}, {"items", items}};
  if (!contentType.empty()) j["contentType"] = contentType;
  if (!body.empty()) j["body"] = body;
  j["answer"] = answer.ToJson();
  return j;
}

json RecordedEvent::ToJson() const {
  json j{{"seq", seq}, {"name", name}, {"source", source}};
  if (payload.is_object() && payload.contains("uri") && payload["uri"].is_string()) {
    j["uri"] = payload["uri"];
    j["eventType"] = payload.value("eventType", json());
    j["data"] = payload.value("data", json());
  } else {
    j["payload"] = payload;
  }
  return j;
}

// ---- What the host offers of the journal ------------------------------------------

void Host::HostLog(int32_t level, const std::string& text) { Log("kivhost", level, text); }

void Host::Log(const std::string& plugin, int32_t level, const std::string& text) {
  journal_->Log(LogLine{NextSeq(), UtcNow(), plugin, level, text});
}

std::vector<RecordedRequest> Host::Requests(uint64_t since) const { return journal_->Requests(since); }

std::vector<RecordedEvent> Host::Events(uint64_t since) const { return journal_->Events(since); }

std::vector<LogLine> Host::Logs(uint64_t since) const { return journal_->Logs(since); }

}  // namespace kivhost
