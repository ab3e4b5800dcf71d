// Type identities, type references, type descriptors and the type registry:
// how the binding layer knows the native structures and enumerations it
// converts to and from values.
//
// Registering a structure takes its size, field offsets and field types from
// the native type itself:
//
//   registry.BeginStruct<Message>("Message")
//       .Field("fromSummonerName", &Message::fromSummonerName)
//       .Field("body", &Message::body, "The text.", {.flags = kFieldRequired})
//       .Description("A chat message.")
//       .Tag("chat");
//
// Referenced structures and enumerations must be registered first; their
// descriptors are found through the field type's TypeId.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "logging/memory.h"
#include "platform/platform.h"
#include "value/value.h"

namespace kiv::binding {

// ---------------------------------------------------------------------------
// Type identity

// The id that stands for no native type: a descriptor registered under it is
// found by name only.
inline constexpr uint32_t kReservedTypeId = 0;

// The static identity of one native type. Records are referred to by
// address (enum values carry one), so they are never copied.
struct TypeId {
  // Named by id: "#" and the id as eight upper-case hexadecimal digits.
  constexpr explicit TypeId(uint32_t number) : id(number), name(idText), idText{} {
    constexpr char kDigits[] = "0123456789ABCDEF";
    idText[0] = '#';
    for (int i = 0; i < 8; ++i) idText[1 + i] = kDigits[(number >> (28 - 4 * i)) & 0xF];
    idText[9] = '\0';
  }
  // Named by the compiler's signature text of StaticType::Name<T>.
  constexpr TypeId(uint32_t number, const char* signature) : id(number), name(signature), idText{} {}
  TypeId(const TypeId&) = delete;
  TypeId& operator=(const TypeId&) = delete;

  bool IsReserved() const { return id == kReservedTypeId; }

  uint32_t id;
  const char* name;
  char idText[10];
};

// The reserved identity, named "#00000000".
const TypeId& NoNativeType();

// The id of a type named by its signature text: FNV-1a of the text, moved
// off the reserved id.
constexpr uint32_t TypeIdFromSignature(std::string_view signature) {
  const uint32_t id = Fnv1a(signature);
  return id == kReservedTypeId ? 1u : id;
}

struct StaticType {
  // A text that names T: the compiler's signature of this very function.
  template <typename T>
  static constexpr const char* Name() {
#if defined(_MSC_VER)
    return __FUNCSIG__;
#else
    return __PRETTY_FUNCTION__;
#endif
  }
  // The one identity record of T (cv-qualifiers and references ignored).
  template <typename T>
  static const TypeId& Id();
};

template <typename T>
struct StaticTypeRecord {
  static constexpr TypeId record{TypeIdFromSignature(StaticType::Name<T>()), StaticType::Name<T>()};
};

template <typename T>
const TypeId& StaticType::Id() {
  return StaticTypeRecord<std::remove_cvref_t<T>>::record;
}

// ---------------------------------------------------------------------------
// Type kinds and references

enum class TypeKind : int32_t {
  None = 0,
  Bool = 1,
  Int8 = 2,
  UInt8 = 3,
  Int16 = 4,
  UInt16 = 5,
  Int32 = 6,
  UInt32 = 7,
  Int64 = 8,
  UInt64 = 9,
  Float = 10,
  Double = 11,
  String = 12,
  Object = 13,  // a Value itself
  Blob = 14,
  Vector = 15,
  Enum = 16,
  Struct = 17,
  Callback = 18,
  Map = 19,  // string keys
};

// "bool", "int8", ..., "map"; "enum" and "struct" for those kinds; the empty
// text outside 1..19.
const char* TypeKindName(TypeKind kind);

struct TypeDescriptor;
class TypeRegistry;

// What kind of data a field, argument or result holds. For a vector or map
// the element is described by (elementKind, descriptor) only.
struct TypeRef {
  TypeKind kind = TypeKind::None;
  TypeKind elementKind = TypeKind::None;
  const TypeDescriptor* descriptor = nullptr;
};

// The name of a kind as shown in help: the descriptor's name for an enum or
// struct that has one, else the kind's name.
std::string_view FullTypeName(TypeKind kind, const TypeDescriptor* descriptor);

// ---------------------------------------------------------------------------
// Converters (implemented with value conversion)

// Moves one native variable to and from a Value. Owned by the field (or
// argument) it serves.
class Converter : public mem::Allocated {
 public:
  // Reads `input` into the native variable at `native`; reports through
  // result.Fail and does nothing once the result has failed.
  virtual void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name,
                         const TypeDescriptor* type, const TypeRegistry* registry, uintptr_t extra) const = 0;
  // Makes `result` the Value of the native variable at `native`.
  virtual void ToValue(ValueResult& result, const void* native, const TypeDescriptor* type,
                       const TypeRegistry* registry) const = 0;
  virtual ~Converter() = default;
};

// A converter and who owns it: a field, an argument, or a conversion made for
// one occasion. Converters are allocated through mem::Allocated, whose delete
// the default deleter calls.
using ConverterPtr = std::unique_ptr<Converter>;

// Type-erased access to a native Vector<T>, for converters that work from
// descriptors rather than native types.
struct NativeVectorOps {
  std::size_t elementSize;
  std::size_t (*size)(const void* vector);
  void* (*data)(void* vector);
  void (*resize)(void* vector, std::size_t count);  // new elements value-initialized
  void (*clear)(void* vector);
};

template <typename T>
inline constexpr NativeVectorOps kNativeVectorOps = {
    sizeof(T),
    [](const void* v) -> std::size_t { return static_cast<const Vector<T>*>(v)->size(); },
    [](void* v) -> void* { return static_cast<Vector<T>*>(v)->data(); },
    [](void* v, std::size_t n) { static_cast<Vector<T>*>(v)->resize(n); },
    [](void* v) { static_cast<Vector<T>*>(v)->clear(); },
};

// Makes the converter for a field or argument type; null when there is none.
using ConverterFactory = ConverterPtr (*)(const TypeRef& type, const NativeVectorOps* vectorOps);

// ---------------------------------------------------------------------------
// Descriptors

// Field flags.
inline constexpr uint32_t kFieldOmitEmpty = 1;  // left out of a Value when it holds its empty value
inline constexpr uint32_t kFieldRequired = 2;   // must be present when read from a Value

struct EnumeratorDescriptor {
  String name;
  int32_t number = 0;
  String description;
  const TypeDescriptor* owner = nullptr;
};

struct FieldDescriptor {
  String name;
  uint32_t nameHash = 0;  // FNV-1a of the name
  String description;
  const TypeId* typeId = nullptr;  // the field type's identity
  uint32_t offset = 0;             // in the native structure
  TypeRef type;
  TypeRef declaredType;  // kind None when not given; else what the host is shown
  uint32_t flags = 0;
  ConverterPtr converter;  // null: the kind needs none, or no factory was installed
  const TypeDescriptor* owner = nullptr;
  uint8_t hostFlag = 0;                        // passed on to the host's field record
  const NativeVectorOps* vectorOps = nullptr;  // for vector fields registered from native types
};

// Orders enumerators by name, byte by byte.
struct NameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a < b; }
};

struct TypeDescriptor : mem::Allocated {
  uint32_t size = 0;
  bool isEnum = false;
  String name;
  uint32_t id = kReservedTypeId;
  const TypeId* typeId = nullptr;
  String nameSpace;
  String description;
  Vector<String> tags;
  Vector<FieldDescriptor> fields;                           // structures, in registration order
  Map<String, EnumeratorDescriptor, NameLess> enumerators;  // enumerations, by name
  TypeRegistry* registry = nullptr;

  // Exact, case-sensitive name match; null when absent.
  const EnumeratorDescriptor* FindEnumerator(std::string_view enumeratorName) const;
  // The first enumerator in name order with the number; null when none.
  const EnumeratorDescriptor* FindEnumerator(int32_t number) const;
  bool IsEnumerator(int32_t number) const { return FindEnumerator(number) != nullptr; }
  const FieldDescriptor* FindField(std::string_view fieldName) const;
};

// ---------------------------------------------------------------------------
// Native types

template <typename T>
struct NativeVectorTraits : std::false_type {};
template <typename T>
struct NativeVectorTraits<Vector<T>> : std::true_type {
  using Element = T;
};
template <typename T>
struct NativeMapTraits : std::false_type {};
template <typename T>
struct NativeMapTraits<Map<String, T>> : std::true_type {
  using Element = T;
};

// The type kind of a native type. Vector<uint8_t> is a blob; other types
// that need a kind of their own (callbacks) declare
// `static constexpr TypeKind kBindingTypeKind`.
template <typename T>
constexpr TypeKind NativeTypeKind() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, bool>)
    return TypeKind::Bool;
  else if constexpr (std::is_same_v<U, int8_t>)
    return TypeKind::Int8;
  else if constexpr (std::is_same_v<U, uint8_t>)
    return TypeKind::UInt8;
  else if constexpr (std::is_same_v<U, int16_t>)
    return TypeKind::Int16;
  else if constexpr (std::is_same_v<U, uint16_t>)
    return TypeKind::UInt16;
  else if constexpr (std::is_same_v<U, int32_t>)
    return TypeKind::Int32;
  else if constexpr (std::is_same_v<U, uint32_t>)
    return TypeKind::UInt32;
  else if constexpr (std::is_same_v<U, int64_t>)
    return TypeKind::Int64;
  else if constexpr (std::is_same_v<U, uint64_t>)
    return TypeKind::UInt64;
  else if constexpr (std::is_same_v<U, float>)
    return TypeKind::Float;
  else if constexpr (std::is_same_v<U, double>)
    return TypeKind::Double;
  else if constexpr (std::is_same_v<U, String>)
    return TypeKind::String;
  else if constexpr (std::is_same_v<U, Value>)
    return TypeKind::Object;
  else if constexpr (std::is_same_v<U, Vector<uint8_t>>)
    return TypeKind::Blob;
  else if constexpr (NativeVectorTraits<U>::value)
    return TypeKind::Vector;
  else if constexpr (NativeMapTraits<U>::value)
    return TypeKind::Map;
  else if constexpr (requires { U::kBindingTypeKind; })
    return U::kBindingTypeKind;
  else if constexpr (std::is_enum_v<U>) {
    static_assert(sizeof(U) == sizeof(int32_t), "bound enumerations are stored as 32-bit numbers");
    return TypeKind::Enum;
  } else if constexpr (std::is_class_v<U>)
    return TypeKind::Struct;
  else
    static_assert(sizeof(U) == 0, "this native type has no binding type kind");
}

template <typename T>
constexpr const NativeVectorOps* NativeVectorOpsOf() {
  if constexpr (NativeVectorTraits<std::remove_cv_t<T>>::value) {
    return &kNativeVectorOps<typename NativeVectorTraits<std::remove_cv_t<T>>::Element>;
  } else {
    return nullptr;
  }
}

// Byte offset of a data member in S (C is S or a base of S).
template <typename S, typename F, typename C>
uint32_t MemberOffset(F C::*member) {
  static_assert(std::is_same_v<C, S> || std::is_base_of_v<C, S>, "the member must belong to the structure");
  alignas(S) unsigned char storage[sizeof(S)];
  const S* object = reinterpret_cast<const S*>(storage);
  const auto* field = reinterpret_cast<const unsigned char*>(&(static_cast<const C*>(object)->*member));
  return static_cast<uint32_t>(field - storage);
}

// ---------------------------------------------------------------------------
// Builders and registry

struct FieldOptions {
  uint32_t flags = 0;
  TypeRef declaredType{};
  ConverterPtr converter{};  // null: made by the registry's factory
  uint8_t hostFlag = 0;
};

// Builder error codes.
inline constexpr int32_t kBuilderOk = 0;
inline constexpr int32_t kBuilderUnregisteredFieldType = 1;  // a field refers to a type not registered yet
inline constexpr int32_t kBuilderIdCollision = 2;            // another type already holds this id

// The handle of one registration. When the name was registered before,
// `exists` is set and every call does nothing.
class TypeBuilder {
 public:
  TypeRegistry* registry = nullptr;
  TypeDescriptor* descriptor = nullptr;
  int32_t errorCode = kBuilderOk;
  bool exists = false;

  bool IsNew() const { return descriptor != nullptr && !exists; }

  // Inserts, or for a name already present overwrites, an enumerator.
  TypeBuilder& AddEnumerator(std::string_view name, int32_t number, std::string_view description = {});
  // Appends a field with its converter (dropped when nothing is added).
  TypeBuilder& AddField(std::string_view name, std::string_view description, uint32_t offset, const TypeId& fieldType,
                        const TypeRef& type, const TypeRef& declaredType, uint32_t flags, ConverterPtr converter,
                        uint8_t hostFlag = 0, const NativeVectorOps* vectorOps = nullptr);
  // An empty text adds nothing.
  TypeBuilder& AddTag(std::string_view tag);
  TypeBuilder& SetDescription(std::string_view text);
  TypeBuilder& SetNameSpace(std::string_view text);
};

template <typename S>
class StructBuilder : public TypeBuilder {
 public:
  explicit StructBuilder(const TypeBuilder& base) : TypeBuilder(base) {}

  template <typename F, typename C>
  StructBuilder& Field(std::string_view name, F C::*member, std::string_view description = {},
                       FieldOptions options = {});
  StructBuilder& Tag(std::string_view tag) {
    AddTag(tag);
    return *this;
  }
  StructBuilder& Description(std::string_view text) {
    SetDescription(text);
    return *this;
  }
  StructBuilder& NameSpace(std::string_view text) {
    SetNameSpace(text);
    return *this;
  }
};

template <typename E>
class EnumBuilder : public TypeBuilder {
 public:
  explicit EnumBuilder(const TypeBuilder& base) : TypeBuilder(base) {}

  EnumBuilder& Enumerator(std::string_view name, E value, std::string_view description = {}) {
    AddEnumerator(name, static_cast<int32_t>(value), description);
    return *this;
  }
  EnumBuilder& Tag(std::string_view tag) {
    AddTag(tag);
    return *this;
  }
  EnumBuilder& Description(std::string_view text) {
    SetDescription(text);
    return *this;
  }
  EnumBuilder& NameSpace(std::string_view text) {
    SetNameSpace(text);
    return *this;
  }
};

// The registered types of one binding API object. Lookups and registrations
// are serialised by one mutex; descriptors are changed only while they are
// being registered.
class TypeRegistry {
 public:
  TypeRegistry() = default;
  ~TypeRegistry();
  TypeRegistry(const TypeRegistry&) = delete;
  TypeRegistry& operator=(const TypeRegistry&) = delete;

  TypeBuilder BeginType(uint32_t size, std::string_view name, const TypeId& type, bool isEnum);
  template <typename S>
  StructBuilder<S> BeginStruct(std::string_view name) {
    static_assert(std::is_class_v<S>);
    return StructBuilder<S>(BeginType(sizeof(S), name, StaticType::Id<S>(), false));
  }
  template <typename E>
  EnumBuilder<E> BeginEnum(std::string_view name) {
    static_assert(std::is_enum_v<E> && sizeof(E) == sizeof(int32_t), "bound enumerations are 32-bit");
    return EnumBuilder<E>(BeginType(sizeof(E), name, StaticType::Id<E>(), true));
  }

  // Null when absent; the reserved identity is never found.
  const TypeDescriptor* FindById(const TypeId& type) const;
  const TypeDescriptor* FindByName(std::string_view name) const;
  template <typename T>
  const TypeDescriptor* Find() const {
    return FindById(StaticType::Id<T>());
  }
  // The first enumerator (in name order) with the number of the enumeration
  // registered for `type`; null when none.
  const EnumeratorDescriptor* FindEnumerator(const TypeId& type, int32_t number) const;

  // All descriptors in registration order.
  Vector<const TypeDescriptor*> Descriptors() const;
  std::size_t Count() const;

  void SetConverterFactory(ConverterFactory factory);
  [[nodiscard]] ConverterPtr MakeConverter(const TypeRef& type, const NativeVectorOps* vectorOps) const;

  // The type reference of a native type; `missing` is set when it refers to
  // a structure or enumeration that is not registered.
  template <typename T>
  TypeRef NativeTypeRef(bool* missing = nullptr) const;

 private:
  struct NameHash {
    std::size_t operator()(std::string_view name) const { return Fnv1a(name); }
  };
  struct IdHash {
    std::size_t operator()(uint32_t id) const {
      const uint8_t bytes[4] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
                                static_cast<uint8_t>(id >> 24)};
      return Fnv1aBytes(bytes, 4);
    }
  };

  mutable platform::Mutex mutex_;
  HashMap<std::string_view, TypeDescriptor*, NameHash> byName_;  // keys view the descriptors' names
  HashMap<uint32_t, TypeDescriptor*, IdHash> byId_;
  Vector<std::unique_ptr<TypeDescriptor>> order_;  // the registry owns every descriptor
  ConverterFactory factory_ = nullptr;
};

template <typename T>
TypeRef TypeRegistry::NativeTypeRef(bool* missing) const {
  using U = std::remove_cv_t<T>;
  TypeRef ref;
  ref.kind = NativeTypeKind<U>();
  bool absent = false;
  if constexpr (NativeVectorTraits<U>::value || NativeMapTraits<U>::value) {
    if constexpr (!std::is_same_v<U, Vector<uint8_t>>) {
      using Element =
          typename std::conditional_t<NativeVectorTraits<U>::value, NativeVectorTraits<U>, NativeMapTraits<U>>::Element;
      ref.elementKind = NativeTypeKind<Element>();
      if (ref.elementKind == TypeKind::Enum || ref.elementKind == TypeKind::Struct) {
        ref.descriptor = Find<Element>();
        absent = ref.descriptor == nullptr;
      }
    }
  } else if (ref.kind == TypeKind::Enum || ref.kind == TypeKind::Struct) {
    ref.descriptor = Find<U>();
    absent = ref.descriptor == nullptr;
  }
  if (missing != nullptr) *missing = absent;
  return ref;
}

template <typename S>
template <typename F, typename C>
StructBuilder<S>& StructBuilder<S>::Field(std::string_view name, F C::*member, std::string_view description,
                                          FieldOptions options) {
  static_assert(!std::is_function_v<F>, "fields are data members");
  if (!IsNew()) return *this;
  bool missing = false;
  const TypeRef type = registry->NativeTypeRef<F>(&missing);
  const NativeVectorOps* ops = NativeVectorOpsOf<F>();
  ConverterPtr converter =
      options.converter != nullptr ? std::move(options.converter) : registry->MakeConverter(type, ops);
  AddField(name, description, MemberOffset<S>(member), StaticType::Id<F>(), type, options.declaredType, options.flags,
           std::move(converter), options.hostFlag, ops);
  if (missing) errorCode = kBuilderUnregisteredFieldType;
  return *this;
}

}  // namespace kiv::binding
