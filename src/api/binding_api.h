// Bound functions: the per-plugin registry of types, functions and events,
// the invokers that call native handlers with converted arguments, and the
// endpoint registrations that dispatch routes host requests to.
//
//   api.Endpoint(HttpMethod::kPost, "/kiv-game-client-chat/v1/instant-messages",
//                [this](String name, String text) { ... })
//       .Arg("summonerName")
//       .Arg("message")
//       .Description("Sends a private message.");
//
// The handler's parameter types are the arguments' types; a leading
// `CallResult&` parameter is not an argument but gives the handler the
// response options (status, headers, body stream).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "http/http.h"
#include "http/name_rule.h"
#include "http/url.h"
#include "http/url_pattern.h"
#include "kiv_plugin.h"
#include "logging/format.h"
#include "logging/memory.h"
#include "platform/platform.h"
#include "value/convert.h"
#include "value/types.h"
#include "value/value.h"

namespace kiv::binding {

class BindingApi;

enum class ArgumentLocation : uint32_t { kAny = 0, kQuery = 1, kPath = 2, kHeader = 4, kBody = 5 };

struct ArgumentRecord {
  String name;
  uint32_t nameHash = 0;  // FNV-1a of the name
  String description;
  bool optional = false;
  TypeRef type;          // the native type the argument is converted to
  TypeRef declaredType;  // kind None when not given; else what the host is shown
};

// A body whose bytes the host pulls in parts after the call returned.
class BodyStream : public mem::Allocated {
 public:
  virtual ~BodyStream() = default;
  // The expected size in bytes (a capacity hint).
  virtual uint64_t Size() const = 0;
  // Places up to *length bytes; sets *length to the count placed and *more
  // to whether more will follow. False on a read error.
  virtual bool Read(uint8_t* buffer, uint32_t* length, bool* more) = 0;
};

// The outcome of a bound-function call: a value or a failure, and the
// response options the function may set.
class [[nodiscard]] CallResult : public ValueResult {
 public:
  CallResult() = default;
  ~CallResult() { mem::Delete(stream); }
  CallResult(const CallResult&) = delete;
  CallResult& operator=(const CallResult&) = delete;

  void SetStatus(uint32_t code, std::string_view text = {}) {
    status = code;
    statusText = ToString(text);
  }
  void AddHeader(std::string_view name, std::string_view value) {
    headers.emplace_back(ToString(name), ToString(value));
  }
  // Takes the stream over.
  void SetBodyStream(BodyStream* body) {
    mem::Delete(stream);
    stream = body;
  }

  uint8_t responseFlag = 0;
  uint32_t responseMode = 0;  // 1, 2 or 3; other values read as 0
  uint32_t status = 0;        // 0: none set, the host chooses
  String statusText;
  Vector<std::pair<String, String>> headers;
  BodyStream* stream = nullptr;  // owned
};

// What finish receives for the reserved return types: the request itself.
struct RequestDetails {
  uint32_t hostToken = 0;
  int64_t ticks = 0;  // the current time in counter ticks
  std::string_view url;
  const BindingApi* api = nullptr;
  HttpMethod method = HttpMethod::kNone;
  std::string_view methodText;
  Map<String, String, std::less<>> headers;
};

// The two reserved return types: a handler that needs the request to produce
// its result returns one of these, and dispatch runs it with the details.
struct DeferredValue {
  std::function<void(ValueResult& result, const RequestDetails& request)> produce;
};
struct DeferredResponse {
  std::function<void(CallResult& result, const RequestDetails& request)> produce;
};

// An argument decoded into a tree of its own (a request body), read in place
// of arguments[index]. A handler parameter of type Value takes the tree
// itself instead of a copy; the tree is left empty then.
struct OwnedArgument {
  std::size_t index = SIZE_MAX;
  Value* value = nullptr;
};

// Holds a native handler and calls it with converted arguments.
class Invoker : public mem::Allocated {
 public:
  virtual ~Invoker() = default;
  // Converts the arguments, runs the handler; returns a handle for finish.
  virtual void* Call(CallResult& result, std::span<Value> arguments, OwnedArgument owned, uint32_t hostToken) = 0;
  // Turns the handler's native return into the result value.
  virtual void Finish(CallResult& result, const RequestDetails* details, void* handle, uint32_t hostToken) = 0;
  virtual void Release(void* handle) = 0;
  virtual void Reserved() {}
  virtual const TypeId& ReturnType() const = 0;
};

struct FunctionRecord : mem::Allocated {
  String name;
  Vector<ArgumentRecord> arguments;
  TypeRef returnType;
  TypeRef declaredReturnType;
  Vector<String> tags;
  String nameSpace;
  String description;
  String help;
  bool threadSafe = false;
  bool async = false;
  BindingApi* api = nullptr;
  Invoker* invoker = nullptr;  // owned

  ~FunctionRecord() { delete invoker; }
};

struct EndpointRegistration : mem::Allocated {
  Invoker* invoker = nullptr;
  FunctionRecord* function = nullptr;
  String path;  // normalised
  HttpMethod method = HttpMethod::kAny;
  String methodText;
  uint8_t flag = 0;
  Vector<Vector<String>> textLists;
  Vector<ArgumentLocation> locations;  // by argument position; missing entries count as kAny
  url::PathPattern pattern;

  ArgumentLocation LocationOf(std::size_t position) const {
    return position < locations.size() ? locations[position] : ArgumentLocation::kAny;
  }
};

struct EventRecord : mem::Allocated {
  String name;
  const TypeDescriptor* dataType = nullptr;
  String nameSpace;
  String description;
  Vector<String> tags;
};

// ---------------------------------------------------------------------------
// Invokers built from native handlers

namespace detail {

template <typename T>
struct FunctionTraits : FunctionTraits<decltype(&T::operator())> {};
template <typename R, typename... A>
struct FunctionTraits<R (*)(A...)> {
  using Return = R;
  using Args = std::tuple<A...>;
};
template <typename R, typename C, typename... A>
struct FunctionTraits<R (C::*)(A...)> : FunctionTraits<R (*)(A...)> {};
template <typename R, typename C, typename... A>
struct FunctionTraits<R (C::*)(A...) const> : FunctionTraits<R (*)(A...)> {};
template <typename R, typename C, typename... A>
struct FunctionTraits<R (C::*)(A...) noexcept> : FunctionTraits<R (*)(A...)> {};
template <typename R, typename C, typename... A>
struct FunctionTraits<R (C::*)(A...) const noexcept> : FunctionTraits<R (*)(A...)> {};

template <typename Tuple>
struct LeadsWithCallResult : std::false_type {};
template <typename First, typename... Rest>
struct LeadsWithCallResult<std::tuple<First, Rest...>> : std::is_same<First, CallResult&> {};

template <typename Tuple>
struct DropFirst {
  using Type = std::tuple<>;
};
template <typename First, typename... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
  using Type = std::tuple<Rest...>;
};

template <typename Tuple>
struct Decayed;
template <typename... A>
struct Decayed<std::tuple<A...>> {
  using Type = std::tuple<std::remove_cvref_t<A>...>;
};

}  // namespace detail

template <typename F>
class HandlerInvoker final : public Invoker {
  using Traits = detail::FunctionTraits<std::remove_cvref_t<F>>;
  using Return = std::remove_cvref_t<typename Traits::Return>;
  static constexpr bool kWantsResult = detail::LeadsWithCallResult<typename Traits::Args>::value;
  using Params =
      std::conditional_t<kWantsResult, typename detail::DropFirst<typename Traits::Args>::Type, typename Traits::Args>;
  using Natives = typename detail::Decayed<Params>::Type;

 public:
  static constexpr std::size_t kArity = std::tuple_size_v<Natives>;
  using NativeArguments = Natives;
  using ReturnType_ = Return;

  HandlerInvoker(F handler, const BindingApi* api) : handler_(std::move(handler)), api_(api) {}

  void* Call(CallResult& result, std::span<Value> arguments, OwnedArgument owned, uint32_t hostToken) override;
  void Finish(CallResult& result, const RequestDetails* details, void* handle, uint32_t hostToken) override;
  void Release(void* handle) override {
    if constexpr (!std::is_void_v<Return>) mem::Delete(static_cast<Return*>(handle));
  }
  const TypeId& ReturnType() const override {
    if constexpr (std::is_void_v<Return>) {
      return NoNativeType();
    } else {
      return StaticType::Id<Return>();
    }
  }

  // Names for messages; set by the registry once the function exists.
  const FunctionRecord* function = nullptr;

 private:
  template <std::size_t... I>
  void* CallWith(CallResult& result, Natives& natives, std::index_sequence<I...>);

  F handler_;
  const BindingApi* api_;
};

// ---------------------------------------------------------------------------
// Builders

class FunctionBuilder {
 public:
  FunctionBuilder(FunctionRecord* function, bool exists) : function_(function), exists_(exists) {}
  bool Exists() const { return exists_; }
  FunctionRecord* Function() const { return function_; }

  FunctionBuilder& Description(std::string_view text);
  FunctionBuilder& Help(std::string_view text);
  FunctionBuilder& NameSpace(std::string_view text);
  FunctionBuilder& Tag(std::string_view tag);
  FunctionBuilder& ThreadSafe(bool value = true);
  // Appends an argument record with its name hash.
  FunctionBuilder& AddArgument(std::string_view name, std::string_view description, const TypeRef& type,
                               bool optional = false, const TypeRef& declaredType = {});

 protected:
  FunctionRecord* function_;
  bool exists_;
  std::size_t position_ = 0;
};

// Registers an endpoint function. While `Exists()` every call does nothing.
class EndpointBuilder {
 public:
  EndpointBuilder(BindingApi* api, FunctionRecord* function, EndpointRegistration* endpoint, bool exists)
      : api_(api), function_(function), endpoint_(endpoint), exists_(exists) {}

  bool Exists() const { return exists_; }
  const FunctionRecord* Function() const { return function_; }
  const EndpointRegistration* Endpoint() const { return endpoint_; }

  EndpointBuilder& Path(std::string_view path);  // normalised, then stored
  EndpointBuilder& Method(HttpMethod method);    // clears the method text
  // Names the next handler parameter; its location is the query string.
  EndpointBuilder& Arg(std::string_view name, std::string_view description = {}) {
    return Argument(name, description, ArgumentLocation::kQuery);
  }
  EndpointBuilder& PathArg(std::string_view name, std::string_view description = {}) {
    return Argument(name, description, ArgumentLocation::kPath);
  }
  EndpointBuilder& HeaderArg(std::string_view name, std::string_view description = {}) {
    return Argument(name, description, ArgumentLocation::kHeader);
  }
  EndpointBuilder& BodyArg(std::string_view name, std::string_view description = {}) {
    return Argument(name, description, ArgumentLocation::kBody);
  }
  EndpointBuilder& AnyArg(std::string_view name, std::string_view description = {}) {
    return Argument(name, description, ArgumentLocation::kAny);
  }
  EndpointBuilder& Argument(std::string_view name, std::string_view description, ArgumentLocation location);
  EndpointBuilder& Optional(bool value = true);  // the argument named last
  EndpointBuilder& Tag(std::string_view tag);
  EndpointBuilder& Tags(std::span<const String> tags);
  EndpointBuilder& Description(std::string_view text);
  EndpointBuilder& Help(std::string_view text);
  EndpointBuilder& NameSpace(std::string_view text);
  // The type the host is shown as the return type.
  EndpointBuilder& Returns(const TypeRef& declared);
  EndpointBuilder& TextList(std::span<const String> texts);
  EndpointBuilder& Flag(uint8_t flag);

 private:
  BindingApi* api_;
  FunctionRecord* function_;
  EndpointRegistration* endpoint_;
  bool exists_;
  std::size_t position_ = 0;
};

class EventBuilder {
 public:
  EventBuilder(EventRecord* event, bool exists) : event_(event), exists_(exists) {}
  bool Exists() const { return exists_; }
  EventRecord* Event() const { return event_; }
  EventBuilder& Tag(std::string_view tag);
  EventBuilder& Description(std::string_view text);
  EventBuilder& NameSpace(std::string_view text);

 private:
  EventRecord* event_;
  bool exists_;
};

// ---------------------------------------------------------------------------
// The registry

struct ApiTableStorage;
struct DispatchScratch;
// Frees a scratch record of dispatch (defined with dispatch).
void DeleteDispatchScratch(DispatchScratch* scratch);

class BindingApi : public mem::Allocated {
 public:
  BindingApi();
  ~BindingApi();
  BindingApi(const BindingApi&) = delete;
  BindingApi& operator=(const BindingApi&) = delete;

  TypeRegistry& Types() { return types_; }
  const TypeRegistry& Types() const { return types_; }

  // A function without endpoint. A name registered before returns a builder
  // on the existing record with Exists() set.
  template <typename F>
  FunctionBuilder RegisterFunction(std::string_view name, F&& handler);

  // An endpoint function named by the name rule from method and path.
  template <typename F>
  EndpointBuilder Endpoint(HttpMethod method, std::string_view path, F&& handler);

  // A member function bound to its object.
  template <typename C, typename R, typename... A>
  EndpointBuilder Endpoint(HttpMethod method, std::string_view path, C* object, R (C::*member)(A...)) {
    return Endpoint(method, path,
                    [object, member](A... args) -> R { return (object->*member)(std::forward<A>(args)...); });
  }

  EventBuilder BeginEvent(std::string_view name, const TypeDescriptor* dataType);

  const FunctionRecord* FindFunction(std::string_view name) const;
  const EventRecord* FindEvent(std::string_view name) const;
  std::span<EndpointRegistration* const> Endpoints() const { return endpoints_; }

  Vector<String> FunctionNames() const;
  Vector<String> TypeNames() const;
  Vector<String> EventNames() const;

  // Builds (once more, replacing the previous one) the table the host reads.
  // The table and every text in it live as long as this object.
  const PluginApiTable* BuildApiTable();
  const PluginApiTable* ApiTable() const;
  void ReleaseApiTable();

  // The request entry of every endpoint entry.
  static void KIV_CDECL RequestEntry(HostResponse* response, HostRequest* request);
  // Dispatches one request to the endpoint whose registration is given;
  // fills the response and sets its release function.
  void Dispatch(const EndpointRegistration& endpoint, HostResponse* response, const HostRequest& request) const;

  // Frees what dispatch placed in a response record.
  static void KIV_CDECL ReleaseResponse(HostResponse* response);

  // True once the built-in types and the "OnCallback" event are registered.
  bool IsSetUp() const { return setUp_; }
  void SetUpBuiltins();

 private:
  FunctionRecord* AddFunction(std::string_view name, Invoker* invoker, bool* exists);
  template <typename Inv>
  void DescribeArguments(FunctionRecord* function);

  mutable platform::Mutex mutex_;  // functions and events; the type registry has its own
  TypeRegistry types_;
  HashMap<String, FunctionRecord*, StringHash, std::equal_to<>> functions_;
  Vector<FunctionRecord*> functionOrder_;
  Vector<EndpointRegistration*> endpoints_;
  HashMap<String, EventRecord*, StringHash, std::equal_to<>> events_;
  Vector<EventRecord*> eventOrder_;
  ApiTableStorage* table_ = nullptr;
  bool setUp_ = false;
  // The working storage of one request (argument values with their arena,
  // decoded query texts), kept for the next request so that a steady stream
  // of requests does not build and drop an arena each time. A request that
  // finds the slot empty (another thread, or a request made from inside a
  // handler) works on storage of its own.
  mutable std::atomic<DispatchScratch*> spareScratch_{nullptr};
};

// ---------------------------------------------------------------------------
// Template definitions

template <typename F>
template <std::size_t... I>
void* HandlerInvoker<F>::CallWith(CallResult& result, Natives& natives, std::index_sequence<I...>) {
  auto invoke = [&]() -> decltype(auto) {
    if constexpr (kWantsResult) {
      return handler_(result, std::move(std::get<I>(natives))...);
    } else {
      return handler_(std::move(std::get<I>(natives))...);
    }
  };
  if constexpr (std::is_void_v<Return>) {
    invoke();
    return nullptr;
  } else {
    return mem::New<Return>(invoke());
  }
}

template <typename F>
void* HandlerInvoker<F>::Call(CallResult& result, std::span<Value> arguments, OwnedArgument owned, uint32_t) {
  Natives natives{};
  const TypeRegistry& registry = api_->Types();
  auto convertOne = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
    if (!result.Succeeded() || I >= arguments.size()) return;
    const bool isOwned = I == owned.index && owned.value != nullptr;
    Value& input = isOwned ? *owned.value : arguments[I];
    // An optional argument that was not given keeps its native default.
    if (function != nullptr && I < function->arguments.size() && function->arguments[I].optional && input.IsEmpty()) {
      return;
    }
    if constexpr (std::is_same_v<std::tuple_element_t<I, Natives>, Value>) {
      if (isOwned) {
        std::get<I>(natives).MoveFrom(input);
        return;
      }
    }
    const std::string_view name = function != nullptr && I < function->arguments.size()
                                      ? std::string_view(function->arguments[I].name)
                                      : std::string_view("<value>");
    FromValue(result, std::get<I>(natives), input, name, registry);
  };
  [&]<std::size_t... I>(std::index_sequence<I...>) { (convertOne(std::integral_constant<std::size_t, I>{}), ...); }
  (std::make_index_sequence<kArity>());
  if (!result.Succeeded()) return nullptr;
  return CallWith(result, natives, std::make_index_sequence<kArity>());
}

template <typename F>
void HandlerInvoker<F>::Finish(CallResult& result, const RequestDetails* details, void* handle, uint32_t) {
  if constexpr (std::is_void_v<Return>) {
    (void)details;
    (void)handle;
  } else {
    if (handle == nullptr || !result.Succeeded()) return;
    Return& value = *static_cast<Return*>(handle);
    if constexpr (std::is_same_v<Return, DeferredValue>) {
      ValueResult produced;
      if (details != nullptr && value.produce) value.produce(produced, *details);
      if (produced.Succeeded()) {
        static_cast<Value&>(result).MoveFrom(produced);
      } else {
        result.Fail(produced.ErrorMessage());
      }
    } else if constexpr (std::is_same_v<Return, DeferredResponse>) {
      if (details != nullptr && value.produce) value.produce(result, *details);
    } else if constexpr (std::is_same_v<Return, Value>) {
      // The handle is released right after: its tree can be taken as it is.
      static_cast<Value&>(result).MoveFrom(value);
    } else {
      ValueResult written;
      ToValue(written, static_cast<const Return&>(value), api_->Types());
      if (written.Succeeded()) {
        static_cast<Value&>(result).MoveFrom(written);
      } else {
        result.Fail(written.ErrorMessage());
      }
    }
  }
}

template <typename Inv>
void BindingApi::DescribeArguments(FunctionRecord* function) {
  using Natives = typename Inv::NativeArguments;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (function->arguments.push_back(ArgumentRecord{Format("arg%1", static_cast<uint32_t>(I + 1)), 0, String(), false,
                                                  types_.NativeTypeRef<std::tuple_element_t<I, Natives>>(), TypeRef{}}),
     ...);
  }
  (std::make_index_sequence<Inv::kArity>());
  for (ArgumentRecord& argument : function->arguments) argument.nameHash = Fnv1a(argument.name);
  using R = typename Inv::ReturnType_;
  if constexpr (!std::is_void_v<R> && !std::is_same_v<R, DeferredValue> && !std::is_same_v<R, DeferredResponse>) {
    function->returnType = types_.NativeTypeRef<R>();
  }
}

template <typename F>
FunctionBuilder BindingApi::RegisterFunction(std::string_view name, F&& handler) {
  using Inv = HandlerInvoker<std::decay_t<F>>;
  auto* invoker = new Inv(std::forward<F>(handler), this);
  bool exists = false;
  FunctionRecord* function = AddFunction(name, invoker, &exists);
  if (!exists) {
    invoker->function = function;
    DescribeArguments<Inv>(function);
  }
  FunctionBuilder builder(function, exists);
  return builder;
}

EndpointRegistration* NewEndpoint(FunctionRecord* function, HttpMethod method, std::string_view path);

template <typename F>
EndpointBuilder BindingApi::Endpoint(HttpMethod method, std::string_view path, F&& handler) {
  const String normalised = url::NormalizeEndpointPath(path);
  const String name = FunctionName(method, normalised);
  FunctionBuilder function = RegisterFunction(name, std::forward<F>(handler));
  if (function.Exists()) return EndpointBuilder(this, function.Function(), nullptr, true);
  EndpointRegistration* endpoint = NewEndpoint(function.Function(), method, normalised);
  {
    platform::LockGuard guard(mutex_);
    try {
      endpoints_.push_back(endpoint);
    } catch (...) {
      delete endpoint;
      throw;
    }
  }
  return EndpointBuilder(this, function.Function(), endpoint, false);
}

}  // namespace kiv::binding
