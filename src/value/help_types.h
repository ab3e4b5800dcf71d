// The records in which the binding layer describes its own API (help), and
// their registration. Every binding API object registers them first.
#pragma once

#include <cstdint>

#include "value/types.h"
#include "logging/memory.h"

namespace kiv::binding {

enum class BindingHelpFormat : int32_t {
  Full = 1,     // native help format
  Epytext = 2,  // Python epytext format
};

// The type of a value as shown in help: the full name of the type and, for
// vectors and maps, of their element.
struct BindingFullTypeIdentifier {
  String type;
  String elementType;
};

struct BindingFullArgumentHelp {
  String name;
  String description;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullFunctionHelp {
  String name;
  String nameSpace;
  Vector<BindingFullArgumentHelp> arguments;
  BindingFullTypeIdentifier returns;
  String description;
  String help;
  bool threadSafe = false;
  String async;
  Vector<String> tags;
};

struct BindingFullEnumValueHelp {
  String name;
  String description;
  int32_t value = 0;
};

struct BindingFullFieldHelp {
  String name;
  String description;
  uint32_t offset = 0;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullTypeHelp {
  String name;
  String nameSpace;
  uint32_t size = 0;
  String description;
  Vector<String> tags;
  Vector<BindingFullFieldHelp> fields;
  Vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
  String name;
  String nameSpace;
  BindingFullTypeIdentifier type;
  String description;
  Vector<String> tags;
};

struct BindingFullApiHelp {
  Vector<BindingFullFunctionHelp> functions;
  Vector<BindingFullTypeHelp> types;
  Vector<BindingFullEventHelp> events;
};

// The help records cross the host boundary with these sizes on the 32-bit targets.
static_assert(sizeof(void*) != 4 || (sizeof(BindingHelpFormat) == 4 && sizeof(BindingFullTypeIdentifier) == 48 &&
                                     sizeof(BindingFullArgumentHelp) == 100 && sizeof(BindingFullFunctionHelp) == 196 &&
                                     sizeof(BindingFullEnumValueHelp) == 52 && sizeof(BindingFullFieldHelp) == 104 &&
                                     sizeof(BindingFullTypeHelp) == 112 && sizeof(BindingFullEventHelp) == 132 &&
                                     sizeof(BindingFullApiHelp) == 36),
              "help record sizes on 32-bit targets");

// type: the full name of the reference's kind; elementType: for vectors and
// maps, the full name of the element, else empty.
BindingFullTypeIdentifier FullTypeIdentifier(const TypeRef& type);

// Registers BindingHelpFormat and the eight help structures, each tagged
// "$builtin" and "help". Idempotent.
void RegisterHelpTypes(TypeRegistry& registry);

}  // namespace kiv::binding
