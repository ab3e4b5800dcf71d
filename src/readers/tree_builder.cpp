#include "readers/tree_builder.h"

#include <atomic>
#include <new>

namespace kiv::codecs {

using binding::Value;

// The storage one builder hands to the next.
struct TreeBuilder::Spare : mem::Allocated {
  Vector<Frame> frames;
  detail::MemberKeys::Storage keys;
  Vector<ContainerSizes> hints;
  char* text = nullptr;
  std::size_t textCapacity = 0;

  ~Spare() { mem::Free(text); }
  // What outlives a document is bounded: a few kilobytes for each spare.
  void Trim() {
    constexpr std::size_t kKeptFrames = 64, kKeptTextBytes = 4096;
    frames.clear();
    if (frames.capacity() > kKeptFrames) Vector<Frame>().swap(frames);
    // Only the top object's member count carries over: a request body is
    // most often one object, and the next request's tends to have as many
    // members. Inner containers and element counts vary with the document,
    // and containers grow from 2 to 8 places on their own; a hint for them
    // from another document would only move a small tree's first blocks into
    // size classes of their own, and each costs the tree a page.
    if (hints.capacity() > kKeptFrames) {
      Vector<ContainerSizes>().swap(hints);
    } else if (!hints.empty()) {
      const uint32_t members = hints[0].members;
      hints.resize(1);  // shrinks: never allocates
      hints[0] = ContainerSizes{0, members < kFewestKeptHint ? 0 : members > kKeptHint ? kKeptHint : members};
    }
    keys.Trim();
    if (textCapacity > kKeptTextBytes) {
      mem::Free(text);
      text = nullptr;
      textCapacity = 0;
    }
  }
};

namespace {

// Spares waiting for a builder: as many as threads commonly read at once.
// Plain atomics, constant-initialised, so that a read during the unloading
// of the library still finds the pool; the drain below frees what it holds
// then, and later spares are freed instead of kept.
constexpr int kSpareSlots = 4;
std::atomic<TreeBuilder::Spare*> g_spares[kSpareSlots];
std::atomic<bool> g_sparesClosed{false};

struct SpareDrain {
  ~SpareDrain() {
    g_sparesClosed.store(true);
    for (auto& slot : g_spares) delete slot.exchange(nullptr);
  }
} g_spareDrain;

}  // namespace

TreeBuilder::TreeBuilder(std::size_t inputBytes) : budget_(inputBytes), keys_(root_), spare_(nullptr) {
  for (auto& slot : g_spares) {
    if (slot.load(std::memory_order_relaxed) != nullptr &&
        (spare_ = slot.exchange(nullptr, std::memory_order_acquire)) != nullptr) {
      break;
    }
  }
  if (spare_ == nullptr) {
    try {
      spare_ = new Spare();
    } catch (const std::bad_alloc&) {
      // Builds with storage of its own, as if no spare had ever been made.
    }
  }
  if (spare_ != nullptr) {
    frames_.swap(spare_->frames);
    keys_.Exchange(spare_->keys);
    hints_.swap(spare_->hints);
  }
  if (frames_.capacity() == 0) frames_.reserve(16);
}

TreeBuilder::~TreeBuilder() {
  if (spare_ == nullptr) return;
  keys_.Release();  // the shapes hold counts on records of this tree
  frames_.swap(spare_->frames);
  keys_.Exchange(spare_->keys);
  hints_.swap(spare_->hints);
  spare_->Trim();
  if (!g_sparesClosed.load(std::memory_order_relaxed)) {
    for (auto& slot : g_spares) {
      Spare* empty = nullptr;
      if (slot.compare_exchange_strong(empty, spare_, std::memory_order_release, std::memory_order_relaxed)) return;
    }
  }
  delete spare_;
}

char* TreeBuilder::TakeText(std::size_t* capacity) {
  if (spare_ == nullptr || spare_->text == nullptr) {
    *capacity = 0;
    return nullptr;
  }
  char* text = spare_->text;
  *capacity = spare_->textCapacity;
  spare_->text = nullptr;
  spare_->textCapacity = 0;
  return text;
}

void TreeBuilder::GiveText(char* text, std::size_t capacity) {
  if (spare_ == nullptr || spare_->text != nullptr) {
    mem::Free(text);
    return;
  }
  spare_->text = text;  // trimmed with the rest when the builder is done
  spare_->textCapacity = capacity;
}

bool TreeBuilder::OpenObject(Value& place, uint32_t declared, std::size_t start) {
  if (frames_.size() >= kMaxContainerDepth) return Refuse(Stop::kTooDeep);
  const bool reopened = place.IsStructure() && place.Size() != 0;
  place.MakeStructure();
  if (reopened) {
    // Its names enter the index: a cost of the repeated name, not of input.
    if (!Charge(place.Size(), 0)) return false;
    frames_.push_back(Frame{&place, true, declared, declared, start, keys_.Reopen(place, frames_.size())});
  } else {
    frames_.push_back(Frame{&place, true, declared, declared, start, keys_.Open(frames_.size())});
  }
  array_ = nullptr;
  return true;
}

bool TreeBuilder::OpenArray(Value& place, uint32_t declared, std::size_t start) {
  if (frames_.size() >= kMaxContainerDepth) return Refuse(Stop::kTooDeep);
  place.MakeCollection();  // an earlier array under a repeated name keeps its elements
  frames_.push_back(Frame{&place, false, declared, declared, start, detail::ObjectKeys{}});
  array_ = &place;
  return true;
}

Value TreeBuilder::Take() {
  while (!frames_.empty()) Close();
  keys_.Release();
  Value tree;
  tree.MoveFrom(root_);
  return tree;
}

}  // namespace kiv::codecs
