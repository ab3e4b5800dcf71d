// Allocation front end and the accounting hooks it installs on first use.
#include "logging/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace kiv::mem {
namespace {

Hooks g_hooks{};

// The six counters. Each is updated atomically; the peak pair is updated with
// a compare-and-swap loop so that concurrent frees never lower it.
struct Counters {
  std::atomic<uint64_t> peakBytesInUse{0};
  std::atomic<uint64_t> liveAllocationsAtPeak{0};
  std::atomic<uint64_t> bytesAllocated{0};
  std::atomic<uint64_t> allocations{0};
  std::atomic<uint64_t> bytesFreed{0};
  std::atomic<uint64_t> frees{0};
};
Counters g_counters;

void UpdatePeak(Counters* c) {
  const uint64_t inUse =
      c->bytesAllocated.load(std::memory_order_relaxed) - c->bytesFreed.load(std::memory_order_relaxed);
  uint64_t peak = c->peakBytesInUse.load(std::memory_order_relaxed);
  while (inUse > peak) {
    if (c->peakBytesInUse.compare_exchange_weak(peak, inUse, std::memory_order_relaxed)) {
      c->liveAllocationsAtPeak.store(
          c->allocations.load(std::memory_order_relaxed) - c->frees.load(std::memory_order_relaxed),
          std::memory_order_relaxed);
      break;
    }
  }
}

// Freed blocks of 1 to 16 KiB, kept a little for the next request of about
// their size. glibc answers such a request by first merging every small
// block freed since the last one, and a plugin that builds a value per
// request (a value's arena, a reader's frames) would pay that merge on every
// request. A block kept here is counted as freed and, when handed out again,
// as allocated, so the counters and the failure hook see what they would
// without it; what is kept goes back to the runtime when the library is
// unloaded.
class SpareBlocks {
 public:
  static constexpr std::size_t kSmallest = 1000;
  static constexpr std::size_t kLargest = 16384;

  // A kept block of at least `size` usable bytes and not a quarter more, or null.
  void* Take(std::size_t size) {
    if (size < kSmallest || size > kLargest || count_.load(std::memory_order_relaxed) == 0) return nullptr;
    SpinGuard guard(lock_);
    const int count = count_.load(std::memory_order_relaxed);
    for (int i = count - 1; i >= 0; --i) {
      if (slots_[i].usable >= size && slots_[i].usable - size <= size / 4) {
        void* block = slots_[i].block;
        KIV_MEMORY_UNPOISON(block, slots_[i].usable);
        slots_[i] = slots_[count - 1];
        count_.store(count - 1, std::memory_order_relaxed);
        return block;
      }
    }
    return nullptr;
  }
  // Whether the block, of `usable` bytes, is kept instead of freed. The
  // newest are kept: when all places are taken, the oldest goes back to the
  // runtime.
  bool Keep(void* block, std::size_t usable) {
    if (usable < kSmallest || usable > kLargest + kLargest / 4) return false;
    void* oldest = nullptr;
    {
      SpinGuard guard(lock_);
      if (closed_) return false;
      int count = count_.load(std::memory_order_relaxed);
      if (count == kSlots) {
        oldest = slots_[0].block;
        std::memmove(slots_, slots_ + 1, sizeof(Slot) * (kSlots - 1));
        --count;
      }
      // A kept block is as good as freed: sanitizer builds still catch a use of it.
      KIV_MEMORY_POISON(block, usable);
      slots_[count] = Slot{block, usable};
      count_.store(count + 1, std::memory_order_relaxed);
    }
    if (oldest != nullptr) FreeKept(oldest);
    return true;
  }
  // Frees what is kept and keeps nothing from now on.
  void Close() {
    SpinGuard guard(lock_);
    closed_ = true;
    for (int i = 0; i < count_.load(std::memory_order_relaxed); ++i) FreeKept(slots_[i].block);
    count_.store(0, std::memory_order_relaxed);
  }

 private:
  static void FreeKept(void* block) {
    KIV_MEMORY_UNPOISON(block, platform::RuntimeBlockSize(block));
    std::free(block);
  }
  // Held for a few instructions; a lock that needs no destruction stays
  // usable by frees that come after the library's static destructors.
  class SpinGuard {
   public:
    explicit SpinGuard(std::atomic_flag& flag) : flag_(flag) {
      while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~SpinGuard() { flag_.clear(std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

   private:
    std::atomic_flag& flag_;
  };
  static constexpr int kSlots = 8;
  struct Slot {
    void* block;
    std::size_t usable;
  };
  std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  std::atomic<int> count_{0};
  bool closed_ = false;
  Slot slots_[kSlots] = {};
};
SpareBlocks g_spares;

// Destroyed after every static of the library that allocated, since it is
// made at the first allocation.
struct SpareBlocksCloser {
  ~SpareBlocksCloser() { g_spares.Close(); }
};

// A request the C runtime could not serve is not counted: no block was
// obtained, so none will be given back, and counting it would leave the live
// count above the truth for good.
void* CountingAllocate(std::size_t size, void* context) {
  auto* c = static_cast<Counters*>(context);
  void* block = g_spares.Take(size);
  if (block == nullptr) block = std::malloc(size);
  if (block == nullptr) return nullptr;
  c->bytesAllocated.fetch_add(platform::RuntimeBlockSize(block), std::memory_order_relaxed);
  c->allocations.fetch_add(1, std::memory_order_relaxed);
  UpdatePeak(c);
  return block;
}

void CountingFree(void* block, void* context) {
  if (block == nullptr) return;
  auto* c = static_cast<Counters*>(context);
  const std::size_t size = platform::RuntimeBlockSize(block);
  if (!g_spares.Keep(block, size)) std::free(block);
  c->bytesFreed.fetch_add(size, std::memory_order_relaxed);
  c->frees.fetch_add(1, std::memory_order_relaxed);
}

void* CountingReallocate(void* block, std::size_t size, void* context) {
  auto* c = static_cast<Counters*>(context);
  const std::size_t oldSize = platform::RuntimeBlockSize(block);
  void* moved = std::realloc(block, size);
  // realloc(p, 0) may free the block and return null; either way the old
  // block is gone unless realloc failed for a non-zero size.
  if (moved == nullptr && size != 0) return nullptr;
  const std::size_t newSize = platform::RuntimeBlockSize(moved);
  c->bytesFreed.fetch_add(oldSize, std::memory_order_relaxed);
  c->frees.fetch_add(1, std::memory_order_relaxed);
  c->bytesAllocated.fetch_add(newSize, std::memory_order_relaxed);
  c->allocations.fetch_add(1, std::memory_order_relaxed);
  UpdatePeak(c);
  return moved;
}

char* CountingDuplicate(const char* text, void* context) {
  if (text == nullptr) return nullptr;
  auto* c = static_cast<Counters*>(context);
  const std::size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  c->bytesAllocated.fetch_add(platform::RuntimeBlockSize(copy), std::memory_order_relaxed);
  c->allocations.fetch_add(1, std::memory_order_relaxed);
  UpdatePeak(c);
  return copy;
}

std::size_t CountingBlockSize(void* block, void*) { return platform::RuntimeBlockSize(block); }

// The failure hook. The flag keeps the common path to one relaxed load once
// no test has armed anything; the countdown itself is per thread, so that
// other threads' allocations neither consume nor suffer it.
std::atomic<bool> g_failureArmed{false};
thread_local uint64_t t_failCountdown = 0;
thread_local bool t_failed = false;

bool InjectedFailure() {
  if (!g_failureArmed.load(std::memory_order_relaxed) || t_failCountdown == 0) return false;
  if (--t_failCountdown != 0) return false;
  t_failed = true;
  return true;
}

// First-use set-up: runs once, on the first allocation (normally while the
// library's static data are built at load, before any other thread exists).
bool SetUp() {
  static SpareBlocksCloser closer;
  g_counters.peakBytesInUse = 0;
  g_counters.liveAllocationsAtPeak = 0;
  g_counters.bytesAllocated = 0;
  g_counters.allocations = 0;
  g_counters.bytesFreed = 0;
  g_counters.frees = 0;
  InstallHooks(
      Hooks{CountingAllocate, CountingFree, CountingReallocate, CountingDuplicate, CountingBlockSize, &g_counters});
  return true;
}

}  // namespace

void* Allocate(std::size_t size) {
  static const bool initialized = SetUp();
  (void)initialized;
  if (InjectedFailure()) return nullptr;
  if (g_hooks.allocate != nullptr) return g_hooks.allocate(size, g_hooks.context);
  return std::malloc(size);
}

void Free(void* block) {
  if (g_hooks.free != nullptr) {
    g_hooks.free(block, g_hooks.context);
  } else {
    std::free(block);
  }
}

void* Reallocate(void* block, std::size_t size) {
  // Like a failed realloc: the block stays as it was.
  if (size != 0 && InjectedFailure()) return nullptr;
  if (g_hooks.reallocate != nullptr) return g_hooks.reallocate(block, size, g_hooks.context);
  return std::realloc(block, size);
}

char* Duplicate(const char* text) {
  if (text != nullptr && InjectedFailure()) return nullptr;
  if (g_hooks.duplicate != nullptr) return g_hooks.duplicate(text, g_hooks.context);
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

std::size_t BlockSize(void* block) {
  if (g_hooks.blockSize != nullptr) return g_hooks.blockSize(block, g_hooks.context);
  return platform::RuntimeBlockSize(block);
}

bool InstallHooks(const Hooks& hooks) {
  g_hooks = hooks;
  return true;
}

AllocationStats ReadAllocationStats() {
  return AllocationStats{g_counters.peakBytesInUse.load(), g_counters.liveAllocationsAtPeak.load(),
                         g_counters.bytesAllocated.load(), g_counters.allocations.load(),
                         g_counters.bytesFreed.load(),     g_counters.frees.load()};
}

uint64_t OutstandingAllocations() { return g_counters.allocations.load() - g_counters.frees.load(); }

void FailAllocation(uint64_t nth) {
  t_failCountdown = nth;
  t_failed = false;
  if (nth != 0) g_failureArmed.store(true, std::memory_order_relaxed);
}

bool AllocationFailed() { return t_failed; }

}  // namespace kiv::mem
