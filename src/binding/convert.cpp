#include "binding/convert.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "logging/format.h"

namespace kiv::binding {

namespace {

// ---------------------------------------------------------------------------
// Messages

constexpr const char* kRequired = "A value for '%1' is required.";
constexpr const char* kBoolFormat =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", \"false\", \"1\", \"0\".";
constexpr const char* kBoolInvalidType =
    "Couldn't assign value to '%1' of type bool because the input is of an "
    "invalid type %2.";
constexpr const char* kInvalidType =
    "Couldn't assign value to '%1' of type %2 because the input is of an invalid "
    "type %3.";
constexpr const char* kOutOfRange = "Value %1 for '%2' of type %3 is out of range";
constexpr const char* kIncorrectFormat = "Value %1 for '%2' of type %3 is in an incorrect format";
constexpr const char* kEnumInvalidType =
    "Couldn't assign value to '%1' of enum type because the input is of an "
    "invalid type %2.";
constexpr const char* kNotEnumerator = "%1 is not a valid %2 enumeration value for '%3'.";
constexpr const char* kEnumUnregistered =
    "Couldn't assign value to '%1' because its enumeration type is not "
    "registered.";
constexpr const char* kNotEnumeratorOfAny = "%1 is not a valid enumeration value for '%2'.";
constexpr const char* kNotString = "Couldn't assign value to '%1' because the input is not a string.";
constexpr const char* kUnregisteredStructure =
    "Couldn't assign value to '%1' because the input is an unregistered "
    "structure or not a structure at all.";
constexpr const char* kNotStructure = "Couldn't assign value to '%1' of type %2 because the input not a structure.";
constexpr const char* kMissingField =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't "
    "have required field '%3'.";
constexpr const char* kNotCollection =
    "Couldn't assign value to '%1' of type vector because the input not a "
    "collection.";
constexpr const char* kNoConversion = "Couldn't assign value to '%1' because its type %2 has no conversion.";
constexpr const char* kWriteUnregistered = "Couldn't convert native value because it's an unregistered structure.";
constexpr const char* kWriteNoConversion =
    "Couldn't convert native value because field '%1' has a type without "
    "conversion.";

template <typename... A>
bool Fail(ValueResult& result, const char* templ, const A&... args) {
  const String message = Format(templ, args...);
  result.Fail(std::string_view(message.data(), message.size()));
  return false;
}

const char* KindName(const Value& input) { return ValueKindName(input.Kind()); }

// ---------------------------------------------------------------------------
// Texts to numbers. Texts of values need not be zero-terminated where the C
// parsers expect it, so they are copied first.

class CText {
 public:
  explicit CText(std::string_view text) {
    if (text.size() < sizeof(small_)) {
      std::memcpy(small_, text.data(), text.size());
      small_[text.size()] = '\0';
      data_ = small_;
    } else {
      large_.assign(text.data(), text.size());
      data_ = large_.c_str();
    }
    size_ = text.size();
  }
  CText(const CText&) = delete;
  CText& operator=(const CText&) = delete;

  const char* data() const { return data_; }
  // Whether the parser stopped at the end of the text (an embedded zero
  // byte ends parsing early and so counts as left-over characters).
  bool Consumed(const char* end) const { return end == data_ + size_; }

 private:
  char small_[64];
  String large_;
  const char* data_;
  std::size_t size_;
};

enum class Parse { Ok, OutOfRange, BadFormat };

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

Parse ParseSigned(std::string_view text, int64_t& value) {
  const CText c(text);
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(c.data(), &end, 0);
  if (errno == ERANGE) return Parse::OutOfRange;
  if (!c.Consumed(end)) return Parse::BadFormat;
  value = static_cast<int64_t>(parsed);
  return Parse::Ok;
}

Parse ParseUnsigned(std::string_view text, uint64_t& value) {
  // The C parser negates "-1" into the largest number instead of refusing it;
  // a minus sign after leading white space is refused as well.
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  if (i < text.size() && text[i] == '-') return Parse::OutOfRange;
  const CText c(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(c.data(), &end, 0);
  if (errno == ERANGE) return Parse::OutOfRange;
  if (!c.Consumed(end)) return Parse::BadFormat;
  value = static_cast<uint64_t>(parsed);
  return Parse::Ok;
}

Parse ParseDouble(std::string_view text, double& value) {
  const CText c(text);
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(c.data(), &end);
  // Only an overflow is out of range: an underflow still gives the nearest
  // representable number (a denormal or zero), which is what was meant.
  if (errno == ERANGE && std::fabs(parsed) == HUGE_VAL) return Parse::OutOfRange;
  if (!c.Consumed(end)) return Parse::BadFormat;
  value = parsed;
  return Parse::Ok;
}

// 2^63 and 2^64 as doubles: the first values that no longer fit the 64-bit
// integers (the bounds themselves round up to them).
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

// ---------------------------------------------------------------------------
// Converters

class BoolConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry*, uintptr_t) const override {
    ReadBool(result, *static_cast<bool*>(native), input, name);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    result.Clear();
    result.SetBool(*static_cast<const bool*>(native));
  }
};

template <typename T>
class SignedConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry*, uintptr_t) const override {
    int64_t value = 0;
    if (ReadSigned(result, value, input, name, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(),
                   TypeKindName(NativeTypeKind<T>()))) {
      *static_cast<T*>(native) = static_cast<T>(value);
    }
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    result.Clear();
    result.SetSigned(*static_cast<const T*>(native));
  }
};

template <typename T>
class UnsignedConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry*, uintptr_t) const override {
    uint64_t value = 0;
    if (ReadUnsigned(result, value, input, name, std::numeric_limits<T>::max(), TypeKindName(NativeTypeKind<T>()))) {
      *static_cast<T*>(native) = static_cast<T>(value);
    }
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    result.Clear();
    result.SetUnsigned(*static_cast<const T*>(native));
  }
};

template <typename T>
class FloatingConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry*, uintptr_t) const override {
    double value = 0;
    if (ReadFloating(result, value, input, name, -static_cast<double>(std::numeric_limits<T>::max()),
                     static_cast<double>(std::numeric_limits<T>::max()), TypeKindName(NativeTypeKind<T>()))) {
      *static_cast<T*>(native) = static_cast<T>(value);
    }
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    result.Clear();
    result.SetFloat(static_cast<double>(*static_cast<const T*>(native)));
  }
};

class StringConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry* registry, uintptr_t) const override {
    ReadString(result, *static_cast<String*>(native), input, name, registry);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    const String& text = *static_cast<const String*>(native);
    result.Clear();
    result.SetString(std::string_view(text.data(), text.size()));
  }
};

class ObjectConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry*, uintptr_t) const override {
    ReadObject(result, *static_cast<Value*>(native), input, name);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    result.Clear();
    result.CopyFrom(*static_cast<const Value*>(native));
  }
};

class BlobConverter final : public Converter {
 public:
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name, const TypeDescriptor*,
                 const TypeRegistry*, uintptr_t) const override {
    ReadBlob(result, *static_cast<Vector<uint8_t>*>(native), input, name);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor*, const TypeRegistry*) const override {
    const auto& bytes = *static_cast<const Vector<uint8_t>*>(native);
    result.Clear();
    result.SetBlob(bytes.data(), bytes.size());
  }
};

class EnumConverter final : public Converter {
 public:
  explicit EnumConverter(const TypeDescriptor* descriptor) : descriptor_(descriptor) {}
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name,
                 const TypeDescriptor* type, const TypeRegistry*, uintptr_t) const override {
    ReadEnum(result, *static_cast<int32_t*>(native), input, name, type != nullptr ? type : descriptor_);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor* type,
               const TypeRegistry*) const override {
    const TypeDescriptor* descriptor = type != nullptr ? type : descriptor_;
    WriteEnum(result, *static_cast<const int32_t*>(native), descriptor != nullptr ? descriptor->typeId : nullptr);
  }

 private:
  const TypeDescriptor* descriptor_;
};

class StructConverter final : public Converter {
 public:
  explicit StructConverter(const TypeDescriptor* descriptor) : descriptor_(descriptor) {}
  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name,
                 const TypeDescriptor* type, const TypeRegistry* registry, uintptr_t extra) const override {
    ReadStruct(result, native, input, name, type != nullptr ? type : descriptor_, registry, extra);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor* type,
               const TypeRegistry* registry) const override {
    WriteStruct(result, native, type != nullptr ? type : descriptor_, registry);
  }

 private:
  const TypeDescriptor* descriptor_;
};

bool IsVectorElementKind(TypeKind kind) {
  switch (kind) {
    case TypeKind::Vector:
    case TypeKind::Map:
    case TypeKind::Callback:
    case TypeKind::None:
      return false;
    default:
      return SharedConverter(kind) != nullptr;
  }
}

class VectorConverter final : public Converter {
 public:
  VectorConverter(TypeKind elementKind, const TypeDescriptor* descriptor, const NativeVectorOps* ops)
      : element_(SharedConverter(elementKind)), descriptor_(descriptor), ops_(ops) {}

  void FromValue(ValueResult& result, void* native, const Value& input, std::string_view name,
                 const TypeDescriptor* type, const TypeRegistry* registry, uintptr_t extra) const override {
    if (!result.Succeeded()) return;
    ops_->clear(native);
    if (!input.IsCollection()) {
      Fail(result, kNotCollection, name);
      return;
    }
    const auto elements = input.Elements();
    ops_->resize(native, elements.size());
    auto* data = static_cast<unsigned char*>(ops_->data(native));
    const TypeDescriptor* descriptor = type != nullptr ? type : descriptor_;
    for (std::size_t i = 0; i < elements.size() && result.Succeeded(); ++i) {
      if (elements[i].IsEmpty()) continue;
      element_->FromValue(result, data + i * ops_->elementSize, elements[i], name, descriptor, registry, extra);
    }
  }

  void ToValue(ValueResult& result, const void* native, const TypeDescriptor* type,
               const TypeRegistry* registry) const override {
    result.Clear();
    result.MakeCollection();
    const std::size_t count = ops_->size(native);
    if (count == 0) return;
    result.Reserve(count);
    // The ops only hand out mutable data; nothing is written through it.
    const auto* data = static_cast<const unsigned char*>(ops_->data(const_cast<void*>(native)));
    const TypeDescriptor* descriptor = type != nullptr ? type : descriptor_;
    for (std::size_t i = 0; i < count; ++i) {
      ValueResult item;
      element_->ToValue(item, data + i * ops_->elementSize, descriptor, registry);
      if (!item.Succeeded()) {
        convert_detail::FailLike(result, item);
        return;
      }
      result.Append() = static_cast<Value&&>(item);
    }
  }

 private:
  const Converter* element_;  // shared, not owned
  const TypeDescriptor* descriptor_;
  const NativeVectorOps* ops_;
};

Converter* CreateConverterFactory(const TypeRef& type, const NativeVectorOps* vectorOps) {
  return CreateConverter(type, vectorOps);
}

// The converter a field is driven by: its own, or for fields registered
// before the factory was installed one made for the occasion.
class FieldConverter {
 public:
  explicit FieldConverter(const FieldDescriptor& field) {
    if (field.converter != nullptr) {
      converter_ = field.converter;
    } else if (const Converter* shared = SharedConverter(field.type.kind); shared != nullptr) {
      converter_ = shared;
    } else {
      owned_ = CreateConverter(field.type, field.vectorOps);
      converter_ = owned_;
    }
  }
  ~FieldConverter() { delete owned_; }
  FieldConverter(const FieldConverter&) = delete;
  FieldConverter& operator=(const FieldConverter&) = delete;

  const Converter* get() const { return converter_; }

 private:
  const Converter* converter_ = nullptr;
  Converter* owned_ = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// Shared messages

namespace convert_detail {

void FailRequired(ValueResult& result, std::string_view name) { Fail(result, kRequired, name); }

void FailNotCollection(ValueResult& result, std::string_view name) { Fail(result, kNotCollection, name); }

void FailLike(ValueResult& result, const ValueResult& failed) { result.Fail(failed.ErrorMessage()); }

}  // namespace convert_detail

// ---------------------------------------------------------------------------
// Factory

Converter* CreateConverter(const TypeRef& type, const NativeVectorOps* vectorOps) {
  switch (type.kind) {
    case TypeKind::Bool:
      return new BoolConverter();
    case TypeKind::Int8:
      return new SignedConverter<int8_t>();
    case TypeKind::UInt8:
      return new UnsignedConverter<uint8_t>();
    case TypeKind::Int16:
      return new SignedConverter<int16_t>();
    case TypeKind::UInt16:
      return new UnsignedConverter<uint16_t>();
    case TypeKind::Int32:
      return new SignedConverter<int32_t>();
    case TypeKind::UInt32:
      return new UnsignedConverter<uint32_t>();
    case TypeKind::Int64:
      return new SignedConverter<int64_t>();
    case TypeKind::UInt64:
      return new UnsignedConverter<uint64_t>();
    case TypeKind::Float:
      return new FloatingConverter<float>();
    case TypeKind::Double:
      return new FloatingConverter<double>();
    case TypeKind::String:
      return new StringConverter();
    case TypeKind::Object:
      return new ObjectConverter();
    case TypeKind::Blob:
      return new BlobConverter();
    case TypeKind::Enum:
      return new EnumConverter(type.descriptor);
    case TypeKind::Struct:
      return new StructConverter(type.descriptor);
    case TypeKind::Vector:
      if (vectorOps == nullptr || !IsVectorElementKind(type.elementKind)) return nullptr;
      return new VectorConverter(type.elementKind, type.descriptor, vectorOps);
    default:
      return nullptr;
  }
}

void InstallConverters(TypeRegistry& registry) { registry.SetConverterFactory(&CreateConverterFactory); }

const Converter* SharedConverter(TypeKind kind) {
  static const BoolConverter kBool;
  static const SignedConverter<int8_t> kInt8;
  static const UnsignedConverter<uint8_t> kUInt8;
  static const SignedConverter<int16_t> kInt16;
  static const UnsignedConverter<uint16_t> kUInt16;
  static const SignedConverter<int32_t> kInt32;
  static const UnsignedConverter<uint32_t> kUInt32;
  static const SignedConverter<int64_t> kInt64;
  static const UnsignedConverter<uint64_t> kUInt64;
  static const FloatingConverter<float> kFloat;
  static const FloatingConverter<double> kDouble;
  static const StringConverter kString;
  static const ObjectConverter kObject;
  static const BlobConverter kBlob;
  static const EnumConverter kEnum(nullptr);
  static const StructConverter kStruct(nullptr);
  switch (kind) {
    case TypeKind::Bool:
      return &kBool;
    case TypeKind::Int8:
      return &kInt8;
    case TypeKind::UInt8:
      return &kUInt8;
    case TypeKind::Int16:
      return &kInt16;
    case TypeKind::UInt16:
      return &kUInt16;
    case TypeKind::Int32:
      return &kInt32;
    case TypeKind::UInt32:
      return &kUInt32;
    case TypeKind::Int64:
      return &kInt64;
    case TypeKind::UInt64:
      return &kUInt64;
    case TypeKind::Float:
      return &kFloat;
    case TypeKind::Double:
      return &kDouble;
    case TypeKind::String:
      return &kString;
    case TypeKind::Object:
      return &kObject;
    case TypeKind::Blob:
      return &kBlob;
    case TypeKind::Enum:
      return &kEnum;
    case TypeKind::Struct:
      return &kStruct;
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Reading

bool ReadBool(ValueResult& result, bool& out, const Value& input, std::string_view name) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Bool:
      out = input.AsBool();
      return true;
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      if (text == "true" || text == "1") {
        out = true;
        return true;
      }
      if (text == "false" || text == "0") {
        out = false;
        return true;
      }
      return Fail(result, kBoolFormat, text, name);
    }
    default:
      return Fail(result, kBoolInvalidType, name, KindName(input));
  }
}

bool ReadSigned(ValueResult& result, int64_t& out, const Value& input, std::string_view name, int64_t min, int64_t max,
                const char* typeName) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed: {
      const int64_t v = input.AsSigned();
      if (v < min || v > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      if (max < 0 || v > static_cast<uint64_t>(max)) return Fail(result, kOutOfRange, v, name, typeName);
      out = static_cast<int64_t>(v);
      return true;
    }
    case ValueKind::Float: {
      const double x = input.AsFloat();
      // The upper bound of int64 rounds up to 2^63 as a double, which no
      // longer fits: that one is excluded explicitly. A NaN fails every test.
      if (!(x >= static_cast<double>(min) && x <= static_cast<double>(max) && x < kTwoPow63)) {
        return Fail(result, kOutOfRange, x, name, typeName);
      }
      out = static_cast<int64_t>(x);
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      int64_t v = 0;
      switch (ParseSigned(text, v)) {
        case Parse::OutOfRange:
          return Fail(result, kOutOfRange, text, name, typeName);
        case Parse::BadFormat:
          return Fail(result, kIncorrectFormat, text, name, typeName);
        case Parse::Ok:
          break;
      }
      if (v < min || v > max) return Fail(result, kOutOfRange, text, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      if (n < min || n > max) return Fail(result, kOutOfRange, n, name, typeName);
      out = n;
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, typeName, KindName(input));
  }
}

bool ReadUnsigned(ValueResult& result, uint64_t& out, const Value& input, std::string_view name, uint64_t max,
                  const char* typeName) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed: {
      const int64_t v = input.AsSigned();
      if (v < 0 || static_cast<uint64_t>(v) > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = static_cast<uint64_t>(v);
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      if (v > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Float: {
      const double x = input.AsFloat();
      if (!(x >= 0.0 && x <= static_cast<double>(max) && x < kTwoPow64)) {
        return Fail(result, kOutOfRange, x, name, typeName);
      }
      out = static_cast<uint64_t>(x);
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      uint64_t v = 0;
      switch (ParseUnsigned(text, v)) {
        case Parse::OutOfRange:
          return Fail(result, kOutOfRange, text, name, typeName);
        case Parse::BadFormat:
          return Fail(result, kIncorrectFormat, text, name, typeName);
        case Parse::Ok:
          break;
      }
      if (v > max) return Fail(result, kOutOfRange, text, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      if (n < 0 || static_cast<uint64_t>(n) > max) return Fail(result, kOutOfRange, n, name, typeName);
      out = static_cast<uint64_t>(n);
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, typeName, KindName(input));
  }
}

bool ReadFloating(ValueResult& result, double& out, const Value& input, std::string_view name, double min, double max,
                  const char* typeName) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed: {
      const int64_t v = input.AsSigned();
      const double x = static_cast<double>(v);
      if (x < min || x > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = x;
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      const double x = static_cast<double>(v);
      if (x < min || x > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = x;
      return true;
    }
    case ValueKind::Float: {
      const double x = input.AsFloat();
      if (x < min || x > max) return Fail(result, kOutOfRange, x, name, typeName);  // a NaN passes
      out = x;
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      double x = 0;
      switch (ParseDouble(text, x)) {
        case Parse::OutOfRange:
          return Fail(result, kOutOfRange, text, name, typeName);
        case Parse::BadFormat:
          return Fail(result, kIncorrectFormat, text, name, typeName);
        case Parse::Ok:
          break;
      }
      if (x < min || x > max) return Fail(result, kOutOfRange, text, name, typeName);
      out = x;
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      const double x = static_cast<double>(n);
      if (x < min || x > max) return Fail(result, kOutOfRange, n, name, typeName);
      out = x;
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, typeName, KindName(input));
  }
}

bool ReadString(ValueResult& result, String& out, const Value& input, std::string_view name,
                const TypeRegistry* registry) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      out.assign(text.data(), text.size());
      return true;
    }
    case ValueKind::Enum: {
      const EnumValue e = input.AsEnum();
      const EnumeratorDescriptor* enumerator =
          registry != nullptr && e.type != nullptr ? registry->FindEnumerator(*e.type, e.number) : nullptr;
      if (enumerator == nullptr) return Fail(result, kNotEnumeratorOfAny, e.number, name);
      out = enumerator->name;
      return true;
    }
    default:
      return Fail(result, kNotString, name);
  }
}

bool ReadBlob(ValueResult& result, Vector<uint8_t>& out, const Value& input, std::string_view name) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Blob: {
      const auto bytes = input.AsBlob();
      out.assign(bytes.begin(), bytes.end());
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      out.assign(reinterpret_cast<const uint8_t*>(text.data()),
                 reinterpret_cast<const uint8_t*>(text.data()) + text.size());
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, TypeKindName(TypeKind::Blob), KindName(input));
  }
}

bool ReadObject(ValueResult& result, Value& out, const Value& input, std::string_view) {
  if (!result.Succeeded()) return false;
  out.CopyFrom(input);
  return true;
}

bool ReadEnum(ValueResult& result, int32_t& out, const Value& input, std::string_view name,
              const TypeDescriptor* descriptor) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed:
    case ValueKind::Unsigned:
    case ValueKind::String:
    case ValueKind::Enum:
      break;
    default:
      return Fail(result, kEnumInvalidType, name, KindName(input));
  }
  if (descriptor == nullptr || !descriptor->isEnum) return Fail(result, kEnumUnregistered, name);
  const std::string_view enumName(descriptor->name.data(), descriptor->name.size());
  switch (input.Kind()) {
    case ValueKind::Signed: {
      // Compared as 64-bit numbers: 2^32 + 1 must not pass for 1.
      const int64_t v = input.AsSigned();
      if (v < INT32_MIN || v > INT32_MAX || !descriptor->IsEnumerator(static_cast<int32_t>(v))) {
        return Fail(result, kNotEnumerator, v, enumName, name);
      }
      out = static_cast<int32_t>(v);
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      if (v > static_cast<uint64_t>(INT32_MAX) || !descriptor->IsEnumerator(static_cast<int32_t>(v))) {
        return Fail(result, kNotEnumerator, v, enumName, name);
      }
      out = static_cast<int32_t>(v);
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      if (!descriptor->IsEnumerator(n)) return Fail(result, kNotEnumerator, n, enumName, name);
      out = n;
      return true;
    }
    default: {
      const std::string_view text = input.AsText();
      if (const EnumeratorDescriptor* e = descriptor->FindEnumerator(text); e != nullptr) {
        out = e->number;
        return true;
      }
      // A number in text form; its own failure message gives way to ours.
      ValueResult scratch;
      int64_t n = 0;
      if (ReadSigned(scratch, n, input, name, INT32_MIN, INT32_MAX, TypeKindName(TypeKind::Int32)) &&
          descriptor->IsEnumerator(static_cast<int32_t>(n))) {
        out = static_cast<int32_t>(n);
        return true;
      }
      return Fail(result, kNotEnumerator, text, enumName, name);
    }
  }
}

void ReadStruct(ValueResult& result, void* base, const Value& input, std::string_view name,
                const TypeDescriptor* descriptor, const TypeRegistry* registry, uintptr_t extra) {
  if (!result.Succeeded()) return;
  if (input.IsEmpty()) {
    Fail(result, kRequired, name);
    return;
  }
  if (descriptor == nullptr || descriptor->isEnum) {
    Fail(result, kUnregisteredStructure, name);
    return;
  }
  const std::string_view structName(descriptor->name.data(), descriptor->name.size());
  if (!input.IsStructure()) {
    Fail(result, kNotStructure, name, structName);
    return;
  }
  auto* bytes = static_cast<unsigned char*>(base);
  for (const FieldDescriptor& field : descriptor->fields) {
    if (!result.Succeeded()) return;
    const std::string_view fieldName(field.name.data(), field.name.size());
    const Value& member = input.FindMember(fieldName);
    if (member.IsEmpty()) {
      if ((field.flags & kFieldRequired) != 0) Fail(result, kMissingField, name, structName, fieldName);
      continue;
    }
    const FieldConverter converter(field);
    if (converter.get() == nullptr) {
      Fail(result, kNoConversion, fieldName, FullTypeName(field.type.kind, field.type.descriptor));
      return;
    }
    converter.get()->FromValue(result, bytes + field.offset, member, fieldName, field.type.descriptor, registry, extra);
  }
}

// ---------------------------------------------------------------------------
// Writing

void WriteEnum(ValueResult& result, int32_t number, const TypeId* type) {
  result.Clear();
  result.SetEnum(number, type != nullptr ? type : &NoNativeType());
}

void WriteStruct(ValueResult& result, const void* base, const TypeDescriptor* descriptor,
                 const TypeRegistry* registry) {
  result.Clear();
  if (descriptor == nullptr || descriptor->isEnum) {
    Fail(result, kWriteUnregistered);
    return;
  }
  result.MakeStructure();
  result.ReserveMembers(descriptor->fields.size());
  const auto* bytes = static_cast<const unsigned char*>(base);
  for (const FieldDescriptor& field : descriptor->fields) {
    const std::string_view fieldName(field.name.data(), field.name.size());
    const FieldConverter converter(field);
    if (converter.get() == nullptr) {
      Fail(result, kWriteNoConversion, fieldName);
      return;
    }
    ValueResult member;
    converter.get()->ToValue(member, bytes + field.offset, field.type.descriptor, registry);
    if (!member.Succeeded()) {
      convert_detail::FailLike(result, member);
      return;
    }
    if ((field.flags & kFieldOmitEmpty) != 0 && IsOmittable(member)) continue;
    result.AppendMember(fieldName) = static_cast<Value&&>(member);
  }
}

bool IsOmittable(const Value& value) {
  switch (value.Kind()) {
    case ValueKind::Empty:
      return true;
    case ValueKind::Bool:
      return !value.AsBool();
    case ValueKind::Signed:
      return value.AsSigned() == 0;
    case ValueKind::Unsigned:
      return value.AsUnsigned() == 0;
    case ValueKind::Float:
      return value.AsFloat() == 0.0;
    case ValueKind::Enum:
      return value.AsEnum().number == 0;
    default:
      return value.Size() == 0;
  }
}

}  // namespace kiv::binding
