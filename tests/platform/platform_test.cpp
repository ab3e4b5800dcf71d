// The platform layer on this system: what the rest of the library relies on.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace kiv::platform {
namespace {

TEST(Platform, LocksExcludeAndTheRecursiveOneReenters) {
  RecursiveLock recursive;
  Mutex mutex;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      LockGuard outer(recursive);
      LockGuard inner(recursive);  // would hang if the lock did not reenter
      LockGuard guard(mutex);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(Platform, PagesClocksAndProcessFacts) {
  const std::size_t size = 64 * 1024;
  auto* base = static_cast<unsigned char*>(ReservePages(size));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 4096, 0u);
  std::memset(base, 0xAB, size);
  ReleasePages(base, size);

  const CalendarTime utc = UtcTime();
  EXPECT_GE(utc.year, 2024);
  EXPECT_TRUE(utc.month >= 1 && utc.month <= 12 && utc.millisecond <= 999) << utc.month << " " << utc.millisecond;
  const int64_t t0 = PerformanceCounter();
  EXPECT_GE(PerformanceCounter(), t0);

  char path[1024];
  const std::size_t n = ExecutablePath(path, sizeof path);
  const std::string s(path, n);
  EXPECT_NE(s.find("kiv_platform_tests"), std::string::npos) << s;
  EXPECT_NE(s.rfind(PathSeparator()), std::string::npos);
  char tiny[4];
  EXPECT_LE(ExecutablePath(tiny, sizeof tiny), 3u);  // cut and still terminated
  EXPECT_EQ(tiny[3 < n ? 3 : n], '\0');

  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, CurrentThreadId());
  void* block = std::malloc(100);
  EXPECT_GE(RuntimeBlockSize(block), 100u);
  std::free(block);
  EXPECT_EQ(RuntimeBlockSize(nullptr), 0u);
}

}  // namespace
}  // namespace kiv::platform
