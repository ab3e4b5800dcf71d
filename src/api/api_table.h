// Storage of the API table a binding API hands to the host, and the endpoint
// contexts the host passes back with each request.
#pragma once

#include <cstdint>

#include "http/url_pattern.h"
#include "kiv_plugin.h"
#include "logging/memory.h"

namespace kiv::binding {

class BindingApi;
struct EndpointRegistration;
struct FunctionRecord;

// What the host passes back as word 4 of each request for an endpoint.
struct EndpointContext {
  const BindingApi* api = nullptr;
  const EndpointRegistration* endpoint = nullptr;
  Vector<const url::PathPattern*> patterns;

  // The context behind a pointer the host gave, or null when it is not a
  // live context of any binding API in this library.
  static const EndpointContext* FromHost(const void* context);
};

struct ApiTableStorage : mem::Allocated {
  ApiTableStorage();
  ~ApiTableStorage();
  ApiTableStorage(const ApiTableStorage&) = delete;
  ApiTableStorage& operator=(const ApiTableStorage&) = delete;

  PluginApiTable table{};
  Vector<EndpointContext> contexts;  // reserved up front: the host holds pointers into it
  Vector<HostEndpointEntry> endpoints;
  Vector<HostTypeRecord> types;
  Vector<HostEventRecord> events;
  // Arrays the records point to; moving a vector keeps its elements in place.
  Vector<Vector<HostArgumentRecord>> argumentArrays;
  Vector<Vector<HostArgumentLocation>> locationArrays;
  Vector<Vector<HostTextList>> textListArrays;
  Vector<Vector<HostFieldRecord>> fieldArrays;
  Vector<Vector<HostEnumeratorRecord>> enumeratorArrays;
  Vector<Vector<const char*>> textArrays;
};

// Builds the table from the registry as it stands.
ApiTableStorage* BuildApiTableStorage(const BindingApi& api);

void FillFunctionRecord(ApiTableStorage& storage, const FunctionRecord& function, HostFunctionRecord* record);

}  // namespace kiv::binding
