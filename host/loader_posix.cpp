// Opening plugin libraries on Linux and other POSIX systems: dlopen, and the
// handshake probe in a forked child.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "loader.h"

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

bool ProbeHandshake(const std::string&, const std::string&, PluginLoadFunction load, const Version& version,
                    std::string* why) {
  int fds[2];
  if (pipe(fds) != 0) return true;  // cannot probe: the real handshake decides
  // The child's standard output and error go to a file of their own, quoted
  // in the reason when the probe fails. Without one the child prints as usual.
  FILE* output = std::tmpfile();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    if (output != nullptr) std::fclose(output);
    return true;
  }
  if (pid == 0) {
    close(fds[0]);
    if (output != nullptr) {
      dup2(fileno(output), STDOUT_FILENO);
      dup2(fileno(output), STDERR_FILENO);
    }
    PluginRegistration r{};
    r.apiMajor = version.major;
    r.apiMinor = version.minor;
    r.apiPatch = version.patch;
    load(&r);
    const char filled = r.name != nullptr ? 1 : 0;
    std::fflush(nullptr);
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
  if (n == 1 && filled == 1) {
    // The real load in this process prints whatever the child printed again.
    if (output != nullptr) std::fclose(output);
    return true;
  }
  std::string printed;
  if (output != nullptr) {
    // The end of it, where the reason is.
    std::fseek(output, 0, SEEK_END);
    const long size = std::ftell(output);
    const long kept = std::min<long>(size < 0 ? 0 : size, static_cast<long>(kMaxProbeOutput));
    std::fseek(output, size - kept, SEEK_SET);
    printed.resize(static_cast<size_t>(kept));
    printed.resize(std::fread(printed.data(), 1, printed.size(), output));
    std::fclose(output);
  }
  const std::string report = PassOnProbeOutput(printed);
  const std::string quoted = report.empty() ? std::string() : ", reporting: " + report;
  if (n == 1) {
    *why = "refused host plugin API " + version.ToString() + ": it left its registration record unfilled" + quoted;
  } else if (WIFSIGNALED(status)) {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() + " (signal " +
           std::to_string(WTERMSIG(status)) + ")" + quoted;
  } else {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() +
           " (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")" + quoted;
  }
  return false;
}

}  // namespace kivhost
