// Bounds on trees that come from outside the plugin: request bodies, query
// index paths, event payloads and host value records.
//
// Every reader, the query-path decoder and the host value records refuse a
// tree nested deeper than kMaxValueDepth, so that every walk of a tree
// (release, copy, compare, conversion, host records) stays within a small,
// fixed stack budget even where it recurses. The root is level 1.
#pragma once

#include <cstddef>

namespace kiv::binding {

inline constexpr std::size_t kMaxValueDepth = 512;

}  // namespace kiv::binding
