#include "marshal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host_internal.h"
#include "router.h"

namespace kivhost {
namespace {

// Bounds on what a plugin's records carry; their counts are not trusted.
constexpr uint32_t kMaxItems = 4096;
constexpr uint64_t kMaxStreamBytes = 256ull << 20;
constexpr uint32_t kMaxIdleStreamReads = 100000;
constexpr size_t kMaxUrl = 65536;  // with its terminating zero
constexpr size_t kMaxMethodText = 256;
// With the terminating zero, like the two above.
constexpr size_t kMaxItemName = 4096;
constexpr size_t kMaxHeaderName = 8192;
constexpr size_t kMaxContentType = 1024;
// Bytes kept of the texts of an answer.
constexpr size_t kMaxStatusText = 4096;

// ---- Streams the host hands out ------------------------------------------

struct HostStream {
  std::string text;
  size_t pos = 0;
  size_t chunk = 4096;
  bool closed = false;
};

uint8_t KIV_CDECL HostStreamRead(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more) {
  auto* s = static_cast<HostStream*>(context);
  if (s == nullptr || length == nullptr || more == nullptr) return 0;
  if (s->closed) {
    *length = 0;
    *more = 0;
    return 0;
  }
  const size_t n = std::min({static_cast<size_t>(*length), s->chunk, s->text.size() - s->pos});
  if (n != 0 && buffer == nullptr) return 0;
  if (n != 0) std::memcpy(buffer, s->text.data() + s->pos, n);
  s->pos += n;
  *length = static_cast<uint32_t>(n);
  *more = s->pos < s->text.size() ? 1 : 0;
  return 1;
}

void KIV_CDECL HostStreamClose(void* context) {
  auto* s = static_cast<HostStream*>(context);
  if (s == nullptr) return;
  s->closed = true;
  std::string().swap(s->text);
}

void KIV_CDECL HostReleaseResponse(HostResponse* response) {
  if (response == nullptr) return;
  std::free(const_cast<char*>(response->errorText));
  std::free(const_cast<char*>(response->statusText));
  HostHeader* headers = const_cast<HostHeader*>(response->headers);
  if (headers != nullptr) {
    for (uint32_t i = 0; i < response->headerCount; ++i) {
      std::free(const_cast<char*>(headers[i].name));
      std::free(const_cast<char*>(headers[i].value));
    }
    std::free(headers);
  }
  ReleaseHostValue(&response->body);
  if (response->streamRead == &HostStreamRead) delete static_cast<HostStream*>(response->streamContext);
  std::memset(static_cast<void*>(response), 0, sizeof(HostResponse));
}

// Adds to `used` an upper bound of the length DumpJson gives for the value and
// stops as soon as it passes `limit`: a text byte dumps as at most six bytes
// ("\u001f"), an invalid one is replaced by three, and numbers have bounded
// lengths. Returns whether the bound stayed within the limit. Nested values
// wait on a list of their own rather than on the call stack.
bool DumpedSizeWithin(const json& value, size_t limit, size_t* used) {
  std::vector<const json*> pending{&value};
  while (!pending.empty()) {
    const json& v = *pending.back();
    pending.pop_back();
    switch (v.type()) {
      case json::value_t::string:
        *used += 2 + 6 * v.get_ref<const json::string_t&>().size();
        break;
      case json::value_t::binary:
        *used += 64 + 4 * v.get_binary().size();
        break;
      case json::value_t::array:
        *used += 2 + v.size();  // the brackets and a separator per element
        if (*used > limit) return false;
        for (const json& element : v) pending.push_back(&element);
        break;
      case json::value_t::object:
        *used += 2;
        for (auto it = v.begin(); it != v.end(); ++it) {
          *used += 4 + 6 * it.key().size();
          if (*used > limit) return false;
          pending.push_back(&it.value());
        }
        break;
      default:
        *used += 32;  // null, booleans, numbers and discarded values
        break;
    }
    if (*used > limit) return false;
  }
  return true;
}

void FillResponseParts(const Answer& answer, HostResponse* response, size_t streamThreshold, size_t streamChunk) {
  if (answer.error) {
    response->errorText = Duplicate(answer.errorText);
    response->errorFlag = 1;
    response->status = static_cast<uint32_t>(answer.status != 0 ? answer.status : 400);
  } else {
    response->status = static_cast<uint32_t>(answer.status);
    std::string text;
    bool stream = answer.raw;
    if (answer.raw) {
      text = answer.body.is_string() ? answer.body.get<std::string>() : DumpJson(answer.body);
    } else if (answer.body.is_structured()) {
      // Most answers are far below the threshold; dumping them only to learn
      // that was the larger part of answering a plugin.
      size_t bound = 0;
      if (!DumpedSizeWithin(answer.body, streamThreshold, &bound)) {
        text = DumpJson(answer.body);
        stream = text.size() > streamThreshold;
      }
    }
    if (stream) {
      auto* s = new HostStream{std::move(text), 0, std::max<size_t>(streamChunk, 1), false};
      response->expectedSize = s->text.size();
      response->streamContext = s;
      response->streamRead = &HostStreamRead;
      response->streamClose = &HostStreamClose;
    } else {
      JsonToHostValue(answer.body, &response->body);
    }
  }
  if (!answer.statusText.empty()) response->statusText = Duplicate(answer.statusText);
  if (!answer.headers.empty()) {
    auto* headers = static_cast<HostHeader*>(std::calloc(answer.headers.size(), sizeof(HostHeader)));
    if (headers == nullptr) throw std::bad_alloc();
    response->headers = headers;
    response->headerCount = static_cast<uint32_t>(answer.headers.size());
    for (size_t i = 0; i < answer.headers.size(); ++i) {
      headers[i].name = Duplicate(answer.headers[i].first);
      headers[i].value = Duplicate(answer.headers[i].second);
    }
  }
}

}  // namespace

void FillResponse(const Answer& answer, HostResponse* response, size_t streamThreshold, size_t streamChunk) {
  std::memset(static_cast<void*>(response), 0, sizeof(HostResponse));
  response->release = &HostReleaseResponse;
  // Out of memory part way, the record is released and left empty: never
  // half filled.
  try {
    FillResponseParts(answer, response, streamThreshold, streamChunk);
  } catch (...) {
    HostReleaseResponse(response);
    response->release = &HostReleaseResponse;
    throw;
  }
}

// The last resort of a failed request: an error record without a text when
// even the text cannot be had.
void FillFailure(HostResponse* response, const std::string& text) noexcept {
  try {
    FillResponse(HostFailure(500, text), response, 4096, 4096);
  } catch (...) {
    response->errorFlag = 1;
    response->status = 500;
  }
}

namespace {

// A text of a plugin's answer, kept up to `limit` bytes: the answer is still
// worth having, so a longer text is cut there, and the host says so.
std::string AnswerText(const char* text, size_t limit, const char* what, Host* host) {
  const size_t length = text == nullptr ? 0 : strnlen(text, limit + 1);
  if (length <= limit) return std::string(text == nullptr ? "" : text, length);
  if (host != nullptr) {
    host->HostLog(
        1, std::string("An answer's ") + what + " is longer than " + std::to_string(limit) + " bytes; cut there");
  }
  return std::string(text, limit);
}

}  // namespace

Answer ReadResponse(HostResponse* response, Host* host) {
  Answer a;
  const HostResponse& r = *response;
  a.status = static_cast<int>(r.status);
  a.statusText = AnswerText(r.statusText, kMaxStatusText, "status text", host);
  if (r.headers == nullptr && r.headerCount != 0) {
    if (host) host->HostLog(1, "response with a null header array and " + std::to_string(r.headerCount) + " headers");
  } else {
    if (r.headerCount > kMaxItems && host != nullptr) {
      host->HostLog(1, "An answer has " + std::to_string(r.headerCount) + " headers; the first " +
                           std::to_string(kMaxItems) + " are kept");
    }
    for (uint32_t i = 0; i < std::min(uint32_t{r.headerCount}, kMaxItems); ++i) {
      if (r.headers[i].name != nullptr)
        a.headers.emplace_back(AnswerText(r.headers[i].name, kMaxHeaderName - 1, "header name", host),
                               AnswerText(r.headers[i].value, kMaxText, "header value", host));
    }
  }
  HostStreamReadFunction read = r.streamRead;
  HostStreamCloseFunction close = r.streamClose;
  void* context = r.streamContext;
  if (r.errorText != nullptr || r.errorFlag != 0) {
    a.error = true;
    a.errorText = AnswerText(r.errorText, kMaxText, "error text", host);
  } else if (read != nullptr) {
    a.streamed = true;
    a.expectedSize = r.expectedSize;
    std::string text;
    text.reserve(static_cast<size_t>(std::min(uint64_t{r.expectedSize}, uint64_t{16u << 20})));
    uint8_t buffer[4096];
    uint32_t idle = 0;
    bool ok = true;
    while (true) {
      uint32_t length = sizeof buffer;
      uint8_t more = 1;
      if (read(context, buffer, &length, &more) == 0) {
        ok = false;
        a.errorText = "The endpoint's stream failed after " + std::to_string(text.size()) + " bytes";
        break;
      }
      if (length > sizeof buffer) {
        ok = false;
        a.errorText = "The endpoint's stream claimed " + std::to_string(length) + " bytes for a 4096-byte buffer";
        break;
      }
      text.append(reinterpret_cast<const char*>(buffer), length);
      if (text.size() > kMaxStreamBytes) {
        ok = false;
        a.errorText = "The endpoint's stream is larger than " + std::to_string(kMaxStreamBytes) + " bytes";
        break;
      }
      if (more == 0) break;
      if (length < sizeof buffer) {
        if (length == 0 && ++idle > kMaxIdleStreamReads) {
          ok = false;
          a.errorText = "The endpoint's stream delivers nothing";
          break;
        }
        std::this_thread::yield();
      }
    }
    if (!ok) {
      a.error = true;
      a.status = 502;
    } else if (!ParseJson(text, &a.body, nullptr)) {
      a.raw = true;
      a.body = std::move(text);
    }
  } else {
    ReadResult read = HostValueToJson(r.body, &a.body);
    if (!read.ok) {
      a.error = true;
      a.status = 502;
      a.errorText = "The endpoint answered with an unreadable value: " + read.error;
      a.body = nullptr;
    }
  }
  if (read != nullptr && close != nullptr) close(context);
  if (r.release != nullptr) r.release(response);
  return a;
}

int Answer::HttpStatus() const {
  if (error) {
    if (status == 0) return 400;
    return status >= 400 && status <= 599 ? status : 500;
  }
  if (status == 0) return body.is_null() && !raw ? 204 : 200;
  return status >= 200 && status <= 599 ? status : 502;
}

json Answer::HttpBody() const {
  if (error) return json{{"error", errorText}};
  if (status != 0 && (status < 200 || status > 599)) {
    return json{{"error", "The endpoint answered with the invalid status " + std::to_string(status)}, {"body", body}};
  }
  return body;
}

json Answer::ToJson() const {
  json j{{"status", status}, {"servedBy", servedBy}};
  if (error) {
    j["error"] = errorText;
  } else {
    j["body"] = body;
  }
  if (streamed) j["streamed"] = true;
  if (raw) j["raw"] = true;
  return j;
}

RequestProblem ReadRequest(const HostRequest* request, Call* call) {
  RequestProblem problem;
  if (request == nullptr) {
    problem.text = "The request record is null";
    return problem;
  }
  const uint32_t method = request->method <= 8 ? request->method : 0;
  call->method = MethodName(method);
  if (method == 8 && !WholeText(request->methodText, kMaxMethodText, &call->method)) {
    problem.text = "The request's method text is longer than " + std::to_string(kMaxMethodText - 1) + " bytes";
  }
  if (request->url == nullptr) {
    problem.text = "The request has no URL";
  } else if (!WholeText(request->url, kMaxUrl, &call->url)) {
    problem.text = "The request URL is longer than " + std::to_string(kMaxUrl - 1) + " bytes";
    problem.status = 414;
  }
  if (problem.text.empty() && request->items == nullptr && request->itemCount != 0) {
    problem.text = "The request has a null item array and " + std::to_string(request->itemCount) + " items";
  } else if (problem.text.empty() && request->itemCount > kMaxItems) {
    problem.text = "The request has " + std::to_string(request->itemCount) + " items";
  }
  for (uint32_t i = 0; problem.text.empty() && i < request->itemCount; ++i) {
    Item item;
    if (request->items[i].name != nullptr) {
      item.name.emplace();
      if (!WholeText(request->items[i].name, kMaxItemName, &*item.name)) {
        problem.text = "The name of parameter item " + std::to_string(i) + " is longer than " +
                       std::to_string(kMaxItemName - 1) + " bytes";
        break;
      }
    }
    ReadResult read = HostValueToJson(request->items[i].value, &item.value);
    if (!read.ok) problem.text = "Parameter item " + std::to_string(i) + " is unreadable: " + read.error;
    call->items.push_back(std::move(item));
  }
  // Taken whole or refused, like the URL: cut short, a header or media type
  // would say something else.
  if (problem.text.empty() && request->headers != nullptr && request->headerCount > kMaxItems) {
    problem.text = "The request has " + std::to_string(request->headerCount) + " headers";
  }
  for (uint32_t i = 0; problem.text.empty() && request->headers != nullptr && i < request->headerCount; ++i) {
    if (request->headers[i].name == nullptr) continue;
    std::string name, value;
    if (!WholeText(request->headers[i].name, kMaxHeaderName, &name) ||
        !WholeText(request->headers[i].value, kMaxText + 1, &value)) {
      problem.text = "Header " + std::to_string(i) + " of the request is longer than its bound (" +
                     std::to_string(kMaxHeaderName - 1) + " bytes of name, " + std::to_string(kMaxText) + " of value)";
      break;
    }
    call->headers.emplace_back(std::move(name), std::move(value));
  }
  if (problem.text.empty() && !WholeText(request->contentType, kMaxContentType, &call->contentType)) {
    problem.text = "The request's content type is longer than " + std::to_string(kMaxContentType - 1) + " bytes";
  }
  if (request->body == nullptr && request->bodySize != 0) {
    problem.text = "The request has a null body of " + std::to_string(request->bodySize) + " bytes";
  } else if (request->body != nullptr) {
    call->body.assign(reinterpret_cast<const char*>(request->body), request->bodySize);
  }
  return problem;
}

OutgoingRequest::OutgoingRequest(const Call& call, const void* endpointContext, uint32_t hostToken) {
  values_.reserve(call.items.size());
  items_.reserve(call.items.size());
  for (const Item& item : call.items) {
    values_.emplace_back(item.value);
    HostParameterItem p{};
    p.name = item.name ? item.name->c_str() : nullptr;
    p.value = values_.back().get();
    items_.push_back(p);
  }
  headers_.reserve(call.headers.size());
  for (const auto& [name, value] : call.headers) headers_.push_back(HostHeader{name.c_str(), value.c_str()});
  request_.method = MethodNumber(call.method);
  request_.url = call.url.c_str();
  request_.items = items_.empty() ? nullptr : items_.data();
  request_.itemCount = static_cast<uint32_t>(items_.size());
  request_.endpointContext = endpointContext;
  request_.headers = headers_.empty() ? nullptr : headers_.data();
  request_.headerCount = static_cast<uint32_t>(headers_.size());
  request_.contentType = call.contentType.empty() ? nullptr : call.contentType.c_str();
  request_.body = call.body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(call.body.data());
  request_.bodySize = static_cast<uint32_t>(call.body.size());
  request_.hostToken = hostToken;
  request_.methodText = call.method.c_str();
}

}  // namespace kivhost
