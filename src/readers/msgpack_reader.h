// MessagePack bytes into a dynamic value. The decoder is iterative: open
// arrays and maps live on a heap stack, so deep input costs no call stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "value/value.h"
#include "readers/tree_builder.h"

namespace kiv::codecs {

// Arrays and maps may be nested this deep; one level more fails. Values
// deeper than this could not be copied or converted safely later on, since
// those walks recurse.
inline constexpr std::size_t kMessagePackMaxDepth = kMaxContainerDepth;

// Decodes exactly one value from the start of `bytes` and stops after it.
// `consumed` (optional) receives the number of bytes read: the end of the
// value on success, the position where the fault was found on failure. No
// bytes at all give a succeeded Empty value.
//
// fixint and int 8-64 give Signed, uint 8-64 Unsigned, float 32/64 Float,
// str String (up to its first zero byte), bin Blob, array Collection, map
// Structure, nil leaves its place Empty. Map keys must be strings. A key that
// repeats in one map is one member: a later nil keeps the earlier value, a
// later map merges into an earlier map, a later array appends to an earlier
// array, anything else replaces it. Extension types, the unused type byte,
// input that ends inside a value or inside an array or map, and nesting
// deeper than kMessagePackMaxDepth fail with a message naming the position.
binding::ValueResult ReadMessagePack(std::span<const uint8_t> bytes, std::size_t* consumed = nullptr);
binding::ValueResult ReadMessagePack(std::string_view bytes, std::size_t* consumed = nullptr);

// Whether the bytes look like a MessagePack map or array: the first byte is
// a fixmap, fixarray, array 16/32 or map 16/32 type. Other values, and no
// bytes, are not taken for MessagePack.
bool LooksLikeMessagePack(std::span<const uint8_t> bytes);
bool LooksLikeMessagePack(std::string_view bytes);

}  // namespace kiv::codecs
