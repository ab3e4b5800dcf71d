#include "value/arena.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "value/value.h"
#include "logging/memory.h"

namespace kiv::binding {
namespace {

PageRegistry::Stats Registry() { return PageRegistry::Instance().ReadStats(); }

// Tests that count regions going back to the system switch retention off, and
// put the previous limit back so that the rest of the suite sees the default.
class ScopedRetention {
 public:
  explicit ScopedRetention(uint32_t regions, uint32_t windowMs = 0) : saved_(PageRegistry::Instance().ReadRetention()) {
    PageRegistry::Instance().SetRetention(PageRegistry::Retention{regions, windowMs});
  }
  ~ScopedRetention() { PageRegistry::Instance().SetRetention(saved_); }

 private:
  PageRegistry::Retention saved_;
};

TEST(Fnv1a, KnownValues) {
  EXPECT_EQ(Fnv1a(""), 0x811C9DC5u);
  EXPECT_EQ(Fnv1a("a"), 0xE40C292Cu);
  EXPECT_EQ(Fnv1a("foobar"), 0xBF9CF968u);
  EXPECT_EQ(Fnv1aBytes("foobar", 6), 0xBF9CF968u);
  EXPECT_EQ(Fnv1a("\xFF"), Fnv1aBytes("\xFF", 1));  // bytes taken unsigned
}

TEST(PageRegistry, PagesAndRegionsGoBackOnceFree) {
  ScopedRetention none(0);
  const PageRegistry::Stats before = Registry();
  std::vector<void*> pages;
  for (std::size_t i = 0; i < 3 * PageRegistry::kPagesPerRegion + 1; ++i) {
    void* page = PageRegistry::Instance().AcquirePage();
    ASSERT_EQ(reinterpret_cast<uintptr_t>(page) % PageRegistry::kPageSize, 0u);
    std::memset(page, 0x5A, PageRegistry::kPageSize);
    pages.push_back(page);
  }
  PageRegistry::Stats during = Registry();
  EXPECT_EQ(during.pagesInUse, before.pagesInUse + pages.size());
  EXPECT_GE(during.regionsHeld, before.regionsHeld + 3);
  // Give back all but one page: the regions that are completely free go.
  for (std::size_t i = 1; i < pages.size(); ++i) PageRegistry::Instance().ReleasePage(pages[i]);
  during = Registry();
  EXPECT_EQ(during.pagesInUse, before.pagesInUse + 1);
  EXPECT_LE(during.regionsHeld, before.regionsHeld + 1);
  PageRegistry::Instance().ReleasePage(pages[0]);
  const PageRegistry::Stats after = Registry();
  EXPECT_EQ(after.pagesInUse, before.pagesInUse);
  EXPECT_EQ(after.regionsHeld, before.regionsHeld);
  EXPECT_EQ(after.regionsReleased - before.regionsReleased, after.regionsReserved - before.regionsReserved);
}

TEST(PageRegistry, RetainedRegionsAreReusedAndGivenBackOnRequest) {
  PageRegistry& registry = PageRegistry::Instance();
  const PageRegistry::Stats before = Registry();
  ScopedRetention two(2);
  std::vector<void*> pages;
  for (std::size_t i = 0; i < 4 * PageRegistry::kPagesPerRegion; ++i) pages.push_back(registry.AcquirePage());
  for (void* page : pages) registry.ReleasePage(page);
  PageRegistry::Stats kept = Registry();
  EXPECT_EQ(kept.regionsRetained, 2u);
  EXPECT_EQ(kept.regionsHeld, before.regionsHeld + 2);
  EXPECT_EQ(kept.pagesInUse, before.pagesInUse);
  // Taking pages again uses the kept regions before reserving new ones.
  pages.clear();
  for (std::size_t i = 0; i < 2 * PageRegistry::kPagesPerRegion; ++i) pages.push_back(registry.AcquirePage());
  EXPECT_EQ(Registry().regionsReserved, kept.regionsReserved);
  EXPECT_EQ(Registry().regionsRetained, 0u);
  for (void* page : pages) registry.ReleasePage(page);
  EXPECT_EQ(Registry().regionsRetained, 2u);
  registry.SetRetainedRegionLimit(0);  // lowering the limit gives the kept ones back at once
  const PageRegistry::Stats after = Registry();
  EXPECT_EQ(after.regionsRetained, 0u);
  EXPECT_EQ(after.regionsHeld, before.regionsHeld);
}

TEST(ArenaPools, ManySmallRecordsReturnEveryPage) {
  ScopedRetention none(0);
  const PageRegistry::Stats before = Registry();
  ValueArena arena;
  std::vector<void*> blocks;
  for (int i = 0; i < 20000; ++i) {
    void* block = arena.Allocate(12);
    std::memset(block, i & 0xFF, 12);
    blocks.push_back(block);
  }
  EXPECT_GT(arena.ReadStats().pagesHeld, 50u);
  EXPECT_GT(Registry().regionsHeld, before.regionsHeld);
  // Free in a scrambled order so that pages fill and empty out of turn.
  std::shuffle(blocks.begin(), blocks.end(), std::mt19937(7));
  for (void* block : blocks) arena.Free(block, 12);
  EXPECT_EQ(arena.ReadStats().pagesHeld, 0u);
  const PageRegistry::Stats after = Registry();
  EXPECT_EQ(after.pagesInUse, before.pagesInUse);
  EXPECT_EQ(after.regionsHeld, before.regionsHeld);
}

TEST(ArenaPools, BlocksOfEverySizeAreDistinctAlignedAndKeepTheirBytes) {
  ValueArena arena;
  struct Block {
    unsigned char* data;
    std::size_t size;
  };
  std::vector<Block> blocks;
  std::mt19937 random(99);
  for (int i = 0; i < 4000; ++i) {
    const std::size_t size = 1 + random() % (i % 10 == 0 ? 5000 : 300);
    auto* data = static_cast<unsigned char*>(arena.Allocate(size));
    const uintptr_t alignment = size % 8 == 0 ? 8 : (size % 4 == 0 ? 4 : 1);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(data) % alignment, 0u) << size;
    std::memset(data, i & 0xFF, size);
    blocks.push_back({data, size});
    if (i % 3 == 0) {  // free some as we go so that blocks get reused
      const std::size_t victim = random() % blocks.size();
      arena.Free(blocks[victim].data, blocks[victim].size);
      blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(victim));
    }
  }
  // Every surviving block still holds its own pattern: nothing overlapped.
  for (const Block& b : blocks) {
    const unsigned char expected = b.data[0];
    for (std::size_t k = 0; k < b.size; ++k) ASSERT_EQ(b.data[k], expected);
  }
  // Resizing keeps the common prefix, within and across the pooled/heap boundary.
  auto* grown = static_cast<unsigned char*>(arena.Allocate(40));
  for (int k = 0; k < 40; ++k) grown[k] = static_cast<unsigned char>(k);
  grown = static_cast<unsigned char*>(arena.Resize(grown, 40, 100));
  grown = static_cast<unsigned char*>(arena.Resize(grown, 100, 9000));
  grown = static_cast<unsigned char*>(arena.Resize(grown, 9000, 20000));
  grown = static_cast<unsigned char*>(arena.Resize(grown, 20000, 20));
  for (int k = 0; k < 20; ++k) ASSERT_EQ(grown[k], k);
  arena.Free(grown, 20);
  EXPECT_EQ(ValueArena::UsableSize(5), 8u);
  EXPECT_GE(ValueArena::UsableSize(73), 73u);
  EXPECT_EQ(ValueArena::UsableSize(100000), 100000u);
}

TEST(ArenaStrings, InternCountsAndDrops) {
  ValueArena arena;
  const InternedString* a = arena.Intern("hello");
  const InternedString* b = arena.Intern(std::string("hello"));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->RefCount(), 2u);
  EXPECT_STREQ(a->CStr(), "hello");
  EXPECT_EQ(arena.Lookup("hello", Fnv1a("hello")), a);
  EXPECT_EQ(a->RefCount(), 2u);  // lookups do not count
  EXPECT_EQ(arena.Lookup("absent", Fnv1a("absent")), nullptr);
  EXPECT_EQ(arena.Intern(""), &InternedString::Empty());
  arena.Release(&InternedString::Empty());  // ignored
  EXPECT_EQ(InternedString::Empty().RefCount(), 0u);
  arena.Release(a);
  EXPECT_EQ(arena.ReadStats().strings, 1u);
  arena.Release(b);
  EXPECT_EQ(arena.ReadStats().strings, 0u);
  EXPECT_EQ(arena.Lookup("hello", Fnv1a("hello")), nullptr);
}

TEST(ArenaStrings, TableGrowsAndStillFindsEveryText) {
  ValueArena arena;
  std::vector<const InternedString*> records;
  for (int i = 0; i < 5000; ++i) records.push_back(arena.Intern("text number " + std::to_string(i)));
  EXPECT_EQ(arena.ReadStats().strings, 5000u);
  EXPECT_GE(arena.ReadStats().slots * 3, 5000u * 4);  // at most three quarters full
  for (int i = 0; i < 5000; i += 7) {
    const std::string text = "text number " + std::to_string(i);
    ASSERT_EQ(arena.Lookup(text, Fnv1a(text)), records[i]);
  }
  const uint32_t tableBlocks = arena.ReadStats().heapBlocks;  // the bucket array
  const std::string longText(10000, 'x');                     // beyond the pools
  const InternedString* big = arena.Intern(longText);
  EXPECT_EQ(big->View(), longText);
  EXPECT_EQ(arena.ReadStats().heapBlocks, tableBlocks + 1);
  arena.Release(big);
  EXPECT_EQ(arena.ReadStats().heapBlocks, tableBlocks);
  for (const InternedString* r : records) arena.Release(r);
  EXPECT_EQ(arena.ReadStats().strings, 0u);
  EXPECT_EQ(arena.ReadStats().pagesHeld, 0u);
}

TEST(ArenaStrings, ReleasingSomeKeepsTheOthersFindable) {
  // Small table on purpose: many texts share probe runs, and removals must
  // not cut a run short.
  ValueArena arena;
  std::vector<std::string> texts;
  std::vector<const InternedString*> records;
  for (int i = 0; i < 3000; ++i) {
    texts.push_back("t" + std::to_string(i * 7919));
    records.push_back(arena.Intern(texts.back()));
  }
  std::mt19937 random(5);
  std::vector<bool> released(texts.size(), false);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t k = random() % texts.size();
    if (released[k]) {
      records[k] = arena.Intern(texts[k]);
      released[k] = false;
    } else {
      arena.Release(records[k]);
      released[k] = true;
    }
  }
  for (std::size_t k = 0; k < texts.size(); ++k) {
    const InternedString* found = arena.Lookup(texts[k], Fnv1a(texts[k]));
    ASSERT_EQ(found, released[k] ? nullptr : records[k]) << texts[k];
  }
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
    EXPECT_GE(root.Arena()->ReadStats().heapBlocks, 1u);  // the big top-level array
    root.Reset();
    EXPECT_NE(root.Arena(), nullptr);  // the arena stays
    EXPECT_EQ(root.Arena()->ReadStats().pagesHeld, 0u);
    EXPECT_EQ(root.Arena()->ReadStats().heapBlocks, 0u);
    EXPECT_EQ(root.Arena()->ReadStats().strings, 0u);
    EXPECT_EQ(Registry().pagesInUse, before.pagesInUse);
    // Still usable after the reset.
    root.Member("again").SetString("works");
    EXPECT_EQ(root.FindMember("again").AsText(), "works");
    for (int i = 0; i < 2000; ++i) root.Member("many").Append().SetString(std::to_string(i));
  }
  const PageRegistry::Stats after = Registry();
  EXPECT_EQ(after.pagesInUse, before.pagesInUse);
  EXPECT_EQ(after.regionsHeld, before.regionsHeld);
}

TEST(ArenaLifetime, ADroppedTreeLeavesItsRegionsForTheNextOne) {
  // The default keeps recently freed regions mapped: reading one document
  // after another must not go back to the system for every tree.
  ScopedRetention standard(PageRegistry::kDefaultRetention.floorRegions, PageRegistry::kDefaultRetention.windowMs);
  auto build = [] {
    Value root;
    for (int i = 0; i < 4000; ++i) root.Append().Member("text").SetString("record " + std::to_string(i));
  };
  build();
  const PageRegistry::Stats between = Registry();
  EXPECT_GT(between.regionsRetained, 0u);
  build();
  EXPECT_EQ(Registry().regionsReserved, between.regionsReserved);
  EXPECT_LE(Registry().regionsRetained, PageRegistry::kDefaultRetainedRegions);
}

TEST(ArenaLifetime, ADroppedLargeTreeKeepsOnlyTheLimit) {
  ScopedRetention three(3);
  const PageRegistry::Stats before = Registry();
  {
    ValueArena arena;
    for (int i = 0; i < 40000; ++i) arena.Allocate(40);  // about 25 regions
    EXPECT_GT(Registry().regionsHeld, before.regionsHeld + 10);
  }
  const PageRegistry::Stats after = Registry();
  EXPECT_EQ(after.pagesInUse, before.pagesInUse);
  EXPECT_EQ(after.regionsRetained, 3u);
  EXPECT_EQ(after.regionsHeld, before.regionsHeld - before.regionsRetained + 3);
  EXPECT_EQ(after.regionsReleased - before.regionsReleased,
            after.regionsReserved - before.regionsReserved + before.regionsRetained - 3);
}

TEST(ArenaLifetime, RegionsKeptForRecentDemandGoBackOnceItStops) {
  using namespace std::chrono_literals;
  PageRegistry& registry = PageRegistry::Instance();
  ScopedRetention adaptive(1, 40);
  const PageRegistry::Stats before = Registry();
  auto bigTree = [] {
    ValueArena arena;
    for (int i = 0; i < 40000; ++i) arena.Allocate(40);  // about 25 regions
  };
  bigTree();
  // Just used: every region of that tree stays for the next one.
  const PageRegistry::Stats kept = Registry();
  EXPECT_GE(kept.regionsRetained, 20u);
  bigTree();
  EXPECT_EQ(Registry().regionsReserved, kept.regionsReserved);
  // Then only small work for more than two windows: the floor is what stays.
  for (int round = 0; round < 4; ++round) {
    std::this_thread::sleep_for(45ms);
    registry.ReleasePage(registry.AcquirePage());
  }
  const PageRegistry::Stats after = Registry();
  EXPECT_LE(after.regionsRetained, 1u);
  EXPECT_LE(after.regionsHeld, before.regionsHeld - before.regionsRetained + 1);
}

TEST(ArenaLifetime, BuildingATreeRarelyCallsTheGeneralHeap) {
  mem::Free(mem::Allocate(1));  // make sure the counting hooks are in place
  const mem::AllocationStats before = mem::ReadAllocationStats();
  constexpr int kRecords = 8000;
  std::size_t nodes = 1;
  {
    Value root;
    for (int i = 0; i < kRecords; ++i) {
      Value& record = root.Append();
      record.Member("id").SetUnsigned(static_cast<uint64_t>(i));
      record.Member("type").SetString("chat");
      record.Member("body").SetString("message " + std::to_string(i));
      record.Member("read").SetBool(i % 2 == 0);
      Value& tags = record.Member("tags");
      for (int t = 0; t < 3; ++t) tags.Append().SetSigned(t);
      nodes += 9;
    }
    Value copy(root);
    EXPECT_EQ(copy.Size(), static_cast<std::size_t>(kRecords));
  }
  const mem::AllocationStats after = mem::ReadAllocationStats();
  const double perNode = static_cast<double>(after.allocations - before.allocations) / static_cast<double>(2 * nodes);
  EXPECT_LT(perNode, 0.05);
}

}  // namespace
}  // namespace kiv::binding
