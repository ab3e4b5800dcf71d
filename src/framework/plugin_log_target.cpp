#include "framework/plugin_log_target.h"

namespace kiv::framework {

PluginLogTarget::PluginLogTarget(HostServices* services) : services_(services) { UseVirtualWrite(); }

PluginLogTarget::~PluginLogTarget() = default;

const char* PluginLogTarget::Name() const { return kPluginLogTargetName; }

bool PluginLogTarget::Write(const log::LogEntry& entry) {
  if (services_ != nullptr && services_->writeLog != nullptr) {
    services_->writeLog(services_, entry.level, entry.message != nullptr ? entry.message : "");
  }
  return true;
}

}  // namespace kiv::framework
