// HTTP method numbers as they travel between the host, the registry and the
// router, and their printable names.
#pragma once

#include <cstdint>
#include <string_view>

namespace kiv {

// The numbers are part of the host boundary: they are passed to and from the
// host unchanged, so they must never be renumbered.
enum class HttpMethod : uint32_t {
  kNone = 0,  // a request without a method
  kAny = 0,   // in a function registration: accepts every method
  kDelete = 1,
  kGet = 2,
  kHead = 3,
  kOptions = 4,
  kPatch = 5,
  kPost = 6,
  kPut = 7,
  kCustom = 8,  // the request carries the method's own text
};

// "DELETE" ... "PUT" for 1 to 7; the empty text for every other number,
// including 0 and 8 (a custom method prints its own text, which the caller has).
std::string_view MethodName(HttpMethod method);
std::string_view MethodName(uint32_t number);

// Reading a host record: 1 to 8 are kept, anything else becomes kNone.
HttpMethod MethodFromHost(uint32_t number);
// Writing a host record: 1 to 8 are kept, anything else goes out as 0.
uint32_t MethodToHost(HttpMethod method);

// The number for a method name, compared exactly ("GET", not "get"): one of
// 1 to 7 for the seven known names, kNone for the empty text, and kCustom for
// any other text (the name itself then goes along as the method text).
HttpMethod MethodFromName(std::string_view name);

}  // namespace kiv
