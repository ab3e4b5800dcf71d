// The API table: the records through which the host reads a plugin's
// endpoints, types and events. Built once from the registry; every text
// points into the registry's own records.
#include "api/api_table.h"

#include <new>

#include "api/binding_api.h"
#include "platform/platform.h"

namespace kiv::binding {
namespace {

// Every context handed to the host, so that a pointer coming back can be
// checked before it is followed.
struct LiveContexts {
  platform::Mutex mutex;
  HashMap<const void*, const EndpointContext*> contexts;
};
LiveContexts& Live() {
  // Never destroyed: requests may race with the end of static destruction.
  // Nor on the heap: with no table left the set holds no memory either, so
  // unloading the library leaves nothing behind.
  alignas(LiveContexts) static unsigned char storage[sizeof(LiveContexts)];
  static LiveContexts* live = ::new (static_cast<void*>(storage)) LiveContexts();
  return *live;
}

const char* Text(const String& text) { return text.c_str(); }

int32_t KindCode(TypeKind kind) {
  const auto code = static_cast<int32_t>(kind);
  return code >= 1 && code <= 19 ? code : 0;
}

// The type a host record shows: the declared one when given.
const TypeRef& Shown(const TypeRef& native, const TypeRef& declared) {
  return declared.kind != TypeKind::None ? declared : native;
}

const char* TypeName(const TypeRef& type) {
  switch (type.kind) {
    case TypeKind::Vector:
    case TypeKind::Enum:
    case TypeKind::Struct:
    case TypeKind::Map:
      return type.descriptor != nullptr ? type.descriptor->name.c_str() : "";
    default:
      return "";
  }
}

template <typename Record>
void Chain(Vector<Record>& records) {
  for (std::size_t i = 0; i < records.size(); ++i) records[i].next = i + 1 < records.size() ? &records[i + 1] : nullptr;
}

// Text pointer arrays that the records point to.
const char* const* Texts(ApiTableStorage& storage, const Vector<String>& texts) {
  Vector<const char*>& list = storage.textArrays.emplace_back();
  list.reserve(texts.size());
  for (const String& text : texts) list.push_back(text.c_str());
  return list.empty() ? nullptr : list.data();
}

}  // namespace

void FillFunctionRecord(ApiTableStorage& storage, const FunctionRecord& function, HostFunctionRecord* record) {
  *record = HostFunctionRecord{};
  record->name = Text(function.name);
  record->nameSpace = Text(function.nameSpace);
  Vector<HostArgumentRecord>& arguments = storage.argumentArrays.emplace_back();
  arguments.reserve(function.arguments.size());
  for (const ArgumentRecord& argument : function.arguments) {
    const TypeRef& type = Shown(argument.type, argument.declaredType);
    HostArgumentRecord a{};
    a.name = Text(argument.name);
    a.description = Text(argument.description);
    a.typeKind = KindCode(type.kind);
    a.elementKind = KindCode(type.elementKind);
    a.typeName = TypeName(type);
    a.optional = argument.optional ? 1 : 0;
    arguments.push_back(a);
  }
  Chain(arguments);
  record->arguments = arguments.empty() ? nullptr : arguments.data();
  record->argumentCount = static_cast<uint32_t>(arguments.size());
  const TypeRef& returns = Shown(function.returnType, function.declaredReturnType);
  record->returnKind = KindCode(returns.kind);
  record->returnElementKind = KindCode(returns.elementKind);
  record->returnTypeName = TypeName(returns);
  record->description = Text(function.description);
  record->help = Text(function.help);
  record->threadSafe = function.threadSafe ? 1 : 0;
  record->asyncEventType =
      function.async && function.returnType.descriptor != nullptr ? function.returnType.descriptor->name.c_str() : "";
  record->tags = Texts(storage, function.tags);
  record->tagCount = static_cast<uint32_t>(function.tags.size());
}

namespace {

void FillApiTableStorage(ApiTableStorage* storage, const BindingApi& api) {
  // Endpoints: the function's record, with the endpoint's own context.
  std::span<EndpointRegistration* const> endpoints = api.Endpoints();
  storage->contexts.reserve(endpoints.size());
  storage->endpoints.reserve(endpoints.size());
  for (const EndpointRegistration* endpoint : endpoints) {
    EndpointContext& context = storage->contexts.emplace_back();
    context.api = &api;
    context.endpoint = endpoint;
    context.patterns.push_back(&endpoint->pattern);

    HostEndpointEntry entry{};
    FillFunctionRecord(*storage, *endpoint->function, &entry.function);
    entry.function.context = &context;
    entry.requestEntry = &BindingApi::RequestEntry;
    Vector<HostArgumentLocation>& locations = storage->locationArrays.emplace_back();
    const std::size_t count = endpoint->function->arguments.size();
    locations.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto code = static_cast<uint32_t>(endpoint->LocationOf(i));
      locations.push_back(HostArgumentLocation{nullptr, code >= 1 && code <= 5 ? code : 0});
    }
    Chain(locations);
    entry.locations = locations.empty() ? nullptr : locations.data();
    entry.path = Text(endpoint->path);
    const auto method = static_cast<uint32_t>(endpoint->method);
    entry.method = method >= 1 && method <= 8 ? method : 0;
    entry.flag = endpoint->flag;
    Vector<HostTextList>& lists = storage->textListArrays.emplace_back();
    for (const Vector<String>& texts : endpoint->textLists) {
      lists.push_back(HostTextList{nullptr, Texts(*storage, texts), static_cast<uint32_t>(texts.size())});
    }
    Chain(lists);
    entry.textLists = lists.empty() ? nullptr : lists.data();
    entry.textListCount = static_cast<uint32_t>(lists.size());
    entry.methodText = Text(endpoint->methodText);
    storage->endpoints.push_back(entry);
  }
  // An endpoint entry begins with its function record, whose first word
  // chains the entries.
  for (std::size_t i = 0; i < storage->endpoints.size(); ++i) {
    storage->endpoints[i].function.next =
        i + 1 < storage->endpoints.size() ? reinterpret_cast<HostFunctionRecord*>(&storage->endpoints[i + 1]) : nullptr;
  }
  // The function records point to their contexts: the endpoint record copies
  // made above are the ones the host reads.

  // Types, in registration order.
  Vector<const TypeDescriptor*> types = api.Types().Descriptors();
  storage->types.reserve(types.size());
  for (const TypeDescriptor* type : types) {
    HostTypeRecord record{};
    record.name = Text(type->name);
    record.nameSpace = Text(type->nameSpace);
    record.size = type->size;
    record.description = Text(type->description);
    record.tags = Texts(*storage, type->tags);
    record.tagCount = static_cast<uint32_t>(type->tags.size());
    if (type->isEnum) {
      Vector<HostEnumeratorRecord>& enumerators = storage->enumeratorArrays.emplace_back();
      for (const auto& [name, enumerator] : type->enumerators) {
        enumerators.push_back(
            HostEnumeratorRecord{nullptr, Text(enumerator.name), Text(enumerator.description), enumerator.number});
      }
      Chain(enumerators);
      record.enumerators = enumerators.empty() ? nullptr : enumerators.data();
      record.memberCount = static_cast<uint32_t>(enumerators.size());
    } else {
      Vector<HostFieldRecord>& fields = storage->fieldArrays.emplace_back();
      for (const FieldDescriptor& field : type->fields) {
        const TypeRef& shown = Shown(field.type, field.declaredType);
        HostFieldRecord f{};
        f.name = Text(field.name);
        f.description = Text(field.description);
        f.offset = field.offset;
        f.typeKind = KindCode(shown.kind);
        f.elementKind = KindCode(shown.elementKind);
        f.typeName = TypeName(shown);
        f.extra = field.hostFlag;
        fields.push_back(f);
      }
      Chain(fields);
      record.fields = fields.empty() ? nullptr : fields.data();
      record.memberCount = static_cast<uint32_t>(fields.size());
    }
    storage->types.push_back(record);
  }
  Chain(storage->types);

  // Events.
  for (const String& name : api.EventNames()) {
    const EventRecord* event = api.FindEvent(name);
    if (event == nullptr) continue;
    HostEventRecord record{};
    record.name = Text(event->name);
    record.nameSpace = Text(event->nameSpace);
    record.dataTypeName = event->dataType != nullptr ? event->dataType->name.c_str() : "";
    record.description = Text(event->description);
    record.tags = Texts(*storage, event->tags);
    record.tagCount = static_cast<uint32_t>(event->tags.size());
    storage->events.push_back(record);
  }
  Chain(storage->events);

  {
    LiveContexts& live = Live();
    platform::LockGuard guard(live.mutex);
    for (const EndpointContext& context : storage->contexts) live.contexts.emplace(&context, &context);
  }

  storage->table.endpoints = storage->endpoints.empty() ? nullptr : storage->endpoints.data();
  storage->table.endpointCount = static_cast<uint32_t>(storage->endpoints.size());
  storage->table.types = storage->types.empty() ? nullptr : storage->types.data();
  storage->table.typeCount = static_cast<uint32_t>(storage->types.size());
  storage->table.events = storage->events.empty() ? nullptr : storage->events.data();
  storage->table.eventCount = static_cast<uint32_t>(storage->events.size());
}

}  // namespace

ApiTableStorage* BuildApiTableStorage(const BindingApi& api) {
  auto* storage = new ApiTableStorage();
  try {
    FillApiTableStorage(storage, api);
  } catch (...) {
    // Its destructor also takes back the contexts registered so far.
    delete storage;
    throw;
  }
  return storage;
}

const EndpointContext* EndpointContext::FromHost(const void* context) {
  // The host hands back what we gave it, but a stray or stale pointer must
  // not be followed blindly: every live context is registered.
  if (context == nullptr) return nullptr;
  const auto* candidate = static_cast<const EndpointContext*>(context);
  LiveContexts& live = Live();
  platform::LockGuard guard(live.mutex);
  return live.contexts.contains(candidate) ? candidate : nullptr;
}

ApiTableStorage::ApiTableStorage() = default;

ApiTableStorage::~ApiTableStorage() {
  if (contexts.empty()) return;
  LiveContexts& live = Live();
  platform::LockGuard guard(live.mutex);
  for (const EndpointContext& context : contexts) live.contexts.erase(&context);
  // An empty set gives its buckets back (clear would keep them).
  if (live.contexts.empty()) HashMap<const void*, const EndpointContext*>().swap(live.contexts);
}

}  // namespace kiv::binding
