// The probe plugin loaded by the reference host: arguments from every
// location and body format, results of every shape, publishing and calls to
// other plugins, all through the library boundary.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "host.h"

namespace kivhost::e2e {
namespace {

constexpr const char* kProbe = "kiv-binding-probe";

class ProbeTest : public ::testing::Test {
 protected:
  void Start(HostOptions options = QuietOptions()) {
    host_ = std::make_unique<Host>(std::move(options));
    records_ = std::make_unique<PluginRecords>(*host_, kProbe);
    auto loaded = host_->Load(KIV_PROBE_PLUGIN);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    ASSERT_EQ(loaded.name, kProbe);
    ASSERT_TRUE(host_->Initialize());
    records_->Mark();
  }
  void SetUp() override { Start(); }

  Answer Get(const std::string& url, std::vector<std::pair<std::string, std::string>> headers = {}) {
    Call call = Request("GET", url);
    call.headers = std::move(headers);
    return host_->Dispatch(call);
  }
  Answer Body(const std::string& method, const std::string& url, const std::string& type, const std::string& body) {
    return host_->Dispatch(Request(method, url, type, body));
  }

  std::unique_ptr<Host> host_;
  std::unique_ptr<PluginRecords> records_;
};

TEST_F(ProbeTest, DescribesItsTypesAndFunctionsByTheNameRule) {
  const std::string api = host_->DescribeApi().dump();
  for (const char* name :
       {"KivBindingProbeState", "KivBindingProbeItem", "PostKivBindingProbeV1Echo", "GetKivBindingProbeV1Echo",
        "GetKivBindingProbeV1ItemsById", "GetKivBindingProbeV1DraftsById", "PutKivBindingProbeV1ItemsById",
        "GetKivBindingProbeV1State", "GetKivBindingProbeV1FilesByRest", "PostKivBindingProbeV1Publish",
        "GetKivBindingProbeV1Remote"}) {
    EXPECT_NE(api.find(std::string("\"") + name + "\""), std::string::npos) << name;
  }
}

TEST_F(ProbeTest, BodiesAreReadInEveryFormat) {
  const json expected = json::parse(R"({"a": [1, "x"], "b": {"c": true}})");
  Answer a = Body("POST", "/kiv-binding-probe/v1/echo", "application/json", R"({"a": [1, "x"], "b": {"c": true}})");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, expected);

  // {"a": [1, "x"], "b": {"c": true}} in MessagePack.
  const std::string packed = std::string(
      "\x82\xa1"
      "a"
      "\x92\x01\xa1"
      "x"
      "\xa1"
      "b"
      "\x81\xa1"
      "c"
      "\xc3",
      13);
  a = Body("POST", "/kiv-binding-probe/v1/echo", "application/x-msgpack", packed);
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, expected);

  a = Body("POST", "/kiv-binding-probe/v1/echo", "application/x-yaml", "a: [1, x]\nb:\n  c: true\n");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, expected);

  // Broken bodies are refused with the reader's text, never taken half-read.
  for (const auto& [type, body] :
       std::vector<std::pair<std::string, std::string>>{{"application/json", R"({"a": [1, )"},
                                                        {"application/x-msgpack", std::string("\x82\xa1"
                                                                                              "a",
                                                                                              3)},
                                                        {"application/x-yaml", "a: [1, x\n"}}) {
    a = Body("POST", "/kiv-binding-probe/v1/echo", type, body);
    EXPECT_TRUE(a.error) << type;
    EXPECT_FALSE(a.errorText.empty()) << type;
  }
}

// Off until the value layer copies an empty Collection or Structure into a
// fresh root without an arena (it dereferences the missing arena today).
TEST_F(ProbeTest, EmptyContainersEchoBack) {
  for (const char* body : {"{}", "[]", R"({"a": []})"}) {
    Answer a = Body("POST", "/kiv-binding-probe/v1/echo", "application/json", body);
    EXPECT_FALSE(a.error) << a.errorText;
    EXPECT_EQ(a.body, json::parse(body));
  }
}

TEST_F(ProbeTest, QueryValuesAreDetectedAndDottedKeysBuildStructures) {
  Answer a = Get("/kiv-binding-probe/v1/echo?value=%7B%22a%22%3A%5B1%2C2%5D%7D");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, json::parse(R"({"a": [1, 2]})"));

  a = Get("/kiv-binding-probe/v1/echo?value.name=Ann&value.list.1=b&value.list.0=a");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body["name"], "Ann");
  EXPECT_EQ(a.body["list"], json::parse(R"(["a", "b"])"));

  // An object argument takes absence as the empty value; a typed one requires a value.
  a = Get("/kiv-binding-probe/v1/echo");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_TRUE(a.body.is_null());
  a = Get("/kiv-binding-probe/v1/state");
  EXPECT_TRUE(a.error);
  EXPECT_EQ(a.errorText, "A value for 'state' is required.");

  a = Get("/kiv-binding-probe/v1/echo?value=1&other=2");
  EXPECT_TRUE(a.error);
  EXPECT_NE(a.errorText.find("Unknown argument 'other'"), std::string::npos) << a.errorText;

  a = Get("/kiv-binding-probe/v1/echo?value.list.99999999999=a");
  EXPECT_TRUE(a.error);
}

TEST_F(ProbeTest, ItemsTakeThePathQueryHeaderAndAnyLocation) {
  Answer a = Get("/kiv-binding-probe/v1/items/7?verbose=true&labels=%5B%22x%22%2C%22y%22%5D", {{"tag", "blue"}});
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, json::parse(R"({"id": 7, "verbose": true, "tag": "blue", "state": "Busy", "labels": ["x", "y"]})"));

  // Required arguments left out fail with their reading's own message, one
  // at a time; a required bool left out reads as false.
  a = Get("/kiv-binding-probe/v1/items/-3");
  EXPECT_TRUE(a.error);
  EXPECT_EQ(a.errorText, "A value for 'tag' is required.");
  a = Get("/kiv-binding-probe/v1/items/-3", {{"tag", "t"}});
  EXPECT_TRUE(a.error);
  EXPECT_EQ(a.errorText, "Couldn't assign value to 'labels' of type vector because the input not a collection.");
  a = Get("/kiv-binding-probe/v1/items/-3?labels", {{"tag", "t"}});
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, json::parse(R"({"id": -3, "verbose": false, "tag": "t", "state": "Busy", "labels": []})"));

  // The same arguments declared optional keep their defaults when left out:
  // no tag member (left out when empty), no extra.
  a = Get("/kiv-binding-probe/v1/drafts/-3");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, json::parse(R"({"id": -3, "verbose": false, "state": "Busy", "labels": []})"));

  // The host is shown which is which.
  std::map<std::string, std::vector<bool>> optional;
  const json described = host_->DescribeApi();
  for (const json& plugin : described["plugins"]) {
    for (const json& endpoint : plugin["endpoints"]) {
      const std::string name = endpoint["name"];
      if (name != "GetKivBindingProbeV1ItemsById" && name != "GetKivBindingProbeV1DraftsById") continue;
      for (const json& argument : endpoint["arguments"]) optional[name].push_back(argument["optional"]);
    }
  }
  EXPECT_EQ(optional["GetKivBindingProbeV1ItemsById"], (std::vector<bool>{false, false, false, false}));
  EXPECT_EQ(optional["GetKivBindingProbeV1DraftsById"], (std::vector<bool>{false, true, true, true}));

  // Labels may come as named items from another plugin.
  Call call = Request("GET", "/kiv-binding-probe/v1/items/1");
  call.headers = {{"tag", "t"}};
  call.items = {Item{"labels", json::array({"p"})}};
  a = host_->Dispatch(call);
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body["labels"], json::array({"p"}));

  for (const char* bad : {"/kiv-binding-probe/v1/items/abc", "/kiv-binding-probe/v1/items/99999999999",
                          "/kiv-binding-probe/v1/items/1?verbose=maybe", "/kiv-binding-probe/v1/items/1?tag=x"}) {
    a = Get(bad);
    EXPECT_TRUE(a.error) << bad;
    EXPECT_FALSE(a.errorText.empty()) << bad;
  }
}

TEST_F(ProbeTest, PutReplacesTheIdOfTheBodyItem) {
  Answer a = Body("PUT", "/kiv-binding-probe/v1/items/9", "application/json",
                  R"({"id": 1, "verbose": true, "tag": "", "state": "Done", "labels": ["q"], "extra": {"k": [1]}})");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body,
            json::parse(R"({"id": 9, "verbose": true, "state": "Done", "labels": ["q"], "extra": {"k": [1]}})"));

  a = Body("PUT", "/kiv-binding-probe/v1/items/9", "application/json", R"({"id": 1, "state": "Nope"})");
  EXPECT_TRUE(a.error);
  a = Body("PUT", "/kiv-binding-probe/v1/items/9", "application/json", R"([1, 2])");
  EXPECT_TRUE(a.error);
}

TEST_F(ProbeTest, EnumResultsReachTheHostAsTheirNames) {
  for (const char* name : {"Idle", "Busy", "Done"}) {
    Answer a = Get(std::string("/kiv-binding-probe/v1/state?state=") + name);
    EXPECT_FALSE(a.error) << a.errorText;
    EXPECT_EQ(a.body, name);
  }
  Answer a = Get("/kiv-binding-probe/v1/state?state=7");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, "Done");
  EXPECT_TRUE(Get("/kiv-binding-probe/v1/state?state=done").error);
  EXPECT_TRUE(Get("/kiv-binding-probe/v1/state?state=3").error);
}

TEST_F(ProbeTest, PathCapturesTakeSeveralSegmentsAndAreDecoded) {
  Answer a = Get("/kiv-binding-probe/v1/files/a/b%20c/d.txt");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, "a/b c/d.txt");
}

TEST_F(ProbeTest, PublishSendsATextResourceUnderBothNames) {
  Answer a = Get("/kiv-binding-probe/v1/publish?uri=/kiv-binding-probe/v1/things/1&text=hello");
  EXPECT_TRUE(a.error);  // POST only
  a = host_->Dispatch(Request("POST", "/kiv-binding-probe/v1/publish?uri=/kiv-binding-probe/v1/things/1&text=hello"));
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_TRUE(a.body.is_null());
  EXPECT_EQ(records_->Published(),
            std::vector<json>{e2e::Resource("OnJsonApiEvent_kiv-binding-probe_v1_things",
                                            "/kiv-binding-probe/v1/things/1", "Create", "hello")});
  EXPECT_EQ(records_->GenericEventCount(), 1u);
}

TEST_F(ProbeTest, RemoteCallsReturnTheAnswerOrItsError) {
  Answer a = Get("/kiv-binding-probe/v1/remote?url=/kiv-summoner/v1/summoners/42");
  EXPECT_FALSE(a.error) << a.errorText;
  EXPECT_EQ(a.body, json::parse(R"({"summonerId": 42, "displayName": "Ann"})"));
  EXPECT_EQ(records_->RequestLines(), std::vector<std::string>{"GET /kiv-summoner/v1/summoners/42"});

  a = Get("/kiv-binding-probe/v1/remote?url=/kiv-summoner/v1/summoners/999");
  EXPECT_TRUE(a.error);
  EXPECT_EQ(a.status, 404);
  EXPECT_EQ(a.errorText, "Error response for GET /kiv-summoner/v1/summoners/999: No summoner with id '999'");
}

TEST_F(ProbeTest, StreamedAnswersAreReadToTheEnd) {
  HostOptions options = QuietOptions();
  options.streamThreshold = 8;
  options.streamChunk = 5;
  Start(options);
  Answer a = Get("/kiv-binding-probe/v1/remote?url=/kiv-summoner/v1/summoners");
  EXPECT_FALSE(a.error) << a.errorText;
  ASSERT_TRUE(a.body.is_array());
  EXPECT_EQ(a.body.size(), 5u);
  EXPECT_EQ(a.body[1], json::parse(R"({"summonerId": 42, "displayName": "Ann"})"));
  EXPECT_GT(host_->yields(), 0u);
}

}  // namespace
}  // namespace kivhost::e2e
