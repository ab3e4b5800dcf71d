#include "journal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

namespace kivhost {

template <class T>
std::vector<T> Journal::Keep(Kind<T>& kind, T record, size_t bytes) {
  std::vector<T> dropped;
  kind.records.push_back(Kept<T>{std::move(record), bytes});
  kind.bytes += bytes;
  while (kind.records.size() > 1 && (kind.records.size() > limit_ || kind.bytes > bytes_)) {
    kind.bytes -= kind.records.front().bytes;
    dropped.push_back(std::move(kind.records.front().record));
    kind.records.pop_front();
  }
  return dropped;
}

void Journal::Log(LogLine line) {
  if (logStream_ != nullptr) {
    const std::string formatted = line.Format();
    std::lock_guard<std::mutex> lock(printMutex_);
    std::fprintf(logStream_, "%s\n", formatted.c_str());
    std::fflush(logStream_);
  }
  const size_t bytes = 64 + line.time.size() + line.plugin.size() + line.text.size();
  std::vector<LogLine> dropped;  // freed after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  dropped = Keep(logs_, std::move(line), bytes);
}

namespace {

// MessagePack with fixed-width heads: the packing costs about what freeing the
// tree would, and reading it back is for the rare look at the journal.
// Recursive up to the host's value depth (kMaxValueDepth, 512 levels), a few
// dozen bytes of stack each.
void PackInto(const json& value, std::vector<uint8_t>* out) {
  const auto head = [out](uint8_t tag, uint64_t n, int bytes) {
    uint8_t b[9] = {tag};
    for (int i = 0; i < bytes; ++i) b[1 + i] = static_cast<uint8_t>(n >> (8 * (bytes - 1 - i)));
    out->insert(out->end(), b, b + 1 + bytes);
  };
  const auto text = [&](const std::string& s) {
    head(0xdb, s.size(), 4);
    out->insert(out->end(), s.begin(), s.end());
  };
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
      out->push_back(0xc0);
      break;
    case json::value_t::boolean:
      out->push_back(value.get<bool>() ? 0xc3 : 0xc2);
      break;
    case json::value_t::number_integer:
      head(0xd3, static_cast<uint64_t>(value.get<int64_t>()), 8);
      break;
    case json::value_t::number_unsigned:
      head(0xcf, value.get<uint64_t>(), 8);
      break;
    case json::value_t::number_float: {
      const double d = value.get<double>();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      head(0xcb, bits, 8);
      break;
    }
    case json::value_t::string:
      text(value.get_ref<const std::string&>());
      break;
    case json::value_t::binary: {
      const auto& b = value.get_binary();
      if (b.has_subtype()) {
        head(0xc9, b.size(), 4);
        out->push_back(static_cast<uint8_t>(b.subtype()));
      } else {
        head(0xc6, b.size(), 4);
      }
      out->insert(out->end(), b.begin(), b.end());
      break;
    }
    case json::value_t::array:
      head(0xdd, value.size(), 4);
      for (const json& item : value) PackInto(item, out);
      break;
    case json::value_t::object:
      head(0xdf, value.size(), 4);
      for (const auto& [key, item] : value.items()) {
        text(key);
        PackInto(item, out);
      }
      break;
  }
}

std::vector<uint8_t> Pack(const json& value) {
  if (value.is_null()) return {};
  // Packed into the thread's own buffer and copied once at its size: a
  // vector grown as it is packed is reallocated again and again.
  thread_local std::vector<uint8_t> scratch;
  constexpr size_t kScratchKept = 64 * 1024;  // a larger one goes with its record
  scratch.clear();
  PackInto(value, &scratch);
  std::vector<uint8_t> out(scratch.begin(), scratch.end());
  if (scratch.capacity() > kScratchKept) std::vector<uint8_t>().swap(scratch);
  return out;
}

json Unpack(const std::vector<uint8_t>& packed, json empty = nullptr) {
  if (packed.empty()) return empty;
  return json::from_msgpack(packed);
}

}  // namespace

void Journal::Record(RecordedRequest request) {
  PackedRequest packed;
  packed.items = request.items.empty() ? std::vector<uint8_t>() : Pack(request.items);
  packed.body = Pack(request.answer.body);
  // Freed here, while still in the cache.
  request.items = nullptr;
  request.answer.body = nullptr;
  const size_t bytes = 128 + request.from.size() + request.method.size() + request.url.size() +
                       request.contentType.size() + request.body.size() + packed.items.size() +
                       request.answer.errorText.size() + packed.body.size();
  packed.shell = std::move(request);
  std::vector<PackedRequest> dropped;  // freed after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  dropped = Keep(requests_, std::move(packed), bytes);
}

void Journal::Record(std::shared_ptr<const RecordedEvent> event) {
  PackedEvent packed;
  packed.shell.seq = event->seq;
  packed.shell.name = event->name;
  packed.shell.source = event->source;
  packed.shell.extra = event->extra;
  packed.shell.subscribers = event->subscribers;
  packed.payload = Pack(event->payload);
  const size_t bytes = 128 + event->name.size() + event->source.size() + packed.payload.size();
  std::vector<PackedEvent> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped = Keep(events_, std::move(packed), bytes);
}

std::vector<RecordedRequest> Journal::Requests(uint64_t since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedRequest> out;
  for (const auto& kept : requests_.records) {
    if (kept.record.shell.seq <= since) continue;
    RecordedRequest& r = out.emplace_back(kept.record.shell);
    r.items = Unpack(kept.record.items, json::array());
    r.answer.body = Unpack(kept.record.body);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.seq < b.seq; });
  return out;
}

std::vector<RecordedEvent> Journal::Events(uint64_t since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedEvent> out;
  for (const auto& kept : events_.records) {
    if (kept.record.shell.seq <= since) continue;
    RecordedEvent& e = out.emplace_back(kept.record.shell);
    e.payload = Unpack(kept.record.payload);
  }
  return out;
}

std::vector<LogLine> Journal::Logs(uint64_t since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LogLine> out;
  for (const auto& kept : logs_.records) {
    if (kept.record.seq > since) out.push_back(kept.record);
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
