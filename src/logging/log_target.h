// Log targets: the base class behind the 12-entry target table, and the three
// built-in console targets (standard error, standard output, debugger).
#pragma once

#include <cstdint>

#include "logging/log.h"
#include "logging/memory.h"
#include "platform/platform.h"

namespace kiv::log {

struct LogTargetConfig {
  int32_t level;
  uint64_t includeMask;
  uint64_t excludeMask;
  const char* lineFormat;
};

class LogTarget : public mem::Allocated {
 public:
  LogTarget();
  virtual ~LogTarget();
  LogTarget(const LogTarget&) = delete;
  LogTarget& operator=(const LogTarget&) = delete;

  // Virtual operations, in slot order after the destructor.
  virtual void Detach();
  virtual const char* Name() const;
  virtual const char* LineFormat(const LogEntry* entry) const;
  virtual bool Write(const LogEntry& entry);
  virtual void Flush();

  // Detach, set level, masks and line format, and attach again; the include
  // mask loses the bits of the exclude mask.
  void Configure(const LogTargetConfig& config);
  void SetLineFormat(const char* format);

  TargetTable* Table() { return &slot_.table; }
  static LogTarget* FromTable(TargetTable* table);

  int32_t Level();
  uint64_t IncludeMask();
  uint64_t ExcludeMask();
  bool IsAttached() const { return attached_; }

 protected:
  // Concrete targets route table entry 11 to their virtual Write.
  void UseVirtualWrite();
  // For a write that calls out of the library (into a host, which may call
  // back in, or take its time): called from Write during a log call, it has
  // `write(context, entry)` run once the log call has given the logging
  // system's lock back, still on the logging thread and before the call
  // returns, so each thread's lines keep their order. `context` must stay
  // valid until then without this target (which may be gone by then).
  // Anywhere else it writes at once.
  static void WriteOutsideLock(void (*write)(void* context, const LogEntry& entry), void* context,
                               const LogEntry& entry);
  // The target's own lock: guards level, masks, line format and output.
  platform::RecursiveLock& TargetLock() { return lock_; }

 private:
  friend struct TargetTableEntries;
  // The table comes first so that a table pointer leads back to its target.
  struct Slot {
    TargetTable table;
    LogTarget* owner;
  } slot_;
  bool attached_ = false;
  platform::RecursiveLock lock_;
  int32_t level_ = 1;
  uint64_t include_ = 0;
  uint64_t exclude_ = 0;
  String lineFormat_{"#D| #L| #G| #M"};
};

class BaseConsoleLogTarget : public LogTarget {
 public:
  ~BaseConsoleLogTarget() override;
  const char* Name() const override;

 protected:
  // Formats the entry with this target's line format into a stack buffer and
  // hands the line to Emit under the target's lock.
  bool WriteLine(const LogEntry& entry);
  virtual void Emit(const char* line) = 0;
};

class StdErrLogTarget final : public BaseConsoleLogTarget {
 public:
  StdErrLogTarget();
  const char* Name() const override;
  bool Write(const LogEntry& entry) override;
  void Flush() override;

 protected:
  void Emit(const char* line) override;
};

class StdOutLogTarget final : public BaseConsoleLogTarget {
 public:
  StdOutLogTarget();
  const char* Name() const override;
  bool Write(const LogEntry& entry) override;
  void Flush() override;
  void SetFlushEachLine(bool flush) { flushEachLine_ = flush; }

 protected:
  void Emit(const char* line) override;

 private:
  bool flushEachLine_ = false;
};

class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
 public:
  DebuggerConsoleLogTarget();
  const char* Name() const override;
  bool Write(const LogEntry& entry) override;
  void Flush() override;

 protected:
  void Emit(const char* line) override;
};

}  // namespace kiv::log
