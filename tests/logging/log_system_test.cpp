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
  EXPECT_EQ(L.getMinimumLevel(), 1);
  EXPECT_EQ(L.getMutedGroups(), 4u);

  // The built-in stderr target is attached; stdout is not.
  EXPECT_EQ(L.findTarget("StdErrLogTarget"), L.stdErrTarget());
  EXPECT_EQ(L.findTarget("DebuggerConsoleLogTarget"), L.debuggerTarget());
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

TEST_F(LogSystemTest, TargetFiltersAndZeroMask) {
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
  Log(kWarn, 0, 1, "high word group");  // group bit 32: not in include mask
  Logging().setMinimumLevel(1);

  ASSERT_EQ(target.lines.size(), 2u);
  EXPECT_NE(target.lines[0].find("included"), std::string::npos);
  EXPECT_NE(target.lines[1].find("zero mask passes"), std::string::npos);
}

TEST_F(LogSystemTest, ConfigureAttachesAndStripsExcludedBitsFromInclude) {
  CapturingTarget target;
  target.Configure(LogTargetConfig{2, 3, 1, "#L|#M"});
  EXPECT_TRUE(target.IsAttached());
  EXPECT_EQ(target.Level(), 2);
  EXPECT_EQ(target.IncludeMask(), 2u);
  EXPECT_EQ(target.ExcludeMask(), 1u);
  Log(kError, 2, 0, "x");
  ASSERT_EQ(target.lines.size(), 1u);
  EXPECT_EQ(target.lines[0], " ERROR|x\n");
  // A second configure does not attach the target twice.
  target.Configure(LogTargetConfig{2, 2, 0, "#M"});
  Log(kError, 2, 0, "y");
  EXPECT_EQ(target.lines.size(), 2u);
}

TEST_F(LogSystemTest, AttachOperationIgnoresFlagAndDetachRemovesEveryOccurrence) {
  CapturingTarget target("Twice");
  const LogInterface& L = Logging();
  L.attachTarget(target.Table());
  L.attachTarget(target.Table());
  Log(kError, 0, 0, "twice");
  EXPECT_EQ(target.lines.size(), 2u);
  EXPECT_EQ(L.findTarget("Twice"), target.Table());
  L.detachTarget(target.Table());
  EXPECT_EQ(L.findTarget("Twice"), nullptr);
  Log(kError, 0, 0, "gone");
  EXPECT_EQ(target.lines.size(), 2u);
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
  // Logging without an acquire starts a state with the start values again.
  testing::internal::CaptureStderr();
  Log(kError, 1, 0, "fresh state");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("fresh state"), std::string::npos);
  L.acquire();
  EXPECT_EQ(L.getMinimumLevel(), 1);
  EXPECT_EQ(L.getMutedGroups(), 4u);
  EXPECT_EQ(L.findTarget("StdOutLogTarget"), nullptr);
  EXPECT_NE(L.findTarget("StdErrLogTarget"), nullptr);
  L.release();
}

TEST(LogGroups, NamesAndMasks) {
  const LogInterface& L = Logging();
  char text[64];
  L.groupsToText(text, sizeof text, 5);
  EXPECT_STREQ(text, "DBG;XTR");
  L.groupsToText(text, sizeof text, 0);
  EXPECT_STREQ(text, "");
  L.groupsToText(text, sizeof text, uint64_t{1} << 63);
  EXPECT_STREQ(text, "???");
  L.groupsToText(text, 5, 0xFF);  // cut to the buffer
  EXPECT_STREQ(text, "DBG;");

  EXPECT_EQ(L.groupFromName("LOC"), uint64_t{1} << 8);
  EXPECT_EQ(L.groupFromName("NETWORK"), 64u);
  const uint64_t abc = L.groupFromName("ABCD");
  EXPECT_GT(abc, uint64_t{1} << 8);
  EXPECT_EQ(L.groupFromName("ABC"), abc);
  L.groupsToText(text, sizeof text, abc | 1);
  EXPECT_STREQ(text, "DBG;ABC");
}

LogEntry MakeEntry(int32_t level, const char* message) {
  LogEntry e{2026, 3, 4, 5, 6, 7, 89, level, 1, message};
  return e;
}

TEST(LogFormat, CodesAndLineEnd) {
  const LogInterface& L = Logging();
  char line[256];
  LogEntry e = MakeEntry(1, "hello");

  L.formatEntry(line, sizeof line, "#D| #L| #G| #M", &e);
  EXPECT_STREQ(line, "2026-03-04T05:06:07.089|   WARN| DBG| hello\n");

  L.formatEntry(line, sizeof line, "#E(#T): #L| #M", &e);
  const std::string s = line;
  EXPECT_EQ(s.rfind(std::string(L.executableName()) + "(", 0), 0u) << s;
  const std::size_t open = s.find('(');
  EXPECT_EQ(s.substr(open + 9, 13), "):   WARN| he");  // eight hex digits of thread id

  e.message = "ends with a line feed\n";
  L.formatEntry(line, sizeof line, "#M", &e);
  EXPECT_STREQ(line, "ends with a line feed\n");

  L.formatEntry(line, sizeof line, "a##b#x#", &e);
  EXPECT_STREQ(line, "a#bx\n");
  L.formatEntry(line, sizeof line, "", &e);
  EXPECT_STREQ(line, "\n");

  L.formatEntry(line, sizeof line, "#H", &e);
  EXPECT_EQ(std::strlen(line), 11u) << line;  // "%06d.%03d" and the line feed
  EXPECT_EQ(line[6], '.');

  char time[64];
  L.formatTimeForFileNames(time, sizeof time, &e);
  EXPECT_STREQ(time, "2026-03-04T05-06-07");
}

TEST(LogFormat, OutputIsCutToTheBufferAndStillEndsTheLine) {
  const LogInterface& L = Logging();
  LogEntry e = MakeEntry(2, "0123456789");
  for (std::size_t size = 1; size < 16; ++size) {
    std::vector<char> buffer(size + 4, 'Z');
    const std::size_t n = L.formatEntry(buffer.data(), size, "#M", &e);
    ASSERT_LT(n, size);
    ASSERT_EQ(buffer[n], '\0');
    EXPECT_EQ(buffer[size], 'Z') << "wrote past the buffer at size " << size;
    if (size >= 2) {
      EXPECT_EQ(buffer[n - 1], '\n') << size;
      EXPECT_EQ(std::string(buffer.data(), n - 1), std::string("0123456789").substr(0, n - 1));
    }
  }
  std::string big(10000, 'x');
  e.message = big.c_str();
  char line[kLineBufferSize];
  EXPECT_EQ(L.formatEntry(line, sizeof line, "#M#M", &e), kLineBufferSize - 1);
  EXPECT_EQ(line[kLineBufferSize - 2], '\n');
}

TEST(LogFormat, LongMessagesAreCutTo4095Characters) {
  Logging().acquire();
  CapturingTarget target;
  target.Configure(LogTargetConfig{0, 0, 0, "#M"});
  std::string big(5000, 'y');
  Log(kError, 0, 0, "%s", big.c_str());
  ASSERT_EQ(target.lines.size(), 1u);
  // The message is 4095 characters; the line replaces its last one by the feed.
  EXPECT_EQ(target.lines[0].size(), 4095u);
  target.Table()->detach(target.Table());
  Logging().release();
}

TEST(LogLevels, Words) {
  const LogInterface& L = Logging();
  EXPECT_STREQ(L.levelWord(0), "  OKAY");
  EXPECT_STREQ(L.levelWord(1), "  WARN");
  EXPECT_STREQ(L.levelWord(2), " ERROR");
  EXPECT_STREQ(L.levelWord(3), "ALWAYS");
  EXPECT_EQ(std::strlen(L.levelWord(7)), 6u);
  EXPECT_EQ(L.interfaceVersion(), 1);
}

}  // namespace
}  // namespace kiv::log
