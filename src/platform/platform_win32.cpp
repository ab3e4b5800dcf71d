// Win32 implementation of the platform layer (the Windows DLL).
#include <malloc.h>
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace kiv::platform {

static_assert(sizeof(CRITICAL_SECTION) <= 48, "critical section storage too small");
static_assert(sizeof(SRWLOCK) <= 48, "SRW lock storage too small");

namespace {
CRITICAL_SECTION* AsSection(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }
SRWLOCK* AsSrw(unsigned char* storage) { return reinterpret_cast<SRWLOCK*>(storage); }

CalendarTime FromSystemTime(const SYSTEMTIME& st) {
  return CalendarTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}
}  // namespace

RecursiveLock::RecursiveLock() { InitializeCriticalSection(AsSection(storage_)); }
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(AsSection(storage_)); }
void RecursiveLock::Lock() { EnterCriticalSection(AsSection(storage_)); }
void RecursiveLock::Unlock() { LeaveCriticalSection(AsSection(storage_)); }

Mutex::Mutex() { InitializeSRWLock(AsSrw(storage_)); }
Mutex::~Mutex() = default;
void Mutex::Lock() { AcquireSRWLockExclusive(AsSrw(storage_)); }
void Mutex::Unlock() { ReleaseSRWLockExclusive(AsSrw(storage_)); }

void* ReservePages(std::size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void ReleasePages(void* base, std::size_t) {
  if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
}

CalendarTime UtcTime() {
  SYSTEMTIME st;
  GetSystemTime(&st);
  return FromSystemTime(st);
}

CalendarTime LocalTime() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return FromSystemTime(st);
}

int64_t PerformanceCounter() {
  LARGE_INTEGER value;
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

int64_t PerformanceFrequency() {
  LARGE_INTEGER value;
  QueryPerformanceFrequency(&value);
  return value.QuadPart;
}

std::size_t ExecutablePath(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  DWORD n = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
  if (n >= size) n = static_cast<DWORD>(size - 1);
  buffer[n] = '\0';
  return n;
}

char PathSeparator() { return '\\'; }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void DebuggerOutput(const char* text) {
  if (text != nullptr) OutputDebugStringA(text);
}

std::size_t RuntimeBlockSize(void* block) { return block == nullptr ? 0 : _msize(block); }

bool LoadTraceApi(TraceApi* api) {
  if (api == nullptr) return false;
  std::memset(api, 0, sizeof(*api));
  HMODULE advapi = LoadLibraryA("Advapi32.dll");
  if (advapi == nullptr) return false;
  api->registerProvider = reinterpret_cast<decltype(api->registerProvider)>(
      reinterpret_cast<void*>(GetProcAddress(advapi, "EventRegister")));
  api->write = reinterpret_cast<decltype(api->write)>(reinterpret_cast<void*>(GetProcAddress(advapi, "EventWrite")));
  api->unregisterProvider = reinterpret_cast<decltype(api->unregisterProvider)>(
      reinterpret_cast<void*>(GetProcAddress(advapi, "EventUnregister")));
  return true;
}

}  // namespace kiv::platform
