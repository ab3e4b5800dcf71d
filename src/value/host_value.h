// HostValue records, the form in which argument items, results and event
// payloads cross the host boundary, read into and written from Values.
//
// Ownership: kinds 5 (text) and 7 (bytes) point at memory the record does
// not own; kinds 6, 8, 9 and 10 own their payload, and structure entries own
// their key when keyOwned is 1. Everything the plugin writes into a record
// comes from the allocation front end (kiv::mem) and is given back by
// ReleaseHostValue, which the plugin's own release functions call.
//
// Records from the host are not trusted: an unknown kind code, a null text,
// byte, element or entry pointer with a non-zero length or count, a null
// key, or nesting deeper than kHostValueMaxDepth levels fail with a message
// instead of crashing. Texts are read by their length and never scanned past
// it.
#pragma once

#include <cstdint>
#include <string_view>

#include "kiv_plugin.h"
#include "value/limits.h"
#include "value/types.h"
#include "value/value.h"

namespace kiv::binding {

// The deepest nesting read from or written to a HostValue: the record itself
// is level 1, the elements or members of a collection or structure one level
// below their container. Deeper trees are refused (both ways), so that a
// record never carries a tree that other walks of values would refuse.
inline constexpr uint32_t kHostValueMaxDepth = static_cast<uint32_t>(kMaxValueDepth);

static_assert(sizeof(void*) != 4 || (sizeof(HostValue) == 12 && sizeof(HostStructEntry) == 17),
              "host records are 12 and 17 bytes on 32-bit targets");

// "bool", "signed", "unsigned", "float", "string" (5, 6), "blob" (7, 8),
// "collection", "structure"; the empty text for 0 and for unknown codes.
const char* HostValueKindName(uint32_t kind);

// Reads `host` into `target` (the reading of the native type object). Does
// nothing on a failed result. On failure the result holds the message, which
// names `name`, and `target` is Empty. `target` may be the result itself.
bool ReadHostValue(ValueResult& result, Value& target, const HostValue& host, std::string_view name);

// Writes `value` into `host`, which is released first: it must be zeroed or
// hold a record written by this side. Enums become kind 6
// with the enumerator's name when `registry` knows the enumerator, otherwise
// kind 2 with the number. Does nothing on a failed result. On failure (too
// deep, out of memory) the result holds the message and `host` is released
// and zeroed.
bool WriteHostValue(ValueResult& result, HostValue& host, const Value& value, const TypeRegistry* registry);

// Writes `value` into `host` (zeroed first) like WriteHostValue, with the
// same kinds and ownership flags, but everything the record reaches (arrays,
// keys, texts, bytes) lies in one block: one allocation and one free however
// large the tree. Such a record is released with ReleaseHostValueBlock,
// never with ReleaseHostValue. Fails like WriteHostValue, with `host` zeroed.
bool WriteHostValueBlock(ValueResult& result, HostValue& host, const Value& value, const TypeRegistry* registry);

// Frees the block of a record written by WriteHostValueBlock and zeroes it.
void ReleaseHostValueBlock(HostValue& host);

// Writes `value` into `host` like WriteHostValueBlock, with the same kinds
// and ownership flags, for a record that lives on after `value` is gone (an
// answer the host reads after the call returned). A non-empty collection or
// structure is not copied text by text: the record takes the tree over (a
// root is moved, leaving `value` Empty; anything else is copied once) and
// keeps it, its texts, keys and bytes pointing into the tree's own, until
// ReleaseHostValueHeld frees both. The tree sits in one block with the root's
// array; the other arrays are carved from chunks allocated as they are
// written. Any other value is written as WriteHostValueBlock writes it. On
// failure `value` is as it was and `host` zeroed.
bool WriteHostValueHolding(ValueResult& result, HostValue& host, Value& value, const TypeRegistry* registry);

// Frees what a record written by WriteHostValueHolding holds and zeroes it.
void ReleaseHostValueHeld(HostValue& host);

// Frees what the record owns (kinds 6, 8, 9, 10, recursively, and the keys
// whose flag is set) and zeroes it. Works without recursion, so records of
// any depth are released.
void ReleaseHostValue(HostValue& host);

}  // namespace kiv::binding
