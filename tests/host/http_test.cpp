#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host.h"
#include "http_front.h"
#include "raw_http.h"
#include "served_host.h"

namespace kivhost {
namespace {

using namespace std::chrono_literals;

using kivhost::rawhttp::RawExchange;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

class HttpTest : public ServedHostTest {
 protected:
  json Body(const httplib::Result& r) {
    json j;
    EXPECT_TRUE(ParseJson(r->body, &j, nullptr)) << r->body;
    return j;
  }
};

TEST_F(HttpTest, DispatchesToPluginsAndPeers) {
  httplib::Client cli("127.0.0.1", port);
  auto api = cli.Get("/api");
  ASSERT_TRUE(api);
  EXPECT_EQ(api->status, 200);
  EXPECT_EQ(Body(api)["plugins"][0]["name"], "kiv-fake");
  EXPECT_EQ(Body(api)["subscriptions"].size(), 3u);

  auto echo = cli.Post("/kiv-fake/v1/echo?x=a%20b", {{"X-Trace", "t1"}}, "{\"k\":1}", "application/json");
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->status, 200);
  EXPECT_EQ(echo->get_header_value("Content-Type"), "application/json");
  json e = Body(echo);
  EXPECT_EQ(e["url"], "/kiv-fake/v1/echo?x=a%20b");
  EXPECT_EQ(e["body"], "{\"k\":1}");
  EXPECT_EQ(e["contentType"], "application/json");
  EXPECT_EQ(e["headers"]["x-trace"], "t1");  // header names reach plugins in lower case

  auto ping = cli.Post("/kiv-fake/v1/ping", "", "text/plain");
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->status, 204);
  EXPECT_TRUE(ping->body.empty());

  auto odd = cli.Get("/kiv-fake/v1/odd/headers");
  EXPECT_EQ(odd->status, 201);
  EXPECT_EQ(odd->get_header_value("X-Fake"), "yes");
  auto teapot = cli.Get("/kiv-fake/v1/status/418?error=short%20and%20stout");
  EXPECT_EQ(teapot->status, 418);
  EXPECT_EQ(Body(teapot), json({{"error", "short and stout"}}));

  auto ann = cli.Get("/kiv-summoner/v1/summoners?name=Ann");
  EXPECT_EQ(Body(ann)["summonerId"], 42);
  auto login = cli.Put("/kiv-login/v1/session", "{\"summonerId\": 44}", "application/json");
  EXPECT_EQ(login->status, 200);
  EXPECT_EQ(host->peers() != nullptr, true);
  auto requests = cli.Get("/kivhost/peers");
  EXPECT_EQ(Body(requests)["session"]["summonerId"], 44);
}

TEST_F(HttpTest, AnswersBadInputProperly) {
  httplib::Client cli("127.0.0.1", port);
  auto missing = cli.Get("/kiv-nobody/v1/x");
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(Body(missing)["error"], "Nothing serves GET /kiv-nobody/v1/x");
  auto wrong = cli.Delete("/kiv-fake/v1/echo");
  EXPECT_EQ(wrong->status, 405);
  EXPECT_EQ(wrong->get_header_value("Allow"), "POST");
  auto badJson = cli.Put("/kiv-login/v1/session", "{\"summonerId\":", "application/json");
  EXPECT_EQ(badJson->status, 400);
  EXPECT_NE(Body(badJson)["error"].get<std::string>().find("not valid JSON"), std::string::npos);
  auto badType = cli.Post("/kiv-chat/v1/friends", "summonerId=45", "application/x-www-form-urlencoded");
  EXPECT_EQ(badType->status, 415);
  auto unreadable = cli.Get("/kiv-fake/v1/odd/null-items");
  EXPECT_EQ(unreadable->status, 502);

  const std::string garbage = RawExchange(port, "NOT A REQUEST\r\n\r\n");
  EXPECT_EQ(garbage.rfind("HTTP/1.1 400", 0), 0u) << garbage;
  const std::string badMethod =
      RawExchange(port, "BREW /kiv-fake/v1/any HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(badMethod.rfind("HTTP/1.1 400", 0), 0u) << badMethod;
  const std::string truncated =
      RawExchange(port, "POST /kiv-fake/v1/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nshort", true);
  EXPECT_TRUE(truncated.empty() || truncated.rfind("HTTP/1.1 400", 0) == 0) << truncated;
  // The server still serves after all that.
  EXPECT_EQ(cli.Get("/api")->status, 200);
}

TEST_F(HttpTest, StreamsEventsAndForgetsClientsThatLeave) {
  std::mutex mutex;
  std::string received;
  std::atomic<bool> leave{false};
  std::thread client([&] {
    httplib::Client cli("127.0.0.1", port);
    cli.set_read_timeout(10, 0);
    cli.Get("/events", [&](const char* data, size_t length) {
      std::lock_guard<std::mutex> lock(mutex);
      received.append(data, length);
      return !leave.load();
    });
  });
  auto has = [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    return received.find(text) != std::string::npos;
  };
  ASSERT_TRUE(WaitFor([&] { return has(": connected"); }));
  EXPECT_EQ(front->listeners(), 1u);

  httplib::Client cli("127.0.0.1", port);
  ASSERT_EQ(cli.Post("/kiv-chat/v1/friends", "{\"summonerId\": 45}", "application/json")->status, 201);
  ASSERT_EQ(cli.Post("/kiv-fake/v1/publish?name=FakeNews&uri=/kiv-fake/v1/items/1&data=x", "", "text/plain")->status,
            204);
  ASSERT_TRUE(WaitFor([&] { return has("FakeNews"); }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    const size_t at = received.find("data: {");
    ASSERT_NE(at, std::string::npos);
    json first;
    ASSERT_TRUE(ParseJson(received.substr(at + 6, received.find('\n', at) - at - 6), &first, nullptr));
    EXPECT_EQ(first["name"], "OnJsonApiEvent_kiv-chat_v1_friends");
    EXPECT_EQ(first["uri"], "/kiv-chat/v1/friends/45");
    EXPECT_EQ(first["eventType"], "Create");
    EXPECT_EQ(first["data"]["name"], "Dee");
    EXPECT_NE(received.find("\"source\":\"kiv-fake\""), std::string::npos);
  }
  leave = true;
  client.join();
  // The next write (at the latest the keep-alive comment) finds the client gone.
  EXPECT_TRUE(WaitFor([&] { return front->listeners() == 0; }));
}

TEST_F(HttpTest, StopsWithAnEventStreamOpen) {
  std::atomic<bool> ended{false};
  std::thread client([&] {
    httplib::Client cli("127.0.0.1", port);
    cli.Get("/events", [&](const char*, size_t) { return true; });
    ended = true;
  });
  ASSERT_TRUE(WaitFor([&] { return front->listeners() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  front->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  client.join();
  EXPECT_TRUE(ended.load());
}

}  // namespace
}  // namespace kivhost
