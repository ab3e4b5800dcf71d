// Errors as values for calls that leave the plugin: a request to another
// plugin or a publish either succeeds (with its value) or yields a CallError.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "logging/format.h"
#include "logging/memory.h"

namespace kiv::framework {

struct CallError {
  uint32_t code = 0;  // HTTP-style status; 0 when none was set
  String message;
  // The named values of the message and, when code is not 0, "errorCode_int".
  fmt::FieldTable details;
};

// Builds a CallError from a named template ("{method} {url}: {error}"): the
// fields are bound to `values` in the order they appear in the template and
// recorded by name in the details.
CallError MakeCallError(uint32_t code, const char* templ, std::initializer_list<std::string_view> values);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)), ok_(true) {}
  Result(CallError error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  const T& value() const { return value_; }
  T& value() { return value_; }
  const CallError& error() const { return error_; }

 private:
  T value_{};
  CallError error_;
  bool ok_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CallError error) : error_(std::move(error)), ok_(false) {}
  static Result Success() { return Result(); }

  bool ok() const { return ok_; }
  const CallError& error() const { return error_; }

 private:
  CallError error_;
  bool ok_ = true;
};

}  // namespace kiv::framework
