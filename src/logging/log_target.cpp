// The target table entries and the built-in console targets.
#include "logging/log_target.h"

#include <cstddef>
#include <cstdio>

#include "logging/log_system_internal.h"

namespace kiv::log {

struct TargetTableEntries {
  static int32_t InterfaceVersion(TargetTable*) { return 1; }

  static void SetLevel(TargetTable* table, int32_t level) {
    LogTarget* t = LogTarget::FromTable(table);
    platform::LockGuard guard(t->lock_);
    t->level_ = level;
  }
  static int32_t GetLevel(TargetTable* table) { return LogTarget::FromTable(table)->level_; }

  static void SetGroupMasks(TargetTable* table, uint64_t include, uint64_t exclude) {
    LogTarget* t = LogTarget::FromTable(table);
    platform::LockGuard guard(t->lock_);
    t->include_ = include & ~exclude;
    t->exclude_ = exclude;
  }
  static uint64_t GetIncludeMask(TargetTable* table) { return LogTarget::FromTable(table)->include_; }
  static uint64_t GetExcludeMask(TargetTable* table) { return LogTarget::FromTable(table)->exclude_; }

  static const char* Name(TargetTable* table) { return LogTarget::FromTable(table)->Name(); }
  static const char* LineFormat(TargetTable* table, const LogEntry* entry) {
    return LogTarget::FromTable(table)->LineFormat(entry);
  }

  static void Attach(TargetTable* table) {
    LogTarget* t = LogTarget::FromTable(table);
    if (t->attached_) return;
    t->attached_ = true;
    internal::AppendTarget(table);
  }

  static void Detach(TargetTable* table) {
    LogTarget* t = LogTarget::FromTable(table);
    if (!t->attached_) return;
    t->attached_ = false;
    internal::RemoveTarget(table);
  }

  static uint8_t IsAttached(TargetTable* table) { return LogTarget::FromTable(table)->attached_ ? 1 : 0; }

  static uint8_t WriteNothing(TargetTable*, const LogEntry*) { return 0; }
  static uint8_t WriteVirtual(TargetTable* table, const LogEntry* entry) {
    return entry != nullptr && LogTarget::FromTable(table)->Write(*entry) ? 1 : 0;
  }
};

LogTarget::LogTarget() {
  slot_.table = TargetTable{&TargetTableEntries::InterfaceVersion,
                            &TargetTableEntries::SetLevel,
                            &TargetTableEntries::GetLevel,
                            &TargetTableEntries::SetGroupMasks,
                            &TargetTableEntries::GetIncludeMask,
                            &TargetTableEntries::GetExcludeMask,
                            &TargetTableEntries::Name,
                            &TargetTableEntries::LineFormat,
                            &TargetTableEntries::Attach,
                            &TargetTableEntries::Detach,
                            &TargetTableEntries::IsAttached,
                            &TargetTableEntries::WriteNothing};
  slot_.owner = this;
}

LogTarget::~LogTarget() = default;

LogTarget* LogTarget::FromTable(TargetTable* table) {
  static_assert(offsetof(Slot, table) == 0, "the table leads the slot");
  return reinterpret_cast<Slot*>(table)->owner;
}

void LogTarget::UseVirtualWrite() { slot_.table.write = &TargetTableEntries::WriteVirtual; }

void LogTarget::WriteOutsideLock(void (*write)(void* context, const LogEntry& entry), void* context,
                                 const LogEntry& entry) {
  internal::WriteOutsideLock(write, context, entry);
}

void LogTarget::Detach() {
  internal::SystemLockGuard system;
  platform::LockGuard guard(lock_);
  TargetTableEntries::Detach(Table());
}

const char* LogTarget::Name() const { return "LogTarget"; }
const char* LogTarget::LineFormat(const LogEntry*) const { return lineFormat_.c_str(); }
bool LogTarget::Write(const LogEntry&) { return false; }
void LogTarget::Flush() {}

int32_t LogTarget::Level() { return slot_.table.getLevel(Table()); }
uint64_t LogTarget::IncludeMask() { return slot_.table.getIncludeMask(Table()); }
uint64_t LogTarget::ExcludeMask() { return slot_.table.getExcludeMask(Table()); }

void LogTarget::SetLineFormat(const char* format) {
  platform::LockGuard guard(lock_);
  lineFormat_ = format != nullptr ? format : "";
}

void LogTarget::Configure(const LogTargetConfig& config) {
  // Every path takes the system's lock before a target's (a write runs with the
  // system's lock held and then takes the target's); taking them the other
  // way round here could deadlock against a concurrent log call.
  internal::SystemLockGuard system;
  platform::LockGuard guard(lock_);
  TargetTableEntries::Detach(Table());
  level_ = config.level;
  include_ = config.includeMask;
  exclude_ = config.excludeMask;
  lineFormat_ = config.lineFormat != nullptr ? config.lineFormat : "";
  if (!attached_) TargetTableEntries::Attach(Table());
  TargetTableEntries::SetLevel(Table(), config.level);
  TargetTableEntries::SetGroupMasks(Table(), config.includeMask, config.excludeMask);
}

BaseConsoleLogTarget::~BaseConsoleLogTarget() {
  // Detach while the object is still whole: a concurrent log call must not
  // reach a half-destroyed target.
  internal::SystemLockGuard system;
  platform::LockGuard guard(TargetLock());
  TargetTableEntries::Detach(Table());
}

const char* BaseConsoleLogTarget::Name() const { return "BaseConsoleLogTarget"; }

bool BaseConsoleLogTarget::WriteLine(const LogEntry& entry) {
  char line[kLineBufferSize];
  internal::FormatEntry(line, sizeof line, LineFormat(&entry), &entry);
  platform::LockGuard guard(TargetLock());
  Emit(line);
  return true;
}

StdErrLogTarget::StdErrLogTarget() { UseVirtualWrite(); }
const char* StdErrLogTarget::Name() const { return "StdErrLogTarget"; }
bool StdErrLogTarget::Write(const LogEntry& entry) { return WriteLine(entry); }
void StdErrLogTarget::Flush() { std::fflush(stderr); }
void StdErrLogTarget::Emit(const char* line) { std::fputs(line, stderr); }

StdOutLogTarget::StdOutLogTarget() { UseVirtualWrite(); }
const char* StdOutLogTarget::Name() const { return "StdOutLogTarget"; }
bool StdOutLogTarget::Write(const LogEntry& entry) { return WriteLine(entry); }
void StdOutLogTarget::Flush() { std::fflush(stdout); }
void StdOutLogTarget::Emit(const char* line) {
  std::fputs(line, stdout);
  if (flushEachLine_) std::fflush(stdout);
}

DebuggerConsoleLogTarget::DebuggerConsoleLogTarget() { UseVirtualWrite(); }
const char* DebuggerConsoleLogTarget::Name() const { return "DebuggerConsoleLogTarget"; }
bool DebuggerConsoleLogTarget::Write(const LogEntry& entry) { return WriteLine(entry); }
void DebuggerConsoleLogTarget::Flush() {}
void DebuggerConsoleLogTarget::Emit(const char* line) { platform::DebuggerOutput(line); }

}  // namespace kiv::log
