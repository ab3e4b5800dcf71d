// The types of asynchronous operations and callbacks that every binding API
// declares, and the "OnCallback" event. The binding layer only declares them;
// a plugin that offers asynchronous functions or callbacks sends the events.
#pragma once

#include <cstdint>

#include "value/value.h"
#include "logging/memory.h"

namespace kiv::binding {

enum class BindingAsyncState : int32_t {
  None = 0,
  Running = 1,
  Cancelling = 2,
  Cancelled = 3,
  Succeeded = 4,
  Failed = 5,
};

struct BindingGenericEvent {
  Value data;
};

struct BindingCallbackEvent {
  uint32_t id = 0;
  Vector<Value> parameters;
};

struct BindingGenericAsyncEvent {
  uint32_t asyncToken = 0;
  // At byte 8 on every target, as the host's record has it.
  alignas(8) Value data;
};

struct BindingAsyncFailureEvent {
  uint32_t asyncToken = 0;
  String error;
};

struct BindingAsyncCancelEvent {
  uint32_t asyncToken = 0;
};

inline constexpr const char* kOnCallbackEvent = "OnCallback";

}  // namespace kiv::binding
