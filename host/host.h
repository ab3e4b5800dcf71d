// The reference host: loads plugin libraries through the public boundary
// header, hands them the host services, routes requests between plugins and
// simulated peers, delivers events and records what the plugins did.
//
// Typical use from a test:
//   kivhost::Host host;                       // default options
//   auto loaded = host.Load(path);            // handshake; loaded.ok / loaded.error
//   host.Initialize();                        // initialize every loaded plugin
//   auto mark = host.Mark();
//   kivhost::Answer a = host.Dispatch({.method = "POST", .url = "/kiv-x/v1/y?z=1"});
//   host.Requests(mark); host.Events(mark); host.Logs(mark);
//   host.Shutdown();                          // destroy and unload (also done by ~Host)
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "host_value.h"
#include "kiv_plugin.h"
#include "router.h"

namespace kivhost {

class EventBus;
class Journal;
class Peers;
struct PluginSlot;

struct Version {
  uint32_t major = KIV_PLUGIN_API_MAJOR;
  uint32_t minor = KIV_PLUGIN_API_MINOR;
  uint32_t patch = KIV_PLUGIN_API_PATCH;
  std::string ToString() const;
  // "18", "18.1" or "18.1.2"; false on anything else.
  static bool Parse(const std::string& text, Version* out);
};

struct HostOptions {
  Version version;                 // the plugin API version the host reports
  bool probeHandshake = true;      // run the version handshake in a forked child first
  bool simulatePeers = true;       // answer the peers' paths from the in-memory peers
  json peerSeed;                   // peers' initial state; null: the embedded default
  size_t streamThreshold = 4096;   // JSON answers longer than this are streamed to plugins
  size_t streamChunk = 4096;       // bytes handed out per stream read (capped by the reader's buffer)
  FILE* logStream = stdout;        // where log lines are printed; null prints nothing
  size_t recordLimit = 20000;      // records kept per kind (requests, events, log lines)
  size_t recordBytes = 64u << 20;  // and the bytes they may hold per kind (the newest is always kept)
};

// A parameter item of a request: positional when the name is absent.
struct Item {
  std::optional<std::string> name;
  json value;
};

// A request as the host routes it, whoever sent it.
struct Call {
  std::string method = "GET";  // method name; any other text is method 8
  std::string url;             // path with any query
  std::vector<Item> items;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string contentType;
  std::string body;  // raw body bytes
};

// What came back: from a plugin endpoint, a peer, or the host itself.
struct Answer {
  int status = 0;  // as the answering side set it; 0 when it set none
  bool error = false;
  std::string errorText;
  json body;         // the response value (null for an empty one)
  bool raw = false;  // a streamed body that is not JSON; body holds the text
  bool streamed = false;
  uint64_t expectedSize = 0;
  std::string statusText;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string servedBy;              // plugin short name, "peers", or "" when nobody served it
  std::vector<std::string> allowed;  // methods the path accepts, on a 405

  // The status an HTTP client sees: 200 or 204 for a success without status,
  // 400 for an error without one; statuses a client cannot be given become
  // 500 (errors) or 502 (successes).
  int HttpStatus() const;
  // The JSON an HTTP client sees: the value, or {"error": text} on an error.
  json HttpBody() const;
  json ToJson() const;
};

struct RecordedRequest {
  uint64_t seq = 0;
  std::string from;  // short name of the plugin that sent it
  std::string method;
  std::string url;
  json items = json::array();  // [{"name": n?, "value": v}]
  std::string contentType;
  std::string body;
  Answer answer;
  json ToJson() const;
};

struct RecordedEvent {
  uint64_t seq = 0;
  std::string name;
  std::string source;  // plugin short name, "peers" or "host"
  json payload;
  uint32_t extra = 0;
  size_t subscribers = 0;  // deliveries queued
  // {seq, name, source, uri, eventType, data} for resource events, else {seq, name, source, payload}.
  json ToJson() const;
};

struct LogLine {
  uint64_t seq = 0;
  std::string time;  // UTC, YYYY-MM-DDTHH:MM:SS.mmmZ
  std::string plugin;
  int32_t level = 0;
  std::string text;
  std::string Format() const;  // "time| plugin| LEVEL| text"
};

// "  OKAY", "  WARN", " ERROR", "ALWAYS"; other levels as their number, right-aligned.
std::string LevelWord(int32_t level);
// 0 to 3 for "okay", "warn", "error", "always" (any case, spaces ignored); -1 otherwise.
int32_t LevelFromWord(const std::string& word);
// The export of a library file: libkiv-foo.so -> load_kiv_foo.
std::string ExportNameForLibrary(const std::string& path);
// The host event name of a resource path: "OnJsonApiEvent" and the first
// segments joined by "_" (three, or five under kiv-platform-config).
std::string EventNameOfPath(const std::string& path);
// Current UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ.
std::string UtcNow();

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  struct LoadResult {
    bool ok = false;
    std::string name;  // the plugin's short name
    std::string error;
  };
  // Loads a library and runs the version handshake; the export defaults to
  // the one derived from the file name.
  LoadResult Load(const std::string& path, const std::string& exportName = "");
  // Calls initialize of every loaded plugin not yet initialized, in load
  // order. A plugin that fails is destroyed and unloaded; false then, with
  // the reasons in `error`.
  bool Initialize(std::string* error = nullptr);
  // Destroys and unloads every plugin, last loaded first. Idempotent.
  void Shutdown();

  // Routes a request to a plugin endpoint (literal paths first, then the
  // best template), else to the simulated peers; 404/405 when nobody serves it.
  Answer Dispatch(const Call& call);
  // What a request to `url` would be serialised on: the lock of the plugin
  // function that serves it when that function is not safe to run
  // concurrently, else null. A front that queues such requests behind one
  // another keeps its workers from waiting on the lock; Dispatch still takes
  // it, so a stale answer costs only time.
  [[nodiscard]] std::shared_ptr<const void> SerialLane(const std::string& method, const std::string& url) const;

  // Sends an event to every subscriber of the name and to the observers.
  void Publish(const std::string& name, const json& payload, uint32_t extra = 0, const std::string& source = "host");
  // A resource event {uri, eventType, data}, under the path's host event name
  // and then under "OnJsonApiEvent". `type` is "Create", "Update" or "Delete".
  void PublishResource(const std::string& uri, const std::string& type, const json& data,
                       const std::string& source = "host");

  // Records: everything with a sequence number above `since`.
  uint64_t Mark() const { return seq_.load(); }
  std::vector<RecordedRequest> Requests(uint64_t since = 0) const;
  std::vector<RecordedEvent> Events(uint64_t since = 0) const;
  std::vector<LogLine> Logs(uint64_t since = 0) const;

  // Observers see every routed event, on the publishing thread.
  int Observe(std::function<void(const RecordedEvent&)> observer);
  void Unobserve(int id);

  // Waits until no event is queued or being delivered.
  bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  json DescribeApi() const;    // every loaded plugin's API table
  json Subscriptions() const;  // [{name, plugin, flag}]
  std::vector<std::string> PluginNames() const;
  bool HasPlugin(const std::string& name) const;
  Peers* peers() { return peers_.get(); }
  const HostOptions& options() const { return options_; }
  uint64_t yields() const { return yields_.load(); }
  uint64_t waits() const { return waits_.load(); }

  // A line of the host itself, printed and recorded like the plugins' lines.
  void HostLog(int32_t level, const std::string& text);

  // Internal: the service entries reach the host through these.
  struct Internals;

 private:
  friend struct Internals;
  uint64_t NextSeq() { return ++seq_; }
  // Publish and PublishResource for a payload or data the caller gives up.
  void PublishOwned(const std::string& name, json payload, uint32_t extra, const std::string& source);
  void PublishResourceOwned(const std::string& uri, const std::string& type, json data, const std::string& source);
  void Log(const std::string& plugin, int32_t level, const std::string& text);
  Answer CallEndpoint(const std::shared_ptr<PluginSlot>& slot, const void* entry, const Call& call);
  void Unload(const std::shared_ptr<PluginSlot>& slot);
  void RebuildRoutes();
  std::shared_ptr<PluginSlot> SlotByName(const std::string& name) const;

  HostOptions options_;
  // In this order: the bus records into the journal, and the peers log and
  // publish through both, so each outlives what uses it.
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<EventBus> bus_;
  std::unique_ptr<Peers> peers_;
  std::atomic<uint64_t> seq_{0};
  std::atomic<uint32_t> nextToken_{0x4B490001};
  std::atomic<uint64_t> yields_{0};
  std::atomic<uint64_t> waits_{0};

  mutable std::shared_mutex pluginsMutex_;  // plugins_ and routes_
  std::vector<std::shared_ptr<PluginSlot>> plugins_;
  struct EndpointTarget {
    std::shared_ptr<PluginSlot> slot;
    const void* entry;
  };
  Router<EndpointTarget> routes_;
};

// Fills a response record from an answer with host-owned contents and the
// host's release function; JSON text longer than `streamThreshold` bytes is
// streamed in pieces of at most `streamChunk` bytes.
void FillResponse(const Answer& answer, HostResponse* response, size_t streamThreshold, size_t streamChunk);
// Reads a response record a plugin filled (body, error, stream), then closes
// its stream and calls its release. Never trusts the record.
Answer ReadResponse(HostResponse* response, Host* host);

}  // namespace kivhost
