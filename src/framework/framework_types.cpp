#include "framework/framework_types.h"

#include "api/binding_api.h"

namespace kiv::framework {

void RegisterFrameworkTypes(binding::BindingApi& api) {
  binding::TypeRegistry& types = api.Types();

  types.BeginEnum<PluginManagerState>("PluginManagerState")
      .Enumerator("NotReady", PluginManagerState::NotReady)
      .Enumerator("PluginsInitialized", PluginManagerState::PluginsInitialized)
      .NameSpace(kFrameworkNameSpace);
  types.BeginStruct<PluginManagerResource>("PluginManagerResource")
      .Field("state", &PluginManagerResource::state)
      .NameSpace(kFrameworkNameSpace);
  types.BeginEnum<PluginResourceEventType>("PluginResourceEventType")
      .Enumerator("Create", PluginResourceEventType::Create)
      .Enumerator("Update", PluginResourceEventType::Update)
      .Enumerator("Delete", PluginResourceEventType::Delete)
      .NameSpace(kFrameworkNameSpace);
  types.BeginStruct<PluginResourceEvent>("PluginResourceEvent")
      .Field("uri", &PluginResourceEvent::uri)
      .Field("eventType", &PluginResourceEvent::eventType)
      .Field("data", &PluginResourceEvent::data)
      .NameSpace(kFrameworkNameSpace);
  types.BeginStruct<PluginLcdsEvent>("PluginLcdsEvent")
      .Field("clientId", &PluginLcdsEvent::clientId)
      .Field("subtopic", &PluginLcdsEvent::subtopic)
      .Field("typeName", &PluginLcdsEvent::typeName)
      .Field("body", &PluginLcdsEvent::body)
      .NameSpace(kFrameworkNameSpace);
  types.BeginStruct<PluginLcdsResponse>("PluginLcdsResponse")
      .Field("typeName", &PluginLcdsResponse::typeName)
      .Field("body", &PluginLcdsResponse::body)
      .NameSpace(kFrameworkNameSpace);
  types.BeginStruct<PluginServiceProxyResponse>("PluginServiceProxyResponse")
      .Field("uuid", &PluginServiceProxyResponse::uuid)
      .Field("serviceName", &PluginServiceProxyResponse::serviceName)
      .Field("methodName", &PluginServiceProxyResponse::methodName)
      .Field("payload", &PluginServiceProxyResponse::payload)
      .Field("status", &PluginServiceProxyResponse::status)
      .Field("error", &PluginServiceProxyResponse::error)
      .NameSpace(kFrameworkNameSpace);

  struct EventSpec {
    const char* name;
    const binding::TypeDescriptor* payload;
    const char* description;
  };
  const EventSpec events[] = {
      {kJsonApiEventName, types.Find<PluginResourceEvent>(), "Fired when a resource is changed."},
      {kLcdsEventName, types.Find<PluginLcdsEvent>(), "Fired when a message is received over the LCDS connection."},
      {kServiceProxyUuidEventName, types.Find<PluginServiceProxyResponse>(),
       "Fired when a uuid-based service proxy message is received."},
      {kServiceProxyMethodEventName, types.Find<PluginServiceProxyResponse>(),
       "Fired when a method-based service proxy message is received."},
      {kServiceProxyAsyncEventName, types.Find<PluginServiceProxyResponse>(),
       "Fired when an async service proxy message is received."},
  };
  for (const EventSpec& event : events) {
    auto builder = api.BeginEvent(event.name, event.payload);
    if (!builder.Exists()) builder.Description(event.description).NameSpace(kFrameworkNameSpace);
  }
}

}  // namespace kiv::framework
