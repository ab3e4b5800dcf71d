// The host's records to and from JSON, the subset comparison of scenario
// expectations, and its JSON text in and out.
#include "host_value.h"

#include <gtest/gtest.h>

#include "router.h"

namespace kivhost {
namespace {

// Packed record fields are read by value: a reference to one may be misaligned.
uint32_t Kind(const HostValue& v) { return v.kind; }

TEST(HostValueTest, JsonRoundTripKeepsKindsAndKeyOrder) {
  const json input = json::parse(R"({"b": [1, -2, 2.5, true, null, "t"], "a": {"z": "", "A": 18446744073709551615}})");
  OwnedHostValue value(input);
  const HostValue& v = value.get();
  ASSERT_EQ(Kind(v), static_cast<uint32_t>(KIV_HOST_VALUE_STRUCTURE));
  EXPECT_STREQ(v.u.structure.entries[0].key, "a");  // byte order of keys
  EXPECT_EQ(int{v.u.structure.entries[0].keyOwned}, 1);
  EXPECT_STREQ(v.u.structure.entries[0].value.u.structure.entries[0].key, "A");  // capitals sort first
  const HostValue& list = v.u.structure.entries[1].value;
  const uint32_t kinds[] = {KIV_HOST_VALUE_UNSIGNED, KIV_HOST_VALUE_SIGNED, KIV_HOST_VALUE_FLOAT,
                            KIV_HOST_VALUE_BOOL,     KIV_HOST_VALUE_EMPTY,  KIV_HOST_VALUE_OWNED_STRING};
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(Kind(list.u.collection.items[i]), kinds[i]) << i;
  const HostValue& text = list.u.collection.items[5];
  EXPECT_EQ(text.u.text.data[text.u.text.length], '\0');  // plugins may read up to the zero byte
  json back;
  ASSERT_TRUE(HostValueToJson(v, &back).ok);
  EXPECT_EQ(back, input);
  EXPECT_TRUE(back["a"]["A"].is_number_unsigned());
  EXPECT_TRUE(back["b"][1].is_number_integer());

  HostValue released{};
  JsonToHostValue(json{{"k", json::array({"x", json::object({{"y", "z"}})})}}, &released);
  ReleaseHostValue(&released);
  EXPECT_EQ(Kind(released), 0u);
  ReleaseHostValue(&released);
  ReleaseHostValue(nullptr);
}

TEST(HostValueTest, ReadsBorrowedRecordsAndRejectsMalformedOnes) {
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
  OwnedHostValue copy(out);
  EXPECT_EQ(Kind(copy.get()), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_BLOB));
  EXPECT_EQ(int{copy.get().u.blob.data[2]}, 255);

  HostValue bad{};
  bad.kind = 11;
  EXPECT_EQ(HostValueToJson(bad, &out).error, "invalid value kind 11");
  HostStructEntry entry{};
  HostValue nullKey{};
  nullKey.kind = KIV_HOST_VALUE_STRUCTURE;
  nullKey.u.structure.entries = &entry;
  nullKey.u.structure.count = 1;
  EXPECT_NE(HostValueToJson(nullKey, &out).error.find("null key"), std::string::npos);
  HostValue items[2] = {};
  items[1].kind = 77;
  HostValue list{};
  list.kind = KIV_HOST_VALUE_COLLECTION;
  list.u.collection.items = items;
  list.u.collection.count = 2;
  EXPECT_EQ(HostValueToJson(list, &out).error, "item 1: invalid value kind 77");  // names where it sits
  list.u.collection.items = nullptr;
  EXPECT_FALSE(HostValueToJson(list, &out).ok);
}

TEST(HostValueTest, JsonContainsComparesSubsetsAndNumbersByValue) {
  const json actual = json::parse(R"({"a": 1, "b": {"c": [1, {"d": 2, "e": 3}]}, "f": -1})");
  EXPECT_TRUE(JsonContains(actual, json::parse(R"({"b": {"c": [1, {"d": 2}]}})")));
  EXPECT_FALSE(JsonContains(actual, json::parse(R"({"b": {"c": [1]}})")));  // arrays keep their length
  EXPECT_TRUE(JsonContains(actual, json{{"a", int64_t{1}}}));               // signed against unsigned
  EXPECT_FALSE(JsonContains(actual, json{{"a", -1}}));
  EXPECT_TRUE(JsonContains(actual, json{{"a", 1.0}}));
}

TEST(HostValueTest, JsonTextNeverThrowsLaysOutLikeTheLibraryAndIsBoundedInDepth) {
  json out;
  std::string why;
  EXPECT_FALSE(ParseJson("{\"a\":", &out, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(DumpJson(json("bad \xff byte")), "\"bad \xEF\xBF\xBD byte\"");
  // DumpJson walks containers itself; the text must not tell.
  const json values[] = {
      json::parse(R"({"b": [1, -2, 2.5, 1e300, true, null, "t\n\"q"], "a": {"z": {}, "y": [], "x": [[]]}})"),
      json::array({json::object(), json::array({json::array({1})}), json::binary({1, 2, 255}), "\u00e9"}),
      json::parse("[[[[{\"deep\": [0.1, -0]}]]]]"),
  };
  for (const json& value : values) {
    for (int indent : {-1, 0, 2}) {
      EXPECT_EQ(DumpJson(value, indent), value.dump(indent, ' ', false, json::error_handler_t::replace)) << indent;
    }
  }
  const std::string within = std::string(kMaxValueDepth - 1, '[') + "\"[{\\\"\"" + std::string(kMaxValueDepth - 1, ']');
  ASSERT_TRUE(ParseJson(within, &out, &why)) << why;  // brackets inside a text do not count
  std::string objects;
  for (uint32_t i = 1; i < kMaxValueDepth; ++i) objects += "{\"k\":";
  ASSERT_TRUE(ParseJson(objects + "{}" + std::string(kMaxValueDepth - 1, '}'), &out, &why)) << why;
  EXPECT_FALSE(ParseJson(objects + "{\"k\":0}" + std::string(kMaxValueDepth - 1, '}'), &out, &why));
  EXPECT_EQ(why, "nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
}

}  // namespace
}  // namespace kivhost
