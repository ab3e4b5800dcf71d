// Resource observers, counted host subscriptions, the host's event
// callbacks and publishing.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include "framework/plugin_context.h"
#include "logging/barrier.h"
#include "logging/log.h"
#include "value/host_value.h"

namespace kiv::framework {

namespace {

constexpr const char* kPlatformConfigSegment = "kiv-platform-config";

bool ReadResourceEvent(const binding::Value& value, PluginResourceEvent& event, const binding::TypeRegistry& types) {
  // Only a structure with a text uri and an event type is a resource event.
  if (!value.IsStructure()) return false;
  if (!value.FindMember("uri").IsString() || value.FindMember("eventType").IsEmpty()) return false;
  binding::ValueResult check;
  binding::FromValue(check, event, value, "<result>", types);
  return check.Succeeded();
}

}  // namespace

String HostEventName(std::string_view path) {
  Vector<std::string_view> parts;
  parts.push_back(kJsonApiEventName);
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  const std::size_t keep = parts.size() > 1 && parts[1] == kPlatformConfigSegment ? 6 : 4;
  String name;
  for (std::size_t i = 0; i < parts.size() && i < keep; ++i) {
    if (i != 0) name.push_back('_');
    name.append(parts[i].data(), parts[i].size());
  }
  return name;
}

bool WildcardMatch(std::string_view pattern, std::string_view path) {
  std::size_t p = 0;
  std::size_t s = 0;
  while (p < pattern.size() && s < path.size()) {
    if (pattern[p] != '*') {
      if (pattern[p] != path[s]) return false;
      ++p;
      ++s;
    } else if (path[s] != '/') {
      ++s;
      if (s == path.size()) ++p;
    } else {
      ++p;
    }
  }
  return p == pattern.size() && s == path.size();
}

// ---------------------------------------------------------------------------
// EventSubscriber

EventSubscriber::EventSubscriber() {
  exactObservers_.max_load_factor(1.0f);
  exactObservers_.rehash(8);
  wildcardObservers_.max_load_factor(1.0f);
  wildcardObservers_.rehash(8);
}

void EventSubscriber::ObserveResource(std::string_view path, ResourceHandler handler) {
  const bool wildcard = path.find('*') != std::string_view::npos;
  ResourceHandler previous;
  {
    platform::LockGuard guard(observersMutex_);
    auto& table = wildcard ? wildcardObservers_ : exactObservers_;
    previous = std::exchange(table[ToString(path)], handler);
  }
  SubscribeEvent(path);
  if (wildcard || owner_ == nullptr || !handler) return;
  Result<binding::Value> current = owner_->RequestAs<binding::Value>(HttpMethod::kGet, path);
  if (!current.ok()) return;
  PluginResourceEvent event;
  event.uri = ToString(path);
  event.eventType = PluginResourceEventType::Create;
  event.data = std::move(current.value());
  handler(event);
}

void EventSubscriber::DispatchResourceEvent(const PluginResourceEvent& event) {
  String path;
  if (event.uri.empty() || event.uri.front() != '/') path.push_back('/');
  path.append(event.uri);
  // Handlers may observe further paths, here or on other threads: they run
  // on copies, outside the lock.
  Vector<ResourceHandler> handlers;
  {
    platform::LockGuard guard(observersMutex_);
    if (auto it = exactObservers_.find(std::string_view(path)); it != exactObservers_.end() && it->second) {
      handlers.push_back(it->second);
    }
    for (const auto& [pattern, handler] : wildcardObservers_) {
      if (handler && WildcardMatch(pattern, path)) handlers.push_back(handler);
    }
  }
  for (const ResourceHandler& handler : handlers) handler(event);
}

void EventSubscriber::ClearObservers() {
  // The handlers are destroyed after the lock is given back: what they hold
  // may run code of its own on the way out.
  HashMap<String, ResourceHandler, StringHash, std::equal_to<>> exact;
  HashMap<String, ResourceHandler, StringHash, std::equal_to<>> wildcard;
  platform::LockGuard guard(observersMutex_);
  exact.swap(exactObservers_);
  wildcard.swap(wildcardObservers_);
}

// ---------------------------------------------------------------------------
// Subscriptions

namespace {
// Events being delivered on this thread, over every context.
thread_local uint32_t t_deliveries = 0;
}  // namespace

PluginContext::PluginContext() {
  eventHandlers_.max_load_factor(1.0f);
  eventHandlers_.rehash(8);
  subscriptionCounts_.max_load_factor(1.0f);
  subscriptionCounts_.rehash(8);
  owner_ = this;
}

PluginContext::~PluginContext() = default;

void PluginContext::SubscribeEvent(std::string_view path) {
  const String name = HostEventName(path);
  // Built before the lock is taken; used only by the first subscription.
  auto record = std::allocate_shared<EventHandlerRecord>(mem::Allocator<EventHandlerRecord>());
  record->flag = 0;
  record->resource = [this](const PluginResourceEvent& event) { DispatchResourceEvent(event); };
  HandlerPtr replaced;
  {
    platform::LockGuard guard(eventMutex_);
    uint32_t& stored = subscriptionCounts_[name];
    if (stored != std::numeric_limits<uint32_t>::max()) ++stored;
    if (stored != 1) return;
    HandlerPtr& slot = eventHandlers_[name];
    replaced = std::exchange(slot, std::move(record));
    hostSubscriptions_[name].renew = true;
  }
  SyncHostSubscription(name);
}

void PluginContext::UnsubscribeEvent(std::string_view path) {
  const String name = HostEventName(path);
  HandlerPtr removed;
  {
    platform::LockGuard guard(eventMutex_);
    auto count = subscriptionCounts_.find(std::string_view(name));
    if (count == subscriptionCounts_.end() || count->second == 0) return;
    if (--count->second != 0) return;
    if (auto it = eventHandlers_.find(std::string_view(name)); it != eventHandlers_.end()) {
      removed = std::move(it->second);
      eventHandlers_.erase(it);
    }
  }
  SyncHostSubscription(name);
  if (removed != nullptr) AwaitDeliveries(*removed);
}

uint32_t PluginContext::SubscriptionCount(std::string_view eventName) const {
  platform::LockGuard guard(eventMutex_);
  auto it = subscriptionCounts_.find(eventName);
  return it == subscriptionCounts_.end() ? 0 : it->second;
}

void PluginContext::RegisterResourceEventHandler(std::string_view eventName, ResourceHandler handler) {
  auto record = std::allocate_shared<EventHandlerRecord>(mem::Allocator<EventHandlerRecord>());
  record->flag = 0;
  record->resource = std::move(handler);
  RegisterEventHandler(eventName, std::move(record));
}

void PluginContext::RegisterServiceProxyEventHandler(std::string_view eventName, ServiceProxyHandler handler) {
  auto record = std::allocate_shared<EventHandlerRecord>(mem::Allocator<EventHandlerRecord>());
  record->flag = 1;
  record->serviceProxy = std::move(handler);
  RegisterEventHandler(eventName, std::move(record));
}

void PluginContext::RegisterEventHandler(std::string_view eventName, HandlerPtr record) {
  const String name = ToString(eventName);
  HandlerPtr replaced;
  {
    platform::LockGuard guard(eventMutex_);
    replaced = std::exchange(eventHandlers_[name], std::move(record));
    hostSubscriptions_[name].renew = true;
  }
  // Before initialize there is no host to subscribe at; InitializeContext
  // catches up on these names.
  SyncHostSubscription(name);
}

void PluginContext::SyncHostSubscription(const String& name) {
  if (!HasHostServices()) return;
  bool mine = false;  // whether this thread has taken the name's syncing over
  for (;;) {
    bool subscribe = false;
    uint32_t flag = 0;
    {
      platform::LockGuard guard(eventMutex_);
      HostSubscription& host = hostSubscriptions_[name];
      if (host.syncing && !mine) return;
      auto handler = eventHandlers_.find(std::string_view(name));
      if (handler != eventHandlers_.end()) {
        flag = handler->second->flag;
        subscribe = !host.subscribed || host.renew || host.flag != flag;
        if (!subscribe) {
          host.syncing = false;
          return;
        }
      } else if (!host.subscribed) {
        host.syncing = false;
        return;
      }
      // Recorded before the call: a change made meanwhile is compared with
      // what the host is about to have.
      host.syncing = true;
      host.subscribed = subscribe;
      host.flag = flag;
      host.renew = false;
      mine = true;
    }
    // The host is C and does not throw; should anything else, the name must
    // not stay marked as being synced.
    bool called = false;
    struct Release {
      PluginContext& context;
      const String& name;
      const bool& called;
      ~Release() {
        if (called) return;
        platform::LockGuard guard(context.eventMutex_);
        context.hostSubscriptions_[name].syncing = false;
      }
    } release{*this, name, called};
    if (subscribe) {
      HostSubscribe(name.c_str(), hostToken_,
                    flag == 0 ? &PluginContext::ResourceEventCallback : &PluginContext::ServiceProxyEventCallback,
                    static_cast<void*>(this), flag);
    } else {
      HostUnsubscribe(name.c_str(), hostToken_);
    }
    called = true;
  }
}

void PluginContext::AwaitDeliveries(EventHandlerRecord& record) {
  if (t_deliveries != 0) return;
  // Deliveries are short: yield while they finish, then sleep a little, so a
  // waiter never competes with them for the processor for long (a blocking
  // atomic wait is not reliable on every runtime this builds for).
  for (uint32_t spins = 0; record.running.load(std::memory_order_acquire) != 0; ++spins) {
    if (spins < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
}

void PluginContext::InitializeContext(uint32_t hostToken) {
  hostToken_ = hostToken;
  owner_ = this;
  RegisterServiceProxyEventHandler(kServiceProxyUuidEventName, [this](const PluginServiceProxyResponse& response) {
    OnServiceProxyUuidEvent(response);
  });
  RegisterServiceProxyEventHandler(kServiceProxyMethodEventName, [this](const PluginServiceProxyResponse& response) {
    OnServiceProxyMethodEvent(response);
  });
  RegisterServiceProxyEventHandler(kServiceProxyAsyncEventName, [this](const PluginServiceProxyResponse& response) {
    OnServiceProxyAsyncEvent(response);
  });
  Vector<String> names;
  {
    platform::LockGuard guard(eventMutex_);
    for (const auto& entry : eventHandlers_) names.push_back(entry.first);
  }
  for (const String& name : names) SyncHostSubscription(name);
}

void PluginContext::Shutdown() {
  // Taken over whole, without allocating: with no memory left the host must
  // still hear every unsubscription before the plugin goes.
  decltype(eventHandlers_) removed;
  {
    platform::LockGuard guard(eventMutex_);
    removed.swap(eventHandlers_);
  }
  for (const auto& entry : removed) SyncHostSubscription(entry.first);
  {
    platform::LockGuard guard(serviceProxyMutex_);
    waitingRequests_.clear();
    asyncHandlers_.clear();
    receivedAnswers_.clear();
  }
  ClearObservers();
  for (const auto& entry : removed) AwaitDeliveries(*entry.second);
}

// ---------------------------------------------------------------------------
// The host's callbacks

class PluginContext::Delivery {
 public:
  // Copies the packed record out and takes the receiving context's handler
  // for it, which must have its resource or service-proxy callable set.
  Delivery(const HostEvent* event, bool serviceProxy) {
    std::memset(static_cast<void*>(&event_), 0, sizeof event_);
    if (event == nullptr) return;
    std::memcpy(static_cast<void*>(&event_), event, sizeof event_);
    auto* context = static_cast<PluginContext*>(event_.context);
    if (context == nullptr || event_.name == nullptr) return;
    platform::LockGuard guard(context->eventMutex_);
    auto it = context->eventHandlers_.find(std::string_view(event_.name));
    if (it == context->eventHandlers_.end()) return;
    if (serviceProxy ? !it->second->serviceProxy : !it->second->resource) return;
    handler_ = it->second;
    handler_->running.fetch_add(1, std::memory_order_relaxed);
    ++t_deliveries;
    context_ = context;
  }
  ~Delivery() {
    if (handler_ == nullptr) return;
    --t_deliveries;
    handler_->running.fetch_sub(1, std::memory_order_acq_rel);
  }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  explicit operator bool() const { return handler_ != nullptr; }
  const HostEvent& Event() const { return event_; }
  PluginContext& Context() const { return *context_; }
  EventHandlerRecord& Handler() const { return *handler_; }

 private:
  HostEvent event_;
  PluginContext* context_ = nullptr;
  HandlerPtr handler_;
};

namespace {

void LogDroppedEvent(Escape escape, const HostEvent* event) {
  char detail[320];
  const char* name = nullptr;
  if (event != nullptr) std::memcpy(static_cast<void*>(&name), &event->name, sizeof name);
  std::snprintf(detail, sizeof detail, " for %.256s; the event is dropped", name != nullptr ? name : "an event");
  LogEscape(escape, "the event callback", detail);
}

}  // namespace

void PluginContext::ResourceEventCallback(const HostEvent* event) {
  const Escape escape = Guarded([event] {
    Delivery delivery(event, false);
    if (delivery) delivery.Context().DeliverResourceEvent(delivery.Event(), delivery.Handler());
  });
  if (escape != Escape::kNone) LogDroppedEvent(escape, event);
}

void PluginContext::ServiceProxyEventCallback(const HostEvent* event) {
  const Escape escape = Guarded([event] {
    Delivery delivery(event, true);
    if (delivery) delivery.Context().DeliverServiceProxyEvent(delivery.Event(), delivery.Handler());
  });
  if (escape != Escape::kNone) LogDroppedEvent(escape, event);
}

void PluginContext::DeliverResourceEvent(const HostEvent& event, EventHandlerRecord& handler) {
  binding::ValueResult value;
  PluginResourceEvent resource;
  if (binding::ReadHostValue(value, value, event.payload, "<result>")) {
    if (!ReadResourceEvent(value, resource, Api().Types())) return;
  } else if (!ReadResourceEventWithoutData(event, resource)) {
    return;
  }
  handler.resource(resource);
}

bool PluginContext::ReadResourceEventWithoutData(const HostEvent& event, PluginResourceEvent& resource) {
  // A payload too deep (or otherwise unreadable) as a whole still names its
  // resource and what happened to it. Handlers then act on what they can
  // use: a friend added without a usable name is still announced, where
  // dropping the event would leave the game client never hearing of it.
  const HostValue& payload = event.payload;
  if (payload.kind != KIV_HOST_VALUE_STRUCTURE || payload.u.structure.entries == nullptr) return false;
  const HostStructEntry* entries = payload.u.structure.entries;
  const uint32_t count = payload.u.structure.count;
  binding::Value head;
  head.MakeStructure();
  const HostValue* data = nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    const char* key = entries[i].key;
    if (key == nullptr) return false;
    const std::string_view name(key);
    if (name == "data") {
      data = &entries[i].value;
      continue;
    }
    if (name != "uri" && name != "eventType") continue;
    binding::ValueResult part;
    if (!binding::ReadHostValue(part, part, entries[i].value, name)) return false;
    head.Member(name) = std::move(part);
  }
  head.Member("data");
  if (!ReadResourceEvent(head, resource, Api().Types())) return false;
  if (data == nullptr) return true;
  binding::ValueResult value;
  if (binding::ReadHostValue(value, value, *data, "data")) {
    resource.data = std::move(value);
    return true;
  }
  const String why = ToString(value.ErrorMessage());
  log::Log(log::kWarn, 1, 0, "%s: %s for %s is delivered without its data: %s", shortName_.c_str(), event.name,
           resource.uri.c_str(), why.c_str());
  return true;
}

void PluginContext::DeliverServiceProxyEvent(const HostEvent& event, EventHandlerRecord& handler) {
  binding::ValueResult value;
  if (!binding::ReadHostValue(value, value, event.payload, "<result>")) return;
  if (!value.IsStructure()) return;
  PluginServiceProxyResponse response;
  binding::ValueResult check;
  binding::FromValue(check, response, value, "<result>", Api().Types());
  if (!check.Succeeded()) return;
  handler.serviceProxy(response);
}

// ---------------------------------------------------------------------------
// Publishing

Result<void> PluginContext::PublishResourceEvent(std::string_view eventName, const PluginResourceEvent& event,
                                                 uint32_t extra) {
  if (!HasHostServices()) {
    return MakeCallError(503, "Plugin not initialized: no host services to publish {event} for {uri}",
                         {eventName, event.uri});
  }
  binding::ValueResult value;
  binding::ToValue(value, event, Api().Types());
  if (!value.Succeeded()) return CallError{0, ToString(value.ErrorMessage()), {}};
  const String pathName = HostEventName(event.uri);
  HostValue payload;
  std::memset(static_cast<void*>(&payload), 0, sizeof payload);
  binding::ValueResult written;
  if (!binding::WriteHostValueBlock(written, payload, value, &Api().Types())) {
    return CallError{0, ToString(written.ErrorMessage()), {}};
  }
  SendEventRecord(pathName.c_str(), payload, extra);
  if (std::string_view(pathName) != eventName) SendEventRecord(ToString(eventName).c_str(), payload, extra);
  binding::ReleaseHostValueBlock(payload);
  return Result<void>::Success();
}

void PluginContext::SendEventRecord(const char* name, HostValue& payload, uint32_t extra) {
  HostEvent event;
  std::memset(static_cast<void*>(&event), 0, sizeof event);
  event.name = name;
  std::memcpy(static_cast<void*>(&event.payload), &payload, sizeof payload);
  event.extra = extra;
  HostSendEvent(&event);
}

Result<void> PluginContext::PublishTextResource(std::string_view uri, std::string_view text) {
  PluginResourceEvent event;
  event.uri = ToString(uri);
  event.eventType = PluginResourceEventType::Create;
  event.data.SetString(text);
  return PublishResourceEvent(kJsonApiEventName, event, 0);
}

Result<void> PluginContext::PublishResourceDeletion(std::string_view uri) {
  PluginResourceEvent event;
  event.uri = ToString(uri);
  event.eventType = PluginResourceEventType::Delete;
  return PublishResourceEvent(kJsonApiEventName, event, 0);
}

void PluginContext::DeclareResourceEvent(std::string_view path) {
  Api().BeginEvent(HostEventName(path), Api().Types().Find<PluginResourceEvent>());
}

}  // namespace kiv::framework
