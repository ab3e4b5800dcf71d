// The MessagePack reader: what each type byte becomes, the messages with their
// positions, the consumed count, repeated keys, hostile headers and depth.
#include "readers/msgpack_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "value/value.h"
#include "logging/memory.h"

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
  Bytes b;
  if (s.size() < 32) {
    b.push_back(static_cast<uint8_t>(0xa0 | s.size()));
  } else {
    b = {0xd9, static_cast<uint8_t>(s.size())};
  }
  b.insert(b.end(), s.begin(), s.end());
  return b;
}

void ExpectFailure(const Bytes& bytes, const std::string& message, std::size_t consumed) {
  const Read r = Decode(bytes);
  EXPECT_FALSE(r.result.Succeeded());
  EXPECT_EQ(r.result.ErrorMessage(), message);
  EXPECT_EQ(r.consumed, consumed);
  // A failure holds nothing but the message.
  EXPECT_EQ(r.result.Kind(), ValueKind::Structure);
  EXPECT_EQ(r.result.Size(), 1u);
}

TEST(MessagePackReader, NoBytesGiveEmpty) {
  const Read r = Decode({});
  EXPECT_TRUE(r.result.Succeeded());
  EXPECT_TRUE(r.result.IsEmpty());
  EXPECT_EQ(r.consumed, 0u);
  EXPECT_TRUE(ReadMessagePack(std::string_view()).Succeeded());
}

TEST(MessagePackReader, IntegersKeepTheirSignedness) {
  struct Case {
    Bytes bytes;
    ValueKind kind;
    int64_t signedValue;
    uint64_t unsignedValue;
  };
  const Case cases[] = {
      {{0x00}, ValueKind::Signed, 0, 0},
      {{0x05}, ValueKind::Signed, 5, 0},
      {{0xe0}, ValueKind::Signed, -32, 0},
      {{0xff}, ValueKind::Signed, -1, 0},
      {{0xcc, 0xff}, ValueKind::Unsigned, 0, 255},
      {{0xcd, 0x01, 0x00}, ValueKind::Unsigned, 0, 256},
      {{0xce, 0xff, 0xff, 0xff, 0xff}, ValueKind::Unsigned, 0, 0xffffffffu},
      {{0xcf, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, ValueKind::Unsigned, 0, 0x0102030405060708ull},
      {{0xd0, 0xff}, ValueKind::Signed, -1, 0},
      {{0xd1, 0x80, 0x00}, ValueKind::Signed, -32768, 0},
      {{0xd2, 0x80, 0x00, 0x00, 0x00}, ValueKind::Signed, INT32_MIN, 0},
      {{0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}, ValueKind::Signed, INT64_MIN, 0},
      {{0xd3, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}, ValueKind::Signed, -2, 0},
  };
  for (const Case& c : cases) {
    const Read r = Decode(c.bytes);
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
    EXPECT_EQ(r.result.Kind(), c.kind);
    EXPECT_EQ(r.result.AsSigned(), c.signedValue);
    EXPECT_EQ(r.result.AsUnsigned(), c.unsignedValue);
    EXPECT_EQ(r.consumed, c.bytes.size());
  }
}

TEST(MessagePackReader, OtherScalars) {
  EXPECT_DOUBLE_EQ(Decode({0xca, 0x3f, 0x80, 0x00, 0x00}).result.AsFloat(), 1.0);
  EXPECT_DOUBLE_EQ(Decode({0xca, 0xc0, 0x49, 0x0f, 0xdb}).result.AsFloat(), static_cast<double>(-3.14159274f));
  EXPECT_DOUBLE_EQ(Decode({0xcb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18}).result.AsFloat(), 3.141592653589793);
  EXPECT_EQ(Decode({0xcb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18}).result.Kind(), ValueKind::Float);

  const Read t = Decode({0xc3}), f = Decode({0xc2}), nil = Decode({0xc0});
  EXPECT_TRUE(t.result.IsBool() && t.result.AsBool());
  EXPECT_TRUE(f.result.IsBool() && !f.result.AsBool(true));
  EXPECT_TRUE(nil.result.Succeeded() && nil.result.IsEmpty());
  EXPECT_EQ(nil.consumed, 1u);

  EXPECT_EQ(Decode({0xa3, 'a', 'b', 'c'}).result.AsText(), "abc");
  EXPECT_EQ(Decode({0xa0}).result.Kind(), ValueKind::String);
  EXPECT_EQ(Decode({0xd9, 0x02, 'h', 'i'}).result.AsText(), "hi");
  EXPECT_EQ(Decode({0xda, 0x00, 0x02, 'h', 'i'}).result.AsText(), "hi");
  EXPECT_EQ(Decode({0xdb, 0x00, 0x00, 0x00, 0x02, 'h', 'i'}).result.AsText(), "hi");
  // Texts end at their first zero byte, but the whole declared length is read.
  const Read cut = Decode({0x92, 0xa3, 'a', 0x00, 'b', 0x01});
  ASSERT_TRUE(cut.result.Succeeded());
  EXPECT_EQ(cut.result.At(0).AsText(), "a");
  EXPECT_EQ(cut.result.At(1).AsSigned(), 1);

  const Read bin = Decode({0xc4, 0x03, 0x00, 0xff, 0x10});
  ASSERT_EQ(bin.result.Kind(), ValueKind::Blob);
  EXPECT_EQ(Bytes(bin.result.AsBlob().begin(), bin.result.AsBlob().end()), (Bytes{0x00, 0xff, 0x10}));
  EXPECT_EQ(Decode({0xc5, 0x00, 0x01, 0x07}).result.AsBlob().size(), 1u);
  EXPECT_EQ(Decode({0xc6, 0x00, 0x00, 0x00, 0x02, 0x07, 0x08}).result.AsBlob().size(), 2u);
  EXPECT_EQ(Decode({0xc4, 0x00}).result.Kind(), ValueKind::Blob);
}

TEST(MessagePackReader, ArraysAndMaps) {
  const Read pair = Decode({0x92, 0x01, 0xc0});
  ASSERT_TRUE(pair.result.IsCollection());
  ASSERT_EQ(pair.result.Size(), 2u);
  EXPECT_EQ(pair.result.At(0).AsSigned(), 1);
  EXPECT_TRUE(pair.result.At(1).IsEmpty());

  const Read map = Decode({0x81, 0xa1, 'a', 0x01});
  ASSERT_TRUE(map.result.IsStructure());
  ASSERT_EQ(map.result.Size(), 1u);
  EXPECT_EQ(map.result.FindMember("a").AsSigned(), 1);

  // Members come out in byte order of their keys, nil members stay as Empty.
  const Read three =
      Decode(Concat({{0x83}, Str("zeta"), {0x01}, Str("alpha"), {0xc0}, Str("mid"), {0x92, 0x90, 0x80}}));
  ASSERT_TRUE(three.result.Succeeded()) << three.result.ErrorMessage();
  const auto members = three.result.Members();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].name(), "alpha");
  EXPECT_TRUE(members[0].value().IsEmpty());
  EXPECT_EQ(members[1].name(), "mid");
  EXPECT_TRUE(members[1].value().At(0).IsCollection());
  EXPECT_TRUE(members[1].value().At(1).IsStructure());
  EXPECT_EQ(members[2].name(), "zeta");

  EXPECT_TRUE(Decode({0x90}).result.IsCollection());
  EXPECT_TRUE(Decode({0x80}).result.IsStructure());
  EXPECT_EQ(Decode({0xdc, 0x00, 0x02, 0x01, 0x02}).result.Size(), 2u);
  EXPECT_EQ(Decode({0xdd, 0x00, 0x00, 0x00, 0x01, 0x01}).result.Size(), 1u);
  EXPECT_EQ(Decode({0xde, 0x00, 0x01, 0xa1, 'k', 0x01}).result.FindMember("k").AsSigned(), 1);
  EXPECT_EQ(Decode({0xdf, 0x00, 0x00, 0x00, 0x01, 0xd9, 0x01, 'k', 0x01}).result.FindMember("k").AsSigned(), 1);
  EXPECT_EQ(Decode({0x81, 0xda, 0x00, 0x01, 'k', 0x01}).result.FindMember("k").AsSigned(), 1);
  EXPECT_EQ(Decode({0x81, 0xdb, 0x00, 0x00, 0x00, 0x01, 'k', 0x01}).result.FindMember("k").AsSigned(), 1);
  // The empty key is a key.
  EXPECT_EQ(Decode({0x81, 0xa0, 0x07}).result.FindMember("").AsSigned(), 7);

  // A larger array goes through the growth of its storage.
  Bytes big = {0xdc, 0x01, 0x2c};
  for (int i = 0; i < 300; ++i) big.push_back(static_cast<uint8_t>(i & 0x7f));
  const Read many = Decode(big);
  ASSERT_EQ(many.result.Size(), 300u);
  EXPECT_EQ(many.result.At(299).AsSigned(), 299 & 0x7f);
}

TEST(MessagePackReader, StopsAfterOneValue) {
  const Read r = Decode({0x01, 0x02});
  EXPECT_TRUE(r.result.Succeeded());
  EXPECT_EQ(r.result.AsSigned(), 1);
  EXPECT_EQ(r.consumed, 1u);

  // Trailing bytes are not looked at, even when they would be invalid.
  const Read nested = Decode({0x91, 0x81, 0xa1, 'x', 0x90, 0xc1, 0xc1});
  EXPECT_TRUE(nested.result.Succeeded());
  EXPECT_EQ(nested.consumed, 5u);
}

// Every message, with the position it names and the bytes consumed (the
// position where the fault was found).
TEST(MessagePackReader, MessagesNameTheirPosition) {
  const std::string b8 = "Invalid MessagePack data. 8-bit integer value at position ";
  const std::string b16 = "Invalid MessagePack data. 16-bit integer value at position ";
  const std::string b32 = "Invalid MessagePack data. 32-bit integer value at position ";
  const std::string b64 = "Invalid MessagePack data. 64-bit integer value at position ";
  const std::string cut = " is truncated.";
  const std::string key = "Map keys must be strings.";
  struct Case {
    Bytes bytes;
    std::string message;
    std::size_t consumed;
  };
  const Case cases[] = {
      // Reads of fixed width: uint, int, float, and the lengths of str and bin.
      {{0xcc}, b8 + "1" + cut, 1},
      {{0xd0}, b8 + "1" + cut, 1},
      {{0xd9}, b8 + "1" + cut, 1},
      {{0xc4}, b8 + "1" + cut, 1},
      {{0x91, 0xcc}, b8 + "2" + cut, 2},
      {{0xcd}, b16 + "1" + cut, 1},
      {{0xcd, 0x01}, b16 + "1" + cut, 1},
      {{0xd1, 0x01}, b16 + "1" + cut, 1},
      {{0xda, 0x00}, b16 + "1" + cut, 1},
      {{0xc5, 0x00}, b16 + "1" + cut, 1},
      {{0xdc, 0x00}, b16 + "1" + cut, 1},
      {{0xde}, b16 + "1" + cut, 1},
      {{0xce, 1, 2, 3}, b32 + "1" + cut, 1},
      {{0xd2}, b32 + "1" + cut, 1},
      {{0xca, 0x3f}, b32 + "1" + cut, 1},
      {{0xdb, 0, 0}, b32 + "1" + cut, 1},
      {{0xc6, 0, 0, 0}, b32 + "1" + cut, 1},
      {{0xdd, 0}, b32 + "1" + cut, 1},
      {{0xdf}, b32 + "1" + cut, 1},
      {{0xcf, 1, 2, 3, 4, 5, 6, 7}, b64 + "1" + cut, 1},
      {{0xd3}, b64 + "1" + cut, 1},
      {{0x92, 0x00, 0xcb, 0x3f}, b64 + "3" + cut, 3},
      // Texts and bytes longer than what is left.
      {{0xa3, 0x61, 0x62}, "Invalid MessagePack data. String of size 3 at position 1 is truncated.", 1},
      {{0xd9, 0x05, 0x61}, "Invalid MessagePack data. String of size 5 at position 2 is truncated.", 2},
      {{0xdb, 0xff, 0xff, 0xff, 0xff, 0x61},
       "Invalid MessagePack data. String of size 4294967295 at position 5 is truncated.",
       5},
      {{0xc4, 0x05, 0x00}, "Invalid MessagePack data. Raw bytes of size 5 at position 2 are truncated.", 2},
      {{0xc6, 0x80, 0x00, 0x00, 0x00},
       "Invalid MessagePack data. Raw bytes of size 2147483648 at position 5 are truncated.",
       5},
      {{0x81, 0xa4, 'a', 'b'}, "Invalid MessagePack data. String of size 4 at position 2 is truncated.", 2},
      {{0x81, 0xda, 0x00}, b16 + "2" + cut, 2},
      // Keys that are no strings.
      {{0x81, 0x01, 0x02}, "Invalid MessagePack data at position 2. " + key, 2},
      {{0x82, 0xa1, 'a', 0x01, 0xc0, 0x02}, "Invalid MessagePack data at position 5. " + key, 5},
      {{0x81, 0xc4, 0x01, 'a', 0x02}, "Invalid MessagePack data at position 2. " + key, 2},
      {{0x81, 0x90, 0x02}, "Invalid MessagePack data at position 2. " + key, 2},
      {{0x93, 0x01, 0x02, 0xd4, 0x01, 0x00}, "Invalid MessagePack data at position 4.", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectFailure(c.bytes, c.message, c.consumed);
  }
  // The unused type byte and every extension type.
  for (uint8_t type : {0xc1, 0xc7, 0xc8, 0xc9, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8}) {
    SCOPED_TRACE(static_cast<int>(type));
    ExpectFailure({type, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, "Invalid MessagePack data at position 1.", 1);
  }
}

// Input that ends inside an array or map is not a whole value: reporting the
// part that arrived as success would hide lost data.
TEST(MessagePackReader, InputEndingInsideAContainerFails) {
  ExpectFailure({0x92, 0x01}, "Invalid MessagePack data. Array of size 2 at position 1 is truncated.", 2);
  ExpectFailure({0x91}, "Invalid MessagePack data. Array of size 1 at position 1 is truncated.", 1);
  ExpectFailure({0xdd, 0xff, 0xff, 0xff, 0xff, 0x01},
                "Invalid MessagePack data. Array of size 4294967295 at position 5 is truncated.", 6);
  ExpectFailure({0x81, 0xa1, 'a'}, "Invalid MessagePack data. Map of size 1 at position 1 is truncated.", 3);
  ExpectFailure({0x82, 0xa1, 'a', 0x01}, "Invalid MessagePack data. Map of size 2 at position 1 is truncated.", 4);
  // The innermost open container is named.
  ExpectFailure({0x92, 0x00, 0x81, 0xa1, 'a', 0x92, 0x01},
                "Invalid MessagePack data. Array of size 2 at position 6 is truncated.", 7);
}

TEST(MessagePackReader, RepeatedKeysAreOneMember) {
  // A later scalar replaces, a later nil keeps the earlier value.
  Read r = Decode(Concat({{0x83}, Str("a"), {0x01}, Str("a"), {0x02}, Str("b"), {0x03}}));
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  EXPECT_EQ(r.result.Size(), 2u);
  EXPECT_EQ(r.result.FindMember("a").AsSigned(), 2);
  r = Decode(Concat({{0x82}, Str("a"), {0x01}, Str("a"), {0xc0}}));
  EXPECT_EQ(r.result.FindMember("a").AsSigned(), 1);

  // A later array appends, a later map merges; the bytes after them are
  // still read as the next key, not as part of the repeated value.
  const Bytes appended = Concat({{0x83}, Str("a"), {0x91, 0x01}, Str("a"), {0x92, 0x02, 0x03}, Str("b"), {0x04}});
  r = Decode(appended);
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  EXPECT_EQ(r.consumed, appended.size());
  ASSERT_EQ(r.result.FindMember("a").Size(), 3u);
  EXPECT_EQ(r.result.FindMember("a").At(2).AsSigned(), 3);
  EXPECT_EQ(r.result.FindMember("b").AsSigned(), 4);

  r = Decode(Concat({{0x83},
                     Str("m"),
                     {0x82},
                     Str("x"),
                     {0x01},
                     Str("y"),
                     {0x02},
                     Str("m"),
                     {0x82},
                     Str("y"),
                     {0x05},
                     Str("z"),
                     {0x06},
                     Str("c"),
                     {0xc3}}));
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  const Value& m = r.result.FindMember("m");
  EXPECT_EQ(m.Size(), 3u);
  EXPECT_EQ(m.FindMember("x").AsSigned(), 1);
  EXPECT_EQ(m.FindMember("y").AsSigned(), 5);
  EXPECT_EQ(m.FindMember("z").AsSigned(), 6);
  EXPECT_TRUE(r.result.FindMember("c").AsBool());

  // A container of the other shape replaces.
  r = Decode(Concat({{0x82}, Str("a"), {0x91, 0x01}, Str("a"), {0x81}, Str("k"), {0x02}}));
  EXPECT_TRUE(r.result.FindMember("a").IsStructure());
  EXPECT_EQ(r.result.FindMember("a").Size(), 1u);

  // Keys equal up to their first zero byte are the same key.
  r = Decode(Concat({{0x82}, Str(std::string("k\0x", 3)), {0x91, 0x01}, Str("k"), {0x91, 0x02}}));
  ASSERT_TRUE(r.result.Succeeded());
  EXPECT_EQ(r.result.Size(), 1u);
  EXPECT_EQ(r.result.FindMember("k").Size(), 2u);
}

TEST(MessagePackReader, ManyMembersWithRepeats) {
  // Enough members to leave the small-object path, with repeats scattered
  // through them, compared with a plain model of the rules.
  Bytes bytes = {0xde, 0x01, 0x90};  // 400 pairs
  std::vector<std::string> order;
  for (int i = 0; i < 400; ++i) {
    const std::string key = "key" + std::to_string((i * 7919) % 250);
    bytes = Concat({bytes, Str(key), {0x91, static_cast<uint8_t>(i % 100)}});
  }
  const Read r = Decode(bytes);
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  EXPECT_EQ(r.result.Size(), 250u);
  for (int k = 0; k < 250; ++k) {
    std::vector<int64_t> want;
    for (int i = 0; i < 400; ++i) {
      if ((i * 7919) % 250 == k) want.push_back(i % 100);
    }
    const Value& got = r.result.FindMember("key" + std::to_string(k));
    ASSERT_EQ(got.Size(), want.size()) << k;
    for (std::size_t j = 0; j < want.size(); ++j) EXPECT_EQ(got.At(j).AsSigned(), want[j]);
  }
}

TEST(MessagePackReader, SiblingMapsOfVaryingShapes) {
  // Maps that follow the keys of the one before, stop early, differ, or
  // repeat a key after following the shape, and a key cut at a zero byte.
  const Bytes bytes = Concat({{0x96},   {0x83},
                              Str("a"), {0x01},
                              Str("b"), {0x02},
                              Str("c"), {0x03},
                              {0x83},   Str("a"),
                              {0x04},   Str("b"),
                              {0x05},   Str("c"),
                              {0x06},   {0x82},
                              Str("a"), {0x07},
                              Str("b"), {0x08},
                              {0x83},   Str("a"),
                              {0x09},   Str("x"),
                              {0x0a},   Str("b"),
                              {0x0b},   {0x84},
                              Str("a"), {0x0c},
                              Str("x"), {0x0d},
                              Str("a"), {0xc0},
                              Str("x"), {0x0e},
                              {0x82},   Str(std::string("a\0z", 3)),
                              {0x0f},   Str("a"),
                              {0x10}});
  const Read r = Decode(bytes);
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  ASSERT_EQ(r.result.Size(), 6u);
  const auto members = [&](std::size_t i) {
    std::string out;
    for (const auto& m : r.result.At(i).Members()) {
      out += std::string(m.name()) + "=" + std::to_string(m.value().AsSigned()) + ";";
    }
    return out;
  };
  EXPECT_EQ(members(0), "a=1;b=2;c=3;");
  EXPECT_EQ(members(1), "a=4;b=5;c=6;");
  EXPECT_EQ(members(2), "a=7;b=8;");
  EXPECT_EQ(members(3), "a=9;b=11;x=10;");
  EXPECT_EQ(members(4), "a=12;x=14;");
  EXPECT_EQ(members(5), "a=16;");
  // Keys are shared within the tree, whichever way they were appended.
  EXPECT_EQ(&r.result.At(0).Members()[0].key(), &r.result.At(4).Members()[0].key());
}

TEST(MessagePackReader, SiblingMapsWithKeysOutOfOrder) {
  // Shapes whose keys descend, ascend and then fall back, or are left for
  // keys in another order: every map must come out in key order, found by
  // its keys, with the later of a repeated key kept.
  const std::vector<std::vector<std::string>> maps = {
      {"c", "a", "b"}, {"c", "a", "b"}, {"a", "b", "d", "c"}, {"a", "b", "d", "c"},
      {"a", "b", "e"}, {"b", "a"},      {"b", "a", "b"},      {"x", "y", "z"},
  };
  Bytes bytes = {static_cast<uint8_t>(0x90 + maps.size())};
  int number = 0;
  for (const auto& keys : maps) {
    bytes.push_back(static_cast<uint8_t>(0x80 + keys.size()));
    for (const std::string& key : keys) bytes = Concat({bytes, Str(key), {static_cast<uint8_t>(++number)}});
  }
  const Read r = Decode(bytes);
  ASSERT_TRUE(r.result.Succeeded()) << r.result.ErrorMessage();
  number = 0;
  for (std::size_t i = 0; i < maps.size(); ++i) {
    std::map<std::string, int> want;
    for (const std::string& key : maps[i]) want[key] = ++number;
    const Value& map = r.result.At(i);
    std::map<std::string, int> got;
    std::string previous;
    for (const auto& m : map.Members()) {
      EXPECT_TRUE(got.empty() || previous < m.name()) << i << ": " << previous << " before " << m.name();
      previous = std::string(m.name());
      got[previous] = static_cast<int>(m.value().AsSigned());
    }
    EXPECT_EQ(got, want) << i;
    for (const auto& [key, value] : want) EXPECT_EQ(map.FindMember(key).AsSigned(), value) << i << " " << key;
  }
}

TEST(MessagePackReader, Detection) {
  EXPECT_TRUE(LooksLikeMessagePack(Bytes{0x80}));
  EXPECT_TRUE(LooksLikeMessagePack(Bytes{0x9f, 0x00}));
  EXPECT_TRUE(LooksLikeMessagePack(Bytes{0xdc}));
  EXPECT_TRUE(LooksLikeMessagePack(Bytes{0xdf}));
  EXPECT_FALSE(LooksLikeMessagePack(Bytes{0xa1, 'a'}));
  EXPECT_FALSE(LooksLikeMessagePack(Bytes{0x7f}));
  EXPECT_FALSE(LooksLikeMessagePack(Bytes{0xdb}));
  EXPECT_FALSE(LooksLikeMessagePack(Bytes{0xe0}));
  EXPECT_FALSE(LooksLikeMessagePack(Bytes{}));
  EXPECT_TRUE(
      LooksLikeMessagePack(std::string_view("\x81\xa1"
                                            "a\x01",
                                            4)));
  EXPECT_FALSE(LooksLikeMessagePack(std::string_view("{}")));
}

}  // namespace
}  // namespace kiv::codecs
