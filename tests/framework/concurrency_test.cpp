// Several threads at once: requests through the API table, events delivered
// while other threads subscribe and unsubscribe, plugin log lines whose host
// logs back, and logging while the logging system starts and stops. Also
// run under ThreadSanitizer (the tsan preset).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "testing/requests.h"
#include "testing/test_plugin.h"

namespace kiv::framework::testing {
namespace {

void RunThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (std::thread& t : threads) t.join();
}

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(loaded.Initialize()); }
  LoadedPlugin loaded;
};

TEST_F(ConcurrencyTest, RequestsFromSeveralThreadsThroughTheApiTable) {
  const HostEndpointEntry* things =
      test::FindEndpoint(loaded.registration.apiTable, KIV_METHOD_POST, "/kiv-framework-test/v1/things");
  ASSERT_NE(things, nullptr);
  std::atomic<int> wrong{0};
  RunThreads(4, [&](int thread) {
    for (int i = 0; i < 150; ++i) {
      const std::string uri = "/kiv-framework-test/v1/things/" + std::to_string(thread) + "-" + std::to_string(i);
      const std::string body =
          R"({"uri": ")" + uri + R"(", "eventType": "Create", "data": {"n": ")" + std::to_string(i) + R"("}})";
      HostResponse response;
      test::SendRequest(*things, response, KIV_METHOD_POST, "/kiv-framework-test/v1/things", "application/json", body);
      binding::ValueResult answer;
      const bool read = response.errorText == nullptr && binding::ReadHostValue(answer, answer, response.body, "r");
      if (!read || answer.FindMember("uri").AsText() != uri ||
          answer.FindMember("data").FindMember("n").AsText() != std::to_string(i)) {
        ++wrong;
      }
      if (response.release != nullptr) response.release(&response);
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

// One thread observes a path and unsubscribes it again, over and over, while
// others deliver its events and churn the count of a second path. A handler
// must never run once the unsubscribe that removed it has returned, and the
// host must end up subscribed to exactly the names whose count is above 0.
TEST_F(ConcurrencyTest, EventsWhileSubscribingAndUnsubscribing) {
  const std::string name = "OnJsonApiEvent_kiv-test_v1_things";
  const std::string churnName = "OnJsonApiEvent_kiv-test_v1_churn";
  HostValues values;
  auto payload = [&](const char* uri) {
    return values.Structure(
        {{"data", values.Structure({})}, {"eventType", values.Text("Update")}, {"uri", values.Text(uri)}});
  };
  const HostValue thing = payload("/kiv-test/v1/things/1");
  const HostValue churn = payload("/kiv-test/v1/churn");
  std::atomic<int> generation{0};
  std::atomic<bool> observing{false};
  std::atomic<int> late{0};
  std::atomic<int> handled{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int g = 1; g <= 300; ++g) {
      generation = g;
      observing = true;
      const int before = handled;
      loaded.plugin->ObserveResource("/kiv-test/v1/things/*", [&, g](const PluginResourceEvent&) {
        if (!observing || generation != g) ++late;
        ++handled;
      });
      std::this_thread::yield();
      // Now and then, stay subscribed until a delivery got through, so that
      // a slow scheduler (Wine) cannot leave the handler never called.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (g % 50 == 1 && handled == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      loaded.plugin->UnsubscribeEvent("/kiv-test/v1/things/*");
      observing = false;
    }
    done = true;
  });
  for (int d = 0; d < 2; ++d) {
    threads.emplace_back([&] {
      while (!done) {
        loaded.host.Deliver(name, thing);
        loaded.host.Deliver(churnName, churn);
        std::this_thread::yield();  // leave the processor to the subscribing threads now and then
      }
    });
  }
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < 400; ++i) {
        loaded.plugin->SubscribeEvent("/kiv-test/v1/churn");
        loaded.plugin->UnsubscribeEvent("/kiv-test/v1/churn");
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_GT(handled.load(), 0);
  EXPECT_EQ(loaded.plugin->SubscriptionCount(name), 0u);
  EXPECT_EQ(loaded.plugin->SubscriptionCount(churnName), 0u);
  EXPECT_FALSE(loaded.host.Subscribed(name));
  EXPECT_FALSE(loaded.host.Subscribed(churnName));
  loaded.plugin->SubscribeEvent("/kiv-test/v1/churn");
  EXPECT_TRUE(loaded.host.Subscribed(churnName));
}

// The host logs back from inside its log entry, on another thread that must
// wait for the logging system's lock if the first line still held it.
TEST_F(ConcurrencyTest, PluginLogLinesReachTheHostOutsideTheLoggingLock) {
  std::mutex mutex;
  std::condition_variable answered;
  bool echoed = false;
  loaded.host.onLog = [&](const std::string& text) {
    if (text == "echo") {
      std::lock_guard<std::mutex> lock(mutex);
      echoed = true;
      answered.notify_all();
      return;
    }
    if (text != "first") return;
    std::thread echo([] { log::Log(log::kWarn, 2, 0, "echo"); });
    {
      std::unique_lock<std::mutex> lock(mutex);
      answered.wait_for(lock, std::chrono::seconds(10), [&] { return echoed; });
    }
    echo.join();
  };
  log::Log(log::kWarn, 2, 0, "first");
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(echoed) << "the echo could not be logged while the host wrote the first line";
  }
  // Each thread's lines reach the host in the order the thread logged them.
  loaded.host.onLog = nullptr;
  RunThreads(4, [](int thread) {
    for (int i = 0; i < 200; ++i) log::Log(log::kWarn, 2, 0, "t%d %d", thread, i);
  });
  std::map<std::string, int> last;
  int seen = 0;
  for (const RecordedLog& line : loaded.host.logs) {
    if (line.text.size() < 2 || line.text[0] != 't') continue;
    const std::size_t space = line.text.find(' ');
    const int n = std::stoi(line.text.substr(space + 1));
    auto [it, fresh] = last.emplace(line.text.substr(0, space), n);
    if (!fresh) {
      EXPECT_EQ(n, it->second + 1) << it->first;
      it->second = n;
    }
    ++seen;
  }
  EXPECT_EQ(seen, 800);
}

// Writers log while another thread takes the logging system through its
// last release (which stops it) again and again; their log calls start it
// anew in between. Nothing may touch a stopped system's state.
TEST(LoggingConcurrencyTest, LoggingWhileTheLoggingSystemStartsAndStops) {
  const log::LogInterface& logging = log::Logging();
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; !done; ++i) {
        log::Log(log::kError, 128, 0, "writer %d line %d", w, i);
        if (i % 16 == 0) logging.setMutedGroups(log::kXtr);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 2000; ++i) {
      logging.acquire();
      logging.findTarget("StdErrLogTarget");
      logging.release();
    }
    done = true;
  });
  for (std::thread& t : threads) t.join();
  logging.acquire();
  EXPECT_EQ(logging.getMinimumLevel(), 1);
  EXPECT_NE(logging.findTarget("StdErrLogTarget"), nullptr);
  logging.release();
}

}  // namespace
}  // namespace kiv::framework::testing
