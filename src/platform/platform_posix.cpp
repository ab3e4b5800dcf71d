// POSIX implementation of the platform layer (Linux builds).
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/platform.h"

namespace kiv::platform {

static_assert(sizeof(pthread_mutex_t) <= 48, "mutex storage too small");

namespace {
pthread_mutex_t* AsMutex(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }

CalendarTime FromTimespec(const timespec& ts, bool local) {
  tm parts{};
  time_t seconds = ts.tv_sec;
  if (local) {
    localtime_r(&seconds, &parts);
  } else {
    gmtime_r(&seconds, &parts);
  }
  return CalendarTime{parts.tm_year + 1900,
                      parts.tm_mon + 1,
                      parts.tm_mday,
                      parts.tm_hour,
                      parts.tm_min,
                      parts.tm_sec,
                      static_cast<int32_t>(ts.tv_nsec / 1000000)};
}
}  // namespace

RecursiveLock::RecursiveLock() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(AsMutex(storage_), &attr);
  pthread_mutexattr_destroy(&attr);
}
RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(AsMutex(storage_)); }
void RecursiveLock::Lock() { pthread_mutex_lock(AsMutex(storage_)); }
void RecursiveLock::Unlock() { pthread_mutex_unlock(AsMutex(storage_)); }

Mutex::Mutex() { pthread_mutex_init(AsMutex(storage_), nullptr); }
Mutex::~Mutex() { pthread_mutex_destroy(AsMutex(storage_)); }
void Mutex::Lock() { pthread_mutex_lock(AsMutex(storage_)); }
void Mutex::Unlock() { pthread_mutex_unlock(AsMutex(storage_)); }

void* ReservePages(std::size_t bytes) {
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

void ReleasePages(void* base, std::size_t bytes) {
  if (base != nullptr) munmap(base, bytes);
}

CalendarTime UtcTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts, false);
}

CalendarTime LocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts, true);
}

int64_t PerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t PerformanceFrequency() { return 1000000000; }

std::size_t ExecutablePath(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  return static_cast<std::size_t>(n);
}

char PathSeparator() { return '/'; }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void DebuggerOutput(const char*) {}

std::size_t RuntimeBlockSize(void* block) { return block == nullptr ? 0 : malloc_usable_size(block); }

bool LoadTraceApi(TraceApi* api) {
  if (api != nullptr) std::memset(api, 0, sizeof(*api));
  return false;
}

}  // namespace kiv::platform
