// Routing a call: to the plugin endpoint that serves its path (literal paths
// first, then the best template), else to the simulated peers, else 404 or
// 405; and calling an endpoint across the boundary.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "host_internal.h"
#include "marshal.h"
#include "peers.h"

namespace kivhost {

Answer Host::Dispatch(const Call& call) {
  try {
    const uint32_t method = MethodNumber(call.method);
    EndpointTarget target{nullptr, nullptr};
    bool mismatch = false;
    std::vector<std::string> allowed;
    {
      std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
      auto match = routes_.Find(method, call.method, call.url);
      if (match.route != nullptr) {
        target = match.route->target;
      } else if (match.methodMismatch) {
        mismatch = true;
        allowed = match.allowed;
      }
    }
    if (target.slot != nullptr) return CallEndpoint(target.slot, target.entry, call);
    const std::string path = Router<int>::StripQuery(call.url);
    if (peers_ != nullptr) {
      bool methodOk = false;
      std::vector<std::string> peerAllowed;
      Peers::Found found;
      if (peers_->Serves(call.method, path, &methodOk, &peerAllowed, &found)) {
        if (methodOk) {
          PeerRequest request;
          request.method = call.method;
          request.path = path;
          const size_t q = call.url.find('?');
          if (q != std::string::npos) request.query = ParseQuery(call.url.substr(q + 1));
          for (const Item& item : call.items) {
            if (!item.name) {
              request.input = item.value;
              request.hasInput = true;
              break;
            }
          }
          if (!request.hasInput && !call.items.empty()) {
            request.input = json::object();
            for (const Item& item : call.items) request.input[*item.name] = item.value;
            request.hasInput = true;
          }
          if (!request.hasInput && !call.body.empty()) {
            std::string type = call.contentType;
            std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
            if (!type.empty() && type.find("json") == std::string::npos) {
              Answer a = HostFailure(415, "Unsupported body content type '" + call.contentType + "'; send JSON");
              a.servedBy = "peers";
              return a;
            }
            std::string why;
            if (!ParseJson(call.body, &request.input, &why)) {
              Answer a = HostFailure(400, "The body is not valid JSON: " + why);
              a.servedBy = "peers";
              return a;
            }
            request.hasInput = true;
          }
          return peers_->Handle(request, found);
        }
        mismatch = true;
        allowed.insert(allowed.end(), peerAllowed.begin(), peerAllowed.end());
      }
    }
    if (mismatch) {
      Answer a = HostFailure(405, "The method " + call.method + " is not allowed for " + path);
      std::sort(allowed.begin(), allowed.end());
      allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
      a.allowed = allowed;
      return a;
    }
    return HostFailure(404, "Nothing serves " + call.method + " " + path);
  } catch (const std::exception& e) {
    return HostFailure(500, std::string("The host failed: ") + e.what());
  }
}

std::shared_ptr<const void> Host::SerialLane(const std::string& method, const std::string& url) const {
  std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
  const auto match = routes_.Find(MethodNumber(method), method, url);
  if (match.route == nullptr) return nullptr;
  return static_cast<const PluginSlot::Endpoint*>(match.route->target.entry)->serial;
}

Answer Host::CallEndpoint(const std::shared_ptr<PluginSlot>& slot, const void* entry, const Call& call) {
  const auto* ep = static_cast<const PluginSlot::Endpoint*>(entry);
  ActiveGuard guard(*slot);
  if (!guard) return HostFailure(503, "The plugin " + slot->name + " is shutting down");
  if (ep->requestEntry == nullptr) return HostFailure(500, "The endpoint " + ep->path + " has no request entry");
  OutgoingRequest request(call, ep->context, slot->token);
  HostResponse response;
  std::memset(static_cast<void*>(&response), 0, sizeof response);
  Answer answer;
  if (ep->serial != nullptr) {
    std::lock_guard<std::recursive_mutex> serial(*ep->serial);
    ep->requestEntry(&response, request.get());
    answer = ReadResponse(&response, this);
  } else {
    ep->requestEntry(&response, request.get());
    answer = ReadResponse(&response, this);
  }
  answer.servedBy = slot->name;
  return answer;
}

}  // namespace kivhost
