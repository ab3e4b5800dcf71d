// Host requests on arbitrary bytes, delivered through the API table's
// endpoint entries exactly as a host delivers them. Every request ends in a
// response whose release is set and whose error flag agrees with its error
// text; nothing escapes as an internal error; a body that was written reads
// back; the echo endpoint answers with what the body's reader makes of it.
//
// Input: a method byte (its value modulo 10, so numbers outside 1..8 occur),
// an endpoint byte (its low seven bits modulo the number of entries; with its
// top bit set the URL starts with the entry's path up to its first
// placeholder), then line-feed separated fields: URL, two header names and
// values, content type, method text, parameter items ("name:text" pieces
// joined by "&", an empty name giving a positional item); everything after
// the last field is the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/binding_api.h"
#include "value/host_value.h"
#include "value/value.h"
#include "readers/json_reader.h"
#include "readers/msgpack_reader.h"
#include "readers/yaml_reader.h"
#include "kiv_plugin.h"
#include "logging/barrier.h"

namespace {

using kiv::HttpMethod;
using kiv::String;
using kiv::Vector;
using kiv::binding::BindingApi;
using kiv::binding::CallResult;
using kiv::binding::DeferredValue;
using kiv::binding::RequestDetails;
using kiv::binding::Value;
using kiv::binding::ValueKind;
using kiv::binding::ValueResult;

void Check(bool condition) {
  if (!condition) std::abort();
}

enum class Tone : int32_t { Idle = 0, Busy = 1, Done = 7 };

struct Item {
  int32_t id = 0;
  bool verbose = false;
  String tag;
  Tone state = Tone::Idle;
  Vector<String> labels;
  Value extra;
};

constexpr std::string_view kEchoPath = "/f/v1/echo";

// One endpoint per way an argument reaches a function, arguments of every
// kind of type, a result built from the request itself, and response options.
BindingApi* MakeApi() {
  auto* api = new BindingApi();
  kiv::binding::TypeRegistry& types = api->Types();
  types.BeginEnum<Tone>("FuzzTone")
      .Enumerator("Idle", Tone::Idle)
      .Enumerator("Busy", Tone::Busy)
      .Enumerator("Done", Tone::Done);
  types.BeginStruct<Item>("FuzzItem")
      .Field("id", &Item::id)
      .Field("verbose", &Item::verbose)
      .Field("tag", &Item::tag, {}, {.flags = kiv::binding::kFieldOmitEmpty})
      .Field("state", &Item::state)
      .Field("labels", &Item::labels)
      .Field("extra", &Item::extra, {}, {.flags = kiv::binding::kFieldOmitEmpty});

  api->Endpoint(HttpMethod::kPost, kEchoPath, [](Value value) { return value; }).BodyArg("value");
  api->Endpoint(HttpMethod::kGet, kEchoPath, [](Value value) { return value; }).Arg("value");
  auto makeItem = [](int32_t id, bool verbose, String tag, Vector<String> labels) {
    Item item;
    item.id = id;
    item.verbose = verbose;
    item.tag = std::move(tag);
    item.state = Tone::Busy;
    item.labels = std::move(labels);
    return item;
  };
  api->Endpoint(HttpMethod::kGet, "/f/v1/items/{id}", makeItem)
      .PathArg("id")
      .Arg("verbose")
      .HeaderArg("userTag")
      .AnyArg("labels");
  api->Endpoint(HttpMethod::kGet, "/f/v1/drafts/{id}", makeItem)
      .PathArg("id")
      .Arg("verbose")
      .Optional()
      .HeaderArg("userTag")
      .Optional()
      .AnyArg("labels")
      .Optional();
  api->Endpoint(HttpMethod::kPut, "/f/v1/items/{id}",
                [](int32_t id, Item body) {
                  body.id = id;
                  return body;
                })
      .PathArg("id")
      .BodyArg("item");
  api->Endpoint(HttpMethod::kGet, "/f/v1/item", [](Item item) { return item; }).Arg("item");
  api->Endpoint(HttpMethod::kGet, "/f/v1/state", [](Tone tone) { return tone; }).Arg("state");
  api->Endpoint(HttpMethod::kGet, "/f/v1/files/{+rest}", [](String rest) { return rest; }).PathArg("rest");
  api->Endpoint(HttpMethod::kAny, "/f/v1/numbers",
                [](Vector<Tone> tones, Vector<uint16_t> ports, double ratio, int64_t low, uint64_t high,
                   Vector<uint8_t> bytes, Vector<Vector<float>> grid) {
                  Value out;
                  out.Member("tones").SetUnsigned(tones.size());
                  out.Member("ports").SetUnsigned(ports.size());
                  out.Member("ratio").SetFloat(ratio);
                  out.Member("low").SetSigned(low);
                  out.Member("high").SetUnsigned(high);
                  out.Member("bytes").SetBlob(bytes.data(), bytes.size());
                  out.Member("grid").SetUnsigned(grid.size());
                  return out;
                })
      .AnyArg("tones")
      .Optional()
      .AnyArg("ports")
      .Optional()
      .AnyArg("ratio")
      .Optional()
      .AnyArg("low")
      .Optional()
      .AnyArg("high")
      .Optional()
      .AnyArg("bytes")
      .Optional()
      .AnyArg("grid")
      .Optional();
  // The reserved return type: the result is made from the request details.
  api->Endpoint(HttpMethod::kAny, "/f/v1/details/{name}",
                [](String name, String note) {
                  return DeferredValue{[name, note](ValueResult& out, const RequestDetails& request) {
                    out.Member("name").SetString(name);
                    out.Member("note").SetString(note);
                    out.Member("url").SetString(request.url);
                    out.Member("method").SetUnsigned(static_cast<uint32_t>(request.method));
                    out.Member("methodText").SetString(request.methodText);
                    Value& headers = out.Member("headers");
                    headers.MakeStructure();
                    for (const auto& [key, value] : request.headers) headers.Member(key).SetString(value);
                  }};
                })
      .PathArg("name")
      .HeaderArg("x-note")
      .Optional();
  api->Endpoint(HttpMethod::kPost, "/f/v1/status",
                [](CallResult& result, uint32_t code, String text, uint32_t mode, String header) {
                  result.SetStatus(code, text);
                  result.responseMode = mode;
                  result.responseFlag = static_cast<uint8_t>(code);
                  if (!header.empty()) result.AddHeader(header, text);
                  return text;
                })
      .Arg("code")
      .Optional()
      .Arg("text")
      .Optional()
      .Arg("mode")
      .Optional()
      .Arg("header")
      .Optional();
  return api;
}

struct Service {
  BindingApi* api;
  std::vector<const HostEndpointEntry*> entries;
};

// Built once and kept: requests share the registry (and the scratch storage
// dispatch keeps between requests), as they do in a loaded plugin.
const Service& TheService() {
  static const Service service = [] {
    Service s{MakeApi(), {}};
    const PluginApiTable* table = s.api->BuildApiTable();
    const HostEndpointEntry* entry = table->endpoints;
    for (uint32_t i = 0; i < table->endpointCount && entry != nullptr; ++i) {
      s.entries.push_back(entry);
      entry = reinterpret_cast<const HostEndpointEntry*>(entry->function.next);
    }
    Check(!s.entries.empty());
    return s;
  }();
  return service;
}

bool StartsWithType(std::string_view type, std::string_view prefix) {
  if (type.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = type[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// What the body argument of the echo endpoint should hold: the body read by
// the reader its content type names. False when the body is refused.
bool ExpectedEcho(std::string_view type, std::string_view body, Value* expected) {
  if (body.empty()) return true;  // no body: the argument stays Empty
  ValueResult read;
  if (StartsWithType(type, "application/x-msgpack")) {
    std::size_t consumed = 0;
    read = kiv::codecs::ReadMessagePack(body, &consumed);
    if (consumed != body.size()) return false;
  } else if (StartsWithType(type, "application/json") || StartsWithType(type, "application/vnd.api+json")) {
    read = kiv::codecs::ReadJson(body);
  } else if (StartsWithType(type, "application/x-yaml")) {
    read = kiv::codecs::ReadYaml(body);
  } else {
    return false;
  }
  if (!read.Succeeded()) return false;
  expected->MoveFrom(read);
  return true;
}

// Equality with floats compared bit for bit, so that NaN equals itself.
bool Same(const Value& a, const Value& b) {
  if (a.Kind() != b.Kind()) return false;
  switch (a.Kind()) {
    case ValueKind::Float: {
      const double x = a.AsFloat(), y = b.AsFloat();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case ValueKind::Collection: {
      if (a.Size() != b.Size()) return false;
      for (std::size_t i = 0; i < a.Size(); ++i) {
        if (!Same(a.At(i), b.At(i))) return false;
      }
      return true;
    }
    case ValueKind::Structure: {
      const auto x = a.Members(), y = b.Members();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].name() != y[i].name() || !Same(x[i].value(), y[i].value())) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

// The next line-feed separated field; the rest stays in `input`.
std::string NextField(std::string_view& input) {
  const std::size_t cut = input.find('\n');
  const std::string field(input.substr(0, cut));
  input = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Service& service = TheService();
  const HostEndpointEntry* entry = service.entries[(data[1] & 0x7fu) % service.entries.size()];
  std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

  std::string url = NextField(input);
  if ((data[1] & 0x80) != 0) {
    const std::string_view path(entry->path);
    url.insert(0, path.substr(0, path.find('{')));
  }
  const std::string headerText[4] = {NextField(input), NextField(input), NextField(input), NextField(input)};
  const std::string contentType = NextField(input);
  const std::string methodText = NextField(input);
  const std::string itemText = NextField(input);
  // The body in a block of its own size, so that a read past it is caught.
  const std::vector<uint8_t> body(input.begin(), input.end());

  std::vector<HostHeader> headers;
  for (int h = 0; h < 4; h += 2) {
    if (headerText[h].empty()) continue;
    headers.push_back(
        HostHeader{headerText[h].c_str(), headerText[h + 1].empty() ? nullptr : headerText[h + 1].c_str()});
  }

  // Items keep their texts here; each names its argument or takes the next position.
  std::vector<std::pair<std::string, std::string>> itemParts;
  for (std::string_view rest = itemText; !rest.empty();) {
    const std::size_t amp = rest.find('&');
    const std::string_view piece = rest.substr(0, amp);
    const std::size_t colon = piece.find(':');
    itemParts.emplace_back(std::string(piece.substr(0, colon)),
                           colon == std::string_view::npos ? std::string() : std::string(piece.substr(colon + 1)));
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
  }
  std::vector<HostParameterItem> items(itemParts.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].name = itemParts[i].first.empty() ? nullptr : itemParts[i].first.c_str();
    items[i].value.kind = KIV_HOST_VALUE_STRING;
    items[i].value.u.text.data = itemParts[i].second.data();
    items[i].value.u.text.length = static_cast<uint32_t>(itemParts[i].second.size());
  }

  HostRequest request{};
  request.method = data[0] % 10u;
  request.url = url.c_str();
  request.items = items.empty() ? nullptr : items.data();
  request.itemCount = static_cast<uint32_t>(items.size());
  request.endpointContext = entry->function.context;
  request.headers = headers.empty() ? nullptr : headers.data();
  request.headerCount = static_cast<uint32_t>(headers.size());
  request.contentType = contentType.empty() ? nullptr : contentType.c_str();
  request.body = body.empty() ? nullptr : body.data();
  request.bodySize = static_cast<uint32_t>(body.size());
  request.hostToken = 7;
  request.methodText = methodText.empty() ? nullptr : methodText.c_str();

  HostResponse response;
  std::memset(&response, 0xA5, sizeof response);  // the entry must clear it
  entry->requestEntry(&response, &request);

  const HostResponseReleaseFunction release = response.release;
  Check(release != nullptr);
  Check((response.errorFlag != 0) == (response.errorText != nullptr));
  // Hostile input is answered with a message, never by an escaped exception.
  Check(response.errorText != kiv::kInternalErrorText && response.errorText != kiv::kOutOfMemoryText);
  if (response.errorText == nullptr && response.streamRead == nullptr) {
    ValueResult read;
    Value answer;
    Check(kiv::binding::ReadHostValue(read, answer, response.body, "<result>"));
    // Items could fill the echo's argument too; only the body is predicted.
    const bool isEcho = entry->method == KIV_METHOD_POST && std::string_view(entry->path) == kEchoPath && items.empty();
    const std::string_view bodyText(reinterpret_cast<const char*>(body.data()), body.size());
    Value expected;
    if (isEcho) {
      Check(ExpectedEcho(contentType, bodyText, &expected));
      Check(Same(answer, expected));
    }
  }
  release(&response);
  return 0;
}
