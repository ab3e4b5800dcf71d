// What the end-to-end tests share: a quiet host, calls as the game client
// sends them, and views of what one plugin did since a mark.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host.h"

namespace kivhost::e2e {

inline HostOptions QuietOptions(json seed = nullptr) {
  HostOptions options;
  options.logStream = nullptr;
  options.peerSeed = std::move(seed);
  return options;
}

inline Call Request(std::string method, std::string url, std::string contentType = "", std::string body = "") {
  return Call{std::move(method), std::move(url), {}, {}, std::move(contentType), std::move(body)};
}

inline json Resource(const std::string& name, const std::string& uri, const std::string& type, json data) {
  return json{{"name", name}, {"uri", uri}, {"eventType", type}, {"data", std::move(data)}};
}

// One plugin's view of the host records since its mark.
class PluginRecords {
 public:
  PluginRecords(Host& host, std::string plugin) : host_(host), plugin_(std::move(plugin)) {}

  void Mark() {
    host_.WaitIdle();
    mark_ = host_.Mark();
  }
  std::vector<RecordedRequest> Requests() const {
    host_.WaitIdle();
    std::vector<RecordedRequest> out;
    for (auto& r : host_.Requests(mark_)) {
      if (r.from == plugin_) out.push_back(std::move(r));
    }
    return out;
  }
  // "METHOD url" of each request, in order.
  std::vector<std::string> RequestLines() const {
    std::vector<std::string> out;
    for (const auto& r : Requests()) out.push_back(r.method + " " + r.url);
    return out;
  }
  // The resource events the plugin published under their path's name (each
  // also goes out under "OnJsonApiEvent"), as {name, uri, eventType, data}
  // with the event type as a word whichever way the plugin wrote it.
  std::vector<json> Published() const {
    host_.WaitIdle();
    std::vector<json> out;
    for (const auto& e : host_.Events(mark_)) {
      if (e.source != plugin_ || e.name == "OnJsonApiEvent") continue;
      json j = e.ToJson();
      j.erase("seq");
      j.erase("source");
      const json type = j.value("eventType", json());
      if (type.is_number_integer() && type.get<int64_t>() >= 0 && type.get<int64_t>() < 3) {
        j["eventType"] = std::vector<std::string>{"Create", "Update", "Delete"}[type.get<size_t>()];
      }
      out.push_back(std::move(j));
    }
    return out;
  }
  size_t GenericEventCount() const {
    size_t n = 0;
    for (const auto& e : host_.Events(mark_)) n += e.source == plugin_ && e.name == "OnJsonApiEvent" ? 1 : 0;
    return n;
  }
  // The plugin's log lines of `level` (of every level when negative).
  std::vector<std::string> Lines(int32_t level = -1) const {
    std::vector<std::string> out;
    for (const auto& l : host_.Logs(mark_)) {
      if (l.plugin == plugin_ && (level < 0 || l.level == level)) out.push_back(l.text);
    }
    return out;
  }

 private:
  Host& host_;
  std::string plugin_;
  uint64_t mark_ = 0;
};

}  // namespace kivhost::e2e
