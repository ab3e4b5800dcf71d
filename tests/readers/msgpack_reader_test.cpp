// The MessagePack reader: what type bytes become, the messages with their
// positions, the consumed count and repeated keys.
#include "readers/msgpack_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "value/value.h"

namespace kiv::codecs {
namespace {

using binding::Value;
using binding::ValueKind;
using binding::ValueResult;
using Bytes = std::vector<uint8_t>;

struct Read {
  ValueResult result;
  std::size_t consumed = 12345;
};

Read Decode(const Bytes& bytes) {
  Read r;
  r.result = ReadMessagePack(std::span<const uint8_t>(bytes.data(), bytes.size()), &r.consumed);
  return r;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Str(const std::string& s) {
  Bytes b = {static_cast<uint8_t>(0xa0 | s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}

// The msgpack fuzz program checks every mapping against an independent
// decoder; these are the cases a reader most easily gets wrong.
TEST(MessagePackReader, ScalarsKeepTheirKindsAndSignedness) {
  EXPECT_TRUE(Decode({}).result.IsEmpty());
  EXPECT_EQ(Decode({}).consumed, 0u);
  EXPECT_EQ(Decode({0x05}).result.AsSigned(), 5);  // every fixint reads as Signed
  EXPECT_EQ(Decode({0xe0}).result.AsSigned(), -32);
  EXPECT_EQ(Decode({0xcf, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}).result.AsUnsigned(), 0x0102030405060708ull);
  EXPECT_EQ(Decode({0xd1, 0x80, 0x00}).result.AsSigned(), -32768);
  EXPECT_EQ(Decode({0xd3, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}).result.AsSigned(), -2);
  EXPECT_DOUBLE_EQ(Decode({0xca, 0xc0, 0x49, 0x0f, 0xdb}).result.AsFloat(), static_cast<double>(-3.14159274f));
  EXPECT_FALSE(Decode({0xc2}).result.AsBool(true));
  EXPECT_EQ(Decode({0xdb, 0x00, 0x00, 0x00, 0x02, 'h', 'i'}).result.AsText(), "hi");
  // Texts end at their first zero byte, but the whole declared length is read.
  const Read cut = Decode({0x92, 0xa3, 'a', 0x00, 'b', 0x01});
  EXPECT_EQ(cut.result.At(0).AsText(), "a");
  EXPECT_EQ(cut.result.At(1).AsSigned(), 1);
  const Read bin = Decode({0xc4, 0x03, 0x00, 0xff, 0x10});
  EXPECT_EQ(Bytes(bin.result.AsBlob().begin(), bin.result.AsBlob().end()), (Bytes{0x00, 0xff, 0x10}));
  EXPECT_EQ(Decode({0xc4, 0x00}).result.Kind(), ValueKind::Blob);
}

TEST(MessagePackReader, ArraysMapsDetectionAndOneValueAtATime) {
  // Members come out in byte order of their keys, nil members stay as Empty.
  const Read three =
      Decode(Concat({{0x83}, Str("zeta"), {0x01}, Str("alpha"), {0xc0}, Str("mid"), {0x92, 0x90, 0x80}}));
  const auto members = three.result.Members();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].name(), "alpha");
  EXPECT_TRUE(members[0].value().IsEmpty());
  EXPECT_TRUE(members[1].value().At(1).IsStructure());
  EXPECT_EQ(Decode({0xdf, 0, 0, 0, 1, 0xd9, 0x01, 'k', 0x01}).result.FindMember("k").AsSigned(), 1);
  EXPECT_EQ(Decode({0x81, 0xa0, 0x07}).result.FindMember("").AsSigned(), 7);  // the empty key is a key
  // Maps and arrays are what detection takes for MessagePack.
  for (const Bytes& yes : {Bytes{0x80}, Bytes{0x9f, 0x00}, Bytes{0xdc}, Bytes{0xdf}})
    EXPECT_TRUE(LooksLikeMessagePack(yes));
  for (const Bytes& no : {Bytes{0xa1, 'a'}, Bytes{0x7f}, Bytes{0xdb}, Bytes{}}) EXPECT_FALSE(LooksLikeMessagePack(no));
  // One value is read; trailing bytes are not looked at, even when they would be invalid.
  const Read first = Decode({0x91, 0x81, 0xa1, 'x', 0x90, 0xc1, 0xc1});
  EXPECT_TRUE(first.result.Succeeded());
  EXPECT_EQ(first.consumed, 5u);
}

// Every message, with the position it names and the bytes consumed (the
// position where the fault was found). A failure holds nothing but the message.
TEST(MessagePackReader, MessagesNameTheirPosition) {
  const std::string b8 = "Invalid MessagePack data. 8-bit integer value at position ";
  const std::string b16 = "Invalid MessagePack data. 16-bit integer value at position ";
  const std::string b32 = "Invalid MessagePack data. 32-bit integer value at position ";
  const std::string b64 = "Invalid MessagePack data. 64-bit integer value at position ";
  const std::string cut = " is truncated.";
  const std::string key = "Map keys must be strings.";
  const std::string array = "Invalid MessagePack data. Array of size ";
  const std::string map = "Invalid MessagePack data. Map of size ";
  struct Case {
    Bytes bytes;
    std::string message;
    std::size_t consumed;
  };
  std::vector<Case> cases = {
      // Reads of fixed width: uint, int, float, and the lengths of str, bin, arrays and maps.
      {{0xcc}, b8 + "1" + cut, 1},
      {{0xd9}, b8 + "1" + cut, 1},
      {{0x91, 0xcc}, b8 + "2" + cut, 2},
      {{0xcd, 0x01}, b16 + "1" + cut, 1},
      {{0xda, 0x00}, b16 + "1" + cut, 1},
      {{0xc5, 0x00}, b16 + "1" + cut, 1},
      {{0xdc, 0x00}, b16 + "1" + cut, 1},
      {{0xde}, b16 + "1" + cut, 1},
      {{0xce, 1, 2, 3}, b32 + "1" + cut, 1},
      {{0xca, 0x3f}, b32 + "1" + cut, 1},
      {{0xc6, 0, 0, 0}, b32 + "1" + cut, 1},
      {{0xdd, 0}, b32 + "1" + cut, 1},
      {{0xdf}, b32 + "1" + cut, 1},
      {{0xcf, 1, 2, 3, 4, 5, 6, 7}, b64 + "1" + cut, 1},
      {{0x92, 0x00, 0xcb, 0x3f}, b64 + "3" + cut, 3},
      {{0x81, 0xda, 0x00}, b16 + "2" + cut, 2},
      // Texts and bytes longer than what is left.
      {{0xa3, 0x61, 0x62}, "Invalid MessagePack data. String of size 3 at position 1 is truncated.", 1},
      {{0xdb, 0xff, 0xff, 0xff, 0xff, 0x61},
       "Invalid MessagePack data. String of size 4294967295 at position 5" + cut,
       5},
      {{0xc4, 0x05, 0x00}, "Invalid MessagePack data. Raw bytes of size 5 at position 2 are truncated.", 2},
      {{0xc6, 0x80, 0, 0, 0}, "Invalid MessagePack data. Raw bytes of size 2147483648 at position 5 are truncated.", 5},
      {{0x81, 0xa4, 'a', 'b'}, "Invalid MessagePack data. String of size 4 at position 2 is truncated.", 2},
      // Keys that are no strings.
      {{0x81, 0x01, 0x02}, "Invalid MessagePack data at position 2. " + key, 2},
      {{0x82, 0xa1, 'a', 0x01, 0xc0, 0x02}, "Invalid MessagePack data at position 5. " + key, 5},
      {{0x81, 0xc4, 0x01, 'a', 0x02}, "Invalid MessagePack data at position 2. " + key, 2},
      {{0x81, 0x90, 0x02}, "Invalid MessagePack data at position 2. " + key, 2},
      // Input that ends inside an array or map is not a whole value: the innermost open one is named.
      {{0x92, 0x01}, array + "2 at position 1" + cut, 2},
      {{0xdd, 0xff, 0xff, 0xff, 0xff, 0x01}, array + "4294967295 at position 5" + cut, 6},
      {{0x82, 0xa1, 'a', 0x01}, map + "2 at position 1" + cut, 4},
      {{0x81, 0xa1, 'a'}, map + "1 at position 1" + cut, 3},
      {{0x92, 0x00, 0x81, 0xa1, 'a', 0x92, 0x01}, array + "2 at position 6" + cut, 7},
  };
  // The unused type byte and every extension type.
  for (uint8_t type : {0xc1, 0xc7, 0xc8, 0xc9, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8}) {
    cases.push_back({{type, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, "Invalid MessagePack data at position 1.", 1});
  }
  cases.push_back({{0x93, 0x01, 0x02, 0xd4, 0x01, 0x00}, "Invalid MessagePack data at position 4.", 4});
  for (const Case& c : cases) {
    const Read r = Decode(c.bytes);
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(r.result.ErrorMessage(), c.message);
    EXPECT_EQ(r.consumed, c.consumed);
    EXPECT_EQ(r.result.Size(), 1u);
  }
}

TEST(MessagePackReader, RepeatedKeysFollowTheRulesOfTheTreeBuilder) {
  // A later scalar replaces, a later nil keeps, a later array appends and a
  // later map merges; the bytes after them are still read as the next key.
  const Bytes bytes =
      Concat({{0x86},   Str("a"), {0x91, 0x01}, Str("s"), {0x01},   Str("s"),           {0xc0},   Str("m"), {0x82},
              Str("x"), {0x01},   Str("y"),     {0x02},   Str("a"), {0x92, 0x02, 0x03}, Str("m"), {0x82},   Str("y"),
              {0x05},   Str("z"), {0x06}});
  const Read r = Decode(bytes);
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  EXPECT_EQ(r.consumed, bytes.size());
  EXPECT_EQ(r.result.Size(), 3u);
  EXPECT_EQ(r.result.FindMember("a").Size(), 3u);
  EXPECT_EQ(r.result.FindMember("a").At(2).AsSigned(), 3);
  EXPECT_EQ(r.result.FindMember("s").AsSigned(), 1);
  const Value& m = r.result.FindMember("m");
  EXPECT_EQ(m.Size(), 3u);
  EXPECT_EQ(m.FindMember("x").AsSigned(), 1);
  EXPECT_EQ(m.FindMember("y").AsSigned(), 5);
  // Keys equal up to their first zero byte are the same key; keys are shared within the tree.
  const Read cut = Decode(Concat(
      {{0x92, 0x82}, Str(std::string("k\0x", 3)), {0x91, 0x01}, Str("k"), {0x91, 0x02}, {0x81}, Str("k"), {0x03}}));
  EXPECT_EQ(cut.result.At(0).Size(), 1u);
  EXPECT_EQ(cut.result.At(0).FindMember("k").Size(), 2u);
  EXPECT_EQ(&cut.result.At(0).Members()[0].key(), &cut.result.At(1).Members()[0].key());
}

}  // namespace
}  // namespace kiv::codecs
