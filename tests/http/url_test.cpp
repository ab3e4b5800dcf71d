// HTTP method names, URL decoding and splitting, endpoint path patterns, the
// router and the name rule.
#include "http/url.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "http/http.h"
#include "http/name_rule.h"
#include "http/url_pattern.h"

namespace kiv {
namespace {

using url::PathArguments;
using url::PathPattern;
using url::PlaceholderKind;

std::string Str(const String& s) { return std::string(s.data(), s.size()); }
std::string Get(const PathArguments& args, std::string_view name) {
  const String* value = args.Find(name);
  return value ? Str(*value) : "<missing>";
}

TEST(HttpMethod, NumbersAndNames) {
  const char* names[] = {"", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT", "", ""};
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(MethodName(i), names[i]) << i;
  EXPECT_EQ(MethodName(0xFFFFFFFFu), "");
  EXPECT_EQ(MethodFromHost(8), HttpMethod::kCustom);
  EXPECT_EQ(MethodFromHost(9), HttpMethod::kNone);
  EXPECT_EQ(MethodToHost(static_cast<HttpMethod>(42)), 0u);
  EXPECT_EQ(MethodToHost(HttpMethod::kPut), 7u);
  EXPECT_EQ(MethodFromName("PATCH"), HttpMethod::kPatch);
  EXPECT_EQ(MethodFromName("get"), HttpMethod::kCustom);  // names compare exactly
  EXPECT_EQ(MethodFromName(""), HttpMethod::kNone);
}

TEST(UrlDecode, EscapesPlusAndMalformedInput) {
  EXPECT_EQ(Str(url::DecodeComponent("a+b%41%4a")), "a bAJ");
  EXPECT_EQ(Str(url::DecodeComponent("100%")), "100");
  EXPECT_EQ(Str(url::DecodeComponent("%4")), "4");
  EXPECT_EQ(Str(url::DecodeComponent("%zz%4g")), "zz4g");  // no invented bytes from non-digits
  EXPECT_EQ(Str(url::DecodeComponent("%%41")), "A");
  EXPECT_EQ(url::DecodeComponent("%00%fF"), String("\0\xff", 2));
  // The escape must lie within the given text, not the buffer behind it.
  const std::string_view whole = "ab%41";
  EXPECT_EQ(Str(url::DecodeComponent(whole.substr(0, 4))), "ab4");
}

TEST(UrlSplit, PathAndQuery) {
  auto parts = url::SplitUrl("/a/b?x=1&y=%20?z");
  EXPECT_EQ(parts.path, "/a/b");
  EXPECT_EQ(parts.query, "x=1&y=%20?z");
  EXPECT_TRUE(parts.hasQuery);
  parts = url::SplitUrl("/a?");
  EXPECT_EQ(parts.path, "/a");
  EXPECT_TRUE(parts.hasQuery);
  EXPECT_TRUE(parts.query.empty());
  parts = url::SplitUrl("/a");
  EXPECT_FALSE(parts.hasQuery);
}

TEST(UrlNormalise, OneTrailingSlashGoes) {
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/a/b/")), "/a/b");
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/a//")), "/a/");
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/")), "/");
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/a")), "/a");
}

TEST(PathPatternCompile, ExpressionsAndPlaceholders) {
  const PathPattern friends = PathPattern::Compile("/kiv-chat/v1/friends/{id}");
  EXPECT_FALSE(friends.IsLiteral());
  EXPECT_EQ(friends.Expression(), "/kiv-chat/v1/friends/([^/]*)");
  ASSERT_EQ(friends.Placeholders().size(), 1u);
  EXPECT_EQ(friends.Placeholders()[0].kind, PlaceholderKind::kSimple);
  EXPECT_EQ(Str(friends.Placeholders()[0].name), "id");
  EXPECT_EQ(PathPattern::Compile("/files/{+rest}").Expression(), "/files/(.*)");
  EXPECT_EQ(PathPattern::Compile("/page{#part}").Expression(), "/page#(.*)");
  EXPECT_EQ(PathPattern::Compile("/a.b$/{x}").Expression(), "/a\\.b\\$/([^/]*)");
  EXPECT_EQ(PathPattern::Compile("/{+x}").Placeholders()[0].kind, PlaceholderKind::kReserved);
  EXPECT_EQ(PathPattern::Compile("/{#x}").Placeholders()[0].kind, PlaceholderKind::kFragment);
  EXPECT_EQ(Str(PathPattern::Compile("/{a+b}").Placeholders()[0].name), "a+b");

  const PathPattern star = PathPattern::Compile("/kiv-game-client-chat/v1/buddies/*");
  EXPECT_TRUE(star.IsLiteral());
  EXPECT_TRUE(star.Match("/kiv-game-client-chat/v1/buddies/*", nullptr));
  EXPECT_FALSE(star.Match("/kiv-game-client-chat/v1/buddies/abc", nullptr));
  EXPECT_FALSE(PathPattern().Match("", nullptr));
}

TEST(PathPatternCompile, StrayBracesStayText) {
  const PathPattern stray = PathPattern::Compile("/a}/{x}");
  ASSERT_EQ(stray.Placeholders().size(), 1u);
  PathArguments args;
  EXPECT_TRUE(stray.Match("/a}/v", &args));
  EXPECT_EQ(Get(args, "x"), "v");
  EXPECT_FALSE(stray.Match("/a/v", &args));

  const PathPattern open = PathPattern::Compile("/a/{x");
  EXPECT_TRUE(open.Placeholders().empty());
  EXPECT_TRUE(open.Match("/a/{x", &args));
  EXPECT_TRUE(args.empty());
  EXPECT_FALSE(open.Match("/a/", &args));
}

TEST(PathPatternMatch, CapturesAreDecoded) {
  PathArguments args;
  const PathPattern simple = PathPattern::Compile("/a/{x}");
  ASSERT_TRUE(simple.Match("/a/", &args));
  EXPECT_EQ(Get(args, "x"), "");
  ASSERT_TRUE(simple.Match("/a/b%20c+d", &args));
  EXPECT_EQ(Get(args, "x"), "b c d");
  EXPECT_FALSE(simple.Match("/a/b/c", &args));
  EXPECT_TRUE(args.empty());  // a failed match leaves nothing behind

  ASSERT_TRUE(PathPattern::Compile("/a/{+x}").Match("/a/b/c", &args));
  EXPECT_EQ(Get(args, "x"), "b/c");
  ASSERT_TRUE(PathPattern::Compile("/{x}/{x}").Match("/1/2", &args));
  EXPECT_EQ(Get(args, "x"), "2");  // a repeated name keeps the last capture
  ASSERT_TRUE(PathPattern::Compile("/p{#frag}").Match("/p#a%2Fb", &args));
  EXPECT_EQ(Get(args, "frag"), "a/b");
  EXPECT_FALSE(PathPattern::Compile("/a/{+x}").Match("/a/b\nc", &args));  // "." stops at line ends
}

// The matcher must give the answers of the expression it stands for. These
// shapes force backtracking choices (adjacent captures, repeated text, rests
// that may or may not cross "/").
TEST(PathPatternMatch, AgreesWithEquivalentExpression) {
  const char* patterns[] = {"/{a}{b}",       "/{+a}/{+b}", "/{a}/{+b}/{c}", "{+a}x{b}x",   "/x{a}x{+b}x",
                            "/{a}-{b}.{+c}", "{#a}{#b}",   "{a}/{a}",       "{+a}{b}{+c}", "/{a}/b"};
  const char* paths[] = {"/xy",      "/x/y/z", "/a/b/c/d", "xxaxx",  "/xaxbxcx/x", "/a-b.c/d-e.f",
                         "#x#y",     "a/b",    "",         "/%41/b", "x/x",        "/-.-.",
                         "/x\nx/yx", "ab\ncd", "/a//b",    "xx",     "/xxxxx",     "#"};
  const auto flags = std::regex::ECMAScript | std::regex::optimize;
  for (const char* p : patterns) {
    const PathPattern pattern = PathPattern::Compile(p);
    const std::regex expression(std::string(pattern.Expression()), flags);
    for (const char* path : paths) {
      std::cmatch groups;
      const bool expected = std::regex_match(path, groups, expression);
      PathArguments args;
      ASSERT_EQ(pattern.Match(path, &args), expected) << p << " vs " << path;
      if (!expected) continue;
      PathArguments want;
      for (std::size_t i = 1; i < groups.size(); ++i) {
        want.Set(pattern.Placeholders()[i - 1].name, url::DecodeComponent(groups[i].str()));
      }
      EXPECT_EQ(args, want) << p << " vs " << path;
    }
  }
}

TEST(PathPatternMatch, MebibytePathsNeedNoDeepStack) {
  std::string big(std::size_t{1} << 20, 'a');
  PathArguments args;
  ASSERT_TRUE(PathPattern::Compile("/files/{+rest}").Match("/files/" + big, &args));
  EXPECT_EQ(Get(args, "rest").size(), big.size());

  std::string slashes;
  for (std::size_t i = 0; i < (std::size_t{1} << 19); ++i) slashes += "a/";
  ASSERT_TRUE(PathPattern::Compile("/{a}/{+b}/{c}").Match("/x/" + slashes + "/z", &args));
  EXPECT_EQ(Get(args, "a"), "x");
  EXPECT_EQ(Get(args, "b").size(), slashes.size());
  EXPECT_EQ(Get(args, "c"), "z");

  // Many competing split points and no match at all.
  EXPECT_FALSE(PathPattern::Compile("{+a}x{+b}x{+c}y").Match(std::string(1 << 20, 'x'), &args));
}

// Functions registered on one endpoint, for the router.
struct Endpoint {
  Vector<PathPattern> patterns;
  void Add(const char* text, HttpMethod method = HttpMethod::kAny, const char* methodText = "") {
    patterns.push_back(PathPattern::Compile(text));
    patterns.back().target.method = method;
    patterns.back().target.methodText = methodText;
  }
  url::RouteMatch Route(const char* u, HttpMethod m = HttpMethod::kGet, const char* text = "") const {
    return url::ChooseRoute(std::span<const PathPattern>(patterns.data(), patterns.size()), m, text, u);
  }
  const PathPattern* At(std::size_t i) const { return &patterns[i]; }
};

TEST(Router, ShortestArgumentsWinEarlierOnTieLiteralStops) {
  Endpoint e;
  e.Add("/a/{x}");
  e.Add("/a/b");
  e.Add("/a/{+y}");
  auto m = e.Route("/a/b");
  EXPECT_EQ(m.pattern, e.At(1));
  EXPECT_TRUE(m.arguments.empty());

  m = e.Route("/a/c");  // x and y both hold "c": the earlier stays
  EXPECT_EQ(m.pattern, e.At(0));
  EXPECT_EQ(Get(m.arguments, "x"), "c");

  Endpoint shorter;
  shorter.Add("/a/{+y}");
  shorter.Add("/a/{x}/{z}");
  m = shorter.Route("/a/b/c");
  EXPECT_EQ(m.pattern, shorter.At(1));  // 2 bytes beat 3

  EXPECT_FALSE(e.Route("/b"));
  const PathPattern* list[] = {nullptr, e.At(1)};
  EXPECT_EQ(url::ChooseRoute(list, HttpMethod::kGet, "", "/a/b").pattern, e.At(1));
}

TEST(Router, QueryIsNotPartOfThePath) {
  Endpoint e;
  e.Add("/kiv-game-client-chat/v1/instant-messages", HttpMethod::kPost);
  auto m = e.Route("/kiv-game-client-chat/v1/instant-messages?summonerName=a&message=b", HttpMethod::kPost);
  EXPECT_EQ(m.pattern, e.At(0));

  Endpoint rest;
  rest.Add("/a/{+x}");
  m = rest.Route("/a/b?c=d/e");
  ASSERT_TRUE(m);
  EXPECT_EQ(Get(m.arguments, "x"), "b");
}

TEST(Router, MethodSeparatesFunctionsOnOnePath) {
  Endpoint e;
  e.Add("/ignored", HttpMethod::kGet);
  e.Add("/ignored", HttpMethod::kPost);
  e.Add("/ignored", HttpMethod::kCustom, "PURGE");
  e.Add("/ignored", HttpMethod::kDelete);
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kPost).pattern, e.At(1));
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kDelete).pattern, e.At(3));
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kCustom, "PURGE").pattern, e.At(2));
  EXPECT_FALSE(e.Route("/ignored", HttpMethod::kCustom, "PURGEALL"));
  EXPECT_FALSE(e.Route("/ignored", HttpMethod::kPut));
  e.Add("/ignored");  // any method
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kPut).pattern, e.At(4));
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kNone).pattern, e.At(4));
}

TEST(NameRule, EndpointNamesAndTypePrefix) {
  EXPECT_EQ(Str(FunctionName(HttpMethod::kPost, "/kiv-game-client-chat/v1/instant-messages")),
            "PostKivGameClientChatV1InstantMessages");
  EXPECT_EQ(Str(FunctionName(HttpMethod::kDelete, "/kiv-game-client-chat/v1/ignored-summoners")),
            "DeleteKivGameClientChatV1IgnoredSummoners");
  EXPECT_EQ(Str(FunctionName(HttpMethod::kGet, "/kiv-chat/v1/friends/{id}")), "GetKivChatV1FriendsById");
  EXPECT_EQ(Str(TypePrefix("kiv-game-client-chat")), "KivGameClientChat");
  EXPECT_EQ(Str(NameRule("post", "/a")), "PostA");
  EXPECT_EQ(Str(NameRule("", "/a/{id}x_y.z!w+v")), "AByIdxYZWV");  // "}" leaves the flag alone
  EXPECT_EQ(Str(NameRule("", "\xe9t\xc9")), "\xe9t\xc9");          // no casing outside ASCII
  EXPECT_EQ(Str(FunctionName(HttpMethod::kCustom, "/x")), "X");
}

}  // namespace
}  // namespace kiv
