// Requests to other plugins through host entry 0.
#include <algorithm>
#include <cstring>

#include "binding/host_value.h"
#include "codecs/json_reader.h"
#include "framework/plugin_context.h"

namespace kiv::framework {

namespace {

constexpr const char* kParametersNotConverted =
    "Request not sent: Error converting parameters for {method} {url}: {error}";
constexpr const char* kErrorResponse = "Error response for {method} {url}: {error}";
constexpr const char* kStreamNotRead = "Error reading streamed response for {method} {url}: {error}";
constexpr const char* kResponseNotConverted = "Error converting response for {method} {url}: {error}";
constexpr const char* kNotInitialized = "Plugin not initialized: no host services for {method} {url}";

// The expected size is only a hint from the other side: a larger one is not
// reserved up front, the text grows as the data actually comes.
constexpr uint32_t kMaxReservedBody = 16u << 20;

}  // namespace

uint32_t PluginContext::Yield() {
  HostBeginWait("Wait: yield", 0);
  HostYield();
  return HostEndWait();
}

void PluginContext::ReleaseResponse(HostResponse& response) {
  const HostResponseReleaseFunction release = response.release;
  if (release == nullptr) return;
  release(&response);
  response.release = nullptr;
}

Result<void> PluginContext::RawRequest(HostResponse& response, HttpMethod method, std::string_view url) {
  return Send(response, method, url, nullptr);
}

Result<void> PluginContext::Request(HttpMethod method, std::string_view url) {
  HostResponse response;
  Result<void> result = RawRequest(response, method, url);
  ReleaseResponse(response);
  return result;
}

Result<void> PluginContext::Send(HostResponse& response, HttpMethod method, std::string_view url,
                                 const binding::ValueResult* params) {
  std::memset(static_cast<void*>(&response), 0, sizeof(HostResponse));
  const std::string_view methodName = MethodName(method);
  HostParameterItem item;
  std::memset(static_cast<void*>(&item), 0, sizeof item);
  if (params != nullptr) {
    if (!params->Succeeded())
      return MakeCallError(400, kParametersNotConverted, {methodName, url, params->ErrorMessage()});
    binding::ValueResult written;
    HostValue value;
    std::memset(static_cast<void*>(&value), 0, sizeof value);
    if (!binding::WriteHostValue(written, value, *params, &Api().Types())) {
      return MakeCallError(400, kParametersNotConverted, {methodName, url, written.ErrorMessage()});
    }
    std::memcpy(static_cast<void*>(&item.value), &value, sizeof value);
  }
  if (!HasHostServices()) {
    binding::ReleaseHostValue(item.value);
    return MakeCallError(503, kNotInitialized, {methodName, url});
  }

  const String urlText = ToString(url);
  HostRequest request;
  std::memset(static_cast<void*>(&request), 0, sizeof request);
  request.method = MethodToHost(method);
  request.url = urlText.c_str();
  if (params != nullptr) {
    request.items = &item;
    request.itemCount = 1;
  }
  request.hostToken = hostToken_;
  HostSendRequest(&response, &request);
  HostValue sentValue;
  std::memcpy(&sentValue, &item.value, sizeof sentValue);
  binding::ReleaseHostValue(sentValue);

  const char* errorText = response.errorText;
  const uint8_t errorFlag = response.errorFlag;
  const uint32_t status = response.status;
  if (errorText != nullptr || errorFlag != 0) {
    // A flagged error without its text is still a failure.
    return MakeCallError(status, kErrorResponse,
                         {methodName, url, errorText != nullptr ? std::string_view(errorText) : "(no error text)"});
  }
  return Result<void>::Success();
}

Result<binding::Value> PluginContext::ReadResponseBody(HostResponse& response, HttpMethod method,
                                                       std::string_view url) {
  const std::string_view methodName = MethodName(method);
  const HostStreamReadFunction read = response.streamRead;
  if (read != nullptr) {
    const HostStreamCloseFunction close = response.streamClose;
    void* const context = response.streamContext;
    const uint64_t expected = response.expectedSize;
    String text;
    text.reserve(std::min<uint32_t>(static_cast<uint32_t>(expected), kMaxReservedBody));
    bool readOk = true;
    uint8_t buffer[kStreamReadSize];
    for (;;) {
      uint32_t length = kStreamReadSize;
      uint8_t more = 1;
      if (read(context, buffer, &length, &more) == 0) {
        readOk = false;
        break;
      }
      // The reader may not claim more than the buffer holds.
      length = std::min(length, kStreamReadSize);
      text.append(reinterpret_cast<const char*>(buffer), length);
      if (more == 0) break;
      if (length < kStreamReadSize) Yield();
    }
    binding::ValueResult json;
    if (readOk) json = codecs::ReadJson(std::string_view(text));
    if (close != nullptr) close(context);
    if (!readOk) return MakeCallError(0, kStreamNotRead, {methodName, url, "Stream read error"});
    if (!json.Succeeded()) return MakeCallError(0, kStreamNotRead, {methodName, url, json.ErrorMessage()});
    binding::Value value;
    value.MoveFrom(json);
    return Result<binding::Value>(std::move(value));
  }

  HostValue body;
  std::memcpy(&body, &response.body, sizeof body);
  binding::ValueResult value;
  if (!binding::ReadHostValue(value, value, body, "<result>")) {
    return MakeCallError(0, kResponseNotConverted, {methodName, url, value.ErrorMessage()});
  }
  binding::Value out;
  out.MoveFrom(value);
  return Result<binding::Value>(std::move(out));
}

}  // namespace kiv::framework
