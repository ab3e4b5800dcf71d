// The plugin base: handshake, names, callbacks and the host services.
#include "framework/plugin.h"

#include <cstdio>
#include <cstdlib>

#include "http/name_rule.h"
#include "logging/barrier.h"
#include "logging/diagnostics.h"
#include "logging/log.h"
#include "logging/log_target.h"

namespace kiv::framework {

SemanticVersion PluginApiVersion() {
  SemanticVersion version;
  version.major = KIV_PLUGIN_API_MAJOR;
  version.minor = KIV_PLUGIN_API_MINOR;
  version.patch = KIV_PLUGIN_API_PATCH;
  return version;
}

String VersionToString(const SemanticVersion& version) {
  String text = Format("%1.%2.%3", version.major, version.minor, version.patch);
  if (!version.preRelease.empty()) text.append("-").append(version.preRelease);
  if (!version.build.empty()) text.append("+").append(version.build);
  return text;
}

bool IsCompatibleVersion(const SemanticVersion& plugin, const SemanticVersion& host) {
  return host.major == plugin.major &&
         (host.minor > plugin.minor || (host.minor == plugin.minor && host.patch >= plugin.patch));
}

PluginType BackendPluginType() { return PluginType{String("backend"), String()}; }
PluginType FrontendPluginType() { return PluginType{String("frontend"), String()}; }

PluginNames GetFullNameFromShortNameAndType(std::string_view shortName, const PluginType& type) {
  std::string_view prefix = "mox-xx-";
  if (type.name == "backend") {
    prefix = "mox-be-";
  } else if (type.name == "frontend") {
    prefix = "mox-fe-";
  } else {
    const String typeText = type.name + ":" + type.qualifier;
    const String message =
        Format("GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type", shortName, typeText);
    log::Log(log::kError, 1, 0, "            Plugin Manager| %s", message.c_str());
  }
  PluginNames names;
  names.fullName = ToString(prefix);
  names.fullName.append(shortName.data(), shortName.size());
  names.shortName = ToString(shortName);
  names.typeName = type.name;
  names.typeQualifier = type.qualifier;
  return names;
}

void EndForIncompatibleHost(const SemanticVersion& host) {
  const String description = Format("Incompatible host plugin API version %1 (the plugin requires %2)",
                                    VersionToString(host), VersionToString(PluginApiVersion()));
  diag::FatalReport(diag::kIncompatibleHostVersion, description.c_str(), __FILE__, __LINE__, __func__);
  std::fflush(stdout);
  std::fflush(stderr);
  // A plugin built for another interface must not run inside this host.
  std::_Exit(3);
}

// ---------------------------------------------------------------------------

Plugin::Plugin(std::string_view shortName) {
  log::Logging().acquire();
  try {
    shortName_ = ToString(shortName);
    ownedApi_ = new binding::BindingApi();
  } catch (...) {
    // No destructor runs for a constructor that throws.
    log::Logging().release();
    throw;
  }
  api_ = ownedApi_;
  owner_ = this;
  callbacks_.initialize = &Plugin::InitializeCallback;
  callbacks_.destroy = &Plugin::DestroyCallback;
  callbacks_.memoryStats = &Plugin::MemoryStatsCallback;
}

Plugin::~Plugin() {
  delete ownedApi_;
  ownedApi_ = nullptr;
  api_ = nullptr;
  if (logTarget_ != nullptr) {
    logTarget_->Detach();
    delete logTarget_;
    logTarget_ = nullptr;
  }
  log::Logging().release();
}

void Plugin::Register(PluginRegistration& registration, std::string_view shortName) {
  if (!shortName.empty()) shortName_ = ToString(shortName);
  SemanticVersion host;
  host.major = registration.apiMajor;
  host.minor = registration.apiMinor;
  host.patch = registration.apiPatch;
  if (!IsCompatibleVersion(PluginApiVersion(), host)) EndForIncompatibleHost(host);
  hostVersion_ = host;
  names_ = GetFullNameFromShortNameAndType(shortName_, BackendPluginType());
  endpointTags_.clear();
  endpointTags_.push_back(String("Plugins"));
  endpointTags_.push_back(String("Plugin ") + shortName_);
  typePrefix_ = kiv::TypePrefix(shortName_);
  RegisterFrameworkTypes(*ownedApi_);
  RegisterApi();
  apiTable_ = ownedApi_->BuildApiTable();

  registration.apiMajor = KIV_PLUGIN_API_MAJOR;
  registration.apiMinor = KIV_PLUGIN_API_MINOR;
  registration.apiPatch = KIV_PLUGIN_API_PATCH;
  registration.callbacks = &callbacks_;
  registration.handle = static_cast<void*>(this);
  registration.name = shortName_.c_str();
  registration.apiTable = apiTable_;
}

bool Plugin::Initialize(HostInit* init) {
  if (init == nullptr || init->services == nullptr) {
    log::Log(log::kError, 1, 0, "%s: initialize called without host services", shortName_.c_str());
    return false;
  }
  hostInit_ = init;
  SwapLogTargets();
  InitializeContext(init->hostToken);
  return OnInitialize();
}

void Plugin::SwapLogTargets() {
  const log::LogInterface& logging = log::Logging();
  if (logging.findTarget(kPluginLogTargetName) != nullptr) return;
  // Made first: without memory for it the built-in targets stay attached.
  auto* target = new PluginLogTarget(hostInit_->services);
  // Through the targets' own detach entry, so that each target also knows
  // it is no longer attached.
  for (log::TargetTable* builtIn : {logging.stdOutTarget(), logging.stdErrTarget(), logging.debuggerTarget()}) {
    if (builtIn != nullptr && builtIn->detach != nullptr) builtIn->detach(builtIn);
  }
  logging.setMinimumLevel(log::kOkay);
  logging.setMutedGroups(log::kXtr);
  if (logTarget_ != nullptr) {
    logTarget_->Detach();
    delete logTarget_;
  }
  logTarget_ = target;
  const log::LogTargetConfig config{logging.getMinimumLevel(), 0, 0, "#D| #L| #G| #M"};
  logTarget_->Configure(config);
}

// The host's callbacks: nothing may leave them as an exception.

uint8_t Plugin::InitializeCallback(void* handle, HostInit* init) {
  if (handle == nullptr) return 0;
  bool initialized = false;
  const Escape escape = Guarded([&] { initialized = static_cast<Plugin*>(handle)->Initialize(init); });
  LogEscape(escape, "initialize");
  return escape == Escape::kNone && initialized ? 1 : 0;
}

void Plugin::DestroyCallback(void* handle) {
  if (handle == nullptr) return;
  auto* plugin = static_cast<Plugin*>(handle);
  // The plugin goes whatever Shutdown managed: the host is done with it.
  LogEscape(Guarded([&] { plugin->Shutdown(); }), "destroy");
  delete plugin;
}

void Plugin::MemoryStatsCallback(void*, PluginMemoryStats* stats) {
  if (stats == nullptr) return;
  const Escape escape = Guarded([&] {
    const mem::AllocationStats counters = mem::ReadAllocationStats();
    stats->peakBytesInUse = counters.peakBytesInUse;
    stats->liveAllocationsAtPeak = counters.liveAllocationsAtPeak;
    stats->bytesAllocated = counters.bytesAllocated;
    stats->allocations = counters.allocations;
    stats->bytesFreed = counters.bytesFreed;
    stats->frees = counters.frees;
    stats->reserved[0] = 0;
    stats->reserved[1] = 0;
  });
  LogEscape(escape, "memoryStats");
}

// ---------------------------------------------------------------------------
// Host services: each entry is called only when the host supplied it.

bool Plugin::HasHostServices() const { return hostInit_ != nullptr && hostInit_->services != nullptr; }

void Plugin::HostSendRequest(HostResponse* response, HostRequest* request) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  if (services != nullptr && services->sendRequest != nullptr) services->sendRequest(services, response, request);
}

void Plugin::HostReserved1(uint32_t a, uint32_t b) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  if (services != nullptr && services->reserved1 != nullptr) services->reserved1(services, a, b);
}

void Plugin::HostSendEvent(HostEvent* event) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  if (services != nullptr && services->sendEvent != nullptr) services->sendEvent(services, event);
}

void Plugin::HostSubscribe(const char* name, uint32_t hostToken, HostEventCallback callback, void* context,
                           uint32_t flag) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  if (services != nullptr && services->subscribe != nullptr) {
    services->subscribe(services, name, hostToken, callback, context, flag);
  }
}

void Plugin::HostUnsubscribe(const char* name, uint32_t hostToken) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  if (services != nullptr && services->unsubscribe != nullptr) services->unsubscribe(services, name, hostToken);
}

void Plugin::HostReserved5(uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  if (services != nullptr && services->reserved5 != nullptr) services->reserved5(services, a, b, c, d, e);
}

uint32_t Plugin::HostYield() {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  return services != nullptr && services->yield != nullptr ? services->yield(services) : 0;
}

uint32_t Plugin::HostBeginWait(const char* label, uint32_t value) {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  return services != nullptr && services->beginWait != nullptr ? services->beginWait(services, label, value) : 0;
}

uint32_t Plugin::HostEndWait() {
  HostServices* services = HasHostServices() ? hostInit_->services : nullptr;
  return services != nullptr && services->endWait != nullptr ? services->endWait(services) : 0;
}

// ---------------------------------------------------------------------------

void LoadPlugin(PluginRegistration* registration, Plugin* (*create)(std::string_view shortName),
                std::string_view shortName) {
  if (registration == nullptr || create == nullptr) return;
  Plugin* plugin = nullptr;
  const Escape escape = Guarded([&] {
    plugin = create(shortName);
    if (plugin != nullptr) plugin->Register(*registration, shortName);
  });
  if (escape == Escape::kNone) return;
  // The record is written last, so it is still untouched: the host sees a
  // failed load. Logged first, while the plugin still holds the logging system.
  LogEscape(escape, "load", ": the plugin is not loaded");
  delete plugin;
}

}  // namespace kiv::framework
