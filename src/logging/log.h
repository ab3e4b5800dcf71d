// The process-wide logging system: one reference-counted state, a global
// filter by level and muted groups, and log targets reached only through
// their 12-entry interface tables.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// printf-style checking of format arguments; MinGW's C99 printf is the GNU one.
#if defined(__MINGW32__)
#define KIV_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define KIV_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KIV_PRINTF_FORMAT(f, a)
#endif

namespace kiv::log {

enum Level : int32_t { kOkay = 0, kWarn = 1, kError = 2, kAlways = 3 };

// Predefined group masks.
inline constexpr uint64_t kDbg = 1, kGen = 2, kXtr = 4, kPrf = 8, kMem = 16, kDsk = 32, kNet = 64, kTst = 128;

inline constexpr std::size_t kLineBufferSize = 4096;

// The record handed to targets.
struct LogEntry {
  int32_t year, month, day, hour, minute, second, millisecond;
  int32_t level;
  uint64_t groups;
  const char* message;
};

// The target interface table. Every entry takes the table's own address first,
// so any object that supplies such a table can be a target.
struct TargetTable {
  int32_t (*interfaceVersion)(TargetTable* self);
  void (*setLevel)(TargetTable* self, int32_t level);
  int32_t (*getLevel)(TargetTable* self);
  void (*setGroupMasks)(TargetTable* self, uint64_t include, uint64_t exclude);
  uint64_t (*getIncludeMask)(TargetTable* self);
  uint64_t (*getExcludeMask)(TargetTable* self);
  const char* (*name)(TargetTable* self);
  const char* (*lineFormat)(TargetTable* self, const LogEntry* entry);
  void (*attach)(TargetTable* self);
  void (*detach)(TargetTable* self);
  uint8_t (*isAttached)(TargetTable* self);
  uint8_t (*write)(TargetTable* self, const LogEntry* entry);
};

// The logging interface, in its fixed operation order.
struct LogInterface {
  int32_t (*interfaceVersion)();
  void (*acquire)();
  void (*release)();
  void (*setMinimumLevel)(int32_t level);
  int32_t (*getMinimumLevel)();
  void (*setMutedGroups)(uint64_t mask);
  uint64_t (*getMutedGroups)();
  void (*disable)();
  void (*enable)();
  void (*attachTarget)(TargetTable* target);
  void (*detachTarget)(TargetTable* target);
  TargetTable* (*findTarget)(const char* name);
  TargetTable* (*stdOutTarget)();
  TargetTable* (*stdErrTarget)();
  TargetTable* (*debuggerTarget)();
  uint64_t (*groupFromName)(const char* name);
  void (*groupsToText)(char* buffer, std::size_t size, uint64_t mask);
  std::size_t (*formatEntry)(char* buffer, std::size_t size, const char* format, const LogEntry* entry);
  const char* (*levelWord)(int32_t level);
  const char* (*executableName)();
  void (*captureLocalTime)(LogEntry* entry);
  void (*formatTime)(char* buffer, std::size_t size, const LogEntry* time);
  void (*formatTimeForFileNames)(char* buffer, std::size_t size, const LogEntry* time);
  void (*log)(int32_t level, uint64_t groups, const char* format, va_list args);
};

// The accessor every part of the library goes through.
const LogInterface& Logging();

// The everyday entry point: the group mask is given as its low and high words.
void Log(int32_t level, uint32_t groupsLow, uint32_t groupsHigh, const char* format, ...) KIV_PRINTF_FORMAT(4, 5);

// Shorthands used throughout the library.
#define KIV_LOG_ERROR(...) ::kiv::log::Log(::kiv::log::kError, 1, 0, __VA_ARGS__)

}  // namespace kiv::log
