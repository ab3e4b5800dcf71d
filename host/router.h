// The host's router over endpoint path patterns.
//
// Patterns are literal paths or templates with placeholders: {name} takes one
// path segment (possibly empty, never a "/"), {+name} takes the rest of the
// path including "/", {#name} takes a "#" and everything after it. A literal
// match always wins; among template matches the one whose captures are
// shortest in total wins, and on a tie the route added first.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivhost {

// HTTP method numbers as the boundary header numbers them.
uint32_t MethodNumber(const std::string& name);  // 8 for any other non-empty text, 0 for ""
const char* MethodName(uint32_t number);         // "" for 0, 8 and unknown numbers

class PathPattern {
 public:
  // Where each placeholder's capture lies in the path: offset and length.
  using Spans = std::vector<std::pair<size_t, size_t>>;

  explicit PathPattern(std::string pattern);

  // Matches a path (no query); fills the decoded captures by placeholder name.
  bool Match(const std::string& path, std::map<std::string, std::string>* captures, size_t* captured) const;
  // The same match without decoding anything: `spans` is overwritten, one per
  // placeholder, and `captured` is their total length.
  bool MatchSpans(std::string_view path, Spans* spans, size_t* captured) const;
  // The decoded captures of a match MatchSpans found in `path`.
  void Decode(std::string_view path, const Spans& spans, std::map<std::string, std::string>* captures) const;
  bool literal() const { return literal_; }
  const std::string& text() const { return text_; }

 private:
  struct Piece {
    int kind;  // 0 literal text, 1 one segment, 2 rest, 3 fragment
    std::string text;
  };
  bool MatchFrom(size_t part, std::string_view path, size_t pos, Spans* spans) const;

  std::string text_;
  bool literal_ = true;
  std::vector<Piece> parts_;
};

template <typename Target>
class Router {
 public:
  struct Route {
    PathPattern pattern;
    uint32_t method;  // 0 any
    std::string methodText;
    Target target;
  };
  struct Match {
    const Route* route = nullptr;
    std::map<std::string, std::string> captures;
    bool methodMismatch = false;  // some pattern matched the path but not the method
    std::vector<std::string> allowed;
  };

  void Add(const std::string& pattern, uint32_t method, const std::string& methodText, Target target) {
    routes_.push_back(Route{PathPattern(pattern), method, methodText, std::move(target)});
  }

  // `url` may carry a query; only the path before it is compared.
  Match Find(uint32_t method, const std::string& methodText, const std::string& url) const {
    const std::string_view path = std::string_view(url).substr(0, url.find('?'));
    Match best;
    size_t bestLength = 0;
    // Captures are decoded for the winner only; losing templates cost a scan.
    PathPattern::Spans spans, bestSpans;
    for (const Route& route : routes_) {
      size_t length = 0;
      if (!route.pattern.MatchSpans(path, &spans, &length)) continue;
      const bool methodOk =
          route.method == 0 || (route.method == method && (method != 8 || route.methodText == methodText));
      if (!methodOk) {
        best.methodMismatch = true;
        const char* name = route.method == 8 ? route.methodText.c_str() : MethodName(route.method);
        best.allowed.emplace_back(name);
        continue;
      }
      const bool literal = route.pattern.literal();
      if (best.route != nullptr) {
        const bool bestLiteral = best.route->pattern.literal();
        if (bestLiteral) break;
        if (!literal && length >= bestLength) continue;
      }
      best.route = &route;
      std::swap(bestSpans, spans);
      bestLength = length;
      if (literal) break;
    }
    if (best.route != nullptr) best.route->pattern.Decode(path, bestSpans, &best.captures);
    return best;
  }

  const std::vector<Route>& routes() const { return routes_; }
  void Clear() { routes_.clear(); }

  static std::string StripQuery(const std::string& url) {
    const size_t cut = url.find('?');
    return cut == std::string::npos ? url : url.substr(0, cut);
  }

 private:
  std::vector<Route> routes_;
};

// Percent-decoding of one URL component ("+" is a space).
std::string DecodeUrlComponent(const std::string& text);

// Splits a query ("a=1&b=2", without "?") into decoded pairs; a name given
// twice keeps the last value.
std::map<std::string, std::string> ParseQuery(const std::string& query);

}  // namespace kivhost
