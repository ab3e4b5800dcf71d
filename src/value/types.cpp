#include "value/types.h"

#include <cstring>
#include <utility>

namespace kiv::binding {

const TypeId& NoNativeType() {
  static constexpr TypeId record(kReservedTypeId);
  return record;
}

const char* TypeKindName(TypeKind kind) {
  static constexpr const char* kNames[] = {"",       "bool",   "int8",   "uint8",  "int16",    "uint16", "int32",
                                           "uint32", "int64",  "uint64", "float",  "double",   "string", "object",
                                           "blob",   "vector", "enum",   "struct", "callback", "map"};
  const auto code = static_cast<int32_t>(kind);
  return code >= 1 && code < static_cast<int32_t>(std::size(kNames)) ? kNames[code] : "";
}

std::string_view FullTypeName(TypeKind kind, const TypeDescriptor* descriptor) {
  if ((kind == TypeKind::Enum || kind == TypeKind::Struct) && descriptor != nullptr) return descriptor->name;
  return TypeKindName(kind);
}

// ---------------------------------------------------------------------------
// Descriptors

const EnumeratorDescriptor* TypeDescriptor::FindEnumerator(std::string_view enumeratorName) const {
  auto it = enumerators.find(enumeratorName);
  return it != enumerators.end() ? &it->second : nullptr;
}

const EnumeratorDescriptor* TypeDescriptor::FindEnumerator(int32_t number) const {
  for (const auto& [key, enumerator] : enumerators) {
    if (enumerator.number == number) return &enumerator;
  }
  return nullptr;
}

const FieldDescriptor* TypeDescriptor::FindField(std::string_view fieldName) const {
  const uint32_t hash = Fnv1a(fieldName);
  for (const FieldDescriptor& field : fields) {
    if (field.nameHash == hash && field.name == fieldName) return &field;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Builders

TypeBuilder& TypeBuilder::AddEnumerator(std::string_view name, int32_t number, std::string_view description) {
  if (!IsNew()) return *this;
  auto it = descriptor->enumerators.find(name);
  if (it == descriptor->enumerators.end()) {
    it = descriptor->enumerators.emplace(ToString(name), EnumeratorDescriptor{}).first;
  }
  EnumeratorDescriptor& enumerator = it->second;
  enumerator.name = ToString(name);
  enumerator.number = number;
  enumerator.description = ToString(description);
  enumerator.owner = descriptor;
  return *this;
}

TypeBuilder& TypeBuilder::AddField(std::string_view name, std::string_view description, uint32_t offset,
                                   const TypeId& fieldType, const TypeRef& type, const TypeRef& declaredType,
                                   uint32_t flags, ConverterPtr converter, uint8_t hostFlag,
                                   const NativeVectorOps* vectorOps) {
  if (!IsNew()) return *this;
  FieldDescriptor& field = descriptor->fields.emplace_back();
  field.converter = std::move(converter);
  field.name = ToString(name);
  field.nameHash = Fnv1a(name);
  field.description = ToString(description);
  field.typeId = &fieldType;
  field.offset = offset;
  field.type = type;
  field.declaredType = declaredType;
  field.flags = flags;
  field.owner = descriptor;
  field.hostFlag = hostFlag;
  field.vectorOps = vectorOps;
  return *this;
}

TypeBuilder& TypeBuilder::AddTag(std::string_view tag) {
  if (IsNew() && !tag.empty()) descriptor->tags.push_back(ToString(tag));
  return *this;
}

TypeBuilder& TypeBuilder::SetDescription(std::string_view text) {
  if (IsNew()) descriptor->description = ToString(text);
  return *this;
}

TypeBuilder& TypeBuilder::SetNameSpace(std::string_view text) {
  if (IsNew()) descriptor->nameSpace = ToString(text);
  return *this;
}

// ---------------------------------------------------------------------------
// Registry

TypeRegistry::~TypeRegistry() = default;

TypeBuilder TypeRegistry::BeginType(uint32_t size, std::string_view name, const TypeId& type, bool isEnum) {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  TypeBuilder builder;
  builder.registry = this;
  if (auto it = byName_.find(name); it != byName_.end()) {
    builder.descriptor = it->second;
    builder.exists = true;
    return builder;
  }
  auto owned = std::make_unique<TypeDescriptor>();
  TypeDescriptor* descriptor = owned.get();
  descriptor->size = size;
  descriptor->isEnum = isEnum;
  descriptor->name = ToString(name);
  descriptor->id = type.id;
  descriptor->typeId = &type;
  descriptor->registry = this;
  order_.push_back(std::move(owned));
  byName_.emplace(std::string_view(descriptor->name), descriptor);
  if (!type.IsReserved()) {
    auto [it, inserted] = byId_.emplace(type.id, descriptor);
    // A second name for the same type keeps the first in the id map; a
    // different type with the same id would be found in place of this one,
    // so it is found by name only and the registration says why.
    if (!inserted && std::strcmp(it->second->typeId->name, type.name) != 0) builder.errorCode = kBuilderIdCollision;
  }
  builder.descriptor = descriptor;
  return builder;
}

const TypeDescriptor* TypeRegistry::FindById(const TypeId& type) const {
  if (type.IsReserved()) return nullptr;
  platform::LockGuard<platform::Mutex> lock(mutex_);
  auto it = byId_.find(type.id);
  if (it == byId_.end()) return nullptr;
  const TypeId* registered = it->second->typeId;
  // Ids are hashes: make sure the record is the one asked for.
  if (registered != &type && std::strcmp(registered->name, type.name) != 0) return nullptr;
  return it->second;
}

const TypeDescriptor* TypeRegistry::FindByName(std::string_view name) const {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  auto it = byName_.find(name);
  return it != byName_.end() ? it->second : nullptr;
}

const EnumeratorDescriptor* TypeRegistry::FindEnumerator(const TypeId& type, int32_t number) const {
  const TypeDescriptor* descriptor = FindById(type);
  return descriptor != nullptr && descriptor->isEnum ? descriptor->FindEnumerator(number) : nullptr;
}

Vector<const TypeDescriptor*> TypeRegistry::Descriptors() const {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  Vector<const TypeDescriptor*> all;
  all.reserve(order_.size());
  for (const auto& descriptor : order_) all.push_back(descriptor.get());
  return all;
}

std::size_t TypeRegistry::Count() const {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  return order_.size();
}

void TypeRegistry::SetConverterFactory(ConverterFactory factory) {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  factory_ = factory;
}

ConverterPtr TypeRegistry::MakeConverter(const TypeRef& type, const NativeVectorOps* vectorOps) const {
  ConverterFactory factory;
  {
    platform::LockGuard<platform::Mutex> lock(mutex_);
    factory = factory_;
  }
  return factory != nullptr ? factory(type, vectorOps) : nullptr;
}

}  // namespace kiv::binding
