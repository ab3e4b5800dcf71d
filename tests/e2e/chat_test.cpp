// The chat plugin loaded by the reference host: its start-up, the failures of
// the calls it makes to the summoner and chat services (the host's simulated
// peers, or a scripted stand-in where a failure is needed) and the relay of
// their events. host/scenarios/chat-outgoing.kivs runs its ordinary requests
// through kivhost.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "peers.h"
#include "testing/e2e_support.h"

namespace kivhost::e2e {
namespace {

constexpr const char* kChat = "kiv-game-client-chat";
constexpr int32_t kErrorLevel = 2;

using Lines = std::vector<std::string>;

class ChatTest : public ::testing::Test {
 protected:
  // Loads the chat plugin (and the scripted services when asked), starts it
  // and marks the records after start-up.
  void Start(json seed = nullptr, bool scripted = false) {
    host_ = std::make_unique<Host>(QuietOptions(std::move(seed)));
    records_ = std::make_unique<PluginRecords>(*host_, kChat);
    if (scripted) {
      ASSERT_TRUE(host_->Load(KIV_STUB_PLUGIN).ok);
    }
    auto loaded = host_->Load(KIV_CHAT_PLUGIN);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    ASSERT_TRUE(host_->Initialize());
    records_->Mark();
  }
  // The scripted services' answers, by "METHOD /path".
  void Script(const json& answers) {
    ASSERT_FALSE(host_->Dispatch(Request("PUT", "/kiv-e2e-stub/v1/script", "application/json", answers.dump())).error);
    records_->Mark();
  }
  Answer Send(const std::string& method, const std::string& url) {
    Answer a = host_->Dispatch(Request(method, url));
    host_->WaitIdle();
    return a;
  }
  void Resource(const std::string& uri, const std::string& type, const json& data = nullptr) {
    host_->PublishResource(uri, type, data);
    host_->WaitIdle();
  }
  Lines Errors() const { return records_->Lines(kErrorLevel); }

  std::unique_ptr<Host> host_;
  std::unique_ptr<PluginRecords> records_;
};

TEST_F(ChatTest, StartUpReadsTheSessionFirstAndPublishesTheReminderThatExists) {
  json seed = json::parse(DefaultPeerSeed());
  seed["playtimeReminder"] = "Time for a break";
  host_ = std::make_unique<Host>(QuietOptions(seed));
  PluginRecords records(*host_, kChat);
  ASSERT_TRUE(host_->Load(KIV_CHAT_PLUGIN).ok);
  ASSERT_TRUE(host_->Initialize());
  EXPECT_EQ(records.RequestLines(), (Lines{"GET /kiv-login/v1/session", "GET /kiv-kr-playtime-reminder/v1/message"}));
  EXPECT_EQ(records.Published(),
            std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_aas-messages",
                                            "/kiv-game-client-chat/v1/aas-messages", "Create", "Time for a break")});
  EXPECT_EQ(records.GenericEventCount(), 1u);
  Lines subscribed, declared;
  for (const json& s : host_->Subscriptions()) {
    const std::string name = s["name"];
    if (s["plugin"] == kChat && name.rfind("OnJsonApiEvent_", 0) == 0) subscribed.push_back(name);
  }
  EXPECT_EQ(subscribed, (Lines{"OnJsonApiEvent_kiv-login_v1_session", "OnJsonApiEvent_kiv-chat_v1_conversations",
                               "OnJsonApiEvent_kiv-chat_v1_blocked-players", "OnJsonApiEvent_kiv-chat_v1_friends",
                               "OnJsonApiEvent_kiv-kr-playtime-reminder_v1_message"}));
  const json api = host_->DescribeApi();
  for (const json& event : api["plugins"][0]["events"]) {
    const std::string name = event["name"];
    if (name.rfind("OnJsonApiEvent_kiv-game-client-chat_v1_", 0) == 0) declared.push_back(name.substr(39));
  }
  EXPECT_EQ(declared, (Lines{"instant-messages", "party-messages", "aas-messages", "ignored-summoners", "buddies"}));
  // The own id came from the session read at start-up: an own message is not relayed.
  records.Mark();
  Resource("/kiv-chat/v1/conversations/42/messages/1", "Create",
           {{"type", "chat"}, {"fromId", 1u}, {"body", "mine"}, {"timestamp", "9999-01-01T00:00:00.000Z"}});
  EXPECT_TRUE(records.Requests().empty());
}

TEST_F(ChatTest, ArgumentsComeFromTheQueryOrNamedItemsAndAreCarriedVerbatim) {
  Start();
  Answer a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Ann");
  EXPECT_EQ(a.errorText, "A value for 'message' is required.");
  // Another plugin can send an empty text as a named item; it is posted as it is.
  Call empty = Request("POST", "/kiv-game-client-chat/v1/instant-messages");
  empty.items = {Item{"summonerName", "Cid"}, Item{"message", ""}};
  EXPECT_FALSE(host_->Dispatch(empty).error);
  host_->WaitIdle();
  const auto sent = records_->Requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[3].items, json::parse(R"([{"value": {"body": ""}}])"));
  EXPECT_EQ(host_->peers()->State()["conversations"].size(), 2u);
  // Format directives, quotes and a percent-encoded zero byte, in the name and the text.
  records_->Mark();
  EXPECT_FALSE(
      Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=%25s%25n%22x%22&message=%25s").error);
  EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner id for \"%s%n\"x\"\" - Error response for GET "
                            "/kiv-summoner/v1/summoners: No summoner named '%s%n\"x\"'"});
  EXPECT_FALSE(
      Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Ann&message=%25s%25n%00tail").error);
  EXPECT_EQ(records_->Requests().back().items, json::parse(R"([{"value": {"body": "%s%n"}}])"));
  records_->Mark();
  EXPECT_FALSE(Send("DELETE", "/kiv-game-client-chat/v1/ignored-summoners?summonerName=Ann").error);
  EXPECT_EQ(Errors(), Lines{"Couldn't unblock \"Ann\" - Error response for DELETE /kiv-chat/v1/blocked-players/42: "
                            "No entry '42'"});
}

TEST_F(ChatTest, FailuresAfterTheLookupStopWhereTheyHappen) {
  Start(nullptr, true);
  const json lookup = {{"body", {{"summonerId", 44}}}};
  // The conversation can neither be read nor created: no message is posted.
  Script({{"GET /kiv-summoner/v1/summoners", lookup},
          {"GET /kiv-chat/v1/conversations/44", {{"error", "gone"}, {"status", 404}}},
          {"POST /kiv-chat/v1/conversations", {{"error", "store down"}, {"status", 503}}}});
  EXPECT_FALSE(Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Cid&message=hi").error);
  EXPECT_EQ(records_->RequestLines(), (Lines{"GET /kiv-summoner/v1/summoners", "GET /kiv-chat/v1/conversations/44",
                                             "POST /kiv-chat/v1/conversations"}));
  EXPECT_EQ(Errors(), Lines{"Couldn't create a conversation with \"Cid\" - Error response for POST "
                            "/kiv-chat/v1/conversations: store down"});
  // The message itself is refused.
  Script({{"GET /kiv-summoner/v1/summoners", lookup},
          {"GET /kiv-chat/v1/conversations/44", {{"body", {{"id", "44"}}}}},
          {"POST /kiv-chat/v1/conversations/44/messages", {{"error", "muted"}, {"status", 403}}}});
  EXPECT_FALSE(Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Cid&message=hi").error);
  EXPECT_EQ(records_->Requests().size(), 3u);
  EXPECT_EQ(Errors(), Lines{"Couldn't post a new message to a conversation with \"Cid\" - Error response for POST "
                            "/kiv-chat/v1/conversations/44/messages: muted"});
  // A lookup without a usable id addresses no conversation and unblocks nobody.
  for (const json& id : {json(-5), json(0), json("42"), json(nullptr), json(1.5)}) {
    json answer = {{"displayName", "Odd"}};
    if (!id.is_null()) answer["summonerId"] = id;
    Script({{"GET /kiv-summoner/v1/summoners", {{"body", answer}}}});
    Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Odd&message=hi");
    Send("DELETE", "/kiv-game-client-chat/v1/ignored-summoners?summonerName=Odd");
    EXPECT_EQ(records_->RequestLines(), (Lines{"GET /kiv-summoner/v1/summoners", "GET /kiv-summoner/v1/summoners"}))
        << id;
    EXPECT_EQ(Errors()[0], "Couldn't retrieve a summoner id for \"Odd\" - The answer holds no usable summonerId.")
        << id;
  }
}

TEST_F(ChatTest, BrokenListsGiveTheValidNamesAndOneLine) {
  Start(nullptr, true);
  const struct {
    json answer;
    json names;
    bool malformed;
  } cases[] = {
      {{{"body", json::parse(R"([{"name": "A"}, {"name": ""}, {"id": 3}, {"name": "B"}, 7, {"name": 5}])")}},
       json::parse(R"(["A", "B"])"),
       true},
      {{{"body", {{"name", "A"}}}}, json::array(), true},
      {{{"body", "A"}}, json::array(), true},
      {{{"body", json::array()}}, json::array(), false},
  };
  for (const auto& c : cases) {
    Script({{"GET /kiv-chat/v1/friends", c.answer}, {"GET /kiv-chat/v1/blocked-players", c.answer}});
    EXPECT_EQ(Send("GET", "/kiv-game-client-chat/v1/buddies").body, c.names) << c.answer;
    EXPECT_EQ(Send("GET", "/kiv-game-client-chat/v1/ignored-summoners").body, c.names) << c.answer;
    EXPECT_EQ(Errors(),
              c.malformed ? (Lines{"Your friends list is malformed.", "Your ignore list is malformed."}) : Lines{})
        << c.answer;
  }
  Script({{"GET /nothing", nullptr}});
  Answer a = Send("GET", "/kiv-game-client-chat/v1/buddies");
  EXPECT_FALSE(a.error);
  EXPECT_EQ(a.body, json::array());
  EXPECT_EQ(Send("GET", "/kiv-game-client-chat/v1/ignored-summoners").body, json::array());
  EXPECT_EQ(Errors(),
            (Lines{"Couldn't retrieve your friends list - Error response for GET /kiv-chat/v1/friends: GET "
                   "/kiv-chat/v1/friends is not scripted",
                   "Couldn't retrieve your ignore list - Error response for GET /kiv-chat/v1/blocked-players: GET "
                   "/kiv-chat/v1/blocked-players is not scripted"}));
}

// ---------------------------------------------------------------------------
// Relay

json ChatMessage(json fromId, std::string type = "chat", std::string timestamp = "9999-12-31T23:59:59.999Z") {
  json m{{"type", type}, {"body", "hi"}, {"timestamp", timestamp}};
  if (!fromId.is_null()) m["fromId"] = fromId;
  return m;
}

const json kRelayedHi =
    e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_instant-messages",
                  "/kiv-game-client-chat/v1/instant-messages", "Create", {{"fromSummonerName", "Ann"}, {"body", "hi"}});

TEST_F(ChatTest, MessagesFromOtherPlayersAreRelayedWithTheSendersNameAndOthersFiltered) {
  Start();
  ASSERT_TRUE(Send("POST", "/kiv-chat/v1/conversations/42/messages").error);  // the peers want a body
  ASSERT_FALSE(host_
                   ->Dispatch(Request("POST", "/kiv-chat/v1/conversations/42/messages", "application/json",
                                      R"({"body": "hi", "fromId": 42, "type": "chat"})"))
                   .error);
  host_->WaitIdle();
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/42"});
  EXPECT_EQ(records_->Published(), std::vector<json>{kRelayedHi});
  EXPECT_EQ(records_->GenericEventCount(), 1u);

  records_->Mark();
  Resource("/kiv-chat/v1/conversations/42/messages/1", "Create", ChatMessage(42u, "chat", "2000-01-01T00:00:00.000Z"));
  Resource("/kiv-chat/v1/conversations/42/messages/2", "Create", ChatMessage(42u, "chat", ""));
  json unstamped = ChatMessage(42u);
  unstamped.erase("timestamp");
  Resource("/kiv-chat/v1/conversations/42/messages/3", "Create", unstamped);
  Resource("/kiv-chat/v1/conversations/42/messages/4", "Create", ChatMessage(42u, "groupchat"));
  Resource("/kiv-chat/v1/conversations/42/messages/5", "Create", ChatMessage(42u, "Chat"));
  Resource("/kiv-chat/v1/conversations/42/messages/6", "Create", ChatMessage(1u));
  Resource("/kiv-chat/v1/conversations/42/messages/7", "Update", ChatMessage(42u));
  Resource("/kiv-chat/v1/conversations/42/messages/8", "Delete");
  // Not a message path at all: nothing matches the pattern.
  Resource("/kiv-chat/v1/conversations/42/messages/", "Create", ChatMessage(42u));
  Resource("/kiv-chat/v1/conversations/a/b/messages/9", "Create", ChatMessage(42u));
  Resource("/kiv-chat/v1/conversations/42/messages/9", "Create", "not a record");
  EXPECT_TRUE(records_->Requests().empty());
  EXPECT_TRUE(records_->Published().empty());
}

TEST_F(ChatTest, TheSessionDecidesWhichMessagesAreTheUsersOwn) {
  Start();
  // Logged out: an id-less message (id 0) is still taken as own, the former own id is not.
  Resource("/kiv-login/v1/session", "Delete");
  Resource("/kiv-chat/v1/conversations/42/messages/1", "Create", ChatMessage(nullptr));
  EXPECT_TRUE(records_->Requests().empty());
  Resource("/kiv-chat/v1/conversations/1/messages/2", "Create", ChatMessage(1u));
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/1"});
  // The largest id survives the trip on every target.
  records_->Mark();
  Resource("/kiv-login/v1/session", "Create", {{"summonerId", 18446744073709551615ull}});
  Resource("/kiv-chat/v1/conversations/1/messages/4", "Create", ChatMessage(18446744073709551615ull));
  Resource("/kiv-chat/v1/conversations/1/messages/5", "Create", ChatMessage(18446744073709551614ull));
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/18446744073709551614"});
  // A fromId that is no unsigned number reads as 0, which is nobody's here.
  records_->Mark();
  Resource("/kiv-chat/v1/conversations/1/messages/6", "Create", ChatMessage("42"));
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/0"});
  EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner name for id 0 - Error response for GET "
                            "/kiv-summoner/v1/summoners/0: No summoner with id '0'"});
  // Session ids of odd kinds: a message from the id they stand for is dropped.
  const std::vector<std::pair<json, json>> ids = {
      {"0x10", 16u}, {true, 1u},        {-1, 18446744073709551615ull}, {43.9, 43u},      {"  +42", 42u},
      {"017", 15u},  {"junk", nullptr}, {json::array({42}), nullptr},  {1e300, nullptr},
  };
  for (const auto& [id, own] : ids) {
    Resource("/kiv-login/v1/session", "Update", {{"summonerId", id}});
    records_->Mark();
    Resource("/kiv-chat/v1/conversations/1/messages/1", "Create", ChatMessage(own));
    EXPECT_TRUE(records_->Requests().empty()) << id;
  }
  EXPECT_TRUE(records_->Published().empty());
}

TEST_F(ChatTest, BlockedPlayersFriendsAndRemindersAreRepublishedUnderTheirNames) {
  Start();
  Resource("/kiv-chat/v1/blocked-players/44", "Create", {{"name", "Cid"}, {"summonerId", 44}});
  Resource("/kiv-chat/v1/friends/45", "Update", {{"name", "Dee"}});
  Resource("/kiv-chat/v1/friends/46", "Create", {{"name", 46}});
  const std::string ignored = "OnJsonApiEvent_kiv-game-client-chat_v1_ignored-summoners";
  const std::string buddies = "OnJsonApiEvent_kiv-game-client-chat_v1_buddies";
  const std::string aas = "OnJsonApiEvent_kiv-game-client-chat_v1_aas-messages";
  const std::string uri = "/kiv-game-client-chat/v1/";
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource(ignored, uri + "ignored-summoners/Cid", "Create", "Cid"),
                               e2e::Resource(buddies, uri + "buddies/Dee", "Create", "Dee"),
                               e2e::Resource(buddies, uri + "buddies/", "Create", "")}));
  EXPECT_TRUE(records_->Requests().empty());
  // Removals look up the name behind the id in the uri.
  records_->Mark();
  Resource("/kiv-chat/v1/blocked-players/0042", "Delete");
  Resource("kiv-chat/v1/friends/43", "Delete");
  Resource("/kiv-chat/v1/friends/44?x=1", "Delete");
  Resource("/kiv-chat/v1/friends/123abc", "Delete");
  EXPECT_EQ(records_->RequestLines(),
            (Lines{"GET /kiv-summoner/v1/summoners/42", "GET /kiv-summoner/v1/summoners/43",
                   "GET /kiv-summoner/v1/summoners/44", "GET /kiv-summoner/v1/summoners/123"}));
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource(ignored, uri + "ignored-summoners/Ann", "Delete", nullptr),
                               e2e::Resource(buddies, uri + "buddies/Bob", "Delete", nullptr),
                               e2e::Resource(buddies, uri + "buddies/Cid", "Delete", nullptr)}));
  EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner name for id 123 - Error response for GET "
                            "/kiv-summoner/v1/summoners/123: No summoner with id '123'"});
  // Playtime reminders, whatever their event type.
  records_->Mark();
  Resource("/kiv-kr-playtime-reminder/v1/message", "Update", "One more hour");
  Resource("/kiv-kr-playtime-reminder/v1/message", "Delete");
  Resource("/kiv-kr-playtime-reminder/v1/message", "Create", {{"not", "a text"}});
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource(aas, uri + "aas-messages", "Create", "One more hour"),
                               e2e::Resource(aas, uri + "aas-messages", "Create", ""),
                               e2e::Resource(aas, uri + "aas-messages", "Create", "")}));
  // Data nested past the depth bound costs the data, not the event: the
  // friend is still announced, as one without a name, with one line on why.
  records_->Mark();
  json deep = "bottom";
  for (int i = 0; i < 600; ++i) deep = json::array({std::move(deep)});
  Resource("/kiv-chat/v1/friends/46", "Create", {{"name", "Eve"}, {"notes", deep}});
  EXPECT_EQ(records_->Published(), std::vector<json>{e2e::Resource(buddies, uri + "buddies/", "Create", "")});
  const Lines warnings = records_->Lines(1);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("OnJsonApiEvent_kiv-chat_v1_friends for /kiv-chat/v1/friends/46 is delivered "
                             "without its data"),
            std::string::npos)
      << warnings[0];
}

}  // namespace
}  // namespace kivhost::e2e
