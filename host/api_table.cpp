#include "api_table.h"

#include <algorithm>

#include "host_internal.h"
#include "router.h"

namespace kivhost {
namespace {

// Bounds for walking the table; its counts are not trusted.
constexpr uint32_t kMaxRecords = 65536;
constexpr uint32_t kMaxMembers = 4096;
constexpr uint32_t kMaxTags = 1024;

template <typename T>
const T* NextOf(const T* record) {
  return record->next;
}
// An endpoint entry starts with its function record, whose first word chains
// the entries.
template <>
const HostEndpointEntry* NextOf(const HostEndpointEntry* record) {
  return reinterpret_cast<const HostEndpointEntry*>(record->function.next);
}

// Walks a chained record array: stops at the end of the chain, at `count`
// records, or at `cap`, whichever comes first, and notes any disagreement.
template <typename T>
std::vector<const T*> WalkChain(const T* first, uint32_t count, uint32_t cap, const std::string& what,
                                std::vector<std::string>* warnings) {
  std::vector<const T*> out;
  const uint32_t limit = std::min(count, cap);
  if (count > cap) warnings->push_back(what + ": count " + std::to_string(count) + " capped at " + std::to_string(cap));
  if (first == nullptr && count != 0) {
    warnings->push_back(what + ": null array with count " + std::to_string(count));
    return out;
  }
  for (const T* p = first; p != nullptr && out.size() < limit; p = NextOf(p)) out.push_back(p);
  if (out.size() < limit) {
    warnings->push_back(what + ": chain ends after " + std::to_string(out.size()) + " of " + std::to_string(count) +
                        " records");
  }
  return out;
}

const char* TypeKindName(int32_t kind) {
  static const char* const names[] = {"none",   "bool",   "int8",   "uint8",  "int16",    "uint16", "int32",
                                      "uint32", "int64",  "uint64", "float",  "double",   "string", "object",
                                      "blob",   "vector", "enum",   "struct", "callback", "map"};
  return kind >= 0 && kind < 20 ? names[kind] : "unknown";
}

json TypeJson(int32_t kind, int32_t elementKind, const char* typeName) {
  json t{{"kind", TypeKindName(kind)}};
  if (kind < 0 || kind >= 20) t["code"] = kind;
  if (elementKind != 0) t["element"] = TypeKindName(elementKind);
  const std::string name = Text(typeName);
  if (!name.empty()) t["name"] = name;
  return t;
}

json LocationJson(uint32_t location) {
  switch (location) {
    case KIV_LOCATION_ANY:
      return "any";
    case KIV_LOCATION_QUERY:
      return "query";
    case KIV_LOCATION_PATH:
      return "path";
    case KIV_LOCATION_HEADER:
      return "header";
    case KIV_LOCATION_BODY:
      return "body";
    default:
      return location;
  }
}

json TagsJson(const char* const* tags, uint32_t count, const std::string& what, std::vector<std::string>* warnings) {
  json out = json::array();
  if (tags == nullptr) {
    if (count != 0) warnings->push_back(what + ": null tag array with count " + std::to_string(count));
    return out;
  }
  for (uint32_t i = 0; i < std::min(count, kMaxTags); ++i) out.push_back(Text(tags[i]));
  return out;
}

}  // namespace

void ReadApi(PluginSlot& slot, std::vector<std::string>* warnings) {
  json d;
  d["name"] = slot.name;
  d["library"] = slot.path;
  d["export"] = slot.exportName;
  d["version"] = std::to_string(slot.reg.apiMajor) + "." + std::to_string(slot.reg.apiMinor) + "." +
                 std::to_string(slot.reg.apiPatch);
  d["endpoints"] = json::array();
  d["types"] = json::array();
  d["events"] = json::array();
  const PluginApiTable* table = slot.reg.apiTable;
  if (table == nullptr) {
    warnings->push_back("no API table");
    slot.description = std::move(d);
    return;
  }
  for (const HostEndpointEntry* e :
       WalkChain(table->endpoints, table->endpointCount, kMaxRecords, "endpoints", warnings)) {
    const HostFunctionRecord& f = e->function;
    const std::string fname = Text(f.name);
    json ep;
    ep["name"] = fname;
    ep["nameSpace"] = Text(f.nameSpace);
    const uint32_t method = e->method >= 1 && e->method <= 8 ? e->method : 0;
    ep["method"] =
        method == 8 ? Text(e->methodText) : (method == 0 ? std::string("*") : std::string(MethodName(method)));
    ep["path"] = Text(e->path);
    ep["description"] = Text(f.description);
    ep["help"] = Text(f.help);
    ep["threadSafe"] = f.threadSafe != 0;
    const std::string asyncType = Text(f.asyncEventType);
    if (!asyncType.empty()) ep["asyncEventType"] = asyncType;
    ep["returns"] = TypeJson(f.returnKind, f.returnElementKind, f.returnTypeName);
    ep["tags"] = TagsJson(f.tags, f.tagCount, fname + " tags", warnings);
    json args = json::array();
    for (const HostArgumentRecord* a :
         WalkChain(f.arguments, f.argumentCount, kMaxMembers, fname + " arguments", warnings)) {
      args.push_back({{"name", Text(a->name)},
                      {"description", Text(a->description)},
                      {"type", TypeJson(a->typeKind, a->elementKind, a->typeName)},
                      {"optional", a->optional != 0}});
    }
    size_t index = 0;
    for (const HostArgumentLocation* l :
         WalkChain(e->locations, f.argumentCount, kMaxMembers, fname + " locations", warnings)) {
      if (index < args.size()) args[index]["location"] = LocationJson(l->location);
      ++index;
    }
    ep["arguments"] = std::move(args);
    json lists = json::array();
    for (const HostTextList* l :
         WalkChain(e->textLists, e->textListCount, kMaxMembers, fname + " text lists", warnings)) {
      lists.push_back(TagsJson(l->texts, l->count, fname + " text list", warnings));
    }
    ep["textLists"] = std::move(lists);
    d["endpoints"].push_back(std::move(ep));

    const std::string path = Text(e->path);
    if (path.empty()) {
      warnings->push_back(fname + ": endpoint without a path is not routed");
      continue;
    }
    if (e->requestEntry == nullptr) warnings->push_back(fname + ": endpoint without a request entry");
    PluginSlot::Endpoint route{e,      e->requestEntry, f.context, path, method, method == 8 ? Text(e->methodText) : "",
                               nullptr};
    if (f.threadSafe == 0) route.serial = std::make_shared<std::recursive_mutex>();
    slot.endpoints.push_back(std::move(route));
  }
  for (const HostTypeRecord* t : WalkChain(table->types, table->typeCount, kMaxRecords, "types", warnings)) {
    const std::string tname = Text(t->name);
    json type{{"name", tname},
              {"nameSpace", Text(t->nameSpace)},
              {"size", uint32_t{t->size}},
              {"description", Text(t->description)},
              {"tags", TagsJson(t->tags, t->tagCount, tname + " tags", warnings)}};
    if (t->fields != nullptr) {
      json fields = json::array();
      for (const HostFieldRecord* f : WalkChain(t->fields, t->memberCount, kMaxMembers, tname + " fields", warnings)) {
        fields.push_back({{"name", Text(f->name)},
                          {"description", Text(f->description)},
                          {"offset", uint32_t{f->offset}},
                          {"type", TypeJson(f->typeKind, f->elementKind, f->typeName)},
                          {"extra", uint32_t{f->extra}}});
      }
      type["fields"] = std::move(fields);
    }
    if (t->enumerators != nullptr) {
      json values = json::array();
      for (const HostEnumeratorRecord* v :
           WalkChain(t->enumerators, t->memberCount, kMaxMembers, tname + " enumerators", warnings)) {
        values.push_back(
            {{"name", Text(v->name)}, {"description", Text(v->description)}, {"number", int32_t{v->number}}});
      }
      type["enumerators"] = std::move(values);
    }
    d["types"].push_back(std::move(type));
  }
  for (const HostEventRecord* e : WalkChain(table->events, table->eventCount, kMaxRecords, "events", warnings)) {
    const std::string ename = Text(e->name);
    d["events"].push_back({{"name", ename},
                           {"nameSpace", Text(e->nameSpace)},
                           {"dataType", Text(e->dataTypeName)},
                           {"description", Text(e->description)},
                           {"tags", TagsJson(e->tags, e->tagCount, ename + " tags", warnings)}});
  }
  if (!warnings->empty()) d["warnings"] = *warnings;
  slot.description = std::move(d);
}

}  // namespace kivhost
