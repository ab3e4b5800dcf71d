// The probe plugin loaded by the reference host: bodies in every format,
// arguments from every location and what the host is shown of them, and
// calls to other plugins, all through the library boundary.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "testing/e2e_support.h"
#include "testing/requests.h"

namespace kivhost::e2e {
namespace {

class ProbeTest : public ::testing::Test {
 protected:
  void Start(HostOptions options = QuietOptions()) {
    host_ = std::make_unique<Host>(std::move(options));
    auto loaded = host_->Load(KIV_PROBE_PLUGIN);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    ASSERT_TRUE(host_->Initialize());
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
};

TEST_F(ProbeTest, BodiesAreReadInEveryFormatOrRefusedWhole) {
  const std::string echo = "/kiv-binding-probe/v1/echo";
  const json expected = json::parse(kiv::test::kSampleJson);
  EXPECT_EQ(Body("POST", echo, "application/json", kiv::test::kSampleJson).body, expected);
  EXPECT_EQ(Body("POST", echo, "application/x-msgpack", kiv::test::kSampleMessagePack).body, expected);
  EXPECT_EQ(Body("POST", echo, "application/x-yaml", kiv::test::kSampleYaml).body, expected);
  for (const char* body : {"{}", "[]", R"({"a": []})"}) {  // empty containers copied into fresh roots
    EXPECT_EQ(Body("POST", echo, "application/json", body).body, json::parse(body));
  }
  for (const auto& [type, body] : std::vector<std::pair<std::string, std::string>>{
           {"application/json", R"({"a": [1, )"},
           {"application/x-msgpack", kiv::test::kSampleMessagePack.substr(0, 3)},
           {"application/x-yaml", "a: [1, x\n"}}) {
    EXPECT_FALSE(Body("POST", echo, type, body).errorText.empty()) << type;
  }
  Answer put = Body("PUT", "/kiv-binding-probe/v1/items/9", "application/json",
                    R"({"id": 1, "verbose": true, "tag": "", "state": "Done", "labels": ["q"], "extra": {"k": [1]}})");
  EXPECT_EQ(put.body,
            json::parse(R"({"id": 9, "verbose": true, "state": "Done", "labels": ["q"], "extra": {"k": [1]}})"));
  EXPECT_TRUE(Body("PUT", "/kiv-binding-probe/v1/items/9", "application/json", R"({"id": 1, "state": "Nope"})").error);
}

TEST_F(ProbeTest, ItemsTakeThePathQueryHeaderAndAnyLocation) {
  Answer a = Get("/kiv-binding-probe/v1/items/7?verbose=true&labels=%5B%22x%22%2C%22y%22%5D", {{"tag", "blue"}});
  EXPECT_EQ(a.body, json::parse(R"({"id": 7, "verbose": true, "tag": "blue", "state": "Busy", "labels": ["x", "y"]})"));
  // Required arguments left out fail with their reading's own message, one
  // at a time; the same arguments declared optional keep their defaults.
  EXPECT_EQ(Get("/kiv-binding-probe/v1/items/-3").errorText, "A value for 'tag' is required.");
  EXPECT_EQ(Get("/kiv-binding-probe/v1/items/-3", {{"tag", "t"}}).errorText,
            "Couldn't assign value to 'labels' of type vector because the input not a collection.");
  EXPECT_EQ(Get("/kiv-binding-probe/v1/drafts/-3").body,
            json::parse(R"({"id": -3, "verbose": false, "state": "Busy", "labels": []})"));
  std::map<std::string, std::vector<bool>> optional;  // the host is shown which is which
  const json api = host_->DescribeApi();
  for (const json& endpoint : api["plugins"][0]["endpoints"]) {
    for (const json& argument : endpoint["arguments"]) optional[endpoint["name"]].push_back(argument["optional"]);
  }
  EXPECT_EQ(optional["GetKivBindingProbeV1ItemsById"], (std::vector<bool>{false, false, false, false}));
  EXPECT_EQ(optional["GetKivBindingProbeV1DraftsById"], (std::vector<bool>{false, true, true, true}));
  // Labels may come as named items from another plugin.
  Call call = Request("GET", "/kiv-binding-probe/v1/items/1");
  call.headers = {{"tag", "t"}};
  call.items = {Item{"labels", json::array({"p"})}};
  EXPECT_EQ(host_->Dispatch(call).body["labels"], json::array({"p"}));
  for (const char* bad : {"/kiv-binding-probe/v1/items/abc", "/kiv-binding-probe/v1/items/99999999999",
                          "/kiv-binding-probe/v1/items/1?verbose=maybe", "/kiv-binding-probe/v1/items/1?tag=x"}) {
    EXPECT_FALSE(Get(bad).errorText.empty()) << bad;
  }
}

TEST_F(ProbeTest, RemoteCallsReturnTheAnswerItsErrorOrAStreamReadToTheEnd) {
  EXPECT_EQ(Get("/kiv-binding-probe/v1/remote?url=/kiv-summoner/v1/summoners/42").body,
            json::parse(R"({"summonerId": 42, "displayName": "Ann"})"));
  Answer missing = Get("/kiv-binding-probe/v1/remote?url=/kiv-summoner/v1/summoners/999");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.errorText, "Error response for GET /kiv-summoner/v1/summoners/999: No summoner with id '999'");
  HostOptions options = QuietOptions();
  options.streamThreshold = 8;
  options.streamChunk = 5;
  Start(options);
  Answer a = Get("/kiv-binding-probe/v1/remote?url=/kiv-summoner/v1/summoners");
  ASSERT_TRUE(a.body.is_array()) << a.errorText;
  EXPECT_EQ(a.body.size(), 5u);
  EXPECT_EQ(a.body[1], json::parse(R"({"summonerId": 42, "displayName": "Ann"})"));
  EXPECT_GT(host_->yields(), 0u);
}

}  // namespace
}  // namespace kivhost::e2e
