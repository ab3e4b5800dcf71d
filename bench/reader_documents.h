// Generated documents for the reader benchmarks, the same data as JSON text
// and as MessagePack bytes: chat-like records (ids, counters, timestamps,
// texts with escapes and non-ASCII characters, nested tags) and number-heavy
// arrays. Generation is deterministic, so every run reads the same bytes.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace reader_bench {

inline constexpr std::size_t kTargetBytes = 20u << 20;

inline const char* const kWords[] = {
    "hello",
    "gg",
    "wp",
    "let's",
    "go",
    "mid",
    "\"push\"",
    "back\\slash",
    "tab\there",
    "line\n",
    "caf\xc3\xa9",
    "na\xc3\xafve",
    "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
    "\xf0\x9f\x98\x80",
    "stra\xc3\x9f"
    "e",
    "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",
    "ok",
    "one more",
    "</script>",
    "50%",
};

inline std::string Sentence(std::mt19937_64& random) {
  std::string s;
  const int words = 3 + static_cast<int>(random() % 18);
  for (int i = 0; i < words; ++i) {
    if (i != 0) s += ' ';
    s += kWords[random() % (sizeof kWords / sizeof kWords[0])];
  }
  return s;
}

inline std::string Timestamp(std::mt19937_64& random) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "2024-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(1 + random() % 12),
                static_cast<int>(1 + random() % 28), static_cast<int>(random() % 24), static_cast<int>(random() % 60),
                static_cast<int>(random() % 60), static_cast<int>(random() % 1000));
  return buffer;
}

inline nlohmann::json ChatRecord(std::mt19937_64& random, uint64_t index) {
  nlohmann::json r;
  r["id"] = 1700000000000ull + index * 7919;
  r["conversationId"] = "c" + std::to_string(random() % 100000) + "@chat.kiv.example";
  r["fromSummonerId"] = static_cast<uint64_t>(random() % 4000000000ull);
  std::string name = Sentence(random);
  std::size_t cut = std::min<std::size_t>(name.size(), 16);
  while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) ++cut;  // whole characters
  r["fromSummonerName"] = name.substr(0, cut);
  r["timestamp"] = Timestamp(random);
  r["epochMillis"] = 1709296496789ll + static_cast<int64_t>(index * 1000);
  r["type"] = index % 7 == 0 ? "groupchat" : "chat";
  r["body"] = Sentence(random);
  r["score"] = static_cast<double>(random() % 100000) / 997.0;
  r["delta"] = -static_cast<int64_t>(random() % 100000);
  r["read"] = random() % 2 == 0;
  r["edited"] = nullptr;
  nlohmann::json tags = nlohmann::json::array();
  for (uint64_t i = 0, n = random() % 4; i < n; ++i) tags.push_back(kWords[random() % 6]);
  r["tags"] = tags;
  r["meta"] = {{"client", "game"},
               {"region", "north-1"},
               {"flags", {random() % 2 == 0, random() % 8, -1}},
               {"nested", {{"level", random() % 5}, {"note", Sentence(random)}}}};
  return r;
}

inline nlohmann::json ChatDocument() {
  std::mt19937_64 random(42);
  nlohmann::json records = nlohmann::json::array();
  std::size_t approx = 0;
  for (uint64_t i = 0; approx < kTargetBytes; ++i) {
    records.push_back(ChatRecord(random, i));
    approx += 560;
  }
  return {{"messages", records}, {"count", records.size()}, {"complete", true}};
}

// One record: the typical request body, where fixed costs per read count.
inline nlohmann::json SmallDocument() {
  std::mt19937_64 random(3);
  return ChatRecord(random, 1);
}

// The shape of most request bodies and event payloads: many small objects
// (2 to 8 keys drawn from 70 names), nested along spines of up to 49 levels,
// with shallow side branches. About 130,000 objects in all.
inline constexpr int kDocumentCount = 4;

inline const char* const kNames[] = {
    "id",      "name",    "type",   "value",   "state",  "owner",    "items",   "meta",    "time",     "count",
    "enabled", "version", "label",  "kind",    "parent", "children", "source",  "target",  "status",   "region",
    "level",   "score",   "rank",   "tier",    "queue",  "mode",     "map",     "team",    "role",     "champion",
    "skin",    "icon",    "title",  "note",    "reason", "code",     "created", "updated", "expires",  "position",
    "x",       "y",       "z",      "width",   "height", "color",    "flags",   "options", "settings", "profile",
    "account", "session", "token",  "scope",   "locale", "platform", "client",  "server",  "host",     "port",
    "path",    "query",   "method", "headers", "body",   "payload",  "event",   "uri",     "data",     "summary"};
inline constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
static_assert(kNameCount == 70);

inline nlohmann::json NestedScalar(std::mt19937_64& random) {
  switch (random() % 5) {
    case 0:
      return static_cast<int64_t>(random() % 100000) - 500;
    case 1:
      return std::string(kNames[random() % kNameCount]) + "-" + std::to_string(random() % 1000);
    case 2:
      return random() % 2 == 0;
    case 3:
      return static_cast<double>(random() % 1000000) / 128.0;
    default:
      return nullptr;
  }
}

// An object whose first nested member carries the spine on for `spine` more
// levels; its other nested members are leaf objects (scalars only), and a
// spine of -1 makes a leaf.
inline nlohmann::json NestedObject(std::mt19937_64& random, int spine, uint64_t* objects) {
  ++*objects;
  nlohmann::json object = nlohmann::json::object();
  const int keys = 2 + static_cast<int>(random() % 7);
  bool spineDone = spine <= 0;
  for (int k = 0; k < keys; ++k) {
    std::string name = kNames[random() % kNameCount];
    while (object.contains(name)) name = kNames[random() % kNameCount];
    const uint64_t pick = spine < 0 ? 7 : random() % 8;
    if (!spineDone && (pick < 3 || k == keys - 1)) {
      object[name] = NestedObject(random, spine - 1, objects);
      spineDone = true;
    } else if (pick == 3) {
      object[name] = NestedObject(random, -1, objects);
    } else if (pick == 4) {
      nlohmann::json list = nlohmann::json::array();
      for (uint64_t i = 0, n = 1 + random() % 3; i < n; ++i) list.push_back(NestedObject(random, -1, objects));
      object[name] = std::move(list);
    } else {
      object[name] = NestedScalar(random);
    }
  }
  return object;
}

inline nlohmann::json NestedDocument() {
  std::mt19937_64 random(11);
  nlohmann::json items = nlohmann::json::array();
  uint64_t objects = 0;
  while (objects < 130000) {
    const int spine = random() % 10 < 7 ? 1 + static_cast<int>(random() % 5) : 6 + static_cast<int>(random() % 40);
    items.push_back(NestedObject(random, spine, &objects));
  }
  return {{"items", items}, {"objects", objects}};
}

inline const char* DocumentName(int which) {
  return which == 0 ? "chat" : which == 1 ? "numbers" : which == 2 ? "record" : "nested";
}

inline nlohmann::json NumberDocument() {
  std::mt19937_64 random(7);
  nlohmann::json rows = nlohmann::json::array();
  std::size_t approx = 0;
  while (approx < kTargetBytes) {
    nlohmann::json row = nlohmann::json::array();
    for (int i = 0; i < 64; ++i) {
      switch (random() % 4) {
        case 0:
          row.push_back(random() % 1000);
          approx += 4;
          break;
        case 1:
          row.push_back(-static_cast<int64_t>(random() % 100000000));
          approx += 10;
          break;
        case 2:
          row.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000) - 1000000) / 64.0);
          approx += 12;
          break;
        default:
          row.push_back(static_cast<double>(random() % 1000000) * 1e-9 + 1e12 * static_cast<double>(random() % 3));
          approx += 22;
          break;
      }
    }
    rows.push_back(row);
  }
  return rows;
}

inline nlohmann::json Document(int which) {
  return which == 0 ? ChatDocument() : which == 1 ? NumberDocument() : which == 2 ? SmallDocument() : NestedDocument();
}

// JSON text whose strings use every kind of escape: most non-ASCII characters
// stay raw UTF-8, every third becomes a \u escape (surrogate pairs above the
// basic plane).
inline void AppendEscaped(const std::string& s, std::string* out) {
  static int turn = 0;
  *out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr;
      if (named != nullptr) {
        *out += named;
      } else {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        *out += buffer;
      }
      ++i;
    } else if (c < 0x80) {
      *out += static_cast<char>(c);
      ++i;
    } else {
      const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
      if (++turn % 3 != 0) {
        out->append(s, i, length);
      } else {
        uint32_t cp = c & (length == 4 ? 0x07u : length == 3 ? 0x0fu : 0x1fu);
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3fu);
        char buffer[16];
        if (cp >= 0x10000) {
          cp -= 0x10000;
          std::snprintf(buffer, sizeof buffer, "\\u%04x\\u%04x", 0xd800 + (cp >> 10), 0xdc00 + (cp & 0x3ff));
        } else {
          std::snprintf(buffer, sizeof buffer, "\\u%04x", cp);
        }
        *out += buffer;
      }
      i += length;
    }
  }
  *out += '"';
}

inline void AppendJson(const nlohmann::json& v, std::string* out) {
  switch (v.type()) {
    case nlohmann::json::value_t::object: {
      *out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) *out += ',';
        first = false;
        AppendEscaped(it.key(), out);
        *out += ':';
        AppendJson(it.value(), out);
      }
      *out += '}';
      break;
    }
    case nlohmann::json::value_t::array: {
      *out += '[';
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) *out += ',';
        AppendJson(v[i], out);
      }
      *out += ']';
      break;
    }
    case nlohmann::json::value_t::string:
      AppendEscaped(v.get_ref<const std::string&>(), out);
      break;
    default:
      *out += v.dump();
      break;
  }
}

inline std::string ToJsonText(const nlohmann::json& v) {
  std::string out;
  AppendJson(v, &out);
  return out;
}

// Throughput of each measured reader, kept so that the figures of this
// library can be given as ratios against the peers measured on the same
// bytes in the same run.
inline std::map<std::string, double>& Throughputs() {
  static std::map<std::string, double> table;
  return table;
}

// CPU time of this thread: the machine is shared, and wall time would charge
// other people's work to whichever reader happened to run beside it.
inline double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs the loop, reports bytes per second and records the throughput. The
// clock is read around the whole loop: reading a thread's CPU time is a
// system call, and around each read of a one-record document it would add
// about as much as the peers spend on the read itself.
template <typename Body>
void Measure(benchmark::State& state, const std::string& key, std::size_t bytes, Body body) {
  uint64_t rounds = 0;
  const double start = ThreadSeconds();
  for (auto _ : state) {
    body();
    ++rounds;
  }
  const double spent = ThreadSeconds() - start;
  state.SetBytesProcessed(static_cast<int64_t>(rounds * bytes));
  if (spent > 0) Throughputs()[key] = static_cast<double>(rounds * bytes) / spent;
  state.counters["MBps"] = spent > 0 ? static_cast<double>(rounds * bytes) / spent / 1e6 : 0.0;
}

// Ratio of this library's throughput to a peer's, both measured earlier in
// the run; 0 when one of them is missing (a filtered run).
inline double Ratio(const std::string& ours, const std::string& peer) {
  const auto& t = Throughputs();
  const auto a = t.find(ours), b = t.find(peer);
  return a == t.end() || b == t.end() || b->second == 0 ? 0.0 : a->second / b->second;
}

}  // namespace reader_bench
