// A small plugin built on the framework, loaded through its own export.
#pragma once

#include <string_view>

#include "framework/plugin.h"
#include "kiv_plugin.h"
#include "testing/fake_host.h"

extern "C" void KIV_CDECL load_kiv_framework_test(PluginRegistration* registration);

namespace kiv::framework::testing {

inline constexpr const char* kTestShortName = "kiv-framework-test";
inline constexpr uint32_t kTestToken = 77;

class TestPlugin : public Plugin {
 public:
  TestPlugin() : Plugin("constructor-name") {}
  void RegisterApi() override;
  bool OnInitialize() override {
    ++initializeCalls;
    return initializeResult;
  }

  static bool initializeResult;
  int initializeCalls = 0;
};

// A plugin loaded from the export with a host version; optionally initialized.
struct LoadedPlugin {
  explicit LoadedPlugin(uint32_t major = 18, uint32_t minor = 0, uint32_t patch = 0) {
    registration.apiMajor = major;
    registration.apiMinor = minor;
    registration.apiPatch = patch;
    load_kiv_framework_test(&registration);
    plugin = static_cast<TestPlugin*>(static_cast<Plugin*>(registration.handle));
    init.services = host.Services();
    init.hostToken = kTestToken;
  }
  ~LoadedPlugin() {
    if (registration.callbacks != nullptr) registration.callbacks->destroy(registration.handle);
  }
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  bool Initialize() { return registration.callbacks->initialize(registration.handle, &init) == 1; }

  PluginRegistration registration{};
  TestPlugin* plugin = nullptr;
  FakeHost host;
  HostInit init{};
};

}  // namespace kiv::framework::testing
