#include "router.h"

#include <gtest/gtest.h>

#include "host.h"

namespace kivhost {
namespace {

TEST(RouterTest, LiteralPathsWinOverTemplatesWhateverTheOrder) {
  Router<int> r;
  r.Add("/a/{x}", 2, "", 1);
  r.Add("/a/b", 2, "", 2);
  r.Add("/a/{+rest}", 2, "", 3);
  EXPECT_EQ(r.Find(2, "GET", "/a/b").route->target, 2);
  EXPECT_EQ(r.Find(2, "GET", "/a/c").route->target, 1);
  EXPECT_EQ(r.Find(2, "GET", "/a/c").captures.at("x"), "c");
  auto deep = r.Find(2, "GET", "/a/b/c%20d?q=1");
  ASSERT_NE(deep.route, nullptr);
  EXPECT_EQ(deep.route->target, 3);
  EXPECT_EQ(deep.captures.at("rest"), "b/c d");
  EXPECT_EQ(r.Find(2, "GET", "/b").route, nullptr);
}

TEST(RouterTest, ShortestCapturesWinAndTiesKeepTheFirst) {
  Router<int> r;
  r.Add("/f/{name}", 2, "", 1);
  r.Add("/f/{name}.json", 2, "", 2);
  EXPECT_EQ(r.Find(2, "GET", "/f/x.json").route->target, 2);
  Router<int> tie;
  tie.Add("/a/{x}", 2, "", 1);
  tie.Add("/a/{+y}", 2, "", 2);
  EXPECT_EQ(tie.Find(2, "GET", "/a/b").route->target, 1);
}

TEST(RouterTest, SegmentPlaceholdersTakeOneSegmentOrNothing) {
  Router<int> r;
  r.Add("/c/{id}/messages", 6, "", 1);
  EXPECT_NE(r.Find(6, "POST", "/c/42/messages").route, nullptr);
  EXPECT_NE(r.Find(6, "POST", "/c//messages").route, nullptr);
  EXPECT_EQ(r.Find(6, "POST", "/c/4/2/messages").route, nullptr);
}

TEST(RouterTest, MethodsAreCheckedAndReported) {
  Router<int> r;
  r.Add("/x", 2, "", 1);
  r.Add("/x", 6, "", 2);
  r.Add("/y", 0, "", 3);
  r.Add("/z", 8, "PURGE", 4);
  EXPECT_EQ(r.Find(6, "POST", "/x").route->target, 2);
  auto miss = r.Find(1, "DELETE", "/x");
  EXPECT_EQ(miss.route, nullptr);
  EXPECT_TRUE(miss.methodMismatch);
  EXPECT_EQ(miss.allowed, (std::vector<std::string>{"GET", "POST"}));
  EXPECT_EQ(r.Find(7, "PUT", "/y").route->target, 3);
  EXPECT_EQ(r.Find(8, "PURGE", "/z").route->target, 4);
  EXPECT_EQ(r.Find(8, "FLUSH", "/z").route, nullptr);
  EXPECT_EQ(MethodNumber("PATCH"), 5u);
  EXPECT_EQ(MethodNumber("PURGE"), 8u);
  EXPECT_STREQ(MethodName(9), "");
}

TEST(RouterTest, QueryDecoding) {
  EXPECT_EQ(DecodeUrlComponent("a+b%41%4a%"), "a bAJ%");
  EXPECT_EQ(DecodeUrlComponent("%zz%4"), "%zz%4");
  auto q = ParseQuery("a=1&a=2&flag&x=%3D&=v");
  EXPECT_EQ(q.at("a"), "2");
  EXPECT_EQ(q.at("flag"), "");
  EXPECT_EQ(q.at("x"), "=");
}

TEST(NamesTest, EventNamesExportsAndVersions) {
  EXPECT_EQ(EventNameOfPath("/kiv-chat/v1/conversations/*/messages/*"), "OnJsonApiEvent_kiv-chat_v1_conversations");
  EXPECT_EQ(EventNameOfPath("/kiv-login/v1/session"), "OnJsonApiEvent_kiv-login_v1_session");
  EXPECT_EQ(EventNameOfPath("kiv-chat//v1"), "OnJsonApiEvent_kiv-chat_v1");
  EXPECT_EQ(EventNameOfPath("/kiv-platform-config/v1/a/b/c/d"), "OnJsonApiEvent_kiv-platform-config_v1_a_b_c");
  EXPECT_EQ(EventNameOfPath("/"), "OnJsonApiEvent");
  EXPECT_EQ(ExportNameForLibrary("/x/y/libkiv-game-client-chat.so"), "load_kiv_game_client_chat");
  EXPECT_EQ(ExportNameForLibrary("libkiv-foo.so.1"), "load_kiv_foo");
  EXPECT_EQ(ExportNameForLibrary("kiv-bar.dll"), "load_kiv_bar");
  Version v;
  ASSERT_TRUE(Version::Parse("18.2.3", &v));
  EXPECT_EQ(v.ToString(), "18.2.3");
  ASSERT_TRUE(Version::Parse("17", &v));
  EXPECT_EQ(v.ToString(), "17.0.0");
  EXPECT_FALSE(Version::Parse("18.0.0.1", &v));
  EXPECT_FALSE(Version::Parse("18.x", &v));
  EXPECT_FALSE(Version::Parse("", &v));
  EXPECT_EQ(LevelWord(2), " ERROR");
  EXPECT_EQ(LevelWord(17), "    17");
  EXPECT_EQ(LevelFromWord(" always"), 3);
}

}  // namespace
}  // namespace kivhost
