// The chat plugin loaded by the reference host: its endpoints, the calls it
// makes to the summoner and chat services (the host's simulated peers, or a
// scripted stand-in where a failure is needed) and the relay of their events.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "host.h"
#include "peers.h"

namespace kivhost::e2e {
namespace {

constexpr const char* kChat = "kiv-game-client-chat";
constexpr int32_t kErrorLevel = 2;

using Lines = std::vector<std::string>;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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
    ASSERT_EQ(loaded.name, kChat);
    ASSERT_TRUE(host_->Initialize());
    records_->Mark();
  }

  // The scripted services' answers, by "METHOD /path".
  void Script(const json& answers) {
    Answer a = host_->Dispatch(Request("PUT", "/kiv-e2e-stub/v1/script", "application/json", answers.dump()));
    ASSERT_FALSE(a.error) << a.errorText;
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

// ---------------------------------------------------------------------------
// Registration and start-up

TEST_F(ChatTest, DescribesItsEndpointsTypeAndPublishedResources) {
  Start();
  const json api = host_->DescribeApi();
  const std::string text = api.dump();
  for (const char* name :
       {"PostKivGameClientChatV1InstantMessages", "PostKivGameClientChatV1PartyMessages",
        "GetKivGameClientChatV1IgnoredSummoners", "PostKivGameClientChatV1IgnoredSummoners",
        "DeleteKivGameClientChatV1IgnoredSummoners", "GetKivGameClientChatV1Buddies",
        "KivGameClientChatGameClientChatMessageResource", "OnJsonApiEvent_kiv-game-client-chat_v1_instant-messages",
        "OnJsonApiEvent_kiv-game-client-chat_v1_party-messages", "OnJsonApiEvent_kiv-game-client-chat_v1_aas-messages",
        "OnJsonApiEvent_kiv-game-client-chat_v1_ignored-summoners", "OnJsonApiEvent_kiv-game-client-chat_v1_buddies"}) {
    EXPECT_TRUE(Contains(text, std::string("\"") + name + "\"")) << name;
  }
  // The message type has exactly its two fields, in order.
  std::vector<std::string> fields;
  for (const json& plugin : api["plugins"]) {
    for (const json& type : plugin["types"]) {
      if (type["name"] != "KivGameClientChatGameClientChatMessageResource") continue;
      for (const json& field : type["fields"]) fields.push_back(field["name"]);
    }
  }
  EXPECT_EQ(fields, (Lines{"fromSummonerName", "body"})) << text;
}

TEST_F(ChatTest, StartUpReadsTheSessionFirstAndPublishesTheReminderThatExists) {
  json seed = json::parse(DefaultPeerSeed());
  seed["playtimeReminder"] = "Time for a break";
  host_ = std::make_unique<Host>(QuietOptions(seed));
  PluginRecords records(*host_, kChat);
  records.Mark();
  ASSERT_TRUE(host_->Load(KIV_CHAT_PLUGIN).ok);
  ASSERT_TRUE(host_->Initialize());

  EXPECT_EQ(records.RequestLines(), (Lines{"GET /kiv-login/v1/session", "GET /kiv-kr-playtime-reminder/v1/message"}));
  EXPECT_EQ(records.Published(),
            std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_aas-messages",
                                            "/kiv-game-client-chat/v1/aas-messages", "Create", "Time for a break")});
  EXPECT_EQ(records.GenericEventCount(), 1u);

  std::vector<std::string> subscribed;
  for (const json& s : host_->Subscriptions()) {
    const std::string name = s["name"];
    if (s["plugin"] == kChat && name.rfind("OnJsonApiEvent_", 0) == 0) subscribed.push_back(name);
  }
  EXPECT_EQ(subscribed, (Lines{"OnJsonApiEvent_kiv-login_v1_session", "OnJsonApiEvent_kiv-chat_v1_conversations",
                               "OnJsonApiEvent_kiv-chat_v1_blocked-players", "OnJsonApiEvent_kiv-chat_v1_friends",
                               "OnJsonApiEvent_kiv-kr-playtime-reminder_v1_message"}));
  // The own id came from the session read at start-up: an own message is not relayed.
  records.Mark();
  Resource("/kiv-chat/v1/conversations/42/messages/1", "Create",
           {{"type", "chat"}, {"fromId", 1u}, {"body", "mine"}, {"timestamp", "9999-01-01T00:00:00.000Z"}});
  EXPECT_TRUE(records.Requests().empty());
}

// ---------------------------------------------------------------------------
// Outgoing operations

TEST_F(ChatTest, SendingToAPlayerWithAConversationMakesThreeRequests) {
  Start();
  Answer a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Ann&message=hello%20there");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_TRUE(a.body.is_null());
  const auto sent = records_->Requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].method + " " + sent[0].url, "GET /kiv-summoner/v1/summoners");
  EXPECT_EQ(sent[0].items, json::parse(R"([{"value": "Ann"}])"));
  EXPECT_EQ(sent[1].method + " " + sent[1].url, "GET /kiv-chat/v1/conversations/42");
  EXPECT_TRUE(sent[1].items.empty());
  EXPECT_EQ(sent[2].method + " " + sent[2].url, "POST /kiv-chat/v1/conversations/42/messages");
  EXPECT_EQ(sent[2].items, json::parse(R"([{"value": {"body": "hello there"}}])"));
  EXPECT_TRUE(Errors().empty());
  // The message the plugin posted comes back as the user's own: not relayed.
  EXPECT_TRUE(records_->Published().empty());
}

TEST_F(ChatTest, SendingWithoutAConversationCreatesOneFirst) {
  Start();
  // An empty text is refused in the query; another plugin can send it as a named item.
  Call empty = Request("POST", "/kiv-game-client-chat/v1/instant-messages");
  empty.items = {Item{"summonerName", "Cid"}, Item{"message", ""}};
  Answer a = host_->Dispatch(empty);
  host_->WaitIdle();
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(records_->RequestLines(),
            (Lines{"GET /kiv-summoner/v1/summoners", "GET /kiv-chat/v1/conversations/44",
                   "POST /kiv-chat/v1/conversations", "POST /kiv-chat/v1/conversations/44/messages"}));
  const auto sent = records_->Requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2].items, json::parse(R"([{"value": {"id": "44", "type": "chat"}}])"));
  // An empty text is posted as it is.
  EXPECT_EQ(sent[3].items, json::parse(R"([{"value": {"body": ""}}])"));
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ(host_->peers()->State()["conversations"].size(), 2u);
}

TEST_F(ChatTest, AFailedLookupIsOneLogLineAndTheGameClientSeesSuccess) {
  Start();
  Answer a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Nobody&message=hi");
  EXPECT_FALSE(a.error);
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners"});
  EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner id for \"Nobody\" - Error response for GET "
                            "/kiv-summoner/v1/summoners: No summoner named 'Nobody'"});
}

TEST_F(ChatTest, FailuresAfterTheLookupStopWhereTheyHappen) {
  Start(nullptr, true);
  const json lookup = {{"body", {{"summonerId", 44}}}};
  // The conversation can neither be read nor created: no message is posted.
  Script({{"GET /kiv-summoner/v1/summoners", lookup},
          {"GET /kiv-chat/v1/conversations/44", {{"error", "gone"}, {"status", 404}}},
          {"POST /kiv-chat/v1/conversations", {{"error", "store down"}, {"status", 503}}}});
  Answer a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Cid&message=hi");
  EXPECT_FALSE(a.error);
  EXPECT_EQ(records_->RequestLines(), (Lines{"GET /kiv-summoner/v1/summoners", "GET /kiv-chat/v1/conversations/44",
                                             "POST /kiv-chat/v1/conversations"}));
  EXPECT_EQ(Errors(), Lines{"Couldn't create a conversation with \"Cid\" - Error response for POST "
                            "/kiv-chat/v1/conversations: store down"});

  // The message itself is refused.
  Script({{"GET /kiv-summoner/v1/summoners", lookup},
          {"GET /kiv-chat/v1/conversations/44", {{"body", {{"id", "44"}}}}},
          {"POST /kiv-chat/v1/conversations/44/messages", {{"error", "muted"}, {"status", 403}}}});
  a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Cid&message=hi");
  EXPECT_FALSE(a.error);
  EXPECT_EQ(records_->Requests().size(), 3u);
  EXPECT_EQ(Errors(), Lines{"Couldn't post a new message to a conversation with \"Cid\" - Error response for POST "
                            "/kiv-chat/v1/conversations/44/messages: muted"});
}

TEST_F(ChatTest, ALookupWithoutAUsableIdAddressesNoConversation) {
  Start(nullptr, true);
  for (const json& id : {json(-5), json(0), json("42"), json(nullptr), json(1.5)}) {
    json answer = {{"displayName", "Odd"}};
    if (!id.is_null()) answer["summonerId"] = id;
    Script({{"GET /kiv-summoner/v1/summoners", {{"body", answer}}}});
    Answer a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Odd&message=hi");
    EXPECT_FALSE(a.error);
    EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners"}) << id;
    EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner id for \"Odd\" - The answer holds no usable summonerId."})
        << id;
    Send("DELETE", "/kiv-game-client-chat/v1/ignored-summoners?summonerName=Odd");
    EXPECT_EQ(records_->Requests().size(), 2u) << id;
  }
}

TEST_F(ChatTest, ArgumentsComeFromTheQueryOrNamedItemsButNotTheBody) {
  Start();
  Answer a = host_->Dispatch(Request("POST", "/kiv-game-client-chat/v1/instant-messages", "application/json",
                                     R"({"summonerName": "Ann", "message": "hi"})"));
  EXPECT_TRUE(a.error);
  EXPECT_EQ(a.errorText, "A value for 'summonerName' is required.");
  EXPECT_TRUE(records_->Requests().empty());

  Call named = Request("POST", "/kiv-game-client-chat/v1/instant-messages");
  named.items = {Item{"summonerName", "Ann"}, Item{"message", "from a plugin"}};
  a = host_->Dispatch(named);
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(records_->Requests().size(), 3u);

  a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Ann");
  EXPECT_TRUE(a.error);
  EXPECT_EQ(a.errorText, "A value for 'message' is required.");
}

TEST_F(ChatTest, HostileNamesAndTextsAreCarriedVerbatim) {
  Start();
  // Format directives, quotes and a percent-encoded zero byte in the name.
  Answer a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=%25s%25n%22x%22&message=%25s");
  EXPECT_FALSE(a.error);
  EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner id for \"%s%n\"x\"\" - Error response for GET "
                            "/kiv-summoner/v1/summoners: No summoner named '%s%n\"x\"'"});
  a = Send("POST", "/kiv-game-client-chat/v1/instant-messages?summonerName=Ann&message=%25s%25n%00tail");
  EXPECT_FALSE(a.error);
  const auto sent = records_->Requests();
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(Contains(sent.back().items.dump(), "%s%n")) << sent.back().items;
}

TEST_F(ChatTest, PartyMessagesAndAddingIgnoredSummonersDoNothing) {
  Start();
  EXPECT_FALSE(Send("POST", "/kiv-game-client-chat/v1/party-messages?message=gg").error);
  EXPECT_FALSE(Send("POST", "/kiv-game-client-chat/v1/ignored-summoners?summonerName=Ann").error);
  EXPECT_TRUE(records_->Requests().empty());
  EXPECT_TRUE(records_->Published().empty());
  EXPECT_TRUE(records_->Lines().empty());
}

TEST_F(ChatTest, UnignoringDeletesTheBlockAndRelaysItsRemoval) {
  Start();
  EXPECT_FALSE(Send("DELETE", "/kiv-game-client-chat/v1/ignored-summoners?summonerName=Bob").error);
  // The peers' Delete event comes back: the removal is announced under the name behind the id.
  EXPECT_EQ(records_->RequestLines(), (Lines{"GET /kiv-summoner/v1/summoners", "DELETE /kiv-chat/v1/blocked-players/43",
                                             "GET /kiv-summoner/v1/summoners/43"}));
  EXPECT_EQ(records_->Published(),
            std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_ignored-summoners",
                                            "/kiv-game-client-chat/v1/ignored-summoners/Bob", "Delete", nullptr)});
  EXPECT_TRUE(Errors().empty());

  records_->Mark();
  EXPECT_FALSE(Send("DELETE", "/kiv-game-client-chat/v1/ignored-summoners?summonerName=Ann").error);
  EXPECT_EQ(Errors(), Lines{"Couldn't unblock \"Ann\" - Error response for DELETE /kiv-chat/v1/blocked-players/42: "
                            "No entry '42'"});
}

TEST_F(ChatTest, ListsComeFromThePeersInTheirOrder) {
  Start();
  EXPECT_EQ(Send("GET", "/kiv-game-client-chat/v1/buddies").body, json::parse(R"(["Ann", "Cid"])"));
  EXPECT_EQ(Send("GET", "/kiv-game-client-chat/v1/ignored-summoners").body, json::parse(R"(["Bob"])"));
  EXPECT_EQ(records_->RequestLines(), (Lines{"GET /kiv-chat/v1/friends", "GET /kiv-chat/v1/blocked-players"}));
  EXPECT_TRUE(Errors().empty());
}

TEST_F(ChatTest, BrokenListsGiveTheValidNamesAndOneLine) {
  Start(nullptr, true);
  struct Case {
    json answer;
    json names;
    bool malformed;
  };
  const std::vector<Case> cases = {
      {{{"body", json::parse(R"([{"name": "A"}, {"name": ""}, {"id": 3}, {"name": "B"}, 7, {"name": 5}])")}},
       json::parse(R"(["A", "B"])"),
       true},
      {{{"body", {{"name", "A"}}}}, json::array(), true},
      {{{"body", "A"}}, json::array(), true},
      {{{"body", json::array()}}, json::array(), false},
  };
  for (const Case& c : cases) {
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

TEST_F(ChatTest, AMessageFromAnotherPlayerIsRelayedWithTheSendersName) {
  Start();
  Answer a = Send("POST", "/kiv-chat/v1/conversations/42/messages");
  ASSERT_TRUE(a.error);  // the peers want a body; nothing happens
  a = host_->Dispatch(Request("POST", "/kiv-chat/v1/conversations/42/messages", "application/json",
                              R"({"body": "hi", "fromId": 42, "type": "chat"})"));
  ASSERT_FALSE(a.error) << a.errorText;
  host_->WaitIdle();
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/42"});
  EXPECT_EQ(records_->Published(), std::vector<json>{kRelayedHi});
  EXPECT_EQ(records_->GenericEventCount(), 1u);
}

TEST_F(ChatTest, MessagesAreFilteredByStampTypeSenderAndEventType) {
  Start();
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

  Resource("/kiv-chat/v1/conversations/42/messages/10", "Create", ChatMessage(42u));
  EXPECT_EQ(records_->Published(), std::vector<json>{kRelayedHi});
}

TEST_F(ChatTest, TheSessionDecidesWhichMessagesAreTheUsersOwn) {
  Start();
  // Logged out: an id-less message (id 0) is still taken as own, the former own id is not.
  Resource("/kiv-login/v1/session", "Delete");
  Resource("/kiv-chat/v1/conversations/42/messages/1", "Create", ChatMessage(nullptr));
  EXPECT_TRUE(records_->Requests().empty());
  Resource("/kiv-chat/v1/conversations/1/messages/2", "Create", ChatMessage(1u));
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/1"});

  // A text id is parsed with its base: 0x10 is 16.
  records_->Mark();
  Resource("/kiv-login/v1/session", "Update", {{"summonerId", "0x10"}});
  Resource("/kiv-chat/v1/conversations/16/messages/3", "Create", ChatMessage(16u));
  EXPECT_TRUE(records_->Requests().empty());
  // The largest id survives the trip on every target.
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
  EXPECT_TRUE(records_->Published().empty());
}

TEST_F(ChatTest, SessionIdsOfOddKindsDoNotBreakTheFilter) {
  Start();
  struct Case {
    json id;
    json ownId;  // a message from this id is dropped
  };
  const std::vector<Case> cases = {
      {true, 1u},        {-1, 18446744073709551615ull}, {43.9, 43u},      {"  +42", 42u}, {"017", 15u},
      {"junk", nullptr}, {json::array({42}), nullptr},  {1e300, nullptr},
  };
  for (const Case& c : cases) {
    Resource("/kiv-login/v1/session", "Update", {{"summonerId", c.id}});
    records_->Mark();
    Resource("/kiv-chat/v1/conversations/1/messages/1", "Create", ChatMessage(c.ownId));
    EXPECT_TRUE(records_->Requests().empty()) << c.id;
  }
}

TEST_F(ChatTest, BlockedPlayersAndFriendsAreRepublishedUnderTheirNames) {
  Start();
  Resource("/kiv-chat/v1/blocked-players/44", "Create", {{"name", "Cid"}, {"summonerId", 44}});
  Resource("/kiv-chat/v1/friends/45", "Update", {{"name", "Dee"}});
  Resource("/kiv-chat/v1/friends/46", "Create", {{"name", 46}});
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_ignored-summoners",
                                             "/kiv-game-client-chat/v1/ignored-summoners/Cid", "Create", "Cid"),
                               e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_buddies",
                                             "/kiv-game-client-chat/v1/buddies/Dee", "Create", "Dee"),
                               e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_buddies",
                                             "/kiv-game-client-chat/v1/buddies/", "Create", "")}));
  EXPECT_TRUE(records_->Requests().empty());
}

// Data nested past the depth bound costs the data, not the event: the friend
// is still announced, as one without a name, with one line on why.
TEST_F(ChatTest, AFriendWhoseDataIsTooDeepIsStillAnnounced) {
  Start();
  json deep = "bottom";
  for (int i = 0; i < 600; ++i) deep = json::array({std::move(deep)});
  Resource("/kiv-chat/v1/friends/46", "Create", {{"name", "Eve"}, {"notes", deep}});
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_buddies",
                                             "/kiv-game-client-chat/v1/buddies/", "Create", "")}));
  const Lines warnings = records_->Lines(1);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(Contains(warnings[0],
                       "OnJsonApiEvent_kiv-chat_v1_friends for /kiv-chat/v1/friends/46 is delivered "
                       "without its data"))
      << warnings[0];
}

TEST_F(ChatTest, RemovalsLookUpTheNameBehindTheIdInTheUri) {
  Start();
  Resource("/kiv-chat/v1/blocked-players/0042", "Delete");
  Resource("kiv-chat/v1/friends/43", "Delete");
  Resource("/kiv-chat/v1/friends/44?x=1", "Delete");
  EXPECT_EQ(records_->RequestLines(), (Lines{"GET /kiv-summoner/v1/summoners/42", "GET /kiv-summoner/v1/summoners/43",
                                             "GET /kiv-summoner/v1/summoners/44"}));
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_ignored-summoners",
                                             "/kiv-game-client-chat/v1/ignored-summoners/Ann", "Delete", nullptr),
                               e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_buddies",
                                             "/kiv-game-client-chat/v1/buddies/Bob", "Delete", nullptr),
                               e2e::Resource("OnJsonApiEvent_kiv-game-client-chat_v1_buddies",
                                             "/kiv-game-client-chat/v1/buddies/Cid", "Delete", nullptr)}));

  records_->Mark();
  Resource("/kiv-chat/v1/friends/123abc", "Delete");
  EXPECT_EQ(records_->RequestLines(), Lines{"GET /kiv-summoner/v1/summoners/123"});
  EXPECT_EQ(Errors(), Lines{"Couldn't retrieve a summoner name for id 123 - Error response for GET "
                            "/kiv-summoner/v1/summoners/123: No summoner with id '123'"});
  EXPECT_TRUE(records_->Published().empty());
}

TEST_F(ChatTest, PlaytimeRemindersAreRepublishedWhateverTheirEventType) {
  Start();
  Resource("/kiv-kr-playtime-reminder/v1/message", "Update", "One more hour");
  Resource("/kiv-kr-playtime-reminder/v1/message", "Delete");
  Resource("/kiv-kr-playtime-reminder/v1/message", "Create", {{"not", "a text"}});
  const std::string name = "OnJsonApiEvent_kiv-game-client-chat_v1_aas-messages";
  const std::string uri = "/kiv-game-client-chat/v1/aas-messages";
  EXPECT_EQ(records_->Published(),
            (std::vector<json>{e2e::Resource(name, uri, "Create", "One more hour"),
                               e2e::Resource(name, uri, "Create", ""), e2e::Resource(name, uri, "Create", "")}));
}

}  // namespace
}  // namespace kivhost::e2e
