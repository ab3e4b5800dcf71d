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

#include "value/arena.h"
#include "readers/json_reader.h"
#include "reader_documents.h"

namespace {

using reader_bench::DocumentName;
using reader_bench::Measure;
using reader_bench::Ratio;

constexpr int64_t kDefaultRetained = kiv::binding::PageRegistry::kDefaultRetainedRegions;

const std::string& Text(int which) {
  static const std::string texts[] = {reader_bench::ToJsonText(reader_bench::Document(0)),
                                      reader_bench::ToJsonText(reader_bench::Document(1)),
                                      reader_bench::ToJsonText(reader_bench::Document(2))};
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

// Peers first, so that the ratios of this library's runs can be given.
BENCHMARK(BM_RapidJsonDocument)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Nlohmann)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_TEMPLATE(BM_ReadJson, false)
    ->ArgsProduct({{0, 1, 2}, {kDefaultRetained, 0}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK_TEMPLATE(BM_ReadJson, true)
    ->ArgsProduct({{0, 1, 2}, {kDefaultRetained, 0}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

}  // namespace
