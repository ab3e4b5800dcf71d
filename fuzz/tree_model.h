// What a reader should build, computed apart from it: a plain tree of
// standard containers filled from another parser's view of the same input,
// under the readers' mapping rules, and compared with the Value they built.
//
// The rules the model keeps on its own: texts and member names end at their
// first zero byte; a null (nil) leaves its place as it was (Empty when new);
// a name that repeats in one object is one member, where a later scalar
// replaces, a later object merges into an earlier object, a later array
// appends to an earlier array and a container of the other shape replaces;
// members are listed in byte order of their names.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "value/value.h"

namespace fuzz_model {

using kiv::binding::Value;
using kiv::binding::ValueKind;

struct Node {
  ValueKind kind = ValueKind::Empty;
  bool b = false;
  int64_t i = 0;
  uint64_t u = 0;
  double f = 0.0;
  std::string bytes;  // a String's text or a Blob's bytes
  std::vector<Node> elements;
  std::map<std::string, Node> members;  // std::string orders bytes as unsigned

  void Become(ValueKind k) {
    *this = Node();
    kind = k;
  }
};

inline std::string CutAtZero(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

// Builds the model from a stream of value events, as the readers do. The
// caller opens a container where the next value goes and closes it again.
class Builder {
 public:
  Node& Root() { return root_; }
  std::size_t Depth() const { return open_.size(); }
  std::size_t Deepest() const { return deepest_; }
  // Whether a repeated name opened an object that already held members:
  // the only case in which a reader may refuse a document for its size.
  bool Reopened() const { return reopened_; }

  // The place of the next value: a new element of an open array, otherwise
  // the member the last name chose (or the root).
  Node& Place() {
    if (!open_.empty() && open_.back()->kind == ValueKind::Collection) {
      open_.back()->elements.emplace_back();
      return open_.back()->elements.back();
    }
    return *current_;
  }
  void Null() { Place(); }
  void Bool(bool v) { Scalar(ValueKind::Bool).b = v; }
  void Signed(int64_t v) { Scalar(ValueKind::Signed).i = v; }
  void Unsigned(uint64_t v) { Scalar(ValueKind::Unsigned).u = v; }
  void Float(double v) { Scalar(ValueKind::Float).f = v; }
  void Text(std::string_view v) { Scalar(ValueKind::String).bytes = CutAtZero(v); }
  void Blob(std::string_view v) { Scalar(ValueKind::Blob).bytes = std::string(v); }

  void OpenObject() { Open(ValueKind::Structure); }
  void OpenArray() { Open(ValueKind::Collection); }
  void Name(std::string_view name) { current_ = &open_.back()->members[CutAtZero(name)]; }
  void Close() { open_.pop_back(); }

 private:
  Node& Scalar(ValueKind kind) {
    Node& place = Place();
    place.Become(kind);
    return place;
  }
  void Open(ValueKind kind) {
    Node& place = Place();
    if (place.kind != kind) {
      place.Become(kind);
    } else if (kind == ValueKind::Structure && !place.members.empty()) {
      reopened_ = true;
    }
    // Only the open containers are held: appending to the innermost one
    // moves its finished elements, never an open ancestor.
    open_.push_back(&place);
    if (open_.size() > deepest_) deepest_ = open_.size();
  }

  Node root_;
  Node* current_ = &root_;
  std::vector<Node*> open_;
  std::size_t deepest_ = 0;
  bool reopened_ = false;
};

inline bool SameFloat(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Whether `value` is what the model says, kinds, payloads and member order
// included. Recursive: callers compare trees within the readers' depth bound.
inline bool Matches(const Node& node, const Value& value) {
  if (node.kind != value.Kind()) return false;
  switch (node.kind) {
    case ValueKind::Empty:
      return true;
    case ValueKind::Bool:
      return node.b == value.AsBool();
    case ValueKind::Signed:
      return node.i == value.AsSigned();
    case ValueKind::Unsigned:
      return node.u == value.AsUnsigned();
    case ValueKind::Float:
      return SameFloat(node.f, value.AsFloat());
    case ValueKind::String:
      return node.bytes == value.AsText();
    case ValueKind::Blob: {
      const auto blob = value.AsBlob();
      return node.bytes.size() == blob.size() &&
             (blob.empty() || std::memcmp(node.bytes.data(), blob.data(), blob.size()) == 0);
    }
    case ValueKind::Collection: {
      const auto elements = value.Elements();
      if (elements.size() != node.elements.size()) return false;
      for (std::size_t k = 0; k < elements.size(); ++k) {
        if (!Matches(node.elements[k], elements[k])) return false;
      }
      return true;
    }
    case ValueKind::Structure: {
      const auto members = value.Members();
      if (members.size() != node.members.size()) return false;
      std::size_t k = 0;
      for (const auto& [name, child] : node.members) {
        if (members[k].name() != name || !Matches(child, members[k].value())) return false;
        ++k;
      }
      return true;
    }
    default:
      return false;  // the readers make no enums
  }
}

}  // namespace fuzz_model
