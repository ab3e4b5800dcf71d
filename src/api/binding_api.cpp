// The binding API object: function, endpoint and event registration, and the
// built-in types every plugin declares.
#include "api/binding_api.h"

#include "api/api_table.h"
#include "api/async_types.h"
#include "value/help_types.h"

namespace kiv::binding {

// ---------------------------------------------------------------------------
// Function builder

FunctionBuilder& FunctionBuilder::Description(std::string_view text) {
  if (!exists_) function_->description = ToString(text);
  return *this;
}
FunctionBuilder& FunctionBuilder::Help(std::string_view text) {
  if (!exists_) function_->help = ToString(text);
  return *this;
}
FunctionBuilder& FunctionBuilder::NameSpace(std::string_view text) {
  if (!exists_) function_->nameSpace = ToString(text);
  return *this;
}
FunctionBuilder& FunctionBuilder::Tag(std::string_view tag) {
  if (!exists_ && !tag.empty()) function_->tags.push_back(ToString(tag));
  return *this;
}
FunctionBuilder& FunctionBuilder::ThreadSafe(bool value) {
  if (!exists_) function_->threadSafe = value;
  return *this;
}
FunctionBuilder& FunctionBuilder::AddArgument(std::string_view name, std::string_view description, const TypeRef& type,
                                              bool optional, const TypeRef& declaredType) {
  if (exists_) return *this;
  // Arguments described from the handler's parameters are named here in
  // order; beyond them, a new record is appended.
  if (position_ < function_->arguments.size()) {
    ArgumentRecord& argument = function_->arguments[position_];
    argument.name = ToString(name);
    argument.nameHash = Fnv1a(name);
    argument.description = ToString(description);
    argument.optional = optional;
    if (type.kind != TypeKind::None) argument.type = type;
    argument.declaredType = declaredType;
  } else {
    function_->arguments.push_back(
        ArgumentRecord{ToString(name), Fnv1a(name), ToString(description), optional, type, declaredType});
  }
  ++position_;
  return *this;
}

// ---------------------------------------------------------------------------
// Endpoint builder

EndpointRegistration* NewEndpoint(FunctionRecord* function, HttpMethod method, std::string_view path) {
  auto* endpoint = new EndpointRegistration();
  try {
    endpoint->invoker = function->invoker;
    endpoint->function = function;
    endpoint->method = method;
    endpoint->path = ToString(path);
    endpoint->pattern = url::PathPattern::Compile(endpoint->path);
  } catch (...) {
    delete endpoint;
    throw;
  }
  endpoint->pattern.target.owner = endpoint;
  endpoint->pattern.target.function = function;
  endpoint->pattern.target.method = method;
  return endpoint;
}

EndpointBuilder& EndpointBuilder::Path(std::string_view path) {
  if (exists_) return *this;
  endpoint_->path = url::NormalizeEndpointPath(path);
  const url::RouteTarget target = endpoint_->pattern.target;
  endpoint_->pattern = url::PathPattern::Compile(endpoint_->path);
  endpoint_->pattern.target = target;
  return *this;
}

EndpointBuilder& EndpointBuilder::Method(HttpMethod method) {
  if (exists_) return *this;
  endpoint_->method = method;
  endpoint_->methodText.clear();
  endpoint_->pattern.target.method = method;
  endpoint_->pattern.target.methodText.clear();
  return *this;
}

EndpointBuilder& EndpointBuilder::Argument(std::string_view name, std::string_view description,
                                           ArgumentLocation location) {
  if (exists_) return *this;
  if (endpoint_->locations.size() <= position_) endpoint_->locations.resize(position_ + 1, ArgumentLocation::kAny);
  endpoint_->locations[position_] = location;
  if (position_ < function_->arguments.size()) {
    ArgumentRecord& argument = function_->arguments[position_];
    argument.name = ToString(name);
    argument.nameHash = Fnv1a(name);
    argument.description = ToString(description);
  } else {
    function_->arguments.push_back(ArgumentRecord{ToString(name), Fnv1a(name), ToString(description), false, {}, {}});
  }
  ++position_;
  return *this;
}

EndpointBuilder& EndpointBuilder::Optional(bool value) {
  if (!exists_ && position_ > 0 && position_ <= function_->arguments.size()) {
    function_->arguments[position_ - 1].optional = value;
  }
  return *this;
}

EndpointBuilder& EndpointBuilder::Tag(std::string_view tag) {
  if (!exists_ && !tag.empty()) function_->tags.push_back(ToString(tag));
  return *this;
}

EndpointBuilder& EndpointBuilder::Tags(std::span<const String> tags) {
  for (const String& tag : tags) Tag(tag);
  return *this;
}

EndpointBuilder& EndpointBuilder::Description(std::string_view text) {
  if (!exists_) function_->description = ToString(text);
  return *this;
}

EndpointBuilder& EndpointBuilder::Help(std::string_view text) {
  if (!exists_) function_->help = ToString(text);
  return *this;
}

EndpointBuilder& EndpointBuilder::NameSpace(std::string_view text) {
  if (!exists_) function_->nameSpace = ToString(text);
  return *this;
}

EndpointBuilder& EndpointBuilder::Returns(const TypeRef& declared) {
  if (!exists_) function_->declaredReturnType = declared;
  return *this;
}

EndpointBuilder& EndpointBuilder::TextList(std::span<const String> texts) {
  if (!exists_) endpoint_->textLists.emplace_back(texts.begin(), texts.end());
  return *this;
}

EndpointBuilder& EndpointBuilder::Flag(uint8_t flag) {
  if (!exists_) endpoint_->flag = flag;
  return *this;
}

// ---------------------------------------------------------------------------
// Event builder

EventBuilder& EventBuilder::Tag(std::string_view tag) {
  if (!exists_ && !tag.empty()) event_->tags.push_back(ToString(tag));
  return *this;
}
EventBuilder& EventBuilder::Description(std::string_view text) {
  if (!exists_) event_->description = ToString(text);
  return *this;
}
EventBuilder& EventBuilder::NameSpace(std::string_view text) {
  if (!exists_) event_->nameSpace = ToString(text);
  return *this;
}

// ---------------------------------------------------------------------------
// Registry

BindingApi::BindingApi() {
  try {
    InstallConverters(types_);
    SetUpBuiltins();
  } catch (...) {
    // No destructor runs for a constructor that throws.
    for (FunctionRecord* function : functionOrder_) delete function;
    for (EventRecord* event : eventOrder_) delete event;
    throw;
  }
}

BindingApi::~BindingApi() {
  ReleaseApiTable();
  DeleteDispatchScratch(spareScratch_.exchange(nullptr));
  for (EndpointRegistration* endpoint : endpoints_) delete endpoint;
  for (FunctionRecord* function : functionOrder_) delete function;
  for (EventRecord* event : eventOrder_) delete event;
}

FunctionRecord* BindingApi::AddFunction(std::string_view name, Invoker* invoker, bool* exists) {
  platform::LockGuard guard(mutex_);
  if (auto it = functions_.find(name); it != functions_.end()) {
    delete invoker;
    *exists = true;
    return it->second;
  }
  FunctionRecord* function = nullptr;
  try {
    function = new FunctionRecord();
  } catch (...) {
    delete invoker;
    throw;
  }
  function->invoker = invoker;  // the record owns it from here on
  try {
    function->name = ToString(name);
    functionOrder_.push_back(function);
  } catch (...) {
    delete function;
    throw;
  }
  function->api = this;
  functions_.emplace(function->name, function);
  *exists = false;
  return function;
}

EventBuilder BindingApi::BeginEvent(std::string_view name, const TypeDescriptor* dataType) {
  platform::LockGuard guard(mutex_);
  if (auto it = events_.find(name); it != events_.end()) return EventBuilder(it->second, true);
  auto* event = new EventRecord();
  try {
    event->name = ToString(name);
    eventOrder_.push_back(event);  // owned by the registry from here on
  } catch (...) {
    delete event;
    throw;
  }
  event->dataType = dataType;
  events_.emplace(event->name, event);
  return EventBuilder(event, false);
}

const FunctionRecord* BindingApi::FindFunction(std::string_view name) const {
  platform::LockGuard guard(mutex_);
  auto it = functions_.find(name);
  return it == functions_.end() ? nullptr : it->second;
}

const EventRecord* BindingApi::FindEvent(std::string_view name) const {
  platform::LockGuard guard(mutex_);
  auto it = events_.find(name);
  return it == events_.end() ? nullptr : it->second;
}

Vector<String> BindingApi::FunctionNames() const {
  platform::LockGuard guard(mutex_);
  Vector<String> names;
  names.reserve(functionOrder_.size());
  for (const FunctionRecord* function : functionOrder_) names.push_back(function->name);
  return names;
}

Vector<String> BindingApi::TypeNames() const {
  Vector<String> names;
  for (const TypeDescriptor* type : types_.Descriptors()) names.push_back(type->name);
  return names;
}

Vector<String> BindingApi::EventNames() const {
  platform::LockGuard guard(mutex_);
  Vector<String> names;
  names.reserve(eventOrder_.size());
  for (const EventRecord* event : eventOrder_) names.push_back(event->name);
  return names;
}

const PluginApiTable* BindingApi::BuildApiTable() {
  ReleaseApiTable();
  table_ = BuildApiTableStorage(*this);
  return &table_->table;
}

const PluginApiTable* BindingApi::ApiTable() const { return table_ != nullptr ? &table_->table : nullptr; }

void BindingApi::ReleaseApiTable() {
  delete table_;
  table_ = nullptr;
}

void BindingApi::SetUpBuiltins() {
  RegisterHelpTypes(types_);

  auto state = types_.BeginEnum<BindingAsyncState>("BindingAsyncState");
  if (state.IsNew()) {
    state.Enumerator("None", BindingAsyncState::None, "Invalid state")
        .Enumerator("Running", BindingAsyncState::Running, "The operation is in flight")
        .Enumerator("Cancelling", BindingAsyncState::Cancelling, "A request to cancel the operation has been made")
        .Enumerator("Cancelled", BindingAsyncState::Cancelled, "The operation was cancelled")
        .Enumerator("Succeeded", BindingAsyncState::Succeeded, "The operation completed successfully")
        .Enumerator("Failed", BindingAsyncState::Failed, "The operation encountered an error")
        .Description("Possible states of an asynchronous operation.")
        .Tag("$builtin")
        .Tag("async");
  }
  auto generic = types_.BeginStruct<BindingGenericEvent>("BindingGenericEvent");
  if (generic.IsNew()) {
    generic.Field("data", &BindingGenericEvent::data, "Event data")
        .Description("Represents generic data for an event.")
        .Tag("$builtin");
  }
  auto callback = types_.BeginStruct<BindingCallbackEvent>("BindingCallbackEvent");
  if (callback.IsNew()) {
    callback.Field("id", &BindingCallbackEvent::id, "ID of the callback being invoked")
        .Field("parameters", &BindingCallbackEvent::parameters, "Callback parameters")
        .Description("Represents the parameters of a call to a provided callback.")
        .Tag("$builtin");
  }
  auto asyncEvent = types_.BeginStruct<BindingGenericAsyncEvent>("BindingGenericAsyncEvent");
  if (asyncEvent.IsNew()) {
    asyncEvent.Field("asyncToken", &BindingGenericAsyncEvent::asyncToken, "Asynchronous operation token")
        .Field("data", &BindingGenericAsyncEvent::data, "Event data")
        .Description("Represents generic data for an asynchronous event.")
        .Tag("$builtin")
        .Tag("async");
  }
  auto failure = types_.BeginStruct<BindingAsyncFailureEvent>("BindingAsyncFailureEvent");
  if (failure.IsNew()) {
    failure.Field("asyncToken", &BindingAsyncFailureEvent::asyncToken, "Asynchronous operation token")
        .Field("error", &BindingAsyncFailureEvent::error, "Error message")
        .Description("Represents a failed asynchronous operation.")
        .Tag("$builtin")
        .Tag("async");
  }
  auto cancel = types_.BeginStruct<BindingAsyncCancelEvent>("BindingAsyncCancelEvent");
  if (cancel.IsNew()) {
    cancel.Field("asyncToken", &BindingAsyncCancelEvent::asyncToken, "Asynchronous operation token")
        .Description("Represents a cancelled asynchronous operation.")
        .Tag("$builtin")
        .Tag("async");
  }

  EventBuilder onCallback = BeginEvent(kOnCallbackEvent, types_.Find<BindingCallbackEvent>());
  if (!onCallback.Exists()) onCallback.Description("Fired when a callback is invoked.").Tag("$builtin");
  setUp_ = true;
}

}  // namespace kiv::binding
