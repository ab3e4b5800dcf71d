// The log target that hands the plugin's lines to the host (entry 9) as
// level and message text, without date, level or group decoration. The host
// is called after the logging system's lock is given back, on the logging
// thread, before the log call returns.
#pragma once

#include "kiv_plugin.h"
#include "logging/log_target.h"

namespace kiv::framework {

class PluginLogTarget final : public log::LogTarget {
 public:
  explicit PluginLogTarget(HostServices* services);
  ~PluginLogTarget() override;
  const char* Name() const override;
  bool Write(const log::LogEntry& entry) override;

 private:
  HostServices* services_;
};

inline constexpr const char* kPluginLogTargetName = "PluginLogTarget";

}  // namespace kiv::framework
