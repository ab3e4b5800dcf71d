// Opening plugin libraries on Windows: LoadLibrary, and the handshake probe
// in kivhost-probe.exe, the child program beside the host's own, since
// Windows has no fork.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "loader.h"

namespace kivhost {
namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

// One command-line argument, quoted the way CommandLineToArgvW splits it.
std::wstring Quoted(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// kivhost-probe.exe in the folder of the running program; empty when absent.
std::wstring ProbeProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  path = (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + L"kivhost-probe.exe";
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? std::wstring() : path;
}

// The path made absolute, as the library search of LoadLibraryEx wants it;
// empty when it cannot be.
std::wstring FullPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  if (size == 0 || GetFullPathNameW(wide.c_str(), size, full.data(), nullptr) == 0) return {};
  full.resize(wcslen(full.c_str()));
  return full;
}

// Closes a handle once, whatever way the scope is left.
struct HandleCloser {
  HANDLE handle = nullptr;
  ~HandleCloser() { Close(); }
  void Close() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = nullptr;
  }
};

}  // namespace

void LibraryCloser::operator()(void* library) const {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

Library OpenLibrary(const std::string& path, std::string* error) {
  // The plugin's own folder is searched for what it needs, not the host's;
  // that search wants the full path.
  const std::wstring full = FullPath(path);
  if (full.empty()) {
    *error = SystemMessage(GetLastError());
    return Library();
  }
  Library library(
      LoadLibraryExW(full.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
  if (library == nullptr) *error = SystemMessage(GetLastError());
  return library;
}

PluginLoadFunction FindLoadFunction(void* library, const std::string& exportName) {
  // Through the generic function type: FARPROC is declared without parameters.
  return reinterpret_cast<PluginLoadFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), exportName.c_str())));
}

bool ProbeHandshake(const std::string& path, const std::string& exportName, PluginLoadFunction, const Version& version,
                    std::string* why) {
  const std::wstring program = ProbeProgram();
  if (program.empty()) return true;  // no child to be had: the real handshake decides

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  // The child's verdict comes through a pipe of its own; what it prints goes
  // to a temporary file, quoted when the probe fails.
  HandleCloser verdictRead, verdictWrite, output;
  if (!CreatePipe(&verdictRead.handle, &verdictWrite.handle, &inherit, 0)) return true;
  SetHandleInformation(verdictRead.handle, HANDLE_FLAG_INHERIT, 0);
  wchar_t folder[MAX_PATH + 1];
  wchar_t file[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) != 0 && GetTempFileNameW(folder, L"kiv", 0, file) != 0) {
    output.handle = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }

  std::wstring commandLine = Quoted(program) + L" " + Quoted(FullPath(path)) + L" " + Quoted(Wide(exportName)) + L" " +
                             std::to_wstring(version.major) + L" " + std::to_wstring(version.minor) + L" " +
                             std::to_wstring(version.patch) + L" " +
                             std::to_wstring(reinterpret_cast<uintptr_t>(verdictWrite.handle));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (output.handle != nullptr && output.handle != INVALID_HANDLE_VALUE) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.handle;
    startup.hStdError = output.handle;
  }
  PROCESS_INFORMATION process{};
  std::fflush(nullptr);
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return true;
  }
  HandleCloser processHandle{process.hProcess}, threadHandle{process.hThread};
  // Only the child holds the write end now: its exit ends the pipe.
  verdictWrite.Close();
  char filled = 0;
  DWORD read = 0;
  const bool verdict = ReadFile(verdictRead.handle, &filled, 1, &read, nullptr) && read == 1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  if (verdict && filled == 1) return true;

  std::string printed;
  LARGE_INTEGER size{};
  if (output.handle != nullptr && output.handle != INVALID_HANDLE_VALUE && GetFileSizeEx(output.handle, &size)) {
    // The end of it, where the reason is.
    const LONGLONG kept =
        size.QuadPart < static_cast<LONGLONG>(kMaxProbeOutput) ? size.QuadPart : static_cast<LONGLONG>(kMaxProbeOutput);
    LARGE_INTEGER start{};
    start.QuadPart = size.QuadPart - kept;
    printed.resize(static_cast<size_t>(kept));
    DWORD got = 0;
    if (!SetFilePointerEx(output.handle, start, nullptr, FILE_BEGIN) ||
        !ReadFile(output.handle, printed.data(), static_cast<DWORD>(printed.size()), &got, nullptr)) {
      got = 0;
    }
    printed.resize(got);
  }
  const std::string report = PassOnProbeOutput(printed);
  const std::string quoted = report.empty() ? std::string() : ", reporting: " + report;
  if (verdict) {
    *why = "refused host plugin API " + version.ToString() + ": it left its registration record unfilled" + quoted;
  } else {
    *why = "ended the process during the version handshake with host plugin API " + version.ToString() +
           " (exit status " + std::to_string(status) + ")" + quoted;
  }
  return false;
}

}  // namespace kivhost
