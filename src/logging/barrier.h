// The exception barrier at the entries the host calls. The host is not C++:
// an exception that left one of our entries would end its process. Each entry
// runs its body through Guarded and turns what escaped into its own kind of
// answer (an error response, a failed load, a log line).
//
//   const kiv::Escape escape = kiv::Guarded([&] { plugin->Shutdown(); });
//   if (escape != kiv::Escape::kNone) kiv::LogEscape(escape, "destroy");
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "logging/log.h"

namespace kiv {

// What left a guarded body.
enum class Escape : uint8_t { kNone, kOutOfMemory, kOther };

// The texts an entry answers with; static, so that writing them needs no
// memory.
inline constexpr char kOutOfMemoryText[] = "internal error: out of memory";
inline constexpr char kInternalErrorText[] = "internal error";

inline const char* EscapeText(Escape escape) noexcept {
  return escape == Escape::kOutOfMemory ? kOutOfMemoryText : kInternalErrorText;
}

template <class Body>
Escape Guarded(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return Escape::kNone;
  } catch (const std::bad_alloc&) {
    return Escape::kOutOfMemory;
  } catch (...) {
    return Escape::kOther;
  }
}

// An ERROR line "<text> in <where>"; a logging system that itself runs out of
// memory loses the line rather than throwing.
inline void LogEscape(Escape escape, const char* where, const char* detail = "") noexcept {
  if (escape == Escape::kNone) return;
  try {
    log::Log(log::kError, 1, 0, "%s in %s%s", EscapeText(escape), where, detail);
  } catch (...) {
  }
}

// Runs `action` when the scope ends, by return or by exception.
template <class Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Action action_;
};

}  // namespace kiv
