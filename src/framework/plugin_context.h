// The plugin's side of the host services: requests to other plugins, events
// and counted subscriptions, resource observers and service-proxy messages.
//
//   auto friends = context.RequestAs<binding::Value>(HttpMethod::kGet, "/kiv-chat/v1/friends");
//   if (!friends.ok()) KIV_LOG_ERROR("%s", friends.error().message.c_str());
//
//   context.ObserveResource("/kiv-chat/v1/friends/*", [](const PluginResourceEvent& event) { ... });
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "api/binding_api.h"
#include "value/convert.h"
#include "value/value.h"
#include "http/http.h"
#include "framework/framework_types.h"
#include "framework/result.h"
#include "kiv_plugin.h"
#include "logging/memory.h"
#include "platform/platform.h"

namespace kiv::framework {

class PluginContext;

using ResourceHandler = std::function<void(const PluginResourceEvent&)>;
using ServiceProxyHandler = std::function<void(const PluginServiceProxyResponse&)>;

// The host's event name for the events of a resource path:
// "OnJsonApiEvent" and the first path segments, joined with "_".
String HostEventName(std::string_view path);

// Whether a path matches a pattern in which "*" stands for a run of one or
// more characters other than "/" (a "*" followed by "/" may match nothing).
bool WildcardMatch(std::string_view pattern, std::string_view path);

// Size of each read of a streamed response body.
inline constexpr uint32_t kStreamReadSize = 4096;
// A streamed response body larger than this is given up with an error.
inline constexpr std::size_t kMaxStreamedBodyBytes = std::size_t{64} << 20;
// Reads in a row that bring no byte while promising more before a streamed
// response body is given up with an error.
inline constexpr uint32_t kMaxEmptyStreamReads = 1000;
// Service-proxy answers kept for requests still to come; past this the
// oldest is dropped (and logged).
inline constexpr std::size_t kMaxStoredServiceProxyAnswers = 1024;

// Service-proxy answers nobody has asked for yet: found by key in constant
// time, oldest first when one has to go. Not locked: the owner's service-proxy
// mutex guards it.
class ServiceProxyAnswers {
 public:
  explicit ServiceProxyAnswers(std::size_t capacity = kMaxStoredServiceProxyAnswers) : capacity_(capacity) {}
  ServiceProxyAnswers(const ServiceProxyAnswers&) = delete;
  ServiceProxyAnswers& operator=(const ServiceProxyAnswers&) = delete;

  // Stores the answer as the newest, replacing one under the same key. When
  // that makes one too many, the oldest goes and its key is put in `dropped`.
  void Put(std::string_view key, const PluginServiceProxyResponse& answer, String* dropped);
  // Moves the answer under `key` out of the table; false when there is none.
  bool Take(std::string_view key, PluginServiceProxyResponse* answer);
  std::size_t size() const { return index_.size(); }
  void clear();

 private:
  struct Stored {
    String key;
    PluginServiceProxyResponse answer;
  };
  using Stores = std::list<Stored, mem::Allocator<Stored>>;

  std::size_t capacity_;
  Stores stored_;  // oldest first
  // Keyed by views of the stored keys, which list nodes keep in place.
  HashMap<std::string_view, Stores::iterator> index_;
};

// Observers may be added and events dispatched on several threads at once. A
// handler runs on a copy taken under the table lock, never under the lock
// itself: it may observe further paths, and a handler replaced meanwhile may
// still finish a dispatch that had already begun.
class EventSubscriber {
 public:
  EventSubscriber();
  virtual ~EventSubscriber() = default;
  EventSubscriber(const EventSubscriber&) = delete;
  EventSubscriber& operator=(const EventSubscriber&) = delete;

  virtual void SubscribeEvent(std::string_view path) { (void)path; }
  virtual void UnsubscribeEvent(std::string_view path) { (void)path; }

  // Registers the handler for a path (or a pattern with "*"), replacing an
  // earlier one, and subscribes to its events. A path without "*" is read
  // at once with a GET whose answer reaches the handler as a Create event.
  void ObserveResource(std::string_view path, ResourceHandler handler);

  // Calls the exact observer of the event's uri (a missing leading "/" is
  // added), then every wildcard observer whose pattern matches it.
  void DispatchResourceEvent(const PluginResourceEvent& event);

 protected:
  void ClearObservers();

  binding::BindingApi* api_ = nullptr;
  PluginContext* owner_ = nullptr;

 private:
  mutable platform::Mutex observersMutex_;  // the two tables below
  HashMap<String, ResourceHandler, StringHash, std::equal_to<>> exactObservers_;
  HashMap<String, ResourceHandler, StringHash, std::equal_to<>> wildcardObservers_;
};

class PluginContext : public EventSubscriber {
 public:
  PluginContext();
  ~PluginContext() override;

  // Counted subscription of the host event that carries the path's events.
  //
  // Subscribing, unsubscribing and delivery may run on different threads.
  // Once UnsubscribeEvent (the one that brings the count to 0) or Shutdown
  // has returned, the removed handlers run no more: deliveries that had
  // already started are waited for. Called from inside a handler (on a
  // thread that is delivering an event) they do not wait, since the
  // deliveries they would wait for may be waiting for that handler; a
  // delivery running on another thread may then still finish.
  void SubscribeEvent(std::string_view path) override;
  // A count never goes below 0: an unmatched unsubscribe does nothing.
  void UnsubscribeEvent(std::string_view path) override;
  // Unsubscribes every event name at the host and empties the handler,
  // service-proxy and observer tables; the subscription counts remain.
  virtual void Shutdown();

  // The host services, one per HostServices entry 0 to 8.
  virtual void HostSendRequest(HostResponse* response, HostRequest* request) = 0;
  virtual void HostReserved1(uint32_t a, uint32_t b) = 0;
  virtual void HostSendEvent(HostEvent* event) = 0;
  virtual void HostSubscribe(const char* name, uint32_t hostToken, HostEventCallback callback, void* context,
                             uint32_t flag) = 0;
  virtual void HostUnsubscribe(const char* name, uint32_t hostToken) = 0;
  virtual void HostReserved5(uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e) = 0;
  virtual uint32_t HostYield() = 0;
  virtual uint32_t HostBeginWait(const char* label, uint32_t value) = 0;
  virtual uint32_t HostEndWait() = 0;
  // False until initialize has handed over the host services.
  virtual bool HasHostServices() const = 0;

  // Begin wait "Wait: yield", yield, end wait; the result of end wait.
  uint32_t Yield();

  binding::BindingApi& Api() { return *api_; }
  const binding::BindingApi& Api() const { return *api_; }
  uint32_t HostToken() const { return hostToken_; }
  std::string_view ShortName() const { return shortName_; }

  // ---- Requests to other plugins -------------------------------------

  // The raw variants leave the response to the caller, who reads it and
  // then calls ReleaseResponse in every outcome.
  Result<void> RawRequest(HostResponse& response, HttpMethod method, std::string_view url);
  template <class P>
  Result<void> RawRequest(HostResponse& response, HttpMethod method, std::string_view url, const P& params) {
    binding::ValueResult value;
    BuildParameters(value, params);
    return Send(response, method, url, &value);
  }
  // Calls the response's release function, at most once.
  static void ReleaseResponse(HostResponse& response);

  Result<void> Request(HttpMethod method, std::string_view url);
  template <class P>
  Result<void> Request(HttpMethod method, std::string_view url, const P& params) {
    HostResponse response;
    Result<void> result = RawRequest(response, method, url, params);
    ReleaseResponse(response);
    return result;
  }

  // The body converted to R (any type the typed conversion knows;
  // binding::Value keeps the body as it is).
  template <class R>
  Result<R> RequestAs(HttpMethod method, std::string_view url) {
    HostResponse response;
    Result<void> sent = RawRequest(response, method, url);
    return Converted<R>(response, sent, method, url);
  }
  template <class R, class P>
  Result<R> RequestAs(HttpMethod method, std::string_view url, const P& params) {
    HostResponse response;
    Result<void> sent = RawRequest(response, method, url, params);
    return Converted<R>(response, sent, method, url);
  }

  // The body of a successful response as a Value (streamed or not); does
  // not release the response.
  Result<binding::Value> ReadResponseBody(HostResponse& response, HttpMethod method, std::string_view url);

  // ---- Events ----------------------------------------------------------

  // Sends the event under its path's host event name and, when it differs,
  // once more under `eventName`.
  Result<void> PublishResourceEvent(std::string_view eventName, const PluginResourceEvent& event, uint32_t extra = 0);
  // A Create event whose data is the text.
  Result<void> PublishTextResource(std::string_view uri, std::string_view text);
  // A Delete event without data.
  Result<void> PublishResourceDeletion(std::string_view uri);
  // Lists the path's host event name among the events the plugin publishes.
  void DeclareResourceEvent(std::string_view path);

  // Adapts a handler of a native value: the event's data is converted to T
  // (events whose data does not convert are dropped); Delete gets T{}.
  template <class T>
  ResourceHandler TypedResourceHandler(
      std::function<void(std::string_view uri, PluginResourceEventType, const T&)> handler) {
    return [this, handler = std::move(handler)](const PluginResourceEvent& event) {
      T native{};
      if (event.eventType != PluginResourceEventType::Delete) {
        binding::ValueResult check;
        binding::FromValue(check, native, event.data, binding::kWholeValueName, Api().Types());
        if (!check.Succeeded()) return;
      }
      handler(event.uri, event.eventType, native);
    };
  }

  // Stores the handler under the host event name and subscribes at the host
  // (flag 0: resource events, 1: service-proxy events). Before initialize the
  // host subscription waits for it.
  void RegisterResourceEventHandler(std::string_view eventName, ResourceHandler handler);
  void RegisterServiceProxyEventHandler(std::string_view eventName, ServiceProxyHandler handler);
  // The callbacks given to host entry 3; the event's context is the
  // PluginContext. Nothing escapes them: an exception drops the event with
  // an ERROR line.
  static void KIV_CDECL ResourceEventCallback(const HostEvent* event);
  static void KIV_CDECL ServiceProxyEventCallback(const HostEvent* event);

  // The current count of a host event name (0 when never subscribed).
  uint32_t SubscriptionCount(std::string_view eventName) const;

  // ---- Service proxy ---------------------------------------------------

  // Waits for the answer under `key` (uuid, or "service.method"); an answer
  // that arrived first is delivered at once.
  void AddServiceProxyRequest(std::string_view key, ServiceProxyHandler handler);
  void SetServiceProxyAsyncHandler(std::string_view key, ServiceProxyHandler handler);
  void OnServiceProxyUuidEvent(const PluginServiceProxyResponse& response);
  void OnServiceProxyMethodEvent(const PluginServiceProxyResponse& response);
  void OnServiceProxyAsyncEvent(const PluginServiceProxyResponse& response);
  std::size_t WaitingServiceProxyRequests() const;
  std::size_t StoredServiceProxyAnswers() const;

 protected:
  // What initialize does at this level: keeps the token and subscribes the
  // three service-proxy events (and any name registered before the host
  // services were there).
  void InitializeContext(uint32_t hostToken);

  String shortName_;
  uint32_t hostToken_ = 0;

 private:
  struct EventHandlerRecord {
    uint32_t flag = 0;
    ResourceHandler resource;
    ServiceProxyHandler serviceProxy;
    // Deliveries running this handler now. Raised only under eventMutex_
    // while the record is in the table, so once it is out the count only falls.
    std::atomic<uint32_t> running{0};
  };
  using HandlerPtr = std::shared_ptr<EventHandlerRecord>;
  // What the host was last told about one event name.
  struct HostSubscription {
    bool subscribed = false;  // entry 3 called, and no entry 4 since
    uint32_t flag = 0;        // the flag entry 3 was given
    bool renew = false;       // a handler was registered since: call entry 3 again
    bool syncing = false;     // a thread is bringing the host in line with the table
  };
  // One event being delivered: the receiving context and its handler, held
  // (and counted as running) for the delivery's lifetime.
  class Delivery;

  void DeliverResourceEvent(const HostEvent& event, EventHandlerRecord& handler);
  void DeliverServiceProxyEvent(const HostEvent& event, EventHandlerRecord& handler);
  // The resource event of a payload that cannot be read whole: uri and event
  // type, and the data when it can be read on its own. False when not even
  // the uri and event type can be read.
  bool ReadResourceEventWithoutData(const HostEvent& event, PluginResourceEvent& resource);

  template <class P>
  void BuildParameters(binding::ValueResult& value, const P& params);
  Result<void> Send(HostResponse& response, HttpMethod method, std::string_view url,
                    const binding::ValueResult* params);
  template <class R>
  Result<R> Converted(HostResponse& response, const Result<void>& sent, HttpMethod method, std::string_view url);
  void RegisterEventHandler(std::string_view eventName, HandlerPtr record);
  // Calls host entries 3 and 4 until the host's subscription of the name
  // matches the handler table. One thread at a time does this per name, so
  // the host sees the calls in the order of the table's changes; a thread
  // that finds another at it leaves its change to that one.
  void SyncHostSubscription(const String& name);
  // Waits until no delivery runs the handler of a record that has left the
  // table, unless this thread is itself delivering an event.
  static void AwaitDeliveries(EventHandlerRecord& record);
  void SendEventRecord(const char* name, HostValue& payload, uint32_t extra);
  void StoreServiceProxyAnswer(std::string_view key, const PluginServiceProxyResponse& response);
  void FulfilServiceProxyRequest(const ServiceProxyHandler& handler, std::string_view key,
                                 const PluginServiceProxyResponse& answer);

  mutable platform::Mutex eventMutex_;  // the three tables below
  HashMap<String, HandlerPtr, StringHash, std::equal_to<>> eventHandlers_;
  HashMap<String, uint32_t, StringHash, std::equal_to<>> subscriptionCounts_;
  HashMap<String, HostSubscription, StringHash, std::equal_to<>> hostSubscriptions_;

  // The three tables below. A key is never both waiting and answered: each
  // side looks for the other under the mutex before it stores.
  mutable platform::Mutex serviceProxyMutex_;
  HashMap<String, ServiceProxyHandler, StringHash, std::equal_to<>> waitingRequests_;
  HashMap<String, ServiceProxyHandler, StringHash, std::equal_to<>> asyncHandlers_;
  ServiceProxyAnswers receivedAnswers_;
};

// ---------------------------------------------------------------------------

namespace detail {
template <class P>
struct IsTextMap : std::false_type {};
template <class V, class L, class A>
struct IsTextMap<std::map<String, V, L, A>> : std::is_convertible<const V&, std::string_view> {};
}  // namespace detail

template <class P>
void PluginContext::BuildParameters(binding::ValueResult& value, const P& params) {
  if constexpr (detail::IsTextMap<P>::value) {
    value.MakeStructure();
    for (const auto& [name, text] : params) value.Member(name).SetString(std::string_view(text));
  } else if constexpr (std::is_convertible_v<const P&, std::string_view> && !std::is_same_v<P, String>) {
    value.SetString(std::string_view(params));
  } else {
    binding::ToValue(value, params, Api().Types());
  }
}

template <class R>
Result<R> PluginContext::Converted(HostResponse& response, const Result<void>& sent, HttpMethod method,
                                   std::string_view url) {
  // Released in every outcome, a throw while reading the body included.
  struct Release {
    HostResponse& response;
    ~Release() { ReleaseResponse(response); }
  } release{response};
  if (!sent.ok()) return sent.error();
  Result<binding::Value> body = ReadResponseBody(response, method, url);
  if (!body.ok()) return body.error();
  if constexpr (std::is_same_v<R, binding::Value>) {
    return std::move(body.value());
  } else {
    R native{};
    binding::ValueResult check;
    binding::FromValue(check, native, body.value(), "<result>", Api().Types());
    if (!check.Succeeded()) {
      return MakeCallError(0, "Error converting response for {method} {url}: {error}",
                           {MethodName(method), url, check.ErrorMessage()});
    }
    return Result<R>(std::move(native));
  }
}

}  // namespace kiv::framework
