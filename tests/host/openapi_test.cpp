// The OpenAPI document built from API descriptions: the schema of each type
// kind, placeholders that OpenAPI cannot say, and one endpoint of every
// argument location turned into an operation.
#include "openapi.h"

#include <gtest/gtest.h>

namespace kivhost {
namespace {

json Parse(const char* text) { return json::parse(text); }

TEST(OpenApiTest, TypeSchemas) {
  const std::map<std::string, std::string> components = {{"ProbeState", "ProbeState"}, {"Probe::Item", "Probe__Item"}};
  const struct {
    const char* type;
    const char* schema;
  } cases[] = {
      {R"({"kind": "int8"})", R"({"type": "integer", "format": "int8", "minimum": -128, "maximum": 127})"},
      {R"({"kind": "uint64"})",
       R"({"type": "integer", "format": "uint64", "minimum": 0, "maximum": 18446744073709551615})"},
      {R"({"kind": "int64"})",
       R"({"type": "integer", "format": "int64", "minimum": -9223372036854775808, "maximum": 9223372036854775807})"},
      {R"({"kind": "double"})", R"({"type": "number", "format": "double"})"},
      {R"({"kind": "enum", "name": "ProbeState"})", R"({"$ref": "#/components/schemas/ProbeState"})"},
      {R"({"kind": "struct", "name": "Probe::Item"})", R"({"$ref": "#/components/schemas/Probe__Item"})"},
      {R"({"kind": "struct", "name": "Unregistered"})",
       R"({"type": "object", "x-kiv-type": "struct", "x-kiv-type-name": "Unregistered"})"},
      {R"({"kind": "vector", "element": "struct", "name": "Probe::Item"})",
       R"({"type": "array", "items": {"$ref": "#/components/schemas/Probe__Item"}})"},
      {R"({"kind": "vector", "element": "vector"})",
       R"({"type": "array", "items": {"type": "array", "x-kiv-type": "vector"}})"},
      {R"({"kind": "map", "element": "uint8"})",
       R"({"type": "object", "additionalProperties": {"type": "integer", "format": "uint8", "minimum": 0,
           "maximum": 255}})"},
      {R"({"kind": "object"})", R"({})"},
      {R"({"kind": "blob"})",
       R"({"type": "string", "contentMediaType": "application/octet-stream", "x-kiv-type": "blob"})"},
      {R"({"kind": "callback"})", R"({"type": "integer", "x-kiv-type": "callback"})"},
      {R"({"kind": "unknown", "code": 77})", R"({"x-kiv-type": "unknown", "x-kiv-type-code": 77})"},
  };
  for (const auto& c : cases) EXPECT_EQ(TypeSchema(Parse(c.type), components), Parse(c.schema)) << c.type;
}

TEST(OpenApiTest, PathPlaceholders) {
  const struct {
    const char* pattern;
    const char* path;
    const char* takes;  // of each placeholder, in order
  } cases[] = {
      {"/kiv-x/v1/items/{id}/tags", "/kiv-x/v1/items/{id}/tags", "segment"},
      {"/kiv-x/v1/files/{+rest}", "/kiv-x/v1/files/{rest}", "rest"},
      {"/kiv-x/v1/doc{#part}", "/kiv-x/v1/doc{part}", "fragment"},
      {"/kiv-x/v1/{a}/{+b}", "/kiv-x/v1/{a}/{b}", "segment rest"},
      {"/kiv-x/v1/open{", "/kiv-x/v1/open{", ""},
  };
  for (const auto& c : cases) {
    const OpenApiPath p = ToOpenApiPath(c.pattern);
    std::string takes;
    for (const auto& capture : p.captures) takes += (takes.empty() ? "" : " ") + capture.takes;
    EXPECT_EQ(p.path, c.path);
    EXPECT_EQ(takes, c.takes) << c.pattern;
  }
}

TEST(OpenApiTest, EndpointsBecomeOperations) {
  const json description = Parse(R"({"hostVersion": "18.0.0", "plugins": [{
    "name": "kiv-x", "version": "18.0.0",
    "endpoints": [
      {"name": "PutKivXV1Files", "method": "PUT", "path": "/kiv-x/v1/files/{+rest}", "tags": ["Plugins"],
       "returns": {"kind": "none"},
       "arguments": [
         {"name": "rest", "location": "path", "optional": false, "type": {"kind": "string"}},
         {"name": "force", "location": "query", "optional": false, "type": {"kind": "bool"}},
         {"name": "trace", "location": "header", "optional": true, "type": {"kind": "string"}},
         {"name": "ids", "location": "any", "optional": false, "type": {"kind": "vector", "element": "int32"}},
         {"name": "file", "location": "body", "optional": false, "type": {"kind": "struct", "name": "File"}},
         {"name": "second", "location": "body", "optional": false, "type": {"kind": "string"}}]},
      {"name": "PurgeKivXV1Cache", "method": "PURGE", "path": "/kiv-x/v1/cache", "tags": [],
       "returns": {"kind": "enum", "name": "Mode"}, "arguments": []}],
    "types": [
      {"name": "File", "fields": [{"name": "mode", "description": "How", "type": {"kind": "enum", "name": "Mode"}}]},
      {"name": "Mode", "enumerators": [{"name": "Fast", "number": 2}, {"name": "Slow", "number": 5}]},
      {"name": "Unused", "fields": []}],
    "events": [{"name": "/kiv-x/v1/files/*", "dataType": "File"}]}]})");
  const json doc = OpenApiDocument(description, "http://127.0.0.1:8080");
  EXPECT_EQ(doc["openapi"], "3.1.0");
  EXPECT_EQ(doc["servers"][0]["url"], "http://127.0.0.1:8080");

  const json& put = doc["paths"]["/kiv-x/v1/files/{rest}"]["put"];
  EXPECT_EQ(put["operationId"], "PutKivXV1Files");
  EXPECT_EQ(put["x-kiv-plugin"], "kiv-x");
  const json& params = put["parameters"];
  ASSERT_EQ(params.size(), 4u);
  EXPECT_EQ(params[0], Parse(R"({"name": "rest", "in": "path", "required": true, "x-kiv-wildcard": "rest",
                                 "schema": {"type": "string"}})"));
  // A bool the request leaves out arrives as false: never required.
  EXPECT_EQ(params[1], Parse(R"({"name": "force", "in": "query", "required": false,
                                 "schema": {"type": "boolean", "default": false}})"));
  EXPECT_EQ(params[2]["in"], "header");
  EXPECT_EQ(params[2]["required"], false);
  // A container's text is read as JSON; "any" is told, query being nearest.
  EXPECT_EQ(params[3]["in"], "query");
  EXPECT_EQ(params[3]["x-kiv-location"], "any");
  EXPECT_EQ(params[3]["content"]["application/json"]["schema"]["items"]["format"], "int32");
  json mediaTypes = json::array();
  for (const auto& [type, media] : put["requestBody"]["content"].items()) {
    mediaTypes.push_back(type);
    EXPECT_EQ(media["schema"]["$ref"], "#/components/schemas/File");
  }
  EXPECT_EQ(mediaTypes, Parse(R"(["application/json", "application/vnd.api+json", "application/x-msgpack",
                                  "application/x-yaml"])"));
  EXPECT_EQ(put["x-kiv-unreachable-arguments"][0]["name"], "second");
  EXPECT_TRUE(put["responses"].contains("204"));
  EXPECT_TRUE(put["responses"].contains("400"));

  const json& purge = doc["paths"]["/kiv-x/v1/cache"]["x-kiv-other-methods"]["PURGE"];
  EXPECT_EQ(purge["tags"], Parse(R"(["kiv-x"])"));
  EXPECT_EQ(purge["responses"]["200"]["content"]["application/json"]["schema"]["$ref"], "#/components/schemas/Mode");

  const json& schemas = doc["components"]["schemas"];
  EXPECT_EQ(schemas["Mode"]["enum"], Parse(R"(["Fast", "Slow"])"));
  EXPECT_EQ(schemas["Mode"]["x-kiv-enum-numbers"], Parse(R"({"Fast": 2, "Slow": 5})"));
  EXPECT_EQ(schemas["File"]["properties"]["mode"],
            Parse(R"({"$ref": "#/components/schemas/Mode", "description": "How"})"));
  EXPECT_FALSE(schemas.contains("Unused"));  // nothing reaches it
  EXPECT_EQ(doc["x-kiv-events"][0]["payload"]["$ref"], "#/components/schemas/File");

  // A second plugin whose Mode differs: its Mode and the File that reaches
  // it are components of their own; the path the first plugin took is
  // listed as shadowed for the second.
  json two = description;
  two["plugins"].push_back(description["plugins"][0]);
  two["plugins"][1]["name"] = "kiv-y";
  two["plugins"][1]["types"][1]["enumerators"][0]["number"] = 3;
  const json both = OpenApiDocument(two);
  EXPECT_EQ(both["components"]["schemas"]["File"]["properties"]["mode"]["$ref"], "#/components/schemas/Mode");
  EXPECT_EQ(both["components"]["schemas"]["File-kiv-y"]["properties"]["mode"]["$ref"],
            "#/components/schemas/Mode-kiv-y");
  EXPECT_EQ(both["paths"]["/kiv-x/v1/files/{rest}"]["put"]["x-kiv-plugin"], "kiv-x");
  EXPECT_EQ(both["x-kiv-shadowed"][0]["plugin"], "kiv-y");
}

}  // namespace
}  // namespace kivhost
