#include "value/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "value/help_types.h"
#include "value/host_value.h"

namespace kiv::binding::convert_test {
namespace {

enum class Mood : int32_t { Calm = 0, Happy = 1, Angry = 7 };

struct Point {
  int32_t x = 0;
  int32_t y = 0;
};

struct Shape {
  String name;
  Mood mood = Mood::Calm;
  Point origin;
  Vector<Point> points;
  Vector<String> tags;
  Value extra;
  bool visible = false;
  uint32_t weight = 0;
  String note;
  Vector<Mood> moods;
  double scale = 0;
  Vector<uint8_t> bytes;
  Vector<Value> objects;
  int8_t small = 0;
};

struct Unregistered {
  int32_t a = 0;
};

Value Text(std::string_view text) {
  Value v;
  v.SetString(text);
  return v;
}
Value Signed(int64_t n) {
  Value v;
  v.SetSigned(n);
  return v;
}
Value Unsigned(uint64_t n) {
  Value v;
  v.SetUnsigned(n);
  return v;
}
Value Float(double x) {
  Value v;
  v.SetFloat(x);
  return v;
}
Value Flag(bool b) {
  Value v;
  v.SetBool(b);
  return v;
}

bool HasMember(const Value& v, std::string_view key) {
  for (const ValueMember& m : v.Members()) {
    if (m.name() == key) return true;
  }
  return false;
}

class Convert : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallConverters(registry);
    registry.BeginEnum<Mood>("Mood")
        .Enumerator("Calm", Mood::Calm)
        .Enumerator("Happy", Mood::Happy)
        .Enumerator("Angry", Mood::Angry);
    registry.BeginStruct<Point>("Point").Field("x", &Point::x).Field("y", &Point::y, {}, {.flags = kFieldRequired});
    registry.BeginStruct<Shape>("Shape")
        .Field("name", &Shape::name, {}, {.flags = kFieldRequired})
        .Field("mood", &Shape::mood)
        .Field("origin", &Shape::origin)
        .Field("points", &Shape::points)
        .Field("tags", &Shape::tags, {}, {.flags = kFieldOmitEmpty})
        .Field("extra", &Shape::extra)
        .Field("visible", &Shape::visible)
        .Field("weight", &Shape::weight)
        .Field("note", &Shape::note, {}, {.flags = kFieldOmitEmpty})
        .Field("moods", &Shape::moods)
        .Field("scale", &Shape::scale)
        .Field("bytes", &Shape::bytes)
        .Field("objects", &Shape::objects)
        .Field("small", &Shape::small);
  }

  // Reads through the typed entry and returns the message ("" on success).
  template <typename T>
  std::string Read(T& native, const Value& input, std::string_view name = "n") {
    ValueResult result;
    FromValue(result, native, input, name, registry);
    return std::string(result.ErrorMessage());
  }
  template <typename T>
  Value Write(const T& native) {
    ValueResult result;
    ToValue(result, native, registry);
    EXPECT_TRUE(result.Succeeded()) << result.ErrorMessage();
    return static_cast<Value&&>(result);
  }

  // Reading `input` into a T holding `start` succeeds and gives `expected`.
  template <typename T>
  void Ok(const Value& input, T expected, T start = T{}) {
    T native = start;
    EXPECT_EQ(Read(native, input), "");
    EXPECT_EQ(native, expected);
  }
  // Reading fails with `message` and leaves the native variable alone.
  template <typename T>
  void Bad(const Value& input, std::string_view message) {
    T native{};
    EXPECT_EQ(Read(native, input), message);
    EXPECT_EQ(native, T{});
  }
  static Value Enum(int32_t number) {
    Value v;
    v.SetEnum(number, &StaticType::Id<Mood>());
    return v;
  }

  TypeRegistry registry;
};

TEST_F(Convert, BoolReadsBooleansAndFourExactTexts) {
  Ok(Flag(true), true);
  Ok(Text("1"), true);
  Ok(Text("false"), false, true);
  Ok(Text("0"), false, true);
  Bad<bool>(
      Text("TRUE"),
      "Value TRUE for 'n' of type bool is in an incorrect format. Options are \"true\", \"false\", \"1\", \"0\".");
  Bad<bool>(Signed(1), "Couldn't assign value to 'n' of type bool because the input is of an invalid type signed.");
  Bad<bool>(Value(), "A value for 'n' is required.");
}

TEST_F(Convert, SignedIntegers) {
  Ok<int32_t>(Text("0x10"), 16);
  Ok<int32_t>(Text("010"), 8);
  Ok<int32_t>(Text("  -42"), -42);
  Ok<int32_t>(Text(""), 0, 5);
  Ok<int32_t>(Text(std::string(100, '0') + "7"), 7);  // long texts are parsed whole
  Ok<int32_t>(Signed(INT32_MIN), INT32_MIN);
  Ok<int32_t>(Float(3.99), 3);
  Ok<int32_t>(Float(-1.9), -1);
  Ok<int32_t>(Enum(7), 7);
  Bad<int32_t>(Text("12abc"), "Value 12abc for 'n' of type int32 is in an incorrect format");
  Bad<int32_t>(Text("12 "), "Value 12  for 'n' of type int32 is in an incorrect format");
  Bad<int32_t>(Text("2147483648"), "Value 2147483648 for 'n' of type int32 is out of range");
  Bad<int32_t>(Text("99999999999999999999"), "Value 99999999999999999999 for 'n' of type int32 is out of range");
  Bad<int32_t>(Unsigned(2147483648u), "Value 2147483648 for 'n' of type int32 is out of range");
  Bad<int32_t>(Signed(-2147483649LL), "Value -2147483649 for 'n' of type int32 is out of range");
  Bad<int32_t>(Float(3e9), "Value 3e+09 for 'n' of type int32 is out of range");
  Bad<int32_t>(Float(std::nan("")), "Value nan for 'n' of type int32 is out of range");
  Bad<int32_t>(Flag(true), "Couldn't assign value to 'n' of type int32 because the input is of an invalid type bool.");
  // 2^63 equals the upper bound of int64 once both are doubles, but does not fit.
  Bad<int64_t>(Float(9223372036854775808.0), "Value 9.22337e+18 for 'n' of type int64 is out of range");
  Ok<int64_t>(Float(-9223372036854775808.0), INT64_MIN);
  Ok<int64_t>(Text("-0x8000000000000000"), INT64_MIN);
  Bad<int64_t>(Unsigned(1ull << 63), "Value 9223372036854775808 for 'n' of type int64 is out of range");
  Bad<int8_t>(Signed(128), "Value 128 for 'n' of type int8 is out of range");
  Ok<int8_t>(Text("-128"), -128);
}

TEST_F(Convert, UnsignedIntegersRefuseNegativesIncludingTheirTexts) {
  Bad<uint32_t>(Text("-1"), "Value -1 for 'n' of type uint32 is out of range");
  Bad<uint32_t>(Text(" -1"), "Value  -1 for 'n' of type uint32 is out of range");
  Bad<uint32_t>(Signed(-1), "Value -1 for 'n' of type uint32 is out of range");
  Bad<uint32_t>(Float(-0.5), "Value -0.5 for 'n' of type uint32 is out of range");
  Bad<uint32_t>(Unsigned(4294967296u), "Value 4294967296 for 'n' of type uint32 is out of range");
  Ok<uint32_t>(Text("0xFFFFFFFF"), 4294967295u);
  Bad<uint64_t>(Text("-1"), "Value -1 for 'n' of type uint64 is out of range");
  Ok<uint64_t>(Text("18446744073709551615"), UINT64_MAX);
  Bad<uint64_t>(Text("18446744073709551616"), "Value 18446744073709551616 for 'n' of type uint64 is out of range");
  Bad<uint64_t>(Float(18446744073709551616.0), "Value 1.84467e+19 for 'n' of type uint64 is out of range");
  Bad<uint16_t>(Text("65536"), "Value 65536 for 'n' of type uint16 is out of range");
  Ok<uint16_t>(Text("0177777"), 65535);
}

TEST_F(Convert, FloatingNumbers) {
  Ok<double>(Text("2.5"), 2.5);
  Ok<double>(Text("1e-310"), 1e-310);  // an underflow still reads as the nearest number
  Ok<double>(Unsigned(UINT64_MAX), 18446744073709551616.0);
  Bad<double>(Text("1e999"), "Value 1e999 for 'n' of type double is out of range");
  Bad<double>(Text("1.5x"), "Value 1.5x for 'n' of type double is in an incorrect format");
  Bad<float>(Float(1e39), "Value 1e+39 for 'n' of type float is out of range");
  Bad<float>(Flag(false), "Couldn't assign value to 'n' of type float because the input is of an invalid type bool.");
  Ok<float>(Signed(-3), -3.0f);
  double d = 0;
  EXPECT_EQ(Read(d, Float(std::nan(""))), "");  // a NaN passes
  EXPECT_TRUE(std::isnan(d));
}

TEST_F(Convert, EnumReadsNamesAndNumbersOfItsEnumerators) {
  Ok(Text("Happy"), Mood::Happy);
  Ok(Text("7"), Mood::Angry);
  Ok(Unsigned(1), Mood::Happy);
  Ok(Enum(7), Mood::Angry);
  Bad<Mood>(Text("x"), "x is not a valid Mood enumeration value for 'n'.");
  Bad<Mood>(Text("happy"), "happy is not a valid Mood enumeration value for 'n'.");
  Bad<Mood>(Text("99999999999"), "99999999999 is not a valid Mood enumeration value for 'n'.");
  Bad<Mood>(Signed(3), "3 is not a valid Mood enumeration value for 'n'.");
  Bad<Mood>(Signed(4294967297LL), "4294967297 is not a valid Mood enumeration value for 'n'.");  // not cut to 1
  Bad<Mood>(Float(1.0), "Couldn't assign value to 'n' of enum type because the input is of an invalid type float.");
}

TEST_F(Convert, StringReadsTextsAndEnumeratorNamesOnly) {
  Ok<String>(Text("new"), "new");
  Ok<String>(Enum(7), "Angry");
  Bad<String>(Signed(5), "Couldn't assign value to 'n' because the input is not a string.");
  Bad<String>(Enum(5), "5 is not a valid enumeration value for 'n'.");
  Value unregistered;
  unregistered.SetEnum(1, &StaticType::Id<Unregistered>());
  Bad<String>(unregistered, "1 is not a valid enumeration value for 'n'.");
}

TEST_F(Convert, ObjectsCopyAnythingAndBlobsTakeBytes) {
  Value input;
  input.Member("b").Append().SetString("x");
  Ok<Value>(input, input);
  Ok<Value>(Value(), Value(), Text("old"));
  Value blob;
  blob.SetBlob("\x01\x02", 2);
  Ok<Vector<uint8_t>>(blob, {1, 2});
  Bad<Vector<uint8_t>>(Signed(1),
                       "Couldn't assign value to 'n' of type blob because the input is of an invalid type signed.");
  EXPECT_EQ(Write(Vector<uint8_t>{1, 2}), blob);
}

TEST_F(Convert, StructureReadsFieldsByName) {
  Value input;
  input.Member("name").SetString("square");
  input.Member("origin").Member("y").SetString("4");
  input.Member("unknown").SetBool(true);  // ignored
  input.Member("weight");                 // Empty: as if absent
  Value& points = input.Member("points");
  points.Append().Member("y").SetSigned(1);
  points.Append();  // Empty element: stays default
  input.Member("moods").Append().SetSigned(1);

  Shape shape;
  shape.weight = 77;
  EXPECT_EQ(Read(shape, input, "shape"), "");
  EXPECT_EQ(shape.name, "square");
  EXPECT_EQ(shape.origin.y, 4);
  EXPECT_EQ(shape.weight, 77u);
  ASSERT_EQ(shape.points.size(), 2u);
  EXPECT_EQ(shape.points[0].y, 1);
  EXPECT_EQ(shape.moods, Vector<Mood>{Mood::Happy});
}

TEST_F(Convert, StructureFailuresNameTheRightThing) {
  Shape shape;
  Value input;
  input.Member("mood").SetString("Happy");
  EXPECT_EQ(Read(shape, input, "shape"),
            "Couldn't assign value to 'shape' of type Shape because the input structure "
            "doesn't have required field 'name'.");
  // Fields are read in registered order: "name" comes first, so nothing was read.
  EXPECT_EQ(shape.mood, Mood::Calm);

  input.Member("name").SetString("s");
  input.Member("origin").Member("x").SetSigned(1);
  EXPECT_EQ(Read(shape, input, "shape"),
            "Couldn't assign value to 'origin' of type Point because the input structure "
            "doesn't have required field 'y'.");
  // Fields before the failure keep their new values.
  EXPECT_EQ(shape.name, "s");
  EXPECT_EQ(shape.mood, Mood::Happy);
  EXPECT_EQ(shape.origin.x, 1);

  input.Member("origin").Member("y").SetSigned(2);
  input.Member("weight").SetSigned(-1);
  EXPECT_EQ(Read(shape, input, "shape"), "Value -1 for 'weight' of type uint32 is out of range");

  EXPECT_EQ(Read(shape, Value(), "shape"), "A value for 'shape' is required.");
  EXPECT_EQ(Read(shape, Text("x"), "shape"),
            "Couldn't assign value to 'shape' of type Shape because the input not a "
            "structure.");
  Unregistered u;
  EXPECT_EQ(Read(u, input, "u"),
            "Couldn't assign value to 'u' because the input is an unregistered structure or not "
            "a structure at all.");
}

TEST_F(Convert, VectorReading) {
  Vector<String> texts = {"a", "b"};
  EXPECT_EQ(Read(texts, Value(), "list"),
            "Couldn't assign value to 'list' of type vector because the input not a "
            "collection.");
  EXPECT_TRUE(texts.empty());

  Value input;
  input.Append().SetString("x");
  input.Append().SetSigned(2);
  input.Append().SetString("z");
  texts = {"old"};
  EXPECT_EQ(Read(texts, input, "list"), "Couldn't assign value to 'list' because the input is not a string.");
  // The elements read so far plus default ones.
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "x");
  EXPECT_EQ(texts[1], "");
  EXPECT_EQ(texts[2], "");

  Vector<Vector<int32_t>> nested;
  Value rows;
  rows.Append().Append().SetSigned(1);
  rows.Append().Append().SetString("0x2");
  EXPECT_EQ(Read(nested, rows), "");
  ASSERT_EQ(nested.size(), 2u);
  EXPECT_EQ(nested[1][0], 2);

  Vector<bool> flags;
  Value bools;
  bools.Append().SetString("true");
  bools.Append();
  EXPECT_EQ(Read(flags, bools), "");
  EXPECT_EQ(flags, (Vector<bool>{true, false}));
}

TEST_F(Convert, FailedResultStopsEveryLaterReading) {
  ValueResult result;
  int32_t n = 1;
  FromValue(result, n, Text("bad"), "n", registry);
  ASSERT_FALSE(result.Succeeded());
  const std::string first(result.ErrorMessage());

  String s = "keep";
  Vector<Point> points(2);
  Value object;
  object.SetSigned(9);
  Shape shape;
  shape.name = "keep";
  Value good;
  good.Member("name").SetString("changed");
  FromValue(result, n, Signed(5), "n", registry);
  FromValue(result, s, Text("changed"), "s", registry);
  FromValue(result, points, Value(), "points", registry);
  FromValue(result, object, Text("changed"), "o", registry);
  FromValue(result, shape, good, "shape", registry);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(points.size(), 2u);
  EXPECT_EQ(object.AsSigned(), 9);
  EXPECT_EQ(shape.name, "keep");
  EXPECT_EQ(result.ErrorMessage(), first);
}

TEST_F(Convert, WritingBuildsTheValueOfNativeDataAndReadsBack) {
  Shape shape;
  shape.name = "tri";
  shape.mood = Mood::Angry;
  shape.origin = {1, -2};
  shape.points = {{1, 2}, {3, 4}};
  shape.extra.Member("k").SetFloat(0.5);
  shape.weight = 4000000000u;
  shape.moods = {Mood::Happy};
  shape.objects.resize(1);
  shape.objects[0].SetString("o");
  shape.small = -3;

  const Value v = Write(shape);
  EXPECT_EQ(v.FindMember("mood").AsEnum().number, 7);
  EXPECT_EQ(v.FindMember("mood").AsEnum().type, &StaticType::Id<Mood>());
  EXPECT_EQ(v.FindMember("points").At(1).FindMember("x").AsSigned(), 3);
  EXPECT_EQ(v.FindMember("weight").AsUnsigned(), 4000000000u);
  EXPECT_EQ(v.FindMember("small").AsSigned(), -3);
  // Flag 1 leaves empty members out; without it they are present and empty.
  EXPECT_EQ(v.Size(), 12u);
  EXPECT_FALSE(HasMember(v, "note"));
  EXPECT_FALSE(HasMember(v, "tags"));
  EXPECT_TRUE(v.FindMember("bytes").Kind() == ValueKind::Blob);

  Shape back;
  EXPECT_EQ(Read(back, v), "");
  EXPECT_EQ(Write(back), v);

  shape.note = "n";
  shape.tags = {""};
  const Value full = Write(shape);
  EXPECT_EQ(full.FindMember("note").AsText(), "n");
  EXPECT_EQ(full.FindMember("tags").Size(), 1u);
}

TEST_F(Convert, WrittenStructuresAreInKeyOrderAndEmptyOnesLeftOut) {
  // Fields come in registration order; the members of what is written, and
  // so the entries of host records, come in key order.
  Shape shape;
  shape.name = "s";
  shape.points = {{1, 2}};
  const Value v = Write(shape);
  ASSERT_FALSE(v.IsUnfinished());
  std::string previous;
  for (const ValueMember& member : v.Members()) {
    EXPECT_LT(previous, member.name());
    previous = std::string(member.name());
  }
  HostValue record{};
  ValueResult written;
  ASSERT_TRUE(WriteHostValue(written, record, v, &registry));
  const uint32_t count = record.u.structure.count;  // packed: read by value
  ASSERT_EQ(count, v.Size());
  EXPECT_STREQ(record.u.structure.entries[0].key, "bytes");
  EXPECT_STREQ(record.u.structure.entries[count - 1].key, "weight");
  ReleaseHostValue(record);

  // A structure field flagged 1 is left out when it writes no member.
  struct Note {
    String text;
  };
  struct Notes {
    Note first;
    Note second;
    Vector<Note> rest;
  };
  registry.BeginStruct<Note>("Note").Field("text", &Note::text, {}, {.flags = kFieldOmitEmpty});
  registry.BeginStruct<Notes>("Notes")
      .Field("second", &Notes::second, {}, {.flags = kFieldOmitEmpty})
      .Field("first", &Notes::first)
      .Field("rest", &Notes::rest, {}, {.flags = kFieldOmitEmpty});
  Notes notes;
  Value out = Write(notes);
  EXPECT_EQ(out.Size(), 1u);
  EXPECT_EQ(out.FindMember("first").Kind(), ValueKind::Structure);
  EXPECT_EQ(out.FindMember("first").Size(), 0u);
  notes.second.text = "b";
  notes.rest.resize(2);
  out = Write(notes);
  EXPECT_EQ(out.Size(), 3u);
  EXPECT_EQ(out.FindMember("second").FindMember("text").AsText(), "b");
  EXPECT_EQ(out.FindMember("rest").Size(), 2u);
  EXPECT_EQ(out.FindMember("rest").At(1).Kind(), ValueKind::Structure);
}

TEST_F(Convert, UnregisteredTypesFailWhenWritten) {
  ValueResult result;
  ToValue(result, Unregistered{}, registry);
  EXPECT_EQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered structure.");

  // A registered struct whose vector holds an unregistered struct fails with the same message.
  struct Holder {
    Vector<Unregistered> items;
  };
  registry.BeginStruct<Holder>("Holder").Field("items", &Holder::items);
  Holder holder;
  holder.items.resize(1);
  ToValue(result, holder, registry);
  EXPECT_EQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered structure.");
  ToValue(result, Vector<Point>{{1, 2}}, registry);
  EXPECT_TRUE(result.Succeeded());
}

TEST_F(Convert, FactoryGivesEveryRegisteredFieldAConverter) {
  const TypeDescriptor* shape = registry.Find<Shape>();
  ASSERT_NE(shape, nullptr);
  for (const FieldDescriptor& field : shape->fields) EXPECT_NE(field.converter, nullptr) << field.name;
  EXPECT_EQ(CreateConverter(TypeRef{TypeKind::Map, TypeKind::String, nullptr}, nullptr), nullptr);
  EXPECT_EQ(CreateConverter(TypeRef{TypeKind::Vector, TypeKind::Vector, nullptr}, &kNativeVectorOps<Vector<int>>),
            nullptr);

  // A field's converter driven directly, as bound functions do.
  const FieldDescriptor* moods = shape->FindField("moods");
  ASSERT_NE(moods, nullptr);
  Vector<Mood> native;
  Value input;
  input.Append().SetString("Angry");
  ValueResult result;
  moods->converter->FromValue(result, &native, input, "moods", moods->type.descriptor, &registry, 0);
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  EXPECT_EQ(native, (Vector<Mood>{Mood::Angry}));
}

TEST(ConvertWithoutFactory, FieldsRegisteredEarlierStillConvert) {
  TypeRegistry registry;  // no InstallConverters
  registry.BeginEnum<Mood>("Mood").Enumerator("Happy", Mood::Happy);
  registry.BeginStruct<Point>("Point").Field("x", &Point::x).Field("y", &Point::y);
  struct Box {
    Vector<Point> corners;
    Mood mood = Mood::Calm;
  };
  registry.BeginStruct<Box>("Box").Field("corners", &Box::corners).Field("mood", &Box::mood);
  Value input;
  input.Member("corners").Append().Member("x").SetSigned(5);
  input.Member("mood").SetString("Happy");
  Box box;
  ValueResult result;
  FromValue(result, box, input, "box", registry);
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  ASSERT_EQ(box.corners.size(), 1u);
  EXPECT_EQ(box.corners[0].x, 5);
  EXPECT_EQ(box.mood, Mood::Happy);
  ToValue(result, box, registry);
  EXPECT_EQ(result.FindMember("corners").At(0).FindMember("x").AsSigned(), 5);
}

TEST(ConvertHelpTypes, HelpRecordsRoundTrip) {
  TypeRegistry registry;
  InstallConverters(registry);
  RegisterHelpTypes(registry);
  BindingFullTypeHelp help;
  help.name = "Shape";
  help.size = 40;
  help.tags = {"a", "b"};
  help.fields.resize(1);
  help.fields[0].name = "x";
  help.fields[0].type.type = "int32";
  help.values.push_back({"Calm", "", 0});
  ValueResult result;
  ToValue(result, help, registry);
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  const Value written = static_cast<Value&&>(result);
  BindingFullTypeHelp back;
  FromValue(result, back, written, kWholeValueName, registry);
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  ToValue(result, back, registry);
  EXPECT_EQ(result, written);
}

}  // namespace
}  // namespace kiv::binding::convert_test
