#include "host.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <thread>

#include "peers.h"

namespace kivhost {
namespace {

// Bounds for walking what a plugin hands over; its counts are not trusted.
constexpr uint32_t kMaxRecords = 65536;
constexpr uint32_t kMaxMembers = 4096;
constexpr uint32_t kMaxTags = 1024;
constexpr size_t kMaxText = 1u << 20;
constexpr uint32_t kMaxItems = 4096;
constexpr uint64_t kMaxStreamBytes = 256ull << 20;
constexpr uint32_t kMaxIdleStreamReads = 100000;
constexpr size_t kMaxUrl = 65536;  // with its terminating zero
constexpr size_t kMaxMethodText = 256;

std::string Text(const char* text, size_t limit = kMaxText) {
  return text == nullptr ? std::string() : std::string(text, strnlen(text, limit));
}

// A text a plugin hands over, whole: false when it does not end within
// `limit` bytes, for cutting it short would quietly make it another text.
bool WholeText(const char* text, size_t limit, std::string* out) {
  const size_t length = text == nullptr ? 0 : strnlen(text, limit);
  if (length == limit) return false;
  out->assign(text == nullptr ? "" : text, length);
  return true;
}

char* Duplicate(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

Answer HostFailure(int status, std::string text) {
  Answer a;
  a.status = status;
  a.error = true;
  a.errorText = std::move(text);
  return a;
}

template <typename T>
const T* NextOf(const T* record) {
  return record->next;
}
// An endpoint entry starts with its function record, whose first word chains
// the entries.
template <>
const HostEndpointEntry* NextOf(const HostEndpointEntry* record) {
  return reinterpret_cast<const HostEndpointEntry*>(record->function.next);
}

// Walks a chained record array: stops at the end of the chain, at `count`
// records, or at `cap`, whichever comes first, and notes any disagreement.
template <typename T>
std::vector<const T*> WalkChain(const T* first, uint32_t count, uint32_t cap, const std::string& what,
                                std::vector<std::string>* warnings) {
  std::vector<const T*> out;
  const uint32_t limit = std::min(count, cap);
  if (count > cap) warnings->push_back(what + ": count " + std::to_string(count) + " capped at " + std::to_string(cap));
  if (first == nullptr && count != 0) {
    warnings->push_back(what + ": null array with count " + std::to_string(count));
    return out;
  }
  for (const T* p = first; p != nullptr && out.size() < limit; p = NextOf(p)) out.push_back(p);
  if (out.size() < limit) {
    warnings->push_back(what + ": chain ends after " + std::to_string(out.size()) + " of " + std::to_string(count) +
                        " records");
  }
  return out;
}

const char* TypeKindName(int32_t kind) {
  static const char* const names[] = {"none",   "bool",   "int8",   "uint8",  "int16",    "uint16", "int32",
                                      "uint32", "int64",  "uint64", "float",  "double",   "string", "object",
                                      "blob",   "vector", "enum",   "struct", "callback", "map"};
  return kind >= 0 && kind < 20 ? names[kind] : "unknown";
}

json TypeJson(int32_t kind, int32_t elementKind, const char* typeName) {
  json t{{"kind", TypeKindName(kind)}};
  if (kind < 0 || kind >= 20) t["code"] = kind;
  if (elementKind != 0) t["element"] = TypeKindName(elementKind);
  const std::string name = Text(typeName);
  if (!name.empty()) t["name"] = name;
  return t;
}

json LocationJson(uint32_t location) {
  switch (location) {
    case KIV_LOCATION_ANY:
      return "any";
    case KIV_LOCATION_QUERY:
      return "query";
    case KIV_LOCATION_PATH:
      return "path";
    case KIV_LOCATION_HEADER:
      return "header";
    case KIV_LOCATION_BODY:
      return "body";
    default:
      return location;
  }
}

json TagsJson(const char* const* tags, uint32_t count, const std::string& what, std::vector<std::string>* warnings) {
  json out = json::array();
  if (tags == nullptr) {
    if (count != 0) warnings->push_back(what + ": null tag array with count " + std::to_string(count));
    return out;
  }
  for (uint32_t i = 0; i < std::min(count, kMaxTags); ++i) out.push_back(Text(tags[i]));
  return out;
}

bool ProbeHandshake(PluginLoadFunction load, const Version& version, std::string* why) {
  int fds[2];
  if (pipe(fds) != 0) return true;  // cannot probe: the real handshake decides
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return true;
  }
  if (pid == 0) {
    close(fds[0]);
    PluginRegistration r{};
    r.apiMajor = version.major;
    r.apiMinor = version.minor;
    r.apiPatch = version.patch;
    load(&r);
    const char filled = r.name != nullptr ? 1 : 0;
    if (write(fds[1], &filled, 1) != 1) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  char filled = 0;
  ssize_t n;
  do {
    n = read(fds[0], &filled, 1);
  } while (n < 0 && errno == EINTR);
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (n == 1 && filled == 1) return true;
  if (n == 1) {
    *why = "refused host plugin API " + version.ToString() + ": it left its registration record unfilled";
  } else if (WIFSIGNALED(status)) {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() + " (signal " +
           std::to_string(WTERMSIG(status)) + "); its report is on standard error";
  } else {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() +
           " (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
           "); its report is on standard error";
  }
  return false;
}

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

}  // namespace

// ---- Plugins ----------------------------------------------------------------

struct ServiceTable {
  HostServices services;  // first: the plugin hands this address back as `self`
  PluginSlot* slot;
};

struct EventItem {
  std::string name;
  OwnedHostValue payload;
  uint32_t extra = 0;
};

struct Delivery {
  std::shared_ptr<EventItem> item;
  HostEventCallback callback;
  void* context;
};

struct PluginSlot {
  Host* host = nullptr;
  std::string path, exportName, name;
  void* library = nullptr;
  PluginRegistration reg{};
  ServiceTable table{};
  HostInit init{};
  uint32_t token = 0;
  bool initTried = false;
  bool initialized = false;

  std::mutex activeMutex;
  std::condition_variable activeCv;
  int active = 0;
  bool accepting = true;

  std::mutex deliveryMutex;
  std::deque<Delivery> queue;
  bool draining = false;

  struct Endpoint {
    const HostEndpointEntry* entry;
    HostRequestEntry requestEntry;
    const void* context;
    std::string path;
    uint32_t method;
    std::string methodText;
    std::shared_ptr<std::recursive_mutex> serial;  // set unless the function is thread-safe
  };
  std::vector<Endpoint> endpoints;
  json description;
};

namespace {

// Counts a call into a plugin so that unloading waits for it.
class ActiveGuard {
 public:
  explicit ActiveGuard(PluginSlot& slot) : slot_(slot) {
    std::lock_guard<std::mutex> lock(slot_.activeMutex);
    ok_ = slot_.accepting;
    if (ok_) ++slot_.active;
  }
  ~ActiveGuard() {
    if (!ok_) return;
    std::lock_guard<std::mutex> lock(slot_.activeMutex);
    if (--slot_.active == 0) slot_.activeCv.notify_all();
  }
  explicit operator bool() const { return ok_; }

 private:
  PluginSlot& slot_;
  bool ok_ = false;
};

void ReadApi(PluginSlot& slot, std::vector<std::string>* warnings) {
  json d;
  d["name"] = slot.name;
  d["library"] = slot.path;
  d["export"] = slot.exportName;
  d["version"] = std::to_string(slot.reg.apiMajor) + "." + std::to_string(slot.reg.apiMinor) + "." +
                 std::to_string(slot.reg.apiPatch);
  d["endpoints"] = json::array();
  d["types"] = json::array();
  d["events"] = json::array();
  const PluginApiTable* table = slot.reg.apiTable;
  if (table == nullptr) {
    warnings->push_back("no API table");
    slot.description = std::move(d);
    return;
  }
  for (const HostEndpointEntry* e :
       WalkChain(table->endpoints, table->endpointCount, kMaxRecords, "endpoints", warnings)) {
    const HostFunctionRecord& f = e->function;
    const std::string fname = Text(f.name);
    json ep;
    ep["name"] = fname;
    ep["nameSpace"] = Text(f.nameSpace);
    const uint32_t method = e->method >= 1 && e->method <= 8 ? e->method : 0;
    ep["method"] =
        method == 8 ? Text(e->methodText) : (method == 0 ? std::string("*") : std::string(MethodName(method)));
    ep["path"] = Text(e->path);
    ep["description"] = Text(f.description);
    ep["help"] = Text(f.help);
    ep["threadSafe"] = f.threadSafe != 0;
    const std::string asyncType = Text(f.asyncEventType);
    if (!asyncType.empty()) ep["asyncEventType"] = asyncType;
    ep["returns"] = TypeJson(f.returnKind, f.returnElementKind, f.returnTypeName);
    ep["tags"] = TagsJson(f.tags, f.tagCount, fname + " tags", warnings);
    json args = json::array();
    for (const HostArgumentRecord* a :
         WalkChain(f.arguments, f.argumentCount, kMaxMembers, fname + " arguments", warnings)) {
      args.push_back({{"name", Text(a->name)},
                      {"description", Text(a->description)},
                      {"type", TypeJson(a->typeKind, a->elementKind, a->typeName)},
                      {"optional", a->optional != 0}});
    }
    size_t index = 0;
    for (const HostArgumentLocation* l :
         WalkChain(e->locations, f.argumentCount, kMaxMembers, fname + " locations", warnings)) {
      if (index < args.size()) args[index]["location"] = LocationJson(l->location);
      ++index;
    }
    ep["arguments"] = std::move(args);
    json lists = json::array();
    for (const HostTextList* l :
         WalkChain(e->textLists, e->textListCount, kMaxMembers, fname + " text lists", warnings)) {
      lists.push_back(TagsJson(l->texts, l->count, fname + " text list", warnings));
    }
    ep["textLists"] = std::move(lists);
    d["endpoints"].push_back(std::move(ep));

    const std::string path = Text(e->path);
    if (path.empty()) {
      warnings->push_back(fname + ": endpoint without a path is not routed");
      continue;
    }
    if (e->requestEntry == nullptr) warnings->push_back(fname + ": endpoint without a request entry");
    PluginSlot::Endpoint route{e,      e->requestEntry, f.context, path, method, method == 8 ? Text(e->methodText) : "",
                               nullptr};
    if (f.threadSafe == 0) route.serial = std::make_shared<std::recursive_mutex>();
    slot.endpoints.push_back(std::move(route));
  }
  for (const HostTypeRecord* t : WalkChain(table->types, table->typeCount, kMaxRecords, "types", warnings)) {
    const std::string tname = Text(t->name);
    json type{{"name", tname},
              {"nameSpace", Text(t->nameSpace)},
              {"size", uint32_t{t->size}},
              {"description", Text(t->description)},
              {"tags", TagsJson(t->tags, t->tagCount, tname + " tags", warnings)}};
    if (t->fields != nullptr) {
      json fields = json::array();
      for (const HostFieldRecord* f : WalkChain(t->fields, t->memberCount, kMaxMembers, tname + " fields", warnings)) {
        fields.push_back({{"name", Text(f->name)},
                          {"description", Text(f->description)},
                          {"offset", uint32_t{f->offset}},
                          {"type", TypeJson(f->typeKind, f->elementKind, f->typeName)},
                          {"extra", uint32_t{f->extra}}});
      }
      type["fields"] = std::move(fields);
    }
    if (t->enumerators != nullptr) {
      json values = json::array();
      for (const HostEnumeratorRecord* v :
           WalkChain(t->enumerators, t->memberCount, kMaxMembers, tname + " enumerators", warnings)) {
        values.push_back(
            {{"name", Text(v->name)}, {"description", Text(v->description)}, {"number", int32_t{v->number}}});
      }
      type["enumerators"] = std::move(values);
    }
    d["types"].push_back(std::move(type));
  }
  for (const HostEventRecord* e : WalkChain(table->events, table->eventCount, kMaxRecords, "events", warnings)) {
    const std::string ename = Text(e->name);
    d["events"].push_back({{"name", ename},
                           {"nameSpace", Text(e->nameSpace)},
                           {"dataType", Text(e->dataTypeName)},
                           {"description", Text(e->description)},
                           {"tags", TagsJson(e->tags, e->tagCount, ename + " tags", warnings)}});
  }
  if (!warnings->empty()) d["warnings"] = *warnings;
  slot.description = std::move(d);
}

}  // namespace

// ---- Small helpers ----------------------------------------------------------

std::string Version::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool Version::Parse(const std::string& text, Version* out) {
  uint32_t parts[3] = {0, 0, 0};
  size_t index = 0, pos = 0;
  while (true) {
    size_t end = pos;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == pos || end - pos > 9) return false;
    parts[index++] = static_cast<uint32_t>(std::stoul(text.substr(pos, end - pos)));
    if (end == text.size()) break;
    if (text[end] != '.' || index == 3) return false;
    pos = end + 1;
  }
  *out = Version{parts[0], parts[1], parts[2]};
  return true;
}

std::string LevelWord(int32_t level) {
  switch (level) {
    case 0:
      return "  OKAY";
    case 1:
      return "  WARN";
    case 2:
      return " ERROR";
    case 3:
      return "ALWAYS";
    default: {
      std::string n = std::to_string(level);
      return n.size() < 6 ? std::string(6 - n.size(), ' ') + n : n;
    }
  }
}

int32_t LevelFromWord(const std::string& word) {
  std::string w;
  for (char c : word) {
    if (c != ' ') w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (w == "okay") return 0;
  if (w == "warn") return 1;
  if (w == "error") return 2;
  if (w == "always") return 3;
  return -1;
}

std::string ExportNameForLibrary(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  if (base.rfind("lib", 0) == 0) base.erase(0, 3);
  const size_t dot = base.find('.');
  if (dot != std::string::npos) base.erase(dot);
  std::replace(base.begin(), base.end(), '-', '_');
  return "load_" + base;
}

std::string EventNameOfPath(const std::string& path) {
  // Built in place: every resource event of the peers comes through here.
  std::string name = "OnJsonApiEvent";
  size_t kept = 1;
  size_t keep = 4;
  size_t start = 0;
  while (start <= path.size() && kept < keep) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      const std::string_view segment(path.data() + start, end - start);
      if (kept == 1 && segment == "kiv-platform-config") keep = 6;
      name += '_';
      name.append(segment);
      ++kept;
    }
    start = end + 1;
  }
  return name;
}

std::string UtcNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Every message and log line is stamped; the calendar part changes once a
  // second, so each thread formats it only then.
  thread_local time_t cachedSecond = -1;
  thread_local char cachedText[32];
  thread_local size_t cachedLength = 0;
  if (now.tv_sec != cachedSecond) {
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    cachedLength = std::strftime(cachedText, sizeof cachedText, "%Y-%m-%dT%H:%M:%S", &utc);
    cachedSecond = now.tv_sec;
  }
  const int millis = static_cast<int>(now.tv_nsec / 1000000);
  std::string text(cachedText, cachedLength);
  text += '.';
  text += static_cast<char>('0' + millis / 100);
  text += static_cast<char>('0' + millis / 10 % 10);
  text += static_cast<char>('0' + millis % 10);
  text += 'Z';
  return text;
}

std::string LogLine::Format() const { return time + "| " + plugin + "| " + LevelWord(level) + "| " + text; }

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

json RecordedRequest::ToJson() const {
  json j{{"seq", seq}, {"from", from}, {"method", method}, {"url", url}, {"items", items}};
  if (!contentType.empty()) j["contentType"] = contentType;
  if (!body.empty()) j["body"] = body;
  j["answer"] = answer.ToJson();
  return j;
}

json RecordedEvent::ToJson() const {
  json j{{"seq", seq}, {"name", name}, {"source", source}};
  if (payload.is_object() && payload.contains("uri") && payload["uri"].is_string()) {
    j["uri"] = payload["uri"];
    j["eventType"] = payload.value("eventType", json());
    j["data"] = payload.value("data", json());
  } else {
    j["payload"] = payload;
  }
  return j;
}

// ---- Responses ----------------------------------------------------------------

namespace {

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

}  // namespace

namespace {
void FillResponseParts(const Answer& answer, HostResponse* response, size_t streamThreshold, size_t streamChunk);
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

namespace {

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

Answer ReadResponse(HostResponse* response, Host* host) {
  Answer a;
  const HostResponse& r = *response;
  a.status = static_cast<int>(r.status);
  a.statusText = Text(r.statusText, 4096);
  if (r.headers == nullptr && r.headerCount != 0) {
    if (host) host->HostLog(1, "response with a null header array and " + std::to_string(r.headerCount) + " headers");
  } else {
    for (uint32_t i = 0; i < std::min(uint32_t{r.headerCount}, kMaxItems); ++i) {
      if (r.headers[i].name != nullptr)
        a.headers.emplace_back(Text(r.headers[i].name, 8192), Text(r.headers[i].value, kMaxText));
    }
  }
  HostStreamReadFunction read = r.streamRead;
  HostStreamCloseFunction close = r.streamClose;
  void* context = r.streamContext;
  if (r.errorText != nullptr || r.errorFlag != 0) {
    a.error = true;
    a.errorText = Text(r.errorText);
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

// ---- The service entries --------------------------------------------------------

struct Host::Internals {
  static PluginSlot* SlotOf(HostServices* self) {
    return self == nullptr ? nullptr : reinterpret_cast<ServiceTable*>(self)->slot;
  }

  static void KIV_CDECL SendRequest(HostServices* self, HostResponse* response, HostRequest* request) {
    if (response == nullptr) return;
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) {
      FillFailure(response, "Unknown host services table");
      return;
    }
    Host* host = slot->host;
    try {
      RecordedRequest rec;
      rec.seq = host->NextSeq();
      rec.from = slot->name;
      Call call;
      std::string problem;
      int problemStatus = 400;
      if (request == nullptr) {
        problem = "The request record is null";
      } else {
        const uint32_t method = request->method <= 8 ? request->method : 0;
        call.method = MethodName(method);
        if (method == 8 && !WholeText(request->methodText, kMaxMethodText, &call.method)) {
          problem = "The request's method text is longer than " + std::to_string(kMaxMethodText - 1) + " bytes";
        }
        if (request->url == nullptr) {
          problem = "The request has no URL";
        } else if (!WholeText(request->url, kMaxUrl, &call.url)) {
          problem = "The request URL is longer than " + std::to_string(kMaxUrl - 1) + " bytes";
          problemStatus = 414;
        }
        if (problem.empty() && request->items == nullptr && request->itemCount != 0) {
          problem = "The request has a null item array and " + std::to_string(request->itemCount) + " items";
        } else if (problem.empty() && request->itemCount > kMaxItems) {
          problem = "The request has " + std::to_string(request->itemCount) + " items";
        }
        for (uint32_t i = 0; problem.empty() && i < request->itemCount; ++i) {
          Item item;
          if (request->items[i].name != nullptr) item.name = Text(request->items[i].name, 4096);
          ReadResult read = HostValueToJson(request->items[i].value, &item.value);
          if (!read.ok) problem = "Parameter item " + std::to_string(i) + " is unreadable: " + read.error;
          call.items.push_back(std::move(item));
        }
        if (request->headers != nullptr) {
          for (uint32_t i = 0; i < std::min(uint32_t{request->headerCount}, kMaxItems); ++i) {
            if (request->headers[i].name == nullptr) continue;
            call.headers.emplace_back(Text(request->headers[i].name, 8192), Text(request->headers[i].value));
          }
        }
        call.contentType = Text(request->contentType, 1024);
        if (request->body == nullptr && request->bodySize != 0) {
          problem = "The request has a null body of " + std::to_string(request->bodySize) + " bytes";
        } else if (request->body != nullptr) {
          call.body.assign(reinterpret_cast<const char*>(request->body), request->bodySize);
        }
      }
      Answer answer = problem.empty() ? host->Dispatch(call) : HostFailure(problemStatus, problem);
      FillResponse(answer, response, host->options_.streamThreshold, host->options_.streamChunk);
      // The call is done with: the record takes its parts instead of copies.
      rec.method = std::move(call.method);
      rec.url = std::move(call.url);
      for (Item& item : call.items) {
        json j = json::object();
        j["value"] = std::move(item.value);
        if (item.name) j["name"] = std::move(*item.name);
        rec.items.push_back(std::move(j));
      }
      rec.contentType = std::move(call.contentType);
      rec.body = std::move(call.body);
      rec.answer = std::move(answer);
      host->Record(std::move(rec));
    } catch (const std::exception& e) {
      FillFailure(response, std::string("The host failed: ") + e.what());
    } catch (...) {
      FillFailure(response, "The host failed");
    }
  }

  static void KIV_CDECL Reserved1(HostServices*, uint32_t, uint32_t) {}
  static void KIV_CDECL Reserved5(HostServices*, uint32_t, uint32_t, uint32_t, uint64_t, uint32_t) {}

  static void KIV_CDECL SendEvent(HostServices* self, HostEvent* event) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) return;
    try {
      if (event == nullptr || event->name == nullptr) {
        slot->host->HostLog(1, slot->name + " sent an event without a name; dropped");
        return;
      }
      const std::string name = Text(event->name, 4096);
      json payload;
      ReadResult read = HostValueToJson(event->payload, &payload);
      if (!read.ok) {
        slot->host->HostLog(
            1, slot->name + " sent the event " + name + " with an unreadable payload (" + read.error + "); dropped");
        return;
      }
      slot->host->Publish(name, payload, event->extra, slot->name);
    } catch (...) {
    }
  }

  static void KIV_CDECL Subscribe(HostServices* self, const char* name, uint32_t token, HostEventCallback callback,
                                  void* context, uint32_t flag) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) return;
    Host* host = slot->host;
    try {
      if (name == nullptr || callback == nullptr) {
        host->HostLog(1,
                      slot->name + " subscribed without " + (name == nullptr ? "a name" : "a callback") + "; ignored");
        return;
      }
      std::shared_ptr<PluginSlot> owner = host->SlotByName(slot->name);
      if (owner == nullptr) return;  // being unloaded
      const std::string event = Text(name, 4096);
      std::lock_guard<std::mutex> lock(host->subscriptionsMutex_);
      for (Subscription& s : host->subscriptions_) {
        if (s.slot.get() == slot && s.name == event) {
          s.callback = callback;
          s.context = context;
          s.flag = flag;
          s.token = token;
          return;
        }
      }
      host->subscriptions_.push_back(Subscription{event, std::move(owner), token, callback, context, flag});
    } catch (...) {
    }
  }

  static void KIV_CDECL Unsubscribe(HostServices* self, const char* name, uint32_t) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr || name == nullptr) return;
    Host* host = slot->host;
    try {
      const std::string event = Text(name, 4096);
      std::lock_guard<std::mutex> lock(host->subscriptionsMutex_);
      auto& subs = host->subscriptions_;
      subs.erase(std::remove_if(subs.begin(), subs.end(),
                                [&](const Subscription& s) { return s.slot.get() == slot && s.name == event; }),
                 subs.end());
    } catch (...) {
    }
  }

  static uint32_t KIV_CDECL Yield(HostServices* self) {
    if (PluginSlot* slot = SlotOf(self)) ++slot->host->yields_;
    std::this_thread::yield();
    return 0;
  }

  static uint32_t KIV_CDECL BeginWait(HostServices* self, const char*, uint32_t) {
    if (PluginSlot* slot = SlotOf(self)) ++slot->host->waits_;
    return 0;
  }

  static uint32_t KIV_CDECL EndWait(HostServices*) { return 0; }

  static void KIV_CDECL WriteLog(HostServices* self, int32_t level, const char* text) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) return;
    try {
      slot->host->Log(slot->name, level, text == nullptr ? "(null)" : Text(text, 65536));
    } catch (...) {
    }
  }
};

// ---- Host -------------------------------------------------------------------------

Host::Host(HostOptions options) : options_(std::move(options)) {
  if (options_.simulatePeers) {
    peers_ =
        std::make_unique<Peers>(options_.peerSeed, [this](const std::string& uri, const std::string& type, json data) {
          PublishResourceOwned(uri, type, std::move(data), "peers");
        });
    for (const std::string& problem : peers_->seedErrors()) HostLog(1, "peers: " + problem);
  }
}

Host::~Host() { Shutdown(); }

void Host::HostLog(int32_t level, const std::string& text) { Log("kivhost", level, text); }

void Host::Log(const std::string& plugin, int32_t level, const std::string& text) {
  LogLine line{NextSeq(), UtcNow(), plugin, level, text};
  if (options_.logStream != nullptr) {
    const std::string formatted = line.Format();
    std::lock_guard<std::mutex> lock(printMutex_);
    std::fprintf(options_.logStream, "%s\n", formatted.c_str());
    std::fflush(options_.logStream);
  }
  std::lock_guard<std::mutex> lock(recordsMutex_);
  logs_.push_back(std::move(line));
  while (logs_.size() > options_.recordLimit) logs_.pop_front();
}

void Host::Record(RecordedRequest request) {
  // The record pushed out is freed after the lock: it is cold and may be large.
  std::optional<RecordedRequest> dropped;
  std::lock_guard<std::mutex> lock(recordsMutex_);
  requests_.push_back(std::move(request));
  if (requests_.size() > options_.recordLimit) {
    dropped.emplace(std::move(requests_.front()));
    requests_.pop_front();
    while (requests_.size() > options_.recordLimit) requests_.pop_front();
  }
}

std::shared_ptr<PluginSlot> Host::SlotByName(const std::string& name) const {
  std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
  for (const auto& slot : plugins_) {
    if (slot->name == name) return slot;
  }
  return nullptr;
}

bool Host::HasPlugin(const std::string& name) const { return SlotByName(name) != nullptr; }

std::vector<std::string> Host::PluginNames() const {
  std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
  std::vector<std::string> names;
  for (const auto& slot : plugins_) names.push_back(slot->name);
  return names;
}

void Host::RebuildRoutes() {
  routes_.Clear();
  for (const auto& slot : plugins_) {
    for (const auto& ep : slot->endpoints) routes_.Add(ep.path, ep.method, ep.methodText, EndpointTarget{slot, &ep});
  }
}

Host::LoadResult Host::Load(const std::string& path, const std::string& exportNameIn) {
  LoadResult result;
  const std::string exportName = exportNameIn.empty() ? ExportNameForLibrary(path) : exportNameIn;
  auto fail = [&](std::string text) {
    result.error = std::move(text);
    HostLog(2, result.error);
    return result;
  };
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return fail("Cannot load " + path + ": " + Text(dlerror()));
  auto load = reinterpret_cast<PluginLoadFunction>(dlsym(library, exportName.c_str()));
  if (load == nullptr) {
    dlclose(library);
    return fail(path + " has no export " + exportName);
  }
  std::string why;
  if (options_.probeHandshake && !ProbeHandshake(load, options_.version, &why)) {
    dlclose(library);
    return fail("The plugin in " + path + " " + why);
  }
  auto slot = std::make_shared<PluginSlot>();
  slot->host = this;
  slot->path = path;
  slot->exportName = exportName;
  slot->library = library;
  slot->reg.apiMajor = options_.version.major;
  slot->reg.apiMinor = options_.version.minor;
  slot->reg.apiPatch = options_.version.patch;
  load(&slot->reg);
  if (slot->reg.name == nullptr) {
    dlclose(library);
    return fail("The plugin in " + path + " refused host plugin API " + options_.version.ToString() +
                ": it left its registration record unfilled");
  }
  slot->name = Text(slot->reg.name, 256);
  if (HasPlugin(slot->name)) {
    if (slot->reg.callbacks != nullptr && slot->reg.callbacks->destroy != nullptr) {
      slot->reg.callbacks->destroy(slot->reg.handle);
    }
    dlclose(library);
    return fail("A plugin named " + slot->name + " is loaded already; " + path + " is not loaded");
  }
  slot->token = nextToken_++;
  slot->table.services =
      HostServices{&Internals::SendRequest, &Internals::Reserved1, &Internals::SendEvent, &Internals::Subscribe,
                   &Internals::Unsubscribe, &Internals::Reserved5, &Internals::Yield,     &Internals::BeginWait,
                   &Internals::EndWait,     &Internals::WriteLog};
  slot->table.slot = slot.get();
  slot->init.services = &slot->table.services;
  slot->init.hostToken = slot->token;
  std::vector<std::string> warnings;
  if (slot->reg.callbacks == nullptr) warnings.push_back("no callbacks: it will not be initialized");
  if (slot->reg.apiMajor != options_.version.major) {
    warnings.push_back("it reports plugin API " + std::to_string(slot->reg.apiMajor) + "." +
                       std::to_string(slot->reg.apiMinor) + "." + std::to_string(slot->reg.apiPatch));
  }
  ReadApi(*slot, &warnings);
  const size_t endpoints = slot->endpoints.size();
  {
    std::unique_lock<std::shared_mutex> lock(pluginsMutex_);
    plugins_.push_back(slot);
    RebuildRoutes();
  }
  HostLog(0, "Loaded " + slot->name + " from " + path + " (" + exportName + ", host plugin API " +
                 options_.version.ToString() + ", " + std::to_string(endpoints) + " endpoints)");
  for (const std::string& w : warnings) HostLog(1, slot->name + ": " + w);
  result.ok = true;
  result.name = slot->name;
  return result;
}

bool Host::Initialize(std::string* error) {
  std::vector<std::shared_ptr<PluginSlot>> todo;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
    for (const auto& slot : plugins_) {
      if (!slot->initTried) todo.push_back(slot);
    }
  }
  bool ok = true;
  for (const auto& slot : todo) {
    slot->initTried = true;
    const PluginCallbacks* callbacks = slot->reg.callbacks;
    if (callbacks == nullptr || callbacks->initialize == nullptr) continue;
    uint8_t started = 0;
    {
      ActiveGuard guard(*slot);
      if (guard) started = callbacks->initialize(slot->reg.handle, &slot->init);
    }
    if (started != 0) {
      slot->initialized = true;
      HostLog(0, "Initialized " + slot->name);
    } else {
      ok = false;
      const std::string text = "The plugin " + slot->name + " failed to initialize; it is unloaded";
      HostLog(2, text);
      if (error != nullptr) *error += (error->empty() ? "" : "\n") + text;
      Unload(slot);
    }
  }
  return ok;
}

void Host::Unload(const std::shared_ptr<PluginSlot>& slot) {
  {
    std::lock_guard<std::mutex> lock(slot->activeMutex);
    if (!slot->accepting) return;
    slot->accepting = false;
  }
  {
    std::unique_lock<std::shared_mutex> lock(pluginsMutex_);
    plugins_.erase(std::remove(plugins_.begin(), plugins_.end(), slot), plugins_.end());
    RebuildRoutes();
  }
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                        [&](const Subscription& s) { return s.slot == slot; }),
                         subscriptions_.end());
  }
  {
    std::lock_guard<std::mutex> lock(slot->deliveryMutex);
    pendingDeliveries_ -= static_cast<int>(slot->queue.size());
    slot->queue.clear();
  }
  {
    std::lock_guard<std::mutex> lock(idleMutex_);
    idleCv_.notify_all();
  }
  {
    std::unique_lock<std::mutex> lock(slot->activeMutex);
    while (!slot->activeCv.wait_for(lock, std::chrono::seconds(5), [&] { return slot->active == 0; })) {
      lock.unlock();
      HostLog(1, "Waiting for calls into " + slot->name + " to return before destroying it");
      lock.lock();
    }
  }
  if (slot->reg.callbacks != nullptr && slot->reg.callbacks->destroy != nullptr) {
    slot->reg.callbacks->destroy(slot->reg.handle);
  }
  dlclose(slot->library);
  slot->library = nullptr;
  HostLog(0, "Destroyed and unloaded " + slot->name);
}

void Host::Shutdown() {
  std::vector<std::shared_ptr<PluginSlot>> all;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
    all = plugins_;
  }
  for (auto it = all.rbegin(); it != all.rend(); ++it) Unload(*it);
}

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

Answer Host::CallEndpoint(const std::shared_ptr<PluginSlot>& slot, const void* entry, const Call& call) {
  const auto* ep = static_cast<const PluginSlot::Endpoint*>(entry);
  ActiveGuard guard(*slot);
  if (!guard) return HostFailure(503, "The plugin " + slot->name + " is shutting down");
  if (ep->requestEntry == nullptr) return HostFailure(500, "The endpoint " + ep->path + " has no request entry");
  std::vector<OwnedHostValue> values;
  values.reserve(call.items.size());
  std::vector<HostParameterItem> items;
  items.reserve(call.items.size());
  for (const Item& item : call.items) {
    values.emplace_back(item.value);
    HostParameterItem p{};
    p.name = item.name ? item.name->c_str() : nullptr;
    p.value = values.back().get();
    items.push_back(p);
  }
  std::vector<HostHeader> headers;
  headers.reserve(call.headers.size());
  for (const auto& [name, value] : call.headers) headers.push_back(HostHeader{name.c_str(), value.c_str()});
  HostRequest request{};
  request.method = MethodNumber(call.method);
  request.url = call.url.c_str();
  request.items = items.empty() ? nullptr : items.data();
  request.itemCount = static_cast<uint32_t>(items.size());
  request.endpointContext = ep->context;
  request.headers = headers.empty() ? nullptr : headers.data();
  request.headerCount = static_cast<uint32_t>(headers.size());
  request.contentType = call.contentType.empty() ? nullptr : call.contentType.c_str();
  request.body = call.body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(call.body.data());
  request.bodySize = static_cast<uint32_t>(call.body.size());
  request.hostToken = slot->token;
  request.methodText = call.method.c_str();
  HostResponse response;
  std::memset(static_cast<void*>(&response), 0, sizeof response);
  Answer answer;
  if (ep->serial != nullptr) {
    std::lock_guard<std::recursive_mutex> serial(*ep->serial);
    ep->requestEntry(&response, &request);
    answer = ReadResponse(&response, this);
  } else {
    ep->requestEntry(&response, &request);
    answer = ReadResponse(&response, this);
  }
  answer.servedBy = slot->name;
  return answer;
}

// ---- Events ------------------------------------------------------------------------

void Host::Publish(const std::string& name, const json& payload, uint32_t extra, const std::string& source) {
  PublishOwned(name, json(payload), extra, source);
}

void Host::PublishOwned(const std::string& name, json payload, uint32_t extra, const std::string& source) {
  auto record = std::make_shared<RecordedEvent>();
  record->seq = NextSeq();
  record->name = name;
  record->source = source;
  record->payload = std::move(payload);
  record->extra = extra;
  struct Target {
    std::shared_ptr<PluginSlot> slot;
    HostEventCallback callback;
    void* context;
  };
  std::vector<Target> targets;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    for (const Subscription& s : subscriptions_) {
      if (s.name == name) targets.push_back(Target{s.slot, s.callback, s.context});
    }
  }
  record->subscribers = targets.size();
  std::shared_ptr<const RecordedEvent> dropped;
  {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    events_.push_back(record);
    if (events_.size() > options_.recordLimit) {
      // Freed outside the lock; the oldest record may be large.
      dropped = std::move(events_.front());
      events_.pop_front();
      while (events_.size() > options_.recordLimit) events_.pop_front();
    }
  }
  std::shared_ptr<const ObserverList> observers;
  {
    std::lock_guard<std::mutex> lock(observersMutex_);
    observers = observers_;
  }
  if (observers != nullptr) {
    for (const auto& [id, fn] : *observers) {
      try {
        fn(*record);
      } catch (...) {
      }
    }
  }
  if (targets.empty()) return;
  auto item = std::make_shared<EventItem>();
  item->name = name;
  item->payload = OwnedHostValue(record->payload);
  item->extra = extra;
  std::vector<std::shared_ptr<PluginSlot>> touched;
  for (const Target& t : targets) {
    {
      std::lock_guard<std::mutex> lock(t.slot->deliveryMutex);
      t.slot->queue.push_back(Delivery{item, t.callback, t.context});
      ++pendingDeliveries_;
    }
    if (std::find(touched.begin(), touched.end(), t.slot) == touched.end()) touched.push_back(t.slot);
  }
  for (const auto& slot : touched) Deliver(slot);
}

// One thread at a time delivers to a plugin: whoever finds its queue idle
// drains it, and an event published from inside a callback is queued for the
// thread already draining, so nothing waits on a lock held up the stack.
void Host::Deliver(const std::shared_ptr<PluginSlot>& slot) {
  std::unique_lock<std::mutex> lock(slot->deliveryMutex);
  if (slot->draining) return;
  slot->draining = true;
  while (!slot->queue.empty()) {
    Delivery d = std::move(slot->queue.front());
    slot->queue.pop_front();
    lock.unlock();
    {
      ActiveGuard guard(*slot);
      if (guard) {
        HostEvent event{};
        event.name = d.item->name.c_str();
        event.payload = d.item->payload.get();
        event.extra = d.item->extra;
        event.context = d.context;
        try {
          d.callback(&event);
        } catch (...) {
        }
      }
    }
    if (--pendingDeliveries_ <= 0) {
      std::lock_guard<std::mutex> idle(idleMutex_);
      idleCv_.notify_all();
    }
    lock.lock();
  }
  slot->draining = false;
}

void Host::PublishResource(const std::string& uri, const std::string& type, const json& data,
                           const std::string& source) {
  PublishResourceOwned(uri, type, json(data), source);
}

void Host::PublishResourceOwned(const std::string& uri, const std::string& type, json data, const std::string& source) {
  json payload = json::object();
  payload["uri"] = uri;
  payload["eventType"] = type;
  payload["data"] = std::move(data);
  const std::string name = EventNameOfPath(uri);
  if (name == "OnJsonApiEvent") return PublishOwned(name, std::move(payload), 0, source);
  PublishOwned(name, json(payload), 0, source);
  PublishOwned("OnJsonApiEvent", std::move(payload), 0, source);
}

bool Host::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(idleMutex_);
  return idleCv_.wait_for(lock, timeout, [&] { return pendingDeliveries_.load() <= 0; });
}

// Observers are replaced, never changed in place, so that publishing only
// takes a reference to the current list.
int Host::Observe(std::function<void(const RecordedEvent&)> observer) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  auto list = observers_ != nullptr ? std::make_shared<ObserverList>(*observers_) : std::make_shared<ObserverList>();
  list->emplace_back(++nextObserver_, std::move(observer));
  observers_ = std::move(list);
  return nextObserver_;
}

void Host::Unobserve(int id) {
  std::lock_guard<std::mutex> lock(observersMutex_);
  if (observers_ == nullptr) return;
  auto list = std::make_shared<ObserverList>(*observers_);
  list->erase(std::remove_if(list->begin(), list->end(), [&](const auto& o) { return o.first == id; }), list->end());
  observers_ = std::move(list);
}

// ---- Records and descriptions -------------------------------------------------------

std::vector<RecordedRequest> Host::Requests(uint64_t since) const {
  std::lock_guard<std::mutex> lock(recordsMutex_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_) {
    if (r.seq > since) out.push_back(r);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.seq < b.seq; });
  return out;
}

std::vector<RecordedEvent> Host::Events(uint64_t since) const {
  std::lock_guard<std::mutex> lock(recordsMutex_);
  std::vector<RecordedEvent> out;
  for (const auto& e : events_) {
    if (e->seq > since) out.push_back(*e);
  }
  return out;
}

std::vector<LogLine> Host::Logs(uint64_t since) const {
  std::lock_guard<std::mutex> lock(recordsMutex_);
  std::vector<LogLine> out;
  for (const auto& l : logs_) {
    if (l.seq > since) out.push_back(l);
  }
  return out;
}

json Host::DescribeApi() const {
  std::vector<std::shared_ptr<PluginSlot>> all;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
    all = plugins_;
  }
  json out;
  out["hostVersion"] = options_.version.ToString();
  out["plugins"] = json::array();
  for (const auto& slot : all) {
    json d = slot->description;
    d["initialized"] = slot->initialized;
    const PluginCallbacks* callbacks = slot->reg.callbacks;
    if (callbacks != nullptr && callbacks->memoryStats != nullptr) {
      ActiveGuard guard(*slot);
      if (guard) {
        PluginMemoryStats stats{};
        callbacks->memoryStats(slot->reg.handle, &stats);
        d["memory"] = {{"peakBytesInUse", stats.peakBytesInUse}, {"liveAllocationsAtPeak", stats.liveAllocationsAtPeak},
                       {"bytesAllocated", stats.bytesAllocated}, {"allocations", stats.allocations},
                       {"bytesFreed", stats.bytesFreed},         {"frees", stats.frees}};
      }
    }
    out["plugins"].push_back(std::move(d));
  }
  return out;
}

json Host::Subscriptions() const {
  std::lock_guard<std::mutex> lock(subscriptionsMutex_);
  json out = json::array();
  for (const Subscription& s : subscriptions_)
    out.push_back({{"name", s.name}, {"plugin", s.slot->name}, {"flag", s.flag}});
  return out;
}

}  // namespace kivhost
