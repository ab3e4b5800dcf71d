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

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "value/arena.h"
#include "readers/yaml_reader.h"
#include "reader_documents.h"

namespace {

using reader_bench::DocumentName;
using reader_bench::Measure;
using reader_bench::Ratio;

bool IsWord(const std::string& s) {
  return s == "y" || s == "Y" || s == "n" || s == "N" || s == "yes" || s == "no" || s == "on" || s == "off" ||
         s == "true" || s == "false" || s == "null" || s == "Null" || s == "NULL" || s == "~";
}

// Texts that read back as themselves without quotes stay plain (names,
// timestamps, addresses, most sentences); texts with quotes, backslashes,
// control characters or a comment sign are double-quoted with escapes, most
// non-ASCII characters raw and every third one as an escape.
void AppendText(const std::string& s, std::string* out) {
  const auto first = static_cast<unsigned char>(s.empty() ? ' ' : s[0]);
  bool plain = !s.empty() && !IsWord(s) && s.back() != ' ' &&
               (std::isalpha(first) || first >= 0x80 || (std::isdigit(first) && s.back() == 'Z'));
  for (std::size_t i = 0; plain && i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const bool last = i + 1 == s.size();
    plain = c >= 0x80 || std::isalnum(c) || std::strchr("@.-_'%!?/()<>", c) != nullptr ||
            (c == ':' && !last && s[i + 1] != ' ') || (c == ' ' && !last && s[i + 1] != '#');
  }
  if (plain) {
    *out += s;
    return;
  }
  static int turn = 0;
  *out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    char buffer[16];
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr;
      if (named == nullptr) {
        std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
        named = buffer;
      }
      *out += named;
      ++i;
    } else if (c < 0x80) {
      *out += static_cast<char>(c);
      ++i;
    } else {
      const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
      if (++turn % 3 != 0) {
        out->append(s, i, length);
      } else {
        uint32_t cp = c & (length == 4 ? 0x07u : length == 3 ? 0x0fu : 0x1fu);
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3fu);
        std::snprintf(buffer, sizeof buffer, cp >= 0x10000 ? "\\U%08x" : "\\u%04x", cp);
        *out += buffer;
      }
      i += length;
    }
  }
  *out += '"';
}

bool IsContainer(const nlohmann::json& v) { return v.is_object() || (v.is_array() && !v.empty()); }

// Scalars, and arrays without containers in flow style ("[1, 2]").
void AppendFlow(const nlohmann::json& v, std::string* out) {
  switch (v.type()) {
    case nlohmann::json::value_t::array:
      *out += '[';
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) *out += ", ";
        AppendFlow(v[i], out);
      }
      *out += ']';
      break;
    case nlohmann::json::value_t::object:
      *out += "{}";
      break;
    case nlohmann::json::value_t::string:
      AppendText(v.get_ref<const std::string&>(), out);
      break;
    default:
      *out += v.dump();
      break;
  }
}

bool IsFlat(const nlohmann::json& v) {
  if (!v.is_array()) return !v.is_object() || v.empty();
  for (const auto& e : v) {
    if (e.is_object() || e.is_array()) return false;
  }
  return true;
}

// Block style: mappings one member a line, sequences of containers one
// "- " entry a line, flat arrays in flow style.
void AppendBlock(const nlohmann::json& v, int indent, bool inlineFirst, std::string* out) {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  bool first = true;
  if (v.is_object() && !v.empty()) {
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (!(first && inlineFirst)) *out += pad;
      first = false;
      AppendText(it.key(), out);
      *out += ':';
      if (IsFlat(it.value())) {
        *out += ' ';
        AppendFlow(it.value(), out);
        *out += '\n';
      } else {
        *out += '\n';
        AppendBlock(it.value(), indent + 2, false, out);
      }
    }
  } else if (v.is_array() && !IsFlat(v)) {
    for (const auto& e : v) {
      if (!(first && inlineFirst)) *out += pad;
      first = false;
      *out += "- ";
      if (IsContainer(e) && !IsFlat(e)) {
        AppendBlock(e, indent + 2, true, out);
      } else {
        AppendFlow(e, out);
        *out += '\n';
      }
    }
  } else {
    *out += pad;
    AppendFlow(v, out);
    *out += '\n';
  }
}

const std::string& Text(int which) {
  static std::string texts[reader_bench::kDocumentCount];
  std::string& text = texts[which];
  if (text.empty()) {
    text = "---\n";
    AppendBlock(reader_bench::Document(which), 0, false, &text);
  }
  return text;
}

void CheckedEventLoop(benchmark::State& state, const std::string& text) {
  yaml_parser_t parser;
  yaml_parser_initialize(&parser);
  yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::size_t events = 0;
  for (;;) {
    yaml_event_t event;
    if (yaml_parser_parse(&parser, &event) == 0) {
      state.SkipWithError("peer failed");
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

void BM_LibYamlEvents(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = Text(which);
  Measure(state, std::string("libyaml/") + DocumentName(which), text.size(), [&] { CheckedEventLoop(state, text); });
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
