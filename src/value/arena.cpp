#include "value/arena.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <new>
#include <type_traits>

namespace kiv::binding {

static_assert(ValueArena::kPageHeaderSize <= 24, "page header grew");
static_assert(ValueArena::kMaxPooledBlock < 0x10000, "page offsets are 16-bit");
static_assert(arena_detail::LargeClassSize(0) > ValueArena::kLargestSmallBlock, "large classes start above small ones");
static_assert(arena_detail::kPageSize == PageRegistry::kPageSize);

// ---------------------------------------------------------------------------
// The shared empty text

struct EmptyInternedString {
  constexpr EmptyInternedString() : header(kFnvOffsetBasis, 0), zero('\0') {}
  InternedString header;
  char zero;
};
static_assert(offsetof(EmptyInternedString, zero) == sizeof(InternedString),
              "the empty text must follow its record like every other text");

namespace {
constinit EmptyInternedString g_emptyText;
}  // namespace

const InternedString& InternedString::Empty() { return g_emptyText.header; }

// ---------------------------------------------------------------------------
// PageRegistry

namespace {
std::atomic<PageRegistry*> g_registry{nullptr};

// The registry outlives static destruction for values that do too; but when
// the library is unloaded (or the process ends) with no page in use, it and
// the regions it kept go back, so that loading the library again and again
// does not pile them up.
struct ReleaseIdleRegistry {
  ~ReleaseIdleRegistry() {
    PageRegistry* registry = g_registry.load();
    if (registry != nullptr && registry->ReleaseIfIdle()) {
      g_registry.store(nullptr);
      mem::Delete(registry);
    }
  }
} g_releaseIdleRegistry;
}  // namespace

// Read through the one pointer that unloading clears, so nothing can reach a
// registry already given back: a use after that makes a new one.
PageRegistry& PageRegistry::Instance() {
  PageRegistry* registry = g_registry.load(std::memory_order_acquire);
  if (registry != nullptr) return *registry;
  auto* created = mem::New<PageRegistry>();
  if (!g_registry.compare_exchange_strong(registry, created, std::memory_order_acq_rel)) {
    mem::Delete(created);
    return *registry;
  }
  return *created;
}

bool PageRegistry::ReleaseIfIdle() {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  if (pagesInUse_ != 0) return false;
  for (Region* region : regions_) {
    KIV_MEMORY_UNPOISON(region->base, kRegionSize);
    platform::ReleasePages(region->base, kRegionSize);
    mem::Delete(region);
  }
  Vector<Region*>().swap(regions_);
  withFree_ = nullptr;
  retained_ = 0;
  return true;
}

void* PageRegistry::AcquirePage() {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  Region* region = withFree_;
  const bool fresh = region == nullptr;
  if (fresh) {
    void* base = platform::ReservePages(kRegionSize);
    if (base == nullptr) throw std::bad_alloc();
    if (reinterpret_cast<uintptr_t>(base) % kPageSize != 0) {
      // The pools find a block's page by masking its address.
      platform::ReleasePages(base, kRegionSize);
      throw std::bad_alloc();
    }
    region = mem::New<Region>(
        Region{static_cast<char*>(base), nullptr, nullptr, 0xFFFF, static_cast<uint16_t>(kPagesPerRegion), false});
    auto at = std::upper_bound(regions_.begin(), regions_.end(), region->base,
                               [](const char* b, const Region* r) { return b < r->base; });
    regions_.insert(at, region);
    ++regionsReserved_;
    LinkFreeLocked(region);
  }
  if (!fresh && region->freeCount == kPagesPerRegion) --retained_;  // a kept region back in use
  const int index = __builtin_ctz(region->freeMask);
  region->freeMask = static_cast<uint16_t>(region->freeMask & ~(1u << index));
  if (--region->freeCount == 0) UnlinkFreeLocked(region);
  ++pagesInUse_;
  ++pagesTaken_;
  const uint32_t inUse = RegionsInUseLocked();
  if (inUse > peakInUse_) peakInUse_ = inUse;
  // Free regions kept for a demand that has gone away go back here too, so a
  // process that only reads small trees from now on still returns them.
  if (retained_ > retainLimit_ && retained_ > KeepLimitLocked()) SweepLocked();
  char* page = region->base + static_cast<std::size_t>(index) * kPageSize;
  KIV_MEMORY_UNPOISON(page, kPageSize);
  return page;
}

void PageRegistry::ReleasePage(void* page) {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  ReleaseLocked(page);
  if (sweepDue_) SweepLocked();
}

void PageRegistry::ReleaseChain(void* first) {
  if (first == nullptr) return;
  platform::LockGuard<platform::Mutex> lock(mutex_);
  while (first != nullptr) {
    void* next;
    std::memcpy(&next, first, sizeof(next));  // read before the region may go
    ReleaseLocked(first);
    first = next;
  }
  if (sweepDue_) SweepLocked();
}

PageRegistry::Stats PageRegistry::ReadStats() {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  return Stats{
      static_cast<uint32_t>(regions_.size()), retained_, pagesInUse_, regionsReserved_, regionsReleased_, pagesTaken_};
}

PageRegistry::Region* PageRegistry::FindRegionLocked(const void* page) const {
  const char* p = static_cast<const char*>(page);
  auto at =
      std::upper_bound(regions_.begin(), regions_.end(), p, [](const char* b, const Region* r) { return b < r->base; });
  if (at == regions_.begin()) return nullptr;
  Region* region = *(at - 1);
  return p < region->base + kRegionSize ? region : nullptr;
}

void PageRegistry::ReleaseLocked(void* page) {
  Region* region = FindRegionLocked(page);
  if (region == nullptr) return;  // not ours: nothing sensible to do with it
  const auto index = static_cast<unsigned>((static_cast<char*>(page) - region->base) / kPageSize);
  const auto bit = static_cast<uint16_t>(1u << index);
  if ((region->freeMask & bit) != 0) return;  // already free
  region->freeMask = static_cast<uint16_t>(region->freeMask | bit);
  --pagesInUse_;
  KIV_MEMORY_POISON(page, kPageSize);  // sanitizer builds: a free page is off limits
  if (++region->freeCount == 1) LinkFreeLocked(region);
  if (region->freeCount < kPagesPerRegion) return;
  if (++retained_ > retainLimit_) sweepDue_ = true;
}

// Wholly free regions above the limit go back to the system before the lock
// is let go, all of them together. Each release of memory to the system
// costs a flush of the process's address translations, often on every
// processor it ran on, and that, not the release itself, dominated dropping
// a large tree. So the regions returned are the highest wholly free ones,
// which tend to lie next to each other, and where the system allows it
// neighbours go back in one call (Windows only releases whole reservations:
// one call per region there).
void PageRegistry::SweepLocked() {
#if defined(_WIN32)
  constexpr bool kJoinReleases = false;
#else
  constexpr bool kJoinReleases = true;
#endif
  sweepDue_ = false;
  const uint32_t limit = KeepLimitLocked();
  if (retained_ <= limit) return;
  uint32_t excess = retained_ - limit;
  for (std::size_t i = regions_.size(); i-- > 0 && excess != 0;) {
    Region* region = regions_[i];
    if (region->freeCount != kPagesPerRegion) continue;
    UnlinkFreeLocked(region);
    region->returning = true;
    --retained_;
    --excess;
  }
  char* runBase = nullptr;
  std::size_t runBytes = 0;
  std::size_t kept = 0;
  for (Region* region : regions_) {
    if (!region->returning) {
      regions_[kept++] = region;
      continue;
    }
    if (kJoinReleases && runBase != nullptr && runBase + runBytes == region->base) {
      runBytes += kRegionSize;
    } else {
      if (runBase != nullptr) platform::ReleasePages(runBase, runBytes);
      runBase = region->base;
      runBytes = kRegionSize;
    }
    KIV_MEMORY_UNPOISON(region->base, kRegionSize);  // the address range may serve anyone next
    mem::Delete(region);
    ++regionsReleased_;
  }
  if (runBase != nullptr) platform::ReleasePages(runBase, runBytes);
  regions_.resize(kept);
}

uint32_t PageRegistry::KeepLimitLocked() {
  if (windowMs_ == 0) return retainLimit_;
  static const int64_t ticksPerMs = std::max<int64_t>(platform::PerformanceFrequency() / 1000, 1);
  const int64_t now = platform::PerformanceCounter();
  const int64_t window = static_cast<int64_t>(windowMs_) * ticksPerMs;
  if (now - windowStart_ >= window) {
    // A whole quiet window since the last turn means no demand in between.
    previousPeakInUse_ = now - windowStart_ >= 2 * window ? RegionsInUseLocked() : peakInUse_;
    peakInUse_ = RegionsInUseLocked();
    windowStart_ = now;
  }
  return std::max(retainLimit_, std::max(peakInUse_, previousPeakInUse_));
}

void PageRegistry::SetRetention(Retention retention) {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  retainLimit_ = retention.floorRegions;
  windowMs_ = retention.windowMs;
  peakInUse_ = previousPeakInUse_ = RegionsInUseLocked();
  windowStart_ = platform::PerformanceCounter();
  SweepLocked();
}

PageRegistry::Retention PageRegistry::ReadRetention() {
  platform::LockGuard<platform::Mutex> lock(mutex_);
  return Retention{retainLimit_, windowMs_};
}

uint32_t PageRegistry::RetainedRegionLimit() { return ReadRetention().floorRegions; }

void PageRegistry::SetRetainedRegionLimit(uint32_t regions) { SetRetention(Retention{regions, 0}); }

void PageRegistry::LinkFreeLocked(Region* region) {
  region->prevFree = nullptr;
  region->nextFree = withFree_;
  if (withFree_ != nullptr) withFree_->prevFree = region;
  withFree_ = region;
}

void PageRegistry::UnlinkFreeLocked(Region* region) {
  if (region->prevFree != nullptr) {
    region->prevFree->nextFree = region->nextFree;
  } else {
    withFree_ = region->nextFree;
  }
  if (region->nextFree != nullptr) region->nextFree->prevFree = region->prevFree;
  region->prevFree = region->nextFree = nullptr;
}

namespace {

// Keys and short texts are copied without a library call: two overlapping
// words cover any length from 4 to 16, and nothing past the text is written.
template <typename Word>
void CopyEnds(char* out, const char* in, std::size_t n) {
  Word head, tail;
  std::memcpy(&head, in, sizeof(Word));
  std::memcpy(&tail, in + n - sizeof(Word), sizeof(Word));
  std::memcpy(out, &head, sizeof(Word));
  std::memcpy(out + n - sizeof(Word), &tail, sizeof(Word));
}

void CopyShort(char* out, const char* in, std::size_t n) {
  if (n > 16) {
    std::memcpy(out, in, n);
  } else if (n >= 8) {
    CopyEnds<uint64_t>(out, in, n);
  } else if (n >= 4) {
    CopyEnds<uint32_t>(out, in, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// ValueArena: pools

ValueArena::ValueArena() {
  heap_.prev = heap_.next = &heap_;
  ResetStrings();
  InitClasses();
}

ValueArena::~ValueArena() {
  ReleasePages();
  KIV_MEMORY_UNPOISON(inlinePages_, sizeof(inlinePages_));
}

void ValueArena::ResetStrings() {
  slots_ = inlineSlots_;
  slotCount_ = kInlineSlots;
  stringCount_ = 0;
  // Every arena starts with these 3 KB cleared, so a read of a small document
  // pays for them: one memset, not an element-wise loop.
  static_assert(std::is_trivially_copyable_v<Slot> && std::is_trivially_copyable_v<InternedString*>);
  std::memset(static_cast<void*>(inlineSlots_), 0, sizeof inlineSlots_);
  std::memset(static_cast<void*>(keyCache_), 0, sizeof keyCache_);
}

void ValueArena::InitPage(PageHeader* page, std::size_t pageSize, std::size_t blockSize) {
  page->next = page->prev = nullptr;
  page->pageSize = static_cast<uint16_t>(pageSize);
  page->inUse = 0;
  page->firstFree = 0;
  page->fresh = kPageHeaderSize + blockSize <= pageSize ? static_cast<uint16_t>(kPageHeaderSize / 4) : 0;
  // Sanitizer builds: blocks not yet handed out are off limits.
  if (blockSize % 8 == 0)
    KIV_MEMORY_POISON(reinterpret_cast<char*>(page) + kPageHeaderSize, pageSize - kPageHeaderSize);
}

namespace {

// The pools of a new arena: every class empty. Copied whole, which is much
// cheaper than setting 33 classes up one by one for every small document.
struct ClassPrototype {
  ValueArena::PageHeader* partial;
  ValueArena::PageHeader* full;
  uint32_t blockSize;
};
constexpr auto kEmptyClasses = [] {
  std::array<ClassPrototype, ValueArena::kClassCount> classes{};
  for (std::size_t cls = 0; cls < classes.size(); ++cls)
    classes[cls] = {nullptr, nullptr, arena_detail::kTables.size[cls]};
  return classes;
}();

}  // namespace

void ValueArena::InitClasses() {
  KIV_MEMORY_UNPOISON(inlinePages_, sizeof(inlinePages_));
  static_assert(sizeof(classes_) == sizeof(kEmptyClasses) && std::is_trivially_copyable_v<SizeClass>);
  std::memcpy(static_cast<void*>(classes_), kEmptyClasses.data(), sizeof classes_);
  inlineReady_ = 0;
  pagedClasses_ = 0;
}

void ValueArena::Unlink(PageHeader*& head, PageHeader* page) {
  if (page->prev != nullptr) {
    page->prev->next = page->next;
  } else {
    head = page->next;
  }
  if (page->next != nullptr) page->next->prev = page->prev;
  page->next = page->prev = nullptr;
}

void ValueArena::PushFront(PageHeader*& head, PageHeader* page) {
  page->prev = nullptr;
  page->next = head;
  if (head != nullptr) head->prev = page;
  head = page;
}

ValueArena::PageHeader* ValueArena::AddPage(std::size_t cls) {
  if (cls < kSmallClassCount && (inlineReady_ & (1u << cls)) == 0) {
    // A small class starts on its page inside the arena, set up when first used.
    inlineReady_ |= 1u << cls;
    auto* page = reinterpret_cast<PageHeader*>(inlinePages_[cls]);
    InitPage(page, kInlinePageSize, classes_[cls].blockSize);
    PushFront(classes_[cls].partial, page);
    return page;
  }
  auto* page = static_cast<PageHeader*>(PageRegistry::Instance().AcquirePage());
  ++pagesHeld_;
  pagedClasses_ |= uint64_t{1} << cls;
  InitPage(page, kPageSize, classes_[cls].blockSize);
  PushFront(classes_[cls].partial, page);
  return page;
}

void ValueArena::PageFilled(SizeClass& c, PageHeader* page) {
  Unlink(c.partial, page);
  PushFront(c.full, page);
}

void ValueArena::PageFreed(SizeClass& c, PageHeader* page, bool wasFull) {
  if (page->inUse == 0 && page->pageSize == kPageSize) {
    Unlink(wasFull ? c.full : c.partial, page);
    --pagesHeld_;
    PageRegistry::Instance().ReleasePage(page);
    return;
  }
  Unlink(c.full, page);
  PushFront(c.partial, page);
}

void* ValueArena::AllocateHeap(std::size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(HeapBlock)) throw std::bad_alloc();
  auto* block = static_cast<HeapBlock*>(mem::Allocate(sizeof(HeapBlock) + bytes));
  if (block == nullptr) throw std::bad_alloc();
  block->prev = &heap_;
  block->next = heap_.next;
  heap_.next->prev = block;
  heap_.next = block;
  ++heapBlocks_;
  return block + 1;
}

void ValueArena::FreeHeap(void* block) {
  HeapBlock* header = static_cast<HeapBlock*>(block) - 1;
  header->prev->next = header->next;
  header->next->prev = header->prev;
  --heapBlocks_;
  mem::Free(header);
}

void* ValueArena::Resize(void* block, std::size_t oldBytes, std::size_t newBytes) {
  if (block == nullptr) return Allocate(newBytes);
  if (oldBytes > kMaxPooledBlock && newBytes > kMaxPooledBlock) {
    if (newBytes > SIZE_MAX - sizeof(HeapBlock)) throw std::bad_alloc();
    HeapBlock* header = static_cast<HeapBlock*>(block) - 1;
    auto* moved = static_cast<HeapBlock*>(mem::Reallocate(header, sizeof(HeapBlock) + newBytes));
    if (moved == nullptr) throw std::bad_alloc();
    moved->prev->next = moved;
    moved->next->prev = moved;
    return moved + 1;
  }
  if (oldBytes <= kMaxPooledBlock && newBytes <= kMaxPooledBlock && ClassOf(oldBytes) == ClassOf(newBytes)) {
    return block;
  }
  void* moved = Allocate(newBytes);
  std::memcpy(moved, block, std::min(oldBytes, newBytes));
  Free(block, oldBytes);
  return moved;
}

void ValueArena::ReleasePages() {
  // Every 4096-byte page of every class goes back in one chain, one lock.
  if (pagesHeld_ != 0) {
    PageHeader* chain = nullptr;
    for (uint64_t classes = pagedClasses_; classes != 0; classes &= classes - 1) {
      const SizeClass& c = classes_[std::countr_zero(classes)];
      for (PageHeader* list : {c.partial, c.full}) {
        while (list != nullptr) {
          PageHeader* next = list->next;
          if (list->pageSize == kPageSize) {
            list->next = chain;
            chain = list;
          }
          list = next;
        }
      }
    }
    PageRegistry::Instance().ReleaseChain(chain);
    pagesHeld_ = 0;
  }
  for (HeapBlock* block = heap_.next; block != &heap_;) {
    HeapBlock* next = block->next;
    mem::Free(block);
    block = next;
  }
  heap_.prev = heap_.next = &heap_;
  heapBlocks_ = 0;
}

void ValueArena::Clear() {
  if (stringCount_ == 0 && pagesHeld_ == 0 && heapBlocks_ == 0) {
    // Only the inline pages can be in use; resetting them is enough.
    bool dirty = false;
    for (std::size_t cls = 0; cls < kSmallClassCount && !dirty; ++cls) {
      dirty = (inlineReady_ & (1u << cls)) != 0 && reinterpret_cast<PageHeader*>(inlinePages_[cls])->inUse != 0;
    }
    if (!dirty) return;
  }
  ReleasePages();
  ResetStrings();  // the records and the table lived in the blocks just dropped
  InitClasses();
}

ValueArena::Stats ValueArena::ReadStats() const { return Stats{pagesHeld_, heapBlocks_, stringCount_, slotCount_}; }

// ---------------------------------------------------------------------------
// ValueArena: interned strings

inline uint32_t ValueArena::FindSlot(std::string_view text, uint32_t hash) const {
  const uint32_t mask = slotCount_ - 1;
  uint32_t i = hash & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.record == nullptr) return i;
    if (slot.hash == hash && slot.record->length_ == text.size() &&
        SameText(slot.record->CStr(), text.data(), text.size())) {
      return i;
    }
  }
}

const InternedString* ValueArena::Lookup(std::string_view text, uint32_t hash) const {
  if (text.empty()) return &InternedString::Empty();
  return slots_[FindSlot(text, hash)].record;
}

const InternedString* ValueArena::InternKeyMissed(InternedString** pair, std::string_view text) {
  const InternedString* record = Intern(text, TextHash(text));
  pair[1] = pair[0];
  pair[0] = const_cast<InternedString*>(record);
  return record;
}

const InternedString* ValueArena::Intern(std::string_view text, uint32_t hash) {
  if (text.empty()) return &InternedString::Empty();
  uint32_t i = FindSlot(text, hash);
  if (InternedString* found = slots_[i].record) {
    ++found->refs_;
    return found;
  }
  if ((stringCount_ + 1) * 4u > slotCount_ * 3u) {
    // Quadrupled while small: a tree that outgrows the inline slots usually
    // holds a record's worth of keys and more, and each step rehashes all.
    ResizeTable(slotCount_ < 256 ? slotCount_ * 4 : slotCount_ * 2);
    i = FindSlot(text, hash);
  }
  auto* record = const_cast<InternedString*>(MakeUnlisted(text, hash));
  slots_[i] = Slot{record, hash};
  ++stringCount_;
  return record;
}

const InternedString* ValueArena::MakeUnlisted(std::string_view text, uint32_t hash) {
  if (text.size() >= UINT32_MAX - sizeof(InternedString) - 8) throw std::bad_alloc();
  auto* record = ::new (Allocate(RecordBytes(text.size()))) InternedString(hash, static_cast<uint32_t>(text.size()));
  char* chars = reinterpret_cast<char*>(record + 1);
  CopyShort(chars, text.data(), text.size());
  chars[text.size()] = '\0';
  record->refs_ = 1;
  return record;
}

const InternedString* ValueArena::MakeStandalone(std::string_view text, uint32_t hash) {
  auto* record = const_cast<InternedString*>(MakeUnlisted(text, hash));
  record->refs_ |= InternedString::kStandalone;
  return record;
}

const InternedString* ValueArena::MakeLongText(std::string_view text) {
  const std::size_t n = text.size();
  if (n > 256) {
    // Long enough for the library's vector loops to win over one fused pass.
    if (std::memchr(text.data(), 0, n) != nullptr) return nullptr;
    return MakeStandalone(text, 0);
  }
  const std::size_t bytes = RecordBytes(n);
  void* block = Allocate(bytes);
  auto* record = ::new (block) InternedString(0, static_cast<uint32_t>(n));
  char* out = reinterpret_cast<char*>(record + 1);
  const char* in = text.data();
  uint64_t zeros = 0;
  uint64_t word;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&word, in + i, 8);
    std::memcpy(out + i, &word, 8);
    zeros |= ZeroBytes(word);
  }
  if (i != n) {  // the last word overlaps the one before (n >= 8)
    std::memcpy(&word, in + n - 8, 8);
    std::memcpy(out + n - 8, &word, 8);
    zeros |= ZeroBytes(word);
  }
  out[n] = '\0';
  if (zeros != 0) {
    record->~InternedString();
    Free(block, bytes);
    return nullptr;
  }
  record->refs_ = 1 | InternedString::kStandalone;
  return record;
}

void ValueArena::EnterUnlisted(const InternedString* const* records, std::size_t count) {
  ReserveStrings(stringCount_ + count);
  const uint32_t mask = slotCount_ - 1;
  constexpr std::size_t kAhead = 8;  // slots loading while earlier records are placed
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) PrefetchSlot(records[i + kAhead]->hash_);
    auto* record = const_cast<InternedString*>(records[i]);
    uint32_t j = record->hash_ & mask;
    while (slots_[j].record != nullptr) j = (j + 1) & mask;
    slots_[j] = Slot{record, record->hash_};
  }
  stringCount_ += static_cast<uint32_t>(count);
}

void ValueArena::DropString(InternedString* record) {
  if (record->IsStandalone()) {
    const std::size_t bytes = RecordBytes(record->length_);
    record->~InternedString();
    Free(record, bytes);
    return;
  }
  const uint32_t mask = slotCount_ - 1;
  uint32_t hole = record->hash_ & mask;
  while (slots_[hole].record != record) hole = (hole + 1) & mask;
  // Backward-shift deletion: pull later entries of the probe run into the
  // hole unless that would move them before their home slot.
  for (uint32_t next = (hole + 1) & mask; slots_[next].record != nullptr; next = (next + 1) & mask) {
    const uint32_t home = slots_[next].hash & mask;
    const bool between = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (between) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = Slot{nullptr, 0};
  --stringCount_;
  InternedString** pair = keyCache_ + 2 * KeyCacheIndex(record->View());
  if (pair[0] == record) pair[0] = nullptr;
  if (pair[1] == record) pair[1] = nullptr;
  const std::size_t bytes = RecordBytes(record->length_);
  record->~InternedString();
  Free(record, bytes);
}

void ValueArena::ReserveStrings(std::size_t count) {
  if (count > UINT32_MAX / 8) throw std::bad_alloc();
  uint32_t slots = slotCount_;
  while (count * 4 > std::size_t{slots} * 3) slots *= 2;
  if (slots != slotCount_) ResizeTable(slots);
}

void ValueArena::ResizeTable(uint32_t slotCount) {
  if (slotCount == 0 || slotCount > UINT32_MAX / 2) throw std::bad_alloc();
  auto* slots = static_cast<Slot*>(Allocate(slotCount * sizeof(Slot)));
  std::fill(slots, slots + slotCount, Slot{nullptr, 0});
  const uint32_t mask = slotCount - 1;
  constexpr uint32_t kAhead = 16;  // new slots loading while earlier entries move
  for (uint32_t i = 0; i < slotCount_; ++i) {
    if (i + kAhead < slotCount_) __builtin_prefetch(&slots[slots_[i + kAhead].hash & mask], 1);
    if (slots_[i].record == nullptr) continue;
    uint32_t j = slots_[i].hash & mask;
    while (slots[j].record != nullptr) j = (j + 1) & mask;
    slots[j] = slots_[i];
  }
  if (slots_ != inlineSlots_) Free(slots_, slotCount_ * sizeof(Slot));
  slots_ = slots;
  slotCount_ = slotCount;
}

}  // namespace kiv::binding
