// The Host itself: its modules wired together, and the life of a plugin from
// loading through initialization to unloading. Routing is in dispatch.cpp,
// the service entries in host_services.cpp, events in event_bus.cpp and the
// records in journal.cpp.
#include "host.h"

#include <algorithm>

#include "api_table.h"
#include "event_bus.h"
#include "host_internal.h"
#include "host_services.h"
#include "journal.h"
#include "loader.h"
#include "peers.h"

namespace kivhost {
namespace {

void DestroyPlugin(const PluginRegistration& reg) {
  if (reg.callbacks != nullptr && reg.callbacks->destroy != nullptr) reg.callbacks->destroy(reg.handle);
}

// A plugin that registered but is not listed yet is destroyed when Load
// leaves early, before its library closes (the slot, declared first, goes
// last).
class UnlistedPlugin {
 public:
  explicit UnlistedPlugin(const PluginSlot& slot) : slot_(slot) {}
  ~UnlistedPlugin() {
    if (!listed_) DestroyPlugin(slot_.reg);
  }
  UnlistedPlugin(const UnlistedPlugin&) = delete;
  UnlistedPlugin& operator=(const UnlistedPlugin&) = delete;
  void Listed() { listed_ = true; }

 private:
  const PluginSlot& slot_;
  bool listed_ = false;
};

}  // namespace

Host::Host(HostOptions options)
    : options_(std::move(options)),
      journal_(std::make_unique<Journal>(options_.logStream, options_.recordLimit, options_.recordBytes)),
      bus_(std::make_unique<EventBus>(*journal_)) {
  if (options_.simulatePeers) {
    peers_ =
        std::make_unique<Peers>(options_.peerSeed, [this](const std::string& uri, const std::string& type, json data) {
          PublishResourceOwned(uri, type, std::move(data), "peers");
        });
    for (const std::string& problem : peers_->seedErrors()) HostLog(1, "peers: " + problem);
  }
}

Host::~Host() { Shutdown(); }

std::shared_ptr<PluginSlot> Host::SlotByName(const std::string& name) const {
  std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
  for (const auto& slot : plugins_) {
    if (slot->name == name) return slot;
  }
  return nullptr;
}

bool Host::HasPlugin(const std::string& name) const { return SlotByName(name) != nullptr; }

std::vector<std::string> Host::PluginNames() const {
  std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
  std::vector<std::string> names;
  for (const auto& slot : plugins_) names.push_back(slot->name);
  return names;
}

void Host::RebuildRoutes() {
  routes_.Clear();
  for (const auto& slot : plugins_) {
    for (const auto& ep : slot->endpoints) routes_.Add(ep.path, ep.method, ep.methodText, EndpointTarget{slot, &ep});
  }
}

Host::LoadResult Host::Load(const std::string& path, const std::string& exportNameIn) {
  LoadResult result;
  const std::string exportName = exportNameIn.empty() ? ExportNameForLibrary(path) : exportNameIn;
  auto fail = [&](std::string text) {
    result.error = std::move(text);
    HostLog(2, result.error);
    return result;
  };
  std::string openError;
  Library library = OpenLibrary(path, &openError);
  if (library == nullptr) return fail("Cannot load " + path + ": " + openError);
  const PluginLoadFunction load = FindLoadFunction(library.get(), exportName);
  if (load == nullptr) {
    return fail(path + " has no export " + exportName +
                (exportNameIn.empty() ? " (the name taken from the file's; give PATH=EXPORT for another)" : ""));
  }
  std::string why;
  if (options_.probeHandshake && !ProbeHandshake(path, exportName, load, options_.version, &why)) {
    return fail("The plugin in " + path + " " + why);
  }
  auto slot = std::make_shared<PluginSlot>();
  slot->host = this;
  slot->path = path;
  slot->exportName = exportName;
  slot->library = std::move(library);
  slot->reg.apiMajor = options_.version.major;
  slot->reg.apiMinor = options_.version.minor;
  slot->reg.apiPatch = options_.version.patch;
  load(&slot->reg);
  if (slot->reg.name == nullptr) {
    return fail("The plugin in " + path + " refused host plugin API " + options_.version.ToString() +
                ": it left its registration record unfilled");
  }
  UnlistedPlugin unlisted(*slot);
  slot->name = Text(slot->reg.name, 256);
  if (HasPlugin(slot->name)) {
    return fail("A plugin named " + slot->name + " is loaded already; " + path + " is not loaded");
  }
  slot->token = nextToken_++;
  slot->table.services = ServiceFunctions();
  slot->table.slot = slot.get();
  slot->init.services = &slot->table.services;
  slot->init.hostToken = slot->token;
  std::vector<std::string> warnings;
  if (slot->reg.callbacks == nullptr) warnings.push_back("no callbacks: it will not be initialized");
  if (slot->reg.apiMajor != options_.version.major) {
    warnings.push_back("it reports plugin API " + std::to_string(slot->reg.apiMajor) + "." +
                       std::to_string(slot->reg.apiMinor) + "." + std::to_string(slot->reg.apiPatch));
  }
  ReadApi(*slot, &warnings);
  const size_t endpoints = slot->endpoints.size();
  {
    std::unique_lock<std::shared_mutex> lock(pluginsMutex_);
    plugins_.push_back(slot);
    unlisted.Listed();
    RebuildRoutes();
  }
  // The version the plugin wrote back is the one it was built for.
  const Version reported{slot->reg.apiMajor, slot->reg.apiMinor, slot->reg.apiPatch};
  HostLog(0, "Loaded " + slot->name + " from " + path + " (" + exportName + ", plugin API " + reported.ToString() +
                 ", host plugin API " + options_.version.ToString() + ", " + std::to_string(endpoints) + " endpoints)");
  for (const std::string& w : warnings) HostLog(1, slot->name + ": " + w);
  result.ok = true;
  result.name = slot->name;
  return result;
}

bool Host::Initialize(std::string* error) {
  std::vector<std::shared_ptr<PluginSlot>> todo;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
    for (const auto& slot : plugins_) {
      if (!slot->initTried) todo.push_back(slot);
    }
  }
  bool ok = true;
  for (const auto& slot : todo) {
    slot->initTried = true;
    const PluginCallbacks* callbacks = slot->reg.callbacks;
    if (callbacks == nullptr || callbacks->initialize == nullptr) continue;
    uint8_t started = 0;
    {
      ActiveGuard guard(*slot);
      if (guard) started = callbacks->initialize(slot->reg.handle, &slot->init);
    }
    if (started != 0) {
      slot->initialized = true;
      HostLog(0, "Initialized " + slot->name);
    } else {
      ok = false;
      const std::string text = "The plugin " + slot->name + " failed to initialize; it is unloaded";
      HostLog(2, text);
      if (error != nullptr) *error += (error->empty() ? "" : "\n") + text;
      Unload(slot);
    }
  }
  return ok;
}

void Host::Unload(const std::shared_ptr<PluginSlot>& slot) {
  {
    std::lock_guard<std::mutex> lock(slot->activeMutex);
    if (!slot->accepting) return;
    slot->accepting = false;
  }
  {
    std::unique_lock<std::shared_mutex> lock(pluginsMutex_);
    plugins_.erase(std::remove(plugins_.begin(), plugins_.end(), slot), plugins_.end());
    RebuildRoutes();
  }
  bus_->Forget(slot);
  {
    std::unique_lock<std::mutex> lock(slot->activeMutex);
    while (!slot->activeCv.wait_for(lock, std::chrono::seconds(5), [&] { return slot->active == 0; })) {
      lock.unlock();
      HostLog(1, "Waiting for calls into " + slot->name + " to return before destroying it");
      lock.lock();
    }
  }
  DestroyPlugin(slot->reg);
  slot->library.reset();
  HostLog(0, "Destroyed and unloaded " + slot->name);
}

void Host::Shutdown() {
  std::vector<std::shared_ptr<PluginSlot>> all;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
    all = plugins_;
  }
  for (auto it = all.rbegin(); it != all.rend(); ++it) Unload(*it);
}

json Host::DescribeApi() const {
  std::vector<std::shared_ptr<PluginSlot>> all;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsMutex_);
    all = plugins_;
  }
  json out;
  out["hostVersion"] = options_.version.ToString();
  out["plugins"] = json::array();
  for (const auto& slot : all) {
    json d = slot->description;
    d["initialized"] = slot->initialized;
    const PluginCallbacks* callbacks = slot->reg.callbacks;
    if (callbacks != nullptr && callbacks->memoryStats != nullptr) {
      ActiveGuard guard(*slot);
      if (guard) {
        PluginMemoryStats stats{};
        callbacks->memoryStats(slot->reg.handle, &stats);
        d["memory"] = {{"peakBytesInUse", stats.peakBytesInUse}, {"liveAllocationsAtPeak", stats.liveAllocationsAtPeak},
                       {"bytesAllocated", stats.bytesAllocated}, {"allocations", stats.allocations},
                       {"bytesFreed", stats.bytesFreed},         {"frees", stats.frees}};
      }
    }
    out["plugins"].push_back(std::move(d));
  }
  return out;
}

}  // namespace kivhost
