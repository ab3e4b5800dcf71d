// Requests to other plugins through host entry 0.
#include <algorithm>
#include <cstring>

#include "framework/plugin_context.h"
#include "logging/barrier.h"
#include "logging/log.h"
#include "readers/json_reader.h"
#include "value/host_value.h"

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

// Why a streamed body was given up, for the failure text and the log line.
String StreamTooLarge() { return Format("The body is larger than %1 bytes", kMaxStreamedBodyBytes); }
String StreamStalled() { return Format("%1 reads in a row brought no data", kMaxEmptyStreamReads); }

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
    if (!binding::WriteHostValueBlock(written, value, *params, &Api().Types())) {
      return MakeCallError(400, kParametersNotConverted, {methodName, url, written.ErrorMessage()});
    }
    std::memcpy(static_cast<void*>(&item.value), &value, sizeof value);
  }
  // The parameter the host was shown is ours again once it returns.
  ScopeExit releaseItem([&item] {
    HostValue sent;
    std::memcpy(&sent, &item.value, sizeof sent);
    binding::ReleaseHostValueBlock(sent);
    std::memcpy(static_cast<void*>(&item.value), &sent, sizeof sent);
  });
  if (!HasHostServices()) return MakeCallError(503, kNotInitialized, {methodName, url});

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

  const char* errorText = response.errorText;
  const uint8_t errorFlag = response.errorFlag;
  const uint32_t status = response.status;
  if (errorText != nullptr || errorFlag != 0) {
    try {
      // A flagged error without its text is still a failure.
      return MakeCallError(status, kErrorResponse,
                           {methodName, url, errorText != nullptr ? std::string_view(errorText) : "(no error text)"});
    } catch (...) {
      // The caller never sees this response: it is released here.
      ReleaseResponse(response);
      throw;
    }
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
    binding::ValueResult json;
    bool readOk = true;
    String dropped;  // why the body was given up; empty when it was not
    {
      // Closed after the decoding, and also when reading ends in a throw.
      ScopeExit closeStream([close, context] {
        if (close != nullptr) close(context);
      });
      String text;
      text.reserve(std::min<uint64_t>(expected, std::min<uint64_t>(kMaxReservedBody, kMaxStreamedBodyBytes)));
      uint8_t buffer[kStreamReadSize];
      uint32_t emptyReads = 0;
      for (;;) {
        uint32_t length = kStreamReadSize;
        uint8_t more = 1;
        if (read(context, buffer, &length, &more) == 0) {
          readOk = false;
          break;
        }
        // The reader may not claim more than the buffer holds.
        length = std::min(length, kStreamReadSize);
        if (length > kMaxStreamedBodyBytes - text.size()) {
          dropped = StreamTooLarge();
          break;
        }
        text.append(reinterpret_cast<const char*>(buffer), length);
        if (more == 0) break;
        // A writer that keeps promising data and sends none would hold this
        // thread for good.
        emptyReads = length == 0 ? emptyReads + 1 : 0;
        if (emptyReads >= kMaxEmptyStreamReads) {
          dropped = StreamStalled();
          break;
        }
        if (length < kStreamReadSize) Yield();
      }
      if (!dropped.empty()) {
        const String line = Format("%1: Dropped the streamed response of %2 %3 after %4 bytes: %5", shortName_,
                                   methodName, url, static_cast<uint64_t>(text.size()), dropped);
        log::Log(log::kError, 1, 0, "%s", line.c_str());
      } else if (readOk) {
        json = codecs::ReadJson(std::string_view(text));
      }
    }
    if (!readOk) return MakeCallError(0, kStreamNotRead, {methodName, url, "Stream read error"});
    if (!dropped.empty()) return MakeCallError(0, kStreamNotRead, {methodName, url, dropped});
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
