#include "value/convert.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <typeinfo>

#include "value/walk_stack.h"
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

// Structures and vectors hand their work to the walks further down, which
// never call these two converters from inside each other.
class StructConverter;
class VectorConverter;
void ReadVector(ValueResult& result, const VectorConverter& vector, void* native, const Value& input,
                std::string_view name, const TypeDescriptor* type, const TypeRegistry* registry, uintptr_t extra);
void WriteVector(ValueResult& result, const VectorConverter& vector, const void* native, const TypeDescriptor* type,
                 const TypeRegistry* registry);

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

  const TypeDescriptor* descriptor() const { return descriptor_; }

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
    ReadVector(result, *this, native, input, name, type, registry, extra);
  }
  void ToValue(ValueResult& result, const void* native, const TypeDescriptor* type,
               const TypeRegistry* registry) const override {
    WriteVector(result, *this, native, type, registry);
  }

  const Converter* element() const { return element_; }
  const TypeDescriptor* descriptor() const { return descriptor_; }
  const NativeVectorOps& ops() const { return *ops_; }

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

// ---------------------------------------------------------------------------
// Walks over structures and vectors
//
// A structure may hold a vector of its own type, so native data nests as
// deep as the values it is read from or the program builds. Reading and
// writing therefore keep the open structures and vectors on a stack of their
// own: the structure and vector converters above are recognised and opened
// here instead of being called, and only converters of other kinds (which
// do not nest) are called.

const StructConverter* AsStructConverter(const Converter& converter) {
  return typeid(converter) == typeid(StructConverter) ? static_cast<const StructConverter*>(&converter) : nullptr;
}

const VectorConverter* AsVectorConverter(const Converter& converter) {
  return typeid(converter) == typeid(VectorConverter) ? static_cast<const VectorConverter*>(&converter) : nullptr;
}

std::string_view NameOf(const TypeDescriptor& descriptor) {
  return std::string_view(descriptor.name.data(), descriptor.name.size());
}

// An open structure (no element converter) or vector being read. No member
// initialisers: the inline frames of a walk are set when pushed, not before.
struct ReadFrame {
  unsigned char* native;             // the structure, or the first vector element
  const TypeDescriptor* descriptor;  // the structure's, or the elements' type
  const Converter* element;
  bool elementsNest;  // the elements are structures
  std::size_t elementSize;
  const Value* input;  // the Structure, or the first input element
  std::size_t count;   // input elements
  std::size_t next;    // field or element
  std::string_view name;
};

// Whether a field or element of this kind may be one of the converters the
// walks open themselves; for the other kinds a plain call is enough.
bool MayNest(TypeKind kind) { return kind == TypeKind::Struct || kind == TypeKind::Vector; }

class ReadWalk {
 public:
  ReadWalk(ValueResult& result, const TypeRegistry* registry, uintptr_t extra)
      : result_(result), registry_(registry), extra_(extra) {}

  void OpenStruct(void* base, const Value& input, std::string_view name, const TypeDescriptor* descriptor) {
    if (!result_.Succeeded()) return;
    if (input.IsEmpty()) {
      Fail(result_, kRequired, name);
      return;
    }
    if (descriptor == nullptr || descriptor->isEnum) {
      Fail(result_, kUnregisteredStructure, name);
      return;
    }
    if (!input.IsStructure()) {
      Fail(result_, kNotStructure, name, NameOf(*descriptor));
      return;
    }
    frames_.Push() = ReadFrame{static_cast<unsigned char*>(base), descriptor, nullptr, false, 0, &input, 0, 0, name};
  }

  void OpenVector(const VectorConverter& vector, void* native, const Value& input, std::string_view name,
                  const TypeDescriptor* type) {
    if (!result_.Succeeded()) return;
    const NativeVectorOps& ops = vector.ops();
    ops.clear(native);
    if (!input.IsCollection()) {
      Fail(result_, kNotCollection, name);
      return;
    }
    const auto elements = input.Elements();
    ops.resize(native, elements.size());
    frames_.Push() = ReadFrame{static_cast<unsigned char*>(ops.data(native)),
                               type != nullptr ? type : vector.descriptor(),
                               vector.element(),
                               AsStructConverter(*vector.element()) != nullptr,
                               ops.elementSize,
                               elements.data(),
                               elements.size(),
                               0,
                               name};
  }

  // Reads every open structure and vector to its end or to the first failure.
  void Run() {
    while (!frames_.empty() && result_.Succeeded()) {
      ReadFrame& top = frames_.back();
      // Each step reads on until it opens a structure or vector, which then
      // is the top, or until the frame is done.
      if (top.element == nullptr ? ReadFields(top) : ReadElements(top)) frames_.Pop();
    }
  }

 private:
  // True once every field is read; false when a structure or vector was
  // opened (`top` may have moved then) or the result failed.
  bool ReadFields(ReadFrame& top) {
    const auto& fields = top.descriptor->fields;
    while (top.next < fields.size()) {
      if (!result_.Succeeded()) return false;
      const FieldDescriptor& field = fields[top.next++];
      const std::string_view fieldName(field.name.data(), field.name.size());
      const Value& member = top.input->FindMember(fieldName);
      if (member.IsEmpty()) {
        if ((field.flags & kFieldRequired) != 0) {
          Fail(result_, kMissingField, top.name, NameOf(*top.descriptor), fieldName);
        }
        continue;
      }
      const FieldConverter converter(field);
      if (converter.get() == nullptr) {
        Fail(result_, kNoConversion, fieldName, FullTypeName(field.type.kind, field.type.descriptor));
        return false;
      }
      unsigned char* native = top.native + field.offset;
      if (MayNest(field.type.kind) && Open(*converter.get(), native, member, fieldName, field.type.descriptor)) {
        return false;
      }
      converter.get()->FromValue(result_, native, member, fieldName, field.type.descriptor, registry_, extra_);
    }
    return true;
  }

  // The same for the elements of a vector.
  bool ReadElements(ReadFrame& top) {
    while (top.next < top.count) {
      if (!result_.Succeeded()) return false;
      const std::size_t i = top.next++;
      const Value& element = top.input[i];
      if (element.IsEmpty()) continue;
      unsigned char* native = top.native + i * top.elementSize;
      if (top.elementsNest && Open(*top.element, native, element, top.name, top.descriptor)) return false;
      top.element->FromValue(result_, native, element, top.name, top.descriptor, registry_, extra_);
    }
    return true;
  }

  // Opens `input` for the structure or vector converter of this file; false
  // for any other converter, which is then simply called.
  bool Open(const Converter& converter, void* native, const Value& input, std::string_view name,
            const TypeDescriptor* type) {
    if (const StructConverter* s = AsStructConverter(converter)) {
      OpenStruct(native, input, name, type != nullptr ? type : s->descriptor());
      return true;
    }
    if (const VectorConverter* v = AsVectorConverter(converter)) {
      OpenVector(*v, native, input, name, type);
      return true;
    }
    return false;
  }

  ValueResult& result_;
  const TypeRegistry* registry_;
  uintptr_t extra_;
  WalkStack<ReadFrame> frames_;
};

// An open structure (no element converter) or vector being written. It is
// built in place: into the caller's result, or into its member or element
// of the level below, which was given room for all of them when opened. A
// structure field left out when empty is built aside first, since whether
// it is empty is known only once it is whole.
struct WriteFrame {
  const unsigned char* native = nullptr;       // the structure, or the first vector element
  const TypeDescriptor* descriptor = nullptr;  // the structure's, or the elements' type
  const Converter* element = nullptr;
  std::size_t elementSize = 0;
  std::size_t count = 0;  // vector elements
  std::size_t next = 0;   // field or element
  Value* out = nullptr;   // null when built aside
  std::string_view member;
  ValueResult aside;
};

class WriteWalk {
 public:
  WriteWalk(ValueResult& result, const TypeRegistry* registry) : result_(result), registry_(registry) {}

  void Struct(const void* base, const TypeDescriptor* descriptor) {
    result_.Clear();
    OpenStruct(&result_, base, descriptor, {});
  }

  void Vector(const VectorConverter& vector, const void* native, const TypeDescriptor* type) {
    result_.Clear();
    OpenVector(result_, vector, native, type);
  }

  // Writes every open structure and vector to its end or to the first
  // failure, which becomes the failure of the caller's result.
  void Run() {
    while (!frames_.empty() && result_.Succeeded()) {
      WriteFrame& top = frames_.back();
      Value& out = Out(top);
      if (top.element == nullptr) {
        const auto& fields = top.descriptor->fields;
        if (top.next == fields.size()) {
          Close();
          continue;
        }
        const FieldDescriptor& field = fields[top.next++];
        const std::string_view fieldName(field.name.data(), field.name.size());
        const FieldConverter converter(field);
        if (converter.get() == nullptr) {
          Fail(result_, kWriteNoConversion, fieldName);
          return;
        }
        const unsigned char* native = top.native + field.offset;
        const bool omitEmpty = (field.flags & kFieldOmitEmpty) != 0;
        // `top` is not used past this point: opening may move the frames.
        const StructConverter* s = MayNest(field.type.kind) ? AsStructConverter(*converter.get()) : nullptr;
        const VectorConverter* v =
            s == nullptr && MayNest(field.type.kind) ? AsVectorConverter(*converter.get()) : nullptr;
        if (s != nullptr) {
          const TypeDescriptor* descriptor = field.type.descriptor != nullptr ? field.type.descriptor : s->descriptor();
          OpenStruct(omitEmpty ? nullptr : &out.AppendMember(fieldName), native, descriptor, fieldName);
          continue;
        }
        if (v != nullptr) {
          // An empty vector writes an empty Collection, the one that is left out.
          if (omitEmpty && v->ops().size(native) == 0) continue;
          OpenVector(out.AppendMember(fieldName), *v, native, field.type.descriptor);
          continue;
        }
        ValueResult member;
        converter.get()->ToValue(member, native, field.type.descriptor, registry_);
        if (!member.Succeeded()) {
          convert_detail::FailLike(result_, member);
          return;
        }
        if (omitEmpty && IsOmittable(member)) continue;
        out.AppendMember(fieldName) = static_cast<Value&&>(member);
      } else {
        if (top.next == top.count) {
          Close();
          continue;
        }
        const unsigned char* native = top.native + top.next++ * top.elementSize;
        const Converter& element = *top.element;
        const TypeDescriptor* type = top.descriptor;
        // Elements are never vectors themselves.
        if (const StructConverter* s = AsStructConverter(element)) {
          OpenStruct(&out.Append(), native, type != nullptr ? type : s->descriptor(), {});
          continue;
        }
        ValueResult item;
        element.ToValue(item, native, type, registry_);
        if (!item.Succeeded()) {
          convert_detail::FailLike(result_, item);
          return;
        }
        out.Append() = static_cast<Value&&>(item);
      }
    }
  }

 private:
  static Value& Out(WriteFrame& frame) { return frame.out != nullptr ? *frame.out : frame.aside; }

  // `out` null: built aside, to become member `member` of the level below
  // unless it is empty.
  void OpenStruct(Value* out, const void* base, const TypeDescriptor* descriptor, std::string_view member) {
    if (descriptor == nullptr || descriptor->isEnum) {
      Fail(result_, kWriteUnregistered);
      return;
    }
    WriteFrame& frame = frames_.Push();
    frame.native = static_cast<const unsigned char*>(base);
    frame.descriptor = descriptor;
    frame.element = nullptr;
    frame.elementSize = 0;
    frame.count = 0;
    frame.next = 0;
    frame.out = out;
    frame.member = member;
    if (out == nullptr) frame.aside.Clear();
    Value& target = Out(frame);
    target.MakeStructure();
    target.ReserveMembers(descriptor->fields.size());
  }

  void OpenVector(Value& out, const VectorConverter& vector, const void* native, const TypeDescriptor* type) {
    const NativeVectorOps& ops = vector.ops();
    const std::size_t count = ops.size(native);
    out.MakeCollection();
    if (count == 0) return;
    out.Reserve(count);
    WriteFrame& frame = frames_.Push();
    // The ops only hand out mutable data; nothing is written through it.
    frame.native = static_cast<const unsigned char*>(ops.data(const_cast<void*>(native)));
    frame.descriptor = type != nullptr ? type : vector.descriptor();
    frame.element = vector.element();
    frame.elementSize = ops.elementSize;
    frame.count = count;
    frame.next = 0;
    frame.out = &out;
    frame.member = {};
  }

  // The top frame is whole. Structures are put in key order here (fields
  // come in registration order), so that even readers that may not reorder
  // a value, such as the host records, see them sorted.
  void Close() {
    WriteFrame& done = frames_.back();
    if (done.element == nullptr) Out(done).FinishMembers();
    if (done.out == nullptr) {
      WriteFrame& below = frames_[frames_.size() - 2];
      if (!IsOmittable(done.aside)) Out(below).AppendMember(done.member) = static_cast<Value&&>(done.aside);
      done.aside.Reset();
    }
    frames_.Pop();
  }

  ValueResult& result_;
  const TypeRegistry* registry_;
  WalkStack<WriteFrame> frames_;
};

void ReadVector(ValueResult& result, const VectorConverter& vector, void* native, const Value& input,
                std::string_view name, const TypeDescriptor* type, const TypeRegistry* registry, uintptr_t extra) {
  ReadWalk walk(result, registry, extra);
  walk.OpenVector(vector, native, input, name, type);
  walk.Run();
}

void WriteVector(ValueResult& result, const VectorConverter& vector, const void* native, const TypeDescriptor* type,
                 const TypeRegistry* registry) {
  WriteWalk walk(result, registry);
  walk.Vector(vector, native, type);
  walk.Run();
}

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
  ReadWalk walk(result, registry, extra);
  walk.OpenStruct(base, input, name, descriptor);
  walk.Run();
}

// ---------------------------------------------------------------------------
// Writing

void WriteEnum(ValueResult& result, int32_t number, const TypeId* type) {
  result.Clear();
  result.SetEnum(number, type != nullptr ? type : &NoNativeType());
}

void WriteStruct(ValueResult& result, const void* base, const TypeDescriptor* descriptor,
                 const TypeRegistry* registry) {
  WriteWalk walk(result, registry);
  walk.Struct(base, descriptor);
  walk.Run();
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
