// The C++ side of the boundary test: a host that loads the C plugin of
// c_plugin.c, serves it every host service and calls every entry it hands
// out, each through the header's own types, checking each value that
// crosses. The header comes first and alone, so this file also compiles it
// as C++ with the layout checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kiv_plugin.h"
#include "layout_checks.h"

extern "C" void KIV_CDECL kiv_abi_c_load(PluginRegistration* registration);

namespace {

constexpr uint32_t kToken = 0xC0FFEEu;

// What the plugin did through the host services, one line per call.
struct Seen {
  std::vector<std::string> calls;
  HostEventCallback callback = nullptr;
  void* context = nullptr;
  uint32_t yields = 0;
  uint32_t releases = 0;
} seen;

// Packed members are read by value: a reference to one, as the test macros
// take, may be misaligned.
template <typename T>
T Read(T member) {
  return member;
}

std::string Text(const char* text) { return text != nullptr ? text : "(null)"; }

void KIV_CDECL ReleaseAnswer(HostResponse* response) {
  ++seen.releases;
  response->release = nullptr;
}

void KIV_CDECL SendRequest(HostServices*, HostResponse* response, HostRequest* request) {
  const HostValue item = request->items[0].value;
  seen.calls.push_back("request " + std::to_string(request->method) + " " + Text(request->url) + " " +
                       std::to_string(item.kind) + ":" + std::to_string(item.u.i64) + " " +
                       std::to_string(request->hostToken));
  response->body.kind = KIV_HOST_VALUE_UNSIGNED;
  response->body.u.u64 = 42;
  response->status = 200;
  response->release = &ReleaseAnswer;
}

void KIV_CDECL Reserved1(HostServices*, uint32_t a, uint32_t b) {
  seen.calls.push_back("reserved1 " + std::to_string(a) + " " + std::to_string(b));
}

void KIV_CDECL SendEvent(HostServices*, HostEvent* event) {
  const HostValue payload = event->payload;
  seen.calls.push_back("event " + Text(event->name) + " " + std::string(payload.u.text.data, payload.u.text.length) +
                       " " + std::to_string(event->extra));
}

void KIV_CDECL Subscribe(HostServices*, const char* name, uint32_t token, HostEventCallback callback, void* context,
                         uint32_t flag) {
  seen.calls.push_back("subscribe " + Text(name) + " " + std::to_string(token) + " " + std::to_string(flag));
  seen.callback = callback;
  seen.context = context;
}

void KIV_CDECL Unsubscribe(HostServices*, const char* name, uint32_t token) {
  seen.calls.push_back("unsubscribe " + Text(name) + " " + std::to_string(token));
}

void KIV_CDECL Reserved5(HostServices*, uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e) {
  seen.calls.push_back("reserved5 " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " +
                       std::to_string(d) + " " + std::to_string(e));
}

uint32_t KIV_CDECL Yield(HostServices*) { return ++seen.yields; }

uint32_t KIV_CDECL BeginWait(HostServices*, const char* label, uint32_t value) {
  seen.calls.push_back("wait " + Text(label) + " " + std::to_string(value));
  return value;
}

uint32_t KIV_CDECL EndWait(HostServices*) { return 7; }

void KIV_CDECL WriteLog(HostServices*, int32_t level, const char* text) {
  seen.calls.push_back("log " + std::to_string(level) + " " + Text(text));
}

std::string Member(const HostStructEntry& entry) {
  const HostValue value = entry.value;
  std::string text = Text(entry.key) + "=" + std::to_string(value.kind) + ":";
  switch (value.kind) {
    case KIV_HOST_VALUE_SIGNED:
      return text + std::to_string(value.u.i64);
    case KIV_HOST_VALUE_UNSIGNED:
      return text + std::to_string(value.u.u64);
    case KIV_HOST_VALUE_STRING:
      return text + std::string(value.u.text.data, value.u.text.length);
    default:
      return text + "?";
  }
}

// One C plugin through its whole life: refused and accepted versions,
// initialize calling each service, events, a plain and a streamed answer,
// memory statistics and destroy. On 32-bit x86 the plugin's default calling
// convention is callee-pops, so a crash here means KIV_CDECL is not cdecl.
TEST(AbiTest, CPluginCrossesEveryEntryOfTheHeader) {
  PluginRegistration refused{};
  refused.apiMajor = 19;
  kiv_abi_c_load(&refused);
  EXPECT_EQ(Read(refused.name), nullptr);
  EXPECT_EQ(Read(refused.apiMajor), 19u);

  PluginRegistration registration{};
  registration.apiMajor = 18;
  registration.apiMinor = 3;
  registration.apiPatch = 1;
  kiv_abi_c_load(&registration);
  ASSERT_EQ(Text(registration.name), "kiv-abi-c");
  EXPECT_EQ(Read(registration.apiMajor), KIV_PLUGIN_API_MAJOR);
  EXPECT_EQ(Read(registration.apiMinor), KIV_PLUGIN_API_MINOR);
  EXPECT_EQ(Read(registration.apiPatch), KIV_PLUGIN_API_PATCH);
  ASSERT_NE(Read(registration.callbacks), nullptr);
  const PluginApiTable& table = *registration.apiTable;
  ASSERT_EQ(Read(table.endpointCount), 2u);
  const HostEndpointEntry& echo = table.endpoints[0];
  const HostEndpointEntry& stream = table.endpoints[1];
  EXPECT_EQ(Read(echo.function.next), &stream.function);
  EXPECT_EQ(Read(stream.function.next), nullptr);
  EXPECT_EQ(Text(echo.function.name), "EchoAbi");
  EXPECT_EQ(Text(echo.path), "/abi/echo");
  EXPECT_EQ(Text(echo.methodText), "ECHO");
  EXPECT_EQ(Read(echo.locations[0].location), uint32_t{KIV_LOCATION_BODY});
  EXPECT_EQ(Text(echo.function.arguments[0].name), "item");
  EXPECT_EQ(Text(stream.function.tags[0]), "Plugins");
  EXPECT_EQ(Read(stream.method), uint32_t{KIV_METHOD_GET});

  HostServices services{&SendRequest, &Reserved1, &SendEvent, &Subscribe, &Unsubscribe,
                        &Reserved5,   &Yield,     &BeginWait, &EndWait,   &WriteLog};
  HostInit init{&services, kToken};
  const PluginCallbacks& callbacks = *registration.callbacks;
  EXPECT_EQ(callbacks.initialize(registration.handle, &init), 1);
  const std::vector<std::string> started = {
      "log 1 c plugin starting",
      "subscribe OnAbiEvent 12648430 0",
      "reserved1 286331153 572662306",
      "reserved5 1 2 3 17179869189 6",
      "wait Wait: yield 7",
      "request 2 /abi/echo?x=1 2:-42 12648430",
      "event OnAbiPublished hello 9",
  };
  EXPECT_EQ(seen.calls, started);
  EXPECT_EQ(seen.releases, 1u);
  ASSERT_NE(seen.callback, nullptr);
  for (const int64_t number : {5, -2}) {
    HostEvent event{};
    event.name = "OnAbiEvent";
    event.payload.kind = KIV_HOST_VALUE_SIGNED;
    event.payload.u.i64 = number;
    event.context = seen.context;
    seen.callback(&event);
  }

  // The echo endpoint, with a method of its own and a body.
  const uint8_t body[3] = {1, 2, 3};
  HostParameterItem item{};
  item.value.kind = KIV_HOST_VALUE_STRING;
  item.value.u.text.data = "x";
  item.value.u.text.length = 1;
  HostRequest request{};
  request.method = KIV_METHOD_OTHER;
  request.methodText = "ECHO";
  request.url = "/abi/echo";
  request.items = &item;
  request.itemCount = 1;
  request.endpointContext = echo.function.context;
  request.contentType = "application/octet-stream";
  request.body = body;
  request.bodySize = sizeof body;
  request.hostToken = kToken;
  HostResponse response{};
  echo.requestEntry(&response, &request);
  ASSERT_EQ(Read(response.errorText), nullptr);
  EXPECT_EQ(Read(response.status), 201u);
  EXPECT_EQ(Text(response.statusText), "Created");
  ASSERT_EQ(Read(response.headerCount), 1u);
  EXPECT_EQ(Text(response.headers[0].name) + ": " + Text(response.headers[0].value), "x-method: ECHO");
  ASSERT_EQ(Read(response.body.kind), uint32_t{KIV_HOST_VALUE_STRUCTURE});
  std::vector<std::string> members;
  for (uint32_t i = 0; i < response.body.u.structure.count; ++i) {
    members.push_back(Member(response.body.u.structure.entries[i]));
  }
  EXPECT_EQ(members, (std::vector<std::string>{"bodySize=3:3", "events=3:2", "eventSum=2:3", "item=5:x"}));
  ASSERT_NE(Read(response.release), nullptr);
  response.release(&response);

  // The streamed endpoint, read four bytes at a time.
  HostRequest streamRequest{};
  streamRequest.method = KIV_METHOD_GET;
  streamRequest.url = "/abi/stream";
  streamRequest.endpointContext = stream.function.context;
  HostResponse streamed{};
  stream.requestEntry(&streamed, &streamRequest);
  ASSERT_NE(Read(streamed.streamRead), nullptr);
  EXPECT_EQ(Read(streamed.expectedSize), 10u);
  std::string text;
  std::vector<uint32_t> lengths;
  for (uint8_t more = 1; more != 0;) {
    uint8_t buffer[4];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(streamed.streamRead(streamed.streamContext, buffer, &length, &more), 1);
    text.append(reinterpret_cast<const char*>(buffer), length);
    lengths.push_back(length);
  }
  EXPECT_EQ(text, "0123456789");
  EXPECT_EQ(lengths, (std::vector<uint32_t>{4, 4, 2}));
  streamed.streamClose(streamed.streamContext);
  streamed.release(&streamed);

  PluginMemoryStats stats;
  std::memset(static_cast<void*>(&stats), 0xFF, sizeof stats);
  callbacks.memoryStats(registration.handle, &stats);
  EXPECT_EQ(Read(stats.peakBytesInUse), 0x0102030405060708ull);
  EXPECT_EQ(Read(stats.allocations), 2u);  // the plugin's two releases
  EXPECT_EQ(Read(stats.bytesFreed), 1u);   // and its one stream closed
  EXPECT_EQ(Read(stats.frees), 6u);
  EXPECT_EQ(stats.reserved[0] | stats.reserved[1], 0u);

  callbacks.destroy(registration.handle);
  EXPECT_EQ(seen.calls.back(), "unsubscribe OnAbiEvent 12648430");
}

}  // namespace
