// What opening a plugin library means on every system: the export a file
// name implies, the handshake version, the report of a refused probe.
#include "loader.h"

#include <algorithm>
#include <cstdio>

namespace kivhost {

std::string PassOnProbeOutput(const std::string& printed) {
  constexpr size_t kMaxQuoted = 400;
  if (printed.empty()) return {};
  std::fwrite(printed.data(), 1, printed.size(), stderr);
  if (printed.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
  size_t end = printed.size();
  while (end > 0 && (printed[end - 1] == '\n' || printed[end - 1] == '\r' || printed[end - 1] == ' ')) --end;
  const size_t newline = end == 0 ? std::string::npos : printed.find_last_of('\n', end - 1);
  const size_t begin = newline == std::string::npos ? 0 : newline + 1;
  std::string line = printed.substr(begin, end - begin);
  if (line.size() > kMaxQuoted) line = line.substr(0, kMaxQuoted) + "...";
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return line;
}

std::string ExportNameForLibrary(const std::string& path) {
#if defined(_WIN32)
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.find_last_of('/');
#endif
  std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
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
