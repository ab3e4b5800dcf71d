#include "framework/plugin_log_target.h"

namespace kiv::framework {

namespace {

// Entry 9 is called outside the logging system's lock: the host may log,
// call back into the plugin or simply take its time, and other threads'
// lines must not wait for it (nor deadlock on the lock it would need).
void WriteToHost(void* context, const log::LogEntry& entry) {
  auto* services = static_cast<HostServices*>(context);
  if (services->writeLog != nullptr) {
    services->writeLog(services, entry.level, entry.message != nullptr ? entry.message : "");
  }
}

}  // namespace

PluginLogTarget::PluginLogTarget(HostServices* services) : services_(services) { UseVirtualWrite(); }

PluginLogTarget::~PluginLogTarget() = default;

const char* PluginLogTarget::Name() const { return kPluginLogTargetName; }

bool PluginLogTarget::Write(const log::LogEntry& entry) {
  // The host's table, not this target, is what the deferred write holds: the
  // target may be detached and destroyed before the write runs.
  if (services_ != nullptr) WriteOutsideLock(&WriteToHost, services_, entry);
  return true;
}

}  // namespace kiv::framework
