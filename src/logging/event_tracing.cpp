#include "logging/event_tracing.h"

#include <cstring>

#include "platform/platform.h"

namespace kiv::trace {
namespace {

ProviderState g_providers[kProviderCount] = {
    {{0x2F9EFE86, 0x4AF7, 0x4F37, {0xA4, 0x0F, 0x94, 0xB9, 0x09, 0xA1, 0x57, 0xD6}},
     1,
     {0x1},
     {0},
     0,
     false,
     0,
     0,
     0,
     {}},
    {{0xEA08C559, 0x95A8, 0x4AA2, {0xAF, 0xA6, 0x18, 0x73, 0x8E, 0xEC, 0x6D, 0x37}},
     1,
     {0x1},
     {0},
     0,
     false,
     0,
     0,
     0,
     {}},
    {{0x10F6728C, 0xEF92, 0x4BF1, {0x83, 0x97, 0x49, 0xE6, 0x93, 0xA6, 0xEB, 0x74}},
     1,
     {0x0},
     {0},
     0,
     false,
     0,
     0,
     0,
     {}},
    {{0x46DD7F96, 0x60CB, 0x416B, {0x80, 0x85, 0xDA, 0x5C, 0xD8, 0xF4, 0x91, 0xDD}},
     2,
     {0x1, 0x2},
     {0, 0},
     0,
     false,
     0,
     0,
     0,
     {}},
};

platform::TraceApi g_api{};

// Layouts the system expects for an event's descriptor and data items.
struct EventDescriptor {
  uint16_t id;
  uint8_t version;
  uint8_t channel;
  uint8_t level;
  uint8_t opcode;
  uint16_t task;
  uint64_t keyword;
};
static_assert(sizeof(EventDescriptor) == 16);

struct EventDataItem {
  uint64_t pointer;
  uint32_t size;
  uint32_t reserved;
};
static_assert(sizeof(EventDataItem) == 16);

void KIV_SYSCALL EnableCallback(const void*, unsigned long isEnabled, unsigned char level, uint64_t matchAny,
                                uint64_t matchAll, const void*, void* context) {
  ApplyEnable(static_cast<ProviderState*>(context), static_cast<uint32_t>(isEnabled), level, matchAny, matchAll);
}

}  // namespace

ProviderState* Providers() { return g_providers; }

void ApplyEnable(ProviderState* p, uint32_t code, uint8_t level, uint64_t matchAny, uint64_t matchAll) {
  if (p == nullptr) return;
  if (code == 0) {
    p->enabled = false;
    p->level = 0;
    p->matchAny = 0;
    p->matchAll = 0;
    for (bool& bit : p->eventEnabled) bit = false;
    return;
  }
  if (code != 1) return;
  p->level = level;
  p->matchAny = matchAny;
  p->matchAll = matchAll;
  p->enabled = true;
  for (int i = 0; i < p->eventCount; ++i) {
    const bool levelOk = level == 0 || p->eventLevels[i] <= level;
    const uint64_t keywords = p->eventKeywords[i];
    const bool keywordOk = keywords == 0 || ((keywords & matchAny) != 0 && (keywords & matchAll) == matchAll);
    p->eventEnabled[i] = levelOk && keywordOk;
  }
}

void StartUp() {
  if (!platform::LoadTraceApi(&g_api)) return;
  for (ProviderState& p : g_providers) {
    if (p.handle != 0 || g_api.registerProvider == nullptr) continue;
    uint64_t handle = 0;
    if (g_api.registerProvider(&p.id, &EnableCallback, &p, &handle) == 0) p.handle = handle;
  }
  WriteThreadName(platform::CurrentThreadId(), "Main thread");
}

void ShutDown() {
  for (int i = kProviderCount - 1; i >= 0; --i) {
    ProviderState& p = g_providers[i];
    if (p.handle == 0) continue;
    if (g_api.unregisterProvider != nullptr) g_api.unregisterProvider(p.handle);
    p.handle = 0;
  }
}

void WriteThreadName(uint32_t threadId, const char* name) {
  ProviderState& p = g_providers[1];
  if (!p.eventEnabled[0] || g_api.write == nullptr || p.handle == 0) return;
  const EventDescriptor descriptor{103, 0, 0, 0, 14, 2, 0x1};
  const char* text = name != nullptr ? name : "NULL";
  EventDataItem items[2] = {
      {reinterpret_cast<uintptr_t>(&threadId), sizeof threadId, 0},
      {reinterpret_cast<uintptr_t>(text), static_cast<uint32_t>(std::strlen(text) + 1), 0},
  };
  g_api.write(p.handle, &descriptor, 2, items);
}

}  // namespace kiv::trace
