// Values to and from the boundary's HostValue records: every kind, the
// ownership flags, records a host may get wrong, and enums by name.
#include "value/host_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logging/memory.h"
#include "testing/page_retention.h"
#include "value/convert.h"

namespace kiv::binding::host_value_test {
namespace {

enum class Level : int32_t { Low = 1, High = 2 };

uint64_t LiveBlocks() { return mem::OutstandingAllocations(); }

// Fields of the packed records are copied out before gtest takes references to them.
template <typename T>
T Copy(T value) {
  return value;
}

bool IsZero(const HostValue& host) {
  static const HostValue zero{};
  return std::memcmp(&host, &zero, sizeof(HostValue)) == 0;
}

HostValue Record(uint32_t kind) {
  HostValue host{};
  host.kind = kind;
  return host;
}

HostValue Borrowed(const char* text, uint32_t length) {
  HostValue host = Record(KIV_HOST_VALUE_STRING);
  host.u.text.data = text;
  host.u.text.length = length;
  return host;
}

HostValue Entries(HostStructEntry* entries, uint32_t count) {
  HostValue host = Record(KIV_HOST_VALUE_STRUCTURE);
  host.u.structure.entries = entries;
  host.u.structure.count = count;
  return host;
}

// Reads into a target that held something; a failure must leave it Empty.
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

TEST(HostValues, EveryKindRoundTripsAndReleaseFreesWhatTheWriterAllocated) {
  const Value sample = Sample();
  ValueResult result;
  HostValue host{};
  const uint64_t before = LiveBlocks();
  ASSERT_TRUE(WriteHostValue(result, host, sample, nullptr)) << result.ErrorMessage();
  ASSERT_TRUE(WriteHostValue(result, host, sample, nullptr));  // writing again releases the first content
  ASSERT_EQ(Copy(host.kind), static_cast<uint32_t>(KIV_HOST_VALUE_STRUCTURE));
  ASSERT_EQ(Copy(host.u.structure.count), 10u);
  const HostStructEntry* entries = host.u.structure.entries;
  for (uint32_t i = 0; i < host.u.structure.count; ++i) {
    EXPECT_EQ(entries[i].keyOwned, 1);  // keys in key order, owned and flagged
    if (i > 0) {
      EXPECT_LT(std::strcmp(entries[i - 1].key, entries[i].key), 0);
    }
  }
  EXPECT_STREQ(entries[0].key, "blank");
  EXPECT_EQ(Copy(entries[0].value.kind), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_STRING));
  EXPECT_NE(Copy(entries[0].value.u.text.data), nullptr);  // zero-terminated even when empty
  EXPECT_EQ(Copy(entries[1].value.kind), static_cast<uint32_t>(KIV_HOST_VALUE_OWNED_BLOB));
  EXPECT_EQ(Copy(entries[1].value.u.blob.size), 3u);
  {
    Value back;
    ASSERT_TRUE(ReadHostValue(result, back, host, "body")) << result.ErrorMessage();
    EXPECT_EQ(back, sample);
  }
  ReleaseHostValue(host);
  EXPECT_TRUE(IsZero(host));
  EXPECT_EQ(LiveBlocks(), before);
  ReleaseHostValue(host);  // a zeroed record releases to nothing
}

// Kinds, counts, key flags and bytes of two records, node by node.
void ExpectSameRecords(const HostValue& a, const HostValue& b) {
  ASSERT_EQ(Copy(a.kind), Copy(b.kind));
  switch (a.kind) {
    case KIV_HOST_VALUE_OWNED_STRING:
      EXPECT_EQ(std::string(Copy(a.u.text.data), Copy(a.u.text.length) + 1),
                std::string(Copy(b.u.text.data), Copy(b.u.text.length) + 1));  // the zero too
      break;
    case KIV_HOST_VALUE_OWNED_BLOB:
      ASSERT_EQ(Copy(a.u.blob.size), Copy(b.u.blob.size));
      EXPECT_EQ(std::memcmp(Copy(a.u.blob.data), Copy(b.u.blob.data), a.u.blob.size), 0);
      break;
    case KIV_HOST_VALUE_COLLECTION:
      ASSERT_EQ(Copy(a.u.collection.count), Copy(b.u.collection.count));
      EXPECT_EQ(Copy(a.u.collection.items) == nullptr, Copy(b.u.collection.items) == nullptr);
      for (uint32_t i = 0; i < a.u.collection.count; ++i)
        ExpectSameRecords(a.u.collection.items[i], b.u.collection.items[i]);
      break;
    case KIV_HOST_VALUE_STRUCTURE:
      ASSERT_EQ(Copy(a.u.structure.count), Copy(b.u.structure.count));
      for (uint32_t i = 0; i < a.u.structure.count; ++i) {
        EXPECT_STREQ(a.u.structure.entries[i].key, b.u.structure.entries[i].key);
        EXPECT_EQ(a.u.structure.entries[i].keyOwned, b.u.structure.entries[i].keyOwned);
        ExpectSameRecords(a.u.structure.entries[i].value, b.u.structure.entries[i].value);
      }
      break;
    default:
      EXPECT_EQ(std::memcmp(&a, &b, sizeof(HostValue)), 0);
      break;
  }
}

// The one-block writer gives the host the very records the piece-by-piece
// writer gives, for every root kind, in one allocation freed whole; so does
// the writer that keeps the tree with its record, which copies no text.
TEST(HostValues, BlockRecordsMatchPieceRecordsInOneAllocation) {
  // The copies of the large root take regions of pages; their bookkeeping
  // goes back with them, so that every allocation is counted back.
  ScopedRetention none(0);
  TypeRegistry registry;
  InstallConverters(registry);
  registry.BeginEnum<Level>("Level").Enumerator("Low", Level::Low).Enumerator("High", Level::High);
  std::vector<Value> roots(8);
  roots[0] = Sample();
  roots[1].SetString("a root text");
  roots[2].SetString("");
  roots[3].MakeCollection();
  roots[4].SetSigned(-3);
  roots[5].SetEnum(1, &StaticType::Id<Level>());
  roots[6].Append().Append().Member("k").SetBlob("\x07", 1);
  // Arrays that fill chunk after chunk beside the held tree, the first one
  // larger than a whole chunk.
  for (int n = 0; n < 600; ++n) {
    Value& element = roots[7].Append();
    element.Member("n").SetSigned(n);
    for (int m = 0; m < (n == 0 ? 300 : n % 9); ++m) element.Member("list").Append().SetString("item");
  }
  for (std::size_t i = 0; i < roots.size(); ++i) {
    SCOPED_TRACE(i);
    ValueResult result;
    HostValue pieces{}, block{};
    ASSERT_TRUE(WriteHostValue(result, pieces, roots[i], &registry));
    const uint64_t before = LiveBlocks();
    const uint64_t allocations = mem::ReadAllocationStats().allocations;
    ASSERT_TRUE(WriteHostValueBlock(result, block, roots[i], &registry)) << result.ErrorMessage();
    const bool hasPayload = i != 3 && i != 4;
    EXPECT_EQ(mem::ReadAllocationStats().allocations - allocations, hasPayload ? 1u : 0u);
    ExpectSameRecords(pieces, block);
    ReleaseHostValueBlock(block);
    EXPECT_TRUE(IsZero(block));
    EXPECT_EQ(LiveBlocks(), before);

    HostValue held{};
    {
      Value taken = roots[i];
      const bool tree = i == 0 || i == 6 || i == 7;
      ASSERT_TRUE(WriteHostValueHolding(result, held, taken, &registry)) << result.ErrorMessage();
      EXPECT_EQ(taken.IsEmpty(), tree);  // taken over; the record's texts outlive it
    }
    ExpectSameRecords(pieces, held);
    if (i == 0) {
      // An element is copied once into the record's own tree, which outlives its source.
      Value element = roots[0];
      HostValue inner{};
      ASSERT_TRUE(WriteHostValueHolding(result, inner, element.Member("list"), &registry));
      element.Reset();
      ExpectSameRecords(pieces.u.structure.entries[5].value, inner);
      ReleaseHostValueHeld(inner);
    }
    ReleaseHostValueHeld(held);
    EXPECT_TRUE(IsZero(held));
    EXPECT_EQ(LiveBlocks(), before);
    ReleaseHostValue(pieces);
  }
}

TEST(HostValues, ReleaseFreesOnlyWhatIsFlaggedAndNeedsNoRecursion) {
  // Pointers into this stack buffer would make a sanitized build fail if freed.
  char text[] = "borrowed";
  HostStructEntry* entries = static_cast<HostStructEntry*>(mem::Allocate(2 * sizeof(HostStructEntry)));
  entries[0] = HostStructEntry{"static key", Borrowed(text, 3), 0};
  entries[1] = HostStructEntry{mem::Duplicate("owned key"), Borrowed(text, 8), 1};
  HostValue host = Entries(entries, 2);
  ReleaseHostValue(host);
  EXPECT_TRUE(IsZero(host));
  EXPECT_STREQ(text, "borrowed");
  const uint64_t before = LiveBlocks();
  HostValue root{};
  HostValue* current = &root;
  for (int i = 0; i < 100000; ++i) {
    auto* child = static_cast<HostValue*>(mem::Allocate(sizeof(HostValue)));
    std::memset(static_cast<void*>(child), 0, sizeof(HostValue));
    *current = Record(KIV_HOST_VALUE_COLLECTION);
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

TEST(HostValues, RecordsAreReadByTheirLengthsInKeyOrder) {
  const char text[] = {'a', 'b', 'c', 'd', 'e', 'f'};  // no zero byte at all
  ValueResult result;
  Value v;
  ASSERT_TRUE(ReadHostValue(result, v, Borrowed(text, 3), "t"));
  EXPECT_EQ(v.AsText(), "abc");
  ASSERT_TRUE(ReadHostValue(result, v, Borrowed("ab\0cd", 5), "t"));
  EXPECT_EQ(v.AsText(), "ab");
  ASSERT_TRUE(ReadHostValue(result, v, Borrowed(nullptr, 0), "t"));
  EXPECT_TRUE(v.IsString() && v.Size() == 0);
  // Entries out of order and repeated: read finished, in key order, the last
  // of a repeated key kept, so sharing threads never see it reordered.
  HostStructEntry entries[3] = {};
  const char* keys[] = {"b", "a", "b"};
  for (int i = 0; i < 3; ++i) {
    entries[i].key = keys[i];
    entries[i].value = Record(KIV_HOST_VALUE_SIGNED);
    entries[i].value.u.i64 = i;
  }
  ASSERT_TRUE(ReadHostValue(result, v, Entries(entries, 3), "t"));
  const Value& read = v;
  EXPECT_FALSE(read.IsUnfinished());
  ASSERT_EQ(read.Size(), 2u);
  EXPECT_EQ(read.Members()[0].name(), "a");
  EXPECT_EQ(read.FindMember("b").AsSigned(), 2);
  // The result itself may be the target.
  ASSERT_TRUE(ReadHostValue(result, result, Borrowed("abc", 3), "x"));
  EXPECT_EQ(result.AsText(), "abc");
}

TEST(HostValues, MalformedRecordsFailWithAMessage) {
  const HostValue unknown = Record(42);
  EXPECT_EQ(ReadError(unknown),
            "Couldn't assign value to 'body' of type object because the input is of an incompatible type ''.");
  EXPECT_EQ(ReadError(Borrowed(nullptr, 3)),
            "Couldn't assign value to 'body' of type object because the input string has no data but a size of 3.");
  HostValue list = Record(KIV_HOST_VALUE_COLLECTION);
  list.u.collection.count = 2;
  EXPECT_EQ(ReadError(list),
            "Couldn't assign value to 'body' of type object because the input collection has no data but a size of "
            "2.");
  // A bad record deep inside fails the whole reading.
  HostStructEntry entries[2] = {};
  entries[0].key = "a";
  entries[0].value = Record(KIV_HOST_VALUE_SIGNED);
  EXPECT_EQ(ReadError(Entries(entries, 2)),
            "Couldn't assign value to 'body' of type object because a member of the input structure has no key.");
  entries[1].key = "b";
  entries[1].value = unknown;
  EXPECT_NE(ReadError(Entries(entries, 2)), "");
  // A cycle is just very deep.
  HostValue cycle[2] = {Record(KIV_HOST_VALUE_COLLECTION), Record(KIV_HOST_VALUE_COLLECTION)};
  cycle[0].u.collection.items = &cycle[1];
  cycle[1].u.collection.items = &cycle[0];
  cycle[0].u.collection.count = cycle[1].u.collection.count = 1;
  EXPECT_NE(ReadError(cycle[0]), "");

  // A failed result reads and writes nothing more, and leaves the record alone.
  ValueResult failing;
  EXPECT_FALSE(ReadHostValue(failing, failing, unknown, "x"));
  EXPECT_FALSE(ReadHostValue(failing, failing, Borrowed("abc", 3), "x"));
  HostValue untouched = Record(KIV_HOST_VALUE_SIGNED);
  EXPECT_FALSE(WriteHostValue(failing, untouched, Sample(), nullptr));
  EXPECT_EQ(Copy(untouched.kind), static_cast<uint32_t>(KIV_HOST_VALUE_SIGNED));
  EXPECT_EQ(failing.ErrorMessage(),
            "Couldn't assign value to 'x' of type object because the input is of an incompatible type ''.");
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
  // Read back, the name converts to the enum again.
  Value back;
  ASSERT_TRUE(ReadHostValue(result, back, host, "levels"));
  back.Elements()[1].SetString("Low");
  Vector<Level> levels;
  FromValue(result, levels, back, "levels", registry);
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  EXPECT_EQ(levels, (Vector<Level>{Level::High, Level::Low}));
  ReleaseHostValue(host);
}

}  // namespace
}  // namespace kiv::binding::host_value_test
