// Loading and unloading the chat plugin over and over must not leave memory
// behind. A program of its own: the end-to-end program keeps the plugin
// libraries loaded for its whole run, so nothing there is ever unloaded.
//
// Each cycle loads the library, runs the plugin through the reference host
// (start-up, requests, relayed events), destroys it and unloads the library.
// After a warm-up, the process's heap and resident memory must stay flat;
// under AddressSanitizer, whose own bookkeeping grows with every load, blocks
// left behind by a library that is gone show as unreachable instead.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host.h"
#include "testing/e2e_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIV_ADDRESS_SANITIZER 1
#define KIV_SANITIZER 1
#elif defined(__SANITIZE_THREAD__)
#define KIV_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_ADDRESS_SANITIZER 1
#define KIV_SANITIZER 1
#elif __has_feature(thread_sanitizer)
#define KIV_SANITIZER 1
#endif
#endif
#if defined(KIV_SANITIZER)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#if defined(KIV_ADDRESS_SANITIZER)
extern "C" int __lsan_do_recoverable_leak_check();
#endif

namespace kivhost {
namespace {

constexpr int kWarmUp = 50;
constexpr int kCycles = 1000;

uint64_t HeapInUse() {
#if defined(KIV_SANITIZER)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

uint64_t ResidentBytes() {
  long size = 0;
  long resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) resident = 0;
  std::fclose(statm);
  return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Under a user-mode emulator (how 32-bit programs run on some CI kernels),
// the resident size also counts the emulator's translations of the code,
// which grow with every fresh load of it; the emulator reports its target's
// machine, where a 32-bit program on a 64-bit kernel sees the kernel's.
[[maybe_unused]] bool ResidentSizeIsOurOwn() {
  if (sizeof(void*) == 8) return true;
  struct utsname system;
  return uname(&system) == 0 && std::strcmp(system.machine, "x86_64") == 0;
}

void Cycle() {
  HostOptions options;
  options.logStream = nullptr;
  options.probeHandshake = false;
  options.recordLimit = 64;
  Host host(options);
  const Host::LoadResult loaded = host.Load(KIV_CHAT_PLUGIN);
  ASSERT_TRUE(loaded.ok) << loaded.error;
  ASSERT_TRUE(host.Initialize());
  host.Dispatch(e2e::Request("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Ann&message=hi"));
  host.Dispatch(e2e::Request("GET", "/kiv-game-client-chat/v1/buddies"));
  host.PublishResource("/kiv-chat/v1/friends/45", "Create", json{{"name", "Dee"}});
  host.PublishResource("/kiv-chat/v1/conversations/42/messages/9", "Create",
                       json{{"type", "chat"}, {"fromId", 42}, {"body", "hello"}, {"timestamp", "9999"}});
  host.WaitIdle();
  host.Shutdown();
  // The host has unloaded the library: nothing of it may still be mapped.
  void* still = dlopen(KIV_CHAT_PLUGIN, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr) << "the plugin library stays loaded after the host unloaded it";
  if (still != nullptr) dlclose(still);
}

TEST(UnloadTest, LoadingAndUnloadingAThousandTimesLeavesNothingBehind) {
  for (int i = 0; i < kWarmUp && !HasFatalFailure(); ++i) Cycle();
  const uint64_t heapBefore = HeapInUse();
  const uint64_t residentBefore = ResidentBytes();
  for (int i = 0; i < kCycles && !HasFatalFailure(); ++i) Cycle();
  const int64_t heapGrowth = static_cast<int64_t>(HeapInUse()) - static_cast<int64_t>(heapBefore);
  const int64_t residentGrowth = static_cast<int64_t>(ResidentBytes()) - static_cast<int64_t>(residentBefore);
  RecordProperty("heapGrowth", std::to_string(heapGrowth));
  RecordProperty("residentGrowth", std::to_string(residentGrowth));
#if defined(KIV_ADDRESS_SANITIZER)
  // The sanitizer keeps records of its own for each load (its exit handlers,
  // the shadow of each new mapping), so the heap and resident size grow here
  // regardless; what the plugin left behind shows as unreachable blocks.
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#else
  // A leak of one small block per cycle would already pass 64 KiB.
  EXPECT_LT(heapGrowth, 64 * 1024) << "heap in use grew by " << heapGrowth << " bytes over " << kCycles << " cycles";
#if !defined(KIV_SANITIZER)
  if (ResidentSizeIsOurOwn()) {
    EXPECT_LT(residentGrowth, 4 * 1024 * 1024)
        << "resident memory grew by " << residentGrowth << " bytes over " << kCycles << " cycles";
  }
#endif
#endif
}

}  // namespace
}  // namespace kivhost
