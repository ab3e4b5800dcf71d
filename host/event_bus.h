// The host's event bus: which plugin subscribed to which event name, the
// observers that see every event (the HTTP front's streams, tests), and the
// delivery of each event to its subscribers, one thread per plugin at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host.h"
#include "kiv_plugin.h"

namespace kivhost {

class Journal;
struct PluginSlot;

class EventBus {
 public:
  // Every event published is recorded in `journal`, which outlives the bus.
  explicit EventBus(Journal& journal) : journal_(journal) {}
  EventBus(const EventBus&) = delete;
  EventBus& operator=(const EventBus&) = delete;

  // Records the event, shows it to the observers on this thread, and
  // delivers it to every plugin subscribed to its name.
  void Publish(std::shared_ptr<RecordedEvent> record);

  // A plugin's subscription to a name; subscribing again replaces it.
  void Subscribe(std::shared_ptr<PluginSlot> owner, std::string name, uint32_t token, HostEventCallback callback,
                 void* context, uint32_t flag);
  void Unsubscribe(const PluginSlot* slot, const std::string& name);
  // Drops a plugin's subscriptions and the deliveries queued for it, for a
  // plugin being unloaded.
  void Forget(const std::shared_ptr<PluginSlot>& slot);

  int Observe(std::function<void(const RecordedEvent&)> observer);
  void Unobserve(int id);

  // Waits until no event is queued or being delivered.
  [[nodiscard]] bool WaitIdle(std::chrono::milliseconds timeout);
  // [{name, plugin, flag}]
  [[nodiscard]] json Describe() const;

 private:
  void Deliver(const std::shared_ptr<PluginSlot>& slot);

  Journal& journal_;

  mutable std::mutex subscriptionsMutex_;
  struct Subscription {
    std::string name;
    std::shared_ptr<PluginSlot> slot;
    uint32_t token;
    HostEventCallback callback;
    void* context;
    uint32_t flag;
  };
  std::vector<Subscription> subscriptions_;

  mutable std::mutex observersMutex_;
  int nextObserver_ = 0;
  using ObserverList = std::vector<std::pair<int, std::function<void(const RecordedEvent&)>>>;
  std::shared_ptr<const ObserverList> observers_;

  std::mutex idleMutex_;
  std::condition_variable idleCv_;
  std::atomic<int> pendingDeliveries_{0};
};

}  // namespace kivhost
