// Endpoint path patterns: compiling a pattern text, matching a request path
// against it with decoded captures, and the router that picks one pattern of
// an endpoint for a request.
//
// Pattern syntax: a pattern without "{" is a literal path ("*" included, which
// is then an ordinary character). Otherwise "{name}" captures one segment (no
// "/"), "{+name}" captures the rest including "/", "{#name}" expects "#" and
// captures what follows. Captures behave as the ECMAScript expression that
// Expression() shows would: each capture takes the longest text that still
// lets the rest of the path match, and the "rest" forms stop at a line feed
// or carriage return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "http/http.h"
#include "logging/memory.h"

namespace kiv::url {

enum class PlaceholderKind : uint32_t { kNone = 0, kSimple = 1, kReserved = 2, kFragment = 3 };

struct Placeholder {
  PlaceholderKind kind = PlaceholderKind::kNone;
  String name;
};

// Argument name -> decoded value: the captures of a path, and the decoded
// query arguments that dispatch adds.
class PathArguments : public HashMap<String, String, StringHash, std::equal_to<>> {
 public:
  // A name given twice keeps the last value.
  void Set(std::string_view name, String value);
  const String* Find(std::string_view name) const;
  // Sum of the byte lengths of all values (the router's tie measure).
  std::size_t ValueBytes() const noexcept;
};

// What the function registry attaches to a compiled pattern: who owns the
// endpoint, which function serves it (both opaque here; the registry knows
// their types), and the function's method, which the router checks.
struct RouteTarget {
  const void* owner = nullptr;
  const void* function = nullptr;
  HttpMethod method = HttpMethod::kAny;
  String methodText;  // compared only when method is kCustom
};

class PathPattern {
 public:
  // Never fails for any text; only running out of memory leaves an invalid
  // pattern (Valid() false), which matches nothing.
  static PathPattern Compile(std::string_view pattern) noexcept;

  PathPattern() = default;

  bool Valid() const noexcept { return valid_; }
  bool IsLiteral() const noexcept { return literal_; }
  std::string_view Source() const noexcept { return source_; }
  // The pattern when it is literal, else empty.
  std::string_view LiteralPath() const noexcept { return literal_ ? std::string_view(source_) : std::string_view(); }
  // The equivalent ECMAScript expression of a template (empty for a literal).
  std::string_view Expression() const noexcept { return expression_; }
  // One per capture, in order of appearance.
  const Vector<Placeholder>& Placeholders() const noexcept { return placeholders_; }

  // True when the whole path matches. `path` is a path without its query (the
  // router strips it). *arguments (may be null) is emptied, then receives each
  // capture, URL-decoded, under its placeholder's name. Paths of any length are
  // matched without recursion; an allocation failure counts as no match.
  bool Match(std::string_view path, PathArguments* arguments) const noexcept;

  RouteTarget target;

 private:
  enum class PieceKind : uint8_t { kText, kSegment, kRest };
  struct Piece {
    PieceKind kind;
    uint32_t offset;  // kText: into text_ and failure_
    uint32_t length;
  };

  void AppendText(char c);
  void AppendCapture(PlaceholderKind kind, const String& name);
  void Finish();
  bool MatchPieces(std::string_view path, Vector<std::string_view>* captures) const;
  bool MatchOneCapture(std::string_view path, Vector<std::string_view>* captures) const;
  bool MatchGeneral(std::string_view path, Vector<std::string_view>* captures) const;

  String source_;
  String expression_;
  Vector<Placeholder> placeholders_;
  Vector<Piece> pieces_;
  String text_;               // the literal bytes of all kText pieces
  Vector<uint32_t> failure_;  // per kText piece: prefix function over its bytes
  bool literal_ = false;
  bool valid_ = false;
};

// The router's answer. `pattern` is null when no pattern accepts the request
// (dispatch answers 404 "Invalid function").
struct [[nodiscard]] RouteMatch {
  const PathPattern* pattern = nullptr;
  PathArguments arguments;
  explicit operator bool() const noexcept { return pattern != nullptr; }
};

// Picks the pattern for a request, in list order: it must match the path and
// its target must accept the method (kAny, or the same number and, for
// kCustom, the same text). Among several, the one whose argument values are
// shortest in total wins, the earlier on a tie; a match without arguments ends
// the search. `url` may carry a query: only the text before the first "?" is
// matched. Null entries are skipped.
RouteMatch ChooseRoute(std::span<const PathPattern* const> patterns, HttpMethod method, std::string_view methodText,
                       std::string_view url) noexcept;
RouteMatch ChooseRoute(std::span<const PathPattern> patterns, HttpMethod method, std::string_view methodText,
                       std::string_view url) noexcept;

}  // namespace kiv::url
