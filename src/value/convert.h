// Conversion between Values and native variables described by type
// references and descriptors.
//
// Reading (Value -> native) is lenient where a text can stand for a number
// or a boolean, strict about ranges and kinds, and reports the first failure
// as a message naming the argument or field. Writing (native -> Value) builds
// the Value a native variable stands for.
//
// Every operation works on a ValueResult: once it has failed, further
// readings do nothing (the native variable stays as it is), so a caller can
// convert a row of arguments or fields and look at the result once.
//
// Two ways in:
//   - Converter objects, one per field or argument, made by CreateConverter
//     (the registry's factory, see InstallConverters) and driven by type
//     references: this is what structures and bound functions use.
//   - The typed templates FromValue<T> / ToValue<T> for code that knows the
//     native type at compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "logging/memory.h"
#include "value/types.h"
#include "value/value.h"

namespace kiv::binding {

// The name given to conversions of a whole body outside any argument.
inline constexpr std::string_view kWholeValueName = "<value>";

// ---------------------------------------------------------------------------
// Converters and the registry's factory

// The converter for a field, argument or result type; null for kinds that
// have none here (none, callback, map, and vectors whose elements are
// vectors, maps or callbacks, or vectors without `vectorOps`). Enum and
// struct converters remember `type.descriptor` and use it when called
// without a descriptor.
[[nodiscard]] ConverterPtr CreateConverter(const TypeRef& type, const NativeVectorOps* vectorOps);

// Makes CreateConverter the registry's converter factory. Call it before the
// first registration: fields registered earlier have no converter of their
// own (structures then fall back to a converter made for the occasion).
void InstallConverters(TypeRegistry& registry);

// Process-wide converters that carry no state, never to be deleted: every
// primitive kind (bool ... double), string, object, blob, and the enum and
// struct converters, which then work only from the descriptor they are
// called with. Null for vector, map, callback and none.
const Converter* SharedConverter(TypeKind kind);

// ---------------------------------------------------------------------------
// Reading, one function per family. Each does nothing on a failed result,
// reports through result.Fail, and writes `out` only on success (returning
// true then).

bool ReadBool(ValueResult& result, bool& out, const Value& input, std::string_view name);
// Bounds [min, max]; `typeName` is shown in messages ("int32").
bool ReadSigned(ValueResult& result, int64_t& out, const Value& input, std::string_view name, int64_t min, int64_t max,
                const char* typeName);
// Bounds [0, max].
bool ReadUnsigned(ValueResult& result, uint64_t& out, const Value& input, std::string_view name, uint64_t max,
                  const char* typeName);
// Bounds [min, max]; a NaN passes.
bool ReadFloating(ValueResult& result, double& out, const Value& input, std::string_view name, double min, double max,
                  const char* typeName);
// Enum inputs are named through `registry` (may be null: then they fail).
bool ReadString(ValueResult& result, String& out, const Value& input, std::string_view name,
                const TypeRegistry* registry);
// Blob bytes; a String gives its text's bytes.
bool ReadBlob(ValueResult& result, Vector<uint8_t>& out, const Value& input, std::string_view name);
// A deep copy of the input, whatever its kind (Empty included).
bool ReadObject(ValueResult& result, Value& out, const Value& input, std::string_view name);
// Native storage of an enumeration is a signed 32-bit number.
bool ReadEnum(ValueResult& result, int32_t& out, const Value& input, std::string_view name,
              const TypeDescriptor* descriptor);
// Reads the fields of `descriptor` at `base` + offset in registered order.
// Fields read before a failure keep their new values.
void ReadStruct(ValueResult& result, void* base, const Value& input, std::string_view name,
                const TypeDescriptor* descriptor, const TypeRegistry* registry, uintptr_t extra = 0);

// ---------------------------------------------------------------------------
// Writing. Each first makes the result an empty, succeeded value.

void WriteEnum(ValueResult& result, int32_t number, const TypeId* type);
void WriteStruct(ValueResult& result, const void* base, const TypeDescriptor* descriptor, const TypeRegistry* registry);

// True for what a field flagged kFieldOmitEmpty leaves out: Empty, false, 0,
// 0.0, an Enum numbered 0, and a String, Blob, Collection or Structure of
// size 0.
bool IsOmittable(const Value& value);

// ---------------------------------------------------------------------------
// Messages shared with the typed templates.

namespace convert_detail {
void FailRequired(ValueResult& result, std::string_view name);
void FailNotCollection(ValueResult& result, std::string_view name);
// A failed element write: the result takes over the element's message.
void FailLike(ValueResult& result, const ValueResult& failed);
}  // namespace convert_detail

// ---------------------------------------------------------------------------
// Typed conversion: the converter is chosen by the native type (primitives,
// String, Value, Vector<uint8_t> as blob, registered structures and
// enumerations found through StaticType::Id<T>(), Vector<T> of any of these).

template <typename T>
void FromValue(ValueResult& result, T& native, const Value& input, std::string_view name, const TypeRegistry& registry);
template <typename T>
void ToValue(ValueResult& result, const T& native, const TypeRegistry& registry);

namespace convert_detail {

// The descriptor of a registered structure or enumeration, else null. Looked
// up once per vector rather than once per element.
template <typename U>
const TypeDescriptor* DescriptorOf(const TypeRegistry& registry) {
  constexpr TypeKind kind = NativeTypeKind<U>();
  if constexpr (kind == TypeKind::Struct || kind == TypeKind::Enum) {
    return registry.Find<U>();
  } else {
    return nullptr;
  }
}

template <typename U>
void Read(ValueResult& result, U& native, const Value& input, std::string_view name, const TypeRegistry& registry,
          const TypeDescriptor* descriptor) {
  constexpr TypeKind kind = NativeTypeKind<U>();
  if (!result.Succeeded()) return;
  if constexpr (kind == TypeKind::Vector) {
    using Element = typename NativeVectorTraits<U>::Element;
    native.clear();
    if (!input.IsCollection()) {
      FailNotCollection(result, name);
      return;
    }
    const auto elements = input.Elements();
    native.resize(elements.size());
    const TypeDescriptor* elementDescriptor = DescriptorOf<Element>(registry);
    for (std::size_t i = 0; i < elements.size() && result.Succeeded(); ++i) {
      if (elements[i].IsEmpty()) continue;
      if constexpr (std::is_same_v<Element, bool>) {
        // Vector<bool> hands out proxies, not references.
        bool element = false;
        Read(result, element, elements[i], name, registry, nullptr);
        native[i] = element;
      } else {
        Read(result, native[i], elements[i], name, registry, elementDescriptor);
      }
    }
  } else if constexpr (kind == TypeKind::Enum) {
    int32_t number = 0;
    if (ReadEnum(result, number, input, name, descriptor)) native = static_cast<U>(number);
  } else if constexpr (kind == TypeKind::Struct) {
    ReadStruct(result, &native, input, name, descriptor, &registry);
  } else if constexpr (kind == TypeKind::Map || kind == TypeKind::Callback) {
    static_assert(sizeof(U) == 0, "no typed conversion for maps and callbacks");
  } else if constexpr (std::is_same_v<U, String>) {
    // What the shared string converter does, without finding it first.
    ReadString(result, native, input, name, &registry);
  } else {
    SharedConverter(kind)->FromValue(result, &native, input, name, nullptr, &registry, 0);
  }
}

template <typename U>
void Write(ValueResult& result, const U& native, const TypeRegistry& registry, const TypeDescriptor* descriptor) {
  constexpr TypeKind kind = NativeTypeKind<U>();
  if constexpr (kind == TypeKind::Vector) {
    using Element = typename NativeVectorTraits<U>::Element;
    result.Clear();
    result.MakeCollection();
    result.Reserve(native.size());
    const TypeDescriptor* elementDescriptor = DescriptorOf<Element>(registry);
    for (const auto& element : native) {
      ValueResult item;
      if constexpr (std::is_same_v<Element, bool>) {
        const bool flag = element;
        Write(item, flag, registry, nullptr);
      } else {
        Write(item, element, registry, elementDescriptor);
      }
      if (!item.Succeeded()) {
        FailLike(result, item);
        return;
      }
      result.Append() = static_cast<Value&&>(item);
    }
  } else if constexpr (kind == TypeKind::Enum) {
    WriteEnum(result, static_cast<int32_t>(native), &StaticType::Id<U>());
  } else if constexpr (kind == TypeKind::Struct) {
    WriteStruct(result, &native, descriptor, &registry);
  } else if constexpr (kind == TypeKind::Map || kind == TypeKind::Callback) {
    static_assert(sizeof(U) == 0, "no typed conversion for maps and callbacks");
  } else {
    SharedConverter(kind)->ToValue(result, &native, nullptr, &registry);
  }
}

}  // namespace convert_detail

template <typename T>
void FromValue(ValueResult& result, T& native, const Value& input, std::string_view name,
               const TypeRegistry& registry) {
  using U = std::remove_cv_t<T>;
  convert_detail::Read<U>(result, native, input, name, registry, convert_detail::DescriptorOf<U>(registry));
}

template <typename T>
void ToValue(ValueResult& result, const T& native, const TypeRegistry& registry) {
  using U = std::remove_cv_t<T>;
  convert_detail::Write<U>(result, native, registry, convert_detail::DescriptorOf<U>(registry));
}

}  // namespace kiv::binding
