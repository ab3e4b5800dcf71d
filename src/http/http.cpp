#include "http/http.h"

namespace kiv {
namespace {

constexpr std::string_view kNames[] = {"", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"};
constexpr uint32_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

}  // namespace

std::string_view MethodName(uint32_t number) { return number < kNameCount ? kNames[number] : std::string_view(); }

std::string_view MethodName(HttpMethod method) { return MethodName(static_cast<uint32_t>(method)); }

HttpMethod MethodFromHost(uint32_t number) {
  return number >= 1 && number <= 8 ? static_cast<HttpMethod>(number) : HttpMethod::kNone;
}

uint32_t MethodToHost(HttpMethod method) {
  return static_cast<uint32_t>(MethodFromHost(static_cast<uint32_t>(method)));
}

HttpMethod MethodFromName(std::string_view name) {
  if (name.empty()) return HttpMethod::kNone;
  for (uint32_t i = 1; i < kNameCount; ++i) {
    if (kNames[i] == name) return static_cast<HttpMethod>(i);
  }
  return HttpMethod::kCustom;
}

}  // namespace kiv
