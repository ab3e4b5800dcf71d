// A small plugin written against the boundary header only, for the host's
// tests. Each export creates an independent plugin object whose endpoints
// live under "/<short name>/v1/"; they answer from the request record and
// exercise the host services (requests, events, subscriptions, log lines,
// yields) and the odd answers a host must survive.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kiv_plugin.h"

namespace {

// ---- Values, owned by the plugin and freed by its release --------------------

char* Dup(const std::string& s) {
  auto* p = static_cast<char*>(std::malloc(s.size() + 1));
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

HostValue Of(uint32_t kind) {
  HostValue v{};
  v.kind = kind;
  return v;
}

HostValue Text(const std::string& s) {
  HostValue v = Of(KIV_HOST_VALUE_OWNED_STRING);
  v.u.text.data = Dup(s);
  v.u.text.length = static_cast<uint32_t>(s.size());
  return v;
}

HostValue Unsigned(uint64_t n) {
  HostValue v = Of(KIV_HOST_VALUE_UNSIGNED);
  v.u.u64 = n;
  return v;
}

HostValue Bool(bool b) {
  HostValue v = Of(KIV_HOST_VALUE_BOOL);
  v.u.boolean = b ? 1 : 0;
  return v;
}

HostValue List(const std::vector<HostValue>& items) {
  HostValue v = Of(KIV_HOST_VALUE_COLLECTION);
  v.u.collection.items = static_cast<HostValue*>(std::calloc(items.size() + 1, sizeof(HostValue)));
  std::copy(items.begin(), items.end(), v.u.collection.items);
  v.u.collection.count = static_cast<uint32_t>(items.size());
  return v;
}

HostValue Struct(std::vector<std::pair<std::string, HostValue>> members) {
  std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  HostValue v = Of(KIV_HOST_VALUE_STRUCTURE);
  v.u.structure.entries = static_cast<HostStructEntry*>(std::calloc(members.size() + 1, sizeof(HostStructEntry)));
  for (size_t i = 0; i < members.size(); ++i) {
    v.u.structure.entries[i] = HostStructEntry{Dup(members[i].first), members[i].second, 1};
  }
  v.u.structure.count = static_cast<uint32_t>(members.size());
  return v;
}

void FreeValue(HostValue* v) {
  if (v->kind == KIV_HOST_VALUE_OWNED_STRING || v->kind == KIV_HOST_VALUE_OWNED_BLOB) {
    std::free(const_cast<char*>(v->u.text.data));
  } else if (v->kind == KIV_HOST_VALUE_COLLECTION) {
    for (uint32_t i = 0; v->u.collection.items != nullptr && i < v->u.collection.count; ++i) {
      FreeValue(&v->u.collection.items[i]);
    }
    std::free(v->u.collection.items);
  } else if (v->kind == KIV_HOST_VALUE_STRUCTURE) {
    for (uint32_t i = 0; i < v->u.structure.count; ++i) {
      if (v->u.structure.entries[i].keyOwned) std::free(const_cast<char*>(v->u.structure.entries[i].key));
      FreeValue(&v->u.structure.entries[i].value);
    }
    std::free(v->u.structure.entries);
  }
  *v = HostValue{};
}

// A deep copy that owns everything it holds.
HostValue Copy(const HostValue& v) {
  switch (v.kind) {
    case KIV_HOST_VALUE_STRING:
    case KIV_HOST_VALUE_OWNED_STRING:
      return Text(v.u.text.data ? std::string(v.u.text.data, v.u.text.length) : std::string());
    case KIV_HOST_VALUE_BLOB:
    case KIV_HOST_VALUE_OWNED_BLOB: {
      HostValue c = Text(std::string(reinterpret_cast<const char*>(v.u.blob.data), v.u.blob.size));
      c.kind = KIV_HOST_VALUE_OWNED_BLOB;
      return c;
    }
    case KIV_HOST_VALUE_COLLECTION: {
      std::vector<HostValue> items;
      for (uint32_t i = 0; i < v.u.collection.count; ++i) items.push_back(Copy(v.u.collection.items[i]));
      return List(items);
    }
    case KIV_HOST_VALUE_STRUCTURE: {
      std::vector<std::pair<std::string, HostValue>> members;
      for (uint32_t i = 0; i < v.u.structure.count; ++i) {
        members.emplace_back(std::string(v.u.structure.entries[i].key), Copy(v.u.structure.entries[i].value));
      }
      return Struct(std::move(members));
    }
    default:
      return v;
  }
}

// ---- Requests -----------------------------------------------------------------

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
      out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

struct Url {
  std::string path;
  std::map<std::string, std::string> query;
  std::string Get(const std::string& key, const std::string& fallback = "") const {
    auto it = query.find(key);
    return it != query.end() ? it->second : fallback;
  }
  std::string Rest(const std::string& prefix) const { return path.substr(prefix.size()); }
};

Url ParseUrl(const char* url) {
  Url u;
  const std::string s = url ? url : "";
  const size_t q = s.find('?');
  u.path = s.substr(0, q);
  for (size_t start = q == std::string::npos ? s.size() + 1 : q + 1; start <= s.size();) {
    size_t end = s.find('&', start);
    if (end == std::string::npos) end = s.size();
    const std::string piece = s.substr(start, end - start);
    const size_t eq = piece.find('=');
    if (!piece.empty())
      u.query[Decode(piece.substr(0, eq))] = eq == std::string::npos ? "" : Decode(piece.substr(eq + 1));
    start = end + 1;
  }
  return u;
}

// ---- Answers ------------------------------------------------------------------

struct Stream {
  std::string text;
  size_t pos = 0;
  size_t chunk = 4096;
  int failAfter = -1;  // reads before a failure; -1 never
  int reads = 0;
};

uint8_t KIV_CDECL StreamRead(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more) {
  auto* s = static_cast<Stream*>(context);
  if (s->failAfter >= 0 && s->reads >= s->failAfter) return 0;
  ++s->reads;
  const size_t n = std::min({static_cast<size_t>(*length), s->chunk, s->text.size() - s->pos});
  std::memcpy(buffer, s->text.data() + s->pos, n);
  s->pos += n;
  *length = static_cast<uint32_t>(n);
  *more = s->pos < s->text.size() ? 1 : 0;
  return 1;
}

void KIV_CDECL StreamClose(void*) {}

void KIV_CDECL Release(HostResponse* r) {
  std::free(const_cast<char*>(r->errorText));
  std::free(const_cast<char*>(r->statusText));
  for (uint32_t i = 0; r->headers != nullptr && i < r->headerCount; ++i) {
    std::free(const_cast<char*>(r->headers[i].name));
    std::free(const_cast<char*>(r->headers[i].value));
  }
  std::free(const_cast<HostHeader*>(r->headers));
  FreeValue(&r->body);
  if (r->streamRead == &StreamRead) delete static_cast<Stream*>(r->streamContext);
  std::memset(static_cast<void*>(r), 0, sizeof *r);
}

void Answer(HostResponse* r, HostValue body, uint32_t status = 0) {
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->body = body;
  r->status = status;
  r->release = &Release;
}

void Error(HostResponse* r, const std::string& text, uint32_t status) {
  Answer(r, HostValue{}, status);
  r->errorText = Dup(text);
  r->errorFlag = 1;
}

// ---- The plugin object --------------------------------------------------------

struct Fake;
using Handler = void (*)(Fake&, HostRequest&, HostResponse&, const Url&);

struct EndpointContext {
  Fake* fake;
  Handler handler;
};

struct Fake {
  std::string name;
  std::string prefix;
  bool initializeOk = true;
  PluginCallbacks callbacks{};
  PluginApiTable table{};
  std::deque<std::string> texts;
  std::vector<HostEndpointEntry> endpoints;
  std::vector<EndpointContext> contexts;
  std::vector<HostArgumentRecord> arguments;
  std::vector<HostArgumentLocation> locations;
  std::vector<const char*> tags;
  std::vector<HostTypeRecord> types;
  std::vector<HostFieldRecord> fields;
  std::vector<HostEnumeratorRecord> enumerators;
  std::vector<HostEventRecord> events;
  HostInit* init = nullptr;
  std::mutex mutex;
  std::vector<HostValue> received;  // {name, payload} per event
  std::vector<std::string> subscribed;

  const char* T(const std::string& s) { return texts.emplace_back(s).c_str(); }
  HostServices* services() { return init != nullptr ? init->services : nullptr; }
  uint32_t token() { return init != nullptr ? init->hostToken : 0; }
  void Log(int32_t level, const std::string& text) {
    if (HostServices* s = services()) s->writeLog(s, level, text.c_str());
  }
  void Subscribe(const std::string& event, uint32_t flag);
  void Unsubscribe(const std::string& event) {
    if (HostServices* s = services()) s->unsubscribe(s, event.c_str(), token());
    std::lock_guard<std::mutex> lock(mutex);
    subscribed.erase(std::remove(subscribed.begin(), subscribed.end(), event), subscribed.end());
  }
  ~Fake() {
    for (auto& v : received) FreeValue(&v);
  }
};

void KIV_CDECL OnEvent(const HostEvent* event);

void Fake::Subscribe(const std::string& event, uint32_t flag) {
  if (HostServices* s = services()) s->subscribe(s, event.c_str(), token(), &OnEvent, this, flag);
  std::lock_guard<std::mutex> lock(mutex);
  if (std::find(subscribed.begin(), subscribed.end(), event) == subscribed.end()) subscribed.push_back(event);
}

// A request through host entry 0, read the way the framework reads it.
struct Outcome {
  uint32_t status = 0;
  std::string error;
  bool failed = false;
  HostValue body{};
  bool streamed = false;
  std::string text;
  uint32_t reads = 0, yields = 0;
};

Outcome Send(Fake& f, uint32_t method, const std::string& url, HostParameterItem* item) {
  Outcome o;
  HostServices* s = f.services();
  if (s == nullptr) {
    o.failed = true;
    o.error = "not initialized";
    return o;
  }
  HostRequest request{};
  request.method = method;
  request.url = url.c_str();
  request.items = item;
  request.itemCount = item != nullptr ? 1 : 0;
  request.hostToken = f.token();
  HostResponse response;
  std::memset(static_cast<void*>(&response), 0, sizeof response);
  s->sendRequest(s, &response, &request);
  o.status = response.status;
  if (response.errorText != nullptr) {
    o.failed = true;
    o.error = response.errorText;
  } else if (response.streamRead != nullptr) {
    o.streamed = true;
    uint8_t buffer[4096];
    for (uint8_t more = 1; more != 0;) {
      uint32_t length = sizeof buffer;
      more = 1;
      ++o.reads;
      if (response.streamRead(response.streamContext, buffer, &length, &more) == 0) {
        o.failed = true;
        o.error = "Stream read error";
        break;
      }
      o.text.append(reinterpret_cast<char*>(buffer), length);
      if (length < sizeof buffer && more != 0) {
        s->beginWait(s, "Wait: yield", 0);
        s->yield(s);
        s->endWait(s);
        ++o.yields;
      }
    }
    if (response.streamClose != nullptr) response.streamClose(response.streamContext);
  } else {
    o.body = Copy(response.body);
  }
  if (response.release != nullptr) response.release(&response);
  return o;
}

void KIV_CDECL OnEvent(const HostEvent* event) {
  auto* f = static_cast<Fake*>(event->context);
  const std::string name = event->name;
  {
    std::lock_guard<std::mutex> lock(f->mutex);
    f->received.push_back(Struct({{"name", Text(name)}, {"payload", Copy(event->payload)}}));
  }
  if (name == "FakePing") {
    // From inside a delivery: publish again and call out, as real plugins do.
    HostEvent pong{};
    pong.name = "FakePong";
    pong.payload = event->payload;
    f->services()->sendEvent(f->services(), &pong);
    Outcome o = Send(*f, KIV_METHOD_GET, "/kiv-summoner/v1/summoners/42", nullptr);
    f->Log(0, "ping answered " + std::to_string(o.status));
    FreeValue(&o.body);
  }
}

// ---- Endpoint handlers --------------------------------------------------------

// Echo is the one function registered as not safe to run concurrently;
// `hold` (milliseconds, at most 5000) makes it a slow one.
void Echo(Fake& f, HostRequest& q, HostResponse& r, const Url& u) {
  if (u.query.count("hold"))
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min(5000ul, std::strtoul(u.Get("hold").c_str(), nullptr, 10))));
  std::vector<HostValue> items, names;
  for (uint32_t i = 0; i < q.itemCount; ++i) {
    items.push_back(Copy(q.items[i].value));
    names.push_back(Text(q.items[i].name != nullptr ? q.items[i].name : ""));
  }
  std::vector<std::pair<std::string, HostValue>> headers;
  for (uint32_t i = 0; i < q.headerCount; ++i) headers.emplace_back(q.headers[i].name, Text(q.headers[i].value));
  Answer(&r, Struct({{"method", Unsigned(q.method)},
                     {"methodText", Text(q.methodText != nullptr ? q.methodText : "")},
                     {"url", Text(q.url)},
                     {"contentType", Text(q.contentType != nullptr ? q.contentType : "")},
                     {"body", Text(std::string(reinterpret_cast<const char*>(q.body), q.body ? q.bodySize : 0))},
                     {"items", List(items)},
                     {"itemNames", List(names)},
                     {"headers", Struct(std::move(headers))},
                     {"tokenMatches", Bool(q.hostToken == f.token())}}));
}

void Status(Fake& f, HostRequest&, HostResponse& r, const Url& u) {
  const auto code = static_cast<uint32_t>(std::strtoul(u.Rest(f.prefix + "/status/").c_str(), nullptr, 10));
  if (u.query.count("error")) return Error(&r, u.Get("error"), code);
  Answer(&r, Text("status"), code);
}

void Odd(Fake& f, HostRequest&, HostResponse& r, const Url& u) {
  const std::string what = u.Rest(f.prefix + "/odd/");
  HostValue v{};
  if (what == "invalid-kind") {
    Answer(&r, Of(99));
  } else if (what == "null-text") {
    v = Of(KIV_HOST_VALUE_OWNED_STRING);
    v.u.text.length = 5;
    Answer(&r, v);
  } else if (what == "null-items") {
    v = Of(KIV_HOST_VALUE_COLLECTION);
    v.u.collection.count = 3;
    Answer(&r, v);
  } else if (what == "null-key") {
    v = Struct({{"a", Unsigned(1)}});
    std::free(const_cast<char*>(v.u.structure.entries[0].key));
    v.u.structure.entries[0] = HostStructEntry{nullptr, Unsigned(1), 0};
    Answer(&r, v);
  } else if (what == "null-release") {
    Answer(&r, v, 409);
    r.errorText = "static error text";
    r.release = nullptr;
  } else if (what == "error-without-text") {
    Answer(&r, v);
    r.errorFlag = 1;
  } else if (what == "odd-status") {
    Answer(&r, Text("odd"), 42);
  } else if (what == "headers-null") {
    Answer(&r, Text("ok"));
    r.headerCount = 5;
  } else if (what == "headers") {
    Answer(&r, Text("ok"), 201);
    auto* h = static_cast<HostHeader*>(std::calloc(1, sizeof(HostHeader)));
    *h = HostHeader{Dup("X-Fake"), Dup("yes")};
    r.headers = h;
    r.headerCount = 1;
  } else if (what.rfind("stream", 0) == 0) {
    auto* s = new Stream;
    const size_t size = std::strtoul(u.Get("size", "10000").c_str(), nullptr, 10);
    if (what == "stream-text") {
      s->text = std::string(size, 'x');
    } else {
      for (s->text = "["; s->text.size() + 12 < size;) s->text += "\"abcdefgh\",";
      s->text += "\"end\"]";
    }
    if (what == "stream-short") s->chunk = 10;
    if (what == "stream-fail") s->failAfter = 1;
    Answer(&r, v);
    r.streamRead = &StreamRead;
    r.streamClose = &StreamClose;
    r.streamContext = s;
    r.expectedSize = s->text.size();
  } else {
    Error(&r, "unknown oddity " + what, 404);
  }
}

void Relay(Fake& f, HostRequest&, HostResponse& r, const Url& u) {
  const char* const names[] = {"", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"};
  const uint32_t method = static_cast<uint32_t>(std::find(names + 1, names + 8, u.Get("method", "GET")) - names) % 8;
  HostParameterItem item{};
  std::vector<std::pair<std::string, HostValue>> members;
  for (const auto& [key, value] : u.query) {
    if (key.rfind("struct.", 0) == 0) members.emplace_back(key.substr(7), Text(value));
  }
  if (!members.empty()) {
    item.value = Struct(std::move(members));
  } else if (u.query.count("param")) {
    item.value = Text(u.Get("param"));
  }
  Outcome o = Send(f, method, u.Get("url"), item.value.kind != 0 ? &item : nullptr);
  FreeValue(&item.value);
  Answer(&r, Struct({{"status", Unsigned(o.status)},
                     {"failed", Bool(o.failed)},
                     {"error", Text(o.error)},
                     {"body", o.body},
                     {"streamed", Bool(o.streamed)},
                     {"text", Text(o.text)},
                     {"bytes", Unsigned(o.text.size())},
                     {"reads", Unsigned(o.reads)},
                     {"yields", Unsigned(o.yields)}}));
}

void Publish(Fake& f, HostRequest&, HostResponse& r, const Url& u) {
  HostServices* s = f.services();
  if (s == nullptr || !u.query.count("name")) return Error(&r, "publish needs a name", 400);
  HostEvent event{};
  const std::string name = u.Get("name");
  event.name = name.c_str();
  event.payload = Struct(
      {{"uri", Text(u.Get("uri"))}, {"eventType", Text(u.Get("type", "Create"))}, {"data", Text(u.Get("data"))}});
  s->sendEvent(s, &event);
  FreeValue(&event.payload);
  Answer(&r, HostValue{});
}

void Subscription(Fake& f, HostRequest&, HostResponse& r, const Url& u) {
  if (!u.query.count("name")) return Error(&r, "subscribing needs a name", 400);
  if (u.path.ends_with("/unsubscribe")) {
    f.Unsubscribe(u.Get("name"));
  } else {
    f.Subscribe(u.Get("name"), std::atoi(u.Get("flag", "0").c_str()));
  }
  Answer(&r, HostValue{});
}

void Item(Fake& f, HostRequest&, HostResponse& r, const Url& u) {
  Answer(&r, Struct({{"id", Text(u.Rest(f.prefix + "/items/"))}}));
}
void Files(Fake& f, HostRequest&, HostResponse& r, const Url& u) { Answer(&r, Text(u.Rest(f.prefix + "/files/"))); }
void Literal(Fake&, HostRequest&, HostResponse& r, const Url&) { Answer(&r, Text("literal")); }
void Empty(Fake&, HostRequest&, HostResponse& r, const Url&) { Answer(&r, HostValue{}); }
void MethodNumber(Fake&, HostRequest& q, HostResponse& r, const Url&) { Answer(&r, Unsigned(q.method)); }
void LogLine(Fake& f, HostRequest& q, HostResponse& r, const Url& u) {
  f.Log(std::atoi(u.Get("level", "0").c_str()), u.Get("text"));
  Empty(f, q, r, u);
}

void Received(Fake& f, HostRequest&, HostResponse& r, const Url&) {
  std::lock_guard<std::mutex> lock(f.mutex);
  std::vector<HostValue> copies;
  for (const HostValue& v : f.received) copies.push_back(Copy(v));
  Answer(&r, List(copies));
}

void KIV_CDECL RequestEntry(HostResponse* response, HostRequest* request) {
  if (response == nullptr) return;
  if (request == nullptr || request->endpointContext == nullptr) return Error(response, "no endpoint context", 500);
  auto* ctx = static_cast<const EndpointContext*>(request->endpointContext);
  ctx->handler(*ctx->fake, *request, *response, ParseUrl(request->url));
}

// ---- Registration -------------------------------------------------------------

struct EndpointDef {
  const char* suffix;
  uint32_t method;
  const char* methodText;
  Handler handler;
  std::vector<std::pair<const char*, uint32_t>> args;  // name, location
};

void BuildTable(Fake& f) {
  const std::vector<EndpointDef> defs = {
      {"/echo", KIV_METHOD_POST, "", &Echo, {{"body", KIV_LOCATION_BODY}, {"x", KIV_LOCATION_QUERY}}},
      {"/items/{id}", KIV_METHOD_GET, "", &Item, {{"id", KIV_LOCATION_PATH}}},
      {"/items/special", KIV_METHOD_GET, "", &Literal, {}},
      {"/files/{+rest}", KIV_METHOD_GET, "", &Files, {{"rest", KIV_LOCATION_PATH}}},
      {"/ping", KIV_METHOD_POST, "", &Empty, {}},
      {"/status/{code}", KIV_METHOD_GET, "", &Status, {{"code", KIV_LOCATION_PATH}, {"error", KIV_LOCATION_QUERY}}},
      {"/odd/{what}", KIV_METHOD_GET, "", &Odd, {{"what", KIV_LOCATION_PATH}}},
      {"/relay", KIV_METHOD_POST, "", &Relay, {{"method", KIV_LOCATION_QUERY}, {"url", KIV_LOCATION_QUERY}}},
      {"/publish", KIV_METHOD_POST, "", &Publish, {{"name", KIV_LOCATION_QUERY}}},
      {"/subscribe", KIV_METHOD_POST, "", &Subscription, {{"name", KIV_LOCATION_QUERY}}},
      {"/unsubscribe", KIV_METHOD_POST, "", &Subscription, {{"name", KIV_LOCATION_QUERY}}},
      {"/log", KIV_METHOD_POST, "", &LogLine, {{"level", KIV_LOCATION_QUERY}, {"text", KIV_LOCATION_QUERY}}},
      {"/received", KIV_METHOD_GET, "", &Received, {}},
      {"/any", KIV_METHOD_ANY, "", &MethodNumber, {}},
      {"/purge", KIV_METHOD_OTHER, "PURGE", &MethodNumber, {}},
  };
  size_t argCount = 0;
  for (const auto& d : defs) argCount += d.args.size();
  f.endpoints.assign(defs.size(), HostEndpointEntry{});
  f.contexts.resize(defs.size());
  f.arguments.assign(argCount, HostArgumentRecord{});
  f.locations.resize(argCount);
  f.tags = {f.T("Plugins"), f.T("Plugin " + f.name)};
  size_t a = 0;
  for (size_t i = 0; i < defs.size(); ++i) {
    const EndpointDef& d = defs[i];
    HostEndpointEntry& e = f.endpoints[i];
    f.contexts[i] = EndpointContext{&f, d.handler};
    e.function.next = i + 1 < defs.size() ? reinterpret_cast<HostFunctionRecord*>(&f.endpoints[i + 1]) : nullptr;
    e.function.context = &f.contexts[i];
    e.function.name = f.T("Fake" + std::string(d.suffix));
    e.function.description = f.T("fake endpoint");
    e.function.nameSpace = e.function.help = e.function.returnTypeName = e.function.asyncEventType = f.T("");
    e.function.threadSafe = d.handler != &Echo ? 1 : 0;
    e.function.tags = f.tags.data();
    e.function.tagCount = static_cast<uint32_t>(f.tags.size());
    e.function.argumentCount = static_cast<uint32_t>(d.args.size());
    e.function.arguments = d.args.empty() ? nullptr : &f.arguments[a];
    e.locations = d.args.empty() ? nullptr : &f.locations[a];
    for (size_t k = 0; k < d.args.size(); ++k, ++a) {
      const bool last = k + 1 == d.args.size();
      HostArgumentRecord& arg = f.arguments[a];
      arg.next = last ? nullptr : &f.arguments[a + 1];
      arg.name = f.T(d.args[k].first);
      arg.description = arg.typeName = f.T("");
      arg.typeKind = KIV_TYPE_STRING;
      arg.optional = 1;
      f.locations[a] = HostArgumentLocation{last ? nullptr : &f.locations[a + 1], d.args[k].second};
    }
    e.requestEntry = &RequestEntry;
    e.path = f.T(f.prefix + d.suffix);
    e.method = d.method;
    e.methodText = f.T(d.methodText);
  }
  // One structure and one enumeration.
  f.fields = {HostFieldRecord{nullptr, f.T("id"), f.T(""), 0, KIV_TYPE_STRING, 0, f.T(""), 0},
              HostFieldRecord{nullptr, f.T("kind"), f.T(""), 24, KIV_TYPE_ENUM, 0, f.T("FakeKind"), 0}};
  f.fields[0].next = &f.fields[1];
  f.enumerators = {HostEnumeratorRecord{nullptr, f.T("Small"), f.T(""), 0},
                   HostEnumeratorRecord{nullptr, f.T("Large"), f.T(""), 1}};
  f.enumerators[0].next = &f.enumerators[1];
  f.types = {
      HostTypeRecord{nullptr, f.T("FakeItem"), f.T(""), 28, f.T("an item"), f.tags.data(), 2, f.fields.data(), nullptr,
                     2},
      HostTypeRecord{nullptr, f.T("FakeKind"), f.T(""), 4, f.T(""), nullptr, 0, nullptr, f.enumerators.data(), 2}};
  f.types[0].next = &f.types[1];
  f.events = {HostEventRecord{nullptr, f.T("OnJsonApiEvent_" + f.name + "_v1_items"), f.T(""),
                              f.T("PluginResourceEvent"), f.T(""), nullptr, 0}};
  f.table = PluginApiTable{
      f.endpoints.data(), static_cast<uint32_t>(f.endpoints.size()), f.types.data(), 2, f.events.data(), 1};
}

uint8_t KIV_CDECL Initialize(void* handle, HostInit* init) {
  auto* f = static_cast<Fake*>(handle);
  f->init = init;
  if (!f->initializeOk) return 0;
  f->Subscribe("FakePing", 0);
  f->Subscribe("OnJsonApiEvent_kiv-chat_v1_friends", 0);
  f->Subscribe("OnServiceProxyUuidEvent", 1);
  f->Log(0, f->name + " initialized");
  return 1;
}

void KIV_CDECL Destroy(void* handle) {
  auto* f = static_cast<Fake*>(handle);
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(f->mutex);
    names = f->subscribed;
  }
  for (const auto& n : names) f->Unsubscribe(n);
  f->Log(0, f->name + " destroyed");
  delete f;
}

void KIV_CDECL MemoryStats(void*, PluginMemoryStats* stats) {
  *stats = PluginMemoryStats{100, 2, 300, 4, 200, 2, {0, 0}};
}

bool Compatible(const PluginRegistration* r, uint32_t major = KIV_PLUGIN_API_MAJOR,
                uint32_t minor = KIV_PLUGIN_API_MINOR, uint32_t patch = KIV_PLUGIN_API_PATCH) {
  return r->apiMajor == major && (r->apiMinor > minor || (r->apiMinor == minor && r->apiPatch >= patch));
}

enum class Kind { kFull, kNoInit, kBrokenTable, kBare };

void Register(PluginRegistration* r, const char* name, Kind kind) {
  if (!Compatible(r)) return;  // the soft kind: an incompatible host gets an unfilled record
  r->apiMajor = KIV_PLUGIN_API_MAJOR;
  r->apiMinor = KIV_PLUGIN_API_MINOR;
  r->apiPatch = KIV_PLUGIN_API_PATCH;
  if (kind == Kind::kBare) {  // only the handshake: a name, no callbacks and no API table
    r->name = name;
    return;
  }
  auto* f = new Fake;
  f->name = name;
  f->prefix = "/" + f->name + "/v1";
  f->initializeOk = kind != Kind::kNoInit;
  f->callbacks = PluginCallbacks{&Initialize, &Destroy, &MemoryStats};
  BuildTable(*f);
  if (kind == Kind::kBrokenTable) {
    // Counts that promise more than the chains and arrays hold.
    f->endpoints[1].function.next = nullptr;
    f->table.endpointCount = 1000;
    f->table.types = nullptr;
    f->table.typeCount = 3;
    f->endpoints[0].function.tags = nullptr;
    f->endpoints[0].function.tagCount = 7;
  }
  r->name = f->name.c_str();
  r->callbacks = &f->callbacks;
  r->handle = f;
  r->apiTable = &f->table;
}

}  // namespace

extern "C" {

// The fatal kind: an incompatible host ends the process, as the framework does.
KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_fake(PluginRegistration* r) {
  if (!Compatible(r)) {
    std::fprintf(stderr, "kiv-fake: fatal ALE-EECF0606: incompatible host plugin API %u.%u.%u\n", r->apiMajor,
                 r->apiMinor, r->apiPatch);
    _exit(70);
  }
  Register(r, "kiv-fake", Kind::kFull);
}
KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_fake_b(PluginRegistration* r) { Register(r, "kiv-fake-b", Kind::kFull); }
KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_fake_soft(PluginRegistration* r) {
  Register(r, "kiv-fake-soft", Kind::kFull);
}
KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_fake_noinit(PluginRegistration* r) {
  Register(r, "kiv-fake-noinit", Kind::kNoInit);
}
KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_fake_bare(PluginRegistration* r) {
  Register(r, "kiv-fake-bare", Kind::kBare);
}
KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_fake_broken(PluginRegistration* r) {
  Register(r, "kiv-fake-broken", Kind::kBrokenTable);
}

}  // extern "C"
