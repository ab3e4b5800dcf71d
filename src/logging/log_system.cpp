// The process-wide logging state, the group table, the line-format language
// and the logging interface table.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "logging/log.h"
#include "logging/log_system_internal.h"
#include "logging/log_target.h"
#include "platform/platform.h"

namespace kiv::log {
namespace {

constexpr std::size_t kExecutableNameSize = 1024;

struct LogState : mem::Allocated {
  LogState* nextRetired = nullptr;  // see Stop
  platform::RecursiveLock lock;
  Vector<TargetTable*> targets;
  // Read without the lock by the global filter of every log call.
  std::atomic<bool> disabled{false};
  std::atomic<int32_t> minimumLevel{1};
  std::atomic<uint64_t> mutedGroups{kXtr};
  char executableName[kExecutableNameSize] = "<unknown>";
  StdErrLogTarget* stdErr = nullptr;
  StdOutLogTarget* stdOut = nullptr;
  DebuggerConsoleLogTarget* debugger = nullptr;
};

std::atomic<LogState*> g_state{nullptr};
std::atomic<int32_t> g_users{0};

// Stopping must not free the state under a thread that is still using it
// (writing a line, say). Every use of the published state holds a pin; Stop
// withdraws the state first, so that no new pin can reach it, then waits
// until the pins taken before have been given back.
std::atomic<uint32_t> g_pins{0};
thread_local uint32_t t_pins = 0;
// States stopped while this thread held pins itself (Stop called from inside
// a log call): freed when this thread gives its last pin back.
thread_local LogState* t_retired = nullptr;

void Destroy(LogState* state) {
  delete state->debugger;
  delete state->stdOut;
  delete state->stdErr;
  delete state;
}

LogState* TakePin() {
  g_pins.fetch_add(1, std::memory_order_seq_cst);
  ++t_pins;
  return g_state.load(std::memory_order_seq_cst);
}

void GivePin() {
  --t_pins;
  g_pins.fetch_sub(1, std::memory_order_release);
  if (t_pins == 0 && t_retired != nullptr) {
    LogState* retired = std::exchange(t_retired, nullptr);
    while (retired != nullptr) Destroy(std::exchange(retired, retired->nextRetired));
  }
}

class Pin {
 public:
  Pin() { Take(); }
  ~Pin() { Give(); }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

  LogState* state() const { return state_; }
  void Take() {
    state_ = TakePin();
    held_ = true;
  }
  void Give() {
    if (!held_) return;
    held_ = false;
    state_ = nullptr;
    GivePin();
  }

 private:
  LogState* state_ = nullptr;
  bool held_ = false;
};

// The writes targets asked to make once the log call has left the
// logging system's lock (see LogTarget::WriteOutsideLock).
struct DeferredWrites {
  static constexpr int kCapacity = 8;
  struct Write {
    void (*write)(void* context, const LogEntry& entry);
    void* context;
  };
  const LogEntry* entry = nullptr;
  Write writes[kCapacity];
  int count = 0;
};
thread_local DeferredWrites* t_deferred = nullptr;

platform::Mutex& LifecycleMutex() {
  static platform::Mutex mutex;
  return mutex;
}

// The group table: 64 names of at most three characters, constant-initialised
// so that it is ready before any static constructor logs.
#define KIV_UNNAMED "???", "???", "???", "???", "???", "???", "???", "???"
struct GroupTable {
  char names[64][4];
  std::atomic<int32_t> highestBit;
};
GroupTable g_groups = {{"DBG", "GEN", "XTR", "PRF", "MEM", "DSK", "NET", "TST", KIV_UNNAMED, KIV_UNNAMED, KIV_UNNAMED,
                        KIV_UNNAMED, KIV_UNNAMED, KIV_UNNAMED, KIV_UNNAMED},
                       7};
#undef KIV_UNNAMED

const char* const kLevelWords[4] = {"  OKAY", "  WARN", " ERROR", "ALWAYS"};

std::atomic<int64_t> g_firstElapsedUse{0};

void StartTargets(LogState* state, bool& published);

LogState* Start() {
  platform::LockGuard lifecycle(LifecycleMutex());
  if (LogState* existing = g_state.load()) return existing;
  LogState* state = new LogState();
  bool published = false;
  try {
    StartTargets(state, published);
  } catch (...) {
    // Out of memory half way: nothing of the state stays behind.
    if (published) {
      g_state.store(nullptr, std::memory_order_seq_cst);
      while (g_pins.load(std::memory_order_seq_cst) > t_pins) std::this_thread::yield();
    }
    Destroy(state);
    throw;
  }
  return state;
}

void StartTargets(LogState* state, bool& published) {
  state->stdErr = new StdErrLogTarget();
  state->stdOut = new StdOutLogTarget();
  state->debugger = new DebuggerConsoleLogTarget();
  struct Setting {
    LogTarget* target;
    uint64_t include, exclude;
    const char* format;
  };
  for (const Setting& s :
       {Setting{state->stdErr, kDbg, kGen, "#E(#T): #L| #M"}, Setting{state->stdOut, kGen, kDbg, "#M"},
        Setting{state->debugger, kDbg, 0, "#E(#T): #L| #M"}}) {
    TargetTable* t = s.target->Table();
    t->setLevel(t, 1);
    t->setGroupMasks(t, s.include, s.exclude);
    s.target->SetLineFormat(s.format);
  }
  g_state.store(state);
  published = true;
  {
    platform::LockGuard guard(state->lock);
    char path[kExecutableNameSize];
    if (platform::ExecutablePath(path, sizeof path) > 0) {
      const char* name = std::strrchr(path, platform::PathSeparator());
      name = name != nullptr ? name + 1 : path;
      std::snprintf(state->executableName, sizeof state->executableName, "%s", name);
    }
  }
  state->stdErr->Table()->attach(state->stdErr->Table());
  state->debugger->Table()->attach(state->debugger->Table());
}

void Stop() {
  platform::LockGuard lifecycle(LifecycleMutex());
  // An acquire that came in since the release that called this keeps the state.
  if (g_users.load() > 0) return;
  LogState* state = g_state.load();
  if (state == nullptr) return;
  {
    platform::LockGuard guard(state->lock);
    while (!state->targets.empty()) {
      TargetTable* last = state->targets.back();
      last->detach(last);
      // A target attached without its flag (operation 9) is not removed by
      // its own detach; drop it here so the loop always ends.
      if (!state->targets.empty() && state->targets.back() == last) state->targets.pop_back();
    }
  }
  g_state.store(nullptr, std::memory_order_seq_cst);
  // Pins taken from here on find no state; those taken before are given back
  // once their log call is done with it.
  while (g_pins.load(std::memory_order_seq_cst) > t_pins) std::this_thread::yield();
  if (t_pins > 0) {
    state->nextRetired = t_retired;
    t_retired = state;
    return;
  }
  Destroy(state);
}

// --- interface operations -------------------------------------------------

int32_t InterfaceVersion() { return 1; }

void Acquire() {
  if (g_users.fetch_add(1) + 1 != 1) return;
  try {
    Start();
  } catch (...) {
    g_users.fetch_sub(1);  // this user never got a system
    throw;
  }
}

void Release() {
  if (g_users.fetch_sub(1) - 1 == 0) Stop();
}

// Operations 3 to 14 expect a started system; without one they do nothing
// (and answer as the start values would).
void SetMinimumLevel(int32_t level) {
  Pin pin;
  if (LogState* s = pin.state()) {
    platform::LockGuard guard(s->lock);
    s->minimumLevel = level;
  }
}
int32_t GetMinimumLevel() {
  Pin pin;
  LogState* s = pin.state();
  if (s == nullptr) return kWarn;
  platform::LockGuard guard(s->lock);
  return s->minimumLevel;
}
void SetMutedGroups(uint64_t mask) {
  Pin pin;
  if (LogState* s = pin.state()) {
    platform::LockGuard guard(s->lock);
    s->mutedGroups = mask;
  }
}
uint64_t GetMutedGroups() {
  Pin pin;
  LogState* s = pin.state();
  if (s == nullptr) return kXtr;
  platform::LockGuard guard(s->lock);
  return s->mutedGroups;
}
void Disable() {
  Pin pin;
  if (LogState* s = pin.state()) {
    platform::LockGuard guard(s->lock);
    s->disabled = true;
  }
}
void Enable() {
  Pin pin;
  if (LogState* s = pin.state()) {
    platform::LockGuard guard(s->lock);
    s->disabled = false;
  }
}

void AttachTargetOp(TargetTable* table) { internal::AppendTarget(table); }
void DetachTargetOp(TargetTable* table) { internal::RemoveTarget(table); }

TargetTable* FindTarget(const char* name) {
  Pin pin;
  LogState* s = pin.state();
  if (s == nullptr || name == nullptr) return nullptr;
  platform::LockGuard guard(s->lock);
  for (TargetTable* t : s->targets) {
    const char* targetName = t->name(t);
    if (targetName != nullptr && std::strcmp(targetName, name) == 0) return t;
  }
  return nullptr;
}

TargetTable* StdOutTarget() {
  Pin pin;
  return pin.state() != nullptr ? pin.state()->stdOut->Table() : nullptr;
}
TargetTable* StdErrTarget() {
  Pin pin;
  return pin.state() != nullptr ? pin.state()->stdErr->Table() : nullptr;
}
TargetTable* DebuggerTarget() {
  Pin pin;
  return pin.state() != nullptr ? pin.state()->debugger->Table() : nullptr;
}

uint64_t GroupFromName(const char* name) {
  if (name == nullptr) return 0;
  char key[4] = {};
  std::strncpy(key, name, 3);
  const int32_t highest = g_groups.highestBit.load();
  for (int32_t bit = 0; bit <= highest && bit < 64; ++bit) {
    if (std::strncmp(key, g_groups.names[bit], 3) == 0) return uint64_t{1} << bit;
  }
  const int32_t bit = g_groups.highestBit.fetch_add(1) + 1;
  if (bit >= 64) {
    // The table is full: no group can be given; a zero mask passes every filter.
    g_groups.highestBit.store(63);
    return 0;
  }
  std::memcpy(g_groups.names[bit], key, 4);
  return uint64_t{1} << bit;
}

void GroupsToText(char* buffer, std::size_t size, uint64_t mask) {
  if (buffer == nullptr || size == 0) return;
  std::size_t pos = 0;
  buffer[0] = '\0';
  for (int bit = 0; bit < 64; ++bit) {
    if ((mask & (uint64_t{1} << bit)) == 0) continue;
    const char* parts[2] = {pos > 0 ? ";" : "", g_groups.names[bit]};
    for (const char* part : parts) {
      for (; *part != '\0' && pos + 1 < size; ++part) buffer[pos++] = *part;
    }
  }
  buffer[pos] = '\0';
}

const char* LevelWord(int32_t level) { return level >= 0 && level < 4 ? kLevelWords[level] : "     ?"; }

const char* ExecutableName() {
  LogState* s = g_state.load();
  return s != nullptr ? s->executableName : "<unknown>";
}

void CaptureLocalTime(LogEntry* entry) {
  if (entry == nullptr) return;
  const platform::CalendarTime t = platform::LocalTime();
  entry->year = t.year;
  entry->month = t.month;
  entry->day = t.day;
  entry->hour = t.hour;
  entry->minute = t.minute;
  entry->second = t.second;
  entry->millisecond = t.millisecond;
}

void FormatTime(char* buffer, std::size_t size, const LogEntry* t) {
  if (buffer == nullptr || size == 0 || t == nullptr) return;
  std::snprintf(buffer, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t->year, t->month, t->day, t->hour, t->minute,
                t->second, t->millisecond);
}

void FormatTimeForFileNames(char* buffer, std::size_t size, const LogEntry* t) {
  if (buffer == nullptr || size == 0 || t == nullptr) return;
  std::snprintf(buffer, size, "%04d-%02d-%02dT%02d-%02d-%02d", t->year, t->month, t->day, t->hour, t->minute,
                t->second);
}

// Makes the writes deferred during a log call's locked walk of the targets
// land in `writes`, for the length of the walk.
class DeferScope {
 public:
  explicit DeferScope(DeferredWrites* writes) : previous_(std::exchange(t_deferred, writes)) {}
  ~DeferScope() { t_deferred = previous_; }
  DeferScope(const DeferScope&) = delete;
  DeferScope& operator=(const DeferScope&) = delete;

 private:
  DeferredWrites* previous_;
};

void LogV(int32_t level, uint64_t groups, const char* format, va_list args) {
  Pin pin;
  LogState* s = pin.state();
  if (s == nullptr) {
    // Started outside the pin: Start waits for a Stop in progress, which
    // waits for the pins.
    pin.Give();
    Start();
    pin.Take();
    s = pin.state();
    if (s == nullptr) return;
  }
  if (s->disabled.load(std::memory_order_relaxed) || level < s->minimumLevel.load(std::memory_order_relaxed) ||
      (groups & s->mutedGroups.load(std::memory_order_relaxed)) != 0) {
    return;
  }
  char message[kLineBufferSize];
  if (format == nullptr) {
    message[0] = '\0';
  } else {
    std::vsnprintf(message, sizeof message, format, args);
  }
  LogEntry entry{};
  CaptureLocalTime(&entry);
  entry.level = level;
  entry.groups = groups;
  entry.message = message;

  DeferredWrites deferred;
  deferred.entry = &entry;
  {
    platform::LockGuard guard(s->lock);
    DeferScope scope(&deferred);
    // Indexed walk: a target's write may detach targets.
    for (std::size_t i = 0; i < s->targets.size(); ++i) {
      TargetTable* t = s->targets[i];
      if (level < t->getLevel(t)) continue;
      if (groups != 0) {
        if ((groups & t->getExcludeMask(t)) != 0) continue;
        const uint64_t include = t->getIncludeMask(t);
        if (include != 0 && (groups & include) == 0) continue;
      }
      t->write(t, &entry);
    }
  }
  // Still on the logging thread and before the call returns, so that the
  // lines of one thread reach each target in the order they were logged.
  for (int i = 0; i < deferred.count; ++i) deferred.writes[i].write(deferred.writes[i].context, entry);
}

const LogInterface kInterface = {
    &InterfaceVersion,
    &Acquire,
    &Release,
    &SetMinimumLevel,
    &GetMinimumLevel,
    &SetMutedGroups,
    &GetMutedGroups,
    &Disable,
    &Enable,
    &AttachTargetOp,
    &DetachTargetOp,
    &FindTarget,
    &StdOutTarget,
    &StdErrTarget,
    &DebuggerTarget,
    &GroupFromName,
    &GroupsToText,
    &internal::FormatEntry,
    &LevelWord,
    &ExecutableName,
    &CaptureLocalTime,
    &FormatTime,
    &FormatTimeForFileNames,
    &LogV,
};

// The library registers its location group at start-up.
[[maybe_unused]] const uint64_t kLocationGroup = GroupFromName("LOC");

}  // namespace

const LogInterface& Logging() { return kInterface; }

void Log(int32_t level, uint32_t groupsLow, uint32_t groupsHigh, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, (uint64_t{groupsHigh} << 32) | groupsLow, format, args);
  va_end(args);
}

namespace internal {

void AppendTarget(TargetTable* table) {
  Pin pin;
  LogState* s = pin.state();
  if (s == nullptr || table == nullptr) return;
  platform::LockGuard guard(s->lock);
  s->targets.push_back(table);
}

void RemoveTarget(TargetTable* table) {
  Pin pin;
  LogState* s = pin.state();
  if (s == nullptr) return;
  platform::LockGuard guard(s->lock);
  std::erase(s->targets, table);
}

void WriteOutsideLock(void (*write)(void* context, const LogEntry& entry), void* context, const LogEntry& entry) {
  DeferredWrites* deferred = t_deferred;
  if (deferred != nullptr && deferred->entry == &entry && deferred->count < DeferredWrites::kCapacity) {
    deferred->writes[deferred->count++] = DeferredWrites::Write{write, context};
    return;
  }
  write(context, entry);
}

// The state is pinned for the guard's lifetime, so its lock outlives the guard.
SystemLockGuard::SystemLockGuard() : state_(TakePin()) {
  if (state_ != nullptr) static_cast<LogState*>(state_)->lock.Lock();
}
SystemLockGuard::~SystemLockGuard() {
  if (state_ != nullptr) static_cast<LogState*>(state_)->lock.Unlock();
  GivePin();
}

std::size_t FormatEntry(char* buffer, std::size_t size, const char* format, const LogEntry* entry) {
  if (buffer == nullptr || size == 0) return 0;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  // Text may fill all but the last byte; the line feed then replaces the last
  // character kept.
  const std::size_t limit = size - 1;
  std::size_t pos = 0;
  auto put = [&](const char* text) {
    if (text == nullptr) return;
    for (; *text != '\0' && pos < limit; ++text) buffer[pos++] = *text;
  };
  char scratch[64];
  for (const char* f = format != nullptr ? format : ""; *f != '\0' && pos < limit; ++f) {
    if (*f != '#') {
      buffer[pos++] = *f;
      continue;
    }
    const char code = *++f;
    if (code == '\0') break;
    switch (code) {
      case 'D':
        if (entry != nullptr) {
          FormatTime(scratch, sizeof scratch, entry);
          put(scratch);
        }
        break;
      case 'E':
        put(ExecutableName());
        break;
      case 'G':
        if (entry != nullptr) {
          char groups[64 * 4];
          GroupsToText(groups, sizeof groups, entry->groups);
          put(groups);
        }
        break;
      case 'H': {
        const int64_t now = platform::PerformanceCounter();
        int64_t first = 0;
        if (g_firstElapsedUse.compare_exchange_strong(first, now)) first = now;
        const int64_t elapsed = now - first;
        const int64_t frequency = platform::PerformanceFrequency();
        const int64_t seconds = elapsed / frequency;
        const int64_t millis = ((elapsed % frequency) * 1000 / frequency) % 1000;
        std::snprintf(scratch, sizeof scratch, "%06d.%03d", static_cast<int>(seconds), static_cast<int>(millis));
        put(scratch);
        break;
      }
      case 'L':
        if (entry != nullptr) put(LevelWord(entry->level));
        break;
      case 'M':
        if (entry != nullptr) put(entry->message);
        break;
      case 'T':
        std::snprintf(scratch, sizeof scratch, "%08X", static_cast<unsigned>(platform::CurrentThreadId()));
        put(scratch);
        break;
      default:
        buffer[pos++] = code;
        break;
    }
  }
  if (pos > 0 && buffer[pos - 1] == '\n') {
    buffer[pos] = '\0';
    return pos;
  }
  if (pos < limit) {
    buffer[pos++] = '\n';
  } else {
    buffer[pos - 1] = '\n';
  }
  buffer[pos] = '\0';
  return pos;
}

}  // namespace internal
}  // namespace kiv::log
