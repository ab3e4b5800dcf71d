// Routing a request against an endpoint table of the size a plugin serves,
// and matching long paths, which is where a backtracking matcher would suffer.
#include <benchmark/benchmark.h>

#include <string>

#include "http/url.h"
#include "http/url_pattern.h"

namespace {

using kiv::HttpMethod;
using kiv::url::PathPattern;

kiv::Vector<PathPattern> Table() {
  struct Row {
    const char* path;
    HttpMethod method;
  };
  const Row rows[] = {
      {"/kiv-game-client-chat/v1/instant-messages", HttpMethod::kPost},
      {"/kiv-game-client-chat/v1/party-messages", HttpMethod::kPost},
      {"/kiv-game-client-chat/v1/ignored-summoners", HttpMethod::kGet},
      {"/kiv-game-client-chat/v1/ignored-summoners", HttpMethod::kPost},
      {"/kiv-game-client-chat/v1/ignored-summoners", HttpMethod::kDelete},
      {"/kiv-game-client-chat/v1/buddies", HttpMethod::kGet},
      {"/kiv-chat/v1/friends/{id}", HttpMethod::kGet},
      {"/kiv-chat/v1/conversations/{id}/messages/{messageId}", HttpMethod::kGet},
      {"/kiv-chat/v1/conversations/{id}/messages", HttpMethod::kPost},
      {"/files/{+rest}", HttpMethod::kGet},
  };
  kiv::Vector<PathPattern> table;
  for (const Row& row : rows) {
    table.push_back(PathPattern::Compile(row.path));
    table.back().target.method = row.method;
  }
  return table;
}

void RouteRequest(benchmark::State& state, const char* url, HttpMethod method) {
  const kiv::Vector<PathPattern> table = Table();
  const std::span<const PathPattern> list(table.data(), table.size());
  for (auto _ : state) {
    auto match = kiv::url::ChooseRoute(list, method, "", url);
    benchmark::DoNotOptimize(match.pattern);
  }
}
BENCHMARK_CAPTURE(RouteRequest, literal_with_query,
                  "/kiv-game-client-chat/v1/instant-messages?summonerName=Some%20One&message=hi", HttpMethod::kPost);
BENCHMARK_CAPTURE(RouteRequest, two_captures, "/kiv-chat/v1/conversations/abc%40pvp.net/messages/17", HttpMethod::kGet);
BENCHMARK_CAPTURE(RouteRequest, no_match, "/kiv-unknown/v1/thing", HttpMethod::kGet);

void MatchLongPath(benchmark::State& state) {
  const PathPattern pattern = PathPattern::Compile("/{a}/{+b}/{c}");
  std::string path = "/x/";
  while (path.size() < static_cast<std::size_t>(state.range(0))) path += "seg/";
  path += "/z";
  kiv::url::PathArguments args;
  for (auto _ : state) benchmark::DoNotOptimize(pattern.Match(path, &args));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(path.size()));
}
BENCHMARK(MatchLongPath)->Arg(256)->Arg(1 << 20);

}  // namespace
