// The HTTP front over a loopback port: dispatch, bad input, event streams,
// the console and the OpenAPI document, the origin and host checks, the
// caps and the bounds on connections.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host.h"
#include "http_front.h"
#include "http_routes.h"
#include "open_url.h"
#include "peers.h"
#include "testing/raw_http.h"
#include "testing/served_host.h"

namespace kivhost {
namespace {

using namespace std::chrono_literals;

using kivhost::rawhttp::RawConnection;
using kivhost::rawhttp::RawExchange;

int StatusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.1 ", 0) == 0 && answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

// Whether the head of an answer has the line "name: value" (in any case).
bool HasHeader(const std::string& answer, const std::string& line) {
  std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2), wanted = "\r\n" + line + "\r\n";
  for (std::string* text : {&head, &wanted}) {
    for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return head.find(wanted) != std::string::npos;
}

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

TEST_F(HttpTest, DispatchesToPluginsAndPeersAndAnswersBadInput) {
  httplib::Client cli("127.0.0.1", port);
  auto api = cli.Get("/api");
  ASSERT_TRUE(api);
  EXPECT_EQ(Body(api)["plugins"][0]["name"], "kiv-fake");
  EXPECT_EQ(cli.Get("/kivhost/nothing")->status, 404);  // the host's own paths reach no plugin or peer
  auto echo = cli.Post("/kiv-fake/v1/echo?x=a%20b", {{"X-Trace", "t1"}}, "{\"k\":1}", "application/json");
  EXPECT_EQ(echo->get_header_value("Content-Type"), "application/json");
  json e = Body(echo);
  EXPECT_EQ(e["url"], "/kiv-fake/v1/echo?x=a%20b");
  EXPECT_EQ(e["body"], "{\"k\":1}");
  EXPECT_EQ(e["headers"]["x-trace"], "t1");  // header names reach plugins in lower case
  // A bodiless request reaches the same handler.
  const std::string zero = RawExchange(port, "POST /kiv-fake/v1/echo?y=2 HTTP/1.1\r\n" + HostLine() +
                                                 "Content-Length: 0\r\nX-Trace: t2\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(zero), 200) << zero;
  EXPECT_NE(zero.find("\"x-trace\":\"t2\""), std::string::npos) << zero;
  EXPECT_EQ(zero.find("remote_addr"), std::string::npos) << zero;
  EXPECT_TRUE(cli.Post("/kiv-fake/v1/ping", "", "text/plain")->body.empty());
  EXPECT_EQ(cli.Get("/kiv-fake/v1/odd/headers")->get_header_value("X-Fake"), "yes");
  auto teapot = cli.Get("/kiv-fake/v1/status/418?error=short%20and%20stout");
  EXPECT_EQ(teapot->status, 418);
  EXPECT_EQ(Body(teapot), json({{"error", "short and stout"}}));
  EXPECT_EQ(cli.Put("/kiv-login/v1/session", "{\"summonerId\": 44}", "application/json")->status, 200);
  EXPECT_EQ(Body(cli.Get("/kivhost/peers?x=1"))["session"]["summonerId"], 44);

  EXPECT_EQ(Body(cli.Get("/kiv-nobody/v1/x"))["error"], "Nothing serves GET /kiv-nobody/v1/x");
  EXPECT_EQ(cli.Delete("/kiv-fake/v1/echo")->get_header_value("Allow"), "POST");
  EXPECT_EQ(cli.Post("/kiv-chat/v1/friends", "summonerId=45", "application/x-www-form-urlencoded")->status, 415);
  EXPECT_EQ(StatusOf(RawExchange(port, "NOT A REQUEST\r\n\r\n")), 400);
  EXPECT_EQ(
      StatusOf(RawExchange(port, "BREW /kiv-fake/v1/any HTTP/1.1\r\n" + HostLine() + "Connection: close\r\n\r\n")),
      400);
  const std::string truncated =
      RawExchange(port, "POST /kiv-fake/v1/echo HTTP/1.1\r\n" + HostLine() + "Content-Length: 100\r\n\r\nshort", true);
  EXPECT_TRUE(truncated.empty() || StatusOf(truncated) == 400) << truncated;
  EXPECT_EQ(cli.Get("/api")->status, 200);  // the server still serves after all that
}

TEST_F(HttpTest, StreamsEventsFilteredByNameAndForgetsClientsThatLeave) {
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
  ASSERT_TRUE(WaitFor([&] { return front->listeners() == 2 && has(": connected", all); }));
  httplib::Client cli("127.0.0.1", port);
  ASSERT_EQ(cli.Post("/kiv-fake/v1/publish?name=FakeNews&uri=/kiv-fake/v1/items/1&data=x", "", "text/plain")->status,
            204);
  ASSERT_EQ(cli.Post("/kiv-chat/v1/friends", "{\"summonerId\": 45}", "application/json")->status, 201);
  // Each event goes out under its own name and the generic one, in turn:
  // wait for everything the checks below expect to have arrived.
  ASSERT_TRUE(WaitFor([&] {
    return has("\"name\":\"OnJsonApiEvent\"", all) && has("OnJsonApiEvent_kiv-chat_v1_friends", all) &&
           has("Dee", friends);
  }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(all.find("FakeNews"), std::string::npos);
    EXPECT_NE(all.find("\"source\":\"kiv-fake\""), std::string::npos);
    const size_t at = friends.find("data: {");
    ASSERT_NE(at, std::string::npos);
    json first;
    ASSERT_TRUE(ParseJson(friends.substr(at + 6, friends.find('\n', at) - at - 6), &first, nullptr));
    EXPECT_EQ(first["name"], "OnJsonApiEvent_kiv-chat_v1_friends");
    EXPECT_EQ(first["uri"], "/kiv-chat/v1/friends/45");
    EXPECT_EQ(first["eventType"], "Create");
    EXPECT_EQ(first["data"]["name"], "Dee");
    EXPECT_EQ(friends.find("FakeNews"), std::string::npos);
    EXPECT_EQ(friends.find("\"name\":\"OnJsonApiEvent\""), std::string::npos);
  }
  leave = true;
  a.join();
  b.join();
  // The next write (at the latest the keep-alive comment) finds the clients gone.
  EXPECT_TRUE(WaitFor([&] { return front->listeners() == 0; }));
}

// A page on another site may reach 127.0.0.1 (directly, or by rebinding its
// own name to it); nothing it sends may reach a plugin or a peer. Each case
// tries to change the playtime reminder.
TEST_F(HttpTest, ServesTheConsoleAndTheOpenApiDocument) {
  httplib::Client cli("127.0.0.1", port);
  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  // Nothing but its own files runs in it, and no other page may frame it.
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos);
  for (const char* file : {"console.js", "console.css"}) {
    ASSERT_NE(page->body.find(std::string("/kivhost/console/") + file), std::string::npos) << file;
    EXPECT_EQ(cli.Get(std::string("/kivhost/console/") + file)->status, 200) << file;
  }
  EXPECT_EQ(cli.Get("/kivhost/console/..")->status, 404);
  json doc = Body(cli.Get("/openapi.json"));
  EXPECT_EQ(doc["servers"][0]["url"], "http://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(doc["x-kiv-plugins"][0]["name"], "kiv-fake");
  // An endpoint for any method is an operation for each.
  EXPECT_EQ(doc["paths"]["/kiv-fake/v1/any"]["patch"]["operationId"], "Fake/any_PATCH");
  EXPECT_EQ(doc["paths"]["/kiv-fake/v1/any"]["patch"]["x-kiv-any-method"], true);
}

// --open: the opener gets the URL, and neither the signals the host blocks
// for its watcher nor its output.
TEST(OpenUrlTest, HandsTheUrlToTheDesktopsOpener) {
  const auto dir = std::filesystem::temp_directory_path() / ("kiv-open-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto seen = dir / "seen";
  {
    // Shell builtins only: a shell waiting for a child blocks every signal.
    std::ofstream script(dir / "xdg-open");
    script
        << "#!/bin/sh\nwhile read -r key value; do [ \"$key\" = SigBlk: ] && blocked=$value; done < /proc/$$/status\n"
        << "echo \"$blocked $1\" > '" << seen.string() << ".tmp'\nmv '" << seen.string() << ".tmp' '" << seen.string()
        << "'\n";
  }
  std::filesystem::permissions(dir / "xdg-open", std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", (dir.string() + ":" + path).c_str(), 1);
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  pthread_sigmask(SIG_BLOCK, &blocked, &old);
  std::string why;
  const bool opened = OpenInBrowser("http://127.0.0.1:8080/", &why);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(opened) << why;
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(seen); }));
  std::ifstream in(seen);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "0000000000000000 http://127.0.0.1:8080/\n");
  // Without an opener, the host says so and serves on.
  std::filesystem::remove(dir / "xdg-open");
  setenv("PATH", dir.string().c_str(), 1);
  EXPECT_FALSE(OpenInBrowser("http://127.0.0.1:8080/", &why));
  EXPECT_NE(why.find("xdg-open"), std::string::npos) << why;
  setenv("PATH", path.c_str(), 1);
  std::filesystem::remove_all(dir);
}

TEST_F(HttpTest, AnswersOnlyItsOwnAddressAndPages) {
  auto tryWith = [&](int atPort, const std::string& version, const std::string& headers, int i) {
    const std::string body = "\"case " + std::to_string(i) + "\"";
    const std::string answer =
        RawExchange(atPort, "PUT /kiv-kr-playtime-reminder/v1/message " + version + "\r\n" + headers +
                                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body);
    EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos) << answer;
    const bool changed = host->peers()->State()["playtimeReminder"] == json::parse(body);
    return std::make_pair(StatusOf(answer), changed);
  };
  const std::string p = ":" + std::to_string(port);
  struct Case {
    std::string version, headers;
    int status;  // 0: any success
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\n", 0},
      {"HTTP/1.1", "Host: localhost" + p + "\r\n", 0},
      {"HTTP/1.1", "Host: LocalHost" + p + "\r\n", 0},
      {"HTTP/1.1", "Host: [::1]" + p + "\r\n", 0},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: http://127.0.0.1" + p + "\r\n", 0},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: http://localhost" + p + "\r\n", 0},
      {"HTTP/1.0", "", 0},  // no Host: no browser either
      {"HTTP/1.1", "Host: evil.example" + p + "\r\n", 403},
      {"HTTP/1.1", "Host: localhost.evil.example" + p + "\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1\r\n", 403},  // port 80
      {"HTTP/1.1", "Host: 127.0.0.1:1\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + ".evil.example\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: http://evil.example\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: null\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: https://127.0.0.1" + p + "\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: http://127.0.0.1\r\n", 403},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nOrigin: http://evil.example" + p + "\r\n", 403},
      {"HTTP/1.1", "", 400},
      {"HTTP/1.1", "Host: 127.0.0.1" + p + "\r\nHost: evil.example\r\n", 400},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto [status, changed] = tryWith(port, cases[i].version, cases[i].headers, static_cast<int>(i));
    if (cases[i].status == 0) {
      EXPECT_TRUE(status == 200 || status == 201) << status << " for " << cases[i].headers;
      EXPECT_TRUE(changed) << cases[i].headers;
    } else {
      EXPECT_EQ(status, cases[i].status) << cases[i].headers;
      EXPECT_FALSE(changed) << cases[i].headers;
    }
  }

  // Event streams are no exception.
  RawConnection page(port);
  ASSERT_TRUE(page.Send("GET /events HTTP/1.1\r\n" + HostLine() + "Origin: http://evil.example\r\n\r\n"));
  const std::string refused = page.ReadAnswer(std::chrono::seconds(2));
  EXPECT_EQ(StatusOf(refused), 403) << refused;
  EXPECT_EQ(front->listeners(), 0u);

  // Another name is accepted when it is given on purpose, and only that one.
  HttpFront::Options named;
  named.allowedHosts = {"DevBox.lan"};
  HttpFront other(*host, named);
  const int otherPort = other.Bind("127.0.0.1", 0);
  ASSERT_GT(otherPort, 0);
  other.Start();
  const std::string q = ":" + std::to_string(otherPort);
  EXPECT_EQ(tryWith(otherPort, "HTTP/1.1", "Host: devbox.lan" + q + "\r\nOrigin: http://devbox.lan" + q + "\r\n", 100),
            std::make_pair(200, true));
  EXPECT_EQ(tryWith(otherPort, "HTTP/1.1", "Host: 127.0.0.1" + q + "\r\n", 101), std::make_pair(200, true));
  EXPECT_EQ(tryWith(otherPort, "HTTP/1.1", "Host: devbox.lan.evil.example" + q + "\r\n", 102),
            std::make_pair(403, false));
  EXPECT_EQ(tryWith(otherPort, "HTTP/1.1", "Host: devbox.lan" + p + "\r\n", 103), std::make_pair(403, false));
}

// Every cap answers at once and says which one it is; requests within them,
// and the ways curl sends bodies, are served.
TEST_F(HttpTest, CapsAnswerClearly) {
  auto request = [&](const std::string& method, const std::string& target, const std::string& headers,
                     const std::string& body = "") {
    return method + " " + target + " HTTP/1.1\r\n" + HostLine() + headers + "\r\n" + body;
  };
  const std::string base = "/kiv-summoner/v1/summoners?name=Ann&pad=";
  std::string manyHeaders, bigHead;
  for (int i = 0; i < 101; ++i) manyHeaders += "X-N" + std::to_string(i) + ": 1\r\n";
  for (int i = 0; i < 5; ++i) bigHead += "X-Big" + std::to_string(i) + ": " + std::string(7000, 'b') + "\r\n";
  struct Case {
    std::string bytes;
    int status;
    std::string inBody;
  };
  const std::vector<Case> cases = {
      {request("GET", base + std::string(8000 - base.size(), 'a'), ""), 200, "\"Ann\""},
      {request("GET", base + std::string(8001 - base.size(), 'a'), ""), 414, "8000"},
      {"GET /" + std::string(20000, 'a'), 414, "8000"},  // a line that never ends
      {request("GET", "/api", "X-Long: " + std::string(8001, 'b') + "\r\n"), 431, "header line"},
      {request("GET", "/api", manyHeaders), 431, "100 header lines"},
      {request("GET", "/api", bigHead), 431, "head"},
      {request("POST", "/kiv-fake/v1/ping", "Content-Length: 1048577\r\n"), 413, "1048577"},
      {request("POST", "/kiv-fake/v1/ping", "Transfer-Encoding: chunked\r\n", "100001\r\n"), 413, "cap"},
      {request("POST", "/kiv-fake/v1/ping", "Content-Length: 1048576\r\n", std::string(1048576, 'x')), 204, ""},
      {request("POST", "/kiv-fake/v1/echo", "Content-Encoding: gzip\r\nContent-Length: 3\r\n", "abc"), 415, "gzip"},
      {request("POST", "/kiv-fake/v1/echo", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n", "abc"), 400, "both"},
      {request("POST", "/kiv-fake/v1/echo", "Transfer-Encoding: gzip, chunked\r\n", "3\r\nabc\r\n0\r\n\r\n"), 501,
       "gzip"},
      {request("POST", "/kiv-fake/v1/echo", "Transfer-Encoding: chunked\r\n",
               "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\nX-Trailer: 1\r\n\r\n"),
       200, "\"body\":\"abcde\""},
      // curl -X POST URL: no body and no Content-Length.
      {request("POST", "/kiv-fake/v1/echo", ""), 200, "\"body\":\"\""},
      {request("DELETE", "/kiv-chat/v1/friends/44", ""), 204, ""},
  };
  for (const Case& c : cases) {
    RawConnection connection(port);
    ASSERT_TRUE(connection.Send(c.bytes));
    const std::string answer = connection.ReadAnswer(std::chrono::seconds(4));
    const std::string shown = answer.substr(0, 300);
    EXPECT_EQ(StatusOf(answer), c.status) << shown;
    EXPECT_NE(answer.find(c.inBody, answer.find("\r\n\r\n")), std::string::npos) << shown;
    if (c.status >= 400) {
      EXPECT_TRUE(HasHeader(answer, "Connection: close")) << shown;
      EXPECT_TRUE(connection.ClosedWithin(std::chrono::seconds(4))) << shown;
    }
  }

  // Bodiless POSTs leave the connection as they found it.
  RawConnection kept(port);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(kept.Send(request("POST", "/kiv-fake/v1/ping", "")));
    EXPECT_EQ(StatusOf(kept.ReadAnswer(std::chrono::seconds(4))), 204) << i;
  }
}

// Idle keep-alive connections end, long-lived ones end after their share of
// requests, and a request that does not arrive whole in time is answered 408.
class BoundedConnectionsTest : public HttpTest {
 protected:
  HttpFront::Options FrontOptions() override {
    HttpFront::Options o = ServedHostTest::FrontOptions();
    o.keepAlive = 1500ms;  // long enough for the test to send its next request
    o.maxRequestsPerConnection = 3;
    o.requestTimeout = 500ms;
    return o;
  }
};

TEST_F(BoundedConnectionsTest, EndIdleSlowAndLongLivedConnections) {
  const std::string ask = "GET /kiv-summoner/v1/summoners?name=Ann HTTP/1.1\r\n" + HostLine() + "\r\n";
  RawConnection used(port);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(used.Send(ask));
    const std::string answer = used.ReadAnswer();
    EXPECT_EQ(StatusOf(answer), 200) << i;
    EXPECT_EQ(HasHeader(answer, "Connection: close"), i == 2) << answer;
  }
  EXPECT_TRUE(used.ClosedWithin(5s));

  RawConnection idle(port);
  ASSERT_TRUE(idle.Send(ask));
  EXPECT_EQ(StatusOf(idle.ReadAnswer()), 200);
  EXPECT_TRUE(idle.ClosedWithin(5s));
  EXPECT_TRUE(idle.buffered().empty()) << idle.buffered();

  RawConnection slow(port);
  ASSERT_TRUE(slow.Send("GET /api HTTP/1.1\r\n" + HostLine()));
  EXPECT_EQ(StatusOf(slow.ReadAnswer(3s)), 408);
}

// What the workers answer without httplib is what httplib would have
// written, byte for byte, and closes the connection when httplib would; what
// needs more of httplib is left to it.
TEST_F(HttpTest, DirectAnswersAreHttplibsOwn) {
  Handlers handlers;
  handlers.SetKeepAlive(5, 100);
  AddRoutes(handlers, *host);
  const Headers plain = {{"Host", "127.0.0.1"}};
  auto request = [&](std::string method, std::string target, Headers headers = {}, std::string body = "",
                     std::string version = "HTTP/1.1") {
    headers.insert(headers.begin(), plain.begin(), plain.end());
    return WholeRequest{std::move(method), std::move(target), std::move(version), std::move(headers), body,
                        !body.empty()};
  };
  struct Case {
    WholeRequest request;
    bool closeAfter;
    bool direct;
  };
  const std::vector<Case> cases = {
      {request("POST", "/kiv-fake/v1/echo?x=a",
               {{"X-Trace", "t1"}, {"content-type", "application/json"}, {"x-trace", "t0"}, {"A-First", ""}},
               "{\"k\":1}"),
       false, true},
      {request("GET", "/kiv-fake/v1/items/7"), false, true},
      {request("GET", "/kiv-fake/v1/status/418?error=teapot"), false, true},
      {request("GET", "/kiv-fake/v1/status/299"), true, true},
      {request("GET", "/kiv-fake/v1/status/304"), false, true},
      {request("GET", "/kiv-fake/v1/odd/headers"), false, true},
      {request("GET", "/kiv-fake/v1/odd/odd-status"), false, true},
      {request("GET", "/kiv-fake/v1/odd/null-release"), false, true},
      {request("DELETE", "/kiv-fake/v1/items/7"), false, true},
      {request("POST", "/kiv-fake/v1/ping"), false, true},
      {request("OPTIONS", "/nothing/here"), false, true},
      {request("GET", "/kiv-summoner/v1/summoners?name=Cid", {{"Connection", "close"}}), false, true},
      {request("GET", "/kiv-summoner/v1/summoners?name=Cid", {{"Connection", "keep-alive"}}, "", "HTTP/1.0"), false,
       true},
      {request("GET", "/kiv-summoner/v1/summoners?name=Cid", {{"Connection", "Keep-Alive"}}, "", "HTTP/1.0"), false,
       true},
      {request("POST", "/api"), false, true},
      {request("HEAD", "/kiv-fake/v1/items/7"), false, false},
      {request("GET", "/api"), false, false},
      {request("GET", "/kivhost/requests"), false, false},
      {request("GET", "/kiv-fake/v1/items/%37"), false, false},
      {request("GET", "/kiv-fake/v1/items/7", {{"Range", "bytes=0-1"}}), false, false},
      {request("GET", "/kiv-fake/v1/items/7", {{"Accept-Encoding", "gzip"}}), false, false},
      {request("POST", "/kiv-fake/v1/echo", {{"Content-Type", "application/x-www-form-urlencoded"}}, "a=1"), false,
       false},
      {request("PURGE", "/kiv-fake/v1/purge"), false, false},
      {request("GET", "/kiv-fake/v1/items/7", {{"X-Name", "a%20b"}}), false, false},
      {request("GET", "/kiv-fake/v1/items/7", {{"X-Long", std::string(9000, 'x')}}), false, false},
  };
  const Peer peer;
  for (const Case& c : cases) {
    const std::string what = c.request.method + " " + c.request.target;
    std::string direct;
    bool directClose = false;
    ASSERT_EQ(handlers.Direct(c.request, c.closeAfter, &direct, &directClose), c.direct) << what;
    if (!c.direct) continue;
    bool close = false;
    EXPECT_EQ(direct, handlers.Process(RequestText(c.request), c.closeAfter, peer, &close)) << what;
    EXPECT_EQ(directClose, close) << what;
  }
}

// A crowd of event streams, idle connections and half-sent requests, with
// fewer workers than any of them: an ordinary request is still answered at
// once, and stopping ends every stream at once.
class CrowdedFrontTest : public HttpTest {
 protected:
  HttpFront::Options FrontOptions() override {
    HttpFront::Options o = ServedHostTest::FrontOptions();
    o.threads = 2;
    o.maxStreams = 4;
    o.maxConnections = 40;
    o.keepAlive = 60s;
    o.requestTimeout = 60s;
    o.heartbeat = 200ms;
    return o;
  }
};

TEST_F(CrowdedFrontTest, OrdinaryRequestsPassStreamsAndIdleConnections) {
  const std::string listen = "GET /events HTTP/1.1\r\n" + HostLine() + "\r\n";
  std::vector<RawConnection> streams;
  for (int i = 0; i < 4; ++i) {
    streams.emplace_back(port);
    ASSERT_TRUE(streams.back().Send(listen));
    ASSERT_NE(streams.back().ReadUntil(": connected\n\n"), "") << i;
  }
  EXPECT_EQ(front->listeners(), 4u);
  RawConnection beyond(port);
  ASSERT_TRUE(beyond.Send(listen));
  const std::string refused = beyond.ReadAnswer();
  EXPECT_EQ(StatusOf(refused), 503) << refused;
  EXPECT_TRUE(HasHeader(refused, "Retry-After: 5")) << refused;

  std::vector<RawConnection> crowd;
  for (int i = 0; i < 20; ++i) {
    crowd.emplace_back(port);
    ASSERT_TRUE(crowd.back().Send("GET /api HTTP/1.1\r\n" + HostLine()));  // never finished
  }
  for (int i = 0; i < 20; ++i) {
    crowd.emplace_back(port);
    ASSERT_TRUE(crowd.back().Send("GET /kiv-summoner/v1/summoners?name=Cid HTTP/1.1\r\n" + HostLine() + "\r\n"));
    ASSERT_EQ(StatusOf(crowd.back().ReadAnswer()), 200) << i;  // and then kept open, idle
  }
  for (int i = 0; i < 30; ++i) crowd.emplace_back(port);  // connected, silent

  const auto asked = std::chrono::steady_clock::now();
  RawConnection ordinary(port);
  ASSERT_TRUE(ordinary.Send("GET /kiv-summoner/v1/summoners?name=Bob HTTP/1.1\r\n" + HostLine() + "\r\n"));
  const std::string answer = ordinary.ReadAnswer(10s);
  EXPECT_EQ(StatusOf(answer), 200) << answer;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);

  host->Publish("Crowd", json{{"n", 1}});
  for (auto& s : streams) EXPECT_NE(s.ReadUntil("\"name\":\"Crowd\""), "");
  EXPECT_NE(streams[0].ReadUntil(": keep-alive\n\n"), "");  // the heartbeat

  // A stream that ends gives its place to the next.
  streams.pop_back();
  ASSERT_TRUE(WaitFor([&] { return front->listeners() == 3; }));
  streams.emplace_back(port);
  ASSERT_TRUE(streams.back().Send(listen));
  ASSERT_NE(streams.back().ReadUntil(": connected\n\n"), "");

  const auto stopping = std::chrono::steady_clock::now();
  front->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
  for (auto& s : streams) {
    EXPECT_TRUE(s.ClosedWithin(2s));
    EXPECT_NE(s.buffered().find("0\r\n\r\n"), std::string::npos) << s.buffered();
  }
}

// Calls of a function that is not safe to run concurrently wait for their
// turn without holding a worker: a burst of slow ones leaves the other
// worker free for everything else, every call of the burst is answered, the
// function takes calls again afterwards, and stopping drops the waiting ones.
TEST_F(CrowdedFrontTest, SlowSerialCallsHoldOneWorker) {
  const std::string slow = "POST /kiv-fake/v1/echo?hold=400 HTTP/1.1\r\n" + HostLine() + "Content-Length: 0\r\n\r\n";
  std::vector<RawConnection> burst;
  for (int i = 0; i < 8; ++i) {
    burst.emplace_back(port);
    ASSERT_TRUE(burst.back().Send(slow));
  }
  std::this_thread::sleep_for(100ms);  // the burst is queued
  const auto asked = std::chrono::steady_clock::now();
  RawConnection ordinary(port);
  ASSERT_TRUE(ordinary.Send("GET /kiv-fake/v1/items/7 HTTP/1.1\r\n" + HostLine() + "\r\n"));
  EXPECT_EQ(StatusOf(ordinary.ReadAnswer(10s)), 200);
  // Two workers queued on the function's lock would answer it after 2.4 s.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1200ms);
  for (auto& c : burst) EXPECT_EQ(StatusOf(c.ReadAnswer(10s)), 200);
  EXPECT_EQ(
      StatusOf(RawExchange(port, "POST /kiv-fake/v1/echo HTTP/1.1\r\n" + HostLine() + "Content-Length: 0\r\n\r\n")),
      200);

  for (auto& c : burst) ASSERT_TRUE(c.Send(slow));
  std::this_thread::sleep_for(100ms);
  const auto stopping = std::chrono::steady_clock::now();
  front->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
  for (auto& c : burst) EXPECT_TRUE(c.ClosedWithin(2s));
}

}  // namespace
}  // namespace kivhost
