// A test plugin's bound functions, driven only through the API table records
// the host reads: routing, argument binding from every location, body
// decoding, results of every kind and the response record.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "value/arena.h"
#include "api/binding_api.h"
#include "value/host_value.h"
#include "logging/log.h"
#include "logging/memory.h"

namespace kiv::binding {
namespace {

// Host records are packed: their fields are copied out before gtest takes a
// reference to them (a reference to a misaligned field is undefined).
#define FIELD(x) static_cast<std::decay_t<decltype(x)>>(x)

enum class Shade : int32_t { Light = 1, Dark = 7 };

struct Item {
  int32_t id = 0;
  bool verbose = false;
  String tag;
  Vector<String> labels;
};

// A body whose first read throws.
class ThrowingStream final : public BodyStream {
 public:
  uint64_t Size() const override { return 10; }
  bool Read(uint8_t*, uint32_t*, bool*) override { throw std::bad_alloc(); }
};

// A body the host pulls in three parts.
class CountingStream final : public BodyStream {
 public:
  uint64_t Size() const override { return 3; }
  bool Read(uint8_t* buffer, uint32_t* length, bool* more) override {
    if (*length == 0) return false;
    buffer[0] = static_cast<uint8_t>('a' + sent_++);
    *length = 1;
    *more = sent_ < 3;
    return true;
  }

 private:
  int sent_ = 0;
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api_ = new BindingApi();
    TypeRegistry& types = api_->Types();
    types.BeginEnum<Shade>("TestShade").Enumerator("Light", Shade::Light).Enumerator("Dark", Shade::Dark);
    types.BeginStruct<Item>("TestItem")
        .Field("id", &Item::id)
        .Field("verbose", &Item::verbose)
        .Field("tag", &Item::tag, {}, {.flags = kFieldOmitEmpty})
        .Field("labels", &Item::labels);

    api_->Endpoint(HttpMethod::kGet, "/t/v1/items/{id}",
                   [](int32_t id, bool verbose, String tag, Vector<String> labels) {
                     return Item{id, verbose, std::move(tag), std::move(labels)};
                   })
        .PathArg("id")
        .Arg("verbose")
        .HeaderArg("userTag")
        .Optional()
        .AnyArg("labels")
        .Optional();
    api_->Endpoint(HttpMethod::kPost, "/t/v1/body", [](Value value) { return value; }).BodyArg("value");
    api_->Endpoint(HttpMethod::kGet, "/t/v1/shade", [](Shade shade) { return shade; }).Arg("shade");
    api_->Endpoint(HttpMethod::kPost, "/t/v1/pair",
                   [this](String a, String b) { calls_.push_back(std::string(a) + "|" + std::string(b)); })
        .Arg("a")
        .Arg("b");
    api_->Endpoint(HttpMethod::kGet, "/t/v1/count", [](int32_t n) { return n; }).Arg("n");
    // Sends a request to /t/v1/pair from inside the handler, as a plugin
    // calling itself through the host would.
    api_->Endpoint(HttpMethod::kGet, "/t/v1/nested",
                   [this](String a) {
                     const HostEndpointEntry* pair = Entry(HttpMethod::kPost, "/t/v1/pair");
                     HostRequest request{};
                     request.method = KIV_METHOD_POST;
                     const std::string url = "/t/v1/pair?a=inner&b=" + std::string(a);
                     request.url = url.c_str();
                     request.endpointContext = pair->function.context;
                     HostResponse response{};
                     pair->requestEntry(&response, &request);
                     const bool failed = response.errorText != nullptr;
                     response.release(&response);
                     return String(failed ? "failed" : "ok") + "|" + a;
                   })
        .Arg("a");
    api_->Endpoint(HttpMethod::kGet, "/t/v1/item", [](Item item) { return item; }).Arg("item");
    api_->Endpoint(HttpMethod::kGet, "/t/v1/list", [](Vector<String> x) { return x; }).Arg("x");
    api_->Endpoint(HttpMethod::kPost, "/t/v1/status", [](CallResult& result) -> String {
      result.SetStatus(201, "Created");
      result.AddHeader("x-test", "yes");
      return String("made");
    });
    api_->Endpoint(HttpMethod::kGet, "/t/v1/stream",
                   [](CallResult& result) { result.SetBodyStream(new CountingStream()); });
    api_->Endpoint(HttpMethod::kGet, "/t/v1/deferred", [] {
      return DeferredValue{[](ValueResult& out, const RequestDetails& request) { out.SetString(request.url); }};
    });
    // Ends in an exception at each stage of a call: in the handler, and while
    // finishing (after the call handle exists).
    api_->Endpoint(HttpMethod::kGet, "/t/v1/fail/{how}",
                   [](CallResult& result, String how) -> DeferredValue {
                     const String held(300, 'x');  // unwound with the throw
                     result.AddHeader("x-held", held);
                     if (how == "memory") throw std::bad_alloc();
                     if (how == "other") throw std::runtime_error("boom");
                     if (how == "stream") {
                       result.SetBodyStream(new ThrowingStream());
                       return DeferredValue{[](ValueResult& out, const RequestDetails&) { out.SetString("s"); }};
                     }
                     return DeferredValue{[held](ValueResult&, const RequestDetails&) { throw std::bad_alloc(); }};
                   })
        .PathArg("how");
    api_->Endpoint(HttpMethod::kGet, "/t/v1/deep", [] {
      Value root;
      Value* at = &root;
      for (int i = 0; i < 600; ++i) at = &at->Element(0);
      at->SetSigned(1);
      return root;
    });
    api_->Endpoint(HttpMethod::kGet, "/t/v1/any", [](Value message) { return message.Size(); }).Arg("message");
    table_ = api_->BuildApiTable();
  }

  void TearDown() override { delete api_; }

  const HostEndpointEntry* Entry(HttpMethod method, const char* path) const {
    const HostEndpointEntry* entry = table_->endpoints;
    for (uint32_t i = 0; i < table_->endpointCount && entry != nullptr; ++i) {
      if (entry->method == static_cast<uint32_t>(method) && std::strcmp(entry->path, path) == 0) return entry;
      entry = reinterpret_cast<const HostEndpointEntry*>(entry->function.next);
    }
    return nullptr;
  }

  struct Answer {
    bool error = false;
    std::string errorText;
    uint32_t status = 0;
    Value body;
    HostResponse raw{};
  };

  // Sends a request through the endpoint entry as a host would.
  Answer Call(HttpMethod method, const char* path, const char* url, std::vector<HostHeader> headers = {},
              const char* contentType = nullptr, std::string body = {}, std::vector<HostParameterItem> items = {}) {
    const HostEndpointEntry* entry = Entry(method, path);
    EXPECT_NE(entry, nullptr) << path;
    Answer answer;
    if (entry == nullptr) return answer;
    HostRequest request{};
    request.method = static_cast<uint32_t>(method);
    request.url = url;
    request.endpointContext = entry->function.context;
    request.headers = headers.empty() ? nullptr : headers.data();
    request.headerCount = static_cast<uint32_t>(headers.size());
    request.contentType = contentType;
    request.body = body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(body.data());
    request.bodySize = static_cast<uint32_t>(body.size());
    request.items = items.empty() ? nullptr : items.data();
    request.itemCount = static_cast<uint32_t>(items.size());
    HostResponse response;
    std::memset(&response, 0xCD, sizeof response);  // the plugin must clear it
    entry->requestEntry(&response, &request);
    // Packed fields are copied before gtest binds references to them.
    const HostResponseReleaseFunction release = response.release;
    EXPECT_NE(release, nullptr);
    EXPECT_EQ(response.errorFlag != 0, response.errorText != nullptr);
    answer.error = response.errorText != nullptr;
    if (answer.error) answer.errorText = response.errorText;
    answer.status = response.status;
    ValueResult read;
    if (!answer.error) {
      EXPECT_TRUE(ReadHostValue(read, answer.body, response.body, "<result>"));
    }
    answer.raw = response;
    if (response.streamRead == nullptr) response.release(&response);
    return answer;
  }

  BindingApi* api_ = nullptr;
  const PluginApiTable* table_ = nullptr;
  std::vector<std::string> calls_;
};

TEST_F(DispatchTest, RoutesAndBindsEveryLocation) {
  HostHeader header{"usertag", "from-header"};
  Answer a = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/42?verbose&labels.1=b", {header});
  ASSERT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body.FindMember("id").AsSigned(), 42);
  EXPECT_TRUE(a.body.FindMember("verbose").AsBool());
  EXPECT_EQ(a.body.FindMember("tag").AsText(), "from-header");
  const Value& labels = a.body.FindMember("labels");
  ASSERT_EQ(labels.Size(), 2u);
  EXPECT_EQ(labels.At(0).AsText(), "") << "element 0 was never sent and stays default";
  EXPECT_EQ(labels.At(1).AsText(), "b");

  // Headers are found only by the lower-case form of the argument name.
  HostHeader exact{"userTag", "x"};
  Answer b = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1", {exact});
  ASSERT_FALSE(b.error) << b.errorText;
  EXPECT_TRUE(b.body.FindMember("tag").IsEmpty()) << "omitted when empty";
  EXPECT_FALSE(b.body.FindMember("verbose").AsBool(true)) << "a required bool that was not sent is false";
}

TEST_F(DispatchTest, BindingFailuresCarryTheirMessages) {
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/other").errorText, "Invalid function");
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/other").status, 404u);
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1?nope=1").errorText,
            "Unknown argument 'nope' for 'GetTV1ItemsById'.");
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1?id=2").errorText,
            "Argument 'id' for 'GetTV1ItemsById' was specified in an invalid location.");
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/count", "/t/v1/count?n").errorText, "Expected value for argument 'n'.");
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.1a=1").errorText, "Index 1a is in an incorrect format");
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.2147483648=1").errorText,
            "Index 2147483648 is out of range");
  // Growth through an index is bounded well below the index range.
  const Answer huge = Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.2147483647=1");
  EXPECT_TRUE(huge.error);
  EXPECT_NE(huge.errorText.find("limit"), std::string::npos) << huge.errorText;
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/item", "/t/v1/item?item=%7Bbad")
                .errorText.rfind("Couldn't deserialize JSON value for parameter 'item' of 'GetTV1Item': ", 0),
            0u);
}

TEST_F(DispatchTest, QueryValuesAreDecodedAndTheLastRepeatWins) {
  Answer a = Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?a=1&a=2&b=x%20y+z");
  ASSERT_FALSE(a.error) << a.errorText;
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0], "2|x y z");
  const uint32_t kind = a.raw.body.kind;
  EXPECT_EQ(kind, static_cast<uint32_t>(KIV_HOST_VALUE_EMPTY));

  Answer item = Call(HttpMethod::kGet, "/t/v1/item", "/t/v1/item?item=%7B%22id%22%3A3%7D&item.labels.0=q");
  ASSERT_FALSE(item.error) << item.errorText;
  EXPECT_EQ(item.body.FindMember("id").AsSigned(), 3);
  EXPECT_EQ(item.body.FindMember("labels").At(0).AsText(), "q");
}

TEST_F(DispatchTest, RequestsShareNothingButTheirRegistry) {
  // Storage is reused from request to request: nothing bound by one request
  // may reach the next, whichever function it serves and however many
  // arguments that function has.
  HostHeader header{"usertag", "from-header"};
  Answer wide = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/42?verbose&labels.3=d", {header});
  ASSERT_FALSE(wide.error) << wide.errorText;
  Answer narrow = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/7");
  ASSERT_FALSE(narrow.error) << narrow.errorText;
  EXPECT_FALSE(narrow.body.FindMember("verbose").AsBool(true));
  EXPECT_TRUE(narrow.body.FindMember("tag").IsEmpty());
  EXPECT_EQ(narrow.body.FindMember("labels").Size(), 0u);
  EXPECT_EQ(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?b=only").errorText, "A value for 'a' is required.");
  EXPECT_FALSE(Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.0=a&x.0=b&x.1=c&x.2=d").error);
  Answer list = Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.1=z");
  ASSERT_FALSE(list.error) << list.errorText;
  ASSERT_EQ(list.body.Size(), 2u);
  EXPECT_EQ(list.body.At(0).AsText(), "");
  EXPECT_EQ(list.body.At(1).AsText(), "z");

  // A failed request leaves nothing behind either.
  EXPECT_TRUE(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1?verbose&nope=1").error);
  EXPECT_FALSE(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1").body.FindMember("verbose").AsBool(true));
}

TEST_F(DispatchTest, RequestsFromInsideAHandlerAndFromManyThreads) {
  Answer nested = Call(HttpMethod::kGet, "/t/v1/nested", "/t/v1/nested?a=outer");
  ASSERT_FALSE(nested.error) << nested.errorText;
  EXPECT_EQ(nested.body.AsText(), "ok|outer") << "the outer request's values survive the inner one";
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0], "inner|outer");

  const HostEndpointEntry* entry = Entry(HttpMethod::kGet, "/t/v1/shade");
  ASSERT_NE(entry, nullptr);
  constexpr int kThreads = 4;
  constexpr int kRequests = 300;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const char* url = t % 2 == 0 ? "/t/v1/shade?shade=Dark" : "/t/v1/shade?shade=1";
      const char* expected = t % 2 == 0 ? "Dark" : "Light";
      for (int i = 0; i < kRequests; ++i) {
        HostRequest request{};
        request.method = KIV_METHOD_GET;
        request.url = url;
        request.endpointContext = entry->function.context;
        HostResponse response{};
        entry->requestEntry(&response, &request);
        const HostValue body = response.body;
        if (response.errorText != nullptr || body.kind != KIV_HOST_VALUE_OWNED_STRING ||
            std::string(body.u.text.data, body.u.text.length) != expected) {
          ++wrong[t];
        }
        response.release(&response);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST_F(DispatchTest, LargeQueriesAreBoundInLinearTimeAndNotKept) {
  // Many distinct names, with repeats spread through them: the last value of
  // a repeated name wins and keeps its first place. Returns the processor
  // time taken, which is what a client sending long queries could burn.
  auto bindMany = [&](int count) {
    std::string url = "/t/v1/list?";
    for (int i = 0; i < count; ++i) url += "x." + std::to_string(i) + "=v" + std::to_string(i) + "&";
    url += "x.5=last&x." + std::to_string(count - 1) + "=end";
    const std::clock_t start = std::clock();
    Answer many = Call(HttpMethod::kGet, "/t/v1/list", url.c_str());
    const double spent = static_cast<double>(std::clock() - start);
    EXPECT_FALSE(many.error) << many.errorText;
    EXPECT_EQ(many.body.Size(), static_cast<std::size_t>(count));
    EXPECT_EQ(many.body.At(4).AsText(), "v4");
    EXPECT_EQ(many.body.At(5).AsText(), "last");
    EXPECT_EQ(many.body.At(static_cast<std::size_t>(count) - 1).AsText(), "end");
    return spent;
  };
  const double small = bindMany(2500) + 1;
  const double large = bindMany(20000);
  // Eight times the pairs: about eight times the work, not sixty-four.
  EXPECT_LT(large / small, 24.0) << large << " vs " << small << " clock ticks";

  // The buffers of a huge request go back once it is answered.
  auto inUse = [] {
    const mem::AllocationStats stats = mem::ReadAllocationStats();
    return stats.bytesAllocated - stats.bytesFreed;
  };
  ASSERT_FALSE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?a=1&b=2").error);
  const uint64_t before = inUse();
  const std::string big = "/t/v1/pair?a=" + std::string(1 << 20, 'x') + "&b=" + std::string(1 << 20, 'y');
  ASSERT_FALSE(Call(HttpMethod::kPost, "/t/v1/pair", big.c_str()).error);
  calls_.clear();
  EXPECT_LT(inUse(), before + (64u << 10)) << "a megabyte query must not stay pinned";
}

TEST_F(DispatchTest, BodiesAreDecodedByContentType) {
  Answer json =
      Call(HttpMethod::kPost, "/t/v1/body", "/t/v1/body", {}, "APPLICATION/JSON; charset=utf-8", R"({"a":[1,2]})");
  ASSERT_FALSE(json.error) << json.errorText;
  EXPECT_EQ(json.body.FindMember("a").Size(), 2u);

  Answer yaml = Call(HttpMethod::kPost, "/t/v1/body", "/t/v1/body", {}, "application/x-yaml", "a: 1\n");
  ASSERT_FALSE(yaml.error) << yaml.errorText;
  EXPECT_FALSE(yaml.body.FindMember("a").IsEmpty());

  const std::string packed(
      "\x81\xA1"
      "a"
      "\x01",
      4);
  Answer msgpack = Call(HttpMethod::kPost, "/t/v1/body", "/t/v1/body", {}, "application/x-msgpack", packed);
  ASSERT_FALSE(msgpack.error) << msgpack.errorText;
  EXPECT_EQ(msgpack.body.FindMember("a").AsSigned(), 1) << "every fixint reads as Signed";
  EXPECT_EQ(Call(HttpMethod::kPost, "/t/v1/body", "/t/v1/body", {}, "application/x-msgpack", packed + "\x01").errorText,
            "Extra MessgePack data found in body");
  EXPECT_EQ(Call(HttpMethod::kPost, "/t/v1/body", "/t/v1/body", {}, "text/plain", "hi").errorText,
            "Unsupported body content type");
  // Without a body argument the body is ignored.
  EXPECT_FALSE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?a=1&b=2", {}, "text/plain", "hi").error);
  EXPECT_TRUE(Call(HttpMethod::kPost, "/t/v1/body", "/t/v1/body", {}, "application/json", "[1,").error);
}

TEST_F(DispatchTest, ParameterItemsBindByNameAndPosition) {
  HostParameterItem named{};
  named.name = "b";
  named.value.kind = KIV_HOST_VALUE_STRING;
  named.value.u.text.data = "by-name-and-more";
  named.value.u.text.length = 7;  // read by its length only
  HostParameterItem positional{};
  positional.value.kind = KIV_HOST_VALUE_STRING;
  positional.value.u.text.data = "first";
  positional.value.u.text.length = 5;
  Answer a = Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair", {}, nullptr, {}, {positional, named});
  ASSERT_FALSE(a.error) << a.errorText;
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0], "first|by-name");

  HostParameterItem extra = positional;
  EXPECT_EQ(
      Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair", {}, nullptr, {}, {positional, positional, extra}).errorText,
      "Unknown argument '2' for 'PostTV1Pair'.");
  HostParameterItem broken{};
  broken.value.kind = 77;
  EXPECT_TRUE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair", {}, nullptr, {}, {broken}).error);
}

TEST_F(DispatchTest, ResultsOfEveryShape) {
  Answer shade = Call(HttpMethod::kGet, "/t/v1/shade", "/t/v1/shade?shade=Dark");
  ASSERT_FALSE(shade.error) << shade.errorText;
  EXPECT_EQ(shade.body.AsText(), "Dark") << "enum results travel as their names";
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/shade", "/t/v1/shade?shade=7").body.AsText(), "Dark");

  Answer status = Call(HttpMethod::kPost, "/t/v1/status", "/t/v1/status");
  EXPECT_EQ(status.status, 201u);
  EXPECT_EQ(status.body.AsText(), "made");

  // Empty query pieces are skipped, not taken for an argument without a name.
  Answer deferred = Call(HttpMethod::kGet, "/t/v1/deferred", "/t/v1/deferred?&");
  EXPECT_EQ(deferred.body.AsText(), "/t/v1/deferred?&") << deferred.errorText;

  Answer deep = Call(HttpMethod::kGet, "/t/v1/deep", "/t/v1/deep");
  EXPECT_TRUE(deep.error);
  EXPECT_EQ(deep.status, 400u) << "a body that cannot be written answers 400";
}

TEST_F(DispatchTest, StreamedBodiesAndRelease) {
  Answer a = Call(HttpMethod::kGet, "/t/v1/stream", "/t/v1/stream");
  HostResponse& r = a.raw;
  const HostStreamReadFunction read = r.streamRead;
  const uint64_t expectedSize = r.expectedSize;
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(expectedSize, 3u);
  std::string got;
  uint8_t more = 1;
  while (more) {
    uint8_t buffer[4096];
    uint32_t length = sizeof buffer;
    more = 1;
    ASSERT_EQ(r.streamRead(r.streamContext, buffer, &length, &more), 1);
    got.append(reinterpret_cast<char*>(buffer), length);
  }
  EXPECT_EQ(got, "abc");
  r.streamClose(r.streamContext);
  r.release(&r);
  const HostStreamReadFunction cleared = r.streamRead;
  EXPECT_EQ(cleared, nullptr);

  // A stream never read is freed by release alone (ASan would report a leak).
  Answer unread = Call(HttpMethod::kGet, "/t/v1/stream", "/t/v1/stream");
  unread.raw.release(&unread.raw);
}

TEST_F(DispatchTest, MalformedRequestRecordsAreAnsweredNotFollowed) {
  const HostEndpointEntry* entry = Entry(HttpMethod::kGet, "/t/v1/count");
  ASSERT_NE(entry, nullptr);
  auto send = [&](HostRequest request) {
    HostResponse response{};
    entry->requestEntry(&response, &request);
    std::string text = response.errorText != nullptr ? response.errorText : "";
    const uint8_t flag = response.errorFlag;
    EXPECT_EQ(flag, 1);
    response.release(&response);
    return text;
  };
  HostRequest base{};
  base.method = KIV_METHOD_GET;
  base.url = "/t/v1/count?n=1";
  base.endpointContext = entry->function.context;

  HostRequest noUrl = base;
  noUrl.url = nullptr;
  EXPECT_FALSE(send(noUrl).empty());
  HostRequest noItems = base;
  noItems.itemCount = 3;
  EXPECT_FALSE(send(noItems).empty());
  HostRequest noHeaders = base;
  noHeaders.headerCount = 1;
  EXPECT_FALSE(send(noHeaders).empty());
  HostRequest noBody = base;
  noBody.bodySize = 10;
  EXPECT_FALSE(send(noBody).empty());
  int stranger = 0;
  HostRequest foreign = base;
  foreign.endpointContext = &stranger;
  EXPECT_FALSE(send(foreign).empty());
  entry->requestEntry(nullptr, nullptr);  // nothing to answer into: nothing happens
  HostResponse response{};
  entry->requestEntry(&response, nullptr);
  const uint8_t flag = response.errorFlag;
  EXPECT_EQ(flag, 1);
  response.release(&response);
}

// Nothing leaves the request entry as an exception: it becomes status 500
// with a fixed text, and whatever the request held is freed (ASan reports a
// leak otherwise).
TEST_F(DispatchTest, ExceptionsBecomeInternalErrorsAndLeakNothing) {
  struct Case {
    const char* url;
    const char* text;
  };
  ASSERT_FALSE(Call(HttpMethod::kGet, "/t/v1/count", "/t/v1/count?n=1").error);  // the kept scratch exists
  // Logging is started before counting: the error lines start it otherwise.
  log::Logging().acquire();
  struct Release {
    ~Release() { log::Logging().release(); }
  } release;
  for (const Case& c :
       {Case{"/t/v1/fail/memory", "internal error: out of memory"}, Case{"/t/v1/fail/other", "internal error"},
        Case{"/t/v1/fail/late", "internal error: out of memory"}}) {
    const uint64_t outstanding = mem::OutstandingAllocations();
    Answer a = Call(HttpMethod::kGet, "/t/v1/fail/{how}", c.url);
    EXPECT_TRUE(a.error) << c.url;
    EXPECT_EQ(a.errorText, c.text) << c.url;
    EXPECT_EQ(a.status, 500u) << c.url;
    const uint32_t headers = a.raw.headerCount;
    EXPECT_EQ(headers, 0u) << c.url;
    EXPECT_EQ(mem::OutstandingAllocations(), outstanding) << c.url;
  }
  // A stream whose read throws reads as a failed read that ends the stream.
  Answer a = Call(HttpMethod::kGet, "/t/v1/fail/{how}", "/t/v1/fail/stream");
  ASSERT_FALSE(a.error) << a.errorText;
  HostResponse& r = a.raw;
  const HostStreamReadFunction read = r.streamRead;
  ASSERT_NE(read, nullptr);
  uint8_t buffer[64];
  uint32_t length = sizeof buffer;
  uint8_t more = 1;
  EXPECT_EQ(read(r.streamContext, buffer, &length, &more), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(more, 0);
  r.streamClose(r.streamContext);
  r.release(&r);
}

TEST_F(DispatchTest, ApiTableRecordsAreChainedAndNeverNull) {
  uint32_t walked = 0;
  for (const HostEndpointEntry* e = table_->endpoints; e != nullptr;
       e = reinterpret_cast<const HostEndpointEntry*>(e->function.next)) {
    ++walked;
    ASSERT_NE(FIELD(e->function.name), nullptr);
    ASSERT_NE(FIELD(e->function.nameSpace), nullptr);
    ASSERT_NE(FIELD(e->function.description), nullptr);
    ASSERT_NE(FIELD(e->methodText), nullptr);
    uint32_t locations = 0;
    for (const HostArgumentLocation* l = e->locations; l != nullptr; l = l->next) ++locations;
    EXPECT_EQ(locations, FIELD(e->function.argumentCount));
  }
  EXPECT_EQ(walked, FIELD(table_->endpointCount));

  const HostEndpointEntry* items = Entry(HttpMethod::kGet, "/t/v1/items/{id}");
  ASSERT_NE(items, nullptr);
  EXPECT_STREQ(FIELD(items->function.name), "GetTV1ItemsById");
  EXPECT_EQ(FIELD(items->function.returnKind), KIV_TYPE_STRUCT);
  EXPECT_STREQ(FIELD(items->function.returnTypeName), "TestItem");
  const HostArgumentLocation* l = items->locations;
  const uint32_t expected[] = {KIV_LOCATION_PATH, KIV_LOCATION_QUERY, KIV_LOCATION_HEADER, KIV_LOCATION_ANY};
  for (uint32_t code : expected) {
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(FIELD(l->location), code);
    l = l->next;
  }
  const HostArgumentRecord* labels = items->function.arguments + 3;
  EXPECT_STREQ(FIELD(labels->name), "labels");
  EXPECT_EQ(FIELD(labels->typeKind), KIV_TYPE_VECTOR);
  EXPECT_EQ(FIELD(labels->elementKind), KIV_TYPE_STRING);

  bool sawItem = false, sawShade = false, sawCallback = false;
  uint32_t types = 0;
  for (const HostTypeRecord* t = table_->types; t != nullptr; t = t->next, ++types) {
    if (std::strcmp(t->name, "TestItem") == 0) {
      sawItem = true;
      EXPECT_EQ(FIELD(t->memberCount), 4u);
      EXPECT_STREQ(FIELD(t->fields[3].name), "labels");
    }
    if (std::strcmp(t->name, "TestShade") == 0) {
      sawShade = true;
      EXPECT_STREQ(FIELD(t->enumerators->name), "Dark") << "enumerators in name order";
    }
  }
  EXPECT_EQ(types, FIELD(table_->typeCount));
  EXPECT_TRUE(sawItem && sawShade);
  for (const HostEventRecord* e = table_->events; e != nullptr; e = e->next) {
    if (std::strcmp(e->name, "OnCallback") == 0) {
      sawCallback = true;
      EXPECT_STREQ(FIELD(e->dataTypeName), "BindingCallbackEvent");
    }
  }
  EXPECT_TRUE(sawCallback);
}

// Requests built to hurt the host process: each ends with the bound it hits,
// at a cost (heap bytes and arena pages, from the allocation counters) that
// stays proportional to the request, and the next request is served.
TEST_F(DispatchTest, HostileRequestsHitTheirBounds) {
  struct Attack {
    const char* name;
    std::string url;
    const char* contentType;
    std::string body;
    const char* error;  // the start of the error text
  };
  std::string indexPaths = "/t/v1/any?";
  for (int i = 0; i < 380; ++i) indexPaths += (i ? "&message." : "message.") + std::to_string(i) + ".65535=x";
  std::string deepPath = "/t/v1/any?message";
  for (int i = 0; i < 20000; ++i) deepPath += ".a";
  deepPath += "=1";
  std::string fallingKeys = "/t/v1/any?";
  for (int i = 30000; i > 0; --i) fallingKeys += (i < 30000 ? "&message.k" : "message.k") + std::to_string(i) + "=1";
  const std::vector<Attack> attacks = {
      {"index paths", indexPaths, nullptr, {}, "Argument 'message' for 'GetTV1Any' builds more than the request's"},
      {"deep path", deepPath, nullptr, {}, "Argument 'message' for 'GetTV1Any' is nested deeper than 511 levels."},
      {"falling member keys", fallingKeys, nullptr, {}, "Argument 'message' for 'GetTV1Any' builds more than"},
      {"deep json body", "/t/v1/body", "application/json", std::string(100000, '['),
       "Error: Arrays and objects are nested deeper than 511 levels."},
      {"deep msgpack body", "/t/v1/body", "application/x-msgpack", std::string(100000, '\x91'),
       "Invalid MessagePack data at position 512. Arrays and maps are nested deeper than 511 levels."},
      {"yaml alias body", "/t/v1/body", "application/x-yaml",
       "a: &a " + std::string(4096, 'x') + "\nb: [" +
           [] {
             std::string aliases;
             for (int i = 0; i < 30000; ++i) aliases += "*a, ";
             return aliases;
           }() +
           "*a]\n",
       "Excessive aliasing"},
  };
  PageRegistry& registry = PageRegistry::Instance();
  for (const Attack& attack : attacks) {
    const HttpMethod method = attack.body.empty() ? HttpMethod::kGet : HttpMethod::kPost;
    const char* path = attack.body.empty() ? "/t/v1/any" : "/t/v1/body";
    const uint64_t pages = registry.ReadStats().pagesTaken;
    const uint64_t heap = mem::ReadAllocationStats().bytesAllocated;
    const Answer answer = Call(method, path, attack.url.c_str(), {}, attack.contentType, attack.body);
    const uint64_t cost = (registry.ReadStats().pagesTaken - pages) * PageRegistry::kPageSize +
                          (mem::ReadAllocationStats().bytesAllocated - heap);
    EXPECT_TRUE(answer.error) << attack.name;
    EXPECT_EQ(answer.errorText.rfind(attack.error, 0), 0u) << attack.name << ": " << answer.errorText;
    EXPECT_LE(cost, 64 * (attack.url.size() + attack.body.size()) + (8u << 20)) << attack.name;
    const Answer next = Call(HttpMethod::kGet, "/t/v1/any", "/t/v1/any?message.0.1=x");
    EXPECT_FALSE(next.error) << attack.name << ": " << next.errorText;
  }
}

TEST(BindingApiRegistry, RegistrationIsIdempotentByName) {
  BindingApi api;
  int first = 0, second = 0;
  EndpointBuilder a = api.Endpoint(HttpMethod::kGet, "/x/v1/a/", [&] { ++first; });
  a.Description("first");
  EndpointBuilder b = api.Endpoint(HttpMethod::kGet, "/x/v1/a", [&] { ++second; });
  EXPECT_TRUE(b.Exists());
  b.Description("second");
  EXPECT_EQ(api.FindFunction("GetXV1A")->description, "first");
  EXPECT_EQ(api.Endpoints().size(), 1u);
  api.SetUpBuiltins();
  EXPECT_EQ(api.FindEvent("OnCallback")->tags.size(), 1u);
}

}  // namespace
}  // namespace kiv::binding
