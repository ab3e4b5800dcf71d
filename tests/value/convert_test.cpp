// Conversion between values and native variables: every scalar kind with its
// messages, enums, structures and vectors, and the values written back.
#include "value/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

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

template <typename F>
Value Make(F set) {
  Value v;
  set(v);
  return v;
}
Value Text(std::string_view text) {
  return Make([&](Value& v) { v.SetString(text); });
}
Value Signed(int64_t n) {
  return Make([&](Value& v) { v.SetSigned(n); });
}
Value Unsigned(uint64_t n) {
  return Make([&](Value& v) { v.SetUnsigned(n); });
}
Value Float(double x) {
  return Make([&](Value& v) { v.SetFloat(x); });
}
Value Flag(bool b) {
  return Make([&](Value& v) { v.SetBool(b); });
}
Value Enum(int32_t number) {
  return Make([&](Value& v) { v.SetEnum(number, &StaticType::Id<Mood>()); });
}

std::string OutOfRange(const std::string& shown, const std::string& type) {
  return "Value " + shown + " for 'n' of type " + type + " is out of range";
}
std::string BadFormat(const std::string& shown, const std::string& type) {
  return "Value " + shown + " for 'n' of type " + type + " is in an incorrect format";
}
std::string InvalidType(const std::string& type, const std::string& kind) {
  return "Couldn't assign value to 'n' of type " + type + " because the input is of an invalid type " + kind + ".";
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

  TypeRegistry registry;
};

TEST_F(Convert, BoolReadsBooleansAndFourExactTexts) {
  Ok(Flag(true), true);
  Ok(Text("1"), true);
  Ok(Text("false"), false, true);
  Ok(Text("0"), false, true);
  Bad<bool>(Text("TRUE"), BadFormat("TRUE", "bool") + ". Options are \"true\", \"false\", \"1\", \"0\".");
  Bad<bool>(Signed(1), InvalidType("bool", "signed"));
  Bad<bool>(Value(), "A value for 'n' is required.");
}

TEST_F(Convert, Integers) {
  Ok<int32_t>(Text("0x10"), 16);
  Ok<int32_t>(Text("  -42"), -42);
  Ok<int32_t>(Text(""), 0, 5);
  Ok<int32_t>(Text(std::string(100, '0') + "7"), 7);  // long texts are parsed whole
  Ok<int32_t>(Float(3.99), 3);
  Ok<int32_t>(Enum(7), 7);
  Bad<int32_t>(Text("12abc"), BadFormat("12abc", "int32"));
  Bad<int32_t>(Text("12 "), BadFormat("12 ", "int32"));
  Bad<int32_t>(Text("2147483648"), OutOfRange("2147483648", "int32"));
  Bad<int32_t>(Unsigned(2147483648u), OutOfRange("2147483648", "int32"));
  Bad<int32_t>(Signed(-2147483649LL), OutOfRange("-2147483649", "int32"));
  Bad<int32_t>(Float(3e9), OutOfRange("3e+09", "int32"));
  Bad<int32_t>(Float(std::nan("")), OutOfRange("nan", "int32"));
  Bad<int32_t>(Flag(true), InvalidType("int32", "bool"));
  // 2^63 equals the upper bound of int64 once both are doubles, but does not fit.
  Bad<int64_t>(Float(9223372036854775808.0), OutOfRange("9.22337e+18", "int64"));
  Ok<int64_t>(Float(-9223372036854775808.0), INT64_MIN);
  Ok<int64_t>(Text("-0x8000000000000000"), INT64_MIN);
  Bad<int64_t>(Unsigned(1ull << 63), OutOfRange("9223372036854775808", "int64"));
  Ok<int8_t>(Text("-128"), -128);
  // Unsigned kinds refuse negatives, also as texts.
  Bad<uint32_t>(Text(" -1"), OutOfRange(" -1", "uint32"));
  Bad<uint32_t>(Signed(-1), OutOfRange("-1", "uint32"));
  Bad<uint32_t>(Unsigned(4294967296u), OutOfRange("4294967296", "uint32"));
  Ok<uint32_t>(Text("0xFFFFFFFF"), 4294967295u);
  Bad<uint64_t>(Text("-1"), OutOfRange("-1", "uint64"));
  Ok<uint64_t>(Text("18446744073709551615"), UINT64_MAX);
  Bad<uint64_t>(Text("18446744073709551616"), OutOfRange("18446744073709551616", "uint64"));
  Bad<uint64_t>(Float(18446744073709551616.0), OutOfRange("1.84467e+19", "uint64"));
  Ok<uint16_t>(Text("0177777"), 65535);
}

TEST_F(Convert, FloatingNumbers) {
  Ok<double>(Text("2.5"), 2.5);
  Ok<double>(Text("1e-310"), 1e-310);  // an underflow still reads as the nearest number
  Ok<double>(Unsigned(UINT64_MAX), 18446744073709551616.0);
  Bad<double>(Text("1e999"), OutOfRange("1e999", "double"));
  Bad<double>(Text("1.5x"), BadFormat("1.5x", "double"));
  Bad<float>(Float(1e39), OutOfRange("1e+39", "float"));
  Bad<float>(Flag(false), InvalidType("float", "bool"));
  Ok<float>(Signed(-3), -3.0f);
  double d = 0;
  EXPECT_EQ(Read(d, Float(std::nan(""))), "");  // a NaN passes
  EXPECT_TRUE(std::isnan(d));
}

TEST_F(Convert, EnumsAndStringsReadNamesAndNumbersOfEnumerators) {
  Ok(Text("Happy"), Mood::Happy);
  Ok(Text("7"), Mood::Angry);
  Ok(Unsigned(1), Mood::Happy);
  Ok(Enum(7), Mood::Angry);
  for (const char* text : {"x", "happy", "99999999999"}) {
    Bad<Mood>(Text(text), std::string(text) + " is not a valid Mood enumeration value for 'n'.");
  }
  Bad<Mood>(Signed(3), "3 is not a valid Mood enumeration value for 'n'.");
  Bad<Mood>(Signed(4294967297LL), "4294967297 is not a valid Mood enumeration value for 'n'.");  // not cut to 1
  Bad<Mood>(Float(1.0), "Couldn't assign value to 'n' of enum type because the input is of an invalid type float.");
  Ok<String>(Text("new"), "new");
  Ok<String>(Enum(7), "Angry");
  Bad<String>(Signed(5), "Couldn't assign value to 'n' because the input is not a string.");
  Bad<String>(Enum(5), "5 is not a valid enumeration value for 'n'.");
  Bad<String>(Make([](Value& v) { v.SetEnum(1, &StaticType::Id<Unregistered>()); }),
              "1 is not a valid enumeration value for 'n'.");
}

TEST_F(Convert, ObjectsCopyAnythingAndBlobsTakeBytes) {
  const Value input = Make([](Value& v) { v.Member("b").Append().SetString("x"); });
  Ok<Value>(input, input);
  Ok<Value>(Value(), Value(), Text("old"));
  const Value blob = Make([](Value& v) { v.SetBlob("\x01\x02", 2); });
  Ok<Vector<uint8_t>>(blob, {1, 2});
  Bad<Vector<uint8_t>>(Signed(1), InvalidType("blob", "signed"));
  EXPECT_EQ(Write(Vector<uint8_t>{1, 2}), blob);
}

TEST_F(Convert, StructuresReadFieldsByNameAndFailuresNameTheRightThing) {
  Value input;
  input.Member("name").SetString("square");
  input.Member("origin").Member("y").SetString("4");
  input.Member("unknown").SetBool(true);  // ignored
  input.Member("weight");                 // Empty: as if absent
  input.Member("points").Append().Member("y").SetSigned(1);
  input.Member("points").Append();  // an Empty element stays default
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

  Shape other;
  Value partial;
  partial.Member("mood").SetString("Happy");
  EXPECT_EQ(Read(other, partial, "shape"),
            "Couldn't assign value to 'shape' of type Shape because the input structure doesn't have required field "
            "'name'.");
  EXPECT_EQ(other.mood, Mood::Calm);  // fields are read in registered order: "name" comes first
  partial.Member("name").SetString("s");
  partial.Member("origin").Member("x").SetSigned(1);
  EXPECT_EQ(Read(other, partial, "shape"),
            "Couldn't assign value to 'origin' of type Point because the input structure doesn't have required field "
            "'y'.");
  EXPECT_EQ(other.name, "s");  // fields before the failure keep their new values
  EXPECT_EQ(other.mood, Mood::Happy);
  EXPECT_EQ(other.origin.x, 1);
  partial.Member("origin").Member("y").SetSigned(2);
  partial.Member("weight").SetSigned(-1);
  EXPECT_EQ(Read(other, partial, "shape"), "Value -1 for 'weight' of type uint32 is out of range");
  EXPECT_EQ(Read(other, Value(), "shape"), "A value for 'shape' is required.");
  EXPECT_EQ(Read(other, Text("x"), "shape"),
            "Couldn't assign value to 'shape' of type Shape because the input not a structure.");
  Unregistered u;
  EXPECT_EQ(Read(u, partial, "u"),
            "Couldn't assign value to 'u' because the input is an unregistered structure or not a structure at all.");
}

TEST_F(Convert, VectorsKeepWhatWasReadBeforeAFailure) {
  Vector<String> texts = {"a", "b"};
  EXPECT_EQ(Read(texts, Value(), "list"),
            "Couldn't assign value to 'list' of type vector because the input not a collection.");
  EXPECT_TRUE(texts.empty());
  Value input;
  input.Append().SetString("x");
  input.Append().SetSigned(2);
  input.Append().SetString("z");
  EXPECT_EQ(Read(texts, input, "list"), "Couldn't assign value to 'list' because the input is not a string.");
  EXPECT_EQ(texts, (Vector<String>{"x", "", ""}));  // the elements read so far plus default ones
  Vector<Vector<int32_t>> nested;
  Value rows;
  rows.Append().Append().SetSigned(1);
  rows.Append().Append().SetString("0x2");
  EXPECT_EQ(Read(nested, rows), "");
  EXPECT_EQ(nested, (Vector<Vector<int32_t>>{{1}, {2}}));
  Vector<bool> flags;
  Value bools;
  bools.Append().SetString("true");
  bools.Append();
  EXPECT_EQ(Read(flags, bools), "");
  EXPECT_EQ(flags, (Vector<bool>{true, false}));
}

TEST_F(Convert, AFailedResultStopsEveryLaterReading) {
  ValueResult result;
  int32_t n = 1;
  FromValue(result, n, Text("bad"), "n", registry);
  ASSERT_FALSE(result.Succeeded());
  const std::string first(result.ErrorMessage());
  String s = "keep";
  Vector<Point> points(2);
  Value object = Signed(9);
  Shape shape;
  shape.name = "keep";
  FromValue(result, n, Signed(5), "n", registry);
  FromValue(result, s, Text("changed"), "s", registry);
  FromValue(result, points, Value(), "points", registry);
  FromValue(result, object, Text("changed"), "o", registry);
  FromValue(result, shape, Make([](Value& v) { v.Member("name").SetString("changed"); }), "shape", registry);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(points.size(), 2u);
  EXPECT_EQ(object.AsSigned(), 9);
  EXPECT_EQ(shape.name, "keep");
  EXPECT_EQ(result.ErrorMessage(), first);
}

TEST_F(Convert, WritingBuildsTheValueOfNativeDataInKeyOrder) {
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
  EXPECT_EQ(v.FindMember("weight").AsUnsigned(), 4000000000u);
  EXPECT_EQ(v.FindMember("small").AsSigned(), -3);
  EXPECT_EQ(v.FindMember("bytes").Kind(), ValueKind::Blob);
  EXPECT_FALSE(v.IsUnfinished());  // members in key order, as host records need them
  // Omit-empty fields are left out; the others are present even when empty.
  EXPECT_EQ(v.Size(), 12u);
  for (const ValueMember& m : v.Members()) EXPECT_TRUE(m.name() != "note" && m.name() != "tags") << m.name();
  Shape back;
  EXPECT_EQ(Read(back, v), "");
  EXPECT_EQ(Write(back), v);
  shape.note = "n";
  shape.tags = {""};
  const Value full = Write(shape);
  EXPECT_EQ(full.FindMember("note").AsText(), "n");
  EXPECT_EQ(full.FindMember("tags").Size(), 1u);

  // A structure field that is omitted when empty is left out when it writes no member.
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
  EXPECT_TRUE(out.FindMember("first").IsStructure() && out.FindMember("first").Size() == 0);
  notes.second.text = "b";
  notes.rest.resize(2);
  out = Write(notes);
  EXPECT_EQ(out.FindMember("second").FindMember("text").AsText(), "b");
  EXPECT_EQ(out.FindMember("rest").At(1).Kind(), ValueKind::Structure);
}

TEST_F(Convert, UnregisteredTypesFailWhenWrittenAndEveryFieldHasAConverter) {
  ValueResult result;
  ToValue(result, Unregistered{}, registry);
  EXPECT_EQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered structure.");
  struct Holder {
    Vector<Unregistered> items;
  };
  registry.BeginStruct<Holder>("Holder").Field("items", &Holder::items);
  Holder holder;
  holder.items.resize(1);
  ToValue(result, holder, registry);
  EXPECT_EQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered structure.");

  const TypeDescriptor* shape = registry.Find<Shape>();
  for (const FieldDescriptor& field : shape->fields) EXPECT_NE(field.converter, nullptr) << field.name;
  EXPECT_EQ(CreateConverter(TypeRef{TypeKind::Map, TypeKind::String, nullptr}, nullptr), nullptr);
  // A field's converter driven directly, as bound functions do.
  const FieldDescriptor* moods = shape->FindField("moods");
  Vector<Mood> native;
  ValueResult read;
  moods->converter->FromValue(read, &native, Make([](Value& v) { v.Append().SetString("Angry"); }), "moods",
                              moods->type.descriptor, &registry, 0);
  ASSERT_TRUE(read.Succeeded()) << read.ErrorMessage();
  EXPECT_EQ(native, (Vector<Mood>{Mood::Angry}));
}

}  // namespace
}  // namespace kiv::binding::convert_test
