// Requests sent through a plugin's API table records as a host sends them,
// and one small document in each body format the plugins read.
#pragma once

#include <cstring>
#include <string>

#include "kiv_plugin.h"

namespace kiv::test {

// {"a": [1, "x"], "b": {"c": true}} in JSON, MessagePack and YAML.
inline const std::string kSampleJson = R"({"a": [1, "x"], "b": {"c": true}})";
inline const std::string kSampleMessagePack(
    "\x82\xa1"
    "a"
    "\x92\x01\xa1"
    "x"
    "\xa1"
    "b"
    "\x81\xa1"
    "c"
    "\xc3",
    13);
inline const std::string kSampleYaml = "a: [1, x]\nb:\n  c: true\n";

// The endpoint entry of `table` with `method` and `path`, or null.
inline const HostEndpointEntry* FindEndpoint(const PluginApiTable* table, uint32_t method, const char* path) {
  if (table == nullptr) return nullptr;
  const HostEndpointEntry* entry = table->endpoints;
  for (uint32_t i = 0; i < table->endpointCount && entry != nullptr; ++i) {
    if (entry->method == method && std::strcmp(entry->path, path) == 0) return entry;
    entry = reinterpret_cast<const HostEndpointEntry*>(entry->function.next);
  }
  return nullptr;
}

// Sends a request with `body` of `contentType` (none when null) through
// `entry`; the response is the caller's to read and release. The response is
// filled with junk first: the plugin must clear it.
inline void SendRequest(const HostEndpointEntry& entry, HostResponse& response, uint32_t method, const char* url,
                        const char* contentType = nullptr, const std::string& body = {}) {
  HostRequest request;
  std::memset(static_cast<void*>(&request), 0, sizeof request);
  request.method = method;
  request.url = url;
  request.endpointContext = entry.function.context;
  request.contentType = contentType;
  request.body = body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(body.data());
  request.bodySize = static_cast<uint32_t>(body.size());
  std::memset(static_cast<void*>(&response), 0xCD, sizeof response);
  entry.requestEntry(&response, &request);
}

}  // namespace kiv::test
