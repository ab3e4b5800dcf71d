// JSON text into a dynamic value: the tokenizer's events go straight into
// the value tree, without an intermediate document.
#pragma once

#include <cstddef>
#include <string_view>

#include "value/value.h"
#include "readers/tree_builder.h"

namespace kiv::codecs {

// Arrays and objects may be nested this deep; one level more fails. The
// tokenizer recurses once per level, so this bounds its use of the stack.
inline constexpr std::size_t kJsonMaxDepth = kMaxContainerDepth;

// Reads one JSON value. The text ends at its first zero byte. An empty text,
// or one of spaces, tabs and line breaks only, gives a succeeded Empty value.
//
// null leaves its place Empty; true/false give Bool; an integer without
// fraction or exponent gives Unsigned when not negative and Signed when
// negative (while it fits 64 bits), any other number Float; a string gives
// String (up to its first zero byte, so "\u0000" ends it); an array gives a
// Collection, an object a Structure. A member named twice is one member: a
// later null keeps the earlier value, a later object merges into an earlier
// object, a later array appends to an earlier array, anything else replaces
// it.
//
// A syntax error fails with "Error: <reason> at offset <byte offset>.".
binding::ValueResult ReadJson(std::string_view text);
binding::ValueResult ReadJson(const char* zeroTerminated);

// Whether the text looks like a JSON object or array: after leading spaces
// (the byte 0x20 only) comes "{" or "[".
bool LooksLikeJson(std::string_view text);

}  // namespace kiv::codecs
