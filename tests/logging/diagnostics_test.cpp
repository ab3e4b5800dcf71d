// Diagnostic reports, the allocation front end's accounting and the trace
// providers' enable computation.
#include "logging/diagnostics.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "logging/event_tracing.h"
#include "logging/log.h"
#include "logging/memory.h"

namespace kiv {
namespace {

std::string BuildReport(const char* code, const char* file, int32_t line, const char* function, const char* description,
                        std::size_t size = 4096) {
  std::string buffer(size, '\0');
  const std::size_t n = diag::BuildReport(buffer.data(), size, code, file, line, function, description);
  buffer.resize(n);
  return buffer;
}

TEST(DiagnosticReport, SectionsAppearOnlyWhenGiven) {
  EXPECT_EQ(BuildReport("ALE-8A14EBBK", "", 0, "", ""), "Assertion failed!\n\nExpression: ALE-8A14EBBK");
  EXPECT_EQ(BuildReport("x", "a", -7, nullptr, nullptr), "Assertion failed!\n\nFile: a\nLine: -7\n\nExpression: x");
  EXPECT_EQ(BuildReport("ALE-EECF0606", "f.cpp", 12, "Load", "bad version"),
            "Assertion failed!\n\nFile: f.cpp\nLine: 12\n\nFunction: Load\n\nExpression: ALE-EECF0606\n\n"
            "Description: bad version");
  EXPECT_EQ(BuildReport("c", nullptr, INT_MIN, nullptr, nullptr),
            "Assertion failed!\n\nLine: -2147483648\n\nExpression: c");
  // Cut to the buffer, always terminated.
  const std::string cut = BuildReport("c", "file", 1, "fn", "desc", 10);
  EXPECT_EQ(cut, "Assertion");
}

TEST(DiagnosticReport, ReportIsLoggedAtErrorWithItsDescription) {
  log::Logging().acquire();
  testing::internal::CaptureStderr();
  diag::Report("ALE-TEST0001", "here.cpp", 3, "Fn", "value %d of %s", 42, "x");
  const std::string big(2000, 'd');
  diag::Report("ALE-TEST0002", nullptr, 0, nullptr, "%s", big.c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  log::Logging().release();
  EXPECT_NE(err.find("Expression: ALE-TEST0001\n\nDescription: value 42 of x"), std::string::npos) << err;
  // The description buffer holds 1023 characters.
  EXPECT_NE(err.find("Description: " + std::string(1023, 'd') + "\n"), std::string::npos);
  EXPECT_EQ(err.find(std::string(1024, 'd')), std::string::npos);
}

TEST(AllocationFrontEnd, CountsWhatTheRuntimeReports) {
  void* first = mem::Allocate(10);  // installs the counting hooks if nothing did yet
  const mem::AllocationStats before = mem::ReadAllocationStats();
  void* block = mem::Allocate(100);
  ASSERT_NE(block, nullptr);
  const std::size_t size = mem::BlockSize(block);
  EXPECT_GE(size, 100u);
  mem::AllocationStats after = mem::ReadAllocationStats();
  EXPECT_EQ(after.allocations - before.allocations, 1u);
  EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, size);
  EXPECT_GE(after.peakBytesInUse, after.bytesAllocated - after.bytesFreed);

  mem::Free(nullptr);
  EXPECT_EQ(mem::ReadAllocationStats().frees, after.frees) << "freeing null counts nothing";

  mem::Free(block);
  mem::AllocationStats freed = mem::ReadAllocationStats();
  EXPECT_EQ(freed.frees - after.frees, 1u);
  EXPECT_EQ(freed.bytesFreed - after.bytesFreed, size);
  EXPECT_EQ(freed.peakBytesInUse, after.peakBytesInUse) << "a free never moves the peak";

  void* grown = mem::Reallocate(nullptr, 64);  // one free of 0 bytes, one allocation
  mem::AllocationStats realloced = mem::ReadAllocationStats();
  EXPECT_EQ(realloced.frees - freed.frees, 1u);
  EXPECT_EQ(realloced.bytesFreed, freed.bytesFreed);
  EXPECT_EQ(realloced.allocations - freed.allocations, 1u);
  EXPECT_EQ(realloced.bytesAllocated - freed.bytesAllocated, mem::BlockSize(grown));

  char* copy = mem::Duplicate("chat");
  EXPECT_STREQ(copy, "chat");
  EXPECT_EQ(mem::ReadAllocationStats().allocations - realloced.allocations, 1u);
  mem::Free(copy);
  mem::Free(grown);
  mem::Free(first);
}

TEST(AllocationFrontEnd, PeakRecordsLiveAllocations) {
  const mem::AllocationStats base = mem::ReadAllocationStats();
  // Push in-use bytes well above any earlier peak so this test owns the peak.
  const std::size_t big = static_cast<std::size_t>(base.peakBytesInUse) + (1u << 20);
  void* a = mem::Allocate(big);
  void* b = mem::Allocate(16);
  const mem::AllocationStats peak = mem::ReadAllocationStats();
  EXPECT_EQ(peak.peakBytesInUse, peak.bytesAllocated - peak.bytesFreed);
  EXPECT_EQ(peak.liveAllocationsAtPeak, peak.allocations - peak.frees);
  mem::Free(b);
  mem::Free(a);
  EXPECT_EQ(mem::ReadAllocationStats().peakBytesInUse, peak.peakBytesInUse);
}

TEST(AllocationFrontEnd, ContainersGoThroughIt) {
  const uint64_t before = mem::ReadAllocationStats().allocations;
  {
    String text(100, 'x');
    Vector<int> numbers(50);
  }
  EXPECT_GE(mem::ReadAllocationStats().allocations - before, 2u);
}

TEST(EventTracing, EnableComputesEachEventsBit) {
  trace::ProviderState* p = trace::Providers();
  trace::ProviderState provider4 = p[3];
  trace::ApplyEnable(&provider4, 1, 0, 0x2, 0);
  EXPECT_TRUE(provider4.enabled);
  EXPECT_FALSE(provider4.eventEnabled[0]);
  EXPECT_TRUE(provider4.eventEnabled[1]);

  trace::ApplyEnable(&provider4, 1, 0, 0x3, 0x3);  // match-all needs both bits in the event
  EXPECT_FALSE(provider4.eventEnabled[0]);
  EXPECT_FALSE(provider4.eventEnabled[1]);

  trace::ProviderState provider3 = p[2];
  trace::ApplyEnable(&provider3, 1, 5, 0, 0);
  EXPECT_TRUE(provider3.eventEnabled[0]) << "an event without keywords is enabled by any session";

  trace::ProviderState provider1 = p[0];
  trace::ApplyEnable(&provider1, 1, 0, 0x1, 0);
  EXPECT_TRUE(provider1.eventEnabled[0]);
  trace::ApplyEnable(&provider1, 7, 0, 0, 0);  // unknown code: nothing changes
  EXPECT_TRUE(provider1.eventEnabled[0]);
  trace::ApplyEnable(&provider1, 0, 0, 0, 0);
  EXPECT_FALSE(provider1.enabled);
  EXPECT_FALSE(provider1.eventEnabled[0]);
  EXPECT_EQ(provider1.matchAny, 0u);
}

TEST(EventTracing, StartAndShutDownAreSafeWithoutTheSystemFacility) {
  trace::StartUp();
  trace::WriteThreadName(1, nullptr);
  trace::ShutDown();
  for (int i = 0; i < trace::kProviderCount; ++i) EXPECT_EQ(trace::Providers()[i].handle, 0u);
}

}  // namespace
}  // namespace kiv
