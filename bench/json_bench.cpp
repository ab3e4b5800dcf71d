// JSON text into values: this library's reader against a full document parse
// of the tokenizer it builds on (default allocator) and against a popular
// DOM library, on the same generated texts in the same run: 20 MB of chat
// records, 20 MB of number rows, and one record (fixed costs per read). The
// counters vs_rapidjson / vs_nlohmann give this library's throughput as a
// ratio of the peer's (thread CPU time, so other load on the machine counts
// less). The second argument of this library's runs is the number of wholly
// free page regions the value arenas may keep for reuse: the shipped default,
// or 0 for contrast (every free region goes back to the system at once).
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <nlohmann/json.hpp>
#include <string>

#include "logging/memory.h"
#include "value/arena.h"
#include "readers/json_reader.h"
#include "reader_documents.h"

namespace {

using reader_bench::DocumentName;
using reader_bench::Measure;
using reader_bench::Ratio;

constexpr int64_t kDefaultRetained = kiv::binding::PageRegistry::kDefaultRetainedRegions;

const std::string& Text(int which) {
  // Made on first use: a filtered run generates only what it reads.
  static std::string texts[reader_bench::kDocumentCount];
  if (texts[which].empty()) texts[which] = reader_bench::ToJsonText(reader_bench::Document(which));
  return texts[which];
}

void BM_RapidJsonDocument(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = Text(which);
  Measure(state, std::string("rapidjson/") + DocumentName(which), text.size(), [&] {
    rapidjson::Document document;
    document.Parse(text.c_str());
    if (document.HasParseError()) state.SkipWithError("peer failed");
    benchmark::DoNotOptimize(document.IsArray());
  });
}

void BM_Nlohmann(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = Text(which);
  Measure(state, std::string("nlohmann/") + DocumentName(which), text.size(), [&] {
    nlohmann::json document = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(document.size());
  });
}

template <bool kCounted>
void BM_ReadJson(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto retain = static_cast<uint32_t>(state.range(1));
  const std::string& text = Text(which);
  if (retain != kDefaultRetained) kiv::binding::PageRegistry::Instance().SetRetainedRegionLimit(retain);
  const std::string key = std::string(kCounted ? "kiv-counted/" : "kiv/") + DocumentName(which) +
                          (retain == kDefaultRetained ? "" : "/retain0");
  Measure(state, key, text.size(), [&] {
    kiv::binding::ValueResult result =
        kCounted ? kiv::codecs::ReadJson(std::string_view(text)) : kiv::codecs::ReadJson(text.c_str());
    if (!result.Succeeded()) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(result.Kind());
  });
  kiv::binding::PageRegistry::Instance().SetRetention(kiv::binding::PageRegistry::kDefaultRetention);
  state.counters["vs_rapidjson"] = Ratio(key, std::string("rapidjson/") + DocumentName(which));
  state.counters["vs_nlohmann"] = Ratio(key, std::string("nlohmann/") + DocumentName(which));
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}

uint64_t CountNodes(const kiv::binding::Value& v) {
  uint64_t n = 1;
  if (v.IsStructure()) {
    for (const kiv::binding::ValueMember& m : v.Members()) n += CountNodes(m.value());
  } else if (v.IsCollection()) {
    for (const kiv::binding::Value& e : v.Elements()) n += CountNodes(e);
  }
  return n;
}

// Bytes a finished tree holds per node, beside the DOM's: this library's
// arena pages and the general-heap blocks taken while reading, against the
// DOM's pool (its chunks in use) on the same text.
void BM_TreeBytesPerNode(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = Text(which);
  double ours = 0, peer = 0, nodes = 0;
  for (auto _ : state) {
    auto& pages = kiv::binding::PageRegistry::Instance();
    const uint32_t pagesBefore = pages.ReadStats().pagesInUse;
    const kiv::mem::AllocationStats heapBefore = kiv::mem::ReadAllocationStats();
    kiv::binding::ValueResult result = kiv::codecs::ReadJson(text.c_str());
    const kiv::mem::AllocationStats heapAfter = kiv::mem::ReadAllocationStats();
    const double held = static_cast<double>(pages.ReadStats().pagesInUse - pagesBefore) *
                            static_cast<double>(kiv::binding::PageRegistry::kPageSize) +
                        static_cast<double>((heapAfter.bytesAllocated - heapBefore.bytesAllocated) -
                                            (heapAfter.bytesFreed - heapBefore.bytesFreed));
    nodes = static_cast<double>(CountNodes(result));
    ours = held / nodes;
    rapidjson::Document document;
    document.Parse(text.c_str());
    peer = static_cast<double>(document.GetAllocator().Size()) / nodes;
  }
  state.counters["nodes"] = nodes;
  state.counters["bytes_per_node"] = ours;
  state.counters["rapidjson_bytes_per_node"] = peer;
}

// Peers first, so that the ratios of this library's runs can be given.
BENCHMARK(BM_RapidJsonDocument)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Nlohmann)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_TEMPLATE(BM_ReadJson, false)
    ->ArgsProduct({{0, 1, 2, 3}, {kDefaultRetained, 0}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK_TEMPLATE(BM_ReadJson, true)
    ->ArgsProduct({{0, 1, 2, 3}, {kDefaultRetained, 0}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK(BM_TreeBytesPerNode)->DenseRange(0, 3)->Iterations(1);

}  // namespace
