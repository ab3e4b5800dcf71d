#include "host_value.h"

#include <gtest/gtest.h>

#include "router.h"

namespace kivhost {
namespace {

// Packed record fields are read by value: a reference to one may be misaligned.
uint32_t Kind(const HostValue& v) { return v.kind; }
uint32_t Count(const HostValue& v) { return v.u.collection.count; }

TEST(HostValueTest, JsonRoundTripKeepsKindsAndKeyOrder) {
  const json input = json::parse(R"({"b": [1, -2, 2.5, true, null, "t"], "a": {"z": "", "A": 18446744073709551615}})");
  OwnedHostValue value(input);
  const HostValue& v = value.get();
  ASSERT_EQ(Kind(v), static_cast<uint32_t>(KIV_HOST_VALUE_STRUCTURE));
  ASSERT_EQ(Count(v), 2u);
  EXPECT_STREQ(v.u.structure.entries[0].key, "a");  // byte order of keys
  EXPECT_EQ(int{v.u.structure.entries[0].keyOwned}, 1);
  const HostValue& inner = v.u.structure.entries[0].value;
  EXPECT_STREQ(inner.u.structure.entries[0].key, "A");  // capitals sort first
  EXPECT_EQ(Kind(inner.u.structure.entries[0].value), static_cast<uint32_t>(KIV_HOST_VALUE_UNSIGNED));
  const HostValue& list = v.u.structure.entries[1].value;
  ASSERT_EQ(Count(list), 6u);
  EXPECT_EQ(Kind(list.u.collection.items[0]), static_cast<uint32_t>(KIV_HOST_VALUE_UNSIGNED));
  EXPECT_EQ(Kind(list.u.collection.items[1]), static_cast<uint32_t>(KIV_HOST_VALUE_SIGNED));
  EXPECT_EQ(Kind(list.u.collection.items[2]), static_cast<uint32_t>(KIV_HOST_VALUE_FLOAT));
  EXPECT_EQ(Kind(list.u.collection.items[3]), static_cast<uint32_t>(KIV_HOST_VALUE_BOOL));
  EXPECT_EQ(Kind(list.u.collection.items[4]), static_cast<uint32_t>(KIV_HOST_VALUE_EMPTY));
  const HostValue& text = list.u.collection.items[5];
  EXPECT_EQ(Kind(text), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_STRING));
  EXPECT_EQ(text.u.text.data[text.u.text.length], '\0');  // plugins may read up to the zero byte

  json back;
  ASSERT_TRUE(HostValueToJson(v, &back).ok);
  EXPECT_EQ(back, input);
  EXPECT_TRUE(back["a"]["A"].is_number_unsigned());
  EXPECT_TRUE(back["b"][1].is_number_integer());
}

TEST(HostValueTest, ReadsBorrowedTextsAndBlobs) {
  const char raw[] = {'a', 'b', '\0', 'c'};
  HostValue text{};
  text.kind = KIV_HOST_VALUE_STRING;
  text.u.text.data = raw;
  text.u.text.length = 4;
  json out;
  ASSERT_TRUE(HostValueToJson(text, &out).ok);
  EXPECT_EQ(out, "ab");  // up to the first zero byte

  const uint8_t bytes[] = {1, 2, 255};
  HostValue blob{};
  blob.kind = KIV_HOST_VALUE_BLOB;
  blob.u.blob.data = bytes;
  blob.u.blob.size = 3;
  ASSERT_TRUE(HostValueToJson(blob, &out).ok);
  ASSERT_TRUE(out.is_binary());
  OwnedHostValue copy(out);
  EXPECT_EQ(Kind(copy.get()), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_BLOB));
  EXPECT_EQ(int{copy.get().u.blob.data[2]}, 255);
}

TEST(HostValueTest, RejectsMalformedValuesWithoutCrashing) {
  json out;
  HostValue bad{};
  bad.kind = 11;
  ReadResult r = HostValueToJson(bad, &out);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("invalid value kind 11"), std::string::npos);

  HostValue nullText{};
  nullText.kind = KIV_HOST_VALUE_OWNED_STRING;
  nullText.u.text.length = 3;
  EXPECT_FALSE(HostValueToJson(nullText, &out).ok);
  nullText.u.text.length = 0;
  ASSERT_TRUE(HostValueToJson(nullText, &out).ok);
  EXPECT_EQ(out, "");

  HostValue nullItems{};
  nullItems.kind = KIV_HOST_VALUE_COLLECTION;
  nullItems.u.collection.count = 2;
  EXPECT_FALSE(HostValueToJson(nullItems, &out).ok);

  HostStructEntry entry{};
  entry.key = nullptr;
  HostValue nullKey{};
  nullKey.kind = KIV_HOST_VALUE_STRUCTURE;
  nullKey.u.structure.entries = &entry;
  nullKey.u.structure.count = 1;
  r = HostValueToJson(nullKey, &out);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("null key"), std::string::npos);

  // A nested error names where it sits.
  HostValue items[2] = {};
  items[1].kind = 77;
  HostValue list{};
  list.kind = KIV_HOST_VALUE_COLLECTION;
  list.u.collection.items = items;
  list.u.collection.count = 2;
  r = HostValueToJson(list, &out);
  EXPECT_EQ(r.error, "item 1: invalid value kind 77");
}

TEST(HostValueTest, DepthIsBounded) {
  json deep = 1;
  for (uint32_t i = 0; i < kMaxValueDepth + 5; ++i) deep = json::array({deep});
  OwnedHostValue value(deep);
  json out;
  EXPECT_FALSE(HostValueToJson(value.get(), &out).ok);
}

TEST(HostValueTest, ReleaseZeroesAndIsRepeatable) {
  HostValue v{};
  JsonToHostValue(json{{"k", json::array({"x", json::object({{"y", "z"}})})}}, &v);
  ReleaseHostValue(&v);
  EXPECT_EQ(Kind(v), 0u);
  ReleaseHostValue(&v);
  ReleaseHostValue(nullptr);
}

TEST(HostValueTest, JsonContainsComparesSubsetsAndNumbersByValue) {
  const json actual = json::parse(R"({"a": 1, "b": {"c": [1, {"d": 2, "e": 3}]}, "f": -1})");
  EXPECT_TRUE(JsonContains(actual, json::parse(R"({"b": {"c": [1, {"d": 2}]}})")));
  EXPECT_FALSE(JsonContains(actual, json::parse(R"({"b": {"c": [1]}})")));  // arrays keep their length
  EXPECT_TRUE(JsonContains(actual, json{{"a", int64_t{1}}}));               // signed against unsigned
  EXPECT_TRUE(JsonContains(actual, json{{"f", -1}}));
  EXPECT_FALSE(JsonContains(actual, json{{"a", -1}}));
  EXPECT_FALSE(JsonContains(actual, json{{"missing", nullptr}}));
  EXPECT_TRUE(JsonContains(actual, json{{"a", 1.0}}));
}

TEST(HostValueTest, ParseAndDumpNeverThrow) {
  json out;
  std::string why;
  EXPECT_FALSE(ParseJson("{\"a\":", &out, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(DumpJson(json("bad \xff byte")), "\"bad \xEF\xBF\xBD byte\"");
}

TEST(HostValueTest, DumpLaysOutLikeTheLibrary) {
  // DumpJson walks containers itself; the text must not tell.
  json values[] = {
      json::parse(R"({"b": [1, -2, 2.5, 1e300, true, null, "t\n\"q"], "a": {"z": {}, "y": [], "x": [[]]}})"),
      json::array({json::object(), json::array({json::array({1})}), json::binary({1, 2, 255}), "\u00e9"}),
      json{{"bad \xff key", "bad \xfe text"}},
      json::parse("[[[[{\"deep\": [0.1, -0]}]]]]"),
      json(42),
      json::object(),
  };
  for (const json& value : values) {
    for (int indent : {-1, 0, 2, 4}) {
      EXPECT_EQ(DumpJson(value, indent), value.dump(indent, ' ', false, json::error_handler_t::replace))
          << indent << " " << value.dump(-1, ' ', false, json::error_handler_t::replace);
    }
  }
}

TEST(HostValueTest, ParseRefusesTextsNestedPastTheBound) {
  const std::string within = std::string(kMaxValueDepth - 1, '[') + "\"[{\\\"\"" + std::string(kMaxValueDepth - 1, ']');
  json out;
  std::string why;
  ASSERT_TRUE(ParseJson(within, &out, &why)) << why;  // brackets inside a text do not count
  EXPECT_FALSE(
      ParseJson(std::string(kMaxValueDepth - 1, '[') + "[1]" + std::string(kMaxValueDepth - 1, ']'), &out, &why));
  EXPECT_EQ(why, "nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
  std::string objects;
  for (uint32_t i = 1; i < kMaxValueDepth; ++i) objects += "{\"k\":";
  ASSERT_TRUE(ParseJson(objects + "{}" + std::string(kMaxValueDepth - 1, '}'), &out, &why)) << why;
  EXPECT_FALSE(ParseJson(objects + "{\"k\":0}" + std::string(kMaxValueDepth - 1, '}'), &out, &why));
}

}  // namespace
}  // namespace kivhost
