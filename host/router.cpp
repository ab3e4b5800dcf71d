#include "router.h"

#include <cstring>

namespace kivhost {

namespace {
const char* const kMethodNames[] = {"", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

uint32_t MethodNumber(const std::string& name) {
  if (name.empty()) return 0;
  for (uint32_t i = 1; i < 8; ++i) {
    if (name == kMethodNames[i]) return i;
  }
  return 8;
}

const char* MethodName(uint32_t number) { return number < 8 ? kMethodNames[number] : ""; }

PathPattern::PathPattern(std::string pattern) : text_(std::move(pattern)) {
  std::string literal;
  size_t i = 0;
  while (i < text_.size()) {
    const char c = text_[i];
    if (c == '{') {
      const size_t close = text_.find('}', i + 1);
      if (close != std::string::npos) {
        if (!literal.empty()) parts_.push_back(Piece{0, std::move(literal)});
        literal.clear();
        std::string name = text_.substr(i + 1, close - i - 1);
        int kind = 1;
        if (!name.empty() && name[0] == '+') {
          kind = 2;
          name.erase(0, 1);
        } else if (!name.empty() && name[0] == '#') {
          kind = 3;
          name.erase(0, 1);
        }
        parts_.push_back(Piece{kind, std::move(name)});
        literal_ = false;
        i = close + 1;
        continue;
      }
    }
    literal += c;
    ++i;
  }
  if (!literal.empty()) parts_.push_back(Piece{0, std::move(literal)});
}

bool PathPattern::MatchFrom(size_t part, std::string_view path, size_t pos, Spans* spans) const {
  if (part == parts_.size()) return pos == path.size();
  const Piece& p = parts_[part];
  switch (p.kind) {
    case 0:
      if (path.compare(pos, p.text.size(), p.text) != 0) return false;
      return MatchFrom(part + 1, path, pos + p.text.size(), spans);
    case 1: {
      size_t end = path.find('/', pos);
      if (end == std::string_view::npos) end = path.size();
      // Longest first, as a greedy expression would take it.
      for (size_t stop = end + 1; stop-- > pos;) {
        spans->push_back({pos, stop - pos});
        if (MatchFrom(part + 1, path, stop, spans)) return true;
        spans->pop_back();
      }
      return false;
    }
    case 3:
      if (pos >= path.size() || path[pos] != '#') return false;
      ++pos;
      [[fallthrough]];
    default:
      for (size_t stop = path.size() + 1; stop-- > pos;) {
        spans->push_back({pos, stop - pos});
        if (MatchFrom(part + 1, path, stop, spans)) return true;
        spans->pop_back();
      }
      return false;
  }
}

bool PathPattern::MatchSpans(std::string_view path, Spans* spans, size_t* captured) const {
  *captured = 0;
  spans->clear();
  if (literal_) return path == text_;
  if (!MatchFrom(0, path, 0, spans)) return false;
  for (const auto& span : *spans) *captured += span.second;
  return true;
}

void PathPattern::Decode(std::string_view path, const Spans& spans,
                         std::map<std::string, std::string>* captures) const {
  size_t index = 0;
  for (const Piece& p : parts_) {
    if (p.kind == 0 || index >= spans.size()) continue;
    const auto& span = spans[index++];
    (*captures)[p.text] = DecodeUrlComponent(std::string(path.substr(span.first, span.second)));
  }
}

bool PathPattern::Match(const std::string& path, std::map<std::string, std::string>* captures, size_t* captured) const {
  Spans spans;
  if (!MatchSpans(path, &spans, captured)) return false;
  Decode(path, spans, captures);
  return true;
}

std::string DecodeUrlComponent(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::map<std::string, std::string> ParseQuery(const std::string& query) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string piece = query.substr(start, end - start);
    if (!piece.empty()) {
      const size_t eq = piece.find('=');
      if (eq == std::string::npos) {
        out[DecodeUrlComponent(piece)] = "";
      } else {
        out[DecodeUrlComponent(piece.substr(0, eq))] = DecodeUrlComponent(piece.substr(eq + 1));
      }
    }
    start = end + 1;
  }
  return out;
}

}  // namespace kivhost
