// Handshake, registration record, names, initialize and destroy, log target
// swap and allocation counters.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "logging/log.h"
#include "logging/log_target.h"
#include "testing/test_plugin.h"

namespace kiv::framework::testing {
namespace {

using Names = std::set<std::string>;

SemanticVersion Version(uint32_t major, uint32_t minor, uint32_t patch) {
  SemanticVersion v;
  v.major = major;
  v.minor = minor;
  v.patch = patch;
  return v;
}

TEST(VersionTest, CompatibilityFollowsMajorThenMinorAndPatch) {
  const SemanticVersion plugin = PluginApiVersion();
  EXPECT_TRUE(IsCompatibleVersion(plugin, Version(18, 0, 0)));
  EXPECT_FALSE(IsCompatibleVersion(plugin, Version(17, 9, 9)));
  EXPECT_FALSE(IsCompatibleVersion(plugin, Version(19, 0, 0)));
  const SemanticVersion newer = Version(18, 2, 3);
  EXPECT_FALSE(IsCompatibleVersion(newer, Version(18, 2, 2)));
  EXPECT_FALSE(IsCompatibleVersion(newer, Version(18, 1, 9)));
  EXPECT_TRUE(IsCompatibleVersion(newer, Version(18, 3, 0)));
  SemanticVersion v = Version(1, 2, 3);
  EXPECT_EQ(VersionToString(v), "1.2.3");
  v.build = "7";
  EXPECT_EQ(VersionToString(v), "1.2.3+7");
  v.preRelease = "rc1";
  EXPECT_EQ(VersionToString(v), "1.2.3-rc1+7");
}

// Log lines of the child process go to standard error, whatever earlier
// tests did to the console targets.
class StdErrCapture final : public log::LogTarget {
 public:
  StdErrCapture() { UseVirtualWrite(); }
  const char* Name() const override { return "StdErrCapture"; }
  bool Write(const log::LogEntry& entry) override {
    std::fputs(entry.message, stderr);
    std::fputs("\n", stderr);
    return true;
  }
};

void LoadWithHost(uint32_t major, uint32_t minor, uint32_t patch) {
  static StdErrCapture capture;
  capture.Configure(log::LogTargetConfig{0, 0, 0, "#M"});
  PluginRegistration registration{};
  registration.apiMajor = major;
  registration.apiMinor = minor;
  registration.apiPatch = patch;
  load_kiv_framework_test(&registration);
  std::fprintf(stderr, "still running\n");
}

TEST(VersionDeathTest, IncompatibleHostEndsTheProcessWithTheReport) {
  EXPECT_EXIT(LoadWithHost(19, 0, 0), ::testing::ExitedWithCode(3), "ALE-EECF0606");
  EXPECT_EXIT(LoadWithHost(17, 9, 9), ::testing::ExitedWithCode(3), "ALE-EECF0606");
}

TEST(RegistrationTest, RecordCarriesThePluginsWordsWhateverTheHostWrote) {
  LoadedPlugin loaded(18, 5, 3);
  const PluginRegistration r = loaded.registration;  // packed: copied before it is compared
  EXPECT_EQ(std::to_string(r.apiMajor) + "." + std::to_string(r.apiMinor) + "." + std::to_string(r.apiPatch), "18.0.0");
  const PluginCallbacks table = *r.callbacks;
  EXPECT_TRUE(table.initialize != nullptr && table.destroy != nullptr && table.memoryStats != nullptr);
  EXPECT_EQ(static_cast<void*>(r.handle), static_cast<void*>(static_cast<Plugin*>(loaded.plugin)));
  EXPECT_STREQ(r.name, kTestShortName);  // the export's short name wins over the constructor's
  TestPlugin& plugin = *loaded.plugin;
  EXPECT_EQ(VersionToString(plugin.HostVersion()), "18.5.3");
  EXPECT_EQ(plugin.Names().fullName, "mox-be-kiv-framework-test");
  EXPECT_EQ(plugin.TypePrefix(), "KivFrameworkTest");
  EXPECT_EQ(plugin.EndpointTags(), (Vector<String>{"Plugins", "Plugin kiv-framework-test"}));
  // The declared event and the framework's own records are in the table.
  const PluginApiTable& api = *r.apiTable;
  Names events;
  for (const HostEventRecord* event = api.events; event != nullptr; event = event->next) {
    events.insert(std::string(event->nameSpace) + ":" + event->name + ":" + event->dataTypeName);
  }
  EXPECT_EQ(events.count(":OnJsonApiEvent_kiv-framework-test_v1_things:PluginResourceEvent"), 1u);
  EXPECT_EQ(events.count("tclient:OnJsonApiEvent:PluginResourceEvent"), 1u);
  EXPECT_EQ(events.count("tclient:OnServiceProxyUuidEvent:PluginServiceProxyResponse"), 1u);
}

TEST(NamesTest, PrefixFollowsTheTypeNameExactly) {
  LoadedPlugin loaded;
  ASSERT_TRUE(loaded.Initialize());
  EXPECT_EQ(GetFullNameFromShortNameAndType("abc", BackendPluginType()).fullName, "mox-be-abc");
  EXPECT_EQ(GetFullNameFromShortNameAndType("abc", FrontendPluginType()).fullName, "mox-fe-abc");
  EXPECT_TRUE(loaded.host.logs.empty());
  const PluginNames odd = GetFullNameFromShortNameAndType("abc", PluginType{String("Backend"), String("q")});
  EXPECT_EQ(odd.fullName, "mox-xx-abc");
  EXPECT_TRUE(loaded.host.HasLog(2,
                                 "            Plugin Manager| GetFullNameFromShortNameAndType(\"abc\", \"Backend:q\") "
                                 "called with an unknown type"));
}

TEST(InitializeTest, SwapsLogTargetsAndSubscribesServiceProxyEvents) {
  LoadedPlugin loaded;
  ASSERT_TRUE(loaded.Initialize());
  EXPECT_EQ(loaded.plugin->initializeCalls, 1);
  EXPECT_EQ(loaded.plugin->HostToken(), kTestToken);
  const auto& logging = log::Logging();
  EXPECT_NE(logging.findTarget("PluginLogTarget"), nullptr);
  EXPECT_FALSE(logging.stdOutTarget()->isAttached(logging.stdOutTarget()));
  EXPECT_FALSE(logging.stdErrTarget()->isAttached(logging.stdErrTarget()));
  EXPECT_EQ(logging.getMinimumLevel(), 0);
  EXPECT_EQ(logging.getMutedGroups(), log::kXtr);
  log::Log(log::kWarn, 1, 0, "disk %d almost full", 3);
  ASSERT_FALSE(loaded.host.logs.empty());
  EXPECT_EQ(loaded.host.logs.back().level, 1);
  EXPECT_EQ(loaded.host.logs.back().text, "disk 3 almost full");
  Names names;
  for (const RecordedSubscription& s : loaded.host.subscriptions) {
    names.insert(s.name);
    EXPECT_EQ(s.flag, 1u);
    EXPECT_EQ(s.hostToken, kTestToken);
    EXPECT_EQ(s.context, static_cast<void*>(static_cast<PluginContext*>(loaded.plugin)));
  }
  EXPECT_EQ(names, (Names{"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"}));

  // A second plugin keeps the first one's log target and log level.
  log::TargetTable* target = logging.findTarget("PluginLogTarget");
  logging.setMinimumLevel(1);
  LoadedPlugin second;
  ASSERT_TRUE(second.Initialize());
  EXPECT_EQ(logging.findTarget("PluginLogTarget"), target);
  EXPECT_EQ(logging.getMinimumLevel(), 1);
  EXPECT_EQ(second.host.subscriptions.size(), 3u);
  log::Log(log::kError, 1, 0, "from the second");
  EXPECT_TRUE(loaded.host.HasLog(2, "from the second"));
  EXPECT_FALSE(second.host.HasLog(2, "from the second"));
}

TEST(InitializeTest, FailsWhenOnInitializeFailsOrTheHostGivesNoServices) {
  LoadedPlugin loaded;
  HostInit empty{};
  EXPECT_EQ(loaded.registration.callbacks->initialize(loaded.registration.handle, &empty), 0);
  EXPECT_EQ(loaded.registration.callbacks->initialize(loaded.registration.handle, nullptr), 0);
  TestPlugin::initializeResult = false;
  const bool result = loaded.Initialize();
  TestPlugin::initializeResult = true;
  EXPECT_FALSE(result);
  EXPECT_EQ(loaded.plugin->initializeCalls, 1);
}

TEST(DestroyTest, UnsubscribesEveryEventNameAtTheHost) {
  auto* loaded = new LoadedPlugin();
  ASSERT_TRUE(loaded->Initialize());
  loaded->plugin->SubscribeEvent("/kiv-chat/v1/friends");
  FakeHost& host = loaded->host;
  loaded->registration.callbacks->destroy(loaded->registration.handle);
  EXPECT_EQ(host.unsubscriptions.size(), 4u);
  EXPECT_EQ(Names(host.unsubscriptions.begin(), host.unsubscriptions.end()),
            (Names{"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent",
                   "OnJsonApiEvent_kiv-chat_v1_friends"}));
  EXPECT_EQ(log::Logging().findTarget("PluginLogTarget"), nullptr);
  loaded->registration.callbacks = nullptr;
  delete loaded;
}

TEST(MemoryStatsTest, ReportsTheAllocationCounters) {
  LoadedPlugin loaded;
  PluginMemoryStats stats;
  std::memset(static_cast<void*>(&stats), 0xFF, sizeof stats);
  loaded.registration.callbacks->memoryStats(nullptr, &stats);
  const mem::AllocationStats now = mem::ReadAllocationStats();
  EXPECT_EQ(stats.reserved[0] | stats.reserved[1], 0u);
  EXPECT_EQ(uint64_t{stats.allocations}, now.allocations);  // nothing allocates in between
  EXPECT_EQ(uint64_t{stats.bytesFreed}, now.bytesFreed);
  EXPECT_EQ(uint64_t{stats.peakBytesInUse}, now.peakBytesInUse);
  loaded.registration.callbacks->memoryStats(nullptr, nullptr);  // ignored
}

}  // namespace
}  // namespace kiv::framework::testing
