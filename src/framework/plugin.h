// The plugin base class and the host handshake.
//
// A concrete plugin derives from Plugin, registers its endpoints, types and
// events in RegisterApi and starts up in OnInitialize; its library defines
// the one export with
//
//   KIV_DEFINE_PLUGIN_EXPORT(load_kiv_game_client_chat, GameClientChatPlugin, "kiv-game-client-chat")
//
// which creates the plugin (constructed from the short name when it takes
// one, else by default), checks the host's plugin API version, registers the
// framework's and the plugin's API and writes the registration record.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <type_traits>

#include "api/binding_api.h"
#include "framework/framework_types.h"
#include "framework/plugin_context.h"
#include "framework/plugin_log_target.h"
#include "framework/result.h"
#include "kiv_plugin.h"
#include "logging/event_tracing.h"
#include "logging/memory.h"

namespace kiv::framework {

struct SemanticVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  String preRelease;
  String build;
};

// The plugin API version this library is built for.
SemanticVersion PluginApiVersion();
// "%1.%2.%3", then "-" and the pre-release text and "+" and the build text
// when those are not empty.
String VersionToString(const SemanticVersion& version);
// Same major, and (minor, patch) of the host not below the plugin's.
bool IsCompatibleVersion(const SemanticVersion& plugin, const SemanticVersion& host);

struct PluginType {
  String name;
  String qualifier;
};
PluginType BackendPluginType();
PluginType FrontendPluginType();

struct PluginNames {
  String fullName;
  String shortName;
  String typeName;
  String typeQualifier;
};

// "mox-be-" (backend) / "mox-fe-" (frontend) + short name; any other type
// gives "mox-xx-" and an ERROR line.
PluginNames GetFullNameFromShortNameAndType(std::string_view shortName, const PluginType& type);

class Plugin : public PluginContext, public mem::Allocated {
 public:
  explicit Plugin(std::string_view shortName = {});
  ~Plugin() override;

  void HostSendRequest(HostResponse* response, HostRequest* request) override;
  void HostReserved1(uint32_t a, uint32_t b) override;
  void HostSendEvent(HostEvent* event) override;
  void HostSubscribe(const char* name, uint32_t hostToken, HostEventCallback callback, void* context,
                     uint32_t flag) override;
  void HostUnsubscribe(const char* name, uint32_t hostToken) override;
  void HostReserved5(uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e) override;
  uint32_t HostYield() override;
  uint32_t HostBeginWait(const char* label, uint32_t value) override;
  uint32_t HostEndWait() override;
  bool HasHostServices() const override;

  // The derived plugin's endpoints, types and events.
  virtual void RegisterApi() {}
  // The derived plugin's start-up; false fails initialize.
  virtual bool OnInitialize() { return true; }

  std::string_view TypePrefix() const { return typePrefix_; }
  const Vector<String>& EndpointTags() const { return endpointTags_; }
  const PluginNames& Names() const { return names_; }
  const SemanticVersion& HostVersion() const { return hostVersion_; }
  const PluginCallbacks* Callbacks() const { return &callbacks_; }
  const PluginApiTable* ApiTable() const { return apiTable_; }
  const HostInit* Init() const { return hostInit_; }

  // The registration sequence after construction: version test (an
  // incompatible host ends the process), names, tags, type prefix,
  // framework types, RegisterApi, API table, record words. A non-empty
  // `shortName` (the export's) replaces the one given at construction.
  void Register(PluginRegistration& registration, std::string_view shortName = {});

  // The three PluginCallbacks entries.
  static uint8_t KIV_CDECL InitializeCallback(void* handle, HostInit* init);
  static void KIV_CDECL DestroyCallback(void* handle);
  static void KIV_CDECL MemoryStatsCallback(void* handle, PluginMemoryStats* stats);

 private:
  bool Initialize(HostInit* init);
  void SwapLogTargets();

  SemanticVersion hostVersion_;
  PluginLogTarget* logTarget_ = nullptr;  // owned
  PluginNames names_;
  String typePrefix_;
  Vector<String> endpointTags_;
  binding::BindingApi* ownedApi_ = nullptr;
  HostInit* hostInit_ = nullptr;
  PluginCallbacks callbacks_{};
  const PluginApiTable* apiTable_ = nullptr;
};

// Reports "ALE-EECF0606" for the host version and ends the process.
[[noreturn]] void EndForIncompatibleHost(const SemanticVersion& host);

// The export's body: creates the plugin with `create` and registers it.
// Nothing escapes as an exception; when the plugin cannot be created the
// record is left untouched.
void LoadPlugin(PluginRegistration* registration, Plugin* (*create)(std::string_view shortName),
                std::string_view shortName);

template <class P>
Plugin* CreatePlugin(std::string_view shortName) {
  static_assert(std::is_base_of_v<Plugin, P>, "plugins derive from kiv::framework::Plugin");
  if constexpr (std::is_constructible_v<P, std::string_view>) {
    return new P(shortName);
  } else {
    return new P();
  }
}

}  // namespace kiv::framework

// The plugin's one export. Also keeps the library's trace session, which must
// live in the plugin's own translation unit to be linked in.
#define KIV_DEFINE_PLUGIN_EXPORT(exportName, PluginClass, shortName)                                     \
  namespace {                                                                                            \
  ::kiv::trace::Session kiv_trace_session_##exportName;                                                  \
  }                                                                                                      \
  extern "C" KIV_PLUGIN_EXPORT void KIV_CDECL exportName(PluginRegistration* registration) {             \
    ::kiv::framework::LoadPlugin(registration, &::kiv::framework::CreatePlugin<PluginClass>, shortName); \
  }
