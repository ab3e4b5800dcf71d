#include "value/convert.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <typeinfo>

#include "logging/format.h"
#include "value/convert_messages.h"
#include "value/walk_stack.h"

namespace kiv::binding {

namespace {

using namespace convert_detail;

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

ConverterPtr CreateConverterFactory(const TypeRef& type, const NativeVectorOps* vectorOps) {
  return CreateConverter(type, vectorOps);
}

// The converter a field is driven by: its own, or for fields registered
// before the factory was installed one made for the occasion.
class FieldConverter {
 public:
  explicit FieldConverter(const FieldDescriptor& field) {
    if (field.converter != nullptr) {
      converter_ = field.converter.get();
    } else if (const Converter* shared = SharedConverter(field.type.kind); shared != nullptr) {
      converter_ = shared;
    } else {
      owned_ = CreateConverter(field.type, field.vectorOps);
      converter_ = owned_.get();
    }
  }
  FieldConverter(const FieldConverter&) = delete;
  FieldConverter& operator=(const FieldConverter&) = delete;

  const Converter* get() const { return converter_; }

 private:
  const Converter* converter_ = nullptr;
  ConverterPtr owned_;
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

ConverterPtr CreateConverter(const TypeRef& type, const NativeVectorOps* vectorOps) {
  switch (type.kind) {
    case TypeKind::Bool:
      return ConverterPtr(new BoolConverter());
    case TypeKind::Int8:
      return ConverterPtr(new SignedConverter<int8_t>());
    case TypeKind::UInt8:
      return ConverterPtr(new UnsignedConverter<uint8_t>());
    case TypeKind::Int16:
      return ConverterPtr(new SignedConverter<int16_t>());
    case TypeKind::UInt16:
      return ConverterPtr(new UnsignedConverter<uint16_t>());
    case TypeKind::Int32:
      return ConverterPtr(new SignedConverter<int32_t>());
    case TypeKind::UInt32:
      return ConverterPtr(new UnsignedConverter<uint32_t>());
    case TypeKind::Int64:
      return ConverterPtr(new SignedConverter<int64_t>());
    case TypeKind::UInt64:
      return ConverterPtr(new UnsignedConverter<uint64_t>());
    case TypeKind::Float:
      return ConverterPtr(new FloatingConverter<float>());
    case TypeKind::Double:
      return ConverterPtr(new FloatingConverter<double>());
    case TypeKind::String:
      return ConverterPtr(new StringConverter());
    case TypeKind::Object:
      return ConverterPtr(new ObjectConverter());
    case TypeKind::Blob:
      return ConverterPtr(new BlobConverter());
    case TypeKind::Enum:
      return ConverterPtr(new EnumConverter(type.descriptor));
    case TypeKind::Struct:
      return ConverterPtr(new StructConverter(type.descriptor));
    case TypeKind::Vector:
      if (vectorOps == nullptr || !IsVectorElementKind(type.elementKind)) return nullptr;
      return ConverterPtr(new VectorConverter(type.elementKind, type.descriptor, vectorOps));
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
// Structures, read and written by the walks

void ReadStruct(ValueResult& result, void* base, const Value& input, std::string_view name,
                const TypeDescriptor* descriptor, const TypeRegistry* registry, uintptr_t extra) {
  ReadWalk walk(result, registry, extra);
  walk.OpenStruct(base, input, name, descriptor);
  walk.Run();
}

void WriteStruct(ValueResult& result, const void* base, const TypeDescriptor* descriptor,
                 const TypeRegistry* registry) {
  WriteWalk walk(result, registry);
  walk.Struct(base, descriptor);
  walk.Run();
}

}  // namespace kiv::binding
