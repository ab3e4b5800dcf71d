// HTTP method numbers, URL decoding and splitting, endpoint path patterns,
// the router and the name rule. The url fuzz program checks the matcher
// against the expression each pattern stands for.
#include "http/url.h"

#include <gtest/gtest.h>

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

TEST(HttpMethod, HostNumbersOutsideTheTableMapToNothing) {
  EXPECT_EQ(MethodName(0xFFFFFFFFu), "");
  EXPECT_EQ(MethodName(8), "");
  EXPECT_EQ(MethodFromHost(8), HttpMethod::kCustom);
  EXPECT_EQ(MethodFromHost(9), HttpMethod::kNone);
  EXPECT_EQ(MethodToHost(static_cast<HttpMethod>(42)), 0u);
  EXPECT_EQ(MethodToHost(MethodFromName("PUT")), 7u);
  EXPECT_EQ(MethodFromName("get"), HttpMethod::kCustom);  // names compare exactly
  EXPECT_EQ(MethodFromName(""), HttpMethod::kNone);
}

TEST(Url, DecodeSplitAndNormalise) {
  EXPECT_EQ(Str(url::DecodeComponent("a+b%41%4a")), "a bAJ");
  EXPECT_EQ(Str(url::DecodeComponent("100%|%4|%zz%4g|%%41")), "100|4|zz4g|A");  // no invented bytes
  EXPECT_EQ(url::DecodeComponent("%00%fF"), String("\0\xff", 2));
  EXPECT_EQ(Str(url::DecodeComponent(std::string_view("ab%41").substr(0, 4))), "ab4");  // not past the text
  auto parts = url::SplitUrl("/a/b?x=1&y=%20?z");
  EXPECT_EQ(parts.path, "/a/b");
  EXPECT_EQ(parts.query, "x=1&y=%20?z");
  parts = url::SplitUrl("/a?");
  EXPECT_TRUE(parts.hasQuery && parts.query.empty());
  EXPECT_FALSE(url::SplitUrl("/a").hasQuery);
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/a/b/")), "/a/b");  // one trailing slash goes
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/a//")), "/a/");
  EXPECT_EQ(Str(url::NormalizeEndpointPath("/")), "/");
}

TEST(PathPattern, ExpressionsPlaceholdersAndStrayBraces) {
  const PathPattern friends = PathPattern::Compile("/kiv-chat/v1/friends/{id}");
  EXPECT_FALSE(friends.IsLiteral());
  EXPECT_EQ(friends.Expression(), "/kiv-chat/v1/friends/([^/]*)");
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

  PathArguments args;
  EXPECT_TRUE(PathPattern::Compile("/a}/{x}").Match("/a}/v", &args));
  EXPECT_EQ(Get(args, "x"), "v");
  const PathPattern open = PathPattern::Compile("/a/{x");
  EXPECT_TRUE(open.Placeholders().empty());
  EXPECT_TRUE(open.Match("/a/{x", &args));
  EXPECT_TRUE(args.empty());
  EXPECT_FALSE(open.Match("/a/", &args));
}

TEST(PathPattern, CapturesAreDecoded) {
  PathArguments args;
  const PathPattern simple = PathPattern::Compile("/a/{x}");
  ASSERT_TRUE(simple.Match("/a/", &args));
  EXPECT_EQ(Get(args, "x"), "");
  ASSERT_TRUE(simple.Match("/a/b%20c+d", &args));
  EXPECT_EQ(Get(args, "x"), "b c d");
  EXPECT_FALSE(simple.Match("/a/b/c", &args));
  EXPECT_TRUE(args.empty());  // a failed match leaves nothing behind
  ASSERT_TRUE(PathPattern::Compile("/{x}/{x}").Match("/1/2", &args));
  EXPECT_EQ(Get(args, "x"), "2");  // a repeated name keeps the last capture
  ASSERT_TRUE(PathPattern::Compile("/p{#frag}").Match("/p#a%2Fb", &args));
  EXPECT_EQ(Get(args, "frag"), "a/b");
}

TEST(PathPattern, MebibytePathsNeedNoDeepStack) {
  std::string big(std::size_t{1} << 20, 'a');
  PathArguments args;
  ASSERT_TRUE(PathPattern::Compile("/files/{+rest}").Match("/files/" + big, &args));
  EXPECT_EQ(Get(args, "rest").size(), big.size());
  std::string slashes;
  for (std::size_t i = 0; i < (std::size_t{1} << 19); ++i) slashes += "a/";
  ASSERT_TRUE(PathPattern::Compile("/{a}/{+b}/{c}").Match("/x/" + slashes + "/z", &args));
  EXPECT_EQ(Get(args, "b").size(), slashes.size());
  EXPECT_EQ(Get(args, "c"), "z");
  // Many competing split points and no match at all.
  EXPECT_FALSE(PathPattern::Compile("{+a}x{+b}x{+c}y").Match(std::string(1 << 20, 'x'), &args));
}

// Functions registered on one endpoint, for the router.
struct Endpoint {
  Vector<PathPattern> patterns;
  Endpoint& Add(const char* text, HttpMethod method = HttpMethod::kAny, const char* methodText = "") {
    patterns.push_back(PathPattern::Compile(text));
    patterns.back().target.method = method;
    patterns.back().target.methodText = methodText;
    return *this;
  }
  url::RouteMatch Route(const char* u, HttpMethod m = HttpMethod::kGet, const char* text = "") const {
    return url::ChooseRoute(std::span<const PathPattern>(patterns.data(), patterns.size()), m, text, u);
  }
  const PathPattern* At(std::size_t i) const { return &patterns[i]; }
};

TEST(Router, LiteralsWinThenShortestArgumentsThenTheEarlier) {
  Endpoint e;
  e.Add("/a/{x}").Add("/a/b").Add("/a/{+y}");
  auto m = e.Route("/a/b");
  EXPECT_EQ(m.pattern, e.At(1));
  EXPECT_TRUE(m.arguments.empty());
  m = e.Route("/a/c");  // x and y both hold "c": the earlier stays
  EXPECT_EQ(m.pattern, e.At(0));
  EXPECT_EQ(Get(m.arguments, "x"), "c");
  Endpoint shorter;
  shorter.Add("/a/{+y}").Add("/a/{x}/{z}");
  EXPECT_EQ(shorter.Route("/a/b/c").pattern, shorter.At(1));  // 2 bytes beat 3
  EXPECT_FALSE(e.Route("/b"));
  const PathPattern* list[] = {nullptr, e.At(1)};
  EXPECT_EQ(url::ChooseRoute(list, HttpMethod::kGet, "", "/a/b").pattern, e.At(1));
  // The query is not part of the path.
  Endpoint rest;
  rest.Add("/a/{+x}");
  m = rest.Route("/a/b?c=d/e");
  EXPECT_EQ(Get(m.arguments, "x"), "b");
}

TEST(Router, MethodSeparatesFunctionsOnOnePath) {
  Endpoint e;
  e.Add("/ignored", HttpMethod::kGet).Add("/ignored", HttpMethod::kPost).Add("/ignored", HttpMethod::kCustom, "PURGE");
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kPost).pattern, e.At(1));
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kCustom, "PURGE").pattern, e.At(2));
  EXPECT_FALSE(e.Route("/ignored", HttpMethod::kCustom, "PURGEALL"));
  EXPECT_FALSE(e.Route("/ignored", HttpMethod::kPut));
  e.Add("/ignored");  // any method
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kPut).pattern, e.At(3));
  EXPECT_EQ(e.Route("/ignored", HttpMethod::kNone).pattern, e.At(3));
}

TEST(NameRule, EndpointNamesAndTypePrefix) {
  EXPECT_EQ(Str(FunctionName(HttpMethod::kPost, "/kiv-game-client-chat/v1/instant-messages")),
            "PostKivGameClientChatV1InstantMessages");
  EXPECT_EQ(Str(FunctionName(HttpMethod::kGet, "/kiv-chat/v1/friends/{id}")), "GetKivChatV1FriendsById");
  EXPECT_EQ(Str(TypePrefix("kiv-game-client-chat")), "KivGameClientChat");
  EXPECT_EQ(Str(NameRule("post", "/a")), "PostA");
  EXPECT_EQ(Str(NameRule("", "/a/{id}x_y.z!w+v")), "AByIdxYZWV");  // "}" leaves the flag alone
  EXPECT_EQ(Str(NameRule("", "\xe9t\xc9")), "\xe9t\xc9");          // no casing outside ASCII
  EXPECT_EQ(Str(FunctionName(HttpMethod::kCustom, "/x")), "X");
}

}  // namespace
}  // namespace kiv
