// A test plugin's bound functions, driven only through the API table records
// the host reads: routing, argument binding from every location, body
// decoding, results of every kind and the response record.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/binding_api.h"
#include "logging/log.h"
#include "logging/memory.h"
#include "value/arena.h"
#include "value/host_value.h"

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

// Reads a streamed body to its end, one call per part; the read results in order.
std::string ReadStream(HostResponse& r, std::vector<int>* results = nullptr) {
  std::string got;
  for (uint8_t more = 1; more != 0;) {
    uint8_t buffer[4096];
    uint32_t length = sizeof buffer;
    const int ok = r.streamRead(r.streamContext, buffer, &length, &more);
    if (results != nullptr) results->push_back(ok);
    got.append(reinterpret_cast<char*>(buffer), length);
    if (ok == 0) {
      EXPECT_EQ(length, 0u);
      EXPECT_EQ(more, 0);
      break;
    }
  }
  r.streamClose(r.streamContext);
  r.release(&r);
  return got;
}

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
                     const std::string url = "/t/v1/pair?a=inner&b=" + std::string(a);
                     const Answer inner = Call(HttpMethod::kPost, "/t/v1/pair", url.c_str());
                     return String(inner.error ? "failed" : "ok") + "|" + a;
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

  // Sends a request through the endpoint entry as a host would; a streamed
  // response is left for the test to read and release.
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
    EXPECT_NE(FIELD(response.release), nullptr);
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
  std::string ErrorOf(HttpMethod method, const char* path, const char* url) {
    return Call(method, path, url).errorText;
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
  Answer b = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1", {HostHeader{"userTag", "x"}});
  ASSERT_FALSE(b.error) << b.errorText;
  EXPECT_TRUE(b.body.FindMember("tag").IsEmpty()) << "omitted when empty";
  EXPECT_FALSE(b.body.FindMember("verbose").AsBool(true)) << "a required bool that was not sent is false";
  // Query values are decoded; the last of a repeated name wins.
  ASSERT_FALSE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?a=1&a=2&b=x%20y+z").error);
  EXPECT_EQ(calls_, std::vector<std::string>{"2|x y z"});
  Answer item = Call(HttpMethod::kGet, "/t/v1/item", "/t/v1/item?item=%7B%22id%22%3A3%7D&item.labels.0=q");
  ASSERT_FALSE(item.error) << item.errorText;
  EXPECT_EQ(item.body.FindMember("id").AsSigned(), 3);
  EXPECT_EQ(item.body.FindMember("labels").At(0).AsText(), "q");
}

TEST_F(DispatchTest, BindingFailuresCarryTheirMessages) {
  const Answer missing = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/other");
  EXPECT_EQ(missing.errorText, "Invalid function");
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(ErrorOf(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1?nope=1"),
            "Unknown argument 'nope' for 'GetTV1ItemsById'.");
  EXPECT_EQ(ErrorOf(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1?id=2"),
            "Argument 'id' for 'GetTV1ItemsById' was specified in an invalid location.");
  EXPECT_EQ(ErrorOf(HttpMethod::kGet, "/t/v1/count", "/t/v1/count?n"), "Expected value for argument 'n'.");
  EXPECT_EQ(ErrorOf(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.1a=1"), "Index 1a is in an incorrect format");
  EXPECT_EQ(ErrorOf(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.2147483648=1"), "Index 2147483648 is out of range");
  EXPECT_EQ(ErrorOf(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?b=only"), "A value for 'a' is required.");
  // Growth through an index is bounded well below the index range.
  EXPECT_NE(ErrorOf(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.2147483647=1").find("limit"), std::string::npos);
  EXPECT_EQ(ErrorOf(HttpMethod::kGet, "/t/v1/item", "/t/v1/item?item=%7Bbad")
                .rfind("Couldn't deserialize JSON value for parameter 'item' of 'GetTV1Item': ", 0),
            0u);
}

TEST_F(DispatchTest, RequestsShareNothingButTheirRegistry) {
  // Storage is reused from request to request: nothing bound by one request
  // may reach the next, whichever function it serves and however it ended.
  HostHeader header{"usertag", "from-header"};
  ASSERT_FALSE(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/42?verbose&labels.3=d", {header}).error);
  Answer narrow = Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/7");
  EXPECT_FALSE(narrow.body.FindMember("verbose").AsBool(true));
  EXPECT_TRUE(narrow.body.FindMember("tag").IsEmpty());
  EXPECT_EQ(narrow.body.FindMember("labels").Size(), 0u);
  EXPECT_FALSE(Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.0=a&x.0=b&x.1=c&x.2=d").error);
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/list", "/t/v1/list?x.1=z").body.Size(), 2u);
  EXPECT_TRUE(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1?verbose&nope=1").error);
  EXPECT_FALSE(Call(HttpMethod::kGet, "/t/v1/items/{id}", "/t/v1/items/1").body.FindMember("verbose").AsBool(true));
}

TEST_F(DispatchTest, RequestsFromInsideAHandlerAndFromManyThreads) {
  Answer nested = Call(HttpMethod::kGet, "/t/v1/nested", "/t/v1/nested?a=outer");
  EXPECT_EQ(nested.body.AsText(), "ok|outer") << "the outer request's values survive the inner one";
  EXPECT_EQ(calls_, std::vector<std::string>{"inner|outer"});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const Answer a =
            Call(HttpMethod::kGet, "/t/v1/shade", t % 2 == 0 ? "/t/v1/shade?shade=Dark" : "/t/v1/shade?shade=1");
        if (a.body.AsText() != (t % 2 == 0 ? "Dark" : "Light")) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(DispatchTest, BodiesAndParameterItems) {
  auto post = [&](const char* type, const std::string& body, const char* path = "/t/v1/body") {
    return Call(HttpMethod::kPost, path, path, {}, type, body);
  };
  EXPECT_EQ(post("APPLICATION/JSON; charset=utf-8", R"({"a":[1,2]})").body.FindMember("a").Size(), 2u);
  EXPECT_EQ(post("application/x-yaml", "a: 1\n").body.FindMember("a").AsUnsigned(), 1u);
  const std::string packed(
      "\x81\xA1"
      "a"
      "\x01",
      4);
  EXPECT_EQ(post("application/x-msgpack", packed).body.FindMember("a").AsSigned(), 1) << "fixints read as Signed";
  EXPECT_EQ(post("application/x-msgpack", packed + "\x01").errorText, "Extra MessgePack data found in body");
  EXPECT_EQ(post("text/plain", "hi").errorText, "Unsupported body content type");
  EXPECT_TRUE(post("application/json", "[1,").error);
  EXPECT_FALSE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair?a=1&b=2", {}, "text/plain", "hi").error)
      << "without a body argument the body is ignored";

  HostParameterItem named{};
  named.name = "b";
  named.value.kind = KIV_HOST_VALUE_STRING;
  named.value.u.text.data = "by-name-and-more";
  named.value.u.text.length = 7;  // read by its length only
  HostParameterItem positional{};
  positional.value.kind = KIV_HOST_VALUE_STRING;
  positional.value.u.text.data = "first";
  positional.value.u.text.length = 5;
  calls_.clear();
  ASSERT_FALSE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair", {}, nullptr, {}, {positional, named}).error);
  EXPECT_EQ(calls_, std::vector<std::string>{"first|by-name"});
  EXPECT_EQ(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair", {}, nullptr, {}, {positional, positional, positional})
                .errorText,
            "Unknown argument '2' for 'PostTV1Pair'.");
  HostParameterItem broken{};
  broken.value.kind = 77;
  EXPECT_TRUE(Call(HttpMethod::kPost, "/t/v1/pair", "/t/v1/pair", {}, nullptr, {}, {broken}).error);
}

TEST_F(DispatchTest, ResultsOfEveryShape) {
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/shade", "/t/v1/shade?shade=Dark").body.AsText(), "Dark")
      << "enum results travel as their names";
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/shade", "/t/v1/shade?shade=7").body.AsText(), "Dark");
  Answer status = Call(HttpMethod::kPost, "/t/v1/status", "/t/v1/status");
  EXPECT_EQ(status.status, 201u);
  EXPECT_EQ(status.body.AsText(), "made");
  EXPECT_EQ(FIELD(status.raw.headerCount), 1u);
  // Empty query pieces are skipped, not taken for an argument without a name.
  EXPECT_EQ(Call(HttpMethod::kGet, "/t/v1/deferred", "/t/v1/deferred?&").body.AsText(), "/t/v1/deferred?&");
  Answer deep = Call(HttpMethod::kGet, "/t/v1/deep", "/t/v1/deep");
  EXPECT_TRUE(deep.error);
  EXPECT_EQ(deep.status, 400u) << "a body that cannot be written answers 400";

  Answer streamed = Call(HttpMethod::kGet, "/t/v1/stream", "/t/v1/stream");
  ASSERT_NE(FIELD(streamed.raw.streamRead), nullptr);
  EXPECT_EQ(FIELD(streamed.raw.expectedSize), 3u);
  EXPECT_EQ(ReadStream(streamed.raw), "abc");
  EXPECT_EQ(FIELD(streamed.raw.streamRead), nullptr);
  // A stream never read is freed by the release alone.
  const uint64_t outstanding = mem::OutstandingAllocations();
  Answer unread = Call(HttpMethod::kGet, "/t/v1/stream", "/t/v1/stream");
  unread.raw.release(&unread.raw);
  EXPECT_EQ(mem::OutstandingAllocations(), outstanding);
}

TEST_F(DispatchTest, MalformedRequestRecordsAreAnsweredNotFollowed) {
  const HostEndpointEntry* entry = Entry(HttpMethod::kGet, "/t/v1/count");
  auto send = [&](void (*spoil)(HostRequest&)) {
    HostRequest request{};
    request.method = KIV_METHOD_GET;
    request.url = "/t/v1/count?n=1";
    request.endpointContext = entry->function.context;
    spoil(request);
    HostResponse response{};
    entry->requestEntry(&response, &request);
    const bool flagged = response.errorFlag == 1 && response.errorText != nullptr && *response.errorText != '\0';
    response.release(&response);
    return flagged;
  };
  EXPECT_TRUE(send([](HostRequest& r) { r.url = nullptr; }));
  EXPECT_TRUE(send([](HostRequest& r) { r.itemCount = 3; }));
  EXPECT_TRUE(send([](HostRequest& r) { r.headerCount = 1; }));
  EXPECT_TRUE(send([](HostRequest& r) { r.bodySize = 10; }));
  EXPECT_TRUE(send([](HostRequest& r) {
    static int stranger = 0;
    r.endpointContext = &stranger;
  }));
  entry->requestEntry(nullptr, nullptr);  // nothing to answer into: nothing happens
  HostResponse response{};
  entry->requestEntry(&response, nullptr);
  EXPECT_EQ(FIELD(response.errorFlag), 1);
  response.release(&response);
}

// Nothing leaves the request entry as an exception: it becomes status 500
// with a fixed text, and whatever the request held is freed.
TEST_F(DispatchTest, ExceptionsBecomeInternalErrorsAndLeakNothing) {
  ASSERT_FALSE(Call(HttpMethod::kGet, "/t/v1/count", "/t/v1/count?n=1").error);  // the kept scratch exists
  // Logging is started before counting: the error lines start it otherwise.
  log::Logging().acquire();
  struct Release {
    ~Release() { log::Logging().release(); }
  } release;
  for (const auto& [url, text] : {std::pair{"/t/v1/fail/memory", "internal error: out of memory"},
                                  {"/t/v1/fail/other", "internal error"},
                                  {"/t/v1/fail/late", "internal error: out of memory"}}) {
    const uint64_t outstanding = mem::OutstandingAllocations();
    Answer a = Call(HttpMethod::kGet, "/t/v1/fail/{how}", url);
    EXPECT_EQ(a.errorText, text) << url;
    EXPECT_EQ(a.status, 500u) << url;
    EXPECT_EQ(FIELD(a.raw.headerCount), 0u) << url;
    EXPECT_EQ(mem::OutstandingAllocations(), outstanding) << url;
  }
  // A stream whose read throws reads as a failed read that ends the stream.
  Answer a = Call(HttpMethod::kGet, "/t/v1/fail/{how}", "/t/v1/fail/stream");
  ASSERT_FALSE(a.error) << a.errorText;
  std::vector<int> results;
  EXPECT_EQ(ReadStream(a.raw, &results), "");
  EXPECT_EQ(results, std::vector<int>{0});
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
  EXPECT_EQ(FIELD(items->function.returnKind), KIV_TYPE_STRUCT);
  const HostArgumentLocation* l = items->locations;
  for (uint32_t code : {KIV_LOCATION_PATH, KIV_LOCATION_QUERY, KIV_LOCATION_HEADER, KIV_LOCATION_ANY}) {
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(FIELD(l->location), code);
    l = l->next;
  }
  uint32_t types = 0;
  const HostTypeRecord* shade = nullptr;
  for (const HostTypeRecord* t = table_->types; t != nullptr; t = t->next, ++types) {
    if (std::strcmp(t->name, "TestShade") == 0) shade = t;
  }
  EXPECT_EQ(types, FIELD(table_->typeCount));
  ASSERT_NE(shade, nullptr);
  EXPECT_STREQ(FIELD(shade->enumerators->name), "Dark") << "enumerators in name order";
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

}  // namespace
}  // namespace kiv::binding
