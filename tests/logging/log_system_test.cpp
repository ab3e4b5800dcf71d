// The logging system: global filter, per-target routing, line formats, the
// group table and the life cycle of the process-wide state.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "logging/log_target.h"
#include "logging/memory.h"

namespace kiv::log {
namespace {

// A target that keeps every line it is given, formatted with its line format.
class CapturingTarget final : public LogTarget {
 public:
  explicit CapturingTarget(const char* name = "CapturingTarget") : name_(name) { UseVirtualWrite(); }
  ~CapturingTarget() override { Table()->detach(Table()); }
  const char* Name() const override { return name_; }
  bool Write(const LogEntry& entry) override {
    char line[kLineBufferSize];
    Logging().formatEntry(line, sizeof line, LineFormat(&entry), &entry);
    lines.emplace_back(line);
    return true;
  }
  std::vector<std::string> lines;

 private:
  const char* name_;
};

// Holds the logging system for one test and restores the start values after.
class LogSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { Logging().acquire(); }
  void TearDown() override { Logging().release(); }
};

TEST_F(LogSystemTest, StartValuesRouteLinesByLevelAndGroup) {
  const LogInterface& L = Logging();
  EXPECT_EQ(L.findTarget("StdErrLogTarget"), L.stdErrTarget());
  EXPECT_EQ(L.findTarget("StdOutLogTarget"), nullptr);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  Log(kOkay, 1, 0, "dropped by level");
  Log(kError, 1, 0, "to stderr");
  Log(kError, 5, 0, "dropped by muted XTR");
  Log(kError, 2, 0, "general line, stdout detached");
  L.attachTarget(L.stdOutTarget());
  Log(kError, 2, 0, "general line, stdout attached");
  L.detachTarget(L.stdOutTarget());
  std::fflush(stdout);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(err.find("dropped"), std::string::npos);
  EXPECT_NE(err.find(" ERROR| to stderr\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("general line"), std::string::npos) << "GEN is excluded from stderr";
  EXPECT_EQ(out, "general line, stdout attached\n");
}

TEST_F(LogSystemTest, TargetFiltersAndConfiguration) {
  CapturingTarget target;
  TargetTable* t = target.Table();
  t->setGroupMasks(t, /*include=*/8, /*exclude=*/64);
  t->setLevel(t, 1);
  t->attach(t);
  t->attach(t);  // attached once only
  Log(kWarn, 8, 0, "included");
  Log(kWarn, 8 | 64, 0, "excluded wins");
  Log(kWarn, 2, 0, "not included");
  Log(kWarn, 0, 0, "zero mask passes");
  Log(kOkay, 8, 0, "below global minimum");
  Logging().setMinimumLevel(0);
  Log(kOkay, 8, 0, "below target level");
  Logging().disable();
  Log(kAlways, 8, 0, "disabled");
  Logging().enable();
  Log(kWarn, 0, 1, "high word group");  // group bit 32: not in the include mask
  ASSERT_EQ(target.lines.size(), 2u);
  EXPECT_NE(target.lines[0].find("included"), std::string::npos);
  EXPECT_NE(target.lines[1].find("zero mask passes"), std::string::npos);

  // Configure attaches once, and strips the excluded bits from the included ones.
  CapturingTarget configured("Configured");
  configured.Configure(LogTargetConfig{2, 3, 1, "#L|#M"});
  configured.Configure(LogTargetConfig{2, 3, 1, "#L|#M"});
  EXPECT_TRUE(configured.IsAttached());
  EXPECT_EQ(configured.IncludeMask(), 2u);
  EXPECT_EQ(configured.ExcludeMask(), 1u);
  Log(kError, 2, 0, "x");
  EXPECT_EQ(configured.lines, std::vector<std::string>{" ERROR|x\n"});

  // The interface's attach ignores the flag; detach removes every occurrence.
  CapturingTarget twice("Twice");
  Logging().attachTarget(twice.Table());
  Logging().attachTarget(twice.Table());
  Log(kError, 0, 0, "twice");
  EXPECT_EQ(twice.lines.size(), 2u);
  Logging().detachTarget(twice.Table());
  EXPECT_EQ(Logging().findTarget("Twice"), nullptr);
  Log(kError, 0, 0, "gone");
  EXPECT_EQ(twice.lines.size(), 2u);
}

TEST_F(LogSystemTest, DroppedAndDiscardedLinesAllocateNothing) {
  LogTarget discarding;  // the base target writes nothing
  discarding.Table()->attach(discarding.Table());
  Log(kError, 0, 0, "warm up %d", 1);
  const uint64_t before = mem::ReadAllocationStats().allocations;
  for (int i = 0; i < 100; ++i) {
    Log(kOkay, 1, 0, "dropped %d", i);
    Log(kError, 4, 0, "muted %d", i);
    Log(kError, 128, 0, "delivered to a discarding target %d", i);
  }
  EXPECT_EQ(mem::ReadAllocationStats().allocations, before);
  discarding.Table()->detach(discarding.Table());
}

TEST_F(LogSystemTest, ConcurrentLoggingAndConfigureNeitherInterleaveNorDeadlock) {
  CapturingTarget target;
  target.Configure(LogTargetConfig{0, 0, 0, "#M"});
  std::atomic<bool> stop{false};
  std::thread reconfigure([&] {
    while (!stop) target.Configure(LogTargetConfig{0, 0, 0, "#M"});
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < 500; ++i) Log(kError, 128, 0, "writer %d line %d", w, i);
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  reconfigure.join();
  target.Table()->detach(target.Table());
  ASSERT_EQ(target.lines.size(), 2000u);
  for (const std::string& line : target.lines) {
    ASSERT_EQ(line.rfind("writer ", 0), 0u) << line;
    ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
  }
}

TEST(LogLifecycle, LastReleaseStopsAndNextLogStartsFresh) {
  const LogInterface& L = Logging();
  L.acquire();
  L.setMinimumLevel(3);
  L.setMutedGroups(0);
  L.attachTarget(L.stdOutTarget());
  L.release();
  testing::internal::CaptureStderr();
  Log(kError, 1, 0, "fresh state");  // without an acquire: the start values again
  EXPECT_NE(testing::internal::GetCapturedStderr().find("fresh state"), std::string::npos);
  L.acquire();
  EXPECT_EQ(L.getMinimumLevel(), 1);
  EXPECT_EQ(L.getMutedGroups(), 4u);
  EXPECT_EQ(L.findTarget("StdOutLogTarget"), nullptr);
  EXPECT_NE(L.findTarget("StdErrLogTarget"), nullptr);
  L.release();
}

TEST(LogFormat, CodesLineEndsAndCuts) {
  const LogInterface& L = Logging();
  char line[256];
  LogEntry e{2026, 3, 4, 5, 6, 7, 89, 1, 1, "hello"};
  L.formatEntry(line, sizeof line, "#D| #L| #G| #M", &e);
  EXPECT_STREQ(line, "2026-03-04T05:06:07.089|   WARN| DBG| hello\n");
  L.formatEntry(line, sizeof line, "#E(#T): #M", &e);
  const std::string s = line;
  EXPECT_EQ(s.rfind(std::string(L.executableName()) + "(", 0), 0u) << s;
  EXPECT_EQ(s.substr(s.find('(') + 9), "): hello\n");  // eight hex digits of thread id
  L.formatEntry(line, sizeof line, "a##b#x#", &e);
  EXPECT_STREQ(line, "a#bx\n");
  e.message = "ends with a line feed\n";
  L.formatEntry(line, sizeof line, "#M", &e);
  EXPECT_STREQ(line, "ends with a line feed\n");
  L.formatTimeForFileNames(line, sizeof line, &e);
  EXPECT_STREQ(line, "2026-03-04T05-06-07");

  e.message = "0123456789";
  for (std::size_t size = 1; size < 16; ++size) {
    std::vector<char> buffer(size + 4, 'Z');
    const std::size_t n = L.formatEntry(buffer.data(), size, "#M", &e);
    ASSERT_LT(n, size);
    ASSERT_EQ(buffer[n], '\0');
    EXPECT_EQ(buffer[size], 'Z') << "wrote past the buffer at size " << size;
    if (size >= 2) {
      EXPECT_EQ(std::string(buffer.data(), n), std::string("0123456789").substr(0, n - 1) + "\n");
    }
  }
}

}  // namespace
}  // namespace kiv::log
