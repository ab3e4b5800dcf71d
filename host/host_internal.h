// What the host's own files share and nothing outside host/ sees: the texts a
// plugin hands over, read within bounds, and the record kept per loaded
// plugin, which the loader fills, the service entries find through their
// table, the router points at and the event bus queues deliveries on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host.h"
#include "host_value.h"
#include "kiv_plugin.h"
#include "loader.h"

namespace kivhost {

// The longest text read from a plugin when nothing narrower applies.
inline constexpr size_t kMaxText = 1u << 20;

// A text a plugin hands over, cut at `limit` bytes; empty for null.
// Event names a plugin sends or subscribes to, and its log lines, each with
// the zero that ends it.
inline constexpr size_t kMaxEventName = 4097;
inline constexpr size_t kMaxLogLine = 65537;

inline std::string Text(const char* text, size_t limit = kMaxText) {
  return text == nullptr ? std::string() : std::string(text, strnlen(text, limit));
}

// A text a plugin hands over, whole: false when it does not end within
// `limit` bytes, for cutting it short would quietly make it another text.
[[nodiscard]] inline bool WholeText(const char* text, size_t limit, std::string* out) {
  const size_t length = text == nullptr ? 0 : strnlen(text, limit);
  if (length == limit) return false;
  out->assign(text == nullptr ? "" : text, length);
  return true;
}

// A malloc'd copy, for records the host's release function frees.
[[nodiscard]] inline char* Duplicate(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// An answer the host gives itself when it cannot route or read a request.
[[nodiscard]] inline Answer HostFailure(int status, std::string text) {
  Answer a;
  a.status = status;
  a.error = true;
  a.errorText = std::move(text);
  return a;
}

struct ServiceTable {
  HostServices services;  // first: the plugin hands this address back as `self`
  PluginSlot* slot;
};

// An event as every subscriber receives it: the payload is built once.
struct EventItem {
  std::string name;
  OwnedHostValue payload;
  uint32_t extra = 0;
};

struct Delivery {
  std::shared_ptr<EventItem> item;
  HostEventCallback callback;
  void* context;
};

struct PluginSlot {
  Host* host = nullptr;
  std::string path, exportName, name;
  Library library;
  PluginRegistration reg{};
  ServiceTable table{};
  HostInit init{};
  uint32_t token = 0;
  bool initTried = false;
  bool initialized = false;

  // Calls into the plugin under way; unloading waits for them to return.
  std::mutex activeMutex;
  std::condition_variable activeCv;
  int active = 0;
  bool accepting = true;

  // Events waiting for the plugin, and whether a thread is delivering them.
  std::mutex deliveryMutex;
  std::deque<Delivery> queue;
  bool draining = false;

  struct Endpoint {
    const HostEndpointEntry* entry;
    HostRequestEntry requestEntry;
    const void* context;
    std::string path;
    uint32_t method;
    std::string methodText;
    std::shared_ptr<std::recursive_mutex> serial;  // set unless the function is thread-safe
  };
  std::vector<Endpoint> endpoints;
  json description;
};

// Counts a call into a plugin so that unloading waits for it.
class ActiveGuard {
 public:
  explicit ActiveGuard(PluginSlot& slot) : slot_(slot) {
    std::lock_guard<std::mutex> lock(slot_.activeMutex);
    ok_ = slot_.accepting;
    if (ok_) ++slot_.active;
  }
  ~ActiveGuard() {
    if (!ok_) return;
    std::lock_guard<std::mutex> lock(slot_.activeMutex);
    if (--slot_.active == 0) slot_.activeCv.notify_all();
  }
  ActiveGuard(const ActiveGuard&) = delete;
  ActiveGuard& operator=(const ActiveGuard&) = delete;
  explicit operator bool() const { return ok_; }

 private:
  PluginSlot& slot_;
  bool ok_ = false;
};

}  // namespace kivhost
