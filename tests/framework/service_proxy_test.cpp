// Service-proxy answers, waiting requests and asynchronous handlers, fed
// through the host's callback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/test_plugin.h"

namespace kiv::framework::testing {
namespace {

class ServiceProxyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(loaded.Initialize()); }

  void Send(const char* event, const char* uuid, const char* service, const char* method, const char* payload) {
    HostValue response = values.Structure({{"error", values.Text("")},
                                           {"methodName", values.Text(method)},
                                           {"payload", values.Text(payload)},
                                           {"serviceName", values.Text(service)},
                                           {"status", values.Text("ok")},
                                           {"uuid", values.Text(uuid)}});
    ASSERT_TRUE(loaded.host.Deliver(event, response));
  }

  LoadedPlugin loaded;
  HostValues values;
};

TEST_F(ServiceProxyTest, MethodAnswersAreKeyedByServiceAndMethodAndReplaced) {
  Send("OnServiceProxyMethodEvent", "u0", "chat", "get", "first");
  Send("OnServiceProxyMethodEvent", "u1", "chat", "get", "second");
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 1u);
  std::vector<std::string> got;
  loaded.plugin->AddServiceProxyRequest("chat.get", [&](const PluginServiceProxyResponse& r) {
    got.push_back(std::string(r.payload) + "/" + std::string(r.uuid) + "/" + std::string(r.status));
  });
  EXPECT_EQ(got, std::vector<std::string>{"second/u1/ok"});
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 0u);
  EXPECT_TRUE(loaded.host.HasLog(3, "kiv-framework-test: Fulfilled service proxy request: chat.get"));
}

TEST_F(ServiceProxyTest, OneWaitingRequestIsFulfilledPerMatch) {
  Send("OnServiceProxyUuidEvent", "u1", "s", "m", "p1");
  Send("OnServiceProxyUuidEvent", "u2", "s", "m", "p2");
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 2u);
  std::vector<std::string> got;
  auto record = [&](const PluginServiceProxyResponse& r) { got.push_back(std::string(r.payload)); };
  loaded.plugin->AddServiceProxyRequest("u2", record);
  EXPECT_EQ(got, std::vector<std::string>{"p2"});
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 1u);
  loaded.plugin->AddServiceProxyRequest("u3", record);
  EXPECT_EQ(got.size(), 1u);
  Send("OnServiceProxyUuidEvent", "u3", "s", "m", "p3");
  EXPECT_EQ(got, (std::vector<std::string>{"p2", "p3"}));
  // A waiting callable may itself wait for another answer.
  loaded.plugin->AddServiceProxyRequest(
      "u9", [&](const PluginServiceProxyResponse&) { loaded.plugin->AddServiceProxyRequest("u1", record); });
  Send("OnServiceProxyUuidEvent", "u9", "s", "m", "p9");
  EXPECT_EQ(got, (std::vector<std::string>{"p2", "p3", "p1"}));
}

TEST_F(ServiceProxyTest, UnclaimedAnswersAreBoundedOldestFirst) {
  const std::size_t cap = kMaxStoredServiceProxyAnswers;
  std::vector<std::string> uuids;
  for (std::size_t i = 0; i < cap + 2; ++i) uuids.push_back("u" + std::to_string(i));
  for (const std::string& uuid : uuids) Send("OnServiceProxyUuidEvent", uuid.c_str(), "s", "m", "p");
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), cap);
  const std::string dropped = "kiv-framework-test: Dropped the unclaimed service proxy answer ";
  const std::string kept = ": more than " + std::to_string(cap) + " are kept";
  EXPECT_TRUE(loaded.host.HasLog(1, dropped + "u0" + kept));
  EXPECT_TRUE(loaded.host.HasLog(1, dropped + "u1" + kept));
  EXPECT_FALSE(loaded.host.HasLog(1, dropped + "u2" + kept));

  // A replaced answer counts as the newest: the next one to go is u3.
  Send("OnServiceProxyUuidEvent", "u2", "s", "m", "again");
  Send("OnServiceProxyUuidEvent", "late", "s", "m", "p");
  EXPECT_TRUE(loaded.host.HasLog(1, dropped + "u3" + kept));
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), cap);

  std::vector<std::string> got;
  auto record = [&](const PluginServiceProxyResponse& r) {
    got.push_back(std::string(r.uuid) + "/" + r.payload.c_str());
  };
  loaded.plugin->AddServiceProxyRequest("u0", record);  // dropped: waits
  loaded.plugin->AddServiceProxyRequest("u2", record);
  loaded.plugin->AddServiceProxyRequest("late", record);
  EXPECT_EQ(got, (std::vector<std::string>{"u2/again", "late/p"}));
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), cap - 2);
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 1u);
  // Taken answers are gone: a second request for the same key waits.
  loaded.plugin->AddServiceProxyRequest("u2", record);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 2u);
}

TEST_F(ServiceProxyTest, AsyncEventsReachTheirHandlerOrLogAnError) {
  Send("OnServiceProxyAsyncEvent", "", "chat", "notify", "x");
  EXPECT_TRUE(loaded.host.HasLog(
      2, "kiv-framework-test: Could not find registered handler for async service proxy event chat.notify"));
  int calls = 0;
  loaded.plugin->SetServiceProxyAsyncHandler("chat.notify", [&](const PluginServiceProxyResponse& r) {
    EXPECT_EQ(r.payload, "y");
    ++calls;
  });
  Send("OnServiceProxyAsyncEvent", "", "chat", "notify", "y");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);
}

TEST_F(ServiceProxyTest, UnconvertibleAnswersAreDroppedAndShutdownEmptiesTheTables) {
  ASSERT_TRUE(loaded.host.Deliver("OnServiceProxyUuidEvent", values.Text("no structure")));
  ASSERT_TRUE(loaded.host.Deliver("OnServiceProxyUuidEvent",
                                  values.Structure({{"uuid", values.Collection({values.Signed(1)})}})));
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);

  Send("OnServiceProxyUuidEvent", "u1", "s", "m", "p");
  loaded.plugin->AddServiceProxyRequest("later", [](const PluginServiceProxyResponse&) {});
  loaded.plugin->Shutdown();
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 0u);
  EXPECT_EQ(loaded.host.unsubscriptions.size(), 3u);
}

}  // namespace
}  // namespace kiv::framework::testing
