// Memory of value trees: the process-wide page registry, the per-tree arena
// with its size-class pools and its table of interned strings.
//
// A tree of values takes all of its records (strings, blob bytes, enum
// records, collection and structure storage) from one ValueArena owned by the
// root. Small blocks come from size-class pools carved out of 4096-byte pages;
// the pages come from 64 KiB regions that the PageRegistry reserves from the
// operating system. Blocks too large for the pools come from the general heap
// but are still tracked by the arena, so that dropping a whole tree is a walk
// over its pages and large blocks instead of a walk over its nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "logging/memory.h"
#include "platform/platform.h"

namespace kiv::binding {

// FNV-1a, 32-bit: the hash of field and argument names.
inline constexpr uint32_t kFnvOffsetBasis = 2166136261u;
inline constexpr uint32_t kFnvPrime = 16777619u;

constexpr uint32_t Fnv1a(std::string_view text, uint32_t hash = kFnvOffsetBasis) {
  for (char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= kFnvPrime;
  }
  return hash;
}

// The hash of the texts an arena holds, its table's and the key records'.
// Records stay in their arena and copies between arenas carry the hash over,
// so it need not match any other hash; keys and short texts are hashed once
// per new record, which made a byte-at-a-time loop a seventh of reading a
// small document. Texts of up to 16 bytes take two overlapping words.
inline uint32_t TextHash(std::string_view text) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  const char* p = text.data();
  const std::size_t n = text.size();
  uint64_t a = 0, b = 0;
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 16 < n; i += 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      a = (a ^ word) * kMultiplier;
      a ^= a >> 29;
    }
    uint64_t head, tail;
    std::memcpy(&head, p + i, 8);
    std::memcpy(&tail, p + n - 8, 8);
    a ^= head;
    b = tail;
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    a = head;
    b = tail;
  } else if (n != 0) {
    a = static_cast<uint8_t>(p[0]) | (uint64_t{static_cast<uint8_t>(p[n / 2])} << 8) |
        (uint64_t{static_cast<uint8_t>(p[n - 1])} << 16);
  }
  uint64_t x = (a ^ (b << 1 | b >> 63) ^ n) * kMultiplier;
  x ^= b;
  x = (x ^ (x >> 32)) * 0xD6E8FEB86659FD93ull;
  return static_cast<uint32_t>(x ^ (x >> 32));
}

inline uint32_t Fnv1aBytes(const void* data, std::size_t size, uint32_t hash = kFnvOffsetBasis) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= kFnvPrime;
  }
  return hash;
}

// A text held by values and keys of one arena. Keys and short texts are
// interned: one record per text, shared by every holder in the arena. A long
// text gets a record of its own ("standalone") that is counted the same way
// but stays out of the table: long texts (message bodies, ids, timestamps)
// rarely repeat, and looking each one up would cost more than it saves; so
// may a short text in a tree that already holds many (see InternShort). The
// characters follow the record, zero-terminated; the length excludes the zero.
class InternedString {
 public:
  InternedString(const InternedString&) = delete;
  InternedString& operator=(const InternedString&) = delete;

  const char* CStr() const { return reinterpret_cast<const char*>(this + 1); }
  uint32_t Size() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }
  std::string_view View() const { return std::string_view(CStr(), length_); }
  // TextHash of the text. A standalone record made without one (0) hashes its
  // text on each call instead of storing it: readers of one tree on several
  // threads must not write to it.
  uint32_t Hash() const { return hash_ != 0 || (refs_ & kStandalone) == 0 ? hash_ : TextHash(View()); }
  // Number of values and keys holding the record; 0 for the shared empty text.
  uint32_t RefCount() const { return refs_ & kCountMask; }
  // True for a record outside the arena's table (see above).
  bool IsStandalone() const { return (refs_ & kStandalone) != 0; }

  // The one record for the empty text, shared by the whole process. It is
  // never counted and never released.
  static const InternedString& Empty();

 private:
  friend class ValueArena;
  friend struct EmptyInternedString;
  static constexpr uint32_t kStandalone = 0x80000000u;  // in refs_, above the count
  static constexpr uint32_t kCountMask = 0x7FFFFFFFu;

  constexpr InternedString(uint32_t hash, uint32_t length) : hash_(hash), refs_(0), length_(length) {}

  uint32_t hash_;
  uint32_t refs_;
  uint32_t length_;
};

// The process-wide source of 4096-byte pages. It reserves 64 KiB regions
// from the operating system, hands their pages out one at a time and returns
// a region to the system as soon as all of its pages are free again.
class PageRegistry {
 public:
  static constexpr std::size_t kPageSize = 4096;
  static constexpr std::size_t kPagesPerRegion = 16;
  static constexpr std::size_t kRegionSize = kPageSize * kPagesPerRegion;

  // Created on first use and never destroyed, so that values that outlive
  // static destruction can still give their pages back.
  static PageRegistry& Instance();

  // A page aligned to kPageSize. Throws std::bad_alloc when the system
  // refuses more memory.
  void* AcquirePage();
  void ReleasePage(void* page);
  // Releases a chain of pages under one lock: the first pointer-sized word
  // of each page holds the next page, null in the last.
  void ReleaseChain(void* first);

  // Which wholly free regions stay mapped instead of going back to the
  // system. Unmapping pages and faulting the same amount back in dominates
  // the cost of reading a large document that replaces the previous one, so:
  // - up to `floorRegions` free regions are always kept;
  // - above that, as many as were in use at the peak of the last
  //   `windowMs` milliseconds, so a process that keeps building large trees
  //   keeps their memory, and one that stopped gives it back within two
  //   windows (at its next page request or release; nothing runs in the
  //   background). A window of 0 keeps exactly the floor.
  // A floor and a window of 0 return each region as soon as all of its
  // pages are free.
  struct Retention {
    uint32_t floorRegions;
    uint32_t windowMs;
  };
  static constexpr Retention kDefaultRetention{256, 1000};  // 16 MiB always
  static constexpr uint32_t kDefaultRetainedRegions = kDefaultRetention.floorRegions;
  void SetRetention(Retention retention);
  Retention ReadRetention();
  // Keeps at most `regions` free regions: SetRetention({regions, 0}).
  void SetRetainedRegionLimit(uint32_t regions);
  uint32_t RetainedRegionLimit();

  struct Stats {
    uint32_t regionsHeld;      // regions currently reserved
    uint32_t regionsRetained;  // of these, wholly free ones kept for reuse
    uint32_t pagesInUse;       // pages currently handed out
    uint64_t regionsReserved;  // regions ever reserved
    uint64_t regionsReleased;  // regions ever returned to the system
    uint64_t pagesTaken;       // pages ever handed out: what building trees has cost
  };
  Stats ReadStats();
  // With no page in use: returns every region to the system and forgets it;
  // true then. The registry must not be used afterwards.
  bool ReleaseIfIdle();

  PageRegistry() = default;
  PageRegistry(const PageRegistry&) = delete;
  PageRegistry& operator=(const PageRegistry&) = delete;

 private:
  struct Region {
    char* base;
    Region* prevFree;  // list of regions with at least one free page
    Region* nextFree;
    uint16_t freeMask;  // bit i set: page i is free
    uint16_t freeCount;
    bool returning;  // going back to the system at the next sweep
  };

  void ReleaseLocked(void* page);
  void SweepLocked();
  uint32_t RegionsInUseLocked() const { return static_cast<uint32_t>(regions_.size()) - retained_; }
  // Moves the demand window on and returns how many free regions may stay.
  uint32_t KeepLimitLocked();
  Region* FindRegionLocked(const void* page) const;
  void LinkFreeLocked(Region* region);
  void UnlinkFreeLocked(Region* region);

  platform::Mutex mutex_;
  Vector<Region*> regions_;  // sorted by base address
  Region* withFree_ = nullptr;
  uint32_t pagesInUse_ = 0;
  uint32_t retained_ = 0;  // wholly free regions still held
  uint32_t retainLimit_ = kDefaultRetention.floorRegions;
  bool sweepDue_ = false;
  // The demand window: regions in use at the peak of the current and of the
  // previous window, and when the current one began (PerformanceCounter).
  uint32_t windowMs_ = kDefaultRetention.windowMs;
  uint32_t peakInUse_ = 0;
  uint32_t previousPeakInUse_ = 0;
  int64_t windowStart_ = 0;
  uint64_t regionsReserved_ = 0;
  uint64_t regionsReleased_ = 0;
  uint64_t pagesTaken_ = 0;
};

// Size classes of the arena pools and the layout of their pages.
namespace arena_detail {

inline constexpr std::size_t kPageSize = 4096;
inline constexpr std::size_t kSmallClassCount = 18;  // 4, 8, ..., 72 bytes

struct PageHeader {
  PageHeader* next;  // first word: also the chain link for PageRegistry::ReleaseChain
  PageHeader* prev;
  uint16_t pageSize;   // the inline page size or kPageSize
  uint16_t inUse;      // blocks handed out
  uint16_t firstFree;  // offset / 4 of the first free block, 0 for none
  uint16_t fresh;      // offset / 4 of the first never-used block, 0 for none
};
inline constexpr std::size_t kPageHeaderSize = (sizeof(PageHeader) + 7) & ~std::size_t{7};

// Blocks above the small classes: sizes chosen so that a page holds a whole
// number of them with little left over.
inline constexpr std::size_t kLargeClassCount = 15;
inline constexpr uint8_t kBlocksPerLargePage[kLargeClassCount] = {40, 32, 26, 21, 17, 14, 12, 10, 8, 7, 6, 5, 4, 3, 2};
constexpr std::size_t LargeClassSize(std::size_t i) {
  return ((kPageSize - kPageHeaderSize) / kBlocksPerLargePage[i]) & ~std::size_t{7};
}
inline constexpr std::size_t kClassCount = kSmallClassCount + kLargeClassCount;
inline constexpr std::size_t kMaxPooledBlock = LargeClassSize(kLargeClassCount - 1);

inline constexpr std::size_t kClassTableSize = kMaxPooledBlock / 8 + 1;
struct ClassTables {
  uint32_t size[kClassCount];
  uint8_t largeIndex[kClassTableSize];  // (bytes + 7) / 8 -> class, for bytes above the small classes
};
constexpr ClassTables BuildClassTables() {
  ClassTables t{};
  for (std::size_t i = 0; i < kSmallClassCount; ++i) t.size[i] = static_cast<uint32_t>(4 * (i + 1));
  for (std::size_t i = 0; i < kLargeClassCount; ++i) {
    t.size[kSmallClassCount + i] = static_cast<uint32_t>(LargeClassSize(i));
  }
  std::size_t cls = kSmallClassCount;
  for (std::size_t slot = 0; slot < kClassTableSize; ++slot) {
    while (cls < kClassCount - 1 && t.size[cls] < slot * 8) ++cls;
    t.largeIndex[slot] = static_cast<uint8_t>(cls);
  }
  return t;
}
inline constexpr ClassTables kTables = BuildClassTables();

}  // namespace arena_detail

// The memory of one value tree. Not thread-safe: a tree belongs to one thread
// at a time.
class ValueArena : public mem::Allocated {
 public:
  static constexpr std::size_t kSmallClassCount = arena_detail::kSmallClassCount;
  static constexpr std::size_t kLargestSmallBlock = 72;
  static constexpr std::size_t kInlinePageSize = 144;
  static constexpr std::size_t kPageSize = arena_detail::kPageSize;

  using PageHeader = arena_detail::PageHeader;
  static constexpr std::size_t kPageHeaderSize = arena_detail::kPageHeaderSize;
  static constexpr std::size_t kClassCount = arena_detail::kClassCount;
  // Requests above this size go to the general heap.
  static constexpr std::size_t kMaxPooledBlock = arena_detail::kMaxPooledBlock;

  ValueArena();
  ~ValueArena();
  ValueArena(const ValueArena&) = delete;
  ValueArena& operator=(const ValueArena&) = delete;

  // Blocks of any size; alignment is that of the largest power of two (up to
  // 8) dividing the size, so a record of sizeof(T) bytes is aligned for T.
  // The size must be given again when the block is freed or resized.
  void* Allocate(std::size_t bytes) {
    if (bytes > kMaxPooledBlock) return AllocateHeap(bytes);
    return AllocateFrom(ClassOf(bytes));
  }
  // The same, telling the bytes really available in the block (see UsableSize).
  void* AllocateUsable(std::size_t bytes, std::size_t* usable) {
    if (bytes > kMaxPooledBlock) {
      *usable = bytes;
      return AllocateHeap(bytes);
    }
    const std::size_t cls = ClassOf(bytes);
    *usable = kClassSize[cls];
    return AllocateFrom(cls);
  }
  void Free(void* block, std::size_t bytes) {
    if (bytes > kMaxPooledBlock) return FreeHeap(block);
    FreeTo(ClassOf(bytes), block);
  }
  // Moves the block to one of `newBytes`, keeping min(old, new) bytes.
  void* Resize(void* block, std::size_t oldBytes, std::size_t newBytes);
  // The bytes really available in a block asked for with `bytes`, so that
  // growable storage can use the whole of its size class.
  static std::size_t UsableSize(std::size_t bytes) {
    if (bytes > kMaxPooledBlock) return bytes;
    return kClassSize[ClassOf(bytes)];
  }

  // Drops every block and string at once; the arena stays usable.
  void Clear();

  // Interning. The text is taken as is (callers cut it at its first zero
  // byte); the record comes back counted once more. The empty text gives the
  // shared empty record.
  const InternedString* Intern(std::string_view text) { return Intern(text, TextHash(text)); }
  const InternedString* Intern(std::string_view text, uint32_t hash);
  // Interning for structure keys, which repeat all over a tree: a small
  // cache, found from the first bytes and the length, spares most of them
  // the hash and the table. Two records share a place, so that the few dozen
  // names of a document's objects rarely push each other out.
  const InternedString* InternKey(std::string_view text) {
    if (text.empty()) return &InternedString::Empty();
    InternedString** place;
    if (const InternedString* cached = FindKey(text, &place)) return cached;
    return InternKeyMissed(place, text);  // out of line: the hit stays small enough to inline
  }
  // The key cache alone: the record of `text` counted once more, or null
  // when the cache does not hold it; `*place` is where InternKeyMissed puts
  // the text. A text the cache finds has no zero byte (no record does), so a
  // caller that cuts texts at their first zero need not look for one first.
  [[gnu::always_inline]] const InternedString* FindKey(std::string_view text, InternedString*** place) {
    InternedString** pair = keyCache_ + 2 * KeyCacheIndex(text);
    InternedString* cached = FindCached(pair, text);
    if (cached != nullptr) ++cached->refs_;
    *place = pair;
    return cached;
  }
  // InternKey for a text (without zero bytes) that FindKey has just missed
  // at `place`: the cache is not asked again.
  const InternedString* InternKeyMissed(InternedString** place, std::string_view text);
  // String values this long or longer get a standalone record.
  static constexpr std::size_t kSharedTextLimit = 16;
  // A short text value (1 to kSharedTextLimit - 1 bytes, the first not
  // zero), cut at its first zero byte and interned. Such texts repeat like
  // keys (kinds, states, tags), so they share the key cache. Once the table
  // holds kShortTextTableLimit records, a text the cache does not know gets
  // a standalone record instead: in a tree of that many texts it is most
  // likely one of many that never repeat (names with serial numbers), and
  // finding it in a table grown past the processor's caches costs more than
  // sharing it saves.
  const InternedString* InternShort(std::string_view text) {
    if (HasZeroByte(text.data(), text.size())) text = text.substr(0, std::strlen(text.data()));
    if (stringCount_ < kShortTextTableLimit || text.empty()) return InternKey(text);
    if (InternedString* cached = FindCached(keyCache_ + 2 * KeyCacheIndex(text), text)) {
      ++cached->refs_;
      return cached;
    }
    return MakeStandalone(text, 0);
  }
  static constexpr uint32_t kShortTextTableLimit = 4096;
  // A standalone record of a long text (kSharedTextLimit bytes or more),
  // copied and checked for zero bytes in one pass; null, with nothing kept,
  // when the text holds a zero byte.
  const InternedString* MakeLongText(std::string_view text);
  // A standalone record of the text, counted once; `hash` is its TextHash
  // when known, else 0.
  const InternedString* MakeStandalone(std::string_view text, uint32_t hash);
  // A standalone record of this arena holding the text of `source` (a
  // standalone record of any arena), counted once.
  const InternedString* CopyStandalone(const InternedString* source) {
    return MakeStandalone(source->View(), source->hash_);
  }
  // The record for a text without counting or creating it; null when absent.
  const InternedString* Lookup(std::string_view text, uint32_t hash) const;
  // Room for `count` interned texts without the table growing.
  void ReserveStrings(std::size_t count);
  // Bulk copies: a record made without looking at the table (counted once),
  // and the entry of such records afterwards in one pass. The texts must be
  // distinct and absent from the table; until entered, a record must not be
  // released on its own (Clear drops it like any other).
  const InternedString* MakeUnlisted(std::string_view text, uint32_t hash);
  void EnterUnlisted(const InternedString* const* records, std::size_t count);
  // Starts loading the table slot of a hash, ahead of interning a batch.
  void PrefetchSlot(uint32_t hash) const { __builtin_prefetch(&slots_[hash & (slotCount_ - 1)]); }
  // Byte equality, without a library call for the short texts that keys are.
  static bool SameText(const char* a, const char* b, std::size_t n) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) {
      uint64_t x0, y0, x1, y1;
      std::memcpy(&x0, a, 8);
      std::memcpy(&y0, b, 8);
      std::memcpy(&x1, a + n - 8, 8);
      std::memcpy(&y1, b + n - 8, 8);
      return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    if (n >= 4) {
      uint32_t x0, y0, x1, y1;
      std::memcpy(&x0, a, 4);
      std::memcpy(&y0, b, 4);
      std::memcpy(&x1, a + n - 4, 4);
      std::memcpy(&y1, b + n - 4, 4);
      return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  // Whether a text of fewer than 16 bytes holds a zero byte.
  static bool HasZeroByte(const char* p, std::size_t n) {
    if (n >= 8) {
      uint64_t x0, x1;
      std::memcpy(&x0, p, 8);
      std::memcpy(&x1, p + n - 8, 8);
      return (ZeroBytes(x0) | ZeroBytes(x1)) != 0;
    }
    if (n >= 4) {
      uint32_t x0, x1;
      std::memcpy(&x0, p, 4);
      std::memcpy(&x1, p + n - 4, 4);
      return ZeroBytes((static_cast<uint64_t>(x0) << 32) | x1) != 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (p[i] == '\0') return true;
    }
    return false;
  }
  // Non-zero exactly when one of the eight bytes of `word` is zero.
  static constexpr uint64_t ZeroBytes(uint64_t word) {
    return (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
  }
  static void Retain(const InternedString* text) {
    if (text->length_ != 0) ++const_cast<InternedString*>(text)->refs_;
  }
  // Gives back a count that is known not to be the last one.
  static void Unretain(const InternedString* text) {
    if (text->length_ != 0) --const_cast<InternedString*>(text)->refs_;
  }
  void Release(const InternedString* text) {
    if (text->length_ == 0) return;
    auto* record = const_cast<InternedString*>(text);
    if ((--record->refs_ & InternedString::kCountMask) == 0) DropString(record);
  }

  struct Stats {
    uint32_t pagesHeld;   // 4096-byte pages taken from the registry
    uint32_t heapBlocks;  // large blocks on the general heap
    uint32_t strings;     // interned records
    uint32_t slots;       // size of the string table
  };
  Stats ReadStats() const;

 private:
  struct SizeClass {
    PageHeader* partial;  // pages with at least one free block
    PageHeader* full;
    uint32_t blockSize;
  };
  // Prefix of a block on the general heap: the arena's list of such blocks.
  struct alignas(16) HeapBlock {
    HeapBlock* prev;
    HeapBlock* next;
  };

  static constexpr const uint32_t* kClassSize = arena_detail::kTables.size;

  static std::size_t ClassOf(std::size_t bytes) {
    if (bytes <= kLargestSmallBlock) return bytes == 0 ? 0 : (bytes + 3) / 4 - 1;
    return arena_detail::kTables.largeIndex[(bytes + 7) / 8];
  }

  void* AllocateFrom(std::size_t cls) {
    SizeClass& c = classes_[cls];
    PageHeader* page = c.partial != nullptr ? c.partial : AddPage(cls);
    char* base = reinterpret_cast<char*>(page);
    uint32_t unit;
    if (page->firstFree != 0) {
      unit = page->firstFree;
      std::memcpy(&page->firstFree, base + unit * 4, sizeof(uint16_t));
    } else {
      unit = page->fresh;
      const uint32_t next = unit + c.blockSize / 4;
      page->fresh = next * 4 + c.blockSize <= page->pageSize ? static_cast<uint16_t>(next) : 0;
    }
    ++page->inUse;
    if (page->firstFree == 0 && page->fresh == 0) PageFilled(c, page);
    KIV_MEMORY_UNPOISON(base + unit * 4, c.blockSize);
    return base + unit * 4;
  }
  void FreeTo(std::size_t cls, void* block) {
    PageHeader* page = PageOf(cls, block);
    const bool wasFull = page->firstFree == 0 && page->fresh == 0;
    char* base = reinterpret_cast<char*>(page);
    std::memcpy(block, &page->firstFree, sizeof(uint16_t));
    page->firstFree = static_cast<uint16_t>((static_cast<char*>(block) - base) / 4);
    --page->inUse;
    PoisonFreeBlock(block, classes_[cls].blockSize);
    if (wasFull || (page->inUse == 0 && page->pageSize == kPageSize)) PageFreed(classes_[cls], page, wasFull);
  }
  // Sanitizer builds: a freed block past its free-list link is off limits
  // until handed out again (whole 8-byte granules only, so that neighbouring
  // small blocks are never affected).
  static void PoisonFreeBlock(void* block, std::size_t size) {
    if (size >= 16 && size % 8 == 0 && reinterpret_cast<uintptr_t>(block) % 8 == 0) {
      KIV_MEMORY_POISON(static_cast<char*>(block) + 8, size - 8);
    }
  }
  PageHeader* PageOf(std::size_t cls, void* block) {
    const auto address = reinterpret_cast<uintptr_t>(block);
    if (cls < kSmallClassCount) {
      const auto inlineBase = reinterpret_cast<uintptr_t>(inlinePages_[cls]);
      if (address - inlineBase < kInlinePageSize) return reinterpret_cast<PageHeader*>(inlinePages_[cls]);
    }
    return reinterpret_cast<PageHeader*>(address & ~static_cast<uintptr_t>(kPageSize - 1));
  }

  PageHeader* AddPage(std::size_t cls);
  void PageFilled(SizeClass& c, PageHeader* page);
  void PageFreed(SizeClass& c, PageHeader* page, bool wasFull);
  void* AllocateHeap(std::size_t bytes);
  void FreeHeap(void* block);
  // A slot of the string table (open addressing, linear probing); the hash
  // is kept beside the record so that probing rarely touches the records.
  struct Slot {
    InternedString* record;  // null: free
    uint32_t hash;
  };
  uint32_t FindSlot(std::string_view text, uint32_t hash) const;  // the slot holding the text, or a free one

  static constexpr std::size_t kKeyCacheSize = 256;  // 128 pairs
  // The record of `text` in a pair of the key cache, or null; a hit on the
  // second moves it first, where the next miss leaves it.
  static InternedString* FindCached(InternedString** pair, std::string_view text) {
    for (int way = 0; way < 2; ++way) {
      InternedString* cached = pair[way];
      if (cached != nullptr && cached->length_ == text.size() && SameText(cached->CStr(), text.data(), text.size())) {
        if (way != 0) {
          pair[1] = pair[0];
          pair[0] = cached;
        }
        return cached;
      }
    }
    return nullptr;
  }
  static uint32_t KeyCacheIndex(std::string_view text) {
    const std::size_t n = text.size();
    const char* p = text.data();
    uint64_t prefix = 0;
    if (n >= 8) {
      std::memcpy(&prefix, p, 8);
    } else if (n >= 4) {
      uint32_t low, high;
      std::memcpy(&low, p, 4);
      std::memcpy(&high, p + n - 4, 4);
      prefix = (static_cast<uint64_t>(high) << 32) | low;
    } else {
      for (std::size_t i = 0; i < n; ++i) prefix = (prefix << 8) | static_cast<uint8_t>(p[i]);
    }
    return static_cast<uint32_t>(((prefix + n) * 0x9E3779B97F4A7C15ull) >> 57);
  }
  void DropString(InternedString* record);
  void ResizeTable(uint32_t slotCount);
  static std::size_t RecordBytes(std::size_t length) {
    return (sizeof(InternedString) + length + 1 + alignof(InternedString) - 1) & ~(alignof(InternedString) - 1);
  }
  // Gives back every page and heap block, leaving the classes' lists to
  // InitClasses; the string table then points into freed memory until
  // ResetStrings.
  void ReleasePages();
  void ResetStrings();
  void InitClasses();

  static void InitPage(PageHeader* page, std::size_t pageSize, std::size_t blockSize);
  static void Unlink(PageHeader*& head, PageHeader* page);
  static void PushFront(PageHeader*& head, PageHeader* page);

  SizeClass classes_[kClassCount];
  uint32_t inlineReady_ = 0;  // bit i: the inline page of small class i is set up and in its lists
  // Bit i: class i has taken a page from the registry since InitClasses. A
  // small document uses a few classes; giving pages back visits only these.
  uint64_t pagedClasses_ = 0;
  static_assert(kClassCount <= 64);
  HeapBlock heap_;  // sentinel of the circular list of heap blocks
  uint32_t pagesHeld_ = 0;
  uint32_t heapBlocks_ = 0;
  Slot* slots_;
  uint32_t slotCount_;  // a power of two; at most three quarters in use
  uint32_t stringCount_;
  // Room for the keys and short texts of a typical record or event payload
  // without growing the table.
  static constexpr uint32_t kInlineSlots = 64;
  Slot inlineSlots_[kInlineSlots];
  InternedString* keyCache_[kKeyCacheSize];
  alignas(16) unsigned char inlinePages_[kSmallClassCount][kInlinePageSize];
};

}  // namespace kiv::binding
