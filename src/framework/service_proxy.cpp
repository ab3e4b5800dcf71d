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

void PluginContext::OnServiceProxyUuidEvent(const PluginServiceProxyResponse& response) {
  StoreServiceProxyAnswer(response.uuid, response);
}

void PluginContext::OnServiceProxyMethodEvent(const PluginServiceProxyResponse& response) {
  StoreServiceProxyAnswer(MethodKey(response), response);
}

void PluginContext::StoreServiceProxyAnswer(String key, const PluginServiceProxyResponse& response) {
  {
    platform::LockGuard guard(serviceProxyMutex_);
    receivedAnswers_.insert_or_assign(std::move(key), response);
  }
  MatchServiceProxyRequests();
}

void PluginContext::MatchServiceProxyRequests() {
  ServiceProxyHandler handler;
  PluginServiceProxyResponse answer;
  String key;
  {
    platform::LockGuard guard(serviceProxyMutex_);
    auto received = receivedAnswers_.begin();
    for (; received != receivedAnswers_.end(); ++received) {
      auto waiting = waitingRequests_.find(std::string_view(received->first));
      if (waiting == waitingRequests_.end()) continue;
      handler = std::move(waiting->second);
      waitingRequests_.erase(waiting);
      break;
    }
    if (received == receivedAnswers_.end()) return;
    key = received->first;
    answer = std::move(received->second);
    receivedAnswers_.erase(received);
  }
  // Runs without the lock, so the callable may wait for further answers.
  if (handler) handler(answer);
  log::Log(log::kAlways, 1, 0, "%s: Fulfilled service proxy request: %s", shortName_.c_str(), key.c_str());
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

void PluginContext::AddServiceProxyRequest(std::string_view key, ServiceProxyHandler handler) {
  {
    platform::LockGuard guard(serviceProxyMutex_);
    waitingRequests_.insert_or_assign(ToString(key), std::move(handler));
  }
  MatchServiceProxyRequests();
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
