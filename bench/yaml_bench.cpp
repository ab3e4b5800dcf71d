// YAML text to a dynamic value, against the two peers on the same bytes: the
// YAML library's bare event loop (every event parsed and deleted, nothing
// built), which bounds any builder from below, and a C++ YAML library's
// document loader. The document is generated: about 20 MB of chat-like
// records (ids, numbers, timestamps, texts with escapes and non-ASCII
// characters, nested tags) and number-heavy sequences. Argument 0 reads the
// whole document, 1 only its records, 2 only its numbers.
#include <benchmark/benchmark.h>
#include <yaml-cpp/yaml.h>
#include <yaml.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/yaml_reader.h"

namespace {

struct Random {
  uint64_t state = 0x9E3779B97F4A7C15u;
  uint32_t Next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

const char* const kWords[] = {"hello",
                              "gg",
                              "wp",
                              "anyone",
                              "queue",
                              "ranked",
                              "tonight",
                              "\u00e9quipe",
                              "\u00fcber",
                              "\u043f\u0440\u0438\u0432\u0435\u0442",
                              "\u30b2\u30fc\u30e0",
                              "ok",
                              "\U0001F600",
                              "let's",
                              "go",
                              "mid"};
const char* const kNames[] = {"Ann", "B\u00f6rk",    "Chlo\u00eb",    "Dmitri \u0418\u0432\u0430\u043d\u043e\u0432",
                              "Eve", "\u5f20\u4f1f", "Gr\u00e9goire", "Hana"};
const char* const kTags[] = {"party", "ranked", "friend", "muted", "system", "lobby"};

void AppendText(std::string& out, Random& random) {
  out += '"';
  const uint32_t words = 3 + random.Below(14);
  for (uint32_t i = 0; i < words; ++i) {
    if (i != 0) out += ' ';
    out += kWords[random.Below(16)];
    switch (random.Below(12)) {
      case 0:
        out += "\\\"quoted\\\"";
        break;
      case 1:
        out += "\\n";
        break;
      case 2:
        out += "\\t";
        break;
      case 3:
        out += "\\\\path";
        break;
      case 4:
        out += "\\u00e9";
        break;
      default:
        break;
    }
  }
  out += '"';
}

void AppendRecord(std::string& out, Random& random, uint32_t n) {
  char line[256];
  std::snprintf(line, sizeof line, "  - id: %u\n    conversationId: \"%08x-%04x@champ-select.pvp.net\"\n", 1000000 + n,
                random.Next(), random.Below(65536));
  out += line;
  std::snprintf(line, sizeof line, "    fromSummonerId: %u%05u\n    fromName: \"%s\"\n", 2000 + random.Below(8000),
                random.Below(100000), kNames[random.Below(8)]);
  out += line;
  std::snprintf(line, sizeof line, "    timestamp: 2024-%02u-%02uT%02u:%02u:%02u.%03uZ\n", 1 + random.Below(12),
                1 + random.Below(28), random.Below(24), random.Below(60), random.Below(60), random.Below(1000));
  out += line;
  out += "    body: ";
  AppendText(out, random);
  out += '\n';
  std::snprintf(line, sizeof line, "    type: %s\n    read: %s\n    score: %u.%02u\n",
                random.Below(4) == 0 ? "system" : "chat", random.Below(2) ? "true" : "false", random.Below(100),
                random.Below(100));
  out += line;
  out += "    tags: [";
  const uint32_t tags = random.Below(4);
  for (uint32_t i = 0; i < tags; ++i) {
    if (i != 0) out += ", ";
    out += kTags[random.Below(6)];
  }
  out += "]\n";
  if (random.Below(3) == 0) {
    std::snprintf(line, sizeof line,
                  "    meta:\n      client: {version: %u.%u.%u, platform: win32}\n      flags: [%u, %u]\n",
                  random.Below(20), random.Below(30), random.Below(500), random.Below(8), random.Below(8));
    out += line;
  }
}

void AppendNumbers(std::string& out, Random& random) {
  out += "  - [";
  char number[48];
  for (uint32_t i = 0; i < 24; ++i) {
    if (i != 0) out += ", ";
    switch (random.Below(4)) {
      case 0:
        std::snprintf(number, sizeof number, "%u", random.Next());
        break;
      case 1:
        std::snprintf(number, sizeof number, "-%u", random.Below(100000));
        break;
      case 2:
        std::snprintf(number, sizeof number, "%u.%04u", random.Below(10000), random.Below(10000));
        break;
      default:
        std::snprintf(number, sizeof number, "%.6e", static_cast<double>(random.Next()) * 1e-3);
        break;
    }
    out += number;
  }
  out += "]\n";
}

// 0: the whole document; 1: records only; 2: numbers only.
const std::string& Document(int64_t part) {
  static std::string documents[3];
  std::string& doc = documents[part];
  if (!doc.empty()) return doc;
  constexpr std::size_t kTarget = 20u << 20;
  Random random;
  const std::size_t recordBytes = part == 0 ? kTarget * 7 / 10 : part == 1 ? kTarget : 0;
  const std::size_t numberBytes = part == 0 ? kTarget - recordBytes : part == 2 ? kTarget : 0;
  doc.reserve(kTarget + 4096);
  doc += "---\nchannel: \"lobby-\u00e9t\u00e9\"\nmessages:\n";
  for (uint32_t n = 0; doc.size() < recordBytes; ++n) AppendRecord(doc, random, n);
  doc += "series:\n";
  const std::size_t end = doc.size() + numberBytes;
  while (doc.size() < end) AppendNumbers(doc, random);
  if (part == 1) doc += "  - []\n";
  return doc;
}

// The machine is shared: with repetitions, the fastest run is the one least
// disturbed by others.
double Fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

void Finish(benchmark::State& state, const std::string& doc) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
  state.counters["MB"] = static_cast<double>(doc.size()) / 1e6;
}

void BM_LibYamlEventLoop(benchmark::State& state) {
  const std::string& doc = Document(state.range(0));
  for (auto _ : state) {
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(doc.data()), doc.size());
    std::size_t events = 0;
    for (;;) {
      yaml_event_t event;
      if (yaml_parser_parse(&parser, &event) == 0) {
        state.SkipWithError("the generated document does not parse");
        break;
      }
      const bool end = event.type == YAML_STREAM_END_EVENT;
      yaml_event_delete(&event);
      ++events;
      if (end) break;
    }
    yaml_parser_delete(&parser);
    benchmark::DoNotOptimize(events);
  }
  Finish(state, doc);
}
BENCHMARK(BM_LibYamlEventLoop)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);

void BM_ReadYaml(benchmark::State& state) {
  const std::string& doc = Document(state.range(0));
  for (auto _ : state) {
    kiv::binding::ValueResult result = kiv::codecs::ReadYaml(doc);
    if (!result.Succeeded()) {
      state.SkipWithError(std::string(result.ErrorMessage()).c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  Finish(state, doc);
}
BENCHMARK(BM_ReadYaml)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

// The same read with the drop of the finished tree left out of the timing.
void BM_ReadYamlBuildOnly(benchmark::State& state) {
  const std::string& doc = Document(state.range(0));
  for (auto _ : state) {
    kiv::binding::ValueResult* result = new kiv::binding::ValueResult(kiv::codecs::ReadYaml(doc));
    state.PauseTiming();
    delete result;
    state.ResumeTiming();
  }
  Finish(state, doc);
}
BENCHMARK(BM_ReadYamlBuildOnly)->Arg(0)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

void BM_YamlCppLoad(benchmark::State& state) {
  const std::string& doc = Document(state.range(0));
  for (auto _ : state) {
    YAML::Node node = YAML::Load(doc);
    benchmark::DoNotOptimize(node);
  }
  Finish(state, doc);
}
BENCHMARK(BM_YamlCppLoad)->Arg(0)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

}  // namespace
