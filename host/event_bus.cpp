#include "event_bus.h"

#include <algorithm>
#include <string_view>

#include "host_internal.h"
#include "journal.h"

namespace kivhost {

void EventBus::Publish(std::shared_ptr<RecordedEvent> record) {
  struct Target {
    std::shared_ptr<PluginSlot> slot;
    HostEventCallback callback;
    void* context;
  };
  std::vector<Target> targets;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    for (const Subscription& s : subscriptions_) {
      if (s.name == record->name) targets.push_back(Target{s.slot, s.callback, s.context});
    }
  }
  record->subscribers = targets.size();
  journal_.Record(record);
  std::shared_ptr<const ObserverList> observers;
  {
    std::lock_guard<std::mutex> lock(observersMutex_);
    observers = observers_;
  }
  if (observers != nullptr) {
    for (const auto& [id, fn] : *observers) {
      try {
        fn(*record);
      } catch (...) {
      }
    }
  }
  if (targets.empty()) return;
  auto item = std::make_shared<EventItem>();
  item->name = record->name;
  item->payload = OwnedHostValue(record->payload);
  item->extra = record->extra;
  std::vector<std::shared_ptr<PluginSlot>> touched;
  for (const Target& t : targets) {
    {
      std::lock_guard<std::mutex> lock(t.slot->deliveryMutex);
      t.slot->queue.push_back(Delivery{item, t.callback, t.context});
      ++pendingDeliveries_;
    }
    if (std::find(touched.begin(), touched.end(), t.slot) == touched.end()) touched.push_back(t.slot);
  }
  for (const auto& slot : touched) Deliver(slot);
}

// One thread at a time delivers to a plugin: whoever finds its queue idle
// drains it, and an event published from inside a callback is queued for the
// thread already draining, so nothing waits on a lock held up the stack.
void EventBus::Deliver(const std::shared_ptr<PluginSlot>& slot) {
  std::unique_lock<std::mutex> lock(slot->deliveryMutex);
  if (slot->draining) return;
  slot->draining = true;
  while (!slot->queue.empty()) {
    Delivery d = std::move(slot->queue.front());
    slot->queue.pop_front();
    lock.unlock();
    {
      ActiveGuard guard(*slot);
      if (guard) {
        HostEvent event{};
        event.name = d.item->name.c_str();
        event.payload = d.item->payload.get();
        event.extra = d.item->extra;
        event.context = d.context;
        try {
          d.callback(&event);
        } catch (...) {
        }
      }
    }
    if (--pendingDeliveries_ <= 0) {
      std::lock_guard<std::mutex> idle(idleMutex_);
      idleCv_.notify_all();
    }
    lock.lock();
  }
  slot->draining = false;
}

void EventBus::Subscribe(std::shared_ptr<PluginSlot> owner, std::string name, uint32_t token,
                         HostEventCallback callback, void* context, uint32_t flag) {
  std::lock_guard<std::mutex> lock(subscriptionsMutex_);
  for (Subscription& s : subscriptions_) {
    if (s.slot == owner && s.name == name) {
      s.callback = callback;
      s.context = context;
      s.flag = flag;
      s.token = token;
      return;
    }
  }
  subscriptions_.push_back(Subscription{std::move(name), std::move(owner), token, callback, context, flag});
}

void EventBus::Unsubscribe(const PluginSlot* slot, const std::string& name) {
  std::lock_guard<std::mutex> lock(subscriptionsMutex_);
  subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                      [&](const Subscription& s) { return s.slot.get() == slot && s.name == name; }),
                       subscriptions_.end());
}

void EventBus::Forget(const std::shared_ptr<PluginSlot>& slot) {
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                        [&](const Subscription& s) { return s.slot == slot; }),
                         subscriptions_.end());
  }
  {
    std::lock_guard<std::mutex> lock(slot->deliveryMutex);
    pendingDeliveries_ -= static_cast<int>(slot->queue.size());
    slot->queue.clear();
  }
  {
    std::lock_guard<std::mutex> lock(idleMutex_);
    idleCv_.notify_all();
  }
}

bool EventBus::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(idleMutex_);
  return idleCv_.wait_for(lock, timeout, [&] { return pendingDeliveries_.load() <= 0; });
}

// Observers are replaced, never changed in place, so that publishing only
// takes a reference to the current list.
int EventBus::Observe(std::function<void(const RecordedEvent&)> observer) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  auto list = observers_ != nullptr ? std::make_shared<ObserverList>(*observers_) : std::make_shared<ObserverList>();
  list->emplace_back(++nextObserver_, std::move(observer));
  observers_ = std::move(list);
  return nextObserver_;
}

void EventBus::Unobserve(int id) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  if (observers_ == nullptr) return;
  auto list = std::make_shared<ObserverList>(*observers_);
  list->erase(std::remove_if(list->begin(), list->end(), [&](const auto& o) { return o.first == id; }), list->end());
  observers_ = std::move(list);
}

json EventBus::Describe() const {
  std::lock_guard<std::mutex> lock(subscriptionsMutex_);
  json out = json::array();
  for (const Subscription& s : subscriptions_)
    out.push_back({{"name", s.name}, {"plugin", s.slot->name}, {"flag", s.flag}});
  return out;
}

std::string EventNameOfPath(const std::string& path) {
  // Built in place: every resource event of the peers comes through here.
  std::string name = "OnJsonApiEvent";
  size_t kept = 1;
  size_t keep = 4;
  size_t start = 0;
  while (start <= path.size() && kept < keep) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      const std::string_view segment(path.data() + start, end - start);
      if (kept == 1 && segment == "kiv-platform-config") keep = 6;
      name += '_';
      name.append(segment);
      ++kept;
    }
    start = end + 1;
  }
  return name;
}

// ---- What the host offers of the bus ----------------------------------------------

void Host::Publish(const std::string& name, const json& payload, uint32_t extra, const std::string& source) {
  PublishOwned(name, json(payload), extra, source);
}

void Host::PublishOwned(const std::string& name, json payload, uint32_t extra, const std::string& source) {
  auto record = std::make_shared<RecordedEvent>();
  record->seq = NextSeq();
  record->name = name;
  record->source = source;
  record->payload = std::move(payload);
  record->extra = extra;
  bus_->Publish(std::move(record));
}

void Host::PublishResource(const std::string& uri, const std::string& type, const json& data,
                           const std::string& source) {
  PublishResourceOwned(uri, type, json(data), source);
}

void Host::PublishResourceOwned(const std::string& uri, const std::string& type, json data, const std::string& source) {
  json payload = json::object();
  payload["uri"] = uri;
  payload["eventType"] = type;
  payload["data"] = std::move(data);
  const std::string name = EventNameOfPath(uri);
  if (name == "OnJsonApiEvent") return PublishOwned(name, std::move(payload), 0, source);
  PublishOwned(name, json(payload), 0, source);
  PublishOwned("OnJsonApiEvent", std::move(payload), 0, source);
}

bool Host::WaitIdle(std::chrono::milliseconds timeout) { return bus_->WaitIdle(timeout); }

int Host::Observe(std::function<void(const RecordedEvent&)> observer) { return bus_->Observe(std::move(observer)); }

void Host::Unobserve(int id) { bus_->Unobserve(id); }

json Host::Subscriptions() const { return bus_->Describe(); }

}  // namespace kivhost
