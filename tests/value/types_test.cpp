// The type registry, and the descriptors the builders take from native
// structures and enumerations.
#include "value/types.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "value/help_types.h"

namespace kiv::binding {
namespace {

enum class Color : int32_t { Red = 1, Green = 2 };
enum class Shade : int32_t {};

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
  Color color = Color::Red;
};

// Offsets measured on a live object, independent of how the builder finds them.
template <typename S, typename F>
std::size_t OffsetIn(F S::*member) {
  static const Record object{};
  return static_cast<std::size_t>(reinterpret_cast<const char*>(&(object.*member)) -
                                  reinterpret_cast<const char*>(&object));
}

TEST(TypeRegistry, RegistrationIsIdempotentByNameAndIdsNeverCollide) {
  TypeRegistry registry;
  auto first = registry.BeginEnum<Color>("Color");
  EXPECT_TRUE(first.IsNew());
  first.Enumerator("Red", Color::Red).Enumerator("Green", Color::Green).Description("Colours.").Tag("t");
  auto second = registry.BeginEnum<Color>("Color");
  EXPECT_EQ(second.descriptor, first.descriptor);
  second.Enumerator("Blue", static_cast<Color>(3)).Description("changed").Tag("u");
  const TypeDescriptor* color = registry.FindByName("Color");
  EXPECT_EQ(color->enumerators.size(), 2u);
  EXPECT_EQ(color->description, "Colours.");
  EXPECT_EQ(color->tags.size(), 1u);
  registry.BeginType(8, "Unbound", NoNativeType(), false);
  EXPECT_EQ(registry.FindById(NoNativeType()), nullptr);  // found by name only
  // A different type whose id happens to be the same is not mistaken for it.
  static constexpr TypeId one(77, "signature one"), clash(77, "signature two");
  EXPECT_EQ(registry.BeginType(4, "First", one, false).errorCode, kBuilderOk);
  EXPECT_EQ(registry.BeginType(4, "Clash", clash, false).errorCode, kBuilderIdCollision);
  EXPECT_EQ(registry.FindById(one), registry.FindByName("First"));
  EXPECT_EQ(registry.FindById(clash), nullptr);
  EXPECT_EQ(registry.Descriptors()[3]->name, "Clash");  // in registration order

  auto b = registry.BeginEnum<Shade>("Shade");
  b.AddEnumerator("Red", 1);
  b.AddEnumerator("Crimson", 1);
  b.AddEnumerator("Red", 5, "replaced");
  EXPECT_EQ(b.descriptor->FindEnumerator("Red")->description, "replaced");
  EXPECT_EQ(b.descriptor->FindEnumerator(1)->name, "Crimson");
  EXPECT_EQ(registry.FindEnumerator(StaticType::Id<Shade>(), 5)->name, "Red");
  EXPECT_EQ(b.descriptor->enumerators.begin()->first, "Crimson");  // byte order of names
}

TEST(TypeRegistry, FieldsComeFromTheNativeStructure) {
  TypeRegistry registry;
  registry.BeginEnum<Color>("Color").Enumerator("Red", Color::Red);
  registry.BeginStruct<Inner>("Inner").Field("number", &Inner::number);
  auto b = registry.BeginStruct<Record>("Record");
  b.Field("baseField", &Record::baseField)
      .Field("flag", &Record::flag, "A flag.", {.flags = kFieldRequired})
      .Field("text", &Record::text)
      .Field("inner", &Record::inner)
      .Field("inners", &Record::inners)
      .Field("color", &Record::color);
  EXPECT_EQ(b.errorCode, kBuilderOk);
  const TypeDescriptor* record = registry.Find<Record>();
  EXPECT_EQ(record->size, sizeof(Record));
  const TypeDescriptor* inner = registry.Find<Inner>();
  const struct {
    std::size_t offset;
    TypeKind kind, element;
    const TypeDescriptor* descriptor;
  } expected[] = {
      {OffsetIn(&Record::baseField), TypeKind::UInt32, TypeKind::None, nullptr},
      {OffsetIn(&Record::flag), TypeKind::Bool, TypeKind::None, nullptr},
      {OffsetIn(&Record::text), TypeKind::String, TypeKind::None, nullptr},
      {OffsetIn(&Record::inner), TypeKind::Struct, TypeKind::None, inner},
      {OffsetIn(&Record::inners), TypeKind::Vector, TypeKind::Struct, inner},
      {OffsetIn(&Record::color), TypeKind::Enum, TypeKind::None, registry.Find<Color>()},
  };
  ASSERT_EQ(record->fields.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const FieldDescriptor& f = record->fields[i];
    EXPECT_EQ(f.offset, expected[i].offset) << f.name;
    EXPECT_EQ(f.type.kind, expected[i].kind) << f.name;
    EXPECT_EQ(f.type.elementKind, expected[i].element) << f.name;
    EXPECT_EQ(f.type.descriptor, expected[i].descriptor) << f.name;
  }
  EXPECT_EQ(record->fields[1].flags, kFieldRequired);
  EXPECT_EQ(record->FindField("color"), &record->fields[5]);
  registry.BeginStruct<Record>("Record").Field("more", &Record::flag);  // a second registration adds nothing
  EXPECT_EQ(record->fields.size(), std::size(expected));

  TypeRegistry bare;
  auto unregistered = bare.BeginStruct<Record>("Record");
  unregistered.Field("inner", &Record::inner);
  EXPECT_EQ(unregistered.errorCode, kBuilderUnregisteredFieldType);
  EXPECT_EQ(unregistered.descriptor->fields[0].type.descriptor, nullptr);
}

TEST(TypeRegistry, HelpTypesRegisterOnceAndConcurrentRegistrationKeepsOneDescriptorPerName) {
  TypeRegistry help;
  RegisterHelpTypes(help);
  RegisterHelpTypes(help);
  EXPECT_EQ(help.Count(), 9u);
  const TypeDescriptor* function = help.FindByName("BindingFullFunctionHelp");
  const BindingFullTypeIdentifier vectorOf = FullTypeIdentifier({TypeKind::Vector, TypeKind::Struct, function});
  EXPECT_EQ(std::string(vectorOf.type) + "/" + std::string(vectorOf.elementType), "vector/BindingFullFunctionHelp");

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
