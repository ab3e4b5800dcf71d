// Request dispatch as the host drives it: a HostRequest handed to an endpoint
// entry's request function, the response released through its own release
// function. The endpoint set has the shape of the chat plugin's table plus a
// few patterned paths, so routing works on a realistic registry.
//
// The round trip of a body (Echo): a request carrying a JSON or MessagePack
// document, decoded into a value, handed to the handler, answered with it as
// host records and released, against the peer library's parse alone of the
// same bytes in the same run (vs_peer: this library's throughput as a ratio
// of the peer's, thread CPU time).
//
// Besides requests per second, each case reports heap traffic per request:
// "front_allocs" counts the library's allocation front end, "heap_allocs"
// every malloc/calloc/realloc of the process (the front end included, and
// whatever bypasses it: std::function, std::string, the C library).
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#define MSGPACK_NO_BOOST 1
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <msgpack.hpp>
#include <string>

#include "api/binding_api.h"
#include "kiv_plugin.h"
#include "logging/memory.h"
#include "reader_documents.h"

// ---------------------------------------------------------------------------
// General-heap counting, local to this program. glibc lets a program supply
// its own malloc family; ours counts and forwards to the real one.

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define KIV_BENCH_COUNTS_HEAP 1
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
}

namespace {
std::atomic<uint64_t> g_heapAllocations{0};
}

extern "C" {
void* malloc(std::size_t size) {
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
void free(void* block) { __libc_free(block); }
}
#else
#define KIV_BENCH_COUNTS_HEAP 0
#endif

namespace {

using kiv::HttpMethod;
using kiv::String;
using kiv::Vector;
using kiv::binding::BindingApi;
using kiv::binding::Value;

uint64_t HeapAllocations() {
#if KIV_BENCH_COUNTS_HEAP
  return g_heapAllocations.load(std::memory_order_relaxed);
#else
  return 0;
#endif
}

// What the handlers saw. Copying the texts in every timed call would add
// allocations of its own, so only the checking call records them.
struct Seen {
  uint64_t calls = 0;
  std::size_t bytes = 0;
  bool record = false;
  std::string first;
  std::string second;
};
Seen g_seen;

void See(const String& a, const String& b) {
  ++g_seen.calls;
  g_seen.bytes += a.size() + b.size();
  if (g_seen.record) {
    g_seen.first.assign(a.data(), a.size());
    g_seen.second.assign(b.data(), b.size());
  }
}

struct Plugin {
  BindingApi api;
  const PluginApiTable* table = nullptr;

  Plugin() {
    const char* const prefix = "/kiv-game-client-chat/v1";
    auto path = [&](const char* rest) { return std::string(prefix) + rest; };
    api.Endpoint(HttpMethod::kPost, path("/instant-messages"), [](String name, String message) { See(name, message); })
        .Arg("summonerName")
        .Arg("message");
    api.Endpoint(HttpMethod::kPost, path("/party-messages"), [](String message) { See(message, String()); })
        .Arg("message");
    api.Endpoint(HttpMethod::kGet, path("/ignored-summoners"), [] { return Vector<String>{String("Ann")}; });
    api.Endpoint(HttpMethod::kPost, path("/ignored-summoners"), [](String name) { See(name, String()); })
        .Arg("summonerName");
    api.Endpoint(HttpMethod::kDelete, path("/ignored-summoners"), [](String name) { See(name, String()); })
        .Arg("summonerName");
    api.Endpoint(HttpMethod::kGet, path("/buddies"), [] { return Vector<String>{String("Bo"), String("Cy")}; });
    // The measured shapes: two text query arguments and no result, and a
    // call without arguments that answers one text.
    api.Endpoint(HttpMethod::kGet, path("/lookup"), [](String a, String b) { See(a, b); }).Arg("a").Arg("b");
    api.Endpoint(HttpMethod::kGet, path("/me/name"), [] { return String("Some One"); });
    api.Endpoint(HttpMethod::kPost, path("/echo"), [](Value value) { return value; }).BodyArg("value");
    // Patterned paths.
    api.Endpoint(HttpMethod::kGet, path("/conversations/{id}"), [](String id) { See(id, String()); }).PathArg("id");
    api.Endpoint(HttpMethod::kGet, path("/conversations/{id}/messages/{messageId}"),
                 [](String id, String message) { See(id, message); })
        .PathArg("id")
        .PathArg("messageId");
    table = api.BuildApiTable();
  }

  const HostEndpointEntry* Entry(HttpMethod method, const std::string& path) const {
    const HostEndpointEntry* entry = table->endpoints;
    for (uint32_t i = 0; i < table->endpointCount && entry != nullptr; ++i) {
      if (entry->method == static_cast<uint32_t>(method) && path == entry->path) return entry;
      entry = reinterpret_cast<const HostEndpointEntry*>(entry->function.next);
    }
    return nullptr;
  }
};

Plugin& ThePlugin() {
  static Plugin* plugin = new Plugin();
  return *plugin;
}

struct Case {
  HttpMethod method;
  const char* path;  // the endpoint's pattern
  const char* url;   // what the host sends
  const char* first;
  const char* second;
  const char* text;  // the expected text result, or null for none
};

// One request as a host sends it; the response is released before returning.
// Returns the error text (empty on success) when `check` is set.
std::string Send(const HostEndpointEntry* entry, const HostRequest& request, const Case* check) {
  HostResponse response;
  std::memset(&response, 0, sizeof response);
  entry->requestEntry(&response, const_cast<HostRequest*>(&request));
  std::string error;
  if (check != nullptr) {
    if (response.errorText != nullptr) {
      error = response.errorText;
    } else if (check->text != nullptr) {
      const uint32_t kind = response.body.kind;
      const std::string got = kind == KIV_HOST_VALUE_STRING || kind == KIV_HOST_VALUE_OWNED_STRING
                                  ? std::string(response.body.u.text.data, response.body.u.text.length)
                                  : std::string("<kind ") + std::to_string(kind) + ">";
      if (got != check->text) error = "answered '" + got + "' instead of '" + check->text + "'";
    } else if (response.body.kind != KIV_HOST_VALUE_EMPTY) {
      error = "answered a body where none was expected";
    }
  }
  if (response.release != nullptr) response.release(&response);
  return error;
}

void Dispatch(benchmark::State& state, Case c) {
  Plugin& plugin = ThePlugin();
  const HostEndpointEntry* entry = plugin.Entry(c.method, c.path);
  if (entry == nullptr) {
    state.SkipWithError("no such endpoint");
    return;
  }
  HostRequest request{};
  request.method = static_cast<uint32_t>(c.method);
  request.url = c.url;
  request.endpointContext = entry->function.context;
  request.hostToken = 1;

  // Once, untimed: the call must succeed and the handler must have received
  // the decoded texts, or the loop below would measure an error path.
  g_seen.record = true;
  const uint64_t callsBefore = g_seen.calls;
  const std::string error = Send(entry, request, &c);
  g_seen.record = false;
  if (!error.empty()) {
    state.SkipWithError(("request failed: " + error).c_str());
    return;
  }
  if (c.first != nullptr) {
    if (g_seen.calls != callsBefore + 1 || g_seen.first != c.first || g_seen.second != c.second) {
      const std::string message = "handler saw '" + g_seen.first + "', '" + g_seen.second + "'";
      state.SkipWithError(message.c_str());
      return;
    }
  }

  const uint64_t frontBefore = kiv::mem::ReadAllocationStats().allocations;
  const uint64_t heapBefore = HeapAllocations();
  for (auto _ : state) {
    Send(entry, request, nullptr);
  }
  const double iterations = static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["front_allocs"] =
      static_cast<double>(kiv::mem::ReadAllocationStats().allocations - frontBefore) / iterations;
#if KIV_BENCH_COUNTS_HEAP
  state.counters["heap_allocs"] = static_cast<double>(HeapAllocations() - heapBefore) / iterations;
#else
  (void)heapBefore;
#endif
  benchmark::DoNotOptimize(g_seen.bytes);
}

BENCHMARK_CAPTURE(Dispatch, two_text_query_args,
                  Case{HttpMethod::kGet, "/kiv-game-client-chat/v1/lookup",
                       "/kiv-game-client-chat/v1/lookup?a=hello%20there&b=world", "hello there", "world", nullptr});
BENCHMARK_CAPTURE(Dispatch, instant_message,
                  Case{HttpMethod::kPost, "/kiv-game-client-chat/v1/instant-messages",
                       "/kiv-game-client-chat/v1/instant-messages?summonerName=Some+One&message=see%20you%20at%208",
                       "Some One", "see you at 8", nullptr});
BENCHMARK_CAPTURE(Dispatch, text_result_no_args,
                  Case{HttpMethod::kGet, "/kiv-game-client-chat/v1/me/name", "/kiv-game-client-chat/v1/me/name",
                       nullptr, nullptr, "Some One"});
BENCHMARK_CAPTURE(Dispatch, two_path_captures,
                  Case{HttpMethod::kGet, "/kiv-game-client-chat/v1/conversations/{id}/messages/{messageId}",
                       "/kiv-game-client-chat/v1/conversations/abc%40pvp.net/messages/17", "abc@pvp.net", "17",
                       nullptr});

// ---------------------------------------------------------------------------
// Round trip of a body

enum class Format { kJson, kMessagePack };

const std::string& EchoBytes(Format format, int which) {
  static std::string texts[2][reader_bench::kDocumentCount];
  std::string& bytes = texts[format == Format::kJson ? 0 : 1][which];
  if (bytes.empty()) {
    const nlohmann::json document = reader_bench::Document(which);
    if (format == Format::kJson) {
      bytes = reader_bench::ToJsonText(document);
    } else {
      const std::vector<uint8_t> packed = nlohmann::json::to_msgpack(document);
      bytes.assign(packed.begin(), packed.end());
    }
  }
  return bytes;
}

const char* FormatName(Format format) { return format == Format::kJson ? "json" : "msgpack"; }

void PeerParse(benchmark::State& state, Format format) {
  const int which = static_cast<int>(state.range(0));
  const std::string& bytes = EchoBytes(format, which);
  const std::string key = std::string("peer/") + FormatName(format) + "/" + reader_bench::DocumentName(which);
  if (format == Format::kJson) {
    reader_bench::Measure(state, key, bytes.size(), [&] {
      rapidjson::Document document;
      document.Parse(bytes.c_str(), bytes.size());
      if (document.HasParseError()) state.SkipWithError("peer failed");
      benchmark::DoNotOptimize(document.IsObject());
    });
  } else {
    reader_bench::Measure(state, key, bytes.size(), [&] {
      msgpack::object_handle handle = msgpack::unpack(bytes.data(), bytes.size());
      benchmark::DoNotOptimize(handle.get().type);
    });
  }
}

void Echo(benchmark::State& state, Format format) {
  const int which = static_cast<int>(state.range(0));
  const std::string& bytes = EchoBytes(format, which);
  const HostEndpointEntry* entry = ThePlugin().Entry(HttpMethod::kPost, "/kiv-game-client-chat/v1/echo");
  HostRequest request{};
  request.method = static_cast<uint32_t>(HttpMethod::kPost);
  request.url = "/kiv-game-client-chat/v1/echo";
  request.endpointContext = entry->function.context;
  request.hostToken = 1;
  request.contentType = format == Format::kJson ? "application/json" : "application/x-msgpack";
  request.body = reinterpret_cast<const uint8_t*>(bytes.data());
  request.bodySize = static_cast<uint32_t>(bytes.size());

  // Once, untimed: the answer must be the document (a structure of as many
  // members), or the loop would measure an error path.
  {
    HostResponse response;
    std::memset(&response, 0, sizeof response);
    entry->requestEntry(&response, &request);
    const std::string error = response.errorText != nullptr ? response.errorText : "";
    const bool shaped = response.body.kind == KIV_HOST_VALUE_STRUCTURE &&
                        response.body.u.structure.count == reader_bench::Document(which).size();
    if (response.release != nullptr) response.release(&response);
    if (!error.empty() || !shaped) {
      state.SkipWithError(("echo failed: " + (error.empty() ? std::string("wrong answer") : error)).c_str());
      return;
    }
  }
  const std::string key = std::string("echo/") + FormatName(format) + "/" + reader_bench::DocumentName(which);
  reader_bench::Measure(state, key, bytes.size(), [&] {
    HostResponse response;
    std::memset(&response, 0, sizeof response);
    entry->requestEntry(&response, &request);
    if (response.release != nullptr) response.release(&response);
  });
  state.counters["vs_peer"] =
      reader_bench::Ratio(key, std::string("peer/") + FormatName(format) + "/" + reader_bench::DocumentName(which));
  state.counters["MB"] = static_cast<double>(bytes.size()) / 1e6;
}

// Peers first, so that the ratios can be given. Documents: 0 chat log,
// 2 one record, 3 nested objects.
BENCHMARK_CAPTURE(PeerParse, json, Format::kJson)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PeerParse, msgpack, Format::kMessagePack)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Echo, json, Format::kJson)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Echo, msgpack, Format::kMessagePack)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

}  // namespace
