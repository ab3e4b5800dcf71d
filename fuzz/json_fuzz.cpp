// The JSON reader on arbitrary bytes. The counted and the zero-terminated
// entry points must agree on every input; failures carry a well-formed
// message with an offset inside the text; a text that looks like an object or
// array and reads successfully gives a structure or collection.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "binding/value.h"
#include "codecs/json_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Offsets are reported up to the first zero byte, the end of the text.
void CheckMessage(std::string_view message, std::size_t length) {
  constexpr std::string_view kHead = "Error: ", kMarker = " at offset ";
  Check(message.substr(0, kHead.size()) == kHead);
  Check(!message.empty() && message.back() == '.');
  const std::size_t at = message.rfind(kMarker);
  if (message == "Error: Not enough memory to read the JSON text.") return;
  Check(at != std::string_view::npos);
  const std::string digits(message.substr(at + kMarker.size(), message.size() - at - kMarker.size() - 1));
  Check(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos);
  Check(std::strtoull(digits.c_str(), nullptr, 10) <= length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string terminated(text);  // adds the terminator the counted form must not need

  const kiv::binding::ValueResult counted = kiv::codecs::ReadJson(text);
  const kiv::binding::ValueResult zero = kiv::codecs::ReadJson(terminated.c_str());
  Check(counted.Succeeded() == zero.Succeeded());
  Check(counted.ErrorMessage() == zero.ErrorMessage());

  const std::size_t length = std::string_view(terminated.c_str()).size();
  if (!counted.Succeeded()) {
    CheckMessage(counted.ErrorMessage(), length);
    return 0;
  }
  // Floats may be NaN only if the reader invented them; it never does, so
  // equality of the two results is exact.
  Check(static_cast<const kiv::binding::Value&>(counted) == static_cast<const kiv::binding::Value&>(zero));
  if (kiv::codecs::LooksLikeJson(text.substr(0, length))) {
    const std::size_t first = text.find_first_not_of(' ');
    Check(text[first] == '{' ? counted.IsStructure() : counted.IsCollection());
  }
  return 0;
}
