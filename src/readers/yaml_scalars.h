// How the YAML reader reads the text of a scalar: the resolution of plain
// scalars (null and bool words, numbers kept exactly when they fit their
// 64-bit kind) and the C library's number syntax that tagged scalars use.
#pragma once

#include <cstdint>
#include <string_view>

#include "value/value.h"

namespace kiv::codecs::yaml_scalars {

// White space as the C library's isspace sees it in the "C" locale.
bool IsCSpace(char c);

// The C library's strtod over the whole text, in the C locale: leading white
// space, a sign, decimal and "0x" hexadecimal forms, inf and nan. An overflow
// gives an infinity, an underflow zero, as strtod does. False unless the
// whole text is one number.
bool ParseCDouble(std::string_view text, double* out);

enum class IntRead { kOk, kFormat, kRange };

// The C library's strtoll / strtoull with base 0 over the whole text: leading
// white space, a sign, "0x" hexadecimal, a leading "0" octal. The empty text
// reads as 0.
IntRead ParseCInteger(std::string_view text, bool isSigned, int64_t* signedOut, uint64_t* unsignedOut);

// 1 for a true word, 0 for a false word, -1 for anything else.
int BoolWord(std::string_view t);

// Plain, literal and folded scalars without a tag.
void ResolvePlain(binding::Value& v, std::string_view t);

}  // namespace kiv::codecs::yaml_scalars
