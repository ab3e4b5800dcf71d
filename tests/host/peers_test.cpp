// The simulated peers: their resources, the events each change fires, the
// seed they start from and the bytes they may hold. host/scenarios/fake-peers.kivs
// walks the common paths through kivhost.
#include "peers.h"

#include <gtest/gtest.h>

#include <regex>

#include "host.h"

namespace kivhost {
namespace {

class PeersTest : public ::testing::Test {
 protected:
  static HostOptions Options() {
    HostOptions o;
    o.logStream = nullptr;
    return o;
  }
  int Status(const std::string& method, const std::string& url, const std::string& body = "",
             const std::string& type = "application/json") {
    return Send(method, url, body, type).HttpStatus();
  }
  Answer Send(const std::string& method, const std::string& url, const std::string& body = "",
              const std::string& type = "application/json") {
    return host.Dispatch(Call{method, url, {}, {}, body.empty() ? "" : type, body});
  }
  Answer WithItem(const std::string& method, const std::string& url, json item) {
    return host.Dispatch(Call{method, url, {Item{std::nullopt, std::move(item)}}, {}, "", ""});
  }
  // The resource events since `mark`, under their path-specific names only;
  // each also went out under the generic name.
  std::vector<json> Resources(uint64_t mark) {
    std::vector<json> out;
    size_t generic = 0;
    for (const auto& e : host.Events(mark)) {
      if (e.name == "OnJsonApiEvent") {
        ++generic;
      } else {
        out.push_back(e.ToJson());
        EXPECT_EQ(e.name, EventNameOfPath(e.payload["uri"].get<std::string>()));
      }
    }
    EXPECT_EQ(generic, out.size());
    return out;
  }
  Host host{Options()};
};

TEST_F(PeersTest, SummonerDirectoryAndSession) {
  Answer byItem = WithItem("GET", "/kiv-summoner/v1/summoners", "Ann");
  EXPECT_EQ(byItem.body, json::parse(R"({"summonerId": 42, "displayName": "Ann"})"));
  EXPECT_TRUE(byItem.body["summonerId"].is_number_unsigned());  // plugins take only an unsigned id
  EXPECT_EQ(WithItem("GET", "/kiv-summoner/v1/summoners", "Nobody").HttpStatus(), 404);
  EXPECT_EQ(WithItem("GET", "/kiv-summoner/v1/summoners", 42).HttpStatus(), 400);
  EXPECT_EQ(Status("GET", "/kiv-summoner/v1/summoners/999"), 404);
  uint64_t mark = host.Mark();
  EXPECT_EQ(Status("POST", "/kiv-summoner/v1/summoners", R"({"summonerId": 50, "displayName": "Eve"})"), 201);
  EXPECT_EQ(Status("POST", "/kiv-summoner/v1/summoners", R"({"summonerId": 51, "displayName": "Eve"})"), 409);
  EXPECT_EQ(Resources(mark).size(), 1u);

  mark = host.Mark();
  EXPECT_EQ(Status("PUT", "/kiv-login/v1/session", R"({"summonerId": 999})"), 404);
  EXPECT_EQ(Status("PUT", "/kiv-login/v1/session", R"({"summonerId": "x"})"), 400);
  EXPECT_EQ(Status("PUT", "/kiv-login/v1/session", R"({"summonerId": 42})", "Application/JSON; charset=utf-8"), 200);
  EXPECT_EQ(Status("PUT", "/kiv-login/v1/session", R"({"summonerId": 42})"), 200);  // no change, no event
  EXPECT_EQ(Status("DELETE", "/kiv-login/v1/session"), 204);
  EXPECT_EQ(Status("DELETE", "/kiv-login/v1/session"), 404);
  EXPECT_EQ(Status("PUT", "/kiv-login/v1/session", R"({"summonerId": 43})"), 201);
  auto events = Resources(mark);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["eventType"], "Update");
  EXPECT_EQ(events[1]["eventType"], "Delete");
  EXPECT_TRUE(events[1]["data"].is_null());
  EXPECT_EQ(events[2]["eventType"], "Create");
}

TEST_F(PeersTest, ConversationsAndMessages) {
  uint64_t mark = host.Mark();
  EXPECT_EQ(WithItem("GET", "/kiv-chat/v1/conversations/43", nullptr).HttpStatus(), 404);
  EXPECT_EQ(WithItem("POST", "/kiv-chat/v1/conversations", json{{"id", "43"}, {"type", "chat"}}).HttpStatus(), 201);
  EXPECT_EQ(WithItem("POST", "/kiv-chat/v1/conversations", json{{"id", "43"}, {"type", "chat"}}).HttpStatus(), 200);
  EXPECT_EQ(WithItem("POST", "/kiv-chat/v1/conversations", json{{"id", "0"}, {"type", "chat"}}).HttpStatus(), 404);
  EXPECT_EQ(WithItem("POST", "/kiv-chat/v1/conversations", json{{"type", "chat"}}).HttpStatus(), 400);
  auto created = Resources(mark);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0]["uri"], "/kiv-chat/v1/conversations/43");

  mark = host.Mark();
  ASSERT_EQ(WithItem("POST", "/kiv-chat/v1/conversations/43/messages", json{{"body", "hi"}}).HttpStatus(), 201);
  ASSERT_EQ(Status("POST", "/kiv-chat/v1/conversations/43/messages", R"({"body": "yo", "fromId": 43})"), 201);
  EXPECT_EQ(WithItem("POST", "/kiv-chat/v1/conversations/43/messages", json{{"text", "x"}}).HttpStatus(), 400);
  auto events = Resources(mark);
  ASSERT_EQ(events.size(), 2u);
  const json& m = events[0]["data"];
  EXPECT_EQ(events[0]["uri"], "/kiv-chat/v1/conversations/43/messages/" + m["id"].get<std::string>());
  EXPECT_TRUE(m["fromId"].is_number_unsigned());
  EXPECT_EQ(m["fromId"], 1);  // the logged-in user
  EXPECT_TRUE(
      std::regex_match(m["timestamp"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
}

TEST_F(PeersTest, BlockedPlayersFriendsPlaytimeAndMethods) {
  EXPECT_EQ(Send("GET", "/kiv-chat/v1/blocked-players").body,
            json::parse(R"([{"summonerId": 43, "id": "43", "name": "Bob"}])"));
  const uint64_t mark = host.Mark();
  EXPECT_EQ(Status("POST", "/kiv-chat/v1/blocked-players", R"({"summonerId": 45})"), 201);
  EXPECT_EQ(Status("POST", "/kiv-chat/v1/blocked-players", R"({"summonerId": 45})"), 200);
  EXPECT_EQ(Status("POST", "/kiv-chat/v1/blocked-players", R"({"summonerId": 777})"), 404);
  EXPECT_EQ(Status("DELETE", "/kiv-chat/v1/friends/42"), 204);
  EXPECT_EQ(Status("GET", "/kiv-chat/v1/friends/42"), 404);
  EXPECT_EQ(Status("GET", "/kiv-kr-playtime-reminder/v1/message"), 404);
  EXPECT_EQ(Status("PUT", "/kiv-kr-playtime-reminder/v1/message", R"("Take a break")"), 201);
  EXPECT_EQ(Status("PUT", "/kiv-kr-playtime-reminder/v1/message", R"({"text": 1})"), 400);
  EXPECT_EQ(Status("PUT", "/kiv-kr-playtime-reminder/v1/message", R"("Again")"), 200);
  auto events = Resources(mark);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], json::parse(R"({"seq": )" + std::to_string(events[0]["seq"].get<uint64_t>()) +
                                   R"(, "name": "OnJsonApiEvent_kiv-chat_v1_blocked-players", "source": "peers",
      "uri": "/kiv-chat/v1/blocked-players/45", "eventType": "Create",
      "data": {"summonerId": 45, "id": "45", "name": "Dee"}})"));
  EXPECT_EQ(events[1]["uri"], "/kiv-chat/v1/friends/42");
  EXPECT_EQ(events[3]["eventType"], "Update");
  EXPECT_EQ(host.peers()->State()["blockedPlayers"], json({43, 45}));
  EXPECT_EQ(Status("PUT", "/kiv-login/v1/session", "summonerId=1", "application/x-www-form-urlencoded"), 415);
  Answer wrong = Send("PATCH", "/kiv-chat/v1/friends");
  EXPECT_EQ(wrong.HttpStatus(), 405);
  EXPECT_EQ(wrong.allowed, (std::vector<std::string>{"GET", "POST"}));
}

TEST(PeersSeedTest, SeedsFromJsonAndReportsWhatItSkips) {
  HostOptions o;
  o.logStream = nullptr;
  o.peerSeed = json::parse(R"({
    "summoners": [{"summonerId": 7, "displayName": "Sev"}, {"summonerId": "x"}, {"summonerId": 7, "displayName": "Dup"}],
    "session": {"summonerId": 8},
    "friends": [7, 9],
    "conversations": [{"id": 7, "type": 3, "messages": ["hello"]}],
    "playtimeReminder": "Stretch"
  })");
  Host host(o);
  const json state = host.peers()->State();
  EXPECT_EQ(state["summoners"].size(), 1u);
  EXPECT_TRUE(state["session"].is_null());
  EXPECT_EQ(state["friends"], json({7}));
  EXPECT_EQ(state["conversations"][0]["type"], "chat");
  EXPECT_EQ(state["conversations"][0]["messages"][0]["body"], "hello");
  EXPECT_EQ(state["playtimeReminder"], "Stretch");
  EXPECT_EQ(host.peers()->seedErrors().size(), 4u);
  EXPECT_EQ(host.Logs().size(), 4u);  // one warning each
  o.peerSeed = nullptr;
  EXPECT_TRUE(Host(o).peers()->seedErrors().empty());  // the built-in seed is valid
}

// The stores are bounded by bytes, not records: a conversation keeps its
// newest messages within its share, and what would pass the whole store's
// bytes is refused without pushing anybody else's records out.
TEST(PeersBoundsTest, StoresStayWithinTheirBytes) {
  PeerLimits limits;
  limits.storeBytes = 64 * 1024;
  limits.conversationBytes = 16 * 1024;
  Peers peers(json(), nullptr, limits);
  auto send = [&](const std::string& method, const std::string& path, json input) {
    PeerRequest r;
    r.method = method;
    r.path = path;
    r.hasInput = !input.is_null();
    r.input = std::move(input);
    return peers.Handle(r);
  };
  const std::string messages = "/kiv-chat/v1/conversations/42/messages";
  const std::string text(1000, 'm');
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(send("POST", messages, {{"body", std::to_string(i) + text}}).HttpStatus(), 201) << i;
  }
  const json history = send("GET", messages, nullptr).body;
  EXPECT_LT(DumpJson(history).size(), limits.conversationBytes);
  ASSERT_GT(history.size(), 5u);
  EXPECT_EQ(history.back()["body"], "99" + text);
  EXPECT_EQ(history.front()["body"], std::to_string(100 - history.size()) + text);
  EXPECT_EQ(send("POST", messages, {{"body", std::string(20000, 'x')}}).HttpStatus(), 413);
  EXPECT_EQ(send("GET", messages, nullptr).body, history);
  Answer last;
  size_t added = 0;
  for (uint64_t id = 100; id < 1000; ++id, ++added) {
    last = send("POST", "/kiv-summoner/v1/summoners",
                {{"summonerId", id}, {"displayName", "S" + std::to_string(id) + std::string(500, 'n')}});
    if (last.HttpStatus() != 201) break;
  }
  EXPECT_EQ(last.HttpStatus(), 507) << last.errorText;
  EXPECT_GT(added, 50u);
  EXPECT_LE(peers.bytes(), limits.storeBytes);
  EXPECT_LT(DumpJson(peers.State()).size(), limits.storeBytes);
  EXPECT_EQ(send("PUT", "/kiv-kr-playtime-reminder/v1/message", std::string(2000, 'r')).HttpStatus(), 507);
  // A full store still takes a message whose own conversation makes room,
  // but not one that has nothing of its own to give up.
  ASSERT_EQ(send("POST", messages, {{"body", "100" + text}}).HttpStatus(), 201);
  EXPECT_EQ(send("GET", messages, nullptr).body.back()["body"], "100" + text);
  const Answer other = send("POST", "/kiv-chat/v1/conversations", {{"id", 44}});
  if (other.HttpStatus() == 201) {
    EXPECT_EQ(send("POST", "/kiv-chat/v1/conversations/44/messages", {{"body", text}}).HttpStatus(), 507);
  } else {
    EXPECT_EQ(other.HttpStatus(), 507);
  }
  EXPECT_EQ(send("GET", messages, nullptr).body.size(), history.size());
  EXPECT_LE(peers.bytes(), limits.storeBytes);
}

}  // namespace
}  // namespace kivhost
