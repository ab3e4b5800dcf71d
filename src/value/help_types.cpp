#include "value/help_types.h"

namespace kiv::binding {

BindingFullTypeIdentifier FullTypeIdentifier(const TypeRef& type) {
  BindingFullTypeIdentifier identifier;
  identifier.type = ToString(FullTypeName(type.kind, type.descriptor));
  if (type.kind == TypeKind::Vector || type.kind == TypeKind::Map) {
    identifier.elementType = ToString(FullTypeName(type.elementKind, type.descriptor));
  }
  return identifier;
}

namespace {

template <typename Builder>
void Finish(Builder& builder, std::string_view description) {
  builder.Description(description).Tag("$builtin").Tag("help");
}

}  // namespace

void RegisterHelpTypes(TypeRegistry& registry) {
  {
    auto b = registry.BeginEnum<BindingHelpFormat>("BindingHelpFormat");
    b.Enumerator("Full", BindingHelpFormat::Full, "Native help format")
        .Enumerator("Epytext", BindingHelpFormat::Epytext, "Python epytext format");
    Finish(b, "Help format for binding functions and types.");
  }
  {
    using T = BindingFullTypeIdentifier;
    auto b = registry.BeginStruct<T>("BindingFullTypeIdentifier");
    b.Field("type", &T::type).Field("elementType", &T::elementType);
    Finish(b, "Describes the type of a value.");
  }
  {
    using T = BindingFullArgumentHelp;
    auto b = registry.BeginStruct<T>("BindingFullArgumentHelp");
    b.Field("name", &T::name)
        .Field("description", &T::description)
        .Field("type", &T::type)
        .Field("optional", &T::optional);
    Finish(b, "Describes a function parameter.");
  }
  {
    using T = BindingFullFunctionHelp;
    auto b = registry.BeginStruct<T>("BindingFullFunctionHelp");
    b.Field("name", &T::name)
        .Field("nameSpace", &T::nameSpace)
        .Field("arguments", &T::arguments)
        .Field("returns", &T::returns)
        .Field("description", &T::description)
        .Field("help", &T::help)
        .Field("threadSafe", &T::threadSafe)
        .Field("async", &T::async)
        .Field("tags", &T::tags);
    Finish(b, "Describes a function.");
  }
  {
    using T = BindingFullEnumValueHelp;
    auto b = registry.BeginStruct<T>("BindingFullEnumValueHelp");
    b.Field("name", &T::name).Field("description", &T::description).Field("value", &T::value);
    Finish(b, "Describes an enumerator.");
  }
  {
    using T = BindingFullFieldHelp;
    auto b = registry.BeginStruct<T>("BindingFullFieldHelp");
    b.Field("name", &T::name)
        .Field("description", &T::description)
        .Field("offset", &T::offset)
        .Field("type", &T::type)
        .Field("optional", &T::optional);
    Finish(b, "Describes a member of a struct.");
  }
  {
    using T = BindingFullTypeHelp;
    auto b = registry.BeginStruct<T>("BindingFullTypeHelp");
    b.Field("name", &T::name)
        .Field("nameSpace", &T::nameSpace)
        .Field("size", &T::size)
        .Field("description", &T::description)
        .Field("tags", &T::tags)
        .Field("fields", &T::fields)
        .Field("values", &T::values);
    Finish(b, "Describes a struct or enum type.");
  }
  {
    using T = BindingFullEventHelp;
    auto b = registry.BeginStruct<T>("BindingFullEventHelp");
    b.Field("name", &T::name)
        .Field("nameSpace", &T::nameSpace)
        .Field("type", &T::type)
        .Field("description", &T::description)
        .Field("tags", &T::tags);
    Finish(b, "Describes an event.");
  }
  {
    using T = BindingFullApiHelp;
    auto b = registry.BeginStruct<T>("BindingFullApiHelp");
    b.Field("functions", &T::functions).Field("types", &T::types).Field("events", &T::events);
    Finish(b, "Describes the exposed native API.");
  }
}

}  // namespace kiv::binding
