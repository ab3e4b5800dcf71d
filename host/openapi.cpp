#include "openapi.h"

#include <cstdint>
#include <deque>
#include <limits>
#include <set>

namespace kivhost {
namespace {

using Components = std::map<std::string, std::string>;

// Reserved before any plugin type is named, so no type can take it.
const char kErrorKey[] = "kivhost.Error";

// Every media type the dispatcher reads a body from; anything else is
// refused with "Unsupported body content type".
const char* const kBodyMediaTypes[] = {"application/json", "application/vnd.api+json", "application/x-msgpack",
                                       "application/x-yaml"};

// An endpoint registered for any method answers all of these.
const char* const kEveryMethod[] = {"get", "put", "post", "delete", "options", "head", "patch"};

struct IntegerKind {
  const char* name;
  json minimum, maximum;
};

const std::vector<IntegerKind>& IntegerKinds() {
  static const std::vector<IntegerKind> kinds = {
      {"int8", json(std::numeric_limits<int8_t>::min()), json(std::numeric_limits<int8_t>::max())},
      {"uint8", json(0), json(std::numeric_limits<uint8_t>::max())},
      {"int16", json(std::numeric_limits<int16_t>::min()), json(std::numeric_limits<int16_t>::max())},
      {"uint16", json(0), json(std::numeric_limits<uint16_t>::max())},
      {"int32", json(std::numeric_limits<int32_t>::min()), json(std::numeric_limits<int32_t>::max())},
      {"uint32", json(0), json(std::numeric_limits<uint32_t>::max())},
      {"int64", json(std::numeric_limits<int64_t>::min()), json(std::numeric_limits<int64_t>::max())},
      {"uint64", json(0), json(std::numeric_limits<uint64_t>::max())},
  };
  return kinds;
}

std::string Str(const json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const json& Member(const json& object, const char* key) {
  static const json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it != object.end() ? *it : kNull;
}

// The nearest schema, marked with the kind the table really gave.
json Nearest(json schema, const std::string& kind) {
  schema["x-kiv-type"] = kind;
  return schema;
}

json KindSchema(const std::string& kind, const std::string& name, const Components& components);

// A container's elements: the table describes them by kind and registered
// name only, so elements that are containers themselves have no elements
// of their own.
json ElementSchema(const std::string& element, const std::string& name, const Components& components) {
  if (element == "vector") return Nearest({{"type", "array"}}, element);
  if (element == "map") return Nearest({{"type", "object"}}, element);
  return KindSchema(element.empty() ? std::string("none") : element, name, components);
}

json KindSchema(const std::string& kind, const std::string& name, const Components& components) {
  if (kind == "bool") return {{"type", "boolean"}};
  for (const IntegerKind& k : IntegerKinds()) {
    if (kind == k.name) return {{"type", "integer"}, {"format", kind}, {"minimum", k.minimum}, {"maximum", k.maximum}};
  }
  if (kind == "float" || kind == "double") return {{"type", "number"}, {"format", kind}};
  if (kind == "string") return {{"type", "string"}};
  if (kind == "object") return json::object();  // any value at all
  if (kind == "blob") return Nearest({{"type", "string"}, {"contentMediaType", "application/octet-stream"}}, kind);
  if (kind == "callback") return Nearest({{"type", "integer"}}, kind);
  if (kind == "enum" || kind == "struct") {
    auto it = components.find(name);
    if (it != components.end()) return {{"$ref", "#/components/schemas/" + it->second}};
    json s = Nearest({{"type", kind == "enum" ? "string" : "object"}}, kind);
    // A name the plugin registered no type for: still said, never dropped.
    if (!name.empty()) s["x-kiv-type-name"] = name;
    return s;
  }
  return Nearest(json::object(), kind);
}

bool TakesText(const std::string& kind) {
  return kind != "vector" && kind != "map" && kind != "struct" && kind != "object";
}

// A component key as OpenAPI allows them: letters, digits, ".", "-", "_".
std::string KeyOf(const std::string& name) {
  std::string key;
  for (unsigned char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    key += ok ? static_cast<char>(c) : '_';
  }
  return key.empty() ? std::string("_") : key;
}

// The registered types reached from `roots`, directly or through the fields
// of the structures they reach, by name with their records.
json Reached(const std::vector<std::string>& roots, const std::map<std::string, const json*>& types) {
  json reached = json::object();
  std::deque<std::string> pending;
  auto reach = [&](const std::string& name) {
    auto it = types.find(name);
    if (it == types.end() || reached.contains(name)) return;
    reached[name] = *it->second;
    pending.push_back(name);
  };
  for (const std::string& root : roots) reach(root);
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    for (const json& field : Member(*types.at(name), "fields")) reach(Str(Member(field, "type"), "name"));
  }
  return reached;
}

// What a plugin's endpoints and events name.
std::vector<std::string> NamedTypes(const json& plugin) {
  std::vector<std::string> names;
  for (const json& ep : Member(plugin, "endpoints")) {
    names.push_back(Str(Member(ep, "returns"), "name"));
    for (const json& arg : Member(ep, "arguments")) names.push_back(Str(Member(arg, "type"), "name"));
  }
  for (const json& event : Member(plugin, "events")) names.push_back(Str(event, "dataType"));
  return names;
}

json ComponentSchema(const json& record, const Components& components) {
  json schema;
  const std::string description = Str(record, "description");
  if (record.contains("enumerators")) {
    schema["type"] = "string";
    json names = json::array(), numbers = json::object(), descriptions = json::object();
    for (const json& e : Member(record, "enumerators")) {
      const std::string name = Str(e, "name");
      names.push_back(name);
      numbers[name] = Member(e, "number");
      if (!Str(e, "description").empty()) descriptions[name] = Str(e, "description");
    }
    if (!names.empty()) schema["enum"] = std::move(names);
    // Requests may also give an enumerator's number, as a number or a text.
    schema["x-kiv-enum-numbers"] = std::move(numbers);
    if (!descriptions.empty()) schema["x-kiv-enum-descriptions"] = std::move(descriptions);
  } else {
    schema["type"] = "object";
    json properties = json::object();
    for (const json& field : Member(record, "fields")) {
      json property = TypeSchema(Member(field, "type"), components);
      if (!Str(field, "description").empty()) property["description"] = Str(field, "description");
      properties[Str(field, "name")] = std::move(property);
    }
    if (!properties.empty()) schema["properties"] = std::move(properties);
  }
  if (!description.empty()) schema["description"] = description;
  return schema;
}

json ErrorContent() {
  return {{"application/json", {{"schema", {{"$ref", std::string("#/components/schemas/") + kErrorKey}}}}}};
}

json Responses(const json& returns, const Components& components) {
  json r;
  if (Str(returns, "kind") == "none" || Str(returns, "kind").empty()) {
    r["204"] = {{"description", "Done; the function returns nothing"}};
  } else {
    r["200"] = {{"description", "The function's result"},
                {"content", {{"application/json", {{"schema", TypeSchema(returns, components)}}}}}};
  }
  r["400"] = {{"description",
               "An argument is missing, unknown, in the wrong place or cannot be converted, or the body cannot be "
               "read; the error says which"},
              {"content", ErrorContent()}};
  r["404"] = {{"description", "The path matches none of the endpoint's patterns, or the function found nothing"},
              {"content", ErrorContent()}};
  r["500"] = {{"description", "The function failed unexpectedly"}, {"content", ErrorContent()}};
  r["default"] = {{"description", "A status the function set itself, or a refusal of the host's HTTP front"},
                  {"content", ErrorContent()}};
  return r;
}

struct Builder {
  json doc;
  // By component key, the registered types it stands for.
  std::map<std::string, json> records{{kErrorKey, json()}};
  std::set<std::string> operationIds;
  std::set<std::string> tags;

  std::string UniqueId(std::string id, const std::string& plugin) {
    if (operationIds.insert(id).second) return id;
    const std::string base = id + "_" + KeyOf(plugin);
    id = base;
    for (int n = 2; !operationIds.insert(id).second; ++n) id = base + "_" + std::to_string(n);
    return id;
  }

  json Operation(const json& ep, const std::string& plugin, const OpenApiPath& path, const Components& components) {
    json op;
    const std::string summary = Str(ep, "description"), help = Str(ep, "help");
    if (!summary.empty()) op["summary"] = summary;
    if (!help.empty()) op["description"] = help;
    json tagList = json::array();
    for (const json& tag : Member(ep, "tags")) {
      if (tag.is_string() && !tag.get<std::string>().empty()) tagList.push_back(tag);
    }
    if (tagList.empty()) tagList.push_back(plugin);
    for (const json& tag : tagList) tags.insert(tag.get<std::string>());
    op["tags"] = std::move(tagList);

    std::map<std::string, std::string> placeholders;  // name -> what it takes
    for (const auto& capture : path.captures) placeholders[capture.name] = capture.takes;
    std::set<std::string> bound;
    json parameters = json::array(), unreachable = json::array();
    bool hasBody = false;
    for (const json& arg : Member(ep, "arguments")) {
      const std::string name = Str(arg, "name"), kind = Str(Member(arg, "type"), "kind");
      const json& locationValue = Member(arg, "location");
      const std::string location = locationValue.is_string() ? locationValue.get<std::string>() : "any";
      const bool optional = Member(arg, "optional") == true;
      json schema = TypeSchema(Member(arg, "type"), components);
      if (location == "body") {
        if (hasBody) {
          // Only the first body argument receives the body.
          unreachable.push_back({{"name", name}, {"location", location}, {"schema", std::move(schema)}});
          continue;
        }
        hasBody = true;
        json content = json::object();
        for (const char* type : kBodyMediaTypes) content[type] = {{"schema", schema}};
        op["requestBody"] = {{"required", !optional}, {"content", std::move(content)}};
        if (!Str(arg, "description").empty()) op["requestBody"]["description"] = Str(arg, "description");
        continue;
      }
      json p{{"name", name}};
      auto placeholder = placeholders.find(name);
      if ((location == "path" || location == "any") && placeholder != placeholders.end()) {
        bound.insert(name);
        p["in"] = "path";
        p["required"] = true;
        if (placeholder->second != "segment") p["x-kiv-wildcard"] = placeholder->second;
      } else if (location == "path") {
        unreachable.push_back({{"name", name}, {"location", location}, {"schema", std::move(schema)}});
        continue;
      } else {
        p["in"] = location == "header" ? "header" : "query";
        // A bool the request leaves out reaches the function as false.
        p["required"] = !optional && kind != "bool";
        if (!optional && kind == "bool") schema["default"] = false;
        // Taken from a header, a placeholder or an item too; the query is nearest.
        if (location != "header" && location != "query") p["x-kiv-location"] = "any";
      }
      if (!Str(arg, "description").empty()) p["description"] = Str(arg, "description");
      // A container argument's text is read as JSON (or MessagePack or YAML).
      if (TakesText(kind)) {
        p["schema"] = std::move(schema);
      } else {
        p["content"] = {{"application/json", {{"schema", std::move(schema)}}}};
      }
      parameters.push_back(std::move(p));
    }
    for (const auto& capture : path.captures) {
      if (bound.count(capture.name) != 0) continue;
      // No argument takes it, so the plugin refuses every request here; the
      // parameter is still there for the path to stay a valid template.
      json p{{"name", capture.name},
             {"in", "path"},
             {"required", true},
             {"schema", {{"type", "string"}}},
             {"x-kiv-unbound", true}};
      if (capture.takes != "segment") p["x-kiv-wildcard"] = capture.takes;
      parameters.push_back(std::move(p));
      bound.insert(capture.name);
    }
    if (!parameters.empty()) op["parameters"] = std::move(parameters);
    if (!unreachable.empty()) op["x-kiv-unreachable-arguments"] = std::move(unreachable);
    op["responses"] = Responses(Member(ep, "returns"), components);
    if (!Str(ep, "asyncEventType").empty()) op["x-kiv-async-event-type"] = Str(ep, "asyncEventType");
    op["x-kiv-plugin"] = plugin;
    return op;
  }

  void Add(const json& ep, const std::string& plugin, const Components& components) {
    const std::string pattern = Str(ep, "path"), method = Str(ep, "method"), function = Str(ep, "name");
    if (pattern.empty()) return;  // not routed, so nothing reaches it over HTTP
    const OpenApiPath path = ToOpenApiPath(pattern);
    json& item = doc["paths"][path.path];
    auto place = [&](json* slot, const std::string& shownMethod, const std::string& id, bool anyMethod) {
      if (!slot->is_null()) {
        // The route added first serves it; this one is still listed.
        doc["x-kiv-shadowed"].push_back(
            {{"plugin", plugin}, {"function", function}, {"method", shownMethod}, {"path", pattern}});
        return;
      }
      *slot = Operation(ep, plugin, path, components);
      (*slot)["operationId"] = UniqueId(id, plugin);
      if (anyMethod) (*slot)["x-kiv-any-method"] = true;
    };
    if (method == "*") {
      for (const char* m : kEveryMethod) {
        std::string upper(m);
        for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
        place(&item[m], upper, function + "_" + upper, true);
      }
      return;
    }
    std::string lower = method;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    bool standard = lower == "trace";
    for (const char* m : kEveryMethod) standard = standard || lower == m;
    // OpenAPI 3.1 names no other methods: those go under an extension.
    place(standard ? &item[lower] : &item["x-kiv-other-methods"][method], method, function, false);
  }
};

}  // namespace

OpenApiPath ToOpenApiPath(const std::string& pattern) {
  OpenApiPath out;
  size_t i = 0;
  while (i < pattern.size()) {
    const size_t close = pattern[i] == '{' ? pattern.find('}', i + 1) : std::string::npos;
    if (close == std::string::npos) {
      out.path += pattern[i++];
      continue;
    }
    std::string name = pattern.substr(i + 1, close - i - 1);
    std::string takes = "segment";
    if (!name.empty() && (name[0] == '+' || name[0] == '#')) {
      takes = name[0] == '+' ? "rest" : "fragment";
      name.erase(0, 1);
    }
    out.path += "{" + name + "}";
    out.captures.push_back({std::move(name), std::move(takes)});
    i = close + 1;
  }
  return out;
}

json TypeSchema(const json& type, const Components& components) {
  const std::string kind = Str(type, "kind"), element = Str(type, "element"), name = Str(type, "name");
  if (kind == "vector") return {{"type", "array"}, {"items", ElementSchema(element, name, components)}};
  if (kind == "map") return {{"type", "object"}, {"additionalProperties", ElementSchema(element, name, components)}};
  json schema = KindSchema(kind.empty() ? std::string("none") : kind, name, components);
  if (kind == "unknown" && type.contains("code")) schema["x-kiv-type-code"] = type["code"];
  return schema;
}

json OpenApiDocument(const json& description, const std::string& serverUrl) {
  Builder b;
  json& doc = b.doc;
  doc["openapi"] = "3.1.0";
  std::string names;
  json plugins = json::array();
  for (const json& plugin : Member(description, "plugins")) {
    names += (names.empty() ? "" : ", ") + Str(plugin, "name");
    plugins.push_back({{"name", Str(plugin, "name")}, {"version", Str(plugin, "version")}});
  }
  doc["info"] = {{"title", "kivhost: " + (names.empty() ? std::string("no plugins") : names)},
                 {"version", Str(description, "hostVersion")},
                 {"description",
                  "The endpoints of the plugins kivhost has loaded, read from their API tables. Besides these, "
                  "kivhost serves its web console at /, this document at /openapi.json, every routed event as "
                  "server-sent events at /events, the plugins' tables at /api and its records under /kivhost/."}};
  if (!serverUrl.empty()) doc["servers"] = json::array({{{"url", serverUrl}}});
  // No authentication: the host answers only its own address and pages.
  doc["security"] = json::array();
  doc["paths"] = json::object();
  json& schemas = doc["components"]["schemas"];
  schemas[kErrorKey] = {{"type", "object"},
                        {"required", json::array({"error"})},
                        {"properties", {{"error", {{"type", "string"}}}}},
                        {"description", "An error answer: the plugin's own text, or the host's"}};
  json events = json::array();
  for (const json& plugin : Member(description, "plugins")) {
    const std::string pluginName = Str(plugin, "name");
    std::map<std::string, const json*> types;
    for (const json& t : Member(plugin, "types")) types.emplace(Str(t, "name"), &t);
    // Names first, so that types may refer to each other in any order. Two
    // plugins share a component when the type and all it reaches are
    // registered alike in both.
    Components components;
    const json reached = Reached(NamedTypes(plugin), types);
    for (const auto& [name, record] : reached.items()) {
      const json closure = Reached({name}, types);
      const std::string base = KeyOf(name);
      std::string key = base;
      for (int n = 1;; ++n) {
        auto taken = b.records.find(key);
        if (taken == b.records.end() || taken->second == closure) break;
        key = base + "-" + KeyOf(pluginName) + (n == 1 ? "" : "-" + std::to_string(n));
      }
      components[name] = key;
      b.records[key] = closure;
    }
    for (const auto& [name, key] : components) schemas[key] = ComponentSchema(*types.at(name), components);
    for (const json& ep : Member(plugin, "endpoints")) b.Add(ep, pluginName, components);
    for (const json& event : Member(plugin, "events")) {
      json e{{"plugin", pluginName}, {"name", Str(event, "name")}};
      if (!Str(event, "description").empty()) e["description"] = Str(event, "description");
      e["payload"] = TypeSchema({{"kind", "struct"}, {"name", Str(event, "dataType")}}, components);
      events.push_back(std::move(e));
    }
  }
  json tags = json::array();
  for (const std::string& tag : b.tags) tags.push_back({{"name", tag}});
  if (!tags.empty()) doc["tags"] = std::move(tags);
  doc["x-kiv-plugins"] = std::move(plugins);
  doc["x-kiv-events"] = std::move(events);
  return doc;
}

}  // namespace kivhost
