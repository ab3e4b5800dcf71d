// Events: host event names, counted subscriptions, the host's callback,
// dispatch by path with wildcards, publishing and typed handlers.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/test_plugin.h"

namespace kiv::framework::testing {
namespace {

using Strings = std::vector<std::string>;

TEST(EventNames, HostNamesKeepThreeSegmentsAndStarsStandForPartOfOne) {
  EXPECT_EQ(HostEventName("/kiv-chat/v1/conversations/*/messages/*"), "OnJsonApiEvent_kiv-chat_v1_conversations");
  EXPECT_EQ(HostEventName("/kiv-platform-config/v1/namespaces/chat/a/b"),
            "OnJsonApiEvent_kiv-platform-config_v1_namespaces_chat_a");
  EXPECT_EQ(HostEventName(""), "OnJsonApiEvent");
  const char* pattern = "/kiv-chat/v1/conversations/*/messages/*";
  EXPECT_TRUE(WildcardMatch(pattern, "/kiv-chat/v1/conversations/a1/messages/b2"));
  EXPECT_FALSE(WildcardMatch(pattern, "/kiv-chat/v1/conversations/a1/messages/"));
  EXPECT_FALSE(WildcardMatch(pattern, "/kiv-chat/v1/conversations/a/b/messages/c"));
  EXPECT_TRUE(WildcardMatch("/a/*/c", "/a//c"));  // a "*" before "/" may match nothing
}

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(loaded.Initialize()); }

  int SubscriptionsOf(const std::string& name) const {
    int count = 0;
    for (const RecordedSubscription& s : loaded.host.subscriptions) count += s.name == name ? 1 : 0;
    return count;
  }
  bool DeliverEvent(const std::string& name, const char* uri, const char* type, HostValue data = HostValues::Zero()) {
    HostValue payload = values.Structure({{"data", data}, {"eventType", values.Text(type)}, {"uri", values.Text(uri)}});
    return loaded.host.Deliver(name, payload);
  }

  const std::string friends = "OnJsonApiEvent_kiv-chat_v1_friends";
  LoadedPlugin loaded;
  HostValues values;
};

TEST_F(EventTest, PathsSharingAHostEventNameSubscribeOnceAndCountDown) {
  loaded.plugin->SubscribeEvent("/kiv-chat/v1/friends/*");
  loaded.plugin->SubscribeEvent("/kiv-chat/v1/friends");
  EXPECT_EQ(SubscriptionsOf(friends), 1);
  EXPECT_EQ(loaded.plugin->SubscriptionCount(friends), 2u);
  loaded.plugin->UnsubscribeEvent("/kiv-chat/v1/friends");
  EXPECT_TRUE(loaded.host.unsubscriptions.empty());
  loaded.plugin->UnsubscribeEvent("/kiv-chat/v1/friends/*");
  EXPECT_EQ(loaded.host.unsubscriptions, Strings{friends});
  // Unmatched unsubscribes neither wrap the count nor reach the host.
  loaded.plugin->UnsubscribeEvent("/kiv-chat/v1/friends");
  loaded.plugin->UnsubscribeEvent("/never/subscribed");
  EXPECT_EQ(loaded.plugin->SubscriptionCount(friends), 0u);
  EXPECT_EQ(loaded.host.unsubscriptions.size(), 1u);
  loaded.plugin->SubscribeEvent("/kiv-chat/v1/friends");
  EXPECT_EQ(SubscriptionsOf(friends), 2);
  EXPECT_EQ(loaded.plugin->SubscriptionCount(friends), 1u);
}

TEST_F(EventTest, ObservingAnExactPathReadsItOnce) {
  HostValues body;
  loaded.host.responder = [&body](HostResponse* response, const HostRequest*) {
    HostValue value = body.Structure({{"id", body.Signed(42)}});
    std::memcpy(static_cast<void*>(&response->body), &value, sizeof value);
  };
  int reads = 0;
  loaded.plugin->ObserveResource("/kiv-login/v1/session", [&](const PluginResourceEvent& event) {
    EXPECT_EQ(event.uri, "/kiv-login/v1/session");
    EXPECT_EQ(event.eventType, PluginResourceEventType::Create);
    EXPECT_EQ(event.data.FindMember("id").AsSigned(), 42);
    ++reads;
  });
  ASSERT_EQ(loaded.host.requests.size(), 1u);
  EXPECT_EQ(loaded.host.requests[0].url, "/kiv-login/v1/session");
  EXPECT_EQ(reads, 1);
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends/*", [](const PluginResourceEvent&) {});
  EXPECT_EQ(loaded.host.requests.size(), 1u);  // no read for patterns
  // Observing again replaces the handler but counts a second subscription.
  int second = 0;
  loaded.plugin->ObserveResource("/kiv-login/v1/session", [&](const PluginResourceEvent&) { ++second; });
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(loaded.plugin->SubscriptionCount("OnJsonApiEvent_kiv-login_v1_session"), 2u);
  EXPECT_EQ(SubscriptionsOf("OnJsonApiEvent_kiv-login_v1_session"), 1);
}

TEST_F(EventTest, DispatchCallsExactThenMatchingPatternsOnly) {
  Strings calls;
  loaded.host.responder = [](HostResponse* response, const HostRequest*) {
    response->errorText = "absent";
    response->status = 404;
  };
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends/x",
                                 [&](const PluginResourceEvent& e) { calls.push_back("exact:" + std::string(e.uri)); });
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends/*", [&](const PluginResourceEvent& e) {
    calls.push_back("wild:" + std::string(e.uri) + ":" + std::to_string(static_cast<int>(e.eventType)));
  });
  EXPECT_TRUE(calls.empty());  // the failed initial read is ignored
  EXPECT_EQ(SubscriptionsOf(friends), 1);
  ASSERT_TRUE(DeliverEvent(friends, "/kiv-chat/v1/friends/x", "Update", values.Signed(1)));
  EXPECT_EQ(calls, (Strings{"exact:/kiv-chat/v1/friends/x", "wild:/kiv-chat/v1/friends/x:1"}));
  calls.clear();
  DeliverEvent(friends, "kiv-chat/v1/friends/y", "Delete");  // the leading slash is supplied
  EXPECT_EQ(calls, Strings{"wild:kiv-chat/v1/friends/y:2"});
  calls.clear();
  DeliverEvent(friends, "/kiv-chat/v1/friends/a/b", "Update");
  EXPECT_TRUE(calls.empty());
}

TEST_F(EventTest, MalformedEventsAreDropped) {
  int calls = 0;
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends/*", [&](const PluginResourceEvent&) { ++calls; });
  const HostValue uri = values.Text("/kiv-chat/v1/friends/x");
  HostValue broken = HostValues::Zero();
  broken.kind = 99;
  for (const HostValue& payload :
       {values.Text("not a structure"), values.Structure({{"eventType", values.Text("Create")}}),
        values.Structure({{"uri", uri}}),
        values.Structure({{"eventType", values.Collection({values.Signed(1)})}, {"uri", uri}}),
        values.Structure({{"eventType", values.Text("Create")}, {"uri", values.Signed(5)}}), broken}) {
    EXPECT_TRUE(loaded.host.Deliver(friends, payload));
  }
  EXPECT_TRUE(DeliverEvent(friends, "/kiv-chat/v1/friends/x", "NoSuchType"));
  EXPECT_EQ(calls, 0);
  // Unknown names and records without context are ignored as well.
  const RecordedSubscription& s = loaded.host.subscriptions.back();
  HostEvent event;
  std::memset(static_cast<void*>(&event), 0, sizeof event);
  event.name = "OnJsonApiEvent_unknown";
  event.context = s.context;
  s.callback(&event);
  event.name = friends.c_str();
  event.context = nullptr;
  s.callback(&event);
  s.callback(nullptr);
  EXPECT_TRUE(DeliverEvent(friends, "/kiv-chat/v1/friends/x", "Create"));
  EXPECT_EQ(calls, 1);
}

TEST_F(EventTest, PublishingGoesOutUnderThePathsNameAndTheGenericOne) {
  ASSERT_TRUE(loaded.plugin->PublishTextResource("/kiv-game-client-chat/v1/instant-messages", "hello").ok());
  ASSERT_EQ(loaded.host.events.size(), 2u);
  EXPECT_EQ(loaded.host.events[0].name, "OnJsonApiEvent_kiv-game-client-chat_v1_instant-messages");
  EXPECT_EQ(loaded.host.events[1].name, "OnJsonApiEvent");
  EXPECT_EQ(loaded.host.events[1].payload.FindMember("data").AsText(), "hello");
  EXPECT_EQ(loaded.host.events[0].payload, loaded.host.events[1].payload);
  ASSERT_TRUE(loaded.plugin->PublishResourceDeletion("/kiv-game-client-chat/v1/buddies/7").ok());
  ASSERT_EQ(loaded.host.events.size(), 4u);
  EXPECT_EQ(loaded.host.events[2].payload.FindMember("eventType").AsText(), "Delete");
  EXPECT_TRUE(loaded.host.events[2].payload.FindMember("data").IsEmpty());
  // An event published under its own host name goes out once.
  PluginResourceEvent event;
  event.uri = "/a/b/c";
  event.eventType = PluginResourceEventType::Update;
  ASSERT_TRUE(loaded.plugin->PublishResourceEvent("OnJsonApiEvent_a_b_c", event, 9).ok());
  ASSERT_EQ(loaded.host.events.size(), 5u);
  EXPECT_EQ(loaded.host.events[4].extra, 9u);
}

TEST_F(EventTest, TypedHandlersConvertDataAndHandlersMayObserveWhileDispatching) {
  Strings calls;
  loaded.plugin->ObserveResource(
      "/kiv-chat/v1/blocked-players/*",
      loaded.plugin->TypedResourceHandler<int32_t>([&](std::string_view uri, PluginResourceEventType type,
                                                       const int32_t& number) {
        calls.push_back(std::string(uri) + ":" + std::to_string(static_cast<int>(type)) + ":" + std::to_string(number));
      }));
  const std::string blocked = "OnJsonApiEvent_kiv-chat_v1_blocked-players";
  DeliverEvent(blocked, "/kiv-chat/v1/blocked-players/1", "Create", values.Signed(5));
  DeliverEvent(blocked, "/kiv-chat/v1/blocked-players/2", "Update", values.Text("not a number"));
  DeliverEvent(blocked, "/kiv-chat/v1/blocked-players/3", "Delete", values.Text("ignored"));
  EXPECT_EQ(calls, (Strings{"/kiv-chat/v1/blocked-players/1:0:5", "/kiv-chat/v1/blocked-players/3:2:0"}));

  int inner = 0;
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends/*", [&](const PluginResourceEvent&) {
    for (int i = 0; i < 20; ++i) {
      loaded.plugin->ObserveResource("/kiv-chat/v1/friends/*/n" + std::to_string(i),
                                     [&](const PluginResourceEvent&) { ++inner; });
    }
  });
  DeliverEvent(friends, "/kiv-chat/v1/friends/x", "Create");
  EXPECT_EQ(inner, 0);
  DeliverEvent(friends, "/kiv-chat/v1/friends/x/n3", "Create");
  EXPECT_EQ(inner, 1);
}

// The host's callbacks let nothing out: what a handler throws costs its
// event and one ERROR line, and leaves no delivery counted as running.
TEST_F(EventTest, AHandlerThatThrowsLosesItsEventWithOneLine) {
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends/*", [](const PluginResourceEvent& e) {
    if (e.uri.ends_with("/memory")) throw std::bad_alloc();
    throw std::runtime_error("handler failed");
  });
  loaded.plugin->AddServiceProxyRequest("u1",
                                        [](const PluginServiceProxyResponse&) { throw std::logic_error("proxy"); });
  loaded.host.logs.clear();
  EXPECT_TRUE(DeliverEvent(friends, "/kiv-chat/v1/friends/1", "Create"));
  EXPECT_TRUE(DeliverEvent(friends, "/kiv-chat/v1/friends/memory", "Create"));
  EXPECT_TRUE(loaded.host.Deliver("OnServiceProxyUuidEvent", values.Structure({{"uuid", values.Text("u1")}})));
  Strings lines;
  for (const RecordedLog& line : loaded.host.logs) lines.push_back(std::to_string(line.level) + " " + line.text);
  EXPECT_EQ(lines,
            (Strings{"2 internal error in the event callback for " + friends + "; the event is dropped",
                     "2 internal error: out of memory in the event callback for " + friends + "; the event is dropped",
                     "2 internal error in the event callback for OnServiceProxyUuidEvent; the event is dropped"}));
  // Unsubscribing waits for running deliveries: none is left running.
  loaded.plugin->UnsubscribeEvent("/kiv-chat/v1/friends/*");
  EXPECT_EQ(loaded.host.unsubscriptions, Strings{friends});
}

}  // namespace
}  // namespace kiv::framework::testing
