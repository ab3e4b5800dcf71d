// Pieces of the logging system shared between the system and its targets.
#pragma once

#include <cstddef>

#include "logging/log.h"

namespace kiv::log::internal {

// Append to / remove every occurrence from the attached list, under the
// system's lock; nothing when the system does not exist.
void AppendTarget(TargetTable* table);
void RemoveTarget(TargetTable* table);

std::size_t FormatEntry(char* buffer, std::size_t size, const char* format, const LogEntry* entry);

// See LogTarget::WriteOutsideLock.
void WriteOutsideLock(void (*write)(void* context, const LogEntry& entry), void* context, const LogEntry& entry);

// Holds the system's lock for a scope (nothing when the system does not
// exist); a stop in the meantime waits for the scope to end.
class SystemLockGuard {
 public:
  SystemLockGuard();
  ~SystemLockGuard();
  SystemLockGuard(const SystemLockGuard&) = delete;
  SystemLockGuard& operator=(const SystemLockGuard&) = delete;

 private:
  void* state_;
};

}  // namespace kiv::log::internal
