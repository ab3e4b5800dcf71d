// The cost of a log call: dropped by the global filter, and delivered to an
// attached target that discards the line.
#include <benchmark/benchmark.h>

#include "logging/log.h"
#include "logging/log_target.h"
#include "logging/memory.h"

namespace {

using kiv::log::Log;
using kiv::log::Logging;

void BM_LogDroppedByLevel(benchmark::State& state) {
  Logging().acquire();
  const uint64_t before = kiv::mem::ReadAllocationStats().allocations;
  for (auto _ : state) Log(kiv::log::kOkay, 1, 0, "dropped %d %s", 42, "text");
  state.counters["allocs_per_call"] = static_cast<double>(kiv::mem::ReadAllocationStats().allocations - before) /
                                      static_cast<double>(state.iterations());
  Logging().release();
}
BENCHMARK(BM_LogDroppedByLevel);

void BM_LogDroppedByMutedGroup(benchmark::State& state) {
  Logging().acquire();
  for (auto _ : state) Log(kiv::log::kError, 4, 0, "muted %d", 42);
  Logging().release();
}
BENCHMARK(BM_LogDroppedByMutedGroup);

void BM_LogToDiscardingTarget(benchmark::State& state) {
  Logging().acquire();
  // Only the discarding target stays attached, so the line is formatted,
  // stamped and handed over, and nothing is written.
  for (auto* t : {Logging().stdErrTarget(), Logging().debuggerTarget()}) t->detach(t);
  kiv::log::LogTarget discarding;
  discarding.Table()->attach(discarding.Table());
  const uint64_t before = kiv::mem::ReadAllocationStats().allocations;
  for (auto _ : state) Log(kiv::log::kError, 128, 0, "delivered %d %s", 42, "text");
  state.counters["allocs_per_call"] = static_cast<double>(kiv::mem::ReadAllocationStats().allocations - before) /
                                      static_cast<double>(state.iterations());
  discarding.Table()->detach(discarding.Table());
  Logging().release();
}
BENCHMARK(BM_LogToDiscardingTarget);

}  // namespace
