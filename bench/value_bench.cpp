// Value trees against a general-purpose JSON DOM: building and dropping a tree
// of about one million nodes shaped like chat records, and deep copies of it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "value/value.h"
#include "logging/memory.h"

namespace {

using kiv::binding::Value;

// One record: the record itself, 8 members and 3 elements of "participants".
constexpr int kNodesPerRecord = 12;
constexpr int kRecords = 1000000 / kNodesPerRecord;
constexpr int64_t kNodes = int64_t{kRecords} * kNodesPerRecord + 1;

const char* const kNames[] = {"Ann", "Bo", "Cyrus", "Dee", "Eli", "Fay", "Gus", "Hal",
                              "Ivy", "Jo", "Kai",   "Lou", "Mia", "Ned", "Oda", "Pia"};

struct RecordText {
  char body[48];
  char timestamp[32];
};

void MakeText(int i, RecordText* t) {
  std::snprintf(t->body, sizeof t->body, "message number %d", i);
  std::snprintf(t->timestamp, sizeof t->timestamp, "2024-05-01T12:%02d:%02d.%03dZ", (i / 60000) % 60, (i / 1000) % 60,
                i % 1000);
}

void BuildValue(Value& root) {
  RecordText t;
  for (int i = 0; i < kRecords; ++i) {
    MakeText(i, &t);
    Value& r = root.Append();
    r.Member("id").SetUnsigned(static_cast<uint64_t>(i));
    r.Member("type").SetString("chat");
    r.Member("fromId").SetUnsigned(static_cast<uint64_t>(i * 7919 % 5000));
    r.Member("fromSummonerName").SetString(kNames[i % 16]);
    r.Member("body").SetString(t.body);
    r.Member("timestamp").SetString(t.timestamp);
    r.Member("isMuted").SetBool(i % 3 == 0);
    Value& participants = r.Member("participants");
    for (int p = 0; p < 3; ++p) participants.Append().SetUnsigned(static_cast<uint64_t>(i + p));
  }
}

void BuildJson(nlohmann::json& root) {
  RecordText t;
  root = nlohmann::json::array();
  for (int i = 0; i < kRecords; ++i) {
    MakeText(i, &t);
    nlohmann::json& r = root.emplace_back(nlohmann::json::object());
    r["id"] = static_cast<uint64_t>(i);
    r["type"] = "chat";
    r["fromId"] = static_cast<uint64_t>(i * 7919 % 5000);
    r["fromSummonerName"] = kNames[i % 16];
    r["body"] = t.body;
    r["timestamp"] = t.timestamp;
    r["isMuted"] = i % 3 == 0;
    nlohmann::json& participants = r["participants"];
    for (int p = 0; p < 3; ++p) participants.push_back(static_cast<uint64_t>(i + p));
  }
}

uint64_t HeapAllocations() { return kiv::mem::ReadAllocationStats().allocations; }

void Report(benchmark::State& state, uint64_t allocations) {
  state.SetItemsProcessed(state.iterations() * kNodes);
  state.counters["nodes"] = static_cast<double>(kNodes);
  state.counters["heapAllocsPerNode"] =
      static_cast<double>(allocations) / static_cast<double>(kNodes) / static_cast<double>(state.iterations());
}

// Argument 0: the shipped default, which keeps a bounded number of wholly
// free 64 KiB regions for reuse. Argument 1, for contrast: every free region
// goes back to the system at once, so each round faults its pages in again.
void SetRegionPolicy(benchmark::State& state) {
  if (state.range(0) == 0) {
    kiv::binding::PageRegistry::Instance().SetRetention(kiv::binding::PageRegistry::kDefaultRetention);
  } else {
    kiv::binding::PageRegistry::Instance().SetRetainedRegionLimit(0);
  }
}

void RestoreRegionPolicy() {
  kiv::binding::PageRegistry::Instance().SetRetention(kiv::binding::PageRegistry::kDefaultRetention);
}

void BM_ValueBuildDestroy(benchmark::State& state) {
  SetRegionPolicy(state);
  kiv::mem::Free(kiv::mem::Allocate(1));  // counting hooks in place before measuring
  uint64_t allocations = 0;
  for (auto _ : state) {
    const uint64_t before = HeapAllocations();
    {
      Value root;
      BuildValue(root);
      benchmark::DoNotOptimize(root.Size());
    }
    allocations += HeapAllocations() - before;
  }
  Report(state, allocations);
  RestoreRegionPolicy();
}

void BM_JsonBuildDestroy(benchmark::State& state) {
  for (auto _ : state) {
    nlohmann::json root;
    BuildJson(root);
    benchmark::DoNotOptimize(root.size());
  }
  state.SetItemsProcessed(state.iterations() * kNodes);
}

void BM_ValueDeepCopy(benchmark::State& state) {
  SetRegionPolicy(state);
  Value source;
  BuildValue(source);
  uint64_t allocations = 0;
  for (auto _ : state) {
    const uint64_t before = HeapAllocations();
    auto* copy = new Value(source);
    benchmark::DoNotOptimize(copy->Size());
    allocations += HeapAllocations() - before;
    state.PauseTiming();
    delete copy;
    state.ResumeTiming();
  }
  Report(state, allocations);
  RestoreRegionPolicy();
}

void BM_JsonDeepCopy(benchmark::State& state) {
  nlohmann::json source;
  BuildJson(source);
  for (auto _ : state) {
    auto* copy = new nlohmann::json(source);
    benchmark::DoNotOptimize(copy->size());
    state.PauseTiming();
    delete copy;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kNodes);
}

BENCHMARK(BM_ValueBuildDestroy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonBuildDestroy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValueDeepCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonDeepCopy)->Unit(benchmark::kMillisecond);

}  // namespace
