#include "loader.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace kivhost {

void LibraryCloser::operator()(void* library) const {
  if (library != nullptr) dlclose(library);
}

Library OpenLibrary(const std::string& path, std::string* error) {
  Library library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (library == nullptr) {
    const char* why = dlerror();
    *error = why == nullptr ? std::string() : std::string(why);
  }
  return library;
}

PluginLoadFunction FindLoadFunction(void* library, const std::string& exportName) {
  return reinterpret_cast<PluginLoadFunction>(dlsym(library, exportName.c_str()));
}

bool ProbeHandshake(PluginLoadFunction load, const Version& version, std::string* why) {
  int fds[2];
  if (pipe(fds) != 0) return true;  // cannot probe: the real handshake decides
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return true;
  }
  if (pid == 0) {
    close(fds[0]);
    PluginRegistration r{};
    r.apiMajor = version.major;
    r.apiMinor = version.minor;
    r.apiPatch = version.patch;
    load(&r);
    const char filled = r.name != nullptr ? 1 : 0;
    if (write(fds[1], &filled, 1) != 1) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  char filled = 0;
  ssize_t n;
  do {
    n = read(fds[0], &filled, 1);
  } while (n < 0 && errno == EINTR);
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (n == 1 && filled == 1) return true;
  if (n == 1) {
    *why = "refused host plugin API " + version.ToString() + ": it left its registration record unfilled";
  } else if (WIFSIGNALED(status)) {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() + " (signal " +
           std::to_string(WTERMSIG(status)) + "); its report is on standard error";
  } else {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() +
           " (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
           "); its report is on standard error";
  }
  return false;
}

std::string ExportNameForLibrary(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  if (base.rfind("lib", 0) == 0) base.erase(0, 3);
  const size_t dot = base.find('.');
  if (dot != std::string::npos) base.erase(dot);
  std::replace(base.begin(), base.end(), '-', '_');
  return "load_" + base;
}

std::string Version::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool Version::Parse(const std::string& text, Version* out) {
  uint32_t parts[3] = {0, 0, 0};
  size_t index = 0, pos = 0;
  while (true) {
    size_t end = pos;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == pos || end - pos > 9) return false;
    parts[index++] = static_cast<uint32_t>(std::stoul(text.substr(pos, end - pos)));
    if (end == text.size()) break;
    if (text[end] != '.' || index == 3) return false;
    pos = end + 1;
  }
  *out = Version{parts[0], parts[1], parts[2]};
  return true;
}

}  // namespace kivhost
