// Service-proxy answers, waiting requests and asynchronous handlers, fed
// through the host's callback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_plugin.h"

namespace kiv::framework::testing {
namespace {

using Strings = std::vector<std::string>;

class ServiceProxyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(loaded.Initialize()); }
  void Send(const char* event, const char* uuid, const char* service, const char* method, const char* payload) {
    ASSERT_TRUE(loaded.host.Deliver(event, values.Structure({{"error", values.Text("")},
                                                             {"methodName", values.Text(method)},
                                                             {"payload", values.Text(payload)},
                                                             {"serviceName", values.Text(service)},
                                                             {"status", values.Text("ok")},
                                                             {"uuid", values.Text(uuid)}})));
  }
  ServiceProxyHandler Record() {
    return
        [this](const PluginServiceProxyResponse& r) { got.push_back(std::string(r.uuid) + "/" + r.payload.c_str()); };
  }

  LoadedPlugin loaded;
  HostValues values;
  Strings got;
};

TEST_F(ServiceProxyTest, AnswersAreKeptByUuidOrByServiceAndMethodUntilClaimedOnce) {
  Send("OnServiceProxyMethodEvent", "u0", "chat", "get", "first");
  Send("OnServiceProxyMethodEvent", "u1", "chat", "get", "second");  // replaces the first
  Send("OnServiceProxyUuidEvent", "u2", "s", "m", "p2");
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 2u);
  loaded.plugin->AddServiceProxyRequest("chat.get", Record());
  loaded.plugin->AddServiceProxyRequest("u2", Record());
  loaded.plugin->AddServiceProxyRequest("u2", Record());  // taken answers are gone: this one waits
  EXPECT_EQ(got, (Strings{"u1/second", "u2/p2"}));
  EXPECT_TRUE(loaded.host.HasLog(3, "kiv-framework-test: Fulfilled service proxy request: chat.get"));
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 1u);
  Send("OnServiceProxyUuidEvent", "u2", "s", "m", "late");
  EXPECT_EQ(got.back(), "u2/late");
  // A waiting callable may itself wait for another answer.
  loaded.plugin->AddServiceProxyRequest(
      "u9", [&](const PluginServiceProxyResponse&) { loaded.plugin->AddServiceProxyRequest("u8", Record()); });
  Send("OnServiceProxyUuidEvent", "u8", "s", "m", "p8");
  Send("OnServiceProxyUuidEvent", "u9", "s", "m", "p9");
  EXPECT_EQ(got.back(), "u8/p8");
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 0u);
}

TEST_F(ServiceProxyTest, UnclaimedAnswersAreBoundedOldestFirst) {
  const std::size_t cap = kMaxStoredServiceProxyAnswers;
  for (std::size_t i = 0; i < cap + 2; ++i)
    Send("OnServiceProxyUuidEvent", ("u" + std::to_string(i)).c_str(), "s", "m", "p");
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
  loaded.plugin->AddServiceProxyRequest("u0", Record());  // dropped: waits
  loaded.plugin->AddServiceProxyRequest("u2", Record());
  EXPECT_EQ(got, Strings{"u2/again"});
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), cap - 1);
}

TEST_F(ServiceProxyTest, AsyncEventsUnconvertibleAnswersAndShutdown) {
  Send("OnServiceProxyAsyncEvent", "", "chat", "notify", "x");
  EXPECT_TRUE(loaded.host.HasLog(
      2, "kiv-framework-test: Could not find registered handler for async service proxy event chat.notify"));
  loaded.plugin->SetServiceProxyAsyncHandler("chat.notify", Record());
  Send("OnServiceProxyAsyncEvent", "", "chat", "notify", "y");
  EXPECT_EQ(got, Strings{"/y"});
  ASSERT_TRUE(loaded.host.Deliver("OnServiceProxyUuidEvent", values.Text("no structure")));
  ASSERT_TRUE(loaded.host.Deliver("OnServiceProxyUuidEvent",
                                  values.Structure({{"uuid", values.Collection({values.Signed(1)})}})));
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);
  Send("OnServiceProxyUuidEvent", "u1", "s", "m", "p");
  loaded.plugin->AddServiceProxyRequest("later", Record());
  loaded.plugin->Shutdown();
  EXPECT_EQ(loaded.plugin->StoredServiceProxyAnswers(), 0u);
  EXPECT_EQ(loaded.plugin->WaitingServiceProxyRequests(), 0u);
  EXPECT_EQ(loaded.host.unsubscriptions.size(), 3u);
}

}  // namespace
}  // namespace kiv::framework::testing
