// Service-proxy answers and notifications, matched to waiting requests by
// uuid or by "service.method".
#include "framework/plugin_context.h"
#include "logging/log.h"

namespace kiv::framework {

namespace {
String MethodKey(const PluginServiceProxyResponse& response) {
  return Format("%1.%2", response.serviceName, response.methodName);
}
}  // namespace

// ---------------------------------------------------------------------------
// The table of answers

void ServiceProxyAnswers::Put(std::string_view key, const PluginServiceProxyResponse& answer, String* dropped) {
  if (auto found = index_.find(key); found != index_.end()) {
    found->second->answer = answer;
    stored_.splice(stored_.end(), stored_, found->second);
    return;
  }
  stored_.push_back(Stored{ToString(key), answer});
  try {
    index_.emplace(std::string_view(stored_.back().key), std::prev(stored_.end()));
  } catch (...) {
    stored_.pop_back();
    throw;
  }
  if (index_.size() <= capacity_) return;
  Stored& oldest = stored_.front();
  index_.erase(std::string_view(oldest.key));
  if (dropped != nullptr) *dropped = std::move(oldest.key);
  stored_.pop_front();
}

bool ServiceProxyAnswers::Take(std::string_view key, PluginServiceProxyResponse* answer) {
  auto found = index_.find(key);
  if (found == index_.end()) return false;
  const Stores::iterator place = found->second;
  *answer = std::move(place->answer);
  index_.erase(found);
  stored_.erase(place);
  return true;
}

void ServiceProxyAnswers::clear() {
  index_.clear();
  stored_.clear();
}

// ---------------------------------------------------------------------------
// Events and requests

void PluginContext::OnServiceProxyUuidEvent(const PluginServiceProxyResponse& response) {
  StoreServiceProxyAnswer(response.uuid, response);
}

void PluginContext::OnServiceProxyMethodEvent(const PluginServiceProxyResponse& response) {
  StoreServiceProxyAnswer(MethodKey(response), response);
}

void PluginContext::StoreServiceProxyAnswer(std::string_view key, const PluginServiceProxyResponse& response) {
  ServiceProxyHandler handler;
  String dropped;
  {
    platform::LockGuard guard(serviceProxyMutex_);
    // A request already waiting takes the answer at once; otherwise it waits
    // in the table for its request.
    if (auto waiting = waitingRequests_.find(key); waiting != waitingRequests_.end()) {
      handler = std::move(waiting->second);
      waitingRequests_.erase(waiting);
    } else {
      receivedAnswers_.Put(key, response, &dropped);
    }
  }
  if (!dropped.empty()) {
    log::Log(log::kWarn, 1, 0, "%s: Dropped the unclaimed service proxy answer %s: more than %u are kept",
             shortName_.c_str(), dropped.c_str(), static_cast<unsigned>(kMaxStoredServiceProxyAnswers));
  }
  if (handler) FulfilServiceProxyRequest(handler, key, response);
}

void PluginContext::AddServiceProxyRequest(std::string_view key, ServiceProxyHandler handler) {
  PluginServiceProxyResponse answer;
  bool answered = false;
  {
    platform::LockGuard guard(serviceProxyMutex_);
    answered = receivedAnswers_.Take(key, &answer);
    if (!answered) waitingRequests_.insert_or_assign(ToString(key), std::move(handler));
  }
  if (answered) FulfilServiceProxyRequest(handler, key, answer);
}

void PluginContext::FulfilServiceProxyRequest(const ServiceProxyHandler& handler, std::string_view key,
                                              const PluginServiceProxyResponse& answer) {
  // Runs without the lock, so the callable may wait for further answers.
  if (handler) handler(answer);
  const String keyText = ToString(key);
  log::Log(log::kAlways, 1, 0, "%s: Fulfilled service proxy request: %s", shortName_.c_str(), keyText.c_str());
}

void PluginContext::OnServiceProxyAsyncEvent(const PluginServiceProxyResponse& response) {
  const String key = MethodKey(response);
  ServiceProxyHandler handler;
  {
    platform::LockGuard guard(serviceProxyMutex_);
    auto it = asyncHandlers_.find(std::string_view(key));
    if (it != asyncHandlers_.end()) handler = it->second;
  }
  if (!handler) {
    log::Log(log::kError, 1, 0, "%s: Could not find registered handler for async service proxy event %s",
             shortName_.c_str(), key.c_str());
    return;
  }
  handler(response);
}

void PluginContext::SetServiceProxyAsyncHandler(std::string_view key, ServiceProxyHandler handler) {
  platform::LockGuard guard(serviceProxyMutex_);
  asyncHandlers_.insert_or_assign(ToString(key), std::move(handler));
}

std::size_t PluginContext::WaitingServiceProxyRequests() const {
  platform::LockGuard guard(serviceProxyMutex_);
  return waitingRequests_.size();
}

std::size_t PluginContext::StoredServiceProxyAnswers() const {
  platform::LockGuard guard(serviceProxyMutex_);
  return receivedAnswers_.size();
}

}  // namespace kiv::framework
