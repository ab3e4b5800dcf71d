// The scenario runner: its expectations, windows, broken lines and plugins
// loaded from a script. The example scenarios run through kivhost as ctest
// entries of their own (tests/host/CMakeLists.txt).
#include "scenario.h"

#include <gtest/gtest.h>

#include "host.h"

namespace kivhost {
namespace {

HostOptions Quiet() {
  HostOptions o;
  o.logStream = nullptr;
  return o;
}

TEST(ScenarioTest, CountsMetAndFailedExpectations) {
  Host host(Quiet());
  ScenarioRunner runner(host, nullptr);
  ScenarioResult r = runner.Run(R"(
# comment
call GET /kiv-summoner/v1/summoners?name=Ann
expect status 200
expect status 404
expect body {"summonerId": 42, \
             "displayName": "Ann"}
expect body {"summonerId": 42}
expect body-contains {"summonerId": 42}
call PUT /kiv-login/v1/session {"summonerId": 43}
expect event OnJsonApiEvent_kiv-login_v1_session {"eventType": "Update"}
expect no-event OnJsonApiEvent_kiv-chat_v1_friends
expect event OnJsonApiEvent_kiv-chat_v1_friends
expect peers {"session": {"summonerId": 43}}
expect error
)",
                                "inline");
  EXPECT_FALSE(r.broken);
  EXPECT_EQ(r.actions, 2);
  EXPECT_EQ(r.passed, 6);
  EXPECT_EQ(r.failed, 4);
  EXPECT_EQ(r.ExitCode(), 1);
  ASSERT_EQ(r.failures.size(), 4u);
  EXPECT_NE(r.failures[0].find("line 5: expect status 404: status 200"), std::string::npos) << r.failures[0];
  EXPECT_NE(r.failures[2].find("no such event"), std::string::npos);
}

TEST(ScenarioTest, WindowsStartAtEachAction) {
  Host host(Quiet());
  ScenarioRunner runner(host, nullptr);
  ScenarioResult r = runner.Run(R"(
resource /kiv-x/v1/things/1 Create {"a": 1}
expect event OnJsonApiEvent_kiv-x_v1_things {"uri": "/kiv-x/v1/things/1", "data": {"a": 1}}
expect event OnJsonApiEvent
publish Custom {"b": 2}
expect no-event OnJsonApiEvent
expect event Custom {"payload": {"b": 2}}
expect requests 0
expect no-log
)",
                                "inline");
  EXPECT_EQ(r.failed, 0) << (r.failures.empty() ? "" : r.failures[0]);
  EXPECT_EQ(r.passed, 6);
}

TEST(ScenarioTest, BrokenLinesStopTheScenario) {
  Host host(Quiet());
  ScenarioRunner runner(host, nullptr);
  for (const char* text :
       {"frobnicate now", "call GET", "call POST /x {not json", "expect wibble 1", "resource /x Upsert",
        "load /nonexistent/libkiv-none.so", "require kiv-nothing", "wait soon"}) {
    ScenarioResult r = runner.Run(std::string(text) + "\ncall GET /kiv-login/v1/session\n", "inline");
    EXPECT_TRUE(r.broken) << text;
    EXPECT_EQ(r.ExitCode(), 2) << text;
    EXPECT_EQ(r.actions, std::string(text).rfind("load", 0) == 0 ? 1 : 0) << text;
  }
  EXPECT_EQ(runner.RunFile("/nonexistent.kivs").ExitCode(), 2);
}

TEST(ScenarioTest, LoadsPluginsFromTheScenario) {
  Host host(Quiet());
  ScenarioRunner runner(host, nullptr);
  setenv("KIV_TEST_FAKE", KIV_FAKE_PLUGIN, 1);
  ScenarioResult r = runner.Run(R"(
load ${KIV_TEST_FAKE} load_kiv_fake_b
require kiv-fake-b
expect log OKAY kiv-fake-b initialized
request POST /kiv-fake-b/v1/echo {"p": [1, 2]}
expect body-contains {"items": [{"p": [1, 2]}], "contentType": ""}
)",
                                "inline");
  EXPECT_EQ(r.ExitCode(), 0) << (r.failures.empty() ? "" : r.failures[0]);
}

}  // namespace
}  // namespace kivhost
