// A host for the framework tests: it offers the ten host services, records
// every call the plugin makes (from any thread), and answers requests through
// a responder the test sets.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "framework/plugin.h"
#include "kiv_plugin.h"
#include "value/host_value.h"
#include "value/value.h"

namespace kiv::framework::testing {

struct RecordedRequest {
  uint32_t method = 0;
  std::string url;
  uint32_t itemCount = 0;
  bool firstItemPositional = false;
  binding::Value firstItem;
  uint32_t hostToken = 0;
  uint32_t words4to9 = 0;  // OR of the words the plugin must leave zero
};

struct RecordedEvent {
  std::string name;
  binding::Value payload;
  uint32_t extra = 0;
  void* context = nullptr;
};

struct RecordedSubscription {
  std::string name;
  uint32_t hostToken = 0;
  HostEventCallback callback = nullptr;
  void* context = nullptr;
  uint32_t flag = 0;
};

struct RecordedLog {
  int32_t level = 0;
  std::string text;
};

class FakeHost {
 public:
  FakeHost() {
    table_.owner = this;
    HostServices& s = table_.services;
    s.sendRequest = &SendRequest;
    s.reserved1 = &Reserved1;
    s.sendEvent = &SendEvent;
    s.subscribe = &Subscribe;
    s.unsubscribe = &Unsubscribe;
    s.reserved5 = &Reserved5;
    s.yield = &Yield;
    s.beginWait = &BeginWait;
    s.endWait = &EndWait;
    s.writeLog = &WriteLog;
  }
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  HostServices* Services() { return &table_.services; }

  // Fills the response of each request; the default answers with an empty body.
  std::function<void(HostResponse* response, const HostRequest* request)> responder;
  // Runs after each log line is recorded, outside the host's lock.
  std::function<void(const std::string& text)> onLog;

  std::vector<RecordedRequest> requests;
  std::vector<RecordedEvent> events;
  std::vector<RecordedSubscription> subscriptions;
  std::vector<std::string> unsubscriptions;
  std::vector<RecordedLog> logs;
  // "yield", "begin:<label>:<value>", "end" in call order.
  std::vector<std::string> waits;
  int reservedCalls = 0;

  bool HasLog(int32_t level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const RecordedLog& line : logs) {
      if (line.level == level && line.text == text) return true;
    }
    return false;
  }

  // Whether the plugin is subscribed to `name` now: the later of its last
  // subscribe and its last unsubscribe decides.
  bool Subscribed(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribed_.count(name) != 0;
  }

  // Delivers an event to the callback last subscribed under `name`, as a
  // host does: looked up under the host's lock, called outside it.
  bool Deliver(const std::string& name, const HostValue& payload) const {
    RecordedSubscription target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = subscriptions.rbegin();
      while (it != subscriptions.rend() && it->name != name) ++it;
      if (it == subscriptions.rend()) return false;
      target = *it;
    }
    HostEvent event;
    std::memset(static_cast<void*>(&event), 0, sizeof event);
    event.name = name.c_str();
    std::memcpy(static_cast<void*>(&event.payload), &payload, sizeof payload);
    event.context = target.context;
    target.callback(&event);
    return true;
  }

 private:
  struct Table {
    HostServices services;
    FakeHost* owner;
  };
  static FakeHost& Of(HostServices* self) { return *reinterpret_cast<Table*>(self)->owner; }

  static void KIV_CDECL SendRequest(HostServices* self, HostResponse* response, HostRequest* request) {
    FakeHost& host = Of(self);
    RecordedRequest record;
    record.method = request->method;
    record.url = request->url != nullptr ? request->url : "";
    record.itemCount = request->itemCount;
    if (request->itemCount > 0 && request->items != nullptr) {
      HostParameterItem item;
      std::memcpy(static_cast<void*>(&item), request->items, sizeof item);
      record.firstItemPositional = item.name == nullptr;
      binding::ValueResult value;
      binding::ReadHostValue(value, value, item.value, "item");
      record.firstItem = value;
    }
    record.hostToken = request->hostToken;
    record.words4to9 = (request->endpointContext != nullptr) | (request->headers != nullptr) | request->headerCount |
                       (request->contentType != nullptr) | (request->body != nullptr) | request->bodySize |
                       (request->methodText != nullptr);
    {
      std::lock_guard<std::mutex> lock(host.mutex_);
      host.requests.push_back(std::move(record));
    }
    if (host.responder) host.responder(response, request);
  }
  static void KIV_CDECL Reserved1(HostServices* self, uint32_t, uint32_t) { ++Of(self).reservedCalls; }
  static void KIV_CDECL SendEvent(HostServices* self, HostEvent* event) {
    RecordedEvent record;
    record.name = event->name != nullptr ? event->name : "";
    HostValue payload;
    std::memcpy(static_cast<void*>(&payload), &event->payload, sizeof payload);
    binding::ValueResult value;
    binding::ReadHostValue(value, value, payload, "payload");
    record.payload = value;
    record.extra = event->extra;
    record.context = event->context;
    FakeHost& host = Of(self);
    std::lock_guard<std::mutex> lock(host.mutex_);
    host.events.push_back(std::move(record));
  }
  static void KIV_CDECL Subscribe(HostServices* self, const char* name, uint32_t hostToken, HostEventCallback callback,
                                  void* context, uint32_t flag) {
    FakeHost& host = Of(self);
    std::lock_guard<std::mutex> lock(host.mutex_);
    host.subscriptions.push_back(RecordedSubscription{name, hostToken, callback, context, flag});
    host.subscribed_.insert(name);
  }
  static void KIV_CDECL Unsubscribe(HostServices* self, const char* name, uint32_t) {
    FakeHost& host = Of(self);
    std::lock_guard<std::mutex> lock(host.mutex_);
    host.unsubscriptions.emplace_back(name);
    host.subscribed_.erase(name);
  }
  static void KIV_CDECL Reserved5(HostServices* self, uint32_t, uint32_t, uint32_t, uint64_t, uint32_t) {
    ++Of(self).reservedCalls;
  }
  static uint32_t KIV_CDECL Yield(HostServices* self) {
    Of(self).waits.emplace_back("yield");
    return 0;
  }
  static uint32_t KIV_CDECL BeginWait(HostServices* self, const char* label, uint32_t value) {
    Of(self).waits.push_back("begin:" + std::string(label) + ":" + std::to_string(value));
    return 0;
  }
  static uint32_t KIV_CDECL EndWait(HostServices* self) {
    Of(self).waits.emplace_back("end");
    return 7;
  }
  static void KIV_CDECL WriteLog(HostServices* self, int32_t level, const char* text) {
    FakeHost& host = Of(self);
    {
      std::lock_guard<std::mutex> lock(host.mutex_);
      host.logs.push_back(RecordedLog{level, text});
    }
    if (host.onLog) host.onLog(text);
  }

  Table table_{};
  mutable std::mutex mutex_;
  std::set<std::string> subscribed_;
};

// HostValue records built by hand, as a host would.
class HostValues {
 public:
  HostValue Text(const char* text) {
    HostValue v = Zero();
    v.kind = KIV_HOST_VALUE_STRING;
    v.u.text.data = text;
    v.u.text.length = static_cast<uint32_t>(std::strlen(text));
    return v;
  }
  HostValue Signed(int64_t number) {
    HostValue v = Zero();
    v.kind = KIV_HOST_VALUE_SIGNED;
    v.u.i64 = number;
    return v;
  }
  // Members must be given in key order.
  HostValue Structure(std::vector<std::pair<const char*, HostValue>> members) {
    auto& entries = structures_.emplace_back(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      std::memset(static_cast<void*>(&entries[i]), 0, sizeof(HostStructEntry));
      entries[i].key = members[i].first;
      std::memcpy(static_cast<void*>(&entries[i].value), &members[i].second, sizeof(HostValue));
    }
    HostValue v = Zero();
    v.kind = KIV_HOST_VALUE_STRUCTURE;
    v.u.structure.entries = entries.data();
    v.u.structure.count = static_cast<uint32_t>(entries.size());
    return v;
  }
  HostValue Collection(std::vector<HostValue> items) {
    auto& stored = collections_.emplace_back(std::move(items));
    HostValue v = Zero();
    v.kind = KIV_HOST_VALUE_COLLECTION;
    v.u.collection.items = stored.data();
    v.u.collection.count = static_cast<uint32_t>(stored.size());
    return v;
  }
  static HostValue Zero() {
    HostValue v;
    std::memset(static_cast<void*>(&v), 0, sizeof v);
    return v;
  }

 private:
  std::vector<std::vector<HostStructEntry>> structures_;
  std::vector<std::vector<HostValue>> collections_;
};

}  // namespace kiv::framework::testing
