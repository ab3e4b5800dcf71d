// MessagePack bytes into values: this library's decoder against the unpacking
// of a common C++ MessagePack library into its zone-allocated object, on the
// same generated inputs in the same run: 20 MB of chat records as JSON text
// (less as MessagePack), as many number rows, and one record (fixed costs per
// read). The counter vs_msgpack_cxx gives this library's throughput as a
// ratio of the peer's (thread CPU time). The second argument of this
// library's runs is the number of wholly free page regions the value arenas
// may keep for reuse: the shipped default, or 0 for contrast.
#include <benchmark/benchmark.h>

#define MSGPACK_NO_BOOST 1
#include <msgpack.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "value/arena.h"
#include "readers/msgpack_reader.h"
#include "reader_documents.h"

namespace {

using reader_bench::DocumentName;
using reader_bench::Measure;
using reader_bench::Ratio;

constexpr int64_t kDefaultRetained = kiv::binding::PageRegistry::kDefaultRetainedRegions;

const std::vector<uint8_t>& Bytes(int which) {
  // Made on first use: a filtered run generates only what it reads.
  static std::vector<uint8_t> bytes[reader_bench::kDocumentCount];
  if (bytes[which].empty()) bytes[which] = nlohmann::json::to_msgpack(reader_bench::Document(which));
  return bytes[which];
}

void BM_MsgpackCxxUnpack(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& bytes = Bytes(which);
  Measure(state, std::string("msgpack-cxx/") + DocumentName(which), bytes.size(), [&] {
    msgpack::object_handle handle = msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    benchmark::DoNotOptimize(handle.get().type);
  });
}

void BM_ReadMessagePack(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto retain = static_cast<uint32_t>(state.range(1));
  const std::vector<uint8_t>& bytes = Bytes(which);
  if (retain != kDefaultRetained) kiv::binding::PageRegistry::Instance().SetRetainedRegionLimit(retain);
  const std::string key = std::string("kiv/") + DocumentName(which) + (retain == kDefaultRetained ? "" : "/retain0");
  Measure(state, key, bytes.size(), [&] {
    std::size_t consumed = 0;
    kiv::binding::ValueResult result = kiv::codecs::ReadMessagePack(bytes, &consumed);
    if (!result.Succeeded() || consumed != bytes.size()) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(result.Kind());
  });
  kiv::binding::PageRegistry::Instance().SetRetention(kiv::binding::PageRegistry::kDefaultRetention);
  state.counters["vs_msgpack_cxx"] = Ratio(key, std::string("msgpack-cxx/") + DocumentName(which));
  state.counters["MB"] = static_cast<double>(bytes.size()) / 1e6;
}

// The peer first, so that the ratios of this library's runs can be given.
BENCHMARK(BM_MsgpackCxxUnpack)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ReadMessagePack)
    ->ArgsProduct({{0, 1, 2, 3}, {kDefaultRetained, 0}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

}  // namespace
