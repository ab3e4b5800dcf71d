// URL texts as requests carry them: splitting path from query, decoding one
// component, and the normal form of an endpoint path.
#pragma once

#include <string_view>

#include "logging/memory.h"

namespace kiv::url {

struct UrlParts {
  std::string_view path;   // up to (not including) the first "?"
  std::string_view query;  // after the first "?"; empty when there is none
  bool hasQuery = false;   // tells "/a?" (empty query) from "/a"
};

// Splits at the first "?". Both parts view the given text.
UrlParts SplitUrl(std::string_view url);

// Decodes one URL component (a path capture, a query name or value):
// "+" becomes a space, "%" and two hexadecimal digits become that byte, and a
// "%" that does not begin such an escape is dropped while the characters after
// it are kept as they are ("100%" gives "100", "%zz" gives "zz").
String DecodeComponent(std::string_view text);
void DecodeComponentInto(std::string_view text, String* out);  // replaces *out

// An endpoint path longer than one character loses one final "/"
// ("/a/b/" -> "/a/b", "/a//" -> "/a/", "/" stays).
String NormalizeEndpointPath(std::string_view path);

}  // namespace kiv::url
