// The host with the fake plugin loaded: the handshake and its refusals, the
// API table, requests with everything their records carry, odd answers,
// streams both ways, subscriptions, events, records and log lines. The
// example scenarios (host/scenarios/fake-*.kivs) run through kivhost as
// tests of their own.
#include "host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host_value.h"
#include "journal.h"
#include "marshal.h"
#include "peers.h"

namespace kivhost {
namespace {

HostOptions Quiet() {
  HostOptions o;
  o.logStream = nullptr;
  return o;
}

Call Get(const std::string& url) { return Call{"GET", url, {}, {}, "", ""}; }
Call Post(const std::string& url) { return Call{"POST", url, {}, {}, "", ""}; }

bool HasLog(const Host& host, const std::string& text, uint64_t since = 0) {
  for (const auto& l : host.Logs(since)) {
    if (l.text.find(text) != std::string::npos) return true;
  }
  return false;
}

class HostWithFake : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN).ok);
    ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN, "load_kiv_fake_b").ok);
    ASSERT_TRUE(host.Initialize());
  }
  Host host{Quiet()};
};

TEST(HostLoadTest, VersionChecksAndBrokenLibrariesAreReported) {
  HostOptions o = Quiet();
  o.version = Version{17, 9, 9};
  Host old(o);
  auto fatal = old.Load(KIV_FAKE_PLUGIN);
  EXPECT_NE(
      fatal.error.find("ended the process during the version handshake with host plugin API 17.9.9 (exit status 70)"),
      std::string::npos)
      << fatal.error;
  EXPECT_TRUE(old.PluginNames().empty());
  o.version = Version{19, 0, 0};
  Host newer(o);
  EXPECT_NE(newer.Load(KIV_FAKE_PLUGIN, "load_kiv_fake_soft").error.find("left its registration record unfilled"),
            std::string::npos);
  // Without the probe the same refusal is seen in the host's own process.
  o.probeHandshake = false;
  Host direct(o);
  EXPECT_NE(direct.Load(KIV_FAKE_PLUGIN, "load_kiv_fake_soft").error.find("unfilled"), std::string::npos);
  EXPECT_NE(direct.Load(KIV_FAKE_PLUGIN, "load_nothing").error.find("has no export load_nothing"), std::string::npos);
  EXPECT_NE(direct.Load("/nonexistent/libkiv-x.so").error.find("Cannot load"), std::string::npos);
  // A newer minor is accepted; the same plugin twice is not.
  o.version = Version{18, 5, 3};
  Host minor(o);
  EXPECT_TRUE(minor.Load(KIV_FAKE_PLUGIN).ok);
  EXPECT_NE(minor.Load(KIV_FAKE_PLUGIN).error.find("loaded already"), std::string::npos);
  EXPECT_EQ(minor.PluginNames(), std::vector<std::string>{"kiv-fake"});
}

TEST(HostLoadTest, BarePluginsFailedInitializationAndBrokenTables) {
  Host host(Quiet());
  ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN, "load_kiv_fake_bare").ok);
  ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN, "load_kiv_fake_noinit").ok);
  ASSERT_TRUE(host.Load(KIV_FAKE_PLUGIN, "load_kiv_fake_broken").ok);
  std::string why;
  EXPECT_FALSE(host.Initialize(&why));
  EXPECT_NE(why.find("kiv-fake-noinit failed to initialize"), std::string::npos);
  EXPECT_EQ(host.PluginNames(), (std::vector<std::string>{"kiv-fake-bare", "kiv-fake-broken"}));
  EXPECT_TRUE(HasLog(host, "kiv-fake-bare: no callbacks"));
  EXPECT_TRUE(HasLog(host, "kiv-fake-noinit destroyed"));  // destroyed even though never initialized
  EXPECT_EQ(host.Dispatch(Post("/kiv-fake-noinit/v1/ping")).HttpStatus(), 404);
  // Counts that promise more than the chains and arrays hold are walked within bounds.
  const json api = host.DescribeApi()["plugins"][1];
  EXPECT_EQ(api["endpoints"].size(), 2u);
  EXPECT_EQ(api["types"].size(), 0u);
  const std::string warnings = DumpJson(api["warnings"]);
  EXPECT_NE(warnings.find("chain ends after 2 of 1000"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("types: null array with count 3"), std::string::npos);
  EXPECT_NE(warnings.find("null tag array with count 7"), std::string::npos);
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake-broken/v1/items/7")).body, json({{"id", "7"}}));
}

TEST_F(HostWithFake, DescribesTheApiTable) {
  const json api = host.DescribeApi();
  ASSERT_EQ(api["plugins"].size(), 2u);
  const json& fake = api["plugins"][0];
  EXPECT_EQ(fake["name"], "kiv-fake");
  EXPECT_EQ(fake["memory"]["bytesAllocated"], 300);
  const json& echo = fake["endpoints"][0];
  EXPECT_EQ(echo["method"], "POST");
  EXPECT_EQ(echo["path"], "/kiv-fake/v1/echo");
  EXPECT_EQ(echo["tags"], json({"Plugins", "Plugin kiv-fake"}));
  EXPECT_EQ(fake["types"][0]["fields"][1]["type"], json({{"kind", "enum"}, {"name", "FakeKind"}}));
  EXPECT_EQ(fake["types"][1]["enumerators"][1]["name"], "Large");
  EXPECT_EQ(fake["events"][0]["name"], "OnJsonApiEvent_kiv-fake_v1_items");
  EXPECT_FALSE(fake.contains("warnings"));
}

TEST_F(HostWithFake, RoutesAndDeliversEverythingTheRecordCarries) {
  Call call = Post("/kiv-fake/v1/echo?x=1%202");
  call.items = {Item{std::nullopt, json{{"a", 1}}}, Item{std::string("n"), "v"}};
  call.headers = {{"x-h", "1"}};
  call.contentType = "application/json";
  call.body = "{\"b\":2}";
  Answer a = host.Dispatch(call);
  EXPECT_EQ(a.servedBy, "kiv-fake");
  EXPECT_EQ(a.HttpStatus(), 200);
  EXPECT_EQ(a.body["url"], "/kiv-fake/v1/echo?x=1%202");
  EXPECT_EQ(a.body["items"], json::parse(R"([{"a": 1}, "v"])"));
  EXPECT_EQ(a.body["tokenMatches"], true);
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake/v1/items/abc%2F1")).body, json({{"id", "abc%2F1"}}));
  EXPECT_EQ(host.Dispatch(Call{"PATCH", "/kiv-fake/v1/any", {}, {}, "", ""}).body, KIV_METHOD_PATCH);
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake-b/v1/items/1")).servedBy, "kiv-fake-b");
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake/v1/echo")).allowed, std::vector<std::string>{"POST"});
  EXPECT_EQ(host.Dispatch(Get("/kiv-nobody/v1/x")).errorText, "Nothing serves GET /kiv-nobody/v1/x");
}

TEST_F(HostWithFake, SurvivesOddAnswersAndReadsStreamedOnes) {
  const struct {
    const char* what;
    int status;
    const char* text;
  } cases[] = {
      {"invalid-kind", 502, "invalid value kind 99"},
      {"null-text", 502, "null text with length 5"},
      {"null-items", 502, "null collection with 3 items"},
      {"null-key", 502, "null key"},
      {"null-release", 409, "static error text"},
      {"error-without-text", 400, ""},
      {"odd-status", 502, ""},
      {"headers-null", 200, ""},
      {"stream-fail", 502, "stream failed"},
  };
  for (const auto& c : cases) {
    Answer a = host.Dispatch(Get(std::string("/kiv-fake/v1/odd/") + c.what));
    EXPECT_EQ(a.HttpStatus(), c.status) << c.what;
    EXPECT_NE(DumpJson(a.HttpBody()).find(c.text), std::string::npos) << c.what << ": " << DumpJson(a.HttpBody());
  }
  Answer headers = host.Dispatch(Get("/kiv-fake/v1/odd/headers"));
  EXPECT_EQ(headers.HttpStatus(), 201);
  EXPECT_EQ(headers.headers, (std::vector<std::pair<std::string, std::string>>{{"X-Fake", "yes"}}));
  for (const auto& [url, status] : {std::pair{"/kiv-fake/v1/status/0?error=bad", 400},
                                    {"/kiv-fake/v1/status/299?error=odd", 500},
                                    {"/kiv-fake/v1/status/202", 202}}) {
    EXPECT_EQ(host.Dispatch(Get(url)).HttpStatus(), status) << url;
  }
  Answer big = host.Dispatch(Get("/kiv-fake/v1/odd/stream?size=20000"));
  EXPECT_TRUE(big.streamed);
  EXPECT_EQ(big.body.back(), "end");
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake/v1/odd/stream-short?size=300")).body.back(), "end");
  Answer text = host.Dispatch(Get("/kiv-fake/v1/odd/stream-text?size=5000"));
  EXPECT_TRUE(text.raw);
  EXPECT_EQ(text.body.get<std::string>().size(), 5000u);
}

TEST_F(HostWithFake, RoutesPluginRequestsAndStreamsLargeAnswersToThem) {
  // To another plugin: its answer is copied and released; its failure is the caller's.
  Answer failing = host.Dispatch(Post("/kiv-fake/v1/relay?method=GET&url=/kiv-fake-b/v1/odd/invalid-kind"));
  EXPECT_EQ(failing.body["failed"], true);
  EXPECT_EQ(failing.body["status"], 502);
  Answer unknown = host.Dispatch(Post("/kiv-fake/v1/relay?method=GET&url=/kiv-summoner/v1/summoners/999"));
  EXPECT_EQ(unknown.body["error"], "No summoner with id '999'");

  // A conversation with many messages answers with more than 4096 bytes.
  for (int i = 0; i < 60; ++i) {
    Call post = Post("/kiv-chat/v1/conversations/42/messages");
    post.body = R"({"body": "a message long enough to fill the conversation quickly", "fromId": 42})";
    ASSERT_EQ(host.Dispatch(post).HttpStatus(), 201);
  }
  Answer a = host.Dispatch(Post("/kiv-fake/v1/relay?method=GET&url=/kiv-chat/v1/conversations/42/messages"));
  ASSERT_EQ(a.body["failed"], false) << DumpJson(a.body["error"]);
  EXPECT_EQ(a.body["streamed"], true);
  EXPECT_GT(a.body["bytes"].get<uint64_t>(), 4096u);
  EXPECT_EQ(a.body["reads"], (a.body["bytes"].get<uint64_t>() + 4095) / 4096);
  json messages;
  ASSERT_TRUE(ParseJson(a.body["text"].get<std::string>(), &messages, nullptr));
  EXPECT_EQ(messages.size(), 60u);
  // Smaller pieces make the plugin yield between short reads.
  HostOptions o = Quiet();
  o.streamThreshold = 10;
  o.streamChunk = 10;
  Host small(o);
  ASSERT_TRUE(small.Load(KIV_FAKE_PLUGIN).ok);
  ASSERT_TRUE(small.Initialize());
  Answer b = small.Dispatch(Post("/kiv-fake/v1/relay?method=GET&url=/kiv-chat/v1/friends"));
  EXPECT_EQ(b.body["streamed"], true);
  EXPECT_GT(b.body["yields"].get<uint64_t>(), 0u);
  EXPECT_EQ(small.yields(), b.body["yields"].get<uint64_t>());
  EXPECT_EQ(small.waits(), small.yields());
}

// A plugin's URL is taken whole or refused: cut short, it would name another resource.
TEST_F(HostWithFake, OverlongPluginUrlsAreRefusedNotCut) {
  const std::string base = "/kiv-summoner/v1/summoners/";
  for (const auto& [length, status] : {std::pair<size_t, int>{65535, 404}, {65536, 414}, {100000, 414}}) {
    const Answer a = host.Dispatch(Post("/kiv-fake/v1/relay?url=" + base + std::string(length - base.size(), '7')));
    EXPECT_EQ(a.body["status"], status) << length;
    EXPECT_EQ(a.body["failed"], true) << length;
    if (status == 414) {
      EXPECT_NE(a.body["error"].get<std::string>().find("longer than 65535 bytes"), std::string::npos) << a.body;
    }
  }
}

TEST_F(HostWithFake, KeepsTheSubscriptionTableAndDeliversEvents) {
  auto names = [&] {
    std::vector<std::string> out;
    for (const auto& s : host.Subscriptions()) {
      if (s["plugin"] == "kiv-fake")
        out.push_back(s["name"].get<std::string>() + "/" + std::to_string(s["flag"].get<int>()));
    }
    return out;
  };
  EXPECT_EQ(names(), (std::vector<std::string>{"FakePing/0", "OnJsonApiEvent_kiv-chat_v1_friends/0",
                                               "OnServiceProxyUuidEvent/1"}));
  host.Dispatch(Post("/kiv-fake/v1/subscribe?name=Other"));
  host.Dispatch(Post("/kiv-fake/v1/subscribe?name=Other"));  // once per name
  host.Dispatch(Post("/kiv-fake/v1/unsubscribe?name=FakePing"));
  EXPECT_EQ(names(),
            (std::vector<std::string>{"OnJsonApiEvent_kiv-chat_v1_friends/0", "OnServiceProxyUuidEvent/1", "Other/0"}));
  host.Publish("Other", json{{"x", 1}});
  host.Publish("FakePing", json{{"x", 2}});
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake/v1/received")).body,
            json::parse(R"([{"name": "Other", "payload": {"x": 1}}])"));
  // A peer event goes out under both names, to both fakes.
  const uint64_t mark = host.Mark();
  Call add = Post("/kiv-chat/v1/friends");
  add.body = R"({"summonerId": 45})";
  ASSERT_EQ(host.Dispatch(add).HttpStatus(), 201);
  auto events = host.Events(mark);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].name, "OnJsonApiEvent");
  EXPECT_EQ(events[0].subscribers, 2u);
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake/v1/received")).body[1]["payload"],
            json::parse(R"({"uri": "/kiv-chat/v1/friends/45", "eventType": "Create",
                            "data": {"summonerId": 45, "id": "45", "name": "Dee"}})"));
  host.Shutdown();
  EXPECT_TRUE(host.Subscriptions().empty());
}

TEST_F(HostWithFake, ConcurrentRequestsAndEvents) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (host.Dispatch(Post("/kiv-fake/v1/relay?method=GET&url=/kiv-fake-b/v1/items/" + std::to_string(i))).error) {
          ++failures;
        }
        host.Publish("FakePing", json{{"t", t}, {"i", i}});
        Call echo = Post("/kiv-fake/v1/echo");
        echo.body = "x";
        if (host.Dispatch(echo).error) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(host.Dispatch(Get("/kiv-fake/v1/received")).body.size(), 200u);
}

TEST_F(HostWithFake, LogLinesEventsOfPluginsAndTheNewestRecords) {
  const uint64_t mark = host.Mark();
  ASSERT_FALSE(host.Dispatch(Post("/kiv-fake/v1/relay?method=GET&url=/kiv-summoner/v1/summoners&param=Ann")).error);
  EXPECT_EQ(host.Requests(mark).at(0).from, "kiv-fake");
  host.Dispatch(Post("/kiv-fake/v1/log?level=1&text=careful"));
  host.Dispatch(Post("/kiv-fake/v1/log?level=9&text=odd%20level"));
  auto logs = host.Logs(mark);
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].plugin, "kiv-fake");
  EXPECT_EQ(logs[0].Format().substr(24), "| kiv-fake|   WARN| careful");
  EXPECT_EQ(logs[1].level, 9);
  host.Dispatch(Post("/kiv-fake/v1/publish?name=Custom&uri=/kiv-fake/v1/items/1&type=Update&data=d"));
  auto events = host.Events(mark);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "kiv-fake");
  EXPECT_EQ(events[0].ToJson()["eventType"], "Update");
  EXPECT_EQ(host.Dispatch(Post("/kiv-fake/v1/publish")).HttpStatus(), 400);
  // Past their limits, an event name is not cut into another name, and a log
  // line says where it was cut.
  const uint64_t longMark = host.Mark();
  host.Dispatch(Post("/kiv-fake/v1/publish?name=" + std::string(5000, 'N') + "&uri=/kiv-fake/v1/items/1&type=Update"));
  EXPECT_TRUE(host.Events(longMark).empty());
  EXPECT_TRUE(HasLog(host, "kiv-fake sent an event whose name is longer than 4096 bytes; dropped", longMark));
  host.Dispatch(Post("/kiv-fake/v1/log?level=0&text=" + std::string(70000, 'L')));
  const auto cut = host.Logs(longMark).back().text;
  EXPECT_EQ(cut, std::string(65536, 'L') + " [cut at 65536 bytes]");
  host.Shutdown();
  EXPECT_TRUE(HasLog(host, "kiv-fake destroyed", mark));
  EXPECT_TRUE(HasLog(host, "Destroyed and unloaded kiv-fake-b", mark));
  EXPECT_EQ(host.Dispatch(Post("/kiv-fake/v1/ping")).HttpStatus(), 404);

  HostOptions o = Quiet();
  o.recordLimit = 3;
  Host limited(o);
  ASSERT_TRUE(limited.Load(KIV_FAKE_PLUGIN).ok);
  ASSERT_TRUE(limited.Initialize());
  std::vector<uint64_t> published;
  for (int i = 0; i < 5; ++i) {
    limited.Publish("Tick", json{{"n", i}});
    published.push_back(limited.Mark());
  }
  auto kept = limited.Events();
  ASSERT_EQ(kept.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(kept[i].seq, published[i + 2]);
    EXPECT_EQ(kept[i].payload, json({{"n", i + 2}}));
  }
  for (const char* name : {"Ann", "Bob", "Cid", "Dee", "Me"}) {
    limited.Dispatch(Post(std::string("/kiv-fake/v1/relay?method=GET&url=/kiv-summoner/v1/summoners&param=") + name));
  }
  auto requests = limited.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].items, json::parse(R"([{"value": "Cid"}])"));
  EXPECT_EQ(requests[2].answer.body, json::parse(R"({"summonerId": 1, "displayName": "Me"})"));

  // Counted in bytes too: a few large records push out the older ones.
  HostOptions small = Quiet();
  small.recordBytes = 8192;
  Host bounded(small);
  ASSERT_TRUE(bounded.Load(KIV_FAKE_PLUGIN).ok);
  ASSERT_TRUE(bounded.Initialize());
  const uint64_t start = bounded.Mark();
  for (char c = 'a'; c <= 'j'; ++c) bounded.Dispatch(Post("/kiv-fake/v1/log?level=0&text=" + std::string(3000, c)));
  const auto newest = bounded.Logs(start);
  ASSERT_EQ(newest.size(), 2u) << "two lines of 3,000 bytes fit in 8 KiB, three do not";
  EXPECT_EQ(newest.back().text, std::string(3000, 'j'));
}

// What a plugin sends is taken whole or refused, for a cut header or media
// type would say something else; what it answers is kept, cut where it must
// be, and the host says so.
TEST(MarshalTest, OverlongTextsAreRefusedInRequestsAndMarkedInAnswers) {
  const std::string longName(8192, 'n');
  const std::string longType(1024, 't');
  const HostHeader header{longName.c_str(), "v"};
  HostParameterItem item{};
  item.name = longName.c_str();
  const auto problem = [](const HostRequest& request) {
    Call call;
    return ReadRequest(&request, &call).text;
  };
  HostRequest request{};
  request.url = "/kiv-fake/v1/ping";
  EXPECT_EQ(problem(request), "");
  request.headers = &header;
  request.headerCount = 1;
  EXPECT_NE(problem(request).find("Header 0 of the request is longer"), std::string::npos);
  request.headerCount = 5000;
  EXPECT_EQ(problem(request), "The request has 5000 headers");
  request.headers = nullptr;
  request.headerCount = 0;
  request.contentType = longType.c_str();
  EXPECT_EQ(problem(request), "The request's content type is longer than 1023 bytes");
  request.contentType = nullptr;
  request.items = &item;
  request.itemCount = 1;
  EXPECT_EQ(problem(request), "The name of parameter item 0 is longer than 4095 bytes");

  Host host(Quiet());
  const std::string longStatus(5000, 's');
  HostResponse response{};
  response.status = 200;
  response.statusText = longStatus.c_str();
  response.headers = &header;
  response.headerCount = 1;
  const Answer answer = ReadResponse(&response, &host);
  EXPECT_EQ(answer.statusText, longStatus.substr(0, 4096));
  ASSERT_EQ(answer.headers.size(), 1u);
  EXPECT_EQ(answer.headers[0].first.size(), 8191u);
  EXPECT_TRUE(HasLog(host, "An answer's status text is longer than 4096 bytes; cut there"));
  EXPECT_TRUE(HasLog(host, "An answer's header name is longer than 8191 bytes; cut there"));
}

// The journal keeps its JSON packed; what comes back must be what went in,
// number kinds and raw bytes included, down to the deepest value a host keeps.
TEST(JournalTest, RecordsComeBackAsTheyWent) {
  json deep = "bottom";
  for (uint32_t i = 1; i < kMaxValueDepth; ++i) deep = json::array({deep});
  const json mixed = {{"signed", -5},
                      {"positive", json::number_integer_t{7}},
                      {"big", UINT64_MAX},
                      {"real", 0.1},
                      {"bytes", std::string("\xff\0z", 3)},
                      {"blob", json::binary({1, 2, 3}, 9)},
                      {"none", nullptr},
                      {"list", json::array({true, false, json::object()})}};
  Journal journal(nullptr, 10, 1u << 20);
  RecordedRequest request;
  request.seq = 1;
  request.url = "/x";
  request.items = json::array({json{{"value", mixed}}});
  request.answer.body = deep;
  journal.Record(request);
  RecordedRequest bare;
  bare.seq = 2;
  journal.Record(bare);
  auto event = std::make_shared<RecordedEvent>();
  event->seq = 3;
  event->name = "E";
  event->payload = mixed;
  journal.Record(event);

  const auto requests = journal.Requests(0);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].items, request.items);
  EXPECT_TRUE(requests[0].items[0]["value"]["positive"].is_number_integer());
  EXPECT_EQ(requests[0].items[0]["value"]["bytes"].get<std::string>().size(), 3u);
  EXPECT_EQ(requests[0].answer.body, deep);
  EXPECT_EQ(requests[1].items, json::array());
  EXPECT_TRUE(requests[1].answer.body.is_null());
  const auto events = journal.Events(0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].payload, mixed);
  EXPECT_EQ(events[0].payload["blob"].get_binary().subtype(), 9);
}

}  // namespace
}  // namespace kivhost
