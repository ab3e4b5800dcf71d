// The JSON reader: the mapping to values, repeated members, the error texts
// with their offsets, counted and zero-terminated input, depth and detection.
#include "readers/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "value/value.h"

namespace kiv::codecs {
namespace {

using binding::Value;
using binding::ValueKind;
using binding::ValueResult;

// Reads through both entry points, which must agree.
ValueResult Json(const std::string& text) {
  ValueResult counted = ReadJson(std::string_view(text));
  const ValueResult terminated = ReadJson(text.c_str());
  EXPECT_EQ(counted.Succeeded(), terminated.Succeeded()) << text;
  EXPECT_EQ(counted.ErrorMessage(), terminated.ErrorMessage()) << text;
  EXPECT_TRUE(static_cast<const Value&>(counted) == static_cast<const Value&>(terminated)) << text;
  return counted;
}

std::string ErrorOf(const std::string& text) {
  const ValueResult r = Json(text);
  EXPECT_FALSE(r.Succeeded()) << text;
  return std::string(r.ErrorMessage());
}

TEST(JsonReader, EmptyAndBlankTextsGiveEmpty) {
  for (const char* text : {"", " ", " \t\r\n  ", "null", " null "}) {
    const ValueResult r = Json(text);
    EXPECT_TRUE(r.Succeeded()) << text;
    EXPECT_TRUE(r.IsEmpty()) << text;
  }
  EXPECT_TRUE(ReadJson(static_cast<const char*>(nullptr)).Succeeded());
  // Form feeds and vertical tabs are no JSON whitespace.
  EXPECT_EQ(ErrorOf("\f"), "Error: Invalid value. at offset 0.");
}

TEST(JsonReader, NumbersMapToKinds) {
  struct Case {
    const char* text;
    ValueKind kind;
  };
  const Case kinds[] = {
      {"0", ValueKind::Unsigned},
      {"-0", ValueKind::Signed},
      {"-1", ValueKind::Signed},
      {"4294967295", ValueKind::Unsigned},
      {"4294967296", ValueKind::Unsigned},
      {"-2147483648", ValueKind::Signed},
      {"-2147483649", ValueKind::Signed},
      {"18446744073709551615", ValueKind::Unsigned},
      {"18446744073709551616", ValueKind::Float},
      {"-9223372036854775808", ValueKind::Signed},
      {"-9223372036854775809", ValueKind::Float},
      {"1.0", ValueKind::Float},
      {"1e2", ValueKind::Float},
      {"-0.0", ValueKind::Float},
      {"1E-2", ValueKind::Float},
  };
  for (const Case& c : kinds) EXPECT_EQ(Json(c.text).Kind(), c.kind) << c.text;

  EXPECT_EQ(Json("0").AsUnsigned(99), 0u);
  EXPECT_EQ(Json("-0").AsSigned(99), 0);
  EXPECT_EQ(Json("4294967296").AsUnsigned(), 4294967296ull);
  EXPECT_EQ(Json("-2147483649").AsSigned(), -2147483649ll);
  EXPECT_EQ(Json("18446744073709551615").AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(Json("-9223372036854775808").AsSigned(), INT64_MIN);
  EXPECT_DOUBLE_EQ(Json("18446744073709551616").AsFloat(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ(Json("1.0").AsFloat(), 1.0);
  EXPECT_DOUBLE_EQ(Json("1e2").AsFloat(), 100.0);
  EXPECT_DOUBLE_EQ(Json("-12.5e-1").AsFloat(), -1.25);
  EXPECT_TRUE(std::signbit(Json("-0.0").AsFloat()));
  EXPECT_EQ(Json("1e-400").AsFloat(-1), 0.0);
}

TEST(JsonReader, ScalarsStringsAndContainers) {
  EXPECT_TRUE(Json("true").AsBool());
  EXPECT_TRUE(Json("false").IsBool());
  EXPECT_FALSE(Json("false").AsBool(true));

  EXPECT_EQ(Json(R"("plain")").AsText(), "plain");
  EXPECT_EQ(Json(R"("")").Kind(), ValueKind::String);
  EXPECT_EQ(Json(R"("q\" b\\ s\/ \b\f\n\r\t")").AsText(), "q\" b\\ s/ \b\f\n\r\t");
  EXPECT_EQ(Json(R"("\u00e9\u20ac\ud83d\ude00")").AsText(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  // Bytes above 0x7f are copied as they are, valid UTF-8 or not.
  EXPECT_EQ(Json("\"caf\xc3\xa9 \xff\xfe\"").AsText(), "caf\xc3\xa9 \xff\xfe");
  // A value keeps its text up to the first zero character.
  EXPECT_EQ(Json(R"("ab\u0000cd")").AsText(), "ab");

  const ValueResult list = Json("[null,1]");
  ASSERT_TRUE(list.IsCollection());
  ASSERT_EQ(list.Size(), 2u);
  EXPECT_TRUE(list.At(0).IsEmpty());
  EXPECT_EQ(list.At(1).AsUnsigned(), 1u);
  EXPECT_TRUE(Json("[]").IsCollection());
  EXPECT_TRUE(Json("{}").IsStructure());

  const ValueResult object = Json(R"({"a":null})");
  ASSERT_TRUE(object.IsStructure());
  ASSERT_EQ(object.Size(), 1u);
  EXPECT_EQ(object.Members()[0].name(), "a");
  EXPECT_TRUE(object.Members()[0].value().IsEmpty());

  const ValueResult nested = Json(R"( { "z" : [ {"y": [ [ ], { } ] } ], "b": -3, "a": "x" } )");
  ASSERT_TRUE(nested.Succeeded());
  const auto members = nested.Members();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].name(), "a");
  EXPECT_EQ(members[1].name(), "b");
  EXPECT_EQ(members[2].name(), "z");
  EXPECT_EQ(members[2].value().At(0).FindMember("y").Size(), 2u);
  EXPECT_TRUE(members[2].value().At(0).FindMember("y").At(1).IsStructure());
}

TEST(JsonReader, RepeatedMembersAreOneMember) {
  EXPECT_EQ(Json(R"({"a":1,"a":2})").FindMember("a").AsUnsigned(), 2u);
  EXPECT_EQ(Json(R"({"a":1,"a":2})").Size(), 1u);
  EXPECT_EQ(Json(R"({"a":1,"a":null})").FindMember("a").AsUnsigned(), 1u);
  EXPECT_EQ(Json(R"({"a":"s","a":null,"b":1})").FindMember("a").AsText(), "s");

  const ValueResult arrays = Json(R"({"a":[1],"b":0,"a":[2],"a":[]})");
  ASSERT_EQ(arrays.FindMember("a").Size(), 2u);
  EXPECT_EQ(arrays.FindMember("a").At(1).AsUnsigned(), 2u);

  const ValueResult objects = Json(R"({"a":{"x":1},"a":{"y":2}})");
  EXPECT_EQ(objects.FindMember("a").Size(), 2u);
  EXPECT_EQ(objects.FindMember("a").FindMember("x").AsUnsigned(), 1u);
  EXPECT_EQ(objects.FindMember("a").FindMember("y").AsUnsigned(), 2u);

  // Merging goes all the way down, with the same rules at every level.
  const ValueResult deep = Json(R"({"a":{"x":{"p":[1],"q":1}},"a":{"x":{"p":[2],"q":null,"r":3}}})");
  const Value& x = deep.FindMember("a").FindMember("x");
  EXPECT_EQ(x.FindMember("p").Size(), 2u);
  EXPECT_EQ(x.FindMember("q").AsUnsigned(), 1u);
  EXPECT_EQ(x.FindMember("r").AsUnsigned(), 3u);

  // A container of the other shape replaces, and so does a scalar; what comes
  // after a replacement starts from it.
  EXPECT_TRUE(Json(R"({"a":[1],"a":{"k":1}})").FindMember("a").IsStructure());
  EXPECT_TRUE(Json(R"({"a":{"k":1},"a":[1]})").FindMember("a").IsCollection());
  const ValueResult replaced = Json(R"({"a":[1],"a":5,"a":[2]})");
  ASSERT_EQ(replaced.FindMember("a").Size(), 1u);
  EXPECT_EQ(replaced.FindMember("a").At(0).AsUnsigned(), 2u);
  const ValueResult inner = Json(R"({"a":{"k":[1]},"a":{"k":5,"k":[2]}})");
  ASSERT_EQ(inner.FindMember("a").FindMember("k").Size(), 1u);

  // Names equal up to their first zero character are the same name.
  const ValueResult cut = Json(R"({"k\u0000x":[1],"k":[2]})");
  ASSERT_EQ(cut.Size(), 1u);
  EXPECT_EQ(cut.FindMember("k").Size(), 2u);

  // Objects in an array are separate objects.
  const ValueResult separate = Json(R"([{"a":1},{"a":2}])");
  EXPECT_EQ(separate.At(1).FindMember("a").AsUnsigned(), 2u);
}

// Builds objects with many members and repeats and checks the result against
// a plain model of the rules (here: arrays append, numbers replace, null keeps).
TEST(JsonReader, RepeatedMembersInLargeObjectsMatchTheRules) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    const int distinct = 1 + static_cast<int>(random() % 200);
    const int count = static_cast<int>(random() % 600);
    std::map<std::string, std::vector<int>> arrays;
    std::map<std::string, std::pair<bool, int>> numbers;  // present, value
    std::string text = "{";
    for (int i = 0; i < count; ++i) {
      const int k = static_cast<int>(random() % distinct);
      const int v = static_cast<int>(random() % 1000);
      if (i != 0) text += ',';
      if (k % 2 == 0) {
        const std::string name = "arr" + std::to_string(k);
        text += "\"" + name + "\":[" + std::to_string(v) + "]";
        arrays[name].push_back(v);
      } else {
        const std::string name = "num" + std::to_string(k);
        auto& slot = numbers[name];
        if (v % 5 == 0) {
          text += "\"" + name + "\":null";
        } else {
          text += "\"" + name + "\":" + std::to_string(v);
          slot = {true, v};
        }
      }
    }
    text += "}";
    const ValueResult r = Json(text);
    ASSERT_TRUE(r.Succeeded()) << r.ErrorMessage();
    ASSERT_EQ(r.Size(), arrays.size() + numbers.size());
    for (const auto& [name, want] : arrays) {
      const Value& got = r.FindMember(name);
      ASSERT_EQ(got.Size(), want.size()) << name;
      for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got.At(i).AsUnsigned(), static_cast<uint64_t>(want[i]));
    }
    for (const auto& [name, want] : numbers) {
      const Value& got = r.FindMember(name);
      if (want.first) {
        EXPECT_EQ(got.AsUnsigned(), static_cast<uint64_t>(want.second)) << name;
      } else {
        EXPECT_TRUE(got.IsEmpty()) << name;
      }
    }
  }
}

// Sibling objects usually name the same members in the same order, which the
// reader exploits; objects that follow the one before for a while and then
// differ, stop early, or repeat a name after following it must still obey the
// rules (here: numbers replace, null keeps).
TEST(JsonReader, SiblingObjectsOfVaryingShapesMatchTheRules) {
  std::mt19937 random(11);
  // As written in the text: the fourth is the member "k" (cut at its zero).
  const char* const pool[] = {"id", "type", "body", R"(k\u0000cut)", "k", "a-much-longer-member-name", "z"};
  std::vector<int> previous;
  std::string text = "[";
  std::vector<std::map<std::string, std::pair<bool, int>>> model;
  for (int object = 0; object < 300; ++object) {
    std::vector<int> names;
    const int mode = static_cast<int>(random() % 4);
    if (mode != 0) {
      // Follow the previous object's names, for all of them or a prefix.
      std::size_t keep = mode == 1 ? previous.size() : random() % (previous.size() + 1);
      names.assign(previous.begin(), previous.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    for (int extra = static_cast<int>(random() % 4); extra > 0; --extra)
      names.push_back(static_cast<int>(random() % 7));
    previous = names;
    auto& members = model.emplace_back();
    text += object == 0 ? "{" : ",{";
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string key = names[i] == 3 ? "k" : pool[names[i]];
      const int v = static_cast<int>(random() % 100);
      text += (i == 0 ? "\"" : ",\"") + std::string(pool[names[i]]) + "\":" + (v % 4 == 0 ? "null" : std::to_string(v));
      auto& slot = members[key];
      if (v % 4 != 0) slot = {true, v};
    }
    text += "}";
  }
  text += "]";
  const ValueResult r = Json(text);
  ASSERT_TRUE(r.Succeeded()) << r.ErrorMessage();
  ASSERT_EQ(r.Size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) {
    const Value& object = r.At(i);
    ASSERT_EQ(object.Size(), model[i].size()) << i;
    for (const auto& [name, want] : model[i]) {
      const Value& got = object.FindMember(name);
      if (want.first) {
        EXPECT_EQ(got.AsUnsigned(), static_cast<uint64_t>(want.second)) << i << " " << name;
      } else {
        EXPECT_TRUE(got.IsEmpty()) << i << " " << name;
      }
    }
  }
}

TEST(JsonReader, ErrorTextsAndOffsets) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"{} x", "Error: The document root must not be followed by other values. at offset 3."},
      {"[1]]", "Error: The document root must not be followed by other values. at offset 3."},
      {"01", "Error: The document root must not be followed by other values. at offset 1."},
      {"[1,]", "Error: Invalid value. at offset 3."},
      {"\xef\xbb\xbf[]", "Error: Invalid value. at offset 0."},
      {"nul", "Error: Invalid value. at offset 3."},
      {"[", "Error: Invalid value. at offset 1."},
      {"[NaN]", "Error: Invalid value. at offset 1."},
      {"'a'", "Error: Invalid value. at offset 0."},
      {"[1]//", "Error: The document root must not be followed by other values. at offset 3."},
      {"{1:2}", "Error: Missing a name for object member. at offset 1."},
      {R"({"a":1,})", "Error: Missing a name for object member. at offset 7."},
      {R"({"a" 1})", "Error: Missing a colon after a name of object member. at offset 5."},
      {R"({"a":1 x})", "Error: Missing a comma or '}' after an object member. at offset 7."},
      {"[1 2]", "Error: Missing a comma or ']' after an array element. at offset 3."},
      {R"("\u12G4")", "Error: Incorrect hex digit after \\u escape in string. at offset 1."},
      {R"(["\ud800x"])", "Error: The surrogate pair in string is invalid. at offset 2."},
      {R"("\ud800\u0041")", "Error: The surrogate pair in string is invalid. at offset 1."},
      {R"("\x")", "Error: Invalid escape character in string. at offset 1."},
      {"\"a\x01\"", "Error: Invalid escape character in string. at offset 2."},
      {R"("abc)", "Error: Missing a closing quotation mark in string. at offset 4."},
      {"1e400", "Error: Number too big to be stored in double. at offset 0."},
      {"[0, -1e309]", "Error: Number too big to be stored in double. at offset 4."},
      {"1.", "Error: Miss fraction part in number. at offset 2."},
      {"1e", "Error: Miss exponent in number. at offset 2."},
      {"[1.5e+]", "Error: Miss exponent in number. at offset 6."},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;

  // Nothing of a partly built tree is returned.
  const ValueResult r = Json(R"({"a":[1,2,{"b":3}],"c":})");
  EXPECT_EQ(r.Size(), 1u);
  EXPECT_TRUE(r.FindMember("a").IsEmpty());
}

TEST(JsonReader, TextEndsAtItsFirstZeroByte) {
  const std::string trailing("[1] \0 garbage", 13);
  const ValueResult r = ReadJson(std::string_view(trailing));
  ASSERT_TRUE(r.Succeeded()) << r.ErrorMessage();
  EXPECT_EQ(r.Size(), 1u);
  EXPECT_EQ(ReadJson(std::string_view("[1,\0 2]", 7)).ErrorMessage(), "Error: Invalid value. at offset 3.");
  EXPECT_EQ(ReadJson(std::string_view("\"ab\0cd\"", 7)).ErrorMessage(),
            "Error: Missing a closing quotation mark in string. at offset 3.");
  EXPECT_TRUE(ReadJson(std::string_view("\0[", 2)).IsEmpty());
  // A counted text is never read past its end, even where a terminator is missing.
  const char unterminated[] = {'[', '1', ',', '2'};
  EXPECT_EQ(ReadJson(std::string_view(unterminated, sizeof unterminated)).ErrorMessage(),
            "Error: Missing a comma or ']' after an array element. at offset 4.");
  const char number[] = {'1', '2'};
  EXPECT_EQ(ReadJson(std::string_view(number, sizeof number)).AsUnsigned(), 12u);
}

TEST(JsonReader, Detection) {
  EXPECT_TRUE(LooksLikeJson("  [1]"));
  EXPECT_TRUE(LooksLikeJson("{}"));
  EXPECT_TRUE(LooksLikeJson("[oops"));
  EXPECT_FALSE(LooksLikeJson("\t{}"));
  EXPECT_FALSE(LooksLikeJson("\n[1]"));
  EXPECT_FALSE(LooksLikeJson(""));
  EXPECT_FALSE(LooksLikeJson("   "));
  EXPECT_FALSE(LooksLikeJson("null"));
  EXPECT_FALSE(LooksLikeJson("\"text\""));
}

}  // namespace
}  // namespace kiv::codecs
