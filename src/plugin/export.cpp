// The library's one export.
#include "kiv_plugin.h"
#include "logging/diagnostics.h"
#include "logging/event_tracing.h"
#include "logging/log.h"

namespace {
bool IsCompatible(uint32_t pluginMajor, uint32_t pluginMinor, uint32_t pluginPatch, const PluginRegistration& host) {
  return host.apiMajor == pluginMajor &&
         (host.apiMinor > pluginMinor || (host.apiMinor == pluginMinor && host.apiPatch >= pluginPatch));
}

// Tracing providers live exactly as long as the library is loaded.
kiv::trace::Session g_tracing;
}  // namespace

extern "C" KIV_PLUGIN_EXPORT void KIV_CDECL load_kiv_game_client_chat(PluginRegistration* registration) {
  if (registration == nullptr) return;
  const auto& logging = kiv::log::Logging();
  logging.acquire();
  if (!IsCompatible(KIV_PLUGIN_API_MAJOR, KIV_PLUGIN_API_MINOR, KIV_PLUGIN_API_PATCH, *registration)) {
    kiv::diag::FatalReport(kiv::diag::kIncompatibleHostVersion, "Incompatible host plugin API version", __FILE__,
                           __LINE__, __func__);
    logging.release();
    return;
  }
  kiv::log::Log(kiv::log::kWarn, 1, 0, "kiv-game-client-chat: host plugin API %u.%u.%u accepted",
                registration->apiMajor, registration->apiMinor, registration->apiPatch);
  registration->apiMajor = KIV_PLUGIN_API_MAJOR;
  registration->apiMinor = KIV_PLUGIN_API_MINOR;
  registration->apiPatch = KIV_PLUGIN_API_PATCH;
  registration->name = "kiv-game-client-chat";
  logging.release();
}
