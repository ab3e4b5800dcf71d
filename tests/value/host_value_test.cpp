#include "value/host_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "value/convert.h"
#include "logging/memory.h"

namespace kiv::binding::host_value_test {
namespace {

enum class Level : int32_t { Low = 1, High = 2 };

uint64_t LiveBlocks() {
  const mem::AllocationStats stats = mem::ReadAllocationStats();
  return stats.allocations - stats.frees;
}

// Fields of the packed records are copied out before gtest takes references to them.
template <typename T>
T Copy(T value) {
  return value;
}

bool IsZero(const HostValue& host) {
  static const HostValue zero{};
  return std::memcmp(&host, &zero, sizeof(HostValue)) == 0;
}

HostValue Borrowed(const char* text, uint32_t length) {
  HostValue host{};
  host.kind = KIV_HOST_VALUE_STRING;
  host.u.text.data = text;
  host.u.text.length = length;
  return host;
}

std::string ReadError(const HostValue& host) {
  ValueResult result;
  Value target;
  target.SetString("before");
  ReadHostValue(result, target, host, "body");
  EXPECT_TRUE(result.Succeeded() || target.IsEmpty());
  return std::string(result.ErrorMessage());
}

// Every kind a value can have, nested.
Value Sample() {
  Value v;
  v.Member("empty");
  v.Member("flag").SetBool(true);
  v.Member("signed").SetSigned(-5000000000LL);
  v.Member("unsigned").SetUnsigned(UINT64_MAX);
  v.Member("float").SetFloat(0.25);
  v.Member("text").SetString("h\xc3\xa9llo");
  v.Member("blank").SetString("");
  v.Member("bytes").SetBlob("\x00\x01\x02", 3);
  Value& list = v.Member("list");
  list.Append().SetSigned(1);
  list.Append().Member("inner").Append().SetString("deep");
  list.Append().MakeStructure();
  v.Member("none").MakeCollection();
  return v;
}

TEST(HostValues, RoundTripEveryKind) {
  const Value sample = Sample();
  ValueResult result;
  HostValue host{};
  ASSERT_TRUE(WriteHostValue(result, host, sample, nullptr)) << result.ErrorMessage();

  ASSERT_EQ(Copy(host.kind), static_cast<uint32_t>(KIV_HOST_VALUE_STRUCTURE));
  ASSERT_EQ(Copy(host.u.structure.count), 10u);
  // Entries in key order, keys owned and flagged.
  const HostStructEntry* entries = host.u.structure.entries;
  for (uint32_t i = 0; i < host.u.structure.count; ++i) {
    EXPECT_EQ(entries[i].keyOwned, 1);
    if (i > 0) {
      EXPECT_LT(std::strcmp(entries[i - 1].key, entries[i].key), 0);
    }
  }
  EXPECT_STREQ(entries[0].key, "blank");
  EXPECT_EQ(Copy(entries[0].value.kind), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_STRING));
  EXPECT_EQ(Copy(entries[0].value.u.text.length), 0u);
  EXPECT_NE(Copy(entries[0].value.u.text.data), nullptr);
  EXPECT_STREQ(entries[1].key, "bytes");
  EXPECT_EQ(Copy(entries[1].value.kind), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_BLOB));
  EXPECT_EQ(Copy(entries[1].value.u.blob.size), 3u);

  Value back;
  ASSERT_TRUE(ReadHostValue(result, back, host, "body")) << result.ErrorMessage();
  EXPECT_EQ(back, sample);

  ReleaseHostValue(host);
  EXPECT_TRUE(IsZero(host));
}

TEST(HostValues, ReleaseFreesEverythingTheWriterAllocated) {
  const Value sample = Sample();
  ValueResult result;
  HostValue host{};
  const uint64_t before = LiveBlocks();
  ASSERT_TRUE(WriteHostValue(result, host, sample, nullptr));
  EXPECT_GT(LiveBlocks(), before);
  // Writing again releases the previous content first.
  ASSERT_TRUE(WriteHostValue(result, host, sample, nullptr));
  ReleaseHostValue(host);
  EXPECT_EQ(LiveBlocks(), before);
  ReleaseHostValue(host);  // a zeroed record releases to nothing
  EXPECT_TRUE(IsZero(host));
}

TEST(HostValues, ReleaseLeavesBorrowedAndUnflaggedMemoryAlone) {
  // Pointers into these stack buffers would make a sanitized build fail if freed.
  char text[] = "borrowed";
  const uint8_t bytes[] = {1, 2};
  HostValue items[2] = {Borrowed(text, 8), {}};
  items[1].kind = KIV_HOST_VALUE_BLOB;
  items[1].u.blob.data = bytes;
  items[1].u.blob.size = 2;

  auto* entries = static_cast<HostStructEntry*>(mem::Allocate(2 * sizeof(HostStructEntry)));
  std::memset(static_cast<void*>(entries), 0, 2 * sizeof(HostStructEntry));
  entries[0].key = "static key";
  entries[0].keyOwned = 0;
  entries[0].value = Borrowed(text, 3);
  entries[1].key = mem::Duplicate("owned key");
  entries[1].keyOwned = 1;
  auto* list = static_cast<HostValue*>(mem::Allocate(sizeof(items)));
  std::memcpy(static_cast<void*>(list), items, sizeof(items));
  entries[1].value.kind = KIV_HOST_VALUE_COLLECTION;
  entries[1].value.u.collection.items = list;
  entries[1].value.u.collection.count = 2;
  HostValue host{};
  host.kind = KIV_HOST_VALUE_STRUCTURE;
  host.u.structure.entries = entries;
  host.u.structure.count = 2;

  ReleaseHostValue(host);
  EXPECT_TRUE(IsZero(host));
  EXPECT_STREQ(text, "borrowed");
}

TEST(HostValues, DeepRecordsAreReleasedWithoutRecursion) {
  const uint64_t before = LiveBlocks();
  HostValue root{};
  HostValue* current = &root;
  for (int i = 0; i < 100000; ++i) {
    auto* child = static_cast<HostValue*>(mem::Allocate(sizeof(HostValue)));
    std::memset(static_cast<void*>(child), 0, sizeof(HostValue));
    current->kind = KIV_HOST_VALUE_COLLECTION;
    current->u.collection.items = child;
    current->u.collection.count = 1;
    current = child;
  }
  current->kind = KIV_HOST_VALUE_OWNED_STRING;
  current->u.text.data = mem::Duplicate("leaf");
  current->u.text.length = 4;
  ReleaseHostValue(root);
  EXPECT_TRUE(IsZero(root));
  EXPECT_EQ(LiveBlocks(), before);
}

TEST(HostValues, TextsAreReadByTheirLength) {
  const char text[] = {'a', 'b', 'c', 'd', 'e', 'f'};  // no zero byte at all
  ValueResult result;
  Value v;
  ASSERT_TRUE(ReadHostValue(result, v, Borrowed(text, 3), "t"));
  EXPECT_EQ(v.AsText(), "abc");
  ASSERT_TRUE(ReadHostValue(result, v, Borrowed("ab\0cd", 5), "t"));
  EXPECT_EQ(v.AsText(), "ab");
  ASSERT_TRUE(ReadHostValue(result, v, Borrowed(nullptr, 0), "t"));
  EXPECT_TRUE(v.IsString());
  EXPECT_EQ(v.Size(), 0u);

  HostValue flag{};
  flag.kind = KIV_HOST_VALUE_BOOL;
  flag.u.boolean = 2;
  ASSERT_TRUE(ReadHostValue(result, v, flag, "t"));
  EXPECT_TRUE(v.AsBool());

  // Entries out of order and repeated: read finished, in key order, the
  // last of a repeated key kept, so sharing threads never see it reordered.
  HostStructEntry entries[3] = {};
  const char* keys[] = {"b", "a", "b"};
  for (int i = 0; i < 3; ++i) {
    entries[i].key = keys[i];
    entries[i].value.kind = KIV_HOST_VALUE_SIGNED;
    entries[i].value.u.i64 = i;
  }
  HostValue structure{};
  structure.kind = KIV_HOST_VALUE_STRUCTURE;
  structure.u.structure.entries = entries;
  structure.u.structure.count = 3;
  ASSERT_TRUE(ReadHostValue(result, v, structure, "t"));
  const Value& read = v;
  EXPECT_FALSE(read.IsUnfinished());
  ASSERT_EQ(read.Size(), 2u);
  EXPECT_EQ(read.Members()[0].name(), "a");
  EXPECT_EQ(read.FindMember("b").AsSigned(), 2);
}

TEST(HostValues, MalformedRecordsFailWithAMessage) {
  HostValue unknown{};
  unknown.kind = 42;
  EXPECT_EQ(ReadError(unknown),
            "Couldn't assign value to 'body' of type object because the input is of an "
            "incompatible type ''.");
  EXPECT_EQ(ReadError(Borrowed(nullptr, 3)),
            "Couldn't assign value to 'body' of type object because the input string has no data but a size of 3.");

  HostValue list{};
  list.kind = KIV_HOST_VALUE_COLLECTION;
  list.u.collection.count = 2;
  EXPECT_EQ(ReadError(list),
            "Couldn't assign value to 'body' of type object because the input collection has no "
            "data but a size of 2.");
  HostValue blob{};
  blob.kind = KIV_HOST_VALUE_OWNED_BLOB;
  blob.u.blob.size = 1;
  EXPECT_EQ(ReadError(blob),
            "Couldn't assign value to 'body' of type object because the input blob has no data but "
            "a size of 1.");

  // A bad record deep inside fails the whole reading and leaves the target Empty.
  HostStructEntry entries[2] = {};
  entries[0].key = "a";
  entries[0].value.kind = KIV_HOST_VALUE_SIGNED;
  entries[1].key = nullptr;
  HostValue structure{};
  structure.kind = KIV_HOST_VALUE_STRUCTURE;
  structure.u.structure.entries = entries;
  structure.u.structure.count = 2;
  EXPECT_EQ(ReadError(structure),
            "Couldn't assign value to 'body' of type object because a member of the input "
            "structure has no key.");
  entries[1].key = "b";
  entries[1].value = unknown;
  EXPECT_NE(ReadError(structure), "");
  structure.u.structure.entries = nullptr;
  EXPECT_NE(ReadError(structure), "");
}

TEST(HostValues, NestingIsBoundedWhenReading) {
  std::vector<HostValue> chain(kHostValueMaxDepth + 1);
  auto link = [&](std::size_t levels) {
    for (std::size_t i = 0; i + 1 < levels; ++i) {
      chain[i].kind = KIV_HOST_VALUE_COLLECTION;
      chain[i].u.collection.items = &chain[i + 1];
      chain[i].u.collection.count = 1;
    }
    chain[levels - 1] = HostValue{};
    chain[levels - 1].kind = KIV_HOST_VALUE_SIGNED;
    chain[levels - 1].u.i64 = 7;
  };
  link(kHostValueMaxDepth);
  ValueResult result;
  Value v;
  ASSERT_TRUE(ReadHostValue(result, v, chain[0], "deep")) << result.ErrorMessage();
  link(kHostValueMaxDepth + 1);
  EXPECT_EQ(ReadError(chain[0]),
            "Couldn't assign value to 'body' of type object because the input is nested deeper "
            "than 512 levels.");
  // A cycle is just very deep.
  chain[1].u.collection.items = &chain[0];
  EXPECT_NE(ReadError(chain[0]), "");
}

TEST(HostValues, NestingIsBoundedWhenWritingAndNothingLeaks) {
  Value deep;
  Value* current = &deep;
  for (uint32_t i = 1; i < kHostValueMaxDepth; ++i) current = &current->Member("m");
  current->SetSigned(1);
  ValueResult result;
  HostValue host{};
  ASSERT_TRUE(WriteHostValue(result, host, deep, nullptr)) << result.ErrorMessage();
  ReleaseHostValue(host);

  current->Append().SetSigned(2);  // one level more
  result.SetString("gives the result its arena before counting");
  result.Clear();
  const uint64_t before = LiveBlocks();
  EXPECT_FALSE(WriteHostValue(result, host, deep, nullptr));
  EXPECT_EQ(result.ErrorMessage(),
            "Couldn't convert value to a host value because it is nested deeper than 512 "
            "levels.");
  EXPECT_TRUE(IsZero(host));
  EXPECT_EQ(LiveBlocks(), before);

  // A failed result writes nothing and leaves the record alone.
  host.kind = KIV_HOST_VALUE_SIGNED;
  EXPECT_FALSE(WriteHostValue(result, host, Sample(), nullptr));
  EXPECT_EQ(Copy(host.kind), static_cast<uint32_t>(KIV_HOST_VALUE_SIGNED));
}

TEST(HostValues, EnumsAreNamedWhenTheRegistryKnowsThem) {
  TypeRegistry registry;
  InstallConverters(registry);
  registry.BeginEnum<Level>("Level").Enumerator("Low", Level::Low).Enumerator("High", Level::High);
  Value v;
  v.Append().SetEnum(2, &StaticType::Id<Level>());
  v.Append().SetEnum(9, &StaticType::Id<Level>());
  ValueResult result;
  HostValue host{};
  ASSERT_TRUE(WriteHostValue(result, host, v, &registry));
  const HostValue* items = host.u.collection.items;
  ASSERT_EQ(Copy(items[0].kind), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_STRING));
  EXPECT_EQ(std::string(Copy(items[0].u.text.data), Copy(items[0].u.text.length)), "High");
  EXPECT_EQ(Copy(items[1].kind), static_cast<uint32_t>(KIV_HOST_VALUE_SIGNED));
  EXPECT_EQ(Copy(items[1].u.i64), 9);

  ASSERT_TRUE(WriteHostValue(result, host, v, nullptr));
  EXPECT_EQ(Copy(host.u.collection.items[0].kind), static_cast<uint32_t>(KIV_HOST_VALUE_SIGNED));
  EXPECT_EQ(Copy(host.u.collection.items[0].u.i64), 2);

  // Read back, the name converts to the enum again.
  Vector<Level> levels;
  ASSERT_TRUE(WriteHostValue(result, host, v, &registry));
  Value back;
  ASSERT_TRUE(ReadHostValue(result, back, host, "levels"));
  back.Elements()[1].SetString("Low");
  FromValue(result, levels, back, "levels", registry);
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  EXPECT_EQ(levels, (Vector<Level>{Level::High, Level::Low}));
  ReleaseHostValue(host);
}

TEST(HostValues, TheResultItselfCanBeTheTarget) {
  ValueResult result;
  const HostValue text = Borrowed("abc", 3);
  ASSERT_TRUE(ReadHostValue(result, result, text, "x"));
  EXPECT_EQ(result.AsText(), "abc");

  HostValue unknown{};
  unknown.kind = 11;
  ValueResult failing;
  EXPECT_FALSE(ReadHostValue(failing, failing, unknown, "x"));
  EXPECT_EQ(failing.ErrorMessage(),
            "Couldn't assign value to 'x' of type object because the input is of an "
            "incompatible type ''.");
  // Nothing more happens on the failed result.
  EXPECT_FALSE(ReadHostValue(failing, failing, text, "x"));
  EXPECT_FALSE(failing.Succeeded());
}

}  // namespace
}  // namespace kiv::binding::host_value_test
