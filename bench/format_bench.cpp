// Cost of the positional formatter on a typical framework message, with the
// allocations it makes per message counted through the allocation front end.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "logging/format.h"
#include "logging/memory.h"

namespace {

constexpr const char* kTemplate = "Value %1 for '%2' of type %3 is out of range";

uint64_t Allocations() { return kiv::mem::ReadAllocationStats().allocations; }

// The front end resets its counters on its first allocation; make that happen
// before a measurement starts.
void WarmUp() { benchmark::DoNotOptimize(kiv::Format("%1 warms up the allocation front end", kTemplate)); }

void ReportAllocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs_per_iter"] =
      benchmark::Counter(static_cast<double>(Allocations() - before), benchmark::Counter::kAvgIterations);
}

void BM_FormatIntoStackBuffer(benchmark::State& state) {
  WarmUp();
  const kiv::fmt::Arg args[] = {kiv::fmt::Arg(int64_t{-1234567890123}), kiv::fmt::Arg("maxRetries"),
                                kiv::fmt::Arg("int32")};
  char buffer[kiv::fmt::kFormatBufferSize];
  const uint64_t before = Allocations();
  for (auto _ : state) {
    const std::size_t n = kiv::fmt::FormatInto(buffer, sizeof(buffer), kTemplate, args, 3);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_FormatIntoStackBuffer);

void BM_FormatResult(benchmark::State& state) {
  WarmUp();
  const int64_t value = -1234567890123;
  const uint64_t before = Allocations();
  for (auto _ : state) {
    kiv::String s = kiv::Format(kTemplate, value, "maxRetries", "int32");
    benchmark::DoNotOptimize(s.data());
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_FormatResult);

}  // namespace
