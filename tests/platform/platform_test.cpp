// The platform layer: locks, pages, clocks and process facts on this system.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace kiv::platform {
namespace {

TEST(Platform, RecursiveLockReentersAndMutexExcludes) {
  RecursiveLock lock;
  lock.Lock();
  lock.Lock();
  lock.Unlock();
  lock.Unlock();

  Mutex mutex;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      LockGuard guard(mutex);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(Platform, PagesAreWritableAndReleased) {
  const std::size_t size = 64 * 1024;
  auto* base = static_cast<unsigned char*>(ReservePages(size));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 4096, 0u);
  std::memset(base, 0xAB, size);
  EXPECT_EQ(base[size - 1], 0xAB);
  ReleasePages(base, size);
}

TEST(Platform, ClocksAndProcessFacts) {
  const CalendarTime utc = UtcTime();
  EXPECT_GE(utc.year, 2024);
  EXPECT_GE(utc.month, 1);
  EXPECT_LE(utc.month, 12);
  EXPECT_LE(utc.millisecond, 999);
  const CalendarTime local = LocalTime();
  EXPECT_GE(local.day, 1);
  EXPECT_LE(local.day, 31);

  const int64_t t0 = PerformanceCounter();
  const int64_t t1 = PerformanceCounter();
  EXPECT_GE(t1, t0);
  EXPECT_GT(PerformanceFrequency(), 0);

  char path[1024];
  const std::size_t n = ExecutablePath(path, sizeof path);
  ASSERT_GT(n, 0u);
  const std::string s(path, n);
  EXPECT_NE(s.find("kiv_platform_tests"), std::string::npos) << s;
  EXPECT_NE(s.rfind(PathSeparator()), std::string::npos);
  char tiny[4];
  EXPECT_LE(ExecutablePath(tiny, sizeof tiny), 3u);
  EXPECT_EQ(tiny[3 < n ? 3 : n], '\0');

  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, CurrentThreadId());

  void* block = std::malloc(100);
  EXPECT_GE(RuntimeBlockSize(block), 100u);
  std::free(block);
  EXPECT_EQ(RuntimeBlockSize(nullptr), 0u);
  DebuggerOutput("platform test\n");
}

}  // namespace
}  // namespace kiv::platform
