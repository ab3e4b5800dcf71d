// Each allocation of a flow made to fail in turn: N = 1, 2, 3, ... until the
// flow no longer reaches an N-th allocation. Every run must end in a success
// with the right result or in a clean error, never let an exception out, and
// leave no block of the allocation front end behind; the flow must then work
// again unharmed.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "logging/barrier.h"
#include "logging/memory.h"
#include "readers/json_reader.h"
#include "readers/msgpack_reader.h"
#include "readers/yaml_reader.h"
#include "testing/requests.h"
#include "testing/test_plugin.h"

namespace kiv::framework::testing {
namespace {

enum class Outcome { kSucceeded, kFailed };

// `act` is the part that runs with the failure armed; `judge` runs after,
// checks what `act` left (a wrong result fails the test), gives back what the
// host would give back, and says how the flow ended.
struct Flow {
  const char* name;
  std::function<void()> act;
  std::function<Outcome()> judge;
};

// A flow that gets this far is taken to loop.
constexpr uint64_t kMaxAllocations = 20000;

Outcome RunClean(const Flow& flow) {
  flow.act();
  return flow.judge();
}

// Returns how many runs met a failed allocation.
uint64_t RunWithEachAllocationFailing(const Flow& flow) {
  // Fills the caches a first run builds (spare request storage, registries),
  // and those that only a failure path builds (on Windows the first error
  // line sets up the platform's event tracing): one unchecked pass first.
  EXPECT_EQ(RunClean(flow), Outcome::kSucceeded) << flow.name;
  for (uint64_t n = 1; n < kMaxAllocations; ++n) {
    mem::FailAllocation(n);
    (void)Guarded([&] { flow.act(); });
    const bool hit = mem::AllocationFailed();
    mem::FailAllocation(0);
    (void)flow.judge();
    if (!hit) break;
  }
  (void)RunClean(flow);
  uint64_t failedRuns = 0;
  for (uint64_t n = 1; n < kMaxAllocations; ++n) {
    const uint64_t before = mem::OutstandingAllocations();
    mem::FailAllocation(n);
    const Escape escape = Guarded([&] { flow.act(); });
    const bool hit = mem::AllocationFailed();
    mem::FailAllocation(0);
    EXPECT_EQ(escape, Escape::kNone) << flow.name << ": an exception escaped with allocation " << n << " failing";
    const Outcome outcome = flow.judge();
    if (!hit) {
      EXPECT_EQ(outcome, Outcome::kSucceeded) << flow.name;
      EXPECT_EQ(mem::OutstandingAllocations(), before) << flow.name;
      return failedRuns;
    }
    ++failedRuns;
    // Refills whatever cache the failure emptied, so that a block still
    // missing after it is a leak.
    EXPECT_EQ(RunClean(flow), Outcome::kSucceeded) << flow.name << " after allocation " << n << " failed";
    EXPECT_EQ(mem::OutstandingAllocations(), before)
        << flow.name << ": blocks left behind with allocation " << n << " failing";
    if (::testing::Test::HasFailure()) return failedRuns;
  }
  ADD_FAILURE() << flow.name << " still allocating after " << kMaxAllocations << " allocations";
  return failedRuns;
}

const std::string kLongText(300, 'x');  // past the short-text paths

// ---------------------------------------------------------------------------
// Through an initialized plugin: a request with a JSON body, and an event.

class AllocationFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(loaded.Initialize());
    things = test::FindEndpoint(loaded.registration.apiTable, KIV_METHOD_POST, "/kiv-framework-test/v1/things");
    ASSERT_NE(things, nullptr);
  }

  LoadedPlugin loaded;
  const HostEndpointEntry* things = nullptr;
};

TEST_F(AllocationFailureTest, RequestWithAJsonBody) {
  const std::string data =
      R"({"list": [1, -2, 3.5, true, null, "two"], "long": ")" + kLongText + R"(", "nested": {"a": {"b": ["c"]}}})";
  const std::string body = R"({"uri": "/kiv-framework-test/v1/things/7", "eventType": "Update", "data": )" + data + "}";
  binding::ValueResult expectedData = codecs::ReadJson(data);
  ASSERT_TRUE(expectedData.Succeeded());

  HostResponse response;
  std::memset(static_cast<void*>(&response), 0, sizeof response);
  Flow flow{"request",
            [&] {
              test::SendRequest(*things, response, KIV_METHOD_POST, "/kiv-framework-test/v1/things", "application/json",
                                body);
            },
            [&] {
              const HostResponseReleaseFunction release = response.release;
              const char* errorText = response.errorText;
              const uint8_t errorFlag = response.errorFlag;
              const uint32_t status = response.status;
              EXPECT_NE(release, nullptr);
              Outcome outcome = Outcome::kSucceeded;
              if (errorText != nullptr) {
                // Out of memory in the plugin's own steps is a 500; a reader
                // or a conversion that ran out reports its own error text.
                EXPECT_EQ(errorFlag, 1);
                EXPECT_NE(std::string(errorText), "");
                if (status == 500) {
                  EXPECT_STREQ(errorText, kOutOfMemoryText);
                }
                EXPECT_TRUE(status == 500 || status == 400 || status == 0) << status;
                outcome = Outcome::kFailed;
              } else {
                binding::ValueResult read;
                EXPECT_TRUE(binding::ReadHostValue(read, read, response.body, "<result>"));
                EXPECT_EQ(read.FindMember("uri").AsText(), "/kiv-framework-test/v1/things/7");
                EXPECT_EQ(read.FindMember("eventType").AsText(), "Update");
                EXPECT_TRUE(read.FindMember("data") == expectedData);
              }
              if (release != nullptr) release(&response);
              return outcome;
            }};
  const uint64_t failedRuns = RunWithEachAllocationFailing(flow);
  EXPECT_GT(failedRuns, 10u);
  RecordProperty("failedRuns", static_cast<int>(failedRuns));
}

TEST_F(AllocationFailureTest, EventDelivery) {
  HostValues values;
  const HostValue data = values.Structure(
      {{"list", values.Collection({values.Signed(1), values.Text("two")})}, {"long", values.Text(kLongText.c_str())}});
  const HostValue payload = values.Structure(
      {{"data", data}, {"eventType", values.Text("Update")}, {"uri", values.Text("/kiv-framework-test/v1/things/7")}});
  int calls = 0;
  bool right = false;
  loaded.plugin->ObserveResource("/kiv-framework-test/v1/things/*", [&](const PluginResourceEvent& event) {
    // Runs with the failure armed: checked without allocating.
    ++calls;
    const auto list = event.data.FindMember("list").Elements();
    right = event.uri == "/kiv-framework-test/v1/things/7" && event.eventType == PluginResourceEventType::Update &&
            event.data.Size() == 2 && list.size() == 2 && list[0].AsSigned() == 1 && list[1].AsText() == "two" &&
            event.data.FindMember("long").AsText() == kLongText;
  });
  Flow flow{"event",
            [&] {
              calls = 0;
              right = false;
              EXPECT_TRUE(loaded.host.Deliver("OnJsonApiEvent_kiv-framework-test_v1_things", payload));
            },
            [&] {
              // An event that cannot be read is dropped whole: never half.
              EXPECT_LE(calls, 1);
              if (calls == 0) return Outcome::kFailed;
              EXPECT_TRUE(right);
              return Outcome::kSucceeded;
            }};
  const uint64_t failedRuns = RunWithEachAllocationFailing(flow);
  EXPECT_GT(failedRuns, 3u);
  RecordProperty("failedRuns", static_cast<int>(failedRuns));
}

// ---------------------------------------------------------------------------
// The readers, each over a small document.

TEST(AllocationFailureReaderTest, EveryFormat) {
  const std::string json = R"({"a": [1, "x", {"k": [null, 2.5]}], "b": {"c": true}, "long": ")" + kLongText + "\"}";
  const std::string yaml = test::kSampleYaml + "  d: [y, z]\nlong: " + kLongText + "\n";
  const std::string longJson = R"({"long": ")" + std::string(3000, 'y') + "\"}";  // copied to the heap to be read
  struct Reader {
    const char* name;
    std::function<binding::ValueResult()> read;
  };
  for (const Reader& reader : {Reader{"JSON", [&] { return codecs::ReadJson(json); }},
                               Reader{"long JSON", [&] { return codecs::ReadJson(longJson); }},
                               Reader{"MessagePack", [&] { return codecs::ReadMessagePack(test::kSampleMessagePack); }},
                               Reader{"YAML", [&] { return codecs::ReadYaml(yaml); }}}) {
    binding::ValueResult expected = reader.read();
    ASSERT_TRUE(expected.Succeeded()) << reader.name << ": " << expected.ErrorMessage();
    binding::ValueResult got;
    bool returned = false;
    Flow flow{reader.name,
              [&] {
                returned = false;
                got = reader.read();
                returned = true;
              },
              [&] {
                Outcome outcome = Outcome::kSucceeded;
                if (!returned) {
                  outcome = Outcome::kFailed;  // reported as an escape
                } else if (!got.Succeeded()) {
                  EXPECT_FALSE(got.ErrorMessage().empty()) << reader.name;
                  outcome = Outcome::kFailed;
                } else {
                  EXPECT_TRUE(got == expected) << reader.name;
                }
                got.Reset();
                return outcome;
              }};
    const uint64_t failedRuns = RunWithEachAllocationFailing(flow);
    EXPECT_GT(failedRuns, 0u) << reader.name;
    RecordProperty(reader.name, static_cast<int>(failedRuns));
  }
}

// ---------------------------------------------------------------------------
// A plugin's whole life: load, initialize, destroy.

// The logging system's start gives back what it took, and Shutdown
// unsubscribes everything without allocating first.
TEST(AllocationFailureLifeTest, LoadInitializeDestroy) {
  bool loadedOk = false;
  bool initialized = false;
  std::size_t subscriptions = 0;
  std::size_t unsubscriptions = 0;
  bool untouched = false;
  Flow flow{"plugin life",
            [&] {
              loadedOk = initialized = untouched = false;
              PluginRegistration registration{};
              registration.apiMajor = 18;
              registration.apiMinor = 5;
              registration.apiPatch = 3;
              load_kiv_framework_test(&registration);
              loadedOk = registration.callbacks != nullptr;
              // A failed load leaves the record as the host wrote it.
              untouched = registration.apiMinor == 5 && registration.apiPatch == 3 && registration.handle == nullptr &&
                          registration.apiTable == nullptr;
              if (!loadedOk) return;
              FakeHost host;
              HostInit init{};
              init.services = host.Services();
              init.hostToken = kTestToken;
              initialized = registration.callbacks->initialize(registration.handle, &init) == 1;
              registration.callbacks->destroy(registration.handle);
              subscriptions = host.subscriptions.size();
              unsubscriptions = host.unsubscriptions.size();
            },
            [&] {
              if (!loadedOk) {
                EXPECT_TRUE(untouched);
                return Outcome::kFailed;
              }
              // Whatever was subscribed is unsubscribed by destroy.
              EXPECT_EQ(unsubscriptions, subscriptions);
              if (!initialized) return Outcome::kFailed;
              EXPECT_EQ(subscriptions, 3u);
              return Outcome::kSucceeded;
            }};
  const uint64_t failedRuns = RunWithEachAllocationFailing(flow);
  EXPECT_GT(failedRuns, 10u);
  RecordProperty("failedRuns", static_cast<int>(failedRuns));
}

}  // namespace
}  // namespace kiv::framework::testing
