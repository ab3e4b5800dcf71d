// kivhost: loads a plugin library, hands it a registration record and reports
// what it answered. Everything the plugin logs arrives on standard error.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_plugin.h"

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : KIV_DEFAULT_PLUGIN;
  const char* symbol = argc > 2 ? argv[2] : KIV_GAME_CLIENT_CHAT_EXPORT;
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "kivhost: cannot load %s: %s\n", path, dlerror());
    return 1;
  }
  auto load = reinterpret_cast<PluginLoadFunction>(dlsym(library, symbol));
  if (load == nullptr) {
    std::fprintf(stderr, "kivhost: %s has no export %s\n", path, symbol);
    dlclose(library);
    return 1;
  }
  PluginRegistration registration{};
  registration.apiMajor = 18;
  std::printf("kivhost: loading %s (host plugin API 18.0.0)\n", path);
  std::fflush(stdout);
  load(&registration);
  std::printf("kivhost: plugin \"%s\" answered plugin API %u.%u.%u\n",
              registration.name != nullptr ? registration.name : "(none)", registration.apiMajor,
              registration.apiMinor, registration.apiPatch);
  dlclose(library);
  return registration.name != nullptr ? 0 : 1;
}
