// Opening a plugin library: dlopen, the lookup of its load export, and the
// version handshake tried first in a forked child, so that a plugin that
// ends the process on a version it refuses ends only the child.
#pragma once

#include <memory>
#include <string>

#include "host.h"
#include "kiv_plugin.h"

namespace kivhost {

struct LibraryCloser {
  void operator()(void* library) const;
};
// An open library; closing it unmaps the plugin's code, so whoever holds it
// must have destroyed the plugin first.
using Library = std::unique_ptr<void, LibraryCloser>;

// Opens a library with its symbols kept to itself; null, with the loader's
// reason in `error`, when it cannot be opened.
[[nodiscard]] Library OpenLibrary(const std::string& path, std::string* error);

// The library's load export of that name; null when it has none.
[[nodiscard]] PluginLoadFunction FindLoadFunction(void* library, const std::string& exportName);

// Runs the load function with `version` in a child process. False, with the
// reason in `why`, when the child left the registration unfilled or ended
// before reporting; true when it filled it, or when no child could be had
// (the real handshake then decides).
[[nodiscard]] bool ProbeHandshake(PluginLoadFunction load, const Version& version, std::string* why);

}  // namespace kivhost
