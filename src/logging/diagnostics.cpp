#include "logging/diagnostics.h"

#include <cstdarg>
#include <cstdio>

#include "logging/log.h"

namespace kiv::diag {
namespace {

constexpr std::size_t kReportBufferSize = 4096;
constexpr std::size_t kDescriptionBufferSize = 1024;

bool Empty(const char* text) { return text == nullptr || *text == '\0'; }

struct Writer {
  char* buffer;
  std::size_t size;
  std::size_t pos = 0;
  void Put(const char* text) {
    for (; text != nullptr && *text != '\0' && pos + 1 < size; ++text) buffer[pos++] = *text;
    buffer[pos] = '\0';
  }
};

}  // namespace

std::size_t BuildReport(char* buffer, std::size_t size, const char* code, const char* file, int32_t line,
                        const char* function, const char* description) {
  if (buffer == nullptr || size == 0) return 0;
  Writer w{buffer, size};
  buffer[0] = '\0';
  w.Put("Assertion failed!\n\n");
  if (!Empty(file)) {
    w.Put("File: ");
    w.Put(file);
    w.Put("\n");
  }
  if (line != 0) {
    char number[16];
    // The magnitude is printed unsigned so that INT32_MIN does not overflow.
    const uint32_t magnitude = line < 0 ? 0u - static_cast<uint32_t>(line) : static_cast<uint32_t>(line);
    std::snprintf(number, sizeof number, "%s%u", line < 0 ? "-" : "", magnitude);
    w.Put("Line: ");
    w.Put(number);
    w.Put("\n\n");
  }
  if (!Empty(function)) {
    w.Put("Function: ");
    w.Put(function);
    w.Put("\n\n");
  }
  if (!Empty(code)) {
    w.Put("Expression: ");
    w.Put(code);
  }
  if (!Empty(description)) {
    w.Put("\n\n");
    w.Put("Description: ");
    w.Put(description);
  }
  return w.pos;
}

void Report(const char* code, const char* file, int32_t line, const char* function, const char* format, ...) {
  char description[kDescriptionBufferSize];
  description[0] = '\0';
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(description, sizeof description, format, args);
    va_end(args);
  }
  char text[kReportBufferSize];
  BuildReport(text, sizeof text, code, file, line, function, description);
  log::Log(log::kError, 1, 0, "%s", text);
}

void FatalReport(const char* code, const char* description, const char* file, int32_t line, const char* function) {
  char text[kReportBufferSize];
  BuildReport(text, sizeof text, code, file, line, function, description);
  log::Log(log::kError, 1, 0, "%s", text);
}

}  // namespace kiv::diag
