// The library as a provider of system trace events: four providers registered
// at load, each tracking what a trace session has enabled.
#pragma once

#include <cstdint>

namespace kiv::trace {

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

inline constexpr int kMaxEventsPerProvider = 2;

struct ProviderState {
  Guid id;
  int eventCount;
  uint64_t eventKeywords[kMaxEventsPerProvider];
  uint8_t eventLevels[kMaxEventsPerProvider];
  // What the session asked for.
  uint64_t handle;
  bool enabled;
  uint8_t level;
  uint64_t matchAny;
  uint64_t matchAll;
  bool eventEnabled[kMaxEventsPerProvider];
};

// The four providers, in registration order.
ProviderState* Providers();
inline constexpr int kProviderCount = 4;

// What the system calls when a session changes a provider: code 0 disables,
// 1 enables with the given level and keyword masks; anything else is ignored.
void ApplyEnable(ProviderState* provider, uint32_t code, uint8_t level, uint64_t matchAny, uint64_t matchAll);

// Run once when the library is loaded and unloaded.
void StartUp();
void ShutDown();

// Writes the thread-name event of provider 2 when a session enabled it.
void WriteThreadName(uint32_t threadId, const char* name);

// Starts tracing for the lifetime of the object (one static instance per library).
struct Session {
  Session() { StartUp(); }
  ~Session() { ShutDown(); }
};

}  // namespace kiv::trace
