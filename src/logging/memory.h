// The allocation front end: the one door through which the library's own
// containers and texts take and return memory. The first allocation installs
// the counting hooks, so a host can read how much the plugin holds; the host
// process's global operator new/delete are never replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Marks memory that is allocated but must not be touched (a freed block kept
// for reuse, the free part of a page) so that sanitizer builds catch a use of
// it; nothing in other builds.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KIV_MEMORY_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define KIV_MEMORY_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define KIV_MEMORY_POISON(address, size) ((void)(address), (void)(size))
#define KIV_MEMORY_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace kiv::mem {

// The hook table. Each hook receives the context word unchanged.
struct Hooks {
  void* (*allocate)(std::size_t size, void* context);
  void (*free)(void* block, void* context);
  void* (*reallocate)(void* block, std::size_t size, void* context);
  char* (*duplicate)(const char* text, void* context);
  std::size_t (*blockSize)(void* block, void* context);
  void* context;
};

void* Allocate(std::size_t size);
void Free(void* block);
void* Reallocate(void* block, std::size_t size);
char* Duplicate(const char* text);
std::size_t BlockSize(void* block);

// Replaces the hook table; always true.
bool InstallHooks(const Hooks& hooks);

// The six counters kept by the accounting hooks.
struct AllocationStats {
  uint64_t peakBytesInUse;
  uint64_t liveAllocationsAtPeak;
  uint64_t bytesAllocated;
  uint64_t allocations;
  uint64_t bytesFreed;
  uint64_t frees;
};
// A consistent-enough snapshot of the accounting counters (each read atomically).
AllocationStats ReadAllocationStats();
// Blocks obtained and not yet given back (allocations minus frees).
uint64_t OutstandingAllocations();

// Test hook: the calling thread's `nth` allocation from now (1: the next one)
// through Allocate, Reallocate or Duplicate fails once, as if the C runtime
// had no memory left; 0 disarms. Other threads are not affected.
void FailAllocation(uint64_t nth);
// Whether the failure armed on this thread has happened.
bool AllocationFailed();

// Standard-library allocator over the front end.
template <typename T>
struct Allocator {
  using value_type = T;
  Allocator() noexcept = default;
  template <typename U>
  Allocator(const Allocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    void* block = Allocate(n * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t) noexcept { Free(p); }
  template <typename U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

// Base for library objects created with new: their storage goes through the
// front end too.
struct Allocated {
  static void* operator new(std::size_t size) {
    void* block = Allocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  static void operator delete(void* block) noexcept { Free(block); }
};

// Creates and destroys a T whose storage comes from the front end, for types
// that do not derive from Allocated.
template <typename T, typename... Args>
T* New(Args&&... args) {
  void* block = Allocate(sizeof(T));
  if (block == nullptr) throw std::bad_alloc();
  try {
    return ::new (block) T(std::forward<Args>(args)...);
  } catch (...) {
    Free(block);
    throw;
  }
}
template <typename T>
void Delete(T* object) noexcept {
  if (object == nullptr) return;
  object->~T();
  Free(const_cast<std::remove_cv_t<T>*>(object));
}

}  // namespace kiv::mem

namespace kiv {

using String = std::basic_string<char, std::char_traits<char>, mem::Allocator<char>>;
template <typename T>
using Vector = std::vector<T, mem::Allocator<T>>;
template <typename K, typename V, typename Less = std::less<K>>
using Map = std::map<K, V, Less, mem::Allocator<std::pair<const K, V>>>;
template <typename K, typename V, typename Hash = std::hash<K>, typename Eq = std::equal_to<K>>
using HashMap = std::unordered_map<K, V, Hash, Eq, mem::Allocator<std::pair<const K, V>>>;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

inline String ToString(std::string_view text) { return String(text.data(), text.size()); }

}  // namespace kiv
