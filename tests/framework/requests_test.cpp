// Requests to other plugins: records sent, error templates with their
// details and codes, streamed bodies and the release of every response.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "testing/test_plugin.h"

namespace kiv::framework::testing {
namespace {

struct Unregistered {
  int32_t number = 0;
};

std::string DetailText(const CallError& error, const char* name) {
  auto it = error.details.find(name);
  return it == error.details.end() ? std::string("<missing>") : std::string(it->second.text);
}

int releaseCount = 0;
void KIV_CDECL CountRelease(HostResponse*) { ++releaseCount; }

// A stream of scripted reads: each part is (bytes, claimed length, more);
// past the parts, each read brings `endless` bytes and promises more.
struct ScriptedStream {
  struct Part {
    std::string bytes;
    uint32_t claimed;
    uint8_t more;
    bool fail = false;
  };
  std::vector<Part> parts;
  std::size_t next = 0;
  int closes = 0;
  std::vector<uint32_t> offered;  // the length given on entry to each of the scripted reads
  int64_t endless = -1;           // -1: a read past the parts fails
  uint64_t reads = 0;
};

uint8_t KIV_CDECL ReadScripted(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more) {
  auto& stream = *static_cast<ScriptedStream*>(context);
  ++stream.reads;
  if (stream.next >= stream.parts.size()) {
    if (stream.endless < 0) return 0;
    std::memset(buffer, ' ', static_cast<std::size_t>(stream.endless));
    *length = static_cast<uint32_t>(stream.endless);
    return 1;
  }
  stream.offered.push_back(*length);
  EXPECT_EQ(*more, 1);
  const ScriptedStream::Part& part = stream.parts[stream.next++];
  if (part.fail) return 0;
  std::copy(part.bytes.begin(), part.bytes.end(), buffer);
  *length = part.claimed;
  *more = part.more;
  return 1;
}
void KIV_CDECL CloseScripted(void* context) { ++static_cast<ScriptedStream*>(context)->closes; }

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    releaseCount = 0;
    ASSERT_TRUE(loaded.Initialize());
  }
  void AnswerText(const char* text) {
    loaded.host.responder = [text](HostResponse* response, const HostRequest*) {
      HostValue body = HostValues().Text(text);
      std::memcpy(static_cast<void*>(&response->body), &body, sizeof body);
      response->release = &CountRelease;
    };
  }
  void AnswerError(const char* text, uint32_t status) {
    loaded.host.responder = [text, status](HostResponse* response, const HostRequest*) {
      response->errorText = text;
      response->errorFlag = 1;
      response->status = status;
      response->release = &CountRelease;
    };
  }
  void AnswerStream(ScriptedStream* stream, uint64_t expected = 0) {
    loaded.host.responder = [stream, expected](HostResponse* response, const HostRequest*) {
      response->streamRead = &ReadScripted;
      response->streamClose = &CloseScripted;
      response->streamContext = stream;
      response->expectedSize = expected;
      response->release = &CountRelease;
    };
  }

  LoadedPlugin loaded;
};

TEST_F(RequestTest, SendsMethodUrlTokenAndOnePositionalItem) {
  Map<String, String> params;
  params.emplace("b", "2");
  params.emplace("a", "1");
  auto result = loaded.plugin->Request(HttpMethod::kPost, "/kiv-chat/v1/conversations", params);
  ASSERT_TRUE(result.ok()) << result.error().message;
  ASSERT_TRUE(loaded.plugin->Request(HttpMethod::kGet, "/x").ok());
  ASSERT_EQ(loaded.host.requests.size(), 2u);
  const RecordedRequest& sent = loaded.host.requests[0];
  EXPECT_EQ(sent.method, 6u);
  EXPECT_EQ(sent.url, "/kiv-chat/v1/conversations");
  EXPECT_EQ(sent.hostToken, kTestToken);
  EXPECT_EQ(sent.words4to9, 0u);
  EXPECT_EQ(sent.itemCount, 1u);
  EXPECT_TRUE(sent.firstItemPositional);
  EXPECT_EQ(sent.firstItem.Size(), 2u);
  EXPECT_EQ(sent.firstItem.FindMember("a").AsText(), "1");
  EXPECT_EQ(sent.firstItem.FindMember("b").AsText(), "2");
  EXPECT_EQ(loaded.host.requests[1].itemCount, 0u);
  EXPECT_EQ(loaded.host.requests[1].method, 2u);
}

TEST_F(RequestTest, ErrorResponsesCarryStatusTemplateAndDetails) {
  AnswerError("summoner not found", 404);
  auto result = loaded.plugin->RequestAs<binding::Value>(HttpMethod::kGet, "/kiv-summoner/v1/summoners?name=x");
  ASSERT_FALSE(result.ok());
  const CallError& error = result.error();
  EXPECT_EQ(error.code, 404u);
  EXPECT_EQ(error.message, "Error response for GET /kiv-summoner/v1/summoners?name=x: summoner not found");
  EXPECT_EQ(DetailText(error, "url"), "/kiv-summoner/v1/summoners?name=x");
  EXPECT_EQ(DetailText(error, "error"), "summoner not found");
  EXPECT_EQ(error.details.at("errorCode_int").payload.i64, 404);
  EXPECT_EQ(releaseCount, 1);
  // A custom method goes out as 8 and unknown numbers as 0, both without a name.
  AnswerError("nope", 500);
  EXPECT_EQ(loaded.plugin->Request(HttpMethod::kCustom, "/m").error().message, "Error response for  /m: nope");
  EXPECT_EQ(loaded.plugin->Request(static_cast<HttpMethod>(9), "/m").error().message, "Error response for  /m: nope");
  EXPECT_EQ(loaded.host.requests[1].method, 8u);
  EXPECT_EQ(loaded.host.requests[2].method, 0u);
  // A flagged error without its text is still a failure.
  loaded.host.responder = [](HostResponse* response, const HostRequest*) {
    response->errorFlag = 1;
    response->status = 502;
  };
  auto flagged = loaded.plugin->Request(HttpMethod::kGet, "/x");
  EXPECT_EQ(flagged.error().code, 502u);
  EXPECT_EQ(flagged.error().message, "Error response for GET /x: (no error text)");
  // Parameters that do not convert never reach the host.
  const std::size_t sent = loaded.host.requests.size();
  auto unconverted = loaded.plugin->Request(HttpMethod::kPost, "/p", Unregistered{});
  EXPECT_EQ(unconverted.error().code, 400u);
  EXPECT_EQ(unconverted.error().message.rfind("Request not sent: Error converting parameters for POST /p: ", 0), 0u)
      << unconverted.error().message;
  EXPECT_NE(DetailText(unconverted.error(), "error"), "<missing>");
  EXPECT_EQ(unconverted.error().details.at("errorCode_int").payload.i64, 400);
  EXPECT_EQ(loaded.host.requests.size(), sent);
}

TEST_F(RequestTest, EveryResponseIsReleasedOnceAndRawOnesByTheCaller) {
  AnswerText("hello");
  auto text = loaded.plugin->RequestAs<String>(HttpMethod::kGet, "/t");
  ASSERT_TRUE(text.ok()) << text.error().message;
  EXPECT_EQ(text.value(), "hello");
  EXPECT_EQ(releaseCount, 1);
  auto number = loaded.plugin->RequestAs<int32_t>(HttpMethod::kGet, "/t");
  EXPECT_EQ(number.error().code, 0u);
  EXPECT_EQ(number.error().message.rfind("Error converting response for GET /t: ", 0), 0u) << number.error().message;
  EXPECT_EQ(releaseCount, 2);
  ASSERT_TRUE(loaded.plugin->Request(HttpMethod::kDelete, "/t").ok());
  EXPECT_EQ(releaseCount, 3);

  AnswerText("raw");
  HostResponse response;
  ASSERT_TRUE(loaded.plugin->RawRequest(response, HttpMethod::kGet, "/r", String("p")).ok());
  EXPECT_EQ(releaseCount, 3);
  EXPECT_EQ(uint32_t{response.body.kind}, static_cast<uint32_t>(KIV_HOST_VALUE_STRING));
  EXPECT_EQ(loaded.host.requests.back().firstItem.AsText(), "p");
  PluginContext::ReleaseResponse(response);
  PluginContext::ReleaseResponse(response);
  EXPECT_EQ(releaseCount, 4);

  loaded.host.responder = nullptr;  // a response without a release function is fine
  auto empty = loaded.plugin->RequestAs<binding::Value>(HttpMethod::kGet, "/empty");
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().IsEmpty());
}

TEST_F(RequestTest, StreamsAreReadBufferByBufferAndYieldAfterShortReads) {
  ScriptedStream whole;  // exactly one buffer, claiming more than it holds: one read, no yield
  whole.parts.push_back({"\"" + std::string(4094, 'a') + "\"", 100000, 0});
  AnswerStream(&whole, 4096);
  auto result = loaded.plugin->RequestAs<String>(HttpMethod::kGet, "/s");
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value().size(), 4094u);
  EXPECT_EQ(whole.offered, std::vector<uint32_t>{4096});
  EXPECT_TRUE(loaded.host.waits.empty());
  EXPECT_EQ(whole.closes, 1);
  EXPECT_EQ(releaseCount, 1);

  ScriptedStream parts;
  parts.parts.push_back({"[1, 2, 3, ", 10, 1});
  parts.parts.push_back({"4]", 2, 0});
  AnswerStream(&parts, 1u << 31);  // a huge hint is not reserved up front
  auto list = loaded.plugin->RequestAs<Vector<int32_t>>(HttpMethod::kGet, "/s");
  ASSERT_TRUE(list.ok()) << list.error().message;
  EXPECT_EQ(list.value(), (Vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(loaded.host.waits, (std::vector<std::string>{"begin:Wait: yield:0", "yield", "end"}));
  EXPECT_EQ(parts.offered, (std::vector<uint32_t>{4096, 4096}));
  EXPECT_EQ(parts.closes, 1);
  EXPECT_EQ(releaseCount, 2);
}

TEST_F(RequestTest, StreamFailuresCloseReleaseAndReport) {
  ScriptedStream failing;
  failing.parts.push_back({"[1,", 3, 1});
  failing.parts.push_back({"", 0, 0, true});
  AnswerStream(&failing);
  auto read = loaded.plugin->RequestAs<binding::Value>(HttpMethod::kGet, "/s");
  EXPECT_EQ(read.error().code, 0u);
  EXPECT_EQ(read.error().message, "Error reading streamed response for GET /s: Stream read error");
  EXPECT_EQ(failing.closes, 1);
  EXPECT_EQ(releaseCount, 1);
  ScriptedStream broken;
  broken.parts.push_back({"[1,", 3, 0});
  AnswerStream(&broken);
  auto decoded = loaded.plugin->RequestAs<binding::Value>(HttpMethod::kGet, "/s");
  EXPECT_EQ(decoded.error().message.rfind("Error reading streamed response for GET /s: Error: ", 0), 0u)
      << decoded.error().message;
  EXPECT_EQ(broken.closes, 1);
  EXPECT_EQ(releaseCount, 2);
}

TEST_F(RequestTest, StreamsThatNeverEndAreGivenUp) {
  // A run of empty reads that ends before the limit is waited out.
  ScriptedStream slow;
  for (const char* part : {"[1", "]"}) {
    for (uint32_t i = 0; i + 1 < kMaxEmptyStreamReads; ++i) slow.parts.push_back({"", 0, 1});
    slow.parts.push_back({part, static_cast<uint32_t>(std::strlen(part)), static_cast<uint8_t>(part[0] == '[')});
  }
  AnswerStream(&slow);
  auto result = loaded.plugin->RequestAs<Vector<int32_t>>(HttpMethod::kGet, "/s");
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value(), Vector<int32_t>{1});
  const struct {
    uint32_t length;
    uint64_t reads;
    std::string reason;
    uint64_t bytes;
  } cases[] = {{0, kMaxEmptyStreamReads, "1000 reads in a row brought no data", 0},
               {kStreamReadSize, kMaxStreamedBodyBytes / kStreamReadSize + 1, "The body is larger than 67108864 bytes",
                kMaxStreamedBodyBytes}};
  for (const auto& c : cases) {
    releaseCount = 0;
    ScriptedStream endless;
    endless.endless = c.length;
    AnswerStream(&endless);
    auto read = loaded.plugin->RequestAs<binding::Value>(HttpMethod::kGet, "/s");
    EXPECT_EQ(read.error().code, 0u);
    EXPECT_EQ(std::string(read.error().message), "Error reading streamed response for GET /s: " + c.reason);
    EXPECT_EQ(endless.reads, c.reads) << c.reason;
    EXPECT_EQ(endless.closes, 1) << c.reason;
    EXPECT_EQ(releaseCount, 1) << c.reason;
    EXPECT_TRUE(loaded.host.HasLog(2, "kiv-framework-test: Dropped the streamed response of GET /s after " +
                                          std::to_string(c.bytes) + " bytes: " + c.reason));
  }
}

TEST(PreInitializeTest, RequestsAndPublishesFailWithoutTouchingTheHost) {
  LoadedPlugin loaded;
  auto request = loaded.plugin->Request(HttpMethod::kGet, "/x", String("p"));
  EXPECT_EQ(request.error().code, 503u);
  EXPECT_EQ(request.error().message, "Plugin not initialized: no host services for GET /x");
  auto publish = loaded.plugin->PublishTextResource("/kiv-framework-test/v1/things/1", "t");
  EXPECT_EQ(publish.error().code, 503u);
  EXPECT_EQ(publish.error().message,
            "Plugin not initialized: no host services to publish OnJsonApiEvent for /kiv-framework-test/v1/things/1");
  // Observing before initialize keeps the observer; the subscription is made
  // once the host services are there.
  int calls = 0;
  loaded.plugin->ObserveResource("/kiv-chat/v1/friends", [&](const PluginResourceEvent&) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(loaded.host.requests.empty() && loaded.host.events.empty() && loaded.host.subscriptions.empty());
  ASSERT_TRUE(loaded.Initialize());
  std::set<std::string> names;
  for (const RecordedSubscription& s : loaded.host.subscriptions) names.insert(s.name);
  EXPECT_EQ(names.count("OnJsonApiEvent_kiv-chat_v1_friends"), 1u);
}

}  // namespace
}  // namespace kiv::framework::testing
