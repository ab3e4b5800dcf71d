// Reading a plugin's API table: its endpoints, types and events, walked with
// no count or chain trusted, into the description the host serves and the
// endpoints it routes.
#pragma once

#include <string>
#include <vector>

namespace kivhost {

struct PluginSlot;

// Fills slot.description and slot.endpoints from slot.reg.apiTable. What
// the table gets wrong (counts that disagree with its chains, null arrays,
// endpoints without a path) is added to `warnings` and, if any, to the
// description.
void ReadApi(PluginSlot& slot, std::vector<std::string>* warnings);

}  // namespace kivhost
