/*
 * A plugin written in C11 against kiv_plugin.h alone, driven by the C++ host
 * of abi_test.cpp. On 32-bit x86 this file is compiled with callee-pops as
 * its default calling convention (-mrtd), so any function pointer of the
 * header that KIV_CDECL fails to mark as cdecl unbalances the stack on the
 * first call across. Nothing here allocates: every record lives in `state`.
 */
#include "kiv_plugin.h"
#include "layout_checks.h"

/* Loads the plugin; the one function the host finds by name. */
KIV_PLUGIN_EXPORT void KIV_CDECL kiv_abi_c_load(PluginRegistration* registration);

static struct {
  PluginCallbacks callbacks;
  HostInit* init;
  PluginApiTable table;
  HostEndpointEntry endpoints[2];
  HostArgumentRecord argument;
  HostArgumentLocation location;
  const char* tags[1];
  /* What the host has done to the plugin so far. */
  uint32_t events;
  int64_t eventSum;
  uint32_t releases;
  uint32_t closes;
  /* The answer the plugin is building, and a streamed body's position. */
  HostStructEntry members[4];
  HostHeader header;
  uint32_t streamed;
} state;

static const char kStreamBody[] = "0123456789";
static const HostResponse kNoResponse;

static HostValue Unsigned(uint64_t number) {
  HostValue value = {0};
  value.kind = KIV_HOST_VALUE_UNSIGNED;
  value.u.u64 = number;
  return value;
}

static HostValue Signed(int64_t number) {
  HostValue value = {0};
  value.kind = KIV_HOST_VALUE_SIGNED;
  value.u.i64 = number;
  return value;
}

static void KIV_CDECL OnEvent(const HostEvent* event) {
  if (event->context != (void*)&state || event->payload.kind != KIV_HOST_VALUE_SIGNED) return;
  state.events += 1;
  state.eventSum += event->payload.u.i64;
}

static void KIV_CDECL Release(HostResponse* response) {
  state.releases += 1;
  response->release = 0;
}

static uint8_t KIV_CDECL StreamRead(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more) {
  const uint32_t total = (uint32_t)(sizeof kStreamBody - 1);
  uint32_t count = total - state.streamed;
  uint32_t i;
  if (context != (void*)&state) return 0;
  if (count > *length) count = *length;
  for (i = 0; i < count; ++i) buffer[i] = (uint8_t)kStreamBody[state.streamed + i];
  state.streamed += count;
  *length = count;
  *more = state.streamed < total ? 1 : 0;
  return 1;
}

static void KIV_CDECL StreamClose(void* context) {
  if (context == (void*)&state) state.closes += 1;
}

/* Endpoint 0 echoes the request's parameter item, with what the plugin has
 * seen of the host, as a structure; endpoint 1 streams kStreamBody. */
static void KIV_CDECL Serve(HostResponse* response, HostRequest* request) {
  *response = kNoResponse;
  response->release = &Release;
  if (request->endpointContext == (const void*)&state.endpoints[1]) {
    state.streamed = 0;
    response->streamRead = &StreamRead;
    response->streamClose = &StreamClose;
    response->streamContext = &state;
    response->expectedSize = sizeof kStreamBody - 1;
    return;
  }
  if (request->endpointContext != (const void*)&state.endpoints[0] || request->itemCount != 1) {
    response->errorText = "unexpected request";
    response->errorFlag = 1;
    response->status = 400;
    return;
  }
  state.members[0].key = "bodySize";
  state.members[0].value = Unsigned(request->bodySize);
  state.members[1].key = "events";
  state.members[1].value = Unsigned(state.events);
  state.members[2].key = "eventSum";
  state.members[2].value = Signed(state.eventSum);
  state.members[3].key = "item";
  state.members[3].value = request->items[0].value;
  response->body.kind = KIV_HOST_VALUE_STRUCTURE;
  response->body.u.structure.entries = state.members;
  response->body.u.structure.count = 4;
  response->status = 201;
  response->statusText = "Created";
  state.header.name = "x-method";
  state.header.value = request->method == KIV_METHOD_OTHER ? request->methodText : "";
  response->headers = &state.header;
  response->headerCount = 1;
}

/* Calls every host service once, checking what the host answers through
 * them; returns 1 when all of it came back as sent. */
static uint8_t KIV_CDECL Initialize(void* handle, HostInit* init) {
  HostServices* services = init->services;
  HostParameterItem item;
  HostRequest request = {0};
  HostResponse response = kNoResponse;
  HostEvent event = {0};
  uint8_t ok = handle == (void*)&state;
  state.init = init;
  services->writeLog(services, KIV_HOST_LOG_WARN, "c plugin starting");
  services->subscribe(services, "OnAbiEvent", init->hostToken, &OnEvent, &state, KIV_SUBSCRIBE_RESOURCE_EVENTS);
  services->reserved1(services, 0x11111111u, 0x22222222u);
  services->reserved5(services, 1, 2, 3, 0x0000000400000005ull, 6);
  ok &= services->beginWait(services, "Wait: yield", 7) == 7;
  ok &= services->yield(services) == 1;
  ok &= services->endWait(services) == 7;

  item.name = 0;
  item.value = Signed(-42);
  request.method = KIV_METHOD_GET;
  request.url = "/abi/echo?x=1";
  request.items = &item;
  request.itemCount = 1;
  request.hostToken = init->hostToken;
  services->sendRequest(services, &response, &request);
  ok &= response.errorText == 0 && response.status == 200 && response.body.kind == KIV_HOST_VALUE_UNSIGNED &&
        response.body.u.u64 == 42;
  ok &= response.release != 0;
  if (response.release != 0) response.release(&response);

  event.name = "OnAbiPublished";
  event.payload.kind = KIV_HOST_VALUE_STRING;
  event.payload.u.text.data = "hello";
  event.payload.u.text.length = 5;
  event.extra = 9;
  services->sendEvent(services, &event);
  return ok;
}

static void KIV_CDECL Destroy(void* handle) {
  HostServices* services = state.init->services;
  if (handle == (void*)&state) services->unsubscribe(services, "OnAbiEvent", state.init->hostToken);
}

static void KIV_CDECL MemoryStats(void* handle, PluginMemoryStats* stats) {
  (void)handle;
  stats->peakBytesInUse = 0x0102030405060708ull;
  stats->liveAllocationsAtPeak = 2;
  stats->bytesAllocated = 3;
  stats->allocations = state.releases;
  stats->bytesFreed = state.closes;
  stats->frees = 6;
  stats->reserved[0] = 0;
  stats->reserved[1] = 0;
}

static void Describe(HostEndpointEntry* entry, const char* name, const char* path, uint32_t method) {
  HostFunctionRecord* function = &entry->function;
  function->context = entry;
  function->name = name;
  function->nameSpace = "";
  function->returnTypeName = "";
  function->description = "";
  function->help = "";
  function->asyncEventType = "";
  function->tags = state.tags;
  function->tagCount = 1;
  function->threadSafe = 1;
  entry->requestEntry = &Serve;
  entry->path = path;
  entry->method = method;
  entry->methodText = method == KIV_METHOD_OTHER ? "ECHO" : "";
}

void KIV_CDECL kiv_abi_c_load(PluginRegistration* registration) {
  if (!KivPluginApiHostCompatible(registration->apiMajor, registration->apiMinor, registration->apiPatch)) {
    return;
  }
  state.tags[0] = "Plugins";
  state.callbacks.initialize = &Initialize;
  state.callbacks.destroy = &Destroy;
  state.callbacks.memoryStats = &MemoryStats;
  Describe(&state.endpoints[0], "EchoAbi", "/abi/echo", KIV_METHOD_OTHER);
  Describe(&state.endpoints[1], "GetAbiStream", "/abi/stream", KIV_METHOD_GET);
  state.endpoints[0].function.next = &state.endpoints[1].function;
  state.argument.name = "item";
  state.argument.description = "";
  state.argument.typeKind = KIV_TYPE_OBJECT;
  state.argument.typeName = "";
  state.endpoints[0].function.arguments = &state.argument;
  state.endpoints[0].function.argumentCount = 1;
  state.endpoints[0].function.returnKind = KIV_TYPE_OBJECT;
  state.location.location = KIV_LOCATION_BODY;
  state.endpoints[0].locations = &state.location;
  state.endpoints[1].function.returnKind = KIV_TYPE_STRING;
  state.table.endpoints = state.endpoints;
  state.table.endpointCount = 2;

  registration->apiMajor = KIV_PLUGIN_API_MAJOR;
  registration->apiMinor = KIV_PLUGIN_API_MINOR;
  registration->apiPatch = KIV_PLUGIN_API_PATCH;
  registration->callbacks = &state.callbacks;
  registration->handle = &state;
  registration->name = "kiv-abi-c";
  registration->apiTable = &state.table;
}
