// The framework's own records, registered in every plugin's API registry in
// the namespace "tclient". Each type carries a fixed identity (its number is
// the type's id everywhere, including the typed conversion templates).
#pragma once

#include <cstdint>

#include "value/types.h"
#include "value/value.h"
#include "logging/memory.h"

namespace kiv::binding {
class BindingApi;
}

namespace kiv::framework {

enum class PluginManagerState : int32_t { NotReady = 0, PluginsInitialized = 1 };

struct PluginManagerResource {
  PluginManagerState state = PluginManagerState::NotReady;
};

enum class PluginResourceEventType : int32_t { Create = 0, Update = 1, Delete = 2 };

struct PluginResourceEvent {
  String uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  binding::Value data;  // Empty for Delete
};

struct PluginLcdsEvent {
  String clientId;
  String subtopic;
  String typeName;
  binding::Value body;
};

struct PluginLcdsResponse {
  String typeName;
  binding::Value body;
};

struct PluginServiceProxyResponse {
  String uuid;
  String serviceName;
  String methodName;
  String payload;
  String status;
  String error;
};

inline constexpr const char* kFrameworkNameSpace = "tclient";
inline constexpr const char* kJsonApiEventName = "OnJsonApiEvent";
inline constexpr const char* kLcdsEventName = "OnLcdsEvent";
inline constexpr const char* kServiceProxyUuidEventName = "OnServiceProxyUuidEvent";
inline constexpr const char* kServiceProxyMethodEventName = "OnServiceProxyMethodEvent";
inline constexpr const char* kServiceProxyAsyncEventName = "OnServiceProxyAsyncEvent";

// Registers the seven framework types, then the five framework events, in
// "tclient". Registration is idempotent by name.
void RegisterFrameworkTypes(binding::BindingApi& api);

}  // namespace kiv::framework

// Fixed identities: StaticType::Id<T>() of these types is their number, so
// registry lookups, typed conversions and enum values all agree on it.
#define KIV_FRAMEWORK_FIXED_TYPE_ID(Type, number)   \
  template <>                                       \
  struct StaticTypeRecord<::kiv::framework::Type> { \
    static constexpr TypeId record{number};         \
  };

namespace kiv::binding {
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginManagerState, 0xF4E3B901u)
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginManagerResource, 0xFA58397Cu)
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginResourceEventType, 0xDC24D2ADu)
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginResourceEvent, 0xA54F35FDu)
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginLcdsEvent, 0x739F2EF4u)
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginLcdsResponse, 0xF4476A4Fu)
KIV_FRAMEWORK_FIXED_TYPE_ID(PluginServiceProxyResponse, 0x2C5E7588u)
}  // namespace kiv::binding

#undef KIV_FRAMEWORK_FIXED_TYPE_ID
