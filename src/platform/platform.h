// The operating-system facilities the library uses, behind one small surface.
// platform_win32.cpp implements it over the Win32 API, platform_posix.cpp over
// POSIX; nothing outside src/platform includes a system header for these.
#pragma once

#include <cstddef>
#include <cstdint>

// Calling convention of the system's own entry points (stdcall on 32-bit Windows).
#if defined(_WIN32) && defined(__i386__)
#define KIV_SYSCALL __attribute__((stdcall))
#else
#define KIV_SYSCALL
#endif

namespace kiv::platform {

// A lock that the owning thread may take again (a critical section on Windows).
class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  void Lock();
  void Unlock();

 private:
  // Large enough and aligned for a CRITICAL_SECTION or a pthread_mutex_t on
  // every target; checked by static_assert in each implementation.
  alignas(8) unsigned char storage_[48];
};

// A plain, non-recursive mutex (an SRW lock on Windows).
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();

 private:
  alignas(8) unsigned char storage_[48];
};

// Scoped holder for either lock kind.
template <typename L>
class LockGuard {
 public:
  explicit LockGuard(L& lock) : lock_(lock) { lock_.Lock(); }
  ~LockGuard() { lock_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  L& lock_;
};

// Reserves and commits `bytes` of read-write memory aligned to the system page
// size; null when the system refuses. Released with ReleasePages(same size).
void* ReservePages(std::size_t bytes);
void ReleasePages(void* base, std::size_t bytes);

// Calendar time with milliseconds.
struct CalendarTime {
  int32_t year;
  int32_t month;  // 1..12
  int32_t day;    // 1..31
  int32_t hour;
  int32_t minute;
  int32_t second;
  int32_t millisecond;
};
CalendarTime UtcTime();
CalendarTime LocalTime();

// A monotonic high-resolution counter and its ticks per second.
int64_t PerformanceCounter();
int64_t PerformanceFrequency();

// Writes the full path of the running executable, zero-terminated and cut to
// `size`; returns the number of characters written (0 when unknown).
std::size_t ExecutablePath(char* buffer, std::size_t size);
// The character after which the executable path's file name begins.
char PathSeparator();

uint32_t CurrentThreadId();

// Text for an attached debugger; nothing where the system has no such channel.
void DebuggerOutput(const char* text);

// The usable size of a block obtained from the C runtime's malloc.
std::size_t RuntimeBlockSize(void* block);

// The system's event tracing entry points, looked up at run time. All null
// where the system offers none (POSIX) or the lookup fails.
using TraceEnableCallback = void(KIV_SYSCALL*)(const void* sourceId, unsigned long isEnabled, unsigned char level,
                                               uint64_t matchAny, uint64_t matchAll, const void* filter, void* context);
struct TraceApi {
  // EventRegister(provider guid, callback, context, out handle) -> status (0 = success)
  unsigned long(KIV_SYSCALL* registerProvider)(const void* guid, TraceEnableCallback callback, void* context,
                                               uint64_t* handle);
  // EventWrite(handle, descriptor, data item count, data items) -> status
  unsigned long(KIV_SYSCALL* write)(uint64_t handle, const void* descriptor, unsigned long count, void* items);
  // EventUnregister(handle) -> status
  unsigned long(KIV_SYSCALL* unregisterProvider)(uint64_t handle);
};
// Loads the system tracing library once; false (and an empty table) when absent.
bool LoadTraceApi(TraceApi* api);

}  // namespace kiv::platform
