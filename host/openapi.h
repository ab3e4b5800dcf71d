// An OpenAPI 3.1 document of the loaded plugins, built from the description
// the host reads out of their API tables (Host::DescribeApi), so that the
// tools developers already have can read what kivhost serves.
//
// Whatever OpenAPI cannot say exactly (a placeholder that takes the rest of
// the path, a custom method, a type without an exact schema, an argument no
// HTTP request can carry) keeps its nearest form and an "x-kiv-..."
// extension that says what it really is; nothing of a table is left out.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host_value.h"

namespace kivhost {

// An endpoint's path pattern in OpenAPI's form: "{+rest}" and "{#part}"
// become "{rest}" and "{part}", and each placeholder says what it takes:
// "segment", "rest" (the rest of the path, "/" included) or "fragment".
struct OpenApiPath {
  struct Capture {
    std::string name;
    std::string takes;
  };
  std::string path;
  std::vector<Capture> captures;
};
OpenApiPath ToOpenApiPath(const std::string& pattern);

// The schema of a type as the description gives it ({kind, element, name}).
// `components` maps the plugin's registered type names to their keys under
// components/schemas; a name it lacks gets the nearest schema and says so.
json TypeSchema(const json& type, const std::map<std::string, std::string>& components);

// The document for a description as Host::DescribeApi() gives it, naming
// `serverUrl` (e.g. "http://127.0.0.1:8080") as its server when not empty.
json OpenApiDocument(const json& description, const std::string& serverUrl = "");

}  // namespace kivhost
