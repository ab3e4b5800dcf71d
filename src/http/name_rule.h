// The name rule: identifiers for endpoint functions built from their method
// and path ("PostKivGameClientChatV1InstantMessages"), and a plugin's type
// prefix built from its short name ("KivGameClientChat").
#pragma once

#include <string_view>

#include "http/http.h"
#include "logging/memory.h"

namespace kiv {

// A non-empty prefix is written with its first character as given and the rest
// in lower case, followed by "/"; then the path. Every "!", "+", "-", ".", "/"
// and "_" is dropped and capitalises the next character, "{" becomes "By" (and
// capitalises the next), "}" is dropped. Casing is ASCII only.
String NameRule(std::string_view prefix, std::string_view path);

// NameRule with the method's name as prefix (empty for 0 and 8).
String FunctionName(HttpMethod method, std::string_view path);

// NameRule with the empty prefix.
String TypePrefix(std::string_view shortName);

}  // namespace kiv
