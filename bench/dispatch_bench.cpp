// Request dispatch as the host drives it: a HostRequest handed to an endpoint
// entry's request function, the response released through its own release
// function. The endpoint set has the shape of the chat plugin's table plus a
// few patterned paths, so routing works on a realistic registry.
//
// Besides requests per second, each case reports heap traffic per request:
// "front_allocs" counts the library's allocation front end, "heap_allocs"
// every malloc/calloc/realloc of the process (the front end included, and
// whatever bypasses it: std::function, std::string, the C library).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/binding_api.h"
#include "kiv_plugin.h"
#include "logging/memory.h"

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

}  // namespace
