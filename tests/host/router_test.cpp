// The host's router, query decoding, and the names it derives.
#include "router.h"

#include <gtest/gtest.h>

#include "host.h"

namespace kivhost {
namespace {

using Captures = std::map<std::string, std::string>;

TEST(RouterTest, LiteralsWinThenShortestCapturesThenTheFirstAndOnlyTheWinnersCapturesRemain) {
  Router<int> r;
  r.Add("/a/{x}", 2, "", 1);
  r.Add("/a/b", 2, "", 2);
  r.Add("/a/{+rest}", 2, "", 3);
  r.Add("/x/{a}/{b}", 0, "", 4);
  r.Add("/x/{a}/lit", 0, "", 5);
  r.Add("/c/{id}/messages", 6, "", 6);
  r.Add("/f/{name}", 2, "", 7);
  r.Add("/f/{name}.json", 2, "", 8);
  EXPECT_EQ(r.Find(2, "GET", "/a/b").route->target, 2);
  auto c = r.Find(2, "GET", "/a/c");
  EXPECT_EQ(c.route->target, 1);
  EXPECT_EQ(c.captures, (Captures{{"x", "c"}}));
  auto deep = r.Find(2, "GET", "/a/b/c%20d?q=1");
  EXPECT_EQ(deep.route->target, 3);
  EXPECT_EQ(deep.captures, (Captures{{"rest", "b/c d"}}));
  auto shorter = r.Find(2, "GET", "/x/a%20b/lit?q=1");
  EXPECT_EQ(shorter.route->target, 5);
  EXPECT_EQ(shorter.captures, (Captures{{"a", "a b"}}));
  EXPECT_EQ(r.Find(2, "GET", "/x/1/other").captures, (Captures{{"a", "1"}, {"b", "other"}}));
  // Segment placeholders take one segment, or nothing.
  EXPECT_NE(r.Find(6, "POST", "/c//messages").route, nullptr);
  EXPECT_EQ(r.Find(6, "POST", "/c/4/2/messages").route, nullptr);
}

TEST(RouterTest, MethodsAreCheckedAndReported) {
  Router<int> r;
  r.Add("/x", 2, "", 1);
  r.Add("/x", 6, "", 2);
  r.Add("/y", 0, "", 3);
  r.Add("/z", 8, "PURGE", 4);
  auto miss = r.Find(1, "DELETE", "/x");
  EXPECT_EQ(miss.route, nullptr);
  EXPECT_TRUE(miss.methodMismatch);
  EXPECT_EQ(miss.allowed, (std::vector<std::string>{"GET", "POST"}));
  EXPECT_EQ(r.Find(7, "PUT", "/y").route->target, 3);
  EXPECT_EQ(r.Find(8, "PURGE", "/z").route->target, 4);
  EXPECT_EQ(r.Find(8, "FLUSH", "/z").route, nullptr);
  EXPECT_EQ(MethodNumber("PURGE"), 8u);
}

TEST(NamesTest, QueriesEventNamesExportsVersionsAndLevels) {
  EXPECT_EQ(DecodeUrlComponent("a+b%41%4a%"), "a bAJ%");
  EXPECT_EQ(DecodeUrlComponent("%zz%4"), "%zz%4");
  EXPECT_EQ(ParseQuery("a=1&a=2&flag&x=%3D&=v"),
            (std::map<std::string, std::string>{{"a", "2"}, {"flag", ""}, {"x", "="}, {"", "v"}}));
  EXPECT_EQ(EventNameOfPath("/kiv-chat/v1/conversations/*/messages/*"), "OnJsonApiEvent_kiv-chat_v1_conversations");
  EXPECT_EQ(EventNameOfPath("/kiv-platform-config/v1/a/b/c/d"), "OnJsonApiEvent_kiv-platform-config_v1_a_b_c");
  EXPECT_EQ(ExportNameForLibrary("/x/y/libkiv-game-client-chat.so"), "load_kiv_game_client_chat");
  EXPECT_EQ(ExportNameForLibrary("libkiv-foo.so.1"), "load_kiv_foo");
  Version v;
  ASSERT_TRUE(Version::Parse("17", &v));
  EXPECT_EQ(v.ToString(), "17.0.0");
  for (const char* bad : {"18.0.0.1", "18.x", ""}) EXPECT_FALSE(Version::Parse(bad, &v)) << bad;
  EXPECT_EQ(LevelWord(17), "    17");
  EXPECT_EQ(LevelFromWord(" always"), 3);
}

}  // namespace
}  // namespace kivhost
