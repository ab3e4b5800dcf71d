// kivhost-probe.exe: the child in which kivhost on Windows, which has no
// fork, tries a plugin's version handshake first, so that a plugin that ends
// the process on a host version it refuses ends only this program.
//
//   kivhost-probe PATH EXPORT MAJOR MINOR PATCH VERDICT
//
// VERDICT is an inherited pipe handle: one byte goes there, 1 when the plugin
// filled its registration record, 0 when it left it unfilled. Nothing at all
// when the plugin ended the process first, or when this program could not
// get as far as the load function (exit status 2, its reason on stderr).
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "kiv_plugin.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 7) {
    std::fprintf(stderr, "kivhost-probe: usage: kivhost-probe PATH EXPORT MAJOR MINOR PATCH VERDICT\n");
    return 2;
  }
  HMODULE library =
      LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  char exportName[256];
  if (WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, exportName, sizeof exportName, nullptr, nullptr) == 0) return 2;
  const auto load =
      library == nullptr
          ? nullptr
          : reinterpret_cast<PluginLoadFunction>(reinterpret_cast<void (*)()>(GetProcAddress(library, exportName)));
  if (load == nullptr) {
    std::fprintf(stderr, "kivhost-probe: cannot load %ls or find %s in it (error %lu)\n", argv[1], exportName,
                 static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  PluginRegistration registration{};
  registration.apiMajor = static_cast<uint32_t>(std::wcstoul(argv[3], nullptr, 10));
  registration.apiMinor = static_cast<uint32_t>(std::wcstoul(argv[4], nullptr, 10));
  registration.apiPatch = static_cast<uint32_t>(std::wcstoul(argv[5], nullptr, 10));
  const auto verdict = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::wcstoull(argv[6], nullptr, 10)));
  load(&registration);
  const char filled = registration.name != nullptr ? 1 : 0;
  std::fflush(nullptr);
  DWORD written = 0;
  const bool told = WriteFile(verdict, &filled, 1, &written, nullptr) && written == 1;
  // The plugin is left as it is: ending here, without the libraries' detach
  // and exit handlers, is what the fork of the other systems does too.
  TerminateProcess(GetCurrentProcess(), told ? 0 : 2);
  return told ? 0 : 2;
}
