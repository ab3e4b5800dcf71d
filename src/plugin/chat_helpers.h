// Text and value rules of the chat bridge that need no host: uri splitting,
// id parsing and printing, list extraction and the start-time stamp.
#pragma once

#include <cstdint>
#include <string_view>

#include "value/value.h"
#include "logging/memory.h"

namespace Tarn::Client::GameClientChat {

using kiv::String;
using kiv::Vector;
namespace binding = ::kiv::binding;

// Splits a resource uri into its segments. The first character is skipped
// whatever it is (normally "/"); "/", "?", "#" and "=" all end a segment, so
// empty segments are kept: "/a//b" gives a, "" and b.
Vector<String> SplitUriPath(std::string_view uri);

// Parses like the C library's strtoull: leading white space, an optional
// sign (a minus negates in two's complement), base 0 detects "0x" and a
// leading "0"; 0 when no digits follow; the largest value on overflow.
uint64_t ParseUnsigned(std::string_view text, int base);

// Unsigned decimal without leading zeros.
String DecimalText(uint64_t number);

// The summoner id a login session carries in "summonerId": a bool gives 0 or
// 1, numbers give their value (negative ones in two's complement, fractions
// truncated toward zero), a text is parsed with base 0, an enum gives its
// number; anything else 0. Floats that fit no 64-bit integer give 0.
uint64_t SummonerIdOf(const binding::Value& member);

// The id a summoner lookup answered with, taken from "summonerId". False when
// the answer holds no usable id: an absent member, 0, a negative number or a
// member that is no integer at all.
bool LookedUpSummonerId(const binding::Value& answer, uint64_t* id);

// Appends the non-empty "name" texts of the records of `list` to `names`
// (emptied first). False when the list is not a Collection or one of its
// elements is no record with a non-empty text "name".
bool ExtractNames(const binding::Value& list, Vector<String>& names);

// Milliseconds since 1970-01-01T00:00:00Z as YYYY-MM-DDTHH:MM:SS.mmmZ. False
// (and the empty text) when the calendar conversion fails.
bool FormatStartTimestamp(int64_t milliseconds, String* out);

// Milliseconds since 1970-01-01T00:00:00Z now, in UTC.
int64_t UtcMillisecondsNow();

// True when `stamp` orders before `start`, byte by byte as unsigned bytes,
// a prefix ordering first.
bool StampsBefore(std::string_view stamp, std::string_view start);

}  // namespace Tarn::Client::GameClientChat
