// What the conversion files share: the messages users see when a value
// does not convert, and the one way a conversion fails with one.
#pragma once

#include <string_view>

#include "logging/format.h"
#include "value/convert.h"

namespace kiv::binding::convert_detail {

inline constexpr const char* kRequired = "A value for '%1' is required.";
inline constexpr const char* kBoolFormat =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", \"false\", \"1\", \"0\".";
inline constexpr const char* kBoolInvalidType =
    "Couldn't assign value to '%1' of type bool because the input is of an "
    "invalid type %2.";
inline constexpr const char* kInvalidType =
    "Couldn't assign value to '%1' of type %2 because the input is of an invalid "
    "type %3.";
inline constexpr const char* kOutOfRange = "Value %1 for '%2' of type %3 is out of range";
inline constexpr const char* kIncorrectFormat = "Value %1 for '%2' of type %3 is in an incorrect format";
inline constexpr const char* kEnumInvalidType =
    "Couldn't assign value to '%1' of enum type because the input is of an "
    "invalid type %2.";
inline constexpr const char* kNotEnumerator = "%1 is not a valid %2 enumeration value for '%3'.";
inline constexpr const char* kEnumUnregistered =
    "Couldn't assign value to '%1' because its enumeration type is not "
    "registered.";
inline constexpr const char* kNotEnumeratorOfAny = "%1 is not a valid enumeration value for '%2'.";
inline constexpr const char* kNotString = "Couldn't assign value to '%1' because the input is not a string.";
inline constexpr const char* kUnregisteredStructure =
    "Couldn't assign value to '%1' because the input is an unregistered "
    "structure or not a structure at all.";
inline constexpr const char* kNotStructure =
    "Couldn't assign value to '%1' of type %2 because the input not a structure.";
inline constexpr const char* kMissingField =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't "
    "have required field '%3'.";
inline constexpr const char* kNotCollection =
    "Couldn't assign value to '%1' of type vector because the input not a "
    "collection.";
inline constexpr const char* kNoConversion = "Couldn't assign value to '%1' because its type %2 has no conversion.";
inline constexpr const char* kWriteUnregistered =
    "Couldn't convert native value because it's an unregistered structure.";
inline constexpr const char* kWriteNoConversion =
    "Couldn't convert native value because field '%1' has a type without "
    "conversion.";

template <typename... A>
bool Fail(ValueResult& result, const char* templ, const A&... args) {
  const String message = Format(templ, args...);
  result.Fail(std::string_view(message.data(), message.size()));
  return false;
}

inline const char* KindName(const Value& input) { return ValueKindName(input.Kind()); }

}  // namespace kiv::binding::convert_detail
