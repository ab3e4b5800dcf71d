// Diagnostic reports, the allocation front end's accounting and the trace
// providers' enable computation.
#include "logging/diagnostics.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "logging/event_tracing.h"
#include "logging/log.h"
#include "logging/memory.h"

namespace kiv {
namespace {

std::string BuildReport(const char* code, const char* file, int32_t line, const char* function, const char* description,
                        std::size_t size = 4096) {
  std::string buffer(size, '\0');
  buffer.resize(diag::BuildReport(buffer.data(), size, code, file, line, function, description));
  return buffer;
}

TEST(DiagnosticReport, SectionsAppearOnlyWhenGivenAndTheTextIsCut) {
  EXPECT_EQ(BuildReport("ALE-8A14EBBK", "", 0, "", ""), "Assertion failed!\n\nExpression: ALE-8A14EBBK");
  EXPECT_EQ(BuildReport("ALE-EECF0606", "f.cpp", 12, "Load", "bad version"),
            "Assertion failed!\n\nFile: f.cpp\nLine: 12\n\nFunction: Load\n\nExpression: ALE-EECF0606\n\n"
            "Description: bad version");
  EXPECT_EQ(BuildReport("c", "file", 1, "fn", "desc", 10), "Assertion");
}

TEST(AllocationFrontEnd, CountsWhatTheRuntimeReports) {
  mem::Free(mem::Allocate(10));  // installs the counting hooks if nothing did yet
  const mem::AllocationStats before = mem::ReadAllocationStats();
  // Push in-use bytes well above any earlier peak so this test owns the peak.
  void* block = mem::Allocate(static_cast<std::size_t>(before.peakBytesInUse) + (1u << 20));
  const std::size_t size = mem::BlockSize(block);
  const mem::AllocationStats after = mem::ReadAllocationStats();
  EXPECT_EQ(after.allocations - before.allocations, 1u);
  EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, size);
  EXPECT_EQ(after.peakBytesInUse, after.bytesAllocated - after.bytesFreed);
  EXPECT_EQ(after.liveAllocationsAtPeak, after.allocations - after.frees);

  mem::Free(nullptr);
  EXPECT_EQ(mem::ReadAllocationStats().frees, after.frees) << "freeing null counts nothing";
  mem::Free(block);
  const mem::AllocationStats freed = mem::ReadAllocationStats();
  EXPECT_EQ(freed.frees - after.frees, 1u);
  EXPECT_EQ(freed.bytesFreed - after.bytesFreed, size);
  EXPECT_EQ(freed.peakBytesInUse, after.peakBytesInUse) << "a free never moves the peak";

  void* grown = mem::Reallocate(nullptr, 64);  // one free of 0 bytes, one allocation
  const mem::AllocationStats realloced = mem::ReadAllocationStats();
  EXPECT_EQ(realloced.frees - freed.frees, 1u);
  EXPECT_EQ(realloced.bytesFreed, freed.bytesFreed);
  EXPECT_EQ(realloced.bytesAllocated - freed.bytesAllocated, mem::BlockSize(grown));
  char* copy = mem::Duplicate("chat");
  EXPECT_STREQ(copy, "chat");
  {
    String text(100, 'x');  // the containers allocate through it too
  }
  EXPECT_EQ(mem::ReadAllocationStats().allocations - realloced.allocations, 2u);
  mem::Free(copy);
  mem::Free(grown);

  // A freed block of a few KiB is kept for the next request of about its
  // size, counted as if it went back and came again; the failure hook still
  // fails a request that block could serve.
  void* first = mem::Allocate(5000);
  const std::size_t firstSize = mem::BlockSize(first);
  const mem::AllocationStats held = mem::ReadAllocationStats();
  mem::Free(first);
  const mem::AllocationStats kept = mem::ReadAllocationStats();
  EXPECT_EQ(kept.frees - held.frees, 1u);
  EXPECT_EQ(kept.bytesFreed - held.bytesFreed, firstSize);
  mem::FailAllocation(1);
  EXPECT_EQ(mem::Allocate(4800), nullptr);
  mem::FailAllocation(0);
  EXPECT_EQ(mem::ReadAllocationStats().allocations, kept.allocations);
  void* again = mem::Allocate(4800);
  EXPECT_EQ(again, first);
  EXPECT_EQ(mem::ReadAllocationStats().allocations - kept.allocations, 1u);
  EXPECT_EQ(mem::ReadAllocationStats().bytesAllocated - kept.bytesAllocated, firstSize);
  void* larger = mem::Allocate(firstSize * 2);
  EXPECT_NE(larger, first) << "only a block close to the size asked for is handed out";
  mem::Free(larger);
  mem::Free(again);
}

TEST(EventTracing, EnableComputesEachEventsBit) {
  trace::ProviderState* p = trace::Providers();
  trace::ProviderState provider4 = p[3];
  trace::ApplyEnable(&provider4, 1, 0, 0x2, 0);
  EXPECT_TRUE(provider4.enabled);
  EXPECT_FALSE(provider4.eventEnabled[0]);
  EXPECT_TRUE(provider4.eventEnabled[1]);
  trace::ApplyEnable(&provider4, 1, 0, 0x3, 0x3);  // match-all needs both bits in the event
  EXPECT_FALSE(provider4.eventEnabled[0] || provider4.eventEnabled[1]);

  trace::ProviderState provider3 = p[2];
  trace::ApplyEnable(&provider3, 1, 5, 0, 0);
  EXPECT_TRUE(provider3.eventEnabled[0]) << "an event without keywords is enabled by any session";

  trace::ProviderState provider1 = p[0];
  trace::ApplyEnable(&provider1, 1, 0, 0x1, 0);
  trace::ApplyEnable(&provider1, 7, 0, 0, 0);  // unknown code: nothing changes
  EXPECT_TRUE(provider1.eventEnabled[0]);
  trace::ApplyEnable(&provider1, 0, 0, 0, 0);
  EXPECT_FALSE(provider1.enabled || provider1.eventEnabled[0]);
  EXPECT_EQ(provider1.matchAny, 0u);
}

}  // namespace
}  // namespace kiv
