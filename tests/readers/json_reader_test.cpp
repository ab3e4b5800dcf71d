// The JSON reader: the mapping to values, repeated members, the error texts
// with their offsets, counted and zero-terminated input, and detection. The
// json fuzz program checks random documents against an independent model of
// the same rules.
#include "readers/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

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
  EXPECT_EQ(counted.ErrorMessage(), terminated.ErrorMessage()) << text;
  EXPECT_TRUE(static_cast<const Value&>(counted) == static_cast<const Value&>(terminated)) << text;
  return counted;
}

TEST(JsonReader, ScalarsNumbersStringsAndContainers) {
  for (const char* text : {"", " \t\r\n  ", "null", " null "}) EXPECT_TRUE(Json(text).IsEmpty()) << text;
  EXPECT_TRUE(ReadJson(static_cast<const char*>(nullptr)).Succeeded());
  EXPECT_EQ(Json("0").Kind(), ValueKind::Unsigned);
  EXPECT_EQ(Json("-0").Kind(), ValueKind::Signed);
  EXPECT_EQ(Json("18446744073709551615").AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(Json("-9223372036854775808").AsSigned(), INT64_MIN);
  EXPECT_DOUBLE_EQ(Json("18446744073709551616").AsFloat(), 18446744073709551616.0);
  EXPECT_EQ(Json("-9223372036854775809").Kind(), ValueKind::Float);
  EXPECT_TRUE(std::signbit(Json("-0.0").AsFloat()));
  EXPECT_EQ(Json(R"("q\" b\\ s\/ \b\f\n\r\t")").AsText(), "q\" b\\ s/ \b\f\n\r\t");
  EXPECT_EQ(Json(R"("\u00e9\u20ac\ud83d\ude00")").AsText(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(Json("\"caf\xc3\xa9 \xff\xfe\"").AsText(), "caf\xc3\xa9 \xff\xfe");  // bytes as they are, UTF-8 or not
  EXPECT_EQ(Json(R"("ab\u0000cd")").AsText(), "ab");  // a text ends at its first zero character
  const ValueResult nested = Json(R"( { "z" : [ {"y": [ [ ], { } ] }, null ], "b": -3, "a": "" } )");
  EXPECT_EQ(Json(R"({"a":"","b":-3,"z":[{"y":[[],{}]},null]})"), static_cast<const Value&>(nested));
  EXPECT_EQ(nested.Members()[0].name(), "a");
  EXPECT_TRUE(nested.FindMember("z").At(0).FindMember("y").At(1).IsStructure());
}

TEST(JsonReader, RepeatedMembersAreOneMember) {
  // A later number replaces, a later null keeps, a later array appends, a
  // later object merges, all the way down.
  EXPECT_EQ(Json(R"({"a":1,"a":2})").FindMember("a").AsUnsigned(), 2u);
  EXPECT_EQ(Json(R"({"a":1,"a":2})").Size(), 1u);
  EXPECT_EQ(Json(R"({"a":"s","a":null,"b":1})").FindMember("a").AsText(), "s");
  const ValueResult arrays = Json(R"({"a":[1],"b":0,"a":[2],"a":[]})");
  ASSERT_EQ(arrays.FindMember("a").Size(), 2u);
  EXPECT_EQ(arrays.FindMember("a").At(1).AsUnsigned(), 2u);
  const ValueResult deep = Json(R"({"a":{"x":{"p":[1],"q":1}},"a":{"x":{"p":[2],"q":null,"r":3},"y":2}})");
  const Value& x = deep.FindMember("a").FindMember("x");
  EXPECT_EQ(deep.FindMember("a").FindMember("y").AsUnsigned(), 2u);
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
  EXPECT_EQ(Json(R"({"a":{"k":[1]},"a":{"k":5,"k":[2]}})").FindMember("a").FindMember("k").Size(), 1u);
  // Names equal up to their first zero character are the same name.
  const ValueResult cut = Json(R"({"k\u0000x":[1],"k":[2]})");
  ASSERT_EQ(cut.Size(), 1u);
  EXPECT_EQ(cut.FindMember("k").Size(), 2u);
  EXPECT_EQ(Json(R"([{"a":1},{"a":2}])").At(1).FindMember("a").AsUnsigned(), 2u);  // separate objects
  // A name may repeat one above the last name when the names so far did not
  // ascend; here the second object follows the first one's names.
  const ValueResult above = Json(R"([{"b":[1],"a":2},{"b":[1],"a":2,"b":[3]}])");
  ASSERT_EQ(above.At(1).Size(), 2u);
  EXPECT_EQ(above.At(1).FindMember("b").Size(), 2u);
}

TEST(JsonReader, ObjectsWithoutACommonKeyOrderKeepTheRules) {
  // Runs of objects whose first keys differ, then follow one order, then
  // differ again: each must come out as if built member by member.
  std::string text = "[";
  Value model;
  model.MakeCollection();
  for (uint32_t i = 0; i < 200; ++i) {
    const bool ordered = i >= 80 && i < 140;
    const uint32_t first = ordered ? 0 : (i * 7) % 13;
    const uint32_t picks[] = {first, (first + 5) % 13, (first + 11) % 13, first};
    Value& object = model.Append();
    object.MakeStructure();
    text += i == 0 ? "{" : ",{";
    for (uint32_t k = 0; k < 4; ++k) {
      const std::string name = "k" + std::to_string(picks[k]);
      text += (k == 0 ? "\"" : ",\"") + name + "\":" + std::to_string(i + k);
      object.Member(name).SetUnsigned(i + k);
    }
    if (i % 10 == 3) {
      // A repeated object name merges.
      text += R"(,"m":{"a":1,"z":2},"k1":0,"m":{"b":3,"a":4})";
      object.Member("k1").SetUnsigned(0);
      Value& merged = object.Member("m");
      merged.Member("a").SetUnsigned(4);
      merged.Member("z").SetUnsigned(2);
      merged.Member("b").SetUnsigned(3);
    }
    text += "}";
  }
  text += "]";
  const ValueResult read = Json(text);
  ASSERT_TRUE(read.Succeeded()) << read.ErrorMessage();
  EXPECT_TRUE(static_cast<const Value&>(read) == model);
  EXPECT_EQ(read.At(13).FindMember("m").FindMember("a").AsUnsigned(), 4u);
  EXPECT_EQ(read.At(199).FindMember("k" + std::to_string((199 * 7) % 13)).AsUnsigned(), 202u);
}

TEST(JsonReader, ErrorTextsAndOffsets) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"{} x", "Error: The document root must not be followed by other values. at offset 3."},
      {"01", "Error: The document root must not be followed by other values. at offset 1."},
      {"[1]//", "Error: The document root must not be followed by other values. at offset 3."},
      {"\f", "Error: Invalid value. at offset 0."},  // form feeds are no JSON whitespace
      {"[1,]", "Error: Invalid value. at offset 3."},
      {"\xef\xbb\xbf[]", "Error: Invalid value. at offset 0."},
      {"nul", "Error: Invalid value. at offset 3."},
      {"[NaN]", "Error: Invalid value. at offset 1."},
      {R"({"a":1,})", "Error: Missing a name for object member. at offset 7."},
      {R"({"a" 1})", "Error: Missing a colon after a name of object member. at offset 5."},
      {R"({"a":1 x})", "Error: Missing a comma or '}' after an object member. at offset 7."},
      {"[1 2]", "Error: Missing a comma or ']' after an array element. at offset 3."},
      {R"("\u12G4")", "Error: Incorrect hex digit after \\u escape in string. at offset 1."},
      {R"(["\ud800x"])", "Error: The surrogate pair in string is invalid. at offset 2."},
      {R"("\x")", "Error: Invalid escape character in string. at offset 1."},
      {"\"a\x01\"", "Error: Invalid escape character in string. at offset 2."},
      {R"("abc)", "Error: Missing a closing quotation mark in string. at offset 4."},
      {"[0, -1e309]", "Error: Number too big to be stored in double. at offset 4."},
      {"1.", "Error: Miss fraction part in number. at offset 2."},
      {"[1.5e+]", "Error: Miss exponent in number. at offset 6."},
  };
  for (const auto& c : cases) EXPECT_EQ(Json(c.text).ErrorMessage(), c.message) << c.text;
  // Nothing of a partly built tree is returned.
  const ValueResult r = Json(R"({"a":[1,2,{"b":3}],"c":})");
  EXPECT_EQ(r.Size(), 1u);
  EXPECT_TRUE(r.FindMember("a").IsEmpty());
}

TEST(JsonReader, TextEndsAtItsFirstZeroByteAndCountedTextAtItsEnd) {
  EXPECT_EQ(ReadJson(std::string_view("[1] \0 garbage", 13)).Size(), 1u);
  EXPECT_EQ(ReadJson(std::string_view("[1,\0 2]", 7)).ErrorMessage(), "Error: Invalid value. at offset 3.");
  EXPECT_EQ(ReadJson(std::string_view("\"ab\0cd\"", 7)).ErrorMessage(),
            "Error: Missing a closing quotation mark in string. at offset 3.");
  EXPECT_TRUE(ReadJson(std::string_view("\0[", 2)).IsEmpty());
  const char unterminated[] = {'[', '1', ',', '2'};
  EXPECT_EQ(ReadJson(std::string_view(unterminated, sizeof unterminated)).ErrorMessage(),
            "Error: Missing a comma or ']' after an array element. at offset 4.");
  const char number[] = {'1', '2'};
  EXPECT_EQ(ReadJson(std::string_view(number, sizeof number)).AsUnsigned(), 12u);
  // Longer than the copy kept on the stack, and followed by what would
  // still be a number if the reader looked past the end.
  std::string longer = "[";
  for (int i = 0; i < 1500; ++i) longer += "1,";
  longer += "2]3";
  EXPECT_EQ(ReadJson(std::string_view(longer.data(), longer.size() - 1)).Size(), 1501u);
  EXPECT_EQ(ReadJson(std::string_view(longer.data(), longer.size() - 2)).ErrorMessage(),
            "Error: Missing a comma or ']' after an array element. at offset 3002.");

  for (const char* text : {"  [1]", "{}", "[oops"}) EXPECT_TRUE(LooksLikeJson(text)) << text;
  for (const char* text : {"\t{}", "\n[1]", "", "   ", "null", "\"text\""}) EXPECT_FALSE(LooksLikeJson(text)) << text;
}

}  // namespace
}  // namespace kiv::codecs
