// URL decoding, pattern compilation, matching and routing on arbitrary bytes.
// Input: pattern text, a line feed, then the request URL (which may itself
// hold line feeds). Small inputs are also checked against the standard
// library's expression matcher: the pattern matcher must accept the same paths
// and produce the same captures as the expression it stands for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "http/name_rule.h"
#include "http/url.h"
#include "http/url_pattern.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CompareWithExpression(const kiv::url::PathPattern& pattern, std::string_view path,
                           const kiv::url::PathArguments& got, bool matched) {
  // The standard matcher backtracks (time grows with the path length raised
  // to the number of captures) and recurses per character: keep it small.
  if (pattern.IsLiteral() || pattern.Placeholders().size() > 3 || path.size() > 64) return;
  std::regex expression;
  try {
    expression.assign(std::string(pattern.Expression()), std::regex::ECMAScript | std::regex::optimize);
  } catch (const std::regex_error&) {
    std::abort();  // every generated expression must be valid
  }
  std::match_results<std::string_view::const_iterator> groups;
  const bool expected = std::regex_match(path.begin(), path.end(), groups, expression);
  Check(matched == expected);
  if (!expected) return;
  kiv::url::PathArguments want;
  for (std::size_t i = 1; i < groups.size(); ++i) {
    want.Set(pattern.Placeholders()[i - 1].name, kiv::url::DecodeComponent(groups[i].str()));
  }
  Check(got == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\n');
  const std::string_view patternText = cut == std::string_view::npos ? input : input.substr(0, cut);
  const std::string_view url = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

  const kiv::String decoded = kiv::url::DecodeComponent(url);
  Check(decoded.size() <= url.size());

  const kiv::url::PathPattern pattern = kiv::url::PathPattern::Compile(patternText);
  Check(pattern.Valid());
  const std::string_view path = kiv::url::SplitUrl(url).path;
  kiv::url::PathArguments arguments;
  const bool matched = pattern.Match(path, &arguments);
  if (pattern.IsLiteral()) Check(matched == (path == patternText));
  if (!matched) Check(arguments.empty());
  CompareWithExpression(pattern, path, arguments, matched);

  // The router over the pattern and a literal of the path itself: the literal
  // always matches, so something is always chosen, and it carries no more
  // argument bytes than the pattern's own match.
  const kiv::url::PathPattern exact = kiv::url::PathPattern::Compile(path);
  const kiv::url::PathPattern* list[] = {&pattern, &exact};
  const kiv::url::RouteMatch route = kiv::url::ChooseRoute(list, kiv::HttpMethod::kGet, "", url);
  if (path.find('{') == std::string_view::npos) {
    Check(route.pattern != nullptr);
    Check(route.arguments.ValueBytes() <= (matched ? arguments.ValueBytes() : 0));
  }

  (void)kiv::NameRule(patternText.substr(0, 8), path);
  return 0;
}
