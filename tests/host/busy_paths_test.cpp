// The host's hot paths under their shortcuts: answers handed to plugins,
// records within their limit, observers, route captures and the HTTP front's
// bodiless requests and filtered event streams.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "host.h"
#include "http_front.h"
#include "raw_http.h"
#include "router.h"
#include "served_host.h"

namespace kivhost {
namespace {

using namespace std::chrono_literals;

HostOptions Quiet() {
  HostOptions o;
  o.logStream = nullptr;
  return o;
}

Call Post(const std::string& url) { return Call{"POST", url, {}, {}, "", ""}; }

// Around the dumped size the choice to stream must be the one the exact text
// gives, however much larger escapes and replacements make it than the value.
TEST(FillResponseTest, StreamsExactlyWhenTheDumpedTextExceedsTheThreshold) {
  const std::vector<std::pair<json, bool>> bodies = {
      {json{{"text", std::string(100, 'a')}}, true},
      {json{{"controls", std::string(50, '\x01')}, {"quotes", "\"\\\""}}, true},
      {json::array({1.0 / 3, -9223372036854775807LL - 1, 18446744073709551615ULL, nullptr, true, 1e300}), true},
      {json{{"nested", {{"a", json::array({json::object(), json::array(), ""})}}}}, true},
      {json{{"invalid", std::string(40, '\xff')}}, false},  // replaced in the dump, kept byte for byte otherwise
      {json{{"blob", json::binary({1, 2, 255})}}, false},
  };
  for (const auto& [body, roundTrips] : bodies) {
    const size_t size = DumpJson(body).size();
    for (size_t threshold : {size_t{0}, size - 1, size, size + 1, 6 * size + 100}) {
      Answer answer;
      answer.body = body;
      HostResponse response;
      FillResponse(answer, &response, threshold, 4096);
      const Answer read = ReadResponse(&response, nullptr);
      EXPECT_EQ(read.streamed, size > threshold) << DumpJson(body) << " at " << threshold;
      EXPECT_FALSE(read.error) << read.errorText;
      if (roundTrips) {
        EXPECT_EQ(read.body, body) << threshold;
      }
    }
  }
}

TEST(RouterCaptureTest, TheWinningRouteDecodesItsOwnCaptures) {
  Router<int> router;
  router.Add("/x/{a}/{b}", 0, "", 1);
  router.Add("/x/{a}/lit", 0, "", 2);
  router.Add("/y/{first}", 2, "", 3);
  router.Add("/y/{second}", 2, "", 4);
  router.Add("/y/exact", 2, "", 5);

  auto shorter = router.Find(2, "GET", "/x/a%20b/lit?q=1");
  ASSERT_NE(shorter.route, nullptr);
  EXPECT_EQ(shorter.route->target, 2);
  EXPECT_EQ(shorter.captures, (std::map<std::string, std::string>{{"a", "a b"}}));

  auto longer = router.Find(2, "GET", "/x/1/other");
  ASSERT_NE(longer.route, nullptr);
  EXPECT_EQ(longer.route->target, 1);
  EXPECT_EQ(longer.captures, (std::map<std::string, std::string>{{"a", "1"}, {"b", "other"}}));

  auto tie = router.Find(2, "GET", "/y/z");
  ASSERT_NE(tie.route, nullptr);
  EXPECT_EQ(tie.route->target, 3);
  EXPECT_EQ(tie.captures, (std::map<std::string, std::string>{{"first", "z"}}));

  // A literal found after a template leaves none of the template's captures behind.
  auto literal = router.Find(2, "GET", "/y/exact");
  ASSERT_NE(literal.route, nullptr);
  EXPECT_EQ(literal.route->target, 5);
  EXPECT_TRUE(literal.captures.empty());

  auto wrongMethod = router.Find(6, "POST", "/y/z");
  EXPECT_EQ(wrongMethod.route, nullptr);
  EXPECT_TRUE(wrongMethod.methodMismatch);
  EXPECT_TRUE(wrongMethod.captures.empty());
}

TEST(HostRecordsTest, KeepTheNewestWithinTheLimit) {
  HostOptions o = Quiet();
  o.recordLimit = 3;
  Host host(o);
  ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN).ok);
  ASSERT_TRUE(host.Initialize());

  std::vector<uint64_t> published;
  for (int i = 0; i < 5; ++i) {
    host.Publish("Tick", json{{"n", i}});
    published.push_back(host.Mark());
  }
  auto events = host.Events();
  ASSERT_EQ(events.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].seq, published[i + 2]);
    EXPECT_EQ(events[i].payload, json({{"n", i + 2}}));
  }

  for (const char* name : {"Ann", "Bob", "Cid", "Dee", "Me"}) {
    Answer a =
        host.Dispatch(Post(std::string("/kiv-fake/v1/relay?method=GET&url=/kiv-summoner/v1/summoners&param=") + name));
    ASSERT_FALSE(a.error) << a.errorText;
  }
  auto requests = host.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].items, json::parse(R"([{"value": "Cid"}])"));
  EXPECT_EQ(requests[2].items, json::parse(R"([{"value": "Me"}])"));
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(requests[2].url, "/kiv-summoner/v1/summoners");
  EXPECT_EQ(requests[2].answer.body, json::parse(R"({"summonerId": 1, "displayName": "Me"})"));
}

// A plugin's URL is taken whole or refused: cut short, it would name
// another resource.
TEST(HostRequestTest, OverlongPluginUrlsAreRefusedNotCut) {
  Host host(Quiet());
  ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN).ok);
  ASSERT_TRUE(host.Initialize());
  const std::string base = "/kiv-summoner/v1/summoners/";
  for (const auto& [length, status] : {std::pair<size_t, int>{65535, 404}, {65536, 414}, {100000, 414}}) {
    const Answer a = host.Dispatch(Post("/kiv-fake/v1/relay?url=" + base + std::string(length - base.size(), '7')));
    ASSERT_FALSE(a.error) << a.errorText;
    EXPECT_EQ(a.body["status"], status) << length;
    EXPECT_EQ(a.body["failed"], true) << length;
    if (status == 414) {
      EXPECT_NE(a.body["error"].get<std::string>().find("longer than 65535 bytes"), std::string::npos) << a.body;
    }
  }
}

TEST(HostObserverTest, ObserversMayChangeTheListWhileBeingCalled) {
  Host host(Quiet());
  std::atomic<int> first{0}, second{0};
  int secondId = 0;
  const int firstId = host.Observe([&](const RecordedEvent& e) {
    ++first;
    // Observing from inside a call must neither deadlock nor reach this event.
    if (e.name == "Add") secondId = host.Observe([&](const RecordedEvent&) { ++second; });
  });
  host.Publish("Add", json());
  EXPECT_EQ(first.load(), 1);
  EXPECT_EQ(second.load(), 0);
  host.Publish("Other", json());
  EXPECT_EQ(second.load(), 1);
  host.Unobserve(firstId);
  host.Unobserve(secondId);
  host.Publish("Other", json());
  EXPECT_EQ(first.load(), 2);
  EXPECT_EQ(second.load(), 1);
}

using kivhost::rawhttp::RawExchange;

class FrontPathsTest : public ServedHostTest {};

TEST_F(FrontPathsTest, BodilessAndBodiedRequestsReachTheSameHandlers) {
  httplib::Client cli("127.0.0.1", port);
  auto ping = cli.Post("/kiv-fake/v1/ping", "", "text/plain");
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->status, 204);
  // The host's own paths are not handed to plugins or peers.
  auto api = cli.Get("/api");
  ASSERT_TRUE(api);
  EXPECT_EQ(api->status, 200);
  EXPECT_NE(api->body.find("\"hostVersion\""), std::string::npos);
  auto peers = cli.Get("/kivhost/peers?x=1");
  ASSERT_TRUE(peers);
  EXPECT_EQ(peers->status, 200);
  auto unknownOwn = cli.Get("/kivhost/nothing");
  EXPECT_EQ(unknownOwn->status, 404);

  auto echo = cli.Post("/kiv-fake/v1/echo?x=1", "{\"k\":1}", "application/json");
  ASSERT_TRUE(echo);
  EXPECT_NE(echo->body.find("\"body\":\"{\\\"k\\\":1}\""), std::string::npos) << echo->body;
  const std::string zero = RawExchange(port, "POST /kiv-fake/v1/echo?y=2 HTTP/1.1\r\n" + HostLine() +
                                                 "Content-Length: 0\r\nX-Trace: t2\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(zero.rfind("HTTP/1.1 200", 0), 0u) << zero;
  EXPECT_NE(zero.find("\"x-trace\":\"t2\""), std::string::npos) << zero;
  EXPECT_EQ(zero.find("remote_addr"), std::string::npos) << zero;
}

TEST_F(FrontPathsTest, FilteredStreamsGetOnlyTheirEvents) {
  std::mutex mutex;
  std::string all, friends;
  std::atomic<bool> leave{false};
  auto listen = [&](const std::string& path, std::string* into) {
    return std::thread([&, path, into] {
      httplib::Client cli("127.0.0.1", port);
      cli.set_read_timeout(10, 0);
      cli.Get(path, [&](const char* data, size_t length) {
        std::lock_guard<std::mutex> lock(mutex);
        into->append(data, length);
        return !leave.load();
      });
    });
  };
  std::thread a = listen("/events", &all);
  std::thread b = listen("/events?name=OnJsonApiEvent_kiv-chat_v1_friends", &friends);
  auto has = [&](const std::string& text, const std::string& in) {
    std::lock_guard<std::mutex> lock(mutex);
    return in.find(text) != std::string::npos;
  };
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (front->listeners() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(front->listeners(), 2u);

  httplib::Client cli("127.0.0.1", port);
  ASSERT_EQ(cli.Post("/kiv-fake/v1/publish?name=FakeNews&uri=/kiv-fake/v1/items/1&data=x", "", "text/plain")->status,
            204);
  ASSERT_EQ(cli.Post("/kiv-chat/v1/friends", "{\"summonerId\": 45}", "application/json")->status, 201);
  const auto end = std::chrono::steady_clock::now() + 5s;
  // Each event goes out under its own name and the generic one, in turn:
  // wait for everything the checks below expect to have arrived.
  while (!(has("FakeNews", all) && has("\"name\":\"OnJsonApiEvent\"", all) &&
           has("OnJsonApiEvent_kiv-chat_v1_friends", all) && has("Dee", friends)) &&
         std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(10ms);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(all.find("FakeNews"), std::string::npos);
    EXPECT_NE(all.find("\"name\":\"OnJsonApiEvent\""), std::string::npos);
    EXPECT_NE(friends.find("\"name\":\"OnJsonApiEvent_kiv-chat_v1_friends\""), std::string::npos) << friends;
    EXPECT_EQ(friends.find("FakeNews"), std::string::npos);
    EXPECT_EQ(friends.find("\"name\":\"OnJsonApiEvent\""), std::string::npos);
  }
  leave = true;
  a.join();
  b.join();
}

}  // namespace
}  // namespace kivhost
