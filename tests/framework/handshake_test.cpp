// Handshake, registration record, names, initialize and destroy, log
// target swap and allocation counters.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "framework/test_plugin.h"
#include "logging/log.h"
#include "logging/log_target.h"

namespace kiv::framework::testing {
namespace {

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
  EXPECT_TRUE(IsCompatibleVersion(plugin, Version(18, 5, 3)));
  EXPECT_FALSE(IsCompatibleVersion(plugin, Version(17, 9, 9)));
  EXPECT_FALSE(IsCompatibleVersion(plugin, Version(19, 0, 0)));
  const SemanticVersion newer = Version(18, 2, 3);
  EXPECT_FALSE(IsCompatibleVersion(newer, Version(18, 2, 2)));
  EXPECT_FALSE(IsCompatibleVersion(newer, Version(18, 1, 9)));
  EXPECT_TRUE(IsCompatibleVersion(newer, Version(18, 2, 3)));
  EXPECT_TRUE(IsCompatibleVersion(newer, Version(18, 3, 0)));
}

TEST(VersionTest, PrintsPreReleaseAndBuildOnlyWhenPresent) {
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
  // Packed record: its fields are copied before they are compared.
  const PluginRegistration r = loaded.registration;
  const uint32_t words[3] = {r.apiMajor, r.apiMinor, r.apiPatch};
  EXPECT_EQ(words[0], 18u);
  EXPECT_EQ(words[1], 0u);
  EXPECT_EQ(words[2], 0u);
  PluginCallbacks* const callbacks = r.callbacks;
  ASSERT_NE(callbacks, nullptr);
  const PluginCallbacks table = *callbacks;
  const bool allSet = table.initialize != nullptr && table.destroy != nullptr && table.memoryStats != nullptr;
  EXPECT_TRUE(allSet);
  void* const handle = r.handle;
  EXPECT_EQ(handle, static_cast<void*>(static_cast<Plugin*>(loaded.plugin)));
  // The export's short name wins over the one the constructor gave.
  const char* const name = r.name;
  EXPECT_STREQ(name, kTestShortName);
  const PluginApiTable* const apiTable = r.apiTable;
  EXPECT_NE(apiTable, nullptr);

  TestPlugin& plugin = *loaded.plugin;
  EXPECT_EQ(VersionToString(plugin.HostVersion()), "18.5.3");
  EXPECT_EQ(plugin.Names().fullName, "mox-be-kiv-framework-test");
  EXPECT_EQ(plugin.Names().shortName, kTestShortName);
  EXPECT_EQ(plugin.Names().typeName, "backend");
  EXPECT_EQ(plugin.TypePrefix(), "KivFrameworkTest");
  ASSERT_EQ(plugin.EndpointTags().size(), 2u);
  EXPECT_EQ(plugin.EndpointTags()[0], "Plugins");
  EXPECT_EQ(plugin.EndpointTags()[1], "Plugin kiv-framework-test");
  EXPECT_EQ(plugin.ShortName(), kTestShortName);
}

TEST(RegistrationTest, ApiTableListsFrameworkTypesAndEventsUnderTclient) {
  LoadedPlugin loaded;
  const PluginApiTable& table = *loaded.registration.apiTable;
  std::set<std::string> tclientTypes;
  for (const HostTypeRecord* type = table.types; type != nullptr; type = type->next) {
    if (std::string(type->nameSpace) == "tclient") tclientTypes.insert(type->name);
  }
  EXPECT_EQ(tclientTypes, (std::set<std::string>{"PluginManagerState", "PluginManagerResource",
                                                 "PluginResourceEventType", "PluginResourceEvent", "PluginLcdsEvent",
                                                 "PluginLcdsResponse", "PluginServiceProxyResponse"}));
  std::set<std::string> tclientEvents;
  bool declared = false;
  for (const HostEventRecord* event = table.events; event != nullptr; event = event->next) {
    const std::string name = event->name;
    if (std::string(event->nameSpace) == "tclient") tclientEvents.insert(name);
    if (name == "OnJsonApiEvent") {
      EXPECT_STREQ(event->description, "Fired when a resource is changed.");
      EXPECT_STREQ(event->dataTypeName, "PluginResourceEvent");
    }
    if (name == "OnJsonApiEvent_kiv-framework-test_v1_things") {
      declared = true;
      EXPECT_STREQ(event->nameSpace, "");
      EXPECT_STREQ(event->description, "");
      EXPECT_STREQ(event->dataTypeName, "PluginResourceEvent");
    }
  }
  EXPECT_EQ(tclientEvents, (std::set<std::string>{"OnJsonApiEvent", "OnLcdsEvent", "OnServiceProxyUuidEvent",
                                                  "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"}));
  EXPECT_TRUE(declared);
  // The framework's identities are fixed numbers.
  const binding::TypeDescriptor* event = loaded.plugin->Api().Types().FindById(binding::TypeId(0xA54F35FDu));
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->name, "PluginResourceEvent");
  EXPECT_NE(loaded.plugin->Api().Types().FindById(binding::TypeId(0xF4E3B901u)), nullptr);
  EXPECT_NE(loaded.plugin->Api().Types().FindById(binding::TypeId(0x2C5E7588u)), nullptr);
}

TEST(NamesTest, PrefixFollowsTheTypeNameExactly) {
  LoadedPlugin loaded;
  ASSERT_TRUE(loaded.Initialize());
  EXPECT_EQ(GetFullNameFromShortNameAndType("abc", BackendPluginType()).fullName, "mox-be-abc");
  EXPECT_EQ(GetFullNameFromShortNameAndType("abc", FrontendPluginType()).fullName, "mox-fe-abc");
  EXPECT_TRUE(loaded.host.logs.empty());
  const PluginNames odd = GetFullNameFromShortNameAndType("abc", PluginType{String("Backend"), String("q")});
  EXPECT_EQ(odd.fullName, "mox-xx-abc");
  EXPECT_EQ(odd.typeName, "Backend");
  EXPECT_EQ(odd.typeQualifier, "q");
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

  ASSERT_EQ(loaded.host.subscriptions.size(), 3u);
  std::set<std::string> names;
  for (const RecordedSubscription& s : loaded.host.subscriptions) {
    names.insert(s.name);
    EXPECT_EQ(s.flag, 1u);
    EXPECT_EQ(s.hostToken, kTestToken);
    EXPECT_EQ(s.context, static_cast<void*>(static_cast<PluginContext*>(loaded.plugin)));
  }
  EXPECT_EQ(names, (std::set<std::string>{"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent",
                                          "OnServiceProxyAsyncEvent"}));
}

TEST(InitializeTest, ExistingPluginLogTargetIsKeptAndTheRestStillRuns) {
  LoadedPlugin first;
  ASSERT_TRUE(first.Initialize());
  const auto& logging = log::Logging();
  log::TargetTable* target = logging.findTarget("PluginLogTarget");
  logging.setMinimumLevel(1);

  LoadedPlugin second;
  ASSERT_TRUE(second.Initialize());
  EXPECT_EQ(logging.findTarget("PluginLogTarget"), target);
  EXPECT_EQ(logging.getMinimumLevel(), 1);
  EXPECT_EQ(second.plugin->initializeCalls, 1);
  EXPECT_EQ(second.host.subscriptions.size(), 3u);
  // Lines still go to the first plugin's host.
  log::Log(log::kError, 1, 0, "from the second");
  EXPECT_TRUE(first.host.HasLog(2, "from the second"));
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
  std::set<std::string> names(host.unsubscriptions.begin(), host.unsubscriptions.end());
  EXPECT_EQ(names, (std::set<std::string>{"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent",
                                          "OnServiceProxyAsyncEvent", "OnJsonApiEvent_kiv-chat_v1_friends"}));
  EXPECT_EQ(host.unsubscriptions.size(), 4u);
  EXPECT_EQ(log::Logging().findTarget("PluginLogTarget"), nullptr);
  loaded->registration.callbacks = nullptr;
  delete loaded;
}

struct Counters {
  uint64_t peak, live, bytesAllocated, allocations, bytesFreed, frees;
  uint32_t reserved0, reserved1;
};

// The record is packed: fields are copied out before they are compared.
Counters ReadStats(const LoadedPlugin& loaded) {
  PluginMemoryStats stats;
  std::memset(static_cast<void*>(&stats), 0xFF, sizeof stats);
  loaded.registration.callbacks->memoryStats(nullptr, &stats);
  return Counters{
      stats.peakBytesInUse, stats.liveAllocationsAtPeak, stats.bytesAllocated, stats.allocations, stats.bytesFreed,
      stats.frees,          stats.reserved[0],           stats.reserved[1]};
}

TEST(MemoryStatsTest, ReportsTheAllocationCounters) {
  LoadedPlugin loaded;
  const Counters before = ReadStats(loaded);
  EXPECT_EQ(before.reserved0, 0u);
  EXPECT_EQ(before.reserved1, 0u);
  EXPECT_GT(before.allocations, 0u);
  EXPECT_GE(before.peak, before.bytesAllocated - before.bytesFreed);

  String* text = mem::New<String>(std::string_view(std::string(3000, 'x')));
  const Counters during = ReadStats(loaded);
  mem::Delete(text);
  const Counters after = ReadStats(loaded);

  EXPECT_GE(during.allocations, before.allocations + 2);
  EXPECT_GE(during.bytesAllocated, before.bytesAllocated + 3000);
  EXPECT_GE(during.peak, during.bytesAllocated - during.bytesFreed);
  EXPECT_GE(after.frees, during.frees + 2);
  EXPECT_GE(after.bytesFreed, during.bytesFreed + 3000);
  loaded.registration.callbacks->memoryStats(nullptr, nullptr);  // ignored
}

}  // namespace
}  // namespace kiv::framework::testing
