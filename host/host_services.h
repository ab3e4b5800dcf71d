// The host services every plugin is handed at initialization: requests,
// events, subscriptions, cooperative waits and log lines, each entry finding
// its plugin through the table it was called with.
#pragma once

#include "kiv_plugin.h"

namespace kivhost {

// The service entries in the boundary's order, for a plugin's ServiceTable.
[[nodiscard]] HostServices ServiceFunctions();

}  // namespace kivhost
