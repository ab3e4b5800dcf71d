// The one way a reader turns decoded input into a Value tree.
//
// The JSON, MessagePack and YAML readers and the decoding of query index
// paths build through a TreeBuilder, so that the bounds on what outside input
// may build live in one place:
// - nesting: containers open at most kMaxContainerDepth deep, so no node of
//   the tree lies below level kMaxValueDepth (the root is level 1);
// - size: a tree may hold at most its input's size plus a fixed allowance in
//   nodes, and as many text bytes. Reading plain JSON or MessagePack can never
//   pass it (every node costs an input byte, every text byte one too); what
//   builds more than it reads is charged: YAML aliases, index paths in query
//   keys, and the members an object already held when a repeated name opens
//   it again;
// - repeated names: an O(1) index of each open object's names finds the
//   member a repeated name addresses, whatever the order of the names;
// - order: an object's members are put in key order once, when it closes,
//   so the finished tree is never changed by reading it.
//
// A builder borrows its stacks and indexes from a small process-wide pool
// and gives them back, emptied and trimmed, when it is done: a request body
// of a few hundred bytes would otherwise spend as much on setting them up as
// on its tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "logging/memory.h"
#include "readers/member_names.h"
#include "value/limits.h"
#include "value/value.h"

namespace kiv::codecs {

// Containers nest at most this deep: the root container is the first, and
// the children of the deepest lie at level kMaxValueDepth.
inline constexpr std::size_t kMaxContainerDepth = binding::kMaxValueDepth - 1;

// What a document may build beyond its own size: nodes, and bytes of text.
inline constexpr std::size_t kTreeNodeAllowance = std::size_t{1} << 16;
inline constexpr std::size_t kTreeTextAllowance = std::size_t{1} << 20;

// Nodes and text bytes a document may still build.
class TreeBudget {
 public:
  explicit TreeBudget(std::size_t inputBytes)
      : nodes_(inputBytes + kTreeNodeAllowance), textBytes_(inputBytes + kTreeTextAllowance) {}

  // Takes `nodes` and `textBytes` from what is left; false (and nothing
  // taken) when either would run out.
  [[nodiscard]] bool Charge(std::size_t nodes, std::size_t textBytes) {
    if (nodes > nodes_ || textBytes > textBytes_) return false;
    nodes_ -= nodes;
    textBytes_ -= textBytes;
    return true;
  }
  // More input became known: a reader of zero-terminated text sizes it only
  // when it first needs the budget.
  void Widen(std::size_t inputBytes) {
    nodes_ += inputBytes;
    textBytes_ += inputBytes;
  }
  std::size_t NodesLeft() const { return nodes_; }
  std::size_t TextBytesLeft() const { return textBytes_; }

 private:
  std::size_t nodes_;
  std::size_t textBytes_;
};

// The sizes of the containers last closed at one depth, which the next
// container opened there reserves (see TreeBuilder::Hint).
struct ContainerSizes {
  uint32_t elements = 0;
  uint32_t members = 0;
};

class TreeBuilder {
 public:
  // Why building stopped.
  enum class Stop : uint8_t { kNone, kTooDeep, kOverBudget };

  // One open container. `remaining`, `declared` and `start` are the
  // reader's own (MessagePack counts entries against its headers).
  struct Frame {
    binding::Value* container;
    bool isObject;
    uint32_t remaining;
    uint32_t declared;
    std::size_t start;
    detail::ObjectKeys keys;
  };

  explicit TreeBuilder(std::size_t inputBytes);
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  binding::Value& Root() { return root_; }
  TreeBudget& Budget() { return budget_; }
  Stop Stopped() const { return stop_; }
  std::size_t Depth() const { return frames_.size(); }
  bool Open() const { return !frames_.empty(); }
  Frame& Top() { return frames_.back(); }
  // The innermost open container when it is a Collection, else null.
  binding::Value* OpenArray() const { return array_; }

  // Makes `place` a Structure (or Collection) and opens it. A container of
  // the same shape already there keeps what it holds and takes more (a
  // later value under a repeated name merges into the earlier one). False
  // when nested too deep, or when reopening costs more than the budget has.
  [[nodiscard]] bool OpenObject(binding::Value& place, uint32_t declared = 0, std::size_t start = 0);
  [[nodiscard]] bool OpenArray(binding::Value& place, uint32_t declared = 0, std::size_t start = 0);

  // The member `name` of the innermost open object: the existing one when
  // the name repeats, else a new Empty one.
  binding::Value& Member(std::string_view name) {
    Frame& frame = frames_.back();
    return *keys_.Append(*frame.container, frame.keys, name);
  }
  // The member `name` of the open object at nesting `level` (0 is the
  // outermost), or null when it has none; adds nothing.
  binding::Value* FindMember(std::size_t level, std::string_view name) {
    Frame& frame = frames_[level];
    return frame.isObject ? keys_.Find(*frame.container, frame.keys, name) : nullptr;
  }
  // The container open at nesting `level`.
  binding::Value* Container(std::size_t level) const { return frames_[level].container; }

  // A new Empty element of the innermost open array.
  binding::Value& Element() { return array_->Append(); }

  // Closes the innermost container; an object is put in key order.
  void Close() {
    Frame& frame = frames_.back();
    if (frame.isObject) {
      keys_.Close(frame.keys, frame.container->IsUnfinished());
      frame.container->FinishMembers();
    }
    frames_.pop_back();
    array_ = !frames_.empty() && !frames_.back().isObject ? frames_.back().container : nullptr;
  }

  // Charges what an expansion adds; false (stopped over budget) when it
  // does not fit.
  [[nodiscard]] bool Charge(std::size_t nodes, std::size_t textBytes) {
    if (budget_.Charge(nodes, textBytes)) return true;
    stop_ = Stop::kOverBudget;
    return false;
  }

  // Ends building: open containers are closed (finished), the counts held
  // on remembered keys given back, and the tree moved out.
  binding::Value Take();

  // Documents repeat their shapes: the records of an array tend to have as
  // many members as the one before, rows as many elements. Hint gives what
  // the innermost open container may reserve, the size Remember recorded for
  // the last container closed at its depth, so that it is built without
  // growing. A hint is the size of a container already read, and a smaller
  // one replaces it, so what is reserved stays proportional to the text
  // read, whatever the text. The one hint an earlier document leaves, its
  // top object's member count, carries over when it is kFewestKeptHint or
  // more, cut to kKeptHint: a small document cannot reserve much on the
  // strength of a large one.
  [[nodiscard]] uint32_t Hint(bool isObject) const {
    const std::size_t depth = frames_.size() - 1;
    return depth < hints_.size() ? (isObject ? hints_[depth].members : hints_[depth].elements) : 0;
  }
  // Records the size of the innermost open container, before it closes.
  void Remember(bool isObject, uint32_t count) {
    const std::size_t depth = frames_.size() - 1;
    if (depth >= hints_.size()) hints_.resize(depth < 8 ? 8 : depth + 1);
    (isObject ? hints_[depth].members : hints_[depth].elements) = count < kHintLimit ? count : kHintLimit;
  }
  static constexpr uint32_t kHintLimit = 1u << 16;  // larger containers grow as they fill
  static constexpr uint32_t kKeptHint = 16;
  static constexpr uint32_t kFewestKeptHint = 8;
  // A tokenizer's scratch buffer kept between documents, or null (then
  // `*capacity` is 0); the caller owns it until it gives it back.
  char* TakeText(std::size_t* capacity);
  // Gives a buffer of the allocation front end back: kept for the next
  // document, or freed when large.
  void GiveText(char* text, std::size_t capacity);

  // The storage a builder keeps for the next one (tree_builder.cpp).
  struct Spare;

 private:
  bool Refuse(Stop why) {
    stop_ = why;
    return false;
  }

  binding::Value root_;
  TreeBudget budget_;
  Vector<Frame> frames_;
  binding::Value* array_ = nullptr;
  detail::MemberKeys keys_;  // after root_: gives its counts back before the tree goes
  Vector<ContainerSizes> hints_;
  Spare* spare_;  // where the storage above came from and goes back to; may be null
  Stop stop_ = Stop::kNone;
};

}  // namespace kiv::codecs
