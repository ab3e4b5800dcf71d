// Resource observers, counted host subscriptions, the host's event
// callbacks and publishing.
#include <cstring>
#include <limits>

#include "binding/host_value.h"
#include "framework/plugin_context.h"
#include "logging/log.h"

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

void EventSubscriber::ObserveResource(std::string_view path, ResourceHandler handler) {
  const bool wildcard = path.find('*') != std::string_view::npos;
  auto& table = wildcard ? wildcardObservers_ : exactObservers_;
  table.insert_or_assign(ToString(path), handler);
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
  // Handlers may observe further paths; they run on copies so the tables can
  // change under them.
  Vector<ResourceHandler> handlers;
  if (auto it = exactObservers_.find(std::string_view(path)); it != exactObservers_.end() && it->second) {
    handlers.push_back(it->second);
  }
  for (const auto& [pattern, handler] : wildcardObservers_) {
    if (handler && WildcardMatch(pattern, path)) handlers.push_back(handler);
  }
  for (const ResourceHandler& handler : handlers) handler(event);
}

void EventSubscriber::ClearObservers() {
  exactObservers_.clear();
  wildcardObservers_.clear();
}

// ---------------------------------------------------------------------------
// Subscriptions

PluginContext::PluginContext() {
  eventHandlers_.max_load_factor(1.0f);
  eventHandlers_.rehash(8);
  subscriptionCounts_.max_load_factor(1.0f);
  subscriptionCounts_.rehash(8);
  exactObservers_.max_load_factor(1.0f);
  exactObservers_.rehash(8);
  wildcardObservers_.max_load_factor(1.0f);
  wildcardObservers_.rehash(8);
  owner_ = this;
}

PluginContext::~PluginContext() = default;

void PluginContext::SubscribeEvent(std::string_view path) {
  const String name = HostEventName(path);
  uint32_t count = 0;
  {
    platform::LockGuard guard(eventMutex_);
    uint32_t& stored = subscriptionCounts_[name];
    if (stored != std::numeric_limits<uint32_t>::max()) ++stored;
    count = stored;
  }
  if (count == 1)
    RegisterResourceEventHandler(name, [this](const PluginResourceEvent& event) { DispatchResourceEvent(event); });
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
  if (removed != nullptr && removed->subscribed && HasHostServices()) HostUnsubscribe(name.c_str(), hostToken_);
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
  {
    platform::LockGuard guard(eventMutex_);
    eventHandlers_.insert_or_assign(name, record);
  }
  // Before initialize there is no host to subscribe at; InitializeContext
  // catches up on these names.
  if (HasHostServices()) SubscribeAtHost(name, *record);
}

void PluginContext::SubscribeAtHost(const String& name, EventHandlerRecord& record) {
  record.subscribed = true;
  HostSubscribe(name.c_str(), hostToken_,
                record.flag == 0 ? &PluginContext::ResourceEventCallback : &PluginContext::ServiceProxyEventCallback,
                static_cast<void*>(this), record.flag);
}

PluginContext::HandlerPtr PluginContext::FindHandler(std::string_view eventName) const {
  platform::LockGuard guard(eventMutex_);
  auto it = eventHandlers_.find(eventName);
  return it == eventHandlers_.end() ? nullptr : it->second;
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
  Vector<std::pair<String, HandlerPtr>> pending;
  {
    platform::LockGuard guard(eventMutex_);
    for (const auto& [name, record] : eventHandlers_) {
      if (!record->subscribed) pending.emplace_back(name, record);
    }
  }
  for (auto& [name, record] : pending) SubscribeAtHost(name, *record);
}

void PluginContext::Shutdown() {
  Vector<String> names;
  {
    platform::LockGuard guard(eventMutex_);
    for (const auto& [name, record] : eventHandlers_) {
      if (record->subscribed) names.push_back(name);
    }
    eventHandlers_.clear();
  }
  if (HasHostServices()) {
    for (const String& name : names) HostUnsubscribe(name.c_str(), hostToken_);
  }
  {
    platform::LockGuard guard(serviceProxyMutex_);
    waitingRequests_.clear();
    asyncHandlers_.clear();
    receivedAnswers_.clear();
  }
  ClearObservers();
}

// ---------------------------------------------------------------------------
// The host's callbacks

template <class Slot>
bool PluginContext::ReceiveEvent(const HostEvent* event, Slot EventHandlerRecord::*slot, PluginContext*& context,
                                 HandlerPtr& handler, binding::ValueResult& value) {
  if (event == nullptr) return false;
  HostEvent copy;
  std::memcpy(static_cast<void*>(&copy), event, sizeof copy);
  context = static_cast<PluginContext*>(copy.context);
  if (context == nullptr || copy.name == nullptr) return false;
  handler = context->FindHandler(copy.name);
  if (handler == nullptr || !((*handler).*slot)) return false;
  return binding::ReadHostValue(value, value, copy.payload, "<result>");
}

void PluginContext::ResourceEventCallback(const HostEvent* event) {
  PluginContext* context;
  HandlerPtr handler;
  binding::ValueResult value;
  if (!ReceiveEvent(event, &EventHandlerRecord::resource, context, handler, value)) return;
  PluginResourceEvent resource;
  if (!ReadResourceEvent(value, resource, context->Api().Types())) return;
  handler->resource(resource);
}

void PluginContext::ServiceProxyEventCallback(const HostEvent* event) {
  PluginContext* context;
  HandlerPtr handler;
  binding::ValueResult value;
  if (!ReceiveEvent(event, &EventHandlerRecord::serviceProxy, context, handler, value)) return;
  if (!value.IsStructure()) return;
  PluginServiceProxyResponse response;
  binding::ValueResult check;
  binding::FromValue(check, response, value, "<result>", context->Api().Types());
  if (!check.Succeeded()) return;
  handler->serviceProxy(response);
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
  if (!binding::WriteHostValue(written, payload, value, &Api().Types())) {
    return CallError{0, ToString(written.ErrorMessage()), {}};
  }
  SendEventRecord(pathName.c_str(), payload, extra);
  if (std::string_view(pathName) != eventName) SendEventRecord(ToString(eventName).c_str(), payload, extra);
  binding::ReleaseHostValue(payload);
  return Result<void>::Success();
}

Result<void> PluginContext::SendEventRecord(const char* name, HostValue& payload, uint32_t extra) {
  HostEvent event;
  std::memset(static_cast<void*>(&event), 0, sizeof event);
  event.name = name;
  std::memcpy(static_cast<void*>(&event.payload), &payload, sizeof payload);
  event.extra = extra;
  HostSendEvent(&event);
  return Result<void>::Success();
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
