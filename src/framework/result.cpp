#include "framework/result.h"

namespace kiv::framework {

CallError MakeCallError(uint32_t code, const char* templ, std::initializer_list<std::string_view> values) {
  CallError error;
  error.code = code;
  Vector<fmt::NamedArg> named;
  Vector<fmt::Arg> positional;
  named.reserve(values.size());
  positional.reserve(values.size());
  for (std::string_view value : values) {
    // An empty view may carry no data pointer, which would print as "(null)".
    if (value.data() == nullptr) value = std::string_view("", 0);
    named.push_back(fmt::NamedArg::Text(value));
    positional.emplace_back(value);
  }
  String expanded;
  fmt::ExpandNamed(templ, named.data(), named.size(), &expanded, &error.details);
  error.message = fmt::FormatArgs(expanded.c_str(), positional.data(), positional.size());
  if (code != 0) error.details.insert_or_assign(String("errorCode_int"), fmt::NamedArg::Signed(code));
  return error;
}

}  // namespace kiv::framework
