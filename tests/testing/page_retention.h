// Tests that count regions or allocations going back to the system set the
// page registry's retention they need, and put the previous one back so that
// the rest of the suite sees the default.
#pragma once

#include <cstdint>

#include "value/arena.h"

namespace kiv::binding {

class ScopedRetention {
 public:
  explicit ScopedRetention(uint32_t regions, uint32_t windowMs = 0) : saved_(PageRegistry::Instance().ReadRetention()) {
    PageRegistry::Instance().SetRetention(PageRegistry::Retention{regions, windowMs});
  }
  ~ScopedRetention() { PageRegistry::Instance().SetRetention(saved_); }
  ScopedRetention(const ScopedRetention&) = delete;
  ScopedRetention& operator=(const ScopedRetention&) = delete;

 private:
  PageRegistry::Retention saved_;
};

}  // namespace kiv::binding
