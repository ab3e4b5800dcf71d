// The page registry, the value arena's pools and text table, and what trees
// give back to the system when they go.
#include "value/arena.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testing/page_retention.h"
#include "value/value.h"

namespace kiv::binding {
namespace {

PageRegistry::Stats Registry() { return PageRegistry::Instance().ReadStats(); }

TEST(ArenaPools, BlocksOfEverySizeAreDistinctAlignedAndEveryPageReturns) {
  ScopedRetention none(0);
  const PageRegistry::Stats before = Registry();
  {
    ValueArena arena;
    std::vector<std::pair<unsigned char*, std::size_t>> blocks;
    std::mt19937 random(99);
    for (int i = 0; i < 20000; ++i) {
      const std::size_t size = i < 10000 ? 12 : 1 + random() % (i % 10 == 0 ? 5000 : 300);
      auto* data = static_cast<unsigned char*>(arena.Allocate(size));
      ASSERT_EQ(reinterpret_cast<uintptr_t>(data) % (size % 8 == 0 ? 8 : (size % 4 == 0 ? 4 : 1)), 0u) << size;
      std::memset(data, i & 0xFF, size);
      blocks.emplace_back(data, size);
      if (i % 3 == 0) {  // free some out of turn so that pages fill and empty
        const std::size_t victim = random() % blocks.size();
        arena.Free(blocks[victim].first, blocks[victim].second);
        blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(victim));
      }
    }
    for (const auto& [data, size] : blocks) {  // every block still holds its own pattern
      for (std::size_t k = 0; k < size; ++k) ASSERT_EQ(data[k], data[0]);
    }
    // Resizing keeps the common prefix, within and across the pooled/heap boundary.
    auto* grown = static_cast<unsigned char*>(arena.Allocate(40));
    for (int k = 0; k < 40; ++k) grown[k] = static_cast<unsigned char>(k);
    for (const auto& [from, to] : {std::pair{40, 100}, {100, 9000}, {9000, 20000}, {20000, 20}}) {
      grown = static_cast<unsigned char*>(arena.Resize(grown, from, to));
    }
    for (int k = 0; k < 20; ++k) ASSERT_EQ(grown[k], k);
    arena.Free(grown, 20);
    for (const auto& [data, size] : blocks) arena.Free(data, size);
    EXPECT_EQ(arena.ReadStats().pagesHeld, 0u);
  }
  EXPECT_EQ(Registry().pagesInUse, before.pagesInUse);
  EXPECT_EQ(Registry().regionsHeld, before.regionsHeld);
}

// Every byte of a text counts in its hash, whatever its place and the text's
// length: a byte the hash skipped would pile such texts up in one slot chain.
TEST(ArenaStrings, TextHashTakesEveryByte) {
  for (std::size_t n = 1; n <= 40; ++n) {
    const std::string text(n, 'a');
    for (std::size_t i = 0; i < n; ++i) {
      std::string other = text;
      other[i] = 'b';
      ASSERT_NE(TextHash(other), TextHash(text)) << n << " bytes, changed at " << i;
    }
  }
}

TEST(ArenaStrings, InternCountsFindsAndDrops) {
  EXPECT_EQ(Fnv1a("foobar"), 0xBF9CF968u);
  EXPECT_EQ(Fnv1a("\xFF"), Fnv1aBytes("\xFF", 1));  // bytes taken unsigned
  ValueArena arena;
  const InternedString* a = arena.Intern("hello");
  EXPECT_EQ(a, arena.Intern(std::string("hello")));
  EXPECT_EQ(arena.Lookup("hello", TextHash("hello")), a);
  EXPECT_EQ(a->RefCount(), 2u);  // lookups do not count
  EXPECT_EQ(arena.Intern(""), &InternedString::Empty());
  arena.Release(&InternedString::Empty());  // ignored
  arena.Release(a);
  arena.Release(a);
  EXPECT_EQ(arena.Lookup("hello", TextHash("hello")), nullptr);
  // The table grows, and releasing some texts never cuts the probe run of another.
  std::vector<std::string> texts;
  std::vector<const InternedString*> records;
  for (int i = 0; i < 5000; ++i) {
    texts.push_back("t" + std::to_string(i * 7919));
    records.push_back(arena.Intern(texts.back()));
  }
  std::mt19937 random(5);
  std::vector<bool> released(texts.size(), false);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t k = random() % texts.size();
    if (released[k]) {
      records[k] = arena.Intern(texts[k]);
    } else {
      arena.Release(records[k]);
    }
    released[k] = !released[k];
  }
  for (std::size_t k = 0; k < texts.size(); ++k) {
    ASSERT_EQ(arena.Lookup(texts[k], TextHash(texts[k])), released[k] ? nullptr : records[k]) << texts[k];
    if (!released[k]) arena.Release(records[k]);
  }
  EXPECT_EQ(arena.ReadStats().strings, 0u);
  EXPECT_EQ(arena.ReadStats().pagesHeld, 0u);
}

TEST(ArenaLifetime, RootsReturnEverythingWhenResetOrDestroyed) {
  ScopedRetention none(0);
  const PageRegistry::Stats before = Registry();
  {
    Value root;
    for (int i = 0; i < 3000; ++i) {
      Value& item = root.Append();
      item.Member("id").SetUnsigned(static_cast<uint64_t>(i));
      item.Member("text").SetString("unique " + std::to_string(i));
      item.Member("list").Element(40).SetBool(true);
    }
    EXPECT_GT(root.Arena()->ReadStats().pagesHeld, 10u);
    root.Reset();
    EXPECT_NE(root.Arena(), nullptr);  // the arena stays, empty
    EXPECT_EQ(root.Arena()->ReadStats().pagesHeld, 0u);
    EXPECT_EQ(root.Arena()->ReadStats().heapBlocks, 0u);
    EXPECT_EQ(root.Arena()->ReadStats().strings, 0u);
    EXPECT_EQ(Registry().pagesInUse, before.pagesInUse);
    root.Member("again").SetString("works");
    EXPECT_EQ(root.FindMember("again").AsText(), "works");
    for (int i = 0; i < 2000; ++i) root.Member("many").Append().SetString(std::to_string(i));
  }
  EXPECT_EQ(Registry().pagesInUse, before.pagesInUse);
  EXPECT_EQ(Registry().regionsHeld, before.regionsHeld);
}

}  // namespace
}  // namespace kiv::binding
