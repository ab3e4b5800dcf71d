#include "readers/yaml_reader.h"

#include <yaml.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "logging/format.h"
#include "logging/memory.h"
#include "readers/yaml_scalars.h"

namespace kiv::codecs {
namespace {

using binding::Value;
using binding::ValueMember;
using binding::ValueResult;
using namespace yaml_scalars;

constexpr const char* kParserMessage = "YAML parser error: %1. At line: %2 col: %3";
constexpr const char* kMultiDocumentMessage = "Multi-document YAML is not supported.";
constexpr const char* kInvalidKeyMessage =
    "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2";
constexpr const char* kSequenceKeyMessage = "Unexpected start of sequence. At line: %1 col: %2";
constexpr const char* kMappingKeyMessage = "Unexpected start of mapping. At line: %1 col: %2";
constexpr const char* kDuplicateAnchorMessage = "Duplicate occurrence of anchor \"%1\". At line: %2 col: %3";
constexpr const char* kUndefinedAliasMessage = "Undefined alias encountered: \"%1\". At line: %2 col: %3";
constexpr const char* kCyclicAliasMessage = "Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3";
constexpr const char* kUnsupportedTagMessage = "Unsupported YAML tag '%1'.";
constexpr const char* kOutOfRangeMessage = "Value %1 for '%2' of type %3 is out of range";
constexpr const char* kBadFormatMessage = "Value %1 for '%2' of type %3 is in an incorrect format";
constexpr const char* kNestingMessage = "YAML nesting is deeper than %1 levels. At line: %2 col: %3";
constexpr const char* kExpansionMessage =
    "Excessive aliasing: YAML aliases build more than the text's size allows. Alias \"%1\". At line: %2 col: %3";
constexpr const char* kRepeatedKeysMessage =
    "YAML mapping keys repeat too often in large mappings. At line: %1 col: %2";
constexpr const char* kMemoryMessage = "Not enough memory to read the YAML text.";

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";
constexpr const char* kValueName = "yaml";

unsigned long long Line(const yaml_mark_t& mark) { return static_cast<unsigned long long>(mark.line) + 1; }
unsigned long long Column(const yaml_mark_t& mark) { return static_cast<unsigned long long>(mark.column) + 1; }

std::string_view Text(const yaml_char_t* text) {
  return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

// ---------------------------------------------------------------------------
// The builder

constexpr uint32_t kNoNode = 0xFFFFFFFFu;

enum class Step : uint8_t { kRoot, kElement, kMember };

// One step of the way from the root to a node. Nodes form a tree through
// their parents, so a recorded path is one node number; the nodes live on a
// stack and a node is dropped when its frame closes, unless an anchor holds it.
struct PathNode {
  uint32_t parent;
  uint32_t frame;  // frame number + 1 while the node is being filled, else 0
  uint32_t element;
  uint32_t keyOffset;  // member steps: the key in the key pool
  uint32_t keyLength;
  Step step;
  bool pinned;
};

constexpr uint32_t kNoAnchor = 0xFFFFFFFFu;

// An anchor; its name and, for an anchor on a mapping key, the key's text lie
// in the anchor text pool.
struct Anchor {
  uint32_t nameOffset;
  uint32_t nameLength;
  uint32_t keyOffset;
  uint32_t keyLength;
  uint32_t node;  // an anchor on a node other than a key: its path; kNoNode for a key
  bool open;      // its sequence or mapping is still being filled
};

enum class FrameKind : uint8_t { kPending, kSequence, kMapping };

// A node being filled: the root while nothing was read, else a sequence or
// mapping open in the tree builder, whose frame of the same number it
// shadows with what only YAML needs (anchors, paths, size hints).
struct Frame {
  Value* target;
  uint32_t anchor;  // kNoAnchor or the node's anchor
  uint32_t node;
  uint32_t count;     // sequences: elements so far
  uint32_t lastSize;  // sequences: the size of the last element that was a container
  FrameKind kind;
  FrameKind lastKind;  // sequences: and its kind
};

struct ChildStep {
  Step step = Step::kRoot;
  uint32_t element = 0;
};

class YamlBuilder {
 public:
  YamlBuilder(std::string_view text, ValueResult& result) : text_(text), result_(result), tree_(text.size()) {
    nodes_.push_back(PathNode{kNoNode, 1, 0, 0, 0, Step::kRoot, false});
    frames_.reserve(64);
    frames_.push_back(Frame{&tree_.Root(), kNoAnchor, 0, 0, 0, FrameKind::kPending, FrameKind::kPending});
  }

  ~YamlBuilder() { yaml_event_delete(&keyEvent_); }
  YamlBuilder(const YamlBuilder&) = delete;
  YamlBuilder& operator=(const YamlBuilder&) = delete;

  void Run() {
    yaml_parser_t parser;
    if (yaml_parser_initialize(&parser) == 0) {
      Fail(kMemoryMessage);
      return;
    }
    struct ParserGuard {
      yaml_parser_t* parser;
      ~ParserGuard() { yaml_parser_delete(parser); }
    } parserGuard{&parser};
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    // The library insists on a non-null input even when it is empty.
    const char* input = text_.data() != nullptr ? text_.data() : "";
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(input), text_.size());

    bool parserFailed = false;
    for (;;) {
      yaml_event_t event;
      if (yaml_parser_parse(&parser, &event) == 0) {
        parserFailed = true;
        break;
      }
      struct EventGuard {
        yaml_event_t* event;
        ~EventGuard() { yaml_event_delete(event); }
      } eventGuard{&event};
      if (event.type == YAML_STREAM_END_EVENT) break;
      Handle(event);
      if (failed_) break;
    }
    if (!failed_ && parserFailed) {
      if (parser.error == YAML_MEMORY_ERROR) {
        Fail(kMemoryMessage);
      } else {
        const char* problem = parser.problem != nullptr ? parser.problem : "unknown problem";
        Fail(Format(kParserMessage, problem, static_cast<unsigned long long>(parser.problem_mark.line),
                    static_cast<unsigned long long>(parser.problem_mark.column)));
      }
    }
    if (!failed_) result_ = tree_.Take();
  }

 private:
  void Fail(std::string_view message) {
    failed_ = true;
    result_.Reset();
    result_.Fail(message);
  }
  void Fail(const String& message) { Fail(std::string_view(message.data(), message.size())); }
  void Fail(const char* message) { Fail(std::string_view(message)); }

  void Handle(yaml_event_t& e) {
    switch (e.type) {
      case YAML_DOCUMENT_START_EVENT:
        if (documents_++ != 0) Fail(kMultiDocumentMessage);
        return;
      case YAML_SCALAR_EVENT:
        if (!frames_.empty()) OnScalar(e);
        return;
      case YAML_SEQUENCE_START_EVENT:
        if (!frames_.empty()) OnStart(e, FrameKind::kSequence, Text(e.data.sequence_start.anchor));
        return;
      case YAML_MAPPING_START_EVENT:
        if (!frames_.empty()) OnStart(e, FrameKind::kMapping, Text(e.data.mapping_start.anchor));
        return;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        if (!frames_.empty()) PopFrame();
        return;
      case YAML_ALIAS_EVENT:
        if (!frames_.empty()) OnAlias(e);
        return;
      default:  // stream start, document end
        return;
    }
  }

  // The node the next event fills below the innermost frame: a new element,
  // or the member of the pending key. Null when the event fills the frame's
  // own node (the root, before anything was read).
  Value* OpenChild(ChildStep* step) {
    Frame& top = frames_.back();
    if (top.kind == FrameKind::kSequence) {
      step->step = Step::kElement;
      step->element = top.count++;
      return &tree_.Element();
    }
    if (top.kind == FrameKind::kMapping) {
      hasPendingKey_ = false;
      step->step = Step::kMember;
      return &tree_.Member(pendingKey_);
    }
    return nullptr;
  }

  void OnScalar(yaml_event_t& e) {
    if (frames_.back().kind == FrameKind::kMapping && !hasPendingKey_) {
      OnKey(e);
      return;
    }
    ChildStep step;
    Value* target = OpenChild(&step);
    const bool own = target == nullptr;
    if (own) target = frames_.back().target;
    if (!StoreScalar(*target, e)) return;
    const std::string_view anchor = Text(e.data.scalar.anchor);
    if (!anchor.empty()) {
      const uint32_t node = own ? frames_.back().node : NewNode(frames_.back().node, step);
      if (Record(anchor, node, e.start_mark) == kNoAnchor) return;
    }
    if (own) PopFrame();
  }

  void OnKey(yaml_event_t& e) {
    const char* tag = reinterpret_cast<const char*>(e.data.scalar.tag);
    if (tag != nullptr && std::strcmp(tag, "tag:yaml.org,2002:str") != 0) {
      Fail(Format(kInvalidKeyMessage, Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    // The key is used where the event left it: the event is kept until the
    // next key arrives, when this one has long been consumed.
    yaml_event_delete(&keyEvent_);
    keyEvent_ = e;
    std::memset(&e, 0, sizeof e);
    pendingKey_ =
        std::string_view(reinterpret_cast<const char*>(keyEvent_.data.scalar.value), keyEvent_.data.scalar.length);
    hasPendingKey_ = true;
    const std::string_view anchor = Text(keyEvent_.data.scalar.anchor);
    if (!anchor.empty()) {
      const uint32_t record = Record(anchor, kNoNode, keyEvent_.start_mark);
      if (record == kNoAnchor) return;
      anchors_[record].keyOffset = static_cast<uint32_t>(anchorText_.size());
      anchors_[record].keyLength = static_cast<uint32_t>(pendingKey_.size());
      anchorText_.insert(anchorText_.end(), pendingKey_.begin(), pendingKey_.end());
    }
  }

  void OnStart(const yaml_event_t& e, FrameKind kind, std::string_view anchor) {
    if (frames_.back().kind == FrameKind::kMapping && !hasPendingKey_) {
      Fail(Format(kind == FrameKind::kSequence ? kSequenceKeyMessage : kMappingKeyMessage, Line(e.start_mark),
                  Column(e.start_mark)));
      return;
    }
    ChildStep step;
    Value* target = OpenChild(&step);
    // Elements of one sequence tend to have one shape: room for as many
    // elements or members as the last one had saves growing step by step.
    uint32_t expected = 0;
    if (step.step == Step::kElement && frames_.back().lastKind == kind) expected = frames_.back().lastSize;
    if (target != nullptr) {
      const uint32_t node = NewNode(frames_.back().node, step);
      frames_.push_back(Frame{target, kNoAnchor, node, 0, 0, kind, FrameKind::kPending});
    } else {
      target = frames_.back().target;
      frames_.back().kind = kind;
    }
    Frame& frame = frames_.back();
    nodes_[frame.node].frame = static_cast<uint32_t>(frames_.size());
    // A sequence under a key seen before goes on after that sequence's
    // elements; a mapping merges into that mapping.
    const bool fresh = kind == FrameKind::kSequence ? !target->IsCollection() : !target->IsStructure();
    const bool opened = kind == FrameKind::kSequence ? tree_.OpenArray(*target) : tree_.OpenObject(*target);
    if (!opened) {
      if (tree_.Stopped() == TreeBuilder::Stop::kTooDeep) {
        Fail(Format(kNestingMessage, static_cast<uint32_t>(kYamlMaxNesting), Line(e.start_mark), Column(e.start_mark)));
      } else {
        Fail(Format(kRepeatedKeysMessage, Line(e.start_mark), Column(e.start_mark)));
      }
      return;
    }
    if (kind == FrameKind::kSequence) frame.count = static_cast<uint32_t>(target->Size());
    // A mapping under a key: as many members as the last mapping closed at its depth.
    if (expected == 0 && kind == FrameKind::kMapping) expected = tree_.Hint(true);
    if (expected != 0 && fresh)
      kind == FrameKind::kSequence ? target->Reserve(expected) : target->ReserveMembers(expected);
    if (!anchor.empty()) {
      const uint32_t record = Record(anchor, frame.node, e.start_mark);
      if (record == kNoAnchor) return;
      anchors_[record].open = true;
      frame.anchor = record;
    }
  }

  void OnAlias(const yaml_event_t& e) {
    const std::string_view name = Text(e.data.alias.anchor);
    const uint32_t found = FindAnchor(name, binding::Fnv1a(name));
    if (found != kNoAnchor && anchors_[found].open) {
      Fail(Format(kCyclicAliasMessage, name, Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    if (found == kNoAnchor) {
      Fail(Format(kUndefinedAliasMessage, name, Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    const Anchor anchor = anchors_[found];
    if (frames_.back().kind == FrameKind::kMapping && !hasPendingKey_) {
      AliasAsKey(anchor, name, e.start_mark);
      return;
    }
    ChildStep step;
    Value* target = OpenChild(&step);
    const bool own = target == nullptr;
    if (own) target = frames_.back().target;
    if (anchor.node == kNoNode) {
      if (!Charge(1, KeyText(anchor).size(), name, e.start_mark)) return;
      target->SetString(KeyText(anchor));
    } else {
      // Resolved only now: opening the target may have moved its siblings.
      const Value* source = Resolve(anchor.node, name, e.start_mark);
      if (source == nullptr || !Measure(*source, name, e.start_mark)) return;
      target->CopyFrom(*source);
    }
    if (own) PopFrame();
  }

  // An alias in the place of a key stands for the text of its node.
  void AliasAsKey(const Anchor& anchor, std::string_view name, const yaml_mark_t& mark) {
    if (anchor.node == kNoNode) {
      if (!Charge(1, KeyText(anchor).size(), name, mark)) return;
      const std::string_view text = KeyText(anchor);
      keyCopy_.assign(text.data(), text.size());
    } else {
      const Value* source = Resolve(anchor.node, name, mark);
      if (source == nullptr) return;
      if (!source->IsString()) {
        Fail(Format(kInvalidKeyMessage, Line(mark), Column(mark)));
        return;
      }
      const std::string_view text = source->AsText();
      if (!Charge(1, text.size(), name, mark)) return;
      keyCopy_.assign(text.data(), text.size());
    }
    // A copy: the tree or the anchor texts may change before the key is used.
    pendingKey_ = std::string_view(keyCopy_.data(), keyCopy_.size());
    hasPendingKey_ = true;
  }

  void PopFrame() {
    const Frame& frame = frames_.back();
    if (frame.anchor != kNoAnchor) anchors_[frame.anchor].open = false;
    if (frame.kind == FrameKind::kMapping) {
      tree_.Remember(true, std::min<uint32_t>(static_cast<uint32_t>(frame.target->Size()), 1024));
    }
    if (frame.kind != FrameKind::kPending) tree_.Close();  // a mapping is put in key order, once
    PathNode& node = nodes_[frame.node];
    node.frame = 0;
    if (node.step == Step::kElement) {
      Frame& parent = frames_[frames_.size() - 2];
      parent.lastKind = frame.kind;
      parent.lastSize = std::min<uint32_t>(
          frame.kind == FrameKind::kSequence ? frame.count : static_cast<uint32_t>(frame.target->Size()), 1024);
    }
    if (!node.pinned && frame.node != 0 && frame.node + 1 == nodes_.size()) {
      keyPool_.resize(node.keyOffset);
      nodes_.pop_back();
    }
    frames_.pop_back();
  }

  uint32_t NewNode(uint32_t parent, const ChildStep& step) {
    PathNode node{parent, 0, step.element, static_cast<uint32_t>(keyPool_.size()), 0, step.step, false};
    if (step.step == Step::kMember) {
      keyPool_.insert(keyPool_.end(), pendingKey_.begin(), pendingKey_.end());
      node.keyLength = static_cast<uint32_t>(pendingKey_.size());
    }
    nodes_.push_back(node);
    return static_cast<uint32_t>(nodes_.size() - 1);
  }

  // ---- anchors

  // The number of the new anchor, or kNoAnchor after failing: a name may be
  // defined once per text.
  uint32_t Record(std::string_view name, uint32_t node, const yaml_mark_t& mark) {
    const uint32_t hash = binding::Fnv1a(name);
    if (FindAnchor(name, hash) != kNoAnchor) {
      Fail(Format(kDuplicateAnchorMessage, name, Line(mark), Column(mark)));
      return kNoAnchor;
    }
    const auto number = static_cast<uint32_t>(anchors_.size());
    anchors_.push_back(
        Anchor{static_cast<uint32_t>(anchorText_.size()), static_cast<uint32_t>(name.size()), 0, 0, node, false});
    anchorText_.insert(anchorText_.end(), name.begin(), name.end());
    if (node != kNoNode) nodes_[node].pinned = true;
    if (2 * anchors_.size() > anchorSlots_.size()) {
      // At most half full, so that a search ends at a free slot soon.
      Vector<uint64_t> old;
      old.swap(anchorSlots_);
      anchorSlots_.assign(std::max<std::size_t>(16, 2 * old.size()), 0);
      for (const uint64_t entry : old) {
        if (entry != 0)
          PlaceSlot(anchorSlots_, static_cast<uint32_t>(entry >> 32),
                    static_cast<std::size_t>(entry & 0xFFFFFFFFu) - 1);
      }
    }
    PlaceSlot(anchorSlots_, hash, number);
    return number;
  }

  uint32_t FindAnchor(std::string_view name, uint32_t hash) const {
    if (anchorSlots_.empty()) return kNoAnchor;
    const std::size_t mask = anchorSlots_.size() - 1;
    for (std::size_t slot = hash & mask; anchorSlots_[slot] != 0; slot = (slot + 1) & mask) {
      if (static_cast<uint32_t>(anchorSlots_[slot] >> 32) != hash) continue;
      const auto number = static_cast<uint32_t>((anchorSlots_[slot] & 0xFFFFFFFFu) - 1);
      const Anchor& anchor = anchors_[number];
      if (std::string_view(anchorText_.data() + anchor.nameOffset, anchor.nameLength) == name) return number;
    }
    return kNoAnchor;
  }

  std::string_view KeyText(const Anchor& anchor) const {
    return std::string_view(anchorText_.data() + anchor.keyOffset, anchor.keyLength);
  }

  // The anchor table is an array of (hash << 32) | (number + 1), 0 being
  // free, with a power-of-two size.
  static void PlaceSlot(Vector<uint64_t>& slots, uint32_t hash, std::size_t number) {
    const std::size_t mask = slots.size() - 1;
    std::size_t slot = hash & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = (uint64_t{hash} << 32) | static_cast<uint64_t>(number + 1);
  }

  // ---- aliases

  // The node at the end of a recorded path, or null after failing. Open
  // mappings are searched through the builder's name index, never through
  // the value, which would order them early; a path that ends on a node
  // still being filled is a cycle.
  const Value* Resolve(uint32_t nodeNumber, std::string_view name, const yaml_mark_t& mark) {
    steps_.clear();
    uint32_t n = nodeNumber;
    while (nodes_[n].frame == 0 && nodes_[n].parent != kNoNode) {
      steps_.push_back(n);
      n = nodes_[n].parent;
    }
    Value* current = &tree_.Root();
    std::size_t depth = 0;
    bool onSpine = nodes_[n].frame != 0;
    if (onSpine) {
      depth = nodes_[n].frame - 1;
      current = frames_[depth].target;
    }
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      const PathNode& step = nodes_[*it];
      Value* next = nullptr;
      if (step.step == Step::kElement) {
        if (current->IsCollection() && step.element < current->Size()) next = &current->Elements()[step.element];
      } else {
        const std::string_view key(keyPool_.data() + step.keyOffset, step.keyLength);
        if (!onSpine) {
          next = current->MemberIfPresent(key);
        } else if (frames_[depth].kind == FrameKind::kMapping) {
          next = tree_.FindMember(depth, key);
        }
      }
      if (next == nullptr) {
        // A later value under the same key replaced the anchored node's
        // parent with something else: the node is gone.
        Fail(Format(kUndefinedAliasMessage, name, Line(mark), Column(mark)));
        return nullptr;
      }
      if (onSpine) {
        if (depth + 1 < frames_.size() && frames_[depth + 1].target == next) {
          ++depth;
        } else {
          onSpine = false;
        }
      }
      current = next;
    }
    if (onSpine) {
      Fail(Format(kCyclicAliasMessage, name, Line(mark), Column(mark)));
      return nullptr;
    }
    return current;
  }

  // What an alias adds is charged to the text's budget (nodes and text
  // bytes), so aliases of aliases cannot build a tree far larger than the
  // text.
  bool Charge(std::size_t nodes, std::size_t textBytes, std::string_view name, const yaml_mark_t& mark) {
    if (tree_.Charge(nodes, textBytes)) return true;
    Fail(Format(kExpansionMessage, name, Line(mark), Column(mark)));
    return false;
  }

  // Counts the nodes and text bytes a copy of `source` would add and checks
  // how deep it would reach, without recursion and stopping as soon as a
  // bound is passed.
  bool Measure(const Value& source, std::string_view name, const yaml_mark_t& mark) {
    const std::size_t base = tree_.Depth();
    const std::size_t nodesLeft = tree_.Budget().NodesLeft();
    const std::size_t bytesLeft = tree_.Budget().TextBytesLeft();
    std::size_t count = 0;
    std::size_t bytes = 0;
    work_.clear();
    work_.emplace_back(&source, static_cast<uint32_t>(base));
    while (!work_.empty()) {
      const auto [value, level] = work_.back();
      work_.pop_back();
      ++count;
      if (value->IsString()) bytes += value->Size();
      if (count > nodesLeft || bytes > bytesLeft) return Charge(count, bytes, name, mark);
      if (!value->IsCollection() && !value->IsStructure()) continue;
      if (level + 1 > kYamlMaxNesting) {
        Fail(Format(kNestingMessage, static_cast<uint32_t>(kYamlMaxNesting), Line(mark), Column(mark)));
        return false;
      }
      for (const Value& element : value->Elements()) work_.emplace_back(&element, level + 1);
      for (const ValueMember& member : value->Members()) {
        ++count;
        bytes += member.name().size();
        if (count > nodesLeft || bytes > bytesLeft) return Charge(count, bytes, name, mark);
        work_.emplace_back(&member.value(), level + 1);
      }
    }
    return Charge(count, bytes, name, mark);
  }

  // ---- scalars

  bool StoreScalar(Value& v, const yaml_event_t& e) {
    const std::string_view text(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
    const char* tagText = reinterpret_cast<const char*>(e.data.scalar.tag);
    if (tagText == nullptr) {
      if (e.data.scalar.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
          e.data.scalar.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE) {
        v.SetString(text);
      } else {
        ResolvePlain(v, text);
      }
      return true;
    }
    const std::string_view tag(tagText);
    const std::string_view kind = tag.starts_with(kTagPrefix) ? tag.substr(kTagPrefix.size()) : std::string_view();
    if (kind == "str") {
      v.SetString(text);
      return true;
    }
    if (kind == "int") return StoreTaggedInteger(v, text);
    if (kind == "float") return StoreTaggedFloat(v, text);
    if (kind == "bool") {
      const int word = BoolWord(text);
      if (word < 0) {
        Fail(Format(kBadFormatMessage, text, kValueName, "bool"));
        return false;
      }
      v.SetBool(word == 1);
      return true;
    }
    Fail(Format(kUnsupportedTagMessage, tag));
    return false;
  }

  bool StoreTaggedInteger(Value& v, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) ++i;
    const bool isSigned = i < text.size() && text[i] == '-';
    const char* typeName = isSigned ? "int64_t" : "uint64_t";
    int64_t s = 0;
    uint64_t u = 0;
    switch (ParseCInteger(text, isSigned, &s, &u)) {
      case IntRead::kFormat:
        Fail(Format(kBadFormatMessage, text, kValueName, typeName));
        return false;
      case IntRead::kRange:
        Fail(Format(kOutOfRangeMessage, text, kValueName, typeName));
        return false;
      case IntRead::kOk:
        break;
    }
    if (isSigned) {
      v.SetSigned(s);
    } else {
      v.SetUnsigned(u);
    }
    return true;
  }

  bool StoreTaggedFloat(Value& v, std::string_view text) {
    double d = 0.0;
    if (!text.empty() && !ParseCDouble(text, &d)) {
      Fail(Format(kBadFormatMessage, text, kValueName, "double"));
      return false;
    }
    if (std::isinf(d)) {
      Fail(Format(kOutOfRangeMessage, text, kValueName, "double"));
      return false;
    }
    v.SetFloat(d);
    return true;
  }

  std::string_view text_;
  ValueResult& result_;
  bool failed_ = false;
  uint32_t documents_ = 0;

  TreeBuilder tree_;
  Vector<Frame> frames_;  // frames_[i] shadows the builder's container at level i
  Vector<PathNode> nodes_;
  Vector<char> keyPool_;
  // The pending key lies in its own event, held in keyEvent_, or in keyCopy_
  // when an alias gave it.
  std::string_view pendingKey_;
  bool hasPendingKey_ = false;
  yaml_event_t keyEvent_{};
  String keyCopy_;
  Vector<Anchor> anchors_;
  Vector<uint64_t> anchorSlots_;
  Vector<char> anchorText_;

  Vector<uint32_t> steps_;
  Vector<std::pair<const Value*, uint32_t>> work_;
};

}  // namespace

binding::ValueResult ReadYaml(std::string_view text) {
  ValueResult result;
  try {
    YamlBuilder builder(text, result);
    builder.Run();
  } catch (const std::bad_alloc&) {
    result.Reset();
    result.Fail(kMemoryMessage);
  }
  return result;
}

bool LooksLikeYaml(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.substr(i).starts_with("---");
}

}  // namespace kiv::codecs
