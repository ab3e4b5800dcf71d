#include "http/url_pattern.h"

#include <cstdint>
#include <cstring>

#include "http/url.h"

// Why templates are matched here and not by std::regex: the standard library's
// matcher recurses once per input character for expressions such as "(.*)", so
// a long request path (the host hands over whatever URL the client sent)
// exhausts the stack. The pattern syntax only ever produces literal bytes and
// two kinds of capture, so a dedicated matcher can reproduce the expression's
// answers exactly (same acceptance, same greedy captures) in time and memory
// linear in the path, without recursion and without exceptions. Expression()
// still yields the equivalent expression text, against which the fuzz target
// checks the matcher.

namespace kiv::url {
namespace {

// Characters that would mean something in the expression outside a capture.
// The braces are added because a stray "}" or an unclosed "{" is kept as an
// ordinary character here.
bool NeedsEscape(char c) { return std::string_view("^$.*+?()[]|\\{}").find(c) != std::string_view::npos; }

// A segment capture ends at "/"; a rest capture behaves as ".", which does not
// accept the ECMAScript line terminators.
bool Stops(char c, bool segment) { return segment ? c == '/' : (c == '\n' || c == '\r'); }

// One bit per path position (0..N), for one piece of the pattern.
class BitRows {
 public:
  void Init(std::size_t rows, std::size_t positions) {
    words_ = (positions + 63) / 64;
    bits_.assign(rows * words_, 0);
  }
  void Set(std::size_t row, std::size_t pos) { bits_[row * words_ + pos / 64] |= uint64_t{1} << (pos % 64); }
  bool Get(std::size_t row, std::size_t pos) const { return (bits_[row * words_ + pos / 64] >> (pos % 64)) & 1u; }

 private:
  std::size_t words_ = 0;
  Vector<uint64_t> bits_;
};

}  // namespace

void PathArguments::Set(std::string_view name, String value) {
  // The first insertion sizes the table for a typical endpoint's arguments;
  // an empty table never allocates, so failure paths stay allocation-free.
  if (empty() && bucket_count() < 8) rehash(8);
  auto it = find(name);
  if (it != end()) {
    it->second = std::move(value);
  } else {
    emplace(ToString(name), std::move(value));
  }
}

const String* PathArguments::Find(std::string_view name) const {
  auto it = find(name);
  return it == end() ? nullptr : &it->second;
}

std::size_t PathArguments::ValueBytes() const noexcept {
  std::size_t total = 0;
  for (const auto& entry : *this) total += entry.second.size();
  return total;
}

void PathPattern::AppendText(char c) {
  if (NeedsEscape(c)) expression_.push_back('\\');
  expression_.push_back(c);
  if (pieces_.empty() || pieces_.back().kind != PieceKind::kText) {
    pieces_.push_back(Piece{PieceKind::kText, static_cast<uint32_t>(text_.size()), 0});
  }
  text_.push_back(c);
  ++pieces_.back().length;
}

void PathPattern::AppendCapture(PlaceholderKind kind, const String& name) {
  switch (kind) {
    case PlaceholderKind::kSimple:
      expression_.append("([^/]*)");
      pieces_.push_back(Piece{PieceKind::kSegment, 0, 0});
      break;
    case PlaceholderKind::kFragment:
      AppendText('#');
      [[fallthrough]];
    case PlaceholderKind::kReserved:
      expression_.append("(.*)");
      pieces_.push_back(Piece{PieceKind::kRest, 0, 0});
      break;
    case PlaceholderKind::kNone:
      return;
  }
  placeholders_.push_back(Placeholder{kind, name});
}

void PathPattern::Finish() {
  // Prefix function of each literal piece, so that finding all of its
  // occurrences in a path costs one pass whatever the bytes are.
  failure_.assign(text_.size(), 0);
  for (const Piece& piece : pieces_) {
    if (piece.kind != PieceKind::kText) continue;
    const char* s = text_.data() + piece.offset;
    uint32_t* f = failure_.data() + piece.offset;
    uint32_t k = 0;
    for (uint32_t i = 1; i < piece.length; ++i) {
      while (k > 0 && s[i] != s[k]) k = f[k - 1];
      if (s[i] == s[k]) ++k;
      f[i] = k;
    }
  }
}

PathPattern PathPattern::Compile(std::string_view pattern) noexcept {
  PathPattern result;
  try {
    result.source_ = ToString(pattern);
    if (pattern.find('{') == std::string_view::npos) {
      result.literal_ = true;
      result.valid_ = true;
      return result;
    }
    result.expression_.reserve(pattern.size() + 8);
    PlaceholderKind state = PlaceholderKind::kNone;
    String name;
    std::size_t openedAt = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      const char c = pattern[i];
      if (c == '{') {
        if (state == PlaceholderKind::kNone) openedAt = i;
        state = PlaceholderKind::kSimple;  // the name read so far is kept
      } else if (c == '}') {
        if (state == PlaceholderKind::kNone) {
          // A "}" that closes nothing stays an ordinary character; dropping it
          // would make the pattern accept a path other than the one written.
          result.AppendText(c);
        } else {
          result.AppendCapture(state, name);
          name.clear();
          state = PlaceholderKind::kNone;
        }
      } else if (state != PlaceholderKind::kNone) {
        if (state == PlaceholderKind::kSimple && name.empty() && c == '+') {
          state = PlaceholderKind::kReserved;
        } else if (state == PlaceholderKind::kSimple && name.empty() && c == '#') {
          state = PlaceholderKind::kFragment;
        } else {
          name.push_back(c);
        }
      } else {
        result.AppendText(c);
      }
    }
    if (state != PlaceholderKind::kNone) {
      // An unclosed "{" is text too, for the same reason as a stray "}".
      for (std::size_t i = openedAt; i < pattern.size(); ++i) result.AppendText(pattern[i]);
    }
    result.Finish();
    result.valid_ = true;
  } catch (...) {
    result = PathPattern();
  }
  return result;
}

bool PathPattern::Match(std::string_view path, PathArguments* arguments) const noexcept {
  try {
    if (arguments != nullptr) arguments->clear();
    if (!valid_) return false;
    if (literal_) return path == std::string_view(source_);
    Vector<std::string_view> captures;
    if (!MatchPieces(path, &captures)) return false;
    if (arguments != nullptr) {
      String decoded;
      for (std::size_t i = 0; i < captures.size() && i < placeholders_.size(); ++i) {
        DecodeComponentInto(captures[i], &decoded);
        arguments->Set(placeholders_[i].name, std::move(decoded));
      }
    }
    return true;
  } catch (...) {
    if (arguments != nullptr) arguments->clear();
    return false;
  }
}

bool PathPattern::MatchPieces(std::string_view path, Vector<std::string_view>* captures) const {
  const std::size_t n = path.size();
  std::size_t textBytes = 0;
  for (const Piece& piece : pieces_) {
    if (piece.kind == PieceKind::kText) textBytes += piece.length;
  }
  if (textBytes > n) return false;
  // The fixed ends reject most candidates of an endpoint before any work.
  if (!pieces_.empty() && pieces_.front().kind == PieceKind::kText) {
    const Piece& p = pieces_.front();
    if (std::memcmp(path.data(), text_.data() + p.offset, p.length) != 0) return false;
  }
  if (!pieces_.empty() && pieces_.back().kind == PieceKind::kText) {
    const Piece& p = pieces_.back();
    if (std::memcmp(path.data() + n - p.length, text_.data() + p.offset, p.length) != 0) return false;
  }
  if (placeholders_.empty()) return textBytes == n;
  if (placeholders_.size() == 1) return MatchOneCapture(path, captures);
  return MatchGeneral(path, captures);
}

bool PathPattern::MatchOneCapture(std::string_view path, Vector<std::string_view>* captures) const {
  // Text? capture Text?: the ends are fixed (and already compared), so the
  // capture is whatever lies between them.
  std::size_t head = 0, tail = 0;
  bool segment = false;
  bool seenCapture = false;
  for (const Piece& piece : pieces_) {
    if (piece.kind == PieceKind::kText) {
      (seenCapture ? tail : head) += piece.length;
    } else {
      segment = piece.kind == PieceKind::kSegment;
      seenCapture = true;
    }
  }
  const std::string_view middle = path.substr(head, path.size() - head - tail);
  for (char c : middle) {
    if (Stops(c, segment)) return false;
  }
  captures->push_back(middle);
  return true;
}

bool PathPattern::MatchGeneral(std::string_view path, Vector<std::string_view>* captures) const {
  const std::size_t n = path.size();
  const std::size_t count = pieces_.size();
  // reach row t, position p: pieces t.. can match exactly path[p..n).
  BitRows reach;
  reach.Init(count + 1, n + 1);
  reach.Set(count, n);
  for (std::size_t t = count; t-- > 0;) {
    const Piece& piece = pieces_[t];
    if (piece.kind == PieceKind::kText) {
      // Every occurrence of the piece that is followed by a matching rest.
      const char* s = text_.data() + piece.offset;
      const uint32_t* f = failure_.data() + piece.offset;
      const std::size_t len = piece.length;
      std::size_t k = 0;
      for (std::size_t i = 0; i < n; ++i) {
        while (k > 0 && path[i] != s[k]) k = f[k - 1];
        if (path[i] == s[k]) ++k;
        if (k == len) {
          const std::size_t start = i + 1 - len;
          if (reach.Get(t + 1, i + 1)) reach.Set(t, start);
          k = f[k - 1];
        }
      }
    } else {
      // A capture from p can end at any e from p up to the first stop at or
      // after p; p is reachable when the nearest reachable e is within that.
      const bool segment = piece.kind == PieceKind::kSegment;
      std::size_t boundary = n;
      std::size_t nearest = SIZE_MAX;
      for (std::size_t p = n + 1; p-- > 0;) {
        if (p < n && Stops(path[p], segment)) boundary = p;
        if (reach.Get(t + 1, p)) nearest = p;
        if (nearest <= boundary) reach.Set(t, p);
      }
    }
  }
  if (!reach.Get(0, 0)) return false;
  captures->reserve(placeholders_.size());
  // Each capture takes the longest extent that leaves a matchable rest, which
  // is the extent a backtracking matcher would settle on first.
  std::size_t pos = 0;
  for (std::size_t t = 0; t < count; ++t) {
    const Piece& piece = pieces_[t];
    if (piece.kind == PieceKind::kText) {
      pos += piece.length;
      continue;
    }
    const bool segment = piece.kind == PieceKind::kSegment;
    std::size_t end = pos;
    while (end < n && !Stops(path[end], segment)) ++end;
    while (!reach.Get(t + 1, end)) --end;
    captures->push_back(path.substr(pos, end - pos));
    pos = end;
  }
  return true;
}

namespace {

bool Accepts(const RouteTarget& target, HttpMethod method, std::string_view methodText) {
  if (target.method == HttpMethod::kAny) return true;
  if (target.method != method) return false;
  return method != HttpMethod::kCustom || std::string_view(target.methodText) == methodText;
}

template <typename At>
RouteMatch Choose(std::size_t count, At at, HttpMethod method, std::string_view methodText, std::string_view url) {
  // Only the path takes part: a query would stop every literal pattern from
  // matching and would leak into the last capture of a template.
  const std::string_view path = SplitUrl(url).path;
  RouteMatch chosen;
  std::size_t chosenBytes = 0;
  PathArguments candidate;
  for (std::size_t i = 0; i < count; ++i) {
    const PathPattern* pattern = at(i);
    if (pattern == nullptr || !Accepts(pattern->target, method, methodText)) continue;
    if (pattern->IsLiteral()) {
      // No captures, so nothing to decode or measure: it wins unless an
      // earlier pattern matched with captures as short (all empty).
      if (!pattern->Valid() || path != pattern->LiteralPath()) continue;
      if (chosen.pattern == nullptr || chosenBytes > 0) {
        chosen.pattern = pattern;
        chosen.arguments.clear();
        break;
      }
      continue;
    }
    if (!pattern->Match(path, &candidate)) continue;
    const std::size_t bytes = candidate.ValueBytes();
    if (chosen.pattern == nullptr || bytes < chosenBytes) {
      chosen.pattern = pattern;
      chosen.arguments.swap(candidate);
      chosenBytes = bytes;
    }
    if (chosen.arguments.empty()) break;
  }
  return chosen;
}

}  // namespace

RouteMatch ChooseRoute(std::span<const PathPattern* const> patterns, HttpMethod method, std::string_view methodText,
                       std::string_view url) noexcept {
  return Choose(
      patterns.size(), [&](std::size_t i) { return patterns[i]; }, method, methodText, url);
}

RouteMatch ChooseRoute(std::span<const PathPattern> patterns, HttpMethod method, std::string_view methodText,
                       std::string_view url) noexcept {
  return Choose(
      patterns.size(), [&](std::size_t i) { return &patterns[i]; }, method, methodText, url);
}

}  // namespace kiv::url
