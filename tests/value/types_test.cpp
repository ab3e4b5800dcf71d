#include "value/types.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "value/help_types.h"

namespace kiv::binding {
namespace {

enum class Color : int32_t { Red = 1, Green = 2 };

struct Inner {
  int32_t number = 0;
};

struct Base {
  uint32_t baseField = 0;
};

struct Record : Base {
  bool flag = false;
  String text;
  Inner inner;
  Vector<Inner> inners;
  Vector<String> texts;
  Value object;
  Color color = Color::Red;
  Vector<uint8_t> bytes;
  int64_t big = 0;
  double ratio = 0;
};

// Offsets measured on a live object, independent of MemberOffset.
template <typename S, typename F>
std::size_t OffsetIn(F S::*member) {
  static const S object{};
  return static_cast<std::size_t>(reinterpret_cast<const char*>(&(object.*member)) -
                                  reinterpret_cast<const char*>(&object));
}
template <typename F>
std::size_t OffsetIn(F Base::*member) {
  static const Record object{};
  return static_cast<std::size_t>(reinterpret_cast<const char*>(&(object.*member)) -
                                  reinterpret_cast<const char*>(&object));
}

TEST(TypeIds, NamedByIdOrBySignature) {
  static constexpr TypeId byId(11259375);
  EXPECT_STREQ(byId.name, "#00ABCDEF");
  EXPECT_EQ(byId.name, byId.idText);
  EXPECT_STREQ(NoNativeType().name, "#00000000");
  EXPECT_TRUE(NoNativeType().IsReserved());

  const TypeId& record = StaticType::Id<Record>();
  EXPECT_NE(std::string(record.name).find("Record"), std::string::npos);
  EXPECT_EQ(record.id, TypeIdFromSignature(record.name));
  EXPECT_EQ(&record, &StaticType::Id<const Record&>());  // one identity per type
  EXPECT_NE(record.id, StaticType::Id<Inner>().id);
  EXPECT_NE(StaticType::Id<int32_t>().id, StaticType::Id<uint32_t>().id);
  EXPECT_FALSE(record.IsReserved());
}

TEST(TypeKinds, NamesAndFullNames) {
  EXPECT_STREQ(TypeKindName(TypeKind::Bool), "bool");
  EXPECT_STREQ(TypeKindName(TypeKind::UInt16), "uint16");
  EXPECT_STREQ(TypeKindName(TypeKind::Object), "object");
  EXPECT_STREQ(TypeKindName(TypeKind::Callback), "callback");
  EXPECT_STREQ(TypeKindName(TypeKind::Map), "map");
  EXPECT_STREQ(TypeKindName(TypeKind::None), "");
  EXPECT_STREQ(TypeKindName(static_cast<TypeKind>(20)), "");
  EXPECT_STREQ(TypeKindName(static_cast<TypeKind>(-1)), "");

  EXPECT_EQ(FullTypeName(TypeKind::Enum, nullptr), "enum");
  EXPECT_EQ(FullTypeName(TypeKind::Struct, nullptr), "struct");
  TypeRegistry registry;
  registry.BeginStruct<Inner>("Message");
  const TypeDescriptor* message = registry.Find<Inner>();
  const BindingFullTypeIdentifier vectorOf = FullTypeIdentifier({TypeKind::Vector, TypeKind::Struct, message});
  EXPECT_EQ(vectorOf.type, "vector");
  EXPECT_EQ(vectorOf.elementType, "Message");
  const BindingFullTypeIdentifier plain = FullTypeIdentifier({TypeKind::Int32, TypeKind::None, nullptr});
  EXPECT_EQ(plain.type, "int32");
  EXPECT_EQ(plain.elementType, "");
  EXPECT_EQ(FullTypeIdentifier({TypeKind::Struct, TypeKind::None, message}).type, "Message");
  EXPECT_EQ(FullTypeIdentifier({TypeKind::Map, TypeKind::String, nullptr}).elementType, "string");
}

TEST(TypeRegistry, RegistrationIsIdempotentByName) {
  TypeRegistry registry;
  auto first = registry.BeginEnum<Color>("Color");
  EXPECT_TRUE(first.IsNew());
  first.Enumerator("Red", Color::Red).Enumerator("Green", Color::Green).Description("Colours.").Tag("t");

  auto second = registry.BeginEnum<Color>("Color");
  EXPECT_TRUE(second.exists);
  EXPECT_EQ(second.descriptor, first.descriptor);
  second.Enumerator("Blue", static_cast<Color>(3)).Description("changed").Tag("u");
  second.AddField("f", "", 0, StaticType::Id<int32_t>(), {TypeKind::Int32}, {}, 0, nullptr);

  const TypeDescriptor* color = registry.FindByName("Color");
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(color->enumerators.size(), 2u);
  EXPECT_EQ(color->description, "Colours.");
  EXPECT_EQ(color->tags.size(), 1u);
  EXPECT_TRUE(color->fields.empty());
  EXPECT_EQ(registry.Count(), 1u);
  EXPECT_EQ(registry.Find<Color>(), color);
  EXPECT_TRUE(color->isEnum);
  EXPECT_EQ(color->size, 4u);
  EXPECT_EQ(color->registry, &registry);
  EXPECT_EQ(color->id, StaticType::Id<Color>().id);
}

TEST(TypeRegistry, LookupsByIdAndName) {
  TypeRegistry registry;
  registry.BeginType(8, "Unbound", NoNativeType(), false);
  EXPECT_NE(registry.FindByName("Unbound"), nullptr);
  EXPECT_EQ(registry.FindById(NoNativeType()), nullptr);  // found by name only
  EXPECT_EQ(registry.FindByName("unbound"), nullptr);     // case-sensitive

  static constexpr TypeId numbered(0x1234);
  registry.BeginType(4, "Numbered", numbered, false);
  static constexpr TypeId sameNumber(0x1234);  // another record, same identity
  EXPECT_EQ(registry.FindById(sameNumber), registry.FindByName("Numbered"));

  // A different type whose id happens to be the same is not mistaken for it.
  static constexpr TypeId first(77, "signature one");
  static constexpr TypeId clash(77, "signature two");
  EXPECT_EQ(registry.BeginType(4, "First", first, false).errorCode, kBuilderOk);
  EXPECT_EQ(registry.BeginType(4, "Clash", clash, false).errorCode, kBuilderIdCollision);
  EXPECT_EQ(registry.FindById(first), registry.FindByName("First"));
  EXPECT_EQ(registry.FindById(clash), nullptr);
  EXPECT_NE(registry.FindByName("Clash"), nullptr);

  const auto all = registry.Descriptors();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0]->name, "Unbound");
  EXPECT_EQ(all[3]->name, "Clash");
}

TEST(TypeRegistry, EnumeratorLookups) {
  TypeRegistry registry;
  auto b = registry.BeginEnum<Color>("Color");
  b.AddEnumerator("Red", 1, "first");
  b.AddEnumerator("Crimson", 1, "same number, earlier name");
  b.AddEnumerator("Green", 2);
  b.AddEnumerator("Red", 5, "replaced");
  b.AddTag("");
  const TypeDescriptor* color = b.descriptor;
  EXPECT_TRUE(color->tags.empty());
  ASSERT_EQ(color->enumerators.size(), 3u);
  const EnumeratorDescriptor* red = color->FindEnumerator("Red");
  ASSERT_NE(red, nullptr);
  EXPECT_EQ(red->number, 5);
  EXPECT_EQ(red->description, "replaced");
  EXPECT_EQ(red->owner, color);
  EXPECT_EQ(color->FindEnumerator("red"), nullptr);
  EXPECT_EQ(color->FindEnumerator(1)->name, "Crimson");
  EXPECT_TRUE(color->IsEnumerator(2));
  EXPECT_FALSE(color->IsEnumerator(3));
  EXPECT_EQ(registry.FindEnumerator(StaticType::Id<Color>(), 5)->name, "Red");
  EXPECT_EQ(registry.FindEnumerator(StaticType::Id<Color>(), 9), nullptr);
  EXPECT_EQ(registry.FindEnumerator(StaticType::Id<Inner>(), 1), nullptr);
  // Name order is byte order.
  std::string order;
  for (const auto& [name, e] : color->enumerators) order += name + ";";
  EXPECT_EQ(order, "Crimson;Green;Red;");
}

int g_converters = 0;
class CountingConverter : public Converter {
 public:
  explicit CountingConverter(TypeRef type) : type_(type) { ++g_converters; }
  ~CountingConverter() override { --g_converters; }
  void FromValue(ValueResult&, void*, const Value&, std::string_view, const TypeDescriptor*, const TypeRegistry*,
                 uintptr_t) const override {}
  void ToValue(ValueResult&, const void*, const TypeDescriptor*, const TypeRegistry*) const override {}
  TypeRef type_;
};

TEST(TypeBuilders, FieldsComeFromTheNativeStructure) {
  g_converters = 0;
  {
    TypeRegistry registry;
    const NativeVectorOps* seenOps = nullptr;
    static const NativeVectorOps** seen = &seenOps;
    registry.SetConverterFactory([](const TypeRef& type, const NativeVectorOps* ops) -> ConverterPtr {
      if (ops != nullptr) *seen = ops;
      return std::make_unique<CountingConverter>(type);
    });
    registry.BeginEnum<Color>("Color").Enumerator("Red", Color::Red);
    registry.BeginStruct<Inner>("Inner").Field("number", &Inner::number);
    auto b = registry.BeginStruct<Record>("Record");
    b.Field("baseField", &Record::baseField)
        .Field("flag", &Record::flag, "A flag.", {.flags = kFieldRequired})
        .Field("text", &Record::text, "", {.flags = kFieldOmitEmpty, .declaredType = {TypeKind::Int32}})
        .Field("inner", &Record::inner)
        .Field("inners", &Record::inners)
        .Field("texts", &Record::texts)
        .Field("object", &Record::object)
        .Field("color", &Record::color)
        .Field("bytes", &Record::bytes)
        .Field("big", &Record::big)
        .Field("ratio", &Record::ratio);
    EXPECT_EQ(b.errorCode, kBuilderOk);
    const TypeDescriptor* record = registry.Find<Record>();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->size, sizeof(Record));
    ASSERT_EQ(record->fields.size(), 11u);
    const TypeDescriptor* inner = registry.Find<Inner>();
    const TypeDescriptor* color = registry.Find<Color>();

    struct Expected {
      const char* name;
      std::size_t offset;
      TypeKind kind;
      TypeKind element;
      const TypeDescriptor* descriptor;
    };
    const Expected expected[] = {
        {"baseField", OffsetIn(&Record::baseField), TypeKind::UInt32, TypeKind::None, nullptr},
        {"flag", OffsetIn(&Record::flag), TypeKind::Bool, TypeKind::None, nullptr},
        {"text", OffsetIn(&Record::text), TypeKind::String, TypeKind::None, nullptr},
        {"inner", OffsetIn(&Record::inner), TypeKind::Struct, TypeKind::None, inner},
        {"inners", OffsetIn(&Record::inners), TypeKind::Vector, TypeKind::Struct, inner},
        {"texts", OffsetIn(&Record::texts), TypeKind::Vector, TypeKind::String, nullptr},
        {"object", OffsetIn(&Record::object), TypeKind::Object, TypeKind::None, nullptr},
        {"color", OffsetIn(&Record::color), TypeKind::Enum, TypeKind::None, color},
        {"bytes", OffsetIn(&Record::bytes), TypeKind::Blob, TypeKind::None, nullptr},
        {"big", OffsetIn(&Record::big), TypeKind::Int64, TypeKind::None, nullptr},
        {"ratio", OffsetIn(&Record::ratio), TypeKind::Double, TypeKind::None, nullptr},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
      const FieldDescriptor& f = record->fields[i];
      SCOPED_TRACE(expected[i].name);
      EXPECT_EQ(f.name, expected[i].name);
      EXPECT_EQ(f.nameHash, Fnv1a(expected[i].name));
      EXPECT_EQ(f.offset, expected[i].offset);
      EXPECT_EQ(f.type.kind, expected[i].kind);
      EXPECT_EQ(f.type.elementKind, expected[i].element);
      EXPECT_EQ(f.type.descriptor, expected[i].descriptor);
      EXPECT_EQ(f.owner, record);
      ASSERT_NE(f.converter, nullptr);
      EXPECT_EQ(static_cast<CountingConverter*>(f.converter.get())->type_.kind, expected[i].kind);
    }
    EXPECT_EQ(record->fields[1].flags, kFieldRequired);
    EXPECT_EQ(record->fields[1].description, "A flag.");
    EXPECT_EQ(record->fields[2].declaredType.kind, TypeKind::Int32);
    EXPECT_EQ(record->fields[0].typeId, &StaticType::Id<uint32_t>());
    EXPECT_EQ(record->FindField("color"), &record->fields[7]);
    EXPECT_EQ(record->FindField("Color"), nullptr);

    // The vector operations reach the native vector.
    const NativeVectorOps* ops = record->fields[4].vectorOps;
    ASSERT_NE(ops, nullptr);
    EXPECT_EQ(seenOps, record->fields[8].vectorOps);
    Record native;
    void* inners = reinterpret_cast<char*>(&native) + record->fields[4].offset;
    ops->resize(inners, 3);
    EXPECT_EQ(native.inners.size(), 3u);
    EXPECT_EQ(ops->size(inners), 3u);
    EXPECT_EQ(ops->data(inners), native.inners.data());
    EXPECT_EQ(ops->elementSize, sizeof(Inner));
    ops->clear(inners);
    EXPECT_TRUE(native.inners.empty());

    // A second registration adds nothing and leaks no converter.
    registry.BeginStruct<Record>("Record").Field(
        "flag", &Record::flag, "", {.converter = std::make_unique<CountingConverter>(TypeRef{TypeKind::Bool})});
    EXPECT_EQ(record->fields.size(), 11u);
    EXPECT_EQ(g_converters, 12);
  }
  EXPECT_EQ(g_converters, 0);  // owned by their fields
}

TEST(TypeBuilders, FieldOfAnUnregisteredTypeIsReported) {
  TypeRegistry registry;
  auto b = registry.BeginStruct<Record>("Record");
  b.Field("inner", &Record::inner).Field("flag", &Record::flag);
  EXPECT_EQ(b.errorCode, kBuilderUnregisteredFieldType);
  EXPECT_EQ(b.descriptor->fields[0].type.kind, TypeKind::Struct);
  EXPECT_EQ(b.descriptor->fields[0].type.descriptor, nullptr);
  EXPECT_EQ(b.descriptor->fields[0].converter, nullptr);  // no factory installed
}

TEST(HelpTypes, RegisteredWithTheirShapes) {
  TypeRegistry registry;
  RegisterHelpTypes(registry);
  RegisterHelpTypes(registry);
  EXPECT_EQ(registry.Count(), 9u);

  const TypeDescriptor* format = registry.FindByName("BindingHelpFormat");
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->enumerators.size(), 2u);
  EXPECT_EQ(format->FindEnumerator("Epytext")->number, 2);
  EXPECT_EQ(format->FindEnumerator("Full")->description, "Native help format");
  EXPECT_EQ(format->description, "Help format for binding functions and types.");

  const TypeDescriptor* function = registry.FindByName("BindingFullFunctionHelp");
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(function->size, sizeof(BindingFullFunctionHelp));
  if (sizeof(void*) == 4) {
    EXPECT_EQ(function->size, 196u);
  }
  EXPECT_EQ(function->description, "Describes a function.");
  ASSERT_EQ(function->tags.size(), 2u);
  EXPECT_EQ(function->tags[0], "$builtin");
  EXPECT_EQ(function->tags[1], "help");
  EXPECT_TRUE(function->nameSpace.empty());
  std::string names;
  for (const FieldDescriptor& f : function->fields) names += f.name + ",";
  EXPECT_EQ(names, "name,nameSpace,arguments,returns,description,help,threadSafe,async,tags,");
  EXPECT_EQ(function->fields[2].type.elementKind, TypeKind::Struct);
  EXPECT_EQ(function->fields[2].type.descriptor, registry.FindByName("BindingFullArgumentHelp"));
  EXPECT_EQ(function->fields[3].type.descriptor, registry.FindByName("BindingFullTypeIdentifier"));
  EXPECT_EQ(function->fields[8].type.elementKind, TypeKind::String);
  EXPECT_EQ(function->fields[6].offset, OffsetIn(&BindingFullFunctionHelp::threadSafe));

  const TypeDescriptor* api = registry.FindByName("BindingFullApiHelp");
  ASSERT_NE(api, nullptr);
  EXPECT_EQ(api->fields[1].type.descriptor, registry.FindByName("BindingFullTypeHelp"));
  EXPECT_EQ(api->fields[2].type.descriptor, registry.FindByName("BindingFullEventHelp"));
  EXPECT_EQ(registry.FindByName("BindingFullTypeHelp")->fields[5].type.descriptor,
            registry.FindByName("BindingFullFieldHelp"));
  EXPECT_EQ(registry.FindByName("BindingFullEnumValueHelp")->fields[2].type.kind, TypeKind::Int32);
  EXPECT_EQ(registry.FindByName("BindingFullFieldHelp")->fields[2].type.kind, TypeKind::UInt32);
}

TEST(TypeRegistry, ConcurrentRegistrationKeepsOneDescriptorPerName) {
  TypeRegistry registry;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&registry] {
      for (int i = 0; i < 200; ++i) {
        registry.BeginType(4, "T" + std::to_string(i), NoNativeType(), false).AddTag("x");
        EXPECT_NE(registry.FindByName("T" + std::to_string(i)), nullptr);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(registry.Count(), 200u);
  for (const TypeDescriptor* d : registry.Descriptors()) EXPECT_EQ(d->tags.size(), 1u);
}

}  // namespace
}  // namespace kiv::binding
