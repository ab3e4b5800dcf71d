// YAML text into values: this library's reader against the bare event loop of
// the YAML library it builds on (every event parsed and deleted, nothing
// built: a floor for any reader over it) and against a C++ YAML library's
// document loader, on the same generated texts in the same run: the 20 MB of
// chat records, the 20 MB of number rows and the one record of the other
// reader benchmarks, written as YAML. The counters vs_libyaml / vs_yamlcpp
// give this library's throughput as a ratio of the peer's (thread CPU time);
// the time ratio is its inverse. The second argument of this library's runs
// is 1 for the page registry as shipped (free regions kept for reuse up to
// its default limit) and 0 for a registry that keeps none, to show what
// returning every region to the system at once costs.
#include <benchmark/benchmark.h>
#include <yaml-cpp/yaml.h>
#include <yaml.h>

#include <string>

#include "reader_documents.h"
#include "readers/yaml_reader.h"
#include "value/arena.h"
#include "yaml_documents.h"

namespace {

using reader_bench::DocumentName;
using reader_bench::Measure;
using reader_bench::Ratio;
using yaml_bench::Text;

void BM_LibYamlEvents(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = Text(which);
  Measure(state, std::string("libyaml/") + DocumentName(which), text.size(),
          [&] { yaml_bench::CheckedEventLoop(state, text); });
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}

void BM_YamlCppLoad(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = Text(which);
  Measure(state, std::string("yaml-cpp/") + DocumentName(which), text.size(), [&] {
    YAML::Node node = YAML::Load(text);
    benchmark::DoNotOptimize(node.size());
  });
}

void BM_ReadYaml(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const bool shipped = state.range(1) != 0;
  const std::string& text = Text(which);
  auto& registry = kiv::binding::PageRegistry::Instance();
  if (shipped) {
    registry.SetRetention(kiv::binding::PageRegistry::kDefaultRetention);
  } else {
    registry.SetRetainedRegionLimit(0);
  }
  const std::string key = std::string("kiv/") + DocumentName(which) + (shipped ? "" : "/no-retain");
  Measure(state, key, text.size(), [&] {
    kiv::binding::ValueResult result = kiv::codecs::ReadYaml(text);
    if (!result.Succeeded()) state.SkipWithError(std::string(result.ErrorMessage()).c_str());
    benchmark::DoNotOptimize(result.Kind());
  });
  registry.SetRetention(kiv::binding::PageRegistry::kDefaultRetention);
  state.counters["vs_libyaml"] = Ratio(key, std::string("libyaml/") + DocumentName(which));
  state.counters["vs_yamlcpp"] = Ratio(key, std::string("yaml-cpp/") + DocumentName(which));
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}

// Peers first, so that the ratios of this library's runs can be given.
BENCHMARK(BM_LibYamlEvents)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_YamlCppLoad)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ReadYaml)->ArgsProduct({{0, 1, 2, 3}, {1, 0}})->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
