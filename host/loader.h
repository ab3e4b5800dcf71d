// Opening a plugin library, the lookup of its load export, and the version
// handshake tried first in a child process, so that a plugin that ends the
// process on a version it refuses ends only the child. One implementation per
// system: loader_posix.cpp (dlopen, fork) and loader_win32.cpp (LoadLibrary,
// and kivhost-probe.exe as the child); loader.cpp holds what they share.
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

// Runs the load function (found as `exportName` in the library at `path`)
// with `version` in a child process. False, with the reason in `why`, when
// the child left the registration unfilled or ended before reporting: what
// the child printed is passed on to standard error and its last line quoted
// in `why` (a plugin of the framework names there the version it requires).
// True when it filled the record, or when no child could be had (the real
// handshake then decides).
[[nodiscard]] bool ProbeHandshake(const std::string& path, const std::string& exportName, PluginLoadFunction load,
                                  const Version& version, std::string* why);

// The most of a probe child's output that is kept: its end.
inline constexpr size_t kMaxProbeOutput = 64 * 1024;

// Passes what a refused probe printed on to standard error; returns its last
// non-empty line, cut to a length a log line can carry, control characters
// replaced.
std::string PassOnProbeOutput(const std::string& printed);

}  // namespace kivhost
