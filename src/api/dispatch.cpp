// Dispatch of a host request to a bound function: route, gather and decode
// the arguments from headers, path, query, parameter items and body, call,
// and write the response record.
#include <cstring>
#include <string_view>

#include "api/api_table.h"
#include "api/binding_api.h"
#include "http/url.h"
#include "logging/barrier.h"
#include "logging/format.h"
#include "platform/platform.h"
#include "readers/json_reader.h"
#include "readers/msgpack_reader.h"
#include "readers/tree_builder.h"
#include "readers/yaml_reader.h"
#include "value/host_value.h"

namespace kiv::binding {
namespace {

// Index paths in argument keys grow a Collection at most to this many
// elements, so that "x.2147483647=1" cannot exhaust memory.
constexpr uint64_t kMaxIndexedElements = 65536;

const char kEmptyText[] = "";

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Content types are compared case-insensitively against the start of the text.
bool StartsWithType(std::string_view contentType, std::string_view type) {
  if (contentType.size() < type.size()) return false;
  for (std::size_t i = 0; i < type.size(); ++i) {
    if (AsciiLower(contentType[i]) != type[i]) return false;
  }
  return true;
}

std::string_view View(const char* text) { return text != nullptr ? std::string_view(text) : std::string_view(); }

bool TakesStructure(const TypeRef& type) {
  return type.kind == TypeKind::Struct || type.kind == TypeKind::Object || type.kind == TypeKind::Map;
}

// Decodes one argument text; the content type is empty for headers, path and
// query, so detection decides for containers.
void DecodeSingle(ValueResult& result, Value& target, std::string_view text, std::string_view contentType, bool detect,
                  std::string_view argument, std::string_view function) {
  const auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (StartsWithType(contentType, "application/x-msgpack") || (detect && codecs::LooksLikeMessagePack(bytes))) {
    std::size_t consumed = 0;
    ValueResult decoded = codecs::ReadMessagePack(bytes, &consumed);
    if (!decoded.Succeeded()) {
      result.Fail(Format("Couldn't deserialize MessagePack value for parameter '%1' of '%2': %3", argument, function,
                         decoded.ErrorMessage()));
      return;
    }
    target.MoveFrom(decoded);
  } else if (StartsWithType(contentType, "application/json") || (detect && codecs::LooksLikeJson(text))) {
    ValueResult decoded = codecs::ReadJson(text);
    if (!decoded.Succeeded()) {
      result.Fail(Format("Couldn't deserialize JSON value for parameter '%1' of '%2': %3", argument, function,
                         decoded.ErrorMessage()));
      return;
    }
    target.MoveFrom(decoded);
  } else if (StartsWithType(contentType, "text/x-yaml") || (detect && codecs::LooksLikeYaml(text))) {
    ValueResult decoded = codecs::ReadYaml(text);
    if (!decoded.Succeeded()) {
      result.Fail(Format("Couldn't deserialize YAML value for parameter '%1' of '%2': %3", argument, function,
                         decoded.ErrorMessage()));
      return;
    }
    target.MoveFrom(decoded);
  } else if (StartsWithType(contentType, "application/octet-stream")) {
    target.SetBlob(text.data(), text.size());
  } else {
    target.SetString(text);
  }
}

// Parses an index segment with automatic base, as strtoull(…, 0) would.
bool ParseIndex(std::string_view segment, uint64_t* value, bool* overflow) {
  unsigned base = 10;
  std::size_t i = 0;
  if (segment.size() > 1 && segment[0] == '0' && (segment[1] == 'x' || segment[1] == 'X')) {
    base = 16;
    i = 2;
  } else if (segment.size() > 1 && segment[0] == '0') {
    base = 8;
    i = 1;
  }
  if (i >= segment.size()) {
    // "0x" with nothing after: only the "0" is a number.
    if (base == 16) return false;
  }
  uint64_t v = 0;
  *overflow = false;
  for (; i < segment.size(); ++i) {
    const char c = segment[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    if (digit >= base) return false;
    if (v > (UINT64_MAX - digit) / base) *overflow = true;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

struct KeyText {
  String key;
  String text;
};

}  // namespace

// Kept between requests by the BindingApi; see spareScratch_. Between
// requests every argument value is Empty and `pairs` holds only buffers.
struct DispatchScratch : mem::Allocated {
  // One root holds every argument, so all requests share one arena. Its
  // element count is that of the widest function served so far; a request
  // uses the first elements only.
  Value arguments;
  // Decoded query pairs; the first `pairCount` are this request's.
  Vector<KeyText> pairs;
  std::size_t pairCount = 0;
  // Past a few pairs, repeats are found through this open-addressing table
  // of pair positions + 1 (0 free), so that a query of many thousands of
  // pairs is not compared pair against pair.
  Vector<uint32_t> pairIndex;
};

void DeleteDispatchScratch(DispatchScratch* scratch) { delete scratch; }

namespace {

// Limits on what a scratch record keeps for the next request, so that one
// request with a huge query or body does not pin its memory for good.
constexpr std::size_t kKeptArguments = 32;
constexpr std::size_t kKeptPairs = 32;
constexpr std::size_t kKeptTextBytes = 256;
constexpr uint32_t kKeptStringSlots = 64;
constexpr uint32_t kKeptPages = 4;
// Queries with fewer distinct names than this look for repeats by comparing.
constexpr std::size_t kLinearPairs = 16;

// Empties the scratch for the next request.
void Recycle(DispatchScratch& scratch) {
  for (Value& argument : scratch.arguments.Elements()) argument.Reset();
  if (const ValueArena* arena = scratch.arguments.Arena(); arena != nullptr) {
    const ValueArena::Stats stats = arena->ReadStats();
    if (stats.pagesHeld > kKeptPages || stats.heapBlocks != 0 || stats.slots > kKeptStringSlots ||
        scratch.arguments.Size() > kKeptArguments) {
      scratch.arguments.Reset();
    }
  }
  scratch.pairCount = 0;
  scratch.pairIndex.clear();
  if (scratch.pairs.size() > kKeptPairs) {
    Vector<KeyText>().swap(scratch.pairs);
    Vector<uint32_t>().swap(scratch.pairIndex);
    return;
  }
  for (KeyText& pair : scratch.pairs) {
    if (pair.key.capacity() > kKeptTextBytes) String().swap(pair.key);
    if (pair.text.capacity() > kKeptTextBytes) String().swap(pair.text);
  }
}

// Takes the API's spare scratch, or makes one; gives it back (or frees it
// when another request has put its own back meanwhile) when done.
class ScratchLease {
 public:
  explicit ScratchLease(std::atomic<DispatchScratch*>& spare)
      : spare_(spare), scratch_(spare.exchange(nullptr, std::memory_order_acquire)) {
    if (scratch_ == nullptr) scratch_ = new DispatchScratch();
  }
  ~ScratchLease() {
    Recycle(*scratch_);
    DispatchScratch* empty = nullptr;
    if (!spare_.compare_exchange_strong(empty, scratch_, std::memory_order_release, std::memory_order_relaxed)) {
      delete scratch_;
    }
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  DispatchScratch& operator*() const { return *scratch_; }

 private:
  std::atomic<DispatchScratch*>& spare_;
  DispatchScratch* scratch_;
};

class Dispatcher {
 public:
  Dispatcher(const BindingApi& api, const EndpointRegistration& endpoint, const HostRequest& request,
             CallResult& result, DispatchScratch& scratch)
      : api_(api),
        endpoint_(endpoint),
        function_(*endpoint.function),
        request_(request),
        result_(result),
        scratch_(scratch),
        arguments_(scratch.arguments) {}

  // Binds, calls and finishes; the caller writes the response.
  void Run(const url::RouteMatch& route, std::string_view url) {
    pathBudget_ = codecs::TreeBudget(url.size());
    const std::size_t count = function_.arguments.size();
    arguments_.MakeCollection();
    if (count != 0) arguments_.Element(count - 1);
    for (std::size_t i = 0; i < count; ++i) {
      const ArgumentRecord& record = function_.arguments[i];
      if (record.type.kind == TypeKind::Bool && !record.optional) arguments_.Element(i).SetBool(false);
    }
    BindHeaders();
    for (const auto& [name, value] : route.arguments) {
      if (!result_.Succeeded()) break;
      Bind(name, value, ArgumentLocation::kPath);
    }
    BindQuery(url);
    BindItems();
    BindBody();
    if (!result_.Succeeded()) return;

    std::span<Value> values = arguments_.Elements().first(count);
    void* handle = endpoint_.invoker->Call(result_, values, owned_, request_.hostToken);
    // Released however finishing ends, a throw included.
    ScopeExit release([&] {
      if (handle != nullptr) endpoint_.invoker->Release(handle);
    });
    if (result_.Succeeded()) {
      const TypeId& returns = endpoint_.invoker->ReturnType();
      if (&returns == &StaticType::Id<DeferredValue>() || &returns == &StaticType::Id<DeferredResponse>()) {
        RequestDetails details;
        details.hostToken = request_.hostToken;
        details.ticks = platform::PerformanceCounter();
        details.url = url;
        details.api = &api_;
        details.method = MethodFromHost(request_.method);
        if (details.method == HttpMethod::kCustom) details.methodText = View(request_.methodText);
        for (uint32_t i = 0; i < request_.headerCount; ++i) {
          const HostHeader& header = request_.headers[i];
          if (header.name != nullptr) details.headers.emplace(ToString(header.name), ToString(View(header.value)));
        }
        endpoint_.invoker->Finish(result_, &details, handle, request_.hostToken);
      } else {
        endpoint_.invoker->Finish(result_, nullptr, handle, request_.hostToken);
      }
    }
  }

 private:
  int FindArgument(std::string_view name) const {
    const uint32_t hash = Fnv1a(name);
    for (std::size_t i = 0; i < function_.arguments.size(); ++i) {
      const ArgumentRecord& record = function_.arguments[i];
      if (record.nameHash == hash && record.name == name) return static_cast<int>(i);
    }
    return -1;
  }

  void BindHeaders() {
    String lower;
    for (std::size_t i = 0; i < function_.arguments.size() && result_.Succeeded(); ++i) {
      const ArgumentLocation location = endpoint_.LocationOf(i);
      if (location != ArgumentLocation::kAny && location != ArgumentLocation::kHeader) continue;
      const String& name = function_.arguments[i].name;
      lower.assign(name.size(), '\0');
      for (std::size_t c = 0; c < name.size(); ++c) lower[c] = AsciiLower(name[c]);
      for (uint32_t h = 0; h < request_.headerCount; ++h) {
        const HostHeader& header = request_.headers[h];
        if (header.name != nullptr && lower == header.name) {
          Bind(name, View(header.value), ArgumentLocation::kHeader);
          break;
        }
      }
    }
  }

  void BindQuery(std::string_view url) {
    const url::UrlParts parts = url::SplitUrl(url);
    if (!parts.hasQuery || !result_.Succeeded()) return;
    // A name given twice keeps its last value (and its first place).
    Vector<KeyText>& pairs = scratch_.pairs;
    std::size_t& used = scratch_.pairCount;
    std::string_view query = parts.query;
    while (true) {
      const std::size_t amp = query.find('&');
      const std::string_view piece = query.substr(0, amp);
      if (piece.empty()) {
        // "a=1&&b=2" or a bare "?" carry no argument; they are not an
        // argument with an empty name.
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
        continue;
      }
      const std::size_t eq = piece.find('=');
      if (used == pairs.size()) pairs.emplace_back();
      KeyText& fresh = pairs[used];
      url::DecodeComponentInto(piece.substr(0, eq), &fresh.key);
      KeyText* pair = FindPair(fresh.key);
      if (eq == std::string_view::npos) {
        pair->text.clear();
      } else {
        url::DecodeComponentInto(piece.substr(eq + 1), &pair->text);
      }
      if (pair == &fresh) ++used;
      if (amp == std::string_view::npos) break;
      query.remove_prefix(amp + 1);
    }
    for (std::size_t i = 0; i < used; ++i) {
      if (!result_.Succeeded()) return;
      Bind(pairs[i].key, pairs[i].text, ArgumentLocation::kQuery);
    }
  }

  // The pair already holding `key`, or else the fresh pair at the end.
  KeyText* FindPair(const String& key) {
    Vector<KeyText>& pairs = scratch_.pairs;
    const std::size_t used = scratch_.pairCount;
    if (used < kLinearPairs) {
      for (std::size_t i = 0; i < used; ++i) {
        if (pairs[i].key == key) return &pairs[i];
      }
      return &pairs[used];
    }
    Vector<uint32_t>& index = scratch_.pairIndex;
    if (index.size() < 2 * (used + 1)) {
      // At most half full; rebuilt from the pairs so far when it grows.
      std::size_t size = 64;
      while (size < 4 * (used + 1)) size *= 2;
      index.assign(size, 0);
      for (std::size_t i = 0; i < used; ++i) {
        std::size_t slot = Fnv1a(pairs[i].key) & (size - 1);
        while (index[slot] != 0) slot = (slot + 1) & (size - 1);
        index[slot] = static_cast<uint32_t>(i + 1);
      }
    }
    const std::size_t mask = index.size() - 1;
    std::size_t slot = Fnv1a(key) & mask;
    for (; index[slot] != 0; slot = (slot + 1) & mask) {
      KeyText& candidate = pairs[index[slot] - 1];
      if (candidate.key == key) return &candidate;
    }
    index[slot] = static_cast<uint32_t>(used + 1);
    return &pairs[used];
  }

  bool ChargePath(std::size_t nodes, std::size_t textBytes, std::string_view name) {
    if (pathBudget_.Charge(nodes, textBytes)) return true;
    result_.Fail(Format("Argument '%1' for '%2' builds more than the request's size allows.", name, function_.name));
    return false;
  }

  // A new member costs a node and its name; one that lands before others
  // also costs the members it moves, so keys in falling order stay linear.
  bool ChargeMember(Value& target, std::string_view segment, std::string_view name) {
    if (!target.IsStructure()) return ChargePath(1, segment.size(), name);
    if (target.MemberIfPresent(segment) != nullptr) return true;
    const auto members = target.Members();
    const bool last = members.empty() || members.back().name() < segment;
    return ChargePath(1 + (last ? 0 : members.size()), segment.size(), name);
  }

  void Bind(std::string_view key, std::string_view text, ArgumentLocation source) {
    const std::size_t dot = key.find('.');
    const std::string_view name = key.substr(0, dot);
    const int index = FindArgument(name);
    if (index < 0) {
      result_.Fail(Format("Unknown argument '%1' for '%2'.", name, function_.name));
      return;
    }
    const ArgumentLocation location = endpoint_.LocationOf(static_cast<std::size_t>(index));
    if (location != ArgumentLocation::kAny && location != source) {
      result_.Fail(Format("Argument '%1' for '%2' was specified in an invalid location.", name, function_.name));
      return;
    }
    const ArgumentRecord& record = function_.arguments[static_cast<std::size_t>(index)];
    Value* target = &arguments_.Element(static_cast<std::size_t>(index));
    if (dot != std::string_view::npos) {
      std::string_view rest = key.substr(dot + 1);
      std::size_t depth = 0;
      while (true) {
        const std::size_t next = rest.find('.');
        const std::string_view segment = rest.substr(0, next);
        if (++depth > codecs::kMaxContainerDepth) {
          result_.Fail(Format("Argument '%1' for '%2' is nested deeper than %3 levels.", name, function_.name,
                              static_cast<uint32_t>(codecs::kMaxContainerDepth)));
          return;
        }
        if (!segment.empty() && segment[0] >= '0' && segment[0] <= '9') {
          uint64_t position = 0;
          bool overflow = false;
          if (!ParseIndex(segment, &position, &overflow)) {
            result_.Fail(Format("Index %1 is in an incorrect format", segment));
            return;
          }
          if (overflow || position >= 2147483648ull) {
            result_.Fail(Format("Index %1 is out of range", segment));
            return;
          }
          if (position >= kMaxIndexedElements) {
            result_.Fail(Format("Index %1 is beyond the limit of %2 elements", segment,
                                static_cast<uint32_t>(kMaxIndexedElements)));
            return;
          }
          // Every element an index creates is charged, gaps included, so the
          // whole query stays within the request's budget.
          const std::size_t size = target->IsCollection() ? target->Size() : 0;
          if (position >= size && !ChargePath(position + 1 - size, 0, name)) return;
          target = &target->Element(static_cast<std::size_t>(position));
        } else {
          if (!ChargeMember(*target, segment, name)) return;
          target = &target->Member(segment);
        }
        if (next == std::string_view::npos) break;
        rest.remove_prefix(next + 1);
      }
      DecodeSingle(result_, *target, text, {}, false, record.name, function_.name);
      return;
    }
    if (text.empty()) {
      switch (record.type.kind) {
        case TypeKind::Bool:
          target->SetBool(true);
          return;
        case TypeKind::Struct:
        case TypeKind::Object:
          target->Reset();
          target->MakeStructure();
          return;
        case TypeKind::Vector:
          target->Reset();
          target->MakeCollection();
          return;
        default:
          result_.Fail(Format("Expected value for argument '%1'.", name));
          return;
      }
    }
    const bool detect = record.type.kind == TypeKind::Vector || TakesStructure(record.type);
    DecodeSingle(result_, *target, text, {}, detect, record.name, function_.name);
  }

  void BindItems() {
    for (uint32_t i = 0; i < request_.itemCount && result_.Succeeded(); ++i) {
      const HostParameterItem& item = request_.items[i];
      int index;
      String label;
      if (item.name != nullptr) {
        label = item.name;
        index = FindArgument(label);
      } else {
        label = Format("%1", i);
        index = i < function_.arguments.size() ? static_cast<int>(i) : -1;
      }
      if (index < 0) {
        result_.Fail(Format("Unknown argument '%1' for '%2'.", label, function_.name));
        return;
      }
      ReadHostValue(result_, arguments_.Element(static_cast<std::size_t>(index)), item.value, label);
    }
  }

  void BindBody() {
    if (!result_.Succeeded() || request_.body == nullptr || request_.bodySize == 0) return;
    int index = -1;
    for (std::size_t i = 0; i < function_.arguments.size(); ++i) {
      if (endpoint_.LocationOf(i) == ArgumentLocation::kBody) {
        index = static_cast<int>(i);
        break;
      }
    }
    if (index < 0) return;
    Value& target = arguments_.Element(static_cast<std::size_t>(index));
    const std::string_view type = View(request_.contentType);
    const auto bytes = std::span<const uint8_t>(request_.body, request_.bodySize);
    const std::string_view text(reinterpret_cast<const char*>(request_.body), request_.bodySize);
    ValueResult decoded;
    if (StartsWithType(type, "application/x-msgpack")) {
      std::size_t consumed = 0;
      decoded = codecs::ReadMessagePack(bytes, &consumed);
      if (decoded.Succeeded() && consumed < bytes.size()) {
        result_.Fail("Extra MessgePack data found in body");
        return;
      }
    } else if (StartsWithType(type, "application/json") || StartsWithType(type, "application/vnd.api+json")) {
      decoded = codecs::ReadJson(text);
    } else if (StartsWithType(type, "application/x-yaml")) {
      decoded = codecs::ReadYaml(text);
    } else {
      result_.Fail("Unsupported body content type");
      return;
    }
    if (!decoded.Succeeded()) {
      result_.Fail(decoded.ErrorMessage());
      return;
    }
    // The decoded tree is handed to the call as it is: copying it into the
    // scratch arena first would cost as much as decoding it again.
    target.Reset();
    body_.MoveFrom(decoded);
    owned_ = OwnedArgument{static_cast<std::size_t>(index), &body_};
  }

  const BindingApi& api_;
  const EndpointRegistration& endpoint_;
  const FunctionRecord& function_;
  const HostRequest& request_;
  CallResult& result_;
  DispatchScratch& scratch_;
  // What index paths in argument keys may build, for the whole request.
  codecs::TreeBudget pathBudget_{0};
  Value body_;  // the decoded body, when an argument takes it
  OwnedArgument owned_;
  Value& arguments_;  // the scratch's
};

// ---------------------------------------------------------------------------
// The response record

struct StreamState : mem::Allocated {
  BodyStream* body = nullptr;
};

uint8_t KIV_CDECL StreamRead(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more) {
  auto* state = static_cast<StreamState*>(context);
  if (state == nullptr || length == nullptr || more == nullptr || (buffer == nullptr && *length != 0)) return 0;
  if (state->body == nullptr) {
    *length = 0;
    *more = 0;
    return 0;
  }
  const uint32_t capacity = *length;
  bool hasMore = false;
  bool read = false;
  const Escape escape = Guarded([&] { read = state->body->Read(buffer, length, &hasMore); });
  if (escape != Escape::kNone) {
    LogEscape(escape, "a response stream read");
    *length = 0;
    *more = 0;
    return 0;
  }
  if (!read) return 0;
  // A provider that claims more than the buffer holds is cut to it.
  if (*length > capacity) *length = capacity;
  *more = hasMore ? 1 : 0;
  return 1;
}

void KIV_CDECL StreamClose(void* context) {
  auto* state = static_cast<StreamState*>(context);
  if (state == nullptr) return;
  // Needs no barrier: deleting runs only destructors, which cannot throw.
  mem::Delete(state->body);
  state->body = nullptr;
}

// Throws when there is no memory: the request entry's barrier then answers
// with its own static text.
char* OwnedCopy(std::string_view text) {
  char* copy = static_cast<char*>(mem::Allocate(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

void FreeText(const char* text) {
  if (text != nullptr && text != kEmptyText && text != kOutOfMemoryText && text != kInternalErrorText) {
    mem::Free(const_cast<char*>(text));
  }
}

void WriteError(HostResponse* response, std::string_view message, uint32_t status) {
  response->release = &BindingApi::ReleaseResponse;
  response->errorText = OwnedCopy(message);
  response->errorFlag = 1;
  response->status = status;
}

// What the request entry answers when the request ended in an exception:
// status 500 and a static text, written without taking memory.
void WriteInternalError(HostResponse* response, Escape escape) {
  BindingApi::ReleaseResponse(response);
  response->release = &BindingApi::ReleaseResponse;
  response->errorText = EscapeText(escape);
  response->errorFlag = 1;
  response->status = 500;
}

void WriteResponse(HostResponse* response, CallResult& result, const TypeRegistry& registry) {
  response->release = &BindingApi::ReleaseResponse;
  uint32_t status = result.status;
  if (!result.Succeeded()) {
    response->errorText = OwnedCopy(result.ErrorMessage());
    response->errorFlag = 1;
  } else {
    ValueResult written;
    // One block for the whole record: a large answer is not a million small
    // allocations to make and free again. The answer's tree is kept with it
    // until the host releases the response, so its texts are not copied.
    WriteHostValueHolding(written, response->body, result, &registry);
    if (!written.Succeeded()) {
      response->errorText = OwnedCopy(written.ErrorMessage());
      response->errorFlag = 1;
      status = 400;
    }
  }
  response->flag = result.responseFlag;
  response->responseMode = result.responseMode >= 1 && result.responseMode <= 3 ? result.responseMode : 0;
  response->status = status;
  response->statusText = result.statusText.empty() ? kEmptyText : OwnedCopy(result.statusText);
  if (!result.headers.empty()) {
    // In the record (emptied) before it is filled, so that a copy that fails
    // leaves nothing the release would not find.
    auto* headers = static_cast<HostHeader*>(mem::Allocate(sizeof(HostHeader) * result.headers.size()));
    if (headers == nullptr) throw std::bad_alloc();
    std::memset(static_cast<void*>(headers), 0, sizeof(HostHeader) * result.headers.size());
    response->headers = headers;
    response->headerCount = static_cast<uint32_t>(result.headers.size());
    for (std::size_t i = 0; i < result.headers.size(); ++i) {
      headers[i].name = OwnedCopy(result.headers[i].first);
      headers[i].value = OwnedCopy(result.headers[i].second);
    }
  }
  if (result.stream != nullptr && response->errorText == nullptr) {
    auto* state = new StreamState();
    state->body = result.stream;
    result.stream = nullptr;
    response->streamContext = state;
    response->streamRead = &StreamRead;
    response->streamClose = &StreamClose;
    response->expectedSize = state->body->Size();
  }
}

}  // namespace

void BindingApi::ReleaseResponse(HostResponse* response) {
  if (response == nullptr) return;
  ReleaseHostValueHeld(response->body);
  FreeText(response->errorText);
  FreeText(response->statusText);
  if (response->headers != nullptr) {
    auto* headers = const_cast<HostHeader*>(response->headers);
    for (uint32_t i = 0; i < response->headerCount; ++i) {
      FreeText(headers[i].name);
      FreeText(headers[i].value);
    }
    mem::Free(headers);
  }
  if (response->streamRead == &StreamRead) {
    auto* state = static_cast<StreamState*>(response->streamContext);
    if (state != nullptr) {
      mem::Delete(state->body);
      delete state;
    }
  }
  std::memset(static_cast<void*>(response), 0, sizeof(HostResponse));
}

void BindingApi::Dispatch(const EndpointRegistration& endpoint, HostResponse* response,
                          const HostRequest& request) const {
  const std::string_view url = View(request.url);
  const HttpMethod method = MethodFromHost(request.method);
  const std::string_view methodText = method == HttpMethod::kCustom ? View(request.methodText) : std::string_view();
  const url::PathPattern* const patterns[] = {&endpoint.pattern};
  url::RouteMatch route = url::ChooseRoute(std::span<const url::PathPattern* const>(patterns), method, methodText, url);
  if (!route) {
    WriteError(response, "Invalid function", 404);
    return;
  }
  CallResult result;
  {
    ScratchLease scratch(spareScratch_);
    Dispatcher(*this, endpoint, request, result, *scratch).Run(route, url);
  }
  WriteResponse(response, result, types_);
}

namespace {

// The request entry's work, inside its barrier.
void Enter(HostResponse* response, HostRequest* request) {
  if (request == nullptr) {
    WriteError(response, "Invalid request: no request record", 400);
    return;
  }
  if (request->url == nullptr) {
    WriteError(response, "Invalid request: the URL is missing", 400);
    return;
  }
  if ((request->items == nullptr && request->itemCount != 0) ||
      (request->headers == nullptr && request->headerCount != 0) ||
      (request->body == nullptr && request->bodySize != 0)) {
    WriteError(response, "Invalid request: a null array with a non-zero count", 400);
    return;
  }
  const EndpointContext* context = EndpointContext::FromHost(request->endpointContext);
  if (context == nullptr || context->api == nullptr || context->endpoint == nullptr) {
    WriteError(response, "Invalid request: unknown endpoint context", 400);
    return;
  }
  context->api->Dispatch(*context->endpoint, response, *request);
}

}  // namespace

void BindingApi::RequestEntry(HostResponse* response, HostRequest* request) {
  if (response == nullptr) return;
  std::memset(static_cast<void*>(response), 0, sizeof(HostResponse));
  const Escape escape = Guarded([&] { Enter(response, request); });
  if (escape == Escape::kNone) return;
  // Everything the request held is gone with the unwinding; what was written
  // into the record so far goes with the release.
  WriteInternalError(response, escape);
  LogEscape(escape, "the request for ", request != nullptr && request->url != nullptr ? request->url : "(none)");
}

}  // namespace kiv::binding
